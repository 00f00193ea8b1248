"""nubiro: 3-D point-cloud processing and pairwise registration at native speed.

The classes and functions live in the extension module ``nubiro.cpu.pybind``; its
submodules are re-exported here, so ``nubiro.geometry.PointCloud`` is the same class as
``nubiro.cpu.pybind.geometry.PointCloud``.
"""
from .cpu import pybind
from .cpu.pybind import geometry, io, pipelines, utility
from . import _pickle

_pickle.install()

__version__ = pybind.__version__
PanicException = pybind.PanicException

__all__ = ["geometry", "io", "pipelines", "utility", "pybind", "PanicException", "__version__"]
