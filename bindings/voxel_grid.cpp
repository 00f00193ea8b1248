// Voxel and VoxelGrid: the voxel record, the grid's attributes and queries, its two static
// constructors, and the translation-only transforms.
#include <algorithm>
#include <cstring>

#include "bindings/edits.hpp"
#include "bindings/module.hpp"
#include "bindings/vectors.hpp"
#include "core/geometry/bounding_box.hpp"
#include "core/geometry/point_cloud.hpp"
#include "core/geometry/voxel_grid.hpp"
#include "core/number_text.hpp"

namespace nubiro::py {
namespace {

using geometry::Voxel;
using geometry::VoxelGrid;
using VoxelObject = Object<Voxel>;
using GridObject = Object<VoxelGrid>;
using CloudObject = Object<geometry::PointCloud>;

PyObject* int_triple(const Vector3i& v) {
    np::npy_intp shape[1] = {3};
    Ref out = np::new_array(np::Int32, shape, nullptr, nullptr);
    std::memcpy(np::info(out.get()).data, v.data(), sizeof v);
    return out.release();
}

// ---- Voxel -----------------------------------------------------------------------------------

Voxel& voxel(PyObject* self) { return value_of<Voxel>(self); }

// The constructor's lenient reading of a grid index: three integers, or (0, 0, 0) for any
// other count; a non-contiguous int32 array is refused.
Vector3i grid_index_or_zero(PyObject* o) {
    if (np::is_array(o)) {
        np::ArrayInfo a = np::info(o);
        if (a.ndim == 1 && a.is(np::Int32)) {
            if (!a.contiguous()) raise(PyExc_TypeError, "The given array is not contiguous");
            Vector3i v{0, 0, 0};
            if (a.size() == 3) std::memcpy(v.data(), a.data, sizeof v);
            return v;
        }
    }
    auto seq = Convert<NumberSequence<std::int32_t>>::from(o);
    if (seq.items.size() != 3) return {0, 0, 0};
    return {seq.items[0], seq.items[1], seq.items[2]};
}

PyObject* init_voxel(PyObject* self, Args& a) {
    Voxel made;
    if (a.present(0)) made.grid_index = grid_index_or_zero(a.raw(0));
    if (a.present(1)) made.color = Convert<Vector3d>::from(a.raw(1));
    WriteAccess w(self);
    voxel(self) = made;
    return none();
}

// The grid index reads as an int32 array and takes a sequence of exactly three integers.
struct GridIndex {
    static PyObject* out(const Vector3i& v) { return int_triple(v); }
    static Vector3i in(PyObject* value, const char*) {
        auto seq = Convert<NumberSequence<std::int32_t>>::from(value);
        if (seq.items.size() != 3) raise(PyExc_TypeError, "expected 3-vector");
        return {seq.items[0], seq.items[1], seq.items[2]};
    }
};

PyObject* voxel_repr(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&] {
        ReadAccess r(self);
        const Voxel& v = voxel(self);
        std::string text = "Voxel(grid_index=";
        for (int k = 0; k < 3; ++k) {
            if (k) text += ' ';
            text::append_integer(text, v.grid_index[k]);
        }
        text += ", color=";
        for (int k = 0; k < 3; ++k) {
            if (k) text += ' ';
            text::append_general(text, v.color[k]);
        }
        text += ')';
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

Ref voxel_object(const Voxel& v) {
    Ref out = new_object<Voxel>(type_of<VoxelObject>());
    voxel(out.get()) = v;
    return out;
}

// ---- VoxelGrid -------------------------------------------------------------------------------

VoxelGrid& grid(PyObject* self) { return value_of<VoxelGrid>(self); }

PyObject* init_grid(PyObject* self, Args&) {
    WriteAccess w(self);
    grid(self).clear();
    return none();
}

template <auto Query>
PyObject* read(PyObject* self, Args&) {
    ReadAccess r(self);
    return Query(grid(self));
}

PyObject* get_voxels(const VoxelGrid& g) {
    const std::vector<Voxel> voxels = g.get_voxels();
    Ref out = check(PyList_New(static_cast<Py_ssize_t>(voxels.size())));
    for (std::size_t i = 0; i < voxels.size(); ++i)
        check(PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), voxel_object(voxels[i]).release()));
    return out.release();
}

PyObject* bounding_box(const VoxelGrid& g) {
    return box_object(geometry::AxisAlignedBoundingBox::from_bounds(g.get_min_bound(), g.get_max_bound())).release();
}

PyObject* grid_repr(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&] {
        ReadAccess r(self);
        std::string text = "VoxelGrid with " + std::to_string(grid(self).voxels.size()) + " voxels.";
        return PyUnicode_FromString(text.c_str());
    });
}

