"""Many threads on shared objects while long operations run: only the two access refusals may
surface, nothing crashes or hangs, and every object ends equal to a single-threaded replay of
the calls that succeeded.

Soundness of the replay: every object has either one writing thread (its successful calls are
replayed in that thread's order) or several writers whose calls commute exactly (translations
by multiples of 1/1024 on coordinates that are multiples of 1/1024 are exact, so any order gives
the same bits). Readers check what they read where the answer is fixed (queries of an index
that is only ever rebuilt from the same points).

To cover a new entry point, add a Worker: a name, the call made in a loop, and whether it
writes; a writer's successful calls go to its log (`record`) and are replayed on a fresh
object by `replay` at the end.
"""
import copy
import random
import sys
import threading
import time

import numpy as np
import pytest

from nubiro.cpu import pybind
from nubiro.cpu.pybind import geometry, utility
from nubiro.cpu.pybind.pipelines import registration

REFUSALS = ("Already borrowed", "Already mutably borrowed")
SECONDS = 1.5


def _grid_points(n, seed):
    """n points whose coordinates are multiples of 1/1024 below 64 (exact under the translations)."""
    rng = np.random.default_rng(seed)
    return rng.integers(0, 64 * 1024, size=(n, 3)).astype(np.float64) / 1024.0


def _cloud(points):
    pc = geometry.PointCloud()
    pc.points = points
    return pc


class Worker:
    """Calls `step(rng)` until the deadline; counts successes and refusals, keeps other errors."""

    def __init__(self, name, step):
        self.name, self.step = name, step
        self.calls = self.refused = 0
        self.errors = []

    def run(self, start, seed):
        rng = random.Random(seed)
        start.wait()
        deadline = start.deadline
        while time.monotonic() < deadline and len(self.errors) < 5:
            self.calls += 1
            try:
                self.step(rng)
            except RuntimeError as e:
                if str(e) in REFUSALS:
                    self.refused += 1
                else:
                    self.errors.append(f"{self.name}: RuntimeError {e}")
            except BaseException as e:  # PanicException included
                self.errors.append(f"{self.name}: {type(e).__name__}: {e}")


def _knn_answer(tree, q):
    count, ids, d2 = tree.search_knn_vector_3d(q, 8)
    return count, list(ids), list(d2)


@pytest.fixture
def fast_switching():
    saved = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # many more interleavings between the Python-level calls
    yield
    sys.setswitchinterval(saved)


def _same_cloud(a, b):
    return all(np.array_equal(np.asarray(getattr(a, k)), np.asarray(getattr(b, k)))
               for k in ("points", "normals", "colors"))


