from collections.abc import Sequence
from typing import Any, ClassVar, NoReturn, final

import numpy as np
from numpy.typing import ArrayLike, NDArray
from typing_extensions import Self, TypeAlias, disjoint_base

from .pipelines.registration import Feature
from .utility import DoubleVector, IntVector, Vector3dVector, Vector3iVector

# A 3- or 4-vector: a sequence of numbers, or a contiguous array holding exactly
# that many elements (any shape). Matrices, by contrast, must be float64 arrays.
_Vector3: TypeAlias = Sequence[float] | NDArray[Any]
_Vector4: TypeAlias = Sequence[float] | NDArray[Any]
_Matrix3: TypeAlias = NDArray[np.float64]
_Matrix4: TypeAlias = NDArray[np.float64]
# (count, indices, squared distances); count is -1 when the query cannot run.
_SearchResult: TypeAlias = tuple[int, IntVector, DoubleVector]

@final
class GeometryType:
    """Kind of a geometry: Unspecified, PointCloud, VoxelGrid or TriangleMesh (compares with ints)."""
    @property
    def name(self) -> str:
        """The member's name."""
    @property
    def value(self) -> int:
        """The member's integer value."""
    def __int__(self) -> int: ...
    def __index__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...

class Geometry:
    """Base of every geometry; `Geometry.Type` is the GeometryType enumeration."""
    Type: ClassVar[type[GeometryType]]
    Unspecified: ClassVar[GeometryType]
    PointCloud: ClassVar[GeometryType]
    VoxelGrid: ClassVar[GeometryType]
    TriangleMesh: ClassVar[GeometryType]

class Geometry2D(Geometry):
    """Base of the 2-D geometries (none are provided)."""

class Geometry3D(Geometry):
    """Base of the 3-D geometries: bounds, centre and rigid transforms, plus the rotation-matrix helpers."""
    @staticmethod
    def get_rotation_matrix_from_xyz(rotation: _Vector3) -> NDArray[np.float64]:
        """3x3 rotation from Euler angles in radians, applied about x, then y, then z."""
    @staticmethod
    def get_rotation_matrix_from_xzy(rotation: _Vector3) -> NDArray[np.float64]:
        """3x3 rotation from Euler angles in radians, applied about x, then z, then y."""
    @staticmethod
    def get_rotation_matrix_from_yxz(rotation: _Vector3) -> NDArray[np.float64]:
        """3x3 rotation from Euler angles in radians, applied about y, then x, then z."""
    @staticmethod
    def get_rotation_matrix_from_yzx(rotation: _Vector3) -> NDArray[np.float64]:
        """3x3 rotation from Euler angles in radians, applied about y, then z, then x."""
    @staticmethod
    def get_rotation_matrix_from_zxy(rotation: _Vector3) -> NDArray[np.float64]:
        """3x3 rotation from Euler angles in radians, applied about z, then x, then y."""
    @staticmethod
    def get_rotation_matrix_from_zyx(rotation: _Vector3) -> NDArray[np.float64]:
        """3x3 rotation from Euler angles in radians, applied about z, then y, then x."""
    @staticmethod
    def get_rotation_matrix_from_axis_angle(rotation: _Vector3) -> NDArray[np.float64]:
        """3x3 rotation about the direction of the 3-vector by its length in radians."""
    @staticmethod
    def get_rotation_matrix_from_quaternion(rotation: _Vector4) -> NDArray[np.float64]:
        """3x3 rotation from a quaternion (w, x, y, z); it need not be normalised."""

class MeshBase(Geometry3D):
    """Base of the mesh classes."""

