"""torch.nn.functional for Tensors of this library, composed of the compiled
operations (nothing here touches limbs)."""
import itertools
import math
import sys
import warnings
from fractions import Fraction

import torch


class _Library:
    """Stands for varnel.zel.zel until install() runs."""

    def __getattr__(self, name):
        from varnel.zel import zel
        return getattr(zel, name)


_zel = _Library()  # install() puts the module itself here


def tensor_arg(op, name, v):
    if not isinstance(v, _zel.Tensor):
        raise TypeError("%s(): argument '%s' must be Tensor, not %s" % (op, name, type(v).__name__))
    return v


def number_arg(op, name, v):
    """A Python number (bool, int or float), as PyTorch's Scalar arguments take."""
    if not isinstance(v, (bool, int, float)):
        raise TypeError("%s(): argument '%s' must be Number, not %s" % (op, name, type(v).__name__))
    return v


def flag_arg(op, name, v):
    """A bool argument (PyTorch's C++ functions refuse anything else)."""
    if not isinstance(v, (bool, int)):
        raise TypeError("%s(): argument '%s' must be bool, not %s" % (op, name, type(v).__name__))
    return bool(v)


def dtype_arg(op, dtype, stacklevel=3):
    if isinstance(stacklevel, bool) or not isinstance(stacklevel, int):
        raise TypeError("%s(): argument '_stacklevel' must be int, not %s" % (op, type(stacklevel).__name__))
    # Every element is 8 limbs: a dtype is accepted and means nothing.
    if dtype is not None and not isinstance(dtype, (torch.dtype, str)):
        raise TypeError("%s(): argument 'dtype' must be torch.dtype, not %s" % (op, type(dtype).__name__))


def check_reduction(op, reduction):
    if reduction not in ("mean", "sum", "none"):
        raise ValueError("%s(): %r is not a valid value for reduction" % (op, reduction))


def legacy_reduction(size_average, reduce, reduction):
    # PyTorch's mapping of the deprecated size_average/reduce flags.
    if size_average is None and reduce is None:
        return reduction
    size_average = True if size_average is None else size_average
    reduce = True if reduce is None else reduce
    return ("mean" if size_average else "sum") if reduce else "none"


def implicit_dim(ndim):
    return 0 if ndim in (0, 1, 3) else 1


def relu(input, inplace=False):
    out = tensor_arg("relu", "input", input).relu()
    return input.copy_(out) if inplace else out


def gelu(input, approximate="none"):
    tensor_arg("gelu", "input", input)
    if approximate == "tanh":
        return input.gelu()
    if approximate != "none":
        raise RuntimeError("gelu(): approximate must be 'none' or 'tanh', got %r" % (approximate,))
    # x/2 * erfc(-x/sqrt(2)): 1 + erf would cancel for large negative x.
    # Relative error about 2^-100 * max(1, x^2), from rounding x/sqrt(2).
    # 1/sqrt(2) to the precision of the limbs, not float64's.
    return (input * 0.5) * (-(input * _zel.tensor(2.0).rsqrt())).erfc()


def silu(input, inplace=False):
    out = tensor_arg("silu", "input", input).silu()
    return input.copy_(out) if inplace else out


def sigmoid(input):
    return tensor_arg("sigmoid", "input", input).sigmoid()


def softmax(input, dim=None, _stacklevel=3, dtype=None):
    tensor_arg("softmax", "input", input)
    dtype_arg("softmax", dtype, _stacklevel)
    return input.softmax(implicit_dim(input.ndim) if dim is None else dim)


def log_softmax(input, dim=None, _stacklevel=3, dtype=None):
    tensor_arg("log_softmax", "input", input)
    dtype_arg("log_softmax", dtype, _stacklevel)
    return input.log_softmax(implicit_dim(input.ndim) if dim is None else dim)


def linear(input, weight, bias=None):
    tensor_arg("linear", "input", input)
    tensor_arg("linear", "weight", weight)
    out = _zel.matmul(input, weight.T if weight.ndim == 2 else weight)
    return out if bias is None else out + tensor_arg("linear", "bias", bias)


def reduced(loss, reduction):
    if reduction == "none":
        return loss
    return loss.sum() if reduction == "sum" else loss.mean()


def mse_loss(input, target, size_average=None, reduce=None, reduction="mean"):
    tensor_arg("mse_loss", "input", input)
    tensor_arg("mse_loss", "target", target)
    reduction = legacy_reduction(size_average, reduce, reduction)
    check_reduction("mse_loss", reduction)
    d = input - target
    return reduced(d * d, reduction)


def class_indices(op, target):
    """Class indices as an int64 torch tensor (Tensors must hold integers)."""
    if isinstance(target, _zel.Tensor):
        if target.requires_grad:
            # PyTorch's index tensors are integers, which never require grad.
            raise RuntimeError("%s(): class indices cannot require grad" % op)
        values = torch.as_tensor(target.numpy(), dtype=torch.float64)
        if not torch.equal(values, values.trunc()):
            raise RuntimeError("%s(): class indices must be integers" % op)
        return values.to(torch.int64)
    if isinstance(target, torch.Tensor):
        if target.dtype not in (torch.int64, torch.int32, torch.int16, torch.int8, torch.uint8):
            raise RuntimeError("%s(): expected class indices of an integer dtype, got %s" % (op, target.dtype))
        return target.to(torch.int64)
    raise TypeError("%s(): argument 'target' must be Tensor, not %s" % (op, type(target).__name__))


def nll_loss(input, target, weight=None, size_average=None, ignore_index=-100, reduce=None,
             reduction="mean"):
    tensor_arg("nll_loss", "input", input)
    reduction = legacy_reduction(size_average, reduce, reduction)
    check_reduction("nll_loss", reduction)
    idx = class_indices("nll_loss", target)
    if input.ndim < 1:
        raise ValueError("nll_loss(): expected input of 1 or more dimensions, got 0")
    cdim = 0 if input.ndim == 1 else 1
    classes = input.shape[cdim]
    want = input.shape[:cdim] + input.shape[cdim + 1:]
    if tuple(idx.shape) != want:
        raise ValueError("nll_loss(): expected target of shape %s for input of shape %s, got %s"
                         % (want, input.shape, tuple(idx.shape)))
    kept = idx != ignore_index
    bad = kept & ((idx < 0) | (idx >= classes))
    if bool(bad.any()):
        raise IndexError("nll_loss(): target %d is out of bounds for %d classes"
                         % (int(idx[bad].reshape(-1)[0]), classes))
    safe = torch.where(kept, idx, torch.zeros_like(idx))
    picked = input.gather(cdim, safe.unsqueeze(cdim)).squeeze(cdim) if input.ndim > 1 \
        else input.gather(0, safe.reshape(1)).reshape(())
    w = _zel.ones(classes) if weight is None else tensor_arg("nll_loss", "weight", weight)
    if w.shape != (classes,):
        raise RuntimeError("nll_loss(): weight of shape %s for %d classes" % (w.shape, classes))
    ws = w.take(safe)
    if not bool(kept.all()):
        ws = ws.masked_fill(~kept, 0.0)
    loss = -(picked * ws)
    if reduction == "none":
        return loss
    if reduction == "sum":
        return loss.sum()
    return loss.sum() / ws.sum()


