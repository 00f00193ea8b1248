"""Hostile arguments for every public entry point.

Each row of ENTRY_POINTS names one argument of one entry point and the kind of conversion it
goes through; KINDS says which hostile values each kind accepts and which exception it raises
for the others. Every (row, hostile value) pair is one call: it must raise exactly the expected
exception (or succeed where the value is acceptable), never crash or raise PanicException, and
leave both the object it was called on and the argument unchanged when it fails.

To cover a new entry point, add one row: Row(name, make, call, kind, overrides) where `make`
builds a fresh target, `call(target, value)` passes the hostile value in the argument under
test, `kind` is one of KINDS and `overrides` maps hostile names to the outcome that the
entry point's own rules give for an accepted value (a data error, an index out of range ...).
If the target is of a new class, teach `_snapshot` how to read its state.
"""
import math

import numpy as np
import pytest

from nubiro.cpu import pybind
from nubiro.cpu.pybind import geometry, utility
from nubiro.cpu.pybind.pipelines import registration

nan, inf = math.nan, math.inf


# ---- hostile values ----------------------------------------------------------------------------

class _RaisingIndex:
    def __index__(self):
        raise ValueError("index refused")


class _RaisingFloat:
    def __float__(self):
        raise ValueError("float refused")


class _BadSequence:
    """Claims three items and fails to produce any."""

    def __len__(self):
        return 3

    def __getitem__(self, i):
        raise ValueError("item refused")


class _FloatSub(float):
    pass


class _IntSub(int):
    pass


class _ListSub(list):
    pass


class _ArraySub(np.ndarray):
    pass


class _CloudSub(geometry.PointCloud):
    pass


HOSTILE = {
    "none": lambda: None,
    "nan": lambda: nan,
    "inf": lambda: -inf,
    "huge": lambda: 2**70,
    "giant": lambda: 10**400,  # too large even for a float
    "int32_over": lambda: 2**31,
    "neg": lambda: -7,
    "true": lambda: True,
    "str": lambda: "abc",
    "bytes": lambda: b"abc",
    "object": lambda: object(),
    "float_sub": lambda: _FloatSub(0.5),
    "int_sub": lambda: _IntSub(2),
    "np_int": lambda: np.int64(1),
    "np_float": lambda: np.float32(0.25),
    "raising_index": lambda: _RaisingIndex(),
    "raising_float": lambda: _RaisingFloat(),
    "bad_sequence": lambda: _BadSequence(),
    "list_sub": lambda: _ListSub([0.5, nan, 1.0]),
    "rows": lambda: [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]],
    "i32_3": lambda: np.array([1, 2, 3], dtype=np.int32),
    "f32_3": lambda: np.array([1, 2, 3], dtype=np.float32),
    "f64_sub_3": lambda: np.arange(3.0).view(_ArraySub),
    "f64_noncontig_3": lambda: np.arange(9.0)[::3],
    "f64_empty": lambda: np.zeros(0),
    "f64_empty_2d": lambda: np.zeros((0, 3)),
    "f64_nan_4": lambda: np.full(4, nan),
    "f64_noncontig_33": lambda: np.arange(18.0).reshape(3, 6)[:, ::2],
    "f64_inf_33": lambda: np.full((3, 3), inf),
    "f64_fortran_44": lambda: np.asfortranarray(np.arange(16.0).reshape(4, 4)),
    "cloud_sub": lambda: _CloudSub(),
    "feature": lambda: registration.Feature(),
}

OK = None  # outcome: the call succeeds
NUMPY_ERROR = (TypeError, ValueError, OverflowError)  # NumPy's own errors, passed through unchanged


def _kind(accepted=(), default=TypeError, **special):
    """Outcome per hostile name: OK for `accepted`, `special` where given, else `default`."""
    outcome = {name: default for name in HOSTILE}
    outcome.update({name: OK for name in accepted})
    outcome.update(special)
    return outcome


_FLOATS = ("nan", "inf", "huge", "int32_over", "neg", "true", "float_sub", "int_sub", "np_int", "np_float")
_INTS = ("neg", "true", "int_sub", "np_int")
_FLOAT_ARRAYS_2D = ("f64_empty_2d", "f64_noncontig_33", "f64_inf_33", "f64_fortran_44")

