"""Element-wise speed: our fused passes against plain PyTorch float64 doing the
same call, and against the same limb algorithms composed from PyTorch ops on
(N, 8) arrays (one whole-array op per limb step, the unfused way).

Run: .venv/bin/python bench/bench_elementwise.py [--quick]
"""
import math
import sys
import time

import torch

from varnel.zel import zel

LN2 = [0.6931471805599453, 2.3190468138462996e-17, 5.707708438416212e-34]
SPLIT = 134217729.0


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
    run(10 ** 4 if quick else 10 ** 5, ["a + b", "a * b", "a / b", "exp", "sqrt"], 3 if quick else 5)
    if not quick:
        run(10 ** 6, ["a + b", "a * b"], 5)


if __name__ == "__main__":
    main()
