"""The remaining linear-algebra names (qr, cross, lu, lu_unpack, lu_solve,
cholesky_inverse, symeig, geqrf, householder_product, ormqr, the LDL^T
functions, vander, diagonal, svd_lowrank, pca_lowrank) against PyTorch's
float64 results, with residuals computed in limb arithmetic where the library
is more accurate than float64."""
import subprocess
import sys
import warnings

import pytest
import torch

from varnel.zel import zel

L = zel.linalg
T = torch.linalg
F64 = torch.float64


@pytest.fixture(autouse=True)
def quiet():
    # qr, lu, lu_solve, symeig and cross without dim warn as PyTorch does.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        yield


def Z(t):
    return zel.tensor(t.detach().to(F64))


def values(z):
    """The float64 approximation of every element (limbs summed from the smallest)."""
    limbs = z.torch_limbs().detach()
    s = limbs[..., 7]
    for k in range(6, -1, -1):
        s = s + limbs[..., k]
    return s


def close(got, want, rtol=1e-12):
    g = values(got) if isinstance(got, zel.Tensor) else got
    assert tuple(g.shape) == tuple(want.shape), (tuple(g.shape), tuple(want.shape))
    if want.numel():
        scale = max(float(want.abs().max()), 1.0)
        err = float((g - want).abs().max())
        assert err <= rtol * scale, err


def limb_max(z):
    """max |z| in limb arithmetic, as a float (tiny residuals survive)."""
    if not z.numel:
        return 0.0
    # times one renormalises limbs left as [d, -d, tiny] by a cancellation, so the approximation is right
    return float(values((z * zel.ones(z.shape)).abs().amax()))


def rand(*shape, seed=0):
    g = torch.Generator().manual_seed(seed)
    return torch.randn(*shape, generator=g, dtype=F64)


def rand_limbs(*shape, seed=0):
    """A Tensor whose elements carry bits below float64's."""
    return Z(rand(*shape, seed=seed)) + Z(rand(*shape, seed=seed + 1000)) * 2.0 ** -60


SHAPES = [(3, 3), (5, 3), (3, 5), (2, 4, 3), (2, 3, 4), (1, 1), (4, 1), (1, 4)]


# ------------------------------------------------------------- Householder


def torch_qr(a, some=True):
    """torch.qr's result (PyTorch 2 removed the name; linalg.qr has the same factors)."""
    return torch.linalg.qr(a, mode="reduced" if some else "complete")


class TestHouseholder:
    @pytest.mark.parametrize("shape", SHAPES)
    def test_geqrf_is_lapacks_compact_form(self, shape):
        a = rand(*shape, seed=len(shape) + shape[-1])
        want_a, want_tau = torch.geqrf(a)
        got = zel.geqrf(Z(a))
        assert type(got).__name__ == "geqrf" and got._fields == ("a", "tau")
        close(got.a, want_a)
        close(got.tau, want_tau)

    def test_geqrf_leaves_a_column_that_is_already_zero_alone(self):
        a = torch.tensor([[2.0, 1.0], [0.0, 3.0], [0.0, -4.0]], dtype=F64)
        got = zel.geqrf(Z(a))
        want = torch.geqrf(a)
        assert values(got.tau)[0] == 0 and want.tau[0] == 0
        close(got.a, want.a)
        close(got.tau, want.tau)

    def test_geqrf_of_subnormal_and_huge_columns(self):
        for scale in (5e-324, 1e-310, 1e300):
            a = torch.tensor([[1.0, 2.0], [-3.0, 0.5], [2.0, 1.0]], dtype=F64) * scale
            got, want = zel.geqrf(Z(a)), torch.geqrf(a)
            close(got.tau, want.tau, 1e-12)
            assert bool(torch.isfinite(values(got.a)).all()) == bool(torch.isfinite(want.a).all())

    @pytest.mark.parametrize("shape", [(0, 3), (3, 0), (2, 0, 4)])
    def test_geqrf_of_empty_matrices(self, shape):
        got, want = zel.geqrf(Z(torch.zeros(shape, dtype=F64))), torch.geqrf(torch.zeros(shape, dtype=F64))
        assert got.a.shape == tuple(want.a.shape) and got.tau.shape == tuple(want.tau.shape)

    def test_q_and_r_reproduce_a_to_limb_accuracy(self):
        a = rand_limbs(6, 4, seed=3)
        fa, tau = zel.geqrf(a)
        q = L.householder_product(fa, tau)
        r = zel.triu(fa[:4])
        assert limb_max(q @ r - a) < 1e-29
        assert limb_max(q.mT @ q - zel.eye(4)) < 1e-29

    @pytest.mark.parametrize("shape,k", [((4, 3), 3), ((4, 3), 2), ((2, 5, 3), 3), ((3, 3), 0)])
    def test_householder_product_against_torch(self, shape, k):
        a = rand(*shape, seed=7)
        tau = rand(*shape[:-2], k, seed=8)
        close(L.householder_product(Z(a), Z(tau)), T.householder_product(a, tau))
        close(zel.orgqr(Z(a), Z(tau)), torch.orgqr(a, tau))

    @pytest.mark.parametrize("left", [True, False])
    @pytest.mark.parametrize("transpose", [True, False])
    @pytest.mark.parametrize("shape", [(5, 3), (3, 3), (2, 4, 2)])
    def test_ormqr_against_torch(self, shape, left, transpose):
        a, tau = torch.geqrf(rand(*shape, seed=11))
        m = shape[-2]
        c = rand(*shape[:-2], m, 2, seed=12) if left else rand(*shape[:-2], 2, m, seed=12)
        got = zel.ormqr(Z(a), Z(tau), Z(c), left, transpose)
        close(got, torch.ormqr(a, tau, c, left, transpose))
        method = Z(a).ormqr(input2=Z(tau), input3=Z(c), left=left, transpose=transpose)
        close(method, torch.ormqr(a, tau, c, left, transpose))

    @pytest.mark.parametrize("some", [True, False])
    @pytest.mark.parametrize("shape", [(5, 3), (3, 5), (2, 3, 3), (4, 0)])
    def test_qr_takes_pytorchs_signs(self, shape, some):
        a = rand(*shape, seed=13)
        got, want = zel.qr(Z(a), some), torch_qr(a, some)
        assert type(got).__name__ == "qr"
        close(got.Q, want.Q)
        close(got.R, want.R)
        close(Z(a).qr(some=some).R, want.R)


