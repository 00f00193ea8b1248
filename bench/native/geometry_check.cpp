// Edge cases of the rotation builders, point-cloud edits and transforms, and the feature
// matrix, then timings of the per-point kernels on 1,000,000 points.
// Exits non-zero when any check fails.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <numbers>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/geometry/point_cloud.hpp"
#include "core/geometry/rotation.hpp"
#include "core/geometry/voxel_cells.hpp"
#include "core/registration/feature.hpp"
#include "core/voxel_map.hpp"

using namespace nubiro;
using namespace nubiro::geometry;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kPi = std::numbers::pi;

int failures = 0;
int checks = 0;

void check(bool ok, const std::string& what) {
    ++checks;
    if (!ok) {
        ++failures;
        std::printf("FAIL: %s\n", what.c_str());
    }
}

// Bitwise equality, except that any NaN equals any NaN.
bool same(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return std::memcmp(&a, &b, sizeof a) == 0;
}
bool same(const Vector3d& a, const Vector3d& b) { return same(a[0], b[0]) && same(a[1], b[1]) && same(a[2], b[2]); }
bool same(const Matrix3d& a, const Matrix3d& b) { return same(a[0], b[0]) && same(a[1], b[1]) && same(a[2], b[2]); }
bool near(const Vector3d& a, const Vector3d& b, double tol = 1e-12) {
    for (int i = 0; i < 3; ++i)
        if (!(std::fabs(a[i] - b[i]) <= tol)) return false;
    return true;
}
bool near(const Matrix3d& a, const Matrix3d& b, double tol = 1e-12) {
    return near(a[0], b[0], tol) && near(a[1], b[1], tol) && near(a[2], b[2], tol);
}
bool same(const Storage<Vector3d>& s, const std::vector<Vector3d>& v) {
    if (s.size() != v.size()) return false;
    for (std::size_t i = 0; i < v.size(); ++i)
        if (!same(s[i], v[i])) return false;
    return true;
}

std::string str(const Vector3d& v) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "(%.17g, %.17g, %.17g)", v[0], v[1], v[2]);
    return buf;
}

Vector3d mat_vec(const Matrix3d& m, const Vector3d& v) {
    return {(m[0][0] * v[0] + m[0][1] * v[1]) + m[0][2] * v[2], (m[1][0] * v[0] + m[1][1] * v[1]) + m[1][2] * v[2],
            (m[2][0] * v[0] + m[2][1] * v[1]) + m[2][2] * v[2]};
}
Matrix3d mul(const Matrix3d& a, const Matrix3d& b) {
    Matrix3d m{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) m[i][j] = (a[i][0] * b[0][j] + a[i][1] * b[1][j]) + a[i][2] * b[2][j];
    return m;
}
Matrix3d transpose(const Matrix3d& a) {
    Matrix3d m{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) m[i][j] = a[j][i];
    return m;
}

PointCloud cloud(std::vector<Vector3d> points, std::vector<Vector3d> normals = {}) {
    PointCloud pc;
    pc.points.assign(std::move(points));
    pc.normals.assign(std::move(normals));
    return pc;
}

