"""Complex tensors (dtype "complex128"): construction from Python, NumPy and
torch complex data, the views to and from (*shape, 2) real tensors, the
conversions back, and a clear error from every operation without complex
support yet."""
import numpy as np
import pytest
import torch

from varnel.zel import zel


@pytest.mark.parametrize("data", [[1 + 2j, 3 - 4j], [[1 + 1j, 2], [0.5j, -1]], 2.5 - 1j,
                                  np.array([1 + 1j, -2j]), np.complex128(1 - 1j),
                                  torch.tensor([[1 + 3j, 2 - 1j]], dtype=torch.complex128)])
def test_construction_and_conversions_round_trip(data):
    z = zel.tensor(data)
    want = np.asarray(data.numpy() if isinstance(data, torch.Tensor) else data, dtype=np.complex128)
    assert z.is_complex() and not z.is_floating_point() and z.dtype == "complex128"
    assert z.shape == want.shape and z.numel == want.size
    assert np.array_equal(z.numpy(), want)
    assert z.tolist() == (complex(want) if want.ndim == 0 else want.tolist())
    if want.size == 1:
        assert z.item() == complex(want.reshape(-1)[0])
    assert np.array_equal(zel.tensor(z).numpy(), want)


def test_views_share_the_limbs():
    z = zel.tensor([1 + 2j, 3 - 4j])
    r = zel.view_as_real(z)
    assert r.shape == (2, 2) and not r.is_complex() and r.tolist() == [[1.0, 2.0], [3.0, -4.0]]
    assert r._data.data_ptr() == z._data.data_ptr()
    back = zel.view_as_complex(r)
    assert back.is_complex() and back.tolist() == [1 + 2j, 3 - 4j]
    c = zel.complex(zel.tensor([1.0, 2.0]), zel.tensor(0.5))
    assert c.tolist() == [1 + 0.5j, 2 + 0.5j]
    with pytest.raises(RuntimeError, match="last dimension of size 2"):
        zel.view_as_complex(zel.tensor([1.0, 2.0, 3.0]))
    with pytest.raises(RuntimeError, match="only supported for complex"):
        zel.view_as_real(zel.tensor([1.0]))
    with pytest.raises(RuntimeError, match="expected both inputs to be real"):
        zel.complex(z, z)


def test_arithmetic_with_complex_real_and_number_operands_broadcasts_as_torch():
    rng = np.random.default_rng(4)
    a = rng.standard_normal((3, 1)) + 1j * rng.standard_normal((3, 1))
    b = rng.standard_normal(4) + 1j * rng.standard_normal(4)
    x = rng.standard_normal(4)
    za, zb, zx = zel.tensor(a), zel.tensor(b), zel.tensor(x)
    ta, tb, tx = (torch.tensor(v) for v in (a, b, x))
    cases = [(za + zb, ta + tb), (za - zb, ta - tb), (za * zb, ta * tb), (za / zb, ta / tb), (-za, -ta),
             (za * zx, ta * tx), (zx - za, tx - ta), (zx / zb, tx / tb), (1j * zx, 1j * tx), (za + 2, ta + 2),
             (2.5 - zb, 2.5 - tb), (zb / (1 - 1j), tb / (1 - 1j))]
    for got, want in cases:
        assert got.is_complex() and got.shape == tuple(want.shape)
        assert np.allclose(got.numpy(), want.numpy(), rtol=1e-14, atol=1e-15)


def test_products_are_exact_and_functions_reach_the_kernels():
    # Float64 parts: (a + bi)(c + di) is exact in the limbs, where float64 rounds.
    z = zel.tensor(1e16 + 1j) * zel.tensor(1e16 - 1j)
    re = sum(zel.view_as_real(z)._data[0].tolist())
    assert re == 1e32 + 1 and zel.view_as_real(z)._data[1, 0].item() == 0.0
    w = zel.tensor([0.5 + 1j, -2 + 0.25j])
    t = torch.tensor([0.5 + 1j, -2 + 0.25j], dtype=torch.complex128)
    for name in ("exp", "log", "sqrt", "sin", "cos", "tanh", "asin", "atan", "reciprocal", "sigmoid", "sgn"):
        got = getattr(zel, name)(w) if hasattr(zel, name) else getattr(w, name)()
        assert np.allclose(got.numpy(), getattr(torch, name)(t).numpy(), rtol=1e-13), name
    assert np.allclose(w.abs().numpy(), t.abs().numpy()) and not w.abs().is_complex()
    assert np.allclose(w.angle().numpy(), t.angle().numpy())


