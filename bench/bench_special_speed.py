"""lgamma, erf, bessel_j0 and i0 against MPFR at 106 bits, one thread, ns per element
on the same inputs in one run (report, no target): lgamma, erf and
bessel_j0 through the tensor API against bench/mpfr_special.cpp (built here
into build/ with g++ -lmpfr); i0, which MPFR lacks, against mpmath's besseli
at 113 bits where that is the only peer at hand.

Run: .venv/bin/python bench/bench_special_speed.py [--quick]
"""
import os
import subprocess
import sys

import numpy as np
import torch

from _timing import best_of
from varnel.zel import zel

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def mpfr_times(cases):
    exe = os.path.join(ROOT, "build", "mpfr_special")
    src = os.path.join(HERE, "mpfr_special.cpp")
    os.makedirs(os.path.dirname(exe), exist_ok=True)
    if not os.path.exists(exe) or os.path.getmtime(exe) < os.path.getmtime(src):
        built = subprocess.run(["g++", "-std=c++17", "-O2", src, "-o", exe, "-lmpfr", "-lgmp"],
                               capture_output=True, text=True)
        if built.returncode != 0:
            print("MPFR bench not built (install libmpfr-dev):", built.stderr.strip().splitlines()[-1:])
            return {}
    text = "".join(f"{name} {len(x)} " + " ".join(repr(float(v)) for v in x) + "\n" for name, x in cases.items())
    out = subprocess.run([exe], input=text, capture_output=True, text=True, check=True).stdout
    return {line.split()[0]: float(line.split()[1]) for line in out.splitlines()}


def main():
    n = 500 if "--quick" in sys.argv else 5000
    torch.set_num_threads(1)
    rng = np.random.default_rng(3)
    cases = {"lgamma": rng.uniform(0.1, 30.0, n), "erf": rng.uniform(-4.0, 4.0, n),
             "j0": rng.uniform(0.0, 40.0, n), "i0": rng.uniform(-40.0, 40.0, n)}
    ours = {"lgamma": zel.lgamma, "erf": zel.erf, "i0": zel.i0,
            "j0": getattr(zel.special, "bessel_j0", None)}
    peer = mpfr_times({k: v for k, v in cases.items() if k != "i0"})
    print(f"{n} elements, 1 thread, ns per element (report); MPFR at 106 bits")
    print(f"{'function':<10}{'ours':>10}{'MPFR':>10}{'ours/MPFR':>11}")
    for name, x in cases.items():
        f = ours[name]
        if f is None:
            print(f"{name:<10}{'-':>10}  (not in this build)")
            continue
        t = zel.tensor(x)
        mine = best_of(lambda: f(t), repeat=3) / n * 1e9
        if name in peer:
            print(f"{name:<10}{mine:>10.1f}{peer[name]:>10.1f}{mine / peer[name]:>11.2f}")
        else:
            import mpmath as mp
            mp.mp.prec = 113
            sample = [mp.mpf(float(v)) for v in x[:200]]
            theirs = best_of(lambda: [mp.besseli(0, v) for v in sample], repeat=3) / len(sample) * 1e9
            print(f"{name:<10}{mine:>10.1f}{'-':>10}{'':>11}  (MPFR has no I0; mpmath besseli at 113 bits: "
                  f"{theirs:.0f} ns, Python loop)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
