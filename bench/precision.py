"""Correct decimal digits of the limb arithmetic against mpmath, per operation.

Inputs are random 8-limb expansions (every limb a genuine lower-order part),
so the reference sees the full value an input holds. Digits are
-log10(|result - exact| / scale), where scale is |exact| for element-wise
operations and the sum of the magnitudes of the terms for sum and matmul
(so the cancellation inherent in the data does not count against the
arithmetic); for solve it is the largest |x|. Capped at 130 when the error
is zero. Prints a markdown table; float64 is PyTorch on the collapsed inputs.

    .venv/bin/python bench/precision.py
"""
import random

import mpmath
import torch

from varnel.zel import tarsk, zel

mpmath.mp.prec = 1200  # holds every 8-limb value and every product exactly
CAP = 130.0


def expansion(rng, lo, hi, positive=False):
    """Limbs of a random value in [lo, hi): each limb about 2^-53 of the one above."""
    lead = rng.uniform(lo, hi)
    if positive:
        lead = abs(lead) or 1.0
    limbs = [lead]
    for _ in range(7):
        limbs.append(limbs[-1] * 2.0 ** -53 * rng.uniform(-1, 1))
    return limbs


def make(rows, shape):
    return zel.from_limbs(torch.tensor(rows, dtype=torch.float64).reshape(*shape, 8))


def exact(limbs):
    return mpmath.fsum(mpmath.mpf(x) for x in limbs)


def values(t):
    return [exact(r) for r in t.numpy_limbs().reshape(-1, 8).tolist()]


def digits(got, want, scale):
    err = abs(got - want)
    if err == 0:
        return CAP
    if scale == 0:
        return 0.0
    return max(0.0, min(CAP, float(-mpmath.log10(err / scale))))