void rotation_checks() {
    using Fn = Matrix3d (*)(const Vector3d&);
    struct Order {
        const char* name;
        Fn fn;
        int axes[3];  // 0 = x, 1 = y, 2 = z
    };
    const Order orders[] = {
        {"xyz", get_rotation_matrix_from_xyz, {0, 1, 2}}, {"xzy", get_rotation_matrix_from_xzy, {0, 2, 1}},
        {"yxz", get_rotation_matrix_from_yxz, {1, 0, 2}}, {"yzx", get_rotation_matrix_from_yzx, {1, 2, 0}},
        {"zxy", get_rotation_matrix_from_zxy, {2, 0, 1}}, {"zyx", get_rotation_matrix_from_zyx, {2, 1, 0}},
    };
    const Vector3d unit[3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    const Vector3d angles{0.3, -1.1, 2.5};
    for (const auto& o : orders) {
        const std::string name = std::string("rotation ") + o.name;
        // A quarter turn about each named axis maps the next axis onto the one after it.
        for (int slot = 0; slot < 3; ++slot) {
            Vector3d v{0, 0, 0};
            v[slot] = kPi / 2;
            const int a = o.axes[slot];
            const Vector3d moved = mat_vec(o.fn(v), unit[(a + 1) % 3]);
            check(near(moved, unit[(a + 2) % 3], 1e-15), name + ": quarter turn about slot " + std::to_string(slot));
        }
        // Product of the single-angle matrices, in suffix order, bit for bit.
        const Matrix3d m = o.fn(angles);
        const Matrix3d f = mul(mul(o.fn({angles[0], 0, 0}), o.fn({0, angles[1], 0})), o.fn({0, 0, angles[2]}));
        check(same(m, f), name + ": equals the product of its single-angle factors");
        check(near(mul(m, transpose(m)), identity3(), 1e-15), name + ": orthogonal");
    }
    check(near(mat_vec(get_rotation_matrix_from_xyz({0, 0, kPi / 2}), {1, 0, 0}), {0, 1, 0}, 1e-15),
          "xyz (0, 0, pi/2) maps x to y");
    const Matrix3d xyz = get_rotation_matrix_from_xyz(angles), zyx = get_rotation_matrix_from_zyx(angles);
    check(!near(zyx, transpose(xyz), 1e-6), "zyx is not the transpose of xyz");

    // Axis-angle.
    for (const Vector3d& v : {Vector3d{0, 0, 0}, Vector3d{kNaN, 0, 0}, Vector3d{0, 1e-13, 0}, Vector3d{0, kNaN, kNaN}})
        check(same(get_rotation_matrix_from_axis_angle(v), identity3()), "axis-angle " + str(v) + " is identity");
    check(near(mat_vec(get_rotation_matrix_from_axis_angle({0, 0, kPi}), {1, 0, 0}), {-1, 0, 0}, 1e-15),
          "axis-angle (0, 0, pi) maps x to -x");
    // xyz, yxz and zxy lead with Rx, Ry and Rz: their first angle alone is that rotation.
    const Fn elementary[3] = {orders[0].fn, orders[2].fn, orders[4].fn};
    for (int a = 0; a < 3; ++a) {
        Vector3d v{0, 0, 0};
        v[a] = 0.7;
        check(near(get_rotation_matrix_from_axis_angle(v), elementary[a]({0.7, 0, 0}), 1e-15),
              "axis-angle about axis " + std::to_string(a) + " matches the elementary rotation");
    }
    {
        const double t = 0.4;
        const Matrix3d m = get_rotation_matrix_from_axis_angle({t / std::sqrt(3.0), t / std::sqrt(3.0), t / std::sqrt(3.0)});
        check(near(mat_vec(m, {1, 1, 1}), {1, 1, 1}, 1e-15), "axis-angle keeps its axis fixed");
        check(near(mul(m, transpose(m)), identity3(), 1e-15), "axis-angle is orthogonal");
    }

    // Quaternion.
    auto q = [](double w, double x, double y, double z) { return get_rotation_matrix_from_quaternion({w, x, y, z}); };
    check(q(2, 0, 0, 0).ok() && same(*q(2, 0, 0, 0), identity3()), "quaternion (2, 0, 0, 0) is identity");
    const std::array<double, 4> bad[] = {
        {0, 0, 0, 0}, {kInf, 0, 0, 0}, {kNaN, 0, 0, 0}, {1, 0, -kInf, 0}, {1, 0, 0, kNaN}, {1e200, 0, 0, 0}};
    for (const auto& b : bad) {
        const auto r = get_rotation_matrix_from_quaternion(b);
        check(!r.ok() && r.error().kind == ErrorKind::Value &&
                  r.error().message == "quaternion must be finite and have non-zero norm",
              "quaternion error for " + str({b[0], b[1], b[2]}) + ", " + std::to_string(b[3]));
    }
    {
        const double t = 0.9;
        auto r = q(std::cos(t / 2), 0, 0, std::sin(t / 2));
        check(r.ok() && near(*r, get_rotation_matrix_from_zyx({t, 0, 0}), 1e-15), "quaternion about z matches Rz");
        auto s = q(3 * std::cos(t / 2), 0, 0, 3 * std::sin(t / 2));
        check(s.ok() && near(*s, *r, 1e-15), "quaternion is normalised first");
    }
}

void bound_and_center_checks() {
    PointCloud empty;
    check(empty.is_empty() && !empty.has_points() && !empty.has_normals() && !empty.has_colors(), "new cloud predicates");
    check(same(empty.get_min_bound(), {kNaN, kNaN, kNaN}) && same(empty.get_max_bound(), {kNaN, kNaN, kNaN}),
          "empty bounds are NaN");
    check(same(empty.get_center(), {0, 0, 0}), "empty centre is 0");

    struct Case {
        std::vector<Vector3d> points;
        Vector3d min, max;
    };
    const Case cases[] = {
        {{{kNaN, 5, 1}, {2, 3, kNaN}}, {2, 3, 1}, {2, 5, 1}},
        {{{kNaN, kNaN, 0}, {kNaN, 1, kNaN}, {kNaN, -1, 4}}, {kNaN, -1, 0}, {kNaN, 1, 4}},
        {{{1, -kInf, 2}}, {1, -kInf, 2}, {1, -kInf, 2}},
        {{{0.0, 1, 1}, {-0.0, 1, 1}}, {0.0, 1, 1}, {0.0, 1, 1}},  // first of equal values kept
    };
    for (const auto& c : cases) {
        const PointCloud pc = cloud(c.points);
        check(same(pc.get_min_bound(), c.min), "min bound " + str(pc.get_min_bound()));
        check(same(pc.get_max_bound(), c.max), "max bound " + str(pc.get_max_bound()));
    }
    const PointCloud pc = cloud({{0.1, 0.2, 0.3}, {0.7, 0.0, kNaN}, {0.2, 0.4, 1}});
    const Vector3d c = pc.get_center();
    check(same(c, {((0.1 + 0.7) + 0.2) / 3, ((0.2 + 0.0) + 0.4) / 3, kNaN}), "centre sums in index order " + str(c));
}

void predicate_and_paint_checks() {
    PointCloud pc = cloud({{0, 0, 0}, {1, 2, 3}}, {{0, 0, 1}});
    check(!pc.has_normals(), "1 normal for 2 points is not has_normals");
    pc.normals.push_back({0, 1, 0});
    check(pc.has_normals() && !pc.has_colors(), "2 normals for 2 points");

    struct Paint {
        Vector3d in, out;
    };
    const Paint paints[] = {{{2, -1, 0.5}, {1, 0, 0.5}}, {{kNaN, 0.25, kInf}, {0, 0.25, 1}}, {{-kInf, 1, 0}, {0, 1, 0}}};
    for (const auto& p : paints) {
        pc.colors.assign(std::vector<Vector3d>(5, Vector3d{9, 9, 9}));  // longer than the points: discarded
        check(&pc.paint_uniform_color(p.in) == &pc, "paint returns the cloud");
        check(same(pc.colors, {p.out, p.out}) && pc.has_colors(), "paint " + str(p.in) + " -> " + str(p.out));
    }
    PointCloud empty;
    empty.colors.push_back({1, 1, 1});
    empty.paint_uniform_color({0.5, 0.5, 0.5});
    check(empty.colors.size() == 0, "painting an empty cloud empties its colours");

    check(&pc.clear() == &pc && pc.points.size() == 0 && pc.normals.size() == 0 && pc.colors.size() == 0, "clear");
}

void normalize_checks() {
    struct Case {
        Vector3d in, out;
    };
    const Case cases[] = {
        {{3, 4, 0}, {0.6, 0.8, 0}},
        {{0, 0, 0}, {0, 0, 0}},
        {{kNaN, 1, 1}, {0, 0, 1}},
        {{1, kNaN, 1}, {1, kNaN, 1}},
        {{1e-200, 0, 0}, {1, 0, 0}},
        {{0, -1e300, 1e300}, {0, -1 / std::sqrt(2.0), 1 / std::sqrt(2.0)}},
        {{kInf, 0, 0}, {kInf, 0, 0}},
        {{-2, 0, 0}, {-1, 0, 0}},
    };
    PointCloud pc;  // normals only: processed whatever the point count
    for (const auto& c : cases) pc.normals.push_back(c.in);
    check(&pc.normalize_normals() == &pc, "normalize_normals returns the cloud");
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const bool ok = i == 5 ? near(pc.normals[i], cases[i].out, 1e-16) : same(pc.normals[i], cases[i].out);
        check(ok, "normalize " + str(cases[i].in) + " gave " + str(pc.normals[i]));
    }
}

