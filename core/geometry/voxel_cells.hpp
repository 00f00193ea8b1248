// Steps shared by the methods that collect a cloud's points into voxel cells: the cloud's
// bounds, and the distinct cells numbered in order of first appearance.
//
// The voxel map's iteration order depends only on the distinct keys in the order they first
// appear, so a method that would look every point up in the map can instead number the cells
// in a compact table and take the map's order from their hashes (grown_map_order).
#pragma once
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "core/voxel_map.hpp"
#include "core/types.hpp"

namespace nubiro::geometry {

// NaN-skipping minimum and maximum of the points, exactly as folds from the first point give
// them (the earliest of equal values survives; an axis is NaN only when all of its values
// are), computed per block on the pool. The span must not be empty.
void cloud_bounds(std::span<const Vector3d> points, Vector3d& low, Vector3d& high);

// Distinct keys numbered in order of first appearance. Open addressing with linear probing;
// each slot holds the key itself and its number, so a lookup touches one place in memory.
class CellNumbers {
public:
    CellNumbers() { slots_.assign(std::size_t{1} << (64 - shift_), Slot{{}, kFree}); }

    std::uint32_t number_of(const VoxelKey& key) { return number_of(key, hash_voxel_key(key)); }
    std::uint32_t number_of(const VoxelKey& key, std::uint64_t hash) {
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t s = slot_of(hash);; s = (s + 1) & mask) {
            Slot& slot = slots_[s];
            if (slot.number == kFree) {
                const auto number = static_cast<std::uint32_t>(keys.size());
                slot = {key, number};
                keys.push_back(key);
                hashes.push_back(hash);
                if (2 * keys.size() > slots_.size()) grow();
                return number;
            }
            if (slot.key == key) return slot.number;
        }
    }

    std::vector<VoxelKey> keys;  // by number
    std::vector<std::uint64_t> hashes;

private:
    struct Slot {
        VoxelKey key;
        std::uint32_t number;
    };
    static constexpr std::uint32_t kFree = std::numeric_limits<std::uint32_t>::max();

    // The key hash spread over 64 bits by a multiplication; its top bits pick the slot.
    std::size_t slot_of(std::uint64_t hash) const {
        return static_cast<std::size_t>((hash * 0x9e3779b97f4a7c15ull) >> shift_);
    }

    void grow();

    int shift_ = 64 - 12;
    std::vector<Slot> slots_;
};

// The distinct keys among those marked `inside`, numbered in order of first appearance (the
// same as number_of over them in turn). The order is defined by the keys alone, so the work is
// split by key: each worker numbers the keys of its share of hashes, noting where each first
// appears, and the shares are merged in point order.
struct DistinctCells {
    std::vector<VoxelKey> keys;  // by number
    std::vector<std::uint64_t> hashes;
};
DistinctCells distinct_cells(std::span<const VoxelKey> keys, std::span<const std::uint8_t> inside);

}  // namespace nubiro::geometry
