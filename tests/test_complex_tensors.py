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
    for f in (lambda: z // 2, lambda: z.floor(), lambda: z.sum(), lambda: z.reshape(2), lambda: z[0],
              lambda: zel.cat([z, z]), lambda: float(zel.tensor(1j)), lambda: z + "x"):
        with pytest.raises((TypeError, ValueError)):
            f()


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
