import math
import random
import subprocess
import sys
import threading
import time
from fractions import Fraction

import mpmath
import numpy as np
import pytest
import torch

import reference_linalg as ref
from conftest import from_rows, limbs_of, same_bits
from varnel.zel import tarsk, zel

Tensor = zel.Tensor
Z7 = [0.0] * 7

DEVICES = ["cpu"] + (["cuda"] if torch.cuda.is_available() else [])


# Operands with lower limbs ------------------------------------------------------


def element(rng, scale=1.0):
    """A value with two lower limbs below its leading one."""
    x = rng.uniform(-1, 1) * scale
    return [x, x * 2.0**-54 * rng.uniform(-1, 1), x * 2.0**-109 * rng.uniform(-1, 1)] + [0.0] * 5


def random_rows(rng, m, n, diagonal=0.0):
    rows = [element(rng) for _ in range(m * n)]
    for i in range(min(m, n)):
        rows[i * n + i][0] += diagonal
    return rows


def matrix(rows, m, n):
    """The same matrix as a Tensor and as a reference Matrix."""
    return from_rows(rows, (m, n)), ref.Matrix(m, n, rows)


def zeros(*shape):
    return Tensor(_raw=torch.zeros(math.prod(shape), 8, dtype=torch.float64), _shape=shape)


def eye(n):
    data = torch.zeros(n * n, 8, dtype=torch.float64)
    data[::n + 1, 0] = 1.0
    return Tensor(_raw=data, _shape=(n, n))


def vector(rows):
    return from_rows(rows, (len(rows),))


def values(v):
    """Nested lists of numbers (fresh elements)."""
    return Tensor(v)


def flat(rows):
    return [x for r in rows for x in r]


def canonical_nan(xs):
    # A NaN's sign bit depends on which operation made it; any NaN matches.
    return [math.nan if math.isnan(x) else x for x in xs]


def assert_limbs(t, rows):
    got = limbs_of(t)
    assert len(got) == len(rows)
    assert same_bits(canonical_nan(flat(got)), canonical_nan(flat(rows))), (got, rows)


def exact(row):
    return sum(Fraction(x) for x in row)


def exact_matrix(t):
    """A 2-D Tensor as nested lists of the exact values of its elements."""
    m, n = t.shape
    rows = limbs_of(t)
    return [[exact(rows[i * n + j]) for j in range(n)] for i in range(m)]


def exact_product(a, b):
    return [[sum(a[i][k] * b[k][j] for k in range(len(b))) for j in range(len(b[0]))] for i in range(len(a))]


def max_abs_diff(a, b):
    return max(abs(x - y) for ra, rb in zip(a, b) for x, y in zip(ra, rb))


def exact_det(a):
    """Determinant by elimination in exact rationals."""
    a = [list(r) for r in a]
    n, d = len(a), Fraction(1)
    for k in range(n):
        p = next((i for i in range(k, n) if a[i][k] != 0), None)
        if p is None:
            return Fraction(0)
        if p != k:
            a[k], a[p] = a[p], a[k]
            d = -d
        d *= a[k][k]
        for i in range(k + 1, n):
            f = a[i][k] / a[k][k]
            a[i] = [x - f * y for x, y in zip(a[i], a[k])]
    return d


def unchanged(*tensors):
    digests = [t.sha256() for t in tensors]
    return lambda: [t.sha256() for t in tensors] == digests


# Module ----------------------------------------------------------------------------


class TestModule:
    NAMES = ["norm", "solve", "inv", "det", "qr", "cholesky", "eig", "eigh", "svd", "lu", "lstsq",
             "matrix_rank", "cond"]

    def test_all_and_imported_names(self):
        assert tarsk.__all__ == self.NAMES
        assert tarsk._zel is zel
        assert tarsk.Tensor is zel.Tensor
        assert tarsk._torch is torch
        assert tarsk._DTYPE is torch.float64
        assert tarsk._NUM_LIMBS == 8
        assert tarsk._DEVICE == zel._DEVICE

    def test_definition_order(self):
        order = ["_get", "_set", "_getv", "norm", "lu", "_setv", "_getv1d", "solve", "inv", "det", "qr",
                 "cholesky", "eig", "eigh", "svd", "lstsq", "matrix_rank", "cond"]
        assert [k for k in vars(tarsk) if k in order] == order

    def test_docstrings(self):
        doc = tarsk.__doc__
        assert doc.startswith("ZEL Linear Algebra - KALDEN Precision")
        assert "All operations use ZEL arithmetic for zero floating point drift." in doc
        for line in ("from zel import zel, tarsk", "A = zel.randn(3, 3)", "Q, R = tarsk.qr(A)",
                     "x = tarsk.solve(A, b)", "U, S, Vh = tarsk.svd(A)"):
            assert line in doc
        docs = {
            "_get": "Get element A[i,j] as scalar Tensor.",
            "_set": "Set element A[i,j] = val.",
            "_getv": "Get element A[i,j] as Python float.",
            "_setv": "Set element v[i] = val for 1D tensor.",
            "_getv1d": "Get element v[i] as scalar Tensor from 1D tensor.",
            "norm": "Vector/matrix norm with KALDEN precision.",
            "solve": "Solve Ax = b with KALDEN precision.",
            "inv": "Matrix inverse via Gauss-Jordan elimination.",
            "det": "Determinant via LU decomposition.",
            "qr": "QR decomposition via Gram-Schmidt. Returns Q, R where A = Q @ R.",
            "cholesky": "Cholesky decomposition for positive definite A. Returns L where A = L @ L.T.",
            "eig": "Eigenvalues via QR iteration. Returns eigenvalues, eigenvectors.",
            "eigh": "Eigenvalues for symmetric matrix.",
            "svd": "SVD decomposition. Returns U, S, Vh where A = U @ diag(S) @ Vh.",
            "lstsq": "Least squares min ||Ax - b||. Returns x, residual_norm.",
            "matrix_rank": "Matrix rank via SVD.",
            "cond": "Condition number.",
        }
        for name, text in docs.items():
            assert getattr(tarsk, name).__doc__ == text

    def test_keywords_and_defaults(self):
        a = values([[2.0, 1.0], [1.0, 3.0]])
        b = values([1.0, 2.0])
        assert limbs_of(tarsk.solve(A=a, b=b)) == limbs_of(tarsk.solve(a, b))
        assert limbs_of(tarsk.norm(x=b, ord=None, dim=None, keepdim=False)) == limbs_of(tarsk.norm(b))
        e1, v1 = tarsk.eig(a)
        e2, v2 = tarsk.eig(A=a, max_iter=100)
        assert limbs_of(e1) == limbs_of(e2) and limbs_of(v1) == limbs_of(v2)
        assert tarsk.cond(A=a, p=2) == tarsk.cond(a)
        assert tarsk.matrix_rank(A=a, tol=None) == tarsk.matrix_rank(a) == 2
        with pytest.raises(TypeError):
            tarsk.solve(a)
        with pytest.raises(TypeError):
            tarsk.det(a, a)

    def test_import_alone_loads_the_core_module(self):
        code = "import varnel.zel.tarsk as t, sys; assert 'varnel.zel.zel' in sys.modules; " \
               "print(t.det(t.Tensor([[2.0, 0.0], [0.0, 3.0]])).item())"
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
        assert out.returncode == 0, out.stderr
        assert out.stdout.strip() == "6.0"