def test_operations_without_complex_support_refuse_cleanly():
    z = zel.tensor([1 + 2j, 3 - 4j])
    for f in (lambda: z // 2, lambda: z.floor(), lambda: z.max(), lambda: z.sort(), lambda: float(zel.tensor(1j)),
              lambda: z + "x", lambda: zel.maximum(z, z)):
        with pytest.raises(TypeError):
            f()
    x = zel.tensor([1.0, 2.0])
    with pytest.raises(RuntimeError, match="can't be cast"):
        x.add_(z)


def _pair(shape, seed):
    rng = np.random.default_rng(seed)
    a = rng.standard_normal(shape) + 1j * rng.standard_normal(shape)
    return zel.tensor(a), torch.tensor(a)


def _same(got, want, tol=1e-13):
    if isinstance(want, (tuple, list)):
        assert len(got) == len(want)
        for g, w in zip(got, want):
            _same(g, w, tol)
        return
    if isinstance(want, bool):
        assert got is want
        return
    assert tuple(got.shape) == tuple(want.shape)
    if want.dtype == torch.bool:
        assert torch.equal(got if isinstance(got, torch.Tensor) else torch.tensor(got.tolist()), want)
        return
    assert got.is_complex() == want.is_complex()
    assert np.allclose(np.asarray(got.numpy()), want.resolve_conj().numpy(), rtol=tol, atol=tol)