@final
class TriangleMesh(MeshBase):
    """A triangle mesh: vertices (n, 3) with optional normals and colours, triangles (m, 3) of vertex indices."""
    def __init__(self, other: TriangleMesh | None = None) -> None:
        """An empty object, or a deep copy of `other`."""
    def __copy__(self) -> TriangleMesh: ...
    def __deepcopy__(self, _memo: object) -> TriangleMesh: ...
    # Reading gives a view that writes through to the mesh; assigning copies
    # an (n, 3) array-like in (int32 for the triangles).
    @property
    def vertices(self) -> Vector3dVector:
        """The (n, 3) vertex coordinates: a view that writes through to the mesh; assignable."""
    @vertices.setter
    def vertices(self, value: ArrayLike) -> None: ...
    @property
    def vertex_normals(self) -> Vector3dVector:
        """The (n, 3) vertex normals (empty or one per vertex): a view; assignable."""
    @vertex_normals.setter
    def vertex_normals(self, value: ArrayLike) -> None: ...
    @property
    def vertex_colors(self) -> Vector3dVector:
        """The (n, 3) vertex colours in [0, 1] (empty or one per vertex): a view; assignable."""
    @vertex_colors.setter
    def vertex_colors(self, value: ArrayLike) -> None: ...
    @property
    def triangles(self) -> Vector3iVector:
        """The (m, 3) int32 vertex indices of the triangles: a view; assignable."""
    @triangles.setter
    def triangles(self, value: ArrayLike) -> None: ...
    @property
    def triangle_normals(self) -> Vector3dVector:
        """The (m, 3) triangle normals (empty or one per triangle): a view; assignable."""
    @triangle_normals.setter
    def triangle_normals(self, value: ArrayLike) -> None: ...
    def clear(self) -> Self:
        """Removes all data; returns the object itself."""
    def is_empty(self) -> bool:
        """True when there is nothing in it (no points, vertices or voxels)."""
    def dimension(self) -> int:
        """3 for the 3-D geometries."""
    def get_geometry_type(self) -> GeometryType:
        """The GeometryType of this object."""
    def has_vertices(self) -> bool:
        """True when the mesh has at least one vertex."""
    def has_vertex_normals(self) -> bool:
        """True when there is one normal per vertex."""
    def has_vertex_colors(self) -> bool:
        """True when there is one colour per vertex."""
    def has_triangles(self) -> bool:
        """True when the mesh has at least one triangle."""
    def has_triangle_normals(self) -> bool:
        """True when there is one normal per triangle."""
    def get_min_bound(self) -> NDArray[np.float64]:
        """Per-axis minimum of the coordinates as a 3-vector (NaN values skipped; NaN when empty)."""
    def get_max_bound(self) -> NDArray[np.float64]:
        """Per-axis maximum of the coordinates as a 3-vector (NaN values skipped; NaN when empty)."""
    def get_center(self) -> NDArray[np.float64]:
        """The centre as a 3-vector: the mean of the points or vertices (zeros when empty)."""
    def get_axis_aligned_bounding_box(self) -> AxisAlignedBoundingBox:
        """The smallest axis-aligned box around the coordinates."""
    def transform(self, transformation: _Matrix4) -> Self:
        """Applies the 4x4 rigid transformation in place (points move to R p + t, normals turn by R); returns the
        object itself.
        """
    def translate(self, translation: _Vector3, relative: bool = True) -> Self:
        """Moves by the 3-vector, or with relative=False puts the centre there; returns the object itself."""
    def scale(self, scale: float, center: _Vector3) -> Self:
        """Scales coordinates about `center` by the factor; returns the object itself."""
    def rotate(self, r: _Matrix3, center: _Vector3 | None = None) -> Self:
        """Rotates by the 3x3 matrix about `center` (default: the object's centre); returns the object itself."""
    def normalize_normals(self) -> Self:
        """Scales every normal to unit length; returns the object itself."""
    def paint_uniform_color(self, color: _Vector3) -> Self:
        """Sets every colour to the (r, g, b) 3-vector, clamped to [0, 1]; returns the object itself."""
    def compute_triangle_normals(self, normalized: bool = True) -> Self:
        """Sets each triangle's normal from its winding (unit length unless normalized=False); returns the mesh."""
    def compute_vertex_normals(self, normalized: bool = True) -> Self:
        """Sets each vertex normal to the sum of its triangles' normals (unit length unless normalized=False); returns
        the mesh.
        """

