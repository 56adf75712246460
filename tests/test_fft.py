"""zel.fft against torch.fft (shapes, dtypes, values to float64, errors) and
against the exact sums in mpmath (precision and the round trip)."""
import math
import random
import re

import mpmath
import numpy as np
import pytest
import torch

from varnel.zel import zel

NORMS = [None, "backward", "ortho", "forward"]


def pair(shape, complex_, seed):
    """The same data as a zel tensor and a torch float64/complex128 tensor."""
    rng = np.random.default_rng(seed)
    a = rng.standard_normal(shape)
    if complex_:
        a = a + 1j * rng.standard_normal(shape)
    return zel.tensor(a), torch.tensor(a)


def assert_matches(got, want):
    assert tuple(got.shape) == tuple(want.shape)
    assert got.is_complex() == want.is_complex()
    assert got.dtype == ("complex128" if want.is_complex() else zel.zeros(1).dtype)
    g = torch.from_numpy(np.asarray(got.numpy()))
    scale = max(1.0, float(want.abs().max())) if want.numel() else 1.0
    assert torch.allclose(g, want, rtol=0, atol=1e-13 * scale, equal_nan=True), (g - want).abs().max()


@pytest.mark.parametrize("name", ["fft", "ifft", "rfft", "irfft", "hfft", "ihfft"])
@pytest.mark.parametrize("norm", NORMS)
def test_one_dimensional_transforms_match_torch(name, norm):
    real_in = name in ("rfft", "ihfft")
    for seed, (shape, n, dim) in enumerate([((12,), None, -1), ((3, 10), 7, -1), ((3, 10), 16, 0),
                                            ((2, 5, 4), 13, 1), ((4,), 1, 0), ((2, 9), 2, -1)]):
        x, t = pair(shape, not real_in, seed)
        assert_matches(getattr(zel.fft, name)(x, n=n, dim=dim, norm=norm),
                       getattr(torch.fft, name)(t, n=n, dim=dim, norm=norm))


@pytest.mark.parametrize("name", ["fft", "ifft", "irfft", "hfft"])
def test_real_inputs_are_promoted(name):
    x, t = pair((2, 6), False, 7)
    assert_matches(getattr(zel.fft, name)(x), getattr(torch.fft, name)(t))


@pytest.mark.parametrize("name", ["fft2", "ifft2", "fftn", "ifftn", "rfft2", "irfft2", "rfftn", "irfftn", "hfft2",
                                  "ihfft2", "hfftn", "ihfftn"])
@pytest.mark.parametrize("norm", NORMS)
def test_multi_dimensional_transforms_match_torch(name, norm):
    real_in = name.startswith(("rfft", "ihfft"))
    cases = [((4, 6), {}), ((3, 5, 4), {"s": (6, 3)}), ((3, 5, 4), {"dim": (0, 2)}),
             ((3, 5, 4), {"s": (2, -1, 7), "dim": (-1, 0, 1)}), ((2, 3, 4), {"s": (5,), "dim": -3})]
    if name.endswith("n"):
        cases += [((2, 3, 5), {"s": (4, 4)}), ((5,), {"dim": 0})]
    for seed, (shape, kw) in enumerate(cases):
        x, t = pair(shape, not real_in, seed)
        assert_matches(getattr(zel.fft, name)(x, norm=norm, **kw), getattr(torch.fft, name)(t, norm=norm, **kw))


def test_complex_transforms_over_no_dims_copy_the_input():
    x, t = pair((2, 3), True, 3)
    # torch 1.13 hands back an uninitialised tensor here; the identity is what it means.
    assert_matches(zel.fft.fftn(x, dim=()), t)


