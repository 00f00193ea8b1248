// NumPy's C interface, taken at run time from the `_ARRAY_API` capsule of the installed NumPy
// (numpy.core.multiarray for 1.x, numpy._core.multiarray for 2.x). Only the slots and struct
// fields that are identical in both major versions are used.
#pragma once
#include <cstdint>
#include <span>

#include "bindings/py.hpp"

namespace nubiro::np {

using py::Ref;
using py::check;
using py::raise_current;
using py::str;

using npy_intp = Py_ssize_t;

enum TypeNum : int { Bool = 0, Int32 = 5, UInt32 = 6, Float64 = 12 };

void load();        // fills the table; raises on failure
bool is_array(PyObject* o);
bool is_bool_scalar(PyObject* o);

// Read-only description of an ndarray, valid while the array lives.
struct ArrayInfo {
    char* data;
    int ndim;
    const npy_intp* shape;
    const npy_intp* strides;
    int type_num;
    bool native;  // native byte order
    int flags;
    npy_intp size() const {
        npy_intp n = 1;
        for (int i = 0; i < ndim; ++i) n *= shape[i];
        return n;
    }
    bool c_contiguous() const { return flags & 0x1; }
    bool f_contiguous() const { return flags & 0x2; }
    bool contiguous() const { return flags & 0x3; }
    bool is(int num) const { return type_num == num && native; }
};

ArrayInfo info(PyObject* array);  // `array` must satisfy is_array

// A new C-ordered array of shape `shape` over `data`, with `base` (borrowed; a reference is
// taken) as its base object. With data == nullptr NumPy allocates owned memory.
// `strides` may be empty (C order computed by NumPy).
Ref new_array(int type_num, std::span<const npy_intp> shape, void* data, PyObject* base,
              std::span<const npy_intp> strides = {});

// New arrays holding copies.
Ref vector(const double* v, npy_intp n);
Ref matrix(const double* rowmajor, npy_intp rows, npy_intp cols);

// Python-level helpers: numpy.asarray(obj), arr.astype(dtype_name).
Ref asarray(PyObject* obj);
Ref astype(PyObject* array, PyObject* dtype);

}  // namespace nubiro::np
