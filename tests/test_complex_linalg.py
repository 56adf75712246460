"""zel.linalg on complex tensors (and eig/eigvals, complex always): values,
shapes and errors against torch.linalg in complex128, digits against mpmath
at 60 digits, and the roots of Wilkinson's polynomial from eigvals."""
import math
import os
import sys

import mpmath
import numpy as np
import pytest
import torch

from varnel.zel import zel

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "bench"))
import accuracy_eigvals  # noqa: E402

L = zel.linalg
T = torch.linalg
DIGITS = 28


@pytest.fixture
def rng():
    return np.random.default_rng(77)


def crandn(rng, *shape):
    return rng.standard_normal(shape) + 1j * rng.standard_normal(shape)


def Z(a):
    return zel.tensor(torch.as_tensor(np.asarray(a)))


def npc(t):
    """float64 values of a zel tensor, complex128 for a complex one."""
    if t.is_complex():
        r = zel.view_as_real(t).numpy()
        return r[..., 0] + 1j * r[..., 1]
    return t.numpy()


def close(got, want, tol=1e-12):
    got, want = npc(got), np.asarray(want.resolve_conj() if isinstance(want, torch.Tensor) else want)
    assert got.shape == want.shape
    scale = max(1.0, float(np.max(np.abs(want)))) if want.size else 1.0
    assert np.allclose(got, want, rtol=0, atol=tol * scale, equal_nan=True), np.max(np.abs(got - want))


def hermitian(rng, n, *batch):
    a = crandn(rng, *batch, n, n)
    return a @ np.swapaxes(a.conj(), -1, -2) + n * np.eye(n)


# exact values ------------------------------------------------------------------


def exact_complex(t):
    return accuracy_eigvals.complex_values(t)


def mp_cmatrix(a):
    return mpmath.matrix([[mpmath.mpc(complex(x)) for x in row] for row in a])


def digits(err, scale):
    return 99.0 if err == 0 else float(-mpmath.log10(err / scale))


def worst(got, want):
    scale = max(abs(w) for w in want)
    return digits(max(abs(g - w) for g, w in zip(got, want)), scale)


# LU family ---------------------------------------------------------------------


class TestLu:
    def test_solve_batches_vectors_and_left(self, rng):
        a, b = crandn(rng, 2, 1, 4, 4), crandn(rng, 3, 4, 2)
        x = L.solve(Z(a), Z(b))
        assert x.is_complex()
        close(x, T.solve(torch.as_tensor(a), torch.as_tensor(b)))
        v = crandn(rng, 4)
        close(L.solve(Z(a[0, 0]), Z(v)), T.solve(torch.as_tensor(a[0, 0]), torch.as_tensor(v)))
        bt = crandn(rng, 2, 3, 4)
        close(L.solve(Z(a[:, 0]), Z(bt), left=False), T.solve(torch.as_tensor(a[:, 0]), torch.as_tensor(bt), left=False))

    def test_mixed_operands_promote(self, rng):
        a, b = crandn(rng, 3, 3), rng.standard_normal((3, 2))
        close(L.solve(Z(a), Z(b)), np.linalg.solve(a, b))
        close(L.solve(Z(a.real), Z(b + 1j)), np.linalg.solve(a.real, b + 1j))

    def test_inv_det_slogdet(self, rng):
        a = crandn(rng, 2, 3, 5, 5)
        ta = torch.as_tensor(a)
        close(L.inv(Z(a)), T.inv(ta))
        close(zel.inverse(Z(a)), torch.inverse(ta))
        close(L.det(Z(a)), T.det(ta))
        close(zel.det(Z(a)), torch.det(ta))
        s = L.slogdet(Z(a))
        ts = T.slogdet(ta)
        assert s.sign.is_complex() and not s.logabsdet.is_complex()
        close(s.sign, ts.sign)
        close(s.logabsdet, ts.logabsdet)
        # modulus 1 to the working precision, not just float64's
        sign = exact_complex(s.sign)
        assert all(abs(abs(z) - 1) < 1e-30 for z in sign)

    def test_singular(self):
        a = Z(np.array([[1, 2j], [1, 2j]]))
        with pytest.raises(T.LinAlgError, match=r"^linalg.solve: The solver failed because the input matrix is singular"):
            L.solve(a, Z(np.ones(2) + 0j))
        batch = Z(np.stack([np.eye(2), [[1, 2j], [1, 2j]]]).astype(complex))
        with pytest.raises(T.LinAlgError, match=r"linalg.inv: \(Batch element 1\): The diagonal element 2 is zero"):
            L.inv(batch)
        assert complex(npc(L.det(a))) == 0
        s = L.slogdet(a)
        assert complex(npc(s.sign)) == 0 and float(npc(s.logabsdet)) == -math.inf

    def test_non_finite_propagates(self):
        a = Z(np.array([[1, math.nan], [2j, 1]]))
        assert np.isnan(npc(L.inv(a))).any()
        assert np.isnan(npc(L.det(a)))
        assert np.isnan(npc(L.slogdet(a).logabsdet))

    def test_shape_errors(self, rng):
        for f in (L.inv, L.det, L.slogdet, L.cholesky, L.eig, L.eigvals, L.eigh):
            with pytest.raises(RuntimeError, match="must be batches of square matrices, but they are 2 by 3"):
                f(Z(crandn(rng, 2, 3)))
            with pytest.raises(RuntimeError, match="must have at least 2 dimensions"):
                f(Z(crandn(rng, 3)))
        with pytest.raises(RuntimeError, match="Incompatible shapes of A and B"):
            L.solve(Z(crandn(rng, 3, 3)), Z(crandn(rng, 2, 1)))
        with pytest.raises(RuntimeError, match="The input tensor B must have at least 2 dimensions"):
            L.solve(Z(crandn(rng, 3, 3)), zel.tensor(1.0))

    def test_empty(self):
        e = Z(np.zeros((0, 3, 3), dtype=complex))
        assert tuple(L.inv(e).shape) == (0, 3, 3) and tuple(L.det(e).shape) == (0,)
        assert complex(npc(L.det(Z(np.zeros((0, 0), dtype=complex))))) == 1