Matrix4d mat4(std::initializer_list<double> last_row, double d0 = 1, double d1 = 1, double d2 = 1) {
    Matrix4d t{{{d0, 0, 0, 1}, {0, d1, 0, 2}, {0, 0, d2, 3}, {0, 0, 0, 1}}};
    std::size_t j = 0;
    for (double v : last_row) t[3][j++] = v;
    return t;
}

void transform_checks() {
    const std::vector<Vector3d> points{{1, 2, 3}, {-4, 0.5, 8}, {kInf, 0, 0}};
    {
        PointCloud pc = cloud(points);
        pc.transform(mat4({0, 0, 0, 2}));
        check(same(pc.points, {{1, 2, 3}, {-1.5, 1.25, 5.5}, {kNaN, kNaN, kNaN}}),
              "last row (0, 0, 0, 2) halves after the other rows");
    }
    for (const auto& row : {std::initializer_list<double>{0, 0, 0, 0}, {0, 0, 0, 1e-9}, {0, 0, 0, kNaN}}) {
        PointCloud pc = cloud(points);
        pc.transform(mat4(row));
        check(same(pc.points, std::vector<Vector3d>(3, {kNaN, kNaN, kNaN})), "tiny or NaN weight gives NaN points");
    }
    {
        PointCloud pc = cloud({{1, 2, 3}, {0, 0, 0}}, {{1, 1, 0}, {0, 0, 0}});
        pc.transform(mat4({0, 0, 0, 1}, 2, 1, 1));
        check(same(pc.points, {{3, 4, 6}, {1, 2, 3}}), "diag(2, 1, 1) points");
        check(near(pc.normals[0], {1 / std::sqrt(5.0), 2 / std::sqrt(5.0), 0}, 1e-16),
              "diag(2, 1, 1, 1) maps normal (1, 1, 0) to (1, 2, 0)/sqrt(5): " + str(pc.normals[0]));
        check(same(pc.normals[1], {0, 0, 0}), "a zero normal stays zero");
    }
    {
        // Singular linear part: normal directions kept, lengths made 1; NaN normal becomes 0.
        PointCloud pc = cloud({{1, 1, 1}, {2, 2, 2}, {3, 3, 3}}, {{0, 3, 4}, {0, 0, 0}, {kNaN, 1, 0}});
        pc.transform(mat4({0, 0, 0, 1}, 0, 0, 0));
        check(same(pc.points, {{1, 2, 3}, {1, 2, 3}, {1, 2, 3}}), "zero block moves points to the translation");
        check(same(pc.normals, {{0, 0.6, 0.8}, {0, 0, 0}, {0, 0, 0}}), "zero block: normals renormalised only");
    }
    {
        // Rotation part: normals follow the rotation exactly as far as unit length allows.
        const Matrix3d r = get_rotation_matrix_from_xyz({0.2, 0.4, -0.6});
        Matrix4d t = identity4();
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) t[i][j] = r[i][j];
        PointCloud pc = cloud({{1, 0, 0}}, {{0, 0, 1}});
        pc.transform(t);
        check(near(pc.points[0], mat_vec(r, {1, 0, 0}), 1e-15) && near(pc.normals[0], mat_vec(r, {0, 0, 1}), 1e-15),
              "rotation part moves points and normals alike");
    }
    {
        // Normal count differs from point count: normals untouched by transform and rotate.
        PointCloud pc = cloud({{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, {{5, 0, 0}, {0, 5, 0}});
        pc.transform(mat4({0, 0, 0, 1}, 2, 2, 2));
        pc.rotate(get_rotation_matrix_from_xyz({1, 2, 3}), {0, 0, 0});
        check(same(pc.normals, {{5, 0, 0}, {0, 5, 0}}), "mismatched normals left alone");
        check(!near(pc.points[0], {1, 0, 0}, 1e-3), "mismatched normals: points still move");
    }
    {
        PointCloud empty;
        empty.normals.push_back({1, 2, 3});
        empty.transform(mat4({0, 0, 0, 0}));
        empty.translate({1, 1, 1}, false).scale(2, {1, 1, 1}).rotate(get_rotation_matrix_from_xyz({1, 2, 3}));
        check(empty.points.size() == 0 && same(empty.normals, {{1, 2, 3}}), "empty cloud unchanged by transforms");
    }
}

void rigid_checks() {
    const std::vector<Vector3d> pts{{-1, 0, 2}, {1, 2, 4}, {3, 4, 0}};
    {
        PointCloud pc = cloud(pts, {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}});
        check(&pc.translate({1, 1, 1}) == &pc, "translate returns the cloud");
        check(same(pc.points, {{0, 1, 3}, {2, 3, 5}, {4, 5, 1}}), "relative translate");
        pc.translate({1, 1, 1}, false);
        check(same(pc.get_center(), {1, 1, 1}), "absolute translate moves the centre " + str(pc.get_center()));
        check(same(pc.normals, {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}), "translate leaves normals");
    }
    {
        PointCloud pc = cloud(pts, {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}});
        pc.scale(2.0, {0, 0, 0});
        check(same(pc.points, {{-2, 0, 4}, {2, 4, 8}, {6, 8, 0}}), "scale by 2 about 0 doubles");
        pc.scale(0.5, {1, 1, 1});
        check(same(pc.points, {{-0.5, 0.5, 2.5}, {1.5, 2.5, 4.5}, {3.5, 4.5, 0.5}}), "scale about a centre");
        pc.scale(-3, {0, 0, 0});
        check(same(pc.normals, {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}), "scale leaves normals, even negative");
    }
    {
        PointCloud pc = cloud(pts, {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}});
        pc.rotate(identity3(), {7, -3, 0.5});
        check(same(pc.points, pts), "identity rotation leaves the cloud");
        const Matrix3d shear{{{1, 2, 0}, {0, 1, 0}, {0, 0, 3}}};
        pc.rotate(shear);  // about the centre (1, 2, 2)
        check(same(pc.points, {{-5, 0, 2}, {1, 2, 8}, {7, 4, -4}}), "non-orthogonal matrix applied as given");
        check(same(pc.normals, {{1, 0, 0}, {2, 1, 0}, {0, 0, 3}}), "rotate maps normals without normalising");
    }
}

