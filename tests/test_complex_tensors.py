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


def test_operations_without_complex_support_refuse_cleanly():
    z = zel.tensor([1 + 2j, 3 - 4j])
    for f in (lambda: z + 1, lambda: z * z, lambda: z.sum(), lambda: zel.exp(z), lambda: z.reshape(2),
              lambda: z[0], lambda: zel.cat([z, z]), lambda: float(zel.tensor(1j))):
        with pytest.raises((TypeError, ValueError)):
            f()
