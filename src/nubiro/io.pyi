# `nubiro.io` is `nubiro.cpu.pybind.io` under a shorter name.
from nubiro.cpu.pybind.io import *
