"""Student's t and Fisher's F: tail probabilities and quantiles that come out
the same on every platform.

Python's ``math.exp``, ``math.log`` and ``math.lgamma`` are the platform C
library's and may differ in the last bit between systems; a p-value or an
interval computed through them would differ too. Everything here uses only
IEEE operations that are exactly rounded wherever Python runs (+, -, *, /,
``math.sqrt``, ``math.frexp`` and ``math.ldexp``) in one fixed order, so
each result is one determined double.

The tail probabilities come from the regularized incomplete beta function
I_x(a, b), evaluated by its continued fraction (Abramowitz and Stegun
26.5.8) on the side of the mean where it converges fast; the quantiles invert
the tail by Newton steps kept inside a bracket. Accuracy is about 1e-14
relative for moderate degrees of freedom, far below anything a lab reports.
"""
import math
from fractions import Fraction

# ln 2 split so that k * LN2_HI is exact for |k| < 2^20 (its low 32 bits are zero).
LN2_HI = 6.93147180369123816490e-01
LN2_LO = 1.90821492927058770002e-10
INV_LN2 = 1.44269504088896338700e+00
LN10 = 2.302585092994045684017991454684364208
HALF_LN_2PI = 0.918938533204672741780329736405617639861
SQRT_HALF = 0.70710678118654752440
#: Past these, exp overflows to infinity or underflows to zero.
EXP_MAX, EXP_MIN = 709.782712893384, -745.1332191019412
#: Terms of the Taylor series of exp on |r| <= ln2 / 2: the next term is below 1e-20.
EXP_TERMS = 18
#: Terms of the series 2 atanh(s) for log on |s| <= 0.172: the next is below 1e-20.
LOG_TERMS = 13
#: lgamma is shifted up to at least this before its asymptotic series is used.
STIRLING_FROM = 15.0
#: The continued fraction stops when a step changes it by less than this (relative).
CF_EPSILON = 1e-16
#: Enough for shape parameters up to about 1e9; more means the input is not a test statistic.
CF_MAX_STEPS = 20000
#: Keeps the continued fraction's denominators away from zero (modified Lentz).
CF_TINY = 1e-300
#: Newton steps of a quantile; each is bracketed, so the count only bounds the work.
QUANTILE_STEPS = 200

_EXP_COEFFICIENTS = tuple(float(Fraction(1, math.factorial(n))) for n in range(EXP_TERMS + 1))
_LOG_COEFFICIENTS = tuple(float(Fraction(1, 2 * n + 1)) for n in range(LOG_TERMS))
# Stirling's series for lgamma: B_2n / (2n (2n - 1)) for n = 1..7.
_STIRLING = tuple(float(c) for c in (Fraction(1, 12), Fraction(-1, 360), Fraction(1, 1260), Fraction(-1, 1680),
                                     Fraction(1, 1188), Fraction(-691, 360360), Fraction(1, 156)))


class ConvergenceError(ArithmeticError):
    """A continued fraction or a quantile did not converge (arguments far outside any test's range)."""


def exp(x):
    """e**x from exact IEEE operations alone (within about 2 ulp)."""
    if math.isnan(x):
        return x
    if x > EXP_MAX:
        return math.inf
    if x < EXP_MIN:
        return 0.0
    k = round(x * INV_LN2)
    r = (x - k * LN2_HI) - k * LN2_LO
    p = 0.0
    for c in reversed(_EXP_COEFFICIENTS):
        p = p * r + c
    return math.ldexp(p, k)


def log(x):
    """Natural logarithm from exact IEEE operations alone (within about 2 ulp)."""
    if math.isnan(x) or x == math.inf:
        return x
    if x < 0.0:
        return math.nan
    if x == 0.0:
        return -math.inf
    m, e = math.frexp(x)  # x = m 2^e, m in [0.5, 1)
    if m < SQRT_HALF:
        m, e = m * 2.0, e - 1
    f = m - 1.0  # exact: m lies within a factor 2 of 1
    s = f / (2.0 + f)
    z = s * s
    q = 0.0
    for c in reversed(_LOG_COEFFICIENTS[1:]):
        q = q * z + c
    # log m = 2 atanh(s) = 2 s (1 + z/3 + z^2/5 + ...)
    log_m = 2.0 * s + 2.0 * s * (z * q)
    return e * LN2_HI + (e * LN2_LO + log_m)