# factorisations ------------------------------------------------------------------


class TestFactorizations:
    def test_cholesky_reads_one_triangle(self, rng):
        h = hermitian(rng, 4, 2)
        lower, upper = np.tril(h) + np.triu(crandn(rng, 4, 4), 1), np.triu(h) + np.tril(crandn(rng, 4, 4), -1)
        close(L.cholesky(Z(lower)), T.cholesky(torch.as_tensor(h)))
        close(L.cholesky(Z(upper), upper=True), T.cholesky(torch.as_tensor(h), upper=True))

    def test_cholesky_not_definite(self, rng):
        h = np.stack([hermitian(rng, 3), -np.eye(3) + 0j])
        with pytest.raises(T.LinAlgError, match=r"\(Batch element 1\): .*leading minor of order 1 is not positive"):
            L.cholesky(Z(h))

    @pytest.mark.parametrize("shape", [(5, 3), (3, 5), (2, 4, 4)])
    def test_qr_modes(self, rng, shape):
        a = crandn(rng, *shape)
        for mode in ("reduced", "complete", "r"):
            q, r = L.qr(Z(a), mode)
            tq, tr = T.qr(torch.as_tensor(a), mode)
            close(r, tr)
            if mode != "r":
                close(q, tq)
            else:
                assert tuple(q.shape) == (0,)
        with pytest.raises(RuntimeError, match="qr received unrecognized mode 'x'"):
            L.qr(Z(a), "x")

    def test_lstsq(self, rng):
        a, b = crandn(rng, 2, 6, 3), crandn(rng, 2, 6, 2)
        for driver in (None, "gels", "gelsd", "gelss"):
            got = L.lstsq(Z(a), Z(b), driver=driver)
            want = T.lstsq(torch.as_tensor(a), torch.as_tensor(b), driver=driver)
            close(got.solution, want.solution, 1e-10)
            close(got.residuals, want.residuals, 1e-10)
            close(got.singular_values, want.singular_values, 1e-10)
            assert torch.equal(got.rank, want.rank)
        # an underdetermined system: the minimum-norm solution
        a, b = crandn(rng, 2, 4), crandn(rng, 2, 1)
        close(L.lstsq(Z(a), Z(b)).solution, np.linalg.pinv(a) @ b, 1e-10)
        with pytest.raises(RuntimeError, match=r"input.size\(-2\) should match other.size\(-2\), got 2 and 3"):
            L.lstsq(Z(a), Z(crandn(rng, 3, 1)))


# eigenproblems -----------------------------------------------------------------------


def check_eig(a, w, v, positive=True):
    w, v = npc(w), npc(v)
    assert np.allclose(a @ v, v * w[..., None, :], atol=1e-12 * max(1, np.abs(a).max()))
    assert np.allclose(np.linalg.norm(v, axis=-2), 1, atol=1e-14)
    # LAPACK's normalisation: the largest component of each vector is real (positive, as
    # zgeev makes it, except on eigh's path for real symmetric input)
    idx = np.argmax(np.abs(v), axis=-2)
    top = np.take_along_axis(v, idx[..., None, :], axis=-2)
    assert np.all(np.abs(top.imag) < 1e-14) and (not positive or np.all(top.real > 0))


