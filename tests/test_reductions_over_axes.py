"""Reductions beyond the defined ones, against PyTorch float64 (values,
shapes, index dtypes, named fields, error types) and mpmath (cancelling
data), grouped by family."""
import math
import random
from fractions import Fraction

import mpmath
import pytest
import torch

from varnel.zel import zel
from conftest import from_rows, limbs_of, random_rows, same_rows

Tensor = zel.Tensor
NAN = float("nan")


def as_torch(t):
    """The approximations of a Tensor as a float64 torch tensor of its shape."""
    return torch.tensor(t.tolist(), dtype=torch.float64).reshape(tuple(t.shape))


def exact(t):
    """Exact value of every element (a flat list of Fractions)."""
    return [sum(Fraction(x) for x in row) for row in limbs_of(t)]


def close(got, want, tol=1e-12):
    got = as_torch(got) if isinstance(got, Tensor) else got
    assert tuple(got.shape) == tuple(want.shape)
    assert torch.allclose(got, want.to(torch.float64), rtol=tol, atol=tol, equal_nan=True), (got, want)


def pair(rng, shape):
    x = torch.tensor([rng.uniform(-3, 3) for _ in range(math.prod(shape))], dtype=torch.float64).reshape(shape)
    return Tensor(x.tolist()) if shape else Tensor(x.item()), x


class TestTupleDims:
    @pytest.mark.parametrize("dims", [(0,), (1, 2), (0, 2), (-1, 0), (0, 1, 2), [2, 1], ()])
    @pytest.mark.parametrize("keepdim", [False, True])
    def test_sum_mean_prod_against_torch(self, dims, keepdim):
        z, t = pair(random.Random(1), (2, 3, 4))
        for name in ("sum", "mean", "prod"):
            got = getattr(z, name)(dim=dims, keepdim=keepdim)
            want = getattr(torch, name)(t, dim=dims, keepdim=keepdim) if name != "prod" else \
                t.flatten(0) if False else None
            if name == "prod":
                want = t
                for d in sorted([d % 3 for d in dims] or [0, 1, 2], reverse=True):
                    want = want.prod(dim=d, keepdim=keepdim)
            close(got, want)

    def test_one_axis_tuple_keeps_the_defined_bits(self):
        rows = random_rows(random.Random(3), 24)
        z = from_rows(rows, shape=(2, 3, 4))
        for d in (0, 1, 2):
            for name in ("sum", "mean", "prod"):
                assert same_rows(limbs_of(getattr(z, name)(dim=(d,))), limbs_of(getattr(z, name)(dim=d)))
            assert same_rows(limbs_of(z.var(dim=(d,))), limbs_of(z.var(dim=d)))
        assert same_rows(limbs_of(z.sum(dim=(0, 1, 2))), limbs_of(z.sum()))

    def test_cancellation_over_two_axes_is_exact(self):
        z = Tensor([[1e16, 1.0], [-1e16, 2.0 ** -60]])
        assert exact(z.sum(dim=(0, 1))) == [Fraction(1) + Fraction(2) ** -60]
        assert zel.sum(z, dim=[1, 0]).item() == 1.0

    def test_var_std_correction(self):
        z, t = pair(random.Random(5), (3, 5))
        for corr in (0, 1, 2):
            for dims in (None, 1, (0, 1)):
                close(z.var(dim=dims, correction=corr), t.var(dim=dims, correction=corr))
                close(zel.std(z, dim=dims, correction=corr), t.std(dim=dims, correction=corr))
        close(z.var(dim=(0, 1), unbiased=False, keepdim=True), t.var(dim=(0, 1), unbiased=False, keepdim=True))
        assert math.isinf(Tensor([1.0, 2.0]).var(correction=2).item())
        assert math.isnan(Tensor([3.0]).var(correction=1).item())

    def test_correction_divides_in_limbs(self):
        # 5 / 3: the defined factor 4/3 is rounded to float64, the division
        # by n - correction in limbs is not.
        z = Tensor([0.0, 1.0, 2.0, 3.0])
        v = z.var(correction=1)
        with mpmath.workdps(80):
            def err(t):
                return abs(sum(mpmath.mpf(x) for x in limbs_of(t)[0]) - mpmath.mpf(5) / 3)
            assert err(v) < mpmath.mpf(2) ** -100 < mpmath.mpf(2) ** -60 < err(z.var())

    def test_std_mean_and_var_mean(self):
        z, t = pair(random.Random(6), (4, 3))
        for f in ("std_mean", "var_mean"):
            got = getattr(zel, f)(z, dim=0)
            want = getattr(torch, f)(t, dim=0)
            assert isinstance(got, tuple) and len(got) == 2
            close(got[0], want[0])
            close(got[1], want[1])
        assert same_rows(limbs_of(zel.var_mean(z)[0]), limbs_of(z.var()))

    def test_errors(self):
        z = Tensor([[1.0, 2.0]])
        with pytest.raises(RuntimeError, match="appears multiple times"):
            z.sum(dim=(0, 0))
        with pytest.raises(IndexError):
            z.mean(dim=(0, 5))
        with pytest.raises(TypeError):
            z.sum(dim=(0, "a"))
        with pytest.raises(TypeError):
            z.sum(dim="a")  # the defined message for a non-int dim


