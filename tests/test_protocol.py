"""PyTorch drop-in names: dtypes, no gradients, conversions, factories,
in-place operations, advanced indexing, where and torch.nn.functional,
checked against PyTorch float64 on the same inputs."""
import itertools
import math
import pickle
from fractions import Fraction

import mpmath
import numpy as np
import pytest
import torch

from conftest import from_rows, limbs_of, same_bits
from varnel.zel import zel

Tensor = zel.Tensor
F = zel.nn.functional


def deep(shape, seed=0):
    """A Tensor of the shape whose elements use their lower limbs (values
    from a division, so they are not float64 numbers)."""
    g = torch.Generator().manual_seed(seed)
    n = math.prod(shape)
    num = torch.randint(-50, 50, (n,), generator=g).tolist()
    t = zel.tensor([float(v) for v in num]) / 7.0 if n else zel.zeros(0)
    return t.reshape(*shape) if shape else t.reshape(())


def limbs(t):
    """(*shape, 8) torch array of all limbs."""
    return t.torch_limbs()


def same_limbs(a, b):
    """Bitwise equality of two limb arrays (NaNs included)."""
    return a.shape == b.shape and torch.equal(a.contiguous().view(torch.int64), b.contiguous().view(torch.int64))


def values(t):
    return torch.tensor(t.tolist(), dtype=torch.float64)


class TestConstantsAndDtypes:
    def test_constants_and_names(self):
        assert (zel.pi, zel.e, zel.inf) == (math.pi, math.e, math.inf) and math.isnan(zel.nan)
        assert (zel.double, zel.float, zel.long, zel.int64, zel.int32, zel.bool) == (
            "float64", "float32", "int64", "int64", "int32", "bool")
        assert (zel.float32, zel.float64, Tensor(1.0).dtype) == ("float32", "float64", "float32")
        assert "pi" not in zel.__all__ and "nn" not in zel.__all__

    @pytest.mark.parametrize("dtype", [torch.float64, torch.float32, "float64", zel.double, zel.int64, float, None])
    def test_dtype_is_accepted_and_storage_stays(self, dtype):
        x = deep((2, 3))
        # Tensor.to with an integer dtype converts as long() does (test_calling_conventions.py)
        moved = () if dtype == zel.int64 else (x.to(dtype), x.to("cpu", dtype), x.to(dtype=dtype),
                                               x.to(torch.device("cpu"), dtype=dtype))
        for y in moved:
            assert torch.equal(limbs(y), limbs(x))
        for f in (lambda: zel.full((2,), 1.5, dtype=dtype), lambda: zel.zeros_like(x, dtype=dtype),
                  lambda: zel.empty(2, dtype=dtype), lambda: zel.as_tensor([1.5, 1.5], dtype=dtype)):
            assert f().tolist() in ([1.5, 1.5], [0.0, 0.0], [[0.0] * 3] * 2)

    def test_to_keeps_the_limb_array_and_other_tensor_names_a_device(self):
        x = deep((3,))
        assert x.to(zel.float64)._data.data_ptr() == x._data.data_ptr()
        assert torch.equal(limbs(x.to(deep((1,)))), limbs(x))
        assert isinstance(x.double(), Tensor) and torch.equal(limbs(x.double()), limbs(x))
        with pytest.raises(RuntimeError):
            x.to("float16")  # not a dtype name here: a bad device string, as before

    def test_bad_dtype_is_refused_by_the_added_factories(self):
        with pytest.raises(TypeError, match=r"full\(\): argument 'dtype' must be torch.dtype .* not 'float16'"):
            zel.full((2,), 1.0, dtype="float16")
        with pytest.raises(TypeError, match=r"zeros_like\(\): argument 'dtype' .* not int"):
            zel.zeros_like(deep((2,)), dtype=3)

    def test_default_dtype(self):
        assert zel.get_default_dtype() == "float32"
        try:
            zel.set_default_dtype(torch.float64)
            assert zel.get_default_dtype() == "float64"
            zel.set_default_dtype("float32")
            assert zel.get_default_dtype() == "float32"
            with pytest.raises(TypeError, match="only floating-point types"):
                zel.set_default_dtype(torch.int64)
        finally:
            zel.set_default_dtype("float32")


