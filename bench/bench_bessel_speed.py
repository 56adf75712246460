"""ns per element of zel.special.bessel_j0 (and y0, k0, airy_ai) on 10^4
elements against MPFR's mpfr_j0 / mpfr_y0 at 106 bits (one thread, a small C
program compiled here), on the same float64 inputs per range.

Needs gcc and libmpfr-dev.
Run: PYTHONPATH=src python bench/bench_bessel_speed.py [COUNT]
"""
import os
import subprocess
import sys
import tempfile
import time

import torch

from varnel.zel import zel

C_SOURCE = r"""
#include <mpfr.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
/* argv: function (j0|y0), file of doubles; prints ns per element (best of 3) */
int main(int argc, char **argv) {
    FILE *f = fopen(argv[2], "rb");
    size_t n = 0, cap = 1 << 16;
    double *x = malloc(cap * sizeof(double));
    while (fread(&x[n], sizeof(double), 1, f) == 1) if (++n == cap) x = realloc(x, (cap *= 2) * sizeof(double));
    fclose(f);
    mpfr_t a, r;
    mpfr_init2(a, 106);
    mpfr_init2(r, 106);
    int y = argv[1][0] == 'y';
    double best = 1e30, sink = 0;
    for (int rep = 0; rep < 3; rep++) {
        struct timespec t0, t1;
        clock_gettime(CLOCK_MONOTONIC, &t0);
        for (size_t i = 0; i < n; i++) {
            mpfr_set_d(a, x[i], MPFR_RNDN);
            if (y) mpfr_y0(r, a, MPFR_RNDN); else mpfr_j0(r, a, MPFR_RNDN);
            sink += mpfr_get_d(r, MPFR_RNDN);
        }
        clock_gettime(CLOCK_MONOTONIC, &t1);
        double ns = ((t1.tv_sec - t0.tv_sec) * 1e9 + (t1.tv_nsec - t0.tv_nsec)) / n;
        if (ns < best) best = ns;
    }
    printf("%.1f %g\n", best, sink);
    return 0;
}
"""
RANGES = [(0.0, 10.0), (0.0, 50.0), (50.0, 1000.0), (1e3, 1e6)]


def mpfr_ns(exe, fn, xs, tmp):
    path = os.path.join(tmp, "x.bin")
    xs.numpy().tofile(path)
    out = subprocess.run([exe, fn, path], check=True, capture_output=True, text=True).stdout
    return float(out.split()[0])


def zel_ns(fn, x, repeat=3):
    fn(x[:16])
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn(x)
        best = min(best, time.perf_counter() - t0)
    return best / x.shape[0] * 1e9


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 10000
    torch.manual_seed(0)
    with tempfile.TemporaryDirectory() as tmp:
        exe = os.path.join(tmp, "mpfr_bessel")
        src = os.path.join(tmp, "mpfr_bessel.c")
        with open(src, "w") as f:
            f.write(C_SOURCE)
        try:
            subprocess.run(["gcc", "-O2", src, "-o", exe, "-lmpfr", "-lgmp"], check=True, capture_output=True)
        except (OSError, subprocess.CalledProcessError):
            exe = None
        print("%-22s %-14s %12s %12s %10s" % ("function", "range", "zel ns/el", "mpfr106 ns", "zel/mpfr"))
        for name, mp_name in (("bessel_j0", "j0"), ("bessel_y0", "y0"), ("modified_bessel_k0", None),
                              ("airy_ai", None)):
            for lo, hi in RANGES:
                xs = torch.rand(count, dtype=torch.float64) * (hi - lo) + lo
                if name == "airy_ai":
                    xs = xs * 2.0 - hi  # both signs
                ours = zel_ns(getattr(zel.special, name), zel.tensor(xs))
                ref = mpfr_ns(exe, mp_name, xs, tmp) if exe and mp_name else float("nan")
                print("%-22s %-14s %12.0f %12.0f %10.1f" % (name, "[%g,%g]" % (lo, hi), ours, ref, ours / ref),
                      flush=True)


if __name__ == "__main__":
    main()
