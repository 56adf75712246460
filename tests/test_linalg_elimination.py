"""Elimination paths of zel.linalg: the blocked LU and triangular solves
against the element-by-element elimination written out with Tensor
operations (the same bytes, whatever the shape, the recursion splits and the
thread count), and solve's float64 LU with refinement in limbs against exact
solutions and against the limb LU it falls back to."""
import math
import random
from fractions import Fraction

import pytest
import torch

from conftest import from_rows, limbs_of, same_bits
from varnel.zel import zel

L = zel.linalg


def matrix(rows, cols, seed):
    """Elements with lower limbs, so that dominant() and every limb count."""
    rng = random.Random(seed)
    out = []
    for _ in range(rows * cols):
        x = rng.uniform(-1, 1)
        out.append([x, x * 2.0**-54 * rng.uniform(-1, 1), x * 2.0**-109 * rng.uniform(-1, 1)] + [0.0] * 5)
    return from_rows(out, (rows, cols))


def elimination(a):
    """getrf's loop: pivot on |approx|, whole rows swapped, factor = a * (1/pivot),
    then a(i, c) - factor * a(j, c) for every later row and column."""
    a = a.clone()
    m, n = a.shape
    pivots = []
    for j in range(min(m, n)):
        col = [abs(v) for v in a[j:, j].tolist()]
        p = j + max(range(len(col)), key=lambda i: (col[i], -i))
        pivots.append(p + 1)
        if p != j:
            row = a[j].clone()
            a[j] = a[p]
            a[p] = row
        if not any(limbs_of(a[j, j])[0]):
            continue  # an exactly zero pivot: getrf skips the column
        if j + 1 < m:
            f = a[j + 1 :, j] * a[j, j].reciprocal()
            a[j + 1 :, j] = f
            if j + 1 < n:
                a[j + 1 :, j + 1 :] = a[j + 1 :, j + 1 :] - f.reshape(-1, 1) * a[j, j + 1 :].reshape(1, -1)
    return a, pivots


def substitution(t, b, upper):
    """x(i) = (b(i) - t(i, j) x(j) for j in order) * (1 / t(i, i))."""
    n = t.shape[0]
    x = b.clone()
    for i in reversed(range(n)) if upper else range(n):
        val = b[i]
        for j in range(i + 1, n) if upper else range(i):
            val = val - t[i, j] * x[j]
        x[i] = val * t[i, i].reciprocal()
    return x


@pytest.mark.parametrize("shape", [(40, 40), (53, 29), (29, 53), (17, 17)])
def test_lu_factor_has_the_bytes_of_the_elimination(shape):
    a = matrix(*shape, seed=shape[0] * 100 + shape[1])
    lu, piv = L.lu_factor(a)
    want, want_piv = elimination(a)
    assert piv.tolist() == want_piv
    assert same_bits(sum(limbs_of(lu), []), sum(limbs_of(want), []))


@pytest.mark.parametrize("upper", [False, True])
def test_triangular_solve_has_the_bytes_of_substitution(upper):
    t = matrix(37, 37, seed=5) + 4 * zel.eye(37)
    b = matrix(37, 11, seed=6)
    got = L.solve_triangular(t, b, upper=upper)
    want = substitution(t, b, upper)
    assert same_bits(sum(limbs_of(got), []), sum(limbs_of(want), []))


def test_a_zero_pivot_midway_keeps_the_elimination_and_its_error():
    a = matrix(40, 40, seed=9)
    a[:, 25] = 0.0
    L.lu_factor(matrix(40, 40, seed=1))  # leaves its packed multipliers where column 25's would be
    with pytest.raises(RuntimeError, match=r"U\[26,26\] is zero"):
        L.lu_factor(a)
    _, lower, upper = L.lu(a)
    want = limbs_of(elimination(a)[0])
    low, up = limbs_of(lower), limbs_of(upper)
    for i in range(40):
        for j in range(40):
            assert same_bits((up if j >= i else low)[i * 40 + j], want[i * 40 + j])
    with pytest.raises(Exception, match="singular"):
        L.solve(a, matrix(40, 1, seed=1))


@pytest.mark.parametrize("case", ["plain", "nan multiplier"])
def test_inv_has_the_bytes_of_lu_solve_on_the_identity(case):
    a = matrix(45, 45, seed=12)
    if case == "nan multiplier":
        a[40, 2] = float("nan")  # never the pivot: a NaN multiplier, whose products with 0 are NaN
    want = L.lu_solve(*L.lu_factor(a), zel.eye(45))
    assert same_bits(sum(limbs_of(L.inv(a)), []), sum(limbs_of(want), []))


def column_cholesky(a):
    """L column by column: a(i, j) - l(i, k) l(j, k) for k in order, times 1/l(j, j)."""
    n = a.shape[0]
    low = zel.zeros(n, n)
    for j in range(n):
        d = a[j, j]
        for k in range(j):
            d = d - low[j, k] * low[j, k]
        low[j, j] = d.sqrt()
        if j + 1 < n:
            v = a[j + 1 :, j]
            for k in range(j):
                v = v - low[j + 1 :, k] * low[j, k]
            low[j + 1 :, j] = v * low[j, j].reciprocal()
    return low


