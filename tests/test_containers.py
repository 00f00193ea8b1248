"""The nine list-like containers: list protocol, conversions, failures and free-standing
NumPy sharing."""
import collections.abc
import copy
import ctypes
import operator

import numpy as np
import pytest

from nubiro.cpu import pybind
from nubiro.cpu.pybind import utility as u


class Kind:
    def __init__(self, cls, k, dtype, text):
        self.cls, self.k, self.dtype, self.text = cls, k, dtype, text
        self.scalar = k == 0

    def elem(self, i):
        """Element i of the sample contents (exact in every element type)."""
        if self.scalar:
            return self.dtype(i + 1).item()
        return [i * self.k + j + 1 for j in range(self.k)]

    def make(self, n=3):
        return self.cls([self.elem(i) for i in range(n)])

    def __repr__(self):
        return self.cls.__name__


VECTOR_KINDS = [
    Kind(u.Vector2dVector, 2, np.float64, "std::vector<Eigen::Vector2d>"),
    Kind(u.Vector2iVector, 2, np.int32, "std::vector<Eigen::Vector2i>"),
    Kind(u.Vector3dVector, 3, np.float64, "std::vector<Eigen::Vector3d>"),
    Kind(u.Vector3iVector, 3, np.int32, "std::vector<Eigen::Vector3i>"),
    Kind(u.Vector4iVector, 4, np.int32, "std::vector<Eigen::Vector4i>"),
]
SCALAR_KINDS = [Kind(u.DoubleVector, 0, np.float64, "DoubleVector"), Kind(u.IntVector, 0, np.int32, "IntVector")]
LIST_KINDS = VECTOR_KINDS + SCALAR_KINDS
FLOAT_KINDS = [k for k in LIST_KINDS if k.dtype is np.float64]


def contents(v):
    return [e.tolist() if isinstance(e, np.ndarray) else e for e in v]


class Err:
    def __init__(self, exc, message=None, arg=None):
        self.exc, self.message, self.arg = exc, message, arg

    def check(self, call):
        with pytest.raises(self.exc) as info:
            call()
        error = info.value
        if self.arg is not None:
            assert isinstance(error.__cause__, TypeError)
            assert str(error) == f"argument '{self.arg}': {error.__cause__}"
            if self.message is not None:
                assert str(error.__cause__) == self.message
        else:
            assert not str(error).startswith("argument '")
            if self.message is not None:
                assert str(error) == self.message


# ---- construction and conversion by the (n, k) rule ------------------------------------------------

def _sample(kind, n=2):
    return [kind.elem(i) for i in range(n)]


def _other_class(kind):
    twins = {u.Vector2dVector: u.Vector2iVector, u.Vector2iVector: u.Vector2dVector,
             u.Vector3dVector: u.Vector3iVector, u.Vector3iVector: u.Vector3dVector,
             u.Vector4iVector: u.Vector4iVector}
    return twins[kind.cls](_sample(kind))


NK_RULE = [
    # input made from the kind, expected contents (None: the sample) or Err
    ("none", lambda K: None, []),
    ("empty (0, k) array", lambda K: np.zeros((0, K.k), K.dtype), []),
    ("list", lambda K: _sample(K), None),
    ("tuple of lists", lambda K: tuple(_sample(K)), None),
    ("exact dtype", lambda K: np.array(_sample(K), K.dtype), None),
    ("exact dtype, Fortran order", lambda K: np.asfortranarray(np.array(_sample(K), K.dtype)), None),
    ("exact dtype, strided rows", lambda K: np.array(_sample(K, 4), K.dtype)[::2], "every other"),
    ("float32", lambda K: np.array(_sample(K), np.float32), None),
    ("int64", lambda K: np.array(_sample(K), np.int64), None),
    ("same class", lambda K: K.cls(_sample(K)), None),
    ("other container class", _other_class, None),
    ("fractions", lambda K: [[1.75, -1.75] + [0.5] * (K.k - 2)], "fractions"),
    ("empty list", lambda K: [], Err(TypeError, "cannot convert argument to a (n, k) array")),
    ("one-dimensional", lambda K: np.zeros(K.k, K.dtype), Err(TypeError, "cannot convert argument to a (n, k) array")),
    ("three-dimensional", lambda K: np.zeros((1, 1, K.k)), Err(TypeError, "cannot convert argument to a (n, k) array")),
    ("scalar", lambda K: 5, Err(TypeError, "cannot convert argument to a (n, k) array")),
    ("short rows", lambda K: [[1] * (K.k - 1)], Err(TypeError, "invalid array shape")),
    ("long rows, exact dtype", lambda K: np.zeros((2, K.k + 1), K.dtype), Err(TypeError, "invalid array shape")),
    ("ragged", lambda K: [[1] * K.k, [1] * (K.k - 1)], Err(ValueError)),  # NumPy's own error
    ("text", lambda K: "abc", Err(ValueError)),
]


