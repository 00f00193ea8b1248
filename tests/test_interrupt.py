"""Ctrl-C and the cancellation hook stop long native calls promptly, leave their inputs as they
were, and do not disturb later results; the progress hook sees long calls."""
import os
import signal
import threading
import time

import numpy as np
import pytest

from nubiro import _native, filters, segmentation
from nubiro.cpu.pybind import geometry, io, utility
from nubiro.cpu.pybind.pipelines import registration as reg
from support import cloud

PROMPT = 0.5  # seconds from the request to the raised KeyboardInterrupt


@pytest.fixture(scope="module")
def big():
    """A cloud with normals whose full-size operations run for seconds."""
    rng = np.random.default_rng(4)
    pts = rng.random((60000, 3)) * 10
    c = cloud(pts)
    c.estimate_normals(geometry.KDTreeSearchParamKNN(8))
    return c


def _fpfh(c, radius=0.5, max_nn=30):
    return reg.compute_fpfh_feature(c, geometry.KDTreeSearchParamHybrid(radius, max_nn))


def _ransac(c, f):
    """A search that never meets its confidence: the target is the source turned inside out."""
    target = cloud(-np.asarray(c.points))
    return reg.registration_ransac_based_on_feature_matching(
        c, target, f, f, False, 0.05, reg.TransformationEstimationPointToPoint(), 3, [],
        reg.RANSACConvergenceCriteria(100000000, 1.0))


LONG_CALLS = {
    "normals": lambda c, f=None: c.estimate_normals(geometry.KDTreeSearchParamHybrid(3.0, 300)),
    "fpfh": lambda c, f=None: _fpfh(c, 3.0, 200),
    "ransac": lambda c, f: _ransac(c, f),
    "icp": lambda c, f: reg.registration_icp(c, c, 100.0, np.eye(4), reg.TransformationEstimationPointToPlane(),
                                             reg.ICPConvergenceCriteria(-1.0, -1.0, 10 ** 9)),
}


def _start_in_thread(call, outcome):
    """Runs `call` in a new thread, noting in `outcome` how it ended and when."""
    def run():
        try:
            call()
            outcome["result"] = "finished"
        except KeyboardInterrupt:
            outcome["result"] = "interrupted"
        outcome["ended"] = time.perf_counter()

    worker = threading.Thread(target=run)
    worker.start()
    return worker


def _interrupt_in_thread(call):
    """Runs `call` in a thread, cancels it after 0.3 s; (outcome, seconds from cancel to end)."""
    outcome = {}
    worker = _start_in_thread(call, outcome)
    time.sleep(0.3)
    requested = time.perf_counter()
    _native.cancel_running()
    worker.join(10)
    return outcome.get("result"), outcome.get("ended", float("inf")) - requested


def _interrupt_in_thread_during(call, stage, started=lambda done: True):
    """Runs `call` in a thread and cancels it at its first progress report from `stage` (once
    `started(done)`); (outcome, seconds from cancel to end)."""
    outcome, requested = {}, {}

    def hook(name, done, total, score, seconds, finished):
        if name == stage and started(done) and not requested:
            requested["at"] = time.perf_counter()
            _native.cancel_running()

    _native.set_progress_hook(hook, after=0.0)
    try:
        _start_in_thread(call, outcome).join(60)
    finally:
        _native.set_progress_hook(None)
    assert requested, f"the call never reported {stage!r}"
    return outcome.get("result"), outcome.get("ended", float("inf")) - requested["at"]


@pytest.mark.parametrize("name", sorted(LONG_CALLS))
def test_cancel_hook_stops_call_and_leaves_cloud_unchanged(big, name):
    f = _fpfh(big) if name == "ransac" else None
    points, normals = np.asarray(big.points).copy(), np.asarray(big.normals).copy()
    result, latency = _interrupt_in_thread(lambda: LONG_CALLS[name](big, f))
    assert result == "interrupted"
    assert latency < PROMPT
    assert np.array_equal(np.asarray(big.points), points)
    assert np.array_equal(np.asarray(big.normals), normals)


STAGED_CALLS = {
    "normals": LONG_CALLS["normals"],
    "FPFH features": LONG_CALLS["fpfh"],
    "statistical outliers": lambda c: filters.remove_statistical_outliers(c, 400, 2.0),
    "DBSCAN": lambda c: segmentation.dbscan(c, 2.0, 400),
}


@pytest.mark.parametrize("stage", STAGED_CALLS)
def test_progress_names_the_stage_of_a_long_call(big, stage):
    heard = set()

    def hook(name, done, total, score, seconds, finished):
        heard.add(name)
        _native.cancel_running()  # heard enough

    _native.set_progress_hook(hook, after=0.0)
    try:
        with pytest.raises(KeyboardInterrupt):
            STAGED_CALLS[stage](big)
    finally:
        _native.set_progress_hook(None)
    assert heard == {stage}


