// libFuzzer target: the PLY header parser, body walker and both consumers on arbitrary bytes.
// A cloud that reads must survive a binary write and re-read bit for bit.
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/io/ply.hpp"

using namespace nubiro;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    io::ply::read_mesh(bytes);
    auto cloud = io::ply::read_point_cloud(bytes);
    if (!cloud) return 0;
    geometry::PointCloud pc;
    pc.points = std::move(cloud->points);
    pc.normals = std::move(cloud->normals);
    pc.colors = std::move(cloud->colors);
    std::string out;
    io::ply::write_point_cloud(pc, false, [&](std::string_view piece) {
        out += piece;
        return true;
    });
    auto back = io::ply::read_point_cloud(out);
    if (!back || back->points.size() != pc.points.size() ||
        std::memcmp(back->points.data(), pc.points.data(), pc.points.size() * sizeof(Vector3d)) != 0)
        std::abort();
    return 0;
}