@pytest.mark.parametrize("kind", VECTOR_KINDS, ids=repr)
@pytest.mark.parametrize("name, make, expected", NK_RULE, ids=[r[0] for r in NK_RULE])
def test_nk_rule_in_constructor_and_extend(kind, name, make, expected):
    if expected is None:
        expected = _sample(kind)
    elif expected == "every other":
        expected = _sample(kind, 4)[::2]
    elif expected == "fractions":  # integer kinds truncate toward zero
        row = [1.75, -1.75] + [0.5] * (kind.k - 2)
        expected = [np.array(row).astype(kind.dtype).tolist()]
    value = make(kind)
    if isinstance(expected, Err):
        expected.check(lambda: kind.cls(value))
        v = kind.make()
        expected.check(lambda: v.extend(value))
        assert contents(v) == contents(kind.make())
        return
    assert contents(kind.cls(value)) == expected
    if value is not None:
        v = kind.make(1)
        assert v.extend(value) is None
        assert contents(v) == [kind.elem(0)] + expected


def test_constructor_edge_cases():
    assert len(u.Vector3dVector()) == 0
    assert contents(u.Vector3dVector([[1, 2, 3]])) == [[1, 2, 3]]
    src = u.Vector3dVector([[1, 2, 3]])
    dup = u.Vector3dVector(src)
    src[0] = [9, 9, 9]
    assert contents(dup) == [[1, 2, 3]]  # copied, not shared


# ---- element conversion -------------------------------------------------------------------------------

def _element_failures(K):
    rows = [
        ("short", [1] * (K.k - 1), Err(TypeError, "invalid element size")),
        ("long", [1] * (K.k + 1), Err(TypeError, "invalid element size")),
        ("str", "abc"[: K.k], Err(TypeError, "Can't extract `str` to `Vec`", arg="value")),
        ("number", 5, Err(TypeError, "'int' object cannot be converted to 'Sequence'", arg="value")),
        ("bad item", ["x"] * K.k, Err(TypeError, arg="value")),
    ]
    if K.dtype is np.int32:
        rows += [("float item", [1.5] * K.k, Err(TypeError, arg="value")),
                 ("wide item", [2**40] * K.k, Err(OverflowError))]
    return rows


ELEMENT_OPS = [
    ("append", lambda v, x: v.append(x)),
    ("insert", lambda v, x: v.insert(1, x)),
    ("setitem", lambda v, x: v.__setitem__(1, x)),
]


@pytest.mark.parametrize("kind", VECTOR_KINDS, ids=repr)
@pytest.mark.parametrize("op_name, op", ELEMENT_OPS, ids=[o[0] for o in ELEMENT_OPS])
def test_element_conversion_failures_leave_elements_unchanged(kind, op_name, op):
    for _, value, err in _element_failures(kind):
        v = kind.make()
        err.check(lambda: op(v, value))
        assert contents(v) == contents(kind.make())


@pytest.mark.parametrize("kind", VECTOR_KINDS, ids=repr)
def test_element_accepts_any_number_sequence(kind):
    v = kind.cls()
    element = kind.elem(0)
    values = [element, tuple(element), np.array(element), range(1, kind.k + 1)]
    if kind.dtype is np.float64:
        values.append(np.array(element, np.float32))
    else:  # integer kinds take items by the integer rule: float items are refused
        Err(TypeError, arg="value").check(lambda: v.append(np.array(element, np.float32)))
    for value in values:
        v.append(value)
    assert contents(v) == [element] * len(values)


