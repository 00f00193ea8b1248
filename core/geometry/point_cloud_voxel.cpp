// Voxel down-sampling: one averaged point per occupied voxel, in the voxel map's order.
//
// The map decides the output order, and its order depends only on the sequence of distinct
// keys in order of first appearance. So the work is split into phases: cell keys per point
// (parallel), voxel numbers through the map (one sequential pass), sums per voxel in point
// order, and the averages in map order (parallel). Every sum still adds a voxel's points in
// ascending point order, as one sequential pass would.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "core/geometry/point_cloud.hpp"
#include "core/parallel.hpp"
#include "core/stdhash.hpp"

namespace nubiro::geometry {
namespace {

constexpr std::size_t kMinChunk = 8192;

struct Accumulator {
    double point[3];
    double normal[3];
    double color[3];
    std::int32_t count;
    bool has_normal;
};

inline bool any_nan(const Vector3d& v) { return v[0] != v[0] || v[1] != v[1] || v[2] != v[2]; }

// Largest of the three extents; a NaN extent never replaces a number.
double largest_extent(const Vector3d& low, const Vector3d& high) {
    double e = high[0] - low[0];
    for (int k = 1; k < 3; ++k) {
        const double v = high[k] - low[k];
        if (v > e || e != e) e = v;
    }
    return e;
}

struct Empty {};

}  // namespace

Result<PointCloud> PointCloud::voxel_down_sample(double voxel_size) const {
    if (voxel_size <= 0) return runtime_error("[VoxelDownSample] voxel_size must be positive.");
    const std::size_t n = points.size();
    if (n == 0) return PointCloud{};
    const Vector3d low = get_min_bound();
    const double extent = largest_extent(low, get_max_bound());
    if (extent + 1e-9 > 2147483647.0 * voxel_size)
        return runtime_error("[VoxelDownSample] voxel_size is too small relative to the cloud extent.");
    const bool with_normals = normals.size() == n;
    const bool with_colors = colors.size() == n;
    const Vector3d* pts = points.data();

    // Cell keys and their hashes, per point.
    std::vector<VoxelKey> keys(n);
    std::vector<std::uint64_t> hashes(n);
    parallel::parallel_for_chunks(
        n,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                const Vector3d& p = pts[i];
                const VoxelKey key{voxel_index((p[0] - low[0]) / voxel_size), voxel_index((p[1] - low[1]) / voxel_size),
                                   voxel_index((p[2] - low[2]) / voxel_size)};
                keys[i] = key;
                hashes[i] = hash_voxel_key(key);
            }
        },
        kMinChunk);

    // Voxel numbers in order of first appearance, which is the map's insertion order.
    std::vector<std::uint32_t> voxel_of(n);
    StdHashMap<Empty> map;
    for (std::size_t i = 0; i < n; ++i) voxel_of[i] = static_cast<std::uint32_t>(map.index_of(keys[i], hashes[i]));
    std::vector<VoxelKey>().swap(keys);
    std::vector<std::uint64_t>().swap(hashes);
    const std::size_t voxels = map.size();

    std::vector<Accumulator> acc(voxels, Accumulator{});
    const Vector3d* nrm = with_normals ? normals.data() : nullptr;
    const Vector3d* col = with_colors ? colors.data() : nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        Accumulator& a = acc[voxel_of[i]];
        const Vector3d& p = pts[i];
        a.point[0] += p[0];
        a.point[1] += p[1];
        a.point[2] += p[2];
        if (nrm && !any_nan(nrm[i])) {
            a.normal[0] += nrm[i][0];
            a.normal[1] += nrm[i][1];
            a.normal[2] += nrm[i][2];
            a.has_normal = true;
        }
        if (col) {
            a.color[0] += col[i][0];
            a.color[1] += col[i][1];
            a.color[2] += col[i][2];
        }
        a.count += 1;
    }

    const std::vector<std::uint32_t> order = map.iteration_order();
    PointCloud out;
    out.points.resize_for_overwrite(voxels);
    if (with_normals) out.normals.resize_for_overwrite(voxels);
    if (with_colors) out.colors.resize_for_overwrite(voxels);
    Vector3d* out_points = out.points.data();
    Vector3d* out_normals = out.normals.data();
    Vector3d* out_colors = out.colors.data();
    parallel::parallel_for_chunks(
        voxels,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t j = begin; j < end; ++j) {
                const Accumulator& a = acc[order[j]];
                const double c = static_cast<double>(a.count);
                out_points[j] = {a.point[0] / c, a.point[1] / c, a.point[2] / c};
                if (with_normals)
                    out_normals[j] = a.has_normal ? Vector3d{a.normal[0] / c, a.normal[1] / c, a.normal[2] / c}
                                                  : Vector3d{0, 0, 0};
                if (with_colors) out_colors[j] = {a.color[0] / c, a.color[1] / c, a.color[2] / c};
            }
        },
        kMinChunk);
    if (with_normals) out.normalize_normals();
    return out;
}

}  // namespace nubiro::geometry
