"""The shipped type stubs describe the extension module as it is at run time."""
import subprocess
import sys

import pytest

pytest.importorskip("mypy.stubtest")


def test_stubs_match_the_runtime_module(fresh_env, tmp_path):
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", "nubiro.cpu.pybind"], cwd=tmp_path,
                          env=fresh_env(), capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr


def test_python_package_type_checks_against_the_stubs(fresh_env, tmp_path):
    done = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "-p", "nubiro"], cwd=tmp_path,
                          env=fresh_env(), capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