SCALAR_ELEMENT_FAILURES = [
    ("str", "1", Err(TypeError, arg="value")),
    ("list", [1], Err(TypeError, arg="value")),
    ("none", None, Err(TypeError, arg="value")),
]


@pytest.mark.parametrize("kind", SCALAR_KINDS, ids=repr)
@pytest.mark.parametrize("op_name, op", ELEMENT_OPS, ids=[o[0] for o in ELEMENT_OPS])
def test_scalar_element_conversion(kind, op_name, op):
    failures = SCALAR_ELEMENT_FAILURES
    if kind.dtype is np.int32:
        failures = failures + [("float", 1.0, Err(TypeError, arg="value")), ("wide", 2**31, Err(OverflowError))]
    for _, value, err in failures:
        v = kind.make()
        err.check(lambda: op(v, value))
        assert contents(v) == contents(kind.make())
    v = kind.make()
    op(v, np.int64(7))
    assert 7 in contents(v) and type(contents(v)[1]) is (float if kind.dtype is np.float64 else int)


# ---- indexing, insert and pop ---------------------------------------------------------------------------

@pytest.mark.parametrize("kind", LIST_KINDS, ids=repr)
@pytest.mark.parametrize("idx, position", [(-10, 0), (-4, 0), (-3, 0), (-1, 2), (0, 0), (1, 1), (3, 3), (10, 3)])
def test_insert_clamps_position(kind, idx, position):
    v = kind.make()
    new = kind.elem(7)
    assert v.insert(idx, new) is None
    expected = contents(kind.make())
    expected.insert(position, new)
    assert contents(v) == expected


INDEX_FAILURES = [
    ("get past end", lambda v, x: v[3], Err(IndexError, "list index out of range")),
    ("get before start", lambda v, x: v[-4], Err(IndexError, "list index out of range")),
    ("get far before", lambda v, x: v[-100], Err(IndexError, "list index out of range")),
    ("set past end", lambda v, x: v.__setitem__(3, x), Err(IndexError, "list assignment index out of range")),
    ("set before start", lambda v, x: v.__setitem__(-4, x), Err(IndexError, "list assignment index out of range")),
    ("pop past end", lambda v, x: v.pop(3), Err(IndexError, "pop index out of range")),
    ("pop before start", lambda v, x: v.pop(-4), Err(IndexError, "pop index out of range")),
    ("del", lambda v, x: v.__delitem__(0), Err(NotImplementedError, "can't delete item")),
    ("del statement", lambda v, x: exec("del v[10]", {"v": v}), Err(NotImplementedError, "can't delete item")),
    ("slice", lambda v, x: v[0:1], Err(TypeError)),
    ("str key", lambda v, x: v["0"], Err(TypeError)),
    ("float key", lambda v, x: v[1.0], Err(TypeError)),
    ("float insert idx", lambda v, x: v.insert(1.0, x), Err(TypeError, arg="idx")),
    ("str pop idx", lambda v, x: v.pop("1"), Err(TypeError, arg="idx")),
    ("remove no match", lambda v, x: v.remove(x), Err(TypeError, "value not found")),
]


@pytest.mark.parametrize("kind", LIST_KINDS, ids=repr)
@pytest.mark.parametrize("name, op, err", INDEX_FAILURES, ids=[r[0] for r in INDEX_FAILURES])
def test_index_failures_leave_elements_unchanged(kind, name, op, err):
    v = kind.make()
    err.check(lambda: op(v, kind.elem(9)))
    assert contents(v) == contents(kind.make())


@pytest.mark.parametrize("kind", LIST_KINDS, ids=repr)
def test_indexing_pop_and_iteration(kind):
    v = kind.make()
    e = [kind.elem(i) for i in range(3)]
    assert [contents([v[i]])[0] for i in (-3, -1, 0, 2)] == [e[0], e[2], e[0], e[2]]
    assert contents(v) == e and len(v) == 3
    v[-1] = kind.elem(5)
    v[0] = kind.elem(4)
    assert contents(v) == [kind.elem(4), e[1], kind.elem(5)]
    popped = [v.pop(-1), v.pop(0), v.pop()]
    assert contents(popped) == [kind.elem(5), kind.elem(4), e[1]] and len(v) == 0
    Err(IndexError, "pop index out of range").check(lambda: v.pop())
    Err(IndexError, "pop index out of range").check(lambda: v.pop(0))
    if kind.scalar:
        assert type(popped[0]) is (float if kind.dtype is np.float64 else int)
    else:
        assert all(p.dtype == kind.dtype and p.shape == (kind.k,) for p in popped)


