"""PyTorch's constants and dtype names, the default dtype, and the conversions
from_numpy and as_tensor. Storage is float64 whatever a dtype says.

varnel.zel.zel calls install() on itself when it loads; every name becomes
a plain attribute of that module (none joins __all__).
"""
import math

import torch

# Strings, as the defined float32/float64 are.
_DTYPE_NAMES = {"double": "float64", "float": "float32", "int64": "int64", "long": "int64",
                "int32": "int32", "bool": "bool"}
_FLOATING = ("float32", "float64", torch.float32, torch.float64, float)


def install(zel):
    """Adds the names to varnel.zel.zel (called once, from its initialisation)."""
    zel.pi, zel.e, zel.inf, zel.nan = math.pi, math.e, math.inf, math.nan
    for name, value in _DTYPE_NAMES.items():
        setattr(zel, name, value)
    default = ["float32"]

    def get_default_dtype():
        """The dtype name last set (float32 at first); storage is float64 whatever it says."""
        return default[0]

    def set_default_dtype(d):
        """Accepts float32 or float64 (names or torch dtypes); storage is float64 whatever is set."""
        if not any(d is f or (isinstance(f, str) and d == f) for f in _FLOATING):
            raise TypeError("set_default_dtype(): only floating-point types are supported as the default type, "
                            "got %r" % (d,))
        default[0] = "float64" if d in ("float64", torch.float64, float) else "float32"

    def from_numpy(ndarray):
        """A Tensor with the values of a NumPy array. It copies: no memory is shared."""
        import numpy
        if not isinstance(ndarray, numpy.ndarray):
            raise TypeError("from_numpy(): expected np.ndarray (got %s)" % type(ndarray).__name__)
        return zel.tensor(ndarray)

    def as_tensor(data, dtype=None, device=None):
        """A Tensor as is (on its device), else a copy of the data's values."""
        if isinstance(data, zel.Tensor) and (device is None or torch.device(device) == data.device):
            data.contiguous()  # validates the limb array: a Tensor is returned only when well formed
            return data
        return zel.tensor(data, dtype=dtype, device=device)

    for fn in (get_default_dtype, set_default_dtype, from_numpy, as_tensor):
        fn.__module__ = zel.__name__
        setattr(zel, fn.__name__, fn)
