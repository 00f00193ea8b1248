// nubiro._native: plane segmentation and clustering.
#include "bindings/classes.hpp"
#include "bindings/module.hpp"

namespace nubiro::py {

void add_native_segmentation(PyObject* native) {}

}  // namespace nubiro::py
