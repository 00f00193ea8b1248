#include "bindings/args.hpp"

#include <cmath>
#include <cstring>

namespace nubiro::py {

// ---- small shared helpers ------------------------------------------------------------------

namespace {
PyObject* panic_class = nullptr;
}

PyObject* panic_exception() { return panic_class ? panic_class : PyExc_RuntimeError; }
void set_panic_exception(PyObject* cls) { panic_class = cls; }

std::string type_name(PyObject* o) {
    Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__name__"));
    if (!name) {
        PyErr_Clear();
        return "object";
    }
    return str(name.get());
}

std::string str(PyObject* o) {
    Ref s(PyObject_Str(o));
    if (!s) {
        PyErr_Clear();
        return "";
    }
    Py_ssize_t n = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(s.get(), &n);
    if (!utf8) {
        PyErr_Clear();
        return "";
    }
    return std::string(utf8, static_cast<std::size_t>(n));
}

void raise_cannot_convert(PyObject* value, std::string_view target) {
    raise(PyExc_TypeError, "'" + type_name(value) + "' object cannot be converted to '" + std::string(target) + "'");
}

void rename_type_error(const std::string& name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb) PyException_SetTraceback(value, tb);
    std::string message = "argument '" + name + "': " + str(value);
    PyObject* renamed = PyObject_CallFunction(PyExc_TypeError, "s", message.c_str());
    Py_XDECREF(type);
    Py_XDECREF(tb);
    if (!renamed) {
        Py_XDECREF(value);
        return;
    }
    Py_INCREF(value);
    PyException_SetContext(renamed, value);
    PyException_SetCause(renamed, value);  // steals
    PyErr_SetObject(PyExc_TypeError, renamed);
    Py_DECREF(renamed);
}

// ---- signatures and binding ----------------------------------------------------------------

Signature::Signature(const char* text) {
    std::string_view t(text);
    auto open = t.find('(');
    qualname = std::string(t.substr(0, open));
    auto dot = qualname.rfind('.');
    name = dot == std::string::npos ? qualname : qualname.substr(dot + 1);
    params = std::string(t.substr(open + 1, t.rfind(')') - open - 1));
    std::string_view rest(params);
    while (!rest.empty()) {
        auto comma = rest.find(',');
        std::string_view item = rest.substr(0, comma);
        while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
        auto eq = item.find('=');
        if (!item.empty() && item != "...") {
            names.emplace_back(item.substr(0, eq));
            if (eq == std::string_view::npos) required = names.size();
        }
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    if (names.size() > Args::kMax) throw std::logic_error("too many parameters in " + qualname);
}

namespace {

std::string quoted_list(const std::vector<std::string>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i) out += names.size() > 2 ? ", " : " ";
        if (i && i + 1 == names.size()) out += "and ";
        out += "'" + names[i] + "'";
    }
    return out;
}

[[noreturn]] void raise_positional_count(const Signature& sig, Py_ssize_t given) {
    std::size_t max = sig.names.size();
    std::string takes = sig.required == max ? std::to_string(max)
                                            : "from " + std::to_string(sig.required) + " to " + std::to_string(max);
    raise(PyExc_TypeError, sig.qualname + "() takes " + takes + " positional argument" + (max == 1 ? "" : "s") +
                               " but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given");
}

}  // namespace

Args::Args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) : sig_(sig) {
    bind(args, nargs, kwnames ? args + nargs : nullptr, kwnames, nullptr);
}

Args::Args(const Signature& sig, PyObject* args_tuple, PyObject* kwargs) : sig_(sig) {
    Py_ssize_t n = args_tuple ? PyTuple_Size(args_tuple) : 0;
    std::array<PyObject*, kMax + 1> positional{};
    if (n > static_cast<Py_ssize_t>(sig.names.size())) raise_positional_count(sig, n);
    for (Py_ssize_t i = 0; i < n; ++i) positional[i] = PyTuple_GetItem(args_tuple, i);
    bind(positional.data(), n, nullptr, nullptr, kwargs && PyDict_Size(kwargs) ? kwargs : nullptr);
}

