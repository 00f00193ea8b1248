import os
import subprocess
import sys
import threading
import time
from contextlib import contextmanager

import numpy as np
import pytest

import nubiro
from nubiro.cpu import pybind
from nubiro.cpu.pybind import geometry, utility
from support import cloud as _cloud

# Where the nubiro under test was imported from (the installed package, or a source tree with
# a built extension); fresh interpreters must import that same copy.
NUBIRO_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(nubiro.__file__)))


def _touch(obj):
    """A write through `obj` that leaves its contents as they are."""
    if isinstance(obj, geometry.PointCloud):
        obj.__init__(obj)
    else:
        obj.extend(np.zeros((0, 3)))


@contextmanager
def _held_all(*holds, seconds=1.5):
    """Other threads hold access on objects for the duration of the block. Each hold is
    (obj, write, probe) where `probe` fails with RuntimeError once the hold is in effect; the
    probes run entirely under the interpreter lock, so they never race with the other take."""
    workers = [threading.Thread(target=pybind._internal.hold_access, args=(obj, write, seconds))
               for obj, write, _ in holds]
    for worker in workers:
        worker.start()
    deadline = time.monotonic() + 10
    for _, _, probe in holds:
        while True:
            try:
                probe()
            except RuntimeError:
                break
            assert time.monotonic() < deadline, "the other thread never took access"
            time.sleep(0.001)
    try:
        yield
        assert all(w.is_alive() for w in workers), "a hold ended before the checks finished"
    finally:
        for worker in workers:
            worker.join()


def _held(obj, write, seconds=1.5):
    """Another thread holds read or write access on `obj` (probed with a write that changes nothing)."""
    return _held_all((obj, write, lambda: _touch(obj)), seconds=seconds)


def _fresh_env(**env):
    """Environment for a fresh interpreter that imports the nubiro under test."""
    return dict(os.environ, PYTHONPATH=NUBIRO_ROOT, **env)


def _run_python(code, **env):
    """Runs `code` in a fresh interpreter importing the nubiro under test; returns stdout."""
    done = subprocess.run([sys.executable, "-c", code], env=_fresh_env(**env), cwd=NUBIRO_ROOT, capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.fixture
def restore_verbosity():
    yield
    utility.set_verbosity_level(utility.VerbosityLevel.Info)


# Helpers handed to tests as fixtures (test modules are imported without sys.path tweaks).
@pytest.fixture
def make_cloud():
    return _cloud


@pytest.fixture
def held():
    return _held


@pytest.fixture
def held_all():
    return _held_all


@pytest.fixture
def run_python():
    return _run_python


@pytest.fixture
def fresh_env():
    return _fresh_env