# ---------------------------------------------------------------------- LU


class TestLu:
    @pytest.mark.parametrize("shape", [(3, 3), (3, 4), (4, 3), (2, 3, 3), (0, 3)])
    def test_lu_and_lu_unpack_against_torch(self, shape):
        a = rand(*shape, seed=21)
        lu, piv = zel.lu(Z(a))
        want_lu, want_piv = torch.lu(a)
        close(lu, want_lu)
        assert piv.dtype == torch.int32 and torch.equal(piv, want_piv)
        got = zel.lu_unpack(lu, piv)
        want = torch.lu_unpack(want_lu, want_piv)
        assert type(got).__name__ == "lu_unpack" and got._fields == ("P", "L", "U")
        for g, w in zip(got, want):
            close(g, w)

    def test_p_l_u_reproduce_a_exactly_in_limbs(self):
        a = rand_limbs(2, 4, 4, seed=22)
        p, lo, up = zel.lu_unpack(*zel.lu(a))
        assert limb_max(p @ lo @ up - a) < 1e-29

    @pytest.mark.parametrize("data,pivots", [(False, True), (True, False), (False, False)])
    def test_lu_unpack_leaves_out_what_is_not_asked_for(self, data, pivots):
        a = rand(3, 4, seed=23)
        want = torch.lu_unpack(*torch.linalg.lu_factor(a), data, pivots)
        got = zel.lu_unpack(*L.lu_factor(Z(a)), unpack_data=data, unpack_pivots=pivots)
        for g, w in zip(got, want):
            close(g, w)

    def test_lu_of_a_singular_matrix_reports_infos(self):
        a = torch.tensor([[[1.0, 2.0], [2.0, 4.0]], [[1.0, 0.0], [0.0, 1.0]]], dtype=F64)
        got = zel.lu(Z(a), get_infos=True)
        want = torch.lu(a, get_infos=True)
        assert type(got).__name__ == "_lu_with_info"
        assert got.info.dtype == torch.int32 and torch.equal(got.info, want[2])
        assert got.info.tolist() == [2, 0]
        assert type(zel.lu(Z(a))) is tuple and len(zel.lu(Z(a))) == 2

    @pytest.mark.parametrize("shape", [(0, 5), (3, 0), (2, 3, 0), (0, 2, 2)])
    def test_lu_of_empty_matrices(self, shape):
        got = zel.lu(zel.zeros(shape), get_infos=True)
        want = torch.lu(torch.zeros(shape, dtype=F64), get_infos=True)
        assert got.LU.shape == tuple(want[0].shape)
        assert torch.equal(got.pivots, want[1]) and torch.equal(got.info, want[2])

    def test_lu_solve_takes_b_first(self):
        a, b = rand(2, 3, 3, seed=24), rand(2, 3, 2, seed=25)
        lu, piv = torch.linalg.lu_factor(a)
        got = zel.lu_solve(Z(b), Z(lu), piv)
        close(got, torch.lu_solve(b, lu, piv), 1e-10)
        close(Z(b).lu_solve(Z(lu), piv), torch.lu_solve(b, lu, piv), 1e-10)

    @pytest.mark.parametrize("bad", [
        lambda lu, p: (lu, p.long()),
        lambda lu, p: (lu, p.float()),
        lambda lu, p: (lu, p + 5),
        lambda lu, p: (lu, p * 0),
        lambda lu, p: (lu[0], p),
    ], ids=["int64", "float", "past m", "zero", "1-d"])
    def test_lu_unpack_rejects_what_torch_rejects(self, bad):
        lu, p = torch.linalg.lu_factor(rand(3, 3, seed=26))
        with pytest.raises(RuntimeError):
            torch.lu_unpack(*bad(lu, p))
        with pytest.raises(RuntimeError):
            zel.lu_unpack(*bad(Z(lu), p))

    def test_lu_unpack_wants_one_pivot_per_column_of_l(self):
        # PyTorch 2 refuses too few pivots (1.13 read past them)
        lu, p = L.lu_factor(Z(rand(3, 3, seed=27)))
        with pytest.raises(RuntimeError, match="LU_pivots to have shape"):
            zel.lu_unpack(lu, p[:2])


