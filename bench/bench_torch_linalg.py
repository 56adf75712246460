"""zel.linalg: per-call cost of solve, inv, eigh and svd at n = 64 against
mpmath at 32 digits and NumPy float64, measured side by side, and the correct
digits of the decompositions on random well-conditioned 20 x 20 matrices
against mpmath at 60 digits, and the residuals of inv, qr, eigh and svd at
128 x 128 (a few minutes of mpmath).

Run with the project's interpreter: .venv/bin/python bench/bench_torch_linalg.py [--quick]
(--quick: n = 32 for the timings).
"""

import math
import sys
import time

import mpmath
import numpy as np
import torch

from _timing import best_of
from varnel.zel import zel

L = zel.linalg


def once(f):
    start = time.perf_counter()
    f()
    return time.perf_counter() - start


def timings(n):
    rng = np.random.default_rng(n)
    a = rng.standard_normal((n, n)) + math.sqrt(n) * np.eye(n)
    s = a @ a.T
    b = rng.standard_normal((n, 1))
    za, zs, zb = (zel.Tensor(torch.from_numpy(x)) for x in (a, s, b))
    with mpmath.workdps(32):
        ma, ms, mb = mpmath.matrix(a.tolist()), mpmath.matrix(s.tolist()), mpmath.matrix(b.tolist())
    cases = [
        ("solve", lambda: L.solve(za, zb), lambda: mpmath.lu_solve(ma, mb), lambda: np.linalg.solve(a, b)),
        ("inv", lambda: L.inv(za), lambda: mpmath.inverse(ma), lambda: np.linalg.inv(a)),
        ("eigh", lambda: L.eigh(zs), lambda: mpmath.eigsy(ms), lambda: np.linalg.eigh(s)),
        ("svd", lambda: L.svd(za), lambda: mpmath.svd_r(ma), lambda: np.linalg.svd(a)),
    ]
    print(f"per call at n = {n}: zel.linalg, mpmath at 32 digits (backend {mpmath.libmp.BACKEND}, one call), "
          f"NumPy float64; threads {torch.get_num_threads()}")
    print(f"{'op':6}{'zel ms':>11}{'mpmath ms':>12}{'numpy ms':>11}{'mpmath/zel':>12}{'zel/numpy':>11}")
    for name, ours, theirs, numpy_f in cases:
        t_z = best_of(ours, repeat=3, min_time=0.0)
        t_np = best_of(numpy_f, repeat=5)
        with mpmath.workdps(32):
            t_mp = once(theirs)
        print(f"{name:6}{t_z * 1e3:>11.2f}{t_mp * 1e3:>12.1f}{t_np * 1e3:>11.4f}{t_mp / t_z:>12.1f}{t_z / t_np:>11.0f}")


# Accuracy ---------------------------------------------------------------------------


def limbs_from_mp(x):
    out, r = [], mpmath.mpf(x)
    for _ in range(8):
        f = float(r)
        out.append(f)
        r -= f
    return out


def tensor(m):
    rows = [limbs_from_mp(m[i, j]) for i in range(m.rows) for j in range(m.cols)]
    return zel.Tensor(_raw=torch.tensor(rows, dtype=torch.float64), _shape=(m.rows, m.cols))


def exact(t):
    v = [mpmath.fsum(mpmath.mpf(x) for x in r) for r in t._data.tolist()]
    if len(t.shape) == 1:
        return mpmath.matrix(v)
    rows, cols = t.shape
    return mpmath.matrix([[v[i * cols + j] for j in range(cols)] for i in range(rows)])


def worst(m):
    return max(abs(x) for x in m)


def digits(err, scale):
    return 60.0 if err == 0 else float(-mpmath.log10(err / scale))


