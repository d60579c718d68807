#!/usr/bin/python3
# Writes reference.txt, the references computed independently of the library,
# as cases of the case files:
#   /usr/bin/python3 tests/cases/make_reference.py > tests/cases/reference.txt
# The published rows of Student's t; exact sums of Gaussians, which the peak
# fit recovers; the running smooth in exact rational arithmetic; and values
# of a natural cubic spline computed with SciPy
# (Debian's python3-scipy, 1.10.1 when the file was made):
# 12 uneven knots, and 72 points inside the knots, on every knot and up to two
# units outside both ends, where SciPy carries the end cubics on. Every double
# is printed with 17 significant digits so that it reads back exactly.
import math
from fractions import Fraction

import numpy as np
from scipy.interpolate import CubicSpline

rng = np.random.default_rng(20240611)
n = 12
x = np.cumsum(rng.uniform(0.2, 1.5, n)) - 1.0
y = rng.uniform(-10.0, 10.0, n)
spline = CubicSpline(x, y, bc_type="natural", extrapolate=True)
t = np.concatenate([np.sort(rng.uniform(x[0] - 2.0, x[-1] + 2.0, 60)), x])

fmt = lambda v: "%.17g" % v
print("""# Made by make_reference.py; do not edit. The format is described at the
# head of worked.txt.

# SciPy's CubicSpline(x, y, bc_type='natural'). Its banded solver rounds
# differently: the values (up to 57) agree within 5e-15 relative, and
# 1e-12 * (1 + |S(t)|) hides no wrong coefficient.
case spline against scipy
call alg_cubic_interpolation""")
print("x", " ".join(fmt(v) for v in x))
print("y", " ".join(fmt(v) for v in y))
print("xq", " ".join(fmt(v) for v in t))
print("=> yq", " ".join("%s~%s" % (fmt(float(spline(v))), fmt(1e-12 * (1 + abs(float(spline(v)))))) for v in t))

rows = {2: [4.30265273, 5.642778353, 9.9248432, 14.08904727, 18.21631369, 31.59905458],
        3: [3.182446305, 3.896045934, 5.840909309, 7.453318505, 8.891456288, 12.92397864],
        10: [2.228138842, 2.527484243, 3.169272672, 3.581406202, 3.891954626, 4.586893858],
        30: [2.042272449, 2.278262321, 2.749995652, 3.02979822, 3.229646121, 3.645958632],
        95: [1.985250956, 2.203174065, 2.628575664, 2.874073355, 3.046187595, 3.395903569]}
levels = ["95", "97", "99", "99.5", "99.7", "99.9"]
print("""
# The rows of Student's t for 2, 3, 10, 30 and 95 degrees of freedom as
# published: with RQ 1 and an se factor of 2, N = df + 2 values give the
# bounds 2^-t and 2^t.""")
for df, ts in rows.items():
    for c, t in enumerate(ts):
        f = 2.0 ** t
        print("""
case t for %d degrees of freedom at %s %%
call alg_calc_rq
options 2 2 1 %d 0
summary 1 0 2 %d
calibrator 1
=> result 1 0 2 1 %r %r -7777.25""" % (df, levels[c], c, df + 2, 1 / f, f))

