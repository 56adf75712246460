"""zel.linalg against torch.linalg (float64) for shapes, result types, index
dtypes, batching and errors, and against mpmath at 60 digits for accuracy."""

import math

import mpmath
import numpy as np
import pytest
import torch

from varnel.zel import zel

L = zel.linalg
T = torch.linalg
DIGITS = 28  # required agreement with mpmath on well-conditioned input


# Operands ------------------------------------------------------------------------


def limbs_from_mp(x):
    """The 8 limbs of an mpf, each the float64 nearest to what is left."""
    out, r = [], mpmath.mpf(x)
    for _ in range(8):
        f = float(r)
        out.append(f)
        r -= f
    return out


def from_mp(values, shape):
    rows = [limbs_from_mp(v) for v in values]
    return zel.Tensor(_raw=torch.tensor(rows, dtype=torch.float64).reshape(-1, 8), _shape=tuple(shape))


def mp_values(t):
    return [mpmath.fsum(mpmath.mpf(x) for x in r) for r in t._data.tolist()]


def mp_matrix(t):
    v = mp_values(t)
    m, n = t.shape
    return mpmath.matrix([[v[i * n + j] for j in range(n)] for i in range(m)])


def random_mp(rng, m, n, diagonal=0.0):
    """An m x n matrix whose elements carry bits below float64's (so that a
    float64 computation could not pass the accuracy tests), as mpmath values
    and as a Tensor holding them exactly."""
    with mpmath.workdps(60):
        values = [mpmath.mpf(rng.standard_normal()) + mpmath.mpf(rng.standard_normal()) * mpmath.mpf(2) ** -70
                  for _ in range(m * n)]
        for i in range(min(m, n)):
            values[i * n + i] += diagonal
    return from_mp(values, (m, n)), mpmath.matrix([[values[i * n + j] for j in range(n)] for i in range(m)])


def digits(err, scale):
    return 60.0 if err == 0 else float(-mpmath.log10(err / scale))


def max_abs(m):
    return max(abs(x) for x in m)


def Z(a):
    """A Tensor of a float64 array."""
    return zel.Tensor(torch.as_tensor(np.asarray(a, dtype=np.float64)))


def values(t):
    return np.array(t.tolist(), dtype=np.float64).reshape(tuple(t.shape))


@pytest.fixture
def rng():
    return np.random.default_rng(1234)


@pytest.fixture(autouse=True)
def mp60():
    with mpmath.workdps(60):
        yield


# Accuracy against mpmath -------------------------------------------------------------


