"""Accuracy of the complex element functions (csrc/limbs/elem/complex_functions.h)
against mpmath at 60 digits, and their special values against C99's Annex G.

For every function: N random operands (default 10,000) drawn as a mix of
sets: components log-uniform over 2^-60..2^60 with random signs, moderate
values, values next to the unit circle, operands whose components differ by
2^20..2^60 in magnitude, and the function's own stress sets (both sides of
its branch cuts, its branch points, the zeros of a component, its poles).
Every operand component carries genuine lower limbs (the constructed sets
give their own three limbs; integral exponents stay integers), and all
operands of a function go through the kernel in one call.

Correct bits of a component c of f(z) with exact value e:
    -log2(|c - e| / |e|)            where e != 0,
    -log2(|c - e| / |f(z)|)         where e == 0 (a component that is zero),
and an error below 2^-1000 counts as exact where |e| < 2^-900 (the lower
limbs would be subnormal). Normwise bits: -log2(|f - exact| / |exact|) with
complex moduli, PyTorch's own sense. 200 stands for exact. Results with a
component beyond 1e300 or a modulus below 2^-900 are left out.

The reference runs at 60 digits; where that leaves a component with fewer
than 125 bits it is evaluated again at 1,200 bits (mpmath's complex
functions lose relative accuracy in a component far below the modulus, and
log(1 + z) loses it in 1 + z), so a low figure is the kernel's, not
mpmath's.

Special values: every pair of components from
{0, -0, ±1, ±2.5, ±1e-300, ±1e300, ±inf, nan} through the functions Python's
cmath implements (C99's tables), compared with the float64 results of cmath
where it returns one (it raises where C99 gives an infinity from a finite
operand: those pairs are left out). NaN signs are not compared; where both
operand components are infinite, or one is NaN, C99 leaves the signs of
zeros and infinities partly open, so only the kinds (zero, infinity, NaN,
finite) are compared there. Finite results agree within 1e-13 relative.

Run: .venv/bin/python bench/accuracy_complex.py [N] [NAME ...] [--quick]
"""
import argparse
import cmath
import math
import sys
import time

import mpmath as mp
import numpy as np
import torch

from varnel.zel import zel

mp.mp.dps = 60
RECHECK_BITS = 125
RECHECK_PREC = 1200
CAP = 200.0
HUGE = mp.mpf(1e300)
CLEAR = mp.mpf(2) ** -900
FLOOR = mp.mpf(2) ** -1000

REFERENCE = {
    "exp": mp.exp, "log": mp.log, "log2": lambda z: mp.log(z) / mp.log(2),
    "log10": lambda z: mp.log(z) / mp.log(10), "log1p": lambda z: mp.log(1 + z),
    "expm1": mp.expm1, "sqrt": mp.sqrt, "rsqrt": lambda z: 1 / mp.sqrt(z), "reciprocal": lambda z: 1 / z,
    "sin": mp.sin, "cos": mp.cos, "tan": mp.tan, "sinh": mp.sinh, "cosh": mp.cosh, "tanh": mp.tanh,
    "asin": mp.asin, "acos": mp.acos, "atan": mp.atan, "asinh": mp.asinh, "acosh": mp.acosh,
    "atanh": mp.atanh, "sigmoid": lambda z: 1 / (1 + mp.exp(-z)), "sgn": lambda z: z / abs(z),
    "mul": lambda a, b: a * b, "div": lambda a, b: a / b,
    "pow": lambda a, b: mp.power(a, b), "pow (real exponent)": lambda a, b: real_power(a, b.real),
}


def real_power(a, w):
    # A base on the real axis (its imaginary part the side of the cut) to an integer power is real:
    # mpmath's complex power leaves 2^-200 of the modulus in the imaginary part.
    if abs(a.imag) <= SIDE and w == int(w):
        return mp.mpc(mp.power(a.real, int(w)))
    return mp.power(a, w)
KERNEL = {"pow (real exponent)": "pow"}
BINARY = ("mul", "div", "pow", "pow (real exponent)")


