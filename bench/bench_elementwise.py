"""Element-wise speed: our fused passes against plain PyTorch float64 doing the
same call, against the same limb algorithms composed from PyTorch ops on
(N, 8) arrays (one whole-array op per limb step, the unfused way), against
mpmath at 32 digits, and, one thread each, against the QD library's dd_real
and qd_real (bench/qd_bench.cpp, built here into build/ with g++ -lqd).

Targets: at 0-d each function within 10x of PyTorch's float64 call and at
least 20x faster than mpmath; at 10^6 elements `/`, sqrt and exp within 3x of
qd_real's ns per element.

Run: .venv/bin/python bench/bench_elementwise.py [--quick]
"""
import glob
import math
import os
import subprocess
import sys
import time

import torch

from _timing import best_of
from varnel.zel import zel

LN2 = [0.6931471805599453, 2.3190468138462996e-17, 5.707708438416212e-34]
SPLIT = 134217729.0


def best_cold(fn, repeat):
    """Best of `repeat` calls, no warm-up call: for calls of seconds."""
    best = math.inf
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def best_time(fn, repeat):
    fn()  # warm-up
    best = math.inf
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


# --- the limb algorithms as whole-array PyTorch ops ------------------------------

def two_sum(a, b):
    s = a + b
    ap = s - b
    bp = s - ap
    return s, (a - ap) + (b - bp)


def split(a):
    big = SPLIT * a
    hi = big - (big - a)
    return hi, a - hi


def two_product(a, b):
    p = a * b
    ah, al = split(a)
    bh, bl = split(b)
    return p, (((ah * bh - p) + ah * bl) + al * bh) + al * bl


def t_add(a, b):
    s, e = two_sum(a, b)
    r = s.clone()
    r[:, 1:] = r[:, 1:] + e[:, :-1]
    return r


def t_renormalise(a):
    t = torch.zeros_like(a)
    s = a[:, 7]
    for k in range(6, -1, -1):
        s, t[:, k + 1] = two_sum(a[:, k], s)
    t[:, 0] = s
    out = torch.zeros_like(a)
    i = torch.zeros(a.shape[0], 1, dtype=torch.long)
    s = t[:, 0]
    for k in range(1, 8):
        s2, e = two_sum(s, t[:, k])
        nz = e != 0
        out.scatter_(1, i, torch.where(nz, s2, out.gather(1, i)[:, 0]).unsqueeze(1))
        i = i + nz.long().unsqueeze(1)
        s = torch.where(nz, e, s2)
    out.scatter_(1, i, s.unsqueeze(1))
    return out


def t_dominant(a):
    need = (a[:, 1:].abs() > 2.0 ** -49 * a[:, :1].abs()).any(dim=1) & torch.isfinite(a[:, 0])
    if not bool(need.any()):
        return a
    return torch.where(need.unsqueeze(1), t_renormalise(a), a)


def t_mul(a, b):
    a, b = torch.broadcast_tensors(t_dominant(a), t_dominant(b))
    p, e = two_product(a[:, 0], b[:, 0])
    r = torch.zeros_like(a)
    r[:, 0] = p
    r[:, 1] = (e + a[:, 0] * b[:, 1]) + a[:, 1] * b[:, 0]
    r[:, 2] = (a[:, 1] * b[:, 1] + a[:, 0] * b[:, 2]) + a[:, 2] * b[:, 0]
    return r


def t_mul_scalar(a, c):
    p, e = two_product(a, c)
    r = p.clone()
    r[:, 1:] = r[:, 1:] + e[:, :-1]
    return r


def approx(a):
    s = a[:, 7]
    for k in range(6, -1, -1):
        s = s + a[:, k]
    return s


def fresh(col):
    r = torch.zeros(col.shape[0], 8, dtype=torch.float64)
    r[:, 0] = col
    return r


def t_reciprocal(b):
    two = fresh(torch.tensor([2.0], dtype=torch.float64))
    x = fresh(1.0 / approx(b))
    for _ in range(12):
        x = t_mul(x, t_add(two, -t_mul(b, x)))
    return x


def t_div(a, b):
    return t_mul(a, t_reciprocal(b))


