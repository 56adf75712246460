"""Reshaping, transposition, joining, splitting and repetition.

Layout operations must move the 8 limbs of every element together; each one
is compared with PyTorch applied to every limb column of a (*shape, 8) array
whose limbs are all non-zero and distinct.
"""
import math
import random

import pytest
import torch

from varnel.zel import zel

Tensor = zel.Tensor
SCALES = 2.0 ** (-53.0 * torch.arange(8, dtype=torch.float64))


def limb_tensor(shape, gen):
    """A Tensor of `shape` with distinct non-zero limbs, and those limbs as a (*shape, 8) array."""
    limbs = torch.randn(*shape, 8, generator=gen, dtype=torch.float64) * SCALES
    return zel.from_limbs(limbs.clone()), limbs


def per_limb(op, limbs):
    """`op` applied to every limb column, reassembled as a (*shape, 8) array."""
    return torch.stack([op(limbs[..., k]) for k in range(8)], dim=-1)


def assert_limbs(result, expected):
    got = result.torch_limbs()
    assert tuple(got.shape) == tuple(expected.shape)
    assert result.shape == tuple(expected.shape[:-1])
    assert torch.equal(got, expected)


def random_shape(rng, min_rank=0, max_rank=4, max_size=4):
    return tuple(rng.randint(0 if rng.random() < 0.1 else 1, max_size) for _ in range(rng.randint(min_rank, max_rank)))


@pytest.fixture
def gen():
    return torch.Generator().manual_seed(1234)


