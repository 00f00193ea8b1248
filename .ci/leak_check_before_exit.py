"""Runs the leak checker when the test session ends, while the interpreter is still whole.

Loaded by .ci/sanitize with ``-p``. The checker's usual pass runs after the interpreter has
shut down, while daemon threads left by libraries (Dask's among them) are being torn down one
by one; stopping every thread for the scan at that moment can crash the checker itself ("Tracer
caught signal 11"), which fails the run with no leak found. Checking here sees the same native
allocations: memory nothing points to is as unreachable now as it will be at exit, and what the
interpreter still holds is reachable instead of reported. Once this pass has run, the runtime
skips the one at exit.
"""

import ctypes

import pytest


@pytest.hookimpl(trylast=True)
def pytest_unconfigure(config):
    check = getattr(ctypes.CDLL(None), "__lsan_do_leak_check", None)
    if check is not None:
        check()  # ends the process with the runtime's exit code if it finds a leak