PyObject* rotate(PyObject* self, Args& a) {
    Matrix3d r = a.get<Matrix3d>(0);
    a.optional<Vector3d>(1);  // converted, though an accepted rotation does not use it
    return edits::edit<VoxelGrid>(self, [&](VoxelGrid& g) {
        if (auto e = g.rotate(r)) raise(*e);
    });
}

PyObject* transform(PyObject* self, Args& a) {
    Matrix4d t = a.get<Matrix4d>(0);
    return edits::edit<VoxelGrid>(self, [&](VoxelGrid& g) {
        if (auto e = g.transform(t)) raise(*e);
    });
}

PyObject* grid_object(VoxelGrid&& g) {
    Ref out = new_object<VoxelGrid>(type_of<GridObject>());
    grid(out.get()) = std::move(g);
    return out.release();
}

PyObject* create_from_point_cloud(Args& a) {
    CloudObject* cloud = a.get<Instance<CloudObject>>(0).ptr;
    double s = a.get<double>(1);
    ReadAccess r(object_of(cloud));
    return grid_object(unwrap(VoxelGrid::create_from_point_cloud(cloud->value.points.span(), s)));
}

PyObject* create_from_point_cloud_within_bounds(Args& a) {
    CloudObject* cloud = a.get<Instance<CloudObject>>(0).ptr;
    double s = a.get<double>(1);
    Vector3d lo = a.get<Vector3d>(2);
    Vector3d hi = a.get<Vector3d>(3);
    ReadAccess r(object_of(cloud));
    return grid_object(unwrap(VoxelGrid::create_from_point_cloud_within_bounds(cloud->value.points.span(), s, lo, hi)));
}

// Private hook: the bucket count of a grid's voxel map, which shows in no public result.
PyObject* bucket_count(Args& a) {
    PyObject* g = a.get<Instance<GridObject>>(0).object();
    ReadAccess r(g);
    return PyLong_FromUnsignedLongLong(grid(g).voxels.bucket_count());
}

VoxelKey key_from(PyObject* o) {
    auto seq = Convert<NumberSequence<std::int32_t>>::from(o);
    if (seq.items.size() != 3) raise(PyExc_ValueError, "a key has three components");
    return {seq.items[0], seq.items[1], seq.items[2]};
}

std::vector<VoxelKey> keys_from(PyObject* o) {
    Ref fast = check(PySequence_Fast(o, "keys must be a sequence"));
    std::vector<VoxelKey> keys;
    for (Py_ssize_t i = 0; i < PySequence_Size(fast.get()); ++i) keys.push_back(key_from(check(PySequence_GetItem(fast.get(), i)).get()));
    return keys;
}

