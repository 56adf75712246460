"""The integer and index tools: conversions to integer tensors, the scatter
family, take_along_dim, counting, searching and index generators, against
PyTorch float64, against a reference summed with the library's own `+` in
index order, and for the same bytes on every run and thread count."""
import random

import pytest
import torch

from conftest import limbs_of, same_bits
from varnel.zel import zel

F64 = torch.float64


def z(t):
    return zel.Tensor(t.to(F64))


def deep(values, shape):
    """Elements with a lower limb in use, so that the order of a sum shows in its bits."""
    rows = [[v, v * 2.0 ** -70, v * 2.0 ** -140, 0.0, 0.0, 0.0, 0.0, 0.0] for v in values]
    return zel.from_limbs(torch.tensor(rows, dtype=F64)).reshape(*shape)


def as_torch(t):
    return torch.tensor(t.tolist(), dtype=F64).reshape(tuple(t.shape))


def flat_bits(t):
    return [x for row in limbs_of(t) for x in row]


def ints(shape, lo=-8, hi=8, seed=0):
    g = torch.Generator().manual_seed(seed)
    return torch.randint(lo, hi, shape, generator=g).to(F64)


# PyTorch moved out-of-range index errors from IndexError to RuntimeError
# between versions, and some of its CPU kernels stopped checking at all: the
# library must raise one of the two wherever PyTorch raises either or nothing.
INDEX_ERRORS = (IndexError, RuntimeError)


def raises_like(fn_zel, fn_torch):
    try:
        fn_torch()
    except Exception as e:  # noqa: BLE001 - the type is what is compared
        want = type(e)
    else:
        want = INDEX_ERRORS
    with pytest.raises(INDEX_ERRORS if want in INDEX_ERRORS else want):
        fn_zel()


class TestIntegerConversions:
    def test_truncation_toward_zero_of_the_exact_value(self):
        # approx rounds 1 - 2^-60 to 1 and 2^60 + 1 to 2^60; the exact values decide
        x = zel.from_limbs(torch.tensor([[1.0, -2.0 ** -60] + [0.0] * 6, [-1.0, 2.0 ** -60] + [0.0] * 6,
                                         [2.0 ** 60, 1.0] + [0.0] * 6, [-2.5, 0.0] + [0.0] * 6,
                                         [0.0, 3.0] + [0.0] * 6], dtype=F64))
        assert x.long().tolist() == [0, 0, 2 ** 60 + 1, -2, 3]
        assert x.long().dtype == torch.int64 and x[torch.tensor([0])].int().dtype == torch.int32
        assert x[torch.tensor([0, 1, 3, 4])].int().tolist() == [0, 0, -2, 3]

    def test_matches_pytorch_on_float64_values(self):
        t = torch.tensor([[0.5, -0.5, 7.99, -7.99], [1e15 + 0.5, -3.0, 0.0, -0.0]], dtype=F64)
        assert torch.equal(z(t).long(), t.long())
        assert torch.equal(z(t[0]).int(), t[0].int())
        assert torch.equal(z(t).bool(), t.bool())

    def test_bool_reads_the_exact_value(self):
        x = zel.from_limbs(torch.tensor([[1.0, -1.0] + [0.0] * 6, [0.0, 2.0 ** -900] + [0.0] * 6,
                                         [float("nan")] + [0.0] * 7], dtype=F64))
        assert x.bool().tolist() == [False, True, True]

    @pytest.mark.parametrize("value", [float("nan"), float("inf"), 2.0 ** 63, -2.0 ** 64])
    def test_values_without_an_integer_raise(self, value):
        with pytest.raises(RuntimeError):
            zel.tensor([1.0, value]).long()
        with pytest.raises(RuntimeError):
            zel.tensor([2.0 ** 31]).int()

    def test_empty_and_zero_d(self):
        assert zel.zeros(0, 3).long().shape == (0, 3)
        assert zel.tensor(-4.75).long().tolist() == -4 and zel.tensor(-4.75).long().shape == ()


