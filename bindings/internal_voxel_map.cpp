// Private hooks for the test suite: the cell rule, the voxel-key hash, the bucket-count policy and the
// iteration order of the voxel map, which the public methods show only through their output order.
#include "bindings/classes.hpp"
#include "bindings/module.hpp"
#include "core/voxel_map.hpp"

namespace nubiro::py {
namespace {

Ref unsigned_int(std::uint64_t v) { return check(PyLong_FromUnsignedLongLong(v)); }

Ref item(PyObject* sequence, Py_ssize_t i) { return check(PySequence_GetItem(sequence, i)); }

Py_ssize_t length(PyObject* sequence) {
    const Py_ssize_t n = PySequence_Size(sequence);
    if (n < 0) raise_current();
    return n;
}

VoxelKey key_from(PyObject* o) {
    if (length(o) != 3) raise(PyExc_ValueError, "a key has three components");
    return {Convert<std::int32_t>::from(item(o, 0).get()), Convert<std::int32_t>::from(item(o, 1).get()),
            Convert<std::int32_t>::from(item(o, 2).get())};
}

PyObject* hash_key(Args& a) {
    return unsigned_int(hash_voxel_key({a.get<std::int32_t>(0), a.get<std::int32_t>(1), a.get<std::int32_t>(2)})).release();
}

PyObject* cell_index(Args& a) { return PyLong_FromLong(voxel_index(a.get<double>(0))); }

PyObject* bucket_count_for(Args& a) {
    PyObject* n = a.raw(0);
    const unsigned long long v = PyLong_AsUnsignedLongLong(n);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) raise_current();
    return unsigned_int(next_bucket_count(v)).release();
}

// x mod d for each x, through the map's remainder.
PyObject* modulus(Args& a) {
    const unsigned long long d = PyLong_AsUnsignedLongLong(a.raw(1));
    if (d == 0 && !PyErr_Occurred()) raise(PyExc_ValueError, "d must be positive");
    if (PyErr_Occurred()) raise_current();
    const Modulus mod(d);
    const Py_ssize_t n = length(a.raw(0));
    Ref out = check(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        const unsigned long long x = PyLong_AsUnsignedLongLong(item(a.raw(0), i).get());
        if (PyErr_Occurred()) raise_current();
        PyList_SetItem(out.get(), i, unsigned_int(mod(x)).release());
    }
    return out.release();
}

// Insertion numbers in iteration order.
Ref order_list(const VoxelMap<char>& map) {
    const std::vector<std::uint32_t> order = map.iteration_order();
    Ref out = check(PyList_New(static_cast<Py_ssize_t>(order.size())));
    for (std::size_t i = 0; i < order.size(); ++i)
        PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), unsigned_int(order[i]).release());
    return out;
}

// Feeds the keys to a map in order. Returns (the insertion number found or made for each key,
// the insertion numbers in iteration order, the bucket count after each key).
PyObject* map_insert(Args& a) {
    const Py_ssize_t n = length(a.raw(0));
    VoxelMap<char> map;
    Ref ids = check(PyList_New(n));
    Ref counts = check(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        const VoxelKey key = key_from(item(a.raw(0), i).get());
        const std::size_t id = map.index_of(key, hash_voxel_key(key));
        PyList_SetItem(ids.get(), i, unsigned_int(id).release());
        PyList_SetItem(counts.get(), i, unsigned_int(map.bucket_count()).release());
    }
    return check(PyTuple_Pack(3, ids.get(), order_list(map).get(), counts.get())).release();
}

// Feeds `keys` to a map one lookup at a time (so it grows as it goes), rebuilds a second map
// from the first one's state, then feeds `more` to both. Returns (iteration order, bucket count)
// of each map: a restored map must go on exactly as the original.
PyObject* map_restore(Args& a) {
    VoxelMap<char> original, restored;
    auto feed = [&](PyObject* keys, VoxelMap<char>& map) {
        for (Py_ssize_t i = 0, n = length(keys); i < n; ++i) {
            const VoxelKey key = key_from(item(keys, i).get());
            map.find_or_insert(key) = static_cast<char>(key.x);
        }
    };
    feed(a.raw(0), original);
    if (auto e = restored.restore(original.bucket_count(), original.nodes(), original.iteration_order())) raise(*e);
    for (auto* map : {&original, &restored}) feed(a.raw(1), *map);
    for (const auto& node : restored.nodes())
        if (node.value != static_cast<char>(node.key.x)) raise(PyExc_AssertionError, "value does not belong to its key");
    return check(Py_BuildValue("(NNNN)", order_list(original).release(), unsigned_int(original.bucket_count()).release(),
                               order_list(restored).release(), unsigned_int(restored.bucket_count()).release()))
        .release();
}

}  // namespace

void add_internal_voxel_map(PyObject* internal) {
    add_functions(internal, {function<"hash_voxel_key(x, y, z)", hash_key>(),
                             function<"voxel_index(v)", cell_index>(),
                             function<"next_bucket_count(n)", bucket_count_for>(),
                             function<"voxel_map_modulus(values, d)", modulus>(),
                             function<"voxel_map_insert(keys)", map_insert>(),
                             function<"voxel_map_restore(keys, more)", map_restore>()});
}

}  // namespace nubiro::py
