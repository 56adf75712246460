"""Slow, literal reference for the linear-algebra functions.

Plain Python floats (IEEE float64, round to nearest, no fused multiply-add).
One element is a list of 8 floats, its limbs; a matrix is a `Matrix` of
rows x cols elements in row-major order; a vector is a list of elements.
Every function performs the same float64 operations in the same order as
the library: each `+`, `-`, `*` and `/` between elements is one call of
add, sub, mul or div below, with the operands in the written order, and
every decision (pivot, zero test, threshold, sort key) is taken on approx.
Results can therefore be compared limb for limb with the C++ kernels.

The element arithmetic and the tree sum come from the element-wise and
reduction references.
"""


from reference_elementwise import INF, add, approx, div, mul, neg, pow_float, pow_int, sqrt, sub
from reference_elementwise import abs as abs_
from reference_elementwise import fresh as from_double
from reference_reduce import argmax, tree_sum, zero


def power(a, p):
    """`t ** p`: an int exponent by squaring, a float one through log/exp."""
    if isinstance(p, int):
        return pow_int(a, int(p))
    if isinstance(p, float):
        return pow_float(a, p)
    raise TypeError("unsupported operand type(s) for ** or pow(): 'Tensor' and '%s'" % type(p).__name__)


# Matrices ------------------------------------------------------------------------


class Matrix:
    def __init__(self, rows, cols, data=None):
        self.rows = rows
        self.cols = cols
        self.data = [list(r) for r in data] if data is not None else [zero() for _ in range(rows * cols)]

    @classmethod
    def from_values(cls, values):
        """Nested lists of numbers (fresh elements) or of limb lists."""
        rows = len(values)
        cols = len(values[0]) if rows else 0
        data = []
        for row in values:
            for v in row:
                data.append(list(v) if isinstance(v, (list, tuple)) else from_double(v))
        return cls(rows, cols, data)

    def get(self, i, j):
        return list(self.data[i * self.cols + j])

    def set(self, i, j, val):
        self.data[i * self.cols + j] = list(val)

    def clone(self):
        return Matrix(self.rows, self.cols, self.data)

    @property
    def T(self):
        t = Matrix(self.cols, self.rows)
        for i in range(self.rows):
            for j in range(self.cols):
                t.set(j, i, self.get(i, j))
        return t


def eye(n):
    m = Matrix(n, n)
    for i in range(n):
        m.set(i, i, from_double(1.0))
    return m


def _shape_str(m, n):
    return "(%d, %d)" % (m, n)


def _check_square(A):
    if A.rows != A.cols:
        raise ValueError("expected a square matrix, got shape " + _shape_str(A.rows, A.cols))


def matmul(a, b):
    """Matrix times matrix: acc = acc + a[i][kk] * b[kk][j] from an exact zero."""
    if a.cols != b.rows:
        raise ValueError("Matrix shapes %s and %s incompatible" % (_shape_str(a.rows, a.cols), _shape_str(b.rows, b.cols)))
    c = Matrix(a.rows, b.cols)
    for i in range(a.rows):
        for j in range(b.cols):
            acc = zero()
            for kk in range(a.cols):
                acc = add(acc, mul(a.get(i, kk), b.get(kk, j)))
            c.set(i, j, acc)
    return c


def mv(mat, vec):
    """mv(mat, vec) = matmul(mat, vec as one column), the last axis removed."""
    col = Matrix(len(vec), 1, vec)
    return list(matmul(mat, col).data)


# LU and determinant ------------------------------------------------------------


def lu(A):
    _check_square(A)
    n = A.rows
    U = A.clone()
    L = eye(n)
    perm = list(range(n))
    for k in range(n - 1):
        max_idx = k
        max_val = abs(approx(U.get(k, k)))
        for i in range(k + 1, n):
            val = abs(approx(U.get(i, k)))
            if val > max_val:
                max_val = val
                max_idx = i
        if max_idx != k:
            perm[k], perm[max_idx] = perm[max_idx], perm[k]
            for j in range(n):
                temp = U.get(k, j)
                U.set(k, j, U.get(max_idx, j))
                U.set(max_idx, j, temp)
            for j in range(k):
                temp = L.get(k, j)
                L.set(k, j, L.get(max_idx, j))
                L.set(max_idx, j, temp)
        pivot = U.get(k, k)
        if approx(pivot) != 0:
            for i in range(k + 1, n):
                factor = div(U.get(i, k), pivot)
                L.set(i, k, factor)
                for j in range(k, n):
                    U.set(i, j, sub(U.get(i, j), mul(factor, U.get(k, j))))
    P = Matrix(n, n)
    for i, p in enumerate(perm):
        P.set(i, p, from_double(1.0))
    return P, L, U


def det(A):
    n = A.rows
    P, L, U = lu(A)
    result = from_double(1.0)
    for i in range(n):
        result = mul(result, U.get(i, i))
    perm = []
    for i in range(n):
        for j in range(n):
            if approx(P.get(i, j)) == 1.0:
                perm.append(j)
                break
    perm_copy = perm.copy()
    swaps = 0
    for i in range(n):
        while perm_copy[i] != i:
            j = perm_copy[i]
            perm_copy[i], perm_copy[j] = perm_copy[j], perm_copy[i]
            swaps += 1
    if swaps % 2 == 1:
        result = neg(result)
    return result