class TestScatterFamilyAgainstPyTorch:
    """Integer-valued float64 inputs: every result is exact in float64 too."""

    @pytest.mark.parametrize("dim", [0, 1, -1])
    def test_index_add_copy_fill(self, dim):
        x = ints((3, 4), seed=1)
        k = 5 if dim == 0 else 6
        src_shape = (k, 4) if dim == 0 else (3, k)
        src = ints(src_shape, seed=2)
        n = x.shape[dim]
        idx = torch.tensor([random.Random(dim).randrange(-n, n) for _ in range(k)])
        pos = idx % n
        assert torch.equal(as_torch(z(x).index_add(dim, pos, z(src), alpha=3)), x.index_add(dim, pos, src, alpha=3))
        assert torch.equal(as_torch(zel.index_add(z(x), dim, pos.int(), z(src))), x.index_add(dim, pos, src))
        distinct = torch.randperm(n, generator=torch.Generator().manual_seed(3))[:2]
        part = src.narrow(dim, 0, 2)
        assert torch.equal(as_torch(z(x).index_copy(dim, distinct, z(part))), x.index_copy(dim, distinct, part))
        assert torch.equal(as_torch(z(x).index_fill(dim, idx, -2.5)), x.index_fill(dim, idx, -2.5))
        assert torch.equal(as_torch(zel.index_fill(z(x), dim, idx, zel.tensor(4.0))), x.index_fill(dim, idx, 4.0))

    @pytest.mark.parametrize("dim", [0, 1, -1])
    def test_scatter_scatter_add_scatter_reduce(self, dim):
        x = ints((3, 4), seed=4)
        src = ints((3, 5), seed=5)
        idx = torch.randint(0, x.shape[dim], (2, 3), generator=torch.Generator().manual_seed(dim + 7))
        assert torch.equal(as_torch(z(x).scatter_add(dim, idx, z(src))), x.scatter_add(dim, idx, src))
        assert torch.equal(as_torch(zel.scatter(z(x), dim, idx, 1.5)), x.scatter(dim, idx, 1.5))
        assert torch.equal(as_torch(z(x).scatter(dim, idx, z(src), reduce="add")),
                           x.scatter(dim, idx, src, reduce="add"))
        assert torch.equal(as_torch(z(x).scatter(dim, idx, 2.0, reduce="multiply")),
                           x.scatter(dim, idx, 2.0, reduce="multiply"))
        for reduce in ("sum", "prod", "amax", "amin", "mean"):
            for include_self in (True, False):
                got = as_torch(z(x).scatter_reduce(dim, idx, z(src), reduce, include_self=include_self))
                want = x.scatter_reduce(dim, idx, src, reduce, include_self=include_self)
                assert torch.allclose(got, want, rtol=1e-15, atol=0), (reduce, include_self)
        unique = torch.stack([torch.randperm(3, generator=torch.Generator().manual_seed(s))[:1] for s in range(4)], 1)
        assert torch.equal(as_torch(z(x).scatter(0, unique, z(src))), x.scatter(0, unique, src))

    def test_index_put_put_masked_scatter_take_along_dim(self):
        x = ints((3, 4), seed=8)
        rows, cols = torch.tensor([0, 2, 0, -1]), torch.tensor([1, 3, 1, 0])
        v = ints((4,), seed=9)
        for acc in (False, True):
            if not acc:
                rows_u, cols_u = rows[:2], cols[:2]
                assert torch.equal(as_torch(z(x).index_put((rows_u, cols_u), z(v[:2]))),
                                   x.index_put((rows_u, cols_u), v[:2]))
            assert torch.equal(as_torch(z(x).index_put((rows, cols), z(v), accumulate=True)),
                               x.index_put((rows, cols), v, accumulate=True))
        assert torch.equal(as_torch(z(x).index_put((torch.tensor([1]),), z(v))), x.index_put((torch.tensor([1]),), v))
        flat = torch.tensor([[0, 11], [-1, 5]])
        assert torch.equal(as_torch(z(x).put(flat, z(v.reshape(2, 2)), accumulate=True)),
                           x.put(flat, v.reshape(2, 2), accumulate=True))
        mask = x > 0
        source = ints((12,), seed=10)
        assert torch.equal(as_torch(z(x).masked_scatter(mask, z(source))), x.masked_scatter(mask, source))
        assert torch.equal(as_torch(z(x).masked_scatter(torch.tensor([True, False, True, False]), z(source))),
                           x.masked_scatter(torch.tensor([True, False, True, False]), source))
        idx = torch.tensor([[3, 0, 0]])
        assert torch.equal(as_torch(zel.take_along_dim(z(x), idx.t(), dim=1)), torch.take_along_dim(x, idx.t(), dim=1))
        assert torch.equal(as_torch(z(x).take_along_dim(torch.tensor([[2, 0, 1, 2]]), 0)),
                           x.take_along_dim(torch.tensor([[2, 0, 1, 2]]), 0))
        assert torch.equal(as_torch(z(x).take_along_dim(torch.tensor([11, 0]))), x.take_along_dim(torch.tensor([11, 0])))

    def test_in_place_forms_write_into_self(self):
        x = ints((3, 4), seed=11)
        t = z(x)
        idx = torch.tensor([2, 0, 2])
        src = ints((3, 4), seed=12)
        assert t.index_add_(0, idx, z(src)) is t
        assert torch.equal(as_torch(t), x.index_add(0, idx, src))
        t.scatter_(1, torch.tensor([[0], [1], [2]]), 9.0).index_fill_(1, torch.tensor([3]), -1.0)
        t.put_(torch.tensor([0]), zel.tensor([5.0]), accumulate=True).masked_scatter_(torch.eye(3, 4).bool(), z(src))
        want = x.index_add(0, idx, src).scatter_(1, torch.tensor([[0], [1], [2]]), 9.0).index_fill_(1, torch.tensor([3]), -1.0)
        want = want.put_(torch.tensor([0]), torch.tensor([5.0], dtype=F64), accumulate=True)
        want = want.masked_scatter_(torch.eye(3, 4).bool(), src)
        assert torch.equal(as_torch(t), want)

    def test_empty_and_zero_d(self):
        assert torch.equal(as_torch(zel.zeros(2, 0).index_add(1, torch.tensor([], dtype=torch.long), zel.zeros(2, 0))),
                           torch.zeros(2, 0, dtype=F64))
        assert zel.tensor(2.0).index_fill(0, torch.tensor([0]), 3.0).tolist() == 3.0
        assert zel.tensor(2.0).scatter_add(0, torch.tensor(0), zel.tensor(1.5)).tolist() == 3.5
        x = zel.tensor([1.0, 2.0])
        assert x.scatter(0, torch.zeros(0, dtype=torch.long), x).tolist() == [1.0, 2.0]


