"""Every public function, class and method of the Python API documents its parameters or what it
returns in numpydoc sections, so help() and an editor's hover say how to call it."""
import importlib
import inspect

import pytest

MODULES = ["filters", "segmentation", "measure", "align", "formats", "multiway", "posegraph", "_show"]


def public_callables():
    for name in MODULES:
        module = importlib.import_module(f"nubiro.{name}")
        for attr, obj in vars(module).items():
            if attr.startswith("_") or not callable(obj) or getattr(obj, "__module__", None) != module.__name__:
                continue
            if isinstance(obj, type) and issubclass(obj, BaseException):
                continue  # an exception documents itself by its message
            yield pytest.param(obj, id=f"{name}.{attr}")
            if isinstance(obj, type):
                for method, member in vars(obj).items():
                    if not method.startswith("_") and callable(getattr(member, "__func__", member)):
                        yield pytest.param(getattr(obj, method), id=f"{name}.{attr}.{method}")


@pytest.mark.parametrize("obj", list(public_callables()))
def test_has_numpydoc_sections(obj):
    doc = inspect.getdoc(obj) or ""
    assert any(f"\n{section}\n{'-' * len(section)}" in doc for section in ("Parameters", "Returns", "Attributes")), (
        f"{obj.__qualname__} has no Parameters, Returns or Attributes section")