class TestEig:
    @pytest.mark.parametrize("complex_input", [False, True])
    def test_eig_batched_against_torch(self, rng, complex_input):
        a = crandn(rng, 3, 5, 5) if complex_input else rng.standard_normal((3, 5, 5))
        w, v = L.eig(Z(a))
        assert w.is_complex() and v.is_complex()
        assert tuple(w.shape) == (3, 5) and tuple(v.shape) == (3, 5, 5)
        check_eig(a, w, v)
        want = T.eigvals(torch.as_tensor(a)).numpy()
        got = npc(L.eigvals(Z(a)))
        for g, t in zip(got, want):
            assert np.allclose(np.sort_complex(g), np.sort_complex(t), atol=1e-12)

    def test_real_input_gives_a_conjugation_closed_spectrum(self, rng):
        a = rng.standard_normal((8, 8))
        w, v = L.eig(Z(a))
        vals, vecs = exact_complex(w), exact_complex(v)
        cols = [[vecs[r * 8 + k] for r in range(8)] for k in range(8)]
        real = [k for k, z in enumerate(vals) if z.imag == 0]
        assert real and all(all(x.imag == 0 for x in cols[k]) for k in real)
        rest = [k for k in range(8) if k not in real]
        assert len(rest) % 2 == 0
        with mpmath.workdps(200):  # conj rounds to the working precision
            for k in rest:
                partner = [j for j in rest if vals[j] == mpmath.conj(vals[k])]
                assert len(partner) == 1 and cols[partner[0]] == [mpmath.conj(x) for x in cols[k]]
        # a real matrix with a complex operand is not a real matrix
        assert any(z.imag != 0 for z in exact_complex(L.eigvals(Z(a + 1e-3j))))

    def test_clustered_and_tiny(self, rng):
        # x^4 = 1e-20: four eigenvalues 1e-5 apart, each pairing must find its own conjugate
        h = np.zeros((4, 4))
        h[1, 0] = h[2, 1] = h[3, 2] = 1.0
        h[0, 3] = 1e-20
        got = np.sort_complex(npc(L.eigvals(Z(h))))
        assert np.allclose(got, np.sort_complex(1e-5 * np.array([1, -1, 1j, -1j])), rtol=0, atol=1e-18)
        # elements near the bottom of the float64 range neither stall nor overflow the rotations
        for tiny in (1e-300, 1e-310):
            a = crandn(rng, 4, 4)
            a[2, 1] = tiny * 1j
            h2 = h.astype(complex)
            h2[1, 1] = tiny * 1j
            for m in (a, h2):
                w = npc(L.eigvals(Z(m)))
                assert np.allclose(np.sort_complex(w), np.sort_complex(np.linalg.eigvals(m)), atol=1e-14)

    def test_symmetric_and_defective(self):
        s = np.array([[2.0, 1.0, 0.0], [1.0, 2.0, 1.0], [0.0, 1.0, 2.0]])
        w, v = L.eig(Z(s))
        check_eig(s, w, v, positive=False)
        assert np.allclose(npc(w), np.linalg.eigvalsh(s), atol=1e-14)  # eigh's path: ascending
        j = np.array([[1.0, 1.0], [0.0, 1.0]])  # one eigenvector, as LAPACK finds it
        w, v = L.eig(Z(j))
        assert np.allclose(npc(w), 1) and np.allclose(np.abs(npc(v)[:, 0]), [1, 0])
        w, v = L.eig(Z(np.eye(3)))
        assert np.allclose(npc(v), np.eye(3))

    def test_accuracy_20x20(self, rng):
        a = rng.standard_normal((20, 20))
        got = exact_complex(L.eigvals(Z(a)))
        with mpmath.workdps(60):
            want = mpmath.eig(mpmath.matrix(a.tolist()), left=False, right=False)
            got = sorted(got, key=lambda z: (float(z.real), float(z.imag)))
            want = sorted(want, key=lambda z: (float(z.real), float(z.imag)))
            assert worst(got, want) >= DIGITS

    def test_wilkinson_polynomial(self):
        table = accuracy_eigvals.table()
        assert [k for k, _, _ in table] == list(range(1, 21))
        assert min(ours for _, ours, _ in table) >= 20
        assert min(f64 for _, _, f64 in table) < 5

    def test_non_finite(self):
        with pytest.raises(RuntimeError, match=r"^torch.linalg.eig: input tensor should not contain infs or NaNs"):
            L.eig(Z(np.array([[1, math.inf], [0, 1j]])))
        with pytest.raises(RuntimeError, match="should not contain infs or NaNs"):
            L.eigvals(Z(np.array([[1, 0], [math.nan, 1.0]])))