KINDS = {
    "float": _kind(_FLOATS, giant=OverflowError, raising_index=ValueError, raising_float=ValueError),
    "int32": _kind(_INTS, huge=OverflowError, giant=OverflowError, int32_over=OverflowError,
                   raising_index=ValueError),
    "int64": _kind(_INTS + ("int32_over",), huge=OverflowError, giant=OverflowError, raising_index=ValueError),
    "bool": _kind(("true",)),
    # bytes are a sequence of three ints
    "vector3": _kind(("bytes", "list_sub", "i32_3", "f32_3", "f64_sub_3")),
    "vector3_or_none": _kind(("none", "bytes", "list_sub", "i32_3", "f32_3", "f64_sub_3")),
    "vector4": _kind(("f64_nan_4",)),
    "matrix3": _kind(("f64_noncontig_33", "f64_inf_33")),
    "matrix4": _kind(("f64_fortran_44",)),
    "matrix": _kind(_FLOAT_ARRAYS_2D),
    # contiguous float64 array of any shape, read in memory order
    "query_xd": _kind(("f64_sub_3", "f64_empty", "f64_empty_2d", "f64_nan_4", "f64_inf_33", "f64_fortran_44")),
    "cloud": _kind(("cloud_sub",)),
    "cloud_or_none": _kind(("none", "cloud_sub")),
    "feature": _kind(("feature",)),
    "feature_or_none": _kind(("none", "feature")),
    "tree_data": _kind(("none", "cloud_sub", "feature") + _FLOAT_ARRAYS_2D),
    "search_param": _kind(()),
    "verbosity": _kind(_INTS, huge=OverflowError, giant=OverflowError, int32_over=OverflowError,
                       raising_index=ValueError),
    # (n, 3) rule: exact float64 2-D arrays checked for shape, everything else through NumPy
    "rows3": _kind(("rows", "f64_empty_2d", "f64_noncontig_33", "f64_inf_33"), default=NUMPY_ERROR,
                   f64_fortran_44=TypeError, list_sub=TypeError, i32_3=TypeError, f32_3=TypeError,
                   f64_sub_3=TypeError, f64_noncontig_3=TypeError, f64_empty=TypeError, f64_nan_4=TypeError,
                   cloud_sub=TypeError, feature=TypeError, object=TypeError),
    # a sequence of k numbers; floats refused by the integer kinds
    "element3": _kind(("bytes", "list_sub", "i32_3", "f32_3", "f64_sub_3", "f64_noncontig_3"),
                      bad_sequence=NUMPY_ERROR),
    "element3i": _kind(("bytes", "i32_3"), bad_sequence=NUMPY_ERROR),
    "element2": _kind((), bad_sequence=NUMPY_ERROR),
    # a count or a position: the integer rule at 64 bits
    "index": _kind(_INTS + ("int32_over",), huge=(OverflowError, IndexError), giant=(OverflowError, IndexError),
                   raising_index=ValueError),
    "number_sequence": _kind(("bytes", "list_sub")),
}
KINDS["str"] = _kind(("str",))
KINDS["mesh_or_none"] = _kind(("none",))
KINDS["estimation_or_none"] = _kind(("none",))
KINDS["criteria_or_none"] = _kind(("none",))
# a Voxel index: an int32 array or a sequence of ints; any count but 3 gives (0, 0, 0)
KINDS["vector3i_or_none"] = _kind(("none", "bytes", "i32_3", "f64_empty", "f64_empty_2d"), bad_sequence=NUMPY_ERROR)
KINDS["uint64"] = _kind(("true", "int_sub", "np_int", "int32_over"), neg=OverflowError, huge=OverflowError,
                        giant=OverflowError, raising_index=ValueError)
KINDS["vector3d_vector"] = _kind(())
KINDS["path"] = KINDS["str"]  # a str, or os.fspath of the value giving a str
KINDS["search_param_or_none"] = _kind(("none",))
KINDS["matrix4_or_none"] = dict(KINDS["matrix4"], none=OK)
KINDS["feature"] = _kind(("feature",))
KINDS["bytes"] = _kind(("bytes",))
# (n, 2) int32 rule: as rows3 with two columns; fractions cast by NumPy
KINDS["rows2i"] = dict(KINDS["rows3"], rows=TypeError, f64_empty_2d=TypeError, f64_noncontig_33=TypeError,
                       f64_inf_33=TypeError)
KINDS["int_sequence"] = dict(KINDS["number_sequence"], list_sub=TypeError)
KINDS["index_or_none"] = dict(KINDS["index"], none=OK)
KINDS["rows3_or_none"] = dict(KINDS["rows3"], none=OK)
KINDS["bool_or_none"] = dict(KINDS["bool"], none=OK)


# ---- targets -----------------------------------------------------------------------------------

def _mesh():
    mesh = geometry.TriangleMesh()
    mesh.vertices = np.array([[0.0, 0.0, 0.0], [1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]])
    mesh.triangles = np.array([[0, 1, 2], [0, 1, 3]], dtype=np.int32)
    return mesh


def _box():
    return geometry.AxisAlignedBoundingBox([0, 0, 0], [1, 2, 3])


