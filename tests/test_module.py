"""Package tree, class registry, argument conversion, failure mapping, enumerations,
verbosity, access discipline and the worker pool."""
import copy
import ctypes
import importlib
import inspect
import json
import operator
import os
import sys
import types
import weakref

import numpy as np
import pytest

import nubiro
from nubiro.cpu import pybind
from nubiro.cpu.pybind import geometry, utility

PC = geometry.PointCloud
ROOT = "nubiro.cpu.pybind"

# ---- package tree ---------------------------------------------------------------------------

SUBMODULES = [
    ("geometry", "geometry"),
    ("utility", "utility"),
    ("utility.random", "random"),
    ("io", "io"),
    ("pipelines", "pipelines"),
    ("pipelines.registration", "registration"),
]


@pytest.mark.parametrize("path, short", SUBMODULES)
def test_submodule_is_attribute_and_importable_by_dotted_name(path, short):
    by_attribute = pybind
    for part in path.split("."):
        by_attribute = getattr(by_attribute, part)
    full = f"{ROOT}.{path}"
    assert sys.modules[full] is by_attribute
    assert importlib.import_module(full) is by_attribute
    assert by_attribute.__name__ == short


def test_version_and_reexports():
    assert pybind.__version__ == "2.1.0"
    assert nubiro.geometry is geometry and nubiro.PanicException is pybind.PanicException


def test_second_initialisation_is_refused():
    init = ctypes.PyDLL(pybind.__file__).PyInit_pybind
    init.restype = ctypes.py_object
    with pytest.raises(ImportError):
        init()


ROTATIONS = ["xyz", "xzy", "yxz", "yzx", "zxy", "zyx", "axis_angle", "quaternion"]


@pytest.mark.parametrize("suffix", ROTATIONS)
def test_rotation_functions_are_the_static_methods(suffix):
    name = f"get_rotation_matrix_from_{suffix}"
    fn = getattr(geometry, name)
    assert fn is getattr(geometry.Geometry3D, name)
    assert getattr(PC, name) is fn and getattr(PC(), name) is fn
    assert str(inspect.signature(fn)) == "(rotation)"


# ---- class registry -------------------------------------------------------------------------

CONTAINERS = ["DoubleVector", "IntVector", "Vector2dVector", "Vector2iVector", "Vector3dVector",
              "Vector3iVector", "Vector4iVector", "Matrix3dVector", "Matrix4dVector"]
REGISTRY = [
    # name, submodule, base, subclassable, constructor signature (None: no constructor)
    ("Geometry", "geometry", "object", True, None),
    ("Geometry3D", "geometry", "Geometry", True, None),
    ("Geometry2D", "geometry", "Geometry", True, None),
    ("MeshBase", "geometry", "Geometry3D", True, None),
    ("PointCloud", "geometry", "Geometry3D", True, "(other=None)"),
    ("GeometryType", "geometry", "object", False, None),
    ("VerbosityLevel", "utility", "object", False, None),
    ("VerbosityContextManager", "utility", "object", False, "(level)"),
    ("KDTreeFlann", "geometry", "object", False, "(data=None)"),
    ("KDTreeSearchParam", "geometry", "object", True, None),
    ("KDTreeSearchParamKNN", "geometry", "KDTreeSearchParam", False, "(knn=30)"),
    ("KDTreeSearchParamRadius", "geometry", "KDTreeSearchParam", False, "(radius)"),
    ("KDTreeSearchParamHybrid", "geometry", "KDTreeSearchParam", False, "(radius, max_nn)"),
    ("TriangleMesh", "geometry", "MeshBase", False, "(other=None)"),
    ("AxisAlignedBoundingBox", "geometry", "Geometry3D", False, "(min_bound=None, max_bound=None)"),
    ("VoxelGrid", "geometry", "Geometry3D", False, "()"),
    ("Voxel", "geometry", "object", False, "(grid_index=None, color=None)"),
    ("Feature", "pipelines.registration", "object", False, "(other=None)"),
] + [(name, "utility", "object", False, "(arg=None)") for name in CONTAINERS]
# Members that carry a docstring of their own; every other member's is empty.
DOCUMENTED = {"__array__", "orient_normals_to_align_with_direction", "orient_normals_towards_camera_location",
              "orient_normals_consistent_tangent_plane"}


