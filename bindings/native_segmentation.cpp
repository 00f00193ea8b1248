// nubiro._native: plane segmentation and clustering.
#include "bindings/classes.hpp"
#include "bindings/module.hpp"
#include "bindings/native_arrays.hpp"
#include "core/segmentation/clusters.hpp"
#include "core/segmentation/plane_ransac.hpp"

namespace nubiro::py {
namespace {

using namespace native;

// (model, inliers, rmse)
PyObject* segment_plane(Args& a) {
    PyObject* cloud = cloud_arg(a, 0);
    segmentation::PlaneOptions options{a.get<double>(1), a.get<std::int64_t>(2), a.get<double>(3), 0};
    const auto seed = a.get<std::int64_t>(4);
    if (seed < 0 || seed > 0xFFFFFFFFll) raise(PyExc_ValueError, "seed must lie in [0, 2**32), got " + std::to_string(seed));
    options.seed = static_cast<std::uint32_t>(seed);
    segmentation::PlaneFit fit =
        with_cloud(cloud, [&](const Cloud& c) { return segmentation::segment_plane(c.points, options); });
    Ref model = float64_array(fit.model);
    Ref inliers = int64_array(fit.inliers);
    Ref rmse = check(PyFloat_FromDouble(fit.rmse));
    return check(PyTuple_Pack(3, model.get(), inliers.get(), rmse.get())).release();
}

PyObject* dbscan(Args& a) {
    PyObject* cloud = cloud_arg(a, 0);
    const auto eps = a.get<double>(1);
    const auto min_points = a.get<std::int64_t>(2);
    std::vector<std::int64_t> labels =
        with_cloud(cloud, [&](const Cloud& c) { return segmentation::dbscan(c.points, eps, min_points); });
    return int64_array(labels).release();
}

PyObject* euclidean_clusters(Args& a) {
    PyObject* cloud = cloud_arg(a, 0);
    const auto tolerance = a.get<double>(1);
    const auto min_size = a.get<std::int64_t>(2);
    const auto max_size = a.get<std::int64_t>(3);
    std::vector<filters::Indices> parts = with_cloud(cloud, [&](const Cloud& c) {
        return segmentation::euclidean_clusters(c.points, tolerance, min_size, max_size);
    });
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(parts.size())));
    for (std::size_t i = 0; i < parts.size(); ++i)
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), int64_array(parts[i]).release());
    return list.release();
}

}  // namespace

void add_native_segmentation(PyObject* native) {
    add_functions(native, {
        function<"segment_plane(cloud, distance, iterations, probability, seed)", segment_plane>(),
        function<"dbscan(cloud, eps, min_points)", dbscan>(),
        function<"euclidean_clusters(cloud, tolerance, min_size, max_size)", euclidean_clusters>(),
    });
}

}  // namespace nubiro::py
