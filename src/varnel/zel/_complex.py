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


def _kernel(name, *zs):
    rs = [_r(z).contiguous() for z in zs]
    return _c(_zel._complex_function(name, *rs))


def _log_of(x):
    return _kernel("log", _zel.tensor(builtins.complex(x)))


_DERIVATIVES = {  # f'(z) of each kernel, from z and f(z)
    "exp": lambda z, f: f, "expm1": lambda z, f: f + 1, "log": lambda z, f: z.reciprocal(),
    "log2": lambda z, f: (z * _log_of(2)).reciprocal(), "log10": lambda z, f: (z * _log_of(10)).reciprocal(),
    "log1p": lambda z, f: (z + 1).reciprocal(), "sqrt": lambda z, f: (f * 2).reciprocal(),
    "rsqrt": lambda z, f: f * -0.5 / z, "reciprocal": lambda z, f: -(f * f), "sin": lambda z, f: z.cos(),
    "cos": lambda z, f: -z.sin(), "tan": lambda z, f: f * f + 1, "sinh": lambda z, f: z.cosh(),
    "cosh": lambda z, f: z.sinh(), "tanh": lambda z, f: 1 - f * f, "asin": lambda z, f: (1 - z * z).rsqrt(),
    "acos": lambda z, f: -(1 - z * z).rsqrt(), "atan": lambda z, f: (z * z + 1).reciprocal(),
    "asinh": lambda z, f: (z * z + 1).rsqrt(), "acosh": lambda z, f: ((z - 1).sqrt() * (z + 1).sqrt()).reciprocal(),
    "atanh": lambda z, f: (1 - z * z).reciprocal(), "sigmoid": lambda z, f: f * (1 - f),
}


def function_grad(grad, name, z, other, result, which):
    """The gradient of a complex kernel with respect to operand `which`, on
    real views, in PyTorch's convention: grad * conj(f'(z)) for the analytic
    functions."""
    g, a, f = _c(grad.contiguous()), _c(z.contiguous()), _c(result.contiguous())
    b = _c(other.contiguous()) if other is not None else None
    if name in _DERIVATIVES:
        out = g * conj(_DERIVATIVES[name](a, f))
    elif name == "mul":
        out = g * conj(b if which == 0 else a)
    elif name == "div":
        out = g / conj(b) if which == 0 else -g * conj(f / b)
    elif name == "pow":
        if which == 0:
            out = g * conj(b * pow(a, b - 1))
        else:
            out = g * conj(f * a.log())
            out = where(eq(a, 0), 0, out)
    elif name == "sgn":
        # the part of grad across the direction of sgn, over |z|; 0 at 0
        size = a.abs()
        across = g - f * _r(g * conj(f))[..., 0]
        out = where(_zel.eq(size, 0), 0, across / where(_zel.eq(size, 0), 1.0, size))
    else:
        raise RuntimeError("the derivative for complex '%s' is not implemented." % name)
    return _r(out)


# --- tensor functions on complex operands -------------------------------------
# Each works on the real views (*shape, 2): the trailing axis is never among
# the axes a caller names, so dims are mapped before the real function runs.

def _r(z):
    return _zel._view_as_real(z)


def _c(r):
    return _zel._view_as_complex(r)


def _is_c(v):
    return isinstance(v, _zel.Tensor) and v._is_complex()


def _cr(v):
    """The real view of v as a complex operand (real tensors and numbers promoted)."""
    z = _as_complex(v)
    if z is None:
        raise TypeError("expected a Tensor or a number, got %s" % type(v).__name__)
    return _r(z)


def _dim(op, d, nd, extra=0):
    """d as a non-negative axis of a tensor of nd axes (nd + extra allowed), PyTorch's range error."""
    if isinstance(d, bool) or not isinstance(d, int):
        try:
            d = d.__index__()
        except AttributeError:
            raise TypeError("%s(): argument 'dim' must be int, not %s" % (op, type(d).__name__)) from None
    top = max(nd + extra, 1)
    if not -top <= d < top:
        raise IndexError("Dimension out of range (expected to be in range of [%d, %d], but got %d)"
                         % (-top, top - 1, d))
    return d + top if d < 0 else d


def _dims(op, dims, nd):
    if not isinstance(dims, (list, tuple)):
        dims = (dims,)
    out = [_dim(op, d, nd) for d in dims]
    if len(set(out)) != len(out):
        raise RuntimeError("%s(): dim appears multiple times in the list of dims" % op)
    return out


def _sizes(args):
    return tuple(args[0]) if len(args) == 1 and isinstance(args[0], (list, tuple)) else tuple(args)


def _sequence_as_tuple(key):
    """PyTorch (as NumPy once did) reads a short list holding sequences,
    slices, tensors, None or Ellipsis as a tuple of indices."""
    import torch
    if isinstance(key, list) and len(key) < 32 and builtins.any(
            isinstance(k, (list, tuple, slice, torch.Tensor, _zel.Tensor)) or k is None or k is Ellipsis
            for k in key):
        return tuple(key)
    return key


