// libFuzzer target: the PLY header parser, body walker and both consumers on arbitrary bytes.
// Reading the other vertex properties too must not change whether or what the cloud reads,
// and a cloud that reads must survive a binary write and re-read bit for bit.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/io/ply.hpp"

using namespace nubiro;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    io::ply::read_mesh(bytes);
    auto cloud = io::ply::read_point_cloud(bytes);
    std::vector<io::ply::ExtraProperty> extras;
    auto with_extras = io::ply::read_point_cloud(io::MemorySource(bytes), extras);
    if (with_extras.has_value() != cloud.has_value()) std::abort();
    if (!cloud) return 0;
    if (with_extras->points.size() != cloud->points.size() ||
        std::memcmp(with_extras->points.data(), cloud->points.data(), cloud->points.size() * sizeof(Vector3d)) != 0)
        std::abort();
    for (const auto& e : extras)
        if (e.values.size() != cloud->points.size()) std::abort();
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