// Large arrays go to the worker pool: the result must equal the one computed piecewise on
// small serial slices, bit for bit.
void split_independence_checks() {
    constexpr std::size_t n = 250'000, slice = 1'000;
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> u(-5.0, 5.0);
    std::vector<Vector3d> input(n);
    for (auto& p : input) p = {u(rng), u(rng), u(rng)};
    input[17] = {kNaN, 1, 2};
    input[n - 3] = {0, 0, 0};
    const Matrix3d r = get_rotation_matrix_from_zxy({0.3, 0.2, 0.1});
    Matrix4d t = identity4();
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) t[i][j] = r[i][j] * (1 + i);
    t[3] = {0.01, -0.02, 0.03, 1.25};
    using Kernel = std::function<void(std::span<Vector3d>)>;
    const std::pair<const char*, Kernel> kernels[] = {
        {"normalize_vectors", [](std::span<Vector3d> v) { normalize_vectors(v); }},
        {"transform_points", [&](std::span<Vector3d> v) { transform_points(v, t); }},
        {"transform_normals", [&](std::span<Vector3d> v) { transform_normals(v, t); }},
        {"translate_points", [](std::span<Vector3d> v) { translate_points(v, {0.1, 0.2, 0.3}); }},
        {"scale_points", [](std::span<Vector3d> v) { scale_points(v, 1.7, {0.1, 0.2, 0.3}); }},
        {"rotate_points", [&](std::span<Vector3d> v) { rotate_points(v, r, {0.1, 0.2, 0.3}); }},
        {"rotate_vectors", [&](std::span<Vector3d> v) { rotate_vectors(v, r); }},
    };
    for (const auto& [name, kernel] : kernels) {
        std::vector<Vector3d> whole = input, pieces = input;
        kernel(whole);
        for (std::size_t i = 0; i < n; i += slice) kernel(std::span<Vector3d>(pieces).subspan(i, slice));
        bool ok = true;
        for (std::size_t i = 0; i < n && ok; ++i) ok = same(whole[i], pieces[i]);
        check(ok, std::string(name) + ": whole array equals slice by slice");
    }
}

