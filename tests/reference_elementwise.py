"""Slow reference for the element-wise functions, on Python floats.

One element is a list of 8 floats (limb 0 first). Every function performs
the defining sequence of float64 operations in its defined order, one
operation per Python expression, so its results are the exact bytes the
library must produce. Python floats are IEEE binary64 with round to nearest
and no fused multiply-add, which is all this needs.

Used as the oracle of the bit-exact tests; never imported by the package.
"""

import math

NUM_LIMBS = 8
SPLIT_FACTOR = 134217729.0  # 2**27 + 1
SPLIT_THRESHOLD = 2.0 ** 996
ZERO_DIVISOR = 1e-300

LN2 = [0.6931471805599453, 2.3190468138462996e-17, 5.707708438416212e-34, 0.0, 0.0, 0.0, 0.0, 0.0]
TWO_PI = [6.283185307179586, 2.4492935982947064e-16, -5.989539619436679e-33, 0.0, 0.0, 0.0, 0.0, 0.0]
EXP_OVERFLOW = 709.782712893384
EXP_UNDERFLOW = -745.1332191019412
TANH_SATURATION = 354.0
SQRT_2_PI = 0.7978845608028654

INF = math.inf
NAN = math.nan


def fresh(x):
    """A new element holding the float x in limb 0."""
    return [float(x)] + [0.0] * (NUM_LIMBS - 1)


# --- error-free transformations ----------------------------------------------

def two_sum(a, b):
    s = a + b
    a_prime = s - b
    b_prime = s - a_prime
    da = a - a_prime
    db = b - b_prime
    return s, da + db


def _veltkamp(a):
    big = SPLIT_FACTOR * a
    hi = big - (big - a)
    return hi, a - hi


def split(a):
    """Veltkamp split; an operand above 2**996 is split as a * 2**-28 and
    both halves are scaled back by 2**28."""
    if math.fabs(a) > SPLIT_THRESHOLD:
        hi, lo = _veltkamp(a * 2.0 ** -28)
        return hi * 2.0 ** 28, lo * 2.0 ** 28
    return _veltkamp(a)


def two_product(a, b):
    p = a * b
    a_hi, a_lo = split(a)
    b_hi, b_lo = split(b)
    e = (((a_hi * b_hi - p) + a_hi * b_lo) + a_lo * b_hi) + a_lo * b_lo
    return p, e


# --- the element -------------------------------------------------------------

def is_special(a):
    return math.isinf(a[0]) or math.isnan(a[0])


def approx(a):
    """Limb 0 if it is inf or NaN, else the limbs summed from limb 7 up."""
    if is_special(a):
        return a[0]
    s = a[7]
    for k in range(6, -1, -1):
        s = s + a[k]
    return s


def add(a, b):
    s = [0.0] * NUM_LIMBS
    e = [0.0] * NUM_LIMBS
    for k in range(NUM_LIMBS):
        s[k], e[k] = two_sum(a[k], b[k])
    return [s[0]] + [s[k] + e[k - 1] for k in range(1, NUM_LIMBS)]


def neg(a):
    return [-x for x in a]


def sub(a, b):
    return add(a, neg(b))


def mul_scalar(a, c):
    """Product with a Python number: TwoProduct on every limb."""
    c = float(c)
    p = [0.0] * NUM_LIMBS
    e = [0.0] * NUM_LIMBS
    for k in range(NUM_LIMBS):
        p[k], e[k] = two_product(a[k], c)
    return [p[0]] + [p[k] + e[k - 1] for k in range(1, NUM_LIMBS)]


def needs_renormalise(a):
    if is_special(a):
        return False
    bound = 2.0 ** -49 * math.fabs(a[0])
    return any(math.fabs(a[k]) > bound for k in range(1, NUM_LIMBS))


def renormalise(a):
    t = [0.0] * NUM_LIMBS
    s = a[7]
    for k in range(6, -1, -1):
        s, t[k + 1] = two_sum(a[k], s)
    t[0] = s
    out = [0.0] * NUM_LIMBS
    i = 0
    s = t[0]
    for k in range(1, NUM_LIMBS):
        s2, e = two_sum(s, t[k])
        if e != 0:
            out[i] = s2
            i += 1
            s = e
        else:
            s = s2
    out[i] = s
    return out


def mul(a, b):
    """Product of two elements from their leading three limbs."""
    if needs_renormalise(a):
        a = renormalise(a)
    if needs_renormalise(b):
        b = renormalise(b)
    p, e = two_product(a[0], b[0])
    result = [0.0] * NUM_LIMBS
    result[0] = p
    result[1] = e
    result[1] = result[1] + a[0] * b[1] + a[1] * b[0]
    result[2] = a[1] * b[1] + a[0] * b[2] + a[2] * b[0]
    return result


# --- float64 helpers with the IEEE behaviour on inf and NaN ------------------

