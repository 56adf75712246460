"""zel.fft: torch.fft for complex tensors. Every transform is the compiled
kernel (triple-double, about 2^-150) along one dimension of the real view
(..., 2) of its operand, one dimension after another; scaling by 1/n and
1/sqrt(n) is the library's division and square root (exact for powers of
two, about 2^-107 otherwise)."""
import math
import sys
import types

from ._complex import _Library

_zel = _Library()  # install() puts the module itself here

_NORMS = ("backward", "ortho", "forward")


def _torch_major():
    import torch
    try:
        return int(torch.__version__.split(".")[0])
    except ValueError:
        return 2


# PyTorch 2 raises IndexError for a 0-d input and TypeError for a complex one
# where a real one is expected (1.x: RuntimeError), and its fftn/ifftn of a
# 0-d tensor transform no axis: the installed PyTorch's behaviour is followed.
_TORCH2 = _torch_major() >= 2


# --- argument checks: PyTorch's messages, named after torch's fft_* operators ---

def _tensor_arg(op, x):
    if not isinstance(x, _zel.Tensor):
        raise TypeError("%s(): argument 'input' (position 1) must be Tensor, not %s" % (op, type(x).__name__))
    return x


def _int_arg(op, name, v):
    if isinstance(v, bool) or not isinstance(v, int):
        raise TypeError("%s(): argument '%s' must be int, not %s" % (op, name, type(v).__name__))
    return v


def _int_list(op, name, v):
    """None, an int, or a sequence of ints, as a list (None stays None)."""
    if v is None:
        return None
    if isinstance(v, int) and not isinstance(v, bool):
        return [v]
    if not isinstance(v, (list, tuple)) or any(isinstance(e, bool) or not isinstance(e, int) for e in v):
        raise TypeError("%s(): argument '%s' must be tuple of ints, not %s" % (op, name, type(v).__name__))
    return list(v)


def _norm_arg(op, norm):
    if norm is None:
        return "backward"
    if not isinstance(norm, str):
        raise TypeError("%s(): argument 'norm' must be str, not %s" % (op, type(norm).__name__))
    if norm not in _NORMS:
        raise RuntimeError('Invalid normalization mode: "%s"' % norm)
    return norm


def _wrap_dim(dim, ndim):
    n = max(ndim, 1)
    if not -n <= dim < n:
        raise IndexError("Dimension out of range (expected to be in range of [%d, %d], but got %d)"
                         % (-n, n - 1, dim))
    return dim % n


def _points(n):
    if n < 1:
        raise RuntimeError("Invalid number of data points (%d) specified" % n)
    return n


def _real_only(op, x):
    if x.is_complex():
        kind = "real" if op in ("rfft", "ihfft") else "real-valued"
        raise (TypeError if _TORCH2 else RuntimeError)(
            "%s expects a %s input tensor, but got ComplexDouble" % (op, kind))


def _not_scalar(op, x):
    if x.ndim == 0:
        raise (IndexError if _TORCH2 else RuntimeError)(
            "%s(): expected a tensor of at least one dimension, got a 0-d tensor" % op)


def _one_dim(op, x, n, dim):
    """([dim], [n or None]) of a one-dimensional transform, checked."""
    _int_arg(op, "dim", dim)
    if n is not None:
        _points(_int_arg(op, "n", n))
    _not_scalar(op, x)
    return [_wrap_dim(dim, x.ndim)], [n]


def _many_dims(op, x, s, dim):
    """(dims, sizes or None each) of an n-dimensional transform, checked as torch checks them."""
    s, dim = _int_list(op, "s", s), _int_list(op, "dim", dim)
    if _TORCH2 and x.ndim == 0 and s is None and dim is None:
        return [], []
    _not_scalar(op, x)
    if s is not None and dim is not None and len(s) != len(dim):
        raise RuntimeError("When given, dim and shape arguments must have the same length")
    if dim is None:
        if s is None:
            dim = list(range(x.ndim))
        else:
            if len(s) > x.ndim:
                raise RuntimeError("Got shape with %d values but input tensor only has %d dimensions."
                                   % (len(s), x.ndim))
            dim = list(range(x.ndim - len(s), x.ndim))
    dims = [_wrap_dim(d, x.ndim) for d in dim]
    if len(set(dims)) != len(dims):
        raise RuntimeError("FFT dims must be unique")
    sizes = [None] * len(dims) if s is None else [None if v == -1 else _points(v) for v in s]
    return dims, sizes