class TestExtremaAndLogsumexp:
    def test_amax_amin_aminmax_against_torch(self):
        z, t = pair(random.Random(7), (3, 4))
        for dims in ((), 0, (0, 1), -1):
            for keep in (False, True):
                close(zel.amax(z, dims, keep), torch.amax(t, dims, keep))
                close(z.amin(dim=dims, keepdim=keep), t.amin(dim=dims, keepdim=keep))
        r = zel.aminmax(z, dim=1)
        w = torch.aminmax(t, dim=1)
        assert r._fields == ("min", "max")
        close(r.min, w.min)
        close(r.max, w.max)

    def test_amax_orders_by_exact_value(self):
        # equal approximations, different limb 1: the larger exact value wins
        a = [1.0, 2.0 ** -80, 0, 0, 0, 0, 0, 0]
        b = [1.0, 2.0 ** -79, 0, 0, 0, 0, 0, 0]
        z = from_rows([a, b, a])
        assert limbs_of(z.amax()) == [b] and limbs_of(z.amin()) == [a]
        assert math.isnan(Tensor([1.0, NAN, 2.0]).amax().item())
        # PyTorch's types: IndexError for an empty dim, RuntimeError for everything at once.
        with pytest.raises(IndexError):
            Tensor([]).reshape(0, 2).amax(dim=0)
        with pytest.raises(RuntimeError):
            Tensor([]).reshape(0, 2).amin()

    def test_logsumexp(self):
        z, t = pair(random.Random(8), (3, 5))
        close(zel.logsumexp(z, 1), torch.logsumexp(t, 1))
        close(z.logsumexp(dim=(0, 1), keepdim=True), torch.logsumexp(t, (0, 1), keepdim=True))
        big = Tensor([1000.0, 1000.0])
        assert abs(big.logsumexp(0).item() - (1000 + math.log(2))) < 1e-12
        assert Tensor([-math.inf, -math.inf]).logsumexp(0).item() == -math.inf
        with pytest.raises(TypeError):
            zel.logsumexp(z)

    def test_logsumexp_against_mpmath(self):
        xs = [0.5, -1.25, 3.0, 1e-3]
        with mpmath.workdps(50):
            got = sum(mpmath.mpf(x) for x in limbs_of(Tensor(xs).logsumexp(0))[0])
            want = mpmath.log(sum(mpmath.exp(mpmath.mpf(x)) for x in xs))
            assert abs(got - want) < mpmath.mpf(10) ** -20


class TestNanAndTruth:
    def test_nansum_nanmean(self):
        t = torch.tensor([[1.0, NAN, 3.0], [NAN, NAN, 2.0]], dtype=torch.float64)
        z = Tensor(t.tolist())
        for dims in (None, 0, 1, (0, 1)):
            close(zel.nansum(z, dims), torch.nansum(t, dims) if dims is not None else torch.nansum(t))
            close(z.nanmean(dim=dims), t.nanmean(dim=dims))

    def test_any_all_count_nonzero(self):
        t = torch.tensor([[0.0, 1.0, 0.0], [0.0, NAN, 2.0]], dtype=torch.float64)
        z = Tensor(t.tolist())
        for dim in (None, 0, 1):
            for f in ("any", "all"):
                got = getattr(z, f)() if dim is None else getattr(zel, f)(z, dim)
                want = getattr(t, f)() if dim is None else getattr(t, f)(dim)
                assert got.dtype == torch.bool and torch.equal(got, want)
            got = zel.count_nonzero(z, dim)
            assert got.dtype == torch.int64 and torch.equal(got, torch.count_nonzero(t, dim))

    def test_truth_is_exact(self):
        # a cancelled sum whose value is 2^-60 is not zero
        z = Tensor([1e16, 2.0 ** -60, -1e16]).cumsum(0)
        assert bool(z[2:].all()) and int(z.count_nonzero()) == 3
        assert not bool(from_rows([[0.0, -0.0] + [0.0] * 6]).any())