// Private hook: fills one map with distinct keys the written way (sized up front, then one
// insertion per key) and another in bulk, then inserts `more` into both; returns both maps'
// keys in iteration order and their bucket counts.
PyObject* presized_maps(Args& a) {
    const std::vector<VoxelKey> keys = keys_from(a.raw(0)), more = keys_from(a.raw(1));
    std::vector<std::uint64_t> hashes;
    for (const VoxelKey& k : keys) hashes.push_back(hash_voxel_key(k));
    VoxelMap<std::int32_t> written, bulk;
    written.presize(next_bucket_count(keys.size()));
    for (std::size_t i = 0; i < keys.size(); ++i) written.find_or_insert(keys[i], hashes[i]) = keys[i].x;
    bulk.assign_distinct(keys, hashes, [](const VoxelKey& k) { return k.x; });
    for (const VoxelKey& k : more) {
        written.find_or_insert(k) = k.x;
        bulk.find_or_insert(k) = k.x;
    }
    Ref out = check(PyList_New(0));
    for (const auto* map : {&written, &bulk}) {
        Ref order = check(PyList_New(0));
        map->for_each([&](const auto& node) {
            if (node.value != node.key.x) raise(PyExc_AssertionError, "value does not belong to its key");
            Ref key = check(Py_BuildValue("(iii)", node.key.x, node.key.y, node.key.z));
            check(PyList_Append(order.get(), key.get()));
        });
        check(PyList_Append(out.get(), order.get()));
        check(PyList_Append(out.get(), check(PyLong_FromUnsignedLongLong(map->bucket_count())).get()));
    }
    return out.release();
}

// Private hooks for pickling. A grid's state is its origin, its cell size and its voxel map's
// state: the bucket count, the keys (int32, n x 3) and colours (float64, n x 3) in insertion
// order, and the iteration order as insertion numbers (uint32). Restoring it gives a grid whose
// voxel order, and every later operation, is the original's.
PyObject* grid_state(Args& a) {
    PyObject* g = a.get<Instance<GridObject>>(0).object();
    ReadAccess r(g);
    const VoxelGrid& vg = grid(g);
    const auto& nodes = vg.voxels.nodes();
    const auto n = static_cast<np::npy_intp>(nodes.size());
    np::npy_intp rows[2] = {n, 3}, length[1] = {n};
    Ref keys = np::new_array(np::Int32, rows, nullptr, nullptr);
    Ref colors = np::new_array(np::Float64, rows, nullptr, nullptr);
    Ref order = np::new_array(np::UInt32, length, nullptr, nullptr);
    auto* key_out = reinterpret_cast<std::int32_t*>(np::info(keys.get()).data);
    auto* color_out = reinterpret_cast<double*>(np::info(colors.get()).data);
    for (const auto& node : nodes) {
        *key_out++ = node.key.x;
        *key_out++ = node.key.y;
        *key_out++ = node.key.z;
        color_out = std::copy(node.value.begin(), node.value.end(), color_out);
    }
    const std::vector<std::uint32_t> listed = vg.voxels.iteration_order();
    std::copy(listed.begin(), listed.end(), reinterpret_cast<std::uint32_t*>(np::info(order.get()).data));
    Ref origin = Ref(result(vg.origin));
    Ref size = check(PyFloat_FromDouble(vg.voxel_size));
    Ref buckets = check(PyLong_FromUnsignedLongLong(vg.voxels.bucket_count()));
    return check(PyTuple_Pack(6, origin.get(), size.get(), buckets.get(), keys.get(), colors.get(), order.get())).release();
}

PyObject* restore_grid(Args& a) {
    PyObject* g = a.get<Instance<GridObject>>(0).object();
    const Vector3d origin = a.get<Vector3d>(1);
    const double size = a.get<double>(2);
    std::uint64_t buckets = 0;
    try {
        buckets = a.get<std::uint64_t>(3);
    } catch (const ErrorAlreadySet&) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw;
        PyErr_Clear();
        raise(PyExc_ValueError, "bucket count out of range");
    }
    const Storage<Vector3i> keys = a.get<Storage<Vector3i>>(4);
    const Storage<Vector3d> colors = a.get<Storage<Vector3d>>(5);
    const UInt32Array order = a.get<UInt32Array>(6);
    if (colors.size() != keys.size()) raise(PyExc_ValueError, "keys and colors differ in length");
    using Map = VoxelMap<Vector3d>;
    std::vector<Map::Node> nodes(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        nodes[i].key = {keys[i][0], keys[i][1], keys[i][2]};
        nodes[i].value = colors[i];
    }
    Map voxels;
    if (auto e = voxels.restore(buckets, std::move(nodes), order.values)) raise(*e);
    WriteAccess w(g);
    VoxelGrid& vg = grid(g);
    vg.origin = origin;
    vg.voxel_size = size;
    vg.voxels = std::move(voxels);
    return none();
}

}  // namespace