# --- the transforms on real views (..., 2) ---

def _complex_view(x):
    """The real view of x, promoted to complex when x is real."""
    if x.is_complex():
        return _zel._view_as_real(x)
    return _zel.stack([x, _zel.zeros_like(x)], -1)


def _resize(r, d, n):
    """r cut or zero-padded to n entries along dim d."""
    size = r.shape[d]
    if n == size:
        return r
    if n < size:
        return r.narrow(d, 0, n)
    pad = list(r.shape)
    pad[d] = n - size
    return _zel.cat([r, _zel.zeros(*pad, device=r.device)], d)


def _along(r, d, inverse):
    """The unscaled transform of the real view r along its dim d."""
    if r.numel == 0:  # no transform to run, and no plan to build for a length that may be huge
        return r
    last = r.ndim - 2
    moved = r if d == last else r.movedim(d, last)
    out = _zel._fft(moved.contiguous(), inverse)
    return out if d == last else out.movedim(last, d)


def _c2c(r, dims, sizes, inverse):
    for d, n in zip(dims, sizes):
        r = _along(_resize(r, d, r.shape[d] if n is None else n), d, inverse)
    return r


def _r2c(x, dims, sizes, inverse):
    """The one-sided transform of real x: the last dim first, cut to n // 2 + 1, then the others."""
    r = _complex_view(x)
    d, n = dims[-1], sizes[-1]
    r = _along(_resize(r, d, r.shape[d] if n is None else n), d, inverse)
    r = r.narrow(d, 0, r.shape[d] // 2 + 1)
    return _c2c(r, dims[:-1], sizes[:-1], inverse)


def _c2r(r, dims, sizes, inverse):
    """The real signal of n points whose one-sided transform is r along dims[-1]
    (after the others): the real part of the transform of X_0, 2 X_k for
    0 < k < n / 2, and X_(n/2) for even n, which is the Hermitian sum and drops
    the imaginary parts of the DC and Nyquist terms as PyTorch does."""
    r = _c2c(r, dims[:-1], sizes[:-1], inverse)
    d, n = dims[-1], sizes[-1]
    if n is None:
        n = _points(2 * (r.shape[d] - 1))
    half = n // 2 + 1
    r = _resize(r, d, half)
    doubled = (n + 1) // 2 - 1  # the k with 0 < k < n / 2
    parts = [r.narrow(d, 0, 1)]
    if doubled:
        parts.append(r.narrow(d, 1, doubled) * 2.0)
    if half > 1 + doubled:
        parts.append(r.narrow(d, 1 + doubled, half - 1 - doubled))
    r = _resize(_zel.cat(parts, d) if len(parts) > 1 else parts[0], d, n)
    return _along(r, d, inverse).select(-1, 0), n


def _scale(t, norm, points, forward):
    """t scaled for norm: 1/n on the backward side of "backward" and the
    forward side of "forward", 1/sqrt(n) both ways for "ortho"."""
    if norm == "ortho":
        return t / _zel.sqrt(_zel.tensor(float(points), device=t.device))
    if (norm == "backward") != forward:
        return t / _zel.tensor(float(points), device=t.device)
    return t


def _to_out(op, result, out):
    if out is None:
        return result
    if not isinstance(out, _zel.Tensor):
        raise TypeError("%s(): argument 'out' must be Tensor, not %s" % (op, type(out).__name__))
    if out.is_complex() != result.is_complex():
        raise RuntimeError("%s(): expected out of dtype %s, got %s"
                           % (op, "complex128" if result.is_complex() else "float64",
                              "complex128" if out.is_complex() else "float64"))
    if tuple(out.shape) != tuple(result.shape):
        raise RuntimeError("%s(): out has shape %s, the result %s" % (op, list(out.shape), list(result.shape)))
    if result.is_complex():
        _zel._view_as_real(out).copy_(_zel._view_as_real(result))
    else:
        out.copy_(result)
    return out


def _points_of(r, dims):
    return math.prod(r.shape[d] for d in dims)


def _complex_transform(op, family, input, dims, sizes, norm, inverse, out):
    norm = _norm_arg(op, norm)
    # With no dims the result is a copy: the view shares the input's limbs.
    r = _c2c(_complex_view(input), dims, sizes, inverse) if dims else _complex_view(input).clone()
    result = _zel._view_as_complex(_scale(r, norm, _points_of(r, dims), not inverse))
    return _to_out(op, result, out)


def _one_sided_transform(op, family, input, dims, sizes, norm, inverse, out):
    _real_only(family, input)
    if not dims:
        raise RuntimeError("%s must transform at least one axis" % family)
    norm = _norm_arg(op, norm)
    points = math.prod(input.shape[d] if n is None else n for d, n in zip(dims, sizes))
    r = _r2c(input, dims, sizes, inverse)
    result = _zel._view_as_complex(_scale(r, norm, points, not inverse))
    return _to_out(op, result, out)


def _real_transform(op, family, input, dims, sizes, norm, inverse, out):
    if not dims:
        raise RuntimeError("%s must transform at least one axis" % family)
    norm = _norm_arg(op, norm)
    t, n = _c2r(_complex_view(input), dims, sizes, inverse)
    return _to_out(op, _scale(t, norm, _points_of(t, dims[:-1]) * n, not inverse), out)


# --- the public functions ---

# hfft is irfft of the conjugate with the norms' sides swapped; the real part of
# the forward transform of the Hermitian sum is that without a conjugation. ihfft
# is the conjugate of rfft, which for a real signal is the inverse transform.
# The same holds dimension by dimension for hfftn and ihfftn.
# name: (how, inverse kernel, docstring); a name ending in 2 or n takes s and dims.
_TRANSFORMS = {
    "fft": (_complex_transform, False, "The discrete Fourier transform along dim (n points: cut or zero-padded)."),
    "ifft": (_complex_transform, True, "The inverse discrete Fourier transform along dim."),
    "fft2": (_complex_transform, False, "The two-dimensional discrete Fourier transform (fftn over dim)."),
    "ifft2": (_complex_transform, True, "The two-dimensional inverse discrete Fourier transform."),
    "fftn": (_complex_transform, False, "The n-dimensional discrete Fourier transform over dim (all by default)."),
    "ifftn": (_complex_transform, True, "The n-dimensional inverse discrete Fourier transform."),
    "rfft": (_one_sided_transform, False,
             "The transform of a real signal along dim, its n // 2 + 1 non-negative frequencies."),
    "irfft": (_real_transform, True, "The real signal of n points (2 (m - 1) by default) whose rfft is input."),
    "rfft2": (_one_sided_transform, False, "rfftn over two dims."),
    "irfft2": (_real_transform, True, "irfftn over two dims."),
    "rfftn": (_one_sided_transform, False,
              "The n-dimensional transform of a real signal, one-sided in the last of dim."),
    "irfftn": (_real_transform, True, "The real n-dimensional signal whose rfftn is input."),
    "hfft": (_real_transform, False,
             "The real transform of a Hermitian signal given by its first half (n points out)."),
    "ihfft": (_one_sided_transform, True,
              "The inverse transform of a real signal, its n // 2 + 1 non-negative frequencies."),
    "hfft2": (_real_transform, False, "hfftn over two dims."),
    "ihfft2": (_one_sided_transform, True, "ihfftn over two dims."),
    "hfftn": (_real_transform, False,
              "The real n-dimensional transform of a signal Hermitian in the last of dim, given by its first half."),
    "ihfftn": (_one_sided_transform, True,
               "The inverse n-dimensional transform of a real signal, one-sided in the last of dim."),
}


def _transform(name):
    """The public function name of _TRANSFORMS, with torch.fft's signature."""
    how, inverse, doc = _TRANSFORMS[name]
    op = "fft_" + name
    many = name[-1] in "2n"
    family = name.rstrip("2n") + ("n" if many else "")  # rfft2's messages say rfftn
    if many:
        def fn(input, s=None, dim=(-2, -1) if name.endswith("2") else None, norm=None, *, out=None):
            dims, sizes = _many_dims(op, _tensor_arg(op, input), s, dim)
            return how(op, family, input, dims, sizes, norm, inverse, out)
    else:
        def fn(input, n=None, dim=-1, norm=None, *, out=None):
            dims, sizes = _one_dim(op, _tensor_arg(op, input), n, dim)
            return how(op, family, input, dims, sizes, norm, inverse, out)
    fn.__name__ = fn.__qualname__ = name
    fn.__doc__ = doc
    return fn


def _frequencies(op, n, d, dtype, device, requires_grad, out, onesided):
    _int_arg(op, "n", n)
    if isinstance(d, bool) or not isinstance(d, (int, float)):
        raise TypeError("%s(): argument 'd' must be float, not %s" % (op, type(d).__name__))
    if n < 0:
        raise RuntimeError("Trying to create tensor with negative dimension %d: [%d]" % (n, n))
    if dtype is not None and str(dtype).replace("torch.", "") in ("complex128", "complex64", "cdouble", "cfloat"):
        raise RuntimeError("%s(): complex frequencies are not supported; use a real dtype" % op)
    # arange refuses a length beyond memory before allocating.
    k = _zel.arange(0, n // 2 + 1 if onesided else (n - 1) // 2 + 1, dtype=dtype, device=device)
    if not onesided and n > 1:
        k = _zel.cat([k, _zel.arange(-(n // 2), 0, dtype=dtype, device=k.device)])
    # As torch, n = 0 divides by zero: rfftfreq(0) is [nan].
    k = k / (_zel.tensor(float(d), device=k.device) * n)
    if requires_grad:
        k.requires_grad_(True)
    return _to_out(op, k, out)


def fftfreq(n, d=1.0, *, out=None, dtype=None, layout=None, device=None, requires_grad=False):
    """The sample frequencies [0, 1, ..., -(n // 2), ..., -1] / (d n) of an n-point transform."""
    return _frequencies("fft_fftfreq", n, d, dtype, device, requires_grad, out, False)


def rfftfreq(n, d=1.0, *, out=None, dtype=None, layout=None, device=None, requires_grad=False):
    """The sample frequencies [0, 1, ..., n // 2] / (d n) of an n-point rfft."""
    return _frequencies("fft_rfftfreq", n, d, dtype, device, requires_grad, out, True)


def _shift(op, input, dim, sign):
    _tensor_arg(op, input)
    dims = _int_list(op, "dim", dim)
    if input.ndim == 0 and dims:
        raise IndexError("Dimension specified as %d but tensor has no dimensions" % dims[0])
    dims = list(range(input.ndim)) if dims is None else [_wrap_dim(d, input.ndim) for d in dims]
    if not dims:
        raise RuntimeError("%s(): `shifts` required: no dims to shift" % op)
    # An odd length moves the zero frequency by n // 2 one way and (n + 1) // 2 back.
    shifts = [input.shape[d] // 2 if sign > 0 else (input.shape[d] + 1) // 2 for d in dims]
    if input.is_complex():
        return _zel._view_as_complex(_zel.roll(_zel._view_as_real(input), shifts, dims))
    return _zel.roll(input, shifts, dims)


def fftshift(input, dim=None):
    """The zero frequency moved to the centre: a roll by n // 2 along each of dim (all by default)."""
    return _shift("fft_fftshift", input, dim, 1)


def ifftshift(input, dim=None):
    """The inverse of fftshift: a roll by (n + 1) // 2 along each of dim."""
    return _shift("fft_ifftshift", input, dim, -1)


PUBLIC = tuple(_TRANSFORMS) + ("fftfreq", "rfftfreq", "fftshift", "ifftshift")


def install(zel):
    """Adds zel.fft (registered as varnel.zel.zel.fft) to varnel.zel.zel."""
    global _zel
    _zel = zel
    space = types.ModuleType(zel.__name__ + ".fft", "torch.fft for varnel.zel tensors: discrete Fourier transforms.")
    here = sys.modules[__name__]
    for name in PUBLIC:
        fn = _transform(name) if name in _TRANSFORMS else getattr(here, name)
        fn.__module__ = space.__name__
        setattr(space, name, fn)
    space.__all__ = list(PUBLIC)
    zel.fft = space
    sys.modules[space.__name__] = space
