#include "core/geometry/voxel_grid.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>

#include "core/geometry/folds.hpp"
#include "core/geometry/point_cloud.hpp"
#include "core/geometry/voxel_cells.hpp"
#include "core/parallel.hpp"
#include "core/vector_ops.hpp"

namespace nubiro::geometry {
namespace {

constexpr std::size_t kMinChunk = 8192;
// Points per stop check in the serial numbering.
constexpr std::size_t kSerialBlock = std::size_t{1} << 16;

constexpr Vector3d kVoxelColor{0.5, 0.5, 0.5};

Vector3i index_of(const VoxelKey& k) { return {k.x, k.y, k.z}; }

bool near_identity(const double* entries, std::size_t stride, std::size_t rows, std::size_t cols) {
    for (std::size_t i = 0; i < rows; ++i)
        for (std::size_t j = 0; j < cols; ++j) {
            const double v = entries[i * stride + j];
            if (!std::isfinite(v) || std::fabs(v - (i == j ? 1.0 : 0.0)) > 1e-12) return false;
        }
    return true;
}

// A point takes part unless it lies outside [m, M) on some axis; comparisons with NaN are
// false, so a NaN coordinate (or bound) never leaves it out.
inline bool outside(const Vector3d& p, const Vector3d& m, const Vector3d& M) {
    return m[0] > p[0] || p[0] >= M[0] || m[1] > p[1] || p[1] >= M[1] || m[2] > p[2] || p[2] >= M[2];
}

// The distinct cells of the points inside [m, M), numbered in order of first appearance. When
// the box is finite and its grid small next to the cloud, every inside point's cell has a
// place in a plain array, and the numbering is one array access per point; otherwise the
// points' keys go through the hash table.
DistinctCells occupied_cells(std::span<const Vector3d> points, double s, const Vector3d& m, const Vector3d& M) {
    const std::size_t n = points.size();
    const Vector3d* pts = points.data();
    if (const DenseGrid grid = is_finite(m) && is_finite(M) ? DenseGrid(m, M, s, n) : DenseGrid(); grid.cells > 0) {
        // An inside point's coordinates lie in [m, M) or are NaN, whose key component is 0.
        constexpr std::uint32_t kLeftOut = std::numeric_limits<std::uint32_t>::max();  // above every cell
        const auto cells = std::make_unique_for_overwrite<std::uint32_t[]>(n);
        parallel::parallel_for_chunks(
            n,
            [&](std::size_t begin, std::size_t end) {
                for_each_voxel_key(pts + begin, end - begin, m, s, [&](std::size_t i, const VoxelKey& k) {
                    cells[begin + i] = outside(pts[begin + i], m, M) ? kLeftOut : grid.cell_of(k);
                });
            },
            kMinChunk);
        DenseCellNumbers dense(grid, cells.get());
        parallel::serial_blocks(n, kSerialBlock, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                if (i + kSlotAhead < n && cells[i + kSlotAhead] != kLeftOut) dense.prefetch(i + kSlotAhead);
                if (cells[i] != kLeftOut) dense.number_of(i);
            }
        });
        std::vector<std::uint64_t> hashes = dense.key_hashes();
        return {std::move(dense.keys), std::move(hashes)};
    }
    std::vector<VoxelKey> keys(n);
    std::vector<std::uint8_t> inside(n);
    parallel::parallel_for_chunks(
        n,
        [&](std::size_t begin, std::size_t end) {
            for_each_voxel_key(pts + begin, end - begin, m, s, [&](std::size_t i, const VoxelKey& k) {
                inside[begin + i] = !outside(pts[begin + i], m, M);
                keys[begin + i] = k;
            });
        },
        kMinChunk);
    return distinct_cells(keys, inside);
}

// The grid of the cells holding points of [m, M), with origin m and cell size s.
Result<VoxelGrid> build(std::span<const Vector3d> points, double s, const Vector3d& m, const Vector3d& M) {
    if (!(s > 0)) return runtime_error("voxel_size must be positive.");  // NaN included
    const double largest = nan_skipping_max(nan_skipping_max(M[0] - m[0], M[1] - m[1]), M[2] - m[2]);
    if (largest / s > 2147483647.0)
        return runtime_error("voxel_size is potentially too small for the given bounds, may lead to integer overflow in indices.");

    // The occupied cells, in the order of the map that inserting them point by point would
    // build: cell keys per point on the pool (points outside the bounds marked), the distinct
    // cells numbered in order of first appearance, then that map's order of them.
    const std::size_t n = points.size();
    // Cell numbers are 32-bit.
    if (n >= std::numeric_limits<std::uint32_t>::max()) throw std::length_error("too many points for a voxel grid");
    const DistinctCells numbers = occupied_cells(points, s, m, M);
    const std::vector<std::uint32_t> order = grown_map_order(numbers.hashes);

    // The grid's own map, sized for them up front, filled in that order.
    std::vector<VoxelKey> cells(order.size());
    std::vector<std::uint64_t> hashes(order.size());
    for (std::size_t j = 0; j < order.size(); ++j) {
        cells[j] = numbers.keys[order[j]];
        hashes[j] = numbers.hashes[order[j]];
    }
    VoxelGrid grid;
    grid.origin = m;
    grid.voxel_size = s;
    grid.voxels.assign_distinct(cells, hashes, [](const VoxelKey&) { return kVoxelColor; });
    return grid;
}

}  // namespace