def test_shared_objects_under_concurrent_calls(fast_switching, tmp_path):
    static_points = _grid_points(30_000, 1)
    static_cloud = _cloud(static_points)           # only read: the tree's source
    tree = geometry.KDTreeFlann(static_cloud)      # rebuilt from static_cloud, queried meanwhile
    queries = [list(q) for q in _grid_points(16, 2)]
    expected_answers = {i: _knn_answer(tree, q) for i, q in enumerate(queries)}

    moving_points = _grid_points(50_000, 3)
    moving = _cloud(moving_points)                 # commuting translations from several threads
    moving_tree = geometry.KDTreeFlann()           # rebuilt from `moving` while it moves
    edited = _cloud(_grid_points(50, 4))           # edited through its views by one thread
    edited_start = np.asarray(edited.points).copy()
    doubles = utility.DoubleVector([0.5])          # one writer each, readers elsewhere
    vectors = utility.Vector3dVector(np.zeros((1, 3)))
    feature = registration.Feature()

    # Long operations with fixed answers: their inputs are only read, or written with values
    # they already hold (normals re-estimated from the same points; translations by zero).
    normals_cloud = _cloud(_grid_points(3000, 5))
    normals_cloud.estimate_normals(geometry.KDTreeSearchParamKNN(10))
    settled = copy.deepcopy(normals_cloud)
    settled.estimate_normals(geometry.KDTreeSearchParamKNN(10))
    assert _same_cloud(settled, normals_cloud), "re-estimating normals is not idempotent"
    expected_down = normals_cloud.voxel_down_sample(2.0)
    icp_source, icp_target = _cloud(_grid_points(400, 6)), _cloud(_grid_points(400, 6))
    icp_source.translate([1 / 64, 0, 0])
    expected_icp = registration.registration_icp(icp_source, icp_target, 0.1)
    path = str(tmp_path / "cloud.xyz")
    assert pybind.io.write_point_cloud(path, icp_target)
    expected_read = pybind.io.read_point_cloud(path)

    translations, edits, container_ops, feature_ops = [], [], [], []
    mismatches = []

    def translate(rng):
        t = [rng.randrange(-64, 64) / 1024.0 for _ in range(3)]
        if rng.random() < 0.5:
            moving.translate(t)
        else:
            m = np.eye(4)
            m[:3, 3] = t
            moving.transform(m)
        translations.append(t)  # list.append is atomic; only the sum matters

    # The long operations and the access holds pause between calls, so that the calls they
    # exclude also get windows in which they succeed.
    def rebuild_tree(rng):
        assert tree.set_geometry(static_cloud)
        time.sleep(0.002)

    def rebuild_moving_tree(rng):
        moving_tree.set_geometry(moving)
        time.sleep(0.005)

    def query_tree(rng):
        i = rng.randrange(len(queries))
        if _knn_answer(tree, queries[i]) != expected_answers[i]:
            mismatches.append(f"query {i} gave a wrong answer")

    def read_moving(rng):
        moving.get_center()
        len(moving.points)
        moving.points[rng.randrange(50_000)]

    def edit_views(rng):
        choice, position = rng.randrange(4), rng.randrange(50)
        value = [rng.randrange(1024) / 1024.0 for _ in range(3)]
        if choice == 0:
            edited.points.append(value)
        elif choice == 1:
            edited.points[position] = value
        elif choice == 2:
            edited.normals.extend(np.array([value]))
        else:
            edited.paint_uniform_color(value)
        edits.append((choice, value, position))

    def read_edited(rng):
        geometry.KDTreeFlann(edited)  # a long read of the cloud with the interpreter lock released
        copy.copy(edited.points)
        edited.colors == edited.normals

    def edit_containers(rng):
        op = rng.randrange(4)
        x = rng.randrange(1000) / 8.0
        if op == 0:
            doubles.append(x)
        elif op == 1:
            vectors.append([x, -x, 2 * x])
        elif op == 2:
            doubles[0] = x
        elif len(vectors) > 2048:
            vectors.clear()
            op = 4
        else:
            vectors.extend(vectors)  # self-extension: doubles the count
        container_ops.append((op, x))

    def read_containers(rng):
        len(doubles), len(vectors), repr(doubles)
        doubles.count(0.5)
        vectors.count([0, 0, 0])
        copy.deepcopy(vectors)

    def hold_containers(rng):
        obj = rng.choice([doubles, vectors, feature, tree, edited])
        pybind._internal.hold_access(obj, rng.random() < 0.5, 0.0005)
        time.sleep(0.005)

    def edit_feature(rng):
        if rng.random() < 0.5:
            dim, n = rng.randrange(1, 9), rng.randrange(0, 200)
            feature.resize(dim, n)
            feature_ops.append(("resize", dim, n))
        else:
            data = np.full((rng.randrange(1, 9), rng.randrange(1, 200)), rng.randrange(100) / 4.0)
            feature.data = data
            feature_ops.append(("data", data))

    def read_feature(rng):
        feature.data
        if feature.num():
            geometry.KDTreeFlann(feature)

    def estimate_normals(rng):
        normals_cloud.estimate_normals(geometry.KDTreeSearchParamKNN(10))
        time.sleep(0.005)

    def down_sample(rng):
        if not _same_cloud(normals_cloud.voxel_down_sample(2.0), expected_down):
            mismatches.append("voxel_down_sample gave a wrong answer")

    def icp(rng):
        result = registration.registration_icp(icp_source, icp_target, 0.1)
        if not (np.array_equal(result.transformation, expected_icp.transformation)
                and result.fitness == expected_icp.fitness):
            mismatches.append("registration_icp gave a wrong answer")

    def touch_icp_inputs(rng):
        rng.choice([icp_source, icp_target, normals_cloud]).translate([0.0, 0.0, 0.0])

    def read_file(rng):
        if not _same_cloud(pybind.io.read_point_cloud(path), expected_read):
            mismatches.append("read_point_cloud gave a wrong answer")

    workers = [Worker("translate", translate), Worker("translate", translate),
               Worker("estimate_normals", estimate_normals), Worker("down_sample", down_sample),
               Worker("icp", icp), Worker("touch_icp_inputs", touch_icp_inputs), Worker("read_file", read_file),
               Worker("rebuild_tree", rebuild_tree), Worker("rebuild_moving_tree", rebuild_moving_tree),
               Worker("query_tree", query_tree), Worker("query_tree", query_tree),
               Worker("read_moving", read_moving),
               Worker("edit_views", edit_views), Worker("read_edited", read_edited),
               Worker("edit_containers", edit_containers), Worker("read_containers", read_containers),
               Worker("hold", hold_containers),
               Worker("edit_feature", edit_feature), Worker("read_feature", read_feature)]
    start = threading.Event()  # all threads run for the same window, however slowly they start
    threads = [threading.Thread(target=w.run, args=(start, i), daemon=True) for i, w in enumerate(workers)]
    for t in threads:
        t.start()
    start.deadline = time.monotonic() + SECONDS
    start.set()
    for t in threads:
        t.join(timeout=SECONDS + 30)
    assert not any(t.is_alive() for t in threads), "a worker never finished (deadlock?)"

    errors = [e for w in workers for e in w.errors] + mismatches
    assert not errors, "\n".join(errors)
    total = sum(w.calls for w in workers)
    refused = sum(w.refused for w in workers)
    print(f"{len(workers)} threads, {total} calls, {refused} refused:",
          ", ".join(f"{w.name} {w.calls - w.refused}/{w.calls}" for w in workers))
    assert refused > 0, "no two calls ever contended: the test exercised nothing"

    # ---- single-threaded replays ----
    assert _same_cloud(normals_cloud, settled)

    for i, q in enumerate(queries):
        assert _knn_answer(tree, q) == expected_answers[i]

    shift = np.sum(np.array(translations).reshape(-1, 3), axis=0)
    np.testing.assert_array_equal(np.asarray(moving.points), moving_points + shift)

    replay = _cloud(edited_start)
    for choice, value, position in edits:
        if choice == 0:
            replay.points.append(value)
        elif choice == 1:
            replay.points[position] = value
        elif choice == 2:
            replay.normals.extend(np.array([value]))
        else:
            replay.paint_uniform_color(value)
    for attr in ("points", "normals", "colors"):
        np.testing.assert_array_equal(np.asarray(getattr(edited, attr)), np.asarray(getattr(replay, attr)))

    d, v = utility.DoubleVector([0.5]), utility.Vector3dVector(np.zeros((1, 3)))
    for op, x in container_ops:
        if op == 0:
            d.append(x)
        elif op == 1:
            v.append([x, -x, 2 * x])
        elif op == 2:
            d[0] = x
        elif op == 3:
            v.extend(v)
        else:
            v.clear()
    assert d == doubles and v == vectors

    f = registration.Feature()
    for op in feature_ops:
        if op[0] == "resize":
            f.resize(op[1], op[2])
        else:
            f.data = op[1]
    assert (f.dimension(), f.num()) == (feature.dimension(), feature.num())
    np.testing.assert_array_equal(f.data, feature.data)
