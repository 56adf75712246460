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


class finfo:
    """The element of this library: a float64 range with the precision of the
    limb arithmetic. eps is the relative error that + - * / and sqrt stay
    within (the worst measured on operands of full precision is 2^-103.3;
    2^-100 is what is promised); the range is float64's."""

    bits = 8 * 64  # eight float64 limbs
    eps = 2.0 ** -100
    resolution = 1e-30  # 10 ** -floor(100 log10 2)
    max = 1.7976931348623157e308
    min = -1.7976931348623157e308
    tiny = smallest_normal = 2.2250738585072014e-308
    dtype = "float64"

    def __init__(self, type=None):
        if type is not None and not any(type is f or (isinstance(f, str) and type == f) for f in _FLOATING):
            raise TypeError("finfo(): type must be a floating-point type, got %r" % (type,))

    def __repr__(self):
        return ("finfo(resolution=%g, min=%g, max=%g, eps=%g, smallest_normal=%g, tiny=%g, dtype=%s)"
                % (self.resolution, self.min, self.max, self.eps, self.smallest_normal, self.tiny, self.dtype))


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

    def iinfo(type):
        """PyTorch's integer limits: integer results here are PyTorch tensors."""
        return torch.iinfo(getattr(torch, type) if isinstance(type, str) else type)

    def is_floating_point(self):
        """True for real tensors: every element is a float (eight float64 limbs)."""
        if not isinstance(self, zel.Tensor):
            raise TypeError("is_floating_point(): argument 'input' must be Tensor, not %s" % type(self).__name__)
        return not self._is_complex()

    def is_complex(self):
        """Whether the elements are complex (two expansions each, real and imaginary)."""
        if not isinstance(self, zel.Tensor):
            raise TypeError("is_complex(): argument 'input' must be Tensor, not %s" % type(self).__name__)
        return self._is_complex()

    def torch_dtype(op, name, d):
        """The torch dtype a dtype name of this module (or a torch dtype, or float/int/bool) stands for."""
        if isinstance(d, torch.dtype):
            return d
        if d is float:
            return torch.float64
        if d is int:
            return torch.int64
        if d is bool:
            return torch.bool
        if isinstance(d, str) and isinstance(getattr(torch, d, None), torch.dtype):
            return getattr(torch, d)
        raise TypeError("%s(): argument '%s' must be torch.dtype, not %s" % (op, name, type(d).__name__))

    def named(d, like):
        # A dtype name in, a dtype name out: the module's dtypes are strings.
        return str(d).replace("torch.", "") if any(isinstance(v, str) for v in like) else d

    def operand(op, name, v):
        if isinstance(v, zel.Tensor):
            # A Tensor's own dtype (its name says float32 or float64; the limbs are the same).
            return torch.empty((0,) * min(v.dim(), 1), dtype=torch_dtype(op, name, v.dtype))
        if isinstance(v, torch.Tensor) or (isinstance(v, (bool, int, float, complex))):
            return v
        raise TypeError("%s(): argument '%s' must be Tensor or Number, not %s" % (op, name, type(v).__name__))

    def result_type(tensor1, tensor2):
        """PyTorch's promotion of the two operands; a Tensor of this library counts as its dtype name."""
        d = torch.result_type(operand("result_type", "tensor1", tensor1), operand("result_type", "tensor2", tensor2))
        if isinstance(tensor1, zel.Tensor) or isinstance(tensor2, zel.Tensor):
            return str(d).replace("torch.", "")
        return d

    def promote_types(type1, type2):
        """PyTorch's promotion of two dtypes (names in, a name out)."""
        d = torch.promote_types(torch_dtype("promote_types", "type1", type1),
                                torch_dtype("promote_types", "type2", type2))
        return named(d, (type1, type2))

    def can_cast(from_, to):
        """Whether PyTorch's casting rules allow from_ to to."""
        return torch.can_cast(torch_dtype("can_cast", "from_", from_), torch_dtype("can_cast", "to", to))

    zel.finfo = finfo
    finfo.__module__ = zel.__name__
    for fn in (is_floating_point, is_complex):
        fn.__module__ = zel.__name__
        setattr(zel, fn.__name__, fn)
        setattr(zel.Tensor, fn.__name__, fn)
    for fn in (get_default_dtype, set_default_dtype, from_numpy, as_tensor, iinfo, result_type, promote_types,
               can_cast):
        fn.__module__ = zel.__name__
        setattr(zel, fn.__name__, fn)
