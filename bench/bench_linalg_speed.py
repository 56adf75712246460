"""zel.linalg at n = 128 against a textbook double-double elimination (the QD
library's dd_real, bench/qd_linalg.cpp) and python-flint's arb_mat at 106
bits, each pair measured side by side in one run (interleaved, best of
each); then thread scaling of the factorisations, 2 threads against 1.

Run: .venv/bin/python bench/bench_linalg_speed.py. python-flint columns appear
where the interpreter has it (the Python 3.12 leg).
"""
import os
import subprocess
import sys
import time

import numpy as np
import torch

from varnel.zel import zel

N = 128
ROUNDS = 3
L = zel.linalg
HERE = os.path.dirname(os.path.abspath(__file__))

try:
    import flint
except ImportError:
    flint = None


def best(f, reps=3):
    t_best = float("inf")
    for _ in range(reps):
        t0 = time.perf_counter()
        f()
        t_best = min(t_best, time.perf_counter() - t0)
    return t_best


def dd_program():
    exe = os.path.join(HERE, "..", "build", "qd_linalg")
    try:
        os.makedirs(os.path.dirname(exe), exist_ok=True)
        subprocess.run(["g++", "-O3", "-std=c++17", "-o", exe, os.path.join(HERE, "qd_linalg.cpp"), "-lqd"],
                       check=True, capture_output=True)
    except (OSError, subprocess.CalledProcessError):
        return None  # libqd-dev not installed
    return exe


def dd_time(exe, op, n):
    out = subprocess.run([exe, op, str(n)], check=True, capture_output=True, text=True)
    return float(out.stdout) / 1e3


def side_by_side(ours, theirs):
    """Interleaved rounds; best time of each, in seconds."""
    t_ours = t_theirs = float("inf")
    for _ in range(ROUNDS):
        t_ours = min(t_ours, best(ours))
        t_theirs = min(t_theirs, theirs())
    return t_ours, t_theirs


def operands(n, seed=0):
    rng = np.random.default_rng(seed)
    a = rng.standard_normal((n, n))
    b = rng.standard_normal(n)
    spd = a @ a.T + n * np.eye(n)
    return a, b, spd, zel.Tensor(a.tolist()), zel.Tensor(b.tolist()), zel.Tensor(spd.tolist())


def report(label, t_ours, peers):
    text = f"{label:<22} zel {t_ours * 1e3:9.3f} ms"
    for name, t in peers:
        text += f"   {name} {t * 1e3:9.3f} ms (zel/{name} {t_ours / t:5.2f})"
    print(text, flush=True)


def main():
    torch.set_num_threads(1)
    a, b, spd, az, bz, spdz = operands(N)
    print(f"n = {N}, 1 thread, load {os.getloadavg()[0]:.1f}")
    exe = dd_program()
    if flint is not None:
        flint.ctx.prec = 106
        af, bf = flint.arb_mat(a.tolist()), flint.arb_mat([[v] for v in b])
        spdf = flint.arb_mat(spd.tolist())
    for name, ours, dd_op, flint_call in [
        ("solve", lambda: L.solve(az, bz), "solve", lambda: af.solve(bf, algorithm="approx")),
        ("inv", lambda: L.inv(az), "inv", lambda: af.inv()),
        ("det", lambda: L.det(az), None, lambda: af.det()),
        ("lu_factor", lambda: L.lu_factor(az), None, None),
        ("cholesky", lambda: L.cholesky(spdz), None, None),
        ("qr", lambda: L.qr(az), None, None),
        ("eigh", lambda: L.eigh(spdz), None, lambda: flint.acb_mat(spdf).eig()),
        ("svd", lambda: L.svd(az), None, None),
    ]:
        peers = []
        t_ours = None
        if dd_op and exe:
            t_ours, t_dd = side_by_side(ours, lambda: dd_time(exe, dd_op, N))
            peers.append(("dd_real", t_dd))
        if flint is not None and flint_call is not None:
            reps = 1 if name == "eigh" else 3
            t_z, t_f = side_by_side(ours, lambda: best(flint_call, reps))
            t_ours = t_z if t_ours is None else min(t_ours, t_z)
            peers.append(("flint", t_f))
        if t_ours is None:
            t_ours = best(ours, 5)
        report(name, t_ours, peers)

    print("thread scaling: time with 1 thread / time with 2 (same bytes)")
    for n in (128, 256):
        a, b, _, az, bz, spdz = operands(n, seed=n)
        for name, call in (("solve", lambda: L.solve(az, bz)), ("inv", lambda: L.inv(az)),
                           ("lu_factor", lambda: L.lu_factor(az)[0]), ("cholesky", lambda: L.cholesky(spdz)),
                           ("qr", lambda: L.qr(az)[1]), ("eigh", lambda: L.eigh(spdz)[1]),
                           ("svd", lambda: L.svd(az)[1])):
            times = {1: float("inf"), 2: float("inf")}
            digests = set()
            for _ in range(ROUNDS):
                for k in (1, 2):
                    torch.set_num_threads(k)
                    times[k] = min(times[k], best(call))
                    digests.add(call().sha256())
            torch.set_num_threads(1)
            same = "same bytes" if len(digests) == 1 else "BYTES DIFFER"
            print(f"  {name:<9} n={n:<4} 1 thread {times[1] * 1e3:8.2f} ms   2 threads {times[2] * 1e3:8.2f} ms"
                  f"   speed-up {times[1] / times[2]:4.2f}  ({same})", flush=True)


if __name__ == "__main__":
    sys.exit(main())
