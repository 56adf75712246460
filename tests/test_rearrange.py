"""Shape and construction functions beyond the defined ones, against
PyTorch float64 (values, shapes, error types) and exact limb results."""
import math
import random
from fractions import Fraction

import pytest
import torch

from varnel.zel import zel
from conftest import from_rows, limbs_of, random_rows, same_rows

Tensor = zel.Tensor


def as_torch(t):
    return torch.tensor(t.tolist(), dtype=torch.float64).reshape(tuple(t.shape))


def close(got, want, tol=1e-12):
    g = as_torch(got)
    assert tuple(g.shape) == tuple(want.shape), (tuple(g.shape), tuple(want.shape))
    assert torch.allclose(g, want.to(torch.float64), rtol=tol, atol=tol), (g, want)


def pair(rng, shape):
    n = math.prod(shape)
    x = torch.tensor([float(rng.randint(-9, 9)) + rng.random() for _ in range(n)], dtype=torch.float64).reshape(shape)
    return (Tensor(x.tolist()) if shape else Tensor(x.item())), x


def exact(t):
    return [sum(Fraction(x) for x in row) for row in limbs_of(t)]


class TestReordering:
    def test_flip_roll_rot90(self):
        z, t = pair(random.Random(1), (2, 3, 4))
        for dims in ((0,), (2,), (0, 2), (-1, 1)):
            close(zel.flip(z, dims), torch.flip(t, dims))
            close(z.flip(*dims), t.flip(dims))
        close(zel.fliplr(z), torch.fliplr(t))
        close(z.flipud(), t.flipud())
        for shifts, dims in ((1, 0), (-2, 2), ((1, 5), (0, 2)), (3, None), (7, -1)):
            close(zel.roll(z, shifts, dims), torch.roll(t, shifts, dims))
        for k in (-1, 0, 1, 2, 3, 5):
            close(zel.rot90(z, k, (1, 2)), torch.rot90(t, k, (1, 2)))
        with pytest.raises(RuntimeError):
            zel.flip(z, (0, 0))
        with pytest.raises(RuntimeError):
            zel.roll(z, (1, 2), (0,))

    def test_moves_copy_all_limbs(self):
        rows = random_rows(random.Random(2), 6)
        z = from_rows(rows, shape=(2, 3))
        assert same_rows(limbs_of(z.flip(0, 1)), rows[::-1])
        assert same_rows(limbs_of(z.roll(1)), rows[-1:] + rows[:-1])
        assert same_rows(limbs_of(z.t().t()), rows)

    def test_movedim_swapaxes_narrow_tile_unbind(self):
        z, t = pair(random.Random(3), (2, 3, 4))
        close(zel.movedim(z, 0, 2), torch.movedim(t, 0, 2))
        close(z.movedim((0, 1), (2, 0)), t.movedim((0, 1), (2, 0)))
        close(zel.moveaxis(z, -1, 0), torch.moveaxis(t, -1, 0))
        close(zel.swapaxes(z, 0, 2), torch.swapaxes(t, 0, 2))
        close(z.swapdims(1, 2), t.swapdims(1, 2))
        close(zel.narrow(z, 1, 1, 2), torch.narrow(t, 1, 1, 2))
        close(z.narrow(-1, -3, 2), t.narrow(-1, -3, 2))
        for dims in ((2,), (1, 2), (2, 1, 1, 2)):
            close(zel.tile(z, dims), torch.tile(t, dims))
        parts = zel.unbind(z, 1)
        assert isinstance(parts, tuple) and len(parts) == 3
        for got, want in zip(parts, torch.unbind(t, 1)):
            close(got, want)
        with pytest.raises(RuntimeError):
            zel.narrow(z, 0, 1, 5)
        with pytest.raises(RuntimeError):
            zel.movedim(z, (0, 1), (1,))

    def test_tensor_methods(self):
        z, t = pair(random.Random(4), (3, 4))
        close(z.t(), t.t())
        close(zel.t(z), torch.t(t))
        close(z.mT, t.mT)
        close(z.permute(1, 0), t.permute(1, 0))
        close(z.permute((1, 0)), t.permute((1, 0)))
        close(z.repeat(2, 1, 1), t.repeat(2, 1, 1))
        o, to = pair(random.Random(5), (2, 6))
        close(z.view_as(o), t.view_as(to))
        close(z.reshape_as(o), t.reshape_as(to))
        r, tr = pair(random.Random(6), (1, 4))
        close(r.expand_as(z), tr.expand_as(t))
        with pytest.raises(RuntimeError):
            Tensor([[[1.0]]]).t()
        with pytest.raises(RuntimeError):
            Tensor([1.0]).mT

    def test_flatten_unflatten(self):
        z, t = pair(random.Random(7), (2, 3, 4))
        close(zel.flatten(z), torch.flatten(t))
        close(zel.flatten(z, 1), torch.flatten(t, 1))
        close(zel.unflatten(z, 2, (2, 2)), torch.unflatten(t, 2, (2, 2)))
        close(z.unflatten(1, (-1, 1)), t.unflatten(1, (-1, 1)))
        with pytest.raises(ValueError):
            z.unflatten(1, (2, 2))


