"""The module in other process shapes: subinterpreters, which it refuses, and
a program that embeds the interpreter and starts it more than once."""

import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap

import pytest

# Tries the import in a subinterpreter of each kind this interpreter offers;
# the main interpreter uses the classes before and after.
SUBINTERPRETER_SCRIPT = r"""
import os, sys
from tarvella import MayBe, Result

TRY = '''
import os
try:
    import tarvella
except ImportError as e:
    os.write(1, ("refused: %s\\n" % e).encode())
else:
    os.write(1, ("imported %r\\n" % tarvella.Result.ok(1).is_ok()).encode())
'''

before = Result.ok(1).is_ok(), Result.err("m").to_dict(), repr(MayBe.just(2))
kinds = []
try:
    import _testcapi
    kinds.append(("legacy", lambda: _testcapi.run_in_subinterp(TRY)))
except ImportError:
    pass
try:
    import _interpreters as interpreters
except ImportError:
    interpreters = None
if interpreters is not None:
    kinds.append(("legacy", lambda: interpreters.run_string(interpreters.create("legacy"), TRY)))
    kinds.append(("isolated", lambda: interpreters.run_string(interpreters.create("isolated"), TRY)))
for kind, run in kinds:
    sys.stdout.flush()
    os.write(1, (kind + ": ").encode())
    run()
after = Result.ok(1).is_ok(), Result.err("m").to_dict(), repr(MayBe.just(2))
assert before == after == (True, {"ok": False, "error": "m"}, "Just(2)"), after
assert [m for m in dir(Result) if m in ("is_ok", "to_dict")] == ["is_ok", "to_dict"]
print("main", len(kinds))
"""


def test_subinterpreters_cannot_import_the_module(run_python):
    proc = run_python(SUBINTERPRETER_SCRIPT)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    if lines == ["main 0"]:
        pytest.skip("this interpreter offers no way to start a subinterpreter")
    *tries, last = lines
    assert last == f"main {len(tries)}"
    for line in tries:
        assert line.endswith("refused: module tarvella does not support loading in "
                             "subinterpreters"), line


EMBEDDING_PROGRAM = r"""
#include <Python.h>
#include <stdio.h>

static const char *script =
    "from tarvella import MayBe, Result\n"
    "assert Result.ok(1).map(lambda v: v + 1).to_dict() == {'ok': True, 'value': 2}\n"
    "assert repr(Result.err('m', code='c')) == \"Err('m', code='c')\"\n"
    "assert Result.from_dict({'ok': False, 'error': 'e'}).unwrap_err() == ('e', None, None)\n"
    "assert repr(MayBe.just('x') >> (lambda v: MayBe.just(v * 2))) == 'Just(xx)'\n"
    "def fail(v):\n"
    "    raise KeyError(v)\n"
    "try:\n"
    "    MayBe.just(3).map(fail)\n"
    "except KeyError as e:\n"
    "    assert e.args == (3,)\n"
    "try:\n"
    "    Result.err('gone').unwrap()\n"
    "except ValueError as e:\n"
    "    assert str(e) == 'Tried to unwrap an Err: gone'\n"
    "panic, = [c for c in BaseException.__subclasses__() if c.__module__ == 'pyo3_runtime']\n"
    "def relay(v):\n"
    "    raise panic('again')\n"
    "try:\n"
    "    Result.ok(1).map(relay)\n"
    "except BaseException as e:\n"
    "    assert type(e) is panic and e.args == ('again',)\n"
    "import sys\n"
    "sys.stdout.write('round ok\\n')\n";

int main(void) {
    for (int round = 0; round < 3; ++round) {
        Py_Initialize();
        if (PyRun_SimpleString(script) != 0)
            return 10 + round;
        if (Py_FinalizeEx() < 0)
            return 20 + round;
    }
    return 0;
}
"""


def embedding_flags():
    """Compiler and flags to link a program against this interpreter, or a
    reason why there are none."""
    if os.name != "posix":
        return None, "links the program the Unix way (cc, -l, -rpath)"
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        return None, "no C compiler"
    if not sysconfig.get_config_var("Py_ENABLE_SHARED"):
        return None, "this interpreter has no shared library to embed"
    libdir = sysconfig.get_config_var("LIBDIR")
    library = sysconfig.get_config_var("LDLIBRARY")  # libpython3.X[d].so
    if not library or not os.path.exists(os.path.join(libdir, library)):
        return None, f"no {library} in {libdir}"
    name = library[3:].split(".so")[0]
    include = sysconfig.get_config_var("INCLUDEPY")
    return [compiler, f"-I{include}", f"-L{libdir}", f"-Wl,-rpath,{libdir}", f"-l{name}"], None


def test_embedding_program_initialises_three_times(tmp_path, child_environment):
    flags, reason = embedding_flags()
    if flags is None:
        pytest.skip(reason)
    source = tmp_path / "embed.c"
    source.write_text(textwrap.dedent(EMBEDDING_PROGRAM))
    program = tmp_path / "embed"
    compiler, *rest = flags
    built = subprocess.run([compiler, str(source), "-o", str(program), *rest],
                           capture_output=True, text=True)
    assert built.returncode == 0, built.stderr
    env = child_environment
    env.pop("PYTHONHOME", None)
    # The embedded interpreter finds its own standard library; the site
    # packages of the test interpreter come through PYTHONPATH.
    env["PYTHONPATH"] = os.pathsep.join([env["PYTHONPATH"], *sys.path[1:]])
    proc = subprocess.run([str(program)], capture_output=True, text=True, env=env, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "round ok\n" * 3
    assert proc.stderr.count("Python stack trace below:") == 3