class TestConversions:
    def test_bool_as_pytorch(self):
        for v in (0.0, -0.0, 1.0, 1e-300, math.nan, math.inf):
            assert bool(Tensor(v)) == bool(torch.tensor(v, dtype=torch.float64)) == bool(Tensor([v]))
        # The cancelled sum [0, 1, 0, ...] is 1, so true.
        assert bool(from_rows([[0.0, 1.0] + [0.0] * 6], ()))
        for t in (zel.zeros(2), zel.zeros(0)):
            with pytest.raises(RuntimeError, match="ambiguous"):
                bool(t)

    def test_format(self):
        t = zel.tensor(1.0) / 3.0
        assert f"{t:.20f}" == format(t.item(), ".20f") and f"{t:e}" == format(t.item(), "e")
        assert f"{t}" == str(t) and f"{zel.ones(3)}" == str(zel.ones(3))
        assert f"{Tensor([2.5]):.1f}" == "2.5"
        with pytest.raises(TypeError, match="unsupported format string"):
            f"{zel.ones(2):.2f}"

    def test_array_and_numpy_round_trips(self):
        x = deep((2, 3))
        a = np.asarray(x)
        assert a.dtype == np.float64 and a.shape == (2, 3) and np.array_equal(a, x.numpy())
        assert np.asarray(deep(())).shape == () and np.asarray(x, dtype=np.float32).dtype == np.float32
        src = np.array([[1.5, 2.5]])
        y = zel.from_numpy(src)
        src[0, 0] = 9.0  # a copy: no memory is shared
        assert y.shape == (1, 2) and y.tolist() == [[1.5, 2.5]]
        with pytest.raises(TypeError, match=r"expected np.ndarray \(got list\)"):
            zel.from_numpy([1.0])
        assert zel.as_tensor(x) is x and zel.as_tensor([1, 2]).tolist() == [1.0, 2.0]

    @pytest.mark.parametrize("scalar", [np.int64(62), np.int32(-3), np.uint8(7), np.float32(1.5), np.float64(0.1),
                                        np.float16(2.0), np.bool_(True), np.array(3.0), np.array(4, dtype=np.int16)])
    def test_numpy_scalars_and_0d_arrays_are_0d(self, scalar):
        for make in (Tensor, zel.tensor, zel.as_tensor):
            t = make(scalar)
            assert t.shape == () and t.item() == float(scalar)
        assert zel.tensor([np.float32(1.5), np.int64(2)]).shape == (2,)

    def test_iter_abs_round_matmul(self):
        x = deep((3, 2))
        rows = list(x)
        assert len(rows) == 3 and all(torch.equal(limbs(r), limbs(x[i])) for i, r in enumerate(rows))
        with pytest.raises(TypeError, match="iteration over a 0-d tensor"):
            iter(Tensor(1.0))
        assert torch.equal(limbs(abs(-x)), limbs((-x).abs()))
        assert torch.equal(limbs(round(x)), limbs(x.round())) and torch.equal(limbs(round(x, 2)), limbs(x.round(2)))
        w = deep((2, 4), 1)
        assert torch.equal(limbs(x.matmul(w)), limbs(x @ w))
        left = np.arange(6.0).reshape(2, 3)
        assert torch.equal(limbs(left @ x), limbs(zel.tensor(left) @ x))
        with pytest.raises(TypeError):
            2 @ x
        with pytest.raises(TypeError, match=r"matmul\(\): argument 'other' must be Tensor, not int"):
            x.matmul(2)