class TestAccuracy:
    n = 7

    def test_solve_inv_det(self, rng):
        a, am = random_mp(rng, self.n, self.n, diagonal=3.0)
        b, bm = random_mp(rng, self.n, 2)
        inv = mpmath.inverse(am)
        x = mp_matrix(L.solve(a, b))
        assert digits(max_abs(x - inv * bm), max_abs(x)) >= DIGITS
        got_inv = mp_matrix(L.inv(a))
        assert digits(max_abs(got_inv - inv), max_abs(inv)) >= DIGITS
        det = mpmath.det(am)
        assert digits(abs(mp_values(L.det(a))[0] - det), abs(det)) >= DIGITS
        sign, logabs = L.slogdet(a)
        assert mp_values(sign)[0] == mpmath.sign(det)
        # log keeps the defined series' accuracy (about 22 digits).
        assert digits(abs(mp_values(logabs)[0] - mpmath.log(abs(det))), 1) >= 20

    def test_solve_20x20(self, rng):
        a, am = random_mp(rng, 20, 20, diagonal=math.sqrt(20))
        b, bm = random_mp(rng, 20, 1)
        x = mp_matrix(L.solve(a, b))
        assert digits(max_abs(x - mpmath.inverse(am) * bm), max_abs(x)) >= DIGITS

    def test_solve_hilbert_10(self):
        h = [mpmath.mpf(1) / (i + j + 1) for i in range(10) for j in range(10)]
        hm = mpmath.matrix([[h[i * 10 + j] for j in range(10)] for i in range(10)])
        x = mp_values(L.solve(from_mp(h, (10, 10)), from_mp([1] * 10, (10,))))
        want = mpmath.inverse(hm) * mpmath.matrix([1] * 10)
        assert digits(max(abs(x[i] - want[i]) for i in range(10)), max_abs(want)) >= 18

    def test_cholesky(self, rng):
        a, am = random_mp(rng, self.n, self.n)
        spd = am.T * am + mpmath.eye(self.n)
        got = mp_matrix(L.cholesky(from_mp(list(spd), spd.rows and (self.n, self.n))))
        want = mpmath.cholesky(spd)
        assert digits(max_abs(got - want), max_abs(want)) >= DIGITS
        up = mp_matrix(L.cholesky(from_mp(list(spd), (self.n, self.n)), upper=True))
        assert digits(max_abs(up - want.T), max_abs(want)) >= DIGITS

    @pytest.mark.parametrize("shape", [(9, 6), (6, 9), (7, 7)])
    @pytest.mark.parametrize("mode", ["reduced", "complete"])
    def test_qr(self, rng, shape, mode):
        a, am = random_mp(rng, *shape)
        q, r = L.qr(a, mode=mode)
        qm, rm = mp_matrix(q), mp_matrix(r)
        assert digits(max_abs(qm * rm - am), max_abs(am)) >= DIGITS
        assert digits(max_abs(qm.T * qm - mpmath.eye(qm.cols)), 1) >= DIGITS
        assert all(rm[i, j] == 0 for i in range(rm.rows) for j in range(min(i, rm.cols)))

    def test_eigh(self, rng):
        a, am = random_mp(rng, self.n, self.n)
        sym = am + am.T
        w, v = L.eigh(from_mp(list(sym), (self.n, self.n)))
        wm, vm = mp_values(w), mp_matrix(v)
        want = sorted(mpmath.eigsy(sym, eigvals_only=True))
        scale = max(abs(x) for x in want)
        assert digits(max(abs(x - y) for x, y in zip(wm, want)), scale) >= DIGITS
        assert digits(max_abs(sym * vm - vm * mpmath.diag(wm)), scale) >= DIGITS
        assert digits(max_abs(vm.T * vm - mpmath.eye(self.n)), 1) >= DIGITS
        assert mp_values(L.eigvalsh(from_mp(list(sym), (self.n, self.n)))) == wm

    @pytest.mark.parametrize("shape", [(9, 6), (6, 9)])
    @pytest.mark.parametrize("full", [False, True])
    def test_svd(self, rng, shape, full):
        a, am = random_mp(rng, *shape)
        u, s, vh = L.svd(a, full_matrices=full)
        um, sm, vhm = mp_matrix(u), mp_values(s), mp_matrix(vh)
        k = min(shape)
        sigma = mpmath.zeros(um.cols, vhm.rows)
        for i in range(k):
            sigma[i, i] = sm[i]
        assert digits(max_abs(um * sigma * vhm - am), max_abs(am)) >= DIGITS
        assert digits(max_abs(um.T * um - mpmath.eye(um.cols)), 1) >= DIGITS
        assert digits(max_abs(vhm * vhm.T - mpmath.eye(vhm.rows)), 1) >= DIGITS
        want = sorted(mpmath.svd_r(am, compute_uv=False), reverse=True)
        assert digits(max(abs(x - y) for x, y in zip(sm, want)), want[0]) >= DIGITS
        assert mp_values(L.svdvals(a)) == sm

    def test_lstsq_and_pinv(self, rng):
        a, am = random_mp(rng, 10, 6)
        b, bm = random_mp(rng, 10, 1)
        want = mpmath.qr_solve(am, bm)[0]
        x = mp_matrix(L.lstsq(a, b).solution)
        assert digits(max_abs(x - want), max_abs(want)) >= DIGITS
        p = mp_matrix(L.pinv(a))
        assert digits(max_abs(p * bm - want), max_abs(want)) >= DIGITS

    def test_matrix_exp(self, rng):
        a, am = random_mp(rng, self.n, self.n)
        got = mp_matrix(L.matrix_exp(a))
        want = mpmath.expm(am)
        assert digits(max_abs(got - want), max_abs(want)) >= DIGITS

    def test_triangular_and_lu_solves(self, rng):
        a, am = random_mp(rng, self.n, self.n, diagonal=3.0)
        b, bm = random_mp(rng, self.n, 2)
        inv = mpmath.inverse(am)
        lu, piv = L.lu_factor(a)
        x = mp_matrix(L.lu_solve(lu, piv, b))
        assert digits(max_abs(x - inv * bm), max_abs(x)) >= DIGITS
        xt = mp_matrix(L.lu_solve(lu, piv, b, adjoint=True))
        assert digits(max_abs(xt - inv.T * bm), max_abs(xt)) >= DIGITS
        bt, btm = random_mp(rng, 2, self.n)
        xr = mp_matrix(L.lu_solve(lu, piv, bt, left=False))
        assert digits(max_abs(xr - btm * inv), max_abs(xr)) >= DIGITS
        upper = mpmath.matrix([[am[i, j] if j >= i else 0 for j in range(self.n)] for i in range(self.n)])
        u = from_mp(list(upper), (self.n, self.n))
        y = mp_matrix(L.solve_triangular(u, b, upper=True))
        assert digits(max_abs(upper * y - bm), max_abs(bm)) >= DIGITS
        yr = mp_matrix(L.solve_triangular(u, bt, upper=True, left=False))
        assert digits(max_abs(yr * upper - btm), max_abs(btm)) >= DIGITS

    def test_cholesky_solve(self, rng):
        a, am = random_mp(rng, self.n, self.n)
        spd = am.T * am + mpmath.eye(self.n)
        b, bm = random_mp(rng, self.n, 2)
        l = L.cholesky(from_mp(list(spd), (self.n, self.n)))
        x = mp_matrix(zel.cholesky_solve(b, l))
        want = mpmath.inverse(spd) * bm
        assert digits(max_abs(x - want), max_abs(want)) >= DIGITS


