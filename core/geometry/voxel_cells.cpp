#include "core/geometry/voxel_cells.hpp"

#include <algorithm>
#include <bit>
#include <utility>

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
// rule); axes that met only NaN are fixed up at the end.
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