def _cloud():
    pc = geometry.PointCloud()
    pc.points = np.array([[0.0, 0.0, 0.0], [1.0, 2.0, 3.0], [-1.0, 0.5, 2.0]])
    pc.normals = np.array([[0.0, 0.0, 1.0]] * 3)
    pc.colors = np.array([[0.1, 0.2, 0.3]] * 3)
    return pc


def _tree():
    return geometry.KDTreeFlann(_cloud())


def _feature():
    f = registration.Feature()
    f.data = np.arange(6.0).reshape(2, 3)
    return f


def _v3d():
    return utility.Vector3dVector(np.arange(9.0).reshape(3, 3))


def _v3i():
    return utility.Vector3iVector(np.arange(9, dtype=np.int32).reshape(3, 3))


def _v2d():
    return utility.Vector2dVector(np.arange(6.0).reshape(3, 2))


def _v2i():
    return utility.Vector2iVector(np.arange(6, dtype=np.int32).reshape(3, 2))


def _v4i():
    return utility.Vector4iVector(np.arange(12, dtype=np.int32).reshape(3, 4))


def _points_view():
    return _cloud().points


def _dv():
    return utility.DoubleVector([1.0, 2.0, 3.0])


def _iv():
    return utility.IntVector([1, 2, 3])


def _value_state(v):
    if isinstance(v, np.ndarray):
        return v.shape, v.dtype.str, v.tobytes()
    if hasattr(v, "__array__") and not isinstance(v, (utility.DoubleVector, utility.IntVector)):
        return _value_state(np.asarray(v))
    return repr(v)


def _snapshot(obj):
    """Everything observable about `obj`'s contents, as plain bytes and values: its repr and the
    value of every attribute of its class (arrays and views by their bytes)."""
    if isinstance(obj, geometry.KDTreeFlann):
        probe = ([0.1, 0.2, 0.3], 10)
        return repr(obj.search_knn_vector_3d(*probe)), repr(obj.search_knn_vector_xd(np.zeros(2), 5))
    if obj is None or isinstance(obj, utility.VerbosityContextManager):
        return repr(utility.get_verbosity_level())
    if isinstance(obj, (utility.Matrix3dVector, utility.Matrix4dVector)):
        return [m.tobytes() for m in obj]
    state = [_value_state(obj)]
    for cls in type(obj).__mro__:
        for name, attr in vars(cls).items():
            if type(attr).__name__ == "getset_descriptor" and not name.startswith("__"):
                state.append((name, _value_state(getattr(obj, name))))
    return state


def _arg_snapshot(value):
    if isinstance(value, np.ndarray):
        return value.shape, value.tobytes()
    if isinstance(value, list):
        return repr(value)
    return None


class Row:
    def __init__(self, name, make, call, kind, **overrides):
        self.name, self.make, self.call = name, make, call
        self.outcome = dict(KINDS[kind])
        self.outcome.update(overrides)


def _none():
    return None


def _set(attr):
    def call(obj, v):
        setattr(obj, attr, v)
    return call


# Hostile values that an accepted conversion still turns into a data error of the entry point.
_SHORT_INDEX = {"neg": IndexError, "int32_over": IndexError}

