"""Plot the time per element of zel against PyTorch float64 and mpmath.

mpmath runs at 130 significant digits, about what 8 limbs can hold. Writes
docs/speed.png (needs matplotlib, Debian's python3-matplotlib).

    .venv/bin/python bench/plot_speed.py
"""
import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import mpmath  # noqa: E402
import torch  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _timing import best_of  # noqa: E402

from varnel.zel import zel  # noqa: E402

N = 4096  # elements for the element-wise operations and the sum
M = 32  # mpmath elements (it is the slow one)
MAT = 48  # matrix side for matmul


def per_element(fn, count):
    return best_of(fn, repeat=3, min_time=0.05) / count


def main():
    mpmath.mp.dps = 130
    torch.manual_seed(0)
    x64 = torch.rand(N, dtype=torch.float64) + 0.5
    y64 = torch.rand(N, dtype=torch.float64) + 0.5
    x, y = zel.Tensor(x64), zel.Tensor(y64)
    xm = [mpmath.mpf(v) for v in x64[:M].tolist()]
    ym = [mpmath.mpf(v) for v in y64[:M].tolist()]
    a64 = torch.rand(MAT, MAT, dtype=torch.float64)
    a = zel.Tensor(a64)
    am = mpmath.matrix(a64[:12, :12].tolist())

    cases = [
        ("add", lambda: x + y, lambda: x64 + y64, lambda: [p + q for p, q in zip(xm, ym)], N, M),
        ("mul", lambda: x * y, lambda: x64 * y64, lambda: [p * q for p, q in zip(xm, ym)], N, M),
        ("div", lambda: x / y, lambda: x64 / y64, lambda: [p / q for p, q in zip(xm, ym)], N, M),
        ("sqrt", lambda: x.sqrt(), lambda: x64.sqrt(), lambda: [mpmath.sqrt(p) for p in xm], N, M),
        ("exp", lambda: x.exp(), lambda: x64.exp(), lambda: [mpmath.exp(p) for p in xm], N, M),
        ("log", lambda: x.log(), lambda: x64.log(), lambda: [mpmath.log(p) for p in xm], N, M),
        ("sin", lambda: x.sin(), lambda: x64.sin(), lambda: [mpmath.sin(p) for p in xm], N, M),
        ("sum", lambda: x.sum(), lambda: x64.sum(), lambda: mpmath.fsum(xm), N, M),
        # per multiply-add: n^3 for the matrix product
        ("matmul", lambda: a @ a, lambda: a64 @ a64, lambda: am * am, MAT ** 3, 12 ** 3),
    ]
    names, ours, plain, mp = [], [], [], []
    for name, f_zel, f_torch, f_mp, n, n_mp in cases:
        names.append(name)
        ours.append(per_element(f_zel, n) * 1e9)
        plain.append(per_element(f_torch, n) * 1e9)
        mp.append(per_element(f_mp, n_mp) * 1e9)
        print(f"{name:7s} ns/element: zel {ours[-1]:9.2f}  torch f64 {plain[-1]:8.3f}  mpmath(130 digits) {mp[-1]:10.1f}"
              f"   zel/torch {ours[-1] / plain[-1]:7.1f}  mpmath/zel {mp[-1] / ours[-1]:7.1f}")

    fig, ax = plt.subplots(figsize=(10, 5.5))
    width = 0.27
    pos = range(len(names))
    ax.bar([p - width for p in pos], plain, width, label="PyTorch float64 (~16 digits)", color="#4c72b0")
    ax.bar(list(pos), ours, width, label="zel, 8 limbs", color="#dd8452")
    ax.bar([p + width for p in pos], mp, width, label="mpmath, 130 digits", color="#55a868")
    ax.set_yscale("log")
    ax.set_xticks(list(pos))
    ax.set_xticklabels(names)
    ax.set_ylabel("nanoseconds per element (log scale; matmul: per multiply-add)")
    ax.set_title(f"Time per element, CPU, {torch.get_num_threads()} threads "
                 f"({N} elements; matmul {MAT}x{MAT}; lower is better)")
    ax.grid(axis="y", which="major", alpha=0.4)
    ax.legend()
    fig.tight_layout()
    out = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "docs", "speed.png")
    fig.savefig(out, dpi=110)
    print("wrote", out)


if __name__ == "__main__":
    main()
