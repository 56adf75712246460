"""The lane cores of the accurate functions (the "full" exp, log, sin, cos,
tan, tanh, sigmoid, silu and gelu; expm1, exp2, log1p, log2, log10, sinh,
cosh, asin, acos, atan, asinh, acosh, atanh and atan2): runs of rows through the lanes give the bytes of the same
rows one at a time (the scalar code), rows on either side of each core's
domain included (those go to the row-by-row kernels), and every result is
within 2^-100 of mpmath's at 300 bits."""
import math
import random

import mpmath
import pytest

from conftest import from_rows, limbs_of, random_rows, same_bits
from varnel.zel import zel

mpmath.mp.prec = 300
PI64 = mpmath.pi / 64


def exact(row):
    return sum((mpmath.mpf(v) for v in row), mpmath.mpf(0))


def row(*limbs):
    return list(limbs) + [0.0] * (8 - len(limbs))


def near(v, *offsets):
    """The float64 nearest v, with lower limbs: rows next to a reduction point."""
    h = float(v)
    return [row(h)] + [row(h, o) for o in offsets] + [row(h, float(v - h))]


# Per function: rows at the edges of its core's domain and of its table.
EDGES = {
    "exp": [row(709.0), row(709.0, 1e-14), row(709.5), row(-620.0), row(-620.0, -1e-14), row(-621.0),
            row(0.0054), row(-0.0055), row(1e-300), row(-1e-20)],
    "log": [row(1.0, 2.0 ** -41), row(1.0, -(2.0 ** -39)), row(1.0, 2.0 ** -60, 2.0 ** -115), row(0.75),
            row(1.5), row(1.5, -1e-17), row(2.0 ** -1020), row(2.0 ** 1020), row(1e-310), row(3.0, 2.0 ** -53)],
    "sin": [r for k in (1, 64, 100, 12345) for r in near(k * PI64, 2.0 ** -80)]
           + [r for k in (1, 2, 3, 1000) for r in near(k * mpmath.pi, 2.0 ** -70)]
           + [row(2.0 ** 20), row(2.0 ** 20 + 1), row(1e-300), row(0.0245)],
    "tanh": [row(60.0), row(-59.99), row(1e-300), row(0.0027), row(-0.0028), row(30.0)],
    "sigmoid": [row(620.0), row(-620.0), row(-621.0), row(0.0), row(-1e-300), row(37.0)],
    "expm1": [row(0.0054), row(-0.0054), row(0.0055), row(-620.0), row(-621.0), row(709.0), row(1e-300),
              row(-(2.0 ** -60), 2.0 ** -115)],
}
EDGES.update({
    "exp2": [row(1022.0), row(1022.5), row(-890.0), row(-891.0), row(7.0), row(-3.0), row(0.5, 1e-20)],
    "log1p": [row(-1.0 + 2.0 ** -39), row(-1.0 + 2.0 ** -41), row(0.015625), row(-0.015624), row(1e-300),
              row(2.0 ** 1020), row(-(2.0 ** -60), 2.0 ** -120)],
    "log2": [row(2.0 ** k) for k in (-1020, -5, 1, 3, 1020)] + [row(1.0, 2.0 ** -45), row(1.0, -(2.0 ** -39))],
    "log10": [row(1000.0), row(0.001), row(1.0, 2.0 ** -41), row(1.0, 2.0 ** -39)],
    "sinh": [row(709.0), row(709.5), row(-1e-300), row(0.35), row(-0.0054)],
    "cosh": [row(709.0), row(-709.5), row(1e-300), row(0.0055)],
    "atan": [row(2.0 ** -400), row(2.0 ** -401), row(2.0 ** 400), row(-(2.0 ** 401)), row(1.0), row(-1.0 / 64)],
    "asinh": [row(2.0 ** 80), row(2.0 ** 81), row(2.0 ** -400), row(-(2.0 ** -401)), row(0.0156)],
    "acosh": [row(1.0, 2.0 ** -39), row(1.0, 2.0 ** -41), row(1.0 + 2.0 ** -38), row(2.0 ** 80), row(2.0 ** 81)],
    "atanh": [row(1.0, -(2.0 ** -39)), row(-1.0, 2.0 ** -41), row(2.0 ** -900), row(2.0 ** -901),
              row(0.99999), row(-0.0078)],
    "asin": [row(1.0, -(2.0 ** -39)), row(-1.0, 2.0 ** -41), row(2.0 ** -400), row(-(2.0 ** -401)), row(0.5)],
    "gelu": [row(20.0), row(-20.0), row(-20.5), row(2.0 ** -800), row(2.0 ** -801), row(-3.0)],
})
EDGES["cos"] = EDGES["sin"] + [r for k in (1, 3, 101) for r in near(k * mpmath.pi / 2, 2.0 ** -70)]
EDGES["tan"] = EDGES["cos"]
EDGES["acos"] = EDGES["asin"] + [row(0.0), row(-0.0)]
EDGES["silu"] = EDGES["sigmoid"] + [row(600.0), row(2.0 ** -800), row(-(2.0 ** -801))]