def test_cholesky_has_the_bytes_of_the_column_algorithm():
    g = matrix(37, 37, seed=11)
    a = g @ g.T + 37 * zel.eye(37)
    assert same_bits(sum(limbs_of(L.cholesky(a)), []), sum(limbs_of(column_cholesky(a)), []))
    a[30, 30] = -1.0
    with pytest.raises(RuntimeError, match="order 31 is not positive"):
        L.cholesky(a)


@pytest.mark.parametrize("n", [128, 200])
def test_one_and_two_threads_give_the_same_bytes(n):
    a, b = matrix(n, n, seed=n), matrix(n, 3, seed=n + 1)
    spd = a @ a.T + n * zel.eye(n)
    calls = {"solve": lambda: L.solve(a, b), "inv": lambda: L.inv(a), "det": lambda: L.det(a),
             "cholesky": lambda: L.cholesky(spd)}
    saved = torch.get_num_threads()
    try:
        digests = {}
        for k in (1, 2):
            torch.set_num_threads(k)
            digests[k] = {name: f().sha256() for name, f in calls.items()}
            if k == 2:
                assert zel._parallel_width() == 2
    finally:
        torch.set_num_threads(saved)
    assert digests[1] == digests[2]


# solve by float64 LU and refinement in limbs --------------------------------------


def limbs_of_fraction(q):
    """The greedy 8-limb expansion of an exact rational (exact to ~2^-400)."""
    out = []
    for _ in range(8):
        out.append(float(q))
        q -= Fraction(out[-1])
    return out


def exact_problem(n, k, seed, diagonal):
    """A (two limbs an element), X with lower limbs, and B = A X to 8 limbs."""
    rng = random.Random(seed)
    a = [[Fraction(rng.gauss(0, 1)) + Fraction(rng.gauss(0, 1)) * Fraction(2) ** -60 for _ in range(n)] for _ in range(n)]
    for i in range(n):
        a[i][i] += Fraction(diagonal)
    x = [[Fraction(rng.gauss(0, 1)) + Fraction(rng.gauss(0, 1)) * Fraction(2) ** -70 for _ in range(k)] for _ in range(n)]
    b = [[sum(a[i][j] * x[j][c] for j in range(n)) for c in range(k)] for i in range(n)]
    rows = lambda m: [limbs_of_fraction(v) for r in m for v in r]
    return from_rows(rows(a), (n, n)), from_rows(rows(b), (n, k)), [v for r in x for v in r]


def digits(t, truth):
    got = [sum(map(Fraction, r)) for r in limbs_of(t)]
    err = max(abs(g - v) for g, v in zip(got, truth))
    return 60.0 if err == 0 else -math.log10(err / max(abs(v) for v in truth))


@pytest.mark.parametrize("n, k, diagonal", [(20, 1, 4.5), (128, 1, 11.3), (128, 3, 11.3), (40, 2, 0.0)])
def test_refined_solve_is_as_accurate_as_the_limb_lu(n, k, diagonal):
    a, b, truth = exact_problem(n, k, seed=n + k, diagonal=diagonal)
    refined = digits(L.solve(a, b), truth)
    by_lu = digits(L.lu_solve(*L.lu_factor(a), b), truth)
    assert refined >= by_lu - 0.3
    if diagonal:
        assert refined >= 28


def test_each_right_hand_side_is_refined_to_its_own_scale():
    a, b, truth = exact_problem(30, 2, seed=8, diagonal=5.5)
    rows = limbs_of(b)
    small = [[v * 2.0**-120 for v in row] if i % 2 else row for i, row in enumerate(rows)]
    b = from_rows(small, (30, 2))
    truth = [v * Fraction(2) ** -120 if i % 2 else v for i, v in enumerate(truth)]
    x = L.solve(a, b)
    for c in (0, 1):
        assert digits(x[:, c], truth[c::2]) >= 28


def test_no_right_hand_side():
    assert L.solve(zel.eye(20), zel.zeros(20, 0)).shape == (20, 0)


def hilbert(n):
    return from_rows([limbs_of_fraction(Fraction(1, i + j + 1)) for i in range(n) for j in range(n)], (n, n))


@pytest.mark.parametrize("case", ["hilbert", "nan", "dependent rows", "zero row"])
def test_what_refinement_cannot_trust_takes_the_limb_lu(case):
    n = 24
    a = hilbert(n) if case == "hilbert" else matrix(n, n, seed=3)
    if case == "nan":
        a[5, 7] = float("nan")
    if case == "dependent rows":
        a[20] = a[3]  # rounding leaves the limb LU a tiny pivot: it answers
    b = matrix(n, 2, seed=4)
    if case == "zero row":
        a[20] = 0.0
        for rhs in (b, zel.zeros(n, 0)):
            with pytest.raises(RuntimeError, match="singular"):
                L.solve(a, rhs)
        return
    want = L.lu_solve(*L.lu_factor(a), b)
    assert same_bits(sum(limbs_of(L.solve(a, b)), []), sum(limbs_of(want), []))