void feature_checks() {
    using registration::Feature;
    struct Bad {
        std::int64_t dim, n;
        const char* message;
    };
    const Bad bad[] = {
        {-1, 5, "dim must be non-negative"},
        {3, -1, "n must be non-negative"},
        {-1, -1, "dim must be non-negative"},
        {std::int64_t{1} << 30, std::int64_t{1} << 30, "feature dimensions are too large"},
        {std::int64_t{1} << 40, std::int64_t{1} << 40, "feature dimensions are too large"},  // overflows 2^64
        {std::int64_t{1} << 62, 4, "feature dimensions are too large"},
    };
    Feature f;
    check(!f.resize(2, 3).has_value() && f.dimension == 2 && f.num == 3 && f.data == std::vector<double>(6, 0.0),
          "resize(2, 3)");
    for (const auto& b : bad) {
        const auto e = f.resize(b.dim, b.n);
        check(e && e->kind == ErrorKind::Value && e->message == b.message && f.dimension == 2 && f.num == 3,
              std::string("resize error: ") + b.message);
    }
    check(!f.resize(0, 5) && f.dimension == 0 && f.num == 5 && f.data.empty(), "resize(0, 5)");
    check(!f.resize((std::int64_t{1} << 30) - 1, 0) && f.data.empty(), "huge dim with n = 0");

    // A (2, 3) matrix stored column-major with a gap: strides of 8 and 24 bytes.
    const double src[9] = {1, 4, -1, 2, 5, -1, 3, 6, -1};  // rows (1 2 3), (4 5 6)
    check(!f.set_data(src, 2, 3, sizeof(double), 3 * sizeof(double)) && f.dimension == 2 && f.num == 3,
          "set_data strided shape");
    check(f.data == std::vector<double>{1, 4, 2, 5, 3, 6}, "set_data stores point by point");
    check(f.descriptor(1)[0] == 2 && f.descriptor(1)[1] == 5, "descriptor k starts at dimension * k");
    double rows[6];
    f.copy_rows_to(rows);
    check(std::vector<double>(rows, rows + 6) == std::vector<double>{1, 2, 3, 4, 5, 6}, "read out row-major");
    // Negative strides (a reversed view) are read the same way.
    check(!f.set_data(src + 7, 2, 3, -static_cast<std::ptrdiff_t>(sizeof(double)),
                      -3 * static_cast<std::ptrdiff_t>(sizeof(double))) &&
              f.data == std::vector<double>{6, 3, 5, 2, 4, 1},
          "set_data with negative strides");
    const auto e = f.set_data(src, std::uint64_t{1} << 31, std::uint64_t{1} << 31, 8, 8);
    check(e && e->message == "feature dimensions are too large" && f.dimension == 2 && f.num == 3,
          "set_data size check leaves the feature");
}