class Draw:
    def __init__(self, rng):
        self.rng = rng

    def sign(self, k):
        return self.rng.choice([-1.0, 1.0], k)

    def log_u(self, lo, hi, k, signed=True):
        v = np.exp2(self.rng.uniform(math.log2(lo), math.log2(hi), k))
        return v * self.sign(k) if signed else v

    def u(self, lo, hi, k):
        return self.rng.uniform(lo, hi, k)

    def wide(self, k, lo=2.0 ** -60, hi=2.0 ** 60):
        return self.log_u(lo, hi, k), self.log_u(lo, hi, k)

    def moderate(self, k):
        return self.log_u(2.0 ** -4, 8.0, k), self.log_u(2.0 ** -4, 8.0, k)

    def circle(self, k):
        r = 1 + self.log_u(2.0 ** -60, 2.0 ** -4, k)
        t = self.u(-math.pi, math.pi, k)
        return r * np.cos(t), r * np.sin(t)

    def disparate(self, k, hi=2.0 ** 60):
        big = self.log_u(2.0 ** -40, hi, k)
        small = big * self.log_u(2.0 ** -60, 2.0 ** -20, k)
        flip = self.rng.random(k) < 0.5
        return np.where(flip, big, small), np.where(flip, small, big)

    def tiny(self, k, scale=1.0):
        """Offsets from a cut: log-uniform 2^-60..2^-4 of scale, a tenth exact zeros, random signs."""
        v = self.log_u(2.0 ** -60, 2.0 ** -4, k) * scale
        v[self.rng.random(k) < 0.1] = 0.0
        return v * self.sign(k)

    def beyond(self, k, point=1.0):
        """Points on the real line beyond +-point: point + 2^-60..2^60, both signs."""
        return self.sign(k) * (point + self.log_u(2.0 ** -60, 2.0 ** 60, k, signed=False))

    def near(self, k, re, im):
        """re + i im plus an offset of 2^-60..2^-4 in each component."""
        return re + self.tiny(k), im + self.tiny(k)

    def multiples(self, k, step, shift, top=1e6):
        """Values near (n + shift) step for integers n up to top / step."""
        n = np.round(self.u(-top, top, k) / step)
        return (n + shift) * step * (1 + self.tiny(k) * 2.0 ** -40)


def swap(p):
    return p[1], p[0]


def limbs3(v):
    out = []
    for _ in range(3):
        out.append(float(v))
        v -= out[-1]
    return out


def on_circle(d, k, shift=0.0):
    """x + i y with |x + i y|^2 = 1 + 2^-j, j in 50..150 (y in three limbs, x one float), less shift."""
    x = d.u(-0.99, 0.99, k)
    j = d.u(50, 150, k)
    with mp.workprec(600):
        y = [limbs3(d.sign(1)[0] * mp.sqrt(1 + mp.mpf(2) ** -float(e) - mp.mpf(a) ** 2)) for a, e in zip(x, j)]
    re = np.zeros((k, 3))
    re[:, 0] = x - shift  # exact: |x| < 1
    return re, np.array(y)


def off_curve(d, k):
    """x + i y with e^x cos y = 1 + 2^-j, j in 60..120 (x in three limbs, y one float), where
    Re(e^z - 1) is 2^-j of its terms."""
    y = d.log_u(2.0 ** -20, 1.0, k)
    j = d.u(60, 120, k)
    with mp.workprec(600):
        x = [limbs3(mp.log((1 + mp.mpf(2) ** -float(e)) / mp.cos(b))) for b, e in zip(y, j)]
    im = np.zeros((k, 3))
    im[:, 0] = y
    return np.array(x), im


def off_sigmoid_curve(d, k):
    """x + i y with e^-x cos y = -(1 + 2^-j), j in 60..120 (x in three limbs): Re(1 + e^-z) is 2^-j
    of its terms, and with it Re(sigmoid z)."""
    y = d.u(1.6, 3.1, k) * d.sign(k)
    j = d.u(60, 120, k)
    with mp.workprec(600):
        x = [limbs3(-mp.log(-(1 + mp.mpf(2) ** -float(e)) / mp.cos(b))) for b, e in zip(y, j)]
    im = np.zeros((k, 3))
    im[:, 0] = y
    return np.array(x), im