def summary(ds):
    ds = sorted(ds)
    return ds[0], ds[len(ds) // 2]


def elementwise(rng, n, name, op, ref, f64, lo=-10.0, hi=10.0, positive=False, binary=False):
    xs = [expansion(rng, lo, hi, positive) for _ in range(n)]
    ys = [expansion(rng, lo, hi, positive) for _ in range(n)] if binary else None
    x = make(xs, (n,))
    y = make(ys, (n,)) if binary else None
    got = values(op(x, y) if binary else op(x))
    xv = [exact(r) for r in xs]
    yv = [exact(r) for r in ys] if binary else None
    want = [ref(a, b) for a, b in zip(xv, yv)] if binary else [ref(a) for a in xv]
    x64 = torch.tensor([float(v) for v in xv], dtype=torch.float64)
    y64 = torch.tensor([float(v) for v in yv], dtype=torch.float64) if binary else None
    plain = (f64(x64, y64) if binary else f64(x64)).tolist()
    ours = [digits(g, w, abs(w)) for g, w in zip(got, want)]
    theirs = [digits(mpmath.mpf(p), w, abs(w)) for p, w in zip(plain, want)]
    return name, f"{n} values in [{lo:g}, {hi:g})" + (" (abs)" if positive else ""), summary(ours), summary(theirs)


def tree_sum(rng, trials=10, n=1000):
    ours, theirs = [], []
    for _ in range(trials):
        xs = [expansion(rng, -1e3, 1e3) for _ in range(n)]
        xv = [exact(r) for r in xs]
        want = mpmath.fsum(xv)
        scale = mpmath.fsum(abs(v) for v in xv)
        ours.append(digits(values(make(xs, (n,)).sum())[0], want, scale))
        theirs.append(digits(mpmath.mpf(torch.tensor([float(v) for v in xv], dtype=torch.float64).sum().item()),
                             want, scale))
    return "sum", f"{trials} x {n} values", summary(ours), summary(theirs)


def matmul(rng, n=24):
    a = [expansion(rng, -1, 1) for _ in range(n * n)]
    b = [expansion(rng, -1, 1) for _ in range(n * n)]
    av, bv = [exact(r) for r in a], [exact(r) for r in b]
    got = values(zel.matmul(make(a, (n, n)), make(b, (n, n))))
    a64 = torch.tensor([float(v) for v in av], dtype=torch.float64).reshape(n, n)
    b64 = torch.tensor([float(v) for v in bv], dtype=torch.float64).reshape(n, n)
    plain = (a64 @ b64).reshape(-1).tolist()
    ours, theirs = [], []
    for i in range(n):
        for j in range(n):
            terms = [av[i * n + k] * bv[k * n + j] for k in range(n)]
            want, scale = mpmath.fsum(terms), mpmath.fsum(abs(t) for t in terms)
            ours.append(digits(got[i * n + j], want, scale))
            theirs.append(digits(mpmath.mpf(plain[i * n + j]), want, scale))
    return "matmul", f"{n}x{n} @ {n}x{n}", summary(ours), summary(theirs)


def solve(rng, trials=5, n=8):
    ours, theirs = [], []
    for _ in range(trials):
        a = [expansion(rng, -1, 1) for _ in range(n * n)]
        for i in range(n):  # diagonally dominant: well conditioned
            a[i * n + i][0] += n
        b = [expansion(rng, -1, 1) for _ in range(n)]
        av, bv = [exact(r) for r in a], [exact(r) for r in b]
        x = mpmath.lu_solve(mpmath.matrix([av[i * n:(i + 1) * n] for i in range(n)]), mpmath.matrix(bv))
        want = [x[i] for i in range(n)]
        scale = max(abs(w) for w in want)
        got = values(tarsk.solve(make(a, (n, n)), make(b, (n,))))
        plain = torch.linalg.solve(torch.tensor([float(v) for v in av], dtype=torch.float64).reshape(n, n),
                                   torch.tensor([float(v) for v in bv], dtype=torch.float64)).tolist()
        ours.append(min(digits(g, w, scale) for g, w in zip(got, want)))
        theirs.append(min(digits(mpmath.mpf(p), w, scale) for p, w in zip(plain, want)))
    return "solve", f"{trials} systems {n}x{n}, diagonally dominant", summary(ours), summary(theirs)


def main():
    rng = random.Random(2024)
    n = 200
    rows = [
        elementwise(rng, n, "add", lambda x, y: x + y, lambda a, b: a + b, torch.add, binary=True),
        elementwise(rng, n, "mul", lambda x, y: x * y, lambda a, b: a * b, torch.mul, binary=True),
        elementwise(rng, n, "div", lambda x, y: x / y, lambda a, b: a / b, torch.div, binary=True),
        elementwise(rng, n, "reciprocal", lambda x: x.reciprocal(), lambda a: 1 / a, torch.reciprocal),
        elementwise(rng, n, "sqrt", lambda x: x.sqrt(), mpmath.sqrt, torch.sqrt, 0.0, 100.0, positive=True),
        elementwise(rng, n, "exp", lambda x: x.exp(), mpmath.exp, torch.exp),
        elementwise(rng, n, "log", lambda x: x.log(), mpmath.log, torch.log, 0.0, 100.0, positive=True),
        elementwise(rng, n, "sin", lambda x: x.sin(), mpmath.sin, torch.sin),
        elementwise(rng, n, "cos", lambda x: x.cos(), mpmath.cos, torch.cos),
        elementwise(rng, n, "tanh", lambda x: x.tanh(), mpmath.tanh, torch.tanh, -5.0, 5.0),
        tree_sum(rng),
        matmul(rng),
        solve(rng),
    ]
    print("| operation | inputs | zel digits (worst) | zel digits (median) | float64 digits (median) |")
    print("|---|---|---|---|---|")
    for name, inputs, (worst, median), (_, f64) in rows:
        print(f"| {name} | {inputs} | {worst:.1f} | {median:.1f} | {f64:.1f} |")


if __name__ == "__main__":
    main()