class TestTrianglesAndDiagonals:
    def test_tril_triu(self):
        z, t = pair(random.Random(8), (2, 3, 5))
        for k in (-3, -1, 0, 1, 4, 9):
            close(zel.tril(z, k), torch.tril(t, k))
            close(z.triu(diagonal=k), t.triu(diagonal=k))
        assert limbs_of(zel.triu(Tensor([[1.0, 2.0], [3.0, 4.0]])))[2] == [0.0] * 8
        with pytest.raises(RuntimeError):
            zel.tril(Tensor([1.0]))

    def test_diag_diagonal_diag_embed_trace(self):
        v, tv = pair(random.Random(9), (3,))
        m, tm = pair(random.Random(10), (3, 4))
        b, tb = pair(random.Random(11), (2, 3, 4))
        for k in (-2, 0, 1, 3):
            close(zel.diag(v, k), torch.diag(tv, k))
            close(zel.diag(m, k), torch.diag(tm, k))
            close(zel.diagonal(b, k, 1, 2), torch.diagonal(tb, k, 1, 2))
            close(b.diagonal(offset=k, dim1=2, dim2=0), tb.diagonal(offset=k, dim1=2, dim2=0))
            close(zel.diag_embed(m, k), torch.diag_embed(tm, k))
            close(zel.diag_embed(m, k, 0, 2), torch.diag_embed(tm, k, 0, 2))
            close(zel.diag_embed(m, k, 2, 0), torch.diag_embed(tm, k, 2, 0))
        close(zel.trace(m), torch.trace(tm))
        close(m.trace(), tm.trace())
        with pytest.raises(RuntimeError):
            zel.diag(b)
        with pytest.raises(RuntimeError):
            zel.trace(v)

    def test_trace_is_the_limb_tree_sum(self):
        m = Tensor([[1e16, 5.0], [7.0, 1.0]]) - Tensor([[0.0, 0.0], [0.0, 1e16]])
        assert exact(m.trace()) == [Fraction(1)]


