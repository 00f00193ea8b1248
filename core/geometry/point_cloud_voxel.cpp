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
//   4. the distinct keys inserted into the voxel map once each, in order of first appearance,
//      which yields exactly the map a point-by-point pass would build;
//   5. the averages written in the map's iteration order (parallel).
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/geometry/point_cloud.hpp"
#include "core/parallel.hpp"
#include "core/stdhash.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace nubiro::geometry {
namespace {

constexpr std::size_t kMinChunk = 8192;
constexpr std::size_t kMaxBlocks = 256;

inline bool any_nan(const Vector3d& v) { return v[0] != v[0] || v[1] != v[1] || v[2] != v[2]; }

inline double fold_min(double acc, double v) { return (v < acc || acc != acc) ? v : acc; }
inline double fold_max(double acc, double v) { return (v > acc || acc != acc) ? v : acc; }

// NaN-skipping minimum and maximum of one block, as folds from the first point would give
// them: the earliest of equal values (0 and -0) survives, and an axis is NaN only when all of
// its values are. Branch-free: folds start from +-infinity, and a NaN operand or a tie keeps
// the running value (the SSE2 min/max rule); axes that met only NaN are fixed up at the end.
void block_bounds(const Vector3d* p, std::size_t count, Vector3d& low, Vector3d& high) {
#if defined(__SSE2__)
    const double inf = std::numeric_limits<double>::infinity();
    __m128d lo_xy = _mm_set1_pd(inf), hi_xy = _mm_set1_pd(-inf), seen_xy = _mm_setzero_pd();
    __m128d lo_z = _mm_set_sd(inf), hi_z = _mm_set_sd(-inf), seen_z = _mm_setzero_pd();
    for (std::size_t i = 0; i < count; ++i) {
        const __m128d xy = _mm_loadu_pd(p[i].data());
        const __m128d z = _mm_load_sd(p[i].data() + 2);
        lo_xy = _mm_min_pd(xy, lo_xy);
        hi_xy = _mm_max_pd(xy, hi_xy);
        seen_xy = _mm_or_pd(seen_xy, _mm_cmpord_pd(xy, xy));
        lo_z = _mm_min_sd(z, lo_z);
        hi_z = _mm_max_sd(z, hi_z);
        seen_z = _mm_or_pd(seen_z, _mm_cmpord_sd(z, z));
    }
    double lo[2], hi[2], seen[2];
    _mm_storeu_pd(lo, lo_xy);
    _mm_storeu_pd(hi, hi_xy);
    _mm_storeu_pd(seen, seen_xy);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const auto any = [](double mask) { return std::bit_cast<std::uint64_t>(mask) != 0; };
    const bool seen_z_any = any(_mm_cvtsd_f64(seen_z));
    low = {any(seen[0]) ? lo[0] : nan, any(seen[1]) ? lo[1] : nan, seen_z_any ? _mm_cvtsd_f64(lo_z) : nan};
    high = {any(seen[0]) ? hi[0] : nan, any(seen[1]) ? hi[1] : nan, seen_z_any ? _mm_cvtsd_f64(hi_z) : nan};
#else
    low = high = p[0];
    for (std::size_t i = 1; i < count; ++i)
        for (int k = 0; k < 3; ++k) {
            low[k] = fold_min(low[k], p[i][k]);
            high[k] = fold_max(high[k], p[i][k]);
        }
#endif
}

// Bounds of the whole cloud: per fixed block, then folded block by block in order, which
// keeps the earliest of equal values as one fold over all points would.
void bounds(std::span<const Vector3d> p, Vector3d& low, Vector3d& high) {
    const std::size_t n = p.size();
    const std::size_t blocks = std::clamp<std::size_t>(n / kMinChunk, 1, kMaxBlocks);
    std::vector<Vector3d> lows(blocks), highs(blocks);
    parallel::parallel_for(blocks, [&](std::size_t b) {
        const std::size_t begin = n * b / blocks, end = n * (b + 1) / blocks;
        block_bounds(p.data() + begin, end - begin, lows[b], highs[b]);
    });
    low = lows[0];
    high = highs[0];
    for (std::size_t b = 1; b < blocks; ++b)
        for (int k = 0; k < 3; ++k) {
            low[k] = fold_min(low[k], lows[b][k]);
            high[k] = fold_max(high[k], highs[b][k]);
        }
}

// Largest of the three extents; a NaN extent never replaces a number.
double largest_extent(const Vector3d& low, const Vector3d& high) {
    double e = high[0] - low[0];
    for (int k = 1; k < 3; ++k) e = fold_max(e, high[k] - low[k]);
    return e;
}

// Distinct keys numbered in order of first appearance. Open addressing with linear probing;
// each slot holds the key itself and its number, so a lookup touches one place in memory.
class KeyNumbers {
public:
    KeyNumbers() { slots_.assign(std::size_t{1} << (64 - shift_), Slot{{}, kFree}); }