# Element accessors -------------------------------------------------------------


class TestAccessors:
    def test_get_copies_all_limbs(self):
        rows = [[float(r), r * 1e-17, r * 1e-34] + [0.0] * 4 + [r * 1e-100] for r in range(6)]
        a = from_rows(rows, (2, 3))
        e = tarsk._get(a, 1, 2)
        assert isinstance(e, Tensor) and e.shape == ()
        assert limbs_of(e) == [rows[5]]
        e._data[0, 0] = 99.0
        assert limbs_of(a)[5] == rows[5]

    def test_set_then_get_round_trips(self):
        a = zeros(2, 3)
        t = from_rows([[1.0, 1e-20, -3e-37, 0, 0, 0, 0, 5e-90]], ())
        assert tarsk._set(a, 0, 1, t) is None
        assert limbs_of(tarsk._get(a, 0, 1)) == limbs_of(t)
        assert limbs_of(a)[1] == limbs_of(t)[0]
        assert sum(map(any, limbs_of(a))) == 1

    def test_set_reads_the_first_element(self):
        a = zeros(2, 2)
        tarsk._set(a, 1, 1, values([7.0, 8.0]))
        assert a.tolist() == [[0.0, 0.0], [0.0, 7.0]]

    def test_getv(self):
        a = from_rows([[1.0, 1e-20] + [0.0] * 6, [0.0, 1.0] + [0.0] * 6, [1e16, 1.0, -1e16] + [0.0] * 5,
                       [math.inf, math.nan] + [0.0] * 6], (2, 2))
        assert tarsk._getv(a, 0, 0) == 1.0
        assert tarsk._getv(a, 0, 1) == 1.0
        assert tarsk._getv(a, 1, 0) == 0.0  # summed from limb 7 up: (-1e16 + 1.0) + 1e16
        assert tarsk._getv(a, 1, 1) == math.inf  # limb 0 speaks for a non-finite element
        assert isinstance(tarsk._getv(a, 0, 0), float)

    def test_vector_accessors(self):
        v = from_rows([[1.0, 2e-17] + [0.0] * 6, [2.0, -1e-17] + [0.0] * 6])
        e = tarsk._getv1d(v, 1)
        assert e.shape == () and limbs_of(e) == [limbs_of(v)[1]]
        tarsk._setv(v, 0, e)
        assert limbs_of(v)[0] == limbs_of(v)[1]

    def test_index_conversion(self):
        a = values([[1.0, 2.0], [3.0, 4.0]])
        assert tarsk._get(a, 1.9, 0).item() == 3.0
        assert tarsk._getv(a, True, np.int64(1)) == 4.0
        assert tarsk._getv1d(values([5.0, 6.0]), 1.5).item() == 6.0
        with pytest.raises(TypeError) as info:
            tarsk._get(a, "1", 0)
        assert str(info.value) == "Argument 'i' has incorrect type (expected int, got str)"
        with pytest.raises(TypeError) as info:
            tarsk._set(a, 0, None, Tensor(1.0))
        assert str(info.value) == "Argument 'j' has incorrect type (expected int, got NoneType)"

    @pytest.mark.parametrize("i, j", [(2, 0), (0, 2), (-1, 0), (0, -1), (10**30, 0)])
    def test_indices_are_checked(self, i, j):
        a = values([[1.0, 2.0], [3.0, 4.0]])
        for call in (lambda: tarsk._get(a, i, j), lambda: tarsk._getv(a, i, j),
                     lambda: tarsk._set(a, i, j, Tensor(1.0))):
            with pytest.raises(IndexError):
                call()
        assert a.tolist() == [[1.0, 2.0], [3.0, 4.0]]

    def test_vector_indices_are_checked(self):
        v = values([1.0, 2.0])
        for i in (2, -1):
            with pytest.raises(IndexError):
                tarsk._getv1d(v, i)
            with pytest.raises(IndexError):
                tarsk._setv(v, i, Tensor(0.0))

    def test_bad_operands(self):
        with pytest.raises(IndexError, match=r"\(3,\)"):
            tarsk._get(values([1.0, 2.0, 3.0]), 0, 0)
        with pytest.raises(TypeError):
            tarsk._get([[1.0]], 0, 0)
        with pytest.raises(TypeError):
            tarsk._set(values([[1.0]]), 0, 0, 2.0)
        with pytest.raises(IndexError):
            tarsk._set(values([[1.0]]), 0, 0, Tensor([]))


