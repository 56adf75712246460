"""frexp/ldexp (exact scaling), isin (exact membership), renorm, gradient,
histogramdd, index_reduce, segment_reduce, hash_tensor, the sampling names on
the library's generator and zel.signal.windows: against PyTorch float64, and
against exact or mpmath values where the library carries more digits."""
import math
import random

import mpmath
import numpy as np
import pytest
import torch

from conftest import from_rows, limbs_of, random_rows, same_rows
from varnel.zel import zel


def approx(x):
    return torch.tensor(np.asarray(x.numpy(), dtype=np.float64)).reshape(tuple(x.shape))


def close(got, want, rtol=1e-12, atol=1e-12):
    assert tuple(got.shape) == tuple(want.shape)
    torch.testing.assert_close(approx(got), want.to(torch.float64), rtol=rtol, atol=atol, equal_nan=True)


def mp_value(row):
    return sum((mpmath.mpf(v) for v in row), mpmath.mpf(0))


# ------------------------------------------------------------------ frexp, ldexp

def test_frexp_of_float64_values_is_pytorchs():
    lead = torch.tensor([8.0, 0.75, 0.0, -3.0, 5e-324, 1.7e308, math.inf, -math.inf, math.nan], dtype=torch.float64)
    m, e = zel.frexp(zel.tensor(lead))
    wm, we = torch.frexp(lead)
    assert e.dtype == torch.int32 and torch.equal(e, we)
    close(m, wm, rtol=0, atol=0)


def test_frexp_splits_every_limb_exactly():
    mpmath.mp.prec = 600
    rows = random_rows(random.Random(3), 40, spread=300)
    # Just below a power of two: the leading limb is 2^k and the tail negative.
    rows.append([8.0, -2.0 ** -60] + [0.0] * 6)
    rows.append([-0.5, 2.0 ** -70] + [0.0] * 6)  # magnitude below 0.5
    x = from_rows(rows)
    m, e = zel.frexp(x)
    for row, mrow, k in zip(rows, limbs_of(m), e.tolist()):
        assert mp_value(mrow) * mpmath.mpf(2) ** k == mp_value(row)
        assert mpmath.mpf(0.5) <= abs(mp_value(mrow)) < 1
    assert e.tolist()[-2:] == [3, -1]
    # ldexp undoes it limb for limb.
    assert same_rows(limbs_of(zel.ldexp(m, e)), rows)


def test_ldexp_scales_exactly_across_the_range():
    x = from_rows([[1.5, 2.0 ** -60] + [0.0] * 6] * 5)
    e = torch.tensor([0, 1000, -1000, 2000, -1100])
    got = limbs_of(zel.ldexp(x, e))
    assert got[1][:2] == [1.5 * 2.0 ** 1000, 2.0 ** 940]
    assert got[2][:2] == [1.5 * 2.0 ** -1000, 2.0 ** -1060]
    assert got[3][0] == math.inf
    lead = torch.tensor([1.0, -3.0, 0.5], dtype=torch.float64)
    for other in (torch.tensor([3, -2, 0]), 4, torch.tensor([0.5, 1.0, -2.0], dtype=torch.float64)):
        close(zel.ldexp(zel.tensor(lead), zel.tensor(other) if isinstance(other, torch.Tensor) and
                        other.is_floating_point() else other), torch.ldexp(lead, torch.as_tensor(other)))


# ------------------------------------------------------------------ isin

def test_isin_compares_exact_values():
    near_one = from_rows([[1.0, 2.0 ** -80] + [0.0] * 6])
    x = zel.cat([zel.tensor([1.0, 2.0, math.nan, 3.0]), near_one])
    test = zel.tensor([1.0, 3.0, math.nan])
    assert zel.isin(x, test).tolist() == [True, False, False, True, False]
    assert zel.isin(x, test, invert=True).tolist() == [False, True, True, False, True]
    assert zel.isin(x, near_one).tolist() == [False] * 4 + [True]
    lead = torch.randint(0, 6, (4, 5)).to(torch.float64)
    t = torch.tensor([2.0, 5.0, 7.0], dtype=torch.float64)
    assert torch.equal(zel.isin(zel.tensor(lead), zel.tensor(t)), torch.isin(lead, t))
    assert torch.equal(zel.isin(zel.tensor(lead), 2.0), torch.isin(lead, 2.0))


# ------------------------------------------------------------------ renorm, gradient

