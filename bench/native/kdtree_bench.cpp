// Single-threaded timings of the KD-tree index: build over 1,000,000 points (uniform cube and
// the surface of a mesh), 1,000,000 k=1 queries and 100,000 k=30 queries.
//
//   kdtree_bench [mesh.ply] [--dump DIR]
//
// --dump writes the point and query sets as raw little-endian float64 (x, y, z per point) so a
// peer library can be timed on exactly the same data.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/kdtree.hpp"
#include "core/types.hpp"

using namespace nubiro;

namespace {

constexpr std::size_t kPoints = 1000000;
constexpr std::size_t kQueries1 = 1000000;
constexpr std::size_t kQueries30 = 100000;

struct Mesh {
    std::vector<Vector3d> vertices;
    std::vector<Vector3i> triangles;
};

// Just enough PLY for a mesh: vertex x, y, z (float or double) and a face list of
// int/uint vertex indices, in ascii or binary little-endian. Other properties are skipped.
bool read_ply_mesh(const std::string& path, Mesh& mesh) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    struct Prop {
        std::string name, type, count_type;  // count_type set for lists
    };
    struct Element {
        std::string name;
        std::size_t count = 0;
        std::vector<Prop> props;
    };
    std::vector<Element> elements;
    std::string line, format;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::istringstream ls(line);
        std::string word;
        ls >> word;
        if (word == "format") ls >> format;
        else if (word == "element") {
            Element e;
            ls >> e.name >> e.count;
            elements.push_back(e);
        } else if (word == "property" && !elements.empty()) {
            Prop p;
            ls >> p.type;
            if (p.type == "list") ls >> p.count_type >> p.type;
            ls >> p.name;
            elements.back().props.push_back(p);
        } else if (word == "end_header") break;
    }
    const bool ascii = format == "ascii";
    if (!ascii && format != "binary_little_endian") return false;

    auto size_of = [](const std::string& t) -> std::size_t {
        if (t == "char" || t == "uchar" || t == "int8" || t == "uint8") return 1;
        if (t == "short" || t == "ushort" || t == "int16" || t == "uint16") return 2;
        if (t == "double" || t == "float64") return 8;
        return 4;
    };
    auto read_binary = [&](const std::string& t) -> double {
        unsigned char b[8] = {};
        in.read(reinterpret_cast<char*>(b), static_cast<std::streamsize>(size_of(t)));
        if (t == "float" || t == "float32") {
            float f;
            std::memcpy(&f, b, 4);
            return f;
        }
        if (t == "double" || t == "float64") {
            double d;
            std::memcpy(&d, b, 8);
            return d;
        }
        if (t == "char" || t == "int8") return static_cast<std::int8_t>(b[0]);
        if (t == "uchar" || t == "uint8") return b[0];
        if (t == "short" || t == "int16") {
            std::int16_t v;
            std::memcpy(&v, b, 2);
            return v;
        }
        if (t == "ushort" || t == "uint16") {
            std::uint16_t v;
            std::memcpy(&v, b, 2);
            return v;
        }
        if (t == "uint" || t == "uint32") {
            std::uint32_t v;
            std::memcpy(&v, b, 4);
            return v;
        }
        std::int32_t v;
        std::memcpy(&v, b, 4);
        return v;
    };
    auto read_value = [&](const std::string& t) -> double {
        if (!ascii) return read_binary(t);
        double v = 0;
        in >> v;
        return v;
    };

    for (const Element& e : elements) {
        for (std::size_t i = 0; i < e.count; ++i) {
            Vector3d v{};
            for (const Prop& p : e.props) {
                if (!p.count_type.empty()) {
                    const std::size_t n = static_cast<std::size_t>(read_value(p.count_type));
                    std::vector<std::int32_t> ids(n);
                    for (std::size_t k = 0; k < n; ++k) ids[k] = static_cast<std::int32_t>(read_value(p.type));
                    if (e.name == "face")  // fan-triangulate polygons
                        for (std::size_t k = 2; k < n; ++k) mesh.triangles.push_back({ids[0], ids[k - 1], ids[k]});
                    continue;
                }
                const double value = read_value(p.type);
                if (p.name == "x") v[0] = value;
                else if (p.name == "y") v[1] = value;
                else if (p.name == "z") v[2] = value;
            }
            if (e.name == "vertex") mesh.vertices.push_back(v);
        }
    }
    return static_cast<bool>(in) || in.eof();
}

double uniform01(std::mt19937_64& rng) { return std::ldexp(static_cast<double>(rng() >> 11), -53); }

std::vector<Vector3d> uniform_cube(std::size_t n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<Vector3d> pts(n);
    for (Vector3d& p : pts) p = {uniform01(rng), uniform01(rng), uniform01(rng)};
    return pts;
}