ENTRY_POINTS = [
    # PointCloud
    Row("PointCloud(other)", _cloud, lambda pc, v: pc.__init__(v), "cloud_or_none"),
    Row("PointCloud.points=", _cloud, _set("points"), "rows3"),
    Row("PointCloud.normals=", _cloud, _set("normals"), "rows3"),
    Row("PointCloud.colors=", _cloud, _set("colors"), "rows3"),
    Row("PointCloud.transform", _cloud, lambda pc, v: pc.transform(v), "matrix4"),
    Row("PointCloud.translate(translation)", _cloud, lambda pc, v: pc.translate(v), "vector3"),
    Row("PointCloud.translate(relative)", _cloud, lambda pc, v: pc.translate([1, 2, 3], v), "bool"),
    Row("PointCloud.scale(scale)", _cloud, lambda pc, v: pc.scale(v, [0, 0, 0]), "float"),
    Row("PointCloud.scale(center)", _cloud, lambda pc, v: pc.scale(2.0, v), "vector3"),
    Row("PointCloud.rotate(r)", _cloud, lambda pc, v: pc.rotate(v), "matrix3"),
    Row("PointCloud.rotate(center)", _cloud, lambda pc, v: pc.rotate(np.eye(3), v), "vector3_or_none"),
    Row("PointCloud.paint_uniform_color", _cloud, lambda pc, v: pc.paint_uniform_color(v), "vector3"),
    # views on a cloud's arrays
    Row("points.append", _points_view, lambda c, v: c.append(v), "element3"),
    Row("points.insert(idx)", _points_view, lambda c, v: c.insert(v, [0, 0, 0]), "index"),
    Row("points.extend", _points_view, lambda c, v: c.extend(v), "rows3"),
    Row("points[i]", _points_view, lambda c, v: c[v], "index", **_SHORT_INDEX),
    Row("points[i]=", _points_view, lambda c, v: c.__setitem__(v, [1, 1, 1]), "index", **_SHORT_INDEX),
    Row("points[0]=value", _points_view, lambda c, v: c.__setitem__(0, v), "element3"),
    Row("points.pop", _points_view, lambda c, v: c.pop(v), "index_or_none", **_SHORT_INDEX),
    # the cloud holds (1, 2, 3); other values match nothing ("value not found")
    Row("points.remove", _points_view, lambda c, v: c.remove(v), "element3", bytes=TypeError, list_sub=TypeError,
        f64_sub_3=TypeError, f64_noncontig_3=TypeError, f64_empty=TypeError, f64_nan_4=TypeError),
    Row("points.count", _points_view, lambda c, v: c.count(v), "element3", f64_empty=OK, f64_nan_4=OK,
        f64_empty_2d=OK),
    # free-standing vector containers
    Row("Vector3dVector(arg)", _v3d, lambda c, v: c.__init__(v), "rows3_or_none"),
    Row("Vector3dVector.append", _v3d, lambda c, v: c.append(v), "element3"),
    Row("Vector3dVector.extend", _v3d, lambda c, v: c.extend(v), "rows3"),
    Row("Vector3iVector.append", _v3i, lambda c, v: c.append(v), "element3i"),
    Row("Vector3iVector.extend", _v3i, lambda c, v: c.extend(v), "rows3", rows=OK, i32_3=TypeError),
    Row("Vector3iVector[0]=value", _v3i, lambda c, v: c.__setitem__(0, v), "element3i"),
    Row("Vector2dVector.append", _v2d, lambda c, v: c.append(v), "element2"),
    Row("Vector2dVector.extend", _v2d, lambda c, v: c.extend(v), "rows3", rows=TypeError, f64_empty_2d=TypeError,
        f64_noncontig_33=TypeError, f64_inf_33=TypeError),
    Row("Vector2iVector.insert(idx)", _v2i, lambda c, v: c.insert(v, [0, 0]), "index"),
    Row("Vector2iVector.append", _v2i, lambda c, v: c.append(v), "element2"),
    Row("Vector4iVector.append", _v4i, lambda c, v: c.append(v), "element2"),
    Row("Vector4iVector.pop", _v4i, lambda c, v: c.pop(v), "index_or_none", **_SHORT_INDEX),
    # scalar containers
    Row("DoubleVector(arg)", _dv, lambda c, v: c.__init__(v), "number_sequence", none=OK),
    Row("DoubleVector.append", _dv, lambda c, v: c.append(v), "float"),
    Row("DoubleVector.insert(idx)", _dv, lambda c, v: c.insert(v, 0.0), "index"),
    Row("DoubleVector[i]", _dv, lambda c, v: c[v], "index", **_SHORT_INDEX),
    Row("DoubleVector[0]=value", _dv, lambda c, v: c.__setitem__(0, v), "float"),
    Row("DoubleVector.count", _dv, lambda c, v: c.count(v), "float"),
    Row("IntVector(arg)", _iv, lambda c, v: c.__init__(v), "int_sequence", none=OK),
    Row("IntVector.append", _iv, lambda c, v: c.append(v), "int32"),
    Row("IntVector.remove", _iv, lambda c, v: c.remove(v), "int32", neg=TypeError),
    Row("IntVector.pop", _iv, lambda c, v: c.pop(v), "index_or_none", **_SHORT_INDEX),
    # matrix containers
    Row("Matrix3dVector(arg)", utility.Matrix3dVector, lambda c, v: c.__init__(v), "bool_or_none", true=TypeError),
    Row("Matrix4dVector[i]", utility.Matrix4dVector, lambda c, v: c[v], "index", neg=IndexError, true=IndexError,
        int_sub=IndexError, np_int=IndexError, int32_over=IndexError),
    # KD-tree and search parameters
    Row("KDTreeFlann(data)", _tree, lambda t, v: t.__init__(v), "tree_data"),
    Row("KDTreeFlann.set_geometry", _tree, lambda t, v: t.set_geometry(v), "cloud"),
    Row("KDTreeFlann.set_feature", _tree, lambda t, v: t.set_feature(v), "feature"),
    Row("KDTreeFlann.set_matrix_data", _tree, lambda t, v: t.set_matrix_data(v), "matrix"),
    Row("KDTreeFlann.search_knn_vector_3d(query)", _tree, lambda t, v: t.search_knn_vector_3d(v, 2), "vector3"),
    Row("KDTreeFlann.search_knn_vector_3d(knn)", _tree, lambda t, v: t.search_knn_vector_3d([0, 0, 0], v), "int32"),
    Row("KDTreeFlann.search_radius_vector_3d(radius)", _tree,
        lambda t, v: t.search_radius_vector_3d([0, 0, 0], v), "float"),
    Row("KDTreeFlann.search_hybrid_vector_3d(radius)", _tree,
        lambda t, v: t.search_hybrid_vector_3d([0, 0, 0], v, 2), "float"),
    Row("KDTreeFlann.search_hybrid_vector_3d(max_nn)", _tree,
        lambda t, v: t.search_hybrid_vector_3d([0, 0, 0], 1.0, v), "int32"),
    Row("KDTreeFlann.search_vector_3d(search_param)", _tree, lambda t, v: t.search_vector_3d([0, 0, 0], v),
        "search_param"),
    Row("KDTreeFlann.search_knn_vector_xd(query)", _tree, lambda t, v: t.search_knn_vector_xd(v, 2), "query_xd"),
    Row("KDTreeFlann.search_radius_vector_xd(query)", _tree, lambda t, v: t.search_radius_vector_xd(v, 1.0),
        "query_xd"),
    Row("KDTreeFlann.search_vector_xd(query)", _tree,
        lambda t, v: t.search_vector_xd(v, geometry.KDTreeSearchParamKNN(3)), "query_xd"),
    Row("KDTreeSearchParamKNN(knn)", geometry.KDTreeSearchParamKNN, lambda p, v: p.__init__(v), "int32"),
    Row("KDTreeSearchParamKNN.knn=", geometry.KDTreeSearchParamKNN, _set("knn"), "int32"),
    Row("KDTreeSearchParamRadius(radius)", lambda: geometry.KDTreeSearchParamRadius(1.0),
        lambda p, v: p.__init__(v), "float"),
    Row("KDTreeSearchParamRadius.radius=", lambda: geometry.KDTreeSearchParamRadius(1.0), _set("radius"), "float"),
    Row("KDTreeSearchParamHybrid(max_nn)", lambda: geometry.KDTreeSearchParamHybrid(1.0, 5),
        lambda p, v: p.__init__(1.0, v), "int32"),
    # Feature
    Row("Feature(other)", _feature, lambda f, v: f.__init__(v), "feature_or_none"),
    Row("Feature.resize(dim)", _feature, lambda f, v: f.resize(v, 2), "int32", neg=ValueError),
    Row("Feature.resize(n)", _feature, lambda f, v: f.resize(2, v), "int32", neg=ValueError),
    Row("Feature.data=", _feature, _set("data"), "matrix"),
    # normals, down-sampling and orientation
    Row("PointCloud.estimate_normals", _cloud, lambda pc, v: pc.estimate_normals(v), "search_param_or_none"),
    Row("PointCloud.estimate_normals(fast)", _cloud, lambda pc, v: pc.estimate_normals(None, v), "bool"),
    Row("PointCloud.voxel_down_sample", _cloud, lambda pc, v: pc.voxel_down_sample(v), "float", neg=RuntimeError,
        inf=RuntimeError, nan=RuntimeError),
    Row("PointCloud.orient_normals_to_align_with_direction", _cloud,
        lambda pc, v: pc.orient_normals_to_align_with_direction(v), "vector3_or_none"),
    Row("PointCloud.orient_normals_towards_camera_location", _cloud,
        lambda pc, v: pc.orient_normals_towards_camera_location(v), "vector3_or_none"),
    Row("PointCloud.orient_normals_consistent_tangent_plane(k)", _cloud,
        lambda pc, v: pc.orient_normals_consistent_tangent_plane(v), "uint64"),
    Row("PointCloud.orient_normals_consistent_tangent_plane(lambda)", _cloud,
        lambda pc, v: pc.orient_normals_consistent_tangent_plane(3, v), "float"),
    # meshes, boxes, voxel grids
    Row("TriangleMesh.vertices=", _mesh, _set("vertices"), "rows3"),
    Row("TriangleMesh.triangles=", _mesh, _set("triangles"), "rows3"),
    Row("TriangleMesh.compute_vertex_normals", _mesh, lambda m, v: m.compute_vertex_normals(v), "bool"),
    Row("TriangleMesh.translate", _mesh, lambda m, v: m.translate(v), "vector3"),
    Row("TriangleMesh(other)", _mesh, lambda m, v: m.__init__(v), "mesh_or_none"),
    Row("AxisAlignedBoundingBox(min_bound)", _box, lambda b, v: b.__init__(v, [1, 1, 1]), "vector3_or_none"),
    Row("AxisAlignedBoundingBox.get_point_indices_within_bounding_box", _box,
        lambda b, v: b.get_point_indices_within_bounding_box(v), "vector3d_vector"),
    Row("AxisAlignedBoundingBox.create_from_points", _none,
        lambda _, v: geometry.AxisAlignedBoundingBox.create_from_points(v), "vector3d_vector"),
    Row("AxisAlignedBoundingBox.scale", _box, lambda b, v: b.scale(v, [0, 0, 0]), "float"),
    Row("VoxelGrid.create_from_point_cloud(input)", _none,
        lambda _, v: geometry.VoxelGrid.create_from_point_cloud(v, 0.5), "cloud"),
    Row("VoxelGrid.create_from_point_cloud(voxel_size)", _none,
        lambda _, v: geometry.VoxelGrid.create_from_point_cloud(_cloud(), v), "float", neg=RuntimeError,
        inf=RuntimeError, nan=RuntimeError),
    Row("Voxel(grid_index)", _none, lambda _, v: geometry.Voxel(v), "vector3i_or_none"),
    # file and byte-string input/output
    Row("read_point_cloud(filename)", _none, lambda _, v: pybind.io.read_point_cloud(v), "path"),
    Row("read_point_cloud(format)", _none, lambda _, v: pybind.io.read_point_cloud("missing.xyz", v), "str"),
    Row("read_point_cloud(remove_nan_points)", _none,
        lambda _, v: pybind.io.read_point_cloud("missing.xyz", remove_nan_points=v), "bool"),
    Row("read_point_cloud_from_bytes", _none, lambda _, v: pybind.io.read_point_cloud_from_bytes(v), "bytes"),
    Row("write_point_cloud(pointcloud)", _none, lambda _, v: pybind.io.write_point_cloud("none", v), "cloud"),
    Row("write_point_cloud_to_bytes(format)", _cloud,
        lambda pc, v: pybind.io.write_point_cloud_to_bytes(pc, v), "str", str=ValueError),
    Row("read_file_geometry_type", _none, lambda _, v: pybind.io.read_file_geometry_type(v), "path"),
    Row("read_triangle_mesh", _none, lambda _, v: pybind.io.read_triangle_mesh(v), "path"),
    # registration
    Row("evaluate_registration(distance)", _cloud,
        lambda pc, v: registration.evaluate_registration(pc, _cloud(), v), "float"),
    Row("evaluate_registration(transformation)", _cloud,
        lambda pc, v: registration.evaluate_registration(pc, _cloud(), 0.5, v), "matrix4_or_none"),
    Row("registration_icp(distance)", _cloud, lambda pc, v: registration.registration_icp(pc, _cloud(), v),
        "float", neg=RuntimeError, inf=RuntimeError, nan=RuntimeError),
    Row("registration_icp(source)", _cloud, lambda pc, v: registration.registration_icp(v, pc, 0.5), "cloud"),
    Row("registration_icp(init)", _cloud, lambda pc, v: registration.registration_icp(pc, _cloud(), 0.5, v),
        "matrix4_or_none"),
    Row("registration_icp(estimation_method)", _cloud,
        lambda pc, v: registration.registration_icp(pc, _cloud(), 0.5, None, v), "estimation_or_none"),
    Row("registration_icp(criteria)", _cloud,
        lambda pc, v: registration.registration_icp(pc, _cloud(), 0.5, None, None, v), "criteria_or_none"),
    Row("get_information_matrix_from_point_clouds", _cloud,
        lambda pc, v: registration.get_information_matrix_from_point_clouds(pc, _cloud(), 0.5, v), "matrix4"),
    Row("compute_fpfh_feature(search_param)", _cloud, lambda pc, v: registration.compute_fpfh_feature(pc, v),
        "search_param"),
    Row("correspondences_from_features", _feature,
        lambda f, v: registration.correspondences_from_features(f, v), "feature"),
    Row("TransformationEstimation.compute_rmse(corres)", _cloud,
        lambda pc, v: registration.TransformationEstimationPointToPoint().compute_rmse(pc, _cloud(), v), "rows2i"),
    Row("TransformationEstimationPointToPoint(with_scaling)", registration.TransformationEstimationPointToPoint,
        lambda e, v: e.__init__(v), "bool"),
    Row("RegistrationResult.transformation=", registration.RegistrationResult, _set("transformation"), "matrix4"),
    Row("RegistrationResult.correspondence_set=", registration.RegistrationResult, _set("correspondence_set"),
        "rows2i"),
    Row("RegistrationResult.fitness=", registration.RegistrationResult, _set("fitness"), "float"),
    Row("ICPConvergenceCriteria(max_iteration)", registration.ICPConvergenceCriteria,
        lambda c, v: c.__init__(1e-6, 1e-6, v), "int32"),
    Row("ICPConvergenceCriteria.relative_rmse=", registration.ICPConvergenceCriteria, _set("relative_rmse"), "float"),
    Row("RANSACConvergenceCriteria(confidence)", registration.RANSACConvergenceCriteria,
        lambda c, v: c.__init__(1000, v), "float"),
    Row("CorrespondenceCheckerBasedOnDistance(distance_threshold)",
        lambda: registration.CorrespondenceCheckerBasedOnDistance(0.5), lambda c, v: c.__init__(v), "float"),
    Row("utility.random.seed", _none, lambda _, v: utility.random.seed(v), "int32"),
    # rotations and verbosity (no target object)
    Row("get_rotation_matrix_from_xyz", _none, lambda _, v: geometry.get_rotation_matrix_from_xyz(v), "vector3"),
    Row("get_rotation_matrix_from_axis_angle", _none,
        lambda _, v: geometry.get_rotation_matrix_from_axis_angle(v), "vector3"),
    Row("get_rotation_matrix_from_quaternion", _none,
        lambda _, v: geometry.get_rotation_matrix_from_quaternion(v), "vector4", f64_nan_4=ValueError),
    Row("set_verbosity_level", _none, lambda _, v: utility.set_verbosity_level(v), "verbosity", neg=OK),
    Row("VerbosityContextManager(level)", _none, lambda _, v: utility.VerbosityContextManager(v), "verbosity"),
]