class TestReflectedPower:
    EXPONENTS = [0.0, -0.0, 1.0, 3.0, -2.0, 10.0, 0.5, -1.5, 2.25, 1e-3, math.inf, -math.inf, math.nan, 1e20]

    @pytest.mark.parametrize("base", [2.0, 10, 0.5, -2.0, -0.5, 0.0, -0.0, 1.0, -1.0, math.inf, -math.inf, math.nan])
    def test_against_torch(self, base):
        t = zel.tensor(self.EXPONENTS)
        got = values(base ** t)
        want = torch.pow(base, torch.tensor(self.EXPONENTS, dtype=torch.float64))
        assert torch.equal(torch.isnan(got), torch.isnan(want))
        ok = ~torch.isnan(want)
        exact = torch.tensor([v == int(v) if math.isfinite(v) else True for v in self.EXPONENTS]) & ok
        # Integer powers and special values are PyTorch's exactly; the rest agree to float64.
        assert torch.equal(got[exact], want[exact])
        assert torch.allclose(got[ok], want[ok], rtol=1e-15, atol=0)

    def test_integral_power_is_the_defined_integer_power_and_beats_float64(self):
        t = zel.tensor([3.0, -7.0, 25.0])
        assert torch.equal(limbs(3.0 ** t), limbs(zel.stack([Tensor(3.0) ** 3, Tensor(3.0) ** -7, Tensor(3.0) ** 25])))
        mpmath.mp.prec = 200
        x = zel.tensor(1.0) / 3.0 + 2.0  # 7/3 to the limbs' precision
        got = 10.0 ** x
        exact = mpmath.power(10, mpmath.mpf(7) / 3)
        err = abs(sum(mpmath.mpf(v) for v in limbs_of(got)[0]) - exact) / exact
        assert err < 1e-20 and err < abs(mpmath.mpf(10.0 ** (7 / 3)) - exact) / exact
        with pytest.raises(TypeError):
            "a" ** t


class TestFactories:
    @pytest.mark.parametrize("size", [(2, 3), [2, 3], torch.Size([4]), (), (0, 2)])
    def test_full_and_empty_against_torch(self, size):
        for fill in (1.5, -0.0, 7, True, math.inf):
            got = zel.full(size, fill)
            want = torch.full(tuple(size), fill, dtype=torch.float64)
            assert got.shape == tuple(want.shape) and same_bits(got.numpy_limbs()[..., 0].ravel().tolist(),
                                                                want.ravel().tolist())
        assert zel.empty(size).tolist() == torch.zeros(tuple(size), dtype=torch.float64).tolist()
        assert zel.empty(*size).shape == tuple(size)

    def test_full_with_a_tensor_keeps_all_limbs_and_likes_follow_input(self):
        third = zel.tensor(1.0) / 3.0
        f = zel.full((2, 2), third)
        assert all(same_bits(r, limbs_of(third)[0]) for r in limbs_of(f))
        x = deep((3, 1))
        for name, v in (("zeros_like", 0.0), ("ones_like", 1.0), ("empty_like", 0.0)):
            y = getattr(zel, name)(x)
            assert y.shape == (3, 1) and y.tolist() == [[v]] * 3 and y.device == x.device
        assert zel.full_like(x, 2.5).tolist() == [[2.5]] * 3
        assert limbs_of(zel.full_like(x, third))[2] == limbs_of(third)[0]

    def test_logspace_against_torch(self):
        for args in ((0, 3, 4), (-2.0, 2.0, 9), (1, 1, 1), (0, 1, 0)):
            for base in (10.0, 2.0, math.e):
                got = zel.logspace(*args, base=base)
                assert same_bits(got.tolist(), torch.logspace(*args, base=base, dtype=torch.float64).tolist())

    def test_sizes_are_checked_before_allocating(self):
        for call in (lambda: zel.full((2 ** 40, 2 ** 20), 1.0), lambda: zel.empty(2 ** 62),
                     lambda: zel.logspace(0, 1, 2 ** 62)):
            with pytest.raises(RuntimeError, match="more than this machine's memory"):
                call()
        with pytest.raises(RuntimeError, match="negative dimension -1"):
            zel.full((-1,), 1.0)
        with pytest.raises(TypeError, match=r"full\(\): argument 'size' must be tuple of ints, not int"):
            zel.full(3, 1.0)
        with pytest.raises(TypeError, match=r"fill_value' must be Number, not str"):
            zel.full((1,), "a")
        with pytest.raises(TypeError, match=r"zeros_like\(\): argument 'input' must be Tensor, not list"):
            zel.zeros_like([1.0])