void Args::bind(PyObject* const* args, Py_ssize_t nargs, PyObject* const* kwvalues, PyObject* kwnames_tuple,
                PyObject* kwdict) {
    const std::size_t nparams = sig_.names.size();
    if (nargs > static_cast<Py_ssize_t>(nparams)) raise_positional_count(sig_, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) slots_[i] = args[i];

    auto put_keyword = [&](PyObject* key, PyObject* value) {
        Py_ssize_t len = 0;
        const char* k = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &len) : nullptr;
        if (!k) {
            PyErr_Clear();
            raise(PyExc_TypeError, sig_.qualname + "() keywords must be strings");
        }
        std::string_view kw(k, static_cast<std::size_t>(len));
        for (std::size_t i = 0; i < nparams; ++i) {
            if (sig_.names[i] != kw) continue;
            if (slots_[i])
                raise(PyExc_TypeError, sig_.qualname + "() got multiple values for argument '" + std::string(kw) + "'");
            slots_[i] = value;
            return;
        }
        raise(PyExc_TypeError, sig_.qualname + "() got an unexpected keyword argument '" + std::string(kw) + "'");
    };
    if (kwnames_tuple) {
        Py_ssize_t nkw = PyTuple_Size(kwnames_tuple);
        for (Py_ssize_t j = 0; j < nkw; ++j) put_keyword(PyTuple_GetItem(kwnames_tuple, j), kwvalues[j]);
    } else if (kwdict) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwdict, &pos, &key, &value)) put_keyword(key, value);
    }

    std::vector<std::string> missing;
    for (std::size_t i = 0; i < sig_.required; ++i)
        if (!slots_[i]) missing.push_back(sig_.names[i]);
    if (!missing.empty())
        raise(PyExc_TypeError, sig_.qualname + "() missing " + std::to_string(missing.size()) + " required positional argument" +
                                   (missing.size() == 1 ? "" : "s") + ": " + quoted_list(missing));
}

// ---- converters ------------------------------------------------------------------------------

double Convert<double>::from(PyObject* o) {
    double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) raise_current();
    return v;
}

std::int64_t Convert<std::int64_t>::from(PyObject* o) {
    Ref index = check(PyNumber_Index(o));
    long long v = PyLong_AsLongLong(index.get());
    if (v == -1 && PyErr_Occurred()) raise_current();
    return v;
}

std::uint64_t Convert<std::uint64_t>::from(PyObject* o) {
    Ref index = check(PyNumber_Index(o));
    unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) raise_current();
    return v;
}

std::int32_t Convert<std::int32_t>::from(PyObject* o) {
    std::int64_t v;
    try {
        v = Convert<std::int64_t>::from(o);
    } catch (const ErrorAlreadySet&) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            raise(PyExc_OverflowError, "Python int too large to convert to C int");
        }
        throw;
    }
    if (v < INT32_MIN || v > INT32_MAX) raise(PyExc_OverflowError, "Python int too large to convert to C int");
    return static_cast<std::int32_t>(v);
}

bool Convert<bool>::from(PyObject* o) {
    if (o == Py_True) return true;
    if (o == Py_False) return false;
    if (np::is_bool_scalar(o)) {
        int t = PyObject_IsTrue(o);
        check(t);
        return t != 0;
    }
    raise_cannot_convert(o, "PyBool");
}

std::string Convert<std::string>::from(PyObject* o) {
    if (!PyUnicode_Check(o)) raise_cannot_convert(o, "PyString");
    Py_ssize_t n = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(o, &n)) return std::string(utf8, static_cast<std::size_t>(n));
    // Lone surrogates have no UTF-8 form; such a text still converts, escaped.
    PyErr_Clear();
    Ref escaped = check(PyUnicode_AsEncodedString(o, "utf-8", "backslashreplace"));
    return std::string(PyBytes_AsString(escaped.get()), static_cast<std::size_t>(PyBytes_Size(escaped.get())));
}

Path Convert<Path>::from(PyObject* o) {
    Ref text = Ref::borrow(o);
    if (!PyUnicode_Check(o)) {
        Ref os = check(PyImport_ImportModule("os"));
        Ref converted(PyObject_CallMethod(os.get(), "fspath", "O", o));
        if (!converted) throw PassThroughError{};
        if (!PyUnicode_Check(converted.get())) raise_cannot_convert(converted.get(), "PyString");
        text = converted;
    }
    // The file-system encoding (surrogate escapes included) names the same file Python would.
    // A text it cannot encode names no file: the NUL makes every open fail.
    Ref native(PyUnicode_EncodeFSDefault(text.get()));
    if (!native) {
        PyErr_Clear();
        return {Convert<std::string>::from(text.get()), std::string(1, '\0')};
    }
    return {Convert<std::string>::from(text.get()),
            std::string(PyBytes_AsString(native.get()), static_cast<std::size_t>(PyBytes_Size(native.get())))};
}

