"""The per-call floor: + - * / and exp, sin, abs on 0-d tensors against PyTorch's 0-d float64
and against mpmath at 32 digits, and the Lorenz loop of the self-test
(`python -m varnel.zel`) on 0-d zel tensors against the same loop on
PyTorch 0-d float64 tensors. All measured side by side in one run.

Targets: zel/torch <= 0.4 for `a + b` and `a * b`; zel/mpmath < 1 for
+ - * / (and, shown without a target, for exp, sin and abs); Lorenz
torch/zel >= 3.

Run: .venv/bin/python bench/bench_zero_d.py [--quick]
"""
import os
import sys

import mpmath
import torch

from bench_core import paired
from bench_elementwise import operands
from varnel.zel import zel

SIGMA, RHO, BETA, DT = 10.0, 28.0, 2.6666666666666665, 0.01


def lorenz(x, y, z, steps):
    """The self-test's loop: the Python floats promote on either side."""
    for _ in range(steps):
        dx = (y - x) * SIGMA
        dy = x * (RHO - z) - y
        dz = x * y - z * BETA
        x = x + dx * DT
        y = y + dy * DT
        z = z + dz * DT
    return x, y, z


def operators(repeat):
    xa, xb, a, b = operands(0)
    mpmath.mp.dps = 32
    ma, mb = mpmath.mpf(xa.item()), mpmath.mpf(xb.item())
    print(f"\n0-d operands, ns per call; mpmath {mpmath.__version__} at {mpmath.mp.dps} digits, "
          f"backend {mpmath.libmp.BACKEND}")
    print(f"{'op':<8}{'zel':>8}{'torch':>8}{'mpmath':>8}{'zel/torch':>11}{'zel/mpmath':>12}  met")
    cases = [
        ("a + b", lambda: a + b, lambda: xa + xb, lambda: ma + mb, 0.4),
        ("a - b", lambda: a - b, lambda: xa - xb, lambda: ma - mb, None),
        ("a * b", lambda: a * b, lambda: xa * xb, lambda: ma * mb, 0.4),
        ("a / b", lambda: a / b, lambda: xa / xb, lambda: ma / mb, None),
        ("a.exp()", a.exp, xa.exp, lambda: mpmath.exp(ma), None),
        ("a.sin()", a.sin, xa.sin, lambda: mpmath.sin(ma), None),
        ("a.abs()", a.abs, xa.abs, lambda: abs(ma), None),
    ]
    for name, ours, plain, mp, target in cases:
        t_ours, t_plain, t_mp = paired([ours, plain, mp], repeat)
        met = t_ours < t_mp and (target is None or t_ours / t_plain <= target)
        print(f"{name:<8}{t_ours * 1e9:8.0f}{t_plain * 1e9:8.0f}{t_mp * 1e9:8.0f}"
              f"{t_ours / t_plain:11.2f}{t_ours / t_mp:12.2f}  {'yes' if met else 'NO'}")


def lorenz_race(repeat, steps):
    def ours():
        return lorenz(zel.tensor(1.0), zel.tensor(1.0), zel.tensor(1.0), steps)

    def plain():
        one = torch.tensor(1.0, dtype=torch.float64)
        return lorenz(one, one.clone(), one.clone(), steps)

    mine, theirs = ours(), plain()
    # The state diverges only slowly over these steps: both must be near.
    for p, q in zip(mine, theirs):
        if abs(p.item() - q.item()) > 1e-6 * max(1.0, abs(q.item())):
            raise SystemExit(f"Lorenz: zel {p.item()} and torch {q.item()} differ")
    t_ours, t_plain = paired([ours, plain], repeat)
    print(f"\nLorenz, {steps} steps on 0-d tensors (the self-test's loop), ms per run")
    print(f"{'zel':>8}{'torch':>8}{'torch/zel':>11}  met (>= 3)")
    print(f"{t_ours * 1e3:8.2f}{t_plain * 1e3:8.2f}{t_plain / t_ours:11.2f}  "
          f"{'yes' if t_plain / t_ours >= 3 else 'NO'}")


def main():
    quick = "--quick" in sys.argv
    torch.set_num_threads(1)
    print(f"torch {torch.__version__}, 1 thread; load average {os.getloadavg()[0]:.2f}; "
          "best of several runs, measured in alternation")
    operators(3 if quick else 7)
    lorenz_race(3 if quick else 7, 1000)


if __name__ == "__main__":
    main()
