import math
import random
from fractions import Fraction

import pytest
import torch
from hypothesis import given, settings, strategies as st

from varnel.zel import zel
from conftest import bits, from_rows, limbs_of, same_bits

Tensor = zel.Tensor
Z7 = [0.0] * 7


def exact(row):
    return sum(Fraction(x) for x in row)


class TestErrorFreeTransforms:
    def test_two_sum_values(self):
        assert Tensor._two_sum(1e16, 1.0) == (1e16, 1.0)
        assert Tensor._two_sum(1.0, 1e-16) == (1.0, 1e-16)
        s, e = Tensor._two_sum(0.1, 0.2)
        assert (s, e) == (0.30000000000000004, -2.7755575615628914e-17)
        assert Fraction(s) + Fraction(e) == Fraction(0.1) + Fraction(0.2)
        s, e = Tensor._two_sum(float("inf"), 1.0)
        assert s == math.inf and math.isnan(e)

    def test_two_product_values(self):
        assert Tensor._two_product(0.1, 0.1) == (0.010000000000000002, -8.326672684688674e-19)
        assert Tensor._two_product(2.0, 3.0) == (6.0, 0.0)

    def test_exact_on_random_bit_patterns(self):
        rng = random.Random(1)
        for _ in range(2000):
            a = rng.uniform(-1, 1) * 2.0 ** rng.randint(-400, 400)
            b = rng.uniform(-1, 1) * 2.0 ** rng.randint(-400, 400)
            s, e = Tensor._two_sum(a, b)
            assert Fraction(s) + Fraction(e) == Fraction(a) + Fraction(b)
            p, e = Tensor._two_product(a, b)
            assert Fraction(p) + Fraction(e) == Fraction(a) * Fraction(b)

    def test_two_product_near_overflow_stays_exact(self):
        # Without rescaling the split of such operands overflows and e is NaN.
        for a, b in ((1.5e300, 0.7), (1.7e308, 1e-10), (-3.3e305, 1e-3)):
            p, e = Tensor._two_product(a, b)
            assert math.isfinite(e)
            assert Fraction(p) + Fraction(e) == Fraction(a) * Fraction(b)

    def test_on_torch_tensors_match_floats(self):
        a = torch.tensor([0.1, 1e16, 3.0], dtype=torch.float64)
        b = torch.tensor([0.2, 1.0, 1e-300], dtype=torch.float64)
        s, e = Tensor._two_sum(a, b)
        p, f = Tensor._two_product(a, b)
        for i in range(3):
            assert (s[i].item(), e[i].item()) == Tensor._two_sum(a[i].item(), b[i].item())
            assert (p[i].item(), f[i].item()) == Tensor._two_product(a[i].item(), b[i].item())


class TestBroadcast:
    def test_shapes(self):
        assert Tensor._broadcast_shape((), ()) == ()
        assert Tensor._broadcast_shape((3,), (1, 3)) == (1, 3)
        assert Tensor._broadcast_shape((2, 1), (1, 2)) == (2, 2)
        with pytest.raises(ValueError) as info:
            Tensor._broadcast_shape((2, 3), (3, 2))
        assert str(info.value) == "Cannot broadcast (2, 3) with (3, 2)"
        with pytest.raises(TypeError):
            Tensor._broadcast_shape([2], (2,))

    def test_limb_arrays(self):
        a, b = Tensor._broadcast(Tensor(1.0)._data, Tensor([[1, 2, 3], [4, 5, 6]])._data)
        assert tuple(a.shape) == (6, 8) and tuple(b.shape) == (6, 8)
        with pytest.raises(ValueError) as info:
            Tensor._broadcast(torch.zeros(6, 8), torch.zeros(3, 8))
        assert str(info.value) == "Cannot broadcast shapes torch.Size([6, 8]) and torch.Size([3, 8])"

    def test_operators_broadcast_like_pytorch(self):
        rng = random.Random(5)
        cases = [((2, 1), (1, 2)), ((2, 3), (3,)), ((4, 1, 3), (2, 1)), ((), (2, 3)), ((0,), ()),
                 ((1,), (2, 3)), ((3, 1, 1), (1, 4, 2))]
        for sa, sb in cases:
            na, nb = math.prod(sa), math.prod(sb)
            va = [rng.uniform(-5, 5) for _ in range(na)]
            vb = [rng.uniform(-5, 5) for _ in range(nb)]
            ta, tb = torch.tensor(va, dtype=torch.float64).reshape(sa), torch.tensor(vb, dtype=torch.float64).reshape(sb)
            za, zb = Tensor(ta), Tensor(tb)
            for op in (lambda x, y: x + y, lambda x, y: x - y, lambda x, y: x * y):
                r = op(za, zb)
                ref = op(ta, tb)
                assert r.shape == tuple(ref.shape)
                # limb 0 of a fresh-operand sum/product is the float64 result
                assert r._data[:, 0].tolist() == ref.reshape(-1).tolist()
        with pytest.raises(ValueError, match="Cannot broadcast \\(2, 3\\) with \\(3, 2\\)"):
            Tensor([[1, 2, 3], [4, 5, 6]]) + Tensor([[1, 2], [3, 4], [5, 6]])


