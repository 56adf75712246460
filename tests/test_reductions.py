import math
import random
from fractions import Fraction

import pytest
import torch

import reference_reduce as ref
from varnel.zel import zel
from conftest import from_rows, limbs_of, random_rows, same_rows

Tensor = zel.Tensor


def exact(row):
    return sum(Fraction(x) for x in row)


class TestWholeTensorSum:
    def test_cancellation(self):
        assert Tensor([1e8, 1, -1e8]).sum().item() == 1.0
        s = Tensor([1e16, 1.0, -1e16]).sum()
        assert s.shape == () and limbs_of(s)[0][:2] == [0.0, 1.0] and s.item() == 1.0

    def test_tree_shape_for_odd_counts(self):
        xs = [from_rows([r]) for r in random_rows(random.Random(2), 5)]
        t = from_rows([limbs_of(x)[0] for x in xs])
        expected = ((xs[0] + xs[2]) + (xs[1] + xs[3])) + xs[4]
        assert limbs_of(t.sum()) == limbs_of(expected)

    def test_one_element_and_keepdim(self):
        t = from_rows([[1.0, 1e-20, 1e-40, 0, 0, 0, 0, 0]], shape=(1, 1))
        assert t.sum().shape == () and limbs_of(t.sum()) == limbs_of(t)
        assert t.sum(keepdim=True).shape == (1, 1)
        assert t.prod(keepdim=True).shape == ()
        m = Tensor([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]])
        assert m.sum(keepdim=True).shape == () and m.sum().item() == 21.0

    def test_empty(self):
        for r, v in ((Tensor([]).sum(), 0.0), (Tensor([]).prod(), 1.0)):
            assert r.shape == () and tuple(r._data.shape) == (1, 8) and r.item() == v
        for f in (lambda: Tensor([]).max(), lambda: Tensor([]).min(), lambda: Tensor([]).argmax()):
            with pytest.raises(ValueError, match="no elements"):
                f()

    def test_matches_reference_bit_for_bit(self):
        rng = random.Random(11)
        for n in (2, 3, 7, 16, 33, 100):
            rows = random_rows(rng, n)
            t = from_rows(rows)
            assert same_rows(limbs_of(t.sum()), [ref.tree_sum(rows)])
            assert same_rows(limbs_of(t.prod()), [ref.tree_prod(rows)])
            assert same_rows(limbs_of(t.mean()), [ref.mean(rows)])

    def test_exact_sum_of_many_values_with_cancellation(self):
        rng = random.Random(4)
        for n in (10, 257, 3000):
            vals = [rng.randint(-2 ** 40, 2 ** 40) * 2.0 ** rng.randint(-20, 20) for _ in range(n)]
            vals += [-v for v in vals[: n // 3]]
            rng.shuffle(vals)
            s = Tensor(vals).sum()
            assert exact(limbs_of(s)[0]) == sum(Fraction(v) for v in vals)

    def test_product_drops_lower_limbs(self):
        t = from_rows([[1.5, 1e-17, 1e-34, 0, 0, 0, 0, 0], [3.0, -2e-16, 3e-33, 0, 0, 0, 0, 0]])
        assert limbs_of(t.prod())[0][2:] == [0.0] * 6

    def test_mean_values(self):
        assert limbs_of(Tensor([1.0, 2.0, 3.0, 4.0]).mean()) == [[2.5] + [0.0] * 7]
        m = Tensor([[1.0, 2.0, 3.0], [4.0, 5.0, 7.0]]).mean(dim=0)
        assert m.shape == (3,) and m.tolist() == [2.5, 3.5, 5.0]
        assert math.isnan(Tensor([]).mean().item())


class TestAlongDim:
    M = [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]]

    def test_sums_and_shapes(self):
        m = Tensor(self.M)
        assert m.sum(dim=0).shape == (3,) and m.sum(dim=0).tolist() == [5.0, 7.0, 9.0]
        assert m.sum(dim=1).tolist() == [6.0, 15.0]
        assert m.sum(dim=-1, keepdim=True).shape == (2, 1)
        assert m.sum(dim=1.7).tolist() == [6.0, 15.0]
        assert zel.sum(m, 0).tolist() == [5.0, 7.0, 9.0]

    def test_every_axis_matches_reference(self):
        rng = random.Random(8)
        for shape in ((2, 3, 4), (3, 1, 5), (4, 2), (5,)):
            rows = random_rows(rng, math.prod(shape))
            t = from_rows(rows, shape)
            for dim in range(-len(shape), len(shape)):
                for keepdim in (False, True):
                    r = t.sum(dim=dim, keepdim=keepdim)
                    want = list(shape)
                    if keepdim:
                        want[dim] = 1
                    else:
                        del want[dim]
                    assert r.shape == tuple(want)
                    assert same_rows(limbs_of(r), ref.reduce_dim(rows, shape, dim, ref.tree_sum))
                assert same_rows(limbs_of(t.prod(dim=dim)), ref.reduce_dim(rows, shape, dim, ref.tree_prod))
                assert same_rows(limbs_of(t.var(dim=dim, unbiased=False)),
                                 ref.reduce_dim(rows, shape, dim, lambda c: ref.var(c, False)))

    def test_reduce_dim_rules(self):
        m = Tensor(self.M)
        with pytest.raises(ValueError) as info:
            m._reduce_dim(0, False, "mean")
        assert str(info.value) == "Unknown op: mean"
        with pytest.raises(TypeError) as info:
            m._reduce_dim("0", False, "sum")
        assert str(info.value) == "Argument 'dim' has incorrect type (expected int, got str)"
        with pytest.raises(TypeError) as info:
            m._reduce_dim(0, False, 3)
        assert str(info.value) == "Argument 'op' has incorrect type (expected str, got int)"
        with pytest.raises(IndexError):
            m.sum(dim=2)
        with pytest.raises(IndexError):
            m.sum(dim=-3)

    def test_length_one_axis_and_empty_slices(self):
        t = from_rows([[1.0, 1e-20, 0, 0, 0, 0, 0, 0], [2.0, 0, 0, 0, 0, 0, 0, 3e-40]], shape=(2, 1))
        assert limbs_of(t.sum(dim=1)) == limbs_of(t) and t.sum(dim=1).shape == (2,)
        assert t.max(dim=1, keepdim=True).shape == (2, 1)
        e = zel.from_limbs(torch.zeros(2, 0, 8, dtype=torch.float64))
        assert e.sum(dim=1).tolist() == [0.0, 0.0] and e.prod(dim=1).tolist() == [1.0, 1.0]
        assert e.sum(dim=0).shape == (0,)
        with pytest.raises(ValueError):
            e.max(dim=1)


class TestExtrema:
    def test_values_and_indices(self):
        m = Tensor([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]])
        assert m.max(dim=1).tolist() == [3.0, 6.0] and m.max().item() == 6.0 and m.min().item() == 1.0
        i = m.argmax()
        assert isinstance(i, torch.Tensor) and i.dtype == torch.int64 and i.item() == 5
        assert m.argmax(dim=1).tolist() == [2, 2] and m.argmin(dim=0).tolist() == [0, 0, 0]
        assert zel.argmax(m, 1).tolist() == [2, 2]

    def test_first_of_ties_keeps_all_limbs(self):
        t = from_rows([[1.0] + [0.0] * 7, [3.0, 1e-30] + [0.0] * 6, [3.0, 2e-30] + [0.0] * 6])
        assert t.argmax().item() == 1
        assert limbs_of(t.max()) == [[3.0, 1e-30] + [0.0] * 6]

    def test_nan_wins_like_pytorch(self):
        vals = [1.0, float("nan"), 3.0]
        t = Tensor(vals)
        assert t.argmax().item() == torch.tensor(vals).argmax().item()
        assert t.argmin().item() == torch.tensor(vals).argmin().item()