def _real_key(key):
    """An index of the complex tensor as an index of its real view: the trailing axis kept whole."""
    key = _sequence_as_tuple(key)
    if isinstance(key, tuple):
        return key + (slice(None),)
    return (key, slice(None))


def _mask_shaped(self, key):
    """A flat bool mask of as many elements (what the defined comparisons give) in self's shape."""
    import torch
    if isinstance(key, torch.Tensor) and key.dtype == torch.bool and key.dim() == 1 \
            and len(self.shape) > 1 and key.numel() == self.numel:
        return key.reshape(tuple(self.shape))
    return key


def getitem(self, key):
    if not _is_c(self):  # a complex number as an index: the real tensor's own error
        return _ORIGINAL["__getitem__"](self, key)
    return _c(_r(self)[_real_key(_mask_shaped(self, key))])


def setitem(self, key, value):
    if not _is_c(self):
        if _is_c(value) or isinstance(value, builtins.complex):
            raise TypeError("can't assign a complex value to a real tensor: convert it with .to(zel.complex128)")
        return _ORIGINAL["__setitem__"](self, key, value)
    _r(self)[_real_key(_mask_shaped(self, key))] = _cr(value)


def reshape(self, *shape):
    shape = _sizes(shape)
    return _c(_r(self).reshape(*shape, 2))


def flatten(input, start_dim=0, end_dim=-1):
    nd = len(input.shape)
    if nd == 0:
        return reshape(input, 1)
    s, e = _dim("flatten", start_dim, nd), _dim("flatten", end_dim, nd)
    if s > e:
        raise RuntimeError("flatten() has invalid args: start_dim cannot come after end_dim")
    return _c(_r(input).flatten(s, e))


def unsqueeze(input, dim):
    return _c(_r(input).unsqueeze(_dim("unsqueeze", dim, len(input.shape), 1)))


def squeeze(input, dim=None):
    shape = list(input.shape)
    if dim is None:
        keep = [s for s in shape if s != 1]
    else:
        drop = set(_dims("squeeze", dim, len(shape))) if shape else set()
        keep = [s for i, s in enumerate(shape) if not (i in drop and s == 1)]
    return reshape(input, tuple(keep))


def permute(input, *dims):
    dims = _sizes(dims)
    nd = len(input.shape)
    if len(dims) != nd:
        raise RuntimeError("permute(sparse_coo): number of dimensions in the tensor input does not match "
                           "the length of the desired ordering of dimensions i.e. input.dim() = %d is not "
                           "equal to len(dims) = %d" % (nd, len(dims)))
    return _c(_r(input).permute(*_dims("permute", dims, nd), nd))


def transpose(input, dim0, dim1):
    nd = len(input.shape)
    if nd == 0:
        _dim("transpose", dim0, nd), _dim("transpose", dim1, nd)
        return clone(input)
    return _c(_r(input).transpose(_dim("transpose", dim0, nd), _dim("transpose", dim1, nd)))


def t(input):
    if len(input.shape) > 2:
        raise RuntimeError("t() expects a tensor with <= 2 dimensions, but self is %dD" % len(input.shape))
    return transpose(input, 0, -1) if len(input.shape) == 2 else clone(input)


def _mT(self):
    if len(self.shape) == 0:  # as the real tensors' mT
        return clone(self)
    if len(self.shape) < 2:
        raise RuntimeError("tensor.mT is only supported on matrices or batches of matrices. Got %d-D tensor."
                           % len(self.shape))
    return transpose(self, -2, -1)


def _T(self):
    nd = len(self.shape)
    return permute(self, *reversed(range(nd))) if nd != 1 else clone(self)


def movedim(input, source, destination):
    nd = len(input.shape)
    src = _dims("movedim", source, nd)
    dst = _dims("movedim", destination, nd)
    if len(src) != len(dst):
        raise RuntimeError("movedim: Invalid source or destination dims: source (%s dims) should contain the "
                           "same number of dims as destination (%s dims)" % (len(src), len(dst)))
    return _c(_r(input).movedim(tuple(src), tuple(dst)))


def expand(self, *sizes):
    sizes = _sizes(sizes)
    return _c(_r(self).expand(*sizes, 2))


def expand_as(self, other):
    return expand(self, tuple(other.shape))


def broadcast_to(input, size):
    return expand(input, tuple(size))


def flip(input, dims):
    return _c(_r(input).flip(_dims("flip", dims, len(input.shape))))


def fliplr(input):
    if len(input.shape) < 2:
        raise RuntimeError("Input must be >= 2-d.")
    return flip(input, (1,))


def flipud(input):
    if len(input.shape) < 1:
        raise RuntimeError("Input must be >= 1-d.")
    return flip(input, (0,))


def roll(input, shifts, dims=None):
    if dims is None:
        return reshape(roll(reshape(input, -1), shifts, 0), tuple(input.shape))
    dims = dims if isinstance(dims, (list, tuple)) else (dims,)
    mapped = [_dim("roll", d, len(input.shape)) for d in dims]
    return _c(_r(input).roll(shifts, mapped if isinstance(dims, (list, tuple)) and len(dims) != 1
                             else mapped[0]))


