import numpy as np
import pytest

from nubiro import _se3
from nubiro.posegraph import PoseGraph

DISTANCE = 0.05


def point_information(points):
    """The information matrix of matched points at `points` (one unit per pair)."""
    info = np.zeros((6, 6))
    for x, y, z in points:
        g = np.array([[0, z, -y, 1, 0, 0], [-z, 0, x, 0, 1, 0], [y, -x, 0, 0, 0, 1]], dtype=float)
        info += g.T @ g
    return info


INFO = point_information(np.random.default_rng(0).uniform(-1, 1, (50, 3)))


def ring(count=10):
    """Poses on a circle of radius 3, each turned to face along it."""
    xi = np.zeros((count, 6))
    angles = 2 * np.pi * np.arange(count) / count
    xi[:, 1] = angles
    xi[:, 3], xi[:, 5] = 3 * np.cos(angles), 3 * np.sin(angles)
    return _se3.exp(xi)


def relative(truth, source, target):
    return np.linalg.inv(truth[target]) @ truth[source]


def graph_on(truth, closures=((5, 0), (7, 2), (9, 4)), start=None):
    g = PoseGraph()
    for k in range(len(truth)):
        g.add_node(truth[k] if start is None else start[k])
    for k in range(1, len(truth)):
        g.add_edge(k, k - 1, relative(truth, k, k - 1), INFO)
    for s, t in closures:
        g.add_edge(s, t, relative(truth, s, t), INFO, loop_closure=True)
    return g


def pose_errors(poses, truth):
    """Largest rotation (radians) and translation error of the poses against the truth, both
    taken relative to node 0."""
    got = np.linalg.inv(poses[0]) @ np.array(poses)
    want = np.linalg.inv(truth[0]) @ truth
    e = _se3.log(np.linalg.inv(want) @ got)
    return np.linalg.norm(e[:, :3], axis=1).max(), np.linalg.norm(got[:, :3, 3] - want[:, :3, 3], axis=1).max()


def perturbed(truth, scale, seed=1):
    jitter = _se3.exp(np.random.default_rng(seed).normal(scale=scale, size=(len(truth), 6)))
    start = jitter @ truth
    start[0] = truth[0]
    return start


def test_exact_measurements_recover_the_poses_from_a_rough_start():
    truth = ring()
    g = graph_on(truth, start=perturbed(truth, 0.1))
    result = g.optimize(max_correspondence_distance=DISTANCE)
    assert result.rejected == [] and result.disconnected == []
    np.testing.assert_array_equal(result.poses[0], truth[0])  # the anchor keeps its pose
    rotation, translation = pose_errors(result.poses, truth)
    assert rotation < 1e-9 and translation < 1e-9
    assert max(result.disagreement) < 1e-6
    assert g.poses[3].tobytes() == perturbed(truth, 0.1)[3].tobytes()  # the input graph is not changed


@pytest.mark.parametrize("wrong", [
    _se3.exp(np.array([[0, np.pi / 2, 0, 0, 0, 0]]))[0],        # a quarter turn off
    _se3.exp(np.array([[0, 0, 0, 0, 0, 20 * DISTANCE]]))[0],    # a slip of twenty correspondence distances
    _se3.exp(np.array([[0, 3.1, 0, 1, 2, 3]]))[0],              # nearly a half turn
])
def test_a_wrong_loop_closure_is_pruned_and_the_map_stays_right(wrong):
    truth = ring()
    g = graph_on(truth, start=perturbed(truth, 0.01))
    bad = g.add_edge(6, 1, wrong @ relative(truth, 6, 1), INFO, loop_closure=True)
    result = g.optimize(max_correspondence_distance=DISTANCE)
    assert result.rejected == [bad]
    assert bad in result.graph.edges and bad not in result.kept
    rotation, translation = pose_errors(result.poses, truth)
    assert rotation < 1e-9 and translation < 1e-9


def test_right_loop_closures_survive_a_drifting_odometry():
    # Every odometry step is biased, so the chained poses drift to eight correspondence distances
    # off; the loop closures are right and must bend the map back rather than be pruned (a kernel
    # at its final scale from the start prunes all four).
    truth = ring(20)
    bias = _se3.exp(np.array([[0.006, 0.012, 0, 0.06, 0, 0.03]]))[0]
    g = PoseGraph()
    g.add_node(truth[0])
    for k in range(1, 20):
        step = relative(truth, k, k - 1) @ bias
        g.add_node(g.poses[k - 1] @ step)
        g.add_edge(k, k - 1, step, INFO)
    for s, t in ((10, 0), (15, 5), (19, 9), (19, 0)):
        g.add_edge(s, t, relative(truth, s, t), INFO * 10, loop_closure=True)
    before = pose_errors(g.poses, truth)
    result = g.optimize(max_correspondence_distance=DISTANCE)
    after = pose_errors(result.poses, truth)
    assert result.rejected == []
    assert after[0] < before[0] / 2.5 and after[1] < before[1] / 4