@disjoint_base
class PointCloud(Geometry3D):
    """Points (n, 3) with optional per-point normals and colours (r, g, b in [0, 1]). Copies are deep."""
    def __init__(self, other: PointCloud | None = None) -> None:
        """An empty object, or a deep copy of `other`."""
    def __copy__(self) -> PointCloud: ...
    def __deepcopy__(self, _memo: object) -> PointCloud: ...
    # Reading gives a view that writes through to the cloud; assigning copies
    # an (n, 3) array-like in.
    @property
    def points(self) -> Vector3dVector:
        """The (n, 3) point coordinates: a view that writes through to the cloud; assign any (n, 3) array-like to
        replace them.
        """
    @points.setter
    def points(self, value: ArrayLike) -> None: ...
    @property
    def normals(self) -> Vector3dVector:
        """The (n, 3) normals (empty or one per point): a view that writes through; assignable."""
    @normals.setter
    def normals(self, value: ArrayLike) -> None: ...
    @property
    def colors(self) -> Vector3dVector:
        """The (n, 3) colours, r, g, b in [0, 1] (empty or one per point): a view; assignable."""
    @colors.setter
    def colors(self, value: ArrayLike) -> None: ...
    def clear(self) -> Self:
        """Removes all data; returns the object itself."""
    def is_empty(self) -> bool:
        """True when there is nothing in it (no points, vertices or voxels)."""
    def dimension(self) -> int:
        """3 for the 3-D geometries."""
    def get_geometry_type(self) -> GeometryType:
        """The GeometryType of this object."""
    def has_points(self) -> bool:
        """True when the cloud has at least one point."""
    def has_normals(self) -> bool:
        """True when the cloud has one normal per point."""
    def has_colors(self) -> bool:
        """True when there is one colour per point (per voxel for a VoxelGrid)."""
    def get_min_bound(self) -> NDArray[np.float64]:
        """Per-axis minimum of the coordinates as a 3-vector (NaN values skipped; NaN when empty)."""
    def get_max_bound(self) -> NDArray[np.float64]:
        """Per-axis maximum of the coordinates as a 3-vector (NaN values skipped; NaN when empty)."""
    def get_center(self) -> NDArray[np.float64]:
        """The centre as a 3-vector: the mean of the points or vertices (zeros when empty)."""
    def get_axis_aligned_bounding_box(self) -> AxisAlignedBoundingBox:
        """The smallest axis-aligned box around the coordinates."""
    def transform(self, transformation: _Matrix4) -> Self:
        """Applies the 4x4 rigid transformation in place (points move to R p + t, normals turn by R); returns the
        object itself.
        """
    def translate(self, translation: _Vector3, relative: bool = True) -> Self:
        """Moves by the 3-vector, or with relative=False puts the centre there; returns the object itself."""
    def scale(self, scale: float, center: _Vector3) -> Self:
        """Scales coordinates about `center` by the factor; returns the object itself."""
    def rotate(self, r: _Matrix3, center: _Vector3 | None = None) -> Self:
        """Rotates by the 3x3 matrix about `center` (default: the object's centre); returns the object itself."""
    def normalize_normals(self) -> Self:
        """Scales every normal to unit length; returns the object itself."""
    def paint_uniform_color(self, color: _Vector3) -> Self:
        """Sets every colour to the (r, g, b) 3-vector, clamped to [0, 1]; returns the object itself."""
    def estimate_normals(
        self, search_param: KDTreeSearchParam | None = None, fast_normal_computation: bool = True
    ) -> None:
        """Estimates a unit normal per point from the covariance of its neighbours (default: the 30 nearest). Radii are
        in the data's units; a neighbourhood of fewer than 3 points gives (0, 0, 1). Existing normals keep their
        side. Releases the interpreter lock; Ctrl-C stops it and leaves the cloud unchanged.
        """
    def voxel_down_sample(self, voxel_size: float) -> PointCloud:
        """A new cloud with one point per occupied cube of side `voxel_size` (data units): the mean of its points,
        normals and colours. Raises RuntimeError for a voxel size that is not positive.
        """
    def orient_normals_to_align_with_direction(self, orientation_reference: _Vector3 | None = None) -> None:
        """Flips each normal to point along the 3-vector (default +z). Raises RuntimeError when the cloud has no
        normals.
        """
    def orient_normals_towards_camera_location(self, camera_location: _Vector3 | None = None) -> None:
        """Flips each normal to point towards the 3-D location (default the origin). Raises RuntimeError when the cloud
        has no normals.
        """
    # (k, lambda=0.0, cos_alpha_tol=1.0): `lambda` is a Python keyword, so it cannot be spelled here.
    def orient_normals_consistent_tangent_plane(self, k: int, *args: float, **kwargs: float) -> None:
        """Orients the normals consistently by propagating along a minimum spanning tree of the k-nearest-neighbour
        graph. Raises RuntimeError when the cloud has no normals.
        """