def narrow(input, dim, start, length):
    return _c(_r(input).narrow(_dim("narrow", dim, len(input.shape)), start, length))


def select(input, dim, index):
    return _c(_r(input).select(_dim("select", dim, len(input.shape)), index))


def unbind(input, dim=0):
    return tuple(_c(p) for p in _r(input).unbind(_dim("unbind", dim, len(input.shape))))


def split(tensor, split_size_or_sections, dim=0):
    return [_c(p) for p in _zel.split(_r(tensor), split_size_or_sections, _dim("split", dim, len(tensor.shape)))]


def chunk(input, chunks, dim=0):
    return [_c(p) for p in _zel.chunk(_r(input), chunks, _dim("chunk", dim, len(input.shape)))]


def diagonal(input, offset=0, dim1=0, dim2=1):
    nd = len(input.shape)
    d = _r(input).diagonal(offset, _dim("diagonal", dim1, nd), _dim("diagonal", dim2, nd))
    return _c(d.movedim(-2, -1))  # the diagonal comes last, after the parts


def _matrix_op(input, f):
    """f on the last two axes of each part: the parts axis moves first meanwhile."""
    if len(input.shape) < 2:
        raise RuntimeError("expected a tensor with 2 or more dimensions")
    return _c(f(_r(input).movedim(-1, 0)).movedim(0, -1))


def tril(input, diagonal=0):
    return _matrix_op(input, lambda r: r.tril(diagonal))


def triu(input, diagonal=0):
    return _matrix_op(input, lambda r: r.triu(diagonal))


def trace(input):
    if len(input.shape) != 2:
        raise RuntimeError("trace: expected a matrix, but got tensor with dim %d" % len(input.shape))
    return sum(diagonal(input))


def diag(input, diagonal=0):
    nd = len(input.shape)
    if nd == 1:
        r = _r(input)
        return _c(_zel.stack([_zel.diag(r[:, 0], diagonal), _zel.diag(r[:, 1], diagonal)], -1))
    if nd == 2:
        return _c(_zel.stack([_zel.diag(p, diagonal) for p in _r(input).unbind(-1)], -1))
    raise RuntimeError("diag(): Supports 1D or 2D tensors. Got %dD" % nd)


def repeat(self, *sizes):
    sizes = _sizes(sizes)
    return _c(_r(self).repeat(*sizes, 1))


def tile(input, dims):
    dims = tuple(dims)
    nd = len(input.shape)
    dims = (1,) * (nd - len(dims)) + dims
    return repeat(reshape(input, (1,) * (len(dims) - nd) + tuple(input.shape)), dims)


def clone(input, *, memory_format=None):
    return _c(_r(input).clone())


def contiguous(self, memory_format=None):
    return self


def detach(self):
    return _c(_r(self).detach())


def ravel(input):
    return reshape(input, -1)


def view_as(self, other):
    return reshape(self, tuple(other.shape))


def unflatten(input, dim, sizes):
    nd = len(input.shape)
    d = _dim("unflatten", dim, nd)
    return _c(_r(input).unflatten(d, sizes))


def _operands(op, tensors):
    if isinstance(tensors, _zel.Tensor) or not isinstance(tensors, (list, tuple)):
        raise TypeError("%s(): argument 'tensors' must be tuple of Tensors, not %s" % (op, type(tensors).__name__))
    return [_cr(x) for x in tensors]


def cat(tensors, dim=0):
    rs = _operands("cat", tensors)
    # PyTorch's legacy rule: 1-D empty operands are left out beside others
    kept = [r for r in rs if tuple(r.shape) != (0, 2)] or rs[:1]
    nd = max((len(r.shape) - 1 for r in kept), default=1)
    return _c(_zel.cat(kept, _dim("cat", dim, nd)))


def stack(tensors, dim=0):
    rs = _operands("stack", tensors)
    nd = len(rs[0].shape) - 1 if rs else 0
    return _c(_zel.stack(rs, _dim("stack", dim, nd, 1)))


def hstack(tensors):
    return cat(tensors, 0 if all(len(x.shape) <= 1 for x in tensors) else 1)


def vstack(tensors):
    return cat([reshape(x, (1, -1)) if len(x.shape) < 2 else x for x in (_as_complex(x) for x in tensors)], 0)


def where(condition, input, other):
    a, b = _cr(input), _cr(other)
    cond = condition if isinstance(condition, _zel.Tensor) else condition
    return _c(_zel.where(cond.unsqueeze(-1), a, b))


def index_select(input, dim, index):
    return _c(_r(input).index_select(_dim("index_select", dim, len(input.shape)), index))


def masked_select(input, mask):
    import torch
    shape = tuple(torch.broadcast_shapes(tuple(input.shape), tuple(mask.shape)))
    m = mask.expand(shape) if isinstance(mask, torch.Tensor) else mask
    return _c(_r(expand(input, shape))[m])


def take(input, index):
    return _c(_r(input).reshape(-1, 2)[index])