class TestExactAccumulation:
    """Sums of elements with lower limbs, compared bit for bit with the
    library's own + applied in index order."""

    def test_scatter_add_and_index_add_sum_in_index_order(self):
        rng = random.Random(3)
        self_vals = [rng.uniform(-1, 1) for _ in range(6)]
        src_vals = [rng.uniform(-1, 1) * 10 ** rng.randrange(-8, 8) for _ in range(12)]
        index = torch.tensor([rng.randrange(3) for _ in range(12)]).reshape(6, 2)
        x, src = deep(self_vals, (3, 2)), deep(src_vals, (6, 2))
        got = x.scatter_add(0, index, src)
        ref = [[x[i, j] for j in range(2)] for i in range(3)]
        for i in range(6):
            for j in range(2):
                q = int(index[i, j])
                ref[q][j] = ref[q][j] + src[i, j]
        assert same_bits(flat_bits(got), flat_bits(zel.stack([zel.stack(r) for r in ref])))
        got = x.index_add(0, index[:, 0], src)
        ref = [x[i] for i in range(3)]
        for i in range(6):
            ref[int(index[i, 0])] = ref[int(index[i, 0])] + src[i]
        assert same_bits(flat_bits(got), flat_bits(zel.stack(ref)))

    def test_put_index_put_bincount_in_index_order(self):
        rng = random.Random(5)
        vals = [rng.uniform(-1, 1) * 10 ** rng.randrange(-10, 10) for _ in range(9)]
        w = deep(vals, (9,))
        bins = torch.tensor([2, 0, 2, 2, 1, 0, 2, 4, 2])
        ref = [zel.tensor(0.0) for _ in range(5)]
        for i, b in enumerate(bins.tolist()):
            ref[b] = ref[b] + w[i]
        want = flat_bits(zel.stack(ref))
        assert same_bits(flat_bits(zel.bincount(bins, weights=w)), want)
        assert same_bits(flat_bits(zel.zeros(5).put(bins, w, accumulate=True)), want)
        assert same_bits(flat_bits(zel.zeros(5).index_put((bins,), w, accumulate=True)), want)
        assert same_bits(flat_bits(zel.zeros(5).scatter_reduce(0, bins, w, "sum", include_self=False)[:4]),
                         want[:32])

    def test_same_bytes_on_every_run_and_thread_count(self):
        rng = random.Random(9)
        n = 20000
        src = deep([rng.uniform(-1, 1) * 10 ** rng.randrange(-12, 12) for _ in range(n)], (n,))
        index = torch.tensor([rng.randrange(7) for _ in range(n)])
        runs = []
        old = torch.get_num_threads()
        try:
            for threads in (1, 2, 1, 2):
                torch.set_num_threads(threads)
                runs.append([flat_bits(zel.zeros(7).scatter_add(0, index, src)),
                             flat_bits(zel.zeros(7).scatter_reduce(0, index, src, "mean")),
                             flat_bits(zel.bincount(index, src)),
                             flat_bits(zel.histogram(src, 13, weight=src)[0])])
        finally:
            torch.set_num_threads(old)
        assert all(r == runs[0] for r in runs)


