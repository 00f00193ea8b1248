# `nubiro.pipelines` is `nubiro.cpu.pybind.pipelines` under a shorter name.
from nubiro.cpu.pybind.pipelines import registration as registration
