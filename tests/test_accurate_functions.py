"""The accurate element functions: accuracy against mpmath on a sample, the
IEEE/C99 special values, exact ordering, broadcasting and argument errors.
The full accuracy table comes from bench/accuracy.py."""
import math
import random
import struct

import mpmath as mp
import pytest
import torch

from conftest import from_rows, limbs_of
from varnel.zel import zel

inf, nan = math.inf, math.nan
mp.mp.prec = 300
BITS = 100


def value(row):
    return mp.fsum(mp.mpf(v) for v in row)


def with_lower(values, rng):
    """Elements with genuine second and third limbs."""
    rows = []
    for v in values:
        lo = v * 2.0 ** -53 * rng.uniform(-1, 1)
        rows.append([v, lo, lo * 2.0 ** -53 * rng.uniform(-1, 1)] + [0.0] * 5)
    return rows


def assert_accurate(name, got_rows, exact_values, inputs):
    for row, exact, x in zip(got_rows, exact_values, inputs):
        got = value(row)
        if exact == 0:
            assert got == 0, (name, x)
            continue
        err = abs(got - exact) / abs(exact)
        assert err <= mp.mpf(2) ** -BITS, (name, x, float(err))


def sample(lo, hi, n, rng, log=False):
    if log:
        return [math.copysign(math.exp(rng.uniform(math.log(lo), math.log(hi))), rng.choice([-1, 1])) for _ in range(n)]
    return [rng.uniform(lo, hi) for _ in range(n)]


# The functions with parameters or a Tensor exponent; the declared ones are
# in ops_db.py (test_ops_db.py).
UNARY = {
    "logit": (lambda x: mp.log(x / (1 - x)), [(0, 1), (0.5 - 1e-9, 0.5 + 1e-9)]),
}

BINARY = {
    "pow": (mp.power, [((0.1, 10), (-20, 20)), ((0.999, 1.001), (-1e5, 1e5))]),
}


class TestAccuracy:
    @pytest.mark.parametrize("name", sorted(UNARY))
    def test_unary_sample(self, name):
        rng = random.Random(name)
        ref, ranges = UNARY[name]
        for lo, hi in ranges:
            rows = with_lower(sample(lo, hi, 25, rng), rng)
            got = limbs_of(getattr(zel, name)(from_rows(rows)))
            assert_accurate(name, got, [ref(value(r)) for r in rows], rows)

    @pytest.mark.parametrize("name", sorted(BINARY))
    def test_binary_sample(self, name):
        rng = random.Random(name)
        ref, ranges = BINARY[name]
        for (alo, ahi), (blo, bhi) in ranges:
            a = with_lower(sample(alo, ahi, 25, rng), rng)
            b = with_lower(sample(blo, bhi, 25, rng), rng)
            got = limbs_of(getattr(zel, name)(from_rows(a), from_rows(b)))
            assert_accurate(name, got, [ref(value(x), value(y)) for x, y in zip(a, b)], a)

    def test_lower_limbs_decide_near_one(self):
        # 1 - 2^-200 is only visible in limb 1: asin, atanh and log1p must read it.
        x = from_rows([[1.0, -2.0 ** -200] + [0.0] * 6])
        exact = mp.mpf(1) - mp.mpf(2) ** -200
        assert_accurate("asin", limbs_of(zel.asin(x)), [mp.asin(exact)], [exact])
        assert_accurate("atanh", limbs_of(zel.atanh(x)), [mp.atanh(exact)], [exact])
        assert_accurate("log2", limbs_of(zel.log2(x)), [mp.log(exact, 2)], [exact])

    def test_results_have_three_limbs(self):
        r = limbs_of(zel.asin(zel.tensor([0.3])))[0]
        assert r[3:] == [0.0] * 5 and r[1] != 0.0


def bits_of(x):
    return struct.pack("<d", x)


def assert_value(t, expected):
    """Limb 0 bit for bit (signed zeros, NaN), lower limbs zero."""
    for row, e in zip(limbs_of(t), expected):
        assert bits_of(row[0]) == bits_of(e) or (math.isnan(row[0]) and math.isnan(e)), (row, e)
        assert row[1:] == [0.0] * 7


