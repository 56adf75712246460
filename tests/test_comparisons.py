import math
import operator

import pytest
import torch

from conftest import from_rows, limbs_of
from varnel.zel import zel

Tensor = zel.Tensor
INF = math.inf
NAN = math.nan
Z7 = [0.0] * 7

OPS = {
    "__lt__": operator.lt, "__le__": operator.le, "__gt__": operator.gt,
    "__ge__": operator.ge, "__eq__": operator.eq, "__ne__": operator.ne,
}


def approx_values(t):
    """Rule-2 approximation of every element: the limbs summed from limb 7 up,
    or limb 0 when it is inf or NaN."""
    out = []
    for row in limbs_of(t):
        if not math.isfinite(row[0]):
            out.append(row[0])
            continue
        s = row[7]
        for k in range(6, -1, -1):
            s = s + row[k]
        out.append(s)
    return torch.tensor(out, dtype=torch.float64)


class TestComparisonOperators:
    @pytest.mark.parametrize("name", list(OPS))
    def test_against_torch_on_approximations(self, name):
        rows = [[1.0] + Z7, [2.0, 1e-20] + [0.0] * 6, [NAN] + Z7, [-INF, NAN] + [0.0] * 6,
                [1e16, 1.0] + [0.0] * 6, [0.0, 1.0] + [0.0] * 6]
        a = from_rows(rows)
        b = Tensor([1.0, 2.0, NAN, -INF, 1e16, 1.0])
        op = OPS[name]
        va, vb = approx_values(a), approx_values(b)
        r = op(a, b)
        assert r.dtype == torch.bool and tuple(r.shape) == (6,)
        assert torch.equal(r, op(va, vb))
        for c in (1, 2.0, True, -INF, NAN):
            assert torch.equal(op(a, c), op(va, c))

    def test_examples(self):
        assert (Tensor([1.0, 2.0, 3.0]) > 1.5).tolist() == [False, True, True]
        r = Tensor([[1.0, 2.0], [3.0, 4.0]]) == 2
        assert tuple(r.shape) == (4,) and r.tolist() == [False, True, False, False]
        assert (Tensor(5.0) >= 5).tolist() == [True]

    def test_differences_below_float64_resolution_compare_equal(self):
        s = Tensor(1e16) + Tensor(1.0)
        assert limbs_of(s) == [[1e16, 1.0] + [0.0] * 6]
        assert (s == Tensor(1e16)).tolist() == [True]
        # The cancelled sum [0, 1, ...] is 1 through its approximation.
        c = Tensor(1e16) + Tensor(1.0) + Tensor(-1e16)
        assert (c == 1).tolist() == [True] and (c > 0.5).tolist() == [True]

    def test_reflected_number_on_the_left(self):
        t = Tensor([1.0, 2.0, 3.0])
        assert (2 < t).tolist() == [False, False, True]
        assert (2.0 == t).tolist() == [False, True, False]

    def test_broadcasting(self):
        a = Tensor([1.0, 2.0, 3.0])
        b = Tensor([[2.0], [0.0]])
        r = a < b
        assert tuple(r.shape) == (6,)
        assert r.tolist() == (torch.tensor([1.0, 2.0, 3.0]) < torch.tensor([[2.0], [0.0]])).flatten().tolist()
        assert (a == Tensor(2.0)).tolist() == [False, True, False]
        with pytest.raises(ValueError, match=r"Cannot broadcast \(2, 3\) with \(3, 2\)"):
            Tensor([[1.0] * 3] * 2) == Tensor([[1.0] * 2] * 3)

    def test_unsupported_operands(self):
        x = Tensor([1.0])
        assert x.__eq__("a") is NotImplemented
        assert (x == "a") is False and (x != "a") is True
        assert (x == None) is False  # noqa: E711
        with pytest.raises(TypeError):
            x < "a"
        with pytest.raises(TypeError):
            x >= [1.0]

    def test_unhashable(self):
        with pytest.raises(TypeError, match="unhashable"):
            hash(Tensor(1.0))
        with pytest.raises(TypeError):
            {Tensor(1.0)}

    def test_stays_on_the_operand_device(self):
        assert (Tensor([1.0]) < 2).device == Tensor([1.0])._data.device