class TestErrors:
    x = torch.zeros(3, 4, dtype=F64)

    @pytest.mark.parametrize("call", [
        lambda m, x, T: m(x).index_add(0, torch.tensor([3]), m(T.ones(1, 4, dtype=F64))),
        lambda m, x, T: m(x).index_add(0, torch.tensor([-1, 0]), m(T.ones(2, 4, dtype=F64))),
        lambda m, x, T: m(x).index_add(0, torch.tensor([0]), m(T.ones(2, 4, dtype=F64))),
        lambda m, x, T: m(x).index_copy(0, torch.tensor([5]), m(T.ones(1, 4, dtype=F64))),
        lambda m, x, T: m(x).index_fill(1, torch.tensor([4]), 1.0),
        lambda m, x, T: m(x).index_fill(2, torch.tensor([0]), 1.0),
        lambda m, x, T: m(x).scatter(0, torch.tensor([[-1]]), 1.0),
        lambda m, x, T: m(x).scatter(0, torch.tensor([[3]]), 1.0),
        lambda m, x, T: m(x).scatter(0, torch.tensor([[0.0]]), 1.0),
        lambda m, x, T: m(x).scatter_add(1, torch.tensor([[0, 0, 0, 0, 0]]), m(x)),
        lambda m, x, T: m(x).scatter_reduce(0, torch.tensor([[0]]), m(x), "median"),
        lambda m, x, T: m(x).put(torch.tensor([12]), m(T.ones(1, dtype=F64))),
        lambda m, x, T: m(x).put(torch.tensor([1, 2]), m(T.ones(1, dtype=F64))),
        lambda m, x, T: m(x).index_put((torch.tensor([3]),), m(T.ones(1, dtype=F64))),
        lambda m, x, T: m(x).masked_scatter(T.ones(3, 4, dtype=torch.bool), m(T.ones(3, dtype=F64))),
        lambda m, x, T: m(x).take_along_dim(torch.tensor([[4]]), 1),
        lambda m, x, T: m(x).take_along_dim(torch.tensor([1]), 1),
    ])
    def test_exception_types_are_pytorchs(self, call):
        raises_like(lambda: call(z, self.x, torch), lambda: call(lambda t: t, self.x, torch))

    def test_no_write_happens_before_an_error(self):
        t = zel.tensor([1.0, 2.0, 3.0])
        with pytest.raises(IndexError):
            t.index_add_(0, torch.tensor([0, 5]), zel.tensor([1.0, 1.0]))
        with pytest.raises(RuntimeError):
            t.scatter_add_(0, torch.tensor([0, 3]), zel.tensor([1.0, 1.0]))
        assert t.tolist() == [1.0, 2.0, 3.0]

    def test_arguments_of_the_wrong_kind(self):
        t = zel.tensor([1.0, 2.0])
        with pytest.raises(TypeError):
            t.index_add(0, "x", t)
        with pytest.raises(TypeError):
            t.scatter(0, torch.tensor([0]))
        with pytest.raises(RuntimeError):
            zel.searchsorted(t, t, right=True, side="left")
        with pytest.raises(RuntimeError):
            zel.bincount(torch.tensor([-1]))
        with pytest.raises(RuntimeError):
            zel.bincount(torch.tensor([1, 0]), weights=zel.tensor([1.0]))
        with pytest.raises(RuntimeError):
            zel.histc(t, bins=0)


