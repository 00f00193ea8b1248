// nubiro._native: outlier removal, selection and sampling.
#include "bindings/classes.hpp"
#include "bindings/module.hpp"

namespace nubiro::py {

void add_native_filters(PyObject* native) {}

}  // namespace nubiro::py