# Solve and inverse ---------------------------------------------------------------


def solve(A, b):
    _check_square(A)
    n = A.rows
    if len(b) != n:
        raise ValueError("Matrix shapes %s and %s incompatible" % (_shape_str(n, n), _shape_str(len(b), 1)))
    P, L, U = lu(A)
    Pb = mv(P, b)
    y = [zero() for _ in range(n)]
    for i in range(n):
        val = list(Pb[i])
        for j in range(i):
            val = sub(val, mul(L.get(i, j), y[j]))
        y[i] = val
    x = [zero() for _ in range(n)]
    for i in range(n - 1, -1, -1):
        val = list(y[i])
        for j in range(i + 1, n):
            val = sub(val, mul(U.get(i, j), x[j]))
        diag = U.get(i, i)
        if approx(diag) != 0:
            x[i] = div(val, diag)
    return x


def inv(A):
    _check_square(A)
    n = A.rows
    aug = Matrix(n, 2 * n)
    for i in range(n):
        for j in range(n):
            aug.set(i, j, A.get(i, j))
        aug.set(i, n + i, from_double(1.0))
    for k in range(n):
        max_idx = k
        max_val = abs(approx(aug.get(k, k)))
        for i in range(k + 1, n):
            val = abs(approx(aug.get(i, k)))
            if val > max_val:
                max_val = val
                max_idx = i
        if max_idx != k:
            for j in range(2 * n):
                temp = aug.get(k, j)
                aug.set(k, j, aug.get(max_idx, j))
                aug.set(max_idx, j, temp)
        pivot = aug.get(k, k)
        if approx(pivot) == 0:
            raise ValueError("Singular matrix")
        for j in range(2 * n):
            aug.set(k, j, div(aug.get(k, j), pivot))
        for i in range(n):
            if i != k:
                factor = aug.get(i, k)
                for j in range(2 * n):
                    aug.set(i, j, sub(aug.get(i, j), mul(factor, aug.get(k, j))))
    result = Matrix(n, n)
    for i in range(n):
        for j in range(n):
            result.set(i, j, aug.get(i, n + j))
    return result


# QR and least squares ------------------------------------------------------------


def vector_norm(v):
    """The default norm of a vector: sqrt(sum(v * v)) with the tree sum."""
    return sqrt(tree_sum([mul(e, e) for e in v]))


def qr(A):
    m, n = A.rows, A.cols
    Q = Matrix(m, n)
    R = Matrix(n, n)
    for j in range(n):
        v = [A.get(i, j) for i in range(m)]
        for i in range(j):
            r_ij = from_double(0.0)
            for k in range(m):
                r_ij = add(r_ij, mul(Q.get(k, i), v[k]))
            R.set(i, j, r_ij)
            for k in range(m):
                v[k] = sub(v[k], mul(r_ij, Q.get(k, i)))
        r_jj = vector_norm(v)
        R.set(j, j, r_jj)
        if approx(r_jj) > 1e-300:
            for i in range(m):
                Q.set(i, j, div(v[i], r_jj))
    return Q, R


def lstsq(A, b):
    if len(b) != A.rows:
        raise ValueError("Matrix shapes %s and %s incompatible" % (_shape_str(A.cols, A.rows), _shape_str(len(b), 1)))
    Q, R = qr(A)
    Qtb = mv(Q.T, b)
    n = R.cols
    x = [zero() for _ in range(n)]
    for i in range(n - 1, -1, -1):
        val = list(Qtb[i])
        for j in range(i + 1, n):
            val = sub(val, mul(R.get(i, j), x[j]))
        r_ii = R.get(i, i)
        if approx(r_ii) != 0:
            x[i] = div(val, r_ii)
    Ax = mv(A, x)
    residual = [sub(Ax[i], b[i]) for i in range(len(b))]
    return x, vector_norm(residual)


# Cholesky ------------------------------------------------------------------------


def cholesky(A):
    _check_square(A)
    n = A.rows
    L = Matrix(n, n)
    for i in range(n):
        for j in range(i + 1):
            sum_val = A.get(i, j)
            for k in range(j):
                sum_val = sub(sum_val, mul(L.get(i, k), L.get(j, k)))
            if i == j:
                L.set(i, j, sqrt(sum_val))
            else:
                L_jj = L.get(j, j)
                if approx(L_jj) != 0:
                    L.set(i, j, div(sum_val, L_jj))
    return L


# Eigenvalues and SVD -----------------------------------------------------------


def eig(A, max_iter=100):
    _check_square(A)
    n = A.rows
    T = A.clone()
    V = eye(n)
    for _ in range(max_iter):
        Q, R = qr(T)
        T = matmul(R, Q)
        V = matmul(V, Q)
    eigenvalues = [T.get(i, i) for i in range(n)]
    return eigenvalues, V


def eigh(A, max_iter=100):
    return eig(A, max_iter)