# (method, operand, out-of-place equivalent): every in-place form
INPLACE = [
    ("add_", lambda x, o: x.add_(o), lambda x, o: x + o),
    ("add_ alpha", lambda x, o: x.add_(o, alpha=2.5), lambda x, o: x + o * 2.5),
    ("sub_", lambda x, o: x.sub_(o), lambda x, o: x - o),
    ("sub_ alpha", lambda x, o: x.sub_(o, alpha=-3), lambda x, o: x - o * -3),
    ("mul_", lambda x, o: x.mul_(o), lambda x, o: x * o),
    ("div_", lambda x, o: x.div_(o), lambda x, o: x / o),
    ("div_ floor", lambda x, o: x.div_(o, rounding_mode="floor"), lambda x, o: x // o),
    ("div_ trunc", lambda x, o: x.div_(o, rounding_mode="trunc"), lambda x, o: (x / o).trunc()),
    ("iadd", None, lambda x, o: x + o), ("isub", None, lambda x, o: x - o),
    ("imul", None, lambda x, o: x * o), ("itruediv", None, lambda x, o: x / o),
]
AUGMENTED = {"iadd": "__iadd__", "isub": "__isub__", "imul": "__imul__", "itruediv": "__itruediv__"}


class TestInPlace:
    @pytest.mark.parametrize("name,inplace,ref", INPLACE, ids=[c[0] for c in INPLACE])
    @pytest.mark.parametrize("operand", ["tensor", "row", "number"])
    def test_bits_of_the_out_of_place_op_and_aliases_see_them(self, name, inplace, ref, operand):
        x = deep((2, 3))
        o = {"tensor": deep((2, 3), 5) + 9.0, "row": deep((3,), 6) - 9.0, "number": 1.75}[operand]
        want = limbs(ref(x, o)).clone()
        alias, view = x, x.torch_limbs()  # the same object, and a view of its limb array
        if inplace is None:
            y = x
            y = getattr(y, AUGMENTED[name])(o)
            assert y is alias
        else:
            assert inplace(x, o) is x
        assert same_limbs(limbs(alias), want) and same_limbs(view, want)

    def test_augmented_assignment_keeps_the_object(self):
        x = deep((2,))
        keep, before = x, limbs(x).clone()
        x += 1.0
        x -= deep((2,), 3)
        x *= 2
        x /= 3.0
        want = (((Tensor(_raw=before.reshape(2, 8).clone(), _shape=(2,)) + 1.0) - deep((2,), 3)) * 2) / 3.0
        assert x is keep and torch.equal(limbs(x), limbs(want))

    def test_pow_clamp_neg_zero_fill_copy(self):
        x = deep((2, 2))
        for inplace, ref in ((lambda t: t.pow_(3), lambda t: t ** 3), (lambda t: t.pow_(0.5), lambda t: t ** 0.5),
                             (lambda t: t.clamp_(-1.0, 2.0), lambda t: t.clamp(-1.0, 2.0)),
                             (lambda t: t.clamp_(min=0.5), lambda t: t.clamp(0.5)),
                             (lambda t: t.neg_(), lambda t: -t)):
            y = x.clone()
            view = y.torch_limbs()
            want = limbs(ref(y)).clone()
            assert inplace(y) is y and same_limbs(view, want)
        third = zel.tensor(1.0) / 3.0
        y = x.clone()
        view = y.torch_limbs()
        assert y.fill_(third) is y and all(torch.equal(view[i, j], limbs(third)) for i in range(2) for j in range(2))
        assert y.zero_() is y and not view.any()
        row = deep((2,), 8)
        assert y.copy_(row) is y and torch.equal(view, limbs(row).expand(2, 2, 8))
        y.copy_(torch.tensor([[1.0, 2.0], [3.0, 4.0]]))
        assert y.tolist() == [[1.0, 2.0], [3.0, 4.0]]

    def test_operand_that_would_change_the_shape_raises(self):
        x = deep((3,))
        before = limbs(x).clone()
        for call in (lambda: x.add_(deep((2, 3))), lambda: x.mul_(deep((2, 1))), lambda: x.copy_(deep((1, 3)))):
            with pytest.raises(RuntimeError, match=r"output with shape \[3\] doesn't match the broadcast shape \[2, 3\]"
                               "|broadcast shape \\[1, 3\\]"):
                call()
        with pytest.raises(RuntimeError, match=r"add_: output with shape \[3\] doesn't match the broadcast shape \[2, 3\]"):
            x += deep((2, 3))
        assert torch.equal(limbs(x), before)
        with pytest.raises(TypeError, match=r"add_\(\): argument 'other' must be Tensor or Number, not str"):
            x.add_("a")
        with pytest.raises(TypeError):
            x += "a"
        with pytest.raises(ValueError, match="rounding_mode"):
            x.div_(2.0, rounding_mode="round")


def index_cases():
    t = torch.tensor
    return [
        ((4,), [0, 2]), ((4,), t([3, -1, 0])), ((3, 4), [[0, 2], [1, 1]]), ((3, 4), (slice(None), t([0, 3]))),
        ((3, 4), (t([0, 2]), t([1, 3]))), ((3, 4), (Ellipsis, [1])), ((2, 3, 4), (0, slice(None), t([2, 1]))),
        ((2, 3, 4), (t([1, 0]), slice(1, 3), t([0, 3]))), ((3, 4), (None, [2])), ((3, 4), True),
        ((3, 4), t([True, False, True])), ((2, 3), (t([[True, False, True], [False, False, True]]),)),
        ((3, 4), (slice(None), t([False, True, True, False]))), ((3,), np.array([2, 0])), ((), t(True)),
    ]


class TestIndexing:
    @pytest.mark.parametrize("shape,idx", index_cases())
    def test_get_and_set_against_torch_on_element_numbers(self, shape, idx):
        # PyTorch indexes a tensor of element numbers; those rows are expected.
        x = deep(shape)
        rows = x._data.clone()
        picked = torch.arange(max(math.prod(shape), 1)).reshape(shape)[idx]
        got = x[idx]
        assert got.shape == tuple(picked.shape) and same_limbs(got._data, rows[picked.reshape(-1)])
        value = deep(tuple(picked.shape[-1:]), 4)
        x[idx] = value
        rows[picked.reshape(-1)] = value._data.repeat(max(picked.numel() // max(value._data.shape[0], 1), 1), 1) \
            if picked.numel() else rows[:0]
        assert same_limbs(x._data, rows)

    def test_masks_from_comparisons_select_in_row_major_order(self):
        x = deep((3, 4))
        v = values(x)
        assert x[x > 0].tolist() == v[v > 0].tolist()
        assert torch.equal(limbs(x[x > 0]), limbs(x)[v > 0])
        y = x.clone()
        view = y.torch_limbs()
        y[y > 0] = 0
        assert values(y).tolist() == v.masked_fill(v > 0, 0.0).tolist()
        assert same_limbs(view, limbs(y))  # written into the limb array: views see it
        assert x.masked_select(x < 0).tolist() == v.masked_select(v < 0).tolist()
        assert zel.masked_select(x, x < 0).tolist() == v[v < 0].tolist()

    def test_masked_fill_and_select_broadcast_masks(self):
        x = deep((2, 3))
        v = values(x)
        third = zel.tensor(1.0) / 3.0
        for mask in (torch.tensor([True, False, True]), torch.tensor([[True], [False]]), v > 0, (x > 0)):
            shaped = mask.reshape(2, 3) if mask.dim() == 1 and mask.numel() == 6 else mask
            got = x.masked_fill(mask, third)
            assert torch.equal(limbs(got)[shaped.expand(2, 3)], limbs(third).expand(int(shaped.expand(2, 3).sum()), 8))
            assert torch.equal(limbs(got)[~shaped.expand(2, 3)], limbs(x)[~shaped.expand(2, 3)])
            assert x.masked_select(mask).tolist() == v.masked_select(shaped).tolist()
        y = x.clone()
        view = y.torch_limbs()
        assert y.masked_fill_(x > 0, -1.5) is y and values(y).tolist() == v.masked_fill(v > 0, -1.5).tolist()
        assert torch.equal(view, limbs(y))
        wide = torch.ones(4, 2, 3, dtype=torch.bool)
        assert x.masked_select(wide).shape == (24,)
        with pytest.raises(RuntimeError, match=r"masked_fill_: output with shape \[2, 3\]"):
            y.masked_fill_(wide, 0.0)
        with pytest.raises(TypeError, match=r"masked_fill\(\): argument 'mask' must be a torch bool tensor, not list"):
            x.masked_fill([True], 0.0)

    def test_index_select_gather_take_nonzero_against_torch(self):
        x = deep((3, 4))
        v = values(x)
        L = limbs(x)
        idx = torch.tensor([2, 0, 2])
        for d in (0, 1, -1):
            assert torch.equal(limbs(x.index_select(d, idx)), L.index_select(d % 2, idx))
        assert torch.equal(limbs(zel.index_select(x, 0, zel.tensor([1.0]))), L[[1]])
        g = torch.tensor([[0, 3], [2, 2], [1, 0]])
        assert x.gather(1, g).tolist() == v.gather(1, g).tolist()
        g0 = torch.tensor([[2, 0, 1, 1]])
        assert torch.equal(limbs(zel.gather(x, 0, g0)), L.gather(0, g0.unsqueeze(-1).expand(1, 4, 8)))
        t = torch.tensor([[11, 0], [5, -1]])
        assert x.take(t).tolist() == v.take(t).tolist() and zel.take(x, t).shape == (2, 2)
        z = zel.tensor([[0.0, 1.0], [math.nan, 0.0]])
        zt = torch.tensor([[0.0, 1.0], [math.nan, 0.0]], dtype=torch.float64)
        assert torch.equal(z.nonzero(), zt.nonzero()) and torch.equal(zel.nonzero(z), torch.nonzero(zt))
        assert all(torch.equal(a, b) for a, b in zip(z.nonzero(as_tuple=True), zt.nonzero(as_tuple=True)))

    def test_out_of_range_and_bad_indices(self):
        x = deep((3, 4))
        for call in (lambda: x[[0, 5]], lambda: x[:, torch.tensor([4])], lambda: x.index_select(0, torch.tensor([3])),
                     lambda: x.take(torch.tensor([12])), lambda: x.gather(0, torch.tensor([[3]]))):
            with pytest.raises(IndexError, match=r"out of bounds for (dimension \d+ with )?size \d+|out of range"):
                call()
        with pytest.raises(IndexError, match="index 5 is out of bounds for dimension 0 with size 3"):
            x[[0, 5]]
        with pytest.raises(IndexError, match="too many indices for tensor of dimension 2"):
            x[0, 0, [0]]
        with pytest.raises(IndexError, match="must hold integers"):
            x[zel.tensor([0.5])]
        with pytest.raises(IndexError, match="Index is supposed to be a vector"):
            x.index_select(0, torch.tensor([[0]]))
        with pytest.raises(ValueError, match="shape mismatch: value tensor of shape \\(3,\\) cannot be broadcast"):
            x[[0, 1]] = deep((3,))
        with pytest.raises(TypeError):
            x[[0], "a"]


# Shapes of the comparison tests' rank pairs (0-d through 3-D operands).
WHERE_SHAPES = [(), (1,), (3,), (2, 1), (1, 3), (2, 3), (2, 1, 1), (3, 1), (1, 2, 3)]


class TestWhere:
    @pytest.mark.parametrize("sx,sy", [p for p in itertools.product(WHERE_SHAPES, repeat=2)])
    def test_flat_condition_of_a_comparison_takes_the_broadcast_shape(self, sx, sy):
        try:
            out = torch.broadcast_shapes(sx, sy)
        except RuntimeError:
            return
        x, y = deep(sx, 1), deep(sy, 2)
        got = zel.where(x > y, x, y)
        vx, vy = values(x).reshape(sx), values(y).reshape(sy)
        want = torch.where(vx > vy, vx, vy)
        assert got.shape == tuple(out) and values(got).reshape(out).tolist() == want.tolist()

    def test_examples_of_the_issue(self):
        x, y = deep((2, 1, 1), 1), deep((3, 1), 2)
        assert zel.where(x > y, x, y).shape == (2, 3, 1)
        a, b = deep((2, 1), 1), deep((3,), 2)
        assert zel.where(a > b, a, b).shape == (2, 3)


def to_torch(t):
    return values(t).reshape(t.shape)


class TestFunctional:
    def test_forwarding_activations_match_the_defined_ones(self):
        x = deep((2, 5))
        for f, method in ((F.relu, "relu"), (F.silu, "silu"), (F.sigmoid, "sigmoid")):
            assert torch.equal(limbs(f(x)), limbs(getattr(x, method)()))
        assert torch.equal(limbs(F.gelu(x, approximate="tanh")), limbs(x.gelu()))
        assert torch.equal(limbs(F.softmax(x, dim=1)), limbs(x.softmax(1)))
        assert torch.equal(limbs(F.log_softmax(x, 0)), limbs(x.log_softmax(0)))
        assert torch.equal(limbs(F.softmax(x)), limbs(x.softmax(1)))  # PyTorch's implicit dim for 2-D
        y = x.clone()
        assert F.relu(y, inplace=True) is y and torch.equal(limbs(y), limbs(x.relu()))
        assert zel.nn.functional is F and F.__name__ == "varnel.zel.zel.nn.functional"

    def test_exact_gelu_is_accurate_also_where_one_plus_erf_cancels(self):
        mp = mpmath
        xs = [-30.0, -8.5, -1.25, -1e-20, 0.0, 0.75, 3.0, 12.0]
        got = F.gelu(zel.tensor(xs))
        with mp.workprec(300):
            for i, x in enumerate(xs):
                want = mp.mpf(x) / 2 * mp.erfc(-mp.mpf(x) / mp.sqrt(2))
                value = sum(mp.mpf(v) for v in got._data[i].tolist())
                # The rounding of x/sqrt(2) is amplified by erfc's condition, about x^2.
                assert abs(value - want) <= abs(want) * mp.mpf(2) ** -100 * max(1, x * x)

    def test_linear_is_exact_where_float64_rounds(self):
        g = torch.Generator().manual_seed(3)
        xi, wi, bi = (torch.randint(-9, 9, s, generator=g).double() / 8 for s in ((4, 3), (2, 3), (2,)))
        x, w, b = zel.tensor(xi) / 3.0, zel.tensor(wi), zel.tensor(bi)
        got = F.linear(x, w, b)
        ref = torch.nn.functional.linear(to_torch(x), wi, bi)
        assert got.shape == (4, 2) and torch.allclose(to_torch(got), ref, rtol=1e-14, atol=1e-15)
        for i, j in itertools.product(range(4), range(2)):
            exact = sum(Fraction(float(xi[i, k])) / 3 * Fraction(float(wi[j, k])) for k in range(3)) + Fraction(float(bi[j]))
            assert abs(sum(Fraction(v) for v in limbs_of(got[i, j])[0]) - exact) <= abs(exact) * Fraction(1, 2 ** 100) + Fraction(1, 2 ** 200)
        assert F.linear(x, w).shape == (4, 2)

    @pytest.mark.parametrize("reduction", ["mean", "sum", "none"])
    def test_losses_against_torch(self, reduction):
        logits = deep((4, 3), 2)
        tl = to_torch(logits)
        target = torch.tensor([0, 2, 1, 2])
        weight = zel.tensor([1.0, 2.0, 0.5])
        tw = to_torch(weight)
        cases = [
            (F.cross_entropy(logits, target, reduction=reduction),
             torch.nn.functional.cross_entropy(tl, target, reduction=reduction)),
            (F.cross_entropy(logits, target, weight=weight, reduction=reduction, ignore_index=1),
             torch.nn.functional.cross_entropy(tl, target, weight=tw, reduction=reduction, ignore_index=1)),
            (F.cross_entropy(logits, zel.tensor(target.double()), reduction=reduction),
             torch.nn.functional.cross_entropy(tl, target, reduction=reduction)),
            (F.nll_loss(logits.log_softmax(1), target, reduction=reduction),
             torch.nn.functional.nll_loss(tl.log_softmax(1), target, reduction=reduction)),
            (F.mse_loss(logits, deep((4, 3), 7), reduction=reduction),
             torch.nn.functional.mse_loss(tl, to_torch(deep((4, 3), 7)), reduction=reduction)),
        ]
        probs = deep((4, 3), 9).softmax(1)
        cases.append((F.cross_entropy(logits, probs, reduction=reduction),
                      torch.nn.functional.cross_entropy(tl, to_torch(probs), reduction=reduction)))
        for got, want in cases:
            assert got.shape == tuple(want.shape)
            assert torch.allclose(to_torch(got), want, rtol=1e-13, atol=1e-15)

    def test_cross_entropy_beats_float64_against_mpmath(self):
        mpmath.mp.prec = 200
        row = [1e-3, 30.0, -7.25]
        got = F.cross_entropy(zel.tensor([row]), torch.tensor([0]))
        m = [mpmath.mpf(v) for v in row]
        exact = mpmath.log(sum(mpmath.exp(v) for v in m)) - m[0]
        err = abs(sum(mpmath.mpf(v) for v in limbs_of(got)[0]) - exact) / exact
        f64 = abs(mpmath.mpf(float(torch.nn.functional.cross_entropy(torch.tensor([row], dtype=torch.float64),
                                                                      torch.tensor([0])))) - exact) / exact
        assert err < 1e-20 and err < f64

    def test_normalize_pad_one_hot(self):
        x = deep((2, 3))
        tx = to_torch(x)
        for p, dim in ((2.0, 1), (1, 0), (2, -1)):
            assert torch.allclose(to_torch(F.normalize(x, p, dim)), torch.nn.functional.normalize(tx, p, dim),
                                  rtol=1e-14)
        for pads in ((1, 2), (0, 1, 2, 0), (-1, 1), (1, -2, 0, 1)):
            got = F.pad(x, pads, value=0.5)
            want = torch.nn.functional.pad(tx, pads, value=0.5)
            assert got.shape == tuple(want.shape) and to_torch(got).tolist() == want.tolist()
        kept = F.pad(x, (1, 1))
        assert torch.equal(limbs(kept)[:, 1:4], limbs(x))
        idx = torch.tensor([0, 3, 1])
        assert torch.equal(F.one_hot(idx), torch.nn.functional.one_hot(idx))
        assert torch.equal(F.one_hot(zel.tensor([2.0, 0.0]), 4), torch.nn.functional.one_hot(torch.tensor([2, 0]), 4))
        assert F.one_hot(idx).dtype == torch.int64

    def test_errors(self):
        x = deep((2, 3))
        with pytest.raises(ValueError, match="'avg' is not a valid value for reduction"):
            F.mse_loss(x, x, reduction="avg")
        with pytest.raises(IndexError, match="target 3 is out of bounds for 3 classes"):
            F.cross_entropy(x, torch.tensor([0, 3]))
        with pytest.raises(NotImplementedError, match="non-constant padding"):
            F.pad(x.reshape(-1), (1, 1), mode="reflect")
        with pytest.raises(TypeError, match=r"linear\(\): argument 'weight' must be Tensor, not list"):
            F.linear(x, [1.0])
        with pytest.raises(RuntimeError, match="class indices must be integers"):
            F.one_hot(zel.tensor([0.5]))


def test_pickle_of_inplace_result_round_trips():
    x = deep((2,))
    x += 1.0
    assert torch.equal(limbs(pickle.loads(pickle.dumps(x))), limbs(x))