@pytest.mark.parametrize("kind", VECTOR_KINDS, ids=repr)
def test_element_reads_are_copies(kind):
    v = kind.make()
    item = v[1]
    assert item.dtype == kind.dtype and item.shape == (kind.k,) and item.flags.writeable
    item[:] = 0
    for element in v:
        element[:] = 0
    assert contents(v) == contents(kind.make())


# ---- count, remove, clear, extend ---------------------------------------------------------------------------

@pytest.mark.parametrize("kind", LIST_KINDS, ids=repr)
def test_count_and_remove(kind):
    v = kind.make()
    v.append(kind.elem(0))
    assert v.count(kind.elem(0)) == 2 and v.count(kind.elem(1)) == 1 and v.count(kind.elem(9)) == 0
    assert v.remove(kind.elem(0)) is None
    assert contents(v) == [kind.elem(1), kind.elem(2), kind.elem(0)]  # first match only
    if not kind.scalar:
        for wrong_length in ([], kind.elem(0)[:-1], kind.elem(0) + [1]):
            assert v.count(wrong_length) == 0
            Err(TypeError, "value not found").check(lambda: v.remove(wrong_length))
        Err(TypeError, "Can't extract `str` to `Vec`", arg="value").check(lambda: v.count("ab"))
    else:
        Err(TypeError, arg="value").check(lambda: v.count("1"))
    assert contents(v) == [kind.elem(1), kind.elem(2), kind.elem(0)]
    assert v.clear() is None and len(v) == 0 and v.count(kind.elem(0)) == 0


@pytest.mark.parametrize("kind", FLOAT_KINDS, ids=repr)
def test_nan_equals_nothing(kind):
    nan = float("nan") if kind.scalar else [float("nan")] * kind.k
    v = kind.cls()
    v.append(nan)
    assert v.count(nan) == 0 and v != v and not (v == v)
    Err(TypeError, "value not found").check(lambda: v.remove(nan))
    assert len(v) == 1


@pytest.mark.parametrize("kind", LIST_KINDS, ids=repr)
def test_extend_with_itself_doubles(kind):
    v = kind.make()
    v.extend(v)
    assert contents(v) == contents(kind.make()) * 2


@pytest.mark.parametrize("kind", SCALAR_KINDS, ids=repr)
def test_scalar_extend(kind):
    v = kind.make(1)
    for other in (kind.make(2), [3], (4,), range(5, 7)):
        v.extend(other)
    assert contents(v) == [1, 1, 2, 3, 4, 5, 6]
    for other, target in ((5, "int"), (np.array([1.0]), "ndarray"), ({1: 2}, "dict")):
        Err(TypeError, f"'{target}' object cannot be converted to 'Sequence'").check(lambda: v.extend(other))
    assert len(v) == 7
    # Element by element: the items before the failing one stay appended.
    Err(TypeError).check(lambda: v.extend([8, "x", 9]))
    assert contents(v) == [1, 1, 2, 3, 4, 5, 6, 8]


# ---- scalar-kind constructor --------------------------------------------------------------------------------


class Registered:
    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


collections.abc.Sequence.register(Registered)

SCALAR_CONSTRUCT = [
    (None, []),
    ([1, 2], [1, 2]),
    ((1, 2), [1, 2]),
    (range(3), [0, 1, 2]),
    (Registered([4, 5]), [4, 5]),
    (np.array([1.0]), Err(TypeError, "'ndarray' object cannot be converted to 'Sequence'", arg="arg")),
    (u.DoubleVector([1]), Err(TypeError, "'DoubleVector' object cannot be converted to 'Sequence'", arg="arg")),
    (u.IntVector([1]), Err(TypeError, "'IntVector' object cannot be converted to 'Sequence'", arg="arg")),
    (iter([1]), Err(TypeError, arg="arg")),
    ("12", Err(TypeError, arg="arg")),  # a str passes as a sequence; its items do not
    ([1, "x"], Err(TypeError, arg="arg")),
]