class TestScans:
    def test_cumsum_cancellation_is_exact(self):
        c = Tensor([1e16, 1.0, -1e16]).cumsum(0)
        assert exact(c) == [Fraction(10 ** 16), Fraction(10 ** 16 + 1), Fraction(1)]

    def test_cumsum_against_mpmath(self):
        rng = random.Random(9)
        xs = [rng.uniform(-1, 1) * 10.0 ** rng.randint(-20, 20) for _ in range(200)]
        xs += [-x for x in xs[:100]]
        rng.shuffle(xs)
        got = exact(zel.cumsum(Tensor(xs), 0))
        run = Fraction(0)
        for g, x in zip(got, xs):
            run += Fraction(x)
            # the limb sum keeps about 106 bits on data spread over 40 decades
            assert abs(g - run) <= abs(run) * Fraction(2) ** -100

    def test_scans_against_torch(self):
        z, t = pair(random.Random(10), (3, 4))
        for dim in (0, 1, -1):
            close(zel.cumsum(z, dim), torch.cumsum(t, dim))
            close(z.cumprod(dim), torch.cumprod(t, dim))
            for f in ("cummax", "cummin"):
                got, want = getattr(zel, f)(z, dim), getattr(torch, f)(t, dim)
                assert got._fields == ("values", "indices")
                close(got.values, want.values)
                assert got.indices.dtype == torch.int64 and torch.equal(got.indices, want.indices)

    def test_cummax_ties_and_nan_as_torch(self):
        t = torch.tensor([1.0, 3.0, 3.0, NAN, 2.0, NAN, 5.0], dtype=torch.float64)
        got, want = Tensor(t.tolist()).cummax(0), torch.cummax(t, 0)
        assert torch.equal(got.indices, want.indices)
        close(got.values, want.values)
        t = torch.tensor([3.0, 1.0, 1.0, 2.0], dtype=torch.float64)
        assert torch.equal(Tensor(t.tolist()).cummin(0).indices, torch.cummin(t, 0).indices)

    def test_cumsum_dim_checked(self):
        with pytest.raises(IndexError):
            Tensor([1.0]).cumsum(2)
        with pytest.raises(TypeError):
            Tensor([1.0]).cumsum()


