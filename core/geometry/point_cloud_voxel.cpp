// Voxel down-sampling: one averaged point per occupied voxel, in the voxel map's order.
//
// The output order is the iteration order of the voxel map, and that order depends only on
// the distinct keys in order of first appearance; each average depends only on its voxel's
// points, summed in ascending point order. The map's discipline (a remainder and a chain walk
// per lookup) is needlessly slow for a million lookups, so the points go through it in
// phases instead:
//   1. the cell of every point (parallel): its place in the dense grid over the cloud's
//      bounding box when that grid is small next to the cloud, else its key;
//   2. voxel numbers in order of first appearance, and the sums per voxel adding the points
//      in ascending order: one serial pass, or on two threads the numbering running ahead of
//      the sums. A dense grid numbers its cells through a plain array indexed by cell (one
//      memory access, no hashing or probing), any other cloud through a compact
//      open-addressing table;
//   3. the iteration order of the map a point-by-point pass would build, computed from the
//      distinct keys' hashes in order of first appearance;
//   4. the averages written in the map's iteration order (parallel).
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/fetch_ahead.hpp"
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

// How far ahead the adding fetches a point's voxel sums (the numbering fetches its cell slot
// kSlotAhead points ahead, for the same reason: a new voxel, one point in ten when
// down-sampling to 10 %, is a branch no predictor can guess).
constexpr std::size_t kSumsAhead = 8;
// Points the numbering thread hands over to the adding thread at a time.
constexpr std::size_t kHandOver = 4096;

// Numbers the points' keys through the compact open-addressing table.
class KeyNumbers {
public:
    explicit KeyNumbers(const VoxelKey* keys) : keys_(keys) {}
    std::uint32_t number_of(std::size_t i) { return table.number_of(keys_[i]); }
    void prefetch(std::size_t) const {}
    std::uint32_t peek(std::size_t) const { return 0; }

    CellNumbers table;

private:
    const VoxelKey* keys_;
};

// Sums per voxel number, grown as new numbers appear; points are added in ascending order.
class VoxelSums {
public:
    VoxelSums(const Vector3d* points, const Vector3d* normals, const Vector3d* colors)
        : pts_(points), nrm_(normals), col_(colors) {}

    void prefetch(std::uint32_t v) const {
        if (v < points.size()) __builtin_prefetch(points.data() + v);
    }
    // Reads of point i's coordinates (and normal and colour) are streamed: fetched ahead.
    void fetch_ahead_of(std::size_t i) const {
        fetch_ahead(pts_ + i);
        if (nrm_) fetch_ahead(nrm_ + i);
        if (col_) fetch_ahead(col_ + i);
    }
    void add(std::size_t i, std::uint32_t v) {
        if (v == points.size()) grow();
        PointSum& ps = points[v];
        ps.sum[0] += pts_[i][0];
        ps.sum[1] += pts_[i][1];
        ps.sum[2] += pts_[i][2];
        ps.count += 1;
        if (nrm_ && !any_nan(nrm_[i])) {
            NormalSum& ns = normals[v];
            ns.sum[0] += nrm_[i][0];
            ns.sum[1] += nrm_[i][1];
            ns.sum[2] += nrm_[i][2];
            ns.any = true;
        }
        if (col_) {
            Vector3d& cs = colors[v];
            cs[0] += col_[i][0];
            cs[1] += col_[i][1];
            cs[2] += col_[i][2];
        }
    }

    std::vector<PointSum> points;
    std::vector<NormalSum> normals;
    std::vector<Vector3d> colors;

private:
    void grow() {
        points.push_back(PointSum{});
        if (nrm_) normals.push_back(NormalSum{});
        if (col_) colors.push_back(Vector3d{0, 0, 0});
    }
    const Vector3d* pts_;
    const Vector3d* nrm_;
    const Vector3d* col_;
};