# --- reductions ------------------------------------------------------------------

def _reduced_dims(op, dim, nd):
    if dim is None or (isinstance(dim, (list, tuple)) and len(dim) == 0):
        return None
    return _dims(op, dim, nd)


def _scalar_reduction(op, input, dim):
    """A 0-d input reduces to a copy of itself (its dim 0 or -1 is checked);
    on the real view that dim would be the parts' axis."""
    if len(input.shape) == 0:
        if dim is not None:
            _dims(op, dim, 0)
        return clone(input)
    return None


def sum(input, dim=None, keepdim=False, *, dtype=None):
    same = _scalar_reduction("sum", input, dim)
    if same is not None:
        return same
    r = _r(input)
    dims = _reduced_dims("sum", dim, len(input.shape))
    if dims is None:
        out = r.reshape(-1, 2).sum(0)
        return reshape(_c(out), (1,) * len(input.shape)) if keepdim else _c(out)
    return _c(r.sum(tuple(dims), keepdim))


def mean(input, dim=None, keepdim=False, *, dtype=None):
    same = _scalar_reduction("mean", input, dim)
    if same is not None:
        return same
    s = sum(input, dim, keepdim)
    shape = tuple(input.shape)
    dims = _reduced_dims("mean", dim, len(shape))
    count = 1
    for i in (range(len(shape)) if dims is None else dims):
        count *= shape[i]
    return _c(_r(s) / float(count))


def _cmul(a, b):
    return _zel._complex_function("mul", a.contiguous(), b.contiguous())


def prod(input, dim=None, keepdim=False, *, dtype=None):
    """Pairwise halving in a fixed order: the same bytes every run."""
    if isinstance(dim, (list, tuple)) and len(dim) != 1:
        # several dims, as the real prod takes them: one after another, the last first
        dims = _reduced_dims("prod", dim, len(input.shape))
        if dims is None or len(input.shape) == 0:
            return prod(input, None, keepdim)
        out = input
        for d in sorted(dims, reverse=True):
            out = prod(out, d, True)
        return out if keepdim else reshape(out, tuple(n for i, n in enumerate(input.shape) if i not in dims))
    if isinstance(dim, (list, tuple)):
        dim = dim[0]
    if dim is None:
        out = reshape(prod(reshape(input, -1), 0), (1,) * len(input.shape) if keepdim else ())
        return out
    same = _scalar_reduction("prod", input, dim)
    if same is not None:
        return same
    nd = len(input.shape)
    d = _dim("prod", dim, nd)
    r = _r(input).movedim(d, 0)
    if r.shape[0] == 0:
        rest = tuple(r.shape[1:-1])
        r = _zel.stack([_zel.ones(rest), _zel.zeros(rest)], -1).unsqueeze(0)
    while r.shape[0] > 1:
        half = r.shape[0] // 2
        head = _cmul(r[:half], r[half:2 * half])
        r = _zel.cat([head, r[2 * half:]], 0) if r.shape[0] % 2 else head
    out = _c(r[0])
    return unsqueeze(out, d) if keepdim else out


def cumsum(input, dim, *, dtype=None):
    same = _scalar_reduction("cumsum", input, dim)
    if same is not None:
        return same
    return _c(_r(input).cumsum(_dim("cumsum", dim, len(input.shape))))


def cov(input, *, correction=1, fweights=None, aweights=None):
    """The real covariance of the real and imaginary rows together: with
    x = a + ib, cov(x)[j, k] = C(a_j, a_k) + C(b_j, b_k) + i (C(b_j, a_k) - C(a_j, b_k))."""
    if len(input.shape) > 2:
        raise RuntimeError("cov(): expected input to have two or fewer dimensions but got an input with %d "
                           "dimensions" % len(input.shape))
    r = _r(input.reshape(1, -1) if len(input.shape) < 2 else input)
    m = r.shape[0]
    c = _zel.cov(_zel.cat([r[..., 0], r[..., 1]], 0), correction=correction, fweights=fweights,
                 aweights=aweights)
    c = c.reshape(2 * m, 2 * m)
    out = complex(c[:m, :m] + c[m:, m:], c[m:, :m] - c[:m, m:])
    return out.reshape(()) if m == 1 else out  # one variable: a 0-d result, as PyTorch


# --- comparisons -------------------------------------------------------------------

def _parts_of(a, b):
    ra, rb = _zel.broadcast_tensors(_cr(a), _cr(b))
    return ra, rb


def eq(input, other):
    """Exact equality of both parts, in the broadcast shape (a torch bool tensor)."""
    ra, rb = _parts_of(input, other)
    e = _zel.eq(ra, rb)
    return e.reshape(tuple(ra.shape)).all(-1)


def ne(input, other):
    return ~eq(input, other)


def equal(input, other):
    if tuple(input.shape) != tuple(other.shape):
        return False
    return bool(eq(input, other).all())


def isnan(input):
    return _zel.isnan(_r(input)).reshape(tuple(input.shape) + (2,)).any(-1)


