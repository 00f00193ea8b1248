"""nubiro: 3-D point-cloud processing and pairwise registration at native speed.

The classes and functions live in the extension module ``nubiro.cpu.pybind``; its
submodules are re-exported here, so ``nubiro.geometry.PointCloud`` is the same class as
``nubiro.cpu.pybind.geometry.PointCloud``, and ``from nubiro.pipelines import registration``
imports the same module as ``from nubiro.cpu.pybind.pipelines import registration``.
"""
import sys as _sys

from .cpu import pybind
from .cpu.pybind import geometry, io, pipelines, utility
from . import _pickle
from .formats import FormatError, describe, read, write

# The re-exported submodules import under their short names too.
for _name in ("geometry", "io", "pipelines", "pipelines.registration", "utility", "utility.random"):
    _sys.modules.setdefault(f"{__name__}.{_name}", _sys.modules[f"{pybind.__name__}.{_name}"])

_pickle.install()

from . import pipeline  # noqa: E402  (registration from scratch, as the README shows: nubiro.pipeline.register)

__version__ = pybind.__version__
PanicException = pybind.PanicException


def __getattr__(name: str):
    # The 3-D view needs plotly (an optional extra), so it loads on first use, not with the package.
    # (Its module is not named `show`: importing it would then rebind nubiro.show to the module.)
    if name == "show":
        from ._show import show
        return show
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


__all__ = ["geometry", "io", "pipelines", "utility", "pybind", "PanicException", "__version__",
           "read", "write", "describe", "FormatError"]