# Index conversions of the element containers, on three-element targets: accepted integers
# other than 0..2 are out of range.
for row in ENTRY_POINTS:
    if row.name.endswith(("[i]", ".pop", "[i]=")):
        row.outcome.update({k: IndexError for k in ("neg", "int32_over")})


@pytest.fixture
def verbosity_restored():
    saved = utility.get_verbosity_level()
    yield
    utility.set_verbosity_level(saved)


def _mismatch(row, hostile):
    """Makes one hostile call; returns what went wrong, or None."""
    target = row.make()
    value = HOSTILE[hostile]()
    before, arg_before = _snapshot(target), _arg_snapshot(value)
    expected = row.outcome[hostile]
    try:
        with np.errstate(all="ignore"):  # NumPy's own casts of NaN and inf to integers
            row.call(target, value)
    except Exception as e:
        if expected is OK or not isinstance(e, expected):
            return f"{hostile}: raised {type(e).__name__}: {e}; expected {expected or 'success'}"
        if _snapshot(target) != before:
            return f"{hostile}: the failed call changed its object"
    else:
        if expected is not OK:
            return f"{hostile}: succeeded; expected {expected}"
    if _arg_snapshot(value) != arg_before:
        return f"{hostile}: the call changed its argument"
    return None


# One test per entry point, each making every hostile call (PanicException, a BaseException,
# is not caught and fails the test on its own).
@pytest.mark.parametrize("row", ENTRY_POINTS, ids=lambda row: row.name)
def test_hostile_arguments(row, verbosity_restored):
    mismatches = [m for hostile in HOSTILE if (m := _mismatch(row, hostile))]
    assert not mismatches, "\n".join(mismatches)