def isinf(input):
    return _zel.isinf(_r(input)).reshape(tuple(input.shape) + (2,)).any(-1)


def isfinite(input):
    return _zel.isfinite(_r(input)).reshape(tuple(input.shape) + (2,)).all(-1)


def isreal(input):
    return (_r(input)[..., 1] == 0).reshape(tuple(input.shape))


def isclose(input, other, rtol=1e-05, atol=1e-08, equal_nan=False):
    """|a - b| <= atol + rtol |b| on the exact values, as PyTorch for complex."""
    ra, rb = _parts_of(input, other)
    a, b = _c(ra.contiguous()), _c(rb.contiguous())
    shape = tuple(ra.shape[:-1])
    close = _zel.le((a - b).abs(), b.abs() * float(rtol) + float(atol)).reshape(shape)
    out = eq(a, b) | (close & isfinite(a) & isfinite(b))
    return out | (isnan(a) & isnan(b)) if equal_nan else out


def allclose(input, other, rtol=1e-05, atol=1e-08, equal_nan=False):
    return bool(isclose(input, other, rtol, atol, equal_nan).all())


# --- products --------------------------------------------------------------------

def _parts(v):
    """(real, imaginary or None) real tensors of a complex or real operand."""
    if _is_c(v):
        r = _r(v)
        return r[..., 0], r[..., 1]
    if isinstance(v, builtins.complex):
        return _zel.tensor(v.real), _zel.tensor(v.imag)
    return v, None


def _bilinear(f, a, b):
    """f(a, b) for a function f linear in each operand: four real products at most."""
    ar, ai = _parts(a)
    br, bi = _parts(b)
    re, im = f(ar, br), None
    if ai is not None and bi is not None:
        re = re - f(ai, bi)
    if bi is not None:
        im = f(ar, bi)
    if ai is not None:
        im = f(ai, br) if im is None else im + f(ai, br)
    if im is None:
        return re
    return _c(_zel.stack([re, im], -1))


def matmul(input, other):
    return _bilinear(_zel.matmul, input, other)


def mm(input, mat2):
    return _bilinear(_zel.mm, input, mat2)


def bmm(input, mat2):
    return _bilinear(_zel.bmm, input, mat2)


def mv(input, vec):
    return _bilinear(_zel.mv, input, vec)


def dot(input, other):
    return _bilinear(_zel.dot, input, other)


def vdot(input, other):
    """The first operand conjugated, as PyTorch."""
    return _bilinear(_zel.dot, conj(input) if _is_c(input) else input, other)


def inner(input, other):
    return _bilinear(_zel.inner, input, other)


def outer(input, vec2):
    return _bilinear(_zel.outer, input, vec2)


def tensordot(a, b, dims=2):
    return _bilinear(lambda x, y: _zel.tensordot(x, y, dims), a, b)


def kron(input, other):
    return _bilinear(_zel.kron, input, other)


def einsum(equation, *operands):
    """Multilinear: the sum over each choice of parts, signed by the powers of i."""
    if len(operands) == 1 and isinstance(operands[0], (list, tuple)):
        operands = tuple(operands[0])
    parts = [_parts(x) for x in operands]
    re = im = None
    choices = [(0,) if p[1] is None else (0, 1) for p in parts]
    import itertools
    for pick in itertools.product(*choices):
        term = _zel.einsum(equation, *[p[k] for p, k in zip(parts, pick)])
        k = builtins.sum(pick)
        if k % 4 in (2, 3):
            term = -term
        if k % 2 == 0:
            re = term if re is None else re + term
        else:
            im = term if im is None else im + term
    if im is None:
        return re
    return _c(_zel.stack([re, im], -1))


# --- conversions and parts ---------------------------------------------------------

def real(self):
    """The real parts (a real tensor); a real tensor itself."""
    return _r(self)[..., 0] if self._is_complex() else self


def imag(self):
    if not self._is_complex():
        raise RuntimeError("imag is not implemented for tensors with non-complex dtypes.")
    return _r(self)[..., 1]


def conj(input):
    """The conjugate; a real tensor itself (as PyTorch)."""
    if not input._is_complex():
        return input
    r = _r(input)
    return _c(_zel.stack([r[..., 0], -r[..., 1]], -1))


def conj_physical(input):
    """The conjugate, computed (as every conjugate here)."""
    return conj(input)


def resolve_conj(input):
    """input itself: conjugates are never lazy here."""
    return input


def resolve_neg(input):
    """input itself: negations are never lazy here."""
    return input


def is_conj(input):
    """Always False: conjugates are computed, never lazy."""
    return False


def polar(abs, angle):
    """abs (cos angle + i sin angle), the cosine and sine from the complex exponential's kernel (2^-100)."""
    for name, v in (("abs", abs), ("angle", angle)):
        if not isinstance(v, _zel.Tensor):
            raise TypeError("polar(): argument '%s' must be Tensor, not %s" % (name, type(v).__name__))
        if v._is_complex():
            raise RuntimeError("polar(): expected both inputs to be real, got a complex %s" % name)
    abs, angle = _zel.broadcast_tensors(abs, angle)
    unit = _zel._complex_function("exp", _zel.stack([_zel.zeros_like(angle), angle], -1).contiguous())
    return _c(unit * abs.unsqueeze(-1))