PI, HALF_PI = math.pi, math.pi / 2
SPECIAL_UNARY = [
    ("asin", [1.5, -1.5, nan, inf, 1.0, -1.0, -0.0], [nan, nan, nan, nan, None, None, -0.0]),
    ("acos", [1.5, 1.0, -inf], [nan, 0.0, nan]),
    ("atan", [inf, -inf, -0.0, nan], [None, None, -0.0, nan]),
    ("sinh", [inf, -inf, 711.0, -711.0, -0.0, nan], [inf, -inf, inf, -inf, -0.0, nan]),
    ("cosh", [inf, -inf, 711.0, nan], [inf, inf, inf, nan]),
    ("asinh", [inf, -inf, -0.0], [inf, -inf, -0.0]),
    ("acosh", [0.5, 1.0, inf, -inf], [nan, 0.0, inf, nan]),
    ("atanh", [1.0, -1.0, 1.5, -0.0, inf], [inf, -inf, nan, -0.0, nan]),
    ("expm1", [inf, -inf, 710.0, -0.0, -1000.0], [inf, -1.0, inf, -0.0, -1.0]),
    ("log1p", [-1.0, -2.0, inf, -0.0], [-inf, nan, inf, -0.0]),
    ("log2", [0.0, -0.0, -1.0, inf, 1.0, 8.0, 2.0 ** -1074], [-inf, -inf, nan, inf, 0.0, 3.0, -1074.0]),
    ("log10", [0.0, -1.0, inf, 1.0], [-inf, nan, inf, 0.0]),
    ("exp2", [inf, -inf, 1024.0, -1100.0, 3.0, -1074.0], [inf, 0.0, inf, 0.0, 8.0, 2.0 ** -1074]),
    ("erf", [inf, -inf, -0.0, 30.0], [1.0, -1.0, -0.0, 1.0]),
    ("erfc", [inf, -inf, 30.0], [0.0, 2.0, 0.0]),
    ("rsqrt", [0.0, -0.0, -1.0, inf, 4.0], [inf, -inf, nan, 0.0, 0.5]),
    ("sign", [-3.0, 0.0, -0.0, inf, nan], [-1.0, 0.0, 0.0, 1.0, nan]),
    ("trunc", [inf, -2.5, -0.5, nan], [inf, -2.0, -0.0, nan]),
    ("frac", [inf, -2.5, nan], [nan, -0.5, nan]),
    ("sinc", [0.0, inf, nan, 3.0, -2.0], [1.0, nan, nan, 0.0, 0.0]),
    ("logit", [0.0, 1.0, 2.0, -1.0, 0.5], [-inf, inf, nan, nan, 0.0]),
]
SPECIAL_BINARY = [
    # C99 atan2 table
    ("atan2", [(0.0, -0.0), (-0.0, -0.0), (0.0, 0.0), (-0.0, 0.0), (1.0, 0.0), (-1.0, -0.0), (inf, inf),
               (-inf, -inf), (1.0, inf), (-1.0, -inf), (inf, 1.0), (0.0, -1.0), (nan, 1.0)],
     [PI, -PI, 0.0, -0.0, HALF_PI, -HALF_PI, PI / 4, -3 * PI / 4, 0.0, -PI, HALF_PI, PI, nan]),
    ("hypot", [(inf, nan), (nan, -inf), (nan, 1.0), (0.0, -0.0), (3.0, 4.0), (1e308, 1e308)],
     [inf, inf, nan, 0.0, 5.0, None]),
    ("pow", [(nan, 0.0), (1.0, nan), (-8.0, 1 / 3), (0.0, -1.0), (-0.0, -3.0), (-0.0, 3.0), (-inf, 3.0),
             (-inf, -3.0), (-1.0, inf), (0.5, -inf), (2.0, inf), (-2.0, 3.0), (10.0, 400.0), (10.0, -400.0)],
     [1.0, 1.0, nan, inf, -inf, -0.0, -inf, -0.0, 1.0, inf, inf, -8.0, inf, 0.0]),
    ("fmod", [(5.0, 0.0), (inf, 2.0), (5.0, inf), (-0.0, 3.0), (-6.0, 3.0), (7.5, -2.0), (-7.5, 2.0)],
     [nan, nan, 5.0, -0.0, -0.0, 1.5, -1.5]),
    ("remainder", [(5.0, inf), (-5.0, inf), (5.0, 0.0), (-7.5, 2.0), (7.5, -2.0)], [5.0, inf, nan, 0.5, -0.5]),
    ("maximum", [(nan, 1.0), (1.0, nan), (0.0, -0.0), (-0.0, 0.0)], [nan, nan, 0.0, -0.0]),
    ("fmax", [(nan, 1.0), (1.0, nan), (nan, nan)], [1.0, 1.0, nan]),
    ("fmin", [(nan, 1.0), (-1.0, nan)], [1.0, -1.0]),
    ("copysign", [(1.0, -0.0), (1.0, nan), (-0.0, 1.0), (inf, -2.0)], [-1.0, 1.0, 0.0, -inf]),
    ("logaddexp", [(-inf, -inf), (inf, inf), (inf, -inf), (-inf, 2.0), (nan, 1.0)], [-inf, inf, inf, 2.0, nan]),
    ("xlogy", [(0.0, nan), (0.0, 0.0), (1.0, 0.0), (2.0, -1.0), (nan, 1.0)], [nan, 0.0, -inf, nan, nan]),
]


