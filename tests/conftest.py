"""Shared set-up of the pytest suites (tests/python, tests/tango).

The package is imported from the build tree: VM_BUILD_DIR names it (default build/default).
vmsim processes run on 127.0.0.1 with a free port and are killed by their pid, even on failure.
"""

import contextlib
import os
import signal
import subprocess
import sys
import tempfile
import time

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.environ.get("VM_BUILD_DIR", os.path.join(ROOT, "build", "default"))
PYTHON_DIR = os.path.join(BUILD, "python")
VMSIM = os.path.join(BUILD, "sim", "vmsim")
EXAMPLES = os.path.join(ROOT, "examples")

sys.path.insert(0, PYTHON_DIR)


def package_environment():
    """The environment of a child Python process that imports the package from the build tree."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (PYTHON_DIR, env.get("PYTHONPATH")) if p)
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    return env


def stop_process(process):
    """Kill a child by its pid and reap it."""
    if process.poll() is None:
        with contextlib.suppress(ProcessLookupError):
            os.kill(process.pid, signal.SIGKILL)
    process.wait(timeout=10)


@contextlib.contextmanager
def vmsim_process(*args):
    """A vmsim on 127.0.0.1 with a free port; yields its port. Killed by pid at the end."""
    if not os.path.exists(VMSIM):
        pytest.skip(f"{VMSIM} is not built")
    with tempfile.TemporaryDirectory() as directory:
        ready = os.path.join(directory, "ready")
        argv = [VMSIM, "--bind", "127.0.0.1", "--port", "0", "--no-discovery", "--ready-file", ready, *args]
        process = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            # Start-up, not a protocol wait: the program writes the file once it listens.
            deadline = time.monotonic() + 10
            while not os.path.exists(ready):
                if process.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError("vmsim did not start")
                time.sleep(0.005)
            with open(ready) as f:
                yield int(f.read().split()[0])
        finally:
            stop_process(process)


@pytest.fixture
def vmsim_port():
    """The port of a vmsim process on the default rack, at 50 times real time."""
    with vmsim_process("--speed", "50") as port:
        yield port