def t_exp(a):
    val = approx(a)
    k = torch.floor(val / LN2[0])
    ln2 = torch.tensor([LN2 + [0.0] * 5], dtype=torch.float64)
    r = t_add(a, -t_mul_scalar(ln2, k.unsqueeze(1)))
    one = fresh(torch.ones(a.shape[0], dtype=torch.float64))
    result, term = one, one
    inv = [None] + [t_reciprocal(fresh(torch.tensor([float(i)], dtype=torch.float64))) for i in range(1, 20)]
    for i in range(1, 20):
        term = t_mul(t_mul(term, r), inv[i])
        result = t_add(result, term)
    return torch.ldexp(result, k.unsqueeze(1))


def t_sqrt(a):
    half = fresh(torch.tensor([0.5], dtype=torch.float64))
    y = fresh(torch.sqrt(approx(a)))
    for _ in range(8):
        y = t_mul(half, t_add(y, t_div(a, y)))
    return y


# --- the runs ---------------------------------------------------------------------

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
FUNCS = ["/", "reciprocal", "sqrt", "exp", "log", "sin", "tanh", "softmax"]
MP_DIGITS = 32


def operands(n):
    """Two zel operands in [0.5, 1.5) with lower limbs in use, as after any
    arithmetic; n == 0 gives 0-d tensors."""
    g = torch.Generator().manual_seed(0)
    shape = () if n == 0 else (n,)
    xa = torch.rand(shape, generator=g, dtype=torch.float64) + 0.5
    xb = torch.rand(shape, generator=g, dtype=torch.float64) + 0.5
    a = zel.Tensor(xa) + zel.Tensor(xb * 1e-17)
    b = zel.Tensor(xb) * zel.Tensor(1.0 + 1e-17)
    return xa, xb, a, b


def zel_calls(a, b):
    # softmax needs a dimension: at 0-d it runs on one element of shape (1,).
    s = a.reshape(1) if a.dim() == 0 else a
    return {
        "/": lambda: a / b, "reciprocal": lambda: b.reciprocal(), "sqrt": lambda: a.sqrt(),
        "exp": lambda: a.exp(), "log": lambda: a.log(), "sin": lambda: a.sin(),
        "tanh": lambda: a.tanh(), "softmax": lambda: s.softmax(-1),
    }


def torch_calls(xa, xb):
    s = xa.reshape(1) if xa.dim() == 0 else xa
    return {
        "/": lambda: xa / xb, "reciprocal": lambda: torch.reciprocal(xb), "sqrt": lambda: torch.sqrt(xa),
        "exp": lambda: torch.exp(xa), "log": lambda: torch.log(xa), "sin": lambda: torch.sin(xa),
        "tanh": lambda: torch.tanh(xa), "softmax": lambda: torch.softmax(s, -1),
    }


def composed_calls(da, db):
    return {"/": lambda: t_div(da, db), "reciprocal": lambda: t_reciprocal(db),
            "sqrt": lambda: t_sqrt(da), "exp": lambda: t_exp(da)}


def mpmath_per_element(count=400):
    """Seconds per element of each function in mpmath at 32 digits (its gmpy2
    backend when installed)."""
    import mpmath
    mp = mpmath.mp
    old = mp.dps
    mp.dps = MP_DIGITS
    try:
        g = torch.Generator().manual_seed(1)
        xs = [mpmath.mpf(float(v)) + mpmath.mpf(float(v) * 1e-17) for v in torch.rand(count, generator=g, dtype=torch.float64) + 0.5]
        ys = list(reversed(xs))

        def softmax():
            m = max(xs)
            e = [mpmath.exp(x - m) for x in xs]
            s = mpmath.fsum(e)
            return [v / s for v in e]

        loops = {
            "/": lambda: [x / y for x, y in zip(xs, ys)], "reciprocal": lambda: [1 / y for y in ys],
            "sqrt": lambda: [mpmath.sqrt(x) for x in xs], "exp": lambda: [mpmath.exp(x) for x in xs],
            "log": lambda: [mpmath.log(x) for x in xs], "sin": lambda: [mpmath.sin(x) for x in xs],
            "tanh": lambda: [mpmath.tanh(x) for x in xs], "softmax": softmax,
        }
        return {name: best_time(fn, 3) / count for name, fn in loops.items()}, mpmath.libmp.BACKEND
    finally:
        mp.dps = old