class TestSpecialValues:
    @pytest.mark.parametrize("name,inputs,expected", SPECIAL_UNARY, ids=[c[0] for c in SPECIAL_UNARY])
    def test_unary(self, name, inputs, expected):
        got = getattr(zel, name)(zel.tensor(inputs))
        keep = [i for i, e in enumerate(expected) if e is not None]
        assert_value(zel.tensor([limbs_of(got)[i][0] for i in keep]), [expected[i] for i in keep])
        for i in keep:
            assert limbs_of(got)[i][1:] == [0.0] * 7

    @pytest.mark.parametrize("name,pairs,expected", SPECIAL_BINARY, ids=[c[0] for c in SPECIAL_BINARY])
    def test_binary(self, name, pairs, expected):
        got = limbs_of(getattr(zel, name)(zel.tensor([p[0] for p in pairs]), zel.tensor([p[1] for p in pairs])))
        for row, e, p in zip(got, expected, pairs):
            if e is None:
                assert math.isfinite(row[0]), (p, row)
            elif math.isnan(e):
                assert math.isnan(row[0]), (p, row)
            else:
                assert bits_of(row[0]) == bits_of(e) or abs(row[0] - e) <= 1e-15 * abs(e), (p, row, e)
                assert row[0] != 0.0 or bits_of(row[0]) == bits_of(e), (p, row, e)

    def test_overflow_is_inf_not_nan(self):
        assert_value(zel.sinh(zel.tensor([710.48, -710.48])), [inf, -inf])
        assert_value(zel.rad2deg(zel.tensor([1.7e308])), [inf])
        assert_value(zel.pow(zel.tensor([1e300]), zel.tensor([2.0])), [inf])
        assert math.isfinite(zel.cosh(zel.tensor([710.47]))._data[0, 0].item())