# ---------------------------------------------------------------- Cholesky


class TestCholeskyInverse:
    @pytest.mark.parametrize("upper", [False, True])
    @pytest.mark.parametrize("shape", [(3, 3), (2, 4, 4), (1, 1)])
    def test_against_torch(self, shape, upper):
        x = rand(*shape, seed=31)
        a = x @ x.mT + torch.eye(shape[-1], dtype=F64)
        f = torch.linalg.cholesky(a, upper=upper)
        close(zel.cholesky_inverse(Z(f), upper), torch.cholesky_inverse(f, upper))
        close(Z(f).cholesky_inverse(upper=upper), torch.cholesky_inverse(f, upper))

    def test_inverse_to_limb_accuracy(self):
        x = rand_limbs(4, 4, seed=32)
        a = x @ x.mT + zel.eye(4)
        inv = zel.cholesky_inverse(L.cholesky(a))
        assert limb_max(a @ inv - zel.eye(4)) < 1e-28

    @pytest.mark.parametrize("shape", [(3,), (3, 2)])
    def test_rejects_what_is_not_a_square_matrix(self, shape):
        with pytest.raises(RuntimeError):
            torch.cholesky_inverse(torch.ones(shape, dtype=F64))
        with pytest.raises(RuntimeError):
            zel.cholesky_inverse(zel.ones(shape))


# ----------------------------------------------------------------- LDL^T


def symmetric(n, seed, batch=()):
    x = rand(*batch, n, n, seed=seed)
    return x + x.mT


def indefinite(n, seed):
    """Small diagonal, large off-diagonal: Bunch-Kaufman takes 2 x 2 pivots."""
    a = symmetric(n, seed) * 4
    return a - torch.diag_embed(torch.diagonal(a, 0, -2, -1)) + torch.diag(rand(n, seed=seed + 1) * 1e-3)


