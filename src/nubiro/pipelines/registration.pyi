from nubiro.cpu.pybind.pipelines.registration import *