class TestPredicates:
    def test_values(self):
        t = Tensor([1.0, NAN, INF, -INF, 0.0])
        assert t.isnan().tolist() == [False, True, False, False, False]
        assert t.isinf().tolist() == [False, False, True, True, False]
        assert t.isfinite().tolist() == [True, False, False, False, True]

    def test_flat_and_by_the_leading_limb_when_special(self):
        # An inf limb 0 with NaN errors below is inf, not NaN.
        t = from_rows([[INF, NAN] + [0.0] * 6, [1.0, NAN] + [0.0] * 6, [1.0] + Z7, [2.0] + Z7], (2, 2))
        assert t.isnan().tolist() == [False, True, False, False]
        assert t.isinf().tolist() == [True, False, False, False]
        assert tuple(t.isfinite().shape) == (4,)
        assert tuple(Tensor(1.0).isnan().shape) == (1,)

    def test_inf_from_arithmetic(self):
        big = Tensor(float("inf")) * 2  # limb 0 inf, NaN error limbs
        assert big.isinf().tolist() == [True] and big.isnan().tolist() == [False]

    def test_module_functions(self):
        t = Tensor([1.0, NAN])
        for name in ("isnan", "isinf", "isfinite"):
            assert torch.equal(getattr(zel, name)(t), getattr(t, name)())
            assert torch.equal(getattr(zel, name)(input=t), getattr(t, name)())
            with pytest.raises(AttributeError):
                getattr(zel, name)(1.0)
        assert Tensor.isnan.__doc__.strip().endswith("Check for NaN values.")
        assert Tensor.isinf.__doc__.strip().endswith("Check for infinite values.")
        assert Tensor.isfinite.__doc__.strip().endswith("Check for finite values.")


class TestWhere:
    def test_selects_whole_elements(self):
        a = from_rows([[1.0, 1e-20] + [0.0] * 6, [-2.0, 3e-20] + [0.0] * 6, [5.0, -1e-19] + [0.0] * 6])
        b = from_rows([[9.0, 1e-21] + [0.0] * 6, [8.0, 2e-21] + [0.0] * 6, [7.0, 3e-21] + [0.0] * 6])
        r = zel.where(a > 0, a, b)
        assert r.shape == (3,)
        assert limbs_of(r) == [limbs_of(a)[0], limbs_of(b)[1], limbs_of(a)[2]]

    def test_scalar_operands(self):
        cond = torch.tensor([True, False, True])
        r = zel.where(cond, 1.0, 0)
        assert r.shape == (3,) and r.tolist() == [1.0, 0.0, 1.0]
        x = Tensor([[1.0, -2.0], [-3.0, 4.0]])
        r = zel.where(x > 0, x, 0.0)
        assert r.shape == (2, 2) and r.tolist() == [[1.0, 0.0], [0.0, 4.0]]
        r = zel.where(x > 0, -1, x)
        assert r.shape == (2, 2) and r.tolist() == [[-1.0, -2.0], [-3.0, -1.0]]

    def test_broadcast_shape_of_all_three(self):
        x = Tensor([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]])
        y = Tensor([10.0, 20.0, 30.0])
        r = zel.where(x > 3, x, y)  # flat condition of 6 entries takes x's shape
        assert r.shape == (2, 3) and r.tolist() == [[10.0, 20.0, 30.0], [4.0, 5.0, 6.0]]
        r = zel.where(torch.tensor([True, False, True]), x, y)  # a real (3,) condition broadcasts
        assert r.shape == (2, 3) and r.tolist() == [[1.0, 20.0, 3.0], [4.0, 20.0, 6.0]]
        r = zel.where(torch.tensor([[True], [False]]), y, 0.0)
        assert r.shape == (2, 3) and r.tolist() == [[10.0, 20.0, 30.0], [0.0, 0.0, 0.0]]
        col = Tensor([[1.0], [2.0]])
        r = zel.where(torch.tensor([True, False]), col, 0.0)  # (2,) matches the (2, 1) operand
        assert r.shape == (2, 1) and r.tolist() == [[1.0], [0.0]]

    def test_errors(self):
        x = Tensor([1.0, 2.0])
        with pytest.raises(TypeError, match="condition"):
            zel.where([True, False], x, x)
        with pytest.raises(TypeError, match="'y'"):
            zel.where(x > 0, x, "a")
        with pytest.raises(TypeError, match="'x'"):
            zel.where(x > 0, None, x)
        with pytest.raises(RuntimeError, match="bool"):
            zel.where(torch.tensor([1.0, 0.0]), x, x)
        with pytest.raises(ValueError, match="Cannot broadcast"):
            zel.where(torch.tensor([True, False, True]), x, x)
        with pytest.raises(TypeError):
            zel.where(x > 0, x)

    def test_doc_and_export(self):
        assert zel.where.__doc__.strip().endswith("Select elements from x or y based on condition.")
        assert "where" in zel.__all__