_COMPLEX_DTYPES = {"complex128", "complex64", "cdouble", "cfloat", "complex"}


def _wants_complex(dtype):
    if dtype is None:
        return False
    if isinstance(dtype, str):
        return dtype in _COMPLEX_DTYPES
    if dtype is builtins.complex:
        return True
    return getattr(dtype, "is_complex", False) is True


def to_complex(x):
    """x as a complex tensor (imaginary parts zero for a real tensor)."""
    return x if x._is_complex() else complex(x, _zel.zeros_like(x))


_DTYPE_NAMES = _COMPLEX_DTYPES | {"float64", "float32", "float16", "bfloat16", "double", "float", "half",
                                  "int64", "int32", "long", "int", "bool"}


def _is_dtype(a):
    import torch
    return (isinstance(a, torch.dtype) or (isinstance(a, str) and a in _DTYPE_NAMES)
            or a is float or a is builtins.complex)


def to(self, *args, **kwargs):
    """Tensor.to with complex128 as a target, or from a complex tensor."""
    dtype = kwargs.pop("dtype", None)
    rest = []
    for a in args:
        if _is_dtype(a):
            dtype = a
        elif isinstance(a, _zel.Tensor):
            dtype = "complex128" if a._is_complex() else "float64"  # other's dtype, as PyTorch
            rest.append(a.device)
        else:
            rest.append(a)
    if self._is_complex():
        if dtype is not None and not _wants_complex(dtype):
            import warnings
            warnings.warn("Casting complex values to real discards the imaginary part", UserWarning, stacklevel=2)
            return real(self).to(*rest, dtype=dtype, **kwargs)
        return _c(_r(self).to(*rest, **kwargs)) if rest or kwargs else self
    out = _ORIGINAL["to"](self, *rest, **kwargs) if rest or kwargs else self
    return to_complex(out)


# --- factories with dtype=complex128 ------------------------------------------------

def _factory(name, orig):
    """The factory in complex: two real parts, the second zero (random factories: both drawn)."""
    def make(*args, dtype=None, **kwargs):
        if not _wants_complex(dtype):
            return orig(*args, dtype=dtype, **kwargs) if dtype is not None else orig(*args, **kwargs)
        requires_grad = kwargs.pop("requires_grad", False)
        if name == "tensor":
            out = _zel.tensor(args[0], **kwargs)
            out = to_complex(out)
        elif name == "full":
            size, value = args[0], builtins.complex(args[1] if len(args) > 1 else kwargs.pop("fill_value"))
            re = orig(size, value.real, **kwargs)
            out = complex(re, orig(size, value.imag, **kwargs))
        elif name in ("randn", "rand"):
            sizes = _sizes(args)
            r = orig(*(sizes + (2,)), **kwargs)
            # PyTorch's complex normal: each part of variance 1/2
            out = _c(r * _zel.tensor(0.5).sqrt() if name == "randn" else r)
        else:
            re = orig(*args, **kwargs)
            out = complex(re, _zel.zeros_like(re))
        return out.requires_grad_(True) if requires_grad else out
    make.__name__, make.__doc__ = orig.__name__, orig.__doc__
    return make


def _like_factory(name, orig):
    """zeros_like & co.: a complex input gives a complex result unless a real dtype is asked for."""
    def make(input, *args, dtype=None, **kwargs):
        want = _wants_complex(dtype) or (dtype is None and _is_c(input))
        if not want:
            return orig(input, *args, dtype=dtype, **kwargs) if dtype is not None else orig(input, *args, **kwargs)
        base = _r(input)[..., 0] if _is_c(input) else input
        if name == "full_like":
            value = builtins.complex(args[0] if args else kwargs.pop("fill_value"))
            return complex(orig(base, value.real, **kwargs), orig(base, value.imag, **kwargs))
        if name in ("rand_like", "randn_like"):
            return getattr(_zel, name[:-5])(*tuple(base.shape), dtype="complex128", **kwargs)
        re = orig(base, *args, **kwargs)
        return complex(re, _zel.zeros_like(re))
    make.__name__, make.__doc__ = orig.__name__, orig.__doc__
    return make


def _new_factory(name):
    """Tensor.new_zeros & co. of a complex tensor: complex unless a real dtype is asked for."""
    def make(self, *args, dtype=None, **kwargs):
        orig = _ORIGINAL[name]
        base = _r(self)[..., 0]
        if dtype is not None and not _wants_complex(dtype):
            return orig(base, *args, dtype=dtype, **kwargs)
        requires_grad = kwargs.pop("requires_grad", False)
        if name == "new_full":
            value = builtins.complex(args[1] if len(args) > 1 else kwargs.pop("fill_value"))
            size = args[0] if args else kwargs.pop("size")
            out = complex(orig(base, size, value.real, **kwargs), orig(base, size, value.imag, **kwargs))
        else:
            re = orig(base, *args, **kwargs)
            out = complex(re, _zel.zeros_like(re))
        return out.requires_grad_(True) if requires_grad else out
    make.__name__ = name
    return make


