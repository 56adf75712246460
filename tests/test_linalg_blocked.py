"""The matrix-product paths of zel.linalg past 32 columns: qr's panels of
reflectors, eigh's float64 tridiagonal start and svd's sweeps, judged by
their residuals in exact arithmetic (every limb counted) and against
PyTorch's float64 factorisations."""
import math
import random

import mpmath
import pytest
import torch

from conftest import from_rows
from varnel.zel import zel

L = zel.linalg


def matrix(rows, cols, seed, columns=None):
    """Elements with lower limbs; `columns` overrides chosen columns."""
    rng = random.Random(seed)
    vals = [[rng.gauss(0, 1) for _ in range(cols)] for _ in range(rows)]
    for j, f in (columns or {}).items():
        for i in range(rows):
            vals[i][j] = f(vals, i)
    out = [[x, x * 2.0**-54 * rng.uniform(-1, 1), x * 2.0**-109 * rng.uniform(-1, 1)] + [0.0] * 5
           for row in vals for x in row]
    return from_rows(out, (rows, cols))


def exact(t):
    """The tensor's values as an mpmath matrix, every limb summed exactly."""
    rows = t._data.tolist()
    r, c = (t.shape[0], t.shape[1]) if len(t.shape) == 2 else (t.shape[0], 1)
    return mpmath.matrix([[mpmath.fsum(rows[i * c + j]) for j in range(c)] for i in range(r)])


def digits(m, scale):
    err = max(abs(x) for x in m)
    return 60.0 if err == 0 else float(-mpmath.log10(err / scale))


@pytest.fixture(autouse=True)
def precision():
    with mpmath.workdps(60):
        yield


class TestBlockedQr:
    @pytest.mark.parametrize("shape", [(48, 40), (40, 40), (36, 70), (90, 33)])
    def test_residual_and_orthogonality(self, shape):
        a = matrix(*shape, seed=shape[0])
        q, r = L.qr(a)
        k = min(shape)
        assert q.shape == (shape[0], k) and r.shape == (k, shape[1])
        ea, eq, er = exact(a), exact(q), exact(r)
        assert digits(eq * er - ea, 1) > 29
        assert digits(eq.T * eq - mpmath.eye(k), 1) > 29
        assert all(er[i, j] == 0 for i in range(k) for j in range(min(i, shape[1])))
        # LAPACK's sign convention, as PyTorch's float64 factorisation has it.
        tq, tr = torch.linalg.qr(torch.tensor(a.tolist(), dtype=torch.float64))
        assert torch.allclose(torch.tensor(r.tolist(), dtype=torch.float64), tr, atol=1e-10)
        assert torch.allclose(torch.tensor(q.tolist(), dtype=torch.float64), tq, atol=1e-10)

    def test_complete_mode_and_degenerate_columns(self):
        # A zero column (the identity reflector) and a repeated one.
        half = matrix(50, 20, seed=3, columns={7: lambda v, i: 0.0})
        a = zel.cat([half, half], dim=1)
        q, r = L.qr(a, mode="complete")
        assert q.shape == (50, 50) and r.shape == (50, 40)
        eq, er = exact(q), exact(r)
        assert digits(eq * er - exact(a), 1) > 29
        assert digits(eq.T * eq - mpmath.eye(50), 1) > 29
        assert all(abs(er[i, i]) > 1e-3 for i in range(20) if i != 7)
        assert er[7, 7] == 0 and all(abs(er[i, i]) < 1e-28 for i in range(20, 40))
        assert L.qr(a, mode="r")[1].sha256() == r[:40].sha256()

    def test_batches_are_matrix_by_matrix(self):
        a = torch.stack([torch.tensor(matrix(40, 35, seed=s).tolist(), dtype=torch.float64) for s in range(3)])
        qs, rs = L.qr(zel.tensor(a))
        for i in range(3):
            q, r = L.qr(zel.tensor(a[i]))
            assert qs[i].sha256() == q.sha256() and rs[i].sha256() == r.sha256()


