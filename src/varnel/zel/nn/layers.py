"""Layers of torch.nn over the library's functional namespace: each holds
Parameters and buffers as PyTorch's does and calls F in forward."""
import math

import torch

from . import init
from .module import Module
from . import module as _module


class _Library:
    """Stands for varnel.zel.zel until install() runs."""

    def __getattr__(self, name):
        from varnel.zel import zel
        return getattr(zel, name)


_zel = _Library()  # install() puts the module itself here


def F():
    return _zel.nn.functional


def Parameter(data, requires_grad=True):
    return _module.Parameter(data, requires_grad)


def size_arg(op, name, v, minimum=0):
    if isinstance(v, bool) or not isinstance(v, int):
        raise TypeError("%s(): argument '%s' must be int, not %s" % (op, name, type(v).__name__))
    if v < minimum:
        raise ValueError("%s(): %s must be at least %d, got %d" % (op, name, minimum, v))
    return v


def empty(*shape):
    """Storage for a parameter, filled by reset_parameters (allocation checked first)."""
    if math.prod(shape) > 1 << 31:
        raise RuntimeError("the parameter of shape %s is too large (%d elements)" % (shape, math.prod(shape)))
    return _zel.zeros(*shape)


class Identity(Module):
    """Returns its input; takes and ignores any arguments."""

    def __init__(self, *args, **kwargs):
        super().__init__()

    def forward(self, input):
        """input, unchanged."""
        return input


class Linear(Module):
    """y = x A^T + b, with PyTorch's default initialisation."""

    __constants__ = ["in_features", "out_features"]

    def __init__(self, in_features, out_features, bias=True, device=None, dtype=None):
        super().__init__()
        self.in_features = size_arg("Linear", "in_features", in_features)
        self.out_features = size_arg("Linear", "out_features", out_features)
        self.weight = Parameter(empty(out_features, in_features))
        if bias:
            self.bias = Parameter(empty(out_features))
        else:
            self.register_parameter("bias", None)
        self.reset_parameters()

    def reset_parameters(self):
        """kaiming_uniform_(a=sqrt(5)) for the weight, U(-1/sqrt(fan_in), 1/sqrt(fan_in)) for the bias."""
        init.kaiming_uniform_(self.weight, a=math.sqrt(5))
        if self.bias is not None:
            fan_in, _ = init._calculate_fan_in_and_fan_out(self.weight)
            bound = 1 / math.sqrt(fan_in) if fan_in > 0 else 0
            init.uniform_(self.bias, -bound, bound)

    def forward(self, input):
        """F.linear(input, weight, bias)."""
        return F().linear(input, self.weight, self.bias)

    def extra_repr(self):
        return "in_features={}, out_features={}, bias={}".format(
            self.in_features, self.out_features, self.bias is not None)


__all__ = ["Identity", "Linear"]


def install(zel):
    """Binds the library; returns the public names."""
    global _zel
    _zel = zel
    return {name: globals()[name] for name in __all__}
