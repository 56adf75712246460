"""Factories, random tensors and generator state.

Factory values must be PyTorch's own float64 values, in limb 0 with the
lower limbs zero; random tensors must be the numbers PyTorch's generator
gives for one flat draw.
"""
import pytest
import torch

from varnel.zel import zel

Tensor = zel.Tensor


@pytest.fixture(autouse=True)
def keep_global_state():
    state = torch.get_rng_state()
    flags = torch.backends.cudnn.deterministic, torch.backends.cudnn.benchmark
    yield
    torch.set_rng_state(state)
    torch.backends.cudnn.deterministic, torch.backends.cudnn.benchmark = flags


def assert_leading(t, values, shape):
    """t has `shape`, limb 0 equal (bit for bit) to the float64 `values`, the other limbs zero."""
    assert t.shape == shape
    data = t._data.cpu()
    assert tuple(data.shape) == (len(values), 8)
    assert torch.equal(data[:, 0], torch.as_tensor(values, dtype=torch.float64))
    assert not data[:, 1:].any()


class TestZerosOnes:
    def test_size_forms(self):
        for t in (zel.zeros(2, 3), zel.zeros((2, 3)), zel.zeros([2, 3]), zel.zeros(torch.Size([2, 3]))):
            assert type(t._shape) is tuple
            assert_leading(t, [0.0] * 6, (2, 3))
        assert_leading(zel.ones(3), [1.0] * 3, (3,))
        assert_leading(zel.ones([2, 1, 2]), [1.0] * 4, (2, 1, 2))

    def test_empty_and_zero_dim(self):
        assert_leading(zel.zeros(), [0.0], ())
        assert_leading(zel.ones(), [1.0], ())
        assert_leading(zel.zeros(0), [], (0,))
        assert_leading(zel.ones(2, 0), [], (2, 0))

    def test_dtype_ignored_device_used(self):
        for d in (None, torch.float32, "float32", zel.float64, torch.int64):
            assert_leading(zel.zeros(2, dtype=d), [0.0, 0.0], (2,))
        assert zel.zeros(2, device="cpu").device.type == "cpu"
        assert zel.ones(2, device=torch.device("cpu")).device.type == "cpu"
        assert zel.zeros(2, device="").device.type == zel._DEVICE
        with pytest.raises(RuntimeError):
            zel.zeros(2, device="nonsense")

    def test_bad_sizes_raise_without_allocating(self):
        with pytest.raises(RuntimeError) as info:
            zel.zeros(2, -1)
        assert "Trying to create tensor with negative dimension -1: [2, -1]" in str(info.value)
        for f in (zel.zeros, zel.ones, zel.rand, zel.randn):
            with pytest.raises(RuntimeError):
                f(-2, -3)  # the product is positive: each size is checked
            with pytest.raises(RuntimeError, match="memory"):
                f(10 ** 10)
            with pytest.raises(RuntimeError):
                f(2 ** 40, 2 ** 40)
            with pytest.raises(RuntimeError):
                f(2 ** 64)
            for bad in ((2.0,), ("3",), (None,), ([2, 3], 1), ((2, 2.5),)):
                with pytest.raises(TypeError):
                    f(*bad)


