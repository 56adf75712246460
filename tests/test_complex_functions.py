"""The complex element kernels, run on real tensors whose last dimension holds
(real, imaginary): each component within 2^-100 of mpmath's value
on random operands, next to the branch cuts, the unit circle and the points
where a naive formula cancels, and the exact product and quotient."""
import math
import random
from fractions import Fraction

import mpmath
import pytest
import torch

from varnel.zel import zel

BITS = 100

REFERENCE = {
    "exp": mpmath.exp, "log": mpmath.log, "log2": lambda z: mpmath.log(z) / mpmath.log(2),
    "log10": lambda z: mpmath.log(z) / mpmath.log(10), "log1p": lambda z: mpmath.log(1 + z),
    "expm1": mpmath.expm1, "sqrt": mpmath.sqrt, "rsqrt": lambda z: 1 / mpmath.sqrt(z),
    "reciprocal": lambda z: 1 / z, "sin": mpmath.sin, "cos": mpmath.cos, "tan": mpmath.tan,
    "sinh": mpmath.sinh, "cosh": mpmath.cosh, "tanh": mpmath.tanh, "asin": mpmath.asin, "acos": mpmath.acos,
    "atan": mpmath.atan, "asinh": mpmath.asinh, "acosh": mpmath.acosh, "atanh": mpmath.atanh,
    "sigmoid": lambda z: 1 / (1 + mpmath.exp(-z)), "sgn": lambda z: z / abs(z),
}


@pytest.fixture(autouse=True)
def precision():
    # mpmath's inverse functions cancel in components near 1e-200: far more bits than the result needs.
    with mpmath.workprec(1600):
        yield


def values(t):
    """The exact complex values of a (..., 2) tensor."""
    rows = t._data.tolist()
    parts = [sum((mpmath.mpf(v) for v in r), mpmath.mpf(0)) for r in rows]
    return [mpmath.mpc(parts[i], parts[i + 1]) for i in range(0, len(parts), 2)]


def component_bits(got, want):
    """The fewest correct bits of the two components. Below 2^-900 the lower
    limbs run into the subnormals: there an error under 2^-1000 counts as exact."""
    worst = math.inf
    for g, w in ((got.real, want.real), (got.imag, want.imag)):
        if g == w or (abs(w) < 2.0 ** -900 and abs(g - w) < 2.0 ** -1000):
            continue
        worst = min(worst, float(-mpmath.log(abs(g - w) / abs(w), 2)) if w else -math.inf)
    return worst


def operands(seed, n=120):
    """Random operands over 10^-3..20 in each quadrant, plus the awkward places:
    the cuts on both sides, the unit circle, 1 and -1, i and -i, tiny and huge."""
    rng = random.Random(seed)
    out = [(rng.choice((-1, 1)) * 10 ** rng.uniform(-3, 1.3), rng.choice((-1, 1)) * 10 ** rng.uniform(-3, 1.3))
           for _ in range(n)]
    for s in (1.0, -1.0):
        out += [(s * 3.0, 1e-20), (s * 3.0, -1e-20), (1e-20, s * 3.0), (-1e-20, s * 3.0), (s * 0.5, 1e-200),
                (s * (1 - 2.0 ** -30), 2.0 ** -40), (s * 1.0, 1e-12), (1e-12, s * 1.0), (s * 0.6, 0.8),
                (s * 0.8, -0.6 + 2.0 ** -50), (s * 1e-300, 1e-300), (s * 1e200, 3e199), (3e199, s * 1e200),
                (s * 2.0 ** 520, 1.5), (s * 25.0, 0.7), (0.3, s * 400.0)]
    return out


@pytest.mark.parametrize("name", sorted(REFERENCE))
def test_every_component_within_2_to_the_100(name):
    ops = operands(sorted(REFERENCE).index(name))
    got = values(zel._complex_function(name, zel.tensor([list(z) for z in ops])))
    for z, g in zip(ops, got):
        try:
            want = mpmath.mpc(REFERENCE[name](mpmath.mpc(*z)))
        except (OverflowError, ZeroDivisionError):
            continue
        if not (mpmath.isfinite(want.real) and mpmath.isfinite(want.imag)) or abs(want) > 1e300:
            continue
        assert component_bits(g, want) >= BITS, (name, z, complex(g), complex(want))


