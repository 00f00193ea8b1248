"""The leak and reference-count check of bench/leakcheck.py, shortened: every entry of its
table (each public entry point and its documented error paths) repeated a few hundred times must
leave the reference counts of its arguments as they were and the Python memory flat."""
import importlib.util
import pathlib

import pytest

from nubiro.cpu.pybind import utility

_SCRIPT = pathlib.Path(__file__).resolve().parents[1] / "bench" / "leakcheck.py"
_spec = importlib.util.spec_from_file_location("leakcheck", _SCRIPT)
leakcheck = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(leakcheck)

ENTRIES = leakcheck.build_entries()


@pytest.fixture
def verbosity_restored():
    saved = utility.get_verbosity_level()
    yield
    utility.set_verbosity_level(saved)


# 8 KiB over 500 calls, in each of two rounds: any Python object kept per call (16 bytes at the
# least) shows, while the interpreter's and NumPy's caches (a few KiB, once) do not. Native memory is left to the full script: a few hundred calls are too few for
# the resident set.
def _problems(entry):
    found, _, _ = leakcheck.problems(entry, calls=500, warmup=300, python_limit=8192, rss_limit=float("inf"),
                                     quick=True, rounds=2)
    return found


@pytest.mark.parametrize("entry", ENTRIES, ids=lambda e: e.name)
def test_no_growth(entry, verbosity_restored):
    found = _problems(entry)
    assert not found, "; ".join(found)


def test_the_check_sees_a_kept_reference():
    kept = []
    leaky = leakcheck.Entry("keeps its argument", lambda keep, x: keep.append([x]), (kept, object()), None)
    found = _problems(leaky)
    assert any("argument 1: reference count +500" in f for f in found)
    assert any("Python memory" in f for f in found)