# ---- argument binding, for every method found in the module tree ----------------------------------

# Instances for classes that cannot be made without arguments (others are made by calling the
# class with none). A class with no Python constructor has no instance methods to call.
INSTANCES = {
    geometry.KDTreeSearchParam: geometry.KDTreeSearchParamKNN,
    geometry.KDTreeSearchParamRadius: lambda: geometry.KDTreeSearchParamRadius(1.0),
    geometry.KDTreeSearchParamHybrid: lambda: geometry.KDTreeSearchParamHybrid(1.0, 5),
    geometry.PointCloud: _cloud,
    geometry.KDTreeFlann: _tree,
    registration.Feature: _feature,
    utility.VerbosityContextManager: lambda: utility.VerbosityContextManager(utility.VerbosityLevel.Info),
    registration.TransformationEstimation: registration.TransformationEstimationPointToPoint,
    registration.CorrespondenceChecker: registration.CorrespondenceCheckerBasedOnEdgeLength,
    registration.CorrespondenceCheckerBasedOnDistance: lambda: registration.CorrespondenceCheckerBasedOnDistance(0.5),
    registration.CorrespondenceCheckerBasedOnNormal: lambda: registration.CorrespondenceCheckerBasedOnNormal(0.5),
}
_MODULES = (geometry, utility, utility.random, pybind.io, registration)


