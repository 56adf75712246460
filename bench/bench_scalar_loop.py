"""Scalar code: a Lorenz RK4 integration written on 0-d values, the same
Python source run on zel 0-d tensors, numpy-quaddtype's QuadPrecision
scalars, python-flint's arb numbers, PyTorch 0-d float64 tensors and mpmath
at 113 bits, measured in alternation in one run.

Target: zel's time per step <= numpy-quaddtype's. The peers that are not
installed are left out (numpy-quaddtype and python-flint install on the
Python 3.12 leg: pip install numpy-quaddtype python-flint).

Run: python bench/bench_scalar_loop.py [--quick]
"""
import os
import sys

import torch

from bench_core import paired
from varnel.zel import zel

SIGMA, RHO, BETA, H = 10.0, 28.0, 8.0 / 3.0, 0.01


def lorenz_rk4(x, y, z, steps):
    """RK4 on the Lorenz system; every constant a Python float."""

    def f(x, y, z):
        return (y - x) * SIGMA, x * (RHO - z) - y, x * y - z * BETA

    h2, h6 = H / 2, H / 6
    for _ in range(steps):
        a1, b1, c1 = f(x, y, z)
        a2, b2, c2 = f(x + a1 * h2, y + b1 * h2, z + c1 * h2)
        a3, b3, c3 = f(x + a2 * h2, y + b2 * h2, z + c2 * h2)
        a4, b4, c4 = f(x + a3 * H, y + b3 * H, z + c3 * H)
        x = x + (a1 + (a2 + a3) * 2.0 + a4) * h6
        y = y + (b1 + (b2 + b3) * 2.0 + b4) * h6
        z = z + (c1 + (c2 + c3) * 2.0 + c4) * h6
    return x, y, z


def libraries():
    """(name, one) for every library present: one(v) is v as that library's scalar."""
    libs = [("zel", lambda v: zel.tensor(v)),
            ("torch float64", lambda v: torch.tensor(v, dtype=torch.float64))]
    try:
        from numpy_quaddtype import QuadPrecision
        libs.insert(1, ("numpy-quaddtype", QuadPrecision))
    except ImportError:
        print("numpy-quaddtype not installed: left out")
    try:
        import flint
        flint.ctx.prec = 113
        libs.insert(2, ("python-flint arb", flint.arb))
    except ImportError:
        print("python-flint not installed: left out")
    import mpmath
    mpmath.mp.prec = 113
    libs.append(("mpmath 113 bits", mpmath.mpf))
    return libs


def main():
    quick = "--quick" in sys.argv
    steps = 200 if quick else 1000
    torch.set_num_threads(1)
    libs = libraries()
    # Every library must follow the same trajectory over these steps.
    ref = lorenz_rk4(1.0, 1.0, 1.0, steps)
    for name, one in libs:
        got = lorenz_rk4(one(1.0), one(1.0), one(1.0), steps)
        for p, q in zip(got, ref):
            if abs(float(p) - q) > 1e-6 * max(1.0, abs(q)):
                raise SystemExit(f"{name}: {float(p)} against float {q}")
    runs = [(lambda one=one: lorenz_rk4(one(1.0), one(1.0), one(1.0), steps)) for _, one in libs]
    times = paired(runs, 3 if quick else 7)
    print(f"Lorenz RK4, {steps} steps on 0-d values, about 80 operations a step; "
          f"torch {torch.__version__}, 1 thread, load average {os.getloadavg()[0]:.2f}; "
          "best of several runs, measured in alternation")
    ours = times[0]
    quad = dict(zip([n for n, _ in libs], times)).get("numpy-quaddtype")
    print(f"{'library':<20}{'us/step':>10}{'time/zel':>10}")
    for (name, _), t in zip(libs, times):
        print(f"{name:<20}{t / steps * 1e6:10.2f}{t / ours:10.2f}")
    if quad is not None:
        print(f"zel / numpy-quaddtype = {ours / quad:.2f}  target <= 1.0: "
              f"{'met' if ours <= quad else 'NOT met'}")


if __name__ == "__main__":
    main()
