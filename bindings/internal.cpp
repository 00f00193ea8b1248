// Private hooks for the test suite (nubiro.cpu.pybind._internal): direct access to the number
// text forms, the worker pool and the access discipline, which have no public entry point of
// their own or only indirect ones.
#include <algorithm>
#include <chrono>
#include <limits>
#include <thread>

#include "bindings/module.hpp"
#include "bindings/classes.hpp"
#include "bindings/vectors.hpp"
#include "core/kdtree.hpp"
#include "core/number_text.hpp"
#include "core/parallel.hpp"
#include "core/fixed_sort.hpp"

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
    {
        ReleaseGil unlocked;
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    }
    return none();
}

// k nearest neighbours of every row of a C-contiguous (m, d) float64 array, on the calling
// thread only: measures the index itself, without per-call binding overhead.
PyObject* knn_batch(Args& a) {
    PyObject* tree_obj = a.get<Instance<Object<KDTree>>>(0).object();
    const KDTree& tree = value_of<KDTree>(tree_obj);
    auto k = static_cast<std::size_t>(a.get<std::int64_t>(2));
    if (!np::is_array(a.raw(1))) raise(PyExc_TypeError, "queries must be a float64 array");
    np::ArrayInfo q = np::info(a.raw(1));
    if (q.ndim != 2 || !q.is(np::Float64) || !q.c_contiguous() || static_cast<std::size_t>(q.shape[1]) != tree.dimension())
        raise(PyExc_TypeError, "queries must be a C-contiguous (m, d) float64 array");
    np::npy_intp shape[2] = {q.shape[0], static_cast<np::npy_intp>(k)};
    Ref indices = np::new_array(np::Int32, shape, nullptr, nullptr);
    Ref dist2 = np::new_array(np::Float64, shape, nullptr, nullptr);
    auto* out_i = reinterpret_cast<std::uint32_t*>(np::info(indices.get()).data);
    auto* out_d = reinterpret_cast<double*>(np::info(dist2.get()).data);
    const auto* queries = reinterpret_cast<const double*>(q.data);
    {
        ReadAccess r(tree_obj);
        ReleaseGil unlocked;
        const std::size_t d = tree.dimension();
        for (np::npy_intp i = 0; i < q.shape[0]; ++i) {
            // Rows with fewer than k neighbours are padded with -1 and infinity.
            std::size_t found = tree.search_knn(queries + i * d, k, out_i + i * k, out_d + i * k);
            std::fill(out_i + i * k + found, out_i + (i + 1) * k, UINT32_MAX);
            std::fill(out_d + i * k + found, out_d + (i + 1) * k, std::numeric_limits<double>::infinity());
        }
    }
    return check(PyTuple_Pack(2, indices.get(), dist2.get())).release();
}

// The built tree's shape as bytes: its permutation, then its nodes in pre-order. Two builds
// made the same tree exactly when these are equal.
PyObject* kdtree_layout(Args& a) {
    PyObject* tree_obj = &a.get<Instance<Object<KDTree>>>(0).ptr->head.ob_base;
    ReadAccess r(tree_obj);
    const KDTree& tree = value_of<KDTree>(tree_obj);
    const auto perm = tree.permutation();
    const auto nodes = tree.nodes();
    std::string bytes(reinterpret_cast<const char*>(perm.data()), perm.size_bytes());
    for (const KDTree::Node& n : nodes) {
        // Field by field: a leaf leaves half of the union's bytes undefined.
        auto put = [&](const auto& v) { bytes.append(reinterpret_cast<const char*>(&v), sizeof v); };
        put(n.dim);
        if (n.dim == KDTree::Node::kLeaf) {
            put(n.u.leaf.begin), put(n.u.leaf.end);
        } else {
            put(n.child2), put(n.u.div.low), put(n.u.div.high);
        }
    }
    return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
}

// The payload order in which the fixed sort leaves records (payload i, keys[i]).
PyObject* fixed_sort_order(Args& a) {
    Ref fast = check(PySequence_Fast(a.raw(0), "keys must be a sequence"));
    Py_ssize_t n = PySequence_Size(fast.get());
    std::vector<Neighbor> records;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref item = check(PySequence_GetItem(fast.get(), i));
        records.push_back({static_cast<std::uint64_t>(i), Convert<double>::from(item.get())});
    }
    fixed_sort(records.data(), records.size(), [](const Neighbor& r) { return r.dist2; });
    Ref out = check(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) PyList_SetItem(out.get(), i, PyLong_FromUnsignedLongLong(records[i].index));
    return out.release();
}

// A free-standing Matrix3dVector or Matrix4dVector holding the k x k blocks of an (n*k, k)
// float64 matrix: the matrix containers have no public way in, and unpickling needs one.
template <class M, int K>
Ref matrices_from(const MatrixView& m) {
    Storage<M> values;
    for (np::npy_intp b = 0; b < m.rows / K; ++b) {
        M block{};
        for (int i = 0; i < K; ++i)
            for (int j = 0; j < K; ++j) block[i][j] = m.at(b * K + i, j);
        values.push_back(block);
    }
    return new_container<M>(std::move(values));
}

PyObject* matrix_vector(Args& a) {
    MatrixView m = a.get<MatrixView>(0);
    if (m.cols == 3 && m.rows % 3 == 0) return matrices_from<Matrix3d, 3>(m).release();
    if (m.cols == 4 && m.rows % 4 == 0) return matrices_from<Matrix4d, 4>(m).release();
    raise(PyExc_ValueError, "rows must stack 3x3 or 4x4 blocks");
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
                             function<"hold_access(obj, write, seconds)", hold_access>(),
                             function<"knn_batch(tree, queries, k)", knn_batch>(),
                             function<"kdtree_layout(tree)", kdtree_layout>(),
                             function<"fixed_sort_order(keys)", fixed_sort_order>(),
                             function<"matrix_vector(rows)", matrix_vector>()});
}

}  // namespace nubiro::py