def symmetric(n, values, seed):
    """Q diag(values) Q^T for a random orthogonal Q (float64 entries)."""
    g = torch.Generator().manual_seed(seed)
    q, _ = torch.linalg.qr(torch.randn(n, n, generator=g, dtype=torch.float64))
    s = q @ torch.diag(torch.tensor(values, dtype=torch.float64)) @ q.T
    return zel.tensor(((s + s.T) / 2).tolist())


class TestTridiagonalStart:
    # A graded spectrum's vectors are orthogonal to 2^-104 times the norm over
    # the gaps between small eigenvalues: fewer digits there.
    @pytest.mark.parametrize("name,values,orthogonal", [
        ("spread", [float(k) - 20.5 for k in range(48)], 28.5),
        ("clusters", [1.0] * 12 + [2.0] * 12 + [1.0 + 1e-12] * 4 + [float(k) for k in range(3, 23)], 28.5),
        ("graded", [2.0 ** (-k / 2) for k in range(40)], 26.0),
    ])
    def test_residual_orthogonality_and_values(self, name, values, orthogonal):
        a = symmetric(len(values), values, seed=len(values))
        w, v = L.eigh(a)
        n = len(values)
        ea, ew, ev = exact(a), exact(w), exact(v)
        scale = max(abs(x) for x in ea)
        assert digits(ea * ev - ev * mpmath.diag(ew), scale) > 28.5, name
        assert digits(ev.T * ev - mpmath.eye(n), 1) > orthogonal, name
        tw = torch.linalg.eigvalsh(torch.tensor(a.tolist(), dtype=torch.float64))
        assert torch.allclose(torch.tensor(w.tolist(), dtype=torch.float64), tw, atol=1e-12 * float(tw.abs().max()))
        assert torch.equal(L.eigvalsh(a)._data, w._data)

    def test_diagonal_zero_and_non_finite(self):
        d = zel.tensor(torch.diag(torch.arange(40, 0, -1, dtype=torch.float64)).tolist())
        w, v = L.eigh(d)
        assert w.tolist() == [float(k) for k in range(1, 41)]
        assert all(abs(x) in (0.0, 1.0) for x in v.reshape(-1).tolist())
        w0, v0 = L.eigh(zel.zeros(36, 36))
        assert w0.tolist() == [0.0] * 36
        assert digits(exact(v0).T * exact(v0) - mpmath.eye(36), 1) > 29
        bad = torch.randn(33, 33, dtype=torch.float64)
        bad = bad + bad.T
        bad[3, 3] = float("nan")
        w_nan = L.eigvalsh(zel.tensor(bad.tolist()))
        assert w_nan.shape == (33,)


class TestSvdSweeps:
    @pytest.mark.parametrize("shape", [(40, 40), (45, 34), (34, 50)])
    def test_residual_and_values(self, shape):
        a = matrix(*shape, seed=sum(shape))
        u, s, vh = L.svd(a, full_matrices=False)
        k = min(shape)
        eu, es, evh = exact(u), exact(s), exact(vh)
        assert digits(eu * mpmath.diag(es) * evh - exact(a), 1) > 29
        assert digits(eu.T * eu - mpmath.eye(k), 1) > 29
        assert digits(evh * evh.T - mpmath.eye(k), 1) > 29
        ts = torch.linalg.svdvals(torch.tensor(a.tolist(), dtype=torch.float64))
        assert torch.allclose(torch.tensor(s.tolist(), dtype=torch.float64), ts, atol=1e-12)
        assert torch.equal(L.svdvals(a)._data, s._data)

    def test_rank_deficient(self):
        # Repeated columns: zero singular values, completed singular vectors.
        half = matrix(40, 18, seed=9)
        a = zel.cat([half, half], dim=1)
        u, s, vh = L.svd(a)
        assert u.shape == (40, 40) and vh.shape == (36, 36)
        sv = s.tolist()
        assert all(x < 1e-25 * sv[0] for x in sv[18:]) and all(x > 1e-3 for x in sv[:18])
        assert digits(exact(u).T * exact(u) - mpmath.eye(40), 1) > 29
        assert math.isclose(sum(x * x for x in sv), float((zel.tensor(a.tolist()) ** 2).sum()), rel_tol=1e-12)