def test_strided_limb_arrays_and_the_inputs_left_alone():
    x, _ = pair((6, 5), True, 11)
    copy = zel.view_as_complex(zel.view_as_real(x).transpose(0, 1).contiguous())
    rows = zel.view_as_real(copy).contiguous()
    limbs = rows._data
    rows._data = torch.zeros(limbs.shape[0], 16, dtype=torch.float64)[:, ::2].copy_(limbs)
    strided = zel.view_as_complex(rows)
    before = zel.view_as_real(x)._data.clone()
    for name in ("fft", "ifftn", "rfft", "hfft", "fft2"):
        arg, same = (zel.view_as_real(strided)[..., 0], zel.view_as_real(copy)[..., 0]) if name == "rfft" else (
            strided, copy)
        got, want = getattr(zel.fft, name)(arg), getattr(zel.fft, name)(same)
        got, want = [zel.view_as_real(t) if t.is_complex() else t for t in (got, want)]
        assert torch.equal(got._data, want._data), name
    for name in ("fftshift", "ifftshift"):
        assert torch.equal(zel.view_as_real(getattr(zel.fft, name)(strided))._data,
                           zel.view_as_real(getattr(zel.fft, name)(copy))._data)
    out = zel.fft.fftn(x, dim=())
    zel.view_as_real(out)[0, 0, 0] = 99.0
    assert torch.equal(zel.view_as_real(x)._data, before)


def test_empty_batches_keep_their_shape():
    x, t = pair((0, 5), True, 0)
    for name in ("fft", "rfft", "irfft"):
        arg = zel.zeros(0, 5) if name == "rfft" else x
        want = getattr(torch.fft, name)(t.real if name == "rfft" else t)
        assert_matches(getattr(zel.fft, name)(arg), want)


@pytest.mark.parametrize("name", ["fftfreq", "rfftfreq"])
def test_frequencies_match_torch(name):
    for n in (0, 1, 2, 5, 8, 11):
        for d in (1.0, 0.1, 3, -2.5):
            got = getattr(zel.fft, name)(n, d)
            assert_matches(got, getattr(torch.fft, name)(n, d, dtype=torch.float64))
    # The spacing is taken exactly: k / (n d) in limb arithmetic, not k * float64(1 / (n d)).
    with mpmath.workdps(60):
        got = zel.fft.fftfreq(7, 0.1)
        want = [mpmath.mpf(k) / (7 * mpmath.mpf(0.1)) for k in (0, 1, 2, 3, -3, -2, -1)]
        limbs = got._data.tolist()
        for row, w in zip(limbs, want):
            assert abs(sum(mpmath.mpf(v) for v in row) - w) <= abs(w) * mpmath.mpf(2) ** -100
    assert getattr(zel.fft, name)(4, requires_grad=True).requires_grad
    assert not getattr(zel.fft, name)(4).requires_grad


@pytest.mark.parametrize("shape, dim", [((7,), None), ((4, 5), None), ((4, 5), 1), ((4, 5), (0,)),
                                        ((3, 4, 5), (-1, 0)), ((2, 3), (0, 0))])
@pytest.mark.parametrize("complex_", [False, True])
def test_shifts_match_torch(shape, dim, complex_):
    x, t = pair(shape, complex_, 5)
    for name in ("fftshift", "ifftshift"):
        assert_matches(getattr(zel.fft, name)(x, dim=dim), getattr(torch.fft, name)(t, dim=dim))
    back = zel.fft.ifftshift(zel.fft.fftshift(x, dim=dim), dim=dim)
    assert torch.equal(zel.view_as_real(back)._data if complex_ else back._data,
                       zel.view_as_real(x)._data if complex_ else x._data)


def test_out_receives_the_result():
    x, t = pair((3, 8), True, 9)
    out = zel.tensor(np.zeros((3, 8), dtype=np.complex128))
    assert zel.fft.fft(x, norm="ortho", out=out) is out
    assert_matches(out, torch.fft.fft(t, norm="ortho"))
    real_out = zel.zeros(3, 14)
    assert zel.fft.irfft(x, out=real_out) is real_out
    assert_matches(real_out, torch.fft.irfft(t))
    with pytest.raises(RuntimeError, match="shape"):
        zel.fft.fft(x, out=zel.tensor(np.zeros(3, dtype=np.complex128)))
    with pytest.raises(RuntimeError, match="dtype"):
        zel.fft.fft(x, out=zel.zeros(3, 8))


