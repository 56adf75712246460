import os
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


# ZEL_TEST_REQUIRES_GRAD=1 makes the exact-limb inputs of the bit-exact
# reference tests require grad (test_autograd runs them so): recording a
# graph must not change a forward byte.
INPUTS_REQUIRE_GRAD = os.environ.get("ZEL_TEST_REQUIRES_GRAD") == "1"


def from_rows(rows, shape=None):
    """A Tensor with the given limb rows (lower limbs included)."""
    data = torch.tensor(rows, dtype=torch.float64).reshape(len(rows), 8)
    t = zel.Tensor(_raw=data, _shape=tuple(shape) if shape is not None else (len(rows),))
    return t.requires_grad_() if INPUTS_REQUIRE_GRAD else t


@pytest.fixture
def Z():
    return zel


def random_rows(rng, n, spread=30, lower=True):
    """n random 8-limb elements; with `lower`, limbs 1..3 hold genuine
    lower-order parts (as arithmetic leaves them)."""
    rows = []
    for _ in range(n):
        x = rng.uniform(-1, 1) * 2.0 ** rng.randint(-spread, spread)
        row = [x] + [0.0] * 7
        if lower and x != 0.0:
            for k in range(1, 4):
                row[k] = rng.uniform(-1, 1) * abs(x) * 2.0 ** (-53 * k)
        rows.append(row)
    return rows


def same_rows(got, want):
    """Bitwise equality of lists of limb rows, NaNs of either sign equal."""
    import math

    def norm(v):
        return "nan" if math.isnan(v) else bits(v)

    return len(got) == len(want) and all(
        [norm(x) for x in g] == [norm(x) for x in w] for g, w in zip(got, want))