REFERENCE = {
    "exp": mpmath.exp, "log": mpmath.log, "sin": mpmath.sin, "cos": mpmath.cos, "tan": mpmath.tan,
    "tanh": mpmath.tanh, "sigmoid": lambda v: 1 / (1 + mpmath.exp(-v)), "silu": lambda v: v / (1 + mpmath.exp(-v)),
    "expm1": mpmath.expm1, "exp2": lambda v: mpmath.mpf(2) ** v, "log1p": mpmath.log1p,
    "log2": lambda v: mpmath.log(v, 2), "log10": mpmath.log10, "sinh": mpmath.sinh, "cosh": mpmath.cosh,
    "atan": mpmath.atan, "asin": mpmath.asin, "acos": mpmath.acos, "asinh": mpmath.asinh, "acosh": mpmath.acosh, "atanh": mpmath.atanh,
    "gelu": lambda v: v / (1 + mpmath.exp(-2 * mpmath.mpf(0.7978845608028654) * (v + mpmath.mpf(0.044715) * v ** 3))),
}
SPREAD = {"exp": 8, "log": 300, "sin": 20, "cos": 20, "tan": 12, "tanh": 6, "sigmoid": 8, "silu": 8, "expm1": 6,
          "exp2": 9, "log1p": 30, "log2": 300, "log10": 300, "sinh": 8, "cosh": 8, "atan": 30, "asinh": 30,
          "acosh": 30, "atanh": 0, "gelu": 4, "asin": 0, "acos": 0}
# Where the function has no real value (x <= -1 for log1p, x < 1 for acosh, ...).
DOMAIN = {"log": lambda v: v > 0, "log2": lambda v: v > 0, "log10": lambda v: v > 0, "log1p": lambda v: v > -1,
          "acosh": lambda v: v >= 1, "atanh": lambda v: abs(v) < 1,
          "asin": lambda v: abs(v) <= 1, "acos": lambda v: abs(v) <= 1}
SPECIAL = [0.0, -0.0, math.inf, -math.inf, math.nan, 5e-324, 2.0 ** 1000, -(2.0 ** 1000)]


def call(name, t):
    with zel.function_precision("full"):
        return getattr(zel, name)(t)


def rows_for(name, seed):
    rng = random.Random(seed)
    rows = random_rows(rng, 120, spread=SPREAD[name])
    if name in ("log", "log2", "log10", "acosh"):
        rows = [[abs(r[0])] + [v if r[0] > 0 else -v for v in r[1:]] for r in rows]
    rows += EDGES[name]
    rows += [row(v) for v in SPECIAL] + [row(1.0, 0.75), row(0.0, 1.5)]  # the last two need renormalising
    rng.shuffle(rows)
    return rows


def bits(got, want):
    if got == want:
        return math.inf
    return float(-mpmath.log(abs(got - want) / abs(want), 2))


@pytest.mark.parametrize("name", sorted(REFERENCE))
def test_lanes_give_the_rows_of_the_scalar_code_and_2_to_the_100(name):
    rows = rows_for(name, sum(map(ord, name)))
    batched = limbs_of(call(name, from_rows(rows)))
    checked = 0
    for i, r in enumerate(rows):
        one = limbs_of(call(name, from_rows([r])))[0]
        assert same_bits(batched[i], one), (name, r)
        v = exact(r)
        if not all(map(math.isfinite, r)) or v == 0 or (name in ("sin", "cos", "tan") and abs(v) > 2 ** 300):
            continue  # past 2^300 the 420 bits of pi the reduction carries run out
        if not DOMAIN.get(name, lambda v: True)(v):
            continue
        want = REFERENCE[name](v)
        got = exact(batched[i])
        if abs(want) < mpmath.mpf(2) ** -960 or abs(want) > mpmath.mpf(2) ** 1020:
            continue  # below: lower limbs subnormal; above: float64 overflow
        assert bits(got, want) >= 100, (name, r, float(want))
        checked += 1
    assert checked >= 60, checked


