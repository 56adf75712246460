import math
import random
from fractions import Fraction

import mpmath
import pytest
import torch

import reference_elementwise as R
from conftest import from_rows, limbs_of, same_bits
from varnel.zel import zel

Tensor = zel.Tensor
Z7 = [0.0] * 7
INF = math.inf
NAN = math.nan


def random_row(rng, x):
    """An element of value about x whose lower limbs are all in use."""
    row = [x]
    scale = x
    for _ in range(7):
        scale *= rng.uniform(0.5, 1.0) * 2.0 ** -53
        row.append(rng.choice((-1.0, 1.0)) * scale)
    return row


def random_rows(seed, n, lo, hi, signed=False, logscale=False):
    rng = random.Random(seed)
    rows = []
    for _ in range(n):
        x = math.exp(rng.uniform(lo, hi)) if logscale else rng.uniform(lo, hi)
        if signed:
            x = rng.choice((-1.0, 1.0)) * x
        rows.append(random_row(rng, x))
    return rows


# Rows whose leading limb does not dominate (cancelled sums), which the
# products renormalise before use.
CANCELLED = [[0.0, 1.0] + [0.0] * 6, [2.0, -1.0] + [0.0] * 6, [1e16, 3.0, -1e16 + 0.0] + [0.0] * 5]


def assert_rows(got, expected):
    assert len(got) == len(expected)
    for i, (g, e) in enumerate(zip(got, expected)):
        assert same_bits(g, e), f"element {i}: {g} != {e}"


def check_unary(name, rows, ref=None):
    ref = ref or getattr(R, name)
    t = from_rows(rows)
    assert_rows(limbs_of(getattr(t, name)()), [ref(r) for r in rows])


def exact(row):
    return sum(Fraction(x) for x in row)


def mp_value(row):
    f = exact(row)
    return mpmath.mpf(f.numerator) / f.denominator


def digits(got_row, expected, absolute=False):
    """Correct decimal digits of the limb sum against an mpmath value."""
    err = abs(mp_value(got_row) - expected)
    if not absolute:
        err /= abs(expected)
    return math.inf if err == 0 else float(-mpmath.log10(err))


@pytest.fixture
def mp80():
    with mpmath.workdps(80):
        yield


def cancelled_one():
    s = Tensor(1e16) + Tensor(1.0) + Tensor(-1e16)
    assert limbs_of(s) == [[0.0, 1.0] + [0.0] * 6]
    return s


