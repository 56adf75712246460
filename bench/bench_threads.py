"""Threads: each call on 2 threads against the same call on 1, measured in
alternation in one run. 10^6 elements for `/`, sqrt, exp and sin, and a
256 x 256 matmul (target on a 2-core machine: >= 1.8x each). The bytes of
both results are checked equal first.

Run: .venv/bin/python bench/bench_threads.py [--quick]
"""
import os
import sys

import torch

from _timing import best_of
from varnel.zel import zel


def operands(n, seed):
    g = torch.Generator().manual_seed(seed)
    return zel.Tensor(torch.rand(n, generator=g, dtype=torch.float64) + 0.5)


def main():
    quick = "--quick" in sys.argv
    n = 10 ** 5 if quick else 10 ** 6
    size = 128 if quick else 256
    x, y = operands(n, 1), operands(n, 2)
    m = operands(size * size, 3).reshape(size, size)
    cases = [
        (f"/ ({n} elements)", lambda: x / y),
        (f"sqrt ({n})", lambda: x.sqrt()),
        (f"exp ({n})", lambda: x.exp()),
        (f"sin ({n})", lambda: x.sin()),
        (f"matmul ({size} x {size})", lambda: m @ m),
    ]
    saved = torch.get_num_threads()
    print(f"threads: 1 against 2; os.cpu_count() = {os.cpu_count()}, load average {os.getloadavg()[0]:.2f}")
    try:
        for label, fn in cases:
            torch.set_num_threads(1)
            one = fn().sha256()
            torch.set_num_threads(2)
            if fn().sha256() != one:
                raise SystemExit(f"{label}: 1 and 2 threads give different bytes")
            best = {1: float("inf"), 2: float("inf")}
            for _ in range(2 if quick else 3):
                for k in (1, 2):
                    torch.set_num_threads(k)
                    best[k] = min(best[k], best_of(fn, repeat=3, min_time=0.1))
            print(f"{label:<28} 1 thread {best[1] * 1e3:9.2f} ms   2 threads {best[2] * 1e3:9.2f} ms"
                  f"   speed-up {best[1] / best[2]:5.2f}x")
    finally:
        torch.set_num_threads(saved)


if __name__ == "__main__":
    main()