void add_internal_voxel_grid(PyObject* internal) {
    add_functions(internal, {function<"voxel_grid_bucket_count(grid)", bucket_count>(),
                             function<"voxel_map_presized(keys, more)", presized_maps>(),
                             function<"voxel_grid_state(grid)", grid_state>(),
                             function<"voxel_grid_restore(grid, origin, voxel_size, bucket_count, keys, colors, order)",
                                      restore_grid>()});
}

void add_voxel_grid(PyObject* module) {
    ClassSpec vox{kGeometry, "Voxel", "(grid_index=None, color=None)"};
    vox.slots = {{Py_tp_init, reinterpret_cast<void*>(tp_init<"Voxel(grid_index=None, color=None)", init_voxel>)},
                 {Py_tp_repr, reinterpret_cast<void*>(voxel_repr)}};
    vox.properties = {field<&Voxel::grid_index, GridIndex>("grid_index"), field<&Voxel::color>("color")};
    vox.methods = {method<"Voxel.__copy__()", deep_copy<Voxel>>(), method<"Voxel.__deepcopy__(_memo)", deep_copy<Voxel>>()};
    add_type(module, make_value_class<Voxel>(std::move(vox)));

    ClassSpec cls{kGeometry, "VoxelGrid", "()"};
    cls.base = geometry3d_type();
    cls.slots = {{Py_tp_init, reinterpret_cast<void*>(tp_init<"VoxelGrid()", init_grid>)},
                 {Py_tp_repr, reinterpret_cast<void*>(grid_repr)}};
    cls.properties = {field<&VoxelGrid::origin>("origin"), field<&VoxelGrid::voxel_size>("voxel_size")};
    cls.methods = {
        method<"VoxelGrid.clear()", edits::clear<VoxelGrid>>(),
        method<"VoxelGrid.is_empty()", read<[](const VoxelGrid& g) { return boolean(g.is_empty()); }>>(),
        method<"VoxelGrid.has_voxels()", read<[](const VoxelGrid& g) { return boolean(g.has_voxels()); }>>(),
        method<"VoxelGrid.has_colors()", read<[](const VoxelGrid&) { return boolean(true); }>>(),
        method<"VoxelGrid.dimension()", read<[](const VoxelGrid&) { return PyLong_FromLong(3); }>>(),
        method<"VoxelGrid.get_geometry_type()", read<[](const VoxelGrid&) { return geometry_type(2).release(); }>>(),
        method<"VoxelGrid.get_voxels()", read<get_voxels>>(),
        method<"VoxelGrid.get_min_bound()", read<[](const VoxelGrid& g) { return result(g.get_min_bound()); }>>(),
        method<"VoxelGrid.get_max_bound()", read<[](const VoxelGrid& g) { return result(g.get_max_bound()); }>>(),
        method<"VoxelGrid.get_center()", read<[](const VoxelGrid& g) { return result(g.get_center()); }>>(),
        method<"VoxelGrid.get_axis_aligned_bounding_box()", read<bounding_box>>(),
        method<"VoxelGrid.translate(translation, relative=True)", edits::translate<VoxelGrid>>(),
        method<"VoxelGrid.scale(scale, center)", edits::scale<VoxelGrid>>(),
        method<"VoxelGrid.rotate(r, center=None)", rotate>(),
        method<"VoxelGrid.transform(transformation)", transform>(),
        static_method<"VoxelGrid.create_from_point_cloud(input, voxel_size)", create_from_point_cloud>(),
        static_method<"VoxelGrid.create_from_point_cloud_within_bounds(input, voxel_size, min_bound, max_bound)",
                      create_from_point_cloud_within_bounds>(),
    };
    add_type(module, make_value_class<VoxelGrid>(std::move(cls)));
}

}  // namespace nubiro::py