class TestBitExactAgainstReference:
    @pytest.mark.parametrize("name", ["reciprocal", "sqrt", "sin", "cos", "tan"])
    def test_cheap_functions(self, name):
        rows = random_rows(11, 24, 0.01, 40.0, signed=name not in ("sqrt",)) + CANCELLED
        check_unary(name, rows)

    @pytest.mark.parametrize("name", ["exp", "tanh", "sigmoid", "silu", "gelu"])
    def test_exp_based_functions(self, name):
        rows = random_rows(12, 10, 0.0, 30.0, signed=True) + CANCELLED
        check_unary(name, rows)

    def test_exp_across_its_range(self):
        rows = random_rows(13, 8, -740.0, 705.0) + [R.fresh(x) for x in (709.7, -745.0, -708.5, 1e-20)]
        check_unary("exp", rows)

    def test_log(self):
        rows = random_rows(14, 6, -200.0, 200.0, logscale=True) + CANCELLED[:2]
        check_unary("log", rows)

    @pytest.mark.parametrize("name", ["relu", "abs", "floor", "ceil"])
    def test_selections(self, name):
        rows = random_rows(15, 40, 0.0, 100.0, signed=True) + [R.fresh(x) for x in (0.0, -0.0, 2.5, -2.5, INF, -INF)]
        check_unary(name, rows)

    def test_clamp_and_round(self):
        rows = random_rows(16, 40, 0.0, 10.0, signed=True) + [R.fresh(x) for x in (0.5, 1.5, -2.5, NAN)]
        t = from_rows(rows)
        assert_rows(limbs_of(t.clamp(-3.0, 4)), [R.clamp(r, -3.0, 4) for r in rows])
        assert_rows(limbs_of(t.clamp(max_val=1.0)), [R.clamp(r, None, 1.0) for r in rows])
        for d in (0, 1, 3, -1):
            assert_rows(limbs_of(t.round(d)), [R.round_decimals(r, d) for r in rows])

    def test_power(self):
        rows = random_rows(17, 8, 0.5, 3.0, signed=True) + CANCELLED
        t = from_rows(rows)
        for n in (0, 1, 2, 3, 7, 12, -1, -2, -5):
            assert_rows(limbs_of(t ** n), [R.pow_int(r, n) for r in rows])
        pos = from_rows(rows[:4])
        for e in (0.5, 2.0, -1.5):
            assert_rows(limbs_of(pos ** e), [R.pow_float(r, e) for r in rows[:4]])

    def test_power_beyond_64_bits(self):
        rows = [R.fresh(1.0), R.fresh(-1.0), R.fresh(1.0000001), R.fresh(0.5)]
        t = from_rows(rows)
        for n in (2 ** 64 + 3, -(2 ** 70) - 1, 2 ** 130):
            assert_rows(limbs_of(t ** n), [R.pow_int(r, n) for r in rows])
        assert (Tensor(-1.0) ** (2 ** 100 + 1)).item() == -1.0

    def test_division_operators(self):
        a_rows = random_rows(18, 6, 0.1, 50.0, signed=True)
        b_rows = random_rows(19, 6, 0.1, 9.0, signed=True)
        a, b = from_rows(a_rows), from_rows(b_rows)
        assert_rows(limbs_of(a / b), [R.div(x, y) for x, y in zip(a_rows, b_rows)])
        assert_rows(limbs_of(a // b), [R.floordiv(x, y) for x, y in zip(a_rows, b_rows)])
        assert_rows(limbs_of(a % b), [R.mod(x, y) for x, y in zip(a_rows, b_rows)])
        for c in (3, 0.7, -2.5):
            assert_rows(limbs_of(a / c), [R.div_scalar(x, c) for x in a_rows])
            assert_rows(limbs_of(a // c), [R.floordiv_scalar(x, c) for x in a_rows])
            # t % c divides by a fresh element, not by the scalar reciprocal.
            assert_rows(limbs_of(a % c), [R.mod(x, R.fresh(c)) for x in a_rows])
            assert_rows(limbs_of(c / a), [R.div(R.fresh(c), x) for x in a_rows])
            assert_rows(limbs_of(c // a), [R.floordiv(R.fresh(c), x) for x in a_rows])
            assert_rows(limbs_of(c % a), [R.mod(R.fresh(c), x) for x in a_rows])

    def test_division_broadcasts(self):
        a_rows = random_rows(20, 6, 1.0, 5.0)
        b_rows = random_rows(21, 3, 1.0, 5.0)
        a = from_rows(a_rows, (2, 3))
        for b, pick in ((from_rows(b_rows, (3,)), lambda i: b_rows[i % 3]),
                        (from_rows(b_rows[:2], (2, 1)), lambda i: b_rows[i // 3]),
                        (from_rows(b_rows[:1], ()), lambda i: b_rows[0])):
            for op, ref in ((lambda x, y: x / y, R.div), (lambda x, y: x % y, R.mod),
                            (lambda x, y: x // y, R.floordiv)):
                r = op(a, b)
                assert r.shape == (2, 3)
                assert_rows(limbs_of(r), [ref(a_rows[i], pick(i)) for i in range(6)])
        r = from_rows(b_rows, (3,)) / a
        assert r.shape == (2, 3)
        assert_rows(limbs_of(r), [R.div(b_rows[i % 3], a_rows[i]) for i in range(6)])
        with pytest.raises(ValueError, match=r"Cannot broadcast \(2, 3\) with \(2,\)"):
            a / from_rows(b_rows[:2], (2,))

    def test_large_tensor_is_split_across_threads_identically(self):
        # Enough rows for several parallel chunks: every row must still equal
        # the one-element computation.
        xs = [0.25 + i * 1e-3 for i in range(3000)]
        t = Tensor(xs)
        got = limbs_of(t.exp())
        for i in (0, 1, 777, 1500, 2999):
            assert same_bits(got[i], limbs_of(Tensor(xs[i]).exp())[0])


class TestReciprocalAndDivision:
    def test_zero_divisors(self):
        t = Tensor([1.0, -2.0])
        for z in (0, 0.0, -0.0):
            assert limbs_of(t._reciprocal_scalar(float(z))) == [[INF] + Z7]
            assert [r[0] for r in limbs_of(t / z)] == [INF, -INF]
        assert limbs_of(t._reciprocal_scalar(-1e-301)) == [[-INF] + Z7]
        assert [r[0] for r in limbs_of(t / -1e-301)] == [-INF, INF]
        assert limbs_of(Tensor([0.0, -0.0, 1e-301]).reciprocal()) == [[INF] + Z7] * 3

    def test_some_zero_elements(self):
        r = limbs_of(Tensor([0.0, 4.0, -1e-305]).reciprocal())
        assert r[0] == [INF] + Z7 and r[2] == [INF] + Z7
        assert r[1] == [0.25] + Z7

    def test_non_finite_divisors(self):
        r = limbs_of(Tensor([INF, -INF, NAN]).reciprocal())
        assert same_bits(r[0], [0.0] + Z7) and same_bits(r[1], [-0.0] + Z7)
        assert math.isnan(r[2][0]) and r[2][1:] == Z7

    def test_exact_and_short_quotients(self):
        t = Tensor([1.0, 3.0, -7.5])
        assert limbs_of(t / 2) == limbs_of(t * Tensor(0.5))
        q = limbs_of(Tensor(6.0) / 3.0)[0]
        assert q[0] == 2.0 and abs(q[1]) < 1e-30
        third = limbs_of(Tensor(1.0)._reciprocal_scalar(3.0))[0]
        assert third[0] == 1 / 3 and third[1] != 0.0
        with mpmath.workdps(60):
            assert digits(third, mpmath.mpf(1) / 3) > 31

    def test_reflected_division(self):
        t = Tensor([2.0, 3.0, 5.0])
        expected = limbs_of(Tensor(1.0) * t.reciprocal())
        assert limbs_of(1 / t) == expected and limbs_of(1.0 / t) == expected
        assert limbs_of([1.0, 1.0, 1.0] / t) == expected
        with pytest.raises(TypeError, match="Cannot create Tensor from"):
            "x" / t

    def test_unsupported_operands(self):
        t = Tensor([1.0])
        assert t.__truediv__("x") is NotImplemented
        with pytest.raises(TypeError):
            t / "x"
        with pytest.raises(TypeError):
            t._reciprocal_scalar("3")
        assert t._reciprocal_scalar(4).shape == ()

    def test_result_keeps_limb_array_layout(self):
        r = Tensor([[1.0, 2.0], [3.0, 4.0]]) / 3
        assert r.shape == (2, 2) and tuple(r._data.shape) == (4, 8)
        assert r._data.dtype == torch.float64


class TestPowerFloorModulo:
    def test_integer_powers(self):
        t = Tensor([1.5, -2.0, 0.0])
        assert limbs_of(t ** 0) == [[1.0] + Z7] * 3
        assert (Tensor([NAN, INF]) ** 0).tolist() == [1.0, 1.0]
        one = t ** 1
        assert one is not t and limbs_of(one) == limbs_of(t)
        assert limbs_of(t ** True) == limbs_of(t)
        assert limbs_of(t ** 2) == limbs_of(t * t)
        assert limbs_of(Tensor(3.0) ** 5) == [[243.0] + Z7]
        assert limbs_of(Tensor(2.0) ** 10) == [[1024.0] + Z7]
        assert limbs_of(Tensor(2.0) ** -2) == [[0.25] + Z7]
        assert limbs_of(Tensor(2.0) ** -2) == limbs_of(Tensor(1.0) / (Tensor(2.0) ** 2))

    def test_float_powers_go_through_log_and_exp(self):
        r = limbs_of(Tensor(2.0) ** 2.0)[0]
        assert r == R.pow_float(R.fresh(2.0), 2.0)
        assert abs(exact(r) - 4) < Fraction(1, 10 ** 20)
        assert math.isnan((Tensor(-2.0) ** 0.5).item())

    def test_unsupported_exponents(self):
        t = Tensor(2.0)
        assert t.__pow__(Tensor(2.0)) is NotImplemented
        for bad in (Tensor(2.0), "2", None):
            with pytest.raises(TypeError):
                t ** bad
        assert (2 ** t).item() == 4.0  # a number base is PyTorch's __rpow__ (tests/test_protocol.py)

    def test_floored_results_outside_the_divisors_range_are_exact(self):
        # The float64 floor of the quotient is wrong past 2^53 and just below
        # an integer: the remainder then left the divisor's range.
        rng = random.Random(5)
        cases = [(1e20, 501.0), (-0.25, -0.001), (-1e300, 3.0), (2.0 ** 60 + 3.0, -7.0)]
        cases += [(rng.uniform(-1, 1) * 10.0 ** rng.randint(15, 25), rng.choice([-1, 1]) * rng.uniform(1, 1000))
                  for _ in range(40)]
        for x, y in cases:
            fx, fy = Fraction(x), Fraction(y)
            q = fx // fy
            for r, want in ((Tensor(x) % Tensor(y), fx - q * fy), (Tensor(x) % y, fx - q * fy),
                            (Tensor(x) // Tensor(y), q), (Tensor(x) // y, q)):
                assert exact(limbs_of(r)[0]) == want, (x, y)

    def test_floor_division_and_modulo(self):
        assert (Tensor(7.0) // 2).item() == 3.0
        assert (Tensor(-7.0) // 2).item() == -4.0
        assert (Tensor(7.0) % 3).item() == 1.0
        assert (Tensor(-7.0) % 3).item() == 2.0
        assert (Tensor(7.0) % -3).item() == -2.0
        assert (7 // Tensor(2.0)).item() == 3.0
        assert (7 % Tensor(2.0)).item() == 1.0
        assert (Tensor(7.5) % Tensor(2.0)).item() == 1.5
        with pytest.raises(TypeError):
            Tensor(1.0) % "a"
        with pytest.raises(TypeError):
            Tensor(1.0) // "a"
        with pytest.raises(TypeError, match="Cannot create Tensor from"):
            object() % Tensor(1.0)
        with pytest.raises(TypeError, match="Cannot create Tensor from"):
            object() // Tensor(1.0)

    def test_docstrings(self):
        assert Tensor.__floordiv__.__doc__.strip().endswith("Floor division.")
        assert Tensor.__mod__.__doc__.strip().endswith("Modulo operation.")
        assert Tensor.reciprocal.__doc__.strip().endswith("Element-wise reciprocal using Newton-Raphson.")
        assert Tensor._reciprocal_scalar.__doc__.strip().endswith("Newton-Raphson reciprocal of scalar.")


class TestExpLogSqrt:
    def test_exp_values(self):
        assert limbs_of(Tensor(0.0).exp()) == [[1.0] + Z7]
        assert limbs_of(Tensor([INF, -INF, 710.0, -746.0]).exp()) == [[INF] + Z7, [0.0] + Z7,
                                                                     [INF] + Z7, [0.0] + Z7]
        assert math.isnan(Tensor(NAN).exp().item())
        # No float32 in the reduction: far beyond float32's range.
        assert Tensor(89.0).exp().item() == pytest.approx(math.exp(89.0), rel=1e-15)
        assert Tensor(-104.0).exp().item() == pytest.approx(math.exp(-104.0), rel=1e-15)
        assert Tensor(700.0).exp().item() == pytest.approx(math.exp(700.0), rel=1e-15)

    def test_exp_of_one_is_full_precision(self, mp80):
        e = limbs_of(Tensor(1.0).exp())[0]
        assert digits(e, mpmath.e) > 28
        assert f"{Tensor(1.0).exp().item():.10f}" == "2.7182818285"

    def test_log_values(self):
        assert limbs_of(Tensor(1.0).log()) == [[0.0] + Z7]
        assert limbs_of(Tensor([0.0, -0.0, INF]).log()) == [[-INF] + Z7, [-INF] + Z7, [INF] + Z7]
        assert all(math.isnan(v) for v in Tensor([-1.0, NAN]).log().tolist())

    def test_sqrt_values(self):
        assert limbs_of(Tensor(4.0).sqrt()) == [[2.0] + Z7]
        r = Tensor(2.0).sqrt()
        assert exact(limbs_of(r * r)[0][:2]) - 2 < Fraction(1, 10 ** 30)
        assert same_bits(limbs_of(Tensor([0.0, -0.0, INF]).sqrt())[0], [0.0] + Z7)
        assert limbs_of(Tensor(INF).sqrt()) == [[INF] + Z7]
        assert all(math.isnan(v) for v in Tensor([-4.0, NAN]).sqrt().tolist())

    def test_shape_is_kept(self):
        t = Tensor([[0.1, 0.2, 0.3], [1.0, 2.0, 3.0]])
        for name in ("exp", "log", "sqrt"):
            r = getattr(t, name)()
            assert r.shape == (2, 3)
            assert r.tolist()[1][2] == pytest.approx(getattr(math, name)(3.0), rel=1e-15)


class TestLogOutsideTheIterationRange:
    TINY = [5e-324, 1e-320, 2.2250738585072014e-308, 1e-305, 4e-301, 1e-295]
    HUGE = [1e295, 1e300, 8.98846567431158e307, 1e308, 1.7976931348623157e308]

    def test_the_plain_iteration_breaks_there(self):
        # What the scaling avoids: a NaN below about 5e-301, lost digits above 9e307.
        assert math.isnan(R.approx(R._log_halley(R.fresh(1e-305), 1e-305)))
        with mpmath.workdps(60):
            assert digits(R._log_halley(R.fresh(1e308), 1e308), mpmath.log(mpmath.mpf(1e308))) < 19

    def test_tiny_and_huge_arguments(self, mp80):
        rows = [R.fresh(x) for x in self.TINY + self.HUGE] + [random_row(random.Random(2), 3e-310)]
        got = limbs_of(from_rows(rows).log())
        assert_rows(got, [R.log(r) for r in rows])
        for r, g in zip(rows, got):
            assert digits(g, mpmath.log(mp_value(r))) > 22

    def test_ordinary_arguments_keep_the_plain_iteration(self):
        rows = [R.fresh(x) for x in (2.0 ** -960, 1e-200, 0.5, 3.0, 1e200, 2.0 ** 960)]
        assert_rows(limbs_of(from_rows(rows).log()), [R._log_halley(r, R.approx(r)) for r in rows])

    def test_cancelled_tiny_element(self):
        # Limbs that cancel to a tiny value: scaling the raw limbs would overflow.
        row = [5e-324, -1.0, 1.0] + [0.0] * 5
        g = limbs_of(from_rows([row]).log())[0]
        assert same_bits(g, R.log(row))
        assert g[0] == pytest.approx(math.log(5e-324), rel=1e-15)


class TestTrigonometricAndHyperbolic:
    def test_exact_values(self):
        assert limbs_of(Tensor(0.0).sin()) == [[0.0] + Z7]
        assert limbs_of(Tensor(0.0).cos()) == [[1.0] + Z7]
        assert limbs_of(Tensor(0.0).tanh()) == [[0.0] + Z7]
        assert limbs_of(Tensor(0.0).tan()) == [[0.0] + Z7]

    def test_symmetry(self):
        assert limbs_of(Tensor(-3.0).sin()) == [[-x for x in limbs_of(Tensor(3.0).sin())[0]]]

    def test_reduction_keeps_the_lower_bits_of_two_pi(self, mp80):
        # The multiple of 2*pi is removed in limb arithmetic, not in float64.
        a = limbs_of(Tensor(7.0).sin())[0]
        b = limbs_of(Tensor(7.0 - 6.283185307179586).sin())[0]
        assert a != b and a[0] == pytest.approx(b[0], abs=1e-15)
        assert digits(a, mpmath.sin(7), absolute=True) > 15
        assert digits(limbs_of(Tensor(100.0).cos())[0], mpmath.cos(100), absolute=True) > 15

    def test_non_finite(self):
        for name in ("sin", "cos", "tan"):
            assert all(math.isnan(v) for v in getattr(Tensor([INF, -INF, NAN]), name)().tolist())
        assert limbs_of(Tensor([INF, -INF]).tanh()) == [[1.0] + Z7, [-1.0] + Z7]

    def test_tanh_saturation(self):
        assert limbs_of(Tensor([-400.0, 355.0]).tanh()) == [[-1.0] + Z7, [1.0] + Z7]
        # Below the saturation bound e^2x is small but not zero.
        r = limbs_of(Tensor(-60.0).tanh())[0]
        assert r != [-1.0] + Z7
        assert R.approx(r) == -1.0

    def test_independent_elements(self):
        t = Tensor([0.5, 1.0, 2.0])
        r = t.sin()
        assert r.shape == (3,)
        assert limbs_of(r)[1] == limbs_of(Tensor(1.0).sin())[0]


class TestActivations:
    def test_values_at_zero(self):
        assert limbs_of(Tensor(0.0).sigmoid()) == [[0.5] + Z7]
        assert limbs_of(Tensor(0.0).silu()) == [[0.0] + Z7]
        assert limbs_of(Tensor(0.0).gelu()) == [[0.0] + Z7]

    def test_relu(self):
        assert Tensor([-1.0, 0.0, 2.0]).relu().tolist() == [0.0, 0.0, 2.0]
        row = [2.0, 1e-17, -3e-34] + [0.0] * 5
        neg = [-1e-20, 1e-40] + [0.0] * 6
        assert limbs_of(from_rows([row, neg, [NAN] + Z7]).relu()) == [row, [0.0] * 8, [0.0] * 8]
        assert same_bits(limbs_of(Tensor(-0.0).relu())[0], [-0.0] + Z7)

    def test_sigmoid_extremes(self):
        assert Tensor([-800.0, 800.0]).sigmoid().tolist() == [0.0, 1.0]


class TestSoftmax:
    def test_against_reference(self):
        rows = random_rows(30, 12, -5.0, 5.0) + [R.fresh(3.0)]  # 13 elements: odd tree levels
        t = from_rows(rows[:12], (3, 4))
        for dim in (0, 1, -1):
            r = t.softmax(dim=dim)
            assert r.shape == (3, 4)
            slices = ([[rows[i * 4 + j] for j in range(4)] for i in range(3)] if dim != 0
                      else [[rows[i * 4 + j] for i in range(3)] for j in range(4)])
            out = [R.softmax_slice(s) for s in slices]
            expected = ([out[i][j] for i in range(3) for j in range(4)] if dim != 0
                        else [out[j][i] for i in range(3) for j in range(4)])
            assert_rows(limbs_of(r), expected)
        odd = from_rows(rows)
        assert_rows(limbs_of(odd.softmax()), R.softmax_slice(rows))
        assert_rows(limbs_of(odd.log_softmax()), R.log_softmax_slice(rows))

    def test_minus_infinity_takes_no_share(self):
        # The exponentials ran in place, and their special-value path read the
        # -inf difference back after it had been overwritten.
        inf = math.inf
        for rows in ([[0.0, 0.0, -inf], [0.0, 0.0, 3.0], [0.0, 0.0, 3.0]],
                     [[1.5, -0.25, -inf], [0.5, -1.0, -1.5], [0.25, -inf, -inf]],
                     [[-inf, 1.0, 2.0, 3.0, -inf], [0.5, -inf, 1.0, -inf, 2.0]]):
            t, want = Tensor(rows), torch.tensor(rows, dtype=torch.float64)
            for dim in (0, 1):
                got = torch.tensor(t.softmax(dim=dim).tolist(), dtype=torch.float64).reshape(want.shape)
                assert torch.allclose(got, want.softmax(dim), rtol=1e-15, atol=0), (rows, dim)
                logs = torch.tensor(t.log_softmax(dim=dim).tolist(), dtype=torch.float64).reshape(want.shape)
                assert torch.allclose(logs, want.log_softmax(dim), rtol=1e-14, atol=0), (rows, dim)

    def test_uniform(self):
        r = limbs_of(Tensor([1.0, 1.0, 1.0]).softmax())
        assert all(abs(exact(x) - Fraction(1, 3)) < Fraction(1, 10 ** 30) for x in r)
        assert abs(sum(exact(x) for x in r) - 1) < Fraction(1, 10 ** 30)
        assert r[0][0] == 1 / 3

    def test_normalises_along_the_dim(self):
        t = Tensor([[1.0, 2.0, 3.0], [0.0, -1.0, 5.0]])
        cols = t.softmax(dim=0).tolist()
        rows_ = t.softmax(dim=-1).tolist()
        for j in range(3):
            assert cols[0][j] + cols[1][j] == pytest.approx(1.0, abs=1e-15)
        for i in range(2):
            assert sum(rows_[i]) == pytest.approx(1.0, abs=1e-15)
        ref = torch.softmax(torch.tensor([[1.0, 2.0, 3.0], [0.0, -1.0, 5.0]], dtype=torch.float64), 0)
        assert sum(cols, []) == pytest.approx(ref.flatten().tolist(), rel=1e-14)

    def test_log_softmax_is_log_of_softmax(self):
        t = Tensor([[0.5, -2.0], [3.0, 1.0]])
        assert limbs_of(t.log_softmax(0)) == limbs_of(t.softmax(0).log())
        assert limbs_of(t.log_softmax()) == limbs_of(t.softmax().log())

    def test_large_inputs_do_not_overflow(self):
        r = Tensor([1000.0, 1000.0, -1000.0]).softmax().tolist()
        assert r == [0.5, 0.5, 0.0]

    def test_ties_and_nan_pick_the_first_maximum(self):
        # Two maxima that differ below float64 resolution: the first is subtracted.
        rows = [[1.0, 1e-20] + [0.0] * 6, [1.0, 2e-20] + [0.0] * 6]
        assert_rows(limbs_of(from_rows(rows).softmax()), R.softmax_slice(rows))
        assert all(math.isnan(v) for v in Tensor([1.0, NAN]).softmax().tolist())

    def test_dim_argument(self):
        t = Tensor([[1.0, 2.0], [3.0, 4.0]])
        assert limbs_of(t.softmax(dim=1.0)) == limbs_of(t.softmax(dim=1))
        with pytest.raises(TypeError, match=r"Argument 'dim' has incorrect type \(expected int, got str\)"):
            t.softmax(dim="1")
        for bad in (2, -3):
            with pytest.raises(IndexError, match="out of range"):
                t.softmax(bad)
        with pytest.raises(IndexError):
            Tensor(1.0).softmax()
        assert Tensor([]).softmax().shape == (0,)
        assert Tensor([[5.0]]).softmax(0).tolist() == [[1.0]]


class TestAbsClampRound:
    def test_abs(self):
        assert Tensor([-2.0, 0.0, 3.0]).abs().tolist() == [2.0, 0.0, 3.0]
        assert limbs_of(from_rows([[-1.0, 1e-20] + [0.0] * 6]).abs()) == [[1.0, -1e-20] + [0.0] * 6]
        zero_sum = [1.0, -1.0] + [0.0] * 6
        assert limbs_of(from_rows([zero_sum]).abs()) == [zero_sum]
        assert all(math.isnan(x) for x in limbs_of(Tensor(NAN).abs())[0])

    def test_clamp(self):
        assert Tensor([-1.0, 0.5]).clamp(min_val=0.0).tolist() == [0.0, 0.5]
        row = [1.0, 1e-20] + [0.0] * 6
        assert limbs_of(from_rows([row]).clamp()) == [[1.0] + Z7]
        assert Tensor([-5.0, 0.5, 5.0]).clamp(min_val=1.0, max_val=0.0).tolist() == [0.0, 0.0, 0.0]
        assert Tensor([-5.0, 5.0]).clamp(None, 1).tolist() == [-5.0, 1.0]
        assert Tensor([-5.0, 5.0]).clamp(True).tolist() == [1.0, 5.0]
        assert math.isnan(Tensor(NAN).clamp(0.0, 1.0).item())

    def test_clamp_rejects_non_numbers(self):
        for bad in ("1", [1.0], object()):
            with pytest.raises(TypeError, match="clamp"):
                Tensor(1.0).clamp(bad)
        with pytest.raises(TypeError, match="max_val"):
            Tensor(1.0).clamp(0.0, "2")

    def test_round(self):
        assert Tensor([0.5, 1.5, 2.5]).round().tolist() == [0.0, 2.0, 2.0]
        assert Tensor(3.14159).round(decimals=2).item() == 3.14
        assert Tensor(123.0).round(decimals=-1).item() == 120.0
        assert Tensor(3.14159).round(2.9).item() == 3.14
        with pytest.raises(TypeError, match=r"Argument 'decimals' has incorrect type \(expected int, got str\)"):
            Tensor(1.0).round("2")
        with pytest.raises(OverflowError):
            Tensor(1.0).round(400)
        with pytest.raises(OverflowError):
            Tensor(1.0).round(10 ** 30)
        # 10.0 ** -400 is 0.0 in Python: round(x * 0) / 0.
        assert math.isnan(Tensor(1.0).round(-400).item())

    def test_floor_ceil(self):
        assert Tensor([-1.5, 1.5]).floor().tolist() == [-2.0, 1.0]
        assert Tensor([-1.5, 1.5]).ceil().tolist() == [-1.0, 2.0]
        assert limbs_of(from_rows([[3.0, -1e-30] + [0.0] * 6]).floor()) == [[3.0] + Z7]
        assert limbs_of(from_rows([[3.0, -1e-10] + [0.0] * 6]).floor()) == [[2.0] + Z7]


class TestCancelledSum:
    """s = 1e16 + 1 - 1e16 has limbs [0, 1, 0, ...]: its value is 1."""

    def test_functions_see_the_value_one(self, mp80):
        s = cancelled_one()
        assert limbs_of(s.sqrt()) == [[1.0] + Z7]
        assert limbs_of(s.log()) == [[0.0] + Z7]
        assert limbs_of(s.reciprocal()) == [[1.0] + Z7]
        assert limbs_of(1 / s) == [[1.0] + Z7]
        e = limbs_of(s.exp())[0]
        assert digits(e, mpmath.e) > 28


class TestPrecision:
    """Correct digits against mpmath on elements with all limbs in use."""

    CASES = {
        # name: (mpmath function, argument range, log-uniform, signed, digits reached, absolute error)
        "reciprocal": (lambda v: 1 / v, (-80.0, 80.0), True, True, 31, False),
        "sqrt": (mpmath.sqrt, (-80.0, 80.0), True, False, 31, False),
        "exp": (mpmath.exp, (-3.0, 5.0), False, True, 21, False),
        "log": (mpmath.log, (-80.0, 80.0), True, False, 20, False),
        "tanh": (mpmath.tanh, (0.01, 3.0), False, True, 21, False),
        "sin": (mpmath.sin, (-3.0, 3.0), False, False, 15, True),
        "cos": (mpmath.cos, (-3.0, 3.0), False, False, 15, True),
    }

    @pytest.mark.parametrize("name", list(CASES))
    def test_digits(self, name, mp80):
        fn, (lo, hi), logscale, signed, want, absolute = self.CASES[name]
        rows = random_rows(40, 12, lo, hi, signed=signed, logscale=logscale)
        got = limbs_of(getattr(from_rows(rows), name)())
        worst = min(digits(g, fn(mp_value(r)), absolute) for r, g in zip(rows, got))
        assert worst > want


class TestModuleFunctions:
    NAMES = ["exp", "log", "sqrt", "abs", "sin", "cos", "tan", "tanh", "sigmoid", "floor", "ceil",
             "relu", "gelu", "silu"]

    @pytest.mark.parametrize("name", NAMES)
    def test_forwarding(self, name):
        t = Tensor([0.5, 2.0])
        fn = getattr(zel, name)
        assert limbs_of(fn(t)) == limbs_of(getattr(t, name)())
        assert limbs_of(fn(input=t)) == limbs_of(fn(t))
        with pytest.raises(AttributeError):
            fn(4.0)
        with pytest.raises(TypeError):
            fn()
        with pytest.raises(TypeError):
            fn(t, t)
        assert fn.__doc__.strip().endswith(getattr(Tensor, name).__doc__.strip().splitlines()[-1])

    def test_round(self):
        t = Tensor(3.14159)
        assert zel.round(t, 2.7).item() == 3.14
        assert zel.round(t).item() == 3.0
        assert zel.round(t, decimals=1).item() == 3.1
        with pytest.raises(TypeError, match=r"Argument 'decimals' has incorrect type \(expected int, got str\)"):
            zel.round(t, "2")

    def test_clamp(self):
        t = Tensor([-2.0, 2.0])
        assert zel.clamp(t, None, 1.0).tolist() == [-2.0, 1.0]
        assert zel.clamp(t, min_val=0.0).tolist() == [0.0, 2.0]

    def test_softmax(self):
        t = Tensor([[1.0, 2.0], [3.0, 5.0]])
        assert limbs_of(zel.softmax(t)) == limbs_of(t.softmax(-1))
        assert limbs_of(zel.softmax(t, 0)) == limbs_of(zel.softmax(t, dim=0)) == limbs_of(t.softmax(0))
        assert limbs_of(zel.log_softmax(t, 0.0)) == limbs_of(t.log_softmax(0))
        with pytest.raises(TypeError, match=r"Argument 'dim' has incorrect type \(expected int, got NoneType\)"):
            zel.softmax(t, None)

    def test_exported(self):
        for name in self.NAMES + ["round", "clamp", "softmax", "log_softmax", "where", "isnan", "isinf",
                                  "isfinite"]:
            assert name in zel.__all__


@pytest.mark.skipif(not torch.cuda.is_available(), reason="needs CUDA")
class TestOnCuda:
    def test_results_stay_on_the_device_and_match_the_cpu(self):
        rows = random_rows(50, 6, 0.5, 4.0, signed=True)
        cpu = from_rows(rows)
        gpu = cpu.cuda()
        for name in ("exp", "log", "sqrt", "sin", "tanh", "reciprocal", "abs", "round"):
            r = getattr(gpu, name)()
            assert r.device.type == "cuda"
            assert_rows(limbs_of(r), limbs_of(getattr(cpu, name)()))
        assert (gpu / 3).device.type == "cuda" and limbs_of(gpu / 3) == limbs_of(cpu / 3)
        assert limbs_of(1.0 / gpu) == limbs_of(1.0 / cpu) and (1.0 / gpu).device.type == "cuda"
        assert limbs_of(gpu % 2.0) == limbs_of(cpu % 2.0)
        assert limbs_of(gpu ** 3) == limbs_of(cpu ** 3)
        assert limbs_of(gpu.softmax()) == limbs_of(cpu.softmax())
        assert gpu._reciprocal_scalar(3.0).device.type == "cuda"


class TestCorruptedTensors:
    """A replaced _data or _shape is checked before any kernel reads it."""

    @staticmethod
    def broken():
        bad_cols = Tensor([1.0, 2.0])
        bad_cols._data = torch.zeros(2, 7, dtype=torch.float64)
        bad_dtype = Tensor([1.0, 2.0])
        bad_dtype._data = torch.zeros(2, 8, dtype=torch.float32)
        bad_rows = Tensor([1.0, 2.0])
        bad_rows._shape = (3,)
        return [(bad_cols, ValueError), (bad_dtype, TypeError), (bad_rows, ValueError)]

    @pytest.mark.parametrize("call", [
        lambda t: t.exp(), lambda t: t.log_softmax(), lambda t: t.reciprocal(), lambda t: t / 2,
        lambda t: Tensor([1.0, 2.0]) / t, lambda t: t % 3, lambda t: t ** 3, lambda t: t ** 0.5,
        lambda t: t.clamp(0.0), lambda t: t.round(2), lambda t: t < 1, lambda t: Tensor(1.0) == t,
        lambda t: t.isfinite(), lambda t: zel.where(torch.tensor([True, False]), t, 0.0),
        lambda t: t._reciprocal_scalar(2.0),
    ])
    def test_raises(self, call):
        for t, err in self.broken():
            with pytest.raises(err, match="limb array|Cannot broadcast"):
                call(t)


class TestExactExtrema:
    """maximum/minimum: rows of the operations table with two operands,
    deciding on the exact value of the limbs (not approx)."""

    def test_limb_seven_decides_and_the_whole_element_is_kept(self):
        lo = [1.0] + [0.0] * 7
        hi = [1.0] + [0.0] * 6 + [2.0 ** -400]
        a, b = from_rows([lo, hi]), from_rows([hi, lo])
        assert_rows(limbs_of(zel.maximum(a, b)), [hi, hi])
        assert_rows(limbs_of(a.minimum(b)), [lo, lo])

    def test_against_torch_with_broadcasting_nan_and_numbers(self):
        xs = [[-1.5, 2.0, NAN], [0.0, -0.0, INF]]
        ys = [3.0, -INF, 0.5]
        a, b = zel.tensor(xs), zel.tensor(ys)
        ta, tb = torch.tensor(xs, dtype=torch.float64), torch.tensor(ys, dtype=torch.float64)
        for name in ("maximum", "minimum"):
            got = torch.tensor(getattr(zel, name)(a, b).tolist(), dtype=torch.float64)
            want = getattr(torch, name)(ta, tb)
            assert torch.equal(torch.isnan(got), torch.isnan(want))
            assert torch.equal(torch.nan_to_num(got), torch.nan_to_num(want))
            number = torch.tensor(getattr(a, name)(0.25).tolist(), dtype=torch.float64)
            want = getattr(torch, name)(ta, torch.tensor(0.25, dtype=torch.float64))
            assert torch.equal(torch.nan_to_num(number), torch.nan_to_num(want))

    def test_errors(self):
        with pytest.raises(TypeError, match=r"maximum\(\): argument 'other' must be Tensor or a number, not str"):
            zel.tensor([1.0]).maximum("a")
        with pytest.raises(ValueError, match=r"Cannot broadcast \(2,\) with \(3,\)"):
            zel.maximum(zel.zeros(2), zel.zeros(3))


def test_every_table_function_is_a_method_and_module_function_with_its_doc():
    # The module function forwards to the method; both carry the table's docstring.
    names = ["exp", "log", "sqrt", "sin", "cos", "tan", "tanh", "sigmoid", "silu", "gelu", "relu", "abs",
             "floor", "ceil", "maximum", "minimum"]
    for name in names:
        doc = getattr(Tensor, name).__doc__.splitlines()[-1]
        assert getattr(zel, name).__doc__.splitlines()[-1] == doc
    # The module function forwards to the method (not a table module function).
    assert zel.reciprocal(zel.tensor([4.0]))._data.tolist() == zel.tensor([4.0]).reciprocal()._data.tolist()
    assert Tensor.reciprocal.__doc__.strip().endswith("Element-wise reciprocal using Newton-Raphson.")
