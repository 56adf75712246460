"""Fourier transforms and complex products, each timed beside its reference in
the same run:

- zel.fft.fft of 2^16 points against NumPy's float64 np.fft.fft;
- zel.fft.fft at n = 4096 against the direct O(n^2) transform in this
  library: the DFT matrix taken row block by row block from an n-entry table
  of twiddles by the exact index j*k mod n, times the vector (real matrix-
  vector products for the four real/imaginary pairings); target >= 50x;
- z * w against x * y on 10^5 complex and real elements; target <= 4.5x.

Run: .venv/bin/python bench/bench_fft.py [--quick]
"""
import sys
import time

import numpy as np
import torch

from _timing import best_of
from varnel.zel import zel


def best_cold(fn, repeat):
    """Best of `repeat` calls, no warm-up call: for calls of a second or more."""
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def twiddle_table(n):
    """cos and sin of 2 pi m / n, m < n, by the accurate functions."""
    with zel.function_precision("full"):
        angle = zel.arange(0, n) * (zel.acos(zel.tensor(-1.0)) * 2) / n
        return zel.cos(angle), zel.sin(angle)


def direct_dft(xr, xi, cos, sin, block=256):
    """y_k = sum_j x_j e^(-2 pi i jk/n): W = C - i S, so Re y = C xr + S xi, Im y = C xi - S xr."""
    n = xr.shape[0]
    j = torch.arange(n, dtype=torch.int64)
    re, im = [], []
    for start in range(0, n, block):
        k = torch.arange(start, min(start + block, n), dtype=torch.int64)
        index = (k[:, None] * j[None, :] % n).reshape(-1)
        c = zel.index_select(cos, 0, index).reshape(len(k), n)
        s = zel.index_select(sin, 0, index).reshape(len(k), n)
        re.append(c @ xr + s @ xi)
        im.append(c @ xi - s @ xr)
    return zel.cat(re), zel.cat(im)


def main():
    quick = "--quick" in sys.argv
    rng = np.random.default_rng(0)
    print(f"torch threads: {torch.get_num_threads()}{'  (quick)' if quick else ''}")

    n = 1 << 16
    a = rng.standard_normal(n) + 1j * rng.standard_normal(n)
    z = zel.tensor(a)
    ours = best_of(lambda: zel.fft.fft(z), repeat=2 if quick else 5)
    numpy = best_of(lambda: np.fft.fft(a), repeat=5)
    print(f"fft 2^16 points               zel {ours * 1e3:9.2f} ms  numpy float64 {numpy * 1e3:8.3f} ms"
          f"  zel/numpy = {ours / numpy:7.1f}")

    n = 4096
    a = rng.standard_normal(n) + 1j * rng.standard_normal(n)
    z = zel.tensor(a)
    xr, xi = zel.tensor(a.real), zel.tensor(a.imag)
    cos, sin = twiddle_table(n)
    fast = best_of(lambda: zel.fft.fft(z), repeat=2 if quick else 5)
    slow, (yr, yi) = best_cold(lambda: direct_dft(xr, xi, cos, sin), 1 if quick else 2)
    got = zel.view_as_real(zel.fft.fft(z))
    diff = max(float((got[..., 0] - yr).abs().max()), float((got[..., 1] - yi).abs().max()))
    print(f"fft 4096 points               zel {fast * 1e3:9.2f} ms  direct DFT {slow * 1e3:10.1f} ms"
          f"  direct/fft = {slow / fast:7.1f} (target >= 50)  max |difference| {diff:.1e}")

    n = 100000
    z = zel.tensor(rng.standard_normal(n) + 1j * rng.standard_normal(n)) / 3
    w = zel.tensor(rng.standard_normal(n) + 1j * rng.standard_normal(n)) / 7
    x, y = zel.view_as_real(z)[..., 0], zel.view_as_real(w)[..., 0]
    # Alternating rounds, the best of each: on a shared machine the load moves between calls.
    complex_time = real_time = float("inf")
    for _ in range(3 if quick else 8):
        complex_time = min(complex_time, best_of(lambda: z * w, repeat=3))
        real_time = min(real_time, best_of(lambda: x * y, repeat=3))
    print(f"z * w, 10^5 complex           zel {complex_time * 1e3:9.3f} ms  x * y real {real_time * 1e3:8.3f} ms"
          f"  complex/real = {complex_time / real_time:5.2f} (target <= 4.5)")


if __name__ == "__main__":
    main()
