"""Accuracy of the zel.special functions (src/varnel/zel/_special.py) against
mpmath: random inputs with genuine lower limbs over each function's domain
plus stress sets near zeros, poles and large arguments. Prints the table of
docs/accuracy.md ("Special functions").

    PYTHONPATH=src python bench/accuracy_special.py [COUNT] [NAME ...]   # COUNT random inputs per function (2000)

Correct bits are -log2(|result - exact| / |exact|), 200 for exact; results
below 2^-970 are left out (float64 limbs cannot hold 100 bits there). The
oscillating Bessel and Airy functions are measured against the larger of
|exact| and their modulus (sqrt(J^2 + Y^2), sqrt(Ai^2 + Bi^2) below 0):
absolute near their zeros, relative elsewhere.
"""
import math
import random
import sys

import mpmath as mp
import numpy as np
import torch

from varnel.zel import zel

mp.mp.prec = 300
TINY = mp.mpf(2) ** -970


def values(t):
    return [mp.fsum(mp.mpf(v) for v in row) for row in t._data.tolist()]


def with_lower(xs, rng):
    rows = []
    for v in xs:
        lo = v * 2.0 ** -53 * rng.uniform(-1, 1)
        rows.append([v, lo, lo * 2.0 ** -53 * rng.uniform(-1, 1)] + [0.0] * 5)
    return zel.from_limbs(torch.tensor(rows, dtype=torch.float64))


def uniform(lo, hi):
    return lambda r, n: [r.uniform(lo, hi) for _ in range(n)]


def logscale(lo, hi, signed=False, shift=0.0):
    def gen(r, n):
        out = [math.exp(r.uniform(math.log(lo), math.log(hi))) for _ in range(n)]
        out = [v * r.choice([-1, 1]) for v in out] if signed else out
        return [shift + v for v in out]
    return gen


def erfcx_ref(v):
    with mp.workprec(300 + 2 * max(0, int(mp.log(abs(v) + 1, 2)))):
        return +(mp.exp(v * v) * mp.erfc(v))


def ndtri_ref(p):
    with mp.workprec(400):
        guess = float(torch.special.ndtri(torch.tensor(float(p), dtype=torch.float64)))
        return mp.findroot(lambda x: mp.ncdf(x) - p, guess)


def lgamma_ref(v):
    return mp.log(abs(mp.gamma(v)))


X0 = 1.4616321449683623


def modulus(order):
    return lambda v: mp.sqrt(mp.besselj(order, v) ** 2 + mp.bessely(order, v) ** 2)


def airy_modulus(v):
    return mp.sqrt(mp.airyai(v) ** 2 + mp.airybi(v) ** 2) if v < 0 else mp.mpf(0)


def near_zeros(zeros, spread=1e-3):
    """Arguments within spread (relative, log-uniform down to 1e-30) of the given zeros, both sides."""
    def gen(r, n):
        return [float(zeros[r.randrange(len(zeros))]) * (1 + r.choice([-1, 1]) * math.exp(r.uniform(math.log(1e-30), math.log(spread))))
                for _ in range(n)]
    return gen


_ZEROS = {}


def zeros_of(kind):
    """The first 40 zeros (and 10 around 1e3) of J0, J1, Y0, Y1, and the first 40 of Ai (negated)."""
    if kind not in _ZEROS:
        with mp.workprec(120):
            if kind == "ai":
                _ZEROS[kind] = [mp.airyaizero(k) for k in range(1, 41)]
            else:
                fn, order = {"j0": (mp.besseljzero, 0), "j1": (mp.besseljzero, 1), "y0": (mp.besselyzero, 0),
                             "y1": (mp.besselyzero, 1)}[kind]
                _ZEROS[kind] = [fn(order, k) for k in list(range(1, 41)) + list(range(315, 325))]
    return _ZEROS[kind]


def lazy(kind, spread=1e-3):
    return lambda r, n: near_zeros(zeros_of(kind), spread)(r, n)
