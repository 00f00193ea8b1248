#include "bindings/module.hpp"
namespace nubiro::py {
void add_search_classes(PyObject*) {}
void add_feature(PyObject*) {}
}
