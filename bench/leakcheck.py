"""Leak and reference-count check over every public entry point.

    python bench/leakcheck.py [--calls 100000] [--warmup 2000] [--only SUBSTRING]

Each entry of ENTRIES makes one call (a successful one or a documented error path) on
arguments built once. After a warm-up, the call is repeated `--calls` times and the script
measures: the reference counts of every argument (sys.getrefcount, unchanged), the memory of
Python objects (tracemalloc, which also sees NumPy's array buffers) and the resident set of the
process (native memory: core arrays, KD-tree nodes). It prints one line per entry and fails
when anything grew beyond the noise limits below.

To cover a new entry point, add one `entry(name, call, *args, raises=...)` line: `call(*args)`
makes the call, `raises` names the exception of an error path. Calls that add to an object
must take it back off in the same call (append then pop), so the object itself does not grow.
tests/test_leaks.py runs the same table with fewer calls.
"""
import argparse
import copy
import gc
import os
import sys
import tracemalloc

import numpy as np

from nubiro.cpu.pybind import geometry, io, utility
from nubiro.cpu.pybind.pipelines import registration

# Growth allowed over all measured calls: a per-call leak of a single small object shows well
# above these once the calls number in the thousands.
PYTHON_BYTES_LIMIT = 64 * 1024
RSS_BYTES_LIMIT = 1024 * 1024


class Entry:
    def __init__(self, name, call, args, raises):
        self.name, self.call, self.args, self.raises = name, call, args, raises

    def once(self):
        if self.raises is None:
            self.call(*self.args)
            return
        try:
            self.call(*self.args)
        except self.raises:
            return
        raise AssertionError(f"{self.name}: expected {self.raises.__name__}")


ENTRIES = []


def entry(name, call, *args, raises=None):
    ENTRIES.append(Entry(name, call, args, raises))


def _cloud(n=40):
    pc = geometry.PointCloud()
    pts = np.random.default_rng(0).random((n, 3))
    pc.points = pts
    pc.normals = pts[::-1].copy()
    pc.colors = pts * 0.5
    return pc


def _feature():
    f = registration.Feature()
    f.data = np.random.default_rng(1).random((4, 30))
    return f