@final
class AxisAlignedBoundingBox(Geometry3D):
    """A box with sides parallel to the axes, given by its min_bound and max_bound corners."""
    # No arguments: the default box; another box: a copy; two corners: ordered
    # per axis when any minimum exceeds its maximum.
    def __init__(self, min_bound: _Vector3 | AxisAlignedBoundingBox | None = None,
                 max_bound: _Vector3 | None = None) -> None:
        """The default box, a copy of another box, or the box between two corners (ordered per axis when a minimum
        exceeds its maximum).
        """
    def __copy__(self) -> AxisAlignedBoundingBox: ...
    def __deepcopy__(self, _memo: object) -> AxisAlignedBoundingBox: ...
    def __iadd__(self, value: AxisAlignedBoundingBox, /) -> Self: ...
    # Reading gives a copy; assigning stores the 3-vector as given.
    @property
    def min_bound(self) -> NDArray[np.float64]:
        """The lower corner as a 3-vector (a copy); assignable."""
    @min_bound.setter
    def min_bound(self, value: _Vector3) -> None: ...
    @property
    def max_bound(self) -> NDArray[np.float64]:
        """The upper corner as a 3-vector (a copy); assignable."""
    @max_bound.setter
    def max_bound(self, value: _Vector3) -> None: ...
    @property
    def color(self) -> NDArray[np.float64]:
        """Display colour of the box, r, g, b in [0, 1]."""
    @color.setter
    def color(self, value: _Vector3) -> None: ...
    def clear(self) -> Self:
        """Removes all data; returns the object itself."""
    def is_empty(self) -> bool:
        """True when there is nothing in it (no points, vertices or voxels)."""
    def dimension(self) -> int:
        """3 for the 3-D geometries."""
    def get_geometry_type(self) -> GeometryType:
        """The GeometryType of this object."""
    def get_min_bound(self) -> NDArray[np.float64]:
        """Per-axis minimum of the coordinates as a 3-vector (NaN values skipped; NaN when empty)."""
    def get_max_bound(self) -> NDArray[np.float64]:
        """Per-axis maximum of the coordinates as a 3-vector (NaN values skipped; NaN when empty)."""
    def get_center(self) -> NDArray[np.float64]:
        """The middle of the box as a 3-vector."""
    def get_axis_aligned_bounding_box(self) -> AxisAlignedBoundingBox:
        """The smallest axis-aligned box around the coordinates."""
    def get_extent(self) -> NDArray[np.float64]:
        """Side lengths max_bound - min_bound as a 3-vector."""
    def get_half_extent(self) -> NDArray[np.float64]:
        """Half the side lengths as a 3-vector."""
    def get_max_extent(self) -> float:
        """The longest side length."""
    def volume(self) -> float:
        """Product of the side lengths."""
    def get_box_points(self) -> Vector3dVector:
        """The 8 corners as a Vector3dVector."""
    def get_point_indices_within_bounding_box(self, points: Vector3dVector) -> list[int]:
        """Indices of the points inside the box, borders included, ascending."""
    def get_print_info(self) -> str:
        """The corners as text with four decimals."""
    @staticmethod
    def create_from_points(points: Vector3dVector) -> AxisAlignedBoundingBox:
        """The smallest box around the points."""
    def translate(self, translation: _Vector3, relative: bool = True) -> Self:
        """Moves by the 3-vector, or with relative=False puts the centre there; returns the object itself."""
    def scale(self, scale: float, center: _Vector3) -> Self:
        """Scales coordinates about `center` by the factor; returns the object itself."""
    # Always raise RuntimeError: a box cannot be rotated or generally transformed.
    def transform(self, _t: object) -> NoReturn:
        """Always raises RuntimeError: an axis-aligned box cannot be transformed."""
    def rotate(self, r: object, center: object = None) -> NoReturn:
        """Always raises RuntimeError: an axis-aligned box cannot be rotated."""