def _slab(n):
    """n points in a 10 x 10 x 0.5 slab with random unit normals."""
    rng = np.random.default_rng(8)
    normals = rng.normal(size=(n, 3))
    return cloud(rng.random((n, 3)) * [10, 10, 0.5], normals / np.linalg.norm(normals, axis=1)[:, None])


# Serial steps inside long calls, each running for about a second: (cloud, call, the progress
# stage of the step, a test of its count that says the step is under way).
SERIAL_STEPS = {
    "orientation spanning trees": (lambda: _slab(600_000), lambda c: c.orient_normals_consistent_tangent_plane(10),
                                   "orienting normals: spanning trees", lambda done: True),
    "down-sampling passes": (lambda: _slab(3_000_000), lambda c: c.voxel_down_sample(1e-4),
                             "down-sampling", lambda done: done > 0),
}


@pytest.mark.parametrize("name", SERIAL_STEPS)
def test_cancel_hook_stops_serial_steps_and_leaves_cloud_unchanged(name):
    make, call, stage, started = SERIAL_STEPS[name]
    c = make()
    points, normals = np.asarray(c.points).copy(), np.asarray(c.normals).copy()
    result, latency = _interrupt_in_thread_during(lambda: call(c), stage, started)
    assert result == "interrupted"
    assert latency < PROMPT
    assert np.array_equal(np.asarray(c.points), points)
    assert np.array_equal(np.asarray(c.normals), normals)


def _ctrl_c_after(seconds, call):
    """Runs `call` on the main thread and presses Ctrl-C after `seconds`; seconds to the raise.

    Python's own Ctrl-C handler is put in place for the call, as an interactive session has it:
    a process started in the background by a shell without job control inherits SIGINT ignored,
    and Python then leaves it ignored."""
    sent = {}

    def press_ctrl_c():
        time.sleep(seconds)
        sent["at"] = time.perf_counter()
        os.kill(os.getpid(), signal.SIGINT)

    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        presser = threading.Thread(target=press_ctrl_c)
        presser.start()
        with pytest.raises(KeyboardInterrupt):
            call()
        raised = time.perf_counter()
        presser.join()
    finally:
        signal.signal(signal.SIGINT, previous)
    return raised - sent["at"]


def test_ctrl_c_reaches_a_call_on_the_main_thread(big):
    assert _ctrl_c_after(0.3, lambda: LONG_CALLS["normals"](big, None)) < PROMPT


def test_ctrl_c_stops_reading_large_files(tmp_path):
    path = str(tmp_path / "large.ply")
    assert io.write_point_cloud(path, cloud(np.random.default_rng(1).random((300000, 3))), write_ascii=True)
    assert _ctrl_c_after(0.5, lambda: [io.read_point_cloud(path) for _ in range(1000)]) < PROMPT


def test_stopped_ransac_leaves_the_seeded_draws_as_they_were(big):
    small = big.voxel_down_sample(0.4)
    small.estimate_normals(geometry.KDTreeSearchParamKNN(10))
    f = _fpfh(small, 1.0, 50)

    def short_run():
        return reg.registration_ransac_based_on_feature_matching(
            small, small, f, f, False, 0.2, reg.TransformationEstimationPointToPoint(), 3, [],
            reg.RANSACConvergenceCriteria(2000, 0.999))

    utility.random.seed(7)
    expected = short_run()
    utility.random.seed(7)
    assert _interrupt_in_thread(lambda: _ransac(small, f))[0] == "interrupted"
    # The stopped search put the engine back, so the next run draws what a fresh one does.
    again = short_run()
    assert np.array_equal(again.transformation, expected.transformation)
    assert (again.fitness, again.inlier_rmse) == (expected.fitness, expected.inlier_rmse)


def test_progress_hook_sees_a_long_call_and_can_stop_it(big):
    f = _fpfh(big)
    heard = []

    class Enough(Exception):
        pass

    def hook(stage, done, total, score, seconds, finished):
        heard.append((stage, done, total, score, seconds, finished))
        if len(heard) == 3:
            raise Enough

    _native.set_progress_hook(hook)
    try:
        with pytest.raises(Enough):
            _ransac(big, f)
    finally:
        _native.set_progress_hook(None)
    assert len(heard) == 3
    stage, done, total, score, seconds, finished = heard[-1]
    assert stage == "RANSAC iterations" and 0 <= done <= total > 0
    assert score is not None and 0 <= score <= 1
    assert seconds >= 1.0 and not finished
    with pytest.raises(TypeError):
        _native.set_progress_hook(3)
    with pytest.raises(ValueError):
        _native.set_progress_hook(hook, after=-1.0)