def test_a_disconnected_graph_gives_poses_for_its_largest_part():
    truth = ring(9)
    g = PoseGraph()
    for k in range(9):
        g.add_node(truth[k])
    for s, t in ((4, 3), (5, 4), (6, 5), (1, 0), (8, 7)):  # parts {3..6}, {0, 1}, {7, 8} and {2}
        g.add_edge(s, t, relative(truth, s, t), INFO)
    result = g.optimize(max_correspondence_distance=DISTANCE)
    assert result.disconnected == [0, 1, 2, 7, 8]
    assert [p is not None for p in result.poses] == [False] * 3 + [True] * 4 + [False] * 2
    np.testing.assert_array_equal(result.poses[3], truth[3])  # the part's first node anchors it
    np.testing.assert_allclose(np.array(result.poses[3:7]), truth[3:7], atol=1e-12)


def test_json_round_trip_is_exact(tmp_path):
    truth = ring()
    g = graph_on(truth, start=perturbed(truth, 0.05))
    g.add_edge(8, 3, truth[0], loop_closure=True)  # default information
    g.save(tmp_path / "graph.json")
    back = PoseGraph.load(tmp_path / "graph.json")
    assert [p.tobytes() for p in back.poses] == [p.tobytes() for p in g.poses]
    assert [(e.source, e.target, e.loop_closure, e.transformation.tobytes(), e.information.tobytes())
            for e in back.edges] == \
        [(e.source, e.target, e.loop_closure, e.transformation.tobytes(), e.information.tobytes()) for e in g.edges]
    a = g.optimize(max_correspondence_distance=DISTANCE)
    b = back.optimize(max_correspondence_distance=DISTANCE)
    assert [p.tobytes() for p in a.poses] == [p.tobytes() for p in b.poses]
    assert [(e.source, e.target) for e in a.rejected] == [(e.source, e.target) for e in b.rejected] == [(8, 3)]


NAN_MOTION = np.eye(4)
NAN_MOTION[0, 3] = np.nan
SHEAR = np.eye(4)
SHEAR[0, 1] = 0.5
INF_INFO = np.eye(6)
INF_INFO[2, 2] = np.inf
SKEW_INFO = np.eye(6)
SKEW_INFO[0, 5] = 1.0


@pytest.mark.parametrize("source, target, motion, info, message", [
    (1, 0, NAN_MOTION, None, "transformation has non-finite entries"),
    (1, 0, SHEAR, None, "transformation is not a rigid motion"),
    (1, 0, np.eye(3), None, "transformation must be a 4x4 matrix"),
    (1, 0, np.eye(4), INF_INFO, "information has non-finite entries"),
    (1, 0, np.eye(4), SKEW_INFO, "information must be a symmetric matrix"),
    (1, 0, np.eye(4), -np.eye(6), "information must be positive semi-definite"),
    (2, 0, np.eye(4), None, "source must be a node number from 0 to 1"),
    (1, 1, np.eye(4), None, "two different nodes"),
])
def test_bad_edges_are_refused(source, target, motion, info, message):
    g = PoseGraph()
    g.add_node()
    g.add_node()
    with pytest.raises(ValueError, match=message):
        g.add_edge(source, target, motion, info, loop_closure=True)
    assert g.edges == []


@pytest.mark.parametrize("text, message", [
    ("{", "not JSON"),
    ('{"format": "something else"}', "not a pose graph"),
    ('{"format": "nubiro pose graph", "version": 1, "poses": [[[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], '
     '[0, 0, 0, 1]]], "edges": [{"source": 0}]}', "missing or wrong entry"),
])
def test_bad_files_name_themselves(tmp_path, text, message):
    path = tmp_path / "graph.json"
    path.write_text(text)
    with pytest.raises(ValueError, match=message) as e:
        PoseGraph.load(path)
    assert str(path) in str(e.value)


@pytest.mark.parametrize("distance", [0.0, -1.0, float("nan"), float("inf")])
def test_optimize_needs_a_positive_distance(distance):
    with pytest.raises(ValueError, match="max_correspondence_distance"):
        graph_on(ring()).optimize(max_correspondence_distance=distance)