class TestLdl:
    @pytest.mark.parametrize("a", [symmetric(4, 41), symmetric(6, 42), indefinite(5, 43), indefinite(8, 44),
                                   symmetric(3, 45, (2,)), torch.tensor([[0.0, 1.0], [1.0, 0.0]], dtype=F64)],
                             ids=["sym4", "sym6", "indef5", "indef8", "batch", "swap"])
    def test_factor_is_lapacks(self, a):
        want = T.ldl_factor(a)
        got = L.ldl_factor(Z(a))
        assert type(got).__name__ == "linalg_ldl_factor"
        assert got.pivots.dtype == torch.int32 and torch.equal(got.pivots, want.pivots)
        close(got.LD, want.LD, 1e-10)

    def test_pivots_agree_with_torch_on_many_matrices(self):
        # every branch of the pivot choice: diagonals from large to tiny against the off-diagonal entries
        for seed in range(40):
            n = 3 + seed % 8
            a = symmetric(n, 100 + seed)
            a = a + torch.diag(rand(n, seed=200 + seed) * 10.0 ** (seed % 5 - 3))
            want = T.ldl_factor(a)
            got = L.ldl_factor(Z(a))
            assert torch.equal(got.pivots, want.pivots), (seed, got.pivots, want.pivots)
            close(got.LD, want.LD, 1e-9)

    def test_indefinite_matrices_do_take_two_by_two_pivots(self):
        piv = L.ldl_factor(Z(indefinite(8, 44))).pivots
        assert bool((piv < 0).any())

    def test_only_the_lower_triangle_is_read(self):
        a = symmetric(4, 46)
        skewed = a + torch.triu(rand(4, 4, seed=47), 1)
        got = L.ldl_factor(Z(skewed))
        want = L.ldl_factor(Z(a))
        assert torch.equal(got.pivots, want.pivots) and torch.equal(values(got.LD), values(want.LD))

    @pytest.mark.parametrize("a", [symmetric(5, 48), indefinite(6, 49), indefinite(9, 50)],
                             ids=["sym5", "indef6", "indef9"])
    def test_solve_to_limb_accuracy(self, a):
        za = Z(a) + Z(symmetric(a.shape[-1], 51)) * 2.0 ** -60
        b = rand_limbs(a.shape[-1], 3, seed=52)
        ld, piv = L.ldl_factor(za)
        x = L.ldl_solve(ld, piv, b)
        assert limb_max(za @ x - b) < 1e-27 * max(1.0, limb_max(b))
        close(x, T.ldl_solve(*T.ldl_factor(a), values(b)), 1e-8)

    def test_solve_broadcasts_batches(self):
        a = symmetric(4, 53)
        b = rand(2, 4, 2, seed=54)
        ld, piv = T.ldl_factor(a)
        close(L.ldl_solve(Z(ld), piv, Z(b)), T.ldl_solve(ld, piv, b), 1e-10)

    def test_singular_matrix(self):
        zero = torch.zeros(3, 3, dtype=F64)
        got = L.ldl_factor_ex(Z(zero))
        want = T.ldl_factor_ex(zero)
        assert type(got).__name__ == "linalg_ldl_factor_ex"
        assert got.info.dtype == torch.int32 and int(got.info) == int(want.info) == 1
        assert torch.equal(got.pivots, want.pivots)
        with pytest.raises(RuntimeError):
            L.ldl_factor(Z(zero))
        with pytest.raises(RuntimeError):
            L.ldl_factor_ex(Z(zero), check_errors=True)

    @pytest.mark.parametrize("call", [
        lambda ld, p, b: (ld, p[:3], b),        # pivots of the wrong shape
        lambda ld, p, b: (ld, p, b[:3]),        # B with the wrong rows
        lambda ld, p, b: (ld, p * 0, b),        # pivot 0
        lambda ld, p, b: (ld, p + 10, b),       # pivot past n
        lambda ld, p, b: (ld, p.float(), b),    # pivots not integers
        lambda ld, p, b: (ld[:3], p, b),        # LD not square
    ])
    def test_solve_rejects_bad_operands(self, call):
        ld, p = T.ldl_factor(symmetric(4, 55))
        b = rand(4, 2, seed=56)
        zld, zp, zb = call(Z(ld), p, Z(b))
        with pytest.raises(RuntimeError):
            L.ldl_solve(zld, zp, zb)

    def test_half_a_two_by_two_block_is_refused(self):
        ld = Z(torch.eye(3, dtype=F64))
        with pytest.raises(RuntimeError):
            L.ldl_solve(ld, torch.tensor([1, 2, -3], dtype=torch.int32), zel.ones((3, 1)))

    @pytest.mark.parametrize("shape", [(3,), (3, 4)])
    def test_factor_needs_square_matrices(self, shape):
        with pytest.raises(RuntimeError):
            T.ldl_factor(torch.ones(shape, dtype=F64))
        with pytest.raises(RuntimeError):
            L.ldl_factor(zel.ones(shape))


# ------------------------------------------------------------ small names