SHAPE_CASES = {
    "reshape": (lambda z: z.reshape(4, 3), lambda t: t.reshape(4, 3)),
    "view -1": (lambda z: z.view(-1), lambda t: t.view(-1)),
    "flatten": (lambda z: zel.flatten(z, 1), lambda t: torch.flatten(t, 1)),
    "unsqueeze -1": (lambda z: z.unsqueeze(-1), lambda t: t.unsqueeze(-1)),
    "squeeze": (lambda z: z.unsqueeze(1).squeeze(1), lambda t: t.unsqueeze(1).squeeze(1)),
    "permute": (lambda z: z.permute(2, 0, 1), lambda t: t.permute(2, 0, 1)),
    "transpose": (lambda z: z.transpose(-1, 0), lambda t: t.transpose(-1, 0)),
    "mT and mH": (lambda z: (z.mT, z.mH), lambda t: (t.mT, t.mH)),
    "movedim": (lambda z: zel.movedim(z, 0, -1), lambda t: torch.movedim(t, 0, -1)),
    "expand": (lambda z: z[:1].expand(3, 2, 2), lambda t: t[:1].expand(3, 2, 2)),
    "flip": (lambda z: zel.flip(z, (0, -1)), lambda t: torch.flip(t, (0, -1))),
    "roll": (lambda z: zel.roll(z, 1, -1), lambda t: torch.roll(t, 1, -1)),
    "roll flat": (lambda z: zel.roll(z, 2), lambda t: torch.roll(t, 2)),
    "narrow": (lambda z: zel.narrow(z, 0, 1, 2), lambda t: torch.narrow(t, 0, 1, 2)),
    "select": (lambda z: z.select(-1, 1), lambda t: t.select(-1, 1)),
    "unbind": (lambda z: zel.unbind(z, 1), lambda t: torch.unbind(t, 1)),
    "split": (lambda z: zel.split(z, 2, -1), lambda t: torch.split(t, 2, -1)),
    "chunk": (lambda z: zel.chunk(z, 2, 1), lambda t: torch.chunk(t, 2, 1)),
    "diagonal": (lambda z: zel.diagonal(z, 0, 1, 2), lambda t: torch.diagonal(t, 0, 1, 2)),
    "tril/triu": (lambda z: (zel.tril(z, -1), zel.triu(z)), lambda t: (torch.tril(t, -1), torch.triu(t))),
    "repeat/tile": (lambda z: (z.repeat(1, 2, 1, 1), zel.tile(z, (2,))), lambda t: (t.repeat(1, 2, 1, 1), torch.tile(t, (2,)))),
    "cat/stack": (lambda z: (zel.cat([z, z], -1), zel.stack([z, z], -1)), lambda t: (torch.cat([t, t], -1), torch.stack([t, t], -1))),
    "cat beside an empty vector": (lambda z: zel.cat([zel.tensor([], dtype=zel.complex128), z], 1),
                                   lambda t: torch.cat([torch.tensor([], dtype=torch.complex128), t], 1)),
    "cat with real": (lambda z: zel.cat([z, zel.ones(3, 2, 2)], 0), lambda t: torch.cat([t, torch.ones(3, 2, 2, dtype=torch.complex128)], 0)),
    "index": (lambda z: (z[1], z[:, -1], z[..., 0], z[None, 1:, ::2], z[[0, 2]]), lambda t: (t[1], t[:, -1], t[..., 0], t[None, 1:, ::2], t[[0, 2]])),
    # a list of lists indexes as a tuple of index lists, as PyTorch
    "index by nested lists": (lambda z: (z[[[0, 2], [1, 0]]], z[[[0, 1], slice(1)]]), lambda t: (t[[[0, 2], [1, 0]]], t[[[0, 1], slice(1)]])),
    "index_select": (lambda z: zel.index_select(z, -1, torch.tensor([1, 0])), lambda t: torch.index_select(t, -1, torch.tensor([1, 0]))),
    "where": (lambda z: zel.where(torch.tensor([True, False]), z, 1j), lambda t: torch.where(torch.tensor([True, False]), t, 1j)),
    "sum": (lambda z: (z.sum(), z.sum(-1), z.sum((0, 2), keepdim=True)), lambda t: (t.sum(), t.sum(-1), t.sum((0, 2), keepdim=True))),
    "mean/prod": (lambda z: (z.mean(1), z.prod(0), z.prod()), lambda t: (t.mean(1), t.prod(0), t.prod())),
    "prod over several dims": (lambda z: (zel.prod(z, (0, 2)), zel.prod(z, (2, 0), keepdim=True)), lambda t: (t.prod(2).prod(0), t.prod(2, keepdim=True).prod(0, keepdim=True))),
    "cumsum": (lambda z: zel.cumsum(z, -1), lambda t: torch.cumsum(t, -1)),
    "cov": (lambda z: (zel.cov(z.reshape(3, 4)), zel.cov(z.reshape(1, 12)), zel.cov(z.reshape(-1), correction=0), zel.cov(z.reshape(3, 4), fweights=torch.tensor([1, 0, 2, 1]), aweights=torch.tensor([0.5, 1.0, 0.25, 2.0], dtype=torch.float64))), lambda t: (torch.cov(t.reshape(3, 4)), torch.cov(t.reshape(1, 12)), torch.cov(t.reshape(-1), correction=0), torch.cov(t.reshape(3, 4), fweights=torch.tensor([1, 0, 2, 1]), aweights=torch.tensor([0.5, 1.0, 0.25, 2.0], dtype=torch.float64)))),
    "matmul": (lambda z: (z @ z.mT, zel.matmul(z[0], z[1, 0]), zel.einsum("ijk,ilk->jl", z, z)), lambda t: (t @ t.mT, torch.matmul(t[0], t[1, 0]), torch.einsum("ijk,ilk->jl", t, t))),
    # torch 1.13's complex dot gives 0 on some inputs: the sums stand in for it
    "products of vectors": (lambda z: (zel.dot(z[0, 0], z[1, 1]), zel.vdot(z[0, 0], z[1, 1]), zel.outer(z[0, 0], z[1, 1])), lambda t: ((t[0, 0] * t[1, 1]).sum(), (t[0, 0].conj() * t[1, 1]).sum(), torch.outer(t[0, 0], t[1, 1]))),
    "conj, real, imag": (lambda z: (z.conj(), z.real, z.imag, zel.conj_physical(z)), lambda t: (t.conj(), t.real, t.imag, torch.conj_physical(t))),
    "comparisons": (lambda z: (z == z.conj(), z != z, zel.isclose(z, z + 1e-7), zel.isfinite(z / 0)), lambda t: (t == t.conj(), t != t, torch.isclose(t, t + 1e-7), torch.isfinite(t / 0))),
}