class TestSearchAndCount:
    def test_searchsorted_and_bucketize_against_pytorch(self):
        b = torch.tensor([[-2.0, -1.0, 0.0, 0.0, 3.0], [1.0, 2.0, 2.0, 5.0, float("nan")]], dtype=F64)
        v = torch.tensor([[-3.0, 0.0, 2.5, 3.0], [2.0, float("nan"), 9.0, 1.0]], dtype=F64)
        for right in (False, True):
            assert torch.equal(zel.searchsorted(z(b), z(v), right=right), torch.searchsorted(b, v, right=right))
            assert torch.equal(zel.bucketize(z(v[0]), z(b[0]), right=right, out_int32=True),
                               torch.bucketize(v[0], b[0], right=right, out_int32=True))
        scrambled = b.gather(1, torch.tensor([[4, 0, 3, 1, 2], [2, 4, 0, 3, 1]]))
        sorter = torch.sort(scrambled, dim=1, stable=True).indices
        assert torch.equal(zel.searchsorted(z(scrambled), z(v), side="right", sorter=sorter),
                           torch.searchsorted(scrambled, v, side="right", sorter=sorter))
        assert zel.searchsorted(z(b[0]), 0.0).tolist() == 2 and zel.searchsorted(z(b[0]), 0.0).dtype == torch.int64

    def test_searchsorted_decides_on_the_exact_value(self):
        b = zel.from_limbs(torch.tensor([[1.0, 0.0] + [0.0] * 6, [1.0, 2.0 ** -80] + [0.0] * 6], dtype=F64))
        v = zel.from_limbs(torch.tensor([[1.0, 2.0 ** -90] + [0.0] * 6], dtype=F64))
        assert zel.searchsorted(b, v).tolist() == [1]
        assert zel.bucketize(v, b, right=True).tolist() == [1]

    def test_bincount_histc_histogram_against_pytorch(self):
        g = torch.Generator().manual_seed(4)
        idx = torch.randint(0, 6, (40,), generator=g)
        assert torch.equal(zel.bincount(idx, minlength=9), torch.bincount(idx, minlength=9))
        w = ints((40,), seed=13)
        assert torch.equal(as_torch(zel.bincount(idx, z(w))), torch.bincount(idx, w))
        x = torch.randn(200, generator=g, dtype=F64)
        assert torch.equal(as_torch(zel.histc(z(x), bins=7, min=-1, max=1.5)), torch.histc(x, bins=7, min=-1, max=1.5))
        assert torch.equal(as_torch(z(x).histc(5)), torch.histc(x, 5))
        for kw in ({}, {"range": (-1.0, 2.0)}, {"weight": w.repeat(5)}, {"density": True}):
            kw_z = {k: z(v) if isinstance(v, torch.Tensor) else v for k, v in kw.items()}
            hz, ez = zel.histogram(z(x), 9, **kw_z)
            ht, et = torch.histogram(x, 9, **kw)
            assert torch.allclose(as_torch(hz), ht, rtol=1e-14, atol=0) and torch.allclose(as_torch(ez), et, rtol=1e-15)
        edges = torch.tensor([-1.0, 0.0, 0.5, 2.0], dtype=F64)
        h = z(x).histogram(z(edges))
        assert torch.equal(as_torch(h.hist), torch.histogram(x, edges).hist) and h.bin_edges.tolist() == edges.tolist()
        same = torch.ones(3, dtype=F64)
        assert torch.equal(as_torch(zel.histogram(z(same), 2).bin_edges), torch.histogram(same, 2).bin_edges)
        assert torch.equal(as_torch(zel.histc(z(same), 2)), torch.histc(same, 2))


class TestIndexGenerators:
    def test_tril_triu_indices_are_pytorchs(self):
        for off in (-1, 0, 2):
            assert torch.equal(zel.tril_indices(3, 4, off), torch.tril_indices(3, 4, off))
            assert torch.equal(zel.triu_indices(4, 3, offset=off), torch.triu_indices(4, 3, offset=off))

    @pytest.mark.parametrize("r", [0, 1, 2, 3, 5])
    def test_combinations_and_cartesian_prod(self, r):
        a = ints((4,), seed=14)
        for rep in (False, True):
            got, want = zel.combinations(z(a), r, with_replacement=rep), torch.combinations(a, r, with_replacement=rep)
            assert tuple(got.shape) == tuple(want.shape) and torch.equal(as_torch(got), want)
        b, c = ints((3,), seed=15), ints((2,), seed=16)
        assert torch.equal(as_torch(zel.cartesian_prod(z(a), z(b), z(c))), torch.cartesian_prod(a, b, c))
        t = z(a)
        assert zel.cartesian_prod(t) is t
        with pytest.raises(RuntimeError):
            zel.combinations(z(torch.zeros(2, 2)))