class TestAddSub:
    def test_cancellation(self):
        t = Tensor(1e16) + Tensor(1.0)
        assert limbs_of(t) == [[1e16, 1.0] + [0.0] * 6]
        u = t + Tensor(-1e16)
        assert limbs_of(u) == [[0.0, 1.0] + [0.0] * 6] and u.item() == 1.0
        assert limbs_of(Tensor(0.1) + Tensor(0.2))[0][:2] == [0.30000000000000004, -2.7755575615628914e-17]

    def test_self_difference_is_zero(self):
        t = from_rows([[1.5, 1e-17, -3e-34, 1e-50, 0, 0, 0, 0], [-7.25, 2e-16, 0, 0, 0, 0, 0, 1e-120]])
        assert not (t - t)._data.any()

    def test_scalars_and_reflection(self):
        t = Tensor([1.5, -2.0])
        assert limbs_of(2 + t) == limbs_of(t + 2) == limbs_of(t + 2.0)
        assert limbs_of(t + True) == limbs_of(t + 1)
        assert limbs_of(5 - t) == limbs_of(Tensor(5) - t)
        assert (t - 5).tolist() == (t + Tensor(-5)).tolist()
        assert ([1.0, 1.0] - t).tolist() == [-0.5, 3.0]
        with pytest.raises(TypeError, match="Cannot create Tensor from"):
            "a" - t
        with pytest.raises(TypeError):
            t - "a"
        with pytest.raises(TypeError):
            t + None

    def test_negation(self):
        t = from_rows([[1.0, -1e-20, 0, 0, 0, 0, 0, 3e-60]])
        assert limbs_of(-(-t)) == limbs_of(t)
        assert limbs_of(-t) == [[-x for x in limbs_of(t)[0]]]
        p = +t
        assert p is not t and limbs_of(p) == limbs_of(t)

    def test_sum_of_two_fresh_values_is_exact(self):
        rng = random.Random(7)
        for _ in range(500):
            a = rng.uniform(-1, 1) * 2.0 ** rng.randint(-60, 60)
            b = rng.uniform(-1, 1) * 2.0 ** rng.randint(-60, 60)
            r = (Tensor(a) + Tensor(b))._data[0].tolist()
            assert exact(r) == Fraction(a) + Fraction(b)
            assert r[2:] == [0.0] * 6


class TestMultiplication:
    def test_values(self):
        assert limbs_of(Tensor(0.1) * Tensor(0.1)) == [[0.010000000000000002, -8.326672684688674e-19] + [0.0] * 6]
        assert limbs_of(Tensor(0.1) * 0.1) == limbs_of(Tensor(0.1) * Tensor(0.1))
        assert limbs_of(Tensor(3) * 2) == limbs_of(2 * Tensor(3)) == limbs_of(Tensor(3) * 2.0) == [[6.0] + [0.0] * 7]

    def test_scalar_keeps_all_limbs_tensor_keeps_three(self):
        row = [1.0, 2.0 ** -53, 2.0 ** -106, 2.0 ** -159, 2.0 ** -212, 2.0 ** -265, 2.0 ** -318, 2.0 ** -371]
        t = from_rows([row])
        assert limbs_of(t * 2.0) == [[2 * x for x in row]]
        assert limbs_of(t * Tensor(2.0)) == [[2 * x for x in row[:3]] + [0.0] * 5]

    def test_shapes_and_errors(self):
        r = Tensor([1.0, 2.0]) * Tensor(3.0)
        assert r.shape == (2,) and r._data[:, 0].tolist() == [3.0, 6.0]
        with pytest.raises(ValueError):
            Tensor([1.0, 2.0]) * Tensor([1.0, 2.0, 3.0])
        for bad in ("a", None, [1.0]):
            with pytest.raises(TypeError):
                Tensor(1.0) * bad

    def test_infinity(self):
        t = Tensor(float("inf")) * 2
        assert t._data[0, 0].item() == math.inf and t.item() == math.inf

    def test_product_of_fresh_values_is_exact(self):
        rng = random.Random(3)
        for _ in range(500):
            a = rng.uniform(-1, 1) * 2.0 ** rng.randint(-200, 200)
            b = rng.uniform(-1, 1) * 2.0 ** rng.randint(-200, 200)
            assert exact(limbs_of(Tensor(a) * Tensor(b))[0]) == Fraction(a) * Fraction(b)

    def test_cancelled_leading_limb_is_renormalised(self):
        # The sum of [1e16, 1, -1e16] has limbs [0, 1, 0, ...]; its products
        # must still see the value 1.
        s = Tensor(1e16) + Tensor(1.0) + Tensor(-1e16)
        assert limbs_of(s)[0][:2] == [0.0, 1.0]
        assert (s * Tensor(3.0)).item() == 3.0
        assert (Tensor(3.0) * s).item() == 3.0
        two_minus_one = from_rows([[2.0, -1.0] + [0.0] * 6])
        assert exact(limbs_of(two_minus_one * Tensor(0.1))[0]) == Fraction(0.1)

    def test_ordinary_rows_keep_their_bits(self):
        # A dominant leading limb is used as it is.
        a = from_rows([[1.0, 2.0 ** -60, 2.0 ** -120] + [0.0] * 5])
        b = from_rows([[3.0, -2.0 ** -58, 2.0 ** -110] + [0.0] * 5])
        r = limbs_of(a * b)[0]
        p, e = Tensor._two_product(1.0, 3.0)
        assert same_bits(r[:3], [p, (e + 1.0 * -2.0 ** -58) + 2.0 ** -60 * 3.0,
                                 (2.0 ** -60 * -2.0 ** -58 + 1.0 * 2.0 ** -110) + 2.0 ** -120 * 3.0])


