"""Shared helpers: running Python code in a child interpreter that imports
the same build of tarvella as the test process."""

import os
import subprocess
import sys
import textwrap

import pytest

import tarvella


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
