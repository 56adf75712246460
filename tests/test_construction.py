import math
import pickle
import copy

import numpy as np
import pytest
import torch

from varnel.zel import zel
from conftest import limbs_of

Tensor = zel.Tensor


class TestModule:
    def test_constants(self):
        assert zel._DEVICE == ("cuda" if torch.cuda.is_available() else "cpu")
        assert zel._DTYPE is torch.float64
        assert zel._NUM_LIMBS == 8 and zel._SPLIT_FACTOR == 134217729.0
        assert zel.float32 == "float32" and zel.float64 == "float64" and zel.cpu == "cpu"
        assert zel._torch is torch and zel.math is math
        assert zel._builtins.sum is sum

    def test_device_and_cuda(self):
        assert zel.device("cpu") == "cpu"
        with pytest.raises(TypeError):
            zel.device()
        assert zel.cuda.is_available() == torch.cuda.is_available()

    def test_all_is_ordered_subset_of_public_names(self):
        order = ["Tensor", "tensor", "from_limbs", "zeros", "ones", "randn", "rand", "arange", "eye",
                 "linspace", "sum", "mean", "prod", "min", "max", "std", "var", "norm", "argmin",
                 "argmax", "matmul", "mm", "mv", "dot", "bmm", "exp", "log", "sqrt", "abs", "sin",
                 "cos", "tan", "tanh", "sigmoid", "floor", "ceil", "round", "clamp", "relu", "softmax",
                 "log_softmax", "gelu", "silu", "reshape", "transpose", "squeeze", "unsqueeze", "stack",
                 "cat", "split", "chunk", "permute", "repeat", "where", "isnan", "isinf", "isfinite",
                 "manual_seed", "get_rng_state", "set_rng_state", "float32", "float64", "device",
                 "cuda", "cpu"]
        assert zel.__all__ == [n for n in order if hasattr(zel, n)]
        assert "test_kalden" not in zel.__all__

    def test_docstrings(self):
        assert "ZEL - KALDEN Error GPU Arithmetic" in zel.__doc__
        assert "from zel import zel as torch" in zel.__doc__
        assert zel.Tensor.__doc__.startswith("KALDEN Tensor - exact arithmetic with no floating point drift.")
        assert zel.Tensor._two_sum.__doc__.strip().endswith("TwoSum: a + b = s + e EXACTLY.")


class TestTensorObject:
    def test_slots_and_no_other_attributes(self):
        t = Tensor(1.0)
        assert Tensor.__slots__ == ["_data", "_shape"]
        with pytest.raises(AttributeError):
            t.other = 1

    def test_unhashable(self):
        with pytest.raises(TypeError):
            hash(Tensor(1.0))

    def test_replaced_data_is_validated(self):
        t = Tensor([1.0, 2.0])
        t._data = torch.zeros(3, 8, dtype=torch.float64)
        with pytest.raises(ValueError, match="rows"):
            t + 1
        t._data = torch.zeros(2, 8, dtype=torch.float32)
        with pytest.raises(TypeError, match="float64"):
            t.sum() if hasattr(t, "sum") else t * 2
        with pytest.raises(TypeError):
            t._data = [1, 2]
        with pytest.raises(TypeError):
            t._shape = [2]

    def test_object_without_init_raises_instead_of_crashing(self):
        t = Tensor.__new__(Tensor)
        for call in (t.item, t.clone, t.sum, lambda: t + t, lambda: t * 2.0, lambda: repr(t),
                     lambda: zel.matmul(t, t), lambda: Tensor(t), t.sha256, t.tolist):
            with pytest.raises((TypeError, ValueError, RuntimeError)):
                call()
        with pytest.raises(TypeError):
            t._shape = (2,)
        with pytest.raises(TypeError):
            t.__init__(foo=1)
        t.__init__([1.0, 2.0])
        assert t.tolist() == [1.0, 2.0]

    def test_pickle_and_deepcopy_keep_limbs(self):
        t = Tensor([[0.1, 0.2], [0.3, 1e300]]) * Tensor(0.7)
        for u in (pickle.loads(pickle.dumps(t)), copy.deepcopy(t)):
            assert u.shape == t.shape and u.sha256() == t.sha256()

    def test_float_and_int(self):
        assert float(Tensor([2.75])) == 2.75
        assert int(Tensor(-2.75)) == -2
        with pytest.raises(ValueError):
            float(Tensor([1.0, 2.0]))