# LU and determinant ----------------------------------------------------------------


class TestLU:
    @pytest.mark.parametrize("n", [1, 2, 3, 5])
    def test_bit_exact(self, n):
        rng = random.Random(100 + n)
        a, ra = matrix(random_rows(rng, n, n), n, n)
        for got, want in zip(tarsk.lu(a), ref.lu(ra)):
            assert got.shape == (n, n)
            assert_limbs(got, want.data)

    def test_bit_exact_with_cancelled_elements(self):
        # Elements whose limb 0 cancelled go through renormalisation in products.
        rows = random_rows(random.Random(3), 3, 3, diagonal=2.0)
        rows[1] = [0.0, 0.75] + [0.0] * 6
        rows[5] = [2.0, -1.0, 1e-20] + [0.0] * 5
        a, ra = matrix(rows, 3, 3)
        for got, want in zip(tarsk.lu(a), ref.lu(ra)):
            assert_limbs(got, want.data)

    def test_two_by_two(self):
        P, L, U = tarsk.lu(values([[1, 2], [3, 4]]))
        assert P.tolist() == [[0.0, 1.0], [1.0, 0.0]]
        assert L.tolist()[0] == [1.0, 0.0] and L.tolist()[1][1] == 1.0
        assert abs(exact(limbs_of(L)[2]) - Fraction(1, 3)) < Fraction(1, 10**30)
        assert U.tolist()[0] == [3.0, 4.0]
        assert abs(exact(limbs_of(U)[3]) - Fraction(2, 3)) < Fraction(1, 10**30)
        assert abs(exact(limbs_of(U)[2])) < Fraction(1, 10**30)  # residual of 1 - (1/3) * 3

    def test_one_by_one_and_swap(self):
        a = from_rows([[2.5, 1e-20] + [0.0] * 6], (1, 1))
        P, L, U = tarsk.lu(a)
        assert P.tolist() == [[1.0]] and L.tolist() == [[1.0]] and limbs_of(U) == limbs_of(a)
        P, L, U = tarsk.lu(values([[0, 1], [1, 0]]))
        assert P.tolist() == [[0.0, 1.0], [1.0, 0.0]]
        assert L.tolist() == U.tolist() == [[1.0, 0.0], [0.0, 1.0]]

    def test_pivot_ties_keep_the_earlier_row(self):
        assert tarsk.lu(values([[1, 0], [-1, 1]]))[0].tolist() == [[1.0, 0.0], [0.0, 1.0]]
        P = tarsk.lu(values([[2, 0, 0], [-3, 1, 0], [3, 0, 1]]))[0]
        assert P.tolist()[0] == [0.0, 1.0, 0.0]
        # 1 + 1e-20 and 1 are equal in float64: no swap
        a = from_rows([[1.0] + Z7, [0.0] + Z7, [1.0, 1e-20] + [0.0] * 6, [1.0] + Z7], (2, 2))
        assert tarsk.lu(a)[0].tolist() == [[1.0, 0.0], [0.0, 1.0]]

    def test_zero_column(self):
        P, L, U = tarsk.lu(values([[0, 1], [0, 1]]))
        assert L.tolist() == [[1.0, 0.0], [0.0, 1.0]] and U.tolist() == [[0.0, 1.0], [0.0, 1.0]]
        assert tarsk.det(values([[0, 1], [0, 1]])).item() == 0.0

    def test_reconstruction(self):
        rng = random.Random(11)
        n = 5
        a = from_rows(random_rows(rng, n, n), (n, n))
        P, L, U = tarsk.lu(a)
        pa = exact_product(exact_matrix(P), exact_matrix(a))
        lu = exact_product(exact_matrix(L), exact_matrix(U))
        assert max_abs_diff(pa, lu) < Fraction(1, 10**30)
        assert all(L.tolist()[i][j] == (1.0 if i == j else 0.0) for i in range(n) for j in range(i, n))

    def test_det(self):
        assert tarsk.det(values([[1, 2], [3, 4]])).item() == -2.0
        cycle = values([[0, 1, 0], [0, 0, 1], [1, 0, 0]])
        assert limbs_of(tarsk.det(cycle)) == [[1.0] + Z7]
        swap = values([[0, 1, 0], [1, 0, 0], [0, 0, 1]])
        assert limbs_of(tarsk.det(swap)) == [[-1.0] + Z7]
        d = tarsk.det(values([[0, 1], [1, 0]]))
        assert d.shape == () and d.item() == -1.0

    @pytest.mark.parametrize("n", [1, 3, 4])
    def test_det_bit_exact_and_accurate(self, n):
        rng = random.Random(200 + n)
        a, ra = matrix(random_rows(rng, n, n, diagonal=1.0), n, n)
        d = tarsk.det(a)
        assert_limbs(d, [ref.det(ra)])
        true = exact_det(exact_matrix(a))
        assert abs(exact(limbs_of(d)[0]) - true) < Fraction(1, 10**28) * abs(true)

    def test_inputs_unchanged(self):
        a = from_rows(random_rows(random.Random(5), 3, 3), (3, 3))
        same = unchanged(a)
        tarsk.lu(a)
        tarsk.det(a)
        assert same()


# Solve and inverse ---------------------------------------------------------------


