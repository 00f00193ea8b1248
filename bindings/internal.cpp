// Private hooks for the test suite (nubiro.cpu.pybind._internal): direct access to the number
// text forms, the worker pool and the access discipline, which have no public entry point of
// their own or only indirect ones.
#include <chrono>
#include <thread>

#include "bindings/module.hpp"
#include "bindings/classes.hpp"
#include "core/linalg.hpp"
#include "core/parallel.hpp"

namespace nubiro::py {
namespace {

std::string_view text_arg(PyObject* o) {
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(o, &n);
    if (!s) raise_current();
    return {s, static_cast<std::size_t>(n)};
}

PyObject* str_result(const std::string& s) { return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())); }

template <std::string (*Format)(double)>
PyObject* format(Args& a) {
    return str_result(Format(a.get<double>(0)));
}

PyObject* format_fixed(Args& a) { return str_result(text::format_fixed(a.get<double>(0), a.get<std::int32_t>(1))); }

template <std::optional<double> (*Parse)(std::string_view)>
PyObject* parse(Args& a) {
    auto v = Parse(text_arg(a.raw(0)));
    return v ? PyFloat_FromDouble(*v) : none();
}

PyObject* num_threads(Args&) { return PyLong_FromSize_t(parallel::num_threads()); }

// Runs a pool loop of n bodies, counting calls per index; body `fail_at` throws.
PyObject* parallel_probe(Args& a) {
    auto n = static_cast<std::size_t>(a.get<std::int64_t>(0));
    std::int64_t fail_at = a.get<std::int64_t>(1, -1);
    std::vector<std::atomic<int>> calls(n);
    {
        ReleaseGil unlocked;
        parallel::parallel_for(n, [&](std::size_t i) {
            if (static_cast<std::int64_t>(i) == fail_at) throw std::runtime_error("probe body failed");
            calls[i].fetch_add(1, std::memory_order_relaxed);
        });
    }
    Ref out = check(PyList_New(static_cast<Py_ssize_t>(n)));
    for (std::size_t i = 0; i < n; ++i) PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), PyLong_FromLong(calls[i].load()));
    return out.release();
}

// Holds read (or write) access on one of our objects for `seconds` with the interpreter lock
// released, so tests can observe the refusals another thread gets meanwhile.
PyObject* hold_access(Args& a) {
    PyObject* obj = a.raw(0);
    if (!is_value_object(obj)) raise(PyExc_TypeError, "hold_access needs one of the library's objects");
    bool write = a.get<bool>(1);
    double seconds = a.get<double>(2);
    ReadAccess r;
    WriteAccess w;
    if (write)
        w = WriteAccess(obj);
    else
        r = ReadAccess(obj);
    ReleaseGil unlocked;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    return none();
}

}  // namespace

void add_internal(PyObject* internal) {
    add_functions(internal, {function<"format_general(x)", format<text::format_general>>(),
                             function<"format_exponent(x)", format<text::format_exponent>>(),
                             function<"format_fixed10(x)", format<text::format_fixed10>>(),
                             function<"format_shortest(x)", format<text::format_shortest>>(),
                             function<"format_fixed(x, decimals)", format_fixed>(),
                             function<"parse_strict(token)", parse<text::parse_strict>>(),
                             function<"parse_lenient(token)", parse<text::parse_lenient>>(),
                             function<"num_threads()", num_threads>(),
                             function<"parallel_probe(n, fail_at=-1)", parallel_probe>(),
                             function<"hold_access(obj, write, seconds)", hold_access>()});
}

}  // namespace nubiro::py
