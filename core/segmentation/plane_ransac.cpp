#include "core/segmentation/plane_ransac.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/eigen_solvers.hpp"
#include "core/number_text.hpp"
#include "core/parallel.hpp"
#include "core/random.hpp"
#include "core/vector_ops.hpp"
#include "core/point_limits.hpp"

namespace nubiro::segmentation {
namespace {

// The finite points, coordinate by coordinate, so the scoring loops run over plain arrays.
struct Columns {
    std::vector<std::uint32_t> index;
    std::vector<double> x, y, z;
    std::size_t size() const { return index.size(); }
};

Columns finite_columns(std::span<const Vector3d> points) {
    Columns c;
    for (std::size_t i = 0; i < points.size(); ++i) {
        const Vector3d& p = points[i];
        if (!is_finite(p)) continue;
        c.index.push_back(static_cast<std::uint32_t>(i));
        c.x.push_back(p[0]);
        c.y.push_back(p[1]);
        c.z.push_back(p[2]);
    }
    return c;
}

using Plane = std::array<double, 4>;

// The plane through three points, or none when they are collinear.
bool plane_through(const Columns& c, const std::array<std::uint32_t, 3>& s, Plane& plane) {
    const double ax = c.x[s[1]] - c.x[s[0]], ay = c.y[s[1]] - c.y[s[0]], az = c.z[s[1]] - c.z[s[0]];
    const double bx = c.x[s[2]] - c.x[s[0]], by = c.y[s[2]] - c.y[s[0]], bz = c.z[s[2]] - c.z[s[0]];
    double nx = ay * bz - az * by, ny = az * bx - ax * bz, nz = ax * by - ay * bx;
    const double norm = std::sqrt(nx * nx + ny * ny + nz * nz);
    if (!(norm > 0) || !std::isfinite(norm)) return false;
    nx /= norm, ny /= norm, nz /= norm;
    plane = {nx, ny, nz, -(nx * c.x[s[0]] + ny * c.y[s[0]] + nz * c.z[s[0]])};
    return true;
}

// Inlier counts of a batch of planes: the points are split in fixed blocks, each block counts
// against every plane of the batch while it sits in cache; integer sums are exact in any order.
void count_inliers(const Columns& c, std::span<const Plane> planes, std::span<const std::uint8_t> valid,
                   double distance, std::vector<std::uint64_t>& counts) {
    constexpr std::size_t kBlock = 2048;
    const std::size_t blocks = (c.size() + kBlock - 1) / kBlock, m = planes.size();
    std::vector<std::uint32_t> per_block(blocks * m);
    parallel::parallel_for(blocks, [&](std::size_t b) {
        parallel::check_cancelled();
        const std::size_t begin = b * kBlock, end = std::min(c.size(), begin + kBlock);
        for (std::size_t t = 0; t < m; ++t) {
            std::uint32_t n = 0;
            if (valid[t]) {
                const Plane& p = planes[t];
                for (std::size_t i = begin; i < end; ++i)
                    n += std::fabs(p[0] * c.x[i] + p[1] * c.y[i] + p[2] * c.z[i] + p[3]) <= distance;
            }
            per_block[b * m + t] = n;
        }
    });
    counts.assign(m, 0);
    for (std::size_t b = 0; b < blocks; ++b)
        for (std::size_t t = 0; t < m; ++t) counts[t] += per_block[b * m + t];
}

// Positions (into the columns) of the points within `distance` of the plane, ascending.
std::vector<std::uint32_t> inliers_of(const Columns& c, const Plane& p, double distance) {
    std::vector<std::uint8_t> in(c.size());
    parallel::parallel_for_chunks(
        c.size(),
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i)
                in[i] = std::fabs(p[0] * c.x[i] + p[1] * c.y[i] + p[2] * c.z[i] + p[3]) <= distance;
        },
        1 << 14);
    std::vector<std::uint32_t> out;
    for (std::size_t i = 0; i < c.size(); ++i)
        if (in[i]) out.push_back(static_cast<std::uint32_t>(i));
    return out;
}

// Least-squares plane of the given points: through their centroid, normal along the direction
// of least spread. Keeps `plane` when the covariance cannot be decomposed.
void refine(const Columns& c, const std::vector<std::uint32_t>& members, Plane& plane) {
    double sx = 0, sy = 0, sz = 0;
    for (const std::uint32_t i : members) sx += c.x[i], sy += c.y[i], sz += c.z[i];
    const double n = static_cast<double>(members.size());
    const double mx = sx / n, my = sy / n, mz = sz / n;
    double xx = 0, xy = 0, xz = 0, yy = 0, yz = 0, zz = 0;
    for (const std::uint32_t i : members) {
        const double dx = c.x[i] - mx, dy = c.y[i] - my, dz = c.z[i] - mz;
        xx += dx * dx, xy += dx * dy, xz += dx * dz, yy += dy * dy, yz += dy * dz, zz += dz * dz;
    }
    const std::optional<Svd3> svd = svd3({{{xx, xy, xz}, {xy, yy, yz}, {xz, yz, zz}}});
    if (!svd) return;
    Vector3d normal = {svd->v[0][2], svd->v[1][2], svd->v[2][2]};
    const double norm = std::sqrt(normal[0] * normal[0] + normal[1] * normal[1] + normal[2] * normal[2]);
    if (!(norm > 0)) return;
    for (double& v : normal) v /= norm;
    plane = {normal[0], normal[1], normal[2], -(normal[0] * mx + normal[1] * my + normal[2] * mz)};
}