def _build():
    cloud, feature = _cloud(), _feature()
    v3, m4 = np.array([0.5, -0.25, 1.0]), np.eye(4)
    m3, q4 = np.eye(3), np.array([1.0, 0.0, 0.0, 0.0])
    rows = np.random.default_rng(2).random((5, 3))
    tree = geometry.KDTreeFlann(cloud)
    knn, radius, hybrid = (geometry.KDTreeSearchParamKNN(5), geometry.KDTreeSearchParamRadius(0.3),
                           geometry.KDTreeSearchParamHybrid(0.3, 5))
    bad_vec, bad_mat, noncontig = [1.0, 2.0], [[1.0, 0, 0]] * 3, np.arange(9.0)[::3]
    one, big, neg = 1, 2**40, -1

    # PointCloud
    entry("PointCloud()", lambda: geometry.PointCloud())
    entry("PointCloud(other)", lambda c: geometry.PointCloud(c), cloud)
    entry("PointCloud(5) error", lambda x: geometry.PointCloud(x), one, raises=TypeError)
    entry("PointCloud.__copy__", lambda c: copy.copy(c), cloud)
    entry("PointCloud.__deepcopy__", lambda c: copy.deepcopy(c), cloud)
    entry("PointCloud repr", lambda c: repr(c), cloud)
    for name in ("is_empty", "dimension", "get_geometry_type", "has_points", "has_normals", "has_colors",
                 "get_min_bound", "get_max_bound", "get_center", "normalize_normals"):
        entry(f"PointCloud.{name}", lambda c, n=name: getattr(c, n)(), cloud)
    entry("PointCloud.points get", lambda c: c.points, cloud)
    entry("PointCloud.points set", lambda c, a: setattr(c, "points", a), _cloud(), rows)
    entry("PointCloud.normals set (list)", lambda c, a: setattr(c, "normals", a), _cloud(), rows.tolist())
    entry("PointCloud.colors set error", lambda c, a: setattr(c, "colors", a), cloud, bad_vec, raises=TypeError)
    entry("PointCloud del points error", lambda c: delattr(c, "points"), cloud, raises=AttributeError)
    entry("PointCloud.clear", lambda: geometry.PointCloud().clear())
    entry("PointCloud.transform", lambda c, m: c.transform(m), cloud, m4)
    entry("PointCloud.transform error", lambda c, m: c.transform(m), cloud, m3, raises=TypeError)
    entry("PointCloud.translate", lambda c, t: c.translate(t, relative=False), cloud, v3)
    entry("PointCloud.translate error", lambda c, t: c.translate(t), cloud, bad_vec, raises=TypeError)
    entry("PointCloud.translate relative error", lambda c, t, r: c.translate(t, r), cloud, v3, one,
          raises=TypeError)
    entry("PointCloud.translate noncontig error", lambda c, t: c.translate(t), cloud, noncontig, raises=TypeError)
    entry("PointCloud.scale", lambda c, t: c.scale(1.0, t), cloud, v3)
    entry("PointCloud.rotate", lambda c, r, t: c.rotate(r, t), cloud, m3, v3)
    entry("PointCloud.rotate error", lambda c, r: c.rotate(r), cloud, bad_mat, raises=TypeError)
    entry("PointCloud.paint_uniform_color", lambda c, t: c.paint_uniform_color(t), cloud, v3)
    entry("PointCloud surplus argument error", lambda c, t: c.clear(t), cloud, v3, raises=TypeError)
    entry("PointCloud unknown keyword error", lambda c, t: c.translate(t, nope=1), cloud, v3, raises=TypeError)
    entry("PointCloud missing argument error", lambda c: c.translate(), cloud, raises=TypeError)

    # views
    view = cloud.points
    entry("view[i]", lambda v: v[3], view)
    entry("view[i] = value", lambda v, t: v.__setitem__(3, t), view, v3)
    entry("view append/pop", lambda v, t: (v.append(t), v.pop()), view, v3)
    entry("view insert/pop", lambda v, t: (v.insert(0, t), v.pop(0)), view, v3)
    entry("view extend/pop", lambda v, a: (v.extend(a), v.pop()), view, rows[:1])
    entry("view count", lambda v, t: v.count(t), view, v3)
    entry("view remove error", lambda v, t: v.remove(t), view, [9.0, 9.0, 9.0], raises=TypeError)
    entry("view pop error", lambda v: v.pop(10**6), view, raises=IndexError)
    entry("view append error", lambda v, t: v.append(t), view, bad_vec, raises=TypeError)
    entry("view numpy.asarray", lambda v: np.asarray(v), view)
    entry("view __array__ dtype", lambda v: v.__array__(np.float32), view)
    entry("view len/repr/==", lambda v: (len(v), repr(v), v == v), view)
    entry("view copy", lambda v: copy.copy(v), view)
    entry("view iteration", lambda v: list(v), view)
    entry("view del error", lambda v: v.__delitem__(0), view, raises=NotImplementedError)

    # free-standing containers
    kinds = [(utility.Vector2dVector, np.zeros((6, 2)), [1.0, 2.0]),
             (utility.Vector3dVector, np.zeros((6, 3)), [1.0, 2.0, 3.0]),
             (utility.Vector2iVector, np.zeros((6, 2), np.int32), [1, 2]),
             (utility.Vector3iVector, np.zeros((6, 3), np.int32), [1, 2, 3]),
             (utility.Vector4iVector, np.zeros((6, 4), np.int32), [1, 2, 3, 4]),
             (utility.DoubleVector, [0.0] * 6, 1.5),
             (utility.IntVector, [0] * 6, 7)]
    for cls, data, element in kinds:
        n = cls.__name__
        c = cls(data)
        entry(f"{n}(data)", lambda k, d: k(d), cls, data)
        entry(f"{n} list input", lambda k, d: k(d), cls, list(map(list, data)) if n[-7] in "234" else data)
        entry(f"{n} append/pop", lambda v, e: (v.append(e), v.pop()), c, element)
        entry(f"{n} insert/pop", lambda v, e: (v.insert(-1, e), v.pop(0)), c, element)
        entry(f"{n} extend/pop", lambda v, e: (v.extend([e]), v.pop()), c, element)
        entry(f"{n}[i] / [i]=", lambda v, e: (v.__setitem__(0, e), v[0]), c, element)
        entry(f"{n} count/==/repr/len", lambda v, e: (v.count(e), v == v, repr(v), len(v)), c, element)
        entry(f"{n} __array__/copy", lambda v: (np.asarray(v), copy.deepcopy(v)), c)
        entry(f"{n} index error", lambda v: v[100], c, raises=IndexError)
        entry(f"{n} element error", lambda v: v.append("x"), c, raises=TypeError)
        entry(f"{n} remove error", lambda v, e: v.remove(e), cls(), element, raises=TypeError)
    entry("IntVector overflow error", lambda v, b: v.append(b), utility.IntVector(), big, raises=OverflowError)
    for cls in (utility.Matrix3dVector, utility.Matrix4dVector):
        entry(f"{cls.__name__}()", lambda k: (k(), repr(k()), len(k())), cls)
        entry(f"{cls.__name__}(data) error", lambda k, d: k(d), cls, rows, raises=TypeError)

    # KD-tree and search parameters
    entry("KDTreeFlann(cloud)", lambda c: geometry.KDTreeFlann(c), cloud)
    entry("KDTreeFlann(feature)", lambda f: geometry.KDTreeFlann(f), feature)
    entry("KDTreeFlann(matrix)", lambda m: geometry.KDTreeFlann(m), rows.T)
    entry("KDTreeFlann(list) error", lambda m: geometry.KDTreeFlann(m), bad_mat, raises=TypeError)
    entry("KDTreeFlann.set_geometry", lambda t, c: t.set_geometry(c), geometry.KDTreeFlann(), cloud)
    entry("KDTreeFlann.set_feature", lambda t, f: t.set_feature(f), geometry.KDTreeFlann(), feature)
    entry("KDTreeFlann.set_matrix_data", lambda t, m: t.set_matrix_data(m), geometry.KDTreeFlann(), rows.T)
    entry("KDTreeFlann.set_geometry error", lambda t, f: t.set_geometry(f), tree, feature, raises=TypeError)
    entry("search_knn_vector_3d", lambda t, q: t.search_knn_vector_3d(q, 5), tree, v3)
    entry("search_radius_vector_3d", lambda t, q: t.search_radius_vector_3d(q, 0.3), tree, v3)
    entry("search_hybrid_vector_3d", lambda t, q: t.search_hybrid_vector_3d(q, 0.3, 5), tree, v3)
    entry("search_vector_3d", lambda t, q, p, r, h: (t.search_vector_3d(q, p), t.search_vector_3d(q, r),
                                                     t.search_vector_3d(q, h)), tree, v3, knn, radius, hybrid)
    entry("search_*_vector_xd", lambda t, q, p: (t.search_knn_vector_xd(q, 5), t.search_radius_vector_xd(q, 0.3),
                                                  t.search_hybrid_vector_xd(q, 0.3, 5), t.search_vector_xd(q, p)),
          tree, v3, knn)
    entry("search on an empty tree", lambda t, q: t.search_knn_vector_3d(q, 5), geometry.KDTreeFlann(), v3)
    entry("search_knn_vector_3d error", lambda t, q: t.search_knn_vector_3d(q, 5), tree, bad_vec, raises=TypeError)
    entry("search_knn_vector_xd error", lambda t, q: t.search_knn_vector_xd(q, 5), tree, noncontig,
          raises=TypeError)
    entry("search_vector_3d error", lambda t, q: t.search_vector_3d(q, 5), tree, v3, raises=TypeError)
    entry("search_knn_vector_3d overflow", lambda t, q, b: t.search_knn_vector_3d(q, b), tree, v3, big,
          raises=OverflowError)
    entry("KDTreeSearchParam*()", lambda: (geometry.KDTreeSearchParamKNN(), geometry.KDTreeSearchParamRadius(1.0),
                                          geometry.KDTreeSearchParamHybrid(1.0, 3)))
    entry("KDTreeSearchParam attributes", lambda p, r, h: (p.knn, r.radius, h.radius, h.max_nn, p.get_search_type(),
                                                           repr(p), repr(r), repr(h)), knn, radius, hybrid)
    entry("KDTreeSearchParam setters", lambda p, r: (setattr(p, "knn", 5), setattr(r, "radius", 0.3)), knn, radius)
    entry("KDTreeSearchParamKNN overflow", lambda b: geometry.KDTreeSearchParamKNN(b), big, raises=OverflowError)
    entry("KDTreeSearchParamRadius error", lambda: geometry.KDTreeSearchParamRadius("x"), raises=TypeError)
    entry("KDTreeSearchParam() error", lambda: geometry.KDTreeSearchParam(), raises=TypeError)

    # Feature
    entry("Feature(other)", lambda f: registration.Feature(f), feature)
    entry("Feature copies/repr", lambda f: (copy.copy(f), copy.deepcopy(f), repr(f)), feature)
    entry("Feature.resize/dimension/num", lambda f: (f.resize(3, 7), f.dimension(), f.num()), registration.Feature())
    entry("Feature.data get", lambda f: f.data, feature)
    entry("Feature.data set", lambda f, m: setattr(f, "data", m), registration.Feature(), rows)
    entry("Feature.resize error", lambda f, n: f.resize(n, 2), registration.Feature(), neg, raises=ValueError)
    entry("Feature.data error", lambda f, m: setattr(f, "data", m), registration.Feature(), bad_mat, raises=TypeError)

    # normals, down-sampling, orientation
    entry("PointCloud.estimate_normals", lambda c, p: c.estimate_normals(p), _cloud(), knn)
    entry("PointCloud.voxel_down_sample", lambda c: c.voxel_down_sample(0.2), cloud)
    entry("PointCloud.voxel_down_sample error", lambda c: c.voxel_down_sample(-1.0), cloud, raises=RuntimeError)
    entry("PointCloud.orient_normals_*", lambda c, t: (c.orient_normals_to_align_with_direction(t),
                                                       c.orient_normals_towards_camera_location(t)), _cloud(), v3)
    entry("PointCloud.orient_normals_consistent_tangent_plane", lambda c: c.orient_normals_consistent_tangent_plane(5),
          _cloud())
    entry("orient k error", lambda c, n: c.orient_normals_consistent_tangent_plane(n), cloud, neg,
          raises=OverflowError)
    entry("PointCloud.get_axis_aligned_bounding_box", lambda c: c.get_axis_aligned_bounding_box(), cloud)

    # meshes, boxes, voxel grids
    mesh = geometry.TriangleMesh()
    mesh.vertices = rows
    mesh.triangles = np.array([[0, 1, 2], [1, 2, 3], [2, 3, 4]], dtype=np.int32)
    entry("TriangleMesh(other)/copy/repr", lambda m: (geometry.TriangleMesh(m), copy.deepcopy(m), repr(m)), mesh)
    entry("TriangleMesh normals", lambda m: (m.compute_triangle_normals(), m.compute_vertex_normals()), mesh)
    entry("TriangleMesh views", lambda m: (np.asarray(m.vertices), m.triangles[0], len(m.vertex_normals)), mesh)
    entry("TriangleMesh transforms", lambda m, t, r: (m.translate(t, relative=False), m.rotate(r), m.transform(np.eye(4))),
          mesh, v3, m3)
    entry("TriangleMesh.triangles set", lambda m, a: setattr(m, "triangles", a), geometry.TriangleMesh(),
          np.array([[0, 1, 2]], dtype=np.int32))
    entry("TriangleMesh.vertices set error", lambda m, a: setattr(m, "vertices", a), mesh, bad_vec, raises=TypeError)
    box = geometry.AxisAlignedBoundingBox([0, 0, 0], [1, 1, 1])
    entry("AxisAlignedBoundingBox queries", lambda b: (b.get_extent(), b.get_center(), b.volume(), b.get_box_points(),
                                                       b.get_print_info(), repr(b)), box)
    entry("AxisAlignedBoundingBox points", lambda b, p: (b.get_point_indices_within_bounding_box(p),
                                                         geometry.AxisAlignedBoundingBox.create_from_points(p)),
          box, cloud.points)
    entry("AxisAlignedBoundingBox error", lambda b, p: b.get_point_indices_within_bounding_box(p), box, rows,
          raises=TypeError)
    entry("VoxelGrid.create_from_point_cloud", lambda c: geometry.VoxelGrid.create_from_point_cloud(c, 0.2)
          .get_voxels(), cloud)
    entry("VoxelGrid error", lambda c: geometry.VoxelGrid.create_from_point_cloud(c, 0.0), cloud, raises=RuntimeError)
    entry("Voxel", lambda g: repr(geometry.Voxel(g, [0.5, 0.5, 0.5])), [1, 2, 3])

    # file and byte-string input/output (on byte strings and a missing file: no disk traffic)
    xyz = b"0 0 0\n1 2 3\n4 5 6\n"
    entry("read_point_cloud_from_bytes", lambda b: io.read_point_cloud_from_bytes(b, "mem::xyz"), xyz)
    entry("write_point_cloud_to_bytes", lambda c: io.write_point_cloud_to_bytes(c, "mem::xyz"), cloud)
    entry("write_point_cloud_to_bytes error", lambda c: io.write_point_cloud_to_bytes(c), cloud, raises=ValueError)
    entry("read a missing file", lambda n: (io.read_point_cloud(n), io.read_triangle_mesh(n + ".ply"),
                                            io.read_file_geometry_type(n)), "/nonexistent/cloud.xyz")
    entry("read_point_cloud filename error", lambda n: io.read_point_cloud(n), one, raises=TypeError)

    # registration
    source, target = _cloud(), _cloud()
    source.translate([0.01, 0.0, 0.0])
    entry("evaluate_registration", lambda s, t, m: registration.evaluate_registration(s, t, 0.2, m), source, target, m4)
    entry("registration_icp", lambda s, t, m: registration.registration_icp(s, t, 0.2, m), source, target, m4)
    entry("registration_icp point-to-plane", lambda s, t, e, c: registration.registration_icp(s, t, 0.2, None, e, c),
          source, target, registration.TransformationEstimationPointToPlane(), registration.ICPConvergenceCriteria())
    entry("registration_icp error", lambda s, t: registration.registration_icp(s, t, -1.0), source, target,
          raises=RuntimeError)
    entry("get_information_matrix", lambda s, t, m: registration.get_information_matrix_from_point_clouds(s, t, 0.2, m),
          source, target, m4)
    entry("compute_fpfh_feature", lambda s, p: registration.compute_fpfh_feature(s, p), target, hybrid)
    entry("correspondences_from_features", lambda f: registration.correspondences_from_features(f, f, True), feature)
    corres = np.array([[0, 0], [1, 1], [2, 2]], dtype=np.int32)
    estimation = registration.TransformationEstimationPointToPoint()
    entry("compute_rmse/compute_transformation", lambda e, s, t, c: (e.compute_rmse(s, t, c),
                                                                     e.compute_transformation(s, t, c)),
          estimation, source, target, corres)
    entry("RegistrationResult attributes", lambda r, m, c: (setattr(r, "transformation", m),
                                                            setattr(r, "correspondence_set", c), r.transformation,
                                                            r.correspondence_set, r.fitness, repr(r)),
          registration.RegistrationResult(), m4, corres)
    entry("convergence criteria", lambda: (repr(registration.ICPConvergenceCriteria(1e-3, 1e-3, 5)),
                                           repr(registration.RANSACConvergenceCriteria(100, 0.9))))
    entry("checkers", lambda s, t, c: [k.Check(s, t, c, np.eye(4)) for k in (
        registration.CorrespondenceCheckerBasedOnDistance(0.5), registration.CorrespondenceCheckerBasedOnEdgeLength(),
        registration.CorrespondenceCheckerBasedOnNormal(0.5))], source, target, corres)
    entry("registration_ransac_based_on_correspondence",
          lambda s, t, c, cr: registration.registration_ransac_based_on_correspondence(s, t, c, 0.2, criteria=cr),
          source, target, corres, registration.RANSACConvergenceCriteria(20, 0.9))
    entry("random.seed", lambda n: utility.random.seed(n), one)

    # rotations, enums and verbosity
    for name in ("xyz", "xzy", "yxz", "yzx", "zxy", "zyx", "axis_angle"):
        entry(f"get_rotation_matrix_from_{name}", lambda v, f=getattr(geometry, f"get_rotation_matrix_from_{name}"): f(v),
              v3)
    entry("get_rotation_matrix_from_quaternion", lambda q: geometry.get_rotation_matrix_from_quaternion(q), q4)
    entry("quaternion error", lambda q: geometry.get_rotation_matrix_from_quaternion(q), np.zeros(4),
          raises=ValueError)
    entry("rotation error", lambda v: geometry.get_rotation_matrix_from_xyz(v), bad_vec, raises=TypeError)
    entry("GeometryType members", lambda: (repr(geometry.Geometry.PointCloud), hash(geometry.Geometry.PointCloud),
                                           geometry.Geometry.PointCloud == geometry.Geometry.Unspecified))
    entry("verbosity", lambda lv: (utility.set_verbosity_level(lv), utility.get_verbosity_level(),
                                   utility.reset_print_function()), utility.VerbosityLevel.Info)
    entry("VerbosityContextManager", lambda lv: utility.VerbosityContextManager(lv).__enter__(),
          utility.VerbosityLevel.Info)
    entry("with VerbosityContextManager", _scoped, utility.VerbosityLevel.Debug)
    entry("verbosity error", lambda s: utility.set_verbosity_level(s), "x", raises=TypeError)