// Numbers every point's voxel and adds the point to its voxel's sums, both in ascending point
// order. On one thread that is one pass. With more, the numbering runs ahead on one thread,
// writing each number to voxel_of[i], and a second thread adds the points behind it as blocks
// come out; each keeps ascending point order, so the sums are those of the single pass.
// Between blocks the numbering checks for a stop; the adding thread gives up when the numbering
// has failed, and checks for a stop itself while it waits.
template <class Numbers>
void number_and_sum(std::size_t n, Numbers& numbers, std::uint32_t* voxel_of, VoxelSums& sums) {
    if (parallel::num_threads() == 1) {
        parallel::serial_blocks(n, kSerialBlock, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                if (i + kSlotAhead < n) numbers.prefetch(i + kSlotAhead);
                if (i + kSumsAhead < n)
                    if (const std::uint32_t slot = numbers.peek(i + kSumsAhead)) sums.prefetch(slot - 1);
                sums.fetch_ahead_of(i);
                sums.add(i, numbers.number_of(i));
            }
            parallel::report_progress("down-sampling", end, n);
        });
        return;
    }
    std::atomic<std::size_t> numbered{0};
    std::atomic<bool> stopped{false};
    parallel::parallel_for(2, [&](std::size_t task) {
        if (task == 0) {
            try {
                parallel::serial_blocks(n, kSerialBlock, [&](std::size_t begin, std::size_t end) {
                    for (std::size_t at = begin; at < end; at += kHandOver) {
                        const std::size_t stop = std::min(end, at + kHandOver);
                        for (std::size_t i = at; i < stop; ++i) {
                            if (i + kSlotAhead < n) numbers.prefetch(i + kSlotAhead);
                            voxel_of[i] = numbers.number_of(i);
                        }
                        numbered.store(stop, std::memory_order_release);
                    }
                    parallel::report_progress("down-sampling", end, n);
                });
            } catch (...) {
                stopped.store(true, std::memory_order_release);
                throw;
            }
            return;
        }
        for (std::size_t done = 0; done < n;) {
            const std::size_t ready = numbered.load(std::memory_order_acquire);
            if (ready == done) {
                if (stopped.load(std::memory_order_acquire)) return;
                // A stop can also keep the numbering from ever starting.
                parallel::check_cancelled();
                std::this_thread::yield();
                continue;
            }
            for (std::size_t i = done; i < ready; ++i) {
                if (i + kSumsAhead < ready) sums.prefetch(voxel_of[i + kSumsAhead]);
                sums.fetch_ahead_of(i);
                sums.add(i, voxel_of[i]);
            }
            done = ready;
        }
    });
}

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

    // 1. Cells, and 2. numbers and sums. The serial pass checks for a stop between blocks.
    VoxelSums sums(pts, nrm, col);
    std::vector<std::uint64_t> hashes;  // of the distinct keys, by number
    if (const DenseGrid grid(low, high, voxel_size, n); grid.cells > 0) {
        // Each cell is overwritten by its point's voxel number once read.
        const auto cells = std::make_unique_for_overwrite<std::uint32_t[]>(n);
        parallel::parallel_for_chunks(
            n,
            [&](std::size_t begin, std::size_t end) {
                for_each_voxel_key(pts + begin, end - begin, low, voxel_size,
                                   [&](std::size_t i, const VoxelKey& k) { cells[begin + i] = grid.cell_of(k); });
            },
            kMinChunk);
        DenseCellNumbers numbers(grid, cells.get());
        number_and_sum(n, numbers, cells.get(), sums);
        hashes = numbers.key_hashes();
    } else {
        std::vector<VoxelKey> keys(n);
        parallel::parallel_for_chunks(
            n,
            [&](std::size_t begin, std::size_t end) {
                for_each_voxel_key(pts + begin, end - begin, low, voxel_size,
                                   [&](std::size_t i, const VoxelKey& k) { keys[begin + i] = k; });
            },
            kMinChunk);
        KeyNumbers numbers(keys.data());
        const auto voxel_of = std::make_unique_for_overwrite<std::uint32_t[]>(parallel::num_threads() > 1 ? n : 0);
        number_and_sum(n, numbers, voxel_of.get(), sums);
        hashes = std::move(numbers.table.hashes);
    }
    const std::size_t voxels = hashes.size();
    const std::vector<PointSum>& point_sums = sums.points;
    const std::vector<NormalSum>& normal_sums = sums.normals;
    const std::vector<Vector3d>& color_sums = sums.colors;

    // 3. The voxel map's order.
    const std::vector<std::uint32_t> order = grown_map_order(hashes);

    // 4. Averages in map order.
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