// The sign convention: the normal's largest-magnitude component (the first among equals) is positive.
void orient(Plane& p) {
    int big = 0;
    for (int k = 1; k < 3; ++k)
        if (std::fabs(p[k]) > std::fabs(p[big])) big = k;
    if (p[big] < 0)
        for (double& v : p) v = -v;
}

}  // namespace

Result<PlaneFit> segment_plane(std::span<const Vector3d> points, const PlaneOptions& o) {
    if (!(o.distance > 0) || !std::isfinite(o.distance))
        return value_error("distance must be a positive number, got " + text::format_shortest(o.distance));
    if (o.iterations < 1) return value_error("iterations must be a positive integer, got " + std::to_string(o.iterations));
    if (!(o.probability > 0 && o.probability <= 1))
        return value_error("probability must lie in (0, 1], got " + text::format_shortest(o.probability));
    require_count(points.size(), kMaxIndexedPoints, "points in the cloud");
    const Columns c = finite_columns(points);
    if (c.size() < 3) return value_error("a plane needs at least 3 points with finite coordinates");

    const auto iterations = static_cast<std::size_t>(o.iterations);
    std::vector<std::array<std::uint32_t, 3>> samples(iterations);
    random::Mt19937 engine(o.seed);
    for (auto& s : samples) {
        s[0] = static_cast<std::uint32_t>(random::draw_below(engine, c.size()));
        do s[1] = static_cast<std::uint32_t>(random::draw_below(engine, c.size()));
        while (s[1] == s[0]);
        do s[2] = static_cast<std::uint32_t>(random::draw_below(engine, c.size()));
        while (s[2] == s[0] || s[2] == s[1]);
    }

    // Batches only bound the work done past an early stop; the choice is made in sample order.
    const std::size_t batch = std::max<std::size_t>(16, 4 * parallel::num_threads());
    std::vector<Plane> planes;
    std::vector<std::uint8_t> valid;
    std::vector<std::uint64_t> counts;
    std::size_t needed = iterations, best = iterations;
    std::uint64_t best_count = 0;
    for (std::size_t t0 = 0; t0 < needed; t0 += batch) {
        const std::size_t t1 = std::min(needed, t0 + batch);
        planes.assign(t1 - t0, Plane{});
        valid.assign(t1 - t0, 0);
        for (std::size_t t = t0; t < t1; ++t) valid[t - t0] = plane_through(c, samples[t], planes[t - t0]);
        count_inliers(c, planes, valid, o.distance, counts);
        for (std::size_t t = t0; t < t1 && t < needed; ++t) {
            if (counts[t - t0] <= best_count) continue;
            best_count = counts[t - t0];
            best = t;
            if (o.probability < 1) {
                const double w = static_cast<double>(best_count) / static_cast<double>(c.size());
                const double miss = 1 - w * w * w;
                if (miss < 1) {
                    const double k = miss <= 0 ? 0 : std::log(1 - o.probability) / std::log(miss);
                    if (k < static_cast<double>(needed))
                        needed = std::max(t + 1, static_cast<std::size_t>(std::ceil(k)));
                }
            }
        }
        parallel::report_progress("plane RANSAC iterations", std::min(t1, needed), needed);
    }
    if (best == iterations) return value_error("no plane found: every sample was collinear");

    Plane plane;
    plane_through(c, samples[best], plane);
    refine(c, inliers_of(c, plane, o.distance), plane);
    orient(plane);
    const std::vector<std::uint32_t> members = inliers_of(c, plane, o.distance);

    PlaneFit fit{plane, {}, 0.0};
    fit.inliers.reserve(members.size());
    double sq = 0;
    for (const std::uint32_t i : members) {
        const double d = plane[0] * c.x[i] + plane[1] * c.y[i] + plane[2] * c.z[i] + plane[3];
        sq += d * d;
        fit.inliers.push_back(c.index[i]);
    }
    fit.rmse = members.empty() ? 0.0 : std::sqrt(sq / static_cast<double>(members.size()));
    return fit;
}

}  // namespace nubiro::segmentation
