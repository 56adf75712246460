"""torch.nn.utils for Tensors of this library: gradient clipping and the
flattening of parameters into one vector, in limb arithmetic."""
import math
import numbers
import sys

import torch


class _Library:
    """Stands for varnel.zel.zel until install() runs."""

    def __getattr__(self, name):
        from varnel.zel import zel
        return getattr(zel, name)


_zel = _Library()  # install() puts the module itself here


def tensors_of(op, parameters):
    if isinstance(parameters, _zel.Tensor):
        return [parameters]
    try:
        parameters = list(parameters)
    except TypeError:
        raise TypeError("%s(): parameters must be a Tensor or an iterable of Tensors, not %s"
                        % (op, type(parameters).__name__)) from None
    for p in parameters:
        if not isinstance(p, _zel.Tensor):
            raise TypeError("%s(): expected an iterable of Tensors, got an element of type %s"
                            % (op, type(p).__name__))
    return parameters


def float_arg(op, name, v):
    if isinstance(v, _zel.Tensor) and v.ndim == 0:
        return float(v)
    if isinstance(v, bool) or not isinstance(v, numbers.Real):
        raise TypeError("%s(): argument '%s' must be a number, not %s" % (op, name, type(v).__name__))
    return float(v)


def norm_of(t, p):
    # An integral order takes the norm's integer path, as in F.normalize.
    return t.norm(int(p) if p.is_integer() and abs(p) < 1 << 53 else p)


def clip_grad_norm_(parameters, max_norm, norm_type=2.0, error_if_nonfinite=False, foreach=None):
    """Scales the gradients in place so that their joint norm_type-norm is at
    most max_norm; returns that norm (before clipping) as a 0-d Tensor."""
    params = tensors_of("clip_grad_norm_", parameters)
    max_norm = float_arg("clip_grad_norm_", "max_norm", max_norm)
    norm_type = float_arg("clip_grad_norm_", "norm_type", norm_type)
    if math.isnan(norm_type):
        raise ValueError("clip_grad_norm_(): norm_type must not be NaN")
    grads = [p.grad for p in params if p.grad is not None]
    if not grads:
        return _zel.tensor(0.0)
    with _zel.no_grad():
        if norm_type == math.inf:
            if any(not g.numel for g in grads):
                raise RuntimeError("clip_grad_norm_(): the inf norm of an empty gradient is undefined "
                                   "(max of no elements), as in PyTorch")
            norms = [g.abs().max() for g in grads]
            total = norms[0] if len(norms) == 1 else _zel.stack(norms).max()
        else:
            # An empty gradient has norm 0, as in PyTorch.
            norms = [norm_of(g, norm_type) if g.numel else _zel.tensor(0.0) for g in grads]
            total = norm_of(_zel.stack(norms), norm_type)
        if error_if_nonfinite and not math.isfinite(float(total)):
            raise RuntimeError("The total norm of order {} for gradients from `parameters` is non-finite, so it "
                               "cannot be clipped. To disable this error and scale the gradients by the non-finite "
                               "norm anyway, set `error_if_nonfinite=False`".format(norm_type))
        coef = (_zel.tensor(max_norm) / (total + 1e-6)).clamp(None, 1.0)
        for g in grads:
            g.mul_(coef)
    return total


def clip_grad_value_(parameters, clip_value, foreach=None):
    """Clamps every gradient in place to [-clip_value, clip_value]."""
    params = tensors_of("clip_grad_value_", parameters)
    clip_value = float_arg("clip_grad_value_", "clip_value", clip_value)
    with _zel.no_grad():
        for p in params:
            if p.grad is not None:
                p.grad.clamp_(-clip_value, clip_value)


def parameters_to_vector(parameters):
    """The parameters flattened and joined into one 1-D Tensor."""
    params = tensors_of("parameters_to_vector", parameters)
    if not params:
        raise RuntimeError("parameters_to_vector(): expected a non-empty iterable of Tensors")
    return _zel.cat([p.reshape(-1) for p in params])


def vector_to_parameters(vec, parameters):
    """Copies consecutive slices of a 1-D Tensor into the parameters (all limbs)."""
    if not isinstance(vec, _zel.Tensor):
        raise TypeError("expected torch.Tensor, but got: {}".format(torch.typename(vec)))
    params = tensors_of("vector_to_parameters", parameters)
    if vec.ndim != 1:
        raise RuntimeError("vector_to_parameters(): expected a 1-D vector, got shape %s" % (tuple(vec.shape),))
    total = sum(p.numel for p in params)
    if total != vec.numel:
        raise RuntimeError("vector_to_parameters(): the vector has %d elements, the parameters %d"
                           % (vec.numel, total))
    pointer = 0
    with _zel.no_grad():
        for p in params:
            n = p.numel
            p.copy_(vec[pointer:pointer + n].reshape(*p.shape) if p.shape else vec[pointer:pointer + n].reshape(()))
            pointer += n


__all__ = ["clip_grad_norm_", "clip_grad_value_", "parameters_to_vector", "vector_to_parameters"]


def install(zel, nn_name):
    """Builds nn.utils (registered under nn_name + '.utils') and returns it."""
    from ._namespace import namespace
    global _zel
    _zel = zel
    return namespace(nn_name + ".utils", "torch.nn.utils for varnel.zel tensors.", sys.modules[__name__], __all__)