class TestEigh:
    def test_against_torch(self, rng):
        h = hermitian(rng, 5, 2)
        for uplo in ("L", "U"):
            junk = np.triu(crandn(rng, 5, 5), 1) if uplo == "L" else np.tril(crandn(rng, 5, 5), -1)
            a = (np.tril(h) if uplo == "L" else np.triu(h)) + junk
            w, v = L.eigh(Z(a), UPLO=uplo)
            assert not w.is_complex() and v.is_complex()
            close(w, T.eigvalsh(torch.as_tensor(h)))
            close(L.eigvalsh(Z(a), uplo), T.eigvalsh(torch.as_tensor(h)))
            vv = npc(v)
            assert np.allclose(h @ vv, vv * npc(w)[..., None, :], atol=1e-11)
            assert np.allclose(np.swapaxes(vv.conj(), -1, -2) @ vv, np.eye(5), atol=1e-14)
        with pytest.raises(RuntimeError, match="Expected UPLO argument to be 'L' or 'U', but got x"):
            L.eigh(Z(h), "x")

    def test_repeated_eigenvalues(self, rng):
        q = np.linalg.qr(crandn(rng, 4, 4))[0]
        h = q @ np.diag([1.0, 1.0, 1.0, 3.0]) @ q.conj().T
        w, v = L.eigh(Z(h))
        vv = npc(v)
        assert np.allclose(npc(w), [1, 1, 1, 3], atol=1e-14)
        assert np.allclose(vv.conj().T @ vv, np.eye(4), atol=1e-14)
        assert np.allclose(h @ vv, vv * npc(w), atol=1e-13)

    def test_accuracy_20x20(self, rng):
        h = hermitian(rng, 20)
        got = sorted(accuracy_eigvals.exact_values(L.eigvalsh(Z(h))))
        with mpmath.workdps(60):
            want = sorted(mpmath.eighe(mp_cmatrix(h), eigvals_only=True))
            assert worst(got, want) >= DIGITS

    def test_nan_gives_nan(self):
        w, v = L.eigh(Z(np.array([[1, math.nan], [math.nan, 1]], dtype=complex)))
        assert np.isnan(npc(w)).all() and np.isnan(npc(v)).all()


class TestSvd:
    @pytest.mark.parametrize("shape", [(5, 3), (3, 5), (2, 4, 4)])
    def test_shapes_and_values(self, rng, shape):
        a = crandn(rng, *shape)
        for full in (True, False):
            u, s, vh = L.svd(Z(a), full_matrices=full)
            tu, ts, tvh = T.svd(torch.as_tensor(a), full_matrices=full)
            assert (tuple(u.shape), tuple(s.shape), tuple(vh.shape)) == (tuple(tu.shape), tuple(ts.shape), tuple(tvh.shape))
            assert not s.is_complex()
            close(s, ts)
            uu, vv = npc(u), npc(vh)
            k = s.shape[-1]
            assert np.allclose(uu[..., :k] * npc(s)[..., None, :] @ vv[..., :k, :], a, atol=1e-13)
            assert np.allclose(np.swapaxes(uu.conj(), -1, -2) @ uu, np.eye(uu.shape[-1]), atol=1e-14)
            assert np.allclose(vv @ np.swapaxes(vv.conj(), -1, -2), np.eye(vv.shape[-2]), atol=1e-14)
        close(L.svdvals(Z(a)), T.svdvals(torch.as_tensor(a)))

    def test_rank_deficient(self, rng):
        a = crandn(rng, 5, 2) @ crandn(rng, 2, 4)
        u, s, vh = L.svd(Z(a))
        uu, vv = npc(u), npc(vh)
        assert np.allclose(npc(s)[2:], 0, atol=1e-14)
        assert np.allclose(uu.conj().T @ uu, np.eye(5), atol=1e-14)
        assert np.allclose(vv @ vv.conj().T, np.eye(4), atol=1e-14)
        assert np.allclose(uu[:, :4] * npc(s) @ vv, a, atol=1e-13)

    @pytest.mark.parametrize("shape", [(20, 20), (18, 20)])
    def test_accuracy(self, rng, shape):
        a = crandn(rng, *shape)
        got = sorted(accuracy_eigvals.exact_values(L.svdvals(Z(a))))
        with mpmath.workdps(60):
            want = sorted(mpmath.svd_c(mp_cmatrix(a), compute_uv=False))
            assert worst(got, want) >= DIGITS

    def test_non_finite(self):
        with pytest.raises(T.LinAlgError, match="linalg.svd: The algorithm failed to converge because the input matrix "
                                                "contained non-finite values"):
            L.svd(Z(np.array([[math.nan, 1j]])))