// ---- timing ----------------------------------------------------------------------------

double best_ms(const std::function<void()>& setup, const std::function<void()>& body, int reps = 7) {
    double best = 1e300;
    for (int r = 0; r < reps; ++r) {
        setup();
        const auto t0 = std::chrono::steady_clock::now();
        body();
        const auto t1 = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    return best;
}

void timings() {
    constexpr std::size_t n = 1'000'000;
    std::mt19937_64 rng(42);
    std::uniform_real_distribution<double> u(-10.0, 10.0);
    std::vector<Vector3d> pts(n), nrm(n);
    for (auto& p : pts) p = {u(rng), u(rng), u(rng)};
    for (auto& p : nrm) p = {u(rng), u(rng), u(rng)};

    PointCloud pc;
    auto reset_points = [&] { pc.points.assign(pts.data(), n); };
    auto reset_both = [&] {
        pc.points.assign(pts.data(), n);
        pc.normals.assign(nrm.data(), n);
    };
    auto points_only = [&] {
        pc.normals.clear();
        reset_points();
    };
    const Matrix3d r = get_rotation_matrix_from_xyz({0.1, 0.2, 0.3});
    Matrix4d rigid = identity4();
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) rigid[i][j] = r[i][j];
        rigid[i][3] = 0.5 * (i + 1);
    }
    Matrix4d projective = rigid;
    projective[3] = {0.01, 0.02, 0.03, 1.5};
    volatile double sink = 0;

    struct Row {
        const char* name;
        double ms;
    };
    const Row rows[] = {
        {"transform rigid, points only", best_ms(points_only, [&] { pc.transform(rigid); })},
        {"transform projective, points only", best_ms(points_only, [&] { pc.transform(projective); })},
        {"transform rigid, points + normals", best_ms(reset_both, [&] { pc.transform(rigid); })},
        {"rotate about centre, points only", best_ms(points_only, [&] { pc.rotate(r); })},
        {"rotate about 0, points + normals", best_ms(reset_both, [&] { pc.rotate(r, {0, 0, 0}); })},
        {"translate relative", best_ms(reset_points, [&] { pc.translate({1, 2, 3}); })},
        {"scale", best_ms(reset_points, [&] { pc.scale(1.5, {1, 2, 3}); })},
        {"get_center", best_ms(reset_points, [&] { sink = sink + pc.get_center()[0]; })},
        {"get_min_bound", best_ms(reset_points, [&] { sink = sink + pc.get_min_bound()[0]; })},
        {"normalize_normals", best_ms(reset_both, [&] { pc.normalize_normals(); })},
    };
    std::printf("timings on %zu points (best of 7):\n", n);
    for (const auto& row : rows) std::printf("  %-36s %8.3f ms\n", row.name, row.ms);
}

}  // namespace