def _integral(r, x):
    """An integer result r as a float, with the sign of x when it is zero."""
    r = float(r)
    return math.copysign(0.0, x) if r == 0 else r


def f_floor(x):
    return x if math.isinf(x) or math.isnan(x) else _integral(math.floor(x), x)


def f_ceil(x):
    return x if math.isinf(x) or math.isnan(x) else _integral(math.ceil(x), x)


def f_round_half_even(x):
    if math.isinf(x) or math.isnan(x):
        return x
    return _integral(round(x), x)  # Python's round of a float is half to even


# --- reciprocal and division -------------------------------------------------

def reciprocal_scalar(s):
    """1/s for a Python number: 12 Newton steps x = x * (2 - s * x)."""
    s = float(s)
    if math.fabs(s) < ZERO_DIVISOR:
        return fresh(INF if s >= 0 else -INF)
    if math.isinf(s):
        return fresh(math.copysign(0.0, s))
    if math.isnan(s):
        return fresh(NAN)
    x = fresh(1.0 / s)
    s_row = fresh(s)
    two = fresh(2.0)
    for _ in range(12):
        x = mul(x, sub(two, mul(s_row, x)))
    return x


def reciprocal(a):
    """Element-wise 1/a; a zero divisor (|approx| < 1e-300) gives +inf."""
    val = approx(a)
    if math.isnan(val):
        return fresh(NAN)
    if math.isinf(val):
        return fresh(math.copysign(0.0, val))
    if math.fabs(val) < ZERO_DIVISOR:
        return fresh(INF)
    result = fresh(1.0 / val)
    two = fresh(2.0)
    for _ in range(12):
        result = mul(result, sub(two, mul(a, result)))
    return result


def div(a, b):
    return mul(a, reciprocal(b))


def div_scalar(a, c):
    return mul(a, reciprocal_scalar(float(c)))


# --- powers, floor division, modulo ------------------------------------------

def pow_int(a, n):
    if n == 0:
        return fresh(1.0)
    if n == 1:
        return list(a)
    if n == 2:
        return mul(a, a)
    if n < 0:
        return div(fresh(1.0), pow_int(a, -n))
    result = fresh(1.0)
    base = list(a)
    while n > 0:
        if n % 2 == 1:
            result = mul(result, base)
        base = mul(base, base)
        n //= 2
    return result


def pow_float(a, e):
    return exp(mul_scalar(log(a), float(e)))


def floordiv(a, b):
    return floor(div(a, b))


def floordiv_scalar(a, c):
    return floor(div_scalar(a, c))


def mod(a, b):
    return sub(a, mul(floordiv(a, b), b))


# --- exp, log, sqrt ------------------------------------------------------------

def exp(a):
    """Reduce by the 3-limb ln 2 in limb arithmetic, sum the series to r**19/19!
    (dividing by each i through the scalar reciprocal), scale every limb by 2**k."""
    val = approx(a)
    if math.isnan(val):
        return fresh(NAN)
    if val > EXP_OVERFLOW:
        return fresh(INF)
    if val < EXP_UNDERFLOW:
        return fresh(0.0)
    k = f_floor(val / 0.6931471805599453)  # a float64, -0.0 kept
    r = sub(a, mul_scalar(LN2, k))
    result = fresh(1.0)
    term = fresh(1.0)
    for i in range(1, 20):
        term = div_scalar(mul(term, r), i)
        result = add(result, term)
    return [math.ldexp(x, int(k)) for x in result]


LOG_DIRECT_MIN = 2.0 ** -960
LOG_DIRECT_MAX = 2.0 ** 960


def _log_halley(a, val):
    result = fresh(math.log(val))
    two = fresh(2.0)
    for _ in range(8):
        ey = exp(result)
        result = add(result, div(mul(two, sub(a, ey)), add(a, ey)))
    return result


def log(a):
    """Halley steps y = y + (2 * (a - e**y)) / (a + e**y) from log(approx).
    Outside [2**-960, 2**960] the steps run on a * 2**-m (m the binary
    exponent of approx) and m * ln2 is added in limb arithmetic."""
    val = approx(a)
    if math.isnan(val) or val < 0:
        return fresh(NAN)
    if val == 0:
        return fresh(-INF)
    if math.isinf(val):
        return fresh(INF)
    if LOG_DIRECT_MIN <= val <= LOG_DIRECT_MAX:
        return _log_halley(a, val)
    if needs_renormalise(a):
        a = renormalise(a)
    m = math.frexp(val)[1] - 1
    scaled = [math.ldexp(x, -m) for x in a]
    return add(_log_halley(scaled, approx(scaled)), mul_scalar(LN2, float(m)))


def sqrt(a):
    """Heron steps y = 0.5 * (y + a / y) from sqrt(approx)."""
    val = approx(a)
    if math.isnan(val) or val < 0:
        return fresh(NAN)
    if val == 0 or math.isinf(val):
        return fresh(val)
    result = fresh(math.sqrt(val))
    half = fresh(0.5)
    for _ in range(8):
        result = mul(half, add(result, div(a, result)))
    return result


