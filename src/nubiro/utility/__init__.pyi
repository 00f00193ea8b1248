# `nubiro.utility` is `nubiro.cpu.pybind.utility` under a shorter name.
from nubiro.cpu.pybind.utility import *
from nubiro.cpu.pybind.utility import random as random