def stress_sets(name, d, k):
    """[(label, re, im)]: the function's own awkward places, k operands each. Parts given as
    (k, 3) arrays are the limbs themselves."""
    T = d.tiny
    if name in ("log", "log2", "log10", "sqrt", "rsqrt"):
        neg = d.log_u(2.0 ** -60, 2.0 ** 60, k, signed=False)
        sets = [("negative real axis", -neg, T(k) * neg), ("near 1", *d.near(k, 1.0, 0.0))]
        if name.startswith("log"):
            sets.append(("|z|^2 = 1 + 2^-(50..150)", *on_circle(d, k)))
        return sets
    if name == "log1p":
        neg = d.log_u(2.0 ** -60, 2.0 ** 60, k, signed=False)
        return [("re < -1, im near 0", -1 - neg, T(k) * neg), ("near 0", T(k), T(k)),
                ("near -1", *d.near(k, -1.0, 0.0)), ("|1 + z|^2 = 1 + 2^-(50..150)", *on_circle(d, k, 1.0))]
    if name == "expm1":
        y = d.log_u(2.0 ** -30, 1.0, k)
        return [("near 0", T(k), T(k)), ("near 2 pi i n", T(k), d.multiples(k, 2 * math.pi, 0.0, 1e3)),
                ("e^x cos y = 1", -np.log(np.cos(y)) * (1 + T(k) * 2.0 ** -30), y),
                ("e^x cos y = 1 + 2^-(60..120) (limbs)", *off_curve(d, k))]
    if name == "exp":
        return [("im near n pi/2", d.u(-700, 700, k), d.multiples(k, math.pi / 2, 0.0)),
                ("large im", d.u(-50, 50, k), d.log_u(1e6, 2.0 ** 60, k))]
    if name in ("sin", "cos", "tan"):
        shift = 0.5 if name == "cos" else 0.0
        sets = [("re near zeros", d.multiples(k, math.pi, shift), T(k)),
                ("re large", d.log_u(1e6, 2.0 ** 60, k), d.log_u(2.0 ** -60, 30.0, k))]
        if name == "tan":
            sets.append(("re near poles", d.multiples(k, math.pi, 0.5), T(k)))
        return sets
    if name in ("sinh", "cosh", "tanh"):
        shift = 0.5 if name == "cosh" else 0.0
        sets = [("im near zeros", T(k), d.multiples(k, math.pi, shift)),
                ("im large", d.log_u(2.0 ** -60, 30.0, k), d.log_u(1e6, 2.0 ** 60, k))]
        if name == "tanh":
            sets.append(("im near poles", T(k), d.multiples(k, math.pi, 0.5)))
        return sets
    if name == "sigmoid":
        return [("near poles (2n+1) pi i", T(k), d.multiples(k, math.pi, 0.5) * 2),
                ("im large", d.u(-40, 40, k), d.log_u(1e6, 2.0 ** 60, k)),
                ("e^-x cos y = -1 - 2^-(60..120) (limbs)", *off_sigmoid_curve(d, k))]
    if name in ("asin", "acos", "atanh"):
        x = d.beyond(k)
        return [("real axis beyond +-1", x, T(k) * np.abs(x)),
                ("near +-1", *d.near(k, d.sign(k), 0.0)), ("near 0", T(k), T(k))]
    if name in ("asinh", "atan"):
        y = d.beyond(k)
        return [("imaginary axis beyond +-i", T(k) * np.abs(y), y),
                ("near +-i", *d.near(k, 0.0, d.sign(k))), ("near 0", T(k), T(k))]
    if name == "acosh":
        x = 1 - d.log_u(2.0 ** -60, 2.0 ** 60, k, signed=False)
        return [("real axis below 1", x, T(k) * np.maximum(np.abs(x), 1.0)),
                ("near +-1", *d.near(k, d.sign(k), 0.0)), ("near 0", T(k), T(k))]
    if name in ("reciprocal", "sgn"):
        return [("tiny", *d.wide(k, 2.0 ** -1000, 2.0 ** -900)), ("huge", *d.wide(k, 2.0 ** 800, 2.0 ** 890))]
    return []


# The component that grows exponentially stays within e^700 in the random sets.
GROWS = {"exp": 0, "expm1": 0, "sinh": 0, "cosh": 0, "sigmoid": 0, "sin": 1, "cos": 1}