@pytest.mark.parametrize("p,dim,maxnorm", [(2, 0, 1.0), (1, 1, 0.5), (3.5, -1, 2.0), (2, 0, 100.0)])
def test_renorm_is_pytorchs(p, dim, maxnorm):
    lead = torch.randn(3, 4, 2, dtype=torch.float64, generator=torch.Generator().manual_seed(4))
    close(zel.renorm(zel.tensor(lead), p, dim, maxnorm), torch.renorm(lead, p, dim, maxnorm))
    with pytest.raises(RuntimeError):
        zel.renorm(zel.tensor([1.0]), 2, 0, 1.0)


@pytest.mark.parametrize("kwargs", [
    {}, {"spacing": 0.5}, {"spacing": [2.0], "dim": 1}, {"dim": (0, 1), "edge_order": 2},
    {"spacing": [torch.tensor([0.0, 0.5, 2.0, 2.5, 4.0], dtype=torch.float64)], "dim": 0},
    {"spacing": [torch.tensor([0.0, 1.0, 1.5, 3.0, 3.25], dtype=torch.float64),
                 torch.tensor([-1.0, 0.0, 2.0, 2.5], dtype=torch.float64)], "edge_order": 2},
])
def test_gradient_is_pytorchs(kwargs):
    lead = torch.randn(5, 4, dtype=torch.float64, generator=torch.Generator().manual_seed(5))
    ours = {k: ([zel.tensor(s) if isinstance(s, torch.Tensor) else s for s in v] if k == "spacing" and
                isinstance(v, list) else v) for k, v in kwargs.items()}
    got = zel.gradient(zel.tensor(lead), **ours)
    want = torch.gradient(lead, **kwargs)
    assert len(got) == len(want)
    for g, w in zip(got, want):
        close(g, w, rtol=1e-10, atol=1e-12)


def test_gradient_is_exact_for_quadratics_on_uneven_grids():
    # Second-order differences are exact for a quadratic: only rounding remains, at limb precision.
    x = zel.tensor([0.0, 0.3, 1.1, 1.2, 2.9])
    f = 3.0 * x * x - x + 0.25
    (g,) = zel.gradient(f, spacing=[x], edge_order=2)
    err = (g - (6.0 * x - 1.0)).abs().max()
    assert float(err) < 1e-28


# ------------------------------------------------------------------ histogramdd, index and segment reductions

@pytest.mark.parametrize("kwargs", [
    {"bins": 3}, {"bins": [2, 4], "range": [-1.0, 1.0, -2.0, 2.0]}, {"bins": 3, "density": True},
    {"bins": [torch.tensor([-3.0, -0.5, 0.0, 2.0], dtype=torch.float64), torch.tensor([-1.0, 1.0], dtype=torch.float64)]},
])
@pytest.mark.parametrize("weighted", [False, True])
def test_histogramdd_is_pytorchs(kwargs, weighted):
    g = torch.Generator().manual_seed(6)
    pts = torch.randn(50, 2, dtype=torch.float64, generator=g)
    w = torch.rand(50, dtype=torch.float64, generator=g) if weighted else None
    ours = {k: ([zel.tensor(b) for b in v] if k == "bins" and isinstance(v, list) and
                isinstance(v[0], torch.Tensor) else v) for k, v in kwargs.items()}
    got = zel.histogramdd(zel.tensor(pts), weight=None if w is None else zel.tensor(w), **ours)
    want = torch.histogramdd(pts, weight=w, **kwargs)
    close(got.hist, want.hist)
    for e, we in zip(got.bin_edges, want.bin_edges):
        close(e, we)


@pytest.mark.parametrize("reduce", ["prod", "mean", "amax", "amin"])
@pytest.mark.parametrize("include_self", [True, False])
def test_index_reduce_is_pytorchs(reduce, include_self):
    g = torch.Generator().manual_seed(7)
    base = torch.randn(4, 3, dtype=torch.float64, generator=g)
    src = torch.randn(5, 3, dtype=torch.float64, generator=g)
    index = torch.tensor([0, 2, 0, 3, 2])
    want = base.index_reduce(0, index, src, reduce, include_self=include_self)
    close(zel.tensor(base).index_reduce(0, index, zel.tensor(src), reduce, include_self=include_self), want)
    x = zel.tensor(base)
    assert x.index_reduce_(0, index, zel.tensor(src), reduce, include_self=include_self) is x
    close(x, want)
    with pytest.raises(IndexError):
        zel.tensor(base).index_reduce(0, torch.tensor([0, 9, 0, 1, 1]), zel.tensor(src), reduce)