@pytest.mark.parametrize("name, submodule, base, subclassable, constructor", REGISTRY)
def test_class_registry(name, submodule, base, subclassable, constructor):
    cls = pybind
    for part in [*submodule.split("."), name]:
        cls = getattr(cls, part)
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (name, name, f"{ROOT}.{submodule}")
    assert [b.__name__ for b in cls.__bases__] == [base]
    assert cls.__doc__ == ""
    # No instance __dict__ and no weak references.
    assert (cls.__dictoffset__, cls.__weakrefoffset__) == (0, 0)
    if subclassable:
        type("Sub", (cls,), {})
    else:
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
    assert cls.__text_signature__ == constructor
    if constructor is None:
        with pytest.raises(TypeError) as info:
            cls()
        assert str(info.value) == f"No constructor defined for {name}"
    else:
        assert str(inspect.signature(cls)) == constructor
    for attr, member in vars(cls).items():
        if attr == "__new__":  # the interpreter's wrapper
            continue
        if isinstance(member, staticmethod):
            member = member.__func__
        if isinstance(member, (types.MethodDescriptorType, types.GetSetDescriptorType, types.BuiltinFunctionType)):
            assert attr in DOCUMENTED or not member.__doc__, attr


@pytest.mark.parametrize("make", [PC, utility.Vector3dVector, utility.DoubleVector,
                                  lambda: geometry.Geometry.PointCloud, lambda: utility.VerbosityContextManager(1)],
                         ids=["PointCloud", "Vector3dVector", "DoubleVector", "GeometryType", "VerbosityContextManager"])
def test_instances_take_no_extra_attributes_or_weak_references(make):
    obj = make()
    with pytest.raises(AttributeError):
        obj.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)


def test_python_subclass_of_abstract_base_has_no_constructor():
    sub = type("Sub", (geometry.Geometry3D,), {})
    with pytest.raises(TypeError, match="^No constructor defined for "):
        sub()


def test_point_cloud_subclass_instances_and_copies():
    class Sub(PC):
        pass

    source = PC()
    source.points = [[1, 2, 3]]
    s = Sub(source)
    assert type(s) is Sub and isinstance(s, geometry.Geometry3D)
    assert np.asarray(s.points).tolist() == [[1, 2, 3]]
    for c in (copy.copy(s), copy.deepcopy(s), s.__copy__(), s.__deepcopy__(None)):
        assert type(c) is PC and np.asarray(c.points).tolist() == [[1, 2, 3]]
    assert type(PC(s)) is PC


def test_geometry_class_attributes():
    g = geometry.Geometry
    assert g.Type is geometry.GeometryType
    for name, value in [("Unspecified", 0), ("PointCloud", 1), ("VoxelGrid", 2), ("TriangleMesh", 6)]:
        member = getattr(g, name)
        assert member is getattr(g, name) is getattr(PC, name)  # created once, inherited
        assert (member.name, member.value) == (name, value)


METHOD_SIGNATURES = [
    (lambda: PC().translate, "(translation, relative=True)"),
    (lambda: PC().rotate, "(r, center=None)"),
    (lambda: PC().scale, "(scale, center)"),
    (lambda: PC().__deepcopy__, "(_memo)"),
    (lambda: utility.DoubleVector().__array__, "(dtype=None, copy=None)"),
    (lambda: utility.DoubleVector().pop, "(idx=None)"),
    (lambda: utility.VerbosityContextManager(1).__exit__, "(_t, _v, _tb)"),
    (lambda: utility.set_verbosity_level, "(verbosity_level)"),
]


@pytest.mark.parametrize("get, expected", METHOD_SIGNATURES)
def test_text_signatures(get, expected):
    assert str(inspect.signature(get())) == expected


# ---- argument binding -------------------------------------------------------------------------