def qd_per_element(n):
    """ns per element from the QD bench program (one thread): {(type, func): ns},
    or None when g++ or libqd is missing."""
    exe = os.path.join(ROOT, "build", "qd_bench")
    src = os.path.join(HERE, "qd_bench.cpp")
    os.makedirs(os.path.dirname(exe), exist_ok=True)
    headers = glob.glob(os.path.join(ROOT, "csrc", "limbs", "**", "*.h"), recursive=True)
    if not os.path.exists(exe) or os.path.getmtime(exe) < max(os.path.getmtime(p) for p in [src] + headers):
        cmd = ["g++", "-std=c++17", "-O3", "-ffp-contract=off", "-fno-fast-math",
               "-I", os.path.join(ROOT, "csrc"), src, "-o", exe, "-lqd"]
        built = subprocess.run(cmd, capture_output=True, text=True)
        if built.returncode != 0:
            print("QD bench not built (install libqd-dev):", built.stderr.strip().splitlines()[-1:])
            return None
    out = subprocess.run([exe, str(n)], capture_output=True, text=True, check=True).stdout
    table = {}
    for line in out.splitlines():
        kind, func, ns = line.split()
        table[(kind, func)] = float(ns)
    return table


def fmt(t):
    """A time with its unit: ns, us, ms or s."""
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if t >= scale:
            return f"{t / scale:7.2f} {unit:<2}"
    return f"{t * 1e9:7.1f} ns"


def functions_0d(mp_times, repeat):
    xa, xb, a, b = operands(0)
    da, db = a._data.clone(), b._data.clone()
    ours, plain, composed = zel_calls(a, b), torch_calls(xa, xb), composed_calls(da, db)
    print("\n0-d tensors (softmax: shape (1,)), time per call; targets: zel/torch <= 10, mpmath/zel >= 20")
    print(f"{'op':<11}{'zel':>11}{'torch f64':>11}{'mpmath 32':>11}{'composed':>11}"
          f"{'zel/torch':>10}{'mpmath/zel':>11}{'comp/zel':>9}  met")
    for name in FUNCS:
        t_ours = best_of(ours[name], repeat=repeat)
        t_plain = best_of(plain[name], repeat=repeat)
        t_mp = mp_times[name]
        comp = "-".rjust(11)
        comp_ratio = "-".rjust(9)
        if name in composed:
            if not torch.equal(ours[name]()._data, composed[name]()):
                raise SystemExit(f"{name}: zel and the composed form differ")
            t_comp = best_time(composed[name], 3)
            comp, comp_ratio = fmt(t_comp).rjust(11), f"{t_comp / t_ours:9.1f}"
        met = t_ours / t_plain <= 10 and t_mp / t_ours >= 20
        print(f"{name:<11}{fmt(t_ours):>11}{fmt(t_plain):>11}{fmt(t_mp):>11}{comp}"
              f"{t_ours / t_plain:10.2f}{t_mp / t_ours:11.1f}{comp_ratio}  {'yes' if met else 'NO'}")


def functions_n(n, mp_times, repeat):
    """Times per call at n elements; returns zel's, for against_qd."""
    xa, xb, a, b = operands(n)
    da, db = a._data.clone(), b._data.clone()
    ours, plain, composed = zel_calls(a, b), torch_calls(xa, xb), composed_calls(da, db)
    print(f"\n{n} elements, {torch.get_num_threads()} thread(s), time per call "
          f"(mpmath: its per-element time x {n}, one thread)")
    print(f"{'op':<11}{'zel':>11}{'torch f64':>11}{'mpmath 32':>11}{'composed':>11}"
          f"{'zel/torch':>10}{'mpmath/zel':>11}{'comp/zel':>9}")
    times = {}
    for name in FUNCS:
        # Every call writes a fresh result array, so a first call is no slower.
        t_ours = times[name] = best_cold(ours[name], repeat)
        t_plain = best_time(plain[name], max(repeat, 5))
        t_mp = mp_times[name] * n
        comp, comp_ratio = "-".rjust(11), "-".rjust(9)
        if name == "reciprocal":  # composed, the others take minutes at this size
            t_comp = best_cold(composed[name], 1)
            comp, comp_ratio = fmt(t_comp).rjust(11), f"{t_comp / t_ours:9.1f}"
        print(f"{name:<11}{fmt(t_ours):>11}{fmt(t_plain):>11}{fmt(t_mp):>11}{comp}"
              f"{t_ours / t_plain:10.1f}{t_mp / t_ours:11.1f}{comp_ratio}")
    return times