def accuracy(n=20):
    mpmath.mp.dps = 60
    rng = np.random.default_rng(20)

    def rand(rows, cols, diagonal=0.0):
        # Elements with bits below float64's, so float64 could not pass.
        m = mpmath.matrix([[mpmath.mpf(rng.standard_normal()) + mpmath.mpf(rng.standard_normal()) * mpmath.mpf(2) ** -70
                            for _ in range(cols)] for _ in range(rows)])
        for i in range(min(rows, cols)):
            m[i, i] += diagonal
        return m

    a, b, tall, rhs = rand(n, n, math.sqrt(n)), rand(n, 2), rand(n + 5, n), rand(n + 5, 1)
    spd = a.T * a
    eye = mpmath.eye(n)
    za, zspd, ztall = tensor(a), tensor(spd), tensor(tall)
    inv = mpmath.inverse(a)
    rows = []
    x = exact(L.solve(za, tensor(b)))
    rows.append(("solve", digits(worst(x - inv * b), worst(x))))
    rows.append(("inv", digits(worst(exact(L.inv(za)) - inv), worst(inv))))
    det = mpmath.det(a)
    rows.append(("det", digits(abs(exact(L.det(za).reshape(1))[0] - det), abs(det))))
    chol = mpmath.cholesky(spd)
    rows.append(("cholesky", digits(worst(exact(L.cholesky(zspd)) - chol), worst(chol))))
    q, r = (exact(t) for t in L.qr(ztall))
    rows.append(("qr: Q R - A", digits(worst(q * r - tall), worst(tall))))
    rows.append(("qr: Q^T Q - I", digits(worst(q.T * q - eye), 1)))
    w, v = (exact(t) for t in L.eigh(zspd))
    true_w = sorted(mpmath.eigsy(spd, eigvals_only=True))
    rows.append(("eigh: eigenvalues", digits(max(abs(w[i] - true_w[i]) for i in range(n)), true_w[-1])))
    rows.append(("eigh: A V - V diag(w)", digits(worst(spd * v - v * mpmath.diag(w)), worst(spd))))
    rows.append(("eigh: V^T V - I", digits(worst(v.T * v - eye), 1)))
    u, s, vh = (exact(t) for t in L.svd(ztall, full_matrices=False))
    true_s = sorted(mpmath.svd_r(tall, compute_uv=False), reverse=True)
    rows.append(("svd: singular values", digits(max(abs(s[i] - true_s[i]) for i in range(n)), true_s[0])))
    rows.append(("svd: U S Vh - A", digits(worst(u * mpmath.diag(s) * vh - tall), worst(tall))))
    sol = exact(L.lstsq(ztall, tensor(rhs)).solution)
    true_sol = mpmath.qr_solve(tall, rhs)[0]
    rows.append(("lstsq", digits(worst(sol - true_sol), worst(true_sol))))
    e = rand(n, n) * (1 / mpmath.sqrt(n))
    true_e = mpmath.expm(e)
    rows.append(("matrix_exp", digits(worst(exact(L.matrix_exp(tensor(e))) - true_e), worst(true_e))))
    hilbert = mpmath.matrix([[mpmath.mpf(1) / (i + j + 1) for j in range(10)] for i in range(10)])
    ones = mpmath.matrix([[1]] * 10)
    xh = exact(L.solve(tensor(hilbert), tensor(ones)))
    true_h = mpmath.inverse(hilbert) * ones
    rows.append(("solve, Hilbert(10)", digits(worst(xh - true_h), worst(true_h))))
    print()
    print(f"correct digits against mpmath at 60 digits, random well-conditioned {n} x {n} (lstsq, qr, svd: "
          f"{n + 5} x {n})")
    for name, d in rows:
        print(f"  {name:24}{d:6.1f}")


def large_accuracy(n=128):
    """Residuals at n = 128, where the blocked factorisations and the
    tridiagonal start of eigh run: each product in mpmath at 60 digits."""
    mpmath.mp.dps = 60
    rng = np.random.default_rng(128)
    a_np = rng.standard_normal((n, n)) + math.sqrt(n) * np.eye(n)
    a = mpmath.matrix(a_np.tolist())
    spd = a.T * a
    eye = mpmath.eye(n)
    za, zspd = tensor(a), tensor(spd)
    rows = []
    rows.append(("inv: A X - I", digits(worst(a * exact(L.inv(za)) - eye), 1)))
    q, r = (exact(t) for t in L.qr(za))
    rows.append(("qr: Q R - A", digits(worst(q * r - a), worst(a))))
    rows.append(("qr: Q^T Q - I", digits(worst(q.T * q - eye), 1)))
    w, v = (exact(t) for t in L.eigh(zspd))
    rows.append(("eigh: A V - V diag(w)", digits(worst(spd * v - v * mpmath.diag(w)), worst(spd))))
    rows.append(("eigh: V^T V - I", digits(worst(v.T * v - eye), 1)))
    u, sv, vh = (exact(t) for t in L.svd(za))
    rows.append(("svd: U S Vh - A", digits(worst(u * mpmath.diag(sv) * vh - a), worst(a))))
    print(f"\ncorrect digits of residuals against mpmath at 60 digits, random well-conditioned {n} x {n}")
    for name, d in rows:
        print(f"  {name:24}{d:6.1f}")


if __name__ == "__main__":
    timings(32 if "--quick" in sys.argv else 64)
    accuracy()
    if "--quick" not in sys.argv:
        large_accuracy()
