#include "core/geometry/voxel_cells.hpp"

#include <algorithm>
#include <utility>

#include "core/fetch_ahead.hpp"
#include "core/geometry/folds.hpp"
#include "core/parallel.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace nubiro::geometry {
namespace {

constexpr std::size_t kMinBlock = 8192;
constexpr std::size_t kMaxBlocks = 256;
// distinct_cells: the points that decide whether to split the work. When nearly all of them
// (more than 7 in 8) open a new cell, the table will end up far larger than the caches.
constexpr std::size_t kProbePoints = 65536;

// Bounds of one block, as folds from its first point would give them. Branch-free: folds
// start from +-infinity, and a NaN operand or a tie keeps the running value (the SSE2 min/max
// rule). The block is folded as four consecutive parts side by side (one fold alone waits on
// its own minimum every point); the parts are then joined in order by the same rule, which
// gives what one fold over the block gives. An axis met a number exactly when its low ended at
// or below its high (from +infinity and -infinity, any number, infinities included, leaves
// low <= high); an axis that met only NaN is NaN.
void block_bounds(const Vector3d* p, std::size_t count, Vector3d& low, Vector3d& high) {
#if defined(__SSE2__)
    constexpr int kParts = 4;
    const double inf = std::numeric_limits<double>::infinity();
    __m128d lo_xy[kParts], hi_xy[kParts], lo_z[kParts], hi_z[kParts];
    for (int j = 0; j < kParts; ++j) {
        lo_xy[j] = _mm_set1_pd(inf), hi_xy[j] = _mm_set1_pd(-inf);
        lo_z[j] = _mm_set_sd(inf), hi_z[j] = _mm_set_sd(-inf);
    }
    const auto fold = [&](int j, const Vector3d& q) {
        const __m128d xy = _mm_loadu_pd(q.data());
        const __m128d z = _mm_load_sd(q.data() + 2);
        lo_xy[j] = _mm_min_pd(xy, lo_xy[j]);
        hi_xy[j] = _mm_max_pd(xy, hi_xy[j]);
        lo_z[j] = _mm_min_sd(z, lo_z[j]);
        hi_z[j] = _mm_max_sd(z, hi_z[j]);
    };
    const std::size_t part = count / kParts;
    for (std::size_t i = 0; i < part; ++i)
        for (int j = 0; j < kParts; ++j) {
            fetch_ahead(p + j * part + i);
            fold(j, p[j * part + i]);
        }
    for (std::size_t i = kParts * part; i < count; ++i) fold(kParts - 1, p[i]);  // the last part's tail
    for (int j = 1; j < kParts; ++j) {
        lo_xy[0] = _mm_min_pd(lo_xy[j], lo_xy[0]);
        hi_xy[0] = _mm_max_pd(hi_xy[j], hi_xy[0]);
        lo_z[0] = _mm_min_sd(lo_z[j], lo_z[0]);
        hi_z[0] = _mm_max_sd(hi_z[j], hi_z[0]);
    }
    double lo[3], hi[3];
    _mm_storeu_pd(lo, lo_xy[0]);
    _mm_storeu_pd(hi, hi_xy[0]);
    _mm_store_sd(lo + 2, lo_z[0]);
    _mm_store_sd(hi + 2, hi_z[0]);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (int k = 0; k < 3; ++k) {
        const bool seen = lo[k] <= hi[k];
        low[k] = seen ? lo[k] : nan;
        high[k] = seen ? hi[k] : nan;
    }
#else
    low = high = p[0];
    for (std::size_t i = 1; i < count; ++i)
        for (int k = 0; k < 3; ++k) {
            low[k] = nan_skipping_min(low[k], p[i][k]);
            high[k] = nan_skipping_max(high[k], p[i][k]);
        }
#endif
}

}  // namespace