# Shapes, result types and batching against torch.linalg ----------------------------------


def check_like(got, want):
    """Same result structure: namedtuple name and fields, shapes, index dtypes."""
    if isinstance(want, tuple):
        assert type(got).__name__ == type(want).__name__
        assert got._fields == type(want).__match_args__
        for g, w in zip(got, want):
            check_like(g, w)
        return
    assert tuple(got.shape) == tuple(want.shape)
    if want.dtype != torch.float64:  # index results are torch tensors of torch's dtype
        assert isinstance(got, torch.Tensor) and got.dtype == want.dtype
    else:
        assert isinstance(got, zel.Tensor)


def spd(rng, *shape):
    a = rng.standard_normal(shape)
    return a @ np.swapaxes(a, -1, -2) + shape[-1] * np.eye(shape[-1])


CASES = {
    "solve": lambda r: (r.standard_normal((2, 1, 4, 4)), r.standard_normal((3, 4, 2))),
    "solve_vector": lambda r: (r.standard_normal((3, 4, 4)), r.standard_normal((3, 4))),
    "inv": lambda r: (r.standard_normal((2, 3, 3)),),
    "det": lambda r: (r.standard_normal((2, 3, 3)),),
    "slogdet": lambda r: (r.standard_normal((4, 4)),),
    "cholesky": lambda r: (spd(r, 2, 4, 4),),
    "qr": lambda r: (r.standard_normal((2, 5, 3)),),
    "eigh": lambda r: (spd(r, 3, 4, 4),),
    "eigvalsh": lambda r: (spd(r, 4, 4),),
    "svd": lambda r: (r.standard_normal((2, 3, 5)),),
    "svdvals": lambda r: (r.standard_normal((2, 5, 3)),),
    "lstsq": lambda r: (r.standard_normal((2, 6, 3)), r.standard_normal((2, 6, 2))),
    "lstsq_vector": lambda r: (r.standard_normal((6, 3)), r.standard_normal(6)),
    "pinv": lambda r: (r.standard_normal((2, 5, 3)),),
    "cond": lambda r: (r.standard_normal((2, 3, 3)),),
    "matrix_rank": lambda r: (r.standard_normal((2, 4, 3)),),
    "matrix_exp": lambda r: (r.standard_normal((2, 3, 3)),),
    "lu_factor": lambda r: (r.standard_normal((2, 5, 3)),),
    "lu": lambda r: (r.standard_normal((2, 3, 5)),),
    "vector_norm": lambda r: (r.standard_normal((2, 3, 4)),),
    "matrix_norm": lambda r: (r.standard_normal((2, 3, 4)),),
    "norm": lambda r: (r.standard_normal((3, 4)),),
    "cross": lambda r: (r.standard_normal((2, 1, 3)), r.standard_normal((1, 4, 3))),
    "vecdot": lambda r: (r.standard_normal((2, 1, 5)), r.standard_normal((3, 5))),
}


