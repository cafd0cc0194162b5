"""Shared helpers: running Python code in a child interpreter that imports
the same build of tarvella as the test process."""

import os
import subprocess
import sys
import textwrap

import pytest

import tarvella

# Set by scripts/check-aarch64, which runs the suite under qemu's user-mode
# emulation. Some facts of a real machine are not there to be measured: the
# emulator ignores address-space limits, and it makes long memory soaks both
# meaningless and slow. Tests that need a real machine say why with
# @pytest.mark.native_only(reason).
EMULATED = os.environ.get("TARVELLA_EMULATED") == "1"


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "native_only(reason): needs a real machine; skipped under emulation")
    # pytest-run-parallel (scripts/check-freethreaded) runs each test on
    # several threads at once; these run once. Known here without the plugin.
    config.addinivalue_line(
        "markers", "thread_unsafe(reason): run on one thread by pytest-run-parallel")


def pytest_runtest_setup(item):
    marker = item.get_closest_marker("native_only")
    if marker is not None and EMULATED:
        pytest.skip(f"under emulation: {marker.args[0]}")


def _module_dir():
    path = os.path.dirname(os.path.abspath(tarvella.__file__))
    if os.path.basename(tarvella.__file__).startswith("__init__"):
        path = os.path.dirname(path)
    return path


def child_env():
    """Environment for a child interpreter: finds this tarvella, speaks UTF-8."""
    env = dict(os.environ)
    extra = env.get("PYTHONPATH")
    env["PYTHONPATH"] = os.pathsep.join([_module_dir()] + ([extra] if extra else []))
    env["PYTHONIOENCODING"] = "utf-8"
    return env


def run_code(code, timeout=120):
    """Run a snippet in a fresh interpreter; returns the CompletedProcess."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, encoding="utf-8", errors="replace",
        env=child_env(), timeout=timeout,
    )


@pytest.fixture
def run_python():
    return run_code


@pytest.fixture
def child_environment():
    return child_env()
