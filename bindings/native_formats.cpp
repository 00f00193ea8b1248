// nubiro._native: PCD and the other file formats.
#include "bindings/classes.hpp"
#include "bindings/module.hpp"

namespace nubiro::py {

void add_native_formats(PyObject* native) {}

}  // namespace nubiro::py