BINDING = [
    (lambda: PC().translate(), "PointCloud.translate() missing 1 required positional argument: 'translation'"),
    (lambda: PC().scale(2.0), "PointCloud.scale() missing 1 required positional argument: 'center'"),
    (lambda: PC().translate([0, 0, 0], foo=1), "PointCloud.translate() got an unexpected keyword argument 'foo'"),
    (lambda: PC().translate([0, 0, 0], translation=[0, 0, 0]),
     "PointCloud.translate() got multiple values for argument 'translation'"),
    (lambda: utility.Vector3dVector().insert(0), "Vector3dVector.insert() missing 1 required positional argument: 'value'"),
    (lambda: PC().translate([0, 0, 0], True, 1), None),
    (lambda: PC().clear(1), None),
]


@pytest.mark.parametrize("call, message", BINDING)
def test_binding_messages_name_class_and_method(call, message):
    with pytest.raises(TypeError) as info:
        call()
    if message is None:  # the count wording is the interpreter's; the name is ours
        assert str(info.value).startswith(("PointCloud.translate() ", "PointCloud.clear() "))
    else:
        assert str(info.value) == message


def test_keywords_bind_by_name():
    pc = PC()
    pc.points = [[1, 1, 1]]
    assert pc.translate(relative=False, translation=[5, 5, 5]) is pc
    assert PC(other=pc).get_center().tolist() == [5, 5, 5]


# ---- argument conversion: one table for every kind ---------------------------------------------


class Err:
    """Expected failure; `arg` names the parameter for the argument-error form."""

    def __init__(self, exc, message=None, arg=None):
        self.exc, self.message, self.arg = exc, message, arg

    def __repr__(self):
        return f"{self.exc.__name__}({self.message!r}, arg={self.arg!r})"


class Index:
    def __index__(self):
        return 4


class FloatLike:
    def __float__(self):
        return 1.5


def _one(p):
    pc = PC()
    pc.points = np.array([p], dtype=np.float64)
    return pc


# Each probe passes one value through one argument kind and returns what it became.
def as_float(v):
    return _one((1.0, 1.0, 1.0)).scale(v, (0, 0, 0)).get_center()[0].item()


def as_int64(v):
    return utility.IntVector(range(10)).pop(v)


def as_int32(v):
    c = utility.IntVector()
    c.append(v)
    return c[0]


def as_bool(v):  # relative=False moves the centre onto the translation
    return _one((1, 1, 1)).translate((0, 0, 0), v).get_center().tolist()


def as_vec3(v):
    return _one((0, 0, 0)).translate(v).get_center().tolist()


def as_vec4(v):
    return geometry.get_rotation_matrix_from_quaternion(v).tolist()


def as_mat3(v):
    return _one((1, 2, 3)).rotate(v, (0, 0, 0)).get_center().tolist()


def as_mat4(v):
    return _one((1, 2, 3)).transform(v).get_center().tolist()


def as_center(v):  # None: about the cloud's own centre
    return _one((1, 2, 3)).rotate(2 * np.eye(3), v).get_center().tolist()


F64 = np.float64
P = np.array([[0, 1, 0], [0, 0, 1], [1, 0, 0]], dtype=F64)
T = np.eye(4)
T[:3, 3] = 1
I3 = np.eye(3).tolist()
NOT_CONTIGUOUS = Err(TypeError, "The given array is not contiguous")
ARRAY_TARGET = "'{}' object cannot be converted to 'PyArray<T, D>'"

