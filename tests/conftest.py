import struct

import pytest
import torch

from varnel.zel import zel


def limbs_of(t):
    """The 8 limbs of every element as a list of lists of floats."""
    return t._data.cpu().tolist()


def bits(x):
    return struct.pack("<d", x)


def same_bits(a, b):
    """Bitwise equality of two float lists (so -0.0 != 0.0 and nan == nan)."""
    return len(a) == len(b) and all(bits(x) == bits(y) for x, y in zip(a, b))


def from_rows(rows, shape=None):
    """A Tensor with the given limb rows (lower limbs included)."""
    data = torch.tensor(rows, dtype=torch.float64)
    return zel.Tensor(_raw=data, _shape=tuple(shape) if shape is not None else (len(rows),))


@pytest.fixture
def Z():
    return zel