def _bound_callables():
    """(name, make target, callable taking the target, parameter count) for every function and
    method that carries a text signature."""
    found = []
    for module in _MODULES:
        for attr_name in sorted(vars(module)):
            attr = getattr(module, attr_name)
            if isinstance(attr, type) and attr.__module__.startswith("nubiro."):
                for name, member in sorted(vars(attr).items()):
                    if type(member).__name__ not in ("method_descriptor", "staticmethod"):
                        continue
                    if isinstance(member, staticmethod):
                        found.append((f"{attr.__name__}.{name}", _none, lambda _, f=member.__func__: f, member.__func__))
                        continue
                    make = INSTANCES.get(attr, attr)
                    found.append((f"{attr.__name__}.{name}", make, lambda obj, n=name: getattr(obj, n), member))
            elif type(attr).__name__ == "builtin_function_or_method":
                found.append((f"{module.__name__}.{attr_name}", _none, lambda _, f=attr: f, attr))
    return [pytest.param(make, get, _parameter_count(member), id=name) for name, make, get, member in found]


def _parameter_count(member):
    text = member.__text_signature__.strip("()")
    params = [p.strip() for p in text.split(",") if p.strip() and not p.strip().startswith("$")]
    return len(params)


@pytest.mark.parametrize("make, get, nparams", _bound_callables())
def test_argument_binding_errors(make, get, nparams, verbosity_restored):
    """A surplus positional argument or an unknown keyword is refused before anything changes."""
    target = make()
    before = _snapshot(target)
    with pytest.raises(TypeError, match="positional argument"):
        get(target)(*[object()] * (nparams + 1))
    with pytest.raises(TypeError, match="unexpected keyword argument 'no_such_parameter'"):
        get(target)(no_such_parameter=object())
    assert _snapshot(target) == before


