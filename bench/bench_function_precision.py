"""The "full" function precision against numpy-quaddtype (SLEEF's quad
functions, 113 bits), one thread, ns per element on the same inputs in one
run; the "defined" algorithms beside them. Target: full / quaddtype <= 1.0
for exp, log, sin, tanh and the accurate atan2 and expm1.

numpy-quaddtype is the Python 3.12 leg's (pip install numpy-quaddtype);
without it only our figures are printed.

Run: python bench/bench_function_precision.py [--quick]
"""
import sys

import numpy as np
import torch

from _timing import best_of
from varnel.zel import zel

FUNCS = ("exp", "log", "sin", "tanh", "atan2", "expm1")
# Reported beside the targets: the other accurate kernels that run in lanes.
MORE = ("cos", "tan", "sigmoid", "log1p", "log2", "log10", "exp2", "sinh", "cosh", "asin", "acos", "atan",
        "asinh", "acosh", "atanh")
NUMPY_NAMES = {"asin": "arcsin", "acos": "arccos", "atan": "arctan", "asinh": "arcsinh", "acosh": "arccosh",
               "atanh": "arctanh"}


def inputs(n):
    rng = np.random.default_rng(1)
    x = rng.uniform(-3.0, 3.0, n)
    data = {"exp": x, "log": np.abs(x) + 1e-3, "sin": x * 10.0, "tanh": x, "atan2": x, "expm1": x * 0.3}
    data.update({name: x for name in MORE})
    data.update({"cos": x * 10.0, "tan": x * 10.0, "log1p": np.abs(x), "log2": np.abs(x) + 1e-3,
                 "log10": np.abs(x) + 1e-3, "exp2": x * 10.0, "asin": x / 3.01, "acos": x / 3.01,
                 "acosh": np.abs(x) + 1.0, "atanh": x / 3.01})
    return data


def ours(name, values, other):
    t = zel.tensor(values)
    if name == "atan2":
        o = zel.tensor(other)
        return lambda: zel.atan2(t, o)
    f = getattr(zel, name)
    return lambda: f(t)


def quad(name, values, other):
    try:
        import numpy_quaddtype as q
    except ImportError:
        return None
    a = values.astype(q.QuadPrecDType())
    b = other.astype(q.QuadPrecDType())
    if name == "atan2":
        return lambda: np.arctan2(a, b)
    if name == "sigmoid":
        return lambda: 1 / (1 + np.exp(-a))
    f = getattr(np, NUMPY_NAMES.get(name, name), None)
    try:
        f(a[:4])
    except Exception:  # a function numpy-quaddtype lacks
        return None
    return lambda: f(a)


def main():
    n = 10 ** 4 if "--quick" in sys.argv else 10 ** 5
    torch.set_num_threads(1)
    data = inputs(n)
    other = np.random.default_rng(2).uniform(-3.0, 3.0, n)
    print(f"{n} elements, 1 thread, ns per element; target: full / quaddtype <= 1.0")
    print(f"{'function':<10}{'defined':>10}{'full':>10}{'quaddtype':>11}{'full/quad':>11}  met")
    missed = 0
    for name in FUNCS + MORE:
        if name == MORE[0]:
            print("reported, no target:")
        call = ours(name, data[name], other)
        with zel.function_precision("defined"):
            t_defined = best_of(call, repeat=3) / n * 1e9
        with zel.function_precision("full"):
            t_full = best_of(call, repeat=3) / n * 1e9
        q = quad(name, data[name], other)
        if q is None:
            print(f"{name:<10}{t_defined:>10.1f}{t_full:>10.1f}{'-':>11}{'-':>11}")
            continue
        t_q = best_of(q, repeat=3) / n * 1e9
        ratio = t_full / t_q
        met = ""
        if name in FUNCS:
            missed += ratio > 1.0
            met = "yes" if ratio <= 1.0 else "no"
        print(f"{name:<10}{t_defined:>10.1f}{t_full:>10.1f}{t_q:>11.1f}{ratio:>11.2f}  {met}")
    print("(only exp, log, sin, cos, tan, tanh, sigmoid have a defined algorithm; the rest are the accurate\n"
          " kernels in both settings; sigmoid for numpy-quaddtype is 1 / (1 + exp(-x)))")
    if missed:
        print(f"{missed} target(s) missed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