class TestSolve:
    @pytest.mark.parametrize("n", [1, 2, 4])
    def test_bit_exact(self, n):
        rng = random.Random(300 + n)
        a, ra = matrix(random_rows(rng, n, n, diagonal=0.5), n, n)
        b_rows = [element(rng) for _ in range(n)]
        x = tarsk.solve(a, vector(b_rows))
        assert x.shape == (n,)
        assert_limbs(x, ref.solve(ra, b_rows))

    def test_values(self):
        assert tarsk.solve(values([[2, 0], [0, 4]]), values([2, 8])).tolist() == [1.0, 2.0]
        assert tarsk.solve(values([[0, 1], [1, 0]]), values([3, 5])).tolist() == [5.0, 3.0]

    def test_singular_leaves_zero(self):
        x = tarsk.solve(values([[1, 0], [0, 0]]), values([3, 5]))
        assert x.tolist() == [3.0, 0.0]

    def test_residual(self):
        rng = random.Random(17)
        n = 4
        a = from_rows(random_rows(rng, n, n, diagonal=2.0), (n, n))
        b = vector([element(rng) for _ in range(n)])
        x = tarsk.solve(a, b)
        ax = exact_product(exact_matrix(a), [[v] for v in map(exact, limbs_of(x))])
        assert max(abs(ax[i][0] - exact(limbs_of(b)[i])) for i in range(n)) < Fraction(1, 10**29)

    def test_rhs_checks(self):
        a = values([[1, 2], [3, 4]])
        with pytest.raises(ValueError) as info:
            tarsk.solve(a, values([1, 2, 3]))
        assert str(info.value) == "Matrix shapes (2, 2) and (3, 1) incompatible"
        with pytest.raises(ValueError, match=r"\(2, 1\)"):
            tarsk.solve(a, values([[1], [2]]))
        with pytest.raises(ValueError) as info:
            tarsk.solve(values([[1, 2, 3], [4, 5, 6]]), values([1, 2]))
        assert str(info.value) == "expected a square matrix, got shape (2, 3)"

    def test_inputs_unchanged(self):
        a, b = values([[0, 1], [1, 0]]), values([3, 5])
        same = unchanged(a, b)
        tarsk.solve(a, b)
        tarsk.inv(a)
        assert same()


def hilbert(n):
    """Limb rows of the n x n Hilbert matrix, each 1/(i+j+1) to eight limbs."""
    rows = []
    for i in range(n):
        for j in range(n):
            rest = Fraction(1, i + j + 1)
            limbs = []
            for _ in range(8):
                limbs.append(float(rest))
                rest -= Fraction(limbs[-1])
            rows.append(limbs)
    return rows


def digits(approx_x, true_x):
    err = max(abs(a - t) for a, t in zip(approx_x, true_x))
    scale = max(abs(t) for t in true_x)
    return float(-mpmath.log10(err / scale)) if err else 60.0


class TestSolvePrecision:
    def test_hilbert(self, capsys):
        results = {}
        for n in (6, 8, 10):
            with mpmath.workdps(60):
                h = mpmath.matrix([[mpmath.mpf(1) / (i + j + 1) for j in range(n)] for i in range(n)])
                true_x = mpmath.lu_solve(h, mpmath.matrix([1] * n))
                x = tarsk.solve(from_rows(hilbert(n), (n, n)), values([1.0] * n))
                ours = [mpmath.mpf(exact(r).numerator) / exact(r).denominator for r in limbs_of(x)]
                hf = np.array([[1.0 / (i + j + 1) for j in range(n)] for i in range(n)])
                theirs = [mpmath.mpf(float(v)) for v in np.linalg.solve(hf, np.ones(n))]
                results[n] = (digits(ours, true_x), digits(theirs, true_x))
        with capsys.disabled():
            for n, (d_ours, d_np) in results.items():
                print(f"\nHilbert {n}: solve {d_ours:.1f} digits, numpy.linalg.solve {d_np:.1f} digits", end="")
            print()
        assert results[8][0] >= 18
        assert all(d_ours > d_np + 8 for d_ours, d_np in results.values())


class TestInverse:
    @pytest.mark.parametrize("n", [1, 2, 4])
    def test_bit_exact(self, n):
        rng = random.Random(400 + n)
        a, ra = matrix(random_rows(rng, n, n, diagonal=0.5), n, n)
        assert_limbs(tarsk.inv(a), ref.inv(ra).data)

    def test_values(self):
        assert tarsk.inv(values([[0, 1], [1, 0]])).tolist() == [[0.0, 1.0], [1.0, 0.0]]
        assert tarsk.inv(values([[4]])).tolist() == [[0.25]]

    def test_singular(self):
        with pytest.raises(ValueError) as info:
            tarsk.inv(values([[1, 2], [2, 4]]))
        assert str(info.value) == "Singular matrix"
        with pytest.raises(ValueError, match="Singular matrix"):
            tarsk.inv(zeros(3, 3))

    def test_product_with_inverse_is_identity(self):
        rng = random.Random(23)
        n = 4
        a = from_rows(random_rows(rng, n, n, diagonal=2.0), (n, n))
        prod = exact_product(exact_matrix(a), exact_matrix(tarsk.inv(a)))
        ident = [[Fraction(int(i == j)) for j in range(n)] for i in range(n)]
        assert max_abs_diff(prod, ident) < Fraction(1, 10**29)

    def test_square_check(self):
        with pytest.raises(ValueError) as info:
            tarsk.inv(values([[1, 2, 3], [4, 5, 6]]))
        assert str(info.value) == "expected a square matrix, got shape (2, 3)"


# QR and least squares ------------------------------------------------------------