def cross_entropy(input, target, weight=None, size_average=None, ignore_index=-100, reduce=None,
                  reduction="mean", label_smoothing=0.0):
    tensor_arg("cross_entropy", "input", input)
    reduction = legacy_reduction(size_average, reduce, reduction)
    check_reduction("cross_entropy", reduction)
    ls = number_arg("cross_entropy", "label_smoothing", label_smoothing)
    if not 0.0 <= ls <= 1.0:
        raise RuntimeError("label_smoothing must be between 0.0 and 1.0. Got: %s" % (label_smoothing,))
    cdim = 0 if input.ndim == 1 else 1
    logp = input.log_softmax(cdim)
    probabilities = isinstance(target, _zel.Tensor) and target.shape == input.shape or (
        isinstance(target, torch.Tensor) and target.is_floating_point())
    classes = input.shape[cdim] if input.ndim else 1
    wshape = (classes,) + (1,) * (input.ndim - cdim - 1)
    if weight is not None:
        tensor_arg("cross_entropy", "weight", weight)
    if not probabilities:
        nll = nll_loss(logp, target, weight, None, ignore_index, None, reduction)
        if ls == 0.0:
            return nll
        # PyTorch's smoothing term: the (weighted) sum of all the log-probabilities,
        # none for ignored targets, 'mean' divided as nll_loss divides.
        idx = class_indices("cross_entropy", target)
        ignored = idx == ignore_index
        terms = logp if weight is None else logp * weight.reshape(*wshape)
        smooth = -terms.sum(cdim)
        if bool(ignored.any()):
            smooth = smooth.masked_fill(ignored.reshape(smooth.shape), 0.0)
        if reduction == "none":
            ret = smooth
        elif reduction == "sum":
            ret = smooth.sum()
        elif weight is None:
            ret = smooth.sum() / float((~ignored).sum())
        else:
            ret = smooth.sum() / weight.take(idx[~ignored].reshape(-1)).sum()
        return nll * (1.0 - ls) + ret * (ls / max(classes, 1))
    p = target if isinstance(target, _zel.Tensor) else _zel.tensor(target)
    if p.shape != input.shape:
        raise ValueError("cross_entropy(): probabilities of shape %s for input of shape %s" % (p.shape, input.shape))
    if ls != 0.0:
        p = p * (1.0 - ls) + ls / max(classes, 1)
    terms = logp * p
    if weight is not None:
        terms = terms * weight.reshape(*wshape)
    loss = -terms.sum(cdim)
    return reduced(loss, reduction)


def normalize(input, p=2.0, dim=1, eps=1e-12, out=None):
    tensor_arg("normalize", "input", input)
    if out is not None:
        raise NotImplementedError("normalize(): out= is not supported")
    p = int(p) if isinstance(p, float) and p.is_integer() else p
    # Tensor.norm: the defined module norm for ordinary p, PyTorch's for 0 and +-inf.
    denom = input.norm(p, dim, True).clamp(eps)
    return input / denom


def source_index(mode, n, lo, size):
    """For each output position along a dimension, the input position it copies."""
    j = torch.arange(size, dtype=torch.int64) - lo
    if mode == "reflect":
        j = j.abs()
        return torch.where(j >= n, 2 * (n - 1) - j, j)
    if mode == "replicate":
        return j.clamp(0, n - 1)
    # Circular padding wraps around what is left after negative padding crops.
    hi = size - n - lo
    start = max(-lo, 0)
    kept = max(n - start - max(-hi, 0), 1)
    return (torch.arange(size, dtype=torch.int64) - max(lo, 0)).remainder(kept) + start