@pytest.mark.parametrize("kind", SCALAR_KINDS, ids=repr)
@pytest.mark.parametrize("arg, expected", SCALAR_CONSTRUCT, ids=lambda x: type(x).__name__)
def test_scalar_constructor(kind, arg, expected):
    if isinstance(expected, Err):
        expected.check(lambda: kind.cls(arg))
        return
    assert contents(kind.cls(arg)) == expected


@pytest.mark.parametrize("arg, err", [([1.5], Err(TypeError, arg="arg")), ([2**40], Err(OverflowError)),
                                      ([np.float64(1)], Err(TypeError, arg="arg"))])
def test_int_vector_constructor_uses_the_integer_rule(arg, err):
    err.check(lambda: u.IntVector(arg))


def test_int_vector_rejects_float_items_but_double_vector_takes_ints():
    assert contents(u.IntVector([np.int64(3), True])) == [3, 1]
    assert contents(u.DoubleVector([np.float32(0.5), 2])) == [0.5, 2.0]


# ---- equality, copies and reprs --------------------------------------------------------------------------------


@pytest.mark.parametrize("kind", LIST_KINDS, ids=repr)
def test_equality(kind):
    v = kind.make()
    assert v == kind.make() and not (v != kind.make())
    others = [kind.make(2), kind.cls(), contents(v), None, 1]
    twin = {u.DoubleVector: u.IntVector, u.IntVector: u.DoubleVector}.get(kind.cls)
    if twin is not None:
        others.append(twin([1, 2, 3]))
    elif kind.k != 4:
        others.append(_other_class(kind))
    for other in others:
        assert (v == other, v != other, other == v) == (False, True, False)
    assert v != np.array(contents(v), kind.dtype)
    for op in (operator.lt, operator.le, operator.gt, operator.ge):
        with pytest.raises(TypeError):
            op(v, v)


@pytest.mark.parametrize("kind", LIST_KINDS, ids=repr)
def test_copies_are_independent(kind):
    v = kind.make()
    for c in (copy.copy(v), copy.deepcopy(v), v.__copy__(), v.__deepcopy__(object())):
        assert type(c) is kind.cls and c == v
        c.append(kind.elem(5))
        assert len(v) == 3


@pytest.mark.parametrize("kind", VECTOR_KINDS, ids=repr)
@pytest.mark.parametrize("n", [0, 1, 12345])
def test_vector_repr(kind, n):
    v = kind.cls(np.zeros((n, kind.k), kind.dtype))
    assert repr(v) == f"{kind.text} with {n} elements.\nUse numpy.asarray() to access data."


@pytest.mark.parametrize("cls, values, text", [
    (u.DoubleVector, [], "DoubleVector[]"),
    (u.DoubleVector, [1, 2.5], "DoubleVector[1, 2.5]"),
    (u.DoubleVector, [0.1, 1e21, -0.0, float("nan"), float("-inf"), 2.5e-3, 5e-324],
     "DoubleVector[0.1, 1" + "0" * 21 + ", -0, NaN, -inf, 0.0025, 0." + "0" * 323 + "5]"),
    (u.IntVector, [], "IntVector[]"),
    (u.IntVector, [-(2**31), 0, 7], "IntVector[-2147483648, 0, 7]"),
])
def test_scalar_repr(cls, values, text):
    assert repr(cls(values)) == text


# ---- matrix containers ------------------------------------------------------------------------------------------


@pytest.mark.parametrize("cls, n", [(u.Matrix3dVector, 3), (u.Matrix4dVector, 4)])
def test_matrix_containers(cls, n):
    m = cls()
    assert len(cls(None)) == len(m) == 0
    assert repr(m) == f"std::vector<Eigen::Matrix{n}d> with 0 elements.\nUse numpy.asarray() to access data."
    for data in ([], [np.eye(n)], np.zeros((1, n, n)), 0):
        Err(TypeError, "constructing from data is not supported here").check(lambda: cls(data))
    for i in (0, -1):
        Err(IndexError, "list index out of range").check(lambda: m[i])
    assert m.clear() is None
    assert not any(hasattr(m, name) for name in ("__array__", "__copy__", "__deepcopy__", "append", "extend"))
    assert m != cls()  # no equality of its own: identity