class TestQR:
    @pytest.mark.parametrize("m, n", [(1, 1), (3, 2), (2, 3), (3, 3)])
    def test_bit_exact(self, m, n):
        rng = random.Random(500 + 10 * m + n)
        a, ra = matrix(random_rows(rng, m, n), m, n)
        Q, R = tarsk.qr(a)
        rq, rr = ref.qr(ra)
        assert Q.shape == (m, n) and R.shape == (n, n)
        assert_limbs(Q, rq.data)
        assert_limbs(R, rr.data)

    def test_values(self):
        Q, R = tarsk.qr(eye(2))
        assert Q.tolist() == R.tolist() == [[1.0, 0.0], [0.0, 1.0]]
        Q, R = tarsk.qr(values([[3], [4]]))
        assert R.tolist() == [[5.0]] and Q.tolist() == [[0.6], [0.8]]
        assert abs(exact(limbs_of(Q)[0]) - Fraction(3, 5)) < Fraction(1, 10**30)

    def test_dependent_column(self):
        # The second column orthogonalises to exact zeros, whose norm is 0.
        Q, R = tarsk.qr(values([[1, 1], [0, 0]]))
        assert R.tolist() == [[1.0, 1.0], [0.0, 0.0]]
        assert Q.tolist() == [[1.0, 0.0], [0.0, 0.0]]

    def test_reconstruction(self):
        rng = random.Random(29)
        a = from_rows(random_rows(rng, 4, 3), (4, 3))
        Q, R = tarsk.qr(a)
        qr = exact_product(exact_matrix(Q), exact_matrix(R))
        assert max_abs_diff(qr, exact_matrix(a)) < Fraction(1, 10**29)
        qtq = exact_product(list(map(list, zip(*exact_matrix(Q)))), exact_matrix(Q))
        ident = [[Fraction(int(i == j)) for j in range(3)] for i in range(3)]
        assert max_abs_diff(qtq, ident) < Fraction(1, 10**29)
        assert all(R.tolist()[i][j] == 0.0 for i in range(3) for j in range(i))


class TestLstsq:
    def test_values(self):
        x, res = tarsk.lstsq(values([[1], [1]]), values([1, 3]))
        assert x.shape == (1,) and x.item() == 2.0
        assert res.shape == () and res.item() == 1.4142135623730951

    def test_square_system(self):
        rng = random.Random(31)
        a = from_rows(random_rows(rng, 3, 3, diagonal=2.0), (3, 3))
        b = vector([element(rng) for _ in range(3)])
        x, res = tarsk.lstsq(a, b)
        assert abs(res.item()) < 1e-28
        assert max(abs(p - q) for p, q in zip(x.tolist(), tarsk.solve(a, b).tolist())) < 1e-15

    @pytest.mark.parametrize("m, n", [(3, 2), (2, 2), (2, 3)])
    def test_bit_exact(self, m, n):
        rng = random.Random(600 + 10 * m + n)
        a, ra = matrix(random_rows(rng, m, n), m, n)
        b_rows = [element(rng) for _ in range(m)]
        x, res = tarsk.lstsq(a, vector(b_rows))
        rx, rres = ref.lstsq(ra, b_rows)
        assert_limbs(x, rx)
        assert_limbs(res, [rres])

    def test_checks_and_inputs_unchanged(self):
        a, b = values([[1, 2], [3, 4], [5, 6]]), values([1, 2, 3])
        same = unchanged(a, b)
        tarsk.lstsq(a, b)
        tarsk.qr(a)
        assert same()
        with pytest.raises(ValueError) as info:
            tarsk.lstsq(a, values([1, 2]))
        assert str(info.value) == "Matrix shapes (2, 3) and (2, 1) incompatible"


# Cholesky ------------------------------------------------------------------------


class TestCholesky:
    def test_values(self):
        L = tarsk.cholesky(values([[4, 2], [2, 3]]))
        assert L.tolist() == [[2.0, 0.0], [1.0, math.sqrt(2)]]
        assert abs(exact(limbs_of(L)[3]) ** 2 - 2) < Fraction(1, 10**30)
        assert limbs_of(tarsk.cholesky(values([[4, 999], [2, 3]]))) == limbs_of(L)
        assert tarsk.cholesky(eye(3)).tolist() == eye(3).tolist()

    def test_zero_pivot(self):
        # sqrt(0) is exactly 0, so the column below it stays 0.
        L = tarsk.cholesky(values([[0, 0], [1, 1]]))
        assert limbs_of(L) == [[0.0] * 8, [0.0] * 8, [0.0] * 8, [1.0] + Z7]

    def test_not_positive_definite_gives_nan(self):
        L = tarsk.cholesky(values([[-1, 0], [0, 1]]))
        assert math.isnan(L.tolist()[0][0])

    @pytest.mark.parametrize("n", [1, 3, 4])
    def test_bit_exact_and_reconstruction(self, n):
        rng = random.Random(700 + n)
        rows = random_rows(rng, n, n)
        b = from_rows(rows, (n, n))
        # A = B B^T + n I, symmetric positive definite, built exactly from B's limbs
        spd = exact_product(exact_matrix(b), list(map(list, zip(*exact_matrix(b)))))
        a_rows = []
        for i in range(n):
            for j in range(n):
                rest = spd[i][j] + (n if i == j else 0)
                limbs = []
                for _ in range(8):
                    limbs.append(float(rest))
                    rest -= Fraction(limbs[-1])
                a_rows.append(limbs)
        a, ra = matrix(a_rows, n, n)
        L = tarsk.cholesky(a)
        assert_limbs(L, ref.cholesky(ra).data)
        llt = exact_product(exact_matrix(L), list(map(list, zip(*exact_matrix(L)))))
        assert max_abs_diff(llt, exact_matrix(a)) < Fraction(1, 10**29)
        assert all(L.tolist()[i][j] == 0.0 for i in range(n) for j in range(i + 1, n))

    def test_square_check(self):
        with pytest.raises(ValueError, match=r"^expected a square matrix, got shape \(2, 3\)$"):
            tarsk.cholesky(zeros(2, 3))


