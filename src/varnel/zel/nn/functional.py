"""torch.nn.functional for Tensors of this library, composed of the compiled
operations (nothing here touches limbs)."""
import sys
import types

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
    return input.softmax(implicit_dim(input.ndim) if dim is None else dim)


def log_softmax(input, dim=None, _stacklevel=3, dtype=None):
    tensor_arg("log_softmax", "input", input)
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
    if label_smoothing != 0.0:
        raise NotImplementedError("cross_entropy(): label_smoothing is not supported")
    cdim = 0 if input.ndim == 1 else 1
    logp = input.log_softmax(cdim)
    probabilities = isinstance(target, _zel.Tensor) and target.shape == input.shape or (
        isinstance(target, torch.Tensor) and target.is_floating_point())
    if not probabilities:
        return nll_loss(logp, target, weight, None, ignore_index, None, reduction)
    p = target if isinstance(target, _zel.Tensor) else _zel.tensor(target)
    if p.shape != input.shape:
        raise ValueError("cross_entropy(): probabilities of shape %s for input of shape %s" % (p.shape, input.shape))
    terms = logp * p
    if weight is not None:
        wshape = (input.shape[cdim],) + (1,) * (input.ndim - cdim - 1)
        terms = terms * tensor_arg("cross_entropy", "weight", weight).reshape(*wshape)
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


__all__ = ["relu", "gelu", "silu", "sigmoid", "softmax", "log_softmax", "linear", "mse_loss", "cross_entropy",
           "nll_loss", "normalize", "pad", "one_hot"]


def install(zel):
    """Builds zel.nn.functional (registered as varnel.zel.zel.nn.functional) and returns it."""
    global _zel
    _zel = zel
    F = types.ModuleType(zel.__name__ + ".nn.functional", "torch.nn.functional for varnel.zel tensors.")
    for name in __all__:
        fn = globals()[name]
        fn.__module__ = F.__name__
        setattr(F, name, fn)
    F.__all__ = list(__all__)
    sys.modules[F.__name__] = F
    return F
