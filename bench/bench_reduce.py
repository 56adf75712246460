"""Reductions and matrix products: zel against plain PyTorch float64, against
the same limb algorithm composed from whole-array PyTorch ops, against mpmath
at 32 digits and against the QD library's dd_real; and the self-test's Lorenz
loop against the same loop on PyTorch float64 0-d tensors."""
import os
import subprocess
import time

import torch

from _timing import best_of, row
from bench_elementwise import t_add as add_rows, t_mul as mul_rows
from varnel.zel import zel

torch.manual_seed(0)


def composed_tree_sum(data):
    cur = data
    while cur.shape[0] > 1:
        n = cur.shape[0]
        h = n // 2
        r = add_rows(cur[:h], cur[h:2 * h])
        if n % 2:
            r = torch.cat([r, cur[n - 1:n]])
        cur = r
    return cur


def composed_matmul(a, b, m, k, n):
    """Every output at once, the inner index in order: the limb algorithm
    vectorised over outputs with PyTorch ops."""
    av = a.view(m, k, 8)
    bv = b.view(k, n, 8)
    acc = torch.zeros(m * n, 8, dtype=torch.float64)
    for kk in range(k):
        x = av[:, kk, :].unsqueeze(1).expand(m, n, 8).reshape(m * n, 8)
        y = bv[kk].unsqueeze(0).expand(m, n, 8).reshape(m * n, 8)
        acc = add_rows(acc, mul_rows(x, y))
    return acc


def lorenz(tensor, steps=1000):
    x, y, z = tensor(1.0), tensor(1.0), tensor(1.0)
    t0 = time.perf_counter()
    for _ in range(steps):
        dx = (y - x) * 10.0
        dy = x * (28.0 - z) - y
        dz = x * y - z * 2.6666666666666665
        x, y, z = x + dx * 0.01, y + dy * 0.01, z + dz * 0.01
    return steps / (time.perf_counter() - t0)


def qd_ns_per_term(n):
    here = os.path.dirname(os.path.abspath(__file__))
    exe = os.path.join(here, "..", "build", "qd_matmul")
    os.makedirs(os.path.dirname(exe), exist_ok=True)
    try:
        subprocess.run(["g++", "-O3", "-std=c++17", "-o", exe, os.path.join(here, "qd_matmul.cpp"), "-lqd"],
                       check=True, capture_output=True)
        out = subprocess.run([exe, str(n)], check=True, capture_output=True, text=True)
        return float(out.stdout)
    except (OSError, subprocess.CalledProcessError):
        return None  # libqd-dev not installed


def mpmath_ns_per_term(n):
    import mpmath

    mpmath.mp.dps = 32
    a = mpmath.randmatrix(n)
    b = mpmath.randmatrix(n)
    t0 = time.perf_counter()
    a * b
    return (time.perf_counter() - t0) * 1e9 / n ** 3, mpmath.libmp.BACKEND


def matmul_section():
    print("\nmatmul, ns per multiply-add term")
    threads = torch.get_num_threads()
    for size in (64, 128, 256):
        za = zel.Tensor(torch.randn(size, size, dtype=torch.float64))
        zb = zel.Tensor(torch.randn(size, size, dtype=torch.float64))
        per = {}
        for t in (1, 2):
            torch.set_num_threads(t)
            per[t] = best_of(lambda: za @ zb, repeat=3) * 1e9 / size ** 3
        torch.set_num_threads(threads)
        qd = qd_ns_per_term(size)
        qd_txt = f"  dd_real {qd:6.2f} ns (zel/dd_real = {per[1] / qd:5.2f})" if qd else "  dd_real n/a"
        print(f"  n={size:<4} zel 1 thread {per[1]:6.2f} ns  2 threads {per[2]:6.2f} ns "
              f"(speed-up {per[1] / per[2]:4.2f}){qd_txt}")
    mp, backend = mpmath_ns_per_term(32)
    za = zel.Tensor(torch.randn(32, 32, dtype=torch.float64))
    ours = best_of(lambda: za @ za) * 1e9 / 32 ** 3
    print(f"  n=32   zel {ours:6.2f} ns  mpmath 32 digits ({backend}) {mp:9.1f} ns (mpmath/zel = {mp / ours:7.1f})")


def main():
    print(f"torch {torch.__version__}, {torch.get_num_threads()} threads")
    ours = max(lorenz(zel.tensor) for _ in range(3))
    theirs = max(lorenz(lambda v: torch.tensor(v, dtype=torch.float64)) for _ in range(3))
    print(f"Lorenz 1000 steps: zel {ours:9.0f} steps/s  torch64 0-d {theirs:9.0f} steps/s (zel/torch64 = {ours / theirs:5.2f})")
    for n in (10 ** 6, 10 ** 7):
        z = zel.Tensor(torch.randn(n, dtype=torch.float64))
        row(f"sum of {n} vs torch.sum of (N, 8)", best_of(lambda: z.sum(), repeat=3),
            [("torch64", best_of(lambda: z._data.sum(), repeat=3))])
    for n in (10 ** 4, 10 ** 6):
        x = torch.randn(n, dtype=torch.float64)
        z = zel.Tensor(x)
        row(f"sum of {n}", best_of(lambda: z.sum()),
            [("torch64", best_of(lambda: x.sum())), ("composed", best_of(lambda: composed_tree_sum(z._data), repeat=3))])
        assert torch.equal(z.sum()._data, composed_tree_sum(z._data))
    x = torch.randn(1000, 1000, dtype=torch.float64)
    z = zel.Tensor(x)
    row("sum(dim=1) of 1000x1000", best_of(lambda: z.sum(dim=1)), [("torch64", best_of(lambda: x.sum(dim=1)))])
    row("var of 10^6", best_of(lambda: z.var()), [("torch64", best_of(lambda: x.var()))])
    for size in (32, 128, 256):
        a = torch.randn(size, size, dtype=torch.float64)
        b = torch.randn(size, size, dtype=torch.float64)
        za, zb = zel.Tensor(a), zel.Tensor(b)
        others = [("torch64", best_of(lambda: a @ b))]
        if size <= 128:
            others.append(("composed", best_of(lambda: composed_matmul(za._data, zb._data, size, size, size), repeat=2)))
            assert torch.equal((za @ zb)._data, composed_matmul(za._data, zb._data, size, size, size))
        row(f"matmul {size}x{size}", best_of(lambda: za @ zb, repeat=3), others)
    matmul_section()
    s = zel.Tensor(1.5)
    t = torch.tensor(1.5, dtype=torch.float64)
    row("0-d a + b (call overhead)", best_of(lambda: s + s), [("torch64", best_of(lambda: t + t))])
    row("0-d a * b (call overhead)", best_of(lambda: s * s), [("torch64", best_of(lambda: t * t))])


if __name__ == "__main__":
    main()