# --- arithmetic by name, in-place forms -----------------------------------------------

def add(input, other, *, alpha=1):
    return input + (other * alpha if alpha != 1 else other)


def sub(input, other, *, alpha=1):
    return input - (other * alpha if alpha != 1 else other)


def mul(input, other):
    return input * other


def div(input, other, *, rounding_mode=None):
    if rounding_mode is not None:
        raise RuntimeError("div(): rounding_mode is not supported for complex tensors")
    return input / other


def pow(input, exponent):
    """z ** w through the complex kernel (2^-100 per component)."""
    ra, rb = _zel.broadcast_tensors(_cr(input), _cr(exponent))
    return _c(_zel._complex_function("pow", ra.contiguous(), rb.contiguous()))


def square(input):
    return input * input


def _into(op, self, value):
    """Writes value into self's limbs: PyTorch's rules for the result's dtype and shape."""
    if not _is_c(self):
        raise RuntimeError("result type ComplexDouble can't be cast to the desired output type Double")
    value = _as_complex(value)
    if value is None:
        raise TypeError("%s(): expected a Tensor or a number" % op)
    shape = tuple(self.shape)
    if tuple(value.shape) != shape:
        try:
            value = expand(value, shape)
        except Exception:
            raise RuntimeError("output with shape %s doesn't match the broadcast shape %s"
                               % (list(shape), list(value.shape))) from None
    _r(self).copy_(_r(value))
    return self


def _inplace(op, form):
    def f(self, *args, **kwargs):
        return _into(op, self, form(self, *args, **kwargs))
    f.__name__ = op
    return f


def copy_(self, src, non_blocking=False):
    return _into("copy_", self, src)


def zero_(self):
    return _into("zero_", self, 0)


def fill_(self, value):
    return _into("fill_", self, value)


# --- limb export, digests, pickling ---------------------------------------------------

def _on_real_view(name):
    def f(self, *args, **kwargs):
        return getattr(_r(self), name)(*args, **kwargs)
    f.__name__ = name
    return f


def _reduce(self):
    return view_as_complex, (_r(self).clone(),)


def from_limbs(limbs, device=None, dtype=None):
    t = _ORIGINAL["from_limbs"](limbs, device)
    return view_as_complex(t) if _wants_complex(dtype) else t


# --- installation --------------------------------------------------------------------

# Functions that take a complex operand: PyTorch's name -> the complex form.
_FUNCTIONS = {
    "reshape": reshape, "flatten": flatten, "unsqueeze": unsqueeze, "squeeze": squeeze, "permute": permute,
    "transpose": transpose, "swapaxes": transpose, "swapdims": transpose, "t": t, "movedim": movedim,
    "moveaxis": movedim, "broadcast_to": broadcast_to, "flip": flip, "fliplr": fliplr, "flipud": flipud,
    "roll": roll, "narrow": narrow, "select": select, "unbind": unbind, "split": split, "chunk": chunk,
    "diagonal": diagonal, "tril": tril, "triu": triu, "trace": trace, "diag": diag, "tile": tile,
    "clone": clone, "detach": detach, "ravel": ravel, "unflatten": unflatten, "cat": cat, "concat": cat,
    "concatenate": cat, "stack": stack, "hstack": hstack, "vstack": vstack, "where": where,
    "index_select": index_select, "masked_select": masked_select, "take": take, "sum": sum, "mean": mean,
    "prod": prod, "cumsum": cumsum, "cov": cov, "eq": eq, "ne": ne, "not_equal": ne, "equal": equal, "isnan": isnan,
    "isinf": isinf, "isfinite": isfinite, "isclose": isclose, "allclose": allclose, "matmul": matmul,
    "mm": mm, "bmm": bmm, "mv": mv, "dot": dot, "vdot": vdot, "inner": inner, "outer": outer, "ger": outer,
    "tensordot": tensordot, "kron": kron, "einsum": einsum, "add": add, "sub": sub, "subtract": sub,
    "mul": mul, "multiply": mul, "div": div, "divide": div, "true_divide": div, "pow": pow, "square": square,
}
# Tensor methods beyond the functions above (method name -> complex form).
_METHODS = {
    "__getitem__": getitem, "__setitem__": setitem, "view": reshape, "expand": expand, "expand_as": expand_as,
    "repeat": repeat, "contiguous": contiguous, "view_as": view_as, "reshape_as": view_as,
    "__matmul__": matmul, "__rmatmul__": lambda self, other: matmul(other, self), "__eq__": eq, "__ne__": ne,
    "numpy_limbs": _on_real_view("numpy_limbs"), "torch_limbs": _on_real_view("torch_limbs"),
    "sha256": _on_real_view("sha256"), "verify": _on_real_view("verify"), "__reduce__": _reduce,
    "__getstate__": lambda self: _r(self).__getstate__(), "__pow__": pow,
    "__rpow__": lambda self, other: pow(other, self), "copy_": copy_, "zero_": zero_, "fill_": fill_,
    "add_": _inplace("add_", add), "sub_": _inplace("sub_", sub), "subtract_": _inplace("subtract_", sub),
    "mul_": _inplace("mul_", mul), "multiply_": _inplace("multiply_", mul), "div_": _inplace("div_", div),
    "divide_": _inplace("divide_", div), "true_divide_": _inplace("true_divide_", div),
    "pow_": _inplace("pow_", pow), "__iadd__": _inplace("__iadd__", add), "__isub__": _inplace("__isub__", sub),
    "__imul__": _inplace("__imul__", mul), "__itruediv__": _inplace("__itruediv__", div),
    "new_zeros": _new_factory("new_zeros"), "new_ones": _new_factory("new_ones"),
    "new_empty": _new_factory("new_empty"), "new_full": _new_factory("new_full"),
    "new_empty_strided": _new_factory("new_empty_strided"),
}
_PROPERTIES = {"T": _T, "mT": _mT, "H": lambda self: conj(_T(self)), "mH": lambda self: conj(_mT(self))}
_FACTORIES = ("tensor", "zeros", "ones", "empty", "full", "rand", "randn", "eye", "linspace", "logspace")
_LIKE_FACTORIES = ("zeros_like", "ones_like", "empty_like", "full_like", "rand_like", "randn_like")
_ORIGINAL = {}


