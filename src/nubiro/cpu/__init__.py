"""Native (CPU) build of nubiro; the extension module is ``nubiro.cpu.pybind``."""