@pytest.mark.parametrize("case", SHAPE_CASES, ids=list(SHAPE_CASES))
def test_tensor_functions_agree_with_torch(case):
    z, t = _pair((3, 2, 2), 11)
    ours, theirs = SHAPE_CASES[case]
    _same(ours(z), theirs(t))


def test_empty_tensors_stay_complex():
    # with no elements the compiled functions never meet the complex limbs
    z, t = zel.tensor(torch.empty(4, 0, dtype=torch.complex128)), torch.empty(4, 0, dtype=torch.complex128)
    cases = [lambda m, x: m.flatten(x), lambda m, x: m.unflatten(x, 0, (2, 2)), lambda m, x: x.reshape(0, 4),
             lambda m, x: m.take(x, torch.empty(0, dtype=torch.int64)), lambda m, x: m.cat([x, x], 1),
             lambda m, x: x.sum(1), lambda m, x: x.t()]
    for f in cases:
        _same(f(zel, z), f(torch, t))
    assert zel.where(torch.ones(0, dtype=torch.bool), zel.tensor(torch.empty(0, dtype=torch.complex128)),
                     zel.zeros(0)).is_complex()


def test_reductions_of_a_zero_dim_tensor_keep_both_parts():
    # the dim of a 0-d tensor is not the real view's (real, imaginary) axis
    z, t = zel.tensor(1.5 - 2j), torch.tensor(1.5 - 2j, dtype=torch.complex128)
    for f in ("sum", "mean", "prod"):
        for dim, keepdim in ((0, False), (-1, True), ((0,), False)):
            if f == "prod" and isinstance(dim, tuple):
                continue
            _same(getattr(zel, f)(z, dim, keepdim), getattr(torch, f)(t, dim, keepdim))
        with pytest.raises(IndexError):
            getattr(zel, f)(z, 1)
    _same(zel.cumsum(z, -1), torch.cumsum(t, -1))
    _same((z.mT, z.mH), (t, t.conj()))


def test_sums_and_products_keep_every_digit():
    z = zel.tensor([1e17 + 1j, 1 - 1e-20j, -1e17 + 0j])
    s = z.sum()
    r = zel.view_as_real(s)
    assert [sum(row) for row in r._data.tolist()] == [1.0, 1.0 - 1e-20]
    # (1 + 1e-30 i)(1 - 1e-30 i) = 1 + 1e-60 exactly
    m = zel.tensor([[1 + 1e-30j]]) @ zel.tensor([[1 - 1e-30j]])
    parts = zel.view_as_real(m)._data
    assert parts[0, 0].item() == 1.0 and parts[0, 1].item() == pytest.approx(1e-60, rel=1e-12)
    assert parts[1].abs().sum().item() == 0.0


def test_in_place_forms_and_assignment():
    z, t = _pair((2, 3), 5)
    z += 1
    t += 1
    z.mul_(2j)
    t.mul_(2j)
    z[0, 1] = 3 - 1j
    t[0, 1] = 3 - 1j
    z[1] = zel.tensor([1.0, 2.0, 3.0])
    t[1] = torch.tensor([1.0, 2.0, 3.0])
    z.sub_(z[0].clone(), alpha=2)
    t.sub_(t[0].clone(), alpha=2)
    _same(z, t)
    z.copy_(zel.tensor(7.0))
    assert z.tolist() == [[7 + 0j] * 3] * 2
    with pytest.raises(RuntimeError, match="doesn't match the broadcast shape"):
        z[0].add_(z)