class TestProducts:
    def test_outer_kron_vander(self):
        a, ta = pair(random.Random(12), (3,))
        b, tb = pair(random.Random(13), (4,))
        close(zel.outer(a, b), torch.outer(ta, tb))
        close(a.ger(b), ta.ger(tb))
        for sa, sb in (((2, 2), (3, 1)), ((3,), (2, 2)), ((2, 1, 2), (2, 3))):
            x, tx = pair(random.Random(14), sa)
            y, ty = pair(random.Random(15), sb)
            close(zel.kron(x, y), torch.kron(tx, ty))
        for n in (None, 0, 1, 4):
            for inc in (False, True):
                close(zel.vander(a, n, inc), torch.vander(ta, N=n, increasing=inc))

    def test_outer_uses_the_limb_product(self):
        x = 1.0 + 2.0 ** -30
        got = exact(zel.outer(Tensor([x]), Tensor([x])))
        assert got == [Fraction(x) ** 2]

    EQUATIONS = [
        ("ij,jk->ik", [(3, 4), (4, 5)]),
        ("bij,bjk->bik", [(2, 3, 4), (2, 4, 5)]),
        ("bij,bkj->bki", [(2, 3, 4), (2, 5, 4)]),
        ("ij,jk", [(3, 4), (4, 2)]),
        ("i,i->", [(5,), (5,)]),
        ("i,j->ij", [(3,), (4,)]),
        ("ii->i", [(4, 4)]),
        ("ii", [(3, 3)]),
        ("ij->ji", [(2, 3)]),
        ("ij->", [(2, 3)]),
        ("...ij,...jk->...ik", [(2, 1, 3, 4), (3, 4, 2)]),
        ("...ij->...ji", [(2, 3, 4)]),
        ("ij...->j", [(2, 3, 4, 5)]),
        ("bn,anm,bm->ba", [(2, 3), (4, 3, 5), (2, 5)]),
        ("iij->j", [(3, 3, 2)]),
        ("ij,kj", [(1, 3), (2, 3)]),
        ("ij,j", [(2, 1), (3,)]),
        ("Ab,bc->Ac", [(2, 3), (3, 2)]),
        ("i j , j k -> i k", [(2, 3), (3, 2)]),
    ]

    @pytest.mark.parametrize("eq,shapes", EQUATIONS)
    def test_einsum_against_torch(self, eq, shapes):
        rng = random.Random(hash(eq) % 1000)
        ops = [pair(rng, s) for s in shapes]
        close(zel.einsum(eq, *[z for z, _ in ops]), torch.einsum(eq, *[t for _, t in ops]))
        close(zel.einsum(eq, [z for z, _ in ops]), torch.einsum(eq, [t for _, t in ops]))

    def test_einsum_matmul_route_keeps_the_matmul_bits(self):
        rows = random_rows(random.Random(16), 2 * 3 * 4 + 2 * 4 * 5)
        a = from_rows(rows[:24], shape=(2, 3, 4))
        b = from_rows(rows[24:], shape=(2, 4, 5))
        want = limbs_of(zel.matmul(a, b))
        assert same_rows(limbs_of(zel.einsum("bij,bjk->bik", a, b)), want)
        # the same contraction by the general loop (operands transposed in
        # the equation, so the route is not taken for the left one's diagonal)
        c = zel.einsum("bij,bjk,k->bik", a, b, Tensor([1.0] * 5))
        assert same_rows(limbs_of(c), want)

    def test_einsum_cancellation_is_exact(self):
        a = Tensor([[1e16, 1.0, -1e16]])
        assert exact(zel.einsum("ij,j->i", a, Tensor([1.0, 1.0, 1.0]))) == [Fraction(1)]

    @pytest.mark.parametrize("eq,shapes", [
        ("ij,jk->ik", [(2, 3), (4, 2)]),
        ("ij->k", [(2, 2)]),
        ("ij->ii", [(2, 2)]),
        ("ij", [(2, 2, 2)]),
        ("ij,jk", [(2, 2)]),
        ("i.j", [(2, 2)]),
        ("i1", [(2, 2)]),
        ("ii", [(2, 3)]),
    ])
    def test_einsum_errors_as_torch(self, eq, shapes):
        ops = [pair(random.Random(0), s) for s in shapes]
        with pytest.raises(RuntimeError):
            torch.einsum(eq, *[t for _, t in ops])
        with pytest.raises(RuntimeError):
            zel.einsum(eq, *[z for z, _ in ops])

    def test_tensordot(self):
        a, ta = pair(random.Random(17), (2, 3, 4))
        b, tb = pair(random.Random(18), (4, 3, 2))
        close(zel.tensordot(a, b, ([1, 2], [1, 0])), torch.tensordot(ta, tb, ([1, 2], [1, 0])))
        c, tc = pair(random.Random(19), (3, 4, 5))
        close(zel.tensordot(a, c, 2), torch.tensordot(ta, tc, 2))
        close(zel.tensordot(a, c, 0), torch.tensordot(ta, tc, 0))
        with pytest.raises(RuntimeError):
            zel.tensordot(a, b, ([0], [0]))

    @pytest.mark.parametrize("p", [0.0, 1.0, 2.0, 3.0, 0.5, math.inf])
    def test_cdist(self, p):
        x, tx = pair(random.Random(20), (4, 3))
        y, ty = pair(random.Random(21), (5, 3))
        close(zel.cdist(x, y, p), torch.cdist(tx, ty, p), tol=1e-10)
        bx, tbx = pair(random.Random(22), (2, 4, 3))
        close(zel.cdist(bx, y, p), torch.cdist(tbx, ty, p), tol=1e-10)

    def test_cdist_errors(self):
        with pytest.raises(RuntimeError):
            zel.cdist(Tensor([[1.0, 2.0]]), Tensor([[1.0]]))
        with pytest.raises(RuntimeError):
            zel.cdist(Tensor([[1.0]]), Tensor([[1.0]]), -1.0)