@pytest.mark.parametrize("case", sorted(CASES))
def test_matches_torch_float64(rng, case):
    args = CASES[case](rng)
    name = case.split("_vector")[0]
    got = getattr(L, name)(*[Z(a) for a in args])
    want = getattr(T, name)(*[torch.as_tensor(a) for a in args])
    check_like(got, want)
    for g, w in zip(got if isinstance(want, tuple) else [got], want if isinstance(want, tuple) else [want]):
        if w.dtype != torch.float64:
            assert torch.equal(g, w)
        elif name in ("solve", "inv", "det", "cholesky", "svdvals", "eigvalsh", "lstsq", "pinv", "cond",
                      "matrix_exp", "vector_norm", "matrix_norm", "norm", "cross", "vecdot", "slogdet", "lu_factor", "lu"):
            # Unique results agree with LAPACK's to float64 rounding.
            np.testing.assert_allclose(values(g), w.numpy(), rtol=1e-10, atol=1e-12)


@pytest.mark.parametrize("mode", ["reduced", "complete", "r"])
def test_qr_modes(rng, mode):
    a = rng.standard_normal((2, 5, 3))
    got, want = L.qr(Z(a), mode=mode), T.qr(torch.as_tensor(a), mode=mode)
    check_like(got, want)
    # Householder with LAPACK's signs: R itself agrees, not only up to signs.
    np.testing.assert_allclose(values(got.R), want.R.numpy(), atol=1e-12)


@pytest.mark.parametrize("full", [True, False])
@pytest.mark.parametrize("shape", [(2, 5, 3), (3, 5)])
def test_svd_shapes(rng, full, shape):
    a = rng.standard_normal(shape)
    check_like(L.svd(Z(a), full_matrices=full), T.svd(torch.as_tensor(a), full_matrices=full))


def test_batches_are_the_matrices_one_by_one(rng):
    """Batching (and the threads behind it) changes no bit."""
    a = Z(rng.standard_normal((5, 4, 4)) + 4 * np.eye(4))
    for f in (L.inv, L.det, lambda x: L.eigh(x + x.transpose(-1, -2)).eigenvalues, L.svdvals, L.matrix_exp):
        whole = f(a)._data
        rows = whole.shape[0] // 5
        for i in range(5):
            assert torch.equal(f(a[i])._data, whole[i * rows:(i + 1) * rows])


def test_lu_pivots_and_factors(rng):
    a = rng.standard_normal((2, 5, 4))
    lu, piv = L.lu_factor(Z(a))
    assert torch.equal(piv, T.lu_factor(torch.as_tensor(a)).pivots)
    p, l, u = L.lu(Z(a))
    np.testing.assert_allclose(values(p) @ values(l) @ values(u), a, atol=1e-13)
    assert np.all(np.triu(values(l), 1) == 0) and np.all(np.diag(values(l)[0]) == 1)


