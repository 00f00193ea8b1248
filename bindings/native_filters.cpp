// nubiro._native: outlier removal, selection and sampling. Each returns the kept cloud and the
// kept point numbers; the input cloud is only read.
#include "bindings/classes.hpp"
#include "bindings/module.hpp"
#include "bindings/native_arrays.hpp"
#include "core/filters/crop.hpp"
#include "core/filters/duplicates.hpp"
#include "core/filters/outliers.hpp"
#include "core/filters/sampling.hpp"
#include "core/filters/select.hpp"

namespace nubiro::py {
namespace {

using namespace native;
using filters::Indices;

// The cloud of the points a picker chooses, with their numbers.
template <class Pick>
PyObject* pick_points(PyObject* cloud, Pick&& pick) {
    struct Picked {
        Cloud cloud;
        Indices indices;
    };
    Picked picked = with_cloud(cloud, [&](const Cloud& c) -> Result<Picked> {
        Result<Indices> idx = pick(c);
        if (!idx) return idx.error();
        Cloud out = filters::gather(c, *idx);
        return Picked{std::move(out), std::move(*idx)};
    });
    return selection_tuple(std::move(picked.cloud), picked.indices);
}

// A keep-mask from a crop turned into the kept points.
template <class Mask>
PyObject* pick_mask(PyObject* cloud, Mask&& mask) {
    return pick_points(cloud, [&](const Cloud& c) -> Result<Indices> {
        Result<std::vector<std::uint8_t>> keep = mask(c);
        if (!keep) return keep.error();
        return filters::kept_indices(*keep);
    });
}

PyObject* statistical_outliers(Args& a) {
    PyObject* cloud = cloud_arg(a, 0);
    const auto k = a.get<std::int64_t>(1);
    const auto ratio = a.get<double>(2);
    struct Out {
        Cloud cloud;
        filters::StatisticalOutliers found;
    };
    Out out = with_cloud(cloud, [&](const Cloud& c) -> Result<Out> {
        Result<filters::StatisticalOutliers> found = filters::statistical_outliers(c.points, k, ratio);
        if (!found) return found.error();
        Cloud kept = filters::gather(c, found->kept);
        return Out{std::move(kept), std::move(*found)};
    });
    Ref c = cloud_object(std::move(out.cloud));
    Ref i = int64_array(out.found.kept);
    Ref d = float64_array(out.found.mean_distances);
    return check(PyTuple_Pack(3, c.get(), i.get(), d.get())).release();
}

PyObject* radius_outliers(Args& a) {
    PyObject* cloud = cloud_arg(a, 0);
    const auto min_points = a.get<std::int64_t>(1);
    const auto radius = a.get<double>(2);
    return pick_points(cloud, [&](const Cloud& c) { return filters::radius_outliers(c.points, min_points, radius); });
}

PyObject* select(Args& a) {
    PyObject* cloud = cloud_arg(a, 0);
    const std::span<const std::int64_t> wanted = int64_values(a.raw(1), "indices");
    Cloud picked;
    {
        ReadAccess r(cloud);
        const auto n = static_cast<std::int64_t>(cloud_of(cloud).points.size());
        for (const std::int64_t i : wanted)
            if (i < 0 || i >= n)
                raise(PyExc_IndexError, "index " + std::to_string(i) + " is out of range for a cloud of " +
                                            std::to_string(n) + " points");
        released([&] {
            picked = filters::gather(cloud_of(cloud), wanted);
        });
    }
    return cloud_object(std::move(picked)).release();
}

PyObject* crop_box(Args& a) {
    PyObject* cloud = cloud_arg(a, 0);
    const auto low = a.get<Vector3d>(1), high = a.get<Vector3d>(2);
    return pick_mask(cloud, [&](const Cloud& c) { return filters::box_mask(c.points, low, high); });
}

PyObject* crop_oriented_box(Args& a) {
    PyObject* cloud = cloud_arg(a, 0);
    const auto center = a.get<Vector3d>(1);
    const auto rotation = a.get<Matrix3d>(2);
    const auto extent = a.get<Vector3d>(3);
    return pick_mask(cloud, [&](const Cloud& c) { return filters::oriented_box_mask(c.points, center, rotation, extent); });
}

PyObject* crop_polygon(Args& a) {
    PyObject* cloud = cloud_arg(a, 0);
    const auto m = a.get<MatrixView>(1);
    if (m.cols != 2) raise(PyExc_ValueError, "polygon must have shape (n, 2)");
    std::vector<Vector2d> polygon(static_cast<std::size_t>(m.rows));
    for (np::npy_intp i = 0; i < m.rows; ++i) polygon[static_cast<std::size_t>(i)] = {m.at(i, 0), m.at(i, 1)};
    const auto axis = a.get<std::int64_t>(2);
    const auto low = a.get<double>(3), high = a.get<double>(4);
    return pick_mask(cloud, [&](const Cloud& c) {
        return filters::polygon_mask(c.points, polygon, axis < 0 || axis > 2 ? -1 : static_cast<int>(axis), low, high);
    });
}

PyObject* remove_non_finite(Args& a) {
    return pick_points(cloud_arg(a, 0), [](const Cloud& c) -> Result<Indices> {
        return filters::kept_indices(filters::finite_mask(c.points));
    });
}

PyObject* remove_duplicates(Args& a) {
    PyObject* cloud = cloud_arg(a, 0);
    const auto tolerance = a.get<double>(1);
    return pick_points(cloud, [&](const Cloud& c) { return filters::unique_points(c.points, tolerance); });
}

PyObject* random_sample(Args& a) {
    PyObject* cloud = cloud_arg(a, 0);
    const auto count = a.get<std::int64_t>(1);
    const auto seed = a.get<std::int64_t>(2);
    if (seed < 0 || seed > 0xFFFFFFFFll) raise(PyExc_ValueError, "seed must lie in [0, 2**32), got " + std::to_string(seed));
    return pick_points(cloud, [&](const Cloud& c) {
        return filters::random_indices(c.points.size(), count, static_cast<std::uint32_t>(seed));
    });
}

PyObject* every_kth(Args& a) {
    PyObject* cloud = cloud_arg(a, 0);
    const auto k = a.get<std::int64_t>(1);
    const auto offset = a.get<std::int64_t>(2);
    return pick_points(cloud, [&](const Cloud& c) { return filters::every_kth_indices(c.points.size(), k, offset); });
}

PyObject* farthest_point_sample(Args& a) {
    PyObject* cloud = cloud_arg(a, 0);
    const auto count = a.get<std::int64_t>(1);
    const auto start = a.get<std::int64_t>(2);
    return pick_points(cloud, [&](const Cloud& c) { return filters::farthest_indices(c.points, count, start); });
}

}  // namespace

void add_native_filters(PyObject* native) {
    add_functions(native, {
        function<"statistical_outliers(cloud, k, std_ratio)", statistical_outliers>(),
        function<"radius_outliers(cloud, min_points, radius)", radius_outliers>(),
        function<"select(cloud, indices)", select>(),
        function<"crop_box(cloud, min_bound, max_bound)", crop_box>(),
        function<"crop_oriented_box(cloud, center, rotation, extent)", crop_oriented_box>(),
        function<"crop_polygon(cloud, polygon, axis, low, high)", crop_polygon>(),
        function<"remove_non_finite(cloud)", remove_non_finite>(),
        function<"remove_duplicates(cloud, tolerance)", remove_duplicates>(),
        function<"random_sample(cloud, count, seed)", random_sample>(),
        function<"every_kth(cloud, k, offset)", every_kth>(),
        function<"farthest_point_sample(cloud, count, start)", farthest_point_sample>(),
    });
}

}  // namespace nubiro::py