class TestNorms:
    def test_against_torch(self, rng):
        a = crandn(rng, 2, 3, 4)
        ta = torch.as_tensor(a)
        for ord in (2, 1, math.inf, -math.inf, 0, 3.5):
            close(L.vector_norm(Z(a), ord), T.vector_norm(ta, ord))
        close(L.vector_norm(Z(a), 2, dim=(0, 2), keepdim=True), T.vector_norm(ta, 2, dim=(0, 2), keepdim=True))
        for ord in ("fro", "nuc", 1, -1, 2, -2, math.inf, -math.inf):
            close(L.matrix_norm(Z(a), ord), T.matrix_norm(ta, ord))
            close(L.norm(Z(a[0]), ord), T.norm(ta[0], ord))
        close(L.matrix_norm(Z(a), 2, dim=(0, 2), keepdim=True), T.matrix_norm(ta, 2, dim=(0, 2), keepdim=True))
        close(L.norm(Z(a)), T.norm(ta))
        close(L.norm(Z(a), dim=1), T.norm(ta, dim=1))
        assert not L.norm(Z(a)).is_complex()
        with pytest.raises(IndexError, match="Dimension out of range"):
            L.matrix_norm(Z(a), 2, dim=(0, 5))
        with pytest.raises(RuntimeError, match="dims must be different"):
            L.matrix_norm(Z(a), "nuc", dim=(1, -2))


class TestAccuracy:
    def test_lu_family_20x20(self, rng):
        a, b = crandn(rng, 20, 20) + 8 * np.eye(20), crandn(rng, 20, 1)
        with mpmath.workdps(60):
            am, bm = mp_cmatrix(a), mp_cmatrix(b)
            x = mpmath.lu_solve(am, bm)
            assert worst(exact_complex(L.solve(Z(a), Z(b))), list(x)) >= DIGITS
            assert worst(exact_complex(L.det(Z(a))), [mpmath.det(am)]) >= DIGITS
            inv = mpmath.inverse(am)
            assert worst(exact_complex(L.inv(Z(a))), [inv[i, j] for i in range(20) for j in range(20)]) >= DIGITS


def test_batched_results_match_one_by_one_on_any_thread_count(rng):
    a = crandn(rng, 4, 5, 5)
    before = torch.get_num_threads()
    try:
        runs = []
        for threads in (1, 2):
            torch.set_num_threads(threads)
            runs.append([t._data for t in (*L.eig(Z(a)), *L.svd(Z(a)), L.inv(Z(a)), L.eigh(Z(a)).eigenvectors)])
    finally:
        torch.set_num_threads(before)
    assert all(torch.equal(x, y) for x, y in zip(*runs))
    w = L.eigvals(Z(a))
    for k in range(4):
        assert torch.equal(L.eigvals(Z(a[k]))._data, zel.view_as_complex(zel.view_as_real(w)[k])._data)


def mp_of(t):
    """A zel complex matrix as an mpmath matrix of its exact values."""
    rows, cols = t.shape
    vals = exact_complex(t)
    with mpmath.workdps(200):
        return mpmath.matrix([[vals[i * cols + j] for j in range(cols)] for i in range(rows)])


def test_qr_and_cholesky_residuals_20x20(rng):
    a = crandn(rng, 20, 20)
    h = hermitian(rng, 20)
    q, r = L.qr(Z(a))
    lo = L.cholesky(Z(h))
    with mpmath.workdps(60):
        qm, rm, lm = mp_of(q), mp_of(r), mp_of(lo)
        am, hm = mp_cmatrix(a), mp_cmatrix(h)
        resid = lambda m: max(abs(x) for x in m)  # noqa: E731
        assert digits(resid(qm * rm - am), resid(am)) >= DIGITS
        assert digits(resid(qm.H * qm - mpmath.eye(20)), 1) >= DIGITS
        assert digits(resid(lm * lm.H - hm), resid(hm)) >= DIGITS


def test_torch_svd_form_gives_v_itself():
    # torch.svd returns V with A = U diag(S) V^H: Vh's conjugate transpose, not its transpose.
    rng = np.random.default_rng(8)
    a = rng.standard_normal((3, 4)) + 1j * rng.standard_normal((3, 4))
    u, s, v = zel.svd(zel.tensor(a))
    back = (u.numpy() * s.numpy()) @ v.numpy().conj().T
    assert np.abs(back - a).max() < 1e-13