@pytest.mark.parametrize("reduce", ["sum", "mean", "max", "min", "prod"])
@pytest.mark.parametrize("initial", [None, 2.5])
def test_segment_reduce_is_pytorchs(reduce, initial):
    g = torch.Generator().manual_seed(8)
    data = torch.randn(7, 2, dtype=torch.float64, generator=g)
    lengths = torch.tensor([2, 0, 4, 1])
    want = torch.segment_reduce(data, reduce, lengths=lengths, initial=initial)
    close(zel.segment_reduce(zel.tensor(data), reduce, lengths=lengths, initial=initial), want)
    offsets = torch.tensor([0, 2, 2, 6, 7])
    close(zel.segment_reduce(zel.tensor(data), reduce, offsets=offsets, initial=initial), want)
    data2 = torch.randn(2, 5, dtype=torch.float64, generator=g)
    lengths2 = torch.tensor([[1, 4], [3, 2]])
    close(zel.segment_reduce(zel.tensor(data2), reduce, lengths=lengths2, axis=1, initial=initial),
          torch.segment_reduce(data2, reduce, lengths=lengths2, axis=1, initial=initial))


def test_hash_tensor_xors_every_limb():
    rows = random_rows(random.Random(9), 6)
    x = from_rows(rows, (2, 3))
    bits = np.array(rows, dtype=np.float64).view(np.uint64).reshape(2, 3, 8)
    want = np.bitwise_xor.reduce(bits.reshape(-1))
    got = zel.hash_tensor(x)
    assert int(got) & (2 ** 64 - 1) == int(want)
    per_row = np.bitwise_xor.reduce(bits.reshape(2, -1), axis=1)
    assert [v & (2 ** 64 - 1) for v in zel.hash_tensor(x, 1).tolist()] == [int(v) for v in per_row]
    if hasattr(torch, "hash_tensor"):
        lead = torch.randn(3, 4, dtype=torch.float64)
        assert torch.equal(zel.hash_tensor(zel.tensor(lead), 0), torch.hash_tensor(lead, 0))


# ------------------------------------------------------------------ sampling

def test_samplers_follow_the_librarys_seed():
    def draw():
        zel.manual_seed(11)
        x = zel.zeros(50)
        return [zel.rand_like(x).sha256(), zel.randn_like(x).sha256(), zel.randint_like(x, 3, 9).sha256(),
                zel.normal(x, 2.0).sha256(), zel.bernoulli(x + 0.3).sha256(), zel.multinomial(x + 1.0, 7).tolist(),
                x.clone().uniform_(-1, 2).sha256(), x.clone().exponential_(2.0).sha256(),
                zel.randint(0, 5, (6,)).tolist()]
    assert draw() == draw()


def test_samples_lie_in_their_support():
    zel.manual_seed(12)
    x = zel.zeros(4000)
    u = approx(x.clone().uniform_(-1.0, 2.0))
    assert bool(((u >= -1) & (u < 2)).all()) and abs(float(u.mean()) - 0.5) < 0.1
    n = approx(zel.normal(zel.zeros(4000) + 3.0, 0.5))
    assert abs(float(n.mean()) - 3.0) < 0.05 and abs(float(n.std()) - 0.5) < 0.05
    k = approx(zel.randint_like(x, -2, 3))
    assert set(k.tolist()) == {-2.0, -1.0, 0.0, 1.0, 2.0}
    b = approx(zel.bernoulli(x, 0.25))
    assert set(b.tolist()) <= {0.0, 1.0} and abs(float(b.mean()) - 0.25) < 0.05
    assert float(approx(x.clone().exponential_(4.0)).min()) >= 0
    geo = approx(x.clone().geometric_(0.5))
    assert float(geo.min()) >= 1 and bool((geo == geo.round()).all())
    assert float(approx(x.clone().log_normal_(0.0, 1.0)).min()) > 0


def test_multinomial_never_draws_a_zero_weight_and_repeats_only_with_replacement():
    zel.manual_seed(13)
    w = zel.tensor([[0.0, 1.0, 3.0, 0.0, 2.0], [1.0, 0.0, 0.0, 0.0, 0.0]])
    picks = zel.multinomial(w[:1], 3)
    assert picks.dtype == torch.int64 and sorted(picks[0].tolist()) == [1, 2, 4]
    many = zel.multinomial(w, 200, replacement=True)
    assert set(many[0].tolist()) <= {1, 2, 4} and set(many[1].tolist()) == {0}
    counts = torch.bincount(many[0], minlength=5).tolist()
    assert counts[2] > counts[4] > counts[1] > 0