def unary_sets(name, d, n):
    stress = stress_sets(name, d, max(n // 10, 1))
    k = max((n - sum(len(s[1]) for s in stress)) // 4, 1)
    sets = [("wide 2^-60..2^60", *d.wide(k)), ("moderate", *d.moderate(k)), ("unit circle", *d.circle(k)),
            ("disparate components", *d.disparate(k))]
    if name in GROWS:
        c = GROWS[name]
        bounded = []
        for label, re, im in sets:
            parts = [re, im]
            parts[c] = np.sign(parts[c]) * np.minimum(np.abs(parts[c]), d.u(0, 700, len(re)))
            bounded.append((label + (", |re| <= 700" if c == 0 else ", |im| <= 700"), *parts))
        sets = bounded
    return sets + stress


def binary_sets(name, d, n):
    """[(label, (re, im) of the first operand, (re, im) of the second)]."""
    k = max(n // 4, 1)
    if name in ("mul", "div"):
        a, c = d.log_u(2.0 ** -60, 2.0 ** 60, k), d.log_u(2.0 ** -60, 2.0 ** 60, k)
        b = d.log_u(2.0 ** -60, 2.0 ** 60, k)
        # a c - b d (mul) or a c + b d (div) cancels to a few bits.
        dd = a * c / b * (1 + d.tiny(k) * 2.0 ** -40) * (1 if name == "mul" else -1)
        return [("wide 2^-60..2^60", d.wide(k), d.wide(k)), ("moderate", d.moderate(k), d.moderate(k)),
                ("disparate components", d.disparate(k), d.disparate(k)), ("cancelling", (a, b), (c, dd))]
    # Bases over the plane, on both sides of the negative real axis and near 0 and 1;
    # exponents kept where |w log z| < 700.
    neg = d.log_u(2.0 ** -60, 2.0 ** 60, k, signed=False)
    bases = [("wide", d.wide(k)), ("negative real axis", (-neg, d.tiny(k) * neg)), ("unit circle", d.circle(k)),
             ("disparate", d.disparate(k))]
    out = []
    for label, z in bases:
        if name == "pow":
            w = d.log_u(2.0 ** -30, 8.0, len(z[0])), d.log_u(2.0 ** -30, 8.0, len(z[0]))
            out.append((f"{label} base, complex exponent", z, w))
        else:
            m = len(z[0])
            whole = np.round(d.u(-64.4, 64.4, m))
            frac = d.log_u(2.0 ** -30, 8.0, m)
            e = np.where(d.rng.random(m) < 0.3, whole, frac)
            if label == "wide":  # integer powers of moderate bases stay finite
                z = d.wide(m, 2.0 ** -8, 2.0 ** 8)
            out.append((f"{label} base, real exponent", z, (e, np.zeros(m))))
    if name != "pow":
        # n + delta: the angle n pi of a negative base's power nearly cancels in sin.
        m = max(n // 10, 1)
        e = np.zeros((m, 3))
        e[:, 0] = np.round(d.u(-40.4, 40.4, m))
        e[:, 1] = d.log_u(2.0 ** -120, 2.0 ** -54, m)
        zero = e[:, 0] == 0
        e[zero, 0], e[zero, 1] = e[zero, 1], 0.0  # 0 + delta leads with delta
        neg = d.log_u(2.0 ** -8, 2.0 ** 8, m, signed=False)
        out.append(("negative real axis base, exponent n + 2^-120..2^-54", (-neg, d.tiny(m) * neg),
                    (e, np.zeros(m))))
    return out


def limb_array(p, rng, exact_integers):
    """(k, 8) limbs of values whose limbs 1 and 2 hold genuine lower parts ((k, 3) limbs as given)."""
    p = np.asarray(p, dtype=np.float64)
    r = np.zeros((len(p), 8))
    if p.ndim == 2:
        r[:, :3] = p
        return r
    r[:, 0] = p
    r[:, 1] = p * 2.0 ** -53 * rng.uniform(-1, 1, len(p))
    r[:, 2] = r[:, 1] * 2.0 ** -53 * rng.uniform(-1, 1, len(p))
    if exact_integers:  # integral exponents stay integers (pow's repeated squaring)
        r[p == np.round(p), 1:] = 0.0
    return r


def rows(parts, rng, exact_integers=False):
    """(k, 2) operands as a (2k, 8) limb array, real and imaginary rows interleaved."""
    re, im = (limb_array(p, rng, exact_integers) for p in parts)
    return np.stack([re, im], 1).reshape(-1, 8)


def tensor(r):
    return zel.Tensor(_raw=torch.tensor(r, dtype=torch.float64), _shape=(len(r) // 2, 2))


def exact(row):
    with mp.workprec(1200):
        return mp.fsum(mp.mpf(float(v)) for v in row)


def bits_of(err, scale):
    # A NaN or infinite result where the exact one is finite has no correct bits.
    return -math.inf if not mp.isfinite(err) else CAP if err == 0 else min(CAP, float(-mp.log(err / scale, 2)))


def component_bits(g, e, modulus):
    err = abs(g - e)
    if mp.isfinite(err) and err != 0 and abs(e) < CLEAR and err < FLOOR:
        return CAP
    return bits_of(err, abs(e) if e != 0 else modulus)


def judge(got, want):
    """(fewest correct bits of a component, normwise bits), or None when left out."""
    re, im = want.real, want.imag
    if not (mp.isfinite(re) and mp.isfinite(im)) or abs(re) > HUGE or abs(im) > HUGE:
        return None
    modulus = abs(want)
    if modulus < CLEAR:
        return None
    with mp.workprec(1200):
        comp = min(component_bits(got.real, re, modulus), component_bits(got.imag, im, modulus))
        norm = bits_of(abs(got - want), modulus)
    return comp, norm


# mpmath has no signed zeros and its own side on some cuts (asin(2) = pi/2 - 1.317i, C99 takes
# +1.317i for 2 + 0i): a zero component of the operand stands for its limit from its sign's side,
# and a -0 imaginary part goes through f(conj z) = conj f(z) (mpmath's acosh ignores a tiny
# negative imaginary part on (-1, 1)).
SIDE = mp.mpf(2) ** -3000


def on_side(f, args, negzero):
    z = args[0]
    if z.imag == 0 and negzero[1]:
        return mp.conj(on_side(f, [mp.conj(a) for a in args], (negzero[0], False)))
    re = (-SIDE if negzero[0] else SIDE) if z.real == 0 else z.real
    im = SIDE if z.imag == 0 else z.imag
    return f(mp.mpc(re, im), *args[1:])


def reference(name, args, negzero, prec=None):
    try:
        with mp.workprec(prec or mp.mp.prec):
            return mp.mpc(on_side(REFERENCE[name], args, negzero))
    except (ZeroDivisionError, ValueError, OverflowError):
        return None


def measure(name, sets, rng):
    """[(label, count, worst component bits, worst normwise bits, worst operand)] and the recheck count."""
    binary = name in BINARY
    integers = name == "pow (real exponent)"
    arrays = [[rows(s[1], rng), rows(s[2], rng, integers)] if binary else [rows(s[1:], rng)] for s in sets]
    ops = [np.concatenate([a[i] for a in arrays]) for i in range(len(arrays[0]))]
    out = zel._complex_function(KERNEL.get(name, name), *[tensor(o) for o in ops])._data.numpy()
    result, start, rechecked = [], 0, 0
    for s, a in zip(sets, arrays):
        count, worst_c, worst_n, worst_at = 0, math.inf, math.inf, None
        for i in range(len(a[0]) // 2):
            j = start + i
            args = [mp.mpc(exact(o[2 * j]), exact(o[2 * j + 1])) for o in ops]
            got = mp.mpc(exact(out[2 * j]), exact(out[2 * j + 1]))
            z = ops[0]  # the side of a cut: the first operand's zeros
            negzero = tuple(z[2 * j + c][0] == 0 and np.signbit(z[2 * j + c][0]) for c in (0, 1))
            want = reference(name, args, negzero)
            if want is None:
                continue
            bits = judge(got, want)
            if bits is not None and bits[0] < RECHECK_BITS:
                rechecked += 1
                want = reference(name, args, negzero, RECHECK_PREC)
                bits = None if want is None else judge(got, want)
            if bits is None:
                continue
            count += 1
            if bits[0] < worst_c:
                worst_c = bits[0]
                worst_at = [complex(float(o[2 * j][0]), float(o[2 * j + 1][0])) for o in ops]
            worst_n = min(worst_n, bits[1])
        start += len(a[0]) // 2
        result.append((s[0], count, worst_c, worst_n, worst_at))
    return result, rechecked


# --- Special values (C99 Annex G through cmath) -----------------------------------

SPECIAL = [0.0, -0.0, 1.0, -1.0, 2.5, -2.5, 1e-300, -1e-300, 1e300, -1e300, math.inf, -math.inf, math.nan]
CMATH = ("exp", "log", "log10", "sqrt", "sin", "cos", "tan", "sinh", "cosh", "tanh", "asin", "acos", "atan",
         "asinh", "acosh", "atanh")


def kind(x):
    return "nan" if math.isnan(x) else "inf" if math.isinf(x) else "zero" if x == 0 else "finite"


def agrees(got, want, open_signs):
    if math.isnan(want) or math.isnan(got):
        return math.isnan(want) and math.isnan(got)
    if open_signs:
        return kind(got) == kind(want) and (kind(want) != "finite" or abs(got - want) <= 1e-13 * abs(want))
    if want == 0 or math.isinf(want):
        return got == want and math.copysign(1, got) == math.copysign(1, want)
    return abs(got - want) <= 1e-13 * abs(want)


def special_values(name):
    """(passed, compared, failures)."""
    pairs = [(a, b) for a in SPECIAL for b in SPECIAL]
    got = zel._complex_function(name, zel.tensor([list(p) for p in pairs]))._data[:, 0].reshape(-1, 2).tolist()
    passed = compared = 0
    failures = []
    for (a, b), (re, im) in zip(pairs, got):
        try:
            want = getattr(cmath, name)(complex(a, b))
        except (ValueError, OverflowError):
            continue
        compared += 1
        open_signs = math.isnan(a) or math.isnan(b) or (math.isinf(a) and math.isinf(b))
        if agrees(re, want.real, open_signs) and agrees(im, want.imag, open_signs):
            passed += 1
        else:
            failures.append((complex(a, b), complex(re, im), want))
    return passed, compared, failures


def fmt(z):
    return ", ".join(f"({w.real:.6g}{w.imag:+.6g}j)" for w in z) if z else "-"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("args", nargs="*", metavar="[N] NAME", help="operands per function (10000), functions (all)")
    parser.add_argument("--quick", action="store_true", help="300 operands per function")
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    rest = list(args.args)
    n = int(rest.pop(0)) if rest and rest[0].isdigit() else 10000
    n = 300 if args.quick else n
    names = rest or list(REFERENCE)
    for x in names:
        if x not in REFERENCE:
            parser.error(f"no complex function {x!r}; choose from {', '.join(REFERENCE)}")
    rng = np.random.default_rng(args.seed)
    d = Draw(rng)
    print(f"{'function':<22}{'set':<44}{'n':>7}{'comp':>8}{'norm':>8}  worst component at")
    summary = []
    for name in names:
        t0 = time.time()
        sets = binary_sets(name, d, n) if name in BINARY else unary_sets(name, d, n)
        result, rechecked = measure(name, sets, rng)
        for label, count, wc, wn, at in result:
            print(f"{name:<22}{label:<44}{count:>7}{wc:>8.1f}{wn:>8.1f}  {fmt(at)}")
        count = sum(r[1] for r in result)
        wc = min(result, key=lambda r: r[2])
        wn = min(r[3] for r in result)
        special = special_values(name) if name in CMATH else None
        summary.append((name, count, wc[2], wn, wc[4], special, rechecked, time.time() - t0))
        for z, got, want in special[2] if special else []:
            print(f"{name:<22}special value {z}: {got}, C99 (cmath) {want}")
        sys.stdout.flush()
    print("\n| function | inputs | worst bits, per component | worst bits, normwise | worst component at "
          "| special values (C99) | seconds |")
    print("|---|---|---|---|---|---|---|")
    for name, count, wc, wn, at, special, rechecked, secs in summary:
        sv = f"{special[0]}/{special[1]}" if special else "-"
        print(f"| `{name}` | {count:,} | {wc:.1f} | {wn:.1f} | {fmt(at)} | {sv} | {secs:.0f} |")
    low = [s for s in summary if s[2] < 100]
    print("\nbelow 100 bits per component:", ", ".join(s[0] for s in low) if low else "none")


if __name__ == "__main__":
    main()
