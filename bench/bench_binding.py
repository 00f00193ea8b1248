"""Per-call overhead of the binding layer, next to a built-in method call in the same run.

Target: a no-argument method call (``pc.has_points()``) no slower than ``lst.__len__()``.
"""
from _timing import report, stmt_best

from nubiro import geometry

env = {"pc": geometry.PointCloud(), "lst": [1, 2, 3]}
N = 2_000_000
len_call = stmt_best("lst.__len__()", env, N)
report("pc.has_points()", stmt_best("pc.has_points()", env, N), "lst.__len__()", len_call, target=1.0)
report("pc.is_empty()", stmt_best("pc.is_empty()", env, N), "lst.__len__()", len_call)
report("pc.dimension()", stmt_best("pc.dimension()", env, N), "lst.__len__()", len_call)
report("pc.translate([1, 2, 3], relative=True)",
       stmt_best("pc.translate([1, 2, 3], relative=True)", env, N // 10), "lst.__len__()", len_call)
report("pc.translate([1, 2, 3], relative=True)",
       stmt_best("pc.translate([1, 2, 3], relative=True)", env, N // 10), "lst.insert(0, [1, 2, 3]); lst.pop(0)",
       stmt_best("lst.insert(0, [1, 2, 3]); lst.pop(0)", env, N // 10))
