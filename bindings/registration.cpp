// pipelines.registration: the Feature matrix.
#include "bindings/module.hpp"
#include "bindings/classes.hpp"
#include "core/registration/feature.hpp"

namespace nubiro::py {

namespace {

using registration::Feature;
using FeatureObject = Object<Feature>;

Feature& feature(PyObject* self) { return value_of<Feature>(self); }

PyObject* resize(PyObject* self, Args& a) {
    std::int32_t dim = a.get<std::int32_t>(0);
    std::int32_t n = a.get<std::int32_t>(1);
    WriteAccess w(self);
    if (auto error = feature(self).resize(dim, n)) raise(*error);
    return none();
}

PyObject* dimension(PyObject* self, Args&) {
    ReadAccess r(self);
    return PyLong_FromUnsignedLongLong(feature(self).dimension);
}

PyObject* num(PyObject* self, Args&) {
    ReadAccess r(self);
    return PyLong_FromUnsignedLongLong(feature(self).num);
}

// The data as a new (dimension, num) array.
PyObject* get_data(const Feature& f) {
    np::npy_intp shape[2] = {static_cast<np::npy_intp>(f.dimension), static_cast<np::npy_intp>(f.num)};
    Ref out = np::new_array(np::Float64, shape, nullptr, nullptr);
    f.copy_rows_to(reinterpret_cast<double*>(np::info(out.get()).data));
    return out.release();
}

void set_data(Feature& f, MatrixView m) {
    if (auto error = f.set_data(m.data, static_cast<std::uint64_t>(m.rows), static_cast<std::uint64_t>(m.cols),
                                          m.row_stride, m.col_stride))
        raise(*error);
}

PyObject* repr(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&] {
        ReadAccess r(self);
        std::string text = "Feature class with dimension = " + std::to_string(feature(self).dimension) +
                           " and num = " + std::to_string(feature(self).num) + "\nAccess its data via data member.";
        return PyUnicode_FromString(text.c_str());
    });
}

}  // namespace

void add_feature(PyObject* module) {
    ClassSpec cls{kRegistration, "Feature", "(other=None)"};
    cls.slots = {{Py_tp_init, reinterpret_cast<void*>(tp_init<"Feature(other=None)", init_copy<Feature>>)},
                  {Py_tp_repr, reinterpret_cast<void*>(repr)}};
    cls.methods = {method<"Feature.resize(dim, n)", resize>(), method<"Feature.dimension()", dimension>(),
                    method<"Feature.num()", num>(), method<"Feature.__copy__()", deep_copy<Feature>>(),
                    method<"Feature.__deepcopy__(_memo)", deep_copy<Feature>>()};
    cls.properties = {computed<get_data, set_data>("data")};
    add_type(module, make_value_class<Feature>(std::move(cls)));
}

}  // namespace nubiro::py