Bytes Convert<Bytes>::from(PyObject* o) {
    if (!PyBytes_Check(o)) raise_cannot_convert(o, "PyBytes");
    char* data = nullptr;
    Py_ssize_t n = 0;
    check(PyBytes_AsStringAndSize(o, &data, &n));
    return {{data, static_cast<std::size_t>(n)}};
}

namespace {

// Reads a sequence (not a str) of exactly k floats; false (no error set) otherwise.
bool read_float_sequence(PyObject* o, double* out, Py_ssize_t k) {
    if (PyUnicode_Check(o) || !PySequence_Check(o)) return false;
    Py_ssize_t n = PySequence_Size(o);
    if (n != k) {
        PyErr_Clear();
        return false;
    }
    for (Py_ssize_t i = 0; i < k; ++i) {
        Ref item(PySequence_GetItem(o, i));
        if (!item) {
            PyErr_Clear();
            return false;
        }
        out[i] = PyFloat_AsDouble(item.get());
        if (out[i] == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

// Small fixed vectors: a float64 array with exactly k elements (any shape) is taken in memory
// order; `retry_as_sequence` says whether a float64 array of another size is re-read as a
// sequence (3-vectors) or refused (4-vectors).
template <std::size_t K>
std::array<double, K> fixed_vector(PyObject* o, const char* message, bool retry_as_sequence) {
    std::array<double, K> v{};
    if (np::is_array(o)) {
        np::ArrayInfo a = np::info(o);
        if (a.is(np::Float64)) {
            if (!a.contiguous()) raise(PyExc_TypeError, "The given array is not contiguous");
            if (a.size() == static_cast<np::npy_intp>(K)) {
                std::memcpy(v.data(), a.data, sizeof v);
                return v;
            }
            if (!retry_as_sequence) raise(PyExc_TypeError, message);
        }
    }
    if (!read_float_sequence(o, v.data(), K)) raise(PyExc_TypeError, message);
    return v;
}

MatrixView float_matrix(PyObject* o) {
    if (np::is_array(o)) {
        np::ArrayInfo a = np::info(o);
        if (a.ndim == 2 && a.is(np::Float64)) return {a.data, a.shape[0], a.shape[1], a.strides[0], a.strides[1]};
    }
    raise_cannot_convert(o, "PyArray<T, D>");
}

template <class M, int N>
M fixed_matrix(PyObject* o, const char* message) {
    MatrixView a = float_matrix(o);
    if (a.rows != N || a.cols != N) raise(PyExc_TypeError, message);
    M m{};
    for (int i = 0; i < N; ++i)
        for (int j = 0; j < N; ++j) m[i][j] = a.at(i, j);
    return m;
}

}  // namespace

Vector3d Convert<Vector3d>::from(PyObject* o) { return fixed_vector<3>(o, "expected 3-vector", true); }
Vector4d Convert<Vector4d>::from(PyObject* o) { return fixed_vector<4>(o, "expected 4-vector", false); }
Matrix3d Convert<Matrix3d>::from(PyObject* o) { return fixed_matrix<Matrix3d, 3>(o, "expected 3x3 matrix"); }
Matrix4d Convert<Matrix4d>::from(PyObject* o) { return fixed_matrix<Matrix4d, 4>(o, "expected 4x4 matrix"); }

MatrixView Convert<MatrixView>::from(PyObject* o) { return float_matrix(o); }

UInt32Array Convert<UInt32Array>::from(PyObject* o) {
    if (np::is_array(o)) {
        np::ArrayInfo a = np::info(o);
        if (a.ndim == 1 && a.is(np::UInt32) && a.c_contiguous())
            return {{reinterpret_cast<const std::uint32_t*>(a.data), static_cast<std::size_t>(a.shape[0])}};
    }
    raise(PyExc_TypeError, "expected a one-dimensional contiguous uint32 array");
}

}  // namespace nubiro::py