def log2(x):
    """Base-2 logarithm; exact for powers of two."""
    m, e = math.frexp(x) if x > 0.0 and math.isfinite(x) else (0.0, 0)
    if m == 0.5:
        return float(e - 1)
    return log(x) / (LN2_HI + LN2_LO)


def power(base, x):
    """base**x for a positive base (relative error about |x log base| ulp)."""
    if base == 2.0:
        return pow2(x)
    return exp(x * log(base))


def pow2(x):
    """2**x; exact for integers."""
    if math.isnan(x):
        return x
    if x > 1100.0:
        return math.inf
    if x < -1100.0:
        return 0.0
    whole = math.floor(x)
    return math.ldexp(exp((x - whole) * (LN2_HI + LN2_LO)), int(whole))


def pow10(x):
    """10**x."""
    return exp(x * LN10)


def log10(x):
    """Base-10 logarithm."""
    return log(x) / LN10


def lgamma(x):
    """log Gamma(x) for x > 0 (absolute error about 1e-14 times max(1, |lgamma|))."""
    if not x > 0.0:
        raise ValueError("lgamma needs a positive argument")
    if x == math.inf:
        return x
    shift = 1.0
    y = x
    while y < STIRLING_FROM:
        shift *= y
        y += 1.0
    inv = 1.0 / y
    inv2 = inv * inv
    series = 0.0
    for c in reversed(_STIRLING):
        series = series * inv2 + c
    series *= inv
    return (y - 0.5) * log(y) - y + HALF_LN_2PI + series - log(shift)


def log_beta(a, b):
    """log B(a, b) = lgamma(a) + lgamma(b) - lgamma(a + b)."""
    return lgamma(a) + lgamma(b) - lgamma(a + b)


def _beta_fraction(x, a, b):
    """The continued fraction of I_x(a, b), modified Lentz; converges fast for x < (a + 1) / (a + b + 2)."""
    qab, qap, qam = a + b, a + 1.0, a - 1.0
    c = 1.0
    d = 1.0 - qab * x / qap
    if abs(d) < CF_TINY:
        d = CF_TINY
    d = 1.0 / d
    h = d
    for m in range(1, CF_MAX_STEPS + 1):
        m2 = 2 * m
        # even step: m (b - m) x / ((a + 2m - 1)(a + 2m))
        aa = m * (b - m) * x / ((qam + m2) * (a + m2))
        d = 1.0 + aa * d
        d = CF_TINY if abs(d) < CF_TINY else d
        c = 1.0 + aa / c
        c = CF_TINY if abs(c) < CF_TINY else c
        d = 1.0 / d
        h *= d * c
        # odd step: -(a + m)(a + b + m) x / ((a + 2m)(a + 2m + 1))
        aa = -(a + m) * (qab + m) * x / ((a + m2) * (qap + m2))
        d = 1.0 + aa * d
        d = CF_TINY if abs(d) < CF_TINY else d
        c = 1.0 + aa / c
        c = CF_TINY if abs(c) < CF_TINY else c
        d = 1.0 / d
        step = d * c
        h *= step
        if abs(step - 1.0) < CF_EPSILON:
            return h
    raise ConvergenceError(f"incomplete beta: no convergence for a={a:g}, b={b:g}, x={x:g}")


