// Argument binding and conversion: one parser for positional/keyword calls, one converter per
// argument kind. A binding body receives an `Args` and pulls typed values out of it by position;
// conversion failures come out in the interpreter's standard forms.
#pragma once
#include <array>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bindings/numpy.hpp"
#include "bindings/py.hpp"
#include "core/types.hpp"

namespace nubiro::py {

// A parsed text signature such as "PointCloud.translate(translation, relative=True)".
struct Signature {
    explicit Signature(const char* text);
    std::string qualname;  // "PointCloud.translate", used in binding messages
    std::string name;      // "translate"
    std::string params;    // "translation, relative=True"
    std::vector<std::string> names;
    std::size_t required = 0;  // parameters without a default lead the list
};

using Vector4d = std::array<double, 4>;

// Conversion of one argument kind. `bare` kinds report their TypeError as is; the others are
// reported in the form "argument '{name}': {reason}".
template <class T>
struct Convert;

template <>
struct Convert<double> {
    static constexpr bool bare = false;
    static double from(PyObject* o);
};
template <>
struct Convert<std::int64_t> {
    static constexpr bool bare = false;
    static std::int64_t from(PyObject* o);
};
template <>
struct Convert<std::uint64_t> {
    static constexpr bool bare = false;
    static std::uint64_t from(PyObject* o);
};
template <>
struct Convert<std::int32_t> {
    static constexpr bool bare = false;
    static std::int32_t from(PyObject* o);
};
template <>
struct Convert<bool> {
    static constexpr bool bare = false;
    static bool from(PyObject* o);
};
// A str argument, as UTF-8 text.
template <>
struct Convert<std::string> {
    static constexpr bool bare = false;
    static std::string from(PyObject* o);
};
// A file path: a str as it is, any other object through os.fspath (whose own errors pass
// through unchanged), the result encoded for the file system. A bytes path is refused.
struct Path {
    std::string text;  // as shown in messages
    std::string native;  // as handed to the operating system
};
template <>
struct Convert<Path> {
    static constexpr bool bare = false;
    static Path from(PyObject* o);
};
// A bytes object (not a bytearray), borrowed: the caller keeps the object alive.
struct Bytes {
    std::string_view data;
};
template <>
struct Convert<Bytes> {
    static constexpr bool bare = false;
    static Bytes from(PyObject* o);
};

template <>
struct Convert<Vector3d> {
    static constexpr bool bare = true;
    static Vector3d from(PyObject* o);
};
template <>
struct Convert<Vector4d> {
    static constexpr bool bare = true;
    static Vector4d from(PyObject* o);
};
template <>
struct Convert<Matrix3d> {
    static constexpr bool bare = true;
    static Matrix3d from(PyObject* o);
};
template <>
struct Convert<Matrix4d> {
    static constexpr bool bare = true;
    static Matrix4d from(PyObject* o);
};

// A two-dimensional float64 array of any shape, read in place through its strides (any memory
// order). It borrows the array, which the caller keeps alive for the whole call.
struct MatrixView {
    const char* data;
    np::npy_intp rows, cols;
    np::npy_intp row_stride, col_stride;  // in bytes
    double at(np::npy_intp i, np::npy_intp j) const {
        double v;
        std::memcpy(&v, data + i * row_stride + j * col_stride, sizeof v);
        return v;
    }
};
template <>
struct Convert<MatrixView> {
    static constexpr bool bare = false;
    static MatrixView from(PyObject* o);
};

// A one-dimensional C-contiguous array of native uint32, read in place; the caller keeps it
// alive for the whole call.
struct UInt32Array {
    std::span<const std::uint32_t> values;
};
template <>
struct Convert<UInt32Array> {
    static constexpr bool bare = false;
    static UInt32Array from(PyObject* o);
};

// A registered class's instance (or an instance of a subclass).
template <class O>
struct Instance {
    O* ptr;
    PyObject* object() const { return object_of(ptr); }
};

// Looks up the registered type of an Object<T>; defined by the class registry.
template <class O>
PyTypeObject* type_of();
template <class O>
const char* class_name_of();

template <class O>
struct Convert<Instance<O>> {
    static constexpr bool bare = false;
    static Instance<O> from(PyObject* o) {
        if (!PyObject_TypeCheck(o, type_of<O>())) raise_cannot_convert(o, class_name_of<O>());
        return {reinterpret_cast<O*>(o)};
    }
};

// Thrown by a conversion whose error must reach the caller as it is, never renamed.
struct PassThroughError : ErrorAlreadySet {};

// Converts `o`, wrapping a TypeError of a named kind as "argument '{name}': ..." with the
// original error as its cause.
template <class T>
T convert_named(PyObject* o, const std::string& name);
void rename_type_error(const std::string& name);

class Args {
public:
    static constexpr std::size_t kMax = 12;
    Args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
    Args(const Signature& sig, PyObject* args_tuple, PyObject* kwargs);

    // The raw object at position i, or nullptr when omitted.
    PyObject* raw(std::size_t i) const { return slots_[i]; }
    bool given(std::size_t i) const { return slots_[i] != nullptr; }
    // Given and not None (parameters whose default is None).
    bool present(std::size_t i) const { return slots_[i] && slots_[i] != Py_None; }

    template <class T>
    T get(std::size_t i) const {
        return convert_named<T>(slots_[i], sig_.names[i]);
    }
    template <class T>
    T get(std::size_t i, T fallback) const {
        return given(i) ? get<T>(i) : fallback;
    }
    // For parameters whose default is None.
    template <class T>
    std::optional<T> optional(std::size_t i) const {
        if (!present(i)) return std::nullopt;
        return get<T>(i);
    }

private:
    void bind(PyObject* const* args, Py_ssize_t nargs, PyObject* const* kwvalues, PyObject* kwnames_tuple,
              PyObject* kwdict);
    const Signature& sig_;
    std::array<PyObject*, kMax> slots_{};
};

template <class T>
T convert_named(PyObject* o, const std::string& name) {
    try {
        return Convert<T>::from(o);
    } catch (const PassThroughError&) {
        throw;
    } catch (const ErrorAlreadySet&) {
        if constexpr (!Convert<T>::bare) rename_type_error(name);
        throw;
    }
}

}  // namespace nubiro::py

namespace nubiro::py {

// Results: new arrays owned by the caller.
inline PyObject* result(const Vector3d& v) { return np::vector(v.data(), 3).release(); }
inline PyObject* result(const Matrix3d& m) { return np::matrix(m[0].data(), 3, 3).release(); }
inline PyObject* result(const Matrix4d& m) { return np::matrix(m[0].data(), 4, 4).release(); }

}  // namespace nubiro::py
