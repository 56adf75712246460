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

    def test_promotion_is_pytorchs(self):
        t = zel.tensor([1.0, 2.0])
        # A Tensor here counts as its dtype name; integer tensors are PyTorch's.
        assert zel.result_type(t, 2) == t.dtype == str(torch.result_type(torch.ones(2), 2)).split(".")[1]
        assert zel.result_type(t, torch.tensor([1], dtype=torch.int64)) == t.dtype
        assert zel.result_type(torch.tensor([1]), 2.5) == torch.result_type(torch.tensor([1]), 2.5)
        assert zel.promote_types(zel.float32, zel.long) == "float32"
        assert zel.promote_types(torch.int32, torch.float64) is torch.float64
        assert zel.can_cast(zel.double, zel.long) is False and zel.can_cast(torch.int32, zel.double) is True
        with pytest.raises(TypeError):
            zel.promote_types("float64", "no such dtype")
        with pytest.raises(TypeError):
            zel.result_type(t, "x")

    def test_type_queries(self):
        t = zel.tensor([1.0, 2.0])
        assert t.is_floating_point() and zel.is_floating_point(t) and not t.is_complex()
        with pytest.raises(TypeError):
            zel.is_complex([1.0])


def rand(*shape, seed=0):
    g = torch.Generator().manual_seed(seed)
    return torch.randn(*shape, dtype=torch.float64, generator=g)


class TestPadModes:
    MODES = ("reflect", "replicate", "circular")

    def test_values_as_pytorch(self):
        cases = [((2, 5), (1, 3)), ((2, 3, 5), (4, 2)), ((2, 3, 5), (-1, 2)), ((2, 3, 5), (0, 0)),
                 ((1, 2, 4, 5), (2, -1, 3, 1)), ((1, 2, 3, 4, 5), (1, 2, 0, 3, 2, -1)), ((3, 4, 5), (2, 2, 1, 3))]
        for mode in self.MODES:
            for k, (shape, p) in enumerate(cases):
                if mode == "circular" and len(shape) == len(p) // 2 + 1:
                    continue  # PyTorch pads circularly only with a batch dimension
                x = rand(*shape, seed=k)
                want = torch.nn.functional.pad(x, p, mode=mode)
                got = zel.nn.functional.pad(zel.tensor(x), p, mode=mode)
                assert got.shape == tuple(want.shape), (mode, shape, p)
                assert values(got).equal(want), (mode, shape, p)

    def test_circular_wraps_what_negative_padding_keeps(self):
        x = torch.arange(5.0, dtype=torch.float64).reshape(1, 1, 5)
        for p in ((-1, 2), (2, -1), (-2, -3)):
            got = zel.nn.functional.pad(zel.tensor(x), p, mode="circular")
            assert values(got).equal(torch.nn.functional.pad(x, p, mode="circular")), p

    def test_errors_as_pytorch(self):
        F = zel.nn.functional
        x3 = zel.tensor(rand(2, 3, 4))
        cases = [(zel.tensor(rand(4)), (1, 1), "reflect", None), (x3, (1, 1, 1, 1, 1, 1), "replicate", None),
                 (zel.tensor(rand(2, 3)), (1, 1), "circular", None), (x3, (4, 0), "reflect", None),
                 (x3, (-2, -2), "reflect", None), (x3, (-2, -2), "replicate", None),
                 (x3, (1, 1), "reflect", 2.0), (x3, (1, 1), "wrap", None)]
        # PyTorch's answer decides (its versions accept different cases): its
        # exception type, or its values.
        for x, p, mode, value in cases:
            try:
                want = torch.nn.functional.pad(values(x), p, mode=mode, value=value)
            except Exception as e:  # noqa: BLE001 - the type is compared
                with pytest.raises(type(e)):
                    F.pad(x, p, mode=mode, value=value)
            else:
                assert values(F.pad(x, p, mode=mode, value=value)).equal(want), (mode, p)

    def test_gradients(self):
        x = zel.tensor(rand(1, 2, 3, 4, seed=3)).requires_grad_()
        for mode in self.MODES:
            for p in ((2, -1, 1, 2), (3, 3, 2, 2)):
                fn = lambda t, mode=mode, p=p: zel.nn.functional.pad(t, p, mode=mode)  # noqa: E731
                assert zel.autograd.gradcheck(fn, (x,), eps=2.0 ** -40, atol=1e-19, rtol=1e-19), (mode, p)

    def test_gradient_adds_the_copies(self):
        x = zel.tensor([[[1.0, 2.0, 3.0]]]).requires_grad_()
        zel.nn.functional.pad(x, (2, 2), mode="replicate").sum().backward()
        assert values(x.grad).equal(torch.tensor([[[3.0, 1.0, 3.0]]], dtype=torch.float64))