# --- trigonometric and hyperbolic ----------------------------------------------

def _reduce(a, val):
    """a - 2*pi * k in limb arithmetic, k the nearest integer to approx / 2*pi."""
    k = f_round_half_even(val / 6.283185307179586)
    return sub(a, mul_scalar(TWO_PI, k))


def sin(a):
    val = approx(a)
    if math.isinf(val) or math.isnan(val):
        return fresh(NAN)
    x = _reduce(a, val)
    x_sq = mul(x, x)
    result = list(x)
    term = list(x)
    for i in range(1, 15):
        term = mul_scalar(mul(term, x_sq), -1.0 / ((2 * i) * (2 * i + 1)))
        result = add(result, term)
    return result


def cos(a):
    val = approx(a)
    if math.isinf(val) or math.isnan(val):
        return fresh(NAN)
    x = _reduce(a, val)
    x_sq = mul(x, x)
    result = fresh(1.0)
    term = fresh(1.0)
    for i in range(1, 15):
        term = mul_scalar(mul(term, x_sq), -1.0 / ((2 * i - 1) * (2 * i)))
        result = add(result, term)
    return result


def tan(a):
    return div(sin(a), cos(a))


def tanh(a):
    """(e**2a - 1) / (e**2a + 1); exactly +-1 beyond |approx| = 354."""
    val = approx(a)
    if math.isnan(val):
        return fresh(NAN)
    if math.fabs(val) > TANH_SATURATION:
        return fresh(1.0 if val > 0 else -1.0)
    e2x = exp(mul_scalar(a, 2))
    return div(sub(e2x, fresh(1.0)), add(e2x, fresh(1.0)))


# --- activations ---------------------------------------------------------------

def sigmoid(a):
    return div(fresh(1.0), add(fresh(1.0), exp(neg(a))))


def silu(a):
    return mul(a, sigmoid(a))


def gelu(a):
    half_a = mul_scalar(a, 0.5)
    c = mul(mul(mul_scalar(a, 0.044715), a), a)
    inner = mul_scalar(add(a, c), SQRT_2_PI)
    b = add(fresh(1.0), tanh(inner))
    return mul(half_a, b)


def relu(a):
    return list(a) if approx(a) >= 0 else fresh(0.0)


# --- absolute value, clamping, rounding ----------------------------------------

def abs(a):  # noqa: A001 (the library's name; the builtin is not used here)
    """Every limb times the sign of approx, a zero sign counting as +1."""
    val = approx(a)
    if math.isnan(val):
        sign = NAN
    elif val < 0:
        sign = -1.0
    else:
        sign = 1.0  # a zero sign counts as +1
    return [x * sign for x in a]


def clamp(a, min_val=None, max_val=None):
    """torch.clamp on approx: NaN stays NaN, a bound equal to the value keeps
    the value (and its sign of zero), a NaN bound changes nothing."""
    v = approx(a)
    if min_val is not None and v < min_val:
        v = float(min_val)
    if max_val is not None and v > max_val:
        v = float(max_val)
    return fresh(v)


def round_decimals(a, decimals=0):
    val = approx(a)
    if decimals == 0:
        return fresh(f_round_half_even(val))
    factor = 10.0 ** decimals
    return fresh(f_round_half_even(val * factor) / factor)


def floor(a):
    return fresh(f_floor(approx(a)))


def ceil(a):
    return fresh(f_ceil(approx(a)))


# --- softmax -------------------------------------------------------------------

def tree_sum(rows):
    """The pairwise tree of the whole-tensor sum: row i + row i + n//2 at each
    level, an odd last row carried to the end of the next level."""
    if not rows:
        return fresh(0.0)
    current = [list(r) for r in rows]
    while len(current) > 1:
        n = len(current)
        half = n // 2
        level = [add(current[i], current[i + half]) for i in range(half)]
        if n % 2 == 1:
            level.append(current[n - 1])
        current = level
    return current[0]


def argmax_approx(rows):
    """First index of the largest approx; the first NaN wins (PyTorch's argmax)."""
    best = 0
    best_val = approx(rows[0])
    for i in range(1, len(rows)):
        if math.isnan(best_val):
            break
        v = approx(rows[i])
        if math.isnan(v) or v > best_val:
            best, best_val = i, v
    return best


def softmax_slice(rows):
    """exp(x - max) / tree sum, the division as the product with the reciprocal."""
    peak = rows[argmax_approx(rows)]
    exps = [exp(sub(r, peak)) for r in rows]
    inv = reciprocal(tree_sum(exps))
    return [mul(e, inv) for e in exps]


def log_softmax_slice(rows):
    return [log(r) for r in softmax_slice(rows)]