class TestRanges:
    @pytest.mark.parametrize("args", [(5,), (1, 2, 0.25), (0, 1, 0.1), (10, 0, -3), (-2.5, 3.75, 0.5),
                                      (0, 1e-3, 1e-5), (3, 3), (1e15, 1e15 + 40, 3), (0.0, 1, 1.0 / 3), (True,)])
    def test_arange_is_pytorch_float64(self, args):
        expected = torch.arange(*args, dtype=torch.float64)
        assert_leading(zel.arange(*args), expected, (expected.numel(),))

    def test_arange_defined_values(self):
        assert zel.arange(5).tolist() == [0.0, 1.0, 2.0, 3.0, 4.0]
        assert zel.arange(1, 2, 0.25).tolist() == [1.0, 1.25, 1.5, 1.75]
        assert zel.arange(start=2, end=4, step=1, dtype="x", device="cpu").tolist() == [2.0, 3.0]

    def test_arange_errors(self):
        for args in ((0, 1, 0), (0, 10, -1), (0, float("nan")), (0, float("inf"))):
            with pytest.raises(RuntimeError):
                zel.arange(*args)
        with pytest.raises(RuntimeError, match="memory"):
            zel.arange(0, 1e15)
        with pytest.raises(RuntimeError):
            zel.arange(0, 1e300, 1e-300)
        for args in (("5",), (None,), (0, [1])):
            with pytest.raises(TypeError):
                zel.arange(*args)
        with pytest.raises(TypeError):
            zel.arange()

    @pytest.mark.parametrize("args", [(0, 1, 3), (0, 1, 1), (0, 1, 0), (-3.5, 7.25, 11), (1, 0, 6), (0, 1, 1001),
                                      (1e-300, 1e300, 7)])
    def test_linspace_is_pytorch_float64(self, args):
        expected = torch.linspace(*args, dtype=torch.float64)
        assert_leading(zel.linspace(*args), expected, (expected.numel(),))

    def test_linspace_errors(self):
        with pytest.raises(RuntimeError):
            zel.linspace(0, 1, -1)
        with pytest.raises(RuntimeError, match="memory"):
            zel.linspace(0, 1, 10 ** 13)
        with pytest.raises(TypeError):
            zel.linspace(0, 1, 2.5)
        with pytest.raises(TypeError):
            zel.linspace(0, 1)
        with pytest.raises(TypeError):
            zel.linspace("a", 1, 2)


class TestEye:
    def test_defined_cases(self):
        t = zel.eye(3)
        assert t.shape == (3, 3)
        assert [i for i, x in enumerate(t._data[:, 0].tolist()) if x] == [0, 4, 8]
        assert not t._data[:, 1:].any()
        t = zel.eye(2, 3)
        assert t.shape == (2, 3) and [i for i, x in enumerate(t._data[:, 0].tolist()) if x] == [0, 4]
        for m in (0, False, None):
            assert zel.eye(3, m).shape == (3, 3)

    @pytest.mark.parametrize("n,m", [(1, 1), (4, 2), (2, 5), (0, 3), (0, 0)])
    def test_matches_pytorch(self, n, m):
        expected = torch.eye(n, m, dtype=torch.float64).reshape(-1)
        assert_leading(zel.eye(n, m), expected, (n, m))

    def test_errors(self):
        with pytest.raises(RuntimeError):
            zel.eye(-1)
        with pytest.raises(RuntimeError):
            zel.eye(2, -3)
        with pytest.raises(RuntimeError, match="memory"):
            zel.eye(10 ** 6)
        with pytest.raises(RuntimeError):
            zel.eye(2 ** 62, 2 ** 62)
        with pytest.raises(TypeError):
            zel.eye(2.0)
        with pytest.raises(TypeError):
            zel.eye()