def test_factories_conversions_and_polar():
    assert zel.zeros(2, 3, dtype=zel.complex128).shape == (2, 3)
    assert zel.ones(2, dtype=torch.complex128).tolist() == [1 + 0j, 1 + 0j]
    assert zel.full((2,), 1 - 2j, dtype=zel.cdouble).tolist() == [1 - 2j, 1 - 2j]
    assert zel.tensor([1.0, 2.0], dtype=zel.complex128).is_complex()
    zn, tn = _pair((2,), 8)
    for name, args, kwargs in (("new_zeros", ((2, 1),), {}), ("new_ones", ((3,),), {}), ("new_full", ((2,), 1 - 2j), {}),
                               ("new_ones", ((2,),), {"dtype": torch.float64})):
        _same(getattr(zn, name)(*args, **kwargs), getattr(tn, name)(*args, **kwargs))
    assert zn.new_empty((2, 3)).is_complex() and zn.new_empty_strided((2, 3), (3, 1)).shape == (2, 3)
    for name, args in (("eye", (2, 3)), ("linspace", (-1, 2, 4)), ("logspace", (0, 2, 3))):
        _same(getattr(zel, name)(*args, dtype=torch.complex128), getattr(torch, name)(*args, dtype=torch.complex128))
    z, _ = _pair((4,), 3)
    assert zel.zeros_like(z).is_complex() and not zel.zeros_like(z, dtype=torch.float64).is_complex()
    assert zel.tensor([1.0]).to(zel.complex128).is_complex() and z.to(torch.complex128) is z
    with pytest.warns(UserWarning, match="discards the imaginary part"):
        assert not z.to(torch.float64).is_complex()
    # to(other) takes other's dtype
    x = zel.tensor([3.0, -1.0, 0.5, 2.0])
    assert x.to(z).tolist() == [3 + 0j, -1 + 0j, 0.5 + 0j, 2 + 0j] and z.to(z).tolist() == z.tolist()
    with pytest.warns(UserWarning, match="discards the imaginary part"):
        assert z.to(x).tolist() == z.real.tolist()
    zel.manual_seed(0)
    w = zel.randn(20000, dtype=zel.complex128)
    assert abs(float((w.abs() ** 2).mean().item()) - 1.0) < 0.05  # PyTorch's: each part of variance 1/2
    import mpmath
    p = zel.polar(zel.tensor([2.0, 0.5]), zel.tensor([3.0, -1e-3]))
    with mpmath.workdps(50):
        for (re, im), (a, th) in zip(zel.view_as_real(p)._data.reshape(2, 2, 8).tolist(), ((2, 3), (0.5, -1e-3))):
            want = mpmath.mpf(a) * mpmath.exp(1j * mpmath.mpf(th))
            assert abs(mpmath.fsum(mpmath.mpf(v) for v in re) - want.real) < 1e-31 * abs(want)
            assert abs(mpmath.fsum(mpmath.mpf(v) for v in im) - want.imag) < 1e-31 * abs(want)


def test_limbs_digests_and_pickles_round_trip(tmp_path):
    import pickle
    z, _ = _pair((2, 3), 9)
    z = z * (1 + 1e-20j)  # lower limbs in use
    limbs = z.numpy_limbs()
    assert limbs.shape == (2, 3, 2, 8)
    back = zel.from_limbs(limbs, dtype=zel.complex128)
    assert back.is_complex() and back.sha256() == z.sha256()
    assert pickle.loads(pickle.dumps(z)).sha256() == z.sha256()
    zel.save({"z": z}, tmp_path / "z.zel")
    loaded = zel.load(tmp_path / "z.zel")["z"]
    assert loaded.is_complex() and loaded.sha256() == z.sha256()


def test_products_four_at_a_time_give_the_bytes_of_one_at_a_time():
    # 11 elements: two groups of four side by side, three left over; the
    # non-finite and cancelled-limb elements are redone one by one.
    rng = np.random.default_rng(3)
    a = rng.standard_normal((11, 2)) * np.array([1e300, 1.0])[rng.integers(0, 2, (11, 1))]
    a[2] = [np.inf, 1.0]
    a[5] = [np.nan, 0.0]
    z = zel.view_as_complex(zel.tensor(a.tolist()) / 3)
    w = zel.view_as_complex(zel.tensor(rng.standard_normal((11, 2)).tolist()) / 7)
    zr = zel.view_as_real(z)._data.clone()
    zr[6::11] = torch.tensor([0.0, 1.0, 0, 0, 0, 0, 0, 0], dtype=torch.float64)  # limb 0 cancelled
    z = zel.view_as_complex(zel.from_limbs(zr.reshape(11, 2, 8)))
    whole = zel.view_as_real(z * w)._data.view(torch.int64)
    zr, wr = zel.view_as_real(z), zel.view_as_real(w)
    for i in range(11):
        one = zel.view_as_complex(zr[i:i + 1]) * zel.view_as_complex(wr[i:i + 1])
        assert torch.equal(zel.view_as_real(one)._data.view(torch.int64), whole[2 * i:2 * i + 2]), i