@pytest.mark.parametrize("call", [
    lambda: zel.normal(zel.zeros(2), -1.0),
    lambda: zel.bernoulli(zel.zeros(2), 1.5),
    lambda: zel.bernoulli(zel.tensor([0.5, 2.0])),
    lambda: zel.multinomial(zel.tensor([1.0, -1.0]), 1),
    lambda: zel.multinomial(zel.tensor([1.0, 1.0]), 3),
    lambda: zel.multinomial(zel.zeros(2), 1),
    lambda: zel.zeros(2).uniform_(2.0, 1.0),
    lambda: zel.zeros(2).exponential_(0.0),
    lambda: zel.zeros(2).geometric_(1.5),
    lambda: zel.randint(5, 5, (2,)),
])
def test_bad_distribution_parameters_raise_runtime_error(call):
    with pytest.raises(RuntimeError):
        call()


def test_a_torch_generator_is_refused_clearly():
    with pytest.raises(TypeError, match="manual_seed"):
        zel.normal(zel.zeros(2), 1.0, generator=torch.Generator())


# ------------------------------------------------------------------ windows

def test_pi_limbs_are_pi():
    from varnel.zel._windows import _PI_LIMBS
    mpmath.mp.prec = 600
    assert abs(sum(mpmath.mpf(v) for v in _PI_LIMBS) - mpmath.pi) < mpmath.mpf(2) ** -420


WINDOWS = [("bartlett", {}), ("blackman", {}), ("cosine", {}), ("exponential", {"tau": 2.5}),
           ("gaussian", {"std": 1.7}), ("general_cosine", {"a": [0.46, 0.23, 0.31]}),
           ("general_hamming", {"alpha": 0.6}), ("hamming", {}), ("hann", {}), ("kaiser", {"beta": 8.0}),
           ("nuttall", {})]


@pytest.mark.parametrize("name,kwargs", WINDOWS)
@pytest.mark.parametrize("M,sym", [(0, True), (1, True), (7, True), (8, False), (16, True)])
def test_windows_are_pytorchs(name, kwargs, M, sym):
    windows = getattr(getattr(torch, "signal", None), "windows", None)
    got = getattr(zel.signal.windows, name)(M, sym=sym, **kwargs)
    assert tuple(got.shape) == (M,)
    if windows is None:
        pytest.skip("this PyTorch has no torch.signal.windows")
    close(got, getattr(windows, name)(M, sym=sym, dtype=torch.float64, **kwargs), rtol=1e-12, atol=1e-14)


def test_kaiser_and_gaussian_carry_more_than_float64():
    mpmath.mp.prec = 300
    got = [mp_value(r) for r in limbs_of(zel.signal.windows.kaiser(9, beta=6.0))]
    for n, g in enumerate(got):
        k = mpmath.mpf(-6) + n * mpmath.mpf(12) / 8
        want = mpmath.besseli(0, mpmath.sqrt(36 - k * k)) / mpmath.besseli(0, 6)
        assert abs(g - want) < mpmath.mpf(10) ** -25
    got = [mp_value(r) for r in limbs_of(zel.signal.windows.gaussian(6, std=1.5))]
    for n, g in enumerate(got):
        k = (n - mpmath.mpf(5) / 2) / (mpmath.mpf(1.5) * mpmath.sqrt(2))
        assert abs(g - mpmath.exp(-k * k)) < mpmath.mpf(10) ** -20


def test_window_arguments_are_checked():
    with pytest.raises(ValueError):
        zel.signal.windows.hann(-1)
    with pytest.raises(ValueError):
        zel.signal.windows.gaussian(5, std=0.0)
    with pytest.raises(ValueError):
        zel.signal.windows.exponential(5, center=1.0)
    with pytest.raises(TypeError):
        zel.signal.windows.hann(2.5)


def test_gradients_of_the_compositions():
    x = zel.tensor(torch.randn(3, 4, dtype=torch.float64, generator=torch.Generator().manual_seed(14)))
    src = zel.tensor(torch.randn(2, 4, dtype=torch.float64, generator=torch.Generator().manual_seed(15)))
    cases = [
        (lambda t: zel.frexp(t).mantissa, [x]),
        (lambda t: zel.ldexp(t, torch.tensor([3, -2, 0, 1])), [x]),
        (lambda t: zel.renorm(t, 2, 0, 1.0), [x]),
        (lambda t: zel.gradient(t, spacing=0.5, edge_order=2)[1], [x]),
        (lambda t, s: zel.index_reduce(t, 0, torch.tensor([2, 0]), s, "mean"), [x, src]),
        (lambda t: zel.segment_reduce(t, "sum", lengths=torch.tensor([1, 2])), [x]),
    ]
    for fn, inputs in cases:
        inputs = [t.detach().requires_grad_() for t in inputs]
        assert zel.autograd.gradcheck(fn, inputs, eps=2.0 ** -40, atol=1e-18, rtol=1e-18)
