"""Linear algebra: solve, inv and det against NumPy and PyTorch float64 and
against mpmath at 35 digits, timed in one run, with the correct digits of
each result measured against mpmath at 80 digits.

Run with the project's interpreter: .venv/bin/python bench/bench_linalg.py
"""

import math
import time

import mpmath
import numpy as np
import torch

from varnel.zel import tarsk, zel

SIZES = (16, 32, 64)
MPMATH_SIZES = (16, 32)
MPMATH_DPS = 35
TRUTH_DPS = 80


def best_time(f, min_total=0.3, max_reps=50):
    """Best of several calls, in seconds (at least one call, about min_total in all)."""
    best = math.inf
    spent = 0.0
    reps = 0
    while reps < max_reps and (reps < 3 or spent < min_total):
        start = time.perf_counter()
        f()
        t = time.perf_counter() - start
        best = min(best, t)
        spent += t
        reps += 1
        if spent > 10 * min_total:
            break
    return best


def limb_values(t):
    """Exact values of a tensor's elements as mpf (limbs summed at TRUTH_DPS)."""
    rows = t._data.cpu().tolist()
    return [mpmath.fsum(mpmath.mpf(x) for x in r) for r in rows]


def digits(got, true):
    err = max(abs(g - t) for g, t in zip(got, true))
    scale = max(abs(t) for t in true)
    if err == 0:
        return float(TRUTH_DPS)
    return float(-mpmath.log10(err / scale))


def problem(n, seed):
    """A diagonally weighted random float64 matrix (moderately conditioned) and a right-hand side."""
    rng = np.random.default_rng(seed)
    a = rng.standard_normal((n, n)) + np.eye(n) * math.sqrt(n)
    b = rng.standard_normal(n)
    return a, b


def main():
    mpmath.mp.dps = TRUTH_DPS
    print(f"torch {torch.__version__}, numpy {np.__version__}, mpmath {mpmath.__version__}, "
          f"threads {torch.get_num_threads()}")
    header = (f"{'op':6}{'n':>4}{'zel ms':>11}{'numpy ms':>11}{'torch ms':>11}{'zel/numpy':>11}"
              f"{'zel/torch':>11}{'digits zel':>12}{'numpy':>8}")
    print(header)
    mp_rows = []
    for n in SIZES:
        a_np, b_np = problem(n, n)
        a_t, b_t = torch.from_numpy(a_np), torch.from_numpy(b_np)
        a_z, b_z = zel.Tensor(a_t), zel.Tensor(b_t)
        a_mp = mpmath.matrix(a_np.tolist())
        b_mp = mpmath.matrix(b_np.tolist())
        true_x = list(mpmath.lu_solve(a_mp, b_mp))
        true_inv = mpmath.inverse(a_mp)
        true_inv = [true_inv[i, j] for i in range(n) for j in range(n)]
        true_det = [mpmath.det(a_mp)]

        cases = [
            ("solve", lambda: tarsk.solve(a_z, b_z), lambda: np.linalg.solve(a_np, b_np),
             lambda: torch.linalg.solve(a_t, b_t), true_x),
            ("inv", lambda: tarsk.inv(a_z), lambda: np.linalg.inv(a_np), lambda: torch.linalg.inv(a_t), true_inv),
            ("det", lambda: tarsk.det(a_z), lambda: np.linalg.det(a_np), lambda: torch.linalg.det(a_t), true_det),
        ]
        for name, ours, numpy_f, torch_f, truth in cases:
            t_z = best_time(ours)
            t_np = best_time(numpy_f)
            t_t = best_time(torch_f)
            d_z = digits(limb_values(ours()), truth)
            d_np = digits([mpmath.mpf(float(v)) for v in np.ravel(numpy_f())], truth)
            print(f"{name:6}{n:>4}{t_z * 1e3:>11.3f}{t_np * 1e3:>11.4f}{t_t * 1e3:>11.4f}{t_z / t_np:>11.0f}"
                  f"{t_z / t_t:>11.0f}{d_z:>12.1f}{d_np:>8.1f}")

        if n in MPMATH_SIZES:
            with mpmath.workdps(MPMATH_DPS):
                a35 = mpmath.matrix(a_np.tolist())
                b35 = mpmath.matrix(b_np.tolist())
                t_mp = best_time(lambda: mpmath.lu_solve(a35, b35), min_total=1.0, max_reps=5)
                x35 = list(mpmath.lu_solve(a35, b35))
            t_z = best_time(lambda: tarsk.solve(a_z, b_z))
            mp_rows.append((n, t_z, t_mp, digits(limb_values(tarsk.solve(a_z, b_z)), true_x), digits(x35, true_x)))

    print()
    print(f"solve against mpmath.lu_solve at {MPMATH_DPS} digits")
    print(f"{'n':>4}{'zel ms':>11}{'mpmath ms':>12}{'mpmath/zel':>12}{'digits zel':>12}{'mpmath':>8}")
    for n, t_z, t_mp, d_z, d_mp in mp_rows:
        print(f"{n:>4}{t_z * 1e3:>11.3f}{t_mp * 1e3:>12.2f}{t_mp / t_z:>12.1f}{d_z:>12.1f}{d_mp:>8.1f}")


def against_mpmath_32():
    """Each decomposition against mpmath's own at 32 digits, same matrix."""
    print()
    print(f"against mpmath at 32 digits (backend {mpmath.libmp.BACKEND}), one call each")
    print(f"{'op':8}{'n':>4}{'zel ms':>11}{'mpmath ms':>12}{'mpmath/zel':>12}")
    cases = [
        ("solve", 50, lambda a, b: tarsk.solve(a, b), lambda a, b: mpmath.lu_solve(a, b)),
        ("solve", 100, lambda a, b: tarsk.solve(a, b), lambda a, b: mpmath.lu_solve(a, b)),
        ("det", 50, lambda a, b: tarsk.det(a), lambda a, b: mpmath.det(a)),
        ("det", 100, lambda a, b: tarsk.det(a), lambda a, b: mpmath.det(a)),
        ("qr", 50, lambda a, b: tarsk.qr(a), lambda a, b: mpmath.qr(a)),
        ("svd", 20, lambda a, b: tarsk.svd(a, max_iter=100), lambda a, b: mpmath.svd_r(a)),
    ]
    for name, n, ours, theirs in cases:
        a_np, b_np = problem(n, 1000 + n)
        a_z, b_z = zel.Tensor(torch.from_numpy(a_np)), zel.Tensor(torch.from_numpy(b_np))
        with mpmath.workdps(32):
            a_mp, b_mp = mpmath.matrix(a_np.tolist()), mpmath.matrix(b_np.tolist())
            t_mp = best_time(lambda: theirs(a_mp, b_mp), min_total=0.5, max_reps=3)
        t_z = best_time(lambda: ours(a_z, b_z), min_total=0.5, max_reps=10)
        print(f"{name:8}{n:>4}{t_z * 1e3:>11.3f}{t_mp * 1e3:>12.1f}{t_mp / t_z:>12.1f}")


if __name__ == "__main__":
    main()
    against_mpmath_32()