finite = st.floats(allow_nan=False, allow_infinity=False, min_value=-1e300, max_value=1e300)
# Products stay clear of underflow, where no float64 error term exists.
product_operand = st.one_of(st.just(0.0), st.floats(min_value=1e-140, max_value=1e140),
                            st.floats(min_value=-1e140, max_value=-1e-140))


class TestExactnessProperties:
    """For any two float64 values the limbs of a sum, difference or product
    of fresh tensors add up to the exact rational result."""

    @settings(max_examples=400, deadline=None)
    @given(finite, finite)
    def test_sum_and_difference(self, a, b):
        assert exact(limbs_of(Tensor(a) + Tensor(b))[0]) == Fraction(a) + Fraction(b)
        assert exact(limbs_of(Tensor(a) - Tensor(b))[0]) == Fraction(a) - Fraction(b)

    @settings(max_examples=400, deadline=None)
    @given(product_operand, product_operand)
    def test_product(self, a, b):
        assert exact(limbs_of(Tensor(a) * Tensor(b))[0]) == Fraction(a) * Fraction(b)
        assert exact(limbs_of(Tensor(a) * b)[0]) == Fraction(a) * Fraction(b)


class TestDigestStability:
    def test_digest_survives_moves_and_round_trips(self):
        import pickle

        t = from_rows(random_rows_fixed(), (2, 3))
        d = t.sha256()
        assert t.to("cpu").sha256() == d
        assert zel.from_limbs(t.numpy_limbs().copy()).sha256() == d
        assert zel.from_limbs(t.torch_limbs().clone()).sha256() == d
        assert pickle.loads(pickle.dumps(t)).sha256() == d
        assert t.contiguous().sha256() == d


def random_rows_fixed():
    rng = random.Random(17)
    return [[rng.uniform(-1, 1) * 2.0 ** (-53 * k) for k in range(8)] for _ in range(6)]


def test_non_contiguous_limb_arrays_work():
    base = torch.arange(48, dtype=torch.float64).reshape(8, 6)
    t = zel.from_limbs(base.t())  # (6, 8) view with strides (1, 6)
    assert not t._data.is_contiguous()
    assert (t + 0.0).tolist() == zel.from_limbs(base.t().contiguous()).tolist()
    assert t.sum().sha256() == zel.from_limbs(base.t().contiguous()).sum().sha256()


def flat(t):
    return [bits(x) for row in limbs_of(t) for x in row]


class TestTensorArguments:
    """max/min with a tensor are the element-wise maximum/minimum, as in
    PyTorch (they read the tensor as a dimension)."""

    def test_max_and_min_of_two_tensors(self):
        a, b = zel.tensor([1.0, 5.0]), zel.tensor(-1.0)
        assert zel.max(a, b).tolist() == [1.0, 5.0] and zel.min(a, b).tolist() == [-1.0, -1.0]
        c = zel.tensor([3.0, -2.0])
        assert flat(a.max(c)) == flat(zel.maximum(a, c))
        assert flat(a.min(c)) == flat(zel.minimum(a, c))
        assert a.max().item() == 5.0 and zel.tensor([[1.0, 2.0], [3.0, 0.0]]).max(1).tolist() == [2.0, 3.0]
