"""Run a type checker on reject_types.py and check that it rejects exactly
the marked lines: every line marked `# E: CODE  P: RULE` must get a mypy
error with that code (`mypy`) or a basedpyright error under that rule
(`pyright`), and no other line may get an error from that checker; `P: -`
means basedpyright must accept the line. Usage:

    check_rejections.py mypy [MYPY-ARGS...]
    check_rejections.py pyright [BASEDPYRIGHT-ARGS...]

Exits non-zero, listing the differences, if either fails.
"""

import json
import pathlib
import re
import subprocess
import sys

REJECTS = pathlib.Path(__file__).with_name("reject_types.py")
MARK = re.compile(r"#\s*E:\s*(?P<mypy>[a-z][a-z-]*)\s+P:\s*(?P<pyright>[A-Za-z]+|-)")
MYPY_ERROR = re.compile(
    r"^(?P<path>.+?):(?P<line>\d+): error: (?P<text>.*?)(?:  \[(?P<code>[a-z-]+)\])?$")


def mypy_errors(args):
    """{line: [(code, text)]} of mypy --strict's errors."""
    from mypy import api

    stdout, stderr, status = api.run(["--strict", *args, str(REJECTS)])
    if status not in (0, 1):
        raise SystemExit(f"check_rejections: mypy failed to run (exit {status}):\n{stdout}{stderr}")
    found = {}
    for line in stdout.splitlines():
        error = MYPY_ERROR.match(line)
        if error:
            found.setdefault(int(error.group("line")), []).append(
                (error.group("code") or "", error.group("text")))
    return found


def pyright_errors(args):
    """{line: [(rule, text)]} of basedpyright's errors (its configuration comes in args)."""
    run = subprocess.run([sys.executable, "-m", "basedpyright", "--outputjson", *args, str(REJECTS)],
                         capture_output=True, text=True)
    try:
        report = json.loads(run.stdout)
    except ValueError:
        raise SystemExit(f"check_rejections: basedpyright failed to run (exit {run.returncode}):\n"
                         f"{run.stdout}{run.stderr}") from None
    found = {}
    for diagnostic in report["generalDiagnostics"]:
        if diagnostic["severity"] == "error":
            found.setdefault(diagnostic["range"]["start"]["line"] + 1, []).append(
                (diagnostic.get("rule", ""), diagnostic["message"].splitlines()[0]))
    return found


def main(checker, args):
    expected = {}
    for number, line in enumerate(REJECTS.read_text(encoding="utf-8").splitlines(), 1):
        mark = MARK.search(line)
        if mark and mark.group(checker) != "-":
            expected[number] = mark.group(checker)
    found = {"mypy": mypy_errors, "pyright": pyright_errors}[checker](args)

    problems = []
    for number, code in sorted(expected.items()):
        codes = [c for c, _ in found.get(number, [])]
        if code not in codes:
            problems.append(f"line {number}: expected an error [{code}], got "
                            + (", ".join(f"[{c}]" for c in codes) or "none"))
    for number in sorted(set(found) - set(expected)):
        for code, text in found[number]:
            problems.append(f"line {number}: unexpected error: {text} [{code}]")
    if problems:
        print(f"check_rejections: {checker} does not reject {REJECTS.name} as marked:")
        print("\n".join(f"  {p}" for p in problems))
        return 1
    print(f"check_rejections: {checker} rejects all {len(expected)} lines of "
          f"{REJECTS.name} marked for it, with the expected codes, and no other line")
    return 0


if __name__ == "__main__":
    if len(sys.argv) < 2 or sys.argv[1] not in ("mypy", "pyright"):
        raise SystemExit(__doc__)
    sys.exit(main(sys.argv[1], sys.argv[2:]))