def test_lu_solve_checks_pivots(rng):
    lu, piv = L.lu_factor(Z(rng.standard_normal((3, 3)) + 3 * np.eye(3)))
    b = Z(np.ones((3, 1)))
    with pytest.raises(RuntimeError, match="between 1 and 3"):
        L.lu_solve(lu, torch.tensor([1, 9, 3], dtype=torch.int32), b)
    with pytest.raises(TypeError, match="int32"):
        L.lu_solve(lu, piv.long(), b)
    with pytest.raises(RuntimeError, match="pivots must have shape"):
        L.lu_solve(lu, piv[:2], b)


@pytest.mark.parametrize("ord", [2, 1, 0, 3, 0.5, math.inf, -math.inf])
@pytest.mark.parametrize("dim", [None, 1, (0, 2), -1])
def test_vector_norm(rng, ord, dim):
    x = rng.standard_normal((2, 3, 4))
    x[0, 0, 0] = 0.0
    for keepdim in (False, True):
        got = L.vector_norm(Z(x), ord=ord, dim=dim, keepdim=keepdim)
        want = T.vector_norm(torch.as_tensor(x), ord=ord, dim=dim, keepdim=keepdim)
        assert tuple(got.shape) == tuple(want.shape)
        np.testing.assert_allclose(values(got), want.numpy(), rtol=1e-14)


@pytest.mark.parametrize("ord", ["fro", "nuc", 1, -1, 2, -2, math.inf, -math.inf])
def test_matrix_norm_and_cond(rng, ord):
    a = rng.standard_normal((2, 4, 4))
    for dim, keepdim in (((-2, -1), False), ((0, 2), True)):
        got = L.matrix_norm(Z(a), ord=ord, dim=dim, keepdim=keepdim)
        want = T.matrix_norm(torch.as_tensor(a), ord=ord, dim=dim, keepdim=keepdim)
        assert tuple(got.shape) == tuple(want.shape)
        np.testing.assert_allclose(values(got), want.numpy(), rtol=1e-12)
    np.testing.assert_allclose(values(L.cond(Z(a), ord)), T.cond(torch.as_tensor(a), ord).numpy(), rtol=1e-10)


@pytest.mark.parametrize("ord,dim", [(None, None), (None, 0), (None, (0, 1)), ("fro", None), ("nuc", None),
                                     (2, None), (math.inf, (1, 0)), (3, 1)])
def test_norm_dispatch(rng, ord, dim):
    a = rng.standard_normal((3, 4))
    got = L.norm(Z(a), ord=ord, dim=dim)
    want = T.norm(torch.as_tensor(a), ord=ord, dim=dim)
    assert tuple(got.shape) == tuple(want.shape)
    np.testing.assert_allclose(values(got), want.numpy(), rtol=1e-12)


def test_rank_pinv_tolerances(rng):
    a = rng.standard_normal((5, 2)) @ rng.standard_normal((2, 4))  # rank 2
    za, ta = Z(a), torch.as_tensor(a)
    for kwargs in ({}, {"hermitian": False}, {"atol": 1.0}, {"rtol": 0.5}, {"tol": 1e-3}):
        assert torch.equal(L.matrix_rank(za, **kwargs), T.matrix_rank(ta, **kwargs))
    s = a @ a.T
    assert int(L.matrix_rank(Z(s), hermitian=True)) == 2
    np.testing.assert_allclose(values(L.pinv(za)), T.pinv(ta).numpy(), atol=1e-12)
    np.testing.assert_allclose(values(L.pinv(Z(s), hermitian=True)), T.pinv(torch.as_tensor(s), hermitian=True).numpy(),
                               atol=1e-10)


@pytest.mark.parametrize("driver", ["gels", "gelsy", "gelsd", "gelss"])
def test_lstsq_drivers(rng, driver):
    a, b = rng.standard_normal((2, 6, 3)), rng.standard_normal((2, 6, 2))
    got = L.lstsq(Z(a), Z(b), driver=driver)
    want = T.lstsq(torch.as_tensor(a), torch.as_tensor(b), driver=driver)
    check_like(got, want)
    for g, w in zip(got, want):
        if w.numel() and w.dtype == torch.float64:
            np.testing.assert_allclose(values(g), w.numpy(), rtol=1e-10)
    # A vector right-hand side: the solution drops the column, the residuals keep it.
    check_like(L.lstsq(Z(a), Z(b[..., 0]), driver=driver), T.lstsq(torch.as_tensor(a), torch.as_tensor(b[..., 0]),
                                                                   driver=driver))


