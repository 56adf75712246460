"""Accuracy of the accurate element functions against mpmath at 300 bits, and
of the functions with a defined algorithm (exp, log, sin, ...) in both
function precisions ("defined" and "full").

For every function: random inputs over its domain, drawn in several exponent
ranges (each element carries genuine lower limbs, so the full 8-limb value is
what is measured), plus stress sets: near 0, near +-1 for asin/acos/atanh,
large arguments for sinh/cosh/erfc, log1p/expm1 on [-1e-10, 1e-10], atan2 in
all quadrants, hypot near overflow and underflow; lerp, addcmul and addcdiv
on random operands. Prints worst and median correct bits,
-log2(|got - exact| / |exact|), per set and per function; the summary also
gives the worst over results of at least 2^-900.
Results below 2^-970 in magnitude are left out: an expansion of float64
limbs cannot hold 100 bits there (its lower limbs would be subnormal); so
are results beyond the float64 range (they are inf).

Run: .venv/bin/python bench/accuracy.py [--n N] [--only NAME ...]
(N random inputs per function, default 10000; stress sets N/10 each).
"""
import argparse
import math
import statistics
import sys

import mpmath as mp
import numpy as np
import torch

from varnel.zel import zel

mp.mp.prec = 300
TINY = mp.mpf(2) ** -970
CLEAR = mp.mpf(2) ** -900  # above it the lowest limb is clear of the subnormal range
HUGE = mp.mpf(sys.float_info.max)  # beyond it the result is inf
CAP = 200.0  # bits reported for an exact result


def exact_value(row):
    return mp.fsum(mp.mpf(float(v)) for v in row)


def rows_of(values, rng):
    """Elements whose limbs 1 and 2 hold genuine lower-order parts."""
    v = np.asarray(values, dtype=np.float64)
    r = np.zeros((len(v), 8))
    r[:, 0] = v
    r[:, 1] = v * 2.0 ** -53 * rng.uniform(-1, 1, len(v))
    r[:, 2] = r[:, 1] * 2.0 ** -53 * rng.uniform(-1, 1, len(v))
    return r


def tensor(rows):
    data = torch.tensor(rows, dtype=torch.float64)
    return zel.Tensor(_raw=data, _shape=(len(rows),))


def correct_bits(got, exact):
    if exact == 0:
        return CAP if got == 0 else 0.0
    err = abs(got - exact) / abs(exact)
    return CAP if err == 0 else min(CAP, float(-mp.log(err, 2)))


def uniform(rng, lo, hi, n):
    return rng.uniform(lo, hi, n)


def log_uniform(rng, lo, hi, n, signed=True):
    v = np.exp(rng.uniform(math.log(lo), math.log(hi), n))
    return v * rng.choice([-1.0, 1.0], n) if signed else v


def trunc_exact(x):
    return mp.mpf(int(x))


def exactly(f):
    """f() at a precision where the remainders are exact (quotients below 2^900)."""
    with mp.workprec(2000):
        return +f()


