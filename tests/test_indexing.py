"""Basic indexing: reading and writing selections of whole 8-limb elements.

Random index expressions are checked against PyTorch indexing every limb
column of the same (*shape, 8) array.
"""
import math
import random

import numpy as np
import pytest
import torch

from varnel.zel import zel

Tensor = zel.Tensor
SCALES = 2.0 ** (-53.0 * torch.arange(8, dtype=torch.float64))
Z7 = [0.0] * 7


def limb_tensor(shape, gen):
    """A Tensor of `shape` with distinct non-zero limbs, and those limbs as a (*shape, 8) array."""
    limbs = torch.randn(*shape, 8, generator=gen, dtype=torch.float64) * SCALES
    return zel.from_limbs(limbs.clone()), limbs


def assert_limbs(result, expected):
    got = result.torch_limbs()
    assert tuple(got.shape) == tuple(expected.shape)
    assert result.shape == tuple(expected.shape[:-1])
    assert torch.equal(got, expected)


def torch_index(idx, shape):
    """The same selection for PyTorch, which has no negative steps: a reversed
    slice (only generated for 1-D tensors) becomes the list of its positions."""
    items = idx if isinstance(idx, tuple) else (idx,)
    out = []
    for it in items:
        if isinstance(it, slice) and it.step is not None and it.step < 0:
            out.append(torch.tensor(list(range(*it.indices(shape[0]))), dtype=torch.long))
        else:
            out.append(it)
    return tuple(out)


def random_entry(size, rng, reverse_ok):
    if rng.random() < 0.4 and size > 0:
        return rng.randrange(-size, size)
    bound = lambda: rng.choice([None, rng.randint(-size - 2, size + 2)])
    step = rng.choice([None, 1, 2, 3])
    if reverse_ok and rng.random() < 0.4:
        step = rng.choice([-1, -2, -3])
    return slice(bound(), bound(), step)


def random_index(shape, rng):
    nd = len(shape)
    reverse_ok = nd == 1
    prefix = rng.randint(0, nd)
    items = [random_entry(shape[d], rng, reverse_ok) for d in range(prefix)]
    if rng.random() < 0.4:
        suffix = rng.randint(0, nd - prefix)
        items.append(Ellipsis)
        items += [random_entry(shape[d], rng, reverse_ok) for d in range(nd - suffix, nd)]
    for _ in range(rng.choice([0, 0, 1, 2])):
        items.insert(rng.randint(0, len(items)), None)
    if len(items) == 1 and rng.random() < 0.5:
        return items[0]
    return tuple(items)


def random_shape(rng):
    return tuple(rng.randint(0 if rng.random() < 0.1 else 1, 4) for _ in range(rng.randint(0, 4)))


@pytest.fixture
def gen():
    return torch.Generator().manual_seed(99)


