// Voxel down-sampling: one averaged point per occupied voxel, in the voxel map's order.
//
// The output order is the iteration order of the voxel map, and that order depends only on
// the distinct keys in order of first appearance; each average depends only on its voxel's
// points, summed in ascending point order. The map's discipline (a remainder and a chain walk
// per lookup) is needlessly slow for a million lookups, so the points go through it in
// phases instead:
//   1. cell keys per point (parallel);
//   2. voxel numbers in order of first appearance, from a compact open-addressing table;
//   3. sums per voxel, adding the points in ascending order;
//   4. the iteration order of the map a point-by-point pass would build, computed from the
//      distinct keys' hashes in order of first appearance;
//   5. the averages written in the map's iteration order (parallel).
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "core/geometry/folds.hpp"
#include "core/geometry/point_cloud.hpp"
#include "core/geometry/voxel_cells.hpp"
#include "core/parallel.hpp"

namespace nubiro::geometry {
namespace {

constexpr std::size_t kMinChunk = 8192;
// Points per stop check (and progress report) in the serial passes.
constexpr std::size_t kSerialBlock = std::size_t{1} << 16;

inline bool any_nan(const Vector3d& v) { return v[0] != v[0] || v[1] != v[1] || v[2] != v[2]; }

// Largest of the three extents; a NaN extent never replaces a number.
double largest_extent(const Vector3d& low, const Vector3d& high) {
    double e = high[0] - low[0];
    for (int k = 1; k < 3; ++k) e = nan_skipping_max(e, high[k] - low[k]);
    return e;
}

struct PointSum {
    double sum[3];
    std::int32_t count;
};
struct NormalSum {
    double sum[3];
    bool any;  // at least one normal was added
};

}  // namespace

Result<PointCloud> PointCloud::voxel_down_sample(double voxel_size) const {
    if (!(voxel_size > 0)) return runtime_error("[VoxelDownSample] voxel_size must be positive.");
    const std::size_t n = points.size();
    if (n == 0) return PointCloud{};
    // Voxel numbers are 32-bit.
    if (n >= std::numeric_limits<std::uint32_t>::max()) throw std::length_error("too many points to down-sample");
    Vector3d low, high;
    cloud_bounds(points.span(), low, high);
    if (largest_extent(low, high) + 1e-9 > 2147483647.0 * voxel_size)
        return runtime_error("[VoxelDownSample] voxel_size is too small relative to the cloud extent.");
    parallel::report_stage("down-sampling");
    const Vector3d* pts = points.data();
    const Vector3d* nrm = normals.size() == n ? normals.data() : nullptr;
    const Vector3d* col = colors.size() == n ? colors.data() : nullptr;

    // 1. Keys.
    auto key_of = [low, voxel_size](const Vector3d& p) {
        return VoxelKey{voxel_index((p[0] - low[0]) / voxel_size), voxel_index((p[1] - low[1]) / voxel_size),
                        voxel_index((p[2] - low[2]) / voxel_size)};
    };
    std::vector<VoxelKey> keys(n);
    parallel::parallel_for_chunks(
        n,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) keys[i] = key_of(pts[i]);
        },
        kMinChunk);

    // 2. Voxel numbers.
    std::vector<std::uint32_t> voxel_of(n);
    CellNumbers numbers;
    parallel::serial_blocks(n, kSerialBlock, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) voxel_of[i] = numbers.number_of(keys[i]);
        parallel::report_progress("down-sampling", end / 2, n);  // two passes over the points
    });
    std::vector<VoxelKey>().swap(keys);
    const std::size_t voxels = numbers.keys.size();

    // 3. Sums, in point order.
    std::vector<PointSum> point_sums(voxels, PointSum{});
    std::vector<NormalSum> normal_sums(nrm ? voxels : 0, NormalSum{});
    std::vector<Vector3d> color_sums(col ? voxels : 0, Vector3d{0, 0, 0});
    parallel::serial_blocks(n, kSerialBlock, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const std::uint32_t v = voxel_of[i];
            PointSum& ps = point_sums[v];
            ps.sum[0] += pts[i][0];
            ps.sum[1] += pts[i][1];
            ps.sum[2] += pts[i][2];
            ps.count += 1;
            if (nrm && !any_nan(nrm[i])) {
                NormalSum& ns = normal_sums[v];
                ns.sum[0] += nrm[i][0];
                ns.sum[1] += nrm[i][1];
                ns.sum[2] += nrm[i][2];
                ns.any = true;
            }
            if (col) {
                Vector3d& cs = color_sums[v];
                cs[0] += col[i][0];
                cs[1] += col[i][1];
                cs[2] += col[i][2];
            }
        }
        parallel::report_progress("down-sampling", (n + end) / 2, n);
    });
    std::vector<std::uint32_t>().swap(voxel_of);

    // 4. The voxel map's order.
    const std::vector<std::uint32_t> order = grown_map_order(numbers.hashes);

    // 5. Averages in map order.
    PointCloud out;
    out.points.resize_for_overwrite(voxels);
    if (nrm) out.normals.resize_for_overwrite(voxels);
    if (col) out.colors.resize_for_overwrite(voxels);
    Vector3d* out_points = out.points.data();
    Vector3d* out_normals = out.normals.data();
    Vector3d* out_colors = out.colors.data();
    parallel::parallel_for_chunks(
        voxels,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t j = begin; j < end; ++j) {
                const std::uint32_t v = order[j];
                const PointSum& ps = point_sums[v];
                const double c = static_cast<double>(ps.count);
                out_points[j] = {ps.sum[0] / c, ps.sum[1] / c, ps.sum[2] / c};
                if (nrm) {
                    const NormalSum& ns = normal_sums[v];
                    out_normals[j] = ns.any ? Vector3d{ns.sum[0] / c, ns.sum[1] / c, ns.sum[2] / c} : Vector3d{0, 0, 0};
                }
                if (col) {
                    const Vector3d& cs = color_sums[v];
                    out_colors[j] = {cs[0] / c, cs[1] / c, cs[2] / c};
                }
            }
        },
        kMinChunk);
    if (nrm) out.normalize_normals();
    return out;
}

}  // namespace nubiro::geometry