class TestConstruction:
    def test_empty_and_scalars(self):
        t = Tensor()
        assert t._shape == () and tuple(t._data.shape) == (1, 8) and t.item() == 0.0
        assert limbs_of(Tensor(3)) == [[3.0] + [0.0] * 7]
        assert Tensor(True).item() == 1.0
        e = Tensor([])
        assert e._shape == (0,) and tuple(e._data.shape) == (0, 8)

    def test_nested(self):
        t = Tensor([[1, 2], [3, 4]])
        assert t._shape == (2, 2)
        assert t._data[:, 0].tolist() == [1.0, 2.0, 3.0, 4.0]
        assert not t._data[:, 1:].any()
        assert Tensor((1.5, "2.5"))._data[:, 0].tolist() == [1.5, 2.5]
        assert Tensor([[]])._shape == (1, 0)

    def test_ragged_and_bad_leaves_raise(self):
        for bad in ([[1, 2], [3]], [[1, 2], 3], [1, [2]], [[[1]], [2]]):
            with pytest.raises(ValueError, match="ragged"):
                Tensor(bad)
        with pytest.raises((TypeError, ValueError)):
            Tensor([["a"]])
        with pytest.raises(TypeError):
            Tensor(["x"])
        with pytest.raises(ValueError):
            Tensor([1, "x"])
        deep = [1.0]
        for _ in range(1000):
            deep = [deep]
        with pytest.raises(ValueError):
            Tensor(deep)

    def test_unsupported_type_message(self):
        with pytest.raises(TypeError) as info:
            Tensor({})
        assert str(info.value) == "Cannot create Tensor from " + str(dict)

    def test_torch_tensor_keeps_float64(self):
        t = Tensor(torch.tensor([0.1], dtype=torch.float64))
        assert t._data[0, 0].item() == 0.1
        assert Tensor(torch.zeros(2, 3))._shape == (2, 3)
        assert Tensor(torch.arange(4, dtype=torch.int64)).tolist() == [0.0, 1.0, 2.0, 3.0]
        # Complex data makes a complex tensor.
        assert Tensor(torch.zeros(2, dtype=torch.complex128)).dtype == "complex128"

    def test_numpy_inputs(self):
        a = np.array([[0.1, 0.2, 0.3]], dtype=np.float64)
        t = Tensor(a)
        assert t._shape == (1, 3) and t._data[:, 0].tolist() == [0.1, 0.2, 0.3]
        assert Tensor(np.float32(0.5)).item() == 0.5 and Tensor(np.int64(7)).item() == 7.0
        assert Tensor([np.float64(1.5), np.int32(2)]).tolist() == [1.5, 2.0]

    def test_copy_is_deep_and_stays_on_device(self):
        t = Tensor([1.0, 2.0])
        u = Tensor(t, device="cpu")
        t._data[0, 0] = 9.0
        assert u.tolist() == [1.0, 2.0]

    def test_raw_path_shares_and_checks(self):
        arr = torch.zeros(5, 8, dtype=torch.float64)
        t = Tensor(_raw=arr)
        assert t._shape == (5,)
        arr[0, 0] = 3.0
        assert t.value() == 3.0
        with pytest.raises(ValueError):
            Tensor(_raw=arr, _shape=(2, 2))

    def test_flatten_and_reshape_list(self):
        assert Tensor._flatten_with_shape([[1, 2], [3, 4]]) == ([1.0, 2.0, 3.0, 4.0], (2, 2))
        assert Tensor._flatten_with_shape(3) == ([3.0], ())
        t = Tensor()
        assert t._reshape_list([1.0, 2.0, 3.0, 4.0, 5.0, 6.0], (2, 3)) == [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]]
        assert t._reshape_list([1.0, 2.0], ()) == 1.0
        assert t._reshape_list([], ()) == 0.0
        with pytest.raises(TypeError):
            t._reshape_list((1.0,), (1,))
        with pytest.raises(TypeError):
            t._reshape_list([1.0], [1])

    def test_tensor_function_device(self):
        assert zel.tensor([1.0, 2.0], device="cpu").device.type == "cpu"
        assert zel.tensor([1.0]).device.type == zel._DEVICE