class TestSmall:
    @pytest.mark.parametrize("x,N", [([2.0, 3.0, 4.0], None), ([2.0, -1.5], 4), ([[1.0, 2.0], [3.0, 0.5]], 3),
                                     (2.5, 3)])
    def test_vander_against_torch(self, x, N):
        x = torch.tensor(x, dtype=F64)
        close(L.vander(Z(x), N=N), T.vander(x, N=N))

    @pytest.mark.parametrize("x,N", [([2.0], None), ([2.0, 3.0], 1), ([2.0, 3.0], -1), ([], None)])
    def test_vander_needs_two_columns(self, x, N):
        x = torch.tensor(x, dtype=F64)
        with pytest.raises(RuntimeError):
            T.vander(x, N=N)
        with pytest.raises(RuntimeError):
            L.vander(Z(x), N=N)

    def test_vander_powers_keep_every_limb(self):
        x = zel.tensor([1.0]) + zel.tensor([2.0 ** -70])
        v = L.vander(zel.stack([x[0], x[0]]), N=3)
        # (1 + 2^-70)^2 = 1 + 2^-69 + 2^-140, none of which float64 alone holds
        assert limb_max(v[0, 2] - 1.0 - 2.0 ** -69) == pytest.approx(2.0 ** -140, rel=1e-12)

    def test_matrix_sqrth_squares_back_to_the_matrix(self):
        a = rand(2, 4, 4, seed=71)
        spd = a @ a.mT + 0.5 * torch.eye(4, dtype=F64)
        x = L.matrix_sqrth(Z(spd))
        assert limb_max(x @ x - Z(spd)) < 1e-28
        assert limb_max(x - x.mT) == 0.0 or limb_max(x - x.mT) < 1e-29
        if hasattr(T, "matrix_sqrth"):
            close(x, T.matrix_sqrth(spd))
        # Only the lower triangle counts; negative eigenvalues count as zero (PyTorch's rule).
        indefinite = torch.tensor([[1.0, 99.0], [2.0, 1.0]], dtype=F64)
        close(L.matrix_sqrth(Z(indefinite)), torch.full((2, 2), 3.0 ** 0.5 / 2, dtype=F64))
        with pytest.raises(RuntimeError):
            L.matrix_sqrth(Z(rand(2, 3, seed=72)))

    @pytest.mark.parametrize("kw", [{}, {"offset": 1}, {"offset": -1, "dim1": 0, "dim2": 2}])
    def test_diagonal_against_torch(self, kw):
        a = rand(2, 3, 4, seed=61)
        close(L.diagonal(Z(a), **kw), T.diagonal(a, **kw))

    def test_diagonal_of_a_vector_is_an_index_error(self):
        with pytest.raises(IndexError):
            T.diagonal(torch.ones(3))
        with pytest.raises(IndexError):
            L.diagonal(zel.ones(3))

    @pytest.mark.parametrize("a,b,dim", [((3, 3), (3, 3), None), ((2, 3), (1, 3), None), ((3, 1), (3, 5), None),
                                         ((3, 3), (3, 3), 1)])
    def test_cross_against_torch(self, a, b, dim):
        x, y = rand(*a, seed=62), rand(*b, seed=63)
        close(zel.cross(Z(x), Z(y), dim), torch.cross(x, y, dim))
        close(Z(x).cross(Z(y), dim), torch.cross(x, y, dim))

    @pytest.mark.parametrize("a,b,dim", [((2, 3, 0), (2, 3, 0), 1), ((3, 0), (3, 1), 0), ((0, 3), (0, 3), None)])
    def test_cross_of_empty_tensors(self, a, b, dim):
        # in a child: linalg.cross on these shapes once divided by zero
        code = ("import warnings; warnings.simplefilter('ignore')\nfrom varnel.zel import zel\n"
                "print(tuple(zel.cross(zel.zeros(%r), zel.zeros(%r), %r).shape))" % (a, b, dim))
        proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
        assert proc.returncode == 0, proc.stderr[-2000:]
        assert proc.stdout.strip() == str(tuple(torch.cross(torch.zeros(a), torch.zeros(b), dim).shape))

    def test_cross_of_empty_tensors_checks_the_length_3_dimension(self):
        with pytest.raises(RuntimeError):
            torch.cross(torch.zeros(2, 4, 0), torch.zeros(2, 4, 0), dim=1)
        with pytest.raises(RuntimeError):
            zel.cross(zel.zeros((2, 4, 0)), zel.zeros((2, 4, 0)), 1)

    def test_cross_without_dim_needs_a_dimension_of_size_3(self):
        with pytest.raises(RuntimeError, match="no dimension of size 3"):
            zel.cross(zel.ones((4, 2)), zel.ones((4, 2)))
        with pytest.raises(RuntimeError):
            torch.cross(torch.ones(4, 2), torch.ones(4, 2))

    @pytest.mark.parametrize("upper", [True, False])
    def test_symeig_reads_the_chosen_triangle(self, upper):
        a = symmetric(4, 64) + (torch.triu if not upper else torch.tril)(rand(4, 4, seed=65), 1 if not upper else -1)
        got = zel.symeig(Z(a), True, upper)
        w = T.eigvalsh(a, UPLO="U" if upper else "L")
        assert type(got).__name__ == "symeig"
        close(got.eigenvalues, w)
        v = got.eigenvectors
        sym = Z(torch.triu(a) + torch.triu(a, 1).mT) if upper else Z(torch.tril(a) + torch.tril(a, -1).mT)
        assert limb_max(sym @ v - v * got.eigenvalues) < 1e-25

    def test_symeig_without_eigenvectors_gives_an_empty_tensor(self):
        got = zel.symeig(Z(symmetric(3, 66, (2,))))
        assert got.eigenvectors.shape == (0,) and got.eigenvalues.shape == (2, 3)