REFERENCE = {
    "asin": mp.asin, "acos": mp.acos, "atan": mp.atan, "sinh": mp.sinh, "cosh": mp.cosh,
    "asinh": mp.asinh, "acosh": mp.acosh, "atanh": mp.atanh, "expm1": mp.expm1, "log1p": mp.log1p,
    "log2": lambda x: mp.log(x, 2), "log10": mp.log10, "exp2": lambda x: mp.mpf(2) ** x,
    "erf": mp.erf, "erfc": mp.erfc, "rsqrt": lambda x: 1 / mp.sqrt(x),
    "sinc": lambda x: mp.sinpi(x) / (mp.pi * x), "logit": lambda x: mp.log(x / (1 - x)),
    "deg2rad": lambda x: x * mp.pi / 180, "rad2deg": lambda x: x * 180 / mp.pi,
    "trunc": trunc_exact, "frac": lambda x: x - trunc_exact(x),
    "atan2": mp.atan2, "hypot": mp.hypot, "pow": mp.power, "float_power": mp.power,
    "fmod": lambda x, y: exactly(lambda: x - trunc_exact(x / y) * y),
    "remainder": lambda x, y: exactly(lambda: x - mp.floor(x / y) * y),
    "logaddexp": lambda x, y: mp.log(mp.exp(x) + mp.exp(y)),
    "logaddexp2": lambda x, y: mp.log(mp.power(2, x) + mp.power(2, y), 2),
    "xlogy": lambda x, y: x * mp.log(y),
    "lerp": lambda s, e, w: s + w * (e - s),
    "addcmul": lambda i, a, b: i + a * b,
    "addcdiv": lambda i, a, b: i + a / b,
    # The functions with a defined algorithm, measured in both function precisions.
    "exp": mp.exp, "log": mp.log, "sin": mp.sin, "cos": mp.cos, "tan": mp.tan, "tanh": mp.tanh,
    "sigmoid": lambda x: 1 / (1 + mp.exp(-x)), "silu": lambda x: x / (1 + mp.exp(-x)),
    # gelu's tanh form as x sigmoid(2z): 1 + tanh(z) cancels for z << 0 even at 300 bits.
    "gelu": lambda x: x / (1 + mp.exp(-2 * mp.mpf(0.7978845608028654) * (x + mp.mpf(0.044715) * x ** 3))),
}
# Measured under both settings of zel.function_precision.
BOTH_PRECISIONS = ("exp", "log", "sin", "cos", "tan", "tanh", "sigmoid", "silu", "gelu")