def test_products_and_quotients_use_the_exact_formulas():
    rng = random.Random(7)
    pairs = [[(rng.uniform(-4, 4), rng.uniform(-4, 4)), (rng.uniform(-4, 4), rng.uniform(-4, 4))] for _ in range(50)]
    a = zel.tensor([p[0] for p in pairs])
    b = zel.tensor([p[1] for p in pairs])
    # Float64 operands: each product is exact in the limbs, and so is (ac - bd).
    for ((x, y), (u, v)), g in zip(pairs, zel._complex_function("mul", a, b)._data.reshape(-1, 2, 8).tolist()):
        re = sum(Fraction(t) for t in g[0])
        im = sum(Fraction(t) for t in g[1])
        assert re == Fraction(x) * Fraction(u) - Fraction(y) * Fraction(v)
        assert im == Fraction(x) * Fraction(v) + Fraction(y) * Fraction(u)
    for ((x, y), (u, v)), g in zip(pairs, values(zel._complex_function("div", a, b))):
        want = mpmath.mpc(x, y) / mpmath.mpc(u, v)
        assert component_bits(g, want) >= BITS
    # Divisors near the ends of the range: scaled, so nothing overflows or underflows on the way.
    big = values(zel._complex_function("div", zel.tensor([[1.0, 1.0], [3e-300, 1e-300]]),
                                       zel.tensor([[1e300, 2e300], [1e-300, -2e-300]])))
    assert component_bits(big[0], mpmath.mpc(1, 1) / mpmath.mpc(1e300, 2e300)) >= BITS
    assert component_bits(big[1], mpmath.mpc(3e-300, 1e-300) / mpmath.mpc(1e-300, -2e-300)) >= BITS


def three_limbs(v):
    out = []
    for _ in range(3):
        out.append(float(v))
        v -= out[-1]
    return out + [0.0] * 5


@pytest.mark.parametrize("k", [60, 100, 140])
def test_logarithms_next_to_the_unit_circle(k):
    # |w|^2 = 1 + 2^-k: the real part log|w| is about 2^-k-1, far below the
    # squares whose sum gives it. log1p takes w - 1 (exact: x is one float),
    # once with both parts below 1/2 and once with a larger imaginary part.
    rows, cases = [], []
    for x in (0.6, 0.9, -0.75):
        y = mpmath.sqrt(1 + mpmath.mpf(2) ** -k - mpmath.mpf(x) ** 2)
        ys = three_limbs(y)
        w = mpmath.mpc(x, sum(mpmath.mpf(v) for v in ys))
        for name in ("log", "log2", "log10"):
            rows.append((name, [x] + [0.0] * 7, ys))
            cases.append((name, w))
        rows.append(("log1p", [x - 1.0] + [0.0] * 7, ys))
        cases.append(("log1p", w - 1))
    for (name, re, im), (_, z) in zip(rows, cases):
        t = zel.Tensor(_raw=torch.tensor([re, im], dtype=torch.float64), _shape=(1, 2))
        got = values(zel._complex_function(name, t))[0]
        assert component_bits(got, mpmath.mpc(REFERENCE[name](z))) >= BITS, (name, k, complex(z))


def test_powers():
    z = zel.tensor([[0.6, -1.3], [2.0, 0.5], [-3.0, 1e-10]])
    for w in ([[2.0, 0.0]] * 3, [[-3.0, 0.0]] * 3, [[0.5, 0.25]] * 3, [[1.5, -2.0]] * 3):
        got = values(zel._complex_function("pow", z, zel.tensor(w)))
        for zz, ww, g in zip(z.tolist(), w, got):
            want = mpmath.mpc(*zz) ** mpmath.mpc(*ww)
            assert component_bits(g, want) >= BITS - 3, (zz, ww)


def test_negative_integer_powers_whose_positive_power_underflows():
    # z^43 is near 2^-966, its lower limbs subnormal; z^-43 is a normal 1e291.
    z = zel.tensor([[-1.68826171e-07, 6.92995039e-18], [3e-8, -2e-8]])
    got = values(zel._complex_function("pow", z, zel.tensor([[-43.0, 0.0], [-40.0, 0.0]])))
    for (x, y), n, g in zip(z.tolist(), (-43, -40), got):
        assert component_bits(g, mpmath.mpc(x, y) ** n) >= BITS, (x, y, n)


