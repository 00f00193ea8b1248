// libFuzzer target: the voxel map rebuilt from an arbitrary state. A refused state leaves the
// map as it was; an accepted one must list its nodes in the given order, find every key at its
// own number, and take further insertions like a map that reached the same state by itself.
#include <cstdlib>
#include <cstring>

#include "core/voxel_map.hpp"

using namespace nubiro;
using Map = VoxelMap<std::int32_t>;

namespace {

struct Bytes {
    const std::uint8_t* data;
    std::size_t size;
    std::uint8_t next() {
        if (!size) return 0;
        --size;
        return *data++;
    }
};

VoxelKey small_key(Bytes& in) {
    return {static_cast<std::int8_t>(in.next()) / 16, static_cast<std::int8_t>(in.next()) / 16,
            static_cast<std::int8_t>(in.next()) / 16};
}

void check_map(const Map& map, std::uint64_t count, const std::vector<std::uint32_t>& order) {
    if (map.bucket_count() != count || map.iteration_order() != order) std::abort();
    for (std::size_t i = 0; i < map.size(); ++i) {
        const Map::Node& node = map.nodes()[i];
        if (map.find(node.key, hash_voxel_key(node.key)) != static_cast<std::int64_t>(i)) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Bytes in{data, size};
    const std::uint8_t mode = in.next();
    // Either a grown map's own state, slightly changed, or arbitrary counts, keys and order.
    Map grown;
    const std::size_t inserted = in.next() % 80;
    for (std::size_t i = 0; i < inserted; ++i) grown.find_or_insert(small_key(in)) = static_cast<std::int32_t>(i);
    std::uint64_t count = grown.bucket_count();
    std::vector<Map::Node> nodes = grown.nodes();
    std::vector<std::uint32_t> order = grown.iteration_order();
    if (mode & 1) count = (mode & 2) ? next_bucket_count(in.next() * 256u + in.next()) : in.next() * 256u + in.next();
    if (mode & 4) {
        for (int swaps = in.next() % 4; swaps > 0; --swaps) {
            if (order.empty()) break;
            std::swap(order[in.next() % order.size()], order[in.next() % order.size()]);
        }
    }
    if (mode & 8 && !nodes.empty()) nodes[in.next() % nodes.size()].key = small_key(in);
    if (mode & 16 && !order.empty()) order[in.next() % order.size()] = in.next();
    if (mode & 32 && !order.empty()) order.pop_back();

    Map map;
    map.find_or_insert({1, 2, 3}) = 7;
    const Map before = map;
    const auto error = map.restore(count, nodes, order);
    if (error) {
        if (map.bucket_count() != before.bucket_count() || map.iteration_order() != before.iteration_order() ||
            map.size() != 1)
            std::abort();
        return 0;
    }
    check_map(map, count, order);
    // Further insertions: the restored map and the grown one agree when nothing was changed.
    const bool unchanged = !(mode & (1 | 4 | 8 | 16 | 32));
    for (int i = 0; in.size; ++i) {
        const VoxelKey key = small_key(in);
        map.find_or_insert(key) = i;
        if (unchanged) grown.find_or_insert(key) = i;
    }
    if (unchanged && (map.bucket_count() != grown.bucket_count() || map.iteration_order() != grown.iteration_order()))
        std::abort();
    return 0;
}