def beta_tails(x, y, a, b):
    """(I_x(a, b), 1 - I_x(a, b)), each computed where it is accurate.

    ``y`` must be 1 - x, passed separately so that a tail near 0 or 1 keeps its
    precision (the callers form both from the statistic without cancellation).
    """
    if not (a > 0.0 and b > 0.0):
        raise ValueError("beta_tails needs positive shape parameters")
    if x <= 0.0:
        return 0.0, 1.0
    if y <= 0.0:
        return 1.0, 0.0
    log_front = a * log(x) + b * log(y) - log_beta(a, b)
    if x < (a + 1.0) / (a + b + 2.0):
        lower = exp(log_front) * _beta_fraction(x, a, b) / a
        return lower, 1.0 - lower
    upper = exp(log_front) * _beta_fraction(y, b, a) / b
    return 1.0 - upper, upper


def _t_split(t, df):
    """x = df / (df + t^2) and y = t^2 / (df + t^2), without cancellation."""
    if math.isinf(t):
        return 0.0, 1.0
    t2 = t * t
    if t2 == math.inf:
        return 0.0, 1.0
    return df / (df + t2), t2 / (df + t2)


def _check_df(df, name="degrees of freedom"):
    if not (df > 0.0) or math.isnan(df):
        raise ValueError(f"{name} must be positive, not {df!r}")


def t_two_sided(t, df):
    """P(|T| >= |t|) for Student's t with ``df`` degrees of freedom (df may be fractional)."""
    _check_df(df)
    if math.isnan(t):
        return math.nan
    x, y = _t_split(t, df)
    return beta_tails(x, y, 0.5 * df, 0.5)[0]


def t_sf(t, df):
    """P(T >= t), the upper tail."""
    p = 0.5 * t_two_sided(t, df)
    return p if t >= 0.0 else 1.0 - p


def t_cdf(t, df):
    """P(T <= t)."""
    p = 0.5 * t_two_sided(t, df)
    return 1.0 - p if t >= 0.0 else p


def t_pdf(t, df):
    """The density of Student's t."""
    _check_df(df)
    return exp(-log_beta(0.5 * df, 0.5) - 0.5 * (df + 1.0) * log(1.0 + t * t / df)) / math.sqrt(df)


def t_quantile(level, df):
    """The two-sided critical value: t with P(|T| >= t) = 1 - level (e.g. level 0.95 gives 2.776 at df 4)."""
    _check_df(df)
    if not 0.0 < level < 1.0:
        raise ValueError(f"confidence level must lie strictly between 0 and 1, not {level!r}")
    alpha = 1.0 - level
    return _invert_decreasing(lambda t: t_two_sided(t, df), lambda t: -2.0 * t_pdf(t, df), alpha,
                              f"Student t quantile (level {level:g}, df {df:g})")


def f_sf(f, df1, df2):
    """P(F >= f) for Fisher's F with (df1, df2) degrees of freedom."""
    _check_df(df1, "numerator degrees of freedom")
    _check_df(df2, "denominator degrees of freedom")
    if math.isnan(f):
        return math.nan
    if f <= 0.0:
        return 1.0
    if f == math.inf:
        return 0.0
    u = df1 * f
    x, y = df2 / (df2 + u), u / (df2 + u)
    if y == math.inf or math.isnan(y):
        return 0.0
    return beta_tails(x, y, 0.5 * df2, 0.5 * df1)[0]


def _invert_decreasing(tail, slope, target, what):
    """The t >= 0 at which a decreasing tail probability equals ``target``: bracketed Newton."""
    lo, hi = 0.0, 1.0
    while tail(hi) > target:
        lo, hi = hi, hi * 2.0
        if hi > 1e300:
            raise ConvergenceError(f"{what}: no bracket")
    t = 0.5 * (lo + hi)
    for _ in range(QUANTILE_STEPS):
        value = tail(t) - target
        if value > 0.0:
            lo = t
        elif value < 0.0:
            hi = t
        else:
            return t
        d = slope(t)
        guess = t - value / d if d != 0.0 else math.nan
        if not lo < guess < hi:
            guess = 0.5 * (lo + hi)
        if abs(guess - t) <= 4.0 * math.ulp(t) or hi - lo <= 4.0 * math.ulp(hi):
            return guess
        t = guess
    raise ConvergenceError(f"{what}: no convergence")
