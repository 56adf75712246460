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

from reference_elementwise import (
    NUM_LIMBS,
    add,
    approx,
    fresh as from_double,
    mul,
    mul_scalar,
    neg,
    renormalise,
    sub,
    two_product,
    two_sum,
)


def zero():
    return from_double(0.0)


def dominant(a):
    return renormalise(a) if elementwise.needs_renormalise(a) else list(a)


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
