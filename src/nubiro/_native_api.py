"""The private native module behind nubiro.filters, nubiro.segmentation and nubiro.measure.

It is made by the extension binary when ``nubiro.cpu.pybind`` loads and has no stubs, so it is
looked up by name and typed as Any.
"""
from __future__ import annotations

import importlib
from typing import Any

from .cpu import pybind as _pybind  # noqa: F401  (loads the binary that makes nubiro._native)

native: Any = importlib.import_module("nubiro._native")