CONVERSIONS = [
    # float
    (as_float, 2, 2.0),
    (as_float, np.float32(0.5), 0.5),
    (as_float, np.int64(3), 3.0),
    (as_float, Index(), 4.0),
    (as_float, FloatLike(), 1.5),
    (as_float, "2", Err(TypeError, arg="scale")),
    (as_float, None, Err(TypeError, arg="scale")),
    (as_float, [1.0], Err(TypeError, arg="scale")),
    # integer (64-bit)
    (as_int64, 2, 2),
    (as_int64, -1, 9),
    (as_int64, np.int32(2), 2),
    (as_int64, np.uint8(2), 2),
    (as_int64, Index(), 4),
    (as_int64, 2.0, Err(TypeError, arg="idx")),
    (as_int64, np.float64(2), Err(TypeError, arg="idx")),
    (as_int64, "2", Err(TypeError, arg="idx")),
    (as_int64, 2**63, Err(OverflowError)),
    (as_int64, -(2**63) - 1, Err(OverflowError)),
    # integer (32-bit)
    (as_int32, 2**31 - 1, 2**31 - 1),
    (as_int32, -(2**31), -(2**31)),
    (as_int32, np.int64(5), 5),
    (as_int32, 2**31, Err(OverflowError)),
    (as_int32, -(2**31) - 1, Err(OverflowError)),
    (as_int32, 1.5, Err(TypeError, arg="value")),
    # boolean
    (as_bool, True, [1, 1, 1]),
    (as_bool, False, [0, 0, 0]),
    (as_bool, np.bool_(False), [0, 0, 0]),
    (as_bool, np.True_, [1, 1, 1]),
    (as_bool, 1, Err(TypeError, arg="relative")),
    (as_bool, 0, Err(TypeError, arg="relative")),
    (as_bool, None, Err(TypeError, arg="relative")),  # only None-default parameters take None
    (as_bool, "yes", Err(TypeError, arg="relative")),
    # optional parameters whose default is None
    (as_center, None, [1, 2, 3]),
    (as_center, (0, 0, 0), [2, 4, 6]),
    (as_int64, None, 9),
    # 3-vector
    (as_vec3, [1, 2, 3], [1, 2, 3]),
    (as_vec3, (1, 2, 3), [1, 2, 3]),
    (as_vec3, range(1, 4), [1, 2, 3]),
    (as_vec3, np.array([1, 2, 3]), [1, 2, 3]),
    (as_vec3, np.array([1, 2, 3], dtype=np.float32), [1, 2, 3]),
    (as_vec3, np.arange(6)[::2], [0, 2, 4]),  # not float64: read as a sequence
    (as_vec3, np.array([1.0, 2, 3]), [1, 2, 3]),
    (as_vec3, np.array([[1.0], [2], [3]]), [1, 2, 3]),
    (as_vec3, np.array([[1.0, 2, 3]]), [1, 2, 3]),
    (as_vec3, np.arange(6.0)[::2], NOT_CONTIGUOUS),
    (as_vec3, np.array([1.0, 2, 3])[::-1], NOT_CONTIGUOUS),
    (as_vec3, np.eye(3)[:, 0], NOT_CONTIGUOUS),
    (as_vec3, np.zeros((2, 2)), Err(TypeError, "expected 3-vector")),
    (as_vec3, np.zeros((3, 2)), Err(TypeError, "expected 3-vector")),
    (as_vec3, [1, 2], Err(TypeError, "expected 3-vector")),
    (as_vec3, [1, 2, 3, 4], Err(TypeError, "expected 3-vector")),
    (as_vec3, "abc", Err(TypeError, "expected 3-vector")),
    (as_vec3, [1, "a", 3], Err(TypeError, "expected 3-vector")),
    (as_vec3, 5, Err(TypeError, "expected 3-vector")),
    # 4-vector
    (as_vec4, [1, 0, 0, 0], I3),
    (as_vec4, np.array([1, 0, 0, 0]), I3),
    (as_vec4, np.array([[2.0, 0], [0, 0]]), I3),
    (as_vec4, np.array([[2.0], [0], [0], [0]]), I3),
    (as_vec4, np.array([1.0, 0, 0]), Err(TypeError, "expected 4-vector")),  # never retried as a sequence
    (as_vec4, np.ones(5), Err(TypeError, "expected 4-vector")),
    (as_vec4, np.ones((4, 2))[:, 0], NOT_CONTIGUOUS),
    (as_vec4, [1, 0, 0], Err(TypeError, "expected 4-vector")),
    (as_vec4, "abcd", Err(TypeError, "expected 4-vector")),
    # 3x3 matrix
    (as_mat3, P, [2, 3, 1]),
    (as_mat3, P.T, [3, 1, 2]),
    (as_mat3, np.asfortranarray(P), [2, 3, 1]),
    (as_mat3, np.eye(6)[::2, ::2], [1, 2, 3]),
    (as_mat3, I3, Err(TypeError, ARRAY_TARGET.format("list"))),
    (as_mat3, np.eye(3, dtype=np.int64), Err(TypeError, ARRAY_TARGET.format("ndarray"))),
    (as_mat3, np.eye(3, dtype=np.float32), Err(TypeError, ARRAY_TARGET.format("ndarray"))),
    (as_mat3, np.ones(9), Err(TypeError, ARRAY_TARGET.format("ndarray"))),
    (as_mat3, np.ones((1, 3, 3)), Err(TypeError, ARRAY_TARGET.format("ndarray"))),
    (as_mat3, np.eye(4), Err(TypeError, "expected 3x3 matrix")),
    # 4x4 matrix
    (as_mat4, T, [2, 3, 4]),
    (as_mat4, np.asfortranarray(T), [2, 3, 4]),
    (as_mat4, T.tolist(), Err(TypeError, ARRAY_TARGET.format("list"))),
    (as_mat4, np.eye(3), Err(TypeError, "expected 4x4 matrix")),
]