# --------------------------------------------------------------- low rank


def low_rank(m, n, k, seed, batch=()):
    """An exactly rank-k matrix: the product is formed in limb arithmetic."""
    return Z(rand(*batch, m, k, seed=seed)) @ Z(rand(*batch, k, n, seed=seed + 1))


class TestLowRank:
    @pytest.mark.parametrize("m,n,k", [(8, 5, 2), (5, 8, 2), (6, 6, 3)])
    def test_svd_lowrank_recovers_a_low_rank_matrix(self, m, n, k):
        zel.manual_seed(0)
        a = low_rank(m, n, k, seed=71)
        u, s, v = zel.svd_lowrank(a, q=k + 1)
        assert u.shape == (m, k + 1) and s.shape == (k + 1,) and v.shape == (n, k + 1)
        assert limb_max(u @ zel.diag_embed(s) @ v.mT - a) < 1e-28 * limb_max(a)
        assert limb_max(u.mT @ u - zel.eye(k + 1)) < 1e-28
        assert limb_max(v.mT @ v - zel.eye(k + 1)) < 1e-28
        close(s[:k], T.svdvals(values(a))[:k], 1e-12)

    # PyTorch 2's shapes (1.13 fails an assertion when q passes a dimension)
    @pytest.mark.parametrize("shape,q,want", [((3, 4), 10, [(3, 3), (3,), (4, 3)]),
                                              ((4, 3), 6, [(4, 3), (3,), (3, 3)]),
                                              ((2, 5, 3), 4, [(2, 5, 3), (2, 3), (2, 3, 3)])])
    def test_svd_lowrank_with_q_past_a_dimension(self, shape, q, want):
        a = rand_limbs(*shape, seed=76)
        u, s, v = zel.svd_lowrank(a, q=q)
        assert [u.shape, s.shape, v.shape] == want
        assert limb_max(u @ zel.diag_embed(s) @ v.mT - a) < 1e-27 * limb_max(a)

    def test_svd_lowrank_of_a_minus_m(self):
        zel.manual_seed(1)
        m = Z(rand(2, 6, 4, seed=72))
        a = low_rank(6, 4, 2, seed=73, batch=(2,)) + m
        u, s, v = zel.svd_lowrank(a, q=2, M=m)
        assert limb_max(u @ zel.diag_embed(s) @ v.mT - (a - m)) < 1e-27 * limb_max(a)

    def test_pca_lowrank_centres_the_columns(self):
        zel.manual_seed(2)
        a = low_rank(7, 5, 2, seed=74) + Z(rand(1, 5, seed=75))
        u, s, v = zel.pca_lowrank(a, q=2)
        centred = a - a.mean(0).reshape(1, 5)
        assert limb_max(u @ zel.diag_embed(s) @ v.mT - centred) < 1e-27 * limb_max(a)
        u, s, v = zel.pca_lowrank(a, center=False)
        assert s.shape == (5,)

    @pytest.mark.parametrize("call", [lambda a: zel.pca_lowrank(a, q=9), lambda a: zel.pca_lowrank(a, q=-1),
                                      lambda a: zel.pca_lowrank(a, niter=-1), lambda a: zel.svd_lowrank(a, niter=-2)])
    def test_bad_q_and_niter_raise_valueerror(self, call):
        with pytest.raises(ValueError):
            call(zel.ones((4, 3)))


# ---------------------------------------------------------- everything else


