#include "bindings/numpy.hpp"

#include <bit>
#include <cstdlib>
#include <cstring>
#include <string>

namespace nubiro::np {
namespace {

void** api = nullptr;
PyObject* numpy_module = nullptr;  // kept for the process lifetime

// Slot numbers of the NumPy C-API table; identical in NumPy 1.x and 2.x.
constexpr int kArrayType = 2;
constexpr int kBoolScalarType = 8;
constexpr int kNew = 93;
constexpr int kSetBaseObject = 282;

// The leading fields of an ndarray object and of a dtype object, shared by 1.x and 2.x.
struct ArrayFields {
    PyObject ob_base;
    char* data;
    int nd;
    npy_intp* dimensions;
    npy_intp* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};
struct DescrFields {
    PyObject ob_base;
    PyTypeObject* typeobj;
    char kind;
    char type;
    char byteorder;
    char former_flags;
    int type_num;
};

using NewFn = PyObject* (*)(PyTypeObject*, int, const npy_intp*, int, const npy_intp*, void*, int, int, PyObject*);
using SetBaseFn = int (*)(PyObject*, PyObject*);

PyTypeObject* array_type() { return static_cast<PyTypeObject*>(api[kArrayType]); }

}  // namespace

void load() {
    if (api) return;
    Ref numpy = check(PyImport_ImportModule("numpy"));
    Ref version = check(PyObject_GetAttrString(numpy.get(), "__version__"));
    std::string v = str(version.get());
    const char* name = std::atoi(v.c_str()) >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
    Ref multiarray = check(PyImport_ImportModule(name));
    Ref capsule = check(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
    if (!table) raise_current();
    api = static_cast<void**>(table);
    numpy_module = numpy.release();
    capsule.release();  // the table lives as long as NumPy: keep the capsule forever
}

bool is_array(PyObject* o) { return PyObject_TypeCheck(o, array_type()); }

bool is_bool_scalar(PyObject* o) { return PyObject_TypeCheck(o, static_cast<PyTypeObject*>(api[kBoolScalarType])); }

ArrayInfo info(PyObject* array) {
    auto* a = reinterpret_cast<ArrayFields*>(array);
    auto* d = reinterpret_cast<DescrFields*>(a->descr);
    const bool native = d->byteorder != (std::endian::native == std::endian::little ? '>' : '<');
    return {a->data, a->nd, a->dimensions, a->strides, d->type_num, native, a->flags};
}

Ref new_array(int type_num, std::span<const npy_intp> shape, void* data, PyObject* base,
              std::span<const npy_intp> strides) {
    constexpr int kWriteable = 0x0400, kCArray = 0x0001 | 0x0100 | 0x0400;
    auto fn = reinterpret_cast<NewFn>(api[kNew]);
    Ref arr = check(fn(array_type(), static_cast<int>(shape.size()), shape.data(), type_num,
                       strides.empty() ? nullptr : strides.data(), data, 0,
                       data ? (kCArray | kWriteable) : 0, nullptr));
    if (data && base) {
        Py_INCREF(base);
        if (reinterpret_cast<SetBaseFn>(api[kSetBaseObject])(arr.get(), base) < 0) raise_current();
    }
    return arr;
}

Ref vector(const double* v, npy_intp n) {
    npy_intp shape[1] = {n};
    Ref arr = new_array(Float64, shape, nullptr, nullptr);
    if (n) std::memcpy(info(arr.get()).data, v, n * sizeof(double));
    return arr;
}

Ref matrix(const double* rowmajor, npy_intp rows, npy_intp cols) {
    npy_intp shape[2] = {rows, cols};
    Ref arr = new_array(Float64, shape, nullptr, nullptr);
    if (rows * cols != 0) std::memcpy(info(arr.get()).data, rowmajor, rows * cols * sizeof(double));
    return arr;
}

Ref asarray(PyObject* obj) {
    static PyObject* fn = nullptr;
    if (!fn) fn = check(PyObject_GetAttrString(numpy_module, "asarray")).release();
    return check(PyObject_CallFunctionObjArgs(fn, obj, nullptr));
}

Ref astype(PyObject* array, PyObject* dtype) {
    return check(PyObject_CallMethod(array, "astype", "O", dtype));
}

}  // namespace nubiro::np