def _id(row):
    probe, value, _ = row
    text = repr(value) if not isinstance(value, np.ndarray) else f"{value.dtype}{value.shape}{value.strides}"
    return f"{probe.__name__}-{text}"


@pytest.mark.parametrize("probe, value, expected", CONVERSIONS, ids=[_id(r) for r in CONVERSIONS])
def test_argument_conversion(probe, value, expected):
    if not isinstance(expected, Err):
        assert probe(value) == expected
        return
    with pytest.raises(expected.exc) as info:
        probe(value)
    error = info.value
    if expected.arg is None:  # bare message, no argument-name prefix
        assert error.__cause__ is None and not str(error).startswith("argument '")
        if expected.message is not None:
            assert str(error) == expected.message
    else:
        assert type(error) is TypeError and isinstance(error.__cause__, TypeError)
        assert str(error) == f"argument '{expected.arg}': {error.__cause__}"


def test_failed_conversion_leaves_the_cloud_unchanged():
    pc = _one((1, 2, 3))
    for call in (lambda: pc.translate([1, 1]), lambda: pc.translate([1, 1, 1], 1), lambda: pc.scale("x", (0, 0, 0)),
                 lambda: pc.rotate(np.eye(3), [1]), lambda: pc.transform(np.eye(3)), lambda: pc.paint_uniform_color("r")):
        with pytest.raises(TypeError):
            call()
    assert np.asarray(pc.points).tolist() == [[1, 2, 3]] and len(pc.colors) == 0


@pytest.mark.parametrize("attr", ["points", "normals", "colors"])
def test_deleting_an_attribute_is_refused(attr):
    pc = _one((1, 2, 3))
    with pytest.raises(AttributeError) as info:
        delattr(pc, attr)
    assert str(info.value) == "can't delete attribute"
    assert len(pc.points) == 1


# ---- internal faults ----------------------------------------------------------------------------


def test_panic_exception_class():
    panic = pybind.PanicException
    assert panic.__bases__ == (BaseException,) and not issubclass(panic, Exception)


def test_internal_fault_surfaces_as_panic_and_module_stays_usable():
    internal = pybind._internal
    with pytest.raises(pybind.PanicException) as info:
        try:
            internal.parallel_probe(5000, fail_at=4321)
        except Exception:  # a panic must not be caught here
            pytest.fail("PanicException was caught as an Exception")
    assert info.value.args == ("probe body failed",)
    assert internal.parallel_probe(5000) == [1] * 5000
    assert PC().translate([1, 2, 3]).is_empty()


# ---- enumerations ----------------------------------------------------------------------------------

G = geometry.Geometry
V = utility.VerbosityLevel
MEMBERS = [
    (G.Unspecified, "Unspecified", 0, "<Type.Unspecified: 0>"),
    (G.PointCloud, "PointCloud", 1, "<Type.PointCloud: 1>"),
    (G.VoxelGrid, "VoxelGrid", 2, "<Type.VoxelGrid: 2>"),
    (G.TriangleMesh, "TriangleMesh", 6, "<Type.TriangleMesh: 6>"),
    (V.Error, "Error", 0, "<VerbosityLevel.Error: 0>"),
    (V.Warning, "Warning", 1, "<VerbosityLevel.Warning: 1>"),
    (V.Info, "Info", 2, "<VerbosityLevel.Info: 2>"),
    (V.Debug, "Debug", 3, "<VerbosityLevel.Debug: 3>"),
]