@final
class Voxel:
    """One cell of a VoxelGrid: its integer grid_index and its colour."""
    # The constructor reads three integers (any other count gives 0, 0, 0);
    # the grid_index setter requires exactly three.
    def __init__(self, grid_index: Sequence[int] | NDArray[np.int32] | None = None,
                 color: _Vector3 | None = None) -> None:
        """A voxel at the integer grid index (three integers) with an optional colour."""
    def __copy__(self) -> Voxel: ...
    def __deepcopy__(self, _memo: object) -> Voxel: ...
    @property
    def grid_index(self) -> NDArray[np.int32]:
        """The cell's three integer indices along x, y and z."""
    @grid_index.setter
    def grid_index(self, value: Sequence[int] | NDArray[np.integer[Any]]) -> None: ...
    @property
    def color(self) -> NDArray[np.float64]:
        """The cell's colour, r, g, b in [0, 1]."""
    @color.setter
    def color(self, value: _Vector3) -> None: ...

@final
class VoxelGrid(Geometry3D):
    """Occupied cubic cells of side voxel_size, indexed from origin."""
    def __init__(self) -> None:
        """An empty grid."""
    @property
    def origin(self) -> NDArray[np.float64]:
        """The corner of cell (0, 0, 0) as a 3-vector."""
    @origin.setter
    def origin(self, value: _Vector3) -> None: ...
    voxel_size: float
    def clear(self) -> Self:
        """Removes all data; returns the object itself."""
    def is_empty(self) -> bool:
        """True when there is nothing in it (no points, vertices or voxels)."""
    def has_voxels(self) -> bool:
        """True when at least one cell is occupied."""
    def has_colors(self) -> bool:
        """True when there is one colour per point (per voxel for a VoxelGrid)."""
    def dimension(self) -> int:
        """3 for the 3-D geometries."""
    def get_geometry_type(self) -> GeometryType:
        """The GeometryType of this object."""
    def get_voxels(self) -> list[Voxel]:
        """The occupied cells as a list of Voxel, in the grid's fixed order."""
    def get_min_bound(self) -> NDArray[np.float64]:
        """Per-axis minimum of the coordinates as a 3-vector (NaN values skipped; NaN when empty)."""
    def get_max_bound(self) -> NDArray[np.float64]:
        """Per-axis maximum of the coordinates as a 3-vector (NaN values skipped; NaN when empty)."""
    def get_center(self) -> NDArray[np.float64]:
        """The mean of the occupied cells' centres as a 3-vector."""
    def get_axis_aligned_bounding_box(self) -> AxisAlignedBoundingBox:
        """The smallest axis-aligned box around the coordinates."""
    def translate(self, translation: _Vector3, relative: bool = True) -> Self:
        """Moves by the 3-vector, or with relative=False puts the centre there; returns the object itself."""
    def scale(self, scale: float, center: _Vector3) -> Self:
        """Scales coordinates about `center` by the factor; returns the object itself."""
    # Only the identity (within 1e-12) is accepted; anything else raises RuntimeError.
    def rotate(self, r: _Matrix3, center: _Vector3 | None = None) -> Self:
        """Accepts only the identity (within 1e-12); anything else raises RuntimeError."""
    # Only pure translations are accepted; anything else raises RuntimeError.
    def transform(self, transformation: _Matrix4) -> Self:
        """Accepts only pure translations; anything else raises RuntimeError."""
    @staticmethod
    def create_from_point_cloud(input: PointCloud, voxel_size: float) -> VoxelGrid:
        """A grid of the cells of side `voxel_size` (data units) that hold points, with the mean colour of their
        points. Raises RuntimeError for a voxel size that is not positive.
        """
    @staticmethod
    def create_from_point_cloud_within_bounds(input: PointCloud, voxel_size: float, min_bound: _Vector3,
                                              max_bound: _Vector3) -> VoxelGrid:
        """Like create_from_point_cloud, over the cells between the two corners only; points outside are left out.
        """

@disjoint_base
class KDTreeSearchParam:
    """How a neighbour search selects: the k nearest, all within a radius, or both (hybrid)."""
    KNNSearch: ClassVar[int]
    RadiusSearch: ClassVar[int]
    HybridSearch: ClassVar[int]
    def get_search_type(self) -> int:
        """KNNSearch, RadiusSearch or HybridSearch."""

@final
class KDTreeSearchParamKNN(KDTreeSearchParam):
    """Search for the `knn` nearest neighbours."""
    knn: int
    def __init__(self, knn: int = 30) -> None:
        """Selects the `knn` nearest neighbours (default 30)."""