class TestStatistics:
    def test_variance_values(self):
        assert Tensor([1.0, 2.0, 3.0, 4.0]).var(unbiased=False).item() == 1.25
        assert Tensor([1.0, 2.0, 3.0, 4.0]).var().item() == 1.6666666666666665
        assert Tensor([1.0, 2.0, 3.0]).var().item() == 1.0
        assert Tensor([5.0]).var().item() == 0.0
        assert Tensor([2.0, 4.0, 4.0, 4.0, 5.0, 5.0, 7.0, 9.0]).std(unbiased=False).item() == 2.0
        m = Tensor([[1.0, 2.0, 3.0], [4.0, 5.0, 7.0]])
        assert m.var(dim=0).shape == (3,) and m.var(dim=0).tolist() == [4.5, 4.5, 8.0]
        assert m.var(dim=0, keepdim=True).shape == (1, 3)
        assert zel.std(m, dim=1, unbiased=False).shape == (2,)

    def test_unbiased_over_length_one_axis(self):
        with pytest.raises(ZeroDivisionError):
            Tensor([[1.0, 2.0]]).var(dim=0)

    def test_reference_bit_for_bit(self):
        rng = random.Random(21)
        rows = random_rows(rng, 9)
        t = from_rows(rows)
        assert same_rows(limbs_of(t.var()), [ref.var(rows)])
        assert same_rows(limbs_of(t.std(unbiased=False)), [ref.std(rows, False)])
        for p in (2, 1, 3, 0.5, 2.0, -1):
            assert same_rows(limbs_of(zel.norm(t, p=p)), [ref.norm(rows, p)])

    def test_norms(self):
        assert zel.norm(Tensor([3.0, 4.0])).item() == 5.0
        assert zel.norm(Tensor([3.0, -4.0]), p=1).item() == 7.0
        assert limbs_of(zel.norm(Tensor([3.0, 4.0]), p=2.0)) == limbs_of(zel.norm(Tensor([3.0, 4.0])))
        assert zel.norm(Tensor([[1.0, 2.0], [2.0, 4.0]])).item() == 5.0
        assert zel.norm(Tensor([[3.0, 4.0], [6.0, 8.0]]), dim=1).tolist() == [5.0, 10.0]
        with pytest.raises(ZeroDivisionError):
            zel.norm(Tensor([1.0]), p=0)
        with pytest.raises(TypeError):
            zel.norm(Tensor([1.0]), p="fro")