def _sequence_size(obj):
    fn = ctypes.pythonapi.PySequence_Size
    fn.argtypes, fn.restype = [ctypes.py_object], ctypes.c_ssize_t
    return fn(obj)


@pytest.mark.parametrize("kind", LIST_KINDS, ids=repr)
def test_only_scalar_kinds_are_sequence_types(kind):
    v = kind.make()
    if kind.scalar:
        assert _sequence_size(v) == 3
    else:
        with pytest.raises(TypeError):
            _sequence_size(v)


# ---- NumPy: free-standing containers ----------------------------------------------------------------------------

SHARED_DOC = ("Shared-memory ndarray over the underlying storage (pybind\nsemantics): mutations write through; "
              "the owning geometry (or\nthis vector, when free-standing) is the numpy base object.")


@pytest.mark.parametrize("kind", VECTOR_KINDS, ids=repr)
def test_free_standing_array_shares_memory(kind):
    v = kind.make(2)
    a = np.asarray(v)
    assert a.base is v and a.dtype == kind.dtype and a.shape == (2, kind.k) and a.flags.writeable
    assert a.flags.c_contiguous and a.strides == (kind.k * a.itemsize, a.itemsize)
    a[1, kind.k - 1] = 5
    assert contents([v[1]])[0][-1] == 5
    v[0] = kind.elem(7)
    assert a[0].tolist() == kind.elem(7)
    assert v.__array__(copy=None).base is v and v.__array__(None, False).base is v
    assert kind.cls.__array__.__doc__ == SHARED_DOC


@pytest.mark.parametrize("kind", VECTOR_KINDS, ids=repr)
def test_empty_array_and_dtype_copies(kind):
    empty = np.asarray(kind.cls())
    assert empty.shape == (0, kind.k) and empty.strides == (0, 0) and empty.dtype == kind.dtype
    v = kind.make(2)
    for dtype in (kind.dtype, np.float32, "int64"):
        c = np.asarray(v, dtype=dtype)
        assert c.dtype == np.dtype(dtype) and c.base is not v
        c[:] = 0
    assert contents(v) == contents(kind.make(2))
    Err(TypeError, arg="copy").check(lambda: v.__array__(copy=1))
    for detached in (np.array(v), v.__array__(copy=True), v.__array__(None, np.True_)):
        assert detached.base is None and detached.dtype == kind.dtype
        detached[:] = 0
    assert contents(v) == contents(kind.make(2))
    with pytest.raises(TypeError):  # NumPy's own refusal of the dtype
        v.__array__(dtype="no such type")


@pytest.mark.parametrize("kind", SCALAR_KINDS, ids=repr)
def test_scalar_array_is_a_copy(kind):
    v = kind.make(2)
    a = np.asarray(v)
    assert a.dtype == kind.dtype and a.shape == (2,) and a.tolist() == [1, 2]
    holder = type(a.base)
    assert holder.__name__ == "PySliceContainer"
    assert not any(hasattr(m, "PySliceContainer") for m in (pybind.geometry, u, pybind.io, pybind.pipelines.registration))
    with pytest.raises(TypeError):
        holder()
    a[:] = 0
    assert contents(v) == [1, 2]
    assert np.asarray(kind.cls()).shape == (0,)
    assert np.asarray(v, dtype=np.float32).dtype == np.float32
    Err(TypeError, arg="copy").check(lambda: v.__array__(copy="yes"))
    assert not kind.cls.__array__.__doc__


@pytest.mark.parametrize("kind", LIST_KINDS, ids=repr)
def test_use_after_growth_of_a_free_standing_container(kind):
    # Arrays made before the storage moved or shrank must stay safe to read and write.
    v = kind.make(2)
    arrays = [np.asarray(v)]
    for i in range(300):
        v.append(kind.elem(i))
        v.insert(0, kind.elem(i))
        if i % 50 == 0:
            v.extend(kind.make(40))
            arrays.append(np.asarray(v))
            v.clear()
    v.pop()
    del v  # the arrays keep their memory alive
    for a in arrays:
        assert np.isfinite(a.astype(np.float64)).all()
        a[...] = 3
        assert (a == 3).all()
