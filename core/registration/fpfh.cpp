// Fast Point Feature Histograms in three passes over the points: neighbourhoods, each point's
// own histogram (SPFH), then the weighted sum over its neighbours' histograms (FPFH).
#include <algorithm>
#include <cmath>
#include <numbers>

#include "core/kdtree.hpp"
#include "core/parallel.hpp"
#include "core/registration/feature.hpp"
#include "core/vector_ops.hpp"

namespace nubiro::registration {
namespace {

constexpr std::size_t kBins = 11;
constexpr std::size_t kRows = 3 * kBins;

// ---- neighbourhoods ----------------------------------------------------------------------

// Every point's neighbour list (point numbers and squared distances, in search order). Lists
// are filled block by block, each block owning one buffer, so no list needs its own allocation.
class Neighbourhoods {
public:
    struct List {
        const std::uint32_t* index;
        const double* dist2;
        std::size_t count;
    };

    // Searched in `order` (a permutation of the points), a block of consecutive ones at a time.
    Neighbourhoods(const KDTree& tree, std::span<const Vector3d> points, const SearchParam& param,
                   std::span<const std::uint32_t> order)
        : lists_(points.size()), blocks_((points.size() + kBlock - 1) / kBlock) {
        parallel::parallel_for(blocks_.size(), [&](std::size_t b) { fill_block(b, tree, points, param, order); });
    }

    const List& operator[](std::size_t i) const { return lists_[i]; }

private:
    static constexpr std::size_t kBlock = 64;

    struct Block {
        std::vector<std::uint32_t> index;
        std::vector<double> dist2;
    };

    void fill_block(std::size_t b, const KDTree& tree, std::span<const Vector3d> points, const SearchParam& param,
                    std::span<const std::uint32_t> order) {
        const std::size_t begin = b * kBlock, end = std::min(points.size(), begin + kBlock);
        Block& block = blocks_[b];
        std::vector<std::size_t> offsets(end - begin + 1, 0);
        std::vector<Neighbor> hits;
        for (std::size_t pos = begin; pos < end; ++pos) {
            const double* q = points[order[pos]].data();
            const std::size_t at = block.index.size();
            switch (param.kind) {
                case SearchParam::KNN: {
                    if (param.knn < 0) break;  // a negative count finds nothing
                    const auto k = static_cast<std::size_t>(param.knn);
                    append_fixed(block, at, k, tree,
                                 [&](auto* idx, auto* d2) { return tree.search_knn(q, k, idx, d2); });
                    break;
                }
                case SearchParam::Hybrid: {
                    if (param.max_nn < 0) break;
                    const auto k = static_cast<std::size_t>(param.max_nn);
                    append_fixed(block, at, k, tree,
                                 [&](auto* idx, auto* d2) { return tree.search_hybrid(q, param.radius, k, idx, d2); });
                    break;
                }
                case SearchParam::Radius:
                    tree.search_radius(q, param.radius, hits);
                    for (const Neighbor& h : hits) {
                        block.index.push_back(static_cast<std::uint32_t>(h.index));
                        block.dist2.push_back(h.dist2);
                    }
                    break;
            }
            offsets[pos - begin + 1] = block.index.size();
        }
        for (std::size_t pos = begin; pos < end; ++pos) {
            const std::size_t from = offsets[pos - begin], to = offsets[pos - begin + 1];
            lists_[order[pos]] = {block.index.data() + from, block.dist2.data() + from, to - from};
        }
    }

    // Runs a search that writes at most `capacity` results (fewer than the index holds) at the
    // block's end and keeps what it returned.
    template <class Search>
    static void append_fixed(Block& block, std::size_t at, std::size_t capacity, const KDTree& tree, Search&& search) {
        capacity = std::min(capacity, tree.size());
        block.index.resize(at + capacity);
        block.dist2.resize(at + capacity);
        const std::size_t count = search(block.index.data() + at, block.dist2.data() + at);
        block.index.resize(at + count);
        block.dist2.resize(at + count);
    }