class TestUniqueAlongDim:
    def check(self, x, **kw):
        want = torch.unique(x, **kw)
        got = zel.unique(zel.tensor(x), **kw)
        want = want if isinstance(want, tuple) else (want,)
        got = got if isinstance(got, tuple) else (got,)
        assert len(got) == len(want)
        assert got[0].shape == tuple(want[0].shape)
        assert values(got[0]).reshape(want[0].shape).equal(want[0])
        for g, w in zip(got[1:], want[1:]):
            assert g.equal(w)

    def test_rows_and_columns_as_pytorch(self):
        x = torch.tensor([[1.0, 2.0, 1.0, 2.0], [3.0, -0.0, 3.0, 0.0], [1.0, 2.0, 1.0, 2.0]], dtype=torch.float64)
        r = torch.randint(0, 3, (6, 4, 5), generator=torch.Generator().manual_seed(1)).to(torch.float64)
        for t in (x, r, torch.zeros(0, 3, dtype=torch.float64)):
            for dim in range(-t.ndim, t.ndim):
                if t.numel() == 0 and t.shape[dim] != 0:
                    with pytest.raises(RuntimeError):  # PyTorch refuses an unselected empty dim
                        zel.unique(zel.tensor(t), dim=dim)
                    continue
                self.check(t, dim=dim, return_inverse=True, return_counts=True)
                self.check(t, dim=dim, return_counts=True)
                self.check(t, dim=dim)

    def test_equal_only_when_exact_values_equal(self):
        # 1 + 2^-80 rounds to 1 in float64 but is a distinct value in limbs
        tiny = zel.tensor([2.0 ** -80])
        x = zel.stack([zel.tensor([1.0, 5.0]), zel.tensor([1.0, 5.0]), zel.tensor([1.0, 5.0])])
        x = x + zel.stack([zel.tensor([0.0, 0.0]), zel.cat([tiny, zel.tensor([0.0])]), zel.tensor([0.0, 0.0])])
        vals, inv, cnt = zel.unique(x, dim=0, return_inverse=True, return_counts=True)
        assert vals.shape == (2, 2)
        assert inv.tolist() == [0, 1, 0] and cnt.tolist() == [2, 1]
        assert limbs_of(vals[1]) == limbs_of(x[1])
        vals, cnt = zel.unique_consecutive(x, dim=0, return_counts=True)
        assert vals.shape == (3, 2) and cnt.tolist() == [1, 1, 1]

    def test_unique_consecutive_as_pytorch(self):
        r = torch.tensor([[1.0, 1.0, 2.0, 2.0, 1.0], [1.0, 1.0, 3.0, 3.0, 1.0]], dtype=torch.float64)
        for kw in ({}, {"dim": 1}, {"dim": 0}, {"dim": -1}):
            want = torch.unique_consecutive(r, return_inverse=True, return_counts=True, **kw)
            got = zel.unique_consecutive(zel.tensor(r), return_inverse=True, return_counts=True, **kw)
            assert got[0].shape == tuple(want[0].shape), kw
            assert values(got[0]).reshape(want[0].shape).equal(want[0]), kw
            assert got[1].equal(want[1]) and got[2].equal(want[2]), kw
        assert values(zel.tensor(r).unique_consecutive()).equal(torch.unique_consecutive(r))

    def test_errors_as_pytorch(self):
        x = zel.tensor([[1.0, 2.0]])
        for fn in (zel.unique, zel.unique_consecutive):
            with pytest.raises(IndexError):
                fn(x, dim=2)
            with pytest.raises(TypeError):
                fn([1.0, 2.0], dim=0)


class TestToPositionalForms:
    def test_device_dtype_flags(self):
        x = zel.tensor(A)
        for args in (("cpu", torch.float64, False, False), ("cpu", torch.float32), (torch.float64, False, False),
                     (x, False), (torch.tensor(1.0), True, False), (torch.device("cpu"),), ("cpu", None, True)):
            y = x.to(*args)
            assert limbs_of(y) == limbs_of(x), args
        assert x.to(torch.float64) is x  # PyTorch returns the tensor itself when nothing changes

    def test_copy_copies(self):
        x = zel.tensor(A)
        for y in (x.to("cpu", torch.float64, False, True), x.to(torch.float64, copy=True), x.to(x, False, True)):
            assert limbs_of(y) == limbs_of(x) and y._data.data_ptr() != x._data.data_ptr()
        assert x.to("cpu")._data.data_ptr() == x._data.data_ptr()

    def test_integer_dtypes_convert_as_long_int_bool(self):
        x = zel.tensor([1.5, -2.75, 0.0])
        assert x.to(torch.int64).equal(x.long()) and x.to(torch.int64).dtype == torch.int64
        assert x.to("cpu", torch.int32).equal(x.int()) and x.to(dtype=torch.bool).equal(x.bool())
        assert x.to(torch.int16).equal(torch.tensor([1, -2, 0], dtype=torch.int16))
        assert x.to(zel.int64).equal(x.long()) and x.to(int).equal(x.long()) and x.to(bool).equal(x.bool())

    def test_errors(self):
        x = zel.tensor(A)
        assert x.to(torch.complex128).is_complex() and x.to("cpu", torch.complex128).real.equal(x)
        for args, kw in ((("cpu", torch.float64, False, False, False), {}),
                         ((torch.float64, "yes"), {}), ((torch.float64,), {"dtype": torch.float64}),
                         ((), {"colour": 1}), ((False, "cpu"), {})):
            with pytest.raises(TypeError):
                x.to(*args, **kw)