def svd(A, full_matrices=True, max_iter=100):
    m, n = A.rows, A.cols
    k = min(m, n)
    AtA = matmul(A.T, A)
    eigenvalues, V = eig(AtA, max_iter)
    S = [zero() for _ in range(k)]
    for i in range(k):
        ev = approx(eigenvalues[i])
        if ev > 0:
            S[i] = sqrt(eigenvalues[i])
    s_list = [(approx(S[i]), i) for i in range(k)]
    s_list.sort(reverse=True)
    S_sorted = [zero() for _ in range(k)]
    V_sorted = Matrix(n, k)
    for new_i, (s_val, old_i) in enumerate(s_list):
        S_sorted[new_i] = list(S[old_i])
        for j in range(n):
            V_sorted.set(j, new_i, V.get(j, old_i))
    U = Matrix(m, k)
    for i in range(k):
        if approx(S_sorted[i]) > 1e-300:
            v_col = [V_sorted.get(j, i) for j in range(n)]
            Av = mv(A, v_col)
            for j in range(m):
                U.set(j, i, div(Av[j], S_sorted[i]))
    return U, S_sorted, V_sorted.T


# Norms -----------------------------------------------------------------------------


def _normalise_dim(dim, ndim):
    # As PyTorch: a 0-d tensor takes dim 0 or -1.
    lo, hi = (-ndim, ndim - 1) if ndim > 0 else (-1, 0)
    if not lo <= dim <= hi:
        raise IndexError("Dimension out of range (expected to be in range of [%d, %d], but got %d)" % (lo, hi, dim))
    return dim + max(ndim, 1) if dim < 0 else dim


def _slices(shape, dim):
    """Row indices of every 1-D slice along dim, in output order, and the
    reduced shape (keepdim=False)."""
    if not shape:
        return [[0]], ()
    outer = 1
    for s in shape[:dim]:
        outer *= s
    inner = 1
    for s in shape[dim + 1:]:
        inner *= s
    length = shape[dim]
    slices = [[o * length * inner + t * inner + j for t in range(length)] for o in range(outer) for j in range(inner)]
    return slices, tuple(shape[:dim]) + tuple(shape[dim + 1:])


def _reduce(rows, shape, dim, keepdim, op):
    """`sum` or `max` of a tensor, whole or along dim: (shape, rows)."""
    shape = tuple(shape)
    if dim is None:
        if op == "max":
            if not rows:
                raise ValueError("norm: the maximum (ord=inf) of no elements is undefined")
            return (), [list(rows[argmax(rows)])]
        if len(rows) == 1:
            return (shape if keepdim else ()), [list(rows[0])]
        return (), [tree_sum(rows)]
    dim = _normalise_dim(dim, len(shape))
    slices, out_shape = _slices(shape, dim)
    if keepdim and shape:
        out_shape = shape[:dim] + (1,) + shape[dim + 1:]
    out = []
    for idx in slices:
        chunk = [rows[i] for i in idx]
        if op == "max":
            if not chunk:
                raise ValueError("norm: the maximum (ord=inf) of no elements is undefined")
            out.append(list(chunk[argmax(chunk)]))
        else:
            out.append(tree_sum(chunk))
    return out_shape, out


def norm(x, shape, ord=None, dim=None, keepdim=False):
    """Entry-wise norm of the tensor (rows x, logical shape): (shape, rows)."""
    if ord is None or ord == "fro" or ord == 2:
        s_shape, s = _reduce([mul(e, e) for e in x], shape, dim, keepdim, "sum")
        return s_shape, [sqrt(v) for v in s]
    if ord == 1:
        return _reduce([abs_(e) for e in x], shape, dim, keepdim, "sum")
    if ord == INF:
        return _reduce([abs_(e) for e in x], shape, dim, keepdim, "max")
    powered = [power(abs_(e), ord) for e in x]
    s_shape, s = _reduce(powered, shape, dim, keepdim, "sum")
    exponent = 1.0 / ord
    return s_shape, [pow_float(v, exponent) for v in s]


def matrix_norm(A, ord=None):
    return norm(A.data, (A.rows, A.cols), ord)[1][0]


# Condition number and rank -------------------------------------------------------


def cond(A, p=2, max_iter=100):
    if p == 2:
        _, S, _ = svd(A, full_matrices=False, max_iter=max_iter)
        if not S:
            raise IndexError("index 0 is out of bounds for dimension 0 with size 0")
        s_max = approx(S[0])
        s_min = approx(S[len(S) - 1])
        return s_max / s_min if s_min > 0 else INF
    norm_a = matrix_norm(A, p)
    norm_inv = matrix_norm(inv(A), p)
    return approx(mul(norm_a, norm_inv))


def matrix_rank(A, tol=None, max_iter=100):
    _, S, _ = svd(A, full_matrices=False, max_iter=max_iter)
    if tol is None:
        if not S:
            raise IndexError("index 0 is out of bounds for dimension 0 with size 0")
        tol = max(A.rows, A.cols) * approx(S[0]) * 1e-14
    return sum(1 for i in range(len(S)) if approx(S[i]) > tol)
