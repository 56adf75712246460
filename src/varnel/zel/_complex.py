"""Complex tensors (dtype "complex128"): each element two expansions, real
and imaginary, stored as the rows of a real tensor of shape (*shape, 2). What
a complex tensor does beyond its compiled kernels is done here, on that real
view."""
import builtins

import numpy as np


class _Library:
    """Stands for varnel.zel.zel until install() runs."""

    def __getattr__(self, name):
        from varnel.zel import zel
        return getattr(zel, name)


_zel = _Library()  # install() puts the module itself here


def _parts(z):
    """float64 (real, imaginary) arrays of z's elements, in z's shape."""
    r = _zel._view_as_real(z).numpy()
    return r[..., 0], r[..., 1]


def numpy(z):
    """The elements as a NumPy complex128 array (float64 parts; the lower limbs are dropped)."""
    re, im = _parts(z)
    out = np.empty(np.shape(re), dtype=np.complex128)
    out.real, out.imag = re, im
    return out[()] if out.ndim == 0 else out


def item(z):
    """The one element as a Python complex."""
    if z.numel != 1:
        raise ValueError("item() only works on single-element tensors")
    return builtins.complex(numpy(z).reshape(-1)[0])


def tolist(z):
    """Nested lists of Python complex numbers (a complex for a 0-d tensor)."""
    a = numpy(z)
    return builtins.complex(a) if np.ndim(a) == 0 else a.tolist()


def _format(c):
    return "%s%s%sj" % (format(c.real, ".6g"), "+" if c.imag >= 0 or c.imag != c.imag else "-",
                        format(abs(c.imag), ".6g"))


def repr(z):
    """tensor([a+bj, ...]) for up to 10 elements, shape and device beyond."""
    if z.numel > 10:
        return "tensor(shape=%s, device=%s, dtype=complex128)" % (tuple(z.shape), z.device)
    a = numpy(z)
    if np.ndim(a) == 0:
        return "tensor(%s)" % _format(builtins.complex(a))
    return "tensor([%s])" % ", ".join(_format(c) for c in a.reshape(-1))


def view_as_real(input):
    """A complex tensor as a real tensor of shape (*shape, 2) on the same limbs."""
    if not isinstance(input, _zel.Tensor):
        raise TypeError("view_as_real(): argument 'input' must be Tensor, not %s" % type(input).__name__)
    if not input.is_complex():
        raise RuntimeError("view_as_real is only supported for complex tensors")
    return _zel._view_as_real(input)


def view_as_complex(input):
    """A real tensor of shape (*shape, 2) as a complex tensor on the same limbs."""
    if not isinstance(input, _zel.Tensor):
        raise TypeError("view_as_complex(): argument 'input' must be Tensor, not %s" % type(input).__name__)
    return _zel._view_as_complex(input)


def complex(real, imag):
    """The complex tensor real + i imag (broadcast; both real tensors)."""
    for name, v in (("real", real), ("imag", imag)):
        if not isinstance(v, _zel.Tensor):
            raise TypeError("complex(): argument '%s' must be Tensor, not %s" % (name, type(v).__name__))
        if v.is_complex():
            raise RuntimeError("complex(): expected both inputs to be real, got a complex %s" % name)
    real, imag = _zel.broadcast_tensors(real, imag)
    return _zel._view_as_complex(_zel.stack([real, imag], -1))


def install(zel):
    """Adds the complex constructors and views to varnel.zel.zel."""
    global _zel
    _zel = zel
    zel.complex128 = zel.cdouble = "complex128"
    zel.complex64 = zel.cfloat = "complex128"
    for fn in (view_as_real, view_as_complex, complex):
        fn.__module__ = zel.__name__
        setattr(zel, fn.__name__, fn)


def _as_complex(v):
    """A complex tensor for a complex or real tensor or a Python number; None for anything else."""
    if isinstance(v, _zel.Tensor):
        return v if v.is_complex() else complex(v, _zel.zeros_like(v))
    if isinstance(v, (int, float, builtins.complex)):
        return _zel.tensor(builtins.complex(v))
    return None


def binary(name, a, b):
    """a + b, a - b, a * b, a / b with a complex operand: sums part by part,
    products and quotients by the exact formulas of the complex kernels."""
    za, zb = _as_complex(a), _as_complex(b)
    if za is None or zb is None:
        return NotImplemented
    ra, rb = _zel._view_as_real(za), _zel._view_as_real(zb)
    if ra.shape != rb.shape:  # equal shapes skip the copies broadcasting makes
        ra, rb = _zel.broadcast_tensors(ra, rb)
    if name == "__add__":
        r = ra + rb
    elif name == "__sub__":
        r = ra - rb
    elif name in ("__mul__", "__truediv__"):
        r = _zel._complex_function("mul" if name == "__mul__" else "div", ra.contiguous(), rb.contiguous())
    else:
        raise TypeError("%s(): not implemented for complex tensors" % name.strip("_"))
    return _zel._view_as_complex(r)


_KERNELS = {"exp", "log", "log2", "log10", "log1p", "expm1", "sqrt", "rsqrt", "reciprocal", "sin", "cos", "tan",
            "sinh", "cosh", "tanh", "asin", "acos", "atan", "asinh", "acosh", "atanh", "sigmoid", "sgn"}


def unary(name, z):
    """The element function name of a complex tensor: the complex kernels at
    2^-100 per component, abs and angle as real tensors, neg and conj part by part."""
    r = _zel._view_as_real(z)
    if name in _KERNELS:
        return _zel._view_as_complex(_zel._complex_function(name, r.contiguous()))
    if name == "neg":
        return _zel._view_as_complex(-r)
    if name == "abs":
        return _zel.hypot(r[..., 0], r[..., 1])
    if name == "angle":
        return _zel.atan2(r[..., 1], r[..., 0])
    if name == "conj":
        return _zel._view_as_complex(r * _zel.tensor([1.0, -1.0]))
    raise TypeError("%s(): not implemented for complex tensors" % name)