class TestExact:
    def test_ordering_reads_every_limb(self):
        a = from_rows([[1.0, 2.0 ** -80] + [0.0] * 6])
        b = from_rows([[1.0, 0.0, 2.0 ** -200] + [0.0] * 5])
        assert limbs_of(zel.maximum(a, b)) == limbs_of(a)
        assert limbs_of(zel.minimum(a, b)) == limbs_of(b)
        assert limbs_of(zel.fmin(a, b)) == limbs_of(b)
        assert limbs_of(zel.sign(from_rows([[1.0, -1.0, -1e-300] + [0.0] * 5]))) == [[-1.0] + [0.0] * 7]
        assert zel.signbit(from_rows([[0.0, -1e-300] + [0.0] * 6])).tolist() == [True]
        assert not zel.isclose(a, b, rtol=0.0, atol=0.0).item()
        assert zel.isclose(a, b, rtol=2.0 ** -75, atol=0.0).item()
        assert not zel.equal(a, b) and zel.equal(a, a)

    def test_isclose_and_allclose(self):
        a = zel.tensor([1.0, inf, nan, 1.0])
        b = zel.tensor([1.0 + 1e-9, inf, nan, 2.0])
        assert zel.isclose(a, b).tolist() == [True, True, False, False]
        assert zel.isclose(a, b, equal_nan=True).tolist() == [True, True, True, False]
        assert zel.allclose(zel.tensor([1.0, 1.0]), zel.tensor([1.0]))
        assert not zel.allclose(zel.tensor([1.0, 2.0]), zel.tensor([1.0]))
        assert not zel.equal(zel.tensor([1.0]), zel.tensor([1.0, 1.0]))
        assert zel.isclose(zel.tensor([[1.0], [2.0]]), zel.tensor([1.0, 2.0])).shape == torch.Size([2, 2])

    def test_trunc_frac_fmod_on_all_limbs(self):
        # 2^60 + 0.75 - 2^-30: the fraction lives in limbs 1 and 2.
        x = from_rows([[2.0 ** 60, 0.75, -2.0 ** -30] + [0.0] * 5])
        assert value(limbs_of(zel.trunc(x))[0]) == mp.mpf(2) ** 60
        assert value(limbs_of(zel.frac(x))[0]) == mp.mpf(0.75) - mp.mpf(2) ** -30
        # A quotient near 2^200 is reduced exactly.
        a = from_rows([[1e60, 1e44] + [0.0] * 6])
        exact = value(limbs_of(a)[0])
        r = value(limbs_of(zel.fmod(a, zel.tensor([3.0])))[0])
        assert r == exact - mp.floor(exact / 3) * 3

    def test_pow_number_exponent_is_the_defined_power(self):
        t = from_rows([[1.5, 1e-17] + [0.0] * 6, [0.7, 0.0, 0.0] + [0.0] * 5])
        for e in (3, -2, 0.5):
            assert limbs_of(zel.pow(t, e)) == limbs_of(t ** e)
            assert limbs_of(t.pow(e)) == limbs_of(t ** e)

    def test_square_and_neg_forward(self):
        t = from_rows([[1.5, 1e-17] + [0.0] * 6])
        assert limbs_of(zel.square(t)) == limbs_of(t ** 2)
        assert limbs_of(zel.neg(t)) == limbs_of(-t) == limbs_of(zel.negative(t))
        assert zel.positive(t)._data.tolist() == t._data.tolist()

    def test_clamp(self):
        t = from_rows([[1.0, 1e-20] + [0.0] * 6, [5.0] + [0.0] * 7, [nan] + [0.0] * 7])
        lo, hi = zel.tensor([1.0, 0.0, 0.0]), zel.tensor([2.0, 3.0, 1.0])
        assert limbs_of(t.clamp(lo, hi))[:2] == [limbs_of(t)[0], [3.0] + [0.0] * 7]
        assert math.isnan(limbs_of(t.clamp(lo, hi))[2][0])
        assert limbs_of(zel.clamp_min(t, 2.0))[0] == [2.0] + [0.0] * 7
        assert limbs_of(zel.clamp_max(t, zel.tensor(1.0)))[0] == [1.0] + [0.0] * 7
        # Number bounds keep the defined clamp (which returns approx in limb 0).
        assert limbs_of(zel.clip(t, 0.0, 10.0))[:2] == limbs_of(t.clamp(0.0, 10.0))[:2]
        assert limbs_of(t.clamp(0.0, 10.0))[0] == [1.0] + [0.0] * 7

    def test_lerp_addcmul_addcdiv(self):
        s, e = zel.tensor([1.0, 1.0]), zel.tensor([3.0, 3.0])
        w = zel.tensor([0.25, 0.75])
        assert zel.lerp(s, e, w)._data[:, 0].tolist() == [1.5, 2.5]
        assert zel.lerp(s, e, zel.tensor(1.0))._data[:, 0].tolist() == [3.0, 3.0]
        r = zel.addcmul(zel.tensor([1.0]), zel.tensor([1.0 / 3]), zel.tensor([3.0]), value=2)
        exact = 1 + 2 * mp.mpf(1.0 / 3) * 3
        assert abs(value(limbs_of(r)[0]) - exact) < mp.mpf(2) ** -140
        r = zel.addcdiv(zel.tensor([1.0]), zel.tensor([1.0]), zel.tensor([3.0]), value=0.5)
        assert abs(value(limbs_of(r)[0]) - (1 + mp.mpf(0.5) / 3)) < mp.mpf(2) ** -140
        assert limbs_of(zel.addcdiv(zel.tensor([1.0]), zel.tensor([1.0]), zel.tensor([0.0])))[0][0] == inf

    def test_nan_to_num(self):
        t = zel.tensor([nan, inf, -inf, 2.0])
        assert zel.nan_to_num(t)._data[:, 0].tolist() == [0.0, 1.7976931348623157e308, -1.7976931348623157e308, 2.0]
        assert t.nan_to_num(nan=1.0, posinf=2.0, neginf=-2.0)._data[:, 0].tolist() == [1.0, 2.0, -2.0, 2.0]

    def test_logit_eps(self):
        r = zel.logit(zel.tensor([0.0, 1.0, 0.3]), eps=0.1)._data[:, 0].tolist()
        assert r[0] == pytest.approx(math.log(0.1 / 0.9), rel=1e-15)
        assert r[1] == pytest.approx(math.log(0.9 / 0.1), rel=1e-15)


