"""PyTorch's calling conventions on this library's tensors: the functional
names of the operators, bool and tensor arguments where a dim was read, the
named and extreme norm orders, and the arguments that mean nothing for limbs.
"""
import math
from fractions import Fraction

import pytest
import torch

from conftest import limbs_of
from varnel.zel import zel

A = [[7.0, -7.0, 2.5], [0.5, -3.25, 9.0]]
B = [[2.0, 2.0, -0.5], [0.25, 1.5, -4.0]]


def pair():
    return zel.tensor(A), zel.tensor(B), torch.tensor(A, dtype=torch.float64), torch.tensor(B, dtype=torch.float64)


def values(t):
    return torch.tensor(t.tolist(), dtype=torch.float64) if isinstance(t, zel.Tensor) else t


class TestOperatorNames:
    def test_arithmetic_names_are_the_operators(self):
        a, b, _, _ = pair()
        for got, want in ((zel.add(a, b), a + b), (a.add(b), a + b), (zel.sub(a, 2.0), a - 2.0),
                          (zel.mul(a, b), a * b), (a.multiply(b), a * b), (zel.div(a, b), a / b),
                          (a.true_divide(b), a / b), (zel.floor_divide(a, b), a // b),
                          (zel.add(a, b, alpha=3), a + b * 3), (a.subtract(b, alpha=0.5), a - b * 0.5),
                          (zel.rsub(a, b), b - a), (zel.rsub(a, 1.0, alpha=2), 1.0 - a * 2)):
            assert limbs_of(got) == limbs_of(want)

    def test_rounding_modes_are_exact(self):
        a, b, ta, tb = pair()
        assert values(zel.div(a, b, rounding_mode="floor")).equal(torch.div(ta, tb, rounding_mode="floor"))
        assert values(a.div(b, rounding_mode="trunc")).equal(torch.div(ta, tb, rounding_mode="trunc"))
        # past 2^53 the float64 quotient is not the integer part
        q = zel.div(zel.tensor(-1e20), zel.tensor(7.0), rounding_mode="trunc")
        assert sum(Fraction(v) for v in limbs_of(q)[0]) == -(10 ** 20 // 7)
        with pytest.raises(RuntimeError, match="rounding_mode"):
            zel.div(a, b, rounding_mode="round")

    def test_comparisons_and_logical_functions_as_pytorch(self):
        a, b, ta, tb = pair()
        for name in ("eq", "ne", "lt", "le", "gt", "ge", "greater", "less_equal", "not_equal"):
            got = getattr(zel, name)(a, b)
            assert got.equal(getattr(torch, name)(ta, tb).reshape(got.shape)), name
            assert getattr(a, name)(1.5).equal(getattr(torch, name)(ta, 1.5).reshape(got.shape)), name
        z = a * zel.tensor([[0.0, 1.0, 1.0], [1.0, 0.0, 1.0]])
        tz = ta * torch.tensor([[0.0, 1.0, 1.0], [1.0, 0.0, 1.0]], dtype=torch.float64)
        for name in ("logical_and", "logical_or", "logical_xor"):
            assert getattr(zel, name)(z, b).reshape(2, 3).equal(getattr(torch, name)(tz, tb)), name
        assert zel.logical_not(z).reshape(2, 3).equal(torch.logical_not(tz))

    def test_out_and_in_place_forms(self):
        a, b, _, _ = pair()
        out = zel.zeros(2, 3)
        assert zel.mul(a, b, out=out) is out and limbs_of(out) == limbs_of(a * b)
        with pytest.raises(RuntimeError, match="shape"):
            zel.add(a, b, out=zel.zeros(3))
        with pytest.raises(TypeError):
            zel.add(a, b, alpha="2")
        c = a.clone()
        assert c.true_divide_(b) is c and limbs_of(c) == limbs_of(a / b)


class TestArgumentsReadAsPyTorchReadsThem:
    def test_a_bool_second_argument_of_std_and_var_is_unbiased(self):
        a, _, ta, _ = pair()
        for unbiased in (True, False):
            assert zel.std(a, unbiased).item() == pytest.approx(torch.std(ta, unbiased).item(), rel=1e-15)
            assert a.var(unbiased).item() == pytest.approx(ta.var(unbiased).item(), rel=1e-15)
            s, m = zel.std_mean(a, unbiased)
            ts, tm = torch.std_mean(ta, unbiased)
            assert (s.item(), m.item()) == pytest.approx((ts.item(), tm.item()), rel=1e-15)

    @pytest.mark.parametrize("p", [math.inf, -math.inf, 0, "fro", "nuc", 1, 2])
    def test_tensor_norm_orders(self, p):
        # zel.norm keeps its defined formula (no special orders); the method is PyTorch's.
        a, _, ta, _ = pair()
        assert a.norm(p).item() == pytest.approx(torch.norm(ta, p).item(), rel=1e-14)
        if p != "nuc":
            assert values(a.norm(p, dim=1)).allclose(torch.norm(ta, p, dim=1), rtol=1e-14, atol=0)

    def test_zeroth_difference_and_broadcasting_masks(self):
        a, _, ta, _ = pair()
        assert zel.diff(a, n=0, prepend=a) is a
        mask = torch.tensor([[[True], [False]], [[False], [True]]])
        got = zel.tensor([1.0, 2.0, 3.0]).masked_fill(mask, -1.0)
        want = torch.tensor([1.0, 2.0, 3.0], dtype=torch.float64).masked_fill(mask, -1.0)
        assert tuple(got.shape) == tuple(want.shape) and values(got).equal(want)

    def test_trapezoid_sample_points_broadcast(self):
        y = zel.tensor([[1.0, 2.0, 4.0], [3.0, 5.0, 6.5]])
        x = zel.tensor([[0.0, 1.0, 3.0]])
        ty, tx = values(y), values(x)
        assert values(zel.trapezoid(y, x)).equal(torch.trapezoid(ty, tx))
        assert values(zel.cumulative_trapezoid(y, x)).equal(torch.cumulative_trapezoid(ty, tx))
        assert zel.autograd.gradcheck(lambda y, x: zel.trapezoid(y, x), [y.requires_grad_(), x.requires_grad_()],
                                      eps=2.0 ** -40, atol=1e-19, rtol=1e-19)

    def test_arguments_that_mean_nothing_for_limbs(self):
        a, _, _, _ = pair()
        for t in (a.clone(memory_format=torch.contiguous_format), a.contiguous(memory_format=torch.channels_last),
                  a.double(memory_format=torch.preserve_format), a.to(memory_format=torch.channels_last)):
            assert limbs_of(t) == limbs_of(a) and tuple(t.shape) == (2, 3)

    def test_dtype_keepdim_and_compute_mode_arguments(self):
        a, b, ta, tb = pair()
        for name in ("sum", "mean", "prod"):
            assert limbs_of(getattr(zel, name)(a, 1, dtype=torch.float64)) == limbs_of(getattr(a, name)(1)), name
        for name in ("softmax", "log_softmax"):
            assert limbs_of(getattr(zel, name)(a, 1, dtype=torch.float64)) == limbs_of(getattr(a, name)(1)), name
        for name in ("cumsum", "cumprod"):
            assert limbs_of(getattr(a, name)(0, dtype=torch.float64)) == limbs_of(getattr(a, name)(0)), name
        with pytest.raises(TypeError):
            a.sum(dtype="not a dtype")
        assert a.argmax(1, keepdim=True).equal(ta.argmax(1, keepdim=True))
        assert zel.argmin(a, keepdim=True).equal(torch.argmin(ta, keepdim=True))
        assert limbs_of(zel.cdist(a, b, compute_mode="use_mm_for_euclid_dist")) == limbs_of(zel.cdist(a, b))
        with pytest.raises(ValueError, match="compute_mode"):
            zel.cdist(a, b, compute_mode="fast")


class TestDtypeTools:
    def test_finfo_states_the_precision_the_arithmetic_keeps(self):
        fi = zel.finfo()
        assert zel.finfo(torch.float64).eps == fi.eps == 2.0 ** -100 and fi.max == torch.finfo(torch.float64).max
        # quotients of full-precision operands stay within eps (the promise) of the exact value
        x, y = zel.tensor(2.0) / zel.tensor(3.0), zel.tensor(5.0) / zel.tensor(7.0)
        exact = (Fraction(2, 3) / Fraction(5, 7))
        got = sum(Fraction(v) for v in limbs_of(x / y)[0])
        assert abs(got - exact) <= Fraction(fi.eps) * exact
        with pytest.raises(TypeError):
            zel.finfo(torch.int64)
        assert zel.iinfo(torch.int32).max == 2 ** 31 - 1

    def test_type_queries(self):
        t = zel.tensor([1.0, 2.0])
        assert t.is_floating_point() and zel.is_floating_point(t) and not t.is_complex()
        with pytest.raises(TypeError):
            zel.is_complex([1.0])