class TestReshapeFamily:
    def test_reshape_forms_and_inference(self, gen):
        t, L = limb_tensor((2, 3), gen)
        assert_limbs(t.reshape(-1), L.reshape(6, 8))
        for r in (t.reshape((3, -1)), t.reshape([3, -1]), t.reshape(3, -1), t.reshape(torch.Size([3, 2]))):
            assert_limbs(r, L.reshape(3, 2, 8))
        assert_limbs(t.view(6), L.reshape(6, 8))
        assert_limbs(zel.reshape(t, (1, 6, 1)), L.reshape(1, 6, 1, 8))
        assert Tensor(5.0).reshape(()).shape == () and Tensor([5.0]).reshape().shape == ()

    def test_reshape_matches_pytorch(self, gen):
        rng = random.Random(11)
        for _ in range(100):
            shape = random_shape(rng)
            n = math.prod(shape)
            divisors = [d for d in range(1, n + 1) if n % d == 0] or [1]
            a = rng.choice(divisors)
            target = rng.choice([(a, -1), (-1, a), (n,), (a, 1, n // a if n else 0), (-1,)])
            t, L = limb_tensor(shape, gen)
            if n == 0 and -1 in target:
                continue
            assert_limbs(t.reshape(target), L.reshape(*target, 8))

    def test_reshape_checks_the_element_count(self):
        t = Tensor([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]])
        with pytest.raises(ValueError, match=r"shape \(2, 3\).*shape \(4, -1\)"):
            t.reshape(4, -1)
        with pytest.raises(ValueError, match=r"\(2, 3\).*\(7,\)"):
            t.view(7)
        with pytest.raises(ValueError, match="only one dimension can be inferred"):
            t.reshape(-1, -1)
        with pytest.raises(ValueError, match="invalid size -2"):
            t.reshape(-2, -3)
        with pytest.raises(ValueError, match="ambiguous"):
            Tensor([]).reshape(0, -1)
        with pytest.raises(ValueError):
            t.reshape(2 ** 62, 2 ** 62, 0, -1)
        with pytest.raises(ValueError, match="out of range"):
            t.reshape(2 ** 70)
        for bad in ((2.0, 3), ("2", 3), (None,), ([2], 3)):
            with pytest.raises(TypeError):
                t.reshape(*bad)

    def test_flatten(self, gen):
        t, L = limb_tensor((2, 3, 4, 1), gen)
        for start, end in ((0, -1), (1, 2), (-3, -2), (2, 2), (0, 0), (3, -1)):
            assert_limbs(t.flatten(start, end), per_limb(lambda x: x.flatten(start, end), L))
        assert t.flatten(end_dim=1).shape == (6, 4, 1)
        s = Tensor(3.5).flatten()
        assert s.shape == (1,) and s.tolist() == [3.5]
        with pytest.raises(ValueError, match="start_dim"):
            t.flatten(2, 1)
        with pytest.raises(IndexError):
            t.flatten(4)

    def test_squeeze(self, gen):
        t, L = limb_tensor((1, 3, 1, 2), gen)
        assert_limbs(t.squeeze(), L.reshape(3, 2, 8))
        assert_limbs(t.squeeze(2), L.reshape(1, 3, 2, 8))
        assert_limbs(t.squeeze(-4), L.reshape(3, 1, 2, 8))
        assert_limbs(t.squeeze(1), L)  # not of size 1: an unchanged copy
        assert_limbs(zel.squeeze(t, 0), L.reshape(3, 1, 2, 8))
        one = Tensor([[7.0]]).squeeze()
        assert one.shape == () and tuple(one._data.shape) == (1, 8)
        assert Tensor(2.0).squeeze(0).shape == ()
        with pytest.raises(IndexError):
            t.squeeze(4)
        with pytest.raises(TypeError, match=r"Argument 'dim' has incorrect type \(expected int, got str\)"):
            t.squeeze("0")

    def test_unsqueeze(self, gen):
        t, L = limb_tensor((3,), gen)
        assert_limbs(t.unsqueeze(-1), L.reshape(3, 1, 8))
        assert_limbs(t.unsqueeze(0), L.reshape(1, 3, 8))
        assert_limbs(zel.unsqueeze(t, 1), L.reshape(3, 1, 8))
        assert zel.unsqueeze(t, 1.9).shape == (3, 1)  # int(): truncated
        assert zel.unsqueeze(input=t, dim=-2).shape == (1, 3)
        assert Tensor(1.0).unsqueeze(0).shape == (1,)
        for dim in (2, -3, 10 ** 6):
            with pytest.raises(IndexError):
                t.unsqueeze(dim)
        with pytest.raises(TypeError, match=r"Argument 'dim' has incorrect type \(expected int, got str\)"):
            zel.unsqueeze(t, "x")

    def test_expand_matches_pytorch(self, gen):
        cases = [((3, 1), (3, 4)), ((3,), (2, 3)), ((1,), (5,)), ((), (2, 2)), ((2, 1, 3), (-1, 4, -1)),
                 ((1, 3), (0, 3)), ((2, 3), (2, 3)), ((1,), (2, 1, 3))]
        for shape, sizes in cases:
            t, L = limb_tensor(shape, gen)
            expected = per_limb(lambda x: x.expand(*sizes).contiguous(), L)
            assert_limbs(t.expand(*sizes), expected)
            assert_limbs(t.expand(sizes), expected)

    def test_expand_rejects_what_pytorch_rejects(self):
        t = Tensor([[1.0, 2.0, 3.0]])
        with pytest.raises(ValueError, match=r"expanded size \(4\) must match the existing size \(3\)"):
            t.expand(2, 4)
        with pytest.raises(ValueError, match="number of sizes"):
            t.expand(3)
        with pytest.raises(ValueError):
            t.expand(-1, 1, 3)
        with pytest.raises(RuntimeError, match="memory"):
            t.expand(10 ** 12, 3)

    def test_results_own_their_limbs(self, gen):
        t, L = limb_tensor((2, 1, 3), gen)
        results = [t.reshape(6), t.view(3, 2), t.flatten(), t.squeeze(), t.squeeze(1), t.unsqueeze(0),
                   t.expand(2, 2, 3), t.transpose(0, 2), t.T, zel.permute(t, (2, 0, 1)), zel.cat([t]),
                   zel.stack([t]), zel.repeat(t, 1, 1, 1), zel.split(t, 1)[0], zel.chunk(t, 1)[0]]
        for r in results:
            r[...] = 0.0
        assert torch.equal(t.torch_limbs(), L)


class TestTransposePermute:
    def test_transpose_moves_all_limbs(self, gen):
        t, L = limb_tensor((2, 3), gen)
        out = t.transpose(0, 1)
        assert_limbs(out, L.transpose(0, 1))
        assert all(out.torch_limbs()[j, i].tolist() == L[i, j].tolist() for i in range(2) for j in range(3))
        assert_limbs(t.transpose(-2, -1), L.transpose(0, 1))
        assert_limbs(t.T, L.transpose(0, 1))
        assert_limbs(zel.transpose(t, 1, 0), L.transpose(0, 1))

    def test_matches_pytorch_for_random_shapes(self, gen):
        rng = random.Random(5)
        for _ in range(120):
            shape = random_shape(rng, min_rank=2, max_rank=5)
            t, L = limb_tensor(shape, gen)
            nd = len(shape)
            d0, d1 = rng.randrange(-nd, nd), rng.randrange(-nd, nd)
            assert_limbs(t.transpose(d0, d1), per_limb(lambda x: x.transpose(d0, d1).contiguous(), L))
            perm = list(range(nd))
            rng.shuffle(perm)
            dims = [p - nd if rng.random() < 0.3 else p for p in perm]
            assert_limbs(zel.permute(t, dims), per_limb(lambda x: x.permute(*perm).contiguous(), L))
            assert_limbs(t.T, per_limb(lambda x: x.transpose(-2, -1).contiguous(), L))

    def test_rank_below_two_gives_a_copy(self, gen):
        for shape in ((), (4,)):
            t, L = limb_tensor(shape, gen)
            for r in (t.transpose(0, 1), t.T):
                assert_limbs(r, L)
                r[...] = 1.0
            assert torch.equal(t.torch_limbs(), L)

    def test_permute_of_large_tensor(self, gen):
        t, L = limb_tensor((17, 33, 9), gen)
        assert_limbs(zel.permute(t, (2, 0, 1)), L.permute(2, 0, 1, 3).contiguous())
        assert_limbs(zel.permute(t, [1, 2, 0]), L.permute(1, 2, 0, 3).contiguous())

    def test_bad_dims_raise(self, gen):
        t, _ = limb_tensor((2, 3, 4), gen)
        with pytest.raises(IndexError, match="out of range"):
            t.transpose(0, 3)
        with pytest.raises(IndexError):
            zel.permute(t, (0, 1, 3))
        with pytest.raises(ValueError, match="number of dims"):
            zel.permute(t, (0, 1))
        with pytest.raises(ValueError, match="more than once"):
            zel.permute(t, (0, 1, 1))
        with pytest.raises(ValueError, match="more than once"):
            zel.permute(t, (0, 1, -2))
        with pytest.raises(TypeError):
            zel.permute(t, 0)
        with pytest.raises(TypeError):
            zel.permute(t, (0, 1.0, 2))
        with pytest.raises(TypeError, match="must be Tensor"):
            zel.permute(torch.zeros(2, 3), (1, 0))
        with pytest.raises(TypeError, match="dim0"):
            t.transpose("a", 1)


class TestCatStack:
    def test_defined_cases(self, gen):
        a, La = limb_tensor((2, 3), gen)
        b, Lb = limb_tensor((4, 3), gen)
        assert_limbs(zel.cat([a, b]), torch.cat([La, Lb]))
        one = zel.cat([a])
        assert_limbs(one, La)
        one[0] = 9.0
        assert torch.equal(a.torch_limbs(), La)
        x, Lx = limb_tensor((3,), gen)
        y, Ly = limb_tensor((3,), gen)
        assert_limbs(zel.stack([x, y]), torch.stack([Lx, Ly]))

    def test_interleaves_rows_along_any_dim(self, gen):
        rng = random.Random(8)
        for _ in range(80):
            base = random_shape(rng, min_rank=1)
            nd = len(base)
            dim = rng.randrange(-nd, nd)
            parts, limbs = [], []
            for _ in range(rng.randint(1, 4)):
                shape = list(base)
                shape[dim] = rng.randint(0, 3)
                t, L = limb_tensor(tuple(shape), gen)
                parts.append(t)
                limbs.append(L)
            d = dim if dim >= 0 else dim - 1  # the limb axis comes last
            assert_limbs(zel.cat(parts, dim), torch.cat(limbs, d))
            assert_limbs(zel.cat(parts, dim=dim), torch.cat(limbs, d))

    def test_stack_along_any_dim(self, gen):
        rng = random.Random(9)
        for _ in range(60):
            shape = random_shape(rng, max_rank=3)
            nd = len(shape)
            dim = rng.randrange(-nd - 1, nd + 1)
            pairs = [limb_tensor(shape, gen) for _ in range(rng.randint(1, 3))]
            d = dim if dim >= 0 else dim - 1
            assert_limbs(zel.stack([p[0] for p in pairs], dim), torch.stack([p[1] for p in pairs], d))

    def test_argument_rules(self):
        a = Tensor([[1.0, 2.0]])
        with pytest.raises(TypeError) as info:
            zel.cat((a, a))
        assert str(info.value) == "Argument 'tensors' has incorrect type (expected list, got tuple)"
        with pytest.raises(TypeError) as info:
            zel.stack((a,))
        assert str(info.value) == "Argument 'tensors' has incorrect type (expected list, got tuple)"
        with pytest.raises(ValueError) as info:
            zel.cat([])
        assert str(info.value) == "cat requires at least one tensor"
        with pytest.raises(ValueError) as info:
            zel.stack([])
        assert str(info.value) == "stack requires at least one tensor"
        with pytest.raises(TypeError, match="pos 1"):
            zel.cat([a, 1.0])

    def test_mismatched_shapes_raise(self):
        a, b = Tensor([[1.0, 2.0, 3.0]]), Tensor([[1.0, 2.0]])
        with pytest.raises(ValueError, match=r"position 1 has shape \(1, 2\)"):
            zel.cat([a, b])
        assert zel.cat([a, b], 1).shape == (1, 5)
        with pytest.raises(ValueError):
            zel.cat([a, Tensor([1.0, 2.0, 3.0])])
        with pytest.raises(ValueError, match="zero-dimensional"):
            zel.cat([Tensor(1.0), Tensor(2.0)])
        with pytest.raises(IndexError):
            zel.cat([a, a], 2)
        with pytest.raises(ValueError, match="equal size"):
            zel.stack([a, b])
        with pytest.raises(IndexError):
            zel.stack([a, a], 3)
        assert zel.stack([Tensor(1.0), Tensor(2.0)]).tolist() == [1.0, 2.0]


class TestSplitChunk:
    def test_defined_cases(self, gen):
        v, L = limb_tensor((5,), gen)
        pieces = zel.split(v, 2)
        assert isinstance(pieces, list) and [p.shape for p in pieces] == [(2,), (2,), (1,)]
        for p, e in zip(pieces, torch.split(L, 2)):
            assert_limbs(p, e)
        assert [p.shape for p in zel.split(v, [1, 4])] == [(1,), (4,)]
        assert [p.shape for p in zel.split(v, (1, 4))] == [(1,), (4,)]
        for p, q in zip(zel.chunk(v, 2), zel.split(v, 3)):
            assert p.sha256() == q.sha256()
        assert [p.shape for p in zel.chunk(v, 2)] == [(3,), (2,)]

    def test_any_dim_of_any_rank_matches_pytorch(self, gen):
        rng = random.Random(10)
        for _ in range(80):
            shape = random_shape(rng, min_rank=1)
            nd = len(shape)
            dim = rng.randrange(-nd, nd)
            d = dim if dim >= 0 else dim - 1
            t, L = limb_tensor(shape, gen)
            n = shape[dim]
            size = rng.randint(1, 4)
            got = zel.split(t, size, dim)
            expected = torch.split(L, size, d) if n else ()
            assert len(got) == len(expected)
            for p, e in zip(got, expected):
                assert_limbs(p, e)
            cuts = sorted(rng.randint(0, n) for _ in range(rng.randint(0, 3)))
            sections = [b - a for a, b in zip([0] + cuts, cuts + [n])]
            for p, e in zip(zel.split(t, sections, dim=dim), torch.split(L, sections, d)):
                assert_limbs(p, e)
            chunks = rng.randint(1, 5)
            got = zel.chunk(t, chunks, dim)
            expected = torch.chunk(L, chunks, d) if n else ()
            assert len(got) == len(expected)
            for p, e in zip(got, expected):
                assert_limbs(p, e)

    def test_matrix_rows(self, gen):
        m, L = limb_tensor((3, 2), gen)
        rows = zel.split(m, 1)
        assert len(rows) == 3
        for r, e in zip(rows, torch.split(L, 1)):
            assert_limbs(r, e)

    def test_bad_arguments_raise(self, gen):
        v, _ = limb_tensor((5,), gen)
        with pytest.raises(ValueError):
            zel.split(v, 0)
        with pytest.raises(ValueError):
            zel.split(v, -2)
        with pytest.raises(ValueError, match="add up to 5"):
            zel.split(v, [1, 3])
        with pytest.raises(ValueError, match="add up to 5"):
            zel.split(v, [2 ** 62, 2 ** 62, 2 ** 62])
        with pytest.raises(ValueError, match="non-negative"):
            zel.split(v, [6, -1])
        with pytest.raises(TypeError):
            zel.split(v, 2.0)
        with pytest.raises(TypeError):
            zel.split(v, [1.0, 4.0])
        with pytest.raises(IndexError):
            zel.split(v, 2, 1)
        with pytest.raises(IndexError):
            zel.split(Tensor(1.0), 1)
        with pytest.raises(ZeroDivisionError):
            zel.chunk(v, 0)
        with pytest.raises(ValueError):
            zel.chunk(v, -1)
        with pytest.raises(TypeError, match=r"Argument 'chunks' has incorrect type \(expected int, got str\)"):
            zel.chunk(v, "2")
        assert len(zel.chunk(v, 2.9)) == 2


class TestRepeat:
    def test_defined_cases(self, gen):
        v, L = limb_tensor((2,), gen)
        assert_limbs(zel.repeat(v, 2), L.repeat(2, 1))
        m, Lm = limb_tensor((2, 3), gen)
        assert_limbs(zel.repeat(m, 2, 1), Lm.repeat(2, 1, 1))
        assert_limbs(zel.repeat(m, (2, 1)), Lm.repeat(2, 1, 1))

    def test_matches_pytorch_with_extra_counts(self, gen):
        rng = random.Random(12)
        for _ in range(80):
            shape = random_shape(rng, max_rank=3)
            counts = [rng.randint(0 if rng.random() < 0.1 else 1, 3) for _ in range(len(shape) + rng.randint(0, 2))]
            t, L = limb_tensor(shape, gen)
            assert_limbs(zel.repeat(t, *counts), L.repeat(*counts, 1))

    def test_bad_counts_raise(self):
        m = Tensor([[1.0, 2.0]])
        with pytest.raises(ValueError, match="can not be smaller"):
            zel.repeat(m, 2)
        with pytest.raises(ValueError, match="non-negative"):
            zel.repeat(m, 2, -1)
        with pytest.raises(RuntimeError, match="memory"):
            zel.repeat(m, 10 ** 7, 10 ** 6)
        with pytest.raises(ValueError, match="too many elements"):
            zel.repeat(m, 2 ** 62, 2 ** 62)
        with pytest.raises(TypeError):
            zel.repeat(m, 2, 1.5)
        with pytest.raises(TypeError, match="must be Tensor"):
            zel.repeat([1.0], 2)


@pytest.mark.skipif(not torch.cuda.is_available(), reason="needs CUDA")
class TestDevices:
    def test_results_stay_on_the_source_device(self, gen):
        t, L = limb_tensor((2, 3), gen)
        c = t.cuda()
        for r in (c.transpose(0, 1), zel.permute(c, (1, 0)), zel.cat([c, c], 1), zel.repeat(c, 2, 1),
                  c.reshape(3, 2), c.expand(2, 2, 3), zel.split(c, 1, 1)[0], c[1]):
            assert r.device.type == "cuda"
        assert_limbs(c.transpose(0, 1).cpu(), L.transpose(0, 1))


class TestRobustness:
    ODD_VALUES = [0, 1, -1, 2, -2, 7, 2 ** 31, 2 ** 63 - 1, -(2 ** 63), 2 ** 64, -(2 ** 100), 1.5, float("nan"),
                  float("inf"), True, None, "1", b"1", [], [1], [[1]], (), (1, -1), (2 ** 70,), {}, {1: 2},
                  slice(None), Ellipsis, torch.tensor(1), torch.zeros(2, 3), object()]
    EXPECTED = (TypeError, ValueError, IndexError, RuntimeError, ZeroDivisionError, OverflowError, AttributeError)

    def test_odd_arguments_raise_python_errors(self):
        rng = random.Random(3)
        t = Tensor([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]])
        calls = [lambda a, b: t.reshape(a, b), lambda a, b: t.view(a), lambda a, b: t.flatten(a, b),
                 lambda a, b: t.squeeze(a), lambda a, b: t.unsqueeze(a), lambda a, b: t.expand(a, b),
                 lambda a, b: t.transpose(a, b), lambda a, b: zel.permute(t, a), lambda a, b: zel.cat([t, t], a),
                 lambda a, b: zel.cat(a, b), lambda a, b: zel.stack([t], a), lambda a, b: zel.split(t, a, b),
                 lambda a, b: zel.chunk(t, a, b), lambda a, b: zel.repeat(t, a, b), lambda a, b: t[a, b],
                 lambda a, b: t[a], lambda a, b: t.__setitem__(a, b), lambda a, b: zel.zeros(a, b),
                 lambda a, b: zel.ones(a), lambda a, b: zel.arange(a, b), lambda a, b: zel.linspace(a, b, a),
                 lambda a, b: zel.eye(a, b), lambda a, b: zel.rand(a, b), lambda a, b: zel.randn(a)]
        for _ in range(1500):
            call = rng.choice(calls)
            a, b = rng.choice(self.ODD_VALUES), rng.choice(self.ODD_VALUES)
            try:
                call(a, b)
            except self.EXPECTED:
                pass
        assert t.shape == (2, 3) and tuple(t._data.shape) == (6, 8)

    def test_replaced_limb_arrays_are_validated(self):
        t = Tensor([[1.0, 2.0], [3.0, 4.0]])
        ops = [lambda: t.reshape(4), lambda: t.transpose(0, 1), lambda: t.T, lambda: t.expand(2, 2, 2),
               lambda: zel.permute(t, (1, 0)), lambda: zel.cat([t, t]), lambda: zel.stack([t]),
               lambda: zel.split(t, 1), lambda: zel.chunk(t, 2), lambda: zel.repeat(t, 2, 2), lambda: t[0],
               lambda: t.__setitem__(0, 1.0), lambda: t.squeeze(), lambda: t.flatten()]
        for bad, error in ((torch.zeros(3, 8, dtype=torch.float64), ValueError),
                           (torch.zeros(4, 8, dtype=torch.float32), TypeError),
                           (torch.zeros(32, dtype=torch.float64), ValueError),
                           (torch.zeros(4, 7, dtype=torch.float64), ValueError)):
            t._data = bad
            for op in ops:
                with pytest.raises(error):
                    op()
        u = Tensor([1.0, 2.0])
        u._data = torch.zeros(3, 8, dtype=torch.float64)
        with pytest.raises(ValueError):
            Tensor([[1.0, 2.0]])[0] = u