def _scoped(level):
    with utility.VerbosityContextManager(level):
        pass


def _rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _peak_rss_bytes():
    import resource
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def measure(e, calls, warmup, quick=False):
    """Runs `e` warmup + calls times; returns (reference-count changes, Python bytes, RSS bytes)
    accrued over the measured calls. `quick` keeps the collector off meanwhile, so that garbage
    cycles made by the calls stay in the youngest generation and one cheap collection of it
    frees them (a full collection per entry is slow in a large process)."""
    def collect():
        gc.collect(0) if quick else gc.collect()
        # The interpreter's type-attribute cache keeps a reference to the name string of each
        # lookup, in a slot chosen by the string's address: with an allocator that does not
        # reuse addresses at once (the sanitizer's), every lookup by a fresh name string holds
        # one more string until the cache is full.
        sys._clear_type_cache()

    if quick:
        gc.disable()
    # Tracing starts before the warm-up: a cache that replaces its entries would otherwise
    # look like growth (untraced old entries freed, traced new ones kept).
    tracemalloc.start()
    try:
        for _ in range(warmup):
            e.once()
        collect()
        refs = [sys.getrefcount(a) for a in e.args]
        python_before = tracemalloc.get_traced_memory()[0]
        rss_before = _rss_bytes()
        for _ in range(calls):
            e.once()
        collect()
        python_grown = tracemalloc.get_traced_memory()[0] - python_before
        rss_grown = _rss_bytes() - rss_before
    finally:
        tracemalloc.stop()
        gc.enable()
    after = [sys.getrefcount(a) for a in e.args]
    ref_changes = [(i, a - b) for i, (b, a) in enumerate(zip(refs, after)) if a != b]
    return ref_changes, python_grown, rss_grown


