import os
from typing import ClassVar, final

from .geometry import PointCloud, TriangleMesh

# A file name: a str, or any os.PathLike whose os.fspath is a str.
_Path = str | os.PathLike[str]

@final
class FileGeometry:
    """What a file holds, as flags: CONTENTS_UNKNOWN, CONTAINS_POINTS, CONTAINS_LINES, CONTAINS_TRIANGLES."""
    CONTENTS_UNKNOWN: ClassVar[FileGeometry]
    CONTAINS_POINTS: ClassVar[FileGeometry]
    CONTAINS_LINES: ClassVar[FileGeometry]
    CONTAINS_TRIANGLES: ClassVar[FileGeometry]
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

CONTENTS_UNKNOWN: FileGeometry
CONTAINS_POINTS: FileGeometry
CONTAINS_LINES: FileGeometry
CONTAINS_TRIANGLES: FileGeometry

# File problems never raise: readers return an empty object, writers False.
def read_file_geometry_type(filename: _Path) -> FileGeometry:
    """What the file holds, from its header (PLY) or extension."""
def read_point_cloud(
    filename: _Path,
    format: str = "auto",
    remove_nan_points: bool = False,
    remove_infinite_points: bool = False,
    print_progress: bool = False,
) -> PointCloud:
    """A PointCloud read from a PLY or XYZ-family file (format 'auto': by extension). Returns an empty cloud when the
    file cannot be read; optionally drops NaN and infinite points. Ctrl-C stops a long read.
    """
def read_point_cloud_from_bytes(
    bytes: bytes,
    format: str = "auto",
    remove_nan_points: bool = False,
    remove_infinite_points: bool = False,
    print_progress: bool = False,
) -> PointCloud:
    """A PointCloud from bytes in the format 'mem::xyz'; an empty cloud on any problem."""
def write_point_cloud(
    filename: _Path,
    pointcloud: PointCloud,
    format: str = "auto",
    write_ascii: bool = False,
    compressed: bool = False,
    print_progress: bool = False,
) -> bool:
    """Writes the cloud as binary PLY (write_ascii=True: text) or XYZ, by extension. Returns False when the file cannot
    be written.
    """
# Only "mem::xyz" is known; any other format raises ValueError.
def write_point_cloud_to_bytes(
    pointcloud: PointCloud,
    format: str = "auto",
    write_ascii: bool = False,
    compressed: bool = False,
    print_progress: bool = False,
) -> bytes:
    """The cloud as bytes in the format 'mem::xyz'. Raises ValueError for another format."""
def read_triangle_mesh(
    filename: _Path, enable_post_processing: bool = False, print_progress: bool = False
) -> TriangleMesh:
    """A TriangleMesh read from a PLY file; an empty mesh when the file cannot be read."""
def write_triangle_mesh(
    filename: _Path,
    mesh: TriangleMesh,
    write_ascii: bool = False,
    compressed: bool = False,
    write_vertex_normals: bool = True,
    write_vertex_colors: bool = False,
    write_triangle_uvs: bool = False,
    print_progress: bool = False,
) -> bool:
    """Writes the mesh as binary PLY (write_ascii=True: text). Returns False on failure."""
