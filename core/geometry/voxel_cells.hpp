// Steps shared by the methods that collect a cloud's points into voxel cells: the cloud's
// bounds, and the distinct cells numbered in order of first appearance.
//
// The voxel map's iteration order depends only on the distinct keys in the order they first
// appear, so a method that would look every point up in the map can instead number the cells
// in a compact table and take the map's order from their hashes (grown_map_order).
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>
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

// A dense grid may hold this many cells per point: at 4 bytes a cell, its slots then take at
// most the memory of the points themselves.
constexpr std::uint64_t kDenseCellsPerPoint = 6;
// Cells of the box from `low` to `high` at one voxel size, x fastest, when there are few
// enough of them for n points to number through an array; zero cells otherwise. Every point p
// with low <= p <= high on each axis has its key within the grid (the key's operations are
// monotonic); `low` must be finite.
struct DenseGrid {
    std::uint64_t dx = 0, dy = 0, cells = 0;

    DenseGrid() = default;
    DenseGrid(const Vector3d& low, const Vector3d& high, double size, std::size_t n) {
        const VoxelKey top = voxel_key(high, low, size);
        if (top.x < 0 || top.y < 0 || top.z < 0) return;  // high below low: no point fits
        const auto extent = [](std::int32_t k) { return static_cast<std::uint64_t>(k) + 1; };
        const std::uint64_t budget =
            std::min<std::uint64_t>(kDenseCellsPerPoint * n, std::numeric_limits<std::uint32_t>::max());
        const std::uint64_t x = extent(top.x), y = extent(top.y), z = extent(top.z);
        if (x > budget || y > budget / x || z > budget / (x * y)) return;
        dx = x, dy = y, cells = x * y * z;
    }
    std::uint32_t cell_of(const VoxelKey& k) const {
        const auto x = static_cast<std::uint64_t>(k.x), y = static_cast<std::uint64_t>(k.y);
        return static_cast<std::uint32_t>((static_cast<std::uint64_t>(k.z) * dy + y) * dx + x);
    }
    VoxelKey key_of(std::uint32_t cell) const {
        const std::uint64_t xy = dx * dy;
        return {static_cast<std::int32_t>(cell % dx), static_cast<std::int32_t>(cell % xy / dx),
                static_cast<std::int32_t>(cell / xy)};
    }
};

// How far ahead a numbering pass fetches the slot of a point's cell: a new cell is a branch
// no predictor can guess, and each miss empties the pipeline of the loads it had started;
// fetches issued ahead survive.
constexpr std::size_t kSlotAhead = 16;

// Numbers a dense grid's cells in order of first appearance: one slot per cell holding its
// number + 1, or 0 for a cell not seen yet. The slots come zeroed from the system (calloc),
// so the cells no point touches cost nothing.
class DenseCellNumbers {
public:
    DenseCellNumbers(const DenseGrid& grid, const std::uint32_t* cells)
        : grid_(grid), cells_(cells),
          slots_(static_cast<std::uint32_t*>(std::calloc(grid.cells, sizeof(std::uint32_t)))) {
        if (!slots_) throw std::bad_alloc();
    }
    // The voxel number of point i, numbering its cell if it is new.
    std::uint32_t number_of(std::size_t i) {
        std::uint32_t& slot = slots_.get()[cells_[i]];
        if (slot == 0) {
            keys.push_back(grid_.key_of(cells_[i]));
            slot = static_cast<std::uint32_t>(keys.size());
        }
        return slot - 1;
    }
    void prefetch(std::size_t i) const { __builtin_prefetch(slots_.get() + cells_[i]); }
    // The numbered keys' hashes, by number (the dense numbering needs none until the end).
    std::vector<std::uint64_t> key_hashes() const {
        std::vector<std::uint64_t> hashes(keys.size());
        for (std::size_t v = 0; v < keys.size(); ++v) hashes[v] = hash_voxel_key(keys[v]);
        return hashes;
    }
    // Point i's slot as it stands: 0 while its cell has no number, else the number + 1.
    std::uint32_t peek(std::size_t i) const { return slots_.get()[cells_[i]]; }

    std::vector<VoxelKey> keys;  // by number

private:
    struct Free {
        void operator()(std::uint32_t* p) const { std::free(p); }
    };
    DenseGrid grid_;
    const std::uint32_t* cells_;
    std::unique_ptr<std::uint32_t[], Free> slots_;
};

}  // namespace nubiro::geometry