class TestRandom:
    def test_seed_gives_identical_limbs_and_digests(self):
        zel.manual_seed(42)
        a = zel.randn(10, 10)
        zel.manual_seed(42)
        b = zel.randn(10, 10)
        assert torch.equal(a._data, b._data) and a.sha256() == b.sha256()

    @pytest.mark.parametrize("name", ["rand", "randn"])
    def test_one_flat_draw_from_pytorch(self, name):
        f, ref = getattr(zel, name), getattr(torch, name)
        zel.manual_seed(7)
        a = f(2, 3)
        zel.manual_seed(7)
        b = f(6)
        torch.manual_seed(7)
        expected = ref(6, dtype=torch.float64)
        assert_leading(a, expected, (2, 3))
        assert_leading(b, expected, (6,))
        zel.manual_seed(7)
        assert_leading(f((3, 2), dtype="float32", device="cpu"), expected, (3, 2))

    def test_shapes_and_range(self):
        assert zel.rand().shape == () and tuple(zel.rand()._data.shape) == (1, 8)
        assert zel.rand(0).shape == (0,) and tuple(zel.rand(0)._data.shape) == (0, 8)
        t = zel.rand(1000)
        leading = t._data[:, 0]
        assert not t._data[:, 1:].any()
        assert bool((leading >= 0).all() and (leading < 1).all()) and len(set(leading.tolist())) == 1000

    def test_state_round_trip(self):
        s = zel.get_rng_state()
        assert type(s) is dict and torch.equal(s["cpu"], torch.get_rng_state())
        assert ("cuda" in s) == torch.cuda.is_available()
        a = zel.rand(5)
        zel.set_rng_state(s)
        b = zel.rand(5)
        assert a.sha256() == b.sha256()
        zel.set_rng_state({"cpu": s["cpu"], "cuda": "ignored without CUDA"} if not torch.cuda.is_available() else s)
        assert zel.rand(5).sha256() == a.sha256()

    def test_manual_seed_argument_rules(self):
        zel.manual_seed(42.9)
        a = zel.rand(3)
        zel.manual_seed(42)
        assert zel.rand(3).sha256() == a.sha256()
        zel.manual_seed(True)
        with pytest.raises(TypeError) as info:
            zel.manual_seed("42")
        assert str(info.value) == "Argument 'seed' has incorrect type (expected int, got str)"
        with pytest.raises(TypeError) as info:
            zel.manual_seed(None)
        assert str(info.value) == "Argument 'seed' has incorrect type (expected int, got NoneType)"
        with pytest.raises(ValueError):
            zel.manual_seed(float("nan"))
        # PyTorch's own range check (RuntimeError in 1.13, ValueError in 2.x).
        with pytest.raises((RuntimeError, ValueError)) as theirs:
            torch.manual_seed(2 ** 70)
        with pytest.raises(type(theirs.value)):
            zel.manual_seed(2 ** 70)

    def test_manual_seed_sets_cudnn_flags(self):
        torch.backends.cudnn.deterministic = False
        torch.backends.cudnn.benchmark = True
        assert zel.manual_seed(1) is None
        assert torch.backends.cudnn.deterministic is True and torch.backends.cudnn.benchmark is False

    def test_set_rng_state_argument_rules(self):
        with pytest.raises(TypeError) as info:
            zel.set_rng_state([torch.get_rng_state()])
        assert str(info.value) == "Argument 'state' has incorrect type (expected dict, got list)"
        with pytest.raises(KeyError):
            zel.set_rng_state({})
        with pytest.raises((TypeError, RuntimeError)):
            zel.set_rng_state({"cpu": "not a state"})
        with pytest.raises((TypeError, RuntimeError)):
            zel.set_rng_state({"cpu": torch.zeros(3, dtype=torch.uint8)})


def test_docstrings():
    docs = {"zeros": "Create tensor of zeros.", "ones": "Create tensor of ones.",
            "arange": "Create tensor with evenly spaced values.",
            "linspace": "Create tensor with linearly spaced values.", "eye": "Create identity matrix.",
            "rand": "Create tensor with random uniform [0,1) values.",
            "randn": "Create tensor with random normal values.",
            "get_rng_state": "Get current RNG state for later restoration.",
            "set_rng_state": "Restore RNG state from get_rng_state().",
            "reshape": "Reshape tensor.", "squeeze": "Remove dimensions of size 1.",
            "unsqueeze": "Add dimension of size 1.", "transpose": "Transpose two dimensions.",
            "permute": "Permute tensor dimensions.", "cat": "Concatenate tensors along dimension.",
            "stack": "Stack tensors along new dimension.", "split": "Split tensor into chunks.",
            "chunk": "Split tensor into number of chunks.", "repeat": "Repeat tensor along dimensions."}
    for name, doc in docs.items():
        assert getattr(zel, name).__doc__.strip().endswith(doc), name
    seed_doc = zel.manual_seed.__doc__
    assert "Set random seed for reproducible results." in seed_doc
    assert "Sets both CPU and CUDA seeds for deterministic behavior." in seed_doc
    assert "zel.manual_seed(42)" in seed_doc and "# Guaranteed identical" in seed_doc
    members = {"reshape": "Reshape tensor.", "flatten": "Flatten dimensions.",
               "squeeze": "Remove dimensions of size 1.", "unsqueeze": "Add dimension of size 1.",
               "expand": "Expand tensor to new shape.", "transpose": "Transpose two dimensions.",
               "__getitem__": "Index into tensor.", "__setitem__": "Set values in tensor."}
    for name, doc in members.items():
        assert getattr(Tensor, name).__doc__.strip().endswith(doc), name
    assert Tensor.T.__doc__.strip() == "Matrix transpose."