class TestBroadcastAndJoin:
    def test_broadcast_to_and_tensors_and_meshgrid(self):
        z, t = pair(random.Random(23), (3, 1))
        close(zel.broadcast_to(z, (2, 3, 4)), torch.broadcast_to(t, (2, 3, 4)))
        close(z.broadcast_to((3, 2)), t.broadcast_to((3, 2)))
        with pytest.raises(RuntimeError):
            zel.broadcast_to(z, (2, 2))
        w, tw = pair(random.Random(24), (4,))
        for got, want in zip(zel.broadcast_tensors(z, w), torch.broadcast_tensors(t, tw)):
            close(got, want)
        a, ta = pair(random.Random(25), (2,))
        for indexing in ("ij", "xy"):
            got = zel.meshgrid(a, w, indexing=indexing)
            want = torch.meshgrid(ta, tw, indexing=indexing)
            assert len(got) == 2
            for g, x in zip(got, want):
                close(g, x)

    def test_stacks_and_atleast(self):
        a, ta = pair(random.Random(26), (3,))
        b, tb = pair(random.Random(27), (3,))
        m, tm = pair(random.Random(28), (2, 3))
        close(zel.hstack([a, b]), torch.hstack([ta, tb]))
        close(zel.vstack((a, m)), torch.vstack((ta, tm)))
        close(zel.column_stack([a, b, m.t()]), torch.column_stack([ta, tb, tm.t()]))
        close(zel.hstack([m, m]), torch.hstack([tm, tm]))
        s = Tensor(2.0)
        for f in ("atleast_1d", "atleast_2d", "atleast_3d"):
            for x, tx in ((s, torch.tensor(2.0, dtype=torch.float64)), (a, ta), (m, tm)):
                close(getattr(zel, f)(x), getattr(torch, f)(tx))
            got = getattr(zel, f)(s, a)
            assert isinstance(got, tuple) and len(got) == 2
        with pytest.raises(TypeError):
            zel.hstack(a)


class TestEdgeCases:
    def test_empty_and_zero_d(self):
        e = Tensor([]).reshape(0, 3)
        te = torch.zeros(0, 3, dtype=torch.float64)
        for f in ("fliplr", "flipud"):
            assert tuple(getattr(zel, f)(e).shape) == tuple(getattr(torch, f)(te).shape)
        assert tuple(zel.tril(e).shape) == (0, 3) and tuple(zel.diag(e).shape) == (0,)
        assert zel.trace(e).item() == 0.0
        assert tuple(zel.einsum("ij->j", e).shape) == (3,) and zel.einsum("ij->j", e).tolist() == [0.0] * 3
        assert tuple(zel.cdist(e, Tensor([[1.0, 2.0, 3.0]])).shape) == (0, 1)
        s = Tensor(3.0)
        assert zel.flip(s, ()).item() == 3.0 and zel.roll(s, 1).item() == 3.0
        assert zel.einsum("->", s).item() == 3.0 and zel.einsum(",->", s, s).item() == 9.0

    def test_non_contiguous_inputs(self):
        z, t = pair(random.Random(40), (3, 4, 2))
        zp, tp = zel.permute(z, (2, 0, 1)), t.permute(2, 0, 1)
        close(zel.einsum("bij,bjk->bik", zp, zel.permute(z, (2, 1, 0))), torch.einsum("bij,bjk->bik", tp, t.permute(2, 1, 0)))
        close(zel.diagonal(zp, 0, 1, 2), torch.diagonal(tp, 0, 1, 2))
        close(zel.roll(zp[:, 1:], (1, -1), (1, 2)), torch.roll(tp[:, 1:], (1, -1), (1, 2)))

    def test_absurd_sizes_are_refused(self):
        big = Tensor([1.0, 2.0])
        with pytest.raises((RuntimeError, ValueError)):
            zel.tile(big, (2 ** 40, 2 ** 30))
        with pytest.raises((RuntimeError, ValueError)):
            zel.vander(big, 2 ** 61)
        with pytest.raises((RuntimeError, ValueError)):
            zel.kron(zel.zeros(2 ** 17), zel.zeros(2 ** 17))