@final
class KDTreeSearchParamRadius(KDTreeSearchParam):
    """Search for every neighbour within `radius` (in the data's units)."""
    radius: float
    def __init__(self, radius: float) -> None:
        """Selects every neighbour within `radius` (data units)."""

@final
class KDTreeSearchParamHybrid(KDTreeSearchParam):
    """Search for at most `max_nn` nearest neighbours within `radius` (in the data's units)."""
    def __init__(self, radius: float, max_nn: int) -> None:
        """Selects at most `max_nn` nearest neighbours within `radius` (data units)."""
    @property
    def radius(self) -> float:
        """The search radius, in the data's units."""
    @property
    def max_nn(self) -> int:
        """The most neighbours returned."""

@final
class KDTreeFlann:
    """A KD-tree over 3-D points, features or the columns of a (dimension, count) matrix, for knn, radius and hybrid
    queries. Results list neighbours nearest first; the count is -1 when the query cannot run (empty index, wrong
    dimension, negative count).
    """
    # `data`: a PointCloud, a Feature, or a float64 array of shape (dimension, count)
    # whose columns are the points.
    def __init__(self, data: PointCloud | Feature | NDArray[np.float64] | None = None) -> None:
        """An empty index, or one over a PointCloud, a Feature or a float64 (dimension, count) matrix whose columns are
        the points. The index copies the coordinates.
        """
    def set_geometry(self, geometry: PointCloud) -> bool:
        """Rebuilds the index over the cloud's points; False when the cloud is empty."""
    def set_feature(self, feature: Feature) -> bool:
        """Rebuilds the index over the feature's columns; False when it is empty."""
    def set_matrix_data(self, data: NDArray[np.float64]) -> bool:
        """Rebuilds the index over the columns of a float64 (dimension, count) matrix; False when empty."""
    def search_knn_vector_3d(self, query: _Vector3, knn: int) -> _SearchResult:
        """(count, indices, squared distances) of the `knn` points nearest the 3-D query."""
    def search_radius_vector_3d(self, query: _Vector3, radius: float) -> _SearchResult:
        """(count, indices, squared distances) of every point within `radius` of the 3-D query, nearest first."""
    def search_hybrid_vector_3d(self, query: _Vector3, radius: float, max_nn: int) -> _SearchResult:
        """(count, indices, squared distances) of at most `max_nn` nearest points within `radius`."""
    def search_vector_3d(self, query: _Vector3, search_param: KDTreeSearchParam) -> _SearchResult:
        """The search that `search_param` describes, for a 3-D query."""
    # X-D queries take a contiguous float64 array whose elements, in memory order,
    # form the query point.
    def search_knn_vector_xd(self, query: NDArray[np.float64], knn: int) -> _SearchResult:
        """(count, indices, squared distances) of the `knn` nearest to a query of the index's dimension."""
    def search_radius_vector_xd(self, query: NDArray[np.float64], radius: float) -> _SearchResult:
        """(count, indices, squared distances) within `radius` of a query of the index's dimension."""
    def search_hybrid_vector_xd(self, query: NDArray[np.float64], radius: float, max_nn: int) -> _SearchResult:
        """(count, indices, squared distances) of at most `max_nn` within `radius`, any dimension."""
    def search_vector_xd(self, query: NDArray[np.float64], search_param: KDTreeSearchParam) -> _SearchResult:
        """The search that `search_param` describes, for a query of the index's dimension."""

get_rotation_matrix_from_xyz = Geometry3D.get_rotation_matrix_from_xyz
get_rotation_matrix_from_xzy = Geometry3D.get_rotation_matrix_from_xzy
get_rotation_matrix_from_yxz = Geometry3D.get_rotation_matrix_from_yxz
get_rotation_matrix_from_yzx = Geometry3D.get_rotation_matrix_from_yzx
get_rotation_matrix_from_zxy = Geometry3D.get_rotation_matrix_from_zxy
get_rotation_matrix_from_zyx = Geometry3D.get_rotation_matrix_from_zyx
get_rotation_matrix_from_axis_angle = Geometry3D.get_rotation_matrix_from_axis_angle
get_rotation_matrix_from_quaternion = Geometry3D.get_rotation_matrix_from_quaternion
