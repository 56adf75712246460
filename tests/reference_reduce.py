"""Slow, literal reference for the reductions and matrix products.

Plain Python floats (IEEE float64, round to nearest, no fused multiply-add);
one element is a list of 8 floats, its limbs; a tensor is a list of
elements in row-major order. Every function performs the same float64
operations in the same order as the library, written level by level as the
whole-array algorithms are described, so results can be compared limb for
limb (struct-packed bytes) with the C++ kernels. The element-wise
functions used on the way (reciprocal, sqrt, |x|, powers) are taken from
reference_elementwise; everything else is written out here.
"""

import math

import reference_elementwise as elementwise

NUM_LIMBS = 8
SPLIT_FACTOR = 134217729.0  # 2**27 + 1
SPLIT_THRESHOLD = 2.0**996


# Error-free transformations --------------------------------------------------


def two_sum(a, b):
    s = a + b
    a_prime = s - b
    b_prime = s - a_prime
    da = a - a_prime
    db = b - b_prime
    return s, da + db


def split(a):
    # Above 2**996 the product SPLIT_FACTOR * a would overflow: split a scaled
    # copy and scale both halves back.
    if abs(a) > SPLIT_THRESHOLD:
        a_s = a * 2.0**-28
        big = SPLIT_FACTOR * a_s
        hi = big - (big - a_s)
        lo = a_s - hi
        return hi * 2.0**28, lo * 2.0**28
    big = SPLIT_FACTOR * a
    hi = big - (big - a)
    return hi, a - hi


def two_product(a, b):
    p = a * b
    a_hi, a_lo = split(a)
    b_hi, b_lo = split(b)
    e = (((a_hi * b_hi - p) + a_hi * b_lo) + a_lo * b_hi) + a_lo * b_lo
    return p, e


# One element -------------------------------------------------------------------


def from_double(x):
    return [float(x)] + [0.0] * (NUM_LIMBS - 1)


def zero():
    return [0.0] * NUM_LIMBS


def is_special(x):
    return math.isinf(x[0]) or math.isnan(x[0])


def approx(x):
    if is_special(x):
        return x[0]
    s = x[7]
    for k in range(6, -1, -1):
        s = s + x[k]
    return s


def add(a, b):
    s, e = [], []
    for k in range(NUM_LIMBS):
        sk, ek = two_sum(a[k], b[k])
        s.append(sk)
        e.append(ek)
    return [s[0]] + [s[k] + e[k - 1] for k in range(1, NUM_LIMBS)]


def neg(a):
    return [-v for v in a]


def sub(a, b):
    return add(a, neg(b))


def mul_scalar(a, c):
    c = float(c)
    p, e = [], []
    for k in range(NUM_LIMBS):
        pk, ek = two_product(a[k], c)
        p.append(pk)
        e.append(ek)
    return [p[0]] + [p[k] + e[k - 1] for k in range(1, NUM_LIMBS)]


def needs_renormalise(a):
    if is_special(a):
        return False
    bound = 2.0**-49 * abs(a[0])
    return any(abs(a[k]) > bound for k in range(1, NUM_LIMBS))


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
        if e != 0.0:
            out[i] = s2
            i += 1
            s = e
        else:
            s = s2
    out[i] = s
    return out


def dominant(a):
    return renormalise(a) if needs_renormalise(a) else list(a)


def mul(a_in, b_in):
    """The tensor product: leading three limbs, dominant operands."""
    a = dominant(a_in)
    b = dominant(b_in)
    p, e = two_product(a[0], b[0])
    r = zero()
    r[0] = p
    r[1] = e
    r[1] = r[1] + a[0] * b[1] + a[1] * b[0]
    r[2] = a[1] * b[1] + a[0] * b[2] + a[2] * b[0]
    return r


# The element-wise functions come from their own reference.
reciprocal_scalar = elementwise.reciprocal_scalar
div_scalar = elementwise.div_scalar
sqrt = elementwise.sqrt
abs_elem = elementwise.abs
pow_int = elementwise.pow_int
pow_float = elementwise.pow_float


# Whole-tensor reductions ---------------------------------------------------------


def _tree(rows, pair):
    current = [list(r) for r in rows]
    while len(current) > 1:
        n = len(current)
        half = n // 2
        a = current[:half]
        b = current[half : half * 2]
        result = [pair(a[i], b[i]) for i in range(half)]
        if n % 2 == 1:
            result.append(list(current[n - 1]))
        current = result
    return current[0]


def tree_sum(rows):
    if not rows:
        return zero()
    return _tree(rows, add)


def _prod_pair(a_in, b_in):
    a = dominant(a_in)
    b = dominant(b_in)
    p, e = two_product(a[0], b[0])
    r = zero()
    r[0] = p
    r[1] = e + a[0] * b[1] + a[1] * b[0]
    return r


def tree_prod(rows):
    if not rows:
        return from_double(1.0)
    return _tree(rows, _prod_pair)


def mean(rows):
    return div_scalar(tree_sum(rows), float(len(rows)))


def var(rows, unbiased=True, total=None):
    """Variance of one slice. `total` is the element count of the whole
    tensor (the correction applies only when it exceeds 1)."""
    n = len(rows)
    total = n if total is None else total
    m = mean(rows)
    sq = []
    for x in rows:
        d = sub(x, m)
        sq.append(mul(d, d))
    v = mean(sq)
    if unbiased and total > 1:
        v = mul_scalar(v, n / (n - 1))
    return v


def std(rows, unbiased=True, total=None):
    return sqrt(var(rows, unbiased, total))


def norm(rows, p=2):
    if p == 2:
        return sqrt(tree_sum([mul(x, x) for x in rows]))
    if p == 1:
        return tree_sum([abs_elem(x) for x in rows])
    if isinstance(p, int):
        powered = [pow_int(abs_elem(x), p) for x in rows]
    else:
        powered = [pow_float(abs_elem(x), p) for x in rows]
    return pow_float(tree_sum(powered), 1.0 / p)


def _first_index(vals, better):
    best = None
    for i, v in enumerate(vals):
        if v != v:
            return i
        if best is None or better(v, vals[best]):
            best = i
    return best


def argmax(rows):
    """First NaN if any, else first of the equal maxima of approx."""
    return _first_index([approx(x) for x in rows], lambda v, w: v > w)


def argmin(rows):
    return _first_index([approx(x) for x in rows], lambda v, w: v < w)


def reduce_dim(rows, shape, dim, fn):
    """fn applied to every slice along dim, slices in row-major order of the
    output (outer index, then inner index)."""
    if dim < 0:
        dim += len(shape)
    outer = math.prod(shape[:dim])
    inner = math.prod(shape[dim + 1 :])
    length = shape[dim]
    out = []
    for o in range(outer):
        for j in range(inner):
            chunk = [rows[(o * length + t) * inner + j] for t in range(length)]
            out.append(fn(chunk))
    return out


# Matrix products -------------------------------------------------------------------


def matmul(a, b, m, k, n):
    """a is m x k, b is k x n, both row-major lists of elements."""
    out = []
    for i in range(m):
        for j in range(n):
            acc = from_double(0.0)
            for kk in range(k):
                acc = add(acc, mul(a[i * k + kk], b[kk * n + j]))
            out.append(acc)
    return out


def dot(x, y):
    return tree_sum([mul(x[i], y[i]) for i in range(len(x))])


def matvec(a, x, m, k):
    return [dot(a[i * k : (i + 1) * k], x) for i in range(m)]


def vecmat(x, b, k, n):
    return matmul(x, b, 1, k, n)
