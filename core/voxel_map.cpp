#include "core/voxel_map.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <stdexcept>

#include "core/parallel.hpp"

namespace nubiro {
namespace {

constexpr std::array<std::uint64_t, 13> kSmall = {1, 2, 2, 3, 5, 5, 7, 7, 11, 11, 11, 11, 13};  // by n = 0 ... 12

constexpr std::array<std::uint64_t, 188> kPrimes = {
    2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37, 41, 43, 47, 53, 59, 61, 67, 71, 73, 79, 83, 89, 97,
    103, 109, 113, 127, 137, 139, 149, 157, 167, 179, 193, 199, 211, 227, 241, 257, 277, 293, 313,
    337, 359, 383, 409, 439, 467, 503, 541, 577, 619, 661, 709, 761, 823, 887, 953, 1031, 1109,
    1193, 1289, 1381, 1493, 1613, 1741, 1879, 2029, 2179, 2357, 2549, 2753, 2971, 3209, 3469, 3739,
    4027, 4349, 4703, 5087, 5503, 5953, 6427, 6949, 7517, 8123, 8783, 9497, 10273, 11113, 12011,
    12983, 14033, 15173, 16411, 17749, 19183, 20753, 22447, 24281, 26267, 28411, 30727, 33223,
    35933, 38873, 42043, 45481, 49201, 53201, 57557, 62233, 67307, 72817, 78779, 85229, 92203,
    99733, 107897, 116731, 126271, 136607, 147793, 159871, 172933, 187091, 202409, 218971, 236897,
    256279, 277261, 299951, 324503, 351061, 379787, 410857, 444487, 480881, 520241, 562841, 608903,
    658753, 712697, 771049, 834181, 902483, 976369, 1056323, 1142821, 1236397, 1337629, 1447153,
    1565659, 1693859, 1832561, 1982627, 2144977, 2320627, 2510653, 2716249, 2938679, 3179303,
    3439651, 3721303, 4026031, 4355707, 4712381, 5098259, 5515729, 5967347, 6456007, 6984629,
    7556579, 8175383, 8844859, 9569143, 10352717, 11200489, 12117689, 13109983, 14183539, 15345007,
    16601593, 17961079, 19431899, 21023161,
};

// Whether an odd c has an odd divisor d with 3 <= d and d * d <= c.
bool has_odd_divisor(std::uint64_t c) {
    for (std::uint64_t d = 3; d <= c / d; d += 2)
        if (c % d == 0) return true;
    return false;
}

// Per bucket of one stage: where its run starts in the list, and its length (then the count of
// its placements). Side by side, so each random visit to a bucket touches one cache line.
struct Run {
    std::uint32_t start, length;
};

// Scratch arrays reused from one stage of grown_map_order to the next.
struct RunScratch {
    std::vector<std::uint32_t> bucket, firsts, placed;
    std::vector<Run> runs;
};

// How far ahead the passes over a stage's buckets fetch the bucket they will visit: the bucket
// array outgrows the caches, and the visits are random.
constexpr std::size_t kAhead = 16;

// Reorders `seq` (positions in `hashes`) into the iteration order of a map of `count` buckets
// into which those keys are inserted in turn without growing. A new key goes to the front of its
// bucket's run, or starts a run at the front of the list, so the runs appear latest-started
// first and within a run the latest insertion comes first.
void fill_order(std::uint64_t count, std::span<const std::uint64_t> hashes, std::vector<std::uint32_t>& seq,
                RunScratch& s) {
    parallel::check_cancelled();  // each pass is short; the passes together are not
    const std::size_t m = seq.size();
    const Modulus mod(count);
    s.bucket.resize(m);
    for (std::size_t t = 0; t < m; ++t) {
        if (t + kAhead < m) __builtin_prefetch(&hashes[seq[t + kAhead]]);
        s.bucket[t] = static_cast<std::uint32_t>(mod(hashes[seq[t]]));
    }
    s.runs.assign(count, Run{0, 0});
    s.firsts.clear();
    for (std::size_t t = 0; t < m; ++t) {
        if (t + kAhead < m) __builtin_prefetch(&s.runs[s.bucket[t + kAhead]]);
        if (s.runs[s.bucket[t]].length++ == 0) s.firsts.push_back(s.bucket[t]);
    }
    // Run starts, latest-started run first; the lengths are then reset to count placements.
    std::uint32_t cursor = 0;
    for (std::size_t r = s.firsts.size(); r-- > 0;) {
        if (r >= kAhead) __builtin_prefetch(&s.runs[s.firsts[r - kAhead]]);
        Run& run = s.runs[s.firsts[r]];
        run.start = cursor;
        cursor += run.length;
        run.length = 0;
    }
    // Latest first within each run.
    s.placed.resize(m);
    for (std::size_t t = m; t-- > 0;) {
        if (t >= kAhead) __builtin_prefetch(&s.runs[s.bucket[t - kAhead]]);
        Run& run = s.runs[s.bucket[t]];
        s.placed[run.start + run.length++] = seq[t];
    }
    seq.swap(s.placed);
}

}  // namespace

std::vector<std::uint32_t> grown_map_order(std::span<const std::uint64_t> hashes) {
    const std::size_t n = hashes.size();
    if (n >= std::numeric_limits<std::uint32_t>::max() - 1) throw std::length_error("voxel map is full");
    // The map's growth, step by step as insertion makes it (see VoxelMap::insert_node). A
    // rehash relinks the list in its order by the same rule as insertions, so the map after a
    // rehash is the one inserting its list, in order, into the new bucket count would give.
    // `seq` is that insertion sequence for the current bucket count.
    std::vector<std::uint32_t> seq;
    seq.reserve(n);
    RunScratch scratch;
    std::uint64_t buckets = 1, threshold = 0;
    std::size_t count = 0;
    while (count < n) {
        if (count + 1 > threshold) {
            std::uint64_t wish = count + 1;
            if (threshold == 0 && wish < 11) wish = 11;
            if (static_cast<double>(wish) >= static_cast<double>(buckets)) {
                fill_order(buckets, hashes, seq, scratch);  // the list as it stands
                buckets = next_bucket_count(std::max(wish + 1, 2 * buckets));
                if (buckets > std::numeric_limits<std::uint32_t>::max()) throw std::length_error("voxel map is full");
            }
            threshold = buckets;
        }
        const std::size_t stop = static_cast<std::size_t>(std::min<std::uint64_t>(n, threshold));
        for (; count < stop; ++count) seq.push_back(static_cast<std::uint32_t>(count));
    }
    fill_order(buckets, hashes, seq, scratch);
    return seq;
}

std::uint64_t next_bucket_count(std::uint64_t n) {
    if (n < kSmall.size()) return kSmall[n];
    if (n <= kPrimes.back()) return *std::lower_bound(kPrimes.begin(), kPrimes.end(), n);
    std::uint64_t c = n | 1;
    while (has_odd_divisor(c)) c += 2;
    return c;
}

}  // namespace nubiro