# Each call runs with both modules; zel must raise torch's exception type and
# message, or where torch's message names no operation, its type and ours.
OWN_MESSAGES = {
    lambda m, x, r: m.fft.fftn(r[0, 0]): "fft_fftn\\(\\): expected a tensor of at least one dimension",
    lambda m, x, r: m.fft.fft(r[0, 0]): "fft_fft\\(\\): expected a tensor of at least one dimension",
    lambda m, x, r: m.fft.fftshift(x, dim=()): "fft_fftshift\\(\\): `shifts` required",
    lambda m, x, r: m.fft.ihfftn(x): "ihfftn expects a real-valued input tensor, but got ComplexDouble",
}
ERROR_CALLS = list(OWN_MESSAGES) + [
    lambda m, x, r: m.fft.fft(x, norm="bad"),
    lambda m, x, r: m.fft.ifft2(x, norm="Ortho"),
    lambda m, x, r: m.fft.fft(x, n=0),
    lambda m, x, r: m.fft.rfft(r, n=-3),
    lambda m, x, r: m.fft.fft(x, dim=2),
    lambda m, x, r: m.fft.ihfft(r, dim=-3),
    lambda m, x, r: m.fft.fftn(x, dim=(0, -2)),
    lambda m, x, r: m.fft.fftn(x, s=(3,), dim=(0, 1)),
    lambda m, x, r: m.fft.fftn(x, s=(0, 3)),
    lambda m, x, r: m.fft.fft2(x, dim=(0, 5)),
    lambda m, x, r: m.fft.rfft(x),
    lambda m, x, r: m.fft.ihfft(x),
    lambda m, x, r: m.fft.rfftn(r, dim=()),
    lambda m, x, r: m.fft.irfftn(x, dim=()),
    lambda m, x, r: m.fft.hfftn(x, dim=()),
    lambda m, x, r: m.fft.ihfft2(r, dim=()),
    lambda m, x, r: m.fft.hfft2(r[0]),
    lambda m, x, r: m.fft.irfft(x[:, :1] if m is torch else m.fft.fft(r[:, :1])),
    lambda m, x, r: m.fft.fft([1.0, 2.0]),
    lambda m, x, r: m.fft.fft(x, n=2.5),
    lambda m, x, r: m.fft.fft(x, dim=1.0),
    lambda m, x, r: m.fft.fftfreq(-1),
    lambda m, x, r: m.fft.fftshift(x, dim=3),
    lambda m, x, r: m.fft.fftshift(r[0, 0], dim=0),
    lambda m, x, r: m.fft.rfft2(x),
    lambda m, x, r: m.fft.fftn(r[0], s=(2, 2)),
    lambda m, x, r: m.fft.irfft(x, norm=3),
    lambda m, x, r: m.fft.fftn(x, s=[2.0]),
]


@pytest.mark.parametrize("index", range(len(ERROR_CALLS)))
def test_errors_follow_torch(index):
    call = ERROR_CALLS[index]
    x, t = pair((3, 4), True, 1)
    r, tr = pair((3, 4), False, 2)
    try:
        expected = call(torch, t, tr)
    except Exception as e:  # noqa: BLE001 - the type is compared
        want = e
    else:  # PyTorch 2's fftn of a 0-d tensor transforms no axis
        assert_matches(call(zel, x, r), expected)
        return
    with pytest.raises(Exception) as got:
        call(zel, x, r)
    assert got.type is type(want)
    if call in OWN_MESSAGES:
        assert re.match(OWN_MESSAGES[call], str(got.value)), str(got.value)
    else:
        assert str(got.value) == str(want)


# --- precision against the exact sums ---