def test_real_powers_of_negative_bases_near_integer_exponents():
    # (-x +- 0i)^(n + d): the imaginary part is about |x|^w sin(d pi), far
    # below the modulus; the angle n pi + d pi must not be formed at once.
    rows, cases = [], []
    for x, n, d, im in ((-0.235, -4.0, 2.0 ** -100, 0.0), (-3.5, 9.0, 2.0 ** -70, -0.0), (-1.25, 40.0, 2.0 ** -120, 1e-40)):
        rows.append(([x] + [0.0] * 7, [im] + [0.0] * 7, [n, d] + [0.0] * 6, [0.0] * 8))
        base = mpmath.mpc(x, im) if im else mpmath.mpc(x, mpmath.mpf(2) ** -3000 * (-1 if math.copysign(1, im) < 0 else 1))
        cases.append(base ** (mpmath.mpf(n) + d))
    z = zel.Tensor(_raw=torch.tensor([r for row in rows for r in row[:2]], dtype=torch.float64), _shape=(3, 2))
    w = zel.Tensor(_raw=torch.tensor([r for row in rows for r in row[2:]], dtype=torch.float64), _shape=(3, 2))
    for g, want in zip(values(zel._complex_function("pow", z, w)), cases):
        assert component_bits(g, want) >= BITS, (complex(g), complex(want))
    # Beyond e^709 in modulus, the result still finite where the angle brings it back.
    big = values(zel._complex_function("pow", zel.tensor([[-1.2e132, 1.0]]), zel.tensor([[7 / 3, 0.0]])))[0]
    want = mpmath.mpc(-1.2e132, 1.0) ** mpmath.mpf(7 / 3)
    assert component_bits(big, want) >= BITS


def test_operands_are_checked():
    with pytest.raises(ValueError, match="last dimension of size 2"):
        zel._complex_function("exp", zel.tensor([1.0, 2.0, 3.0]))
    with pytest.raises(ValueError, match="no complex unary function"):
        zel._complex_function("nope", zel.tensor([1.0, 2.0]))
    with pytest.raises(ValueError, match="differ"):
        zel._complex_function("mul", zel.tensor([[1.0, 2.0]]), zel.tensor([[1.0, 2.0], [3.0, 4.0]]))


SPECIAL = [0.0, -0.0, 1.0, -1.0, 0.5, -2.0, 3.0, 1e30, -1e30, 1e300, -1e300, 1e-300, math.inf, -math.inf]


def same(a, b):
    if a == 0 and b == 0:
        return math.copysign(1, a) == math.copysign(1, b)
    if math.isinf(a) or math.isinf(b) or math.isnan(a) or math.isnan(b):
        return a == b or (math.isnan(a) and math.isnan(b))
    return abs(a - b) <= 1e-13 * max(abs(a), abs(b))


@pytest.mark.parametrize("name", ["exp", "log", "log10", "sqrt", "sin", "cos", "tan", "sinh", "cosh", "tanh", "asin",
                                  "acos", "atan", "asinh", "acosh", "atanh"])
def test_zeros_infinities_and_extremes_follow_c99(name):
    # Python's cmath implements C99's tables; where both parts are infinite C99
    # leaves the signs of zeros open, so those pairs are left out.
    import cmath
    pairs = [(a, b) for a in SPECIAL for b in SPECIAL if not (math.isinf(a) and math.isinf(b))]
    got = zel._complex_function(name, zel.tensor([list(p) for p in pairs]))._data[:, 0].reshape(-1, 2).tolist()
    for (a, b), (re, im) in zip(pairs, got):
        try:
            want = getattr(cmath, name)(complex(a, b))
        except (ValueError, OverflowError):
            continue  # cmath raises where C99 gives an infinity
        assert same(re, want.real) and same(im, want.imag), (name, (a, b), (re, im), want)


def test_nan_operands_give_nan():
    names = sorted(REFERENCE)
    z = zel.tensor([[math.nan, 1.0], [2.0, math.nan], [math.nan, math.nan]])
    for name in names:
        for re, im in zel._complex_function(name, z)._data[:, 0].reshape(-1, 2).tolist():
            assert math.isnan(re) or math.isnan(im), name


def test_agrees_with_torch_complex128_on_ordinary_values():
    rng = random.Random(3)
    ops = [(rng.uniform(-3, 3), rng.uniform(-3, 3)) for _ in range(200)]
    t = torch.tensor([complex(*z) for z in ops], dtype=torch.complex128)
    z = zel.tensor([list(p) for p in ops])
    for name in sorted(REFERENCE):
        fn = {"log1p": lambda v: torch.log(1 + v), "expm1": lambda v: torch.exp(v) - 1}.get(name, getattr(torch, name))
        want = fn(t)
        got = torch.complex(*zel._complex_function(name, z)._data.sum(dim=1).reshape(-1, 2).unbind(1))
        assert torch.allclose(got, want, rtol=1e-12, atol=1e-12), name


def test_multiples_of_pi_from_infinite_operands_have_every_limb():
    got = zel._complex_function("log", zel.tensor([[-math.inf, 1.0], [math.inf, math.inf]]))._data.tolist()
    assert abs(sum(mpmath.mpf(v) for v in got[1]) - mpmath.pi) < mpmath.mpf(2) ** -150
    got = zel._complex_function("acos", zel.tensor([[-math.inf, 1.0]]))._data.tolist()
    assert abs(sum(mpmath.mpf(v) for v in got[0]) - mpmath.pi) < mpmath.mpf(2) ** -150