    std::vector<List> lists_;
    std::vector<Block> blocks_;
};

// ---- the pair feature --------------------------------------------------------------------

struct PairFeature {
    double f0 = 0, f1 = 0, f2 = 0;
};

// The three angles between a centre point (p1, n1) and a neighbour (p2, n2), in a frame built
// on whichever normal is more aligned with the line between them.
PairFeature pair_feature(const Vector3d& p1, const Vector3d& n1, const Vector3d& p2, const Vector3d& n2) {
    Vector3d d = sub(p2, p1);
    const double dd = dot(d, d);
    if (dd == 0.0) return {};
    const double s = std::sqrt(dd);
    const double a1 = std::clamp(dot(n1, d) / s, -1.0, 1.0);
    const double a2 = std::clamp(dot(n2, d) / s, -1.0, 1.0);
    const Vector3d* u = &n1;
    const Vector3d* w2 = &n2;
    PairFeature f;
    if (std::fabs(a2) > std::fabs(a1)) {
        u = &n2;
        w2 = &n1;
        d = {-d[0], -d[1], -d[2]};
        f.f2 = -a2;
    } else {
        f.f2 = a1;
    }
    Vector3d v = cross(d, *u);
    const double vv = dot(v, v);
    if (vv == 0.0) return {};
    const double norm = std::sqrt(vv);
    v = {v[0] / norm, v[1] / norm, v[2] / norm};
    const Vector3d w = cross(*u, v);
    f.f1 = dot(v, *w2);
    f.f0 = std::atan2(dot(w, *w2), dot(*u, *w2));
    return f;
}

// floor(x) as a bin number: NaN and negatives give 0, everything from 10 up gives 10.
std::size_t bin_of(double x) {
    const double f = std::floor(x);
    if (!(f > 0.0)) return 0;
    if (f >= 10.0) return 10;
    return static_cast<std::size_t>(f);
}

struct Bins {
    std::size_t b0, b1, b2;
};

Bins bins_of(const PairFeature& f) {
    constexpr double pi = std::numbers::pi;
    return {bin_of(((f.f0 + pi) * 11.0) / (2.0 * pi)), bin_of((f.f1 + 1.0) * 11.0 * 0.5),
            bin_of((f.f2 + 1.0) * 11.0 * 0.5)};
}

// ---- the two histogram passes --------------------------------------------------------------

// Column i: one increment of 100 / (c - 1) per neighbour in each of the three histograms. The
// first list entry stands for the point itself and is skipped, whatever it is.
void simple_histogram(std::size_t i, std::span<const Vector3d> points, std::span<const Vector3d> normals,
                      const Neighbourhoods::List& list, double* column) {
    if (list.count <= 1) return;
    const double inc = 100.0 / static_cast<double>(list.count - 1);
    for (std::size_t k = 1; k < list.count; ++k) {
        const std::size_t j = list.index[k];
        const Bins b = bins_of(pair_feature(points[i], normals[i], points[j], normals[j]));
        column[b.b0] += inc;
        column[kBins + b.b1] += inc;
        column[2 * kBins + b.b2] += inc;
    }
}

// Column i: the neighbours' SPFH weighted by inverse squared distance, each histogram scaled
// to sum to 100, plus the point's own SPFH.
void fast_histogram(std::size_t i, const double* spfh, const Neighbourhoods::List& list, double* column) {
    if (list.count <= 1) return;
    double sum0 = 0.0, sum1 = 0.0, sum2 = 0.0;
    for (std::size_t k = 1; k < list.count; ++k) {
        const double q = list.dist2[k];
        if (q == 0.0) continue;
        const double* neighbour = spfh + kRows * list.index[k];
        double g[kRows];
        for (std::size_t b = 0; b < kRows; ++b) g[b] = neighbour[b] / q;
        for (std::size_t b = 0; b < kRows; ++b) column[b] += g[b];
        // Three independent running sums, each still added to in bin order.
        for (std::size_t b = 0; b < kBins; ++b) {
            sum0 += g[b];
            sum1 += g[kBins + b];
            sum2 += g[2 * kBins + b];
        }
    }
    const double scale[3] = {sum0 != 0.0 ? 100.0 / sum0 : 0.0, sum1 != 0.0 ? 100.0 / sum1 : 0.0,
                             sum2 != 0.0 ? 100.0 / sum2 : 0.0};
    const double* own = spfh + kRows * i;
    for (std::size_t b = 0; b < kRows; ++b) column[b] = column[b] * scale[b / kBins] + own[b];
}

}  // namespace

Result<Feature> compute_fpfh_feature(const geometry::PointCloud& input, const SearchParam& param) {
    if (!input.has_normals()) return runtime_error("Failed because input point cloud has no normal.");
    const std::span<const Vector3d> points = input.points.span(), normals = input.normals.span();
    const std::size_t n = points.size();

    parallel::report_stage("FPFH features");
    KDTree tree;
    tree.build_from_points(points);
    // Every column depends on its own point's neighbourhood alone, so each pass goes through the
    // points in the tree's query order: consecutive points share most neighbours, whose
    // coordinates and histograms are then already in cache.
    const std::vector<std::uint32_t> order = tree.query_order();
    const Neighbourhoods neighbours(tree, points, param, order);

    std::vector<double> spfh(kRows * n, 0.0);
    parallel::parallel_for(
        n,
        [&](std::size_t pos) {
            const std::size_t i = order[pos];
            simple_histogram(i, points, normals, neighbours[i], spfh.data() + kRows * i);
        },
        16);

    Feature fpfh;
    fpfh.dimension = kRows;
    fpfh.num = n;
    fpfh.data.assign(kRows * n, 0.0);
    parallel::parallel_for(
        n,
        [&](std::size_t pos) {
            const std::size_t i = order[pos];
            fast_histogram(i, spfh.data(), neighbours[i], fpfh.data.data() + kRows * i);
        },
        16);
    return fpfh;
}

}  // namespace nubiro::registration