// Per fixed block, then folded block by block in order, which keeps the earliest of equal
// values as one fold over all points would.
void cloud_bounds(std::span<const Vector3d> p, Vector3d& low, Vector3d& high) {
    const std::size_t n = p.size();
    const std::size_t blocks = std::clamp<std::size_t>(n / kMinBlock, 1, kMaxBlocks);
    std::vector<Vector3d> lows(blocks), highs(blocks);
    parallel::parallel_for(blocks, [&](std::size_t b) {
        const std::size_t begin = n * b / blocks, end = n * (b + 1) / blocks;
        block_bounds(p.data() + begin, end - begin, lows[b], highs[b]);
    });
    low = lows[0];
    high = highs[0];
    for (std::size_t b = 1; b < blocks; ++b)
        for (int k = 0; k < 3; ++k) {
            low[k] = nan_skipping_min(low[k], lows[b][k]);
            high[k] = nan_skipping_max(high[k], highs[b][k]);
        }
}

void CellNumbers::grow() {
    --shift_;
    slots_.assign(slots_.size() * 2, Slot{{}, kFree});
    const std::size_t mask = slots_.size() - 1;
    for (std::uint32_t v = 0; v < keys.size(); ++v) {
        std::size_t s = slot_of(hashes[v]);
        while (slots_[s].number != kFree) s = (s + 1) & mask;
        slots_[s] = {keys[v], v};
    }
}

DistinctCells distinct_cells(std::span<const VoxelKey> keys, std::span<const std::uint8_t> inside) {
    const std::size_t n = keys.size();
    const std::size_t shares = std::min<std::size_t>(parallel::num_threads(), 16);
    // Splitting pays only when the table outgrows the caches, i.e. when few cells hold more
    // than one point; the first points tell which case this is, and otherwise the pass simply
    // goes on with them.
    CellNumbers numbers;
    const std::size_t probe = shares == 1 ? n : std::min(n, kProbePoints);
    for (std::size_t i = 0; i < probe; ++i)
        if (inside[i]) numbers.number_of(keys[i]);
    if (probe == n || 8 * numbers.keys.size() <= 7 * probe) {
        for (std::size_t i = probe; i < n; ++i)
            if (inside[i]) numbers.number_of(keys[i]);
        return {std::move(numbers.keys), std::move(numbers.hashes)};
    }
    // A key's share comes from its hash mixed by another multiplier than the table's, so each
    // share's table still spreads its keys over all of its slots.
    const auto share_of = [shares](std::uint64_t hash) {
        return static_cast<std::size_t>((static_cast<unsigned __int128>(hash * 0xc2b2ae3d27d4eb4full) * shares) >> 64);
    };
    std::vector<CellNumbers> parts(shares);
    std::vector<std::uint8_t> first_of(n, 0);  // 1 + the share whose key first appears here
    parallel::parallel_for(shares, [&](std::size_t share) {
        CellNumbers& part = parts[share];
        const auto mark = static_cast<std::uint8_t>(share + 1);
        for (std::size_t i = 0; i < n; ++i) {
            if (!inside[i]) continue;
            const std::uint64_t hash = hash_voxel_key(keys[i]);
            if (share_of(hash) != share) continue;
            const std::size_t before = part.keys.size();
            part.number_of(keys[i], hash);
            if (part.keys.size() != before) first_of[i] = mark;
        }
    });
    DistinctCells cells;
    std::size_t total = 0;
    for (const CellNumbers& part : parts) total += part.keys.size();
    cells.keys.reserve(total);
    cells.hashes.reserve(total);
    std::vector<std::size_t> taken(shares, 0);
    for (std::size_t i = 0; i < n; ++i)
        if (const std::uint8_t mark = first_of[i]) {
            const CellNumbers& part = parts[mark - 1];
            const std::size_t v = taken[mark - 1]++;
            cells.keys.push_back(part.keys[v]);
            cells.hashes.push_back(part.hashes[v]);
        }
    return cells;
}

}  // namespace nubiro::geometry
