// PointCloud: construction and copies, array views, queries, edits and rigid transforms.
#include "bindings/edits.hpp"
#include "bindings/module.hpp"
#include "bindings/orient_normals.hpp"
#include "bindings/vectors.hpp"
#include "core/geometry/bounding_box.hpp"
#include "core/geometry/point_cloud.hpp"
#include "core/search_param.hpp"

namespace nubiro::py {
namespace {

using Cloud = geometry::PointCloud;
using CloudObject = Object<Cloud>;

Cloud& cloud(PyObject* self) { return value_of<Cloud>(self); }

// ---- queries ---------------------------------------------------------------------------------

// Quick queries: each computes its value from the cloud first and only then makes the Python
// result, so the lock-held read check suffices.
template <auto Query>
PyObject* read(PyObject* self, Args&) {
    LockedRead r(self);
    return Query(cloud(self));
}

PyObject* repr(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&] {
        ReadAccess r(self);
        std::string text = "PointCloud with " + std::to_string(cloud(self).points.size()) + " points.";
        return PyUnicode_FromString(text.c_str());
    });
}

// ---- long operations (interpreter lock released) ---------------------------------------------

PyObject* estimate_normals(PyObject* self, Args& a) {
    SearchParam param;  // KNN, 30 neighbours
    if (a.present(0)) {
        auto given = a.get<Instance<Object<SearchParam>>>(0);
        ReadAccess r(given.object());
        param = given.ptr->value;
    }
    const bool fast = a.get<bool>(1, true);
    {
        WriteAccess w(self);
        released([&] {
            cloud(self).estimate_normals(param, fast);
        });
    }
    return none();
}

PyObject* voxel_down_sample(PyObject* self, Args& a) {
    const double voxel_size = a.get<double>(0);
    Result<Cloud> sampled = [&] {
        ReadAccess r(self);
        return released([&] {
            return cloud(self).voxel_down_sample(voxel_size);
        });
    }();
    Ref out = new_object<Cloud>(type_of<CloudObject>());
    cloud(out.get()) = unwrap(std::move(sampled));
    return out.release();
}

}  // namespace

void add_point_cloud(PyObject* module) {
    ClassSpec cls{kGeometry, "PointCloud", "(other=None)"};
    cls.base = geometry3d_type();
    cls.subclassable = true;
    cls.slots = {{Py_tp_init, reinterpret_cast<void*>(tp_init<"PointCloud(other=None)", init_copy<Cloud>>)},
                  {Py_tp_repr, reinterpret_cast<void*>(repr)}};
    constexpr const char* wrong_owner = "view owner is not a PointCloud";
    cls.properties = {array_field<&Cloud::points>("points", wrong_owner),
                      array_field<&Cloud::normals>("normals", wrong_owner),
                      array_field<&Cloud::colors>("colors", wrong_owner)};
    cls.methods = {
        method<"PointCloud.__copy__()", deep_copy<Cloud>>(),
        method<"PointCloud.__deepcopy__(_memo)", deep_copy<Cloud>>(),
        method<"PointCloud.clear()", edits::clear<Cloud>>(),
        method<"PointCloud.is_empty()", read<[](const Cloud& c) { return boolean(c.is_empty()); }>>(),
        method<"PointCloud.dimension()", read<[](const Cloud&) { return PyLong_FromLong(3); }>>(),
        method<"PointCloud.get_geometry_type()", read<[](const Cloud&) { return geometry_type(1).release(); }>>(),
        method<"PointCloud.has_points()", read<[](const Cloud& c) { return boolean(c.has_points()); }>>(),
        method<"PointCloud.has_normals()", read<[](const Cloud& c) { return boolean(c.has_normals()); }>>(),
        method<"PointCloud.has_colors()", read<[](const Cloud& c) { return boolean(c.has_colors()); }>>(),
        method<"PointCloud.get_min_bound()", read<[](const Cloud& c) { return result(c.get_min_bound()); }>>(),
        method<"PointCloud.get_max_bound()", read<[](const Cloud& c) { return result(c.get_max_bound()); }>>(),
        method<"PointCloud.get_center()", read<[](const Cloud& c) { return result(c.get_center()); }>>(),
        method<"PointCloud.get_axis_aligned_bounding_box()", read<[](const Cloud& c) {
                   return box_object(geometry::AxisAlignedBoundingBox::from_bounds(c.get_min_bound(), c.get_max_bound())).release();
               }>>(),
        method<"PointCloud.transform(transformation)", edits::transform<Cloud>>(),
        method<"PointCloud.translate(translation, relative=True)", edits::translate<Cloud>>(),
        method<"PointCloud.scale(scale, center)", edits::scale<Cloud>>(),
        method<"PointCloud.rotate(r, center=None)", edits::rotate<Cloud>>(),
        method<"PointCloud.normalize_normals()", edits::normalize_normals<Cloud>>(),
        method<"PointCloud.paint_uniform_color(color)", edits::paint_uniform_color<Cloud>>(),
        method<"PointCloud.estimate_normals(search_param=None, fast_normal_computation=True)", estimate_normals>(),
        method<"PointCloud.voxel_down_sample(voxel_size)", voxel_down_sample>(),
        method<"PointCloud.orient_normals_to_align_with_direction(orientation_reference=None)", orient_normals_to_align_with_direction, kAlignWithDirectionDoc>(),
        method<"PointCloud.orient_normals_towards_camera_location(camera_location=None)", orient_normals_towards_camera_location, kTowardsCameraDoc>(),
        method<"PointCloud.orient_normals_consistent_tangent_plane(k, lambda=0.0, cos_alpha_tol=1.0)", orient_normals_consistent_tangent_plane, kTangentPlaneDoc>(),
    };
    add_type(module, make_value_class<Cloud>(std::move(cls)));
}

}  // namespace nubiro::py