// Area-weighted uniform samples on the mesh surface.
std::vector<Vector3d> sample_surface(const Mesh& mesh, std::size_t n, std::uint64_t seed) {
    std::vector<double> cumulative;
    double total = 0;
    for (const Vector3i& t : mesh.triangles) {
        const Vector3d& a = mesh.vertices[t[0]];
        const Vector3d& b = mesh.vertices[t[1]];
        const Vector3d& c = mesh.vertices[t[2]];
        const double u[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
        const double v[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
        const double x = u[1] * v[2] - u[2] * v[1], y = u[2] * v[0] - u[0] * v[2], z = u[0] * v[1] - u[1] * v[0];
        total += 0.5 * std::sqrt(x * x + y * y + z * z);
        cumulative.push_back(total);
    }
    std::mt19937_64 rng(seed);
    std::vector<Vector3d> pts(n);
    for (Vector3d& p : pts) {
        const double pick = uniform01(rng) * total;
        std::size_t t = static_cast<std::size_t>(std::upper_bound(cumulative.begin(), cumulative.end(), pick) -
                                                 cumulative.begin());
        t = std::min(t, cumulative.size() - 1);
        const Vector3d& a = mesh.vertices[mesh.triangles[t][0]];
        const Vector3d& b = mesh.vertices[mesh.triangles[t][1]];
        const Vector3d& c = mesh.vertices[mesh.triangles[t][2]];
        const double s = std::sqrt(uniform01(rng)), r = uniform01(rng);
        const double wa = 1 - s, wb = s * (1 - r), wc = s * r;
        for (int i = 0; i < 3; ++i) p[i] = wa * a[i] + wb * b[i] + wc * c[i];
    }
    return pts;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void dump(const std::string& dir, const std::string& name, const std::vector<Vector3d>& pts) {
    std::ofstream out(dir + "/" + name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(pts.data()), static_cast<std::streamsize>(pts.size() * sizeof(Vector3d)));
}

void run_case(const std::string& name, const std::vector<Vector3d>& pts, const std::vector<Vector3d>& queries) {
    KDTree tree;
    double build = 1e300;
    for (int rep = 0; rep < 3; ++rep) {  // best of three: the machine is shared
        const auto t0 = std::chrono::steady_clock::now();
        tree.build_from_points(pts);
        build = std::min(build, seconds_since(t0));
    }

    std::uint64_t checksum = 0;
    std::uint32_t idx[30];
    double dist[30];
    auto t0 = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < kQueries1; ++i) {
        tree.search_knn(queries[i].data(), 1, idx, dist);
        checksum += idx[0];
    }
    const double k1 = seconds_since(t0);

    t0 = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < kQueries30; ++i) {
        const std::size_t c = tree.search_knn(queries[i].data(), 30, idx, dist);
        checksum += idx[c - 1];
    }
    const double k30 = seconds_since(t0);

    // The checked form with growable outputs, as the binding layer calls it.
    std::vector<std::uint64_t> vidx;
    std::vector<double> vdist;
    t0 = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < kQueries30; ++i) {
        tree.knn(queries[i].data(), 3, 30, vidx, vdist);
        checksum += vidx.back();
    }
    const double k30v = seconds_since(t0);

    std::printf("%-8s build %7.3f s   knn k=1 x%zu %7.3f s   knn k=30 x%zu %7.3f s (vector outputs %7.3f s)   [%llu]\n",
                name.c_str(), build, kQueries1, k1, kQueries30, k30, k30v,
                static_cast<unsigned long long>(checksum % 1000));
}

}  // namespace

int main(int argc, char** argv) {
    std::string mesh_path = "/work/shared/data/bunny.ply";
    std::string dump_dir;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--dump" && i + 1 < argc) dump_dir = argv[++i];
        else mesh_path = argv[i];
    }

    const std::vector<Vector3d> cube = uniform_cube(kPoints, 1);
    const std::vector<Vector3d> cube_queries = uniform_cube(kQueries1, 2);

    Mesh mesh;
    if (!read_ply_mesh(mesh_path, mesh) || mesh.triangles.empty()) {
        std::fprintf(stderr, "cannot read mesh %s\n", mesh_path.c_str());
        return 1;
    }
    const std::vector<Vector3d> surface = sample_surface(mesh, kPoints, 3);
    const std::vector<Vector3d> surface_queries = sample_surface(mesh, kQueries1, 4);

    if (!dump_dir.empty()) {
        dump(dump_dir, "cube_points.f64", cube);
        dump(dump_dir, "cube_queries.f64", cube_queries);
        dump(dump_dir, "surface_points.f64", surface);
        dump(dump_dir, "surface_queries.f64", surface_queries);
    }

    std::printf("mesh: %zu vertices, %zu triangles\n", mesh.vertices.size(), mesh.triangles.size());
    run_case("cube", cube, cube_queries);
    run_case("surface", surface, surface_queries);
    return 0;
}
