# `nubiro.geometry` is `nubiro.cpu.pybind.geometry` under a shorter name.
from nubiro.cpu.pybind.geometry import *