def pad(input, pad, mode="constant", value=None):
    tensor_arg("pad", "input", input)
    if not isinstance(pad, (tuple, list)) or len(pad) % 2 or not all(isinstance(v, int) for v in pad):
        raise ValueError("pad(): padding must be a tuple of ints of even length, got %r" % (pad,))
    if mode != "constant":
        # PyTorch's own checks (dims that may be padded, sizes, value) on a
        # shape-only tensor give its exception types, messages and shape.
        meta = torch.empty(tuple(input.shape), device="meta")
        shape = tuple(torch.nn.functional.pad(meta, tuple(pad), mode, value).shape)
        out = input
        for k in range(len(pad) // 2):
            d = input.ndim - 1 - k
            n, lo, hi = input.shape[d], pad[2 * k], pad[2 * k + 1]
            if mode == "reflect" and max(lo, hi) >= n:
                raise RuntimeError("Argument #%d: Padding size should be less than the corresponding input "
                                   "dimension, but got: padding (%d, %d) at dimension %d of input %s"
                                   % (4 + 2 * k, lo, hi, d, list(input.shape)))
            if mode == "reflect" and shape[d] < 1:
                raise RuntimeError("pad(): input of size %d in dimension %d is too small for padding "
                                   "(%d, %d): calculated output size %d" % (n, d, lo, hi, shape[d]))
            if shape[d] == input.shape[d] and pad[2 * k] == 0:
                continue
            # Gathering by index keeps the gradient: index_select's backward adds back.
            idx = source_index(mode, n, lo, shape[d])
            out = out.index_select(d, idx)
        return out if out is not input else input.clone()
    if len(pad) // 2 > input.ndim:
        raise ValueError("pad(): padding length %d is too large for a %d-D input" % (len(pad), input.ndim))
    shape = list(input.shape)
    src, dst = [slice(None)] * input.ndim, [slice(None)] * input.ndim
    for k in range(len(pad) // 2):
        d = input.ndim - 1 - k
        lo, hi = pad[2 * k], pad[2 * k + 1]
        size = shape[d] + lo + hi
        if size < 0:
            raise RuntimeError("pad(): the padded size of dimension %d would be %d" % (d, size))
        # Negative padding crops.
        src[d] = slice(max(-lo, 0), shape[d] - max(-hi, 0))
        dst[d] = slice(max(lo, 0), size - max(hi, 0))
        shape[d] = size
    out = _zel.full(shape, 0.0 if value is None else value, device=input.device)
    kept = input[tuple(src)]
    # An empty part is still written when it has a history, so the result keeps it.
    if kept.numel or kept.requires_grad:
        out[tuple(dst)] = kept
    return out


def one_hot(tensor, num_classes=-1):
    return torch.nn.functional.one_hot(class_indices("one_hot", tensor), num_classes)



# ---------------------------------------------------------------- constants

def _parts(value):
    """A rational as three float64s whose exact sum is within 2^-150 of it."""
    f = Fraction(value)
    out = []
    for _ in range(3):
        h = float(f)
        out.append(h)
        f -= Fraction(h)
    return out


_CONSTANTS = {}


def _const(text):
    """A decimal (or rational) constant to the limbs' precision, not float64's."""
    c = _CONSTANTS.get(text)
    if c is None:
        a, b, d = _parts(Fraction(text))
        c = _CONSTANTS[text] = _zel.tensor(a) + _zel.tensor(b) + _zel.tensor(d)
    return c


def _const_vector(fracs):
    """A 1-D Tensor of rationals, each to about 2^-150."""
    cols = list(zip(*[_parts(f) for f in fracs])) if fracs else [(), (), ()]
    t = [_zel.tensor(torch.tensor(c, dtype=torch.float64)) for c in cols]
    return t[0] + t[1] + t[2]


_SELU_ALPHA = "1.6732632423543772848170429916717"
_SELU_SCALE = "1.0507009873554804934193349852946"
_HALF_LOG_2PI = "0.918938533204672741780329736405617639861397473637783412817152"


def _tanh_series():
    """The Taylor coefficients of x - tanh(x) in powers x^3, x^5, ...: exact rationals."""
    # Bernoulli numbers by the Akiyama-Tanigawa recurrence.
    n_terms = 14
    bern = []
    a = [Fraction(0)] * (2 * n_terms + 3)
    for m in range(2 * n_terms + 3):
        a[m] = Fraction(1, m + 1)
        for j in range(m, 0, -1):
            a[j - 1] = j * (a[j - 1] - a[j])
        bern.append(a[0])
    coeffs = []
    for n in range(2, n_terms + 2):
        c = Fraction(2 ** (2 * n) * (2 ** (2 * n) - 1)) * bern[2 * n] / math.factorial(2 * n)
        coeffs.append(-c)  # x - tanh(x) drops tanh's first term and flips the rest
    return [str(c) for c in coeffs]


_TANH_SERIES = _tanh_series()


# ---------------------------------------------------------------- activations

def _inplace(input, out, inplace):
    return input.copy_(out) if inplace else out


def _mask(m, shape):
    """A comparison's flat mask in the shape of its operand."""
    return m.reshape(tuple(shape))


def leaky_relu(input, negative_slope=0.01, inplace=False):
    """x where x > 0, else negative_slope * x."""
    x = tensor_arg("leaky_relu", "input", input)
    slope = number_arg("leaky_relu", "negative_slope", negative_slope)
    return _inplace(input, _zel.where(_mask(x > 0, x.shape), x, x * slope), inplace)


def _elu(x, alpha, scale=None, input_scale=None):
    # The exponential branch sees 0 where x > 0: no overflow, no 0 * inf in the gradient.
    pos = _mask(x > 0, x.shape)
    neg = x.masked_fill(pos, 0.0)
    if input_scale is not None:
        neg = neg / input_scale
    e = neg.expm1() * alpha
    return _zel.where(pos, x if scale is None else x * scale, e)


def elu(input, alpha=1.0, inplace=False):
    """x where x > 0, else alpha * (exp(x) - 1), with the accurate expm1."""
    x = tensor_arg("elu", "input", input)
    return _inplace(input, _elu(x, number_arg("elu", "alpha", alpha)), inplace)


def selu(input, inplace=False):
    """scale * elu(x, alpha) with the constants to the limbs' precision."""
    x = tensor_arg("selu", "input", input)
    scale = _const(_SELU_SCALE)
    return _inplace(input, _elu(x, _const(_SELU_ALPHA) * scale, scale), inplace)


def celu(input, alpha=1.0, inplace=False):
    """max(0, x) + min(0, alpha * (exp(x / alpha) - 1))."""
    x = tensor_arg("celu", "input", input)
    alpha = number_arg("celu", "alpha", alpha)
    if alpha == 0:
        raise RuntimeError("ZeroDivisionError: alpha cannot be 0 for CELU")
    return _inplace(input, _elu(x, alpha, input_scale=alpha), inplace)


def _softplus(x):
    # log(1 + exp(x)) = logaddexp(x, 0): accurate for every x, no cancellation.
    return x.logaddexp(0.0)


def softplus(input, beta=1, threshold=20):
    """log(1 + exp(beta * x)) / beta, and x where beta * x > threshold (as PyTorch)."""
    x = tensor_arg("softplus", "input", input)
    beta = number_arg("softplus", "beta", beta)
    threshold = number_arg("softplus", "threshold", threshold)
    bx = x * beta
    over = _mask(bx > threshold, x.shape)
    return _zel.where(over, x, _softplus(bx.masked_fill(over, 0.0)) / beta)


def mish(input, inplace=False):
    """x * tanh(softplus(x))."""
    x = tensor_arg("mish", "input", input)
    return _inplace(input, x * _softplus(x).tanh(), inplace)


def tanh(input):
    """The library's tanh."""
    return tensor_arg("tanh", "input", input).tanh()


def hardtanh(input, min_val=-1.0, max_val=1.0, inplace=False):
    """x clamped to [min_val, max_val]; no gradient at or beyond the ends (as PyTorch)."""
    x = tensor_arg("hardtanh", "input", input)
    lo = number_arg("hardtanh", "min_val", min_val)
    hi = number_arg("hardtanh", "max_val", max_val)
    if lo > hi:
        # clamp's rule: max_val wins.
        out = x.masked_fill(torch.ones(tuple(x.shape), dtype=torch.bool), hi)
    else:
        out = x.masked_fill(_mask(x <= lo, x.shape), lo).masked_fill(_mask(x >= hi, x.shape), hi)
    return _inplace(input, out, inplace)


def relu6(input, inplace=False):
    """hardtanh(x, 0, 6)."""
    tensor_arg("relu6", "input", input)
    return hardtanh(input, 0.0, 6.0, inplace)


def logsigmoid(input):
    """log(sigmoid(x)) = -logaddexp(0, -x): no cancellation at either end."""
    x = tensor_arg("logsigmoid", "input", input)
    return -_softplus(-x)


def softmin(input, dim=None, _stacklevel=3, dtype=None):
    """softmax(-x)."""
    x = tensor_arg("softmin", "input", input)
    dtype_arg("softmin", dtype, _stacklevel)
    return (-x).softmax(implicit_dim(x.ndim) if dim is None else dim)


def softsign(input):
    """x / (1 + |x|)."""
    x = tensor_arg("softsign", "input", input)
    return x / (x.abs() + 1.0)


def tanhshrink(input):
    """x - tanh(x); near 0, where the difference cancels, its Taylor series."""
    x = tensor_arg("tanhshrink", "input", input)
    small = _mask(x.abs() < 0.0625, x.shape)
    # 14 terms reach 2^-120 of the leading x^3/3 for |x| < 1/16.
    xs = x.masked_fill(~small, 0.0)
    x2 = xs * xs
    acc = None
    for c in reversed(_TANH_SERIES):
        acc = _const(c) if acc is None else acc * x2 + _const(c)
    series = acc * x2 * xs
    return _zel.where(small, series, x - x.tanh())


def hardsigmoid(input, inplace=False):
    """0 for x <= -3, 1 for x >= 3, x / 6 + 1 / 2 between."""
    x = tensor_arg("hardsigmoid", "input", input)
    out = (x / 6.0 + 0.5).masked_fill(_mask(x <= -3, x.shape), 0.0).masked_fill(_mask(x >= 3, x.shape), 1.0)
    return _inplace(input, out, inplace)


_HARDSWISH_KINKS = []


def _hardswish_kinks_outside():
    """Whether the installed PyTorch gives -3 and 3 the outer pieces' gradients (0 and 1; later
    versions) rather than the middle formula's (-1/2 and 3/2)."""
    if not _HARDSWISH_KINKS:
        x = torch.tensor([-3.0], dtype=torch.float64, requires_grad=True)
        torch.nn.functional.hardswish(x).backward()
        _HARDSWISH_KINKS.append(float(x.grad) == 0.0)
    return _HARDSWISH_KINKS[0]


def hardswish(input, inplace=False):
    """x * hardsigmoid(x); at -3 and 3 the gradient of the installed PyTorch."""
    x = tensor_arg("hardswish", "input", input)
    outside = _hardswish_kinks_outside()
    hi = _mask(x >= 3 if outside else x > 3, x.shape)
    lo = _mask(x <= -3 if outside else x < -3, x.shape)
    mid = x.masked_fill(hi, 0.0)
    mid = (mid * (mid + 3.0) / 6.0).masked_fill(lo, 0.0)
    return _inplace(input, _zel.where(hi, x, mid), inplace)


def glu(input, dim=-1):
    """a * sigmoid(b), a and b the halves of input along dim."""
    x = tensor_arg("glu", "input", input)
    if x.ndim == 0:
        raise RuntimeError("glu does not support scalars because halving size must be even")
    if isinstance(dim, bool) or not isinstance(dim, int):
        raise TypeError("glu(): argument 'dim' must be int, not %s" % type(dim).__name__)
    if not -x.ndim <= dim < x.ndim:
        raise IndexError("Dimension out of range (expected to be in range of [%d, %d], but got %d)"
                         % (-x.ndim, x.ndim - 1, dim))
    d = dim % x.ndim
    n = x.shape[d]
    if n % 2:
        raise RuntimeError("Halving dimension must be even, but dimension %d is size %d" % (d, n))
    return x.narrow(d, 0, n // 2) * x.narrow(d, n // 2, n // 2).sigmoid()



# ---------------------------------------------------------------- layers

def _meta(t):
    """A shape-only stand-in: PyTorch's own checks give its errors and shapes."""
    return torch.empty(tuple(t.shape), dtype=torch.float64, device="meta")


def _ntuple(v, n):
    if isinstance(v, (list, tuple)):
        v = tuple(int(e) for e in v)
        return v * n if len(v) == 1 else v
    return (int(v),) * n


def _row_strides(shape):
    out, acc = [], 1
    for n in reversed(shape):
        out.append(acc)
        acc *= n
    return tuple(reversed(out))


def bilinear(input1, input2, weight, bias=None):
    """x1^T A x2 + b for each output feature: one matrix product, then a contraction with x2."""
    for name, t in (("input1", input1), ("input2", input2), ("weight", weight)):
        tensor_arg("bilinear", name, t)
    if bias is not None:
        tensor_arg("bilinear", "bias", bias)
    out_shape = tuple(torch.nn.functional.bilinear(_meta(input1), _meta(input2), _meta(weight),
                                                   None if bias is None else _meta(bias)).shape)
    o, n1, n2 = weight.shape
    a = weight.permute(1, 0, 2).reshape(n1, o * n2)
    t = _zel.matmul(input1.reshape(-1, n1), a).reshape(-1, o, n2)
    out = (t * input2.reshape(-1, 1, n2)).sum(-1)
    if bias is not None:
        out = out + bias
    return out.reshape(out_shape)


def _conv(op, nd, input, weight, bias, stride, padding, dilation, groups):
    tensor_arg(op, "input", input)
    tensor_arg(op, "weight", weight)
    if bias is not None:
        tensor_arg(op, "bias", bias)
    ref = getattr(torch.nn.functional, op)
    # The checks PyTorch's CPU path makes and its shape-only one leaves out.
    for name, v in (("stride", stride), ("padding", padding), ("dilation", dilation)):
        if isinstance(v, str) and name == "padding":
            continue
        seq = list(v) if isinstance(v, (list, tuple)) else None
        if seq is not None and len(seq) not in (1, nd):
            raise RuntimeError("expected %s to be a single integer value or a list of %d values to match the "
                               "convolution dimensions, but got %s=%s" % (name, nd, name, seq))
        vals = seq if seq is not None else [v]
        if any(isinstance(e, (int, float)) and e < 0 for e in vals) and name == "padding":
            raise RuntimeError("negative padding is not supported")
        if any(isinstance(e, (int, float)) and e <= 0 for e in vals) and name == "stride":
            raise RuntimeError("non-positive stride is not supported")
        if any(isinstance(e, (int, float)) and e <= 0 for e in vals) and name == "dilation":
            raise RuntimeError("dilation should be greater than zero, but got %s" % (list(_ntuple(v, nd)),))
    if isinstance(groups, int) and groups <= 0:
        raise RuntimeError("non-positive groups is not supported")
    if input.ndim not in (nd + 1, nd + 2):
        raise RuntimeError("Expected %dD (unbatched) or %dD (batched) input to %s, but got input of size: %s"
                           % (nd + 1, nd + 2, op, list(input.shape)))
    if weight.ndim != nd + 2:
        raise RuntimeError("%s(): expected a %d-D weight, got one of size %s" % (op, nd + 2, list(weight.shape)))
    out_shape = tuple(ref(_meta(input), _meta(weight), None if bias is None else _meta(bias),
                          stride, padding, dilation, groups).shape)
    batched = input.ndim == nd + 2
    x = input if batched else input.unsqueeze(0)
    ks = tuple(weight.shape[2:])
    st, dl = _ntuple(stride, nd), _ntuple(dilation, nd)
    if isinstance(padding, str):
        total = [d * (k - 1) for d, k in zip(dl, ks)] if padding == "same" else [0] * nd
        lo = [t // 2 for t in total]
        hi = [t - l for t, l in zip(total, lo)]
    else:
        lo = hi = list(_ntuple(padding, nd))
    n, c = x.shape[:2]
    o, g = weight.shape[0], int(groups)
    cg = c // g
    osz = out_shape[-nd:]
    pads = [v for l, h in reversed(list(zip(lo, hi))) for v in (l, h)]
    if any(pads):
        x = pad(x, pads)
    sp = x.shape[2:]
    ss = _row_strides(sp)
    plane = math.prod(sp)
    # im2col as one strided view: (N, G, C/G, k..., out...) -> (N, G, C/G * prod(k), prod(out)).
    size = (n, g, cg) + ks + tuple(osz)
    strides = ((c * plane, cg * plane, plane) + tuple(d * s for d, s in zip(dl, ss))
               + tuple(t * s for t, s in zip(st, ss)))
    cols = x.as_strided(size, strides).reshape(n, g, cg * math.prod(ks), math.prod(osz))
    w = weight.reshape(g, o // g, cg * math.prod(ks))
    out = _zel.matmul(w, cols).reshape((n, o) + tuple(osz))
    if bias is not None:
        out = out + bias.reshape((o,) + (1,) * nd)
    return out if batched else out.squeeze(0)


def conv1d(input, weight, bias=None, stride=1, padding=0, dilation=1, groups=1):
    """1-D convolution (cross-correlation) as one matrix product over the unfolded input."""
    return _conv("conv1d", 1, input, weight, bias, stride, padding, dilation, groups)


def conv2d(input, weight, bias=None, stride=1, padding=0, dilation=1, groups=1):
    """2-D convolution (cross-correlation) as one matrix product over the unfolded input."""
    return _conv("conv2d", 2, input, weight, bias, stride, padding, dilation, groups)


def _pool_args(nd, kernel_size, stride, padding, dilation):
    ks = _ntuple(kernel_size, nd)
    st = ks if stride is None or (isinstance(stride, (list, tuple)) and len(stride) == 0) else _ntuple(stride, nd)
    return ks, st, _ntuple(padding, nd), _ntuple(dilation, nd)


def _window_starts(o, s, p):
    return torch.arange(o, dtype=torch.int64) * s - p


def _grid(vectors, weights):
    """sum_i vectors[i] * weights[i] over the outer grid of the vectors."""
    nd = len(vectors)
    out = torch.zeros((1,) * nd, dtype=torch.int64)
    for i, (v, w) in enumerate(zip(vectors, weights)):
        out = out + (v * w).reshape((1,) * i + (-1,) + (1,) * (nd - i - 1))
    return out


def _max_pool(op, nd, input, kernel_size, stride, padding, dilation, ceil_mode, return_indices):
    tensor_arg(op, "input", input)
    ref = getattr(torch.nn.functional, op)
    out_shape = tuple(ref(_meta(input), kernel_size, stride, padding, dilation, ceil_mode=ceil_mode,
                          return_indices=False).shape)
    ks, st, pd, dl = _pool_args(nd, kernel_size, stride, padding, dilation)
    if math.prod(out_shape) == 0:  # no index table for sizes of nothing
        out = input.reshape(-1)[:0].reshape(out_shape)
        return (out, torch.zeros(out_shape, dtype=torch.int64)) if return_indices else out
    sp = tuple(input.shape[-nd:])
    osz = out_shape[-nd:]
    m = math.prod(input.shape[:-nd])
    x = input.reshape((m,) + sp)
    # Padding of -inf, wide enough on the right for the windows ceil_mode adds.
    hi = [max(0, (o - 1) * s + d * (k - 1) + 1 - n - p) for o, s, d, k, n, p in zip(osz, st, dl, ks, sp, pd)]
    pads = [v for p, h in reversed(list(zip(pd, hi))) for v in (p, h)]
    xp = x.detach()
    if any(pads):
        xp = pad(xp, pads, value=-math.inf)
    psp = tuple(xp.shape[1:])
    ps, xs = _row_strides(psp), _row_strides(sp)
    plane = math.prod(psp)
    starts = [_window_starts(o, s, p) for o, s, p in zip(osz, st, pd)]
    # PyTorch's scan: the first strictly greater element, or the last NaN; a window of -inf
    # keeps its first element inside the input.
    first = [torch.where(a < 0, a + ((-a + d - 1) // d) * d, a).clamp(max=n - 1) for a, d, n in zip(starts, dl, sp)]
    idx = _grid(first, xs).expand((m,) + tuple(osz)).clone()
    best = _zel.full((m,) + tuple(osz), -math.inf)
    view_strides = (plane,) + tuple(s * q for s, q in zip(st, ps))
    for offs in itertools.product(*[range(k) for k in ks]):
        offset = sum(j * d * q for j, d, q in zip(offs, dl, ps))
        win = xp.as_strided((m,) + tuple(osz), view_strides, offset)
        take = _mask((win > best) | win.isnan(), win.shape)
        if not bool(take.any()):
            continue
        best = _zel.where(take, win, best)
        flat = _grid([a + j * d for a, j, d in zip(starts, offs, dl)], xs)
        idx = torch.where(take, flat.expand_as(idx), idx)
    out = x.reshape(m, math.prod(sp)).gather(1, idx.reshape(m, -1)).reshape(out_shape)
    if return_indices:
        return out, idx.reshape(out_shape)
    return out


def max_pool1d(input, kernel_size, stride=None, padding=0, dilation=1, ceil_mode=False, return_indices=False):
    """1-D max pooling; the gradient goes to the element PyTorch picks (the first maximum)."""
    return _max_pool("max_pool1d", 1, input, kernel_size, stride, padding, dilation, ceil_mode, return_indices)


def max_pool2d(input, kernel_size, stride=None, padding=0, dilation=1, ceil_mode=False, return_indices=False):
    """2-D max pooling; the gradient goes to the element PyTorch picks (the first maximum)."""
    return _max_pool("max_pool2d", 2, input, kernel_size, stride, padding, dilation, ceil_mode, return_indices)


def _avg_pool(op, nd, input, kernel_size, stride, padding, ceil_mode, count_include_pad, divisor_override):
    tensor_arg(op, "input", input)
    ref = getattr(torch.nn.functional, op)
    extra = {} if nd == 1 else {"divisor_override": divisor_override}
    out_shape = tuple(ref(_meta(input), kernel_size, stride, padding, ceil_mode, count_include_pad, **extra).shape)
    ks, st, pd, _ = _pool_args(nd, kernel_size, stride, padding, 1)
    if math.prod(out_shape) == 0:
        return input.reshape(-1)[:0].reshape(out_shape)
    sp = tuple(input.shape[-nd:])
    osz = out_shape[-nd:]
    m = math.prod(input.shape[:-nd])
    x = input.reshape((m,) + sp)
    hi = [max(0, (o - 1) * s + k - n - p) for o, s, k, n, p in zip(osz, st, ks, sp, pd)]
    pads = [v for p, h in reversed(list(zip(pd, hi))) for v in (p, h)]
    if any(pads):
        x = pad(x, pads)
    psp = tuple(x.shape[1:])
    ps = _row_strides(psp)
    wins = x.as_strided((m,) + tuple(osz) + ks, (math.prod(psp),) + tuple(s * q for s, q in zip(st, ps)) + ps)
    total = wins.sum(tuple(range(1 + nd, 1 + 2 * nd)))
    if divisor_override:
        return (total / float(divisor_override)).reshape(out_shape)
    # PyTorch's divisors: the window clipped to the padded input, or to the input itself.
    div = torch.ones((1,) * nd, dtype=torch.float64)
    for i, (o, s, k, n, p) in enumerate(zip(osz, st, ks, sp, pd)):
        a = _window_starts(o, s, p)
        b = torch.clamp(a + k, max=n + p)
        cnt = (b - a) if count_include_pad else (torch.clamp(b, max=n) - torch.clamp(a, min=0))
        div = div * cnt.clamp(min=1).to(torch.float64).reshape((1,) * i + (-1,) + (1,) * (nd - i - 1))
    return (total / _zel.tensor(div)).reshape(out_shape)


def avg_pool1d(input, kernel_size, stride=None, padding=0, ceil_mode=False, count_include_pad=True):
    """1-D average pooling: exact window sums divided by PyTorch's divisors."""
    return _avg_pool("avg_pool1d", 1, input, kernel_size, stride, padding, ceil_mode, count_include_pad, None)


def avg_pool2d(input, kernel_size, stride=None, padding=0, ceil_mode=False, count_include_pad=True,
               divisor_override=None):
    """2-D average pooling: exact window sums divided by PyTorch's divisors."""
    return _avg_pool("avg_pool2d", 2, input, kernel_size, stride, padding, ceil_mode, count_include_pad,
                     divisor_override)


def layer_norm(input, normalized_shape, weight=None, bias=None, eps=1e-5):
    """(x - mean) / sqrt(var + eps) over the trailing normalized_shape, then weight and bias."""
    tensor_arg("layer_norm", "input", input)
    for name, t in (("weight", weight), ("bias", bias)):
        if t is not None:
            tensor_arg("layer_norm", name, t)
    torch.nn.functional.layer_norm(_meta(input), normalized_shape, None if weight is None else _meta(weight),
                                   None if bias is None else _meta(bias), eps)
    k = 1 if isinstance(normalized_shape, int) else len(tuple(normalized_shape))
    dims = tuple(range(input.ndim - k, input.ndim))
    if not dims:
        out = input - input
    else:
        d = input - input.mean(dims, keepdim=True)
        out = d * ((d * d).mean(dims, keepdim=True) + eps).rsqrt()
    if weight is not None:
        out = out * weight
    if bias is not None:
        out = out + bias
    return out


def batch_norm(input, running_mean, running_var, weight=None, bias=None, training=False, momentum=0.1, eps=1e-5):
    """Batch normalization over every dim but 1; in training the running statistics are
    updated in place (the unbiased variance, as PyTorch)."""
    tensor_arg("batch_norm", "input", input)
    for name, t in (("running_mean", running_mean), ("running_var", running_var), ("weight", weight),
                    ("bias", bias)):
        if t is not None:
            tensor_arg("batch_norm", name, t)
    if training and input.ndim:
        size = tuple(input.shape)
        if math.prod(size[:1] + size[2:]) == 1:
            raise ValueError("Expected more than 1 value per channel when training, got input size %s"
                             % (torch.Size(size),))
    torch.nn.functional.batch_norm(*[None if t is None else _meta(t) for t in
                                     (input, running_mean, running_var, weight, bias)],
                                   training=bool(training), momentum=momentum, eps=eps)
    if input.ndim < 2:  # PyTorch passes an empty 1-D input through
        return input * 1.0
    for name, t in (("running_mean", running_mean), ("running_var", running_var)):
        if not training and t is None:
            raise RuntimeError("%s must be defined in evaluation mode" % name)
    c = input.shape[1]
    shape = (1, c) + (1,) * (input.ndim - 2)
    dims = (0,) + tuple(range(2, input.ndim))
    if training:
        mean = input.mean(dims, keepdim=True)
        d = input - mean
        var = (d * d).mean(dims, keepdim=True)
        out = d * (var + eps).rsqrt()
        n = input.numel // c if c else 0
        with _zel.no_grad():
            if running_mean is not None:
                running_mean.copy_(running_mean * (1.0 - momentum) + mean.detach().reshape(c) * momentum)
            if running_var is not None:
                unbiased = var.detach().reshape(c) * n / (n - 1) if n > 1 else var.detach().reshape(c) * math.nan
                running_var.copy_(running_var * (1.0 - momentum) + unbiased * momentum)
    else:
        out = (input - running_mean.reshape(shape)) * (running_var.reshape(shape) + eps).rsqrt()
    if weight is not None:
        out = out * weight.reshape(shape)
    if bias is not None:
        out = out + bias.reshape(shape)
    return out


def dropout(input, p=0.5, training=True, inplace=False):
    """Zeroes elements with probability p (the library's generator) and scales the rest by 1 / (1 - p)."""
    x = tensor_arg("dropout", "input", input)
    p = number_arg("dropout", "p", p)
    if not 0.0 <= p <= 1.0:
        raise ValueError("dropout probability has to be between 0 and 1, but got %s" % (p,))
    if not training or p == 0 or x.numel == 0:
        return input
    if p == 1:
        out = x * 0.0
    else:
        keep = _zel.empty(tuple(x.shape)).bernoulli_(1.0 - p)
        out = x * keep / (1.0 - p)
    return _inplace(input, out, inplace)


def _indices(op, t):
    """Indices as an int64 torch tensor (Tensors must hold integers)."""
    if isinstance(t, torch.Tensor) and t.is_floating_point():
        raise RuntimeError("Expected tensor for argument #1 'indices' to have one of the following scalar "
                           "types: Long, Int; but got %s instead" % t.type())
    return class_indices(op, t)


def embedding(input, weight, padding_idx=None, max_norm=None, norm_type=2.0, scale_grad_by_freq=False,
              sparse=False):
    """Rows of weight picked by index; padding_idx's row gets no gradient, max_norm renormalizes the
    picked rows in place, scale_grad_by_freq divides each row's gradient by its count."""
    tensor_arg("embedding", "weight", weight)
    idx = _indices("embedding", input)
    if weight.ndim != 2:
        raise RuntimeError("'weight' must be 2-D")
    num, dim = weight.shape
    if padding_idx is not None:
        if padding_idx > 0:
            assert padding_idx < num, "Padding_idx must be within num_embeddings"
        elif padding_idx < 0:
            assert padding_idx >= -num, "Padding_idx must be within num_embeddings"
            padding_idx = num + padding_idx
    flat = idx.reshape(-1)
    if bool(((flat < 0) | (flat >= num)).any()):
        raise IndexError("index out of range in self")
    if max_norm is not None:
        rows = torch.unique(flat)
        with _zel.no_grad():
            sel = weight.index_select(0, rows)
            norms = sel.norm(norm_type, 1, True)
            big = _mask(norms > max_norm, norms.shape).reshape(-1)
            if bool(big.any()):
                scale = (norms + 1e-7).reciprocal() * max_norm
                scaled = _zel.where(big.reshape(-1, 1), sel * scale, sel)
                weight.index_copy_(0, rows, scaled)
    out = weight.index_select(0, flat)
    if padding_idx is not None:
        pad_rows = (flat == padding_idx).reshape(-1, 1)
        if bool(pad_rows.any()):
            out = _zel.where(pad_rows, weight.detach().index_select(0, flat), out)
    if scale_grad_by_freq and out.requires_grad:
        counts = torch.bincount(flat, minlength=num)[flat].to(torch.float64)
        factor = _zel.tensor(1.0 / counts).reshape(-1, 1) if flat.numel() else None
        if factor is not None:
            out.register_hook(lambda g: g * factor)
    return out.reshape(tuple(idx.shape) + (dim,))


_INTERPOLATE_LINEAR = {"linear": 3, "bilinear": 4, "trilinear": 5}


def _source_scale(n, o, scale, align_corners):
    """PyTorch's ratio of source to output coordinates, as an exact rational."""
    if align_corners:
        return Fraction(n - 1, o - 1) if o > 1 else Fraction(0)
    return 1 / Fraction(scale) if scale is not None and scale > 0 else Fraction(n, o)


def _taps(columns):
    """Per-output (index, weight) lists as [(int64 index tensor, weights)] one pair per tap."""
    return [(torch.tensor([c[0] for c in col], dtype=torch.int64), [c[1] for c in col]) for col in zip(*columns)]


def _linear_taps(n, o, scale, align_corners):
    """PyTorch's two source indices and weights of linear interpolation along one dim, in exact rationals."""
    if o == n:
        return [(torch.arange(o, dtype=torch.int64), [Fraction(1)] * o)]
    r = _source_scale(n, o, scale, align_corners)
    rows = []
    for j in range(o):
        src = r * j if align_corners else max(r * (j + Fraction(1, 2)) - Fraction(1, 2), Fraction(0))
        a = min(math.floor(src), n - 1)
        lam = min(max(src - a, Fraction(0)), Fraction(1))
        rows.append(((a, 1 - lam), (a + (1 if a < n - 1 else 0), lam)))
    return _taps(rows)


def _area_taps(n, o):
    """Adaptive average pooling: PyTorch's windows [floor(i n / o), ceil((i + 1) n / o)), as taps
    of weight 1 / length (a shorter window repeats its last element with weight 0)."""
    bounds = [((i * n) // o, -((-(i + 1) * n) // o)) for i in range(o)]
    width = max(b - a for a, b in bounds)
    return _taps([[(min(a + k, b - 1), Fraction(1, b - a) if a + k < b else Fraction(0)) for k in range(width)]
                  for a, b in bounds])


def _cubic_taps(n, o, scale, align_corners):
    """PyTorch's bicubic convolution (A = -3/4) along one dim: four taps, indices clamped to the edges."""
    a = Fraction(-3, 4)

    def near(t):
        return ((a + 2) * t - (a + 3)) * t * t + 1

    def far(t):
        return ((a * t - 5 * a) * t + 8 * a) * t - 4 * a
    r = _source_scale(n, o, scale, align_corners)
    rows = []
    for j in range(o):
        src = r * j if align_corners else r * (j + Fraction(1, 2)) - Fraction(1, 2)
        k = math.floor(src)
        t = src - k
        rows.append(tuple((min(max(k + off, 0), n - 1), w)
                          for off, w in ((-1, far(t + 1)), (0, near(t)), (1, near(1 - t)), (2, far(2 - t)))))
    return _taps(rows)


def interpolate(input, size=None, scale_factor=None, mode="nearest", align_corners=None,
                recompute_scale_factor=None, antialias=False):
    """Resizing by 'nearest', 'nearest-exact' (PyTorch's source indices), 'linear', 'bilinear',
    'trilinear', 'bicubic' (its source positions in exact rationals, the weights to the limbs'
    precision) or 'area' (adaptive average pooling)."""
    x = tensor_arg("interpolate", "input", input)
    try:
        out_shape = tuple(torch.nn.functional.interpolate(_meta(x), size, scale_factor, mode, align_corners,
                                                          recompute_scale_factor, antialias).shape)
    except NotImplementedError:
        # PyTorch 1.13 has no shape-only 3-D nearest: PyTorch's rule, its checks on a small stand-in.
        if mode not in ("nearest", "nearest-exact") or x.ndim != 5:
            raise
        seq = size if size is not None else scale_factor
        seq = list(seq) if isinstance(seq, (list, tuple)) else [seq] * 3
        if len(seq) != 3:
            raise ValueError("interpolate(): expected 3 output sizes or scale factors, got %s" % (seq,))
        spatial = [int(v) if size is not None else int(math.floor(float(n) * float(v)))
                   for v, n in zip(seq, x.shape[2:])]
        if min(spatial + list(x.shape[2:])) <= 0:
            raise RuntimeError("Input and output sizes should be greater than 0, but got input (D: %d, H: %d, W: %d)"
                               " output (D: %d, H: %d, W: %d)" % tuple(list(x.shape[2:]) + spatial))
        out_shape = tuple(x.shape[:2]) + tuple(spatial)
    if mode not in ("nearest", "nearest-exact", "area", "bicubic") and mode not in _INTERPOLATE_LINEAR:
        raise NotImplementedError("interpolate(): mode %r is not supported" % (mode,))
    if antialias:
        raise NotImplementedError("interpolate(): antialias is not supported")
    nd = x.ndim - 2
    if size is None and not recompute_scale_factor:
        scales = list(scale_factor) if isinstance(scale_factor, (list, tuple)) else [scale_factor] * nd
        scales = [float(v) for v in scales]
    else:
        scales = [None] * nd
    if math.prod(out_shape) == 0:
        return x.reshape(-1)[:0].reshape(out_shape)
    _zel.empty(out_shape)  # refuses a result beyond memory before any index table is built
    if mode == "bicubic" and tuple(x.shape) == out_shape:
        return x * 1.0  # PyTorch copies when no size changes
    out = x
    for i in range(nd):
        d = 2 + i
        n, o = x.shape[d], out_shape[d]
        if mode in ("nearest", "nearest-exact"):
            src = torch.arange(n, dtype=torch.float64).reshape(1, 1, n)
            kw = {"size": o} if scales[i] is None else {"scale_factor": scales[i], "recompute_scale_factor": False}
            idx = torch.nn.functional.interpolate(src, mode=mode, **kw).reshape(-1).to(torch.int64)
            out = out.index_select(d, idx)
            continue
        if mode == "area":
            taps = _area_taps(n, o)
        elif mode == "bicubic":
            taps = _cubic_taps(n, o, scales[i], bool(align_corners))
        else:
            taps = _linear_taps(n, o, scales[i], bool(align_corners))
        shape = (o,) + (1,) * (nd - 1 - i)
        acc = None
        for idx, w in taps:
            if acc is not None and not any(w):
                continue
            term = out.index_select(d, idx) * _const_vector(w).reshape(shape)
            acc = term if acc is None else acc + term
        out = acc
    return out


# ---------------------------------------------------------------- losses

def _same_size_warning(input, target):
    if tuple(target.shape) != tuple(input.shape):
        warnings.warn("Using a target size (%s) that is different to the input size (%s). This will likely lead "
                      "to incorrect results due to broadcasting. Please ensure they have the same size."
                      % (torch.Size(target.shape), torch.Size(input.shape)), stacklevel=3)


def _loss_args(op, input, target, size_average, reduce, reduction):
    tensor_arg(op, "input", input)
    tensor_arg(op, "target", target)
    reduction = legacy_reduction(size_average, reduce, reduction)
    check_reduction(op, reduction)
    return reduction


def l1_loss(input, target, size_average=None, reduce=None, reduction="mean"):
    """|input - target|, reduced."""
    reduction = _loss_args("l1_loss", input, target, size_average, reduce, reduction)
    _same_size_warning(input, target)
    return reduced((input - target).abs(), reduction)


def smooth_l1_loss(input, target, size_average=None, reduce=None, reduction="mean", beta=1.0):
    """0.5 d^2 / beta where |d| < beta, else |d| - 0.5 beta (l1_loss for beta 0)."""
    reduction = _loss_args("smooth_l1_loss", input, target, size_average, reduce, reduction)
    beta = number_arg("smooth_l1_loss", "beta", beta)
    if beta < 0:
        raise RuntimeError("smooth_l1_loss does not support negative values for beta.")
    _same_size_warning(input, target)
    d = input - target
    a = d.abs()
    if beta == 0:
        return reduced(a, reduction)
    small = _mask(a < beta, a.shape)
    ds = d.masked_fill(~small, 0.0)
    return reduced(_zel.where(small, ds * ds * 0.5 / beta, a - 0.5 * beta), reduction)


def huber_loss(input, target, reduction="mean", delta=1.0):
    """0.5 d^2 where |d| < delta, else delta * (|d| - 0.5 delta)."""
    reduction = _loss_args("huber_loss", input, target, None, None, reduction)
    delta = number_arg("huber_loss", "delta", delta)
    if not delta > 0:
        raise RuntimeError("huber_loss does not support non-positive values for delta.")
    _same_size_warning(input, target)
    d = input - target
    a = d.abs()
    small = _mask(a < delta, a.shape)
    ds = d.masked_fill(~small, 0.0)
    return reduced(_zel.where(small, ds * ds * 0.5, (a - 0.5 * delta) * delta), reduction)


def _clamped_log(x, log1p=False):
    """log(x) (or log1p(x)) no lower than -100, as PyTorch's binary cross-entropy takes it;
    where it clamps, the log sees 1 (no infinite derivative times a zero gradient)."""
    raw = (x.detach().log1p() if log1p else x.detach().log())
    low = _mask(raw < -100, x.shape) | _mask(raw.isnan(), x.shape)
    safe = x.masked_fill(low, 0.0 if log1p else 1.0)
    return (safe.log1p() if log1p else safe.log()).masked_fill(low, -100.0)


def binary_cross_entropy(input, target, weight=None, size_average=None, reduce=None, reduction="mean"):
    """-(t log(x) + (1 - t) log(1 - x)), each log no lower than -100 (as PyTorch); log(1 - x) is log1p(-x)."""
    reduction = _loss_args("binary_cross_entropy", input, target, size_average, reduce, reduction)
    if tuple(target.shape) != tuple(input.shape):
        raise ValueError("Using a target size (%s) that is different to the input size (%s) is deprecated. "
                         "Please ensure they have the same size." % (torch.Size(target.shape),
                                                                      torch.Size(input.shape)))
    if weight is not None:
        tensor_arg("binary_cross_entropy", "weight", weight)
        torch.broadcast_shapes(tuple(weight.shape), tuple(input.shape))
    if input.numel and not bool(((input >= 0) & (input <= 1)).all()):
        raise RuntimeError("all elements of input should be between 0 and 1")
    loss = (target - 1.0) * _clamped_log(-input, log1p=True) - target * _clamped_log(input)
    if weight is not None:
        loss = loss * weight
    return reduced(loss, reduction)


def binary_cross_entropy_with_logits(input, target, weight=None, size_average=None, reduce=None,
                                     reduction="mean", pos_weight=None):
    """(1 - t) softplus(x) + pos_weight t softplus(-x): both terms non-negative, so nothing
    cancels at large |x| (PyTorch's (1 - t) x + ... loses the small result there)."""
    reduction = _loss_args("binary_cross_entropy_with_logits", input, target, size_average, reduce, reduction)
    if tuple(target.shape) != tuple(input.shape):
        raise ValueError("Target size (%s) must be the same as input size (%s)"
                         % (torch.Size(target.shape), torch.Size(input.shape)))
    for name, t in (("weight", weight), ("pos_weight", pos_weight)):
        if t is not None:
            tensor_arg("binary_cross_entropy_with_logits", name, t)
            torch.broadcast_shapes(tuple(t.shape), tuple(input.shape))
    pos = target * _softplus(-input)
    if pos_weight is not None:
        pos = pos * pos_weight
    loss = (1.0 - target) * _softplus(input) + pos
    if weight is not None:
        loss = loss * weight
    return reduced(loss, reduction)


def kl_div(input, target, size_average=None, reduce=None, reduction="mean", log_target=False):
    """target * (log(target) - input) (xlogy: 0 where target is 0), or exp(target) * (target - input)
    with log_target; 'batchmean' divides the sum by the batch size."""
    tensor_arg("kl_div", "input", input)
    tensor_arg("kl_div", "target", target)
    if size_average is not None or reduce is not None:
        reduction = legacy_reduction(size_average, reduce, reduction)
    if reduction not in ("mean", "sum", "none", "batchmean"):
        raise ValueError("%s is not a valid value for reduction" % (reduction,))
    if reduction == "mean":
        warnings.warn("reduction: 'mean' divides the total loss by both the batch size and the support size."
                      "'batchmean' divides only by the batch size, and aligns with the KL div math definition."
                      "'mean' will be changed to behave the same as 'batchmean' in the next major release.",
                      stacklevel=2)
    if flag_arg("kl_div", "log_target", log_target):
        loss = target.exp() * (target - input)
    else:
        loss = target.xlogy(target) - target * input
    if reduction == "batchmean":
        total = loss.sum()
        return total / float(input.shape[0]) if input.ndim else total
    return reduced(loss, reduction)


def gaussian_nll_loss(input, target, var, full=False, eps=1e-6, reduction="mean"):
    """0.5 (log(var) + (input - target)^2 / var), var clamped to eps without touching its gradient
    (as PyTorch); full adds 0.5 log(2 pi) to the limbs' precision."""
    tensor_arg("gaussian_nll_loss", "input", input)
    tensor_arg("gaussian_nll_loss", "target", target)
    if isinstance(var, (int, float)) and not isinstance(var, bool):
        var = _zel.full(tuple(input.shape), float(var))
    tensor_arg("gaussian_nll_loss", "var", var)
    vs, xs = tuple(var.shape), tuple(input.shape)
    if vs != xs:
        if xs[:-1] == vs:
            var = var.unsqueeze(-1)
        elif not (xs[:-1] == vs[:-1] and len(vs) and vs[-1] == 1):
            raise ValueError("var is of incorrect size")
    if reduction not in ("none", "mean", "sum"):
        raise ValueError("%s is not valid" % (reduction,))
    eps = number_arg("gaussian_nll_loss", "eps", eps)
    full = flag_arg("gaussian_nll_loss", "full", full)
    if var.numel and bool((var < 0).any()):
        raise ValueError("var has negative entry/entries")
    var = var.clone()
    with _zel.no_grad():
        var.clamp_(eps)
    d = input - target
    loss = (var.log() + d * d / var) * 0.5
    if full:
        loss = loss + _const(_HALF_LOG_2PI)
    return reduced(loss, reduction)


def poisson_nll_loss(input, target, log_input=True, full=False, size_average=None, eps=1e-8, reduce=None,
                     reduction="mean"):
    """exp(input) - target * input, or input - target * log(input + eps); full adds Stirling's
    t log(t) - t + 0.5 log(2 pi t) where t > 1."""
    tensor_arg("poisson_nll_loss", "input", input)
    tensor_arg("poisson_nll_loss", "target", target)
    if size_average is not None or reduce is not None:
        reduction = legacy_reduction(size_average, reduce, reduction)
    if reduction not in ("none", "mean", "sum"):
        raise ValueError("%s is not valid" % (reduction,))
    eps = number_arg("poisson_nll_loss", "eps", eps)
    full = flag_arg("poisson_nll_loss", "full", full)
    if flag_arg("poisson_nll_loss", "log_input", log_input):
        loss = input.exp() - target * input
    else:
        loss = input - target * (input + eps).log()
    if full:
        big = _mask(target > 1, target.shape)
        t = target.masked_fill(~big, 2.0)
        stirling = t.xlogy(t) - t + t.log() * 0.5 + _const(_HALF_LOG_2PI)
        loss = loss + stirling.masked_fill(~big, 0.0)
    return reduced(loss, reduction)


__all__ = ["relu", "gelu", "silu", "sigmoid", "softmax", "log_softmax", "linear", "mse_loss", "cross_entropy",
           "nll_loss", "normalize", "pad", "one_hot",
           # activations
           "leaky_relu", "elu", "selu", "celu", "mish", "softplus", "tanh", "hardtanh", "relu6", "logsigmoid",
           "softmin", "softsign", "tanhshrink", "hardsigmoid", "hardswish", "glu",
           # layers
           "bilinear", "conv1d", "conv2d", "max_pool1d", "max_pool2d", "avg_pool1d", "avg_pool2d", "layer_norm",
           "batch_norm", "dropout", "embedding", "interpolate",
           # losses
           "l1_loss", "smooth_l1_loss", "huber_loss", "binary_cross_entropy", "binary_cross_entropy_with_logits",
           "kl_div", "gaussian_nll_loss", "poisson_nll_loss"]


def install(zel):
    """Builds zel.nn.functional (registered as varnel.zel.zel.nn.functional) and returns it."""
    from ._namespace import namespace
    global _zel
    _zel = zel
    return namespace(zel.__name__ + ".nn.functional", "torch.nn.functional for varnel.zel tensors.",
                     sys.modules[__name__], __all__)