class TestOrdering:
    def test_sort_argsort_against_torch(self):
        z, t = pair(random.Random(11), (4, 5))
        for dim in (0, 1):
            for desc in (False, True):
                got, want = zel.sort(z, dim, desc), torch.sort(t, dim, desc)
                assert got._fields == ("values", "indices") and got.indices.dtype == torch.int64
                close(got.values, want.values)
                assert torch.equal(got.indices, want.indices)
                assert torch.equal(z.argsort(dim=dim, descending=desc), torch.argsort(t, dim, desc))

    def test_sort_is_stable_and_puts_nan_last(self):
        t = torch.tensor([2.0, NAN, 1.0, 2.0, NAN, 1.0], dtype=torch.float64)
        for desc in (False, True):
            got = Tensor(t.tolist()).sort(descending=desc)
            want = torch.sort(t, descending=desc, stable=True)
            assert torch.equal(got.indices, want.indices)

    def test_sort_uses_exact_values(self):
        hi = [1.0, 2.0 ** -70] + [0.0] * 6
        lo = [1.0, -(2.0 ** -70)] + [0.0] * 6
        mid = [1.0] + [0.0] * 7
        z = from_rows([hi, lo, mid])
        assert z.sort().indices.tolist() == [1, 2, 0]
        assert z.topk(1).indices.tolist() == [0]
        assert limbs_of(z.median()) == [mid]

    def test_topk_kthvalue(self):
        z, t = pair(random.Random(12), (3, 6))
        for k in (1, 3, 6):
            for largest in (True, False):
                got, want = zel.topk(z, k, largest=largest), torch.topk(t, k, largest=largest)
                close(got.values, want.values)
                assert torch.equal(got.indices, want.indices)
        got, want = z.kthvalue(2, dim=0, keepdim=True), torch.kthvalue(t, 2, 0, True)
        close(got.values, want.values)
        assert torch.equal(got.indices, want.indices) and got._fields == ("values", "indices")
        with pytest.raises(RuntimeError):
            z.topk(7)
        with pytest.raises(RuntimeError):
            z.kthvalue(0)

    def test_median(self):
        z, t = pair(random.Random(13), (4, 5))
        close(zel.median(z), torch.median(t))
        for dim in (0, 1):
            got, want = z.median(dim), torch.median(t, dim)
            close(got.values, want.values)
            assert torch.equal(got.indices, want.indices)
        t = torch.tensor([[1.0, NAN, 3.0, NAN]], dtype=torch.float64)
        got, want = Tensor(t.tolist()).median(1), torch.median(t, 1)
        assert math.isnan(got.values.item()) and torch.equal(got.indices, want.indices)
        assert math.isnan(Tensor([1.0, NAN]).median().item())

    @pytest.mark.parametrize("mode", ["linear", "lower", "higher", "midpoint", "nearest"])
    def test_quantile_against_torch(self, mode):
        z, t = pair(random.Random(14), (3, 7))
        for q in (0.0, 0.3, 0.5, 1.0):
            close(zel.quantile(z, q, interpolation=mode), torch.quantile(t, q, interpolation=mode))
            close(z.quantile(q, dim=1, keepdim=True, interpolation=mode),
                  torch.quantile(t, q, dim=1, keepdim=True, interpolation=mode))
        qs = [0.1, 0.25, 0.9]
        close(zel.quantile(z, Tensor(qs), dim=0, interpolation=mode),
              torch.quantile(t, torch.tensor(qs, dtype=torch.float64), dim=0, interpolation=mode))

    def test_quantile_errors_and_nan(self):
        with pytest.raises(RuntimeError, match="range"):
            Tensor([1.0, 2.0]).quantile(1.5)
        with pytest.raises(RuntimeError):
            Tensor([1.0]).quantile(0.5, interpolation="cubic")
        assert math.isnan(Tensor([1.0, NAN, 3.0]).quantile(0.2).item())

    def test_unique(self):
        t = torch.tensor([3.0, 1.0, 2.0, 3.0, 1.0, 1.0], dtype=torch.float64)
        z = Tensor(t.tolist())
        close(zel.unique(z), torch.unique(t))
        vals, inv, cnt = z.unique(return_inverse=True, return_counts=True)
        w = torch.unique(t, return_inverse=True, return_counts=True)
        close(vals, w[0])
        assert torch.equal(inv, w[1]) and torch.equal(cnt, w[2]) and cnt.dtype == torch.int64
        a = [1.0, 2.0 ** -70] + [0.0] * 6
        assert len(from_rows([a, [1.0] + [0.0] * 7, a]).unique().tolist()) == 2


class TestDifferencesAndIntegrals:
    def test_diff_against_torch(self):
        z, t = pair(random.Random(15), (3, 5))
        for n in (0, 1, 2, 6):
            for dim in (0, 1, -1):
                close(zel.diff(z, n, dim), torch.diff(t, n, dim))
        p, tp = pair(random.Random(16), (3, 1))
        close(z.diff(dim=1, prepend=p, append=p), torch.diff(t, dim=1, prepend=tp, append=tp))
        with pytest.raises(RuntimeError):
            Tensor(1.0).diff()

    def test_diff_cancellation_is_exact(self):
        z = Tensor([1e16, 1e16 + 2]) + Tensor([0.0, 2.0 ** -40])
        assert exact(z.diff()) == [Fraction(2) + Fraction(2) ** -40]

    def test_trapezoid_against_torch(self):
        y, ty = pair(random.Random(17), (3, 6))
        x, tx = pair(random.Random(18), (6,))
        close(zel.trapezoid(y), torch.trapezoid(ty))
        close(zel.trapezoid(y, dx=0.5, dim=0), torch.trapezoid(ty, dx=0.5, dim=0))
        close(zel.trapezoid(y, x), torch.trapezoid(ty, tx))
        close(zel.cumulative_trapezoid(y, x), torch.cumulative_trapezoid(ty, tx))
        close(zel.cumulative_trapezoid(y, dim=0), torch.cumulative_trapezoid(ty, dim=0))
        with pytest.raises(RuntimeError):
            zel.trapezoid(y, Tensor([1.0, 2.0]))

    def test_trapezoid_against_mpmath(self):
        xs = [i / 7 for i in range(8)]
        ys = [x * x for x in xs]
        with mpmath.workdps(60):
            got = sum(mpmath.mpf(v) for v in limbs_of(zel.trapezoid(Tensor(ys), Tensor(xs)))[0])
            want = sum((mpmath.mpf(xs[i + 1]) - xs[i]) * (mpmath.mpf(ys[i]) + ys[i + 1]) / 2 for i in range(7))
            assert abs(got - want) < mpmath.mpf(10) ** -30

    def test_dist_and_tensor_norm(self):
        a, ta = pair(random.Random(19), (4, 3))
        b, tb = pair(random.Random(20), (4, 3))
        for p in (1, 2, 3, 0, math.inf, -math.inf, 0.5):
            close(zel.dist(a, b, p), torch.dist(ta, tb, p))
        for p in ("fro", 1, 2, math.inf):
            close(a.norm(p), ta.norm(p))
            close(a.norm(p, dim=1, keepdim=True), ta.norm(p, dim=1, keepdim=True))
        close(zel.norm(a, 2, dim=(0, 1)), torch.norm(ta, 2, dim=(0, 1)))
        assert same_rows(limbs_of(a.norm(2)), limbs_of(zel.norm(a, 2)))


