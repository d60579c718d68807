#!/usr/bin/python3
# Reference values of a natural cubic spline, computed independently of the
# library with SciPy (Debian's python3-scipy, 1.10.1 when this file was made).
#
# Made once with:
#   /usr/bin/python3 tests/interpolation/data/make_spline_reference.py \
#       > tests/interpolation/data/natural_spline_reference.txt
#
# Output, one value per token, every double printed with 17 significant
# digits so that it reads back exactly:
#   line 1: n, the number of knots
#   line 2: the n knot abscissae (ascending, uneven steps)
#   line 3: the n knot ordinates
#   line 4: m, the number of evaluation points
#   then m lines "t S(t)": points inside the knots, on every knot, and up to
#   two units outside both ends, where SciPy carries the end cubics on.
import numpy as np
from scipy.interpolate import CubicSpline

rng = np.random.default_rng(20240611)
n = 12
x = np.cumsum(rng.uniform(0.2, 1.5, n)) - 1.0
y = rng.uniform(-10.0, 10.0, n)
spline = CubicSpline(x, y, bc_type="natural", extrapolate=True)

t = np.concatenate([
    np.sort(rng.uniform(x[0] - 2.0, x[-1] + 2.0, 60)),
    x,
])

fmt = lambda v: "%.17g" % v
print(n)
print(" ".join(fmt(v) for v in x))
print(" ".join(fmt(v) for v in y))
print(len(t))
for ti in t:
    print(fmt(ti), fmt(float(spline(ti))))
