"""Correct digits of the roots of Wilkinson's polynomial prod (x - k), k = 1..20,
from zel.linalg.eigvals of its companion matrix, beside float64's
(numpy.linalg.eigvals of the same matrix, LAPACK's balanced QR), and the
worst digits of the eigenvalues of random 20 x 20 non-symmetric matrices
against mpmath.eig at 60 digits.

The coefficients are exact integers (up to 20! ~ 2.4e18, beyond float64's
53 bits), so the zel matrix holds them exactly; float64 rounds them.
Digits of a root r_k: -log10(|computed - k| / k).

With --complex, also the worst digits of the complex solve, inv, det,
eigvalsh and svdvals on a random well-conditioned 20 x 20 complex matrix.

Run: .venv/bin/python bench/accuracy_eigvals.py [--random N] [--complex]
"""
import argparse
import math

import mpmath as mp
import numpy as np

from varnel.zel import zel


def wilkinson_coefficients(n=20):
    """Coefficients of prod (x - k), highest power first, as Python ints."""
    c = [1]
    for k in range(1, n + 1):
        c = [a - k * b for a, b in zip(c + [0], [0] + c)]
    return c


def companion(coeffs):
    """numpy.roots's companion: -c[1:] in the first row, ones below the diagonal.
    Entries are Python ints (exact) or floats."""
    n = len(coeffs) - 1
    rows = [[0] * n for _ in range(n)]
    rows[0] = [-c for c in coeffs[1:]]
    for i in range(1, n):
        rows[i][i - 1] = 1
    return rows


def exact_tensor(rows):
    """A zel tensor holding integer entries exactly: each as the sum of its float64
    head and the (exact) float64 remainder."""
    head = [[float(v) for v in r] for r in rows]
    tail = [[float(v - int(float(v))) for v in r] for r in rows]
    return zel.tensor(head) + zel.tensor(tail)


def digits(err, ref):
    if err == 0:
        return 99.0
    return -math.log10(err / abs(ref))


def exact_values(t):
    """The exact values (sums of the limbs) of a real tensor's elements, in order, as mpmath numbers."""
    with mp.workdps(200):
        return [mp.fsum(mp.mpf(v) for v in row) for row in t.contiguous()._data.cpu().tolist()]


def complex_values(w):
    v = exact_values(zel.view_as_real(w))
    with mp.workdps(200):
        return [mp.mpc(v[2 * i], v[2 * i + 1]) for i in range(len(v) // 2)]


def zel_roots(n=20):
    return complex_values(zel.linalg.eigvals(exact_tensor(companion(wilkinson_coefficients(n)))))


def table(n=20):
    mp.mp.dps = 60
    ours = zel_roots(n)
    np_roots = np.linalg.eigvals(np.array(companion(wilkinson_coefficients(n)), dtype=np.float64))
    ours_sorted = sorted(ours, key=lambda z: float(z.real))
    np_sorted = sorted(np_roots, key=lambda z: z.real)
    rows = []
    for k in range(1, n + 1):
        err = abs(ours_sorted[k - 1] - k)
        z = np_sorted[k - 1]
        rows.append((k, digits(err, k), digits(abs(complex(z) - k), k)))
    return rows


def random_digits(count, n=20, seed=0):
    mp.mp.dps = 60
    rng = np.random.default_rng(seed)
    worst = []
    for _ in range(count):
        a = rng.standard_normal((n, n))
        got = complex_values(zel.linalg.eigvals(zel.tensor(a)))
        ref = mp.eig(mp.matrix(a.tolist()), left=False, right=False)
        d = []
        for g in got:
            e = min(ref, key=lambda r: abs(r - g))
            d.append(digits(abs(g - e), abs(e)))
        worst.append(min(d))
    return worst


def worst_digits(got, want):
    scale = max(abs(w) for w in want)
    err = max(abs(g - w) for g, w in zip(got, want))
    return digits(err, scale)


def complex_digits(n=20, seed=1):
    """Worst digits of each complex function against mpmath at 60 digits."""
    import torch
    mp.mp.dps = 60
    rng = np.random.default_rng(seed)
    a = rng.standard_normal((n, n)) + 1j * rng.standard_normal((n, n)) + 8 * np.eye(n)
    b = rng.standard_normal((n, 1)) + 1j * rng.standard_normal((n, 1))
    h = a @ a.conj().T
    za, zb, zh = (zel.tensor(torch.as_tensor(x)) for x in (a, b, h))
    am = mp.matrix([[mp.mpc(complex(x)) for x in row] for row in a])
    hm = mp.matrix([[mp.mpc(complex(x)) for x in row] for row in h])
    inv = mp.inverse(am)
    out = {
        "solve": worst_digits(complex_values(zel.linalg.solve(za, zb)),
                              list(mp.lu_solve(am, mp.matrix([[mp.mpc(complex(x))] for x in b[:, 0]])))),
        "inv": worst_digits(complex_values(zel.linalg.inv(za)), [inv[i, j] for i in range(n) for j in range(n)]),
        "det": worst_digits(complex_values(zel.linalg.det(za)), [mp.det(am)]),
        "eigvalsh": worst_digits(sorted(exact_values(zel.linalg.eigvalsh(zh))),
                                 sorted(mp.eighe(hm, eigvals_only=True))),
        "svdvals": worst_digits(sorted(exact_values(zel.linalg.svdvals(za))),
                                sorted(mp.svd_c(am, compute_uv=False))),
    }
    return out


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--random", type=int, default=3, help="random 20 x 20 matrices to check")
    p.add_argument("--complex", action="store_true", help="digits of the complex functions too")
    args = p.parse_args()
    print("Wilkinson's polynomial, degree 20: correct digits of each root")
    print("| root | zel.linalg.eigvals | float64 (numpy.linalg.eigvals) |")
    print("|---:|---:|---:|")
    for k, ours, f64 in table():
        print("| %d | %.1f | %.1f |" % (k, ours, f64))
    if args.random:
        w = random_digits(args.random)
        print("random 20 x 20 non-symmetric, worst digits per matrix:", ", ".join("%.1f" % d for d in w))
    if args.complex:
        print("complex 20 x 20, worst digits:",
              ", ".join("%s %.1f" % kv for kv in complex_digits().items()))


if __name__ == "__main__":
    main()