# ---- arguments whose conversion calls back into the target ------------------------------------

class _Reentrant:
    """A number, index, sequence and array-like whose every conversion first runs `hook`."""

    def __init__(self, hook):
        self.hook = hook

    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i >= 3:
            raise IndexError(i)
        self.hook()
        return 1.0

    def __float__(self):
        self.hook()
        return 1.0

    def __index__(self):
        self.hook()
        return 0

    def __array__(self, dtype=None, copy=None):
        self.hook()
        return np.zeros((1, 3))


# (call, outcome): the hook empties the target while its argument is being converted. The call
# then either works on the emptied target or fails with its documented error; it never reads
# storage that the hook freed (the sanitizer run checks that too).
REENTRANT = {
    "points=": (lambda pc, dv: setattr(pc, "points", _Reentrant(pc.clear)), RuntimeError),
    "translate": (lambda pc, dv: pc.translate(_Reentrant(pc.clear)), OK),
    "scale": (lambda pc, dv: pc.scale(_Reentrant(pc.clear), [0, 0, 0]), OK),
    "points.append": (lambda pc, dv: pc.points.append(_Reentrant(pc.points.clear)), OK),
    "points.extend": (lambda pc, dv: pc.points.extend(_Reentrant(pc.clear)), OK),
    "points.insert": (lambda pc, dv: pc.points.insert(_Reentrant(pc.points.clear), [1, 2, 3]), OK),
    "points.count": (lambda pc, dv: pc.points.count(_Reentrant(pc.points.clear)), OK),
    "points.remove": (lambda pc, dv: pc.points.remove(_Reentrant(pc.points.clear)), TypeError),
    "points[i]": (lambda pc, dv: pc.points[_Reentrant(pc.points.clear)], IndexError),
    "points[i]=": (lambda pc, dv: pc.points.__setitem__(_Reentrant(pc.points.clear), [1, 2, 3]), IndexError),
    "points.pop": (lambda pc, dv: pc.points.pop(_Reentrant(pc.points.clear)), IndexError),
    "DoubleVector.append": (lambda pc, dv: dv.append(_Reentrant(dv.clear)), OK),
    "DoubleVector[i]=": (lambda pc, dv: dv.__setitem__(_Reentrant(dv.clear), 1.0), IndexError),
    "DoubleVector.remove": (lambda pc, dv: dv.remove(_Reentrant(dv.clear)), TypeError),
    "DoubleVector.extend": (lambda pc, dv: dv.extend([_Reentrant(dv.clear)]), OK),
    "KDTreeFlann query": (lambda pc, dv: _tree_reset_during_query(), OK),
}


def _tree_reset_during_query():
    tree = _tree()
    count, _, _ = tree.search_knn_vector_3d([0, 0, 0], _Reentrant(tree.__init__))
    assert count == -1  # the query ran on the tree as it was after the hook emptied it


@pytest.mark.parametrize("call, outcome", REENTRANT.values(), ids=REENTRANT.keys())
def test_conversion_that_reenters_the_target(call, outcome):
    pc, dv = _cloud(), _dv()
    if outcome is OK:
        call(pc, dv)
    else:
        with pytest.raises(outcome):
            call(pc, dv)
    # the objects stay whole and usable
    assert len(np.asarray(pc.points)) == len(pc.points) and repr(dv).startswith("DoubleVector[")
    pc.points.append([0, 0, 0])
    dv.append(0.0)
