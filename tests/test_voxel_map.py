"""The voxel map: key hash, bucket-count policy and iteration order (through private hooks)."""
import math
import random

import pytest

from nubiro.cpu.pybind import _internal as hooks

INT32_MIN, INT32_MAX = -2**31, 2**31 - 1
MASK = 2**64 - 1


def model_hash(x, y, z):
    """The hash-combine chain over sign-extended components, in Python integers."""
    h = (x + 0x9e3779b9) & MASK
    for c in (y, z):
        h ^= ((h >> 2) + 0x9e3779b9 + ((h << 6) & MASK) + (c & MASK)) & MASK
    return h


@pytest.mark.parametrize("key, value, bucket13", [
    ((0, 0, 0), 0xa16fb581eee, 3),
    ((1, 0, 0), 0xa16fb58cfdd, 6),
    ((2, 0, 0), 0xa16fb583fcc, 6),
    ((-1, 0, 0), 0xa16fb582eff, 8),
])
def test_hash_of_documented_keys(key, value, bucket13):
    assert hooks.hash_voxel_key(*key) == value
    assert value % 13 == bucket13


def test_hash_sign_extends_and_wraps():
    keys = [(INT32_MIN, INT32_MAX, -1), (INT32_MAX, INT32_MIN, 0), (-7, 3, INT32_MIN), (5, -9, 123456)]
    rng = random.Random(1)
    keys += [tuple(rng.randint(INT32_MIN, INT32_MAX) for _ in range(3)) for _ in range(200)]
    assert [hooks.hash_voxel_key(*k) for k in keys] == [model_hash(*k) for k in keys]


@pytest.mark.parametrize("v", [
    0.0, -0.0, 0.5, -0.5, -1.0, -1.0000000001, 2.9999999999, 1e-300, -1e-300, 123456789.75, -123456789.25,
    2147483646.5, 2147483647.0, 2147483647.5, 2147483648.0, 1e300, float("inf"),
    -2147483647.5, -2147483648.0, -2147483648.5, -2147483649.0, -1e300, float("-inf"), float("nan"),
])
def test_cell_index_is_floor_saturated_to_int32(v):
    expected = 0 if math.isnan(v) else (INT32_MAX if v >= 2**31 else INT32_MIN if v < -2**31 else math.floor(v))
    assert hooks.voxel_index(v) == expected


def _odd_without_divisor(n):
    c = n | 1
    while any(c % d == 0 for d in range(3, int(c**0.5) + 1, 2)):
        c += 2
    return c


@pytest.mark.parametrize("n, expected", [
    (0, 1), (1, 2), (2, 2), (3, 3), (4, 5), (5, 5), (6, 7), (7, 7), (8, 11), (11, 11), (12, 13),
    (13, 13), (14, 17), (30, 31), (254, 257), (514, 541), (21023160, 21023161), (21023161, 21023161),
    (21023162, _odd_without_divisor(21023162)),
    (2**40, _odd_without_divisor(2**40)),
    (1_000_000_000_039, _odd_without_divisor(1_000_000_000_039)),
    (3 * 7 * 11 * 13 * 10007 * 1009, _odd_without_divisor(3 * 7 * 11 * 13 * 10007 * 1009)),
])
def test_next_bucket_count(n, expected):
    assert hooks.next_bucket_count(n) == expected


def test_remainder_matches_integer_modulo():
    rng = random.Random(7)
    values = [0, 1, MASK, MASK - 1, 2**63, 2**32, 2**32 - 1] + [rng.getrandbits(64) for _ in range(300)]
    for d in [1, 2, 3, 13, 29, 21023161, 2**32 - 5, 2**32 + 15, 2**63 + 1, MASK] + [rng.getrandbits(40) | 1 for _ in range(5)]:
        assert hooks.voxel_map_modulus(values, d) == [v % d for v in values], d


def test_documented_orders_and_bucket_growth():
    _, order, counts = hooks.voxel_map_insert([(i, 0, 0) for i in range(3)])
    assert order == [2, 1, 0] and counts == [13] * 3
    _, order, counts = hooks.voxel_map_insert([(i, 0, 0) for i in range(20)])
    assert order == [18, 15, 14, 16, 13, 17, 0, 1, 2, 8, 3, 5, 6, 19, 4, 7, 9, 11, 10, 12]
    assert counts == [13] * 13 + [29] * 7
    _, _, counts = hooks.voxel_map_insert([(i, -i, 2 * i) for i in range(2357)])
    grow_points = [i + 1 for i in range(1, len(counts)) if counts[i] != counts[i - 1]]
    assert sorted(set(counts)) == [13, 29, 59, 127, 257, 541, 1109, 2357]
    # Each growth happens on the insertion that would make the element count exceed B.
    assert grow_points == [14, 30, 60, 128, 258, 542, 1110]


class ModelMap:
    """A literal model of the map: list links, buckets holding predecessors (None = head)."""

    EMPTY = object()

    def __init__(self):
        self.head = None              # first node number
        self.next = []                # successor node number per node
        self.hash = []
        self.keys = {}
        self.buckets = [self.EMPTY]
        self.threshold = 0

    def _succ(self, pred):
        return self.head if pred is None else self.next[pred]

    def _set_succ(self, pred, node):
        if pred is None:
            self.head = node
        else:
            self.next[pred] = node

    def insert(self, key):
        if key in self.keys:
            return self.keys[key]
        n = len(self.next)
        if n + 1 > self.threshold:
            wish = 11 if self.threshold == 0 and n + 1 < 11 else n + 1
            b_count = len(self.buckets)
            if wish >= b_count:
                self._rehash(hooks.next_bucket_count(max(wish + 1, 2 * b_count)))
                self.threshold = len(self.buckets)
            else:
                self.threshold = b_count
        h = model_hash(*key)
        self.next.append(None)
        self.hash.append(h)
        b = h % len(self.buckets)
        pred = self.buckets[b]
        if pred is not self.EMPTY:
            self.next[n] = self._succ(pred)
            self._set_succ(pred, n)
        else:
            self.next[n] = self.head
            self.head = n
            if self.next[n] is not None:
                self.buckets[self.hash[self.next[n]] % len(self.buckets)] = n
            self.buckets[b] = None
        self.keys[key] = n
        return n

    def _rehash(self, count):
        buckets = [self.EMPTY] * count
        p, self.head, begin = self.head, None, 0
        while p is not None:
            q, b = self.next[p], self.hash[p] % count
            if buckets[b] is self.EMPTY:
                self.next[p], self.head, buckets[b] = self.head, p, None
                if self.next[p] is not None:
                    buckets[begin] = p
                begin = b
            else:
                self.next[p] = self._succ(buckets[b])
                self._set_succ(buckets[b], p)
            p = q
        self.buckets = buckets

    def order(self):
        out, p = [], self.head
        while p is not None:
            out.append(p)
            p = self.next[p]
        return out


@pytest.mark.parametrize("seed, span, count", [(0, 3, 1500), (1, 40, 3000), (2, 2**31 - 1, 1200)])
def test_order_matches_a_literal_model_with_repeated_keys(seed, span, count):
    rng = random.Random(seed)
    keys = [tuple(rng.randint(-span, span) for _ in range(3)) for _ in range(count)]
    model = ModelMap()
    expected_ids = [model.insert(k) for k in keys]
    ids, order, counts = hooks.voxel_map_insert(keys)
    assert ids == expected_ids
    assert order == model.order()
    assert counts[-1] == len(model.buckets)