def test_atan2_lanes_octants_and_table_points():
    rng = random.Random(11)
    ys = random_rows(rng, 150, spread=10)
    xs = random_rows(rng, 150, spread=10)
    # Quotients exactly at table points, equal magnitudes, the core's range edges.
    for i, (a, b) in enumerate([(1.0, 64.0), (-3.0, 64.0), (64.0, -5.0), (1.0, 1.0), (-2.0, -2.0),
                                (2.0 ** -400, 1.0), (2.0 ** -401, 1.0), (1.0, 2.0 ** 400), (1.0, 2.0 ** 401),
                                (1e-300, -1.0), (0.0, -1.0), (-0.0, -1.0), (1.0, 0.0), (math.inf, 1.0),
                                (math.nan, 1.0), (3.0, -(2.0 ** -300))]):
        ys.append(row(a))
        xs.append(row(b))
    ys.append(row(1.0, 0.75))
    xs.append(row(2.0))
    batched = limbs_of(zel.atan2(from_rows(ys), from_rows(xs)))
    broadcast = limbs_of(zel.atan2(from_rows(ys, (len(ys), 1)), from_rows(xs, (len(xs), 1))))
    for i, (y, x) in enumerate(zip(ys, xs)):
        one = limbs_of(zel.atan2(from_rows([y]), from_rows([x])))[0]
        assert same_bits(batched[i], one) and same_bits(broadcast[i], one), (y, x)
        if all(map(math.isfinite, y + x)) and exact(y) != 0:
            assert bits(exact(one), mpmath.atan2(exact(y), exact(x))) >= 100, (y, x)


def test_pow_lanes_for_tensor_float_and_number_exponents():
    rng = random.Random(12)
    bases = [[abs(r[0])] + [v if r[0] > 0 else -v for v in r[1:]] for r in random_rows(rng, 150, spread=20)]
    exps = random_rows(rng, 150, spread=3)
    # The core's edges: b log a at -620 and 709, a next to 1, negative bases with integral
    # exponents, zeros, infinities, unnormalised rows.
    for a, b in [(2.0, 1022.0), (2.0, 1023.5), (0.5, 894.0), (0.5, 895.0), (1.0 + 2.0 ** -39, 7.0),
                 (1.0 + 2.0 ** -41, 7.0), (1.0, 5.5), (-2.0, 3.0), (-2.0, 0.5), (0.0, -1.0), (3.0, 0.0),
                 (math.inf, 2.0), (2.0, -math.inf), (math.nan, 0.0), (2.0 ** -1021, 0.5), (7.0, 2.0 ** -1000)]:
        bases.append(row(a))
        exps.append(row(b))
    bases.append(row(1.0, 0.75))
    exps.append(row(2.0))
    batched = limbs_of(zel.pow(from_rows(bases), from_rows(exps)))
    for i, (a, b) in enumerate(zip(bases, exps)):
        one = limbs_of(zel.pow(from_rows([a]), from_rows([b])))[0]
        assert same_bits(batched[i], one), (a, b)
        va, vb = exact(a), exact(b)
        if all(map(math.isfinite, a + b)) and va > 0:
            want = va ** vb
            if mpmath.mpf(2) ** -960 < want < mpmath.mpf(2) ** 1020:
                assert bits(exact(one), want) >= 100, (a, b)
    x = from_rows(bases)
    with zel.function_precision("full"):
        powers = limbs_of(x ** 1.37)
        exponentials = limbs_of(2.5 ** from_rows(exps))
        for i in range(len(bases)):
            assert same_bits(powers[i], limbs_of(from_rows([bases[i]]) ** 1.37)[0]), bases[i]
            assert same_bits(exponentials[i], limbs_of(2.5 ** from_rows([exps[i]]))[0]), exps[i]