class TestTensorTolerances:
    def test_tensor_tolerances_as_pytorch(self):
        a = rand(3, 4, 4, seed=5)
        a[1] = a[1, :, :1] @ a[1, :1, :]  # rank one
        za = zel.tensor(a)
        for kw in ({"rtol": torch.tensor(0.3, dtype=torch.float64)}, {"atol": torch.tensor(0.9, dtype=torch.float64)},
                   {"atol": zel.tensor(0.5), "rtol": zel.tensor(0.1)}):
            tkw = {k: torch.tensor(float(v), dtype=torch.float64) for k, v in kw.items()}
            assert zel.linalg.matrix_rank(za, **kw).equal(torch.linalg.matrix_rank(a, **tkw)), kw
            assert torch.allclose(values(zel.linalg.pinv(za, **kw)), torch.linalg.pinv(a, **tkw), atol=1e-10), kw

    def test_rtol_one_drops_every_value(self):
        # PyTorch keeps the singular values strictly above rtol * s_max
        a = zel.tensor(rand(2, 5, 5, seed=6))
        assert zel.linalg.matrix_rank(a, rtol=1.0).tolist() == [0, 0]
        assert all(v == 0.0 for v in values(zel.linalg.pinv(a, rtol=1.0)).reshape(-1).tolist())
        assert zel.linalg.matrix_rank(a, rtol=1.0 - 2.0 ** -40).tolist() == [1, 1]

    def test_more_than_one_tolerance_is_refused(self):
        with pytest.raises(NotImplementedError):
            zel.linalg.pinv(zel.tensor(A), rtol=torch.tensor([0.1, 0.2]))


class TestScalarSoftmax:
    def test_zero_dim_as_pytorch(self):
        for v in (2.5, -math.inf, math.nan):
            t = torch.tensor(v, dtype=torch.float64)
            for dim in (0, -1):
                for name in ("softmax", "log_softmax"):
                    want = getattr(torch, name)(t, dim)
                    for got in (getattr(zel, name)(zel.tensor(v), dim), getattr(zel.tensor(v), name)(dim),
                                getattr(zel.nn.functional, name)(zel.tensor(v), dim)):
                        assert got.shape == () and torch.allclose(values(got), want, 0, 0, equal_nan=True), name
        with pytest.raises(IndexError):
            zel.tensor(1.0).softmax(1)
        with pytest.raises(IndexError):  # no dim: the defined refusal stays
            zel.tensor(1.0).softmax()


def test_padding_an_empty_tensor_keeps_its_history():
    for shape in ((0,), (2, 0)):
        x = zel.zeros(*shape).requires_grad_()
        r = zel.nn.functional.pad(x * 2.0, [1, 1], value=0.5)
        assert r.requires_grad and r.grad_fn is not None
        r.sum().backward()
        assert tuple(x.grad.shape) == shape


def test_zero_dim_and_widening_cases_follow_pytorch():
    x = torch.tensor(2.5, dtype=torch.float64)
    for index in (torch.tensor([0, 0, 0]), torch.tensor([], dtype=torch.int64), torch.tensor(0)):
        want = torch.gather(x, 0, index)
        got = zel.gather(zel.tensor(x), 0, index)
        assert tuple(got.shape) == tuple(want.shape) and torch.equal(values(got), want)
    with pytest.raises(IndexError):
        zel.gather(zel.tensor(x), 0, torch.tensor([1]))
    assert tuple(zel.tensor(x).mT.shape) == ()
    with pytest.raises(RuntimeError):
        zel.tensor([1.0, 2.0]).mT
    # masked_fill takes a number or a 0-d tensor, as PyTorch.
    with pytest.raises(RuntimeError, match="0-dimensional"):
        zel.ones(2).masked_fill(torch.tensor(False), zel.tensor([3.0]))
    # A mask of more dimensions widens masked_scatter's result; in place it cannot.
    a, m = torch.randn(3, dtype=torch.float64), torch.tensor([[True, False, True], [False, True, False]])
    s = torch.randn(2, 3, dtype=torch.float64)
    assert torch.equal(values(zel.tensor(a).masked_scatter(m, zel.tensor(s))), a.masked_scatter(m, s))
    with pytest.raises(RuntimeError):
        zel.tensor(a).masked_scatter_(m, zel.tensor(s))