# Eigenvalues and SVD -------------------------------------------------------------


class TestEig:
    def test_no_iteration(self):
        a = from_rows(random_rows(random.Random(1), 3, 3), (3, 3))
        for it in (0, -5):
            e, V = tarsk.eig(a, max_iter=it)
            assert limbs_of(e) == [limbs_of(a)[0], limbs_of(a)[4], limbs_of(a)[8]]
            assert limbs_of(V) == limbs_of(eye(3))

    def test_diagonal_and_zero(self):
        e, V = tarsk.eig(values([[1, 0], [0, 3]]))
        assert e.tolist() == [1.0, 3.0] and V.tolist() == [[1.0, 0.0], [0.0, 1.0]]
        e, V = tarsk.eig(zeros(2, 2))
        assert e.tolist() == [0.0, 0.0] and V.tolist() == [[0.0, 0.0], [0.0, 0.0]]

    @pytest.mark.parametrize("n, iters", [(2, 100), (3, 8)])
    def test_bit_exact(self, n, iters):
        rng = random.Random(800 + n)
        a, ra = matrix(random_rows(rng, n, n), n, n)
        e, V = tarsk.eig(a, iters)
        re, rV = ref.eig(ra, iters)
        assert_limbs(e, re)
        assert_limbs(V, rV.data)
        e2, V2 = tarsk.eigh(a, iters)
        assert limbs_of(e2) == limbs_of(e) and limbs_of(V2) == limbs_of(V)

    def test_symmetric_converges(self):
        a = values([[2, 1], [1, 2]])
        e, V = tarsk.eig(a)
        assert abs(e.tolist()[0] - 3.0) < 1e-15 and abs(e.tolist()[1] - 1.0) < 1e-15
        # A V = V diag(e) to limb precision
        av = exact_product(exact_matrix(a), exact_matrix(V))
        vd = [[exact_matrix(V)[i][j] * exact(limbs_of(e)[j]) for j in range(2)] for i in range(2)]
        assert max_abs_diff(av, vd) < Fraction(1, 10**25)

    def test_max_iter_type(self):
        a = eye(2)
        with pytest.raises(TypeError, match="'float' object cannot be interpreted as an integer"):
            tarsk.eig(a, 2.0)
        with pytest.raises(TypeError):
            tarsk.svd(a, max_iter="3")
        assert limbs_of(tarsk.eig(a, np.int64(2))[0]) == limbs_of(tarsk.eig(a, 2)[0])


class TestSVD:
    def test_diagonal(self):
        U, S, Vh = tarsk.svd(values([[1, 0], [0, 3]]))
        assert S.tolist() == [3.0, 1.0]
        assert U.tolist() == [[0.0, 1.0], [1.0, 0.0]] and Vh.tolist() == [[0.0, 1.0], [1.0, 0.0]]

    def test_identity_ties_by_descending_index(self):
        U, S, Vh = tarsk.svd(eye(2))
        assert S.tolist() == [1.0, 1.0]
        assert U.tolist() == Vh.tolist() == [[0.0, 1.0], [1.0, 0.0]]

    def test_wide(self):
        U, S, Vh = tarsk.svd(values([[3, 0, 0]]))
        assert U.tolist() == [[1.0]] and S.tolist() == [3.0] and Vh.tolist() == [[1.0, 0.0, 0.0]]

    def test_full_matrices_ignored_and_zero_singular_value(self):
        a = values([[1, 0], [0, 0]])
        r1 = tarsk.svd(a, full_matrices=True)
        r2 = tarsk.svd(a, full_matrices=False)
        assert all(limbs_of(x) == limbs_of(y) for x, y in zip(r1, r2))
        U, S, Vh = r1
        assert S.tolist() == [1.0, 0.0]
        assert [row[1] for row in U.tolist()] == [0.0, 0.0]

    @pytest.mark.parametrize("m, n, iters", [(3, 2, 12), (2, 3, 12), (2, 2, 100)])
    def test_bit_exact(self, m, n, iters):
        rng = random.Random(900 + 10 * m + n)
        a, ra = matrix(random_rows(rng, m, n), m, n)
        got = tarsk.svd(a, max_iter=iters)
        want = ref.svd(ra, max_iter=iters)
        k = min(m, n)
        assert [t.shape for t in got] == [(m, k), (k,), (k, n)]
        assert_limbs(got[0], want[0].data)
        assert_limbs(got[1], want[1])
        assert_limbs(got[2], want[2].data)

    def test_reconstruction(self):
        a = from_rows([[4.0, 1e-17] + [0.0] * 6, [1.0] + Z7, [0.5] + Z7,
                       [1.0] + Z7, [2.0, -3e-18] + [0.0] * 6, [0.25] + Z7,
                       [0.0] + Z7, [0.5] + Z7, [1.0, 1e-18] + [0.0] * 6], (3, 3))
        U, S, Vh = tarsk.svd(a)
        s = [exact(r) for r in limbs_of(S)]
        assert s == sorted(s, reverse=True)
        us = [[u * s[j] for j, u in enumerate(row)] for row in exact_matrix(U)]
        usv = exact_product(us, exact_matrix(Vh))
        assert max_abs_diff(usv, exact_matrix(a)) < Fraction(1, 10**25)


# Norms, condition number, rank ----------------------------------------------------