def limb_values(t):
    """The exact values of a tensor's elements, flat, as mpmath numbers (complex ones as mpc)."""
    rows = t._data.tolist()
    vals = [mpmath.fsum(mpmath.mpf(v) for v in row) for row in rows]
    return [mpmath.mpc(a, b) for a, b in zip(vals[::2], vals[1::2])] if t.is_complex() else vals


def full_limb_signal(n, seed):
    """n complex values with all eight limbs in use."""
    x, _ = pair((n,), True, seed)
    return x / 3 + zel.tensor(1j) / 7


def dft(xs, ks, sign):
    n = len(xs)
    table = [mpmath.expjpi(sign * 2 * mpmath.mpf(m) / n) for m in range(n)]
    return {k: mpmath.fsum(x * table[j * k % n] for j, x in enumerate(xs)) for k in ks}


def check_against_dft(n, seeds, samples):
    with mpmath.workdps(60):
        for seed in seeds:
            x = full_limb_signal(n, seed)
            xs = limb_values(x)
            size = mpmath.sqrt(mpmath.fsum(abs(v) ** 2 for v in xs))
            ks = sorted({0, 1, n // 2, n - 1} | set(random.Random(seed).sample(range(n), min(n, samples))))
            for name, sign, scale in (("fft", -1, 1), ("ifft", 1, n)):
                got = limb_values(getattr(zel.fft, name)(x, norm="ortho"))
                want = dft(xs, ks, sign)
                worst = max(abs(got[k] - want[k] / mpmath.sqrt(n)) for k in ks) / size
                assert worst <= mpmath.mpf(10) ** -29, (n, seed, name, worst)


@pytest.mark.parametrize("n", [64, 1000])
def test_29_digits_against_exact_sums(n):
    check_against_dft(n, seeds=range(3), samples=24)


def test_29_digits_at_large_lengths():
    for n in (4096, 4099):
        check_against_dft(n, seeds=[n], samples=6)


@pytest.mark.parametrize("n", [64, 1000, 4099])
def test_round_trip(n):
    x = full_limb_signal(n, n + 1)
    with mpmath.workdps(60):
        xs = limb_values(x)
        back = limb_values(zel.fft.ifft(zel.fft.fft(x)))
        size = mpmath.sqrt(mpmath.fsum(abs(v) ** 2 for v in xs))
        worst = max(abs(b - a) for a, b in zip(xs, back))
        assert worst <= mpmath.mpf(2) ** -100 * math.log2(n) * size, (n, worst)


def test_real_round_trips_through_the_one_sided_transforms():
    x, _ = pair((4, 11), False, 4)
    x = x / 3
    with mpmath.workdps(60):
        xs = limb_values(x)
        for back in (zel.fft.irfft(zel.fft.rfft(x), n=11), zel.fft.hfft(zel.fft.ihfft(x), n=11),
                     zel.fft.irfftn(zel.fft.rfftn(x), s=(4, 11))):
            assert max(abs(b - a) for a, b in zip(xs, limb_values(back))) <= mpmath.mpf(2) ** -100


def test_gradients_match_torch():
    a = np.array([0.5, -1.0, 2.0, 0.25, 1.5])
    cases = [lambda m, x: m.fft.fft(x, norm="ortho").abs().sum(),
             lambda m, x: m.fft.rfft(x).imag.sum(),
             lambda m, x: (m.fft.irfft(m.fft.rfft(x) * (1 + 0.5j), n=5) ** 2).sum(),
             lambda m, x: m.fft.ifft2(x.reshape(1, 5) * 1j, norm="forward").real.sum(),
             lambda m, x: m.fft.hfft(x[:3] * (1 - 1j), n=4).sum() + m.fft.fftshift(m.fft.fft(x)).real[0]]
    for f in cases:
        x, t = zel.tensor(a).requires_grad_(), torch.tensor(a, requires_grad=True)
        f(zel, x).backward()
        f(torch, t).backward()
        assert np.allclose(x.grad.numpy(), t.grad.numpy(), rtol=1e-12, atol=1e-13)