class TestProperties:
    def test_shape_queries(self):
        t = Tensor([[1, 2], [3, 4]])
        assert t.shape == (2, 2) and t.ndim == 2 and t.dim() == 2 and t.numel == 4
        assert t.size() == (2, 2) and t.size(1) == 2 and t.size(-1) == 2 and len(t) == 2
        assert t.dtype == "float32"
        with pytest.raises(IndexError):
            t.size(2)
        with pytest.raises(TypeError):
            t.numel()

    def test_printing(self):
        assert repr(Tensor([[1, 2], [3, 4]])) == "tensor([1.0, 2.0, 3.0, 4.0])"
        assert repr(Tensor(0.1) + Tensor(0.2)) == "tensor(0.3)"
        assert repr(Tensor(list(range(11)))) == "tensor(shape=(11,), device=cpu)"
        assert repr(Tensor(list(range(10)))).startswith("tensor([0.0, 1.0")

    def test_conversions(self):
        t = Tensor(2.5)
        assert t.item() == 2.5 and t.tolist() == 2.5
        assert isinstance(t.numpy(), np.float64) and t.numpy() == 2.5
        with pytest.raises(TypeError, match="len\\(\\) of a 0-d tensor"):
            len(t)
        with pytest.raises(ValueError, match="item\\(\\) only works on single-element tensors"):
            Tensor([1.0, 2.0]).item()
        assert Tensor([1.0, 2.0]).value() == 1.0
        assert Tensor([]).numpy().shape == (0,)
        with pytest.raises(IndexError):
            Tensor([]).value()
        assert Tensor([[1, 2]]).numpy().shape == (1, 2)

    def test_non_finite_collapse(self):
        t = zel.Tensor(float("inf")) * 2
        assert t._data[0, 0].item() == math.inf and t.item() == math.inf
        rows = torch.tensor([[math.inf, math.nan] + [0.0] * 6, [math.nan] + [0.0] * 7,
                             [1.0, 1e-20] + [0.0] * 6], dtype=torch.float64)
        c = Tensor()._collapse_limbs(rows)
        assert c[0].item() == math.inf and math.isnan(c[1].item()) and c[2].item() == 1.0
        assert tuple(Tensor()._collapse_limbs(torch.zeros(0, 8, dtype=torch.float64)).shape) == (0,)

    def test_copies_are_independent(self):
        t = Tensor([1.0, 2.0])
        for u in (t.clone(), t.detach(), t.float(), +t):
            assert u is not t
            u._data[0, 0] = 5.0
            assert t.tolist() == [1.0, 2.0]

    def test_to_cpu(self):
        t = Tensor([1.0, 2.0]) * Tensor(0.1)
        u = t.to("cpu")
        assert u.device.type == "cpu" and u.shape == t.shape and u.sha256() == t.sha256()
        assert t.cpu().device.type == "cpu"
        # a dtype argument is accepted and ignored: storage stays float64
        assert t.to(torch.float32)._data.dtype == torch.float64


class TestLimbExport:
    def test_round_trips(self):
        x = zel.tensor([[0.1, 0.2, 0.3], [1e16, 1.0, -1e16]]) * zel.Tensor(0.3)
        for limbs in (x.numpy_limbs(), x.torch_limbs()):
            assert limbs.shape == (2, 3, 8)
            y = zel.from_limbs(limbs)
            assert y.shape == (2, 3) and y.sha256() == x.sha256()

    def test_zero_d(self):
        x = zel.Tensor(0.5)
        assert x.numpy_limbs().shape == (8,) and tuple(x.torch_limbs().shape) == (8,)
        assert zel.from_limbs(np.arange(8.0)).shape == ()

    def test_from_limbs_errors(self):
        assert zel.from_limbs(np.zeros((2, 3, 8))).shape == (2, 3)
        with pytest.raises(ValueError) as info:
            zel.from_limbs(np.zeros((2, 7)))
        assert str(info.value) == "Last dimension must be 8, got 7"
        with pytest.raises(TypeError) as info:
            zel.from_limbs([0.0] * 8)
        assert str(info.value) == "from_limbs expects numpy array or torch tensor, got " + str(list)
        with pytest.raises(IndexError):
            zel.from_limbs(np.array(1.0))
        assert zel.from_limbs(np.zeros((3, 8), dtype=np.float32))._data.dtype == torch.float64

    def test_digests(self):
        x = zel.tensor([1.0, 2.0, 3.0, 4.0])
        d = x.sha256()
        assert len(d) == 64 and d == d.lower() and x.fingerprint() == d[:8]
        assert x.verify(d) and not x.verify(d.upper())
        with pytest.raises(TypeError):
            x.verify(None)
        a = zel.from_limbs(np.array([1.0, 1e-20] + [0.0] * 6))
        b = zel.from_limbs(np.array([1.0] + [0.0] * 7))
        assert a.item() == b.item() and a.sha256() != b.sha256()
        assert zel.Tensor(0.0).sha256() != zel.Tensor(-0.0).sha256()
        import hashlib
        assert d == hashlib.sha256(x._data.numpy().tobytes()).hexdigest()

    def test_numpy_limbs_share_memory_on_cpu(self):
        x = zel.tensor([1.0, 2.0], device="cpu")
        x.numpy_limbs()[0, 0] = 7.0
        assert x.tolist() == [7.0, 2.0]