def test_matrix_power(rng):
    a = rng.standard_normal((2, 3, 3)) + 2 * np.eye(3)
    for n in (0, 1, 2, 5, -1, -3):
        np.testing.assert_allclose(values(L.matrix_power(Z(a), n)), T.matrix_power(torch.as_tensor(a), n).numpy(),
                                   rtol=1e-9, atol=1e-12)


def test_multi_dot_and_top_level(rng):
    shapes = [(4,), (4, 3), (3, 5), (5,)]
    ms = [rng.standard_normal(s) for s in shapes]
    for k in (2, 3, 4):
        chain = ms[1:k + 1] if k < 4 else ms
        got, want = L.multi_dot([Z(m) for m in chain]), T.multi_dot([torch.as_tensor(m) for m in chain])
        assert tuple(got.shape) == tuple(want.shape)
        np.testing.assert_allclose(values(got), want.numpy(), rtol=1e-12)
    a = rng.standard_normal((2, 3, 3))
    s = spd(rng, 3, 3)
    np.testing.assert_allclose(values(zel.det(Z(a))), torch.det(torch.as_tensor(a)).numpy(), rtol=1e-12)
    np.testing.assert_allclose(values(zel.inverse(Z(a))), torch.inverse(torch.as_tensor(a)).numpy(), rtol=1e-10)
    np.testing.assert_allclose(values(zel.logdet(Z(s))), torch.logdet(torch.as_tensor(s)).numpy(), rtol=1e-12)
    assert math.isnan(float(zel.logdet(Z(-np.eye(3)))))
    assert float(zel.logdet(Z(np.zeros((2, 2))))) == -math.inf
    b = rng.standard_normal((3, 2))
    for upper in (False, True):
        f = np.linalg.cholesky(s)
        f = f.T if upper else f
        np.testing.assert_allclose(values(zel.cholesky_solve(Z(b), Z(f), upper=upper)),
                                   torch.cholesky_solve(torch.as_tensor(b), torch.as_tensor(f), upper=upper).numpy(),
                                   rtol=1e-10)


