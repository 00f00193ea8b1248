// nubiro._native: per-point covariances, generalized ICP and robust kernels.
#include "bindings/classes.hpp"
#include "bindings/module.hpp"

namespace nubiro::py {

void add_native_align(PyObject* native) {}

}  // namespace nubiro::py
