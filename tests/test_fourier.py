"""The Fourier transform kernel on (..., n, 2) tensors of complex elements:
powers of two and Bluestein's lengths against the exact sums in mpmath, the
round trip, and the same bytes whatever the batch around a transform or the
number of threads."""
import random

import mpmath
import numpy as np
import pytest
import torch

from varnel.zel import zel


def complex_values(t):
    rows = t._data.tolist()
    return [mpmath.mpc(sum(mpmath.mpf(v) for v in rows[2 * k]), sum(mpmath.mpf(v) for v in rows[2 * k + 1]))
            for k in range(len(rows) // 2)]


@pytest.mark.parametrize("n", [1, 2, 3, 7, 64, 1000, 4099])
def test_transform_and_round_trip_against_exact_sums(n):
    with mpmath.workprec(200):
        x = np.random.default_rng(n).standard_normal((n, 2))
        z = zel.tensor(x.tolist())
        got = complex_values(zel._fft(z))
        xs = [mpmath.mpc(a, b) for a, b in x]
        norm = mpmath.sqrt(sum(abs(v) ** 2 for v in xs))
        for k in sorted({0, 1 % n, n // 2, n - 1} | set(random.Random(n).sample(range(n), min(n, 5)))):
            want = sum(xs[j] * mpmath.expjpi(-2 * mpmath.mpf(j * k % n) / n) for j in range(n))
            assert abs(got[k] - want) <= norm * mpmath.mpf(10) ** -40, (n, k)
        back = complex_values(zel._fft(zel._fft(z), True))
        assert max(abs(b / n - a) for b, a in zip(back, xs)) <= norm * mpmath.mpf(2) ** -140


def test_inverse_is_the_conjugate_transform():
    z = zel.tensor(np.random.default_rng(1).standard_normal((12, 2)).tolist())
    conj = z * zel.tensor([1.0, -1.0])
    a = zel._fft(z, True)._data.reshape(-1, 2, 8)
    b = (zel._fft(conj) * zel.tensor([1.0, -1.0]))._data.reshape(-1, 2, 8)
    assert torch.equal(a.sum(-1), b.sum(-1))


def test_batches_and_threads_give_the_same_bytes():
    x = np.random.default_rng(2).standard_normal((6, 100, 2))
    whole = zel._fft(zel.tensor(x.tolist()))._data.reshape(6, -1)
    for b in range(6):
        assert torch.equal(zel._fft(zel.tensor(x[b].tolist()))._data.reshape(-1), whole[b])
    saved = torch.get_num_threads()
    try:
        torch.set_num_threads(1)
        one = zel._fft(zel.tensor(x.tolist()))._data
        torch.set_num_threads(2)
        two = zel._fft(zel.tensor(x.tolist()))._data
    finally:
        torch.set_num_threads(saved)
    assert torch.equal(one, two)


def test_shapes_are_checked():
    with pytest.raises(ValueError, match="shape"):
        zel._fft(zel.tensor([1.0, 2.0]))
    with pytest.raises(ValueError, match="Invalid number of data points"):
        zel._fft(zel.zeros(0, 2))
