import os
from typing import ClassVar, final

from .geometry import PointCloud, TriangleMesh

# A file name: a str, or any os.PathLike whose os.fspath is a str.
_Path = str | os.PathLike[str]

@final
class FileGeometry:
    CONTENTS_UNKNOWN: ClassVar[FileGeometry]
    CONTAINS_POINTS: ClassVar[FileGeometry]
    CONTAINS_LINES: ClassVar[FileGeometry]
    CONTAINS_TRIANGLES: ClassVar[FileGeometry]
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...
    def __int__(self) -> int: ...
    def __index__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...

CONTENTS_UNKNOWN: FileGeometry
CONTAINS_POINTS: FileGeometry
CONTAINS_LINES: FileGeometry
CONTAINS_TRIANGLES: FileGeometry

# File problems never raise: readers return an empty object, writers False.
def read_file_geometry_type(filename: _Path) -> FileGeometry: ...
def read_point_cloud(
    filename: _Path,
    format: str = "auto",
    remove_nan_points: bool = False,
    remove_infinite_points: bool = False,
    print_progress: bool = False,
) -> PointCloud: ...
def read_point_cloud_from_bytes(
    bytes: bytes,
    format: str = "auto",
    remove_nan_points: bool = False,
    remove_infinite_points: bool = False,
    print_progress: bool = False,
) -> PointCloud: ...
def write_point_cloud(
    filename: _Path,
    pointcloud: PointCloud,
    format: str = "auto",
    write_ascii: bool = False,
    compressed: bool = False,
    print_progress: bool = False,
) -> bool: ...
# Only "mem::xyz" is known; any other format raises ValueError.
def write_point_cloud_to_bytes(
    pointcloud: PointCloud,
    format: str = "auto",
    write_ascii: bool = False,
    compressed: bool = False,
    print_progress: bool = False,
) -> bytes: ...
def read_triangle_mesh(
    filename: _Path, enable_post_processing: bool = False, print_progress: bool = False
) -> TriangleMesh: ...
def write_triangle_mesh(
    filename: _Path,
    mesh: TriangleMesh,
    write_ascii: bool = False,
    compressed: bool = False,
    write_vertex_normals: bool = True,
    write_vertex_colors: bool = False,
    write_triangle_uvs: bool = False,
    print_progress: bool = False,
) -> bool: ...