def against_qd(n, qd, times, repeat):
    """One thread each: zel per element at n elements against QD's dd_real and
    qd_real and our limb kernels called directly from C++. `times` holds the
    one-thread zel times per call when functions_n ran on one thread."""
    threads = torch.get_num_threads()
    torch.set_num_threads(1)
    try:
        if times is None:
            xa, xb, a, b = operands(n)
            ours = zel_calls(a, b)
            times = {name: best_cold(ours[name], repeat) for name in ("/", "sqrt", "exp")}
        print(f"\nOne thread, ns per element (zel: a call on {n} elements; QD and limbs8: "
              "the C++ program); target: zel/qd_real <= 3 for /, sqrt, exp")
        print(f"{'op':<11}{'zel':>10}{'limbs8':>10}{'qd_real':>10}{'dd_real':>10}"
              f"{'zel/qd_real':>13}{'zel/dd_real':>13}  target")
        qd_name = {"/": "div"}
        for name in FUNCS:
            if name not in times:
                continue
            f = qd_name.get(name, name)
            t_ours = times[name] / n * 1e9
            q, d, k = qd.get(("qd_real", f)), qd.get(("dd_real", f)), qd.get(("limbs8", f))
            verdict = ""
            if name in ("/", "sqrt", "exp"):
                verdict = "met" if t_ours / q <= 3 else "MISSED"
            kt = f"{k:10.1f}" if k is not None else "-".rjust(10)
            print(f"{name:<11}{t_ours:10.1f}{kt}{q:10.1f}{d:10.1f}{t_ours / q:13.2f}{t_ours / d:13.2f}  {verdict}")
    finally:
        torch.set_num_threads(threads)


def run(n, ops, repeat):
    g = torch.Generator().manual_seed(0)
    xa = torch.rand(n, generator=g, dtype=torch.float64) + 0.5
    xb = torch.rand(n, generator=g, dtype=torch.float64) + 0.5
    a, b = zel.Tensor(xa), zel.Tensor(xb)
    # Lower limbs in use, as after any arithmetic.
    a = a + zel.Tensor(xb * 1e-17)
    b = b * zel.Tensor(1.0 + 1e-17)
    da, db = a._data.clone(), b._data.clone()
    table = {
        "a + b": (lambda: a + b, lambda: xa + xb, lambda: t_add(da, db)),
        "a * b": (lambda: a * b, lambda: xa * xb, lambda: t_mul(da, db)),
        "a / b": (lambda: a / b, lambda: xa / xb, lambda: t_div(da, db)),
        "exp": (lambda: a.exp(), lambda: torch.exp(xa), lambda: t_exp(da)),
        "sqrt": (lambda: a.sqrt(), lambda: torch.sqrt(xa), lambda: t_sqrt(da)),
    }
    for name in ops:
        ours, plain, composed = table[name]
        same = torch.equal(ours()._data, composed())
        t_ours = best_time(ours, repeat)
        t_plain = best_time(plain, repeat)
        t_comp = best_time(composed, max(1, repeat // 2))
        print(f"{name:6s} N={n:>8d}  zel {t_ours * 1e3:9.2f} ms   torch f64 {t_plain * 1e3:8.3f} ms "
              f"(zel/f64 {t_ours / t_plain:7.1f}x)   composed {t_comp * 1e3:9.2f} ms "
              f"(speed-up {t_comp / t_ours:5.1f}x, same bits: {'yes' if same else 'NO'})")


def main():
    quick = "--quick" in sys.argv
    print(f"torch {torch.__version__}, {torch.get_num_threads()} threads; best of several runs")
    print("\nAgainst the limb algorithms composed from whole-array PyTorch ops")
    run(10 ** 3 if quick else 10 ** 4, ["a + b", "a * b", "a / b", "exp", "sqrt"], 3)
    mp_times, backend = mpmath_per_element(100 if quick else 400)
    print(f"\nmpmath {MP_DIGITS} digits, backend {backend}")
    functions_0d(mp_times, 3 if quick else 5)
    n = 10 ** 5 if quick else 10 ** 6
    times = functions_n(n, mp_times, 2)
    # QD's cost per element does not depend on the count: a short vector will do.
    qd = qd_per_element(10 ** 4 if quick else 2 * 10 ** 4)
    if qd is not None:
        against_qd(n, qd, times if torch.get_num_threads() == 1 else None, 2)


if __name__ == "__main__":
    main()