def complex_mp(t):
    """The exact values of a complex tensor's elements as mpmath complex numbers."""
    v = mp_values(zel.view_as_real(t).contiguous())
    return [mpmath.mpc(v[2 * i], v[2 * i + 1]) for i in range(len(v) // 2)]


def test_eig_real_spectrum(rng):
    s = spd(rng, 4, 4)
    w, v = L.eig(Z(s))
    assert w.is_complex() and v.is_complex() and L.eigvals(Z(s)).is_complex()
    # symmetric input takes eigh's path: its values, ascending, as a complex tensor
    assert torch.equal(zel.view_as_real(w)[..., 0]._data, L.eigvalsh(Z(s))._data)
    assert not zel.view_as_real(w)[..., 1]._data.any()
    assert torch.equal(zel.view_as_real(v)[..., 0]._data, L.eigh(Z(s)).eigenvectors._data)
    # A non-symmetric matrix with real eigenvalues 1..6 (exactly, in limbs).
    with mpmath.workdps(60):
        x, xm = random_mp(rng, 6, 6, diagonal=3.0)
        am = xm * mpmath.diag([1, 2, 3, 4, 5, 6]) * mpmath.inverse(xm)
    w, v = L.eig(from_mp(list(am), (6, 6)))
    wm = complex_mp(w)
    vm = mpmath.matrix(6, 6)
    for k, z in enumerate(complex_mp(v)):
        vm[k // 6, k % 6] = z
    assert digits(max(abs(a - b) for a, b in zip(sorted(wm, key=lambda z: float(z.real)), range(1, 7))), 6) >= 26
    assert digits(max_abs(am * vm - vm * mpmath.diag(wm)), max_abs(am)) >= 26
    assert all(abs(mpmath.norm(vm.column(k)) - 1) < 1e-28 for k in range(6))


def test_eig_complex_spectrum():
    w = complex(*values(zel.view_as_real(L.eigvals(Z([[0.0, 1.0], [-1.0, 0.0]]))))[0])
    assert abs(abs(w) - 1) < 1e-30 and abs(w.real) < 1e-30  # +-i
    w = values(zel.view_as_real(L.eigvals(Z([[[2.0, 1.0], [0.0, 3.0]], [[1.0, -5.0], [5.0, 1.0]]]))))
    assert sorted(map(tuple, w[1])) == [(1.0, -5.0), (1.0, 5.0)]
    with pytest.raises(RuntimeError, match="should not contain infs or NaNs"):
        L.eig(Z([[1.0, math.nan], [0.0, 1.0]]))


def test_inputs_unchanged(rng):
    a = Z(rng.standard_normal((4, 4)) + 4 * np.eye(4))
    before = a._data.clone()
    for f in (L.inv, L.det, L.qr, L.svd, L.lu_factor, lambda x: L.eigh(x), L.matrix_exp, lambda x: L.cholesky(x @ x.transpose(0, 1))):
        f(a)
    assert torch.equal(a._data, before)


# Errors -------------------------------------------------------------------------------


def same_error(f_zel, f_torch):
    with pytest.raises(Exception) as want:
        f_torch()
    with pytest.raises(want.type) as got:
        f_zel()
    return str(got.value), str(want.value)


@pytest.mark.parametrize("name", ["inv", "solve", "cholesky"])
def test_singular_raises_torch_linalg_error(name):
    a = np.array([[[1.0, 2.0], [2.0, 4.0]], [[2.0, 0.0], [0.0, 2.0]]])[::-1].copy()
    args = (a, np.ones((2, 2, 1))) if name == "solve" else (a,)
    got, want = same_error(lambda: getattr(L, name)(*[Z(x) for x in args]),
                           lambda: getattr(T, name)(*[torch.as_tensor(x) for x in args]))
    assert issubclass(L.LinAlgError, RuntimeError) and L.LinAlgError is T.LinAlgError
    assert got.split(": ", 1)[1].replace("torch.", "") == want.split(": ", 1)[1].replace("torch.", "") or got == want


@pytest.mark.parametrize("name", ["inv", "det", "slogdet", "cholesky", "eigh", "matrix_exp", "solve"])
def test_non_square_and_low_rank_raise_runtime_error(name):
    for shape in ((2, 3), (3,)):
        args = (np.ones(shape), np.ones((2, 1))) if name == "solve" else (np.ones(shape),)
        got, want = same_error(lambda: getattr(L, name)(*[Z(x) for x in args]),
                               lambda: getattr(T, name)(*[torch.as_tensor(x) for x in args]))
        assert got == want.replace("torch.linalg", "linalg")


def test_argument_errors():
    a = Z(np.eye(3))
    with pytest.raises(RuntimeError, match="unrecognized mode 'x'"):
        L.qr(a, mode="x")
    with pytest.raises(RuntimeError, match="Order 3 not supported"):
        L.matrix_norm(a, ord=3)
    with pytest.raises(TypeError, match="must be Number"):
        L.vector_norm(a, ord="fro")
    with pytest.raises(RuntimeError, match="must have length 3"):
        L.cross(Z(np.ones(3)), Z(np.ones(2)))
    with pytest.raises(RuntimeError, match="at least 2 tensors"):
        L.multi_dot([a])
    with pytest.raises(RuntimeError, match="U\\[2,2\\] is zero"):
        L.lu_factor(Z([[1.0, 2.0], [2.0, 4.0]]))
    with pytest.raises(RuntimeError, match="cannot be broadcast"):
        L.solve(Z(np.ones((2, 3, 3))), Z(np.ones((3, 3, 1))))
    with pytest.raises(IndexError, match="Dimension out of range"):
        L.vector_norm(a, dim=5)
    with pytest.raises(RuntimeError, match="at least 2 dimensions"):
        L.solve_triangular(a, Z(np.ones(3)), upper=True)
    with pytest.raises(TypeError):
        L.inv([[1.0]])
    with pytest.raises(TypeError):
        L.solve_triangular(a, a)  # upper is required


def test_empty_matrices():
    empty = Z(np.zeros((2, 0, 0)))
    for p in (None, 1, -1, math.inf, "fro", "nuc"):
        assert values(L.cond(empty, p)).tolist() == [0.0, 0.0]
    assert values(L.det(empty)).tolist() == [1.0, 1.0]
    assert tuple(L.inv(empty).shape) == (2, 0, 0)
    assert tuple(L.svdvals(Z(np.zeros((0, 3)))).shape) == (0,)
    assert int(L.matrix_rank(Z(np.zeros((3, 0))))) == 0
    with pytest.raises(RuntimeError, match="empty"):
        L.matrix_norm(empty, ord=2)


def test_svd_of_graded_matrix_keeps_small_singular_values(rng):
    """Singular values spread over 12 decades each keep about 30 digits of
    their own: the Jacobi sweeps judge orthogonality relative to each pair."""
    a, am = random_mp(rng, 8, 6)
    scale = [mpmath.mpf(10) ** (-2 * j) for j in range(6)]
    graded = mpmath.matrix([[am[i, j] * scale[j] for j in range(6)] for i in range(8)])
    s = mp_values(L.svdvals(from_mp(list(graded), (8, 6))))
    want = sorted(mpmath.svd_r(graded, compute_uv=False), reverse=True)
    assert min(digits(abs(x - y), y) for x, y in zip(s, want)) >= DIGITS


def test_right_hand_forms(rng):
    a = rng.standard_normal((2, 4, 4)) + 4 * np.eye(4)
    b = rng.standard_normal((1, 3, 4))
    got = L.solve(Z(a), Z(b), left=False)
    want = T.solve(torch.as_tensor(a), torch.as_tensor(b), left=False)
    assert tuple(got.shape) == tuple(want.shape)
    np.testing.assert_allclose(values(got), want.numpy(), rtol=1e-10)
    u = np.triu(a)
    for left, shape in ((True, (2, 4, 3)), (False, (2, 3, 4))):
        for unit in (False, True):
            bb = rng.standard_normal(shape)
            got = L.solve_triangular(Z(u), Z(bb), upper=True, left=left, unitriangular=unit)
            want = T.solve_triangular(torch.as_tensor(u), torch.as_tensor(bb), upper=True, left=left,
                                      unitriangular=unit)
            np.testing.assert_allclose(values(got), want.numpy(), rtol=1e-10)


def test_results_do_not_depend_on_thread_count(rng):
    a = Z(rng.standard_normal((6, 5, 5)))
    before = torch.get_num_threads()
    try:
        runs = []
        for threads in (1, 2):
            torch.set_num_threads(threads)
            runs.append([L.svdvals(a)._data, L.eigh(a @ a.transpose(-1, -2)).eigenvectors._data, L.inv(a)._data])
    finally:
        torch.set_num_threads(before)
    assert all(torch.equal(x, y) for x, y in zip(*runs))


def test_matrix_power_extreme_exponents():
    eye = Z(np.eye(3))
    for n in (2 ** 62, -(2 ** 63), 2 ** 63 - 1):
        assert torch.equal(L.matrix_power(eye, n)._data, eye._data)
    half = Z(0.5 * np.eye(2))
    assert values(L.matrix_power(half, 3)).tolist() == [[0.125, 0.0], [0.0, 0.125]]


def test_inf_norms_order_on_exact_values():
    # Two elements that approx() cannot tell apart: 1 + 2^-80 and 1.
    x = zel.Tensor(_raw=torch.tensor([[1.0, 0.0] + [0.0] * 6, [1.0, 2.0 ** -80] + [0.0] * 6], dtype=torch.float64),
                   _shape=(2,))
    assert L.vector_norm(x, ord=math.inf)._data[0, 1].item() == 2.0 ** -80
    assert L.vector_norm(x, ord=-math.inf)._data[0, 1].item() == 0.0