# name: (function, reference, [(label, generator, share of the random count)])
TABLE = {
    "lgamma": (zel.lgamma, lgamma_ref, [
        ("[-30,30]", uniform(-30, 30), 1.0), ("x in 1e-300..1e300", logscale(1e-300, 1e300), 0.5),
        ("near 1, 2", lambda r, n: logscale(1e-30, 1e-2, True, 1.0)(r, n // 2) + logscale(1e-30, 1e-2, True, 2.0)(r, n - n // 2), 0.5),
        ("near poles", lambda r, n: [-r.randrange(1, 50) + d for d in logscale(1e-12, 1e-2, True)(r, n)], 0.25)]),
    "digamma": (zel.digamma, mp.digamma, [
        ("[-30,30]", uniform(-30, 30), 1.0), ("x in 1e-300..1e300", logscale(1e-300, 1e300), 0.5),
        ("near the positive zero", logscale(1e-30, 0.1, True, X0), 0.5),
        ("near poles", lambda r, n: [-r.randrange(1, 50) + d for d in logscale(1e-12, 1e-2, True)(r, n)], 0.25)]),
    "polygamma(1)": (lambda x: zel.polygamma(1, x), lambda v: mp.polygamma(1, v), [
        ("[-30,30]", uniform(-30, 30), 0.5), ("x in 1e-5..1e5", logscale(1e-5, 1e5), 0.5)]),
    "polygamma(3)": (lambda x: zel.polygamma(3, x), lambda v: mp.polygamma(3, v), [
        ("[0,30]", uniform(0, 30), 0.5), ("x in 1e-5..1e5", logscale(1e-5, 1e5), 0.5)]),
    "mvlgamma(p=4)": (lambda x: zel.mvlgamma(x, 4), lambda v: 3 * mp.log(mp.pi) + sum(lgamma_ref(v - j / mp.mpf(2)) for j in range(4)), [
        ("[1.6,40]", uniform(1.6, 40), 0.5)]),
    "erfinv": (zel.erfinv, mp.erfinv, [
        ("[-1,1]", uniform(-1, 1), 1.0), ("near +-1", lambda r, n: [r.choice([-1, 1]) * (1 - d) for d in logscale(1e-16, 0.1)(r, n)], 0.5),
        ("|y| in 1e-300..0.5", logscale(1e-300, 0.5, True), 0.5)]),
    "ndtr": (zel.special.ndtr, mp.ncdf, [("[-10,10]", uniform(-10, 10), 1.0), ("[-38,9]", uniform(-38, 9), 0.5)]),
    "ndtri": (zel.special.ndtri, ndtri_ref, [
        ("[0,1]", uniform(0, 1), 1.0), ("p in 1e-300..0.5", logscale(1e-300, 0.5), 0.5),
        ("near 1", lambda r, n: [1 - d for d in logscale(1e-16, 0.2)(r, n)], 0.25)]),
    "log_ndtr": (zel.special.log_ndtr, lambda v: mp.log(mp.ncdf(v)) if v < 0 else mp.log1p(-mp.ncdf(-v)), [
        ("[-10,10]", uniform(-10, 10), 1.0), ("[-1e5,37]", uniform(-1e5, 37), 0.5)]),
    "erfcx": (zel.special.erfcx, erfcx_ref, [
        ("[-5,30]", uniform(-5, 30), 1.0), ("x in 10..1e150", logscale(10, 1e150), 0.5), ("[-26,-5]", uniform(-26, -5), 0.25)]),
    "i0": (zel.i0, lambda v: mp.besseli(0, v), [
        ("[-80,80]", uniform(-80, 80), 1.0), ("[-700,700]", uniform(-700, 700), 0.5), ("|x| in 1e-300..1", logscale(1e-300, 1, True), 0.25)]),
    "i0e": (zel.special.i0e, lambda v: mp.besseli(0, v) * mp.exp(-abs(v)), [
        ("[-80,80]", uniform(-80, 80), 1.0), ("|x| in 1..1e300", logscale(1, 1e300, True), 0.5)]),
    "i1": (zel.special.i1, lambda v: mp.besseli(1, v), [
        ("[-80,80]", uniform(-80, 80), 1.0), ("[-700,700]", uniform(-700, 700), 0.5), ("|x| in 1e-300..1", logscale(1e-300, 1, True), 0.25)]),
    "i1e": (zel.special.i1e, lambda v: mp.besseli(1, v) * mp.exp(-abs(v)), [
        ("[-80,80]", uniform(-80, 80), 1.0), ("|x| in 1..1e300", logscale(1, 1e300, True), 0.5)]),
    "entr": (zel.special.entr, lambda v: -v * mp.log(v), [
        ("x in 1e-300..1e300", logscale(1e-300, 1e300), 1.0), ("near 1", logscale(1e-25, 1e-2, True, 1.0), 0.25)]),
}
# The Bessel and Airy functions, with their own random stream (the rows above keep theirs); a fourth
# entry is the scale the error is measured against where larger than |exact|.
BESSEL_TABLE = {
    "bessel_j0": (zel.special.bessel_j0, lambda v: mp.besselj(0, v), [
        ("[-50,50]", uniform(-50, 50), 1.0), ("|x| in 44..1e300", logscale(44, 1e300, True), 0.5),
        ("|x| in 1e-300..1", logscale(1e-300, 1, True), 0.25), ("near zeros", lazy("j0"), 0.5)],
        lambda v: modulus(0)(abs(v))),
    "bessel_j1": (zel.special.bessel_j1, lambda v: mp.besselj(1, v), [
        ("[-50,50]", uniform(-50, 50), 1.0), ("|x| in 44..1e300", logscale(44, 1e300, True), 0.5),
        ("|x| in 1e-300..1", logscale(1e-300, 1, True), 0.25), ("near zeros", lazy("j1"), 0.5)],
        lambda v: modulus(1)(abs(v))),
    "bessel_y0": (zel.special.bessel_y0, lambda v: mp.bessely(0, v), [
        ("(0,50]", uniform(1e-9, 50), 1.0), ("x in 44..1e300", logscale(44, 1e300), 0.5),
        ("x in 1e-300..1", logscale(1e-300, 1), 0.25), ("near zeros", lazy("y0"), 0.5)], modulus(0)),
    "bessel_y1": (zel.special.bessel_y1, lambda v: mp.bessely(1, v), [
        ("(0,50]", uniform(1e-9, 50), 1.0), ("x in 44..1e300", logscale(44, 1e300), 0.5),
        ("x in 1e-300..1", logscale(1e-300, 1), 0.25), ("near zeros", lazy("y1"), 0.5)], modulus(1)),
    "modified_bessel_k0": (zel.special.modified_bessel_k0, lambda v: mp.besselk(0, v), [
        ("(0,50]", uniform(1e-9, 50), 1.0), ("x in 1e-300..700", logscale(1e-300, 700), 0.5)]),
    "modified_bessel_k1": (zel.special.modified_bessel_k1, lambda v: mp.besselk(1, v), [
        ("(0,50]", uniform(1e-9, 50), 1.0), ("x in 1e-300..700", logscale(1e-300, 700), 0.5)]),
    "scaled_modified_bessel_k0": (zel.special.scaled_modified_bessel_k0, lambda v: mp.besselk(0, v) * mp.exp(v), [
        ("(0,50]", uniform(1e-9, 50), 1.0), ("x in 1e-300..1e300", logscale(1e-300, 1e300), 0.5)]),
    "scaled_modified_bessel_k1": (zel.special.scaled_modified_bessel_k1, lambda v: mp.besselk(1, v) * mp.exp(v), [
        ("(0,50]", uniform(1e-9, 50), 1.0), ("x in 1e-300..1e300", logscale(1e-300, 1e300), 0.5)]),
    "modified_bessel_i0": (zel.special.modified_bessel_i0, lambda v: mp.besseli(0, v), [
        ("[-80,80]", uniform(-80, 80), 0.5), ("[-700,700]", uniform(-700, 700), 0.25)]),
    "modified_bessel_i1": (zel.special.modified_bessel_i1, lambda v: mp.besseli(1, v), [
        ("[-80,80]", uniform(-80, 80), 0.5), ("[-700,700]", uniform(-700, 700), 0.25)]),
    "spherical_bessel_j0": (zel.special.spherical_bessel_j0, lambda v: mp.sin(v) / v, [
        ("[-50,50]", uniform(-50, 50), 1.0), ("|x| in 1e-300..1e280", logscale(1e-300, 1e280, True), 0.5),
        ("near multiples of pi", lambda r, n: [r.randrange(1, 10 ** 6) * math.pi for _ in range(n)], 0.25)]),
    "airy_ai": (zel.special.airy_ai, mp.airyai, [
        ("[-30,30]", uniform(-30, 30), 1.0), ("[-1e3,103]", uniform(-1e3, 103), 0.5),
        ("x in -1e12..-16", lambda r, n: [-v for v in logscale(16, 1e12)(r, n)], 0.25), ("near zeros", lazy("ai"), 0.5)], airy_modulus),
}


NORMAL = mp.mpf(2) ** -900


def bits_of(got, exact, scales=None):
    """(bits, whether the result is at least 2^-900) per counted result; the error is taken relative
    to max(|exact|, scale) where scales are given."""
    out = []
    for i, (g, e) in enumerate(zip(got, exact)):
        if abs(e) < TINY:
            continue
        err = abs(g - e) / max(abs(e), scales[i] if scales else 0)
        out.append((200.0 if err == 0 else min(200.0, float(-mp.log(err, 2))), abs(e) >= NORMAL))
    return out


def zeta_rows(rng, count):
    def ref(s, q):
        with mp.workprec(700):
            return +mp.zeta(s, q)
    sets = [("s in [1.1,40], q in [0.05,60]", lambda: (rng.uniform(1.1, 40), rng.uniform(0.05, 60)), count),
            ("integer s, q in [-15.5,0]", lambda: (float(rng.randrange(2, 12)), rng.uniform(-15.5, -0.05)), count // 4),
            ("s in [1,1.01]", lambda: (1 + math.exp(rng.uniform(math.log(1e-10), math.log(1e-2))), rng.uniform(0.1, 5)), count // 4)]
    allbits, labels = [], []
    for label, gen, n in sets:
        pairs = [gen() for _ in range(n)]
        s = with_lower([a for a, _ in pairs], rng)
        q = with_lower([b for _, b in pairs], rng)
        allbits += bits_of(values(zel.special.zeta(s, q)), [ref(a, b) for a, b in zip(values(s), values(q))])
        labels.append(label)
    return allbits, labels


def xlog1py_rows(rng, count):
    x = with_lower([math.exp(rng.uniform(-11, 11)) * rng.choice([-1, 1]) for _ in range(count)], rng)
    y = with_lower([math.exp(rng.uniform(-69, 11)) * rng.choice([-1, 1]) * (0.99 if rng.random() < 0.5 else 1e5)
                    for _ in range(count)], rng)
    y = zel.where(torch.from_numpy(np.asarray(y.numpy()) > -1), y, zel.tensor(0.5))
    got = values(zel.special.xlog1py(x, y))
    return bits_of(got, [a * mp.log1p(b) for a, b in zip(values(x), values(y))]), ["|x| in 1e-5..1e5, y in -1..1e5"]


def polynomial_rows(rng, count):
    """Chebyshev, Legendre, Hermite and Laguerre polynomials of degrees 0..40 where they have no zeros
    (relative error); inside [-1, 1] the recurrences are accurate against the size of their terms."""
    refs = {"chebyshev_polynomial_t": mp.chebyt, "chebyshev_polynomial_u": mp.chebyu,
            "legendre_polynomial_p": mp.legendre, "hermite_polynomial_h": mp.hermite,
            "hermite_polynomial_he": lambda n, x: mp.hermite(n, x / mp.sqrt(2)) * mp.mpf(2) ** (-mp.mpf(n) / 2),
            "laguerre_polynomial_l": lambda n, x: mp.laguerre(n, 0, x)}

    def third_fourth(sign):
        def ref(n, x):
            p, q = mp.mpf(1), 2 * x - sign
            if n == 0:
                return p
            for _ in range(n - 1):
                p, q = q, 2 * x * q - p
            return q
        return ref
    refs["chebyshev_polynomial_v"] = third_fourth(1)
    refs["chebyshev_polynomial_w"] = third_fourth(-1)
    rows = []
    for name, ref in refs.items():
        if name.startswith("hermite"):
            xs, label = [rng.choice([-1, 1]) * rng.uniform(13, 40) for _ in range(count)], "n in 0..40, |x| in [13,40]"
        elif name.startswith("laguerre"):
            xs, label = [-rng.uniform(0.01, 30) for _ in range(count)], "n in 0..40, x in [-30,0]"
        else:
            xs, label = [rng.choice([-1, 1]) * rng.uniform(1.0001, 30) for _ in range(count)], "n in 0..40, |x| in [1,30]"
        ns = [rng.randrange(0, 41) for _ in range(count)]
        x = with_lower(xs, rng)
        got = values(getattr(zel.special, name)(x, zel.tensor([float(n) for n in ns])))
        rows.append((name, bits_of(got, [ref(n, v) for n, v in zip(ns, values(x))]), [label]))
    return rows


def gammainc_rows(rng, count):
    """P and Q on a in 0.01..1000, x = a times 0.3 .. 3 (both methods, both sides of a + 1)."""
    pairs = []
    for _ in range(count):
        a = math.exp(rng.uniform(math.log(0.01), math.log(1000)))
        pairs.append((a, a * math.exp(rng.uniform(math.log(0.3), math.log(3)))))
    a = with_lower([u for u, _ in pairs], rng)
    x = with_lower([v for _, v in pairs], rng)
    A, X = values(a), values(x)
    label = ["a in 0.01..1000, x/a in 0.3..3"]
    return [("gammainc", bits_of(values(zel.special.gammainc(a, x)),
                                 [mp.gammainc(u, 0, v, regularized=True) for u, v in zip(A, X)]), label),
            ("gammaincc", bits_of(values(zel.special.gammaincc(a, x)),
                                  [mp.gammainc(u, v, mp.inf, regularized=True) for u, v in zip(A, X)]), label)]


def table_rows(table, rng, count, only):
    rows = []
    for name, (fn, ref, sets, *scale) in table.items():
        if only and name not in only:
            continue
        allbits = []
        for label, gen, share in sets:
            x = with_lower(gen(rng, max(1, int(count * share))), rng)
            xs = values(x)
            allbits += bits_of(values(fn(x)), [ref(v) for v in xs], [scale[0](v) for v in xs] if scale else None)
        rows.append((name, allbits, [s[0] for s in sets]))
    return rows


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 2000
    only = set(sys.argv[2:])
    rng = random.Random(2026)
    print("| function | inputs | worst bits | worst bits, results ≥ 2^-900 | median bits | sets |")
    print("|---|---|---|---|---|---|")
    rows = table_rows(TABLE, rng, count, only)
    if not only:
        for name, gen in (("zeta", zeta_rows), ("xlog1py", xlog1py_rows)):
            allbits, labels = gen(rng, count)
            rows.append((name, allbits, labels))
        rows += gammainc_rows(rng, count // 4)  # the slowest: hundreds of continued-fraction steps
        rows += polynomial_rows(rng, count // 2)
    rows += table_rows(BESSEL_TABLE, random.Random(2027), count, only)
    for name, allbits, labels in rows:
        b = [v for v, _ in allbits]
        normal = [v for v, ok in allbits if ok]
        print("| `%s` | %s | %.1f | %.1f | %.1f | %s |" % (name, format(len(b), ","), min(b), min(normal),
                                                           float(np.median(b)), "; ".join(labels)))
        sys.stdout.flush()


if __name__ == "__main__":
    main()