class TestApi:
    def test_broadcasting_and_scalars(self):
        y = zel.tensor([[1.0], [-2.0], [3.0]])
        x = zel.tensor([1.0, -1.0, 0.5, 2.0])
        r = zel.atan2(y, x)
        assert r.shape == (3, 4)
        assert r._data[5, 0].item() == pytest.approx(math.atan2(-2.0, -1.0), rel=1e-15)
        assert limbs_of(y.atan2(2.0)) == limbs_of(zel.atan2(y, zel.tensor(2.0)))
        assert limbs_of(zel.pow(2.0, x)) == limbs_of(zel.pow(zel.tensor(2.0), x))
        assert zel.lerp(y, x, 0.5).shape == (3, 4)

    def test_aliases_methods_and_special(self):
        t = zel.tensor([0.25, -0.5])
        for a, b in [("arcsin", "asin"), ("arccos", "acos"), ("arctan", "atan"), ("arcsinh", "asinh"),
                     ("fix", "trunc"), ("negative", "neg")]:
            assert limbs_of(getattr(zel, a)(t)) == limbs_of(getattr(zel, b)(t)) == limbs_of(getattr(t, a)())
        assert limbs_of(zel.arctan2(t, t)) == limbs_of(t.atan2(t))
        for name in ("expm1", "exp2", "log1p", "erf", "erfc", "logit", "sinc", "xlogy"):
            assert getattr(zel.special, name) is not None
        assert limbs_of(zel.special.erf(t)) == limbs_of(t.erf())
        assert "asin" not in zel.__all__

    def test_argument_errors(self):
        t = zel.tensor([1.0, 2.0])
        with pytest.raises(ValueError, match="Cannot broadcast"):
            zel.atan2(t, zel.tensor([1.0, 2.0, 3.0]))
        # Module functions of table rows call the method, as zel.sqrt(4.0) does.
        with pytest.raises(AttributeError, match="asin"):
            zel.asin(0.5)
        with pytest.raises(TypeError, match="other"):
            zel.hypot(t, "x")
        with pytest.raises(TypeError, match="at least one Tensor"):
            zel.lerp(1.0, 2.0, 0.5)
        with pytest.raises(TypeError, match="exponent"):
            zel.float_power(t, "x")
        with pytest.raises(RuntimeError, match="rtol"):
            zel.isclose(t, t, rtol=-1.0)
        with pytest.raises(TypeError, match="nan"):
            zel.nan_to_num(t, nan="0")
        with pytest.raises(TypeError, match="value"):
            zel.addcmul(t, t, t, value=None)
        with pytest.raises(TypeError, match="min"):
            zel.clamp_min(t, None)

    def test_malformed_rows_give_nan(self):
        # A finite limb 0 with an infinite lower limb, or limbs whose sum overflows.
        bad = from_rows([[1.0, inf] + [0.0] * 6, [1.7e308, 1.7e308, -1.7e308] + [0.0] * 5])
        for name in sorted(UNARY) + ["trunc", "frac", "sign"]:
            assert all(math.isnan(r[0]) for r in limbs_of(getattr(zel, name)(bad))), name
        for name in sorted(BINARY):
            assert all(math.isnan(r[0]) for r in limbs_of(getattr(zel, name)(bad, zel.tensor(2.0)))), name

    def test_same_bits_for_any_thread_count(self):
        rng = random.Random(3)
        rows = with_lower(sample(-0.99, 0.99, 3000, rng), rng)
        t = from_rows(rows)
        old = torch.get_num_threads()
        try:
            torch.set_num_threads(1)
            one = [limbs_of(f(t)) for f in (zel.asin, zel.erf, zel.log1p)]
            torch.set_num_threads(2)
            two = [limbs_of(f(t)) for f in (zel.asin, zel.erf, zel.log1p)]
        finally:
            torch.set_num_threads(old)
        assert one == two
