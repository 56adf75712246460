"""The gradients of the scatter family, take_along_dim, masked_scatter,
put, combinations and cartesian_prod: PyTorch's formulas written with the
library's differentiable operations (gather, scatter, index_select,
index_put), so a gradient taken with create_graph=True is differentiable
again."""
import math

import torch

from . import formulas as _f

_zel = None


def _ones(t):
    return _zel.ones_like(t)


def _indicator(mask):
    """A torch bool tensor as 0/1 elements."""
    return _zel.where(mask, 1.0, 0.0)


def _widen(g, src):
    """g widened with zeros to src's shape: src elements beyond index's
    extent were never scattered."""
    shape = tuple(src.shape)
    if tuple(g.shape) == shape:
        return g
    if g.ndim == 0 or not shape:
        return g.reshape(shape)
    out = _zel.zeros(shape)
    out[tuple(slice(0, n) for n in g.shape)] = g
    return out


def _scatter_grad(grad, dim, index, src, reduce, which):
    """scatter with src (or a value), plain or with reduce='add'; which 0 is self, 1 is src."""
    if reduce == "multiply":
        raise RuntimeError("the derivative of scatter with reduce='multiply' is not implemented.")
    if which == 0:
        return grad if reduce == "add" else grad.scatter(dim, index, 0.0)
    return _widen(grad.gather(dim, index), src)


def _index_source_grad(grad, dim, index, source):
    """The slices of grad that index picked, shaped like source."""
    g = grad.index_select(dim, index)
    return g.reshape(tuple(source.shape))


def _scatter_reduce_grad(grad, self, dim, index, src, reduce, include_self, result, which):
    """PyTorch's scatter_reduce_backward for sum, mean, amax and amin; which
    0 is self, 1 is src."""
    index = torch.as_tensor(index)
    if reduce == "sum":
        g_self, g_src = grad, grad.gather(dim, index)
    elif reduce == "mean":
        counts = (_ones(grad) if include_self else _zel.zeros_like(grad)).scatter_add(dim, index, _ones(src))
        counts = _zel.where(_f._compare(counts, 0, lambda s: s == 0), 1.0, counts)
        g_self = grad / counts
        g_src = grad.gather(dim, index) / counts.gather(dim, index)
    elif reduce in ("amax", "amin"):
        self_hit = _indicator(_f._compare(self, result, lambda s: s == 0))
        src_hit = _indicator(_f._compare(src, result.gather(dim, index), lambda s: s == 0))
        shares = self_hit.scatter_add(dim, index, src_hit)
        shares = _zel.where(_f._compare(shares, 0, lambda s: s == 0), 1.0, shares)
        spread = grad / shares
        g_self = self_hit * spread
        g_src = src_hit * spread.gather(dim, index)
    else:
        raise RuntimeError("the derivative of scatter_reduce with reduce='%s' is not implemented." % reduce)
    if which == 0:
        return g_self if include_self else g_self.scatter(dim, index, 0.0)
    return _widen(g_src, src)


def _take_along_dim_grad(grad, self, indices, dim):
    """The gradient added back at the indices (repeats add), summed over the
    axes take_along_dim broadcast self along."""
    indices = torch.as_tensor(indices)
    shape = tuple(self.shape)
    if dim is None:
        flat = _zel.zeros((max(math.prod(shape), 0),)) if shape else _zel.zeros((1,))
        return flat.scatter_add(0, indices.reshape(-1), grad.reshape(-1)).reshape(shape)
    d = dim % len(shape) if shape else 0
    wide = list(grad.shape)
    wide[d] = shape[d] if shape else 1
    g = _zel.zeros(tuple(wide)).scatter_add(d, indices.expand(tuple(grad.shape)), grad)
    return _f.sum_to(g, shape)


def _masked_scatter_source_grad(grad, mask, source):
    """The elements of grad where mask is True, in order, padded with zeros
    to source's size."""
    picked = grad.masked_select(torch.as_tensor(mask))
    n = source.numel
    flat = _zel.zeros((n,))
    if picked.numel:
        flat[:picked.numel] = picked
    return flat.reshape(tuple(source.shape))


def _combinations_grad(grad, self, r, with_replacement):
    if r == 0:
        return _zel.zeros_like(self)
    positions = torch.combinations(torch.arange(self.shape[0]), r=r, with_replacement=with_replacement)
    return _zel.zeros_like(self).index_put((positions.reshape(-1),), grad.reshape(-1), True)


def _cartesian_prod_grads(grad, tensors):
    grids = torch.cartesian_prod(*[torch.arange(t.shape[0]) for t in tensors])
    if len(tensors) == 1:
        return (grad,)
    return tuple(_zel.zeros_like(t).index_add(0, grids[:, j].contiguous(), grad[:, j])
                 for j, t in enumerate(tensors))


def namespace(zel):
    """The names the formulas of derivatives.def read from this module."""
    global _zel
    _zel = zel
    return {
        "scatter_grad": _scatter_grad, "widen": _widen, "index_source_grad": _index_source_grad,
        "scatter_reduce_grad": _scatter_reduce_grad, "take_along_dim_grad": _take_along_dim_grad,
        "masked_scatter_source_grad": _masked_scatter_source_grad, "combinations_grad": _combinations_grad,
        "cartesian_prod_grads": _cartesian_prod_grads,
    }