print("""
# Exact sums of Gaussians on 60..95 degrees are recovered from a start near
# the truth (heights 4 % high, centres 0.15 or 0.1 off, widths 7 % narrow).
# The fit stops once a step is below 1e-6 of the parameters' norm, so that
# is the scale its accuracy is measured on: each value to 1e-6 of the norm
# over sqrt(3n), so that all of them together lie within 1e-6 of the norm.
# It starts at the cost (half the sum of squared residuals) worked out here
# and ends at a cost below 1e-8.""")
x = [60.0 + 0.05 * k for k in range(701)]
for a, b, c in [([8, 5], [77, 80.5], [1.1, 0.8]), ([4, 9, 2.5], [72, 84.5, 87], [0.7, 1.3, 0.6])]:
    n = len(b)
    y = []
    for t in x:
        v = 0.0
        for i in range(n):
            d = t - b[i]
            v += a[i] * math.exp(-d * d / (2 * c[i] * c[i]))
        y.append(v)
    tol = 1e-6 * math.sqrt(sum(v * v for v in a + b + c)) / math.sqrt(3 * n)
    print("\ncase peak fit of %d exact peaks" % n)
    print("call alg_mgf_solve")
    print("x", " ".join(fmt(v) for v in x))
    print("y", " ".join(fmt(v) for v in y))
    print("a", " ".join(fmt(v * 1.04) for v in a))
    print("b", " ".join(fmt(v + (0.15 if i % 2 == 0 else -0.1)) for i, v in enumerate(b)))
    print("c", " ".join(fmt(v * 0.93) for v in c))
    for key, truth in (("a", a), ("b", b), ("c", c)):
        print("=>", key, " ".join("%s~%s" % (fmt(v), fmt(tol)) for v in truth))
    start = [(v * 1.04, w + (0.15 if i % 2 == 0 else -0.1), s * 0.93) for i, (v, w, s) in enumerate(zip(a, b, c))]
    cost = 0.5 * sum((sum(p * math.exp(-(t - q) ** 2 / (2 * s * s)) for p, q, s in start) - v) ** 2 for t, v in zip(x, y))
    print("=> summary small-step _ %s~%s 0~1e-8" % (fmt(cost), fmt(1e-12 * cost)))


def parabola_hat():
    """The least-squares parabola through x = 1..5 as a 5 x 5 matrix, exactly."""
    X = [[Fraction(x * x), Fraction(x), Fraction(1)] for x in range(1, 6)]
    a = [[sum(r[i] * r[j] for r in X) for j in range(3)] + [Fraction(int(i == j)) for j in range(3)] for i in range(3)]
    for c in range(3):
        a[c] = [v / a[c][c] for v in a[c]]
        for r in range(3):
            if r != c:
                a[r] = [vr - a[r][c] * vc for vr, vc in zip(a[r], a[c])]
    inv = [row[3:] for row in a]
    return [[sum(X[i][k] * inv[k][m] * X[j][m] for k in range(3) for m in range(3)) for j in range(5)] for i in range(5)]


def running_smooth(v, hat=parabola_hat()):
    """Three passes of the five-point window, exactly (the stages of running_smooth.h)."""
    v = [Fraction(x) for x in v]
    for _ in range(3):
        for s0 in range(len(v) - 5):
            s = w = v[s0:s0 + 5]
            w = [(s[i - 1] + s[i + 1]) / 2 if 0 < i < 4 and (s[i - 1] > s[i] < s[i + 1] or s[i - 1] < s[i] > s[i + 1])
                 else s[i] for i in range(5)]
            s = w = [sum(hat[i][j] * w[j] for j in range(5)) for i in range(5)]
            w = s[:]
            for i in (1, 2):
                d1, d2, d3 = s[i] - s[i - 1], s[i + 1] - s[i], s[i + 2] - s[i]
                if (d1 > d2 and d3 > d2) or (d2 > d1 and d2 > d3):
                    w[i + 1] = (s[i] + s[i + 2]) / 2
            v[s0:s0 + 5] = w
    return v


print("""
# The running smooth in exact rational arithmetic, to 1e-12: a fall into a
# flat run, whose first reading is no isolated minimum (its neighbour is
# equal), and a peak that flattens to a plateau.""")
for name, data in (("a fall into a flat run", [1, 0, 0, 0, 0, 0]), ("a peak and a plateau", [0, 1, 3, 0, 0, 0, 1])):
    print("\ncase running smooth of %s\ncall alg_run_smooth\ndata %s" % (name, " ".join(map(str, data))))
    print("=> data", " ".join("%s~1e-12" % fmt(float(x)) for x in running_smooth(data)))