@pytest.mark.parametrize("member, name, value, text", MEMBERS, ids=[m[3] for m in MEMBERS])
def test_enumeration_member(member, name, value, text):
    assert (member.name, member.value, repr(member)) == (name, value, text)
    assert int(member) == operator.index(member) == value
    assert list(range(10))[member] == value
    for attr in ("name", "value"):
        with pytest.raises(AttributeError):
            setattr(member, attr, member.name if attr == "name" else 5)
        with pytest.raises(AttributeError):
            delattr(member, attr)
    with pytest.raises(TypeError):
        member < member  # noqa: B015
    assert member == member and not member != member
    assert hash(member) != -1 and {member: 1}[member] == 1


def test_enumeration_equality_by_value_and_name_only():
    fresh = PC().get_geometry_type()
    assert fresh is not G.PointCloud and fresh == G.PointCloud and hash(fresh) == hash(G.PointCloud)
    assert fresh != G.Unspecified
    assert (G.PointCloud == 1, G.PointCloud != 1, 1 == G.PointCloud) == (False, True, False)
    assert G.PointCloud != V.Warning and V.Warning != G.PointCloud  # same value, other class
    assert G.PointCloud != "PointCloud"


def test_members_are_class_attributes_of_verbosity_level_only():
    for name in ("Unspecified", "PointCloud", "VoxelGrid", "TriangleMesh", "AxisAlignedBoundingBox"):
        assert not hasattr(geometry.GeometryType, name)
    for name in ("Error", "Warning", "Info", "Debug"):
        assert getattr(V, name) is getattr(V, name) and getattr(V, name).name == name


# ---- verbosity ------------------------------------------------------------------------------------------


def test_fresh_interpreter_reports_info(run_python):
    out = run_python("from nubiro.cpu.pybind import utility as u; print(repr(u.get_verbosity_level()))")
    assert out.strip() == "<VerbosityLevel.Info: 2>"


@pytest.mark.parametrize("level, reported", [
    (7, "Info"), (3, "Debug"), (0, "Error"), (1, "Warning"), (-1, "Info"), (2**31 - 1, "Info"), (-(2**31), "Info"),
    (V.Debug, "Debug"), (np.int32(1), "Warning"),
])
def test_set_and_get_verbosity_level(restore_verbosity, level, reported):
    assert utility.set_verbosity_level(level) is None
    got = utility.get_verbosity_level()
    assert got == getattr(V, reported) and got is not getattr(V, reported)


@pytest.mark.parametrize("value, exc", [(1.0, TypeError), ("1", TypeError), (None, TypeError),
                                        (2**31, OverflowError), (-(2**31) - 1, OverflowError)])
@pytest.mark.parametrize("call", [utility.set_verbosity_level, utility.VerbosityContextManager])
def test_verbosity_level_conversion_errors_are_bare(restore_verbosity, call, value, exc):
    utility.set_verbosity_level(V.Debug)
    with pytest.raises(exc) as info:
        call(value)
    assert info.value.__cause__ is None and not str(info.value).startswith("argument")
    assert utility.get_verbosity_level() == V.Debug


def test_verbosity_context_managers(restore_verbosity):
    get = utility.get_verbosity_level
    outer, inner = utility.VerbosityContextManager(V.Debug), utility.VerbosityContextManager(0)
    assert get() == V.Info  # constructing changes nothing
    with outer as bound:
        assert bound is None and get() == V.Debug
        with inner:
            assert get() == V.Error
        assert get() == V.Debug
    assert get() == V.Info
    with pytest.raises(KeyError):
        with outer:
            raise KeyError("propagates")
    assert get() == V.Info
    # Re-entering overwrites the saved level; __exit__ without __enter__ restores 2.
    utility.set_verbosity_level(1)
    outer.__enter__()
    outer.__enter__()
    outer.__exit__(None, None, None)
    assert get() == V.Debug
    utility.set_verbosity_level(0)
    utility.VerbosityContextManager(3).__exit__(None, None, None)
    assert get() == V.Info