def build_entries():
    ENTRIES.clear()
    _build()
    return list(ENTRIES)


def problems(e, calls, warmup, python_limit=PYTHON_BYTES_LIMIT, rss_limit=RSS_BYTES_LIMIT, quick=False, rounds=1):
    """What grew for one entry (empty when nothing did), with the measured figures. With several
    rounds, only what grew in every round counts (the smallest growth is reported): a leak grows
    each time, while a cache filling up or a resize of an interpreter table happens once."""
    measured = [measure(e, calls, warmup, quick) for _ in range(rounds)]
    changed = set.intersection(*({i for i, _ in m[0]} for m in measured))
    python_grown = min(m[1] for m in measured)
    rss_grown = min(m[2] for m in measured)
    found = [f"argument {i}: reference count {d:+d}" for i, d in measured[-1][0] if i in changed]
    if python_grown > python_limit:
        found.append(f"Python memory +{python_grown} bytes")
    if rss_grown > rss_limit:
        found.append(f"resident memory +{rss_grown} bytes")
    return found, python_grown, rss_grown


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=100_000)
    parser.add_argument("--warmup", type=int, default=2_000)
    parser.add_argument("--only", default="")
    opts = parser.parse_args()
    saved_level = utility.get_verbosity_level()
    entries = [e for e in build_entries() if opts.only in e.name]
    rss_start = _rss_bytes()
    failures = 0
    print(f"{'entry point':44} {'python B':>10} {'rss B':>10}")
    for e in entries:
        found, python_grown, rss_grown = problems(e, opts.calls, opts.warmup)
        failures += bool(found)
        print(f"{e.name:44} {python_grown:>10} {rss_grown:>10} {'; '.join(found)}", flush=True)
    utility.set_verbosity_level(saved_level)
    print(f"{len(entries)} entries x {opts.calls} calls: resident {rss_start >> 20} MiB at start, "
          f"{_rss_bytes() >> 20} MiB at end, peak {_peak_rss_bytes() >> 20} MiB; {failures} with growth")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