// The two-lane cell key agrees with the one-value rule on every edge: signs of zero, halves,
// both sides of the int32 range, infinities and NaN, through the subtraction and division.
void voxel_key_checks() {
    const double edges[] = {0.0, -0.0, 0.5, -0.5, 1.0, -1.0, -1e-300, 1e-300, 7.9999999, -3.0000001,
                            2147483646.5, 2147483647.0, 2147483647.5, 2147483648.0, -2147483648.0,
                            -2147483648.5, -2147483649.0, 1e300, -1e300, kInf, -kInf, kNaN};
    const Vector3d origins[] = {{0, 0, 0}, {-0.25, 1e-300, -1e300}};
    int mismatches = 0, run_mismatches = 0;
    for (const Vector3d& o : origins)
        for (double size : {1.0, 0.1, 3e-300}) {
            std::vector<Vector3d> run;  // every edge point in turn: each lands in both halves of a pair
            for (double a : edges)
                for (double b : edges)
                    for (double c : edges) {
                        const Vector3d p{a, b, c};
                        run.push_back(p);
                        const VoxelKey k = voxel_key(p, o, size);
                        const VoxelKey one{voxel_index((a - o[0]) / size), voxel_index((b - o[1]) / size),
                                           voxel_index((c - o[2]) / size)};
                        if (!(k == one) && mismatches++ < 5) check(false, "voxel_key " + str(p) + " size " + std::to_string(size));
                    }
            for (std::size_t shift : {0, 1})
                for_each_voxel_key(run.data() + shift, run.size() - shift, o, size, [&](std::size_t i, const VoxelKey& k) {
                    if (!(k == voxel_key(run[shift + i], o, size)) && run_mismatches++ < 5)
                        check(false, "for_each_voxel_key " + str(run[shift + i]) + " size " + std::to_string(size));
                });
        }
    check(mismatches == 0, "voxel_key matches voxel_index on every edge value");
    check(run_mismatches == 0, "for_each_voxel_key matches voxel_key on every edge value");
}