def test_verbosity_module_surface():
    for name in ("Error", "Warning", "Info", "Debug"):
        assert getattr(utility, name) == getattr(V, name)
    assert utility.reset_print_function() is None
    manager = utility.VerbosityContextManager(1)
    assert repr(manager).startswith("<nubiro.cpu.pybind.utility.VerbosityContextManager object at ")
    assert not hasattr(manager, "__copy__") and not hasattr(manager, "level")


# ---- access discipline ------------------------------------------------------------------------------------

READERS = [
    lambda pc, view: pc.has_points(),
    lambda pc, view: pc.get_center(),
    lambda pc, view: repr(pc),
    lambda pc, view: pc.points,
    lambda pc, view: copy.copy(pc),
    lambda pc, view: len(view),
    lambda pc, view: view[0],
    lambda pc, view: np.asarray(view),
    lambda pc, view: view == view,
]
WRITERS = [
    lambda pc, view: pc.translate([1, 1, 1]),
    lambda pc, view: pc.clear(),
    lambda pc, view: setattr(pc, "normals", [[0, 0, 1]]),
    lambda pc, view: view.append([1, 1, 1]),
    lambda pc, view: view.__setitem__(0, [1, 1, 1]),
]


def _refused(call, message):
    with pytest.raises(RuntimeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("target", ["cloud", "view"])
def test_write_access_held_by_another_thread(held, target):
    pc = _one((1, 2, 3))
    view = pc.points
    with held(pc if target == "cloud" else view, write=True):
        for read in READERS[5:] if target == "view" else READERS:
            _refused(lambda: read(pc, view), "Already mutably borrowed")
        for write in WRITERS[3:] if target == "view" else WRITERS:
            _refused(lambda: write(pc, view), "Already borrowed")
        if target == "view":  # the cloud itself stays free
            assert pc.get_center().tolist() == [1, 2, 3] and len(pc.points) == 1
    assert np.asarray(pc.points).tolist() == [[1, 2, 3]] and len(pc.normals) == 0


def test_read_access_held_by_another_thread(held):
    pc = _one((1, 2, 3))
    view = pc.points
    with held(pc, write=False):
        for read in READERS:
            read(pc, view)
        for write in WRITERS:
            _refused(lambda: write(pc, view), "Already borrowed")
    # Access taken on the view before the owner refused it was given back.
    for write in WRITERS:
        write(pc, view)


# ---- worker pool ---------------------------------------------------------------------------------------------

POOL_SNIPPET = """
import json
from nubiro.cpu.pybind import _internal as i
out = {"counts": [i.parallel_probe(n) for n in (0, 1, 2, 7, 1000, 100003)]}
try:
    i.parallel_probe(20000, fail_at=12345)
except BaseException as e:
    out["failure"] = [type(e).__name__, str(e)]
out["after"] = i.parallel_probe(64)
print(json.dumps([i.num_threads(), out]))
"""


def test_worker_pool_covers_each_index_once_for_any_thread_count(run_python):
    runs = {n: json.loads(run_python(POOL_SNIPPET, RAYON_NUM_THREADS=n)) for n in ("1", "3")}
    assert runs["1"][0] == 1 and runs["3"][0] == 3
    assert runs["1"][1] == runs["3"][1]
    result = runs["3"][1]
    assert result["counts"] == [[1] * n for n in (0, 1, 2, 7, 1000, 100003)]
    assert result["failure"] == ["PanicException", "probe body failed"] and result["after"] == [1] * 64


@pytest.mark.parametrize("value", ["0", "3x"])
def test_worker_count_falls_back_without_a_positive_integer(run_python, value):
    threads = json.loads(run_python(POOL_SNIPPET, RAYON_NUM_THREADS=value))[0]
    assert threads == os.cpu_count()



def test_submodules_import_under_the_package_name():
    import nubiro.geometry
    from nubiro.pipelines import registration
    from nubiro.utility import random
    assert nubiro.geometry is geometry and registration is pybind.pipelines.registration
    assert random is utility.random