class TestForwarding:
    def test_module_functions_call_methods(self):
        m = Tensor([[1.0, 2.0], [3.0, 5.0]])
        for name in ("sum", "mean", "prod", "max", "min"):
            assert limbs_of(getattr(zel, name)(m, dim=1)) == limbs_of(getattr(m, name)(dim=1))
        with pytest.raises(AttributeError):
            zel.sum([1.0, 2.0])


class TestLargeTrees:
    # From 4096 leaves (a multiple of 16) the first two levels run as one
    # pass; the rows and the order of the pairs must stay the reference's.
    @pytest.mark.parametrize("n", [4096, 4112, 4104])
    def test_sum_and_dot_match_reference(self, n):
        rng = random.Random(n)
        xs, ys = random_rows(rng, n), random_rows(rng, n)
        # Non-finite pairs on either level, redone one by one.
        xs[5] = [float("inf")] + [0.0] * 7
        xs[5 + n // 2] = [float("-inf")] + [0.0] * 7
        xs[n // 4 + 3] = [1e308] + [0.0] * 7
        ys[n // 4 + 3] = [1e10] + [0.0] * 7
        want_sum = ref.tree_sum(xs)
        want_dot = ref.tree_sum([ref.mul(x, y) for x, y in zip(xs, ys)])
        x, y = from_rows(xs), from_rows(ys)
        m = from_rows(xs + ys, (2, n))
        threads = torch.get_num_threads()
        try:
            for k in (1, 2):
                torch.set_num_threads(k)
                assert same_rows(limbs_of(x.sum()), [want_sum])
                assert same_rows(limbs_of(zel.matmul(x, y)), [want_dot])
                assert same_rows(limbs_of(zel.matmul(m, y))[:1], [want_dot])
        finally:
            torch.set_num_threads(threads)

    def test_threads_split_the_fused_levels_at_any_row(self):
        # Chunks of the second quarter start anywhere, lanes or not; the
        # whole-tensor path (split over threads) must give the per-row
        # path's bytes (one serial tree).
        n = 2 ** 17 + 4
        rng = random.Random(7)
        x = from_rows(random_rows(rng, n))
        y = from_rows(random_rows(rng, n))
        threads = torch.get_num_threads()
        try:
            for k in (1, 2, 3):
                torch.set_num_threads(k)
                assert limbs_of(x.sum()) == limbs_of(x.reshape(1, n).sum(1))
                assert limbs_of(zel.matmul(x, y)) == limbs_of(zel.matmul(x.reshape(1, n), y))
        finally:
            torch.set_num_threads(threads)
