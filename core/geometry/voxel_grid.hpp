// The voxel grid: an origin, a cell size and the occupied cells, kept in the ordered voxel map
// so that listing them follows the map's fixed iteration order.
#pragma once
#include <optional>
#include <span>
#include <vector>

#include "core/result.hpp"
#include "core/voxel_map.hpp"
#include "core/types.hpp"

namespace nubiro::geometry {

struct Voxel {
    Vector3i grid_index{0, 0, 0};
    Vector3d color{0, 0, 0};
};

struct VoxelGrid {
    // Cell (i, j, k) covers origin + voxel_size * [i, i+1) x [j, j+1) x [k, k+1).
    Vector3d origin{0, 0, 0};
    double voxel_size = 0;
    // The occupied cells, keyed by grid index; each holds its voxel's colour (a voxel's grid
    // index is its key, so it is not stored twice).
    VoxelMap<Vector3d> voxels;

    bool has_voxels() const { return voxels.size() > 0; }
    bool is_empty() const { return !has_voxels(); }

    std::vector<Voxel> get_voxels() const;  // in the map's iteration order
    Vector3d get_min_bound() const;         // origin when there are no voxels
    Vector3d get_max_bound() const;
    Vector3d get_center() const;  // mean of the voxel centres; (0, 0, 0) when there are none

    VoxelGrid& clear();
    VoxelGrid& translate(const Vector3d& translation, bool relative = true);  // moves the origin
    VoxelGrid& scale(double factor, const Vector3d& center);                 // origin and cell size
    // Cells stay axis-aligned, so only the identity (within 1e-12) is accepted; pure
    // translations too for transform(). The error says why otherwise.
    std::optional<Error> rotate(const Matrix3d& r);
    std::optional<Error> transform(const Matrix4d& t);

    // One grey voxel per occupied cell, the origin half a cell below the smallest coordinates.
    // An empty cloud gives an empty grid whatever the size.
    static Result<VoxelGrid> create_from_point_cloud(std::span<const Vector3d> points, double voxel_size);
    // One grey voxel per cell holding a point of [min_bound, max_bound); origin min_bound.
    static Result<VoxelGrid> create_from_point_cloud_within_bounds(std::span<const Vector3d> points, double voxel_size,
                                                                   const Vector3d& min_bound, const Vector3d& max_bound);
};

}  // namespace nubiro::geometry
