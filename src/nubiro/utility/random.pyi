from nubiro.cpu.pybind.utility.random import *
