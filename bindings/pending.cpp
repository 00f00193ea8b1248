#include "bindings/module.hpp"
namespace nubiro::py {
void add_point_cloud(PyObject*) {}
void add_search_classes(PyObject*) {}
void add_feature(PyObject*) {}
void add_internal(PyObject*) {}
}