    std::uint32_t number_of(const VoxelKey& key) {
        const std::uint64_t hash = hash_voxel_key(key);
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t s = slot_of(hash);; s = (s + 1) & mask) {
            Slot& slot = slots_[s];
            if (slot.number == kFree) {
                const auto number = static_cast<std::uint32_t>(keys.size());
                slot = {key, number};
                keys.push_back(key);
                hashes.push_back(hash);
                if (2 * keys.size() > slots_.size()) grow();
                return number;
            }
            if (slot.key == key) return slot.number;
        }
    }

    std::vector<VoxelKey> keys;  // by number
    std::vector<std::uint64_t> hashes;

private:
    struct Slot {
        VoxelKey key;
        std::uint32_t number;
    };
    static constexpr std::uint32_t kFree = std::numeric_limits<std::uint32_t>::max();

    // The key hash spread over 64 bits by a multiplication; its top bits pick the slot.
    std::size_t slot_of(std::uint64_t hash) const {
        return static_cast<std::size_t>((hash * 0x9e3779b97f4a7c15ull) >> shift_);
    }

    void grow() {
        --shift_;
        slots_.assign(slots_.size() * 2, Slot{{}, kFree});
        const std::size_t mask = slots_.size() - 1;
        for (std::uint32_t v = 0; v < keys.size(); ++v) {
            std::size_t s = slot_of(hashes[v]);
            while (slots_[s].number != kFree) s = (s + 1) & mask;
            slots_[s] = {keys[v], v};
        }
    }

    int shift_ = 64 - 12;
    std::vector<Slot> slots_;
};

struct PointSum {
    double sum[3];
    std::int32_t count;
};
struct NormalSum {
    double sum[3];
    bool any;  // at least one normal was added
};

struct Empty {};

}  // namespace

Result<PointCloud> PointCloud::voxel_down_sample(double voxel_size) const {
    if (voxel_size <= 0) return runtime_error("[VoxelDownSample] voxel_size must be positive.");
    const std::size_t n = points.size();
    if (n == 0) return PointCloud{};
    // Voxel numbers are 32-bit.
    if (n >= std::numeric_limits<std::uint32_t>::max()) throw std::length_error("too many points to down-sample");
    Vector3d low, high;
    bounds(points.span(), low, high);
    if (largest_extent(low, high) + 1e-9 > 2147483647.0 * voxel_size)
        return runtime_error("[VoxelDownSample] voxel_size is too small relative to the cloud extent.");
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
    KeyNumbers numbers;
    for (std::size_t i = 0; i < n; ++i) voxel_of[i] = numbers.number_of(keys[i]);
    std::vector<VoxelKey>().swap(keys);
    const std::size_t voxels = numbers.keys.size();

    // 3. Sums, in point order.
    std::vector<PointSum> point_sums(voxels, PointSum{});
    std::vector<NormalSum> normal_sums(nrm ? voxels : 0, NormalSum{});
    std::vector<Vector3d> color_sums(col ? voxels : 0, Vector3d{0, 0, 0});
    for (std::size_t i = 0; i < n; ++i) {
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
    std::vector<std::uint32_t>().swap(voxel_of);

    // 4. The voxel map, one insertion per voxel.
    StdHashMap<Empty> map;
    map.reserve_nodes(voxels);
    for (std::size_t v = 0; v < voxels; ++v) map.insert_absent(numbers.keys[v], numbers.hashes[v]);
    const std::vector<std::uint32_t> order = map.iteration_order();

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