class TestGetItem:
    def test_defined_cases(self, gen):
        v = Tensor([10.0, 20.0, 30.0])
        assert v[1].shape == () and v[1].item() == 20.0
        assert v[-1].item() == 30.0
        m, L = limb_tensor((3, 4), gen)
        assert_limbs(m[1], L[1])
        w = Tensor([1.0, 2.0, 3.0, 4.0, 5.0])
        assert w[::2].shape == (3,) and w[::2].tolist() == [1.0, 3.0, 5.0]
        assert w[::-1].tolist() == [5.0, 4.0, 3.0, 2.0, 1.0]

    def test_multi_axis_indices_select_elements(self, gen):
        m, L = limb_tensor((2, 3), gen)
        assert_limbs(m[0, 1], L[0, 1])
        assert_limbs(m[0:2], L)
        assert_limbs(m[:, 1], L[:, 1])
        assert_limbs(m[1:, ::2], L[1:, ::2])
        assert_limbs(m[..., -1], L[..., -1, :])
        assert_limbs(m[None, :, None], L[None, :, None])

    def test_matches_pytorch_for_random_indices(self, gen):
        rng = random.Random(2024)
        for _ in range(400):
            shape = random_shape(rng)
            t, L = limb_tensor(shape, gen)
            idx = random_index(shape, rng)
            expected = torch.stack([L[..., k][torch_index(idx, shape)] for k in range(8)], dim=-1)
            assert_limbs(t[idx], expected)

    def test_reversed_slices_follow_python_lists(self, gen):
        v, L = limb_tensor((7,), gen)
        rows = L.tolist()
        for s in (slice(None, None, -1), slice(5, 1, -2), slice(-2, None, -3), slice(10, -10, -1),
                  slice(2, 5, -1), slice(None, None, -(2 ** 62)), slice(2 ** 62, -(2 ** 62), -1)):
            assert v[s].torch_limbs().tolist() == rows[s] or (v[s].shape == (0,) and rows[s] == [])

    def test_zero_dim_tensor(self, gen):
        s, L = limb_tensor((), gen)
        assert_limbs(s[()], L)
        assert_limbs(s[...], L)
        assert_limbs(s[None], L[None])
        with pytest.raises(IndexError):
            s[0]
        with pytest.raises(IndexError):
            s[-1]

    def test_results_are_copies(self, gen):
        m, L = limb_tensor((3, 2), gen)
        row = m[1]
        row[0] = 5.0
        part = m[::2]
        part[...] = 0.0
        assert torch.equal(m.torch_limbs(), L)

    def test_iteration_stops_at_the_end(self):
        v = Tensor([1.0, 2.0, 3.0])
        assert [x.item() for x in v] == [1.0, 2.0, 3.0]
        m = Tensor([[1.0, 2.0], [3.0, 4.0]])
        assert [r.tolist() for r in m] == [[1.0, 2.0], [3.0, 4.0]]

    def test_bad_indices_raise(self):
        m = Tensor([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]])
        for idx in (2, -3, 2 ** 63, -(2 ** 80), (0, 3), (1, -4)):
            with pytest.raises(IndexError):
                m[idx]
        with pytest.raises(IndexError, match="too many indices"):
            m[0, 0, 0]
        with pytest.raises(IndexError, match="single ellipsis"):
            m[..., ...]
        with pytest.raises(ValueError, match="step must be greater than zero"):
            m[::-1]
        with pytest.raises(ValueError, match="slice step cannot be zero"):
            m[::0]
        for idx in (1.0, "0", b"0", {0: 1}, {0}, ((0,),), 1j, slice(0.5, 2), (0, "a")):
            with pytest.raises(TypeError):
                m[idx]
        # Masks, index tensors and lists are advanced indexing, as in PyTorch.
        L = m.torch_limbs()
        for idx in (True, False, [0], [True, False], torch.tensor(0), torch.tensor([0, 1]), np.array([0]),
                    Tensor(0.0), (0, [1])):
            want = L[idx if isinstance(idx, tuple) else (idx,)] if not isinstance(idx, Tensor) else L[0]
            assert torch.equal(m[idx].torch_limbs(), want)

    def test_integer_like_indices(self):
        v = Tensor([1.0, 2.0, 3.0])
        assert v[np.int64(2)].item() == 3.0
        assert v[np.int32(-3)].item() == 1.0
        assert v[slice(np.int64(1), None)].tolist() == [2.0, 3.0]