class TestNorm:
    def test_values(self):
        assert tarsk.norm(values([3, 4])).item() == 5.0
        assert tarsk.norm(values([3, -4]), ord=1).item() == 7.0
        assert tarsk.norm(values([3, -4]), ord=float("inf")).item() == 4.0
        assert abs(tarsk.norm(values([3, -4]), ord=3).item() - 91 ** (1 / 3)) < 1e-15
        m = values([[1, 2], [3, 4]])
        assert tarsk.norm(m).item() == math.sqrt(30) == tarsk.norm(m, ord=2).item()
        assert limbs_of(tarsk.norm(m, ord="fro")) == limbs_of(tarsk.norm(m, ord=2.0)) == limbs_of(tarsk.norm(m))
        assert limbs_of(tarsk.norm(m, ord=True)) == limbs_of(tarsk.norm(m, ord=1))

    def test_dim_and_keepdim(self):
        m = values([[3, 1], [4, 1]])
        r = tarsk.norm(m, ord="fro", dim=0, keepdim=True)
        assert r.shape == (1, 2) and r.tolist() == [[5.0, math.sqrt(2)]]
        r = tarsk.norm(m, ord=1, dim=-1)
        assert r.shape == (2,) and r.tolist() == [4.0, 5.0]
        assert tarsk.norm(m).shape == ()
        with pytest.raises(IndexError):
            tarsk.norm(m, dim=2)

    @pytest.mark.parametrize("ord_", [None, 1, float("inf"), 3, -1, 2.5, float("-inf")])
    def test_bit_exact(self, ord_):
        rng = random.Random(1000)
        rows = [element(rng, 3.0) for _ in range(6)]
        t = from_rows(rows, (2, 3))
        for dim in (None, 0, 1):
            shape, want = ref.norm(rows, (2, 3), ord_, dim)
            got = tarsk.norm(t, ord=ord_, dim=dim)
            assert got.shape == shape
            assert_limbs(got, want)

    def test_errors(self):
        v = values([1, 2])
        with pytest.raises(ZeroDivisionError, match="float division by zero"):
            tarsk.norm(v, ord=0)
        with pytest.raises(ZeroDivisionError):
            tarsk.norm(v, ord=False)
        with pytest.raises(TypeError, match="unsupported operand"):
            tarsk.norm(v, ord="nuc")
        with pytest.raises(TypeError):
            tarsk.norm([1.0, 2.0])
        with pytest.raises(ValueError):
            tarsk.norm(Tensor([]), ord=float("inf"))
        assert tarsk.norm(Tensor([])).item() == 0.0


class TestCondAndRank:
    def test_cond(self):
        assert tarsk.cond(eye(3)) == 1.0
        assert tarsk.cond(values([[1, 0], [0, 3]])) == 3.0
        assert tarsk.cond(values([[1, 0], [0, 0]])) == math.inf
        assert abs(tarsk.cond(values([[1, 0], [0, 3]]), p=1) - 16 / 3) < 1e-15
        assert isinstance(tarsk.cond(eye(2)), float)
        with pytest.raises(ValueError, match="Singular matrix"):
            tarsk.cond(values([[1, 2], [2, 4]]), p=1)
        # p=None is not 2: Frobenius norms of A and its inverse
        assert abs(tarsk.cond(values([[1, 0], [0, 3]]), p=None) - math.sqrt(10) * math.sqrt(1 + 1 / 9)) < 1e-14
        with pytest.raises(ZeroDivisionError):
            tarsk.cond(eye(2), p=0)

    def test_cond_bit_exact(self):
        rng = random.Random(1100)
        a, ra = matrix(random_rows(rng, 3, 3, diagonal=1.0), 3, 3)
        for p in (1, 2, float("inf"), None):
            got = tarsk.cond(a, p=p)
            want = ref.cond(ra, p)
            assert same_bits([got], [want])

    def test_rank(self):
        assert tarsk.matrix_rank(values([[1, 0], [0, 0]])) == 1
        assert tarsk.matrix_rank(zeros(3, 3)) == 0
        d = values([[1, 0], [0, 1e-20]])
        assert tarsk.matrix_rank(d) == 1
        assert tarsk.matrix_rank(d, tol=0) == 2
        assert tarsk.matrix_rank(d, tol=0.5) == 1
        assert type(tarsk.matrix_rank(d)) is int
        with pytest.raises(TypeError):
            tarsk.matrix_rank(d, tol="0")

    def test_empty(self):
        for f in (tarsk.cond, tarsk.matrix_rank):
            with pytest.raises(IndexError):
                f(zeros(0, 0))
        assert tarsk.matrix_rank(zeros(0, 2), tol=0.0) == 0


# Robustness ------------------------------------------------------------------------