// cloud_bounds against one NaN-skipping fold in point order, bit for bit: the earliest of equal
// values (+0 and -0) survives, infinities count, an axis of NaN only is NaN. Values are drawn
// from a few that tie often, at sizes around the split points of blocks and of their parts.
void cloud_bounds_checks() {
    const double pool[] = {0.0, -0.0, 1.0, -1.0, 2.5, kInf, -kInf, kNaN, 0.0, -0.0};
    std::mt19937_64 random(11);
    int mismatches = 0;
    for (std::size_t n : {1, 2, 3, 4, 5, 7, 8, 9, 31, 1000, 8191, 8192, 8193, 16387, 100003, 3000001}) {
        for (int trial = 0; trial < (n < 10000 ? 40 : 2); ++trial) {
            std::vector<Vector3d> p(n);
            const int nan_axis = trial % 4;  // 3: none
            for (Vector3d& v : p)
                for (int k = 0; k < 3; ++k) v[k] = k == nan_axis ? kNaN : pool[random() % std::size(pool)];
            Vector3d lo, hi, want_lo = p[0], want_hi = p[0];
            for (std::size_t i = 1; i < n; ++i)
                for (int k = 0; k < 3; ++k) {
                    // A number replaces a NaN, and a later value replaces only a strictly smaller one.
                    if (p[i][k] < want_lo[k] || want_lo[k] != want_lo[k]) want_lo[k] = p[i][k];
                    if (p[i][k] > want_hi[k] || want_hi[k] != want_hi[k]) want_hi[k] = p[i][k];
                }
            cloud_bounds(p, lo, hi);
            if (!(same(lo, want_lo) && same(hi, want_hi)) && mismatches++ < 5)
                check(false, "cloud_bounds of " + std::to_string(n) + " points: " + str(lo) + " " + str(hi) +
                                 ", one fold gives " + str(want_lo) + " " + str(want_hi));
        }
    }
    check(mismatches == 0, "cloud_bounds matches one fold in point order");
}

int main(int argc, char** argv) {
    rotation_checks();
    bound_and_center_checks();
    predicate_and_paint_checks();
    normalize_checks();
    transform_checks();
    rigid_checks();
    split_independence_checks();
    feature_checks();
    voxel_key_checks();
    cloud_bounds_checks();
    std::printf("geometry_check: %d passed, %d failed\n", checks - failures, failures);
    if (!(argc > 1 && std::strcmp(argv[1], "--no-timing") == 0)) timings();
    return failures == 0 ? 0 : 1;
}