def _has_complex(args, kwargs):
    for a in args:
        if _is_c(a) or isinstance(a, builtins.complex):
            return True
        if isinstance(a, (list, tuple)) and builtins.any(_is_c(x) for x in a):
            return True
    return builtins.any(_is_c(v) for v in kwargs.values())


def _complex_first(orig, form):
    """The complex form whenever an operand is complex: for functions that
    could otherwise read a complex operand as real."""
    return _zel._complex_dispatch(orig, form, True)


def _complex_property(orig, form):
    return property(lambda self: form(self) if self._is_complex() else orig.fget(self), doc=orig.__doc__)


def _wrapped(orig, form):
    """Operands are checked before orig runs: compiled functions refuse
    complex limbs only where they touch memory, so on empty tensors they
    would answer with a real result."""
    return _complex_first(orig, form)


def install(zel):
    """Adds the complex dtype names, constructors and views to varnel.zel.zel,
    and the complex forms of the tensor functions."""
    global _zel
    _zel = zel
    zel.complex128 = zel.cdouble = "complex128"
    zel.complex64 = zel.cfloat = "complex128"
    Tensor = zel.Tensor
    for fn in (view_as_real, view_as_complex, complex, polar, conj, conj_physical, resolve_conj, resolve_neg,
               is_conj):
        fn.__module__ = zel.__name__
        setattr(zel, fn.__name__, fn)
    for name in ("conj", "conj_physical", "resolve_conj", "resolve_neg", "is_conj"):
        setattr(Tensor, name, globals()[name])
    Tensor.real = property(real, doc="The real parts; a real tensor itself.")
    Tensor.imag = property(imag, doc="The imaginary parts of a complex tensor.")
    for name, form in _FUNCTIONS.items():
        if hasattr(zel, name):
            setattr(zel, name, _wrapped(getattr(zel, name), form))
        method = Tensor.__dict__.get(name)
        if method is not None:
            setattr(Tensor, name, _wrapped(method, form))
    for name, form in _METHODS.items():
        method = Tensor.__dict__.get(name)
        if method is not None:
            # operators may answer NotImplemented to a complex number rather than raise
            wrap = _complex_first if name.startswith("__") and name != "__getitem__" else _wrapped
            _ORIGINAL[name] = method
            setattr(Tensor, name, wrap(method, form))
    for name, form in _PROPERTIES.items():
        setattr(Tensor, name, _complex_property(Tensor.__dict__[name], form))
    for name in _FACTORIES:
        setattr(zel, name, _factory(name, getattr(zel, name)))
    for name in _LIKE_FACTORIES:
        setattr(zel, name, _like_factory(name, getattr(zel, name)))
    _ORIGINAL["to"] = Tensor.__dict__["to"]
    _ORIGINAL["from_limbs"] = zel.from_limbs

    def to_(self, *args, **kwargs):
        if self._is_complex() or builtins.any(_wants_complex(a) or _is_c(a) for a in args) \
                or _wants_complex(kwargs.get("dtype")):
            return to(self, *args, **kwargs)
        return _ORIGINAL["to"](self, *args, **kwargs)
    to_.__name__, to_.__doc__ = "to", _ORIGINAL["to"].__doc__
    Tensor.to = to_
    from_limbs.__module__ = zel.__name__
    from_limbs.__doc__ = (zel.from_limbs.__doc__.split("\n", 2)[-1].strip() + "\n\nWith dtype=complex128 the "
                          "limbs, of shape (*shape, 2, 8), hold the real and imaginary parts of a complex tensor.")
    zel.from_limbs = from_limbs
