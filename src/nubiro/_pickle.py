"""Pickling of the extension's value classes.

Every picklable class is described by the constructor arguments and the attributes that
rebuild an equal object. Array attributes travel as NumPy arrays that share the object's
memory, so with pickle protocol 5 and a ``buffer_callback`` their bytes go out of band without
a copy; a round trip is bit-exact (NaN payloads and signed zeros included). Loading copies
the bytes into the new object's own storage, so the result is independent of the buffers.

A `VoxelGrid` travels as its exact state (origin, cell size and its voxel map: bucket count,
keys and colours in insertion order, iteration order), since its voxel order depends on the
map's history and Python has no other way to fill a grid. Those arrays are made for the pickle
(the map keeps its nodes interleaved) and go out of band like the others; loading checks the
state and refuses a malformed one with ValueError.

`KDTreeFlann` has no copy protocol and stays unpicklable.
"""
from __future__ import annotations

from typing import Any, Callable

import numpy as np

from .cpu.pybind import geometry, utility
from .cpu.pybind import _internal  # type: ignore[attr-defined]  # private, no stub

# (constructor arguments, attributes set after construction) of an object.
Describe = Callable[[Any], "tuple[tuple, dict[str, Any]]"]


def _rebuild(cls: type, args: tuple, attributes: dict[str, Any]) -> Any:
    obj = cls(*args)
    for name, value in attributes.items():
        setattr(obj, name, value)
    return obj


def _rebuild_voxel_grid(cls: type, state: tuple, attributes: dict[str, Any]) -> Any:
    grid = cls()
    _internal.voxel_grid_restore(grid, *state)
    return grid


def _rebuild_matrices(cls: type, blocks: np.ndarray) -> Any:
    k = blocks.shape[-1] if blocks.ndim == 3 else (3 if cls is utility.Matrix3dVector else 4)
    return _internal.matrix_vector(np.ascontiguousarray(blocks, dtype=np.float64).reshape(-1, k))


def _arrays(*names: str) -> Describe:
    return lambda obj: ((), {name: np.asarray(getattr(obj, name)) for name in names})


def _values(*names: str) -> Describe:
    return lambda obj: ((), {name: getattr(obj, name) for name in names})


def _args(*names: str) -> Describe:
    return lambda obj: (tuple(getattr(obj, name) for name in names), {})


def _install(cls: type, describe: Describe, rebuild: Callable[..., Any] = _rebuild) -> None:
    def __reduce_ex__(self: Any, protocol: int) -> tuple:
        args, attributes = describe(self)
        state = getattr(self, "__dict__", None) or None  # a Python subclass's own attributes
        return rebuild, (type(self), args, attributes), state

    __reduce_ex__.__qualname__ = f"{cls.__name__}.__reduce_ex__"
    cls.__reduce_ex__ = __reduce_ex__  # type: ignore[method-assign, assignment]


def _install_matrices(cls: type) -> None:
    def __reduce_ex__(self: Any, protocol: int) -> tuple:
        return _rebuild_matrices, (type(self), np.asarray(self, dtype=np.float64))

    __reduce_ex__.__qualname__ = f"{cls.__name__}.__reduce_ex__"
    cls.__reduce_ex__ = __reduce_ex__  # type: ignore[method-assign, assignment]


def _table() -> dict[type, Describe]:
    def container(obj: Any) -> tuple[tuple, dict]:
        return (np.asarray(obj),), {}

    def numbers(obj: Any) -> tuple[tuple, dict]:  # scalar kinds take a number sequence
        return (list(obj),), {}

    table: dict[type, Describe] = {
        geometry.PointCloud: _arrays("points", "normals", "colors"),
        geometry.KDTreeSearchParamKNN: _args("knn"),
        geometry.KDTreeSearchParamRadius: _args("radius"),
        geometry.KDTreeSearchParamHybrid: _args("radius", "max_nn"),
        geometry.TriangleMesh: _arrays("vertices", "vertex_normals", "vertex_colors", "triangles", "triangle_normals"),
        geometry.AxisAlignedBoundingBox: _values("min_bound", "max_bound", "color"),
        geometry.Voxel: _args("grid_index", "color"),
    }
    for name in ("Vector3dVector", "Vector2dVector", "Vector3iVector", "Vector2iVector", "Vector4iVector"):
        table[getattr(utility, name)] = container
    table[utility.IntVector] = table[utility.DoubleVector] = numbers
    from .cpu.pybind.pipelines import registration
    table[registration.Feature] = _arrays("data")
    table[registration.RegistrationResult] = lambda obj: ((), {
        "transformation": obj.transformation, "correspondence_set": np.asarray(obj.correspondence_set),
        "fitness": obj.fitness, "inlier_rmse": obj.inlier_rmse})
    table[registration.ICPConvergenceCriteria] = _args("relative_fitness", "relative_rmse", "max_iteration")
    table[registration.TransformationEstimationPointToPoint] = _args("with_scaling")
    table[registration.TransformationEstimationPointToPlane] = _args()
    table[registration.RANSACConvergenceCriteria] = _args("max_iteration", "confidence")
    table[registration.CorrespondenceCheckerBasedOnEdgeLength] = _args("similarity_threshold")
    table[registration.CorrespondenceCheckerBasedOnDistance] = _args("distance_threshold")
    table[registration.CorrespondenceCheckerBasedOnNormal] = _args("normal_angle_threshold")
    return table


def install() -> None:
    for cls, describe in _table().items():
        _install(cls, describe)
    _install(geometry.VoxelGrid, lambda grid: (_internal.voxel_grid_state(grid), {}), _rebuild_voxel_grid)
    for cls in (utility.Matrix3dVector, utility.Matrix4dVector):
        _install_matrices(cls)