class TestSetItem:
    def test_defined_cases(self, gen):
        v, L = limb_tensor((3,), gen)
        v[1] = 2.5
        assert v.torch_limbs()[1].tolist() == [2.5] + Z7
        assert torch.equal(v.torch_limbs()[0], L[0]) and torch.equal(v.torch_limbs()[2], L[2])
        t, Lt = limb_tensor((), gen)
        v[1] = t
        assert torch.equal(v.torch_limbs()[1], Lt)
        v[0] = True
        assert v.torch_limbs()[0].tolist() == [1.0] + Z7

    def test_selections_receive_broadcast_values(self, gen):
        m, L = limb_tensor((2, 3), gen)
        m[:, 1] = -1.0
        L[:, 1] = torch.tensor([-1.0] + Z7, dtype=torch.float64)
        assert_limbs(m, L)
        row, Lr = limb_tensor((3,), gen)
        m[...] = row
        assert_limbs(m, Lr.expand(2, 3, 8))
        col, Lc = limb_tensor((2, 1), gen)
        m[:] = col
        assert_limbs(m, Lc.expand(2, 3, 8))
        extra, Le = limb_tensor((1, 1, 3), gen)
        m[1] = extra  # leading size-1 axes of the value drop out, as in PyTorch
        L = Lc.expand(2, 3, 8).clone()
        L[1] = Le[0, 0]
        assert_limbs(m, L)

    def test_matches_pytorch_for_random_indices(self, gen):
        rng = random.Random(77)
        for _ in range(300):
            shape = random_shape(rng)
            t, L = limb_tensor(shape, gen)
            idx = random_index(shape, rng)
            tidx = torch_index(idx, shape)
            sel = tuple(L[..., 0][tidx].shape)
            expected = L.clone()
            if rng.random() < 0.3:
                x = rng.uniform(-10, 10)
                t[idx] = x
                for k in range(8):
                    col = expected[..., k]
                    col[tidx] = x if k == 0 else 0.0
            else:
                vshape = tuple(1 if rng.random() < 0.3 else s for s in sel[rng.randint(0, len(sel)):])
                if rng.random() < 0.2:
                    vshape = (1,) + vshape
                value, Lv = limb_tensor(vshape, gen)
                t[idx] = value
                for k in range(8):
                    col = expected[..., k]
                    col[tidx] = Lv[..., k]
            assert_limbs(t, expected)

    def test_overlapping_source_is_read_before_writing(self):
        v = Tensor([1.0, 2.0, 3.0, 4.0])
        v[1:] = v[:-1]
        assert v.tolist() == [1.0, 1.0, 2.0, 3.0]
        w = Tensor([1.0, 2.0, 3.0, 4.0])
        alias = Tensor(_raw=w._data[:2], _shape=(2,))
        w[2:] = alias
        assert w.tolist() == [1.0, 2.0, 1.0, 2.0]
        r = Tensor([1.0, 2.0, 3.0])
        r[::-1] = r
        assert r.tolist() == [3.0, 2.0, 1.0]

    def test_writes_through_to_strided_limb_arrays(self):
        base = torch.zeros(8, 3, dtype=torch.float64)
        t = Tensor(_raw=base.t(), _shape=(3,))  # a transposed (3, 8) view
        t[1] = 7.0
        assert base[0].tolist() == [0.0, 7.0, 0.0] and not base[1:].any()

    def test_bad_assignments_raise(self, gen):
        m, L = limb_tensor((2, 3), gen)
        with pytest.raises(ValueError, match=r"shape \(2,\) cannot be broadcast to indexing result of shape \(3,\)"):
            m[0] = Tensor([1.0, 2.0])
        with pytest.raises(ValueError):
            m[0] = Tensor([[1.0, 2.0, 3.0], [1.0, 2.0, 3.0]])
        with pytest.raises(AttributeError, match="'str' object has no attribute '_data'"):
            m[0] = "a"
        for value in (None, [1.0, 2.0, 3.0], torch.zeros(3)):
            with pytest.raises(AttributeError):
                m[0] = value
        for idx in (2, 2 ** 64, 1.5, [2], torch.tensor([True])):
            with pytest.raises((IndexError, TypeError)):
                m[idx] = 1.0
        with pytest.raises(OverflowError):
            m[0] = 10 ** 400
        assert torch.equal(m.torch_limbs(), L)
        # Index lists and masks assign, as in PyTorch.
        m[[1]] = 1.0
        m[True] = m[True]
        L[1] = torch.tensor([1.0] + Z7, dtype=torch.float64)
        assert torch.equal(m.torch_limbs(), L)

    def test_flat_row_positions_are_not_indices(self):
        m = Tensor([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]])
        with pytest.raises(IndexError):
            m[5] = 1.0
        m[1, 2] = 1.0
        assert m.tolist() == [[1.0, 2.0, 3.0], [4.0, 5.0, 1.0]]
