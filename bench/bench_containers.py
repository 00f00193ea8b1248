"""Container conversions and element access, next to NumPy and list equivalents.

Targets: ``Vector3dVector(a)`` from a C-contiguous (1_000_000, 3) float64 array within 1.3x of
``a.copy()``; ``numpy.asarray(v)`` constant time (no copy).
"""
import numpy as np
from _timing import best, report, stmt_best

from nubiro import utility

a = np.random.default_rng(0).random((1_000_000, 3))
report("Vector3dVector(a), 1e6 x 3", best(lambda: utility.Vector3dVector(a)), "a.copy()", best(a.copy), target=1.3)

small = utility.Vector3dVector(a[:10])
big = utility.Vector3dVector(a)
t_small = best(lambda: np.asarray(small), number=10000)
t_big = best(lambda: np.asarray(big), number=10000)
print(f"numpy.asarray(v): 10 elements {t_small * 1e6:.3f} us, 1_000_000 elements {t_big * 1e6:.3f} us "
      f"(ratio {t_big / t_small:.2f}: constant time, shares memory: {np.shares_memory(np.asarray(big), np.asarray(big))})")

env = {"v": big, "lst": a[:1000].tolist(), "d": utility.DoubleVector(list(range(1000))), "dl": list(range(1000))}
report("v[5] (Vector3dVector)", stmt_best("v[5]", env, 200_000), "lst[5] (list)", stmt_best("lst[5]", env, 200_000))
report("len(v) (Vector3dVector)", stmt_best("len(v)", env, 1_000_000), "len(lst) (list)",
       stmt_best("len(lst)", env, 1_000_000))
report("d[5] (DoubleVector)", stmt_best("d[5]", env, 1_000_000), "dl[5] (list)", stmt_best("dl[5]", env, 1_000_000))