std::vector<Voxel> VoxelGrid::get_voxels() const {
    std::vector<Voxel> out;
    out.reserve(voxels.size());
    voxels.for_each([&](const auto& node) { out.push_back(Voxel{index_of(node.key), node.value}); });
    return out;
}

Vector3d VoxelGrid::get_min_bound() const {
    if (is_empty()) return origin;
    Vector3i lo = index_of(voxels.nodes().front().key);
    for (const auto& node : voxels.nodes()) {
        const Vector3i i = index_of(node.key);
        for (int k = 0; k < 3; ++k) lo[k] = std::min(lo[k], i[k]);
    }
    Vector3d out;
    for (int k = 0; k < 3; ++k) out[k] = origin[k] + voxel_size * static_cast<double>(lo[k]);
    return out;
}

Vector3d VoxelGrid::get_max_bound() const {
    if (is_empty()) return origin;
    Vector3i hi = index_of(voxels.nodes().front().key);
    for (const auto& node : voxels.nodes()) {
        const Vector3i i = index_of(node.key);
        for (int k = 0; k < 3; ++k) hi[k] = std::max(hi[k], i[k]);
    }
    Vector3d out;
    for (int k = 0; k < 3; ++k) out[k] = origin[k] + voxel_size * (static_cast<double>(hi[k]) + 1);
    return out;
}

Vector3d VoxelGrid::get_center() const {
    if (is_empty()) return {0, 0, 0};
    const double h = 0.5 * voxel_size;
    Vector3d sum{0, 0, 0};
    voxels.for_each([&](const auto& node) {
        for (int k = 0; k < 3; ++k)
            sum[k] += (static_cast<double>(index_of(node.key)[k]) * voxel_size + origin[k]) + h;
    });
    const double n = static_cast<double>(voxels.size());
    return {sum[0] / n, sum[1] / n, sum[2] / n};
}

VoxelGrid& VoxelGrid::clear() {
    *this = VoxelGrid{};
    return *this;
}

VoxelGrid& VoxelGrid::translate(const Vector3d& t, bool relative) {
    if (relative)
        origin = add(origin, t);
    else
        origin = t;
    return *this;
}

VoxelGrid& VoxelGrid::scale(double f, const Vector3d& c) {
    for (int k = 0; k < 3; ++k) origin[k] = f * (origin[k] - c[k]) + c[k];
    voxel_size = voxel_size * f;
    return *this;
}

std::optional<Error> VoxelGrid::rotate(const Matrix3d& r) {
    if (!near_identity(r[0].data(), 3, 3, 3))
        return runtime_error("VoxelGrid rotation is unsupported; revoxelize the geometry instead");
    return std::nullopt;
}

std::optional<Error> VoxelGrid::transform(const Matrix4d& t) {
    bool finite = true;
    for (const auto& row : t)
        for (const double v : row) finite = finite && std::isfinite(v);
    const double bottom[4] = {t[3][0], t[3][1], t[3][2], t[3][3] - 1.0};  // against (0, 0, 0, 1)
    bool flat_bottom = true;
    for (const double v : bottom) flat_bottom = flat_bottom && std::fabs(v) <= 1e-12;
    if (!finite || !flat_bottom || !near_identity(t[0].data(), 4, 3, 3))
        return runtime_error("VoxelGrid only supports identity or pure translation transforms");
    const Vector3d o = origin;
    for (int i = 0; i < 3; ++i) origin[i] = ((t[i][0] * o[0] + t[i][1] * o[1]) + t[i][2] * o[2]) + t[i][3];
    return std::nullopt;
}

Result<VoxelGrid> VoxelGrid::create_from_point_cloud(std::span<const Vector3d> points, double voxel_size) {
    if (points.empty()) return VoxelGrid{};
    if (!(voxel_size > 0)) return runtime_error("voxel_size must be positive for VoxelGrid creation.");
    Vector3d lo, hi;
    cloud_bounds(points, lo, hi);
    const double half = 0.5 * voxel_size;
    return build(points, voxel_size, {lo[0] - half, lo[1] - half, lo[2] - half}, {hi[0] + half, hi[1] + half, hi[2] + half});
}

Result<VoxelGrid> VoxelGrid::create_from_point_cloud_within_bounds(std::span<const Vector3d> points, double voxel_size,
                                                                   const Vector3d& min_bound, const Vector3d& max_bound) {
    return build(points, voxel_size, min_bound, max_bound);
}

}  // namespace nubiro::geometry