class TestShapesOfEdgeCases:
    """0-d and empty inputs give PyTorch's shapes; results have well-formed limb arrays."""

    @pytest.mark.parametrize("shape", [(), (0,), (2, 0), (0, 3)])
    def test_against_torch(self, shape):
        t = torch.zeros(shape, dtype=torch.float64)
        z = Tensor(t.tolist()).reshape(*shape) if shape else Tensor(0.0)
        if 0 not in shape or shape[-1] != 0:
            for f in ("cumsum", "cumprod"):
                got = getattr(z, f)(-1 if shape else 0)
                assert tuple(got.shape) == tuple(getattr(t, f)(-1 if shape else 0).shape)
                assert tuple(got._data.shape) == (got._data.shape[0], 8)
        got = z.sort()
        want = t.sort()
        assert tuple(got.values.shape) == tuple(want.values.shape) and got.indices.shape == want.indices.shape
        assert tuple(z.sum(dim=tuple(range(len(shape)))).shape) == tuple(t.sum(dim=tuple(range(len(shape)))).shape)
        assert torch.equal(z.any(), t.any()) and torch.equal(z.all(), t.all())

    def test_zero_d(self):
        z = Tensor(2.5)
        assert z.median().item() == 2.5 and z.cumsum(0).item() == 2.5
        r = z.sort()
        assert r.values.shape == () and r.indices.shape == () and r.indices.item() == 0
        assert z.amax().item() == 2.5 and z.topk(1).values.item() == 2.5

    def test_methods_and_return_types(self):
        z = Tensor([[3.0, 1.0], [2.0, 4.0]])
        assert isinstance(z.sort(), zel.return_types.sort)
        assert isinstance(z.aminmax(dim=0), zel.return_types.aminmax)
        assert z.aminmax().max.item() == 4.0 and z.median(dim=1).indices.tolist() == [1, 0]
        assert z.cummax(1).indices.dtype == torch.int64
        v, i = z.topk(1, dim=0)
        assert v.tolist() == [[3.0, 4.0]] and i.tolist() == [[0, 1]]

    def test_non_contiguous_and_permuted_input(self):
        z, t = pair(random.Random(30), (3, 4, 5))
        zp, tp = zel.permute(z, (2, 0, 1)), t.permute(2, 0, 1)
        close(zp.sum(dim=(0, 2)), tp.sum(dim=(0, 2)))
        close(zp.cumsum(1), tp.cumsum(1))
        got, want = zp.sort(dim=1), tp.sort(dim=1)
        close(got.values, want.values)
        assert torch.equal(got.indices, want.indices)
        close(zp[:, 1:3].amax(dim=(1,)), tp[:, 1:3].amax(dim=(1,)))

    def test_large_reduction_is_thread_independent(self):
        rows = random_rows(random.Random(31), 5000)
        z = from_rows(rows, shape=(50, 100))
        before = torch.get_num_threads()
        try:
            results = []
            for n in (1, 2):
                torch.set_num_threads(n)
                results.append([limbs_of(z.sum(dim=(0,))), limbs_of(z.cumsum(0)), limbs_of(z.var(dim=(1,), correction=1))])
            assert results[0] == results[1]
        finally:
            torch.set_num_threads(before)


def test_empty_tensors_with_huge_axes_finish_at_once():
    z = Tensor([]).reshape(2 ** 31, 0, 2 ** 31)
    assert tuple(z.cumprod(1).shape) == (2 ** 31, 0, 2 ** 31)
    assert tuple(z.sort(dim=1).values.shape) == (2 ** 31, 0, 2 ** 31)
    assert tuple(z.topk(0, dim=1).indices.shape) == (2 ** 31, 0, 2 ** 31)
    with pytest.raises(IndexError):
        Tensor([]).reshape(3, 0).median(1)
    assert tuple(zel.diff(Tensor([]).reshape(0, 2 ** 40), 2 ** 40 - 2, 1).shape) == (0, 2)