@pytest.mark.parametrize("call", [
    lambda m: m.geqrf(m.ones(3) if m is zel else torch.ones(3, dtype=F64)),
    lambda m: m.qr(m.ones(3) if m is zel else torch.ones(3, dtype=F64)),
    lambda m: m.lu(m.ones(3) if m is zel else torch.ones(3, dtype=F64)),
    lambda m: m.linalg.householder_product(*((zel.ones((3, 4)), zel.ones(3)) if m is zel
                                              else (torch.ones(3, 4, dtype=F64), torch.ones(3, dtype=F64)))),
    lambda m: m.linalg.householder_product(*((zel.ones((4, 3)), zel.ones(4)) if m is zel
                                              else (torch.ones(4, 3, dtype=F64), torch.ones(4, dtype=F64)))),
    lambda m: m.linalg.householder_product(*((zel.ones((4, 3)), zel.ones((1, 3))) if m is zel
                                              else (torch.ones(4, 3, dtype=F64), torch.ones(1, 3, dtype=F64)))),
    lambda m: m.ormqr(*((zel.ones((4, 3)), zel.ones(3), zel.ones((3, 2))) if m is zel
                        else (torch.ones(4, 3, dtype=F64), torch.ones(3, dtype=F64), torch.ones(3, 2, dtype=F64)))),
    lambda m: m.ormqr(*((zel.ones((4, 3)), zel.ones(4), zel.ones((4, 2))) if m is zel
                        else (torch.ones(4, 3, dtype=F64), torch.ones(4, dtype=F64), torch.ones(4, 2, dtype=F64)))),
], ids=["geqrf 1-d", "qr 1-d", "lu 1-d", "hh wide", "hh long tau", "hh tau batch", "ormqr rows", "ormqr long tau"])
def test_errors_are_pytorchs(call):
    with pytest.raises(Exception) as want:
        call(torch)
    with pytest.raises(Exception) as got:
        call(zel)
    assert type(got.value) is type(want.value), (got.value, want.value)


def test_deprecated_names_warn_once_as_pytorch():
    fresh = _fresh_install()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        fresh.qr(zel.eye(2))
        fresh.qr(zel.eye(2))
        fresh.cross(zel.ones((3, 3)), zel.ones((3, 3)))
        fresh.cross(zel.ones((3, 3)), zel.ones((3, 3)), 0)
    messages = [str(w.message) for w in caught]
    assert sum("torch.qr is deprecated" in m for m in messages) == 1
    assert sum("torch.cross without specifying the dim" in m for m in messages) == 1
    assert len(messages) == 2


def _fresh_install():
    """The names installed on a stand-in module, so their warn-once state is new."""
    import types
    import varnel.zel._linalg_tail as tail
    space = types.SimpleNamespace(**{n: getattr(zel, n) for n in dir(zel) if not n.startswith("__")})
    space.__name__ = "stand_in"
    for name in ("qr", "cross", "lu", "lu_unpack", "lu_solve", "cholesky_inverse", "symeig", "geqrf", "orgqr",
                 "ormqr", "svd_lowrank", "pca_lowrank"):
        delattr(space, name)
    space.linalg = types.SimpleNamespace(**{n: getattr(zel.linalg, n) for n in dir(zel.linalg)
                                            if not n.startswith("__")})
    tail.install(space)
    return space


@pytest.mark.parametrize("name,fn,make", [
    ("geqrf", lambda a: zel.geqrf(a).a, lambda: rand_limbs(4, 3, seed=81)),
    ("householder_product", lambda a: L.householder_product(*zel.geqrf(a)), lambda: rand_limbs(4, 3, seed=82)),
    ("cholesky_inverse", lambda a: zel.cholesky_inverse(zel.tril(a) + zel.eye(3) * 3.0),
     lambda: rand_limbs(3, 3, seed=83)),
    ("ldl_solve", lambda b: L.ldl_solve(*L.ldl_factor(Z(indefinite(4, 84))), b), lambda: rand_limbs(4, 2, seed=85)),
])
def test_gradients(name, fn, make):
    x = make().detach().requires_grad_()
    assert zel.autograd.gradcheck(fn, [x], eps=1e-7, atol=1e-12, rtol=1e-10)


def _operands(m):
    """An identity and its parts for the keyword checks, as torch or library tensors."""
    eye = torch.eye(3, dtype=F64)
    return (eye, eye[0], torch.tensor([1, 2, 3], dtype=torch.int32)) if m is torch else \
        (zel.eye(3), zel.eye(3)[0], torch.tensor([1, 2, 3], dtype=torch.int32))


@pytest.mark.parametrize("call", [
    lambda m, e, v, p: m.cholesky_inverse(input=e, upper=True),
    lambda m, e, v, p: m.orgqr(e, input2=v),
    lambda m, e, v, p: m.ormqr(e, input2=v, input3=e, left=False, transpose=True),
    lambda m, e, v, p: m.linalg.householder_product(input=e, tau=v),
    lambda m, e, v, p: m.cross(input=e, other=e, dim=0),
    lambda m, e, v, p: m.lu(A=e, pivot=True, get_infos=True),
    lambda m, e, v, p: m.geqrf(input=e),
    lambda m, e, v, p: m.linalg.ldl_solve(LD=e, pivots=p, B=e, hermitian=False),
    lambda m, e, v, p: m.linalg.vander(v, N=3),
    lambda m, e, v, p: m.lu_unpack(LU_data=e, LU_pivots=p, unpack_data=False),
    lambda m, e, v, p: e.lu_solve(LU_data=e, LU_pivots=p),
    lambda m, e, v, p: e.cholesky_inverse(True),
    lambda m, e, v, p: e.orgqr(input2=v),
])
def test_keywords_are_pytorchs(call):
    call(torch, *_operands(torch))
    call(zel, *_operands(zel))