def unary_sets(rng, n):
    """{function: [(set name, values)]}: the random sets first, then stress sets."""
    s = max(n // 10, 10)
    third = max(n // 3, 1)
    U = lambda lo, hi, k=third: uniform(rng, lo, hi, k)
    L = lambda lo, hi, k=third, signed=True: log_uniform(rng, lo, hi, k, signed)
    near = lambda c, k=s: c - np.sign(c) * L(1e-30, 1e-2, k, signed=False)
    return {
        "asin": [("[-1,1]", U(-1, 1, 2 * third)), ("|x| in 1e-300..1", L(1e-300, 1)),
                 ("near +-1", np.concatenate([near(1.0), near(-1.0)])), ("near 0", L(1e-30, 1e-8, s))],
        "acos": [("[-1,1]", U(-1, 1, 2 * third)), ("|x| in 1e-300..1", L(1e-300, 1)),
                 ("near +-1", np.concatenate([near(1.0), near(-1.0)])), ("near 0", L(1e-30, 1e-8, s))],
        "atan": [("[-4,4]", U(-4, 4)), ("|x| in 1e-300..1e300", L(1e-300, 1e300)), ("[-1e3,1e3]", U(-1e3, 1e3)),
                 ("near 0", L(1e-30, 1e-8, s))],
        "sinh": [("[-1,1]", U(-1, 1)), ("[-710,710]", U(-710, 710)), ("|x| in 1e-300..1", L(1e-300, 1)),
                 ("near 0", L(1e-30, 1e-8, s)), ("large", U(700, 710.4, s))],
        "cosh": [("[-1,1]", U(-1, 1)), ("[-710,710]", U(-710, 710)), ("|x| in 1e-300..1", L(1e-300, 1)),
                 ("large", U(700, 710.4, s))],
        "asinh": [("[-10,10]", U(-10, 10)), ("|x| in 1e-300..1e300", L(1e-300, 1e300)),
                  ("|x| in 1e-5..1e5", L(1e-5, 1e5)), ("near 0", L(1e-30, 1e-8, s))],
        "acosh": [("[1,10]", U(1, 10)), ("x in 1..1e300", 1 + L(1e-300, 1e300, signed=False)),
                  ("x in 1+1e-5..1e5", 1 + L(1e-5, 1e5, signed=False)), ("near 1", 1 + L(1e-30, 1e-3, s, False))],
        "atanh": [("[-1,1]", U(-1, 1)), ("|x| in 1e-300..1", L(1e-300, 1)), ("[-0.5,0.5]", U(-0.5, 0.5)),
                  ("near +-1", np.concatenate([near(1.0), near(-1.0)])), ("near 0", L(1e-30, 1e-8, s))],
        "expm1": [("[-1,1]", U(-1, 1)), ("[-50,709]", U(-50, 709)), ("|x| in 1e-300..1", L(1e-300, 1)),
                  ("[-1e-10,1e-10]", U(-1e-10, 1e-10, s))],
        "log1p": [("[-1,1]", U(-1, 1)), ("x in 1e-300..1e300", L(1e-300, 1e300, signed=False)),
                  ("|x| in 1e-300..1", L(1e-300, 1)), ("[-1e-10,1e-10]", U(-1e-10, 1e-10, s)),
                  ("near -1", -1 + L(1e-30, 1e-3, s, False))],
        "log2": [("[0.5,2]", U(0.5, 2)), ("x in 1e-300..1e300", L(1e-300, 1e300, signed=False)),
                 ("[0,100]", U(0, 100)), ("near 1", 1 + L(1e-30, 1e-3, s))],
        "log10": [("[0.5,2]", U(0.5, 2)), ("x in 1e-300..1e300", L(1e-300, 1e300, signed=False)),
                  ("[0,100]", U(0, 100)), ("near 1", 1 + L(1e-30, 1e-3, s))],
        "exp2": [("[-1,1]", U(-1, 1)), ("[-1000,1000]", U(-1000, 1000)), ("|x| in 1e-300..1", L(1e-300, 1)),
                 ("near 0", L(1e-30, 1e-8, s))],
        "erf": [("[-3,3]", U(-3, 3)), ("[-8,8]", U(-8, 8)), ("|x| in 1e-300..1", L(1e-300, 1)),
                ("near 0", L(1e-30, 1e-8, s))],
        "erfc": [("[-3,3]", U(-3, 3)), ("[-6,27]", U(-6, 27)), ("|x| in 1e-300..1", L(1e-300, 1)),
                 ("large [10,26]", U(10, 26, s)), ("near 3", U(2.9, 3.1, s))],
        "rsqrt": [("[0,4]", U(0, 4)), ("x in 1e-300..1e300", L(1e-300, 1e300, 2 * third, signed=False))],
        "sinc": [("[-10,10]", U(-10, 10)), ("|x| in 1e-300..1e300", L(1e-300, 1e300)),
                 ("|x| in 1e-5..1e5", L(1e-5, 1e5)), ("near 0", L(1e-30, 1e-8, s))],
        "logit": [("[0,1]", U(0, 1)), ("x in 1e-300..0.5", L(1e-300, 0.5, signed=False)),
                  ("near 1/2", 0.5 + L(1e-30, 1e-3, third)), ("near 1", 1 - L(1e-30, 1e-2, s, False))],
        "deg2rad": [("|x| in 1e-300..1e300", L(1e-300, 1e300, 2 * third)), ("[-360,360]", U(-360, 360))],
        "rad2deg": [("|x| in 1e-300..1e300", L(1e-300, 1e300, 2 * third)), ("[-7,7]", U(-7, 7))],
        "trunc": [("|x| in 1..1e30", L(1, 1e30, 2 * third)), ("[-100,100]", U(-100, 100))],
        "frac": [("|x| in 1e-5..1e15", L(1e-5, 1e15, 2 * third)), ("[-100,100]", U(-100, 100))],
        "exp": [("[-1,1]", U(-1, 1)), ("[-700,700]", U(-700, 700)), ("|x| in 1e-300..1", L(1e-300, 1)),
                ("near 0", L(1e-30, 1e-8, s))],
        "log": [("[0.5,2]", U(0.5, 2)), ("x in 1e-300..1e300", L(1e-300, 1e300, signed=False)),
                ("[0,100]", U(0, 100)), ("near 1", 1 + L(1e-30, 1e-3, s))],
        "sin": [("[-4,4]", U(-4, 4)), ("|x| in 1e-300..1e15", L(1e-300, 1e15)), ("[-1e5,1e5]", U(-1e5, 1e5)),
                ("near k pi", np.round(U(-1e6, 1e6, s) / np.pi) * np.pi)],
        "cos": [("[-4,4]", U(-4, 4)), ("|x| in 1e-300..1e15", L(1e-300, 1e15)), ("[-1e5,1e5]", U(-1e5, 1e5)),
                ("near (k+1/2) pi", (np.round(U(-1e6, 1e6, s) / np.pi) + 0.5) * np.pi)],
        "tan": [("[-1.5,1.5]", U(-1.5, 1.5)), ("|x| in 1e-300..1e15", L(1e-300, 1e15)),
                ("[-1e5,1e5]", U(-1e5, 1e5)), ("near k pi/2", np.round(U(-1e6, 1e6, s) / (np.pi / 2)) * (np.pi / 2))],
        "tanh": [("[-1,1]", U(-1, 1)), ("[-40,40]", U(-40, 40)), ("|x| in 1e-300..1", L(1e-300, 1)),
                 ("near 0", L(1e-30, 1e-8, s))],
        "sigmoid": [("[-10,10]", U(-10, 10)), ("[-700,700]", U(-700, 700)), ("near 0", L(1e-30, 1e-8, third))],
        "silu": [("[-10,10]", U(-10, 10)), ("[-700,700]", U(-700, 700)), ("near 0", L(1e-30, 1e-8, third))],
        "gelu": [("[-5,5]", U(-5, 5)), ("[-30,30]", U(-30, 30)), ("near 0", L(1e-30, 1e-8, third))],
    }


def binary_sets(rng, n):
    s = max(n // 10, 10)
    half = max(n // 2, 1)
    U = lambda lo, hi, k=half: uniform(rng, lo, hi, k)
    L = lambda lo, hi, k=half, signed=True: log_uniform(rng, lo, hi, k, signed)
    quadrants = [(U(-1, 1, s), U(-1, 1, s)), (L(1e-20, 1e20, s), -L(1e-20, 1e20, s, False))]
    pow_sets = [("x in 1e-5..1e5, y in [-30,30]", L(1e-5, 1e5, signed=False), U(-30, 30)),
                ("x in [0.9,1.1], y in [-1000,1000]", U(0.9, 1.1), U(-1000, 1000)),
                ("x < 0, y integral", -L(1e-3, 1e3, s, False), np.round(U(-40, 40, s))),
                ("x near 1, y large", 1 + L(1e-20, 1e-5, s), U(-1e6, 1e6, s))]
    return {
        "atan2": [("|y|,|x| in 1e-300..1e300", L(1e-300, 1e300), L(1e-300, 1e300)),
                  ("[-1,1]^2", U(-1, 1), U(-1, 1)),
                  ("all quadrants", np.concatenate([q[0] for q in quadrants]),
                   np.concatenate([q[1] for q in quadrants]))],
        "hypot": [("|a|,|b| in 1e-300..1e300", L(1e-300, 1e300), L(1e-300, 1e300)), ("[-1,1]^2", U(-1, 1), U(-1, 1)),
                  ("near overflow", L(1e300, 1.7e308, s), L(1e300, 1.7e308, s)),
                  ("near underflow", L(1e-300, 1e-280, s), L(1e-300, 1e-280, s))],
        "pow": pow_sets,
        "float_power": pow_sets[:1],
        "fmod": [("|a| in 1e-10..1e10, |b| in 1e-5..1e5", L(1e-10, 1e10), L(1e-5, 1e5)),
                 ("quotient up to 2^300", L(1e50, 1e90, s), L(1e-5, 1e5, s))],
        "remainder": [("|a| in 1e-10..1e10, |b| in 1e-5..1e5", L(1e-10, 1e10), L(1e-5, 1e5))],
        "logaddexp": [("[-100,100]^2", U(-100, 100), U(-100, 100)), ("close", U(-5, 5), U(-5, 5))],
        "logaddexp2": [("[-100,100]^2", U(-100, 100), U(-100, 100)), ("close", U(-5, 5), U(-5, 5))],
        "xlogy": [("|x| in 1e-5..1e5, y in 1e-300..1e300", L(1e-5, 1e5), L(1e-300, 1e300, signed=False)),
                  ("y near 1", U(-10, 10), 1 + L(1e-30, 1e-3))],
    }


def ternary_sets(rng, n):
    k = max(n, 1)
    U = lambda lo, hi: uniform(rng, lo, hi, k)
    L = lambda lo, hi: log_uniform(rng, lo, hi, k)
    return {
        "lerp": [("start, end in 1e-5..1e5, weight in [-1,2]", L(1e-5, 1e5), L(1e-5, 1e5), U(-1, 2))],
        "addcmul": [("all in 1e-5..1e5", L(1e-5, 1e5), L(1e-5, 1e5), L(1e-5, 1e5))],
        "addcdiv": [("all in 1e-5..1e5", L(1e-5, 1e5), L(1e-5, 1e5), L(1e-5, 1e5))],
    }


def measure(name, operands, rng):
    fn = getattr(zel, name)
    rows = [rows_of(v, rng) for v in operands]
    got = fn(*[tensor(r) for r in rows])._data.numpy()
    ref = REFERENCE[name]
    bits, worst = [], (math.inf, None)  # bits: (correct bits, result above CLEAR)
    for i in range(len(rows[0])):
        args = [exact_value(r[i]) for r in rows]
        try:
            exact = ref(*args)
        except (ValueError, ZeroDivisionError):
            continue
        if isinstance(exact, mp.mpc) or not mp.isfinite(exact) or abs(exact) > HUGE or (exact != 0 and abs(exact) < TINY):
            continue
        b = correct_bits(exact_value(got[i]), exact)
        bits.append((b, exact == 0 or abs(exact) >= CLEAR))
        if b < worst[0]:
            worst = (b, float(args[0]) if len(args) == 1 else tuple(float(a) for a in args))
    return bits, worst


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=10000)
    parser.add_argument("--only", nargs="*")
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    rng = np.random.default_rng(args.seed)
    sets = {k: [(label, [v]) for label, v in cases] for k, cases in unary_sets(rng, args.n).items()}
    for family in (binary_sets(rng, args.n), ternary_sets(rng, args.n)):
        sets.update({k: [(c[0], list(c[1:])) for c in cases] for k, cases in family.items()})
    print(f"{'function':<12}{'set':<40}{'n':>7}{'worst':>8}{'median':>8}  worst at")
    summary = []
    for name, cases in sets.items():
        if args.only and name not in args.only:
            continue
        for precision in (("defined", "full") if name in BOTH_PRECISIONS else ("defined",)):
            shown = f"{name} ({precision})" if name in BOTH_PRECISIONS else name
            everything = []
            with zel.function_precision(precision):
                for label, operands in cases:
                    bits, worst = measure(name, operands, rng)
                    everything += bits
                    if bits:
                        b = [x for x, _ in bits]
                        print(f"{shown:<12}{label:<40}{len(b):>7}{min(b):>8.1f}{statistics.median(b):>8.1f}"
                              f"  {worst[1]}")
            if everything:
                b = [x for x, _ in everything]
                clear = [x for x, c in everything if c] or [math.inf]
                summary.append((shown, len(b), min(b), min(clear), statistics.median(b)))
            sys.stdout.flush()
    print("\nSummary (all sets):")
    print(f"{'function':<18}{'n':>8}{'worst':>8}{'worst >= 2^-900':>17}{'median':>8}")
    for name, n, w, wc, med in summary:
        print(f"{name:<18}{n:>8}{w:>8.1f}{wc:>17.1f}{med:>8.1f}")


if __name__ == "__main__":
    main()
