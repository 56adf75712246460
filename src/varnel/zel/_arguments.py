"""Argument checks shared by the Python-level compositions (_composites,
_layout, _random, _numeric): PyTorch's exception types and messages."""
import torch


def shape(x):
    return tuple(x.shape)


class Checks:
    """The checks for one loaded zel module (its Tensor type)."""

    def __init__(self, zel):
        self.zel = zel
        self.Tensor = zel.Tensor

    def tensor_arg(self, op, name, x):
        if not isinstance(x, self.Tensor):
            raise TypeError("%s(): argument '%s' must be Tensor, not %s" % (op, name, type(x).__name__))
        return x

    def number_arg(self, op, name, v):
        if isinstance(v, bool) or not isinstance(v, (int, float)):
            raise TypeError("%s(): argument '%s' must be Number, not %s" % (op, name, type(v).__name__))
        return v

    def wrap_dim(self, op, dim, ndim):
        if isinstance(dim, bool) or not isinstance(dim, int):
            raise TypeError("%s(): argument 'dim' must be int, not %s" % (op, type(dim).__name__))
        n = max(ndim, 1)
        if not -n <= dim < n:
            raise IndexError("Dimension out of range (expected to be in range of [%d, %d], but got %d)"
                             % (-n, n - 1, dim))
        return dim % n

    def to_out(self, op, result, out):
        if out is None:
            return result
        if not isinstance(out, (self.Tensor, torch.Tensor)):
            raise TypeError("%s(): argument 'out' must be Tensor, not %s" % (op, type(out).__name__))
        if shape(out) != shape(result):
            raise RuntimeError("%s(): out has shape %s, the result %s" % (op, list(out.shape), list(result.shape)))
        return out.copy_(result)

    def as_zel(self, x):
        if isinstance(x, self.Tensor):
            return x
        if isinstance(x, torch.Tensor):
            return self.zel.tensor(x.detach().to(torch.float64))
        return self.zel.tensor(float(x) if not isinstance(x, (list, tuple)) else x)
