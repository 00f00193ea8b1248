// nubiro._native: cloud-to-cloud and cloud-to-mesh distances.
#include "bindings/classes.hpp"
#include "bindings/module.hpp"

namespace nubiro::py {

void add_native_measure(PyObject* native) {}

}  // namespace nubiro::py