@pytest.mark.parametrize("call", [
    lambda m, e, v, p: m.cholesky_inverse(L=e),      # PyTorch documents L but takes input
    lambda m, e, v, p: m.orgqr(e, tau=v),
    lambda m, e, v, p: m.ormqr(e, tau=v, other=e),
    lambda m, e, v, p: m.linalg.householder_product(A=e, tau=v),
    lambda m, e, v, p: m.linalg.vander(v, 3),          # N is keyword-only
    lambda m, e, v, p: m.linalg.diagonal(e, 1),        # so is offset
])
def test_keywords_pytorch_refuses(call):
    with pytest.raises(TypeError):
        call(torch, *_operands(torch))
    with pytest.raises(TypeError):
        call(zel, *_operands(zel))


def test_out_receives_the_result():
    a = rand(3, 3, seed=91)
    got = zel.zeros((3, 3))
    r = zel.cholesky_inverse(Z(torch.eye(3, dtype=F64) * 2.0), out=got)
    assert r is got
    close(got, torch.eye(3, dtype=F64) * 0.25)
    q, r = zel.zeros((3, 3)), zel.zeros((3, 3))
    result = zel.qr(Z(a), out=(q, r))
    assert type(result).__name__ == "qr" and result.Q is q and result.R is r
    close(q, torch_qr(a).Q)
    ld, piv = zel.zeros((3, 3)), torch.zeros(3, dtype=torch.int32)
    L.ldl_factor(Z(a + a.mT), out=(ld, piv))
    assert torch.equal(piv, T.ldl_factor(a + a.mT).pivots)


@pytest.mark.parametrize("out", [zel.zeros((2, 2)), torch.zeros(3, 3, dtype=F64), (zel.zeros((3, 3)),), "x"])
def test_out_of_the_wrong_shape_or_kind_is_refused(out):
    with pytest.raises((RuntimeError, TypeError)):
        zel.ormqr(*zel.geqrf(zel.eye(3)), zel.eye(3), out=out)


@pytest.mark.parametrize("call", [
    lambda m, e, v, p: m.qr(e, 1),
    lambda m, e, v, p: m.cholesky_inverse(e, 1),
    lambda m, e, v, p: m.ormqr(e, v, e, 1),
    lambda m, e, v, p: m.linalg.ldl_factor(e, hermitian=1),
    lambda m, e, v, p: m.lu(e, pivot=1),
    lambda m, e, v, p: m.cross(e, e, 1.0),
    lambda m, e, v, p: m.linalg.vander(v, N=2.0),
])
def test_flags_are_bools_and_dims_ints(call):
    # (PyTorch 2 has removed torch.qr: it raises RuntimeError for any call)
    with pytest.raises((TypeError, RuntimeError) if torch.__version__ >= "2" else TypeError):
        call(torch, *_operands(torch))
    with pytest.raises(TypeError):
        call(zel, *_operands(zel))


def test_python_level_flags_take_any_truth_value():
    e = torch.eye(3, dtype=F64)
    assert len(torch.lu(e, get_infos=1)) == len(zel.lu(zel.eye(3), get_infos=1)) == 3
    assert zel.pca_lowrank(zel.eye(3), center=0)[1].shape == torch.pca_lowrank(e, center=0)[1].shape


@pytest.mark.parametrize("exact", [True, False])
def test_linalg_qr_q_stays_orthonormal_on_rank_deficient_input(exact):
    # A column that is (or is nearly) the sum of two others: the entries the
    # reflectors cancel must not leave Q's last column unnormalised.
    a = torch.tensor([[1.0, 2.0, 3.0], [4.0, 5.0, 9.0], [7.0, 8.0, 15.0], [1.0, 0.0, 1.0]], dtype=F64)
    if not exact:
        a[0, 2] += 1e-15
    q, r = L.qr(Z(a))
    assert limb_max(q.mT @ q - zel.eye(3)) < 1e-29
    assert limb_max(q @ r - Z(a)) < 1e-28


def test_absurd_batches_are_refused_before_allocating():
    # 2^31 empty matrices: one tensor each would exhaust memory.
    x = zel.zeros(2 ** 31, 0, 2 ** 31)
    with pytest.raises(RuntimeError, match="batch of 2147483648 matrices"):
        zel.qr(x)
