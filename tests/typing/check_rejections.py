"""Run mypy --strict on reject_types.py and check that it rejects exactly the
marked lines: every line marked `# E: CODE` must get an error with that code,
and no unmarked line may get any error. Extra arguments go to mypy.
Exits non-zero, listing the differences, if either fails.
"""

import pathlib
import re
import sys

from mypy import api

REJECTS = pathlib.Path(__file__).with_name("reject_types.py")
MARK = re.compile(r"#\s*E:\s*([a-z][a-z-]*)")
ERROR = re.compile(r"^(?P<path>.+?):(?P<line>\d+): error: (?P<text>.*?)(?:  \[(?P<code>[a-z-]+)\])?$")


def main(mypy_args):
    expected = {}
    for number, line in enumerate(REJECTS.read_text(encoding="utf-8").splitlines(), 1):
        mark = MARK.search(line)
        if mark:
            expected[number] = mark.group(1)

    stdout, stderr, status = api.run(["--strict", *mypy_args, str(REJECTS)])
    if status not in (0, 1):
        print(f"check_rejections: mypy failed to run (exit {status}):\n{stdout}{stderr}")
        return 1
    found = {}
    for line in stdout.splitlines():
        error = ERROR.match(line)
        if error:
            found.setdefault(int(error.group("line")), []).append(
                (error.group("code") or "", error.group("text")))

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
        print(f"check_rejections: {REJECTS.name} is not rejected as marked:")
        print("\n".join(f"  {p}" for p in problems))
        return 1
    print(f"check_rejections: mypy rejects all {len(expected)} marked lines of "
          f"{REJECTS.name} with the expected codes, and no other line")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