class TestRobustness:
    def test_non_tensor_arguments(self):
        a = eye(2)
        calls = [lambda: tarsk.det([[1, 0], [0, 1]]), lambda: tarsk.solve(a, [1, 2]), lambda: tarsk.inv(None),
                 lambda: tarsk.qr(np.eye(2)), lambda: tarsk.lstsq(a, 3.0), lambda: tarsk.svd("A"),
                 lambda: tarsk.eig(1), lambda: tarsk.cond(torch.eye(2)), lambda: tarsk.lu(()),
                 lambda: tarsk.cholesky(2), lambda: tarsk.matrix_rank([]), lambda: tarsk.eigh(a.tolist())]
        for call in calls:
            with pytest.raises(TypeError):
                call()

    def test_uninitialised_tensor(self):
        t = Tensor.__new__(Tensor)
        for call in (lambda: tarsk.det(t), lambda: tarsk.norm(t), lambda: tarsk._get(t, 0, 0),
                     lambda: tarsk._set(eye(1), 0, 0, t), lambda: tarsk.solve(eye(1), t)):
            with pytest.raises(TypeError, match="__init__"):
                call()

    def test_out_of_range_arguments(self):
        with pytest.raises(ValueError, match="max_iter"):
            tarsk.eig(eye(2), 10**30)
        e, V = tarsk.eig(values([[1.0, 2.0], [3.0, 4.0]]), -10**30)
        assert e.tolist() == [1.0, 4.0]
        with pytest.raises(ValueError, match="ord"):
            tarsk.norm(values([1.0]), ord=10**30)
        assert tarsk.matrix_rank(eye(2), tol=math.nan) == 0
        with pytest.raises(OverflowError):
            tarsk.matrix_rank(eye(2), tol=10**400)

    def test_wrong_ranks(self):
        vec, cube = values([1.0, 2.0]), zeros(2, 2, 2)
        for f in (tarsk.lu, tarsk.det, tarsk.inv, tarsk.cholesky):
            with pytest.raises(IndexError):
                f(vec)
            with pytest.raises(IndexError):
                f(Tensor(1.0))
            with pytest.raises(ValueError):
                f(cube)
        for f in (tarsk.qr, tarsk.svd, tarsk.matrix_rank, tarsk.cond):
            for t in (vec, cube, Tensor(1.0)):
                with pytest.raises(ValueError, match="expected a 2-D matrix"):
                    f(t)
        with pytest.raises(IndexError):
            tarsk.eig(Tensor(1.0))
        with pytest.raises(ValueError):
            tarsk.eig(vec)
        with pytest.raises(IndexError):
            tarsk.solve(vec, vec)
        with pytest.raises(ValueError, match="1-D right-hand side"):
            tarsk.solve(eye(2), zeros(2, 1))
        with pytest.raises(ValueError):
            tarsk.lstsq(eye(2), Tensor(1.0))

    def test_square_checks(self):
        wide = zeros(2, 3)
        for f in (tarsk.lu, tarsk.det, tarsk.inv, tarsk.cholesky, tarsk.eig, tarsk.eigh,
                  lambda a: tarsk.cond(a, p=1)):
            with pytest.raises(ValueError) as info:
                f(wide)
            assert str(info.value) == "expected a square matrix, got shape (2, 3)"

    def test_empty_matrices(self):
        e = zeros(0, 0)
        P, L, U = tarsk.lu(e)
        assert P.shape == L.shape == U.shape == (0, 0)
        assert tarsk.det(e).item() == 1.0
        assert tarsk.solve(e, Tensor([])).shape == (0,)
        assert tarsk.inv(e).shape == (0, 0)
        assert tarsk.cholesky(e).shape == (0, 0)
        assert [t.shape for t in tarsk.eig(e)] == [(0,), (0, 0)]
        assert [t.shape for t in tarsk.svd(e)] == [(0, 0), (0,), (0, 0)]
        Q, R = tarsk.qr(zeros(3, 0))
        assert Q.shape == (3, 0) and R.shape == (0, 0)
        Q, R = tarsk.qr(zeros(0, 2))
        assert Q.shape == (0, 2) and R.tolist() == [[0.0, 0.0], [0.0, 0.0]]
        x, res = tarsk.lstsq(zeros(0, 2), Tensor([]))
        assert x.tolist() == [0.0, 0.0] and res.item() == 0.0

    def test_non_finite_inputs_do_not_crash(self):
        for bad in (math.nan, math.inf, -math.inf):
            a = values([[bad, 1.0], [1.0, 2.0]])
            tarsk.lu(a)
            tarsk.det(a)
            tarsk.solve(a, values([1.0, 1.0]))
            tarsk.qr(a)
            tarsk.cholesky(a)
            tarsk.svd(a, max_iter=3)
            tarsk.norm(a)
            tarsk.matrix_rank(a)
            try:
                tarsk.inv(a)
            except ValueError:
                pass

    def test_replaced_limb_array_is_checked(self):
        a = eye(2)
        a._data = torch.zeros(3, 8, dtype=torch.float64)
        with pytest.raises(ValueError, match="rows"):
            tarsk.det(a)
        with pytest.raises(ValueError):
            tarsk._get(a, 0, 0)
        b = eye(2)
        b._data = torch.zeros(4, 8, dtype=torch.float32)
        with pytest.raises(TypeError, match="float64"):
            tarsk.inv(b)

    def test_strided_limb_array(self):
        base = torch.zeros(8, 8, dtype=torch.float64)
        base[::2, 0] = torch.tensor([2.0, 1.0, 1.0, 3.0], dtype=torch.float64)
        a = Tensor(_raw=base[::2], _shape=(2, 2))
        assert tarsk.det(a).item() == 5.0
        assert tarsk._get(a, 1, 1).item() == 3.0
        tarsk._set(a, 0, 1, Tensor(7.0))
        assert base[2, 0].item() == 7.0

    @pytest.mark.parametrize("device", DEVICES)
    def test_results_on_input_device(self, device):
        a = values([[2.0, 1.0], [1.0, 3.0]]).to(device)
        b = values([1.0, 2.0]).to(device)
        outs = [tarsk.det(a), tarsk.solve(a, b), tarsk.inv(a), tarsk.cholesky(a), tarsk.norm(b),
                tarsk._get(a, 0, 0), tarsk._getv1d(b, 1), *tarsk.lu(a), *tarsk.qr(a), *tarsk.eig(a, 3),
                *tarsk.svd(a, max_iter=3), *tarsk.lstsq(a, b)]
        assert all(t._data.device.type == device for t in outs)
        cpu = tarsk.solve(a.cpu(), b.cpu())
        assert limbs_of(cpu) == limbs_of(tarsk.solve(a, b))

    def test_gil_is_released(self):
        n = 120
        a = from_rows(random_rows(random.Random(2), n, n, diagonal=3.0), (n, n))
        start = time.perf_counter()
        tarsk.inv(a)
        alone = time.perf_counter() - start
        worker = threading.Thread(target=tarsk.inv, args=(a,))
        start = time.perf_counter()
        worker.start()
        time.sleep(0.005)
        woke = time.perf_counter() - start
        worker.join()
        # A kernel holding the GIL would keep this thread from waking until
        # the whole inversion is done.
        assert woke < alone / 2
