// Cells of side a little over radius / 2 have a diagonal of 0.87 x radius, so the points of one cell are all
// linked to each other and a cell joins its points at once. Two points within the radius lie
// in cells at most two apart along every axis; such a pair of cells is joined as soon as one
// pair of their points is close enough, and not examined at all once the two cells are already
// in one set. On a dense scan most cell pairs are settled by that test, which is where the
// saving over a radius search around every point comes from.
//
// The sets found are the connected components whatever the order the cells are visited in (the
// union-find keeps the lowest member as root), so the pool may split the work freely.
#include "core/segmentation/cell_links.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "core/parallel.hpp"
#include "core/vector_ops.hpp"

namespace nubiro::segmentation {
namespace {

using Cell = std::array<std::int64_t, 3>;

struct Entry {
    Cell cell;
    std::uint32_t point;
};

// Beyond this many cells along an axis the keys or the cell arithmetic lose exactness.
constexpr double kMaxCellsPerAxis = 1u << 30;

// The points of one cell are within radius of each other only while coordinates carry enough
// bits below the cell size; far from the origin with a tiny radius they may not.
constexpr double kMaxCoordinateOverRadius = 1e9;

}  // namespace

bool link_by_cells(std::span<const Vector3d> points, const std::vector<std::uint8_t>& marked, double radius,
                   UnionFind& sets) {
    // A little over half the radius: a pair exactly at the radius stays within two cells along
    // every axis despite the rounding of the cell arithmetic (the axis limit bounds it).
    const double side = radius / 2 * (1 + 1e-5);
    Vector3d low{INFINITY, INFINITY, INFINITY}, high{-INFINITY, -INFINITY, -INFINITY};
    std::size_t count = 0;
    double largest = 0;
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (!marked[i]) continue;
        ++count;
        for (int c = 0; c < 3; ++c) {
            low[c] = std::min(low[c], points[i][c]);
            high[c] = std::max(high[c], points[i][c]);
            largest = std::max(largest, std::fabs(points[i][c]));
        }
    }
    if (count == 0) return true;
    for (int c = 0; c < 3; ++c)
        if ((high[c] - low[c]) / side > kMaxCellsPerAxis) return false;
    if (largest / radius > kMaxCoordinateOverRadius) return false;

    // Points ordered by cell (x, then y, then z), then by number: each cell is one run, and
    // the cells of one (x, y) column follow each other in z order.
    std::vector<Entry> order;
    order.reserve(count);
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (!marked[i]) continue;
        Cell cell;
        for (int c = 0; c < 3; ++c) cell[c] = static_cast<std::int64_t>(std::floor((points[i][c] - low[c]) / side));
        order.push_back({cell, static_cast<std::uint32_t>(i)});
    }
    std::sort(order.begin(), order.end(), [](const Entry& a, const Entry& b) {
        return a.cell != b.cell ? a.cell < b.cell : a.point < b.point;
    });
    std::vector<std::size_t> start;  // run of cell k: order[start[k], start[k + 1])
    for (std::size_t j = 0; j < order.size(); ++j)
        if (j == 0 || order[j].cell != order[j - 1].cell) start.push_back(j);
    const std::size_t cells = start.size();
    start.push_back(order.size());

    // The first cell at or after `key` in cell order.
    auto first_at_or_after = [&](const Cell& key) {
        std::size_t lo = 0, hi = cells;
        while (lo < hi) {
            const std::size_t mid = lo + (hi - lo) / 2;
            if (order[start[mid]].cell < key) lo = mid + 1;
            else hi = mid;
        }
        return lo;
    };

    const double r2 = radius * radius;
    parallel::parallel_for_chunks(
        cells,
        [&](std::size_t begin, std::size_t end) {
            parallel::check_cancelled();
            for (std::size_t a = begin; a < end; ++a) {
                const std::uint32_t head = order[start[a]].point;
                for (std::size_t j = start[a] + 1; j < start[a + 1]; ++j) sets.unite(head, order[j].point);
            }
        },
        256);
    parallel::parallel_for_chunks(
        cells,
        [&](std::size_t begin, std::size_t end) {
            parallel::check_cancelled();
            for (std::size_t a = begin; a < end; ++a) {
                const Cell& here = order[start[a]].cell;
                const std::uint32_t head = order[start[a]].point;
                for (std::int64_t dx = -2; dx <= 2; ++dx) {
                    for (std::int64_t dy = -2; dy <= 2; ++dy) {
                        // Each pair of cells once: from the one earlier in cell order.
                        const Cell from{here[0] + dx, here[1] + dy, here[2] - 2};
                        if (from < here && Cell{here[0] + dx, here[1] + dy, here[2] + 2} <= here) continue;
                        for (std::size_t b = first_at_or_after(from); b < cells; ++b) {
                            const Cell& there = order[start[b]].cell;
                            if (there[0] != from[0] || there[1] != from[1] || there[2] > here[2] + 2) break;
                            if (b <= a) continue;
                            const std::uint32_t other = order[start[b]].point;
                            if (sets.find(head) == sets.find(other)) continue;
                            [&] {
                                for (std::size_t p = start[a]; p < start[a + 1]; ++p)
                                    for (std::size_t q = start[b]; q < start[b + 1]; ++q)
                                        if (squared_distance(points[order[p].point], points[order[q].point]) <= r2) {
                                            sets.unite(head, other);
                                            return;
                                        }
                            }();
                        }
                    }
                }
            }
        },
        64);
    return true;
}

}  // namespace nubiro::segmentation
