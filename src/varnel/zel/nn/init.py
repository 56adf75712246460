"""torch.nn.init for Tensors of this library: in place, outside autograd,
drawn from the library's generator (zel.manual_seed reproduces them)."""
import math
import numbers
import warnings

import torch


class _Library:
    """Stands for varnel.zel.zel until install() runs."""

    def __getattr__(self, name):
        from varnel.zel import zel
        return getattr(zel, name)


_zel = _Library()  # install() puts the module itself here


def tensor_arg(op, v):
    if not isinstance(v, _zel.Tensor):
        raise TypeError("%s(): argument 'tensor' must be Tensor, not %s" % (op, type(v).__name__))
    return v


def number_arg(op, name, v):
    if isinstance(v, _zel.Tensor) and v.ndim == 0:
        return float(v)
    if isinstance(v, bool) or not isinstance(v, numbers.Real):
        raise TypeError("%s(): argument '%s' must be a number, not %s" % (op, name, type(v).__name__))
    return float(v)


def no_generator(op, generator):
    if generator is not None:
        raise TypeError("%s(): generator= is not supported; the library's generator is seeded by zel.manual_seed"
                        % op)


def calculate_gain(nonlinearity, param=None):
    """The recommended gain for a nonlinearity (PyTorch's table)."""
    linear_fns = ["linear", "conv1d", "conv2d", "conv3d", "conv_transpose1d", "conv_transpose2d",
                  "conv_transpose3d"]
    if nonlinearity in linear_fns or nonlinearity == "sigmoid":
        return 1
    if nonlinearity == "tanh":
        return 5.0 / 3
    if nonlinearity == "relu":
        return math.sqrt(2.0)
    if nonlinearity == "leaky_relu":
        if param is None:
            negative_slope = 0.01
        elif not isinstance(param, bool) and isinstance(param, (int, float)):
            negative_slope = param
        else:
            raise ValueError("negative_slope {} not a valid number".format(param))
        return math.sqrt(2.0 / (1 + negative_slope ** 2))
    if nonlinearity == "selu":
        return 3.0 / 4
    raise ValueError("Unsupported nonlinearity {}".format(nonlinearity))


def _calculate_fan_in_and_fan_out(tensor):
    if tensor.dim() < 2:
        raise ValueError("Fan in and fan out can not be computed for tensor with fewer than 2 dimensions")
    receptive = math.prod(tensor.shape[2:])
    return tensor.shape[1] * receptive, tensor.shape[0] * receptive


def _calculate_correct_fan(tensor, mode):
    mode = mode.lower() if isinstance(mode, str) else mode
    valid_modes = ["fan_in", "fan_out"]
    if mode not in valid_modes:
        raise ValueError("Mode {} not supported, please use one of {}".format(mode, valid_modes))
    fan_in, fan_out = _calculate_fan_in_and_fan_out(tensor)
    return fan_in if mode == "fan_in" else fan_out


def _fill_uniform(tensor, a, b):
    with _zel.no_grad():
        return tensor.uniform_(a, b)


def _fill_normal(tensor, mean, std):
    with _zel.no_grad():
        return tensor.normal_(mean, std)


def uniform_(tensor, a=0.0, b=1.0, generator=None):
    """Fills tensor with draws from U(a, b)."""
    tensor_arg("uniform_", tensor)
    no_generator("uniform_", generator)
    return _fill_uniform(tensor, number_arg("uniform_", "a", a), number_arg("uniform_", "b", b))


def normal_(tensor, mean=0.0, std=1.0, generator=None):
    """Fills tensor with draws from N(mean, std^2)."""
    tensor_arg("normal_", tensor)
    no_generator("normal_", generator)
    return _fill_normal(tensor, number_arg("normal_", "mean", mean), number_arg("normal_", "std", std))


def trunc_normal_(tensor, mean=0.0, std=1.0, a=-2.0, b=2.0, generator=None):
    """Fills tensor with N(mean, std^2) truncated to [a, b], by the inverse
    CDF of uniform draws as PyTorch (the library's accurate erfinv)."""
    tensor_arg("trunc_normal_", tensor)
    no_generator("trunc_normal_", generator)
    mean, std = number_arg("trunc_normal_", "mean", mean), number_arg("trunc_normal_", "std", std)
    a, b = number_arg("trunc_normal_", "a", a), number_arg("trunc_normal_", "b", b)
    if (mean < a - 2 * std) or (mean > b + 2 * std):
        warnings.warn("mean is more than 2 std from [a, b] in nn.init.trunc_normal_. "
                      "The distribution of values may be incorrect.", stacklevel=2)

    def norm_cdf(x):
        return (1.0 + math.erf(x / math.sqrt(2.0))) / 2.0

    lo, hi = norm_cdf((a - mean) / std), norm_cdf((b - mean) / std)
    with _zel.no_grad():
        tensor.uniform_(2 * lo - 1, 2 * hi - 1)
        # sqrt(2) in limbs, not float64's rounding of it.
        values = tensor.erfinv() * (_zel.tensor(2.0).sqrt() * std) + mean
        return tensor.copy_(values.clamp(a, b))


def constant_(tensor, val):
    """Fills tensor with val."""
    tensor_arg("constant_", tensor)
    with _zel.no_grad():
        return tensor.fill_(number_arg("constant_", "val", val))


def ones_(tensor):
    """Fills tensor with ones."""
    return constant_(tensor, 1.0)


def zeros_(tensor):
    """Fills tensor with zeros."""
    tensor_arg("zeros_", tensor)
    with _zel.no_grad():
        return tensor.zero_()


def eye_(tensor):
    """Fills a 2-D tensor with the identity."""
    tensor_arg("eye_", tensor)
    if tensor.dim() != 2:
        raise ValueError("Only tensors with 2 dimensions are supported")
    with _zel.no_grad():
        return tensor.copy_(_zel.eye(*tensor.shape))


def dirac_(tensor, groups=1):
    """Fills a 3-, 4- or 5-D tensor with the Dirac delta (convolutions that keep their input)."""
    tensor_arg("dirac_", tensor)
    dims = tensor.dim()
    if dims not in (3, 4, 5):
        raise ValueError("Only tensors with 3, 4, or 5 dimensions are supported")
    if isinstance(groups, bool) or not isinstance(groups, int) or groups < 1:
        raise ValueError("dirac_(): groups must be a positive int, got %r" % (groups,))
    sizes = tensor.shape
    if sizes[0] % groups != 0:
        raise ValueError("dim 0 must be divisible by groups")
    per_group = sizes[0] // groups
    with _zel.no_grad():
        tensor.zero_()
        for g in range(groups):
            for d in range(min(per_group, sizes[1])):
                tensor[(g * per_group + d, d) + tuple(s // 2 for s in sizes[2:])] = 1.0
    return tensor


def xavier_uniform_(tensor, gain=1.0, generator=None):
    """U(-a, a) with a = gain * sqrt(6 / (fan_in + fan_out))."""
    tensor_arg("xavier_uniform_", tensor)
    no_generator("xavier_uniform_", generator)
    fan_in, fan_out = _calculate_fan_in_and_fan_out(tensor)
    std = number_arg("xavier_uniform_", "gain", gain) * math.sqrt(2.0 / float(fan_in + fan_out))
    a = math.sqrt(3.0) * std
    return _fill_uniform(tensor, -a, a)


def xavier_normal_(tensor, gain=1.0, generator=None):
    """N(0, std^2) with std = gain * sqrt(2 / (fan_in + fan_out))."""
    tensor_arg("xavier_normal_", tensor)
    no_generator("xavier_normal_", generator)
    fan_in, fan_out = _calculate_fan_in_and_fan_out(tensor)
    std = number_arg("xavier_normal_", "gain", gain) * math.sqrt(2.0 / float(fan_in + fan_out))
    return _fill_normal(tensor, 0.0, std)


def _kaiming_std(op, tensor, a, mode, nonlinearity):
    fan = _calculate_correct_fan(tensor, mode)
    if fan == 0:
        raise ZeroDivisionError("%s(): the fan (%s) of a tensor of shape %s is 0" % (op, mode, tuple(tensor.shape)))
    return calculate_gain(nonlinearity, a) / math.sqrt(fan)


def kaiming_uniform_(tensor, a=0, mode="fan_in", nonlinearity="leaky_relu", generator=None):
    """U(-bound, bound) with bound = gain * sqrt(3 / fan) (He et al.)."""
    tensor_arg("kaiming_uniform_", tensor)
    no_generator("kaiming_uniform_", generator)
    if 0 in tensor.shape:
        warnings.warn("Initializing zero-element tensors is a no-op")
        return tensor
    bound = math.sqrt(3.0) * _kaiming_std("kaiming_uniform_", tensor, a, mode, nonlinearity)
    return _fill_uniform(tensor, -bound, bound)


def kaiming_normal_(tensor, a=0, mode="fan_in", nonlinearity="leaky_relu", generator=None):
    """N(0, std^2) with std = gain / sqrt(fan) (He et al.)."""
    tensor_arg("kaiming_normal_", tensor)
    no_generator("kaiming_normal_", generator)
    if 0 in tensor.shape:
        warnings.warn("Initializing zero-element tensors is a no-op")
        return tensor
    return _fill_normal(tensor, 0.0, _kaiming_std("kaiming_normal_", tensor, a, mode, nonlinearity))


def orthogonal_(tensor, gain=1, generator=None):
    """A (semi-)orthogonal matrix from the QR factorisation of normal draws
    (the library's linalg.qr), signs fixed by R's diagonal as PyTorch."""
    tensor_arg("orthogonal_", tensor)
    no_generator("orthogonal_", generator)
    if tensor.dim() < 2:
        raise ValueError("Only tensors with 2 or more dimensions are supported")
    gain = number_arg("orthogonal_", "gain", gain)
    if tensor.numel == 0:
        return tensor
    rows = tensor.shape[0]
    cols = tensor.numel // rows
    with _zel.no_grad():
        flat = _zel.randn(rows, cols)
        if rows < cols:
            flat = flat.t()
        q, r = _zel.linalg.qr(flat)
        q = q * _zel.diag(r).sign()
        if rows < cols:
            q = q.t()
        if gain != 1:
            q = q * gain
        return tensor.copy_(q.reshape(*tensor.shape))


def sparse_(tensor, sparsity, std=0.01, generator=None):
    """N(0, std^2) draws with ceil(sparsity * rows) zeros in every column, at random rows."""
    tensor_arg("sparse_", tensor)
    no_generator("sparse_", generator)
    if tensor.dim() != 2:
        raise ValueError("Only tensors with 2 dimensions are supported")
    sparsity = number_arg("sparse_", "sparsity", sparsity)
    std = number_arg("sparse_", "std", std)
    if not 0.0 <= sparsity <= 1.0:
        raise ValueError("sparse_(): sparsity must be in [0, 1], got %r" % sparsity)
    rows, cols = tensor.shape
    num_zeros = int(math.ceil(sparsity * rows))
    with _zel.no_grad():
        tensor.normal_(0.0, std)
        if num_zeros and cols:
            # A random permutation per column from the library's draws.
            order = torch.as_tensor(_zel.rand(cols, rows).numpy()).argsort(dim=1)[:, :num_zeros]
            mask = torch.zeros(cols, rows, dtype=torch.bool)
            mask.scatter_(1, order, True)
            tensor.masked_fill_(mask.t().contiguous(), 0.0)
    return tensor


__all__ = ["calculate_gain", "uniform_", "normal_", "trunc_normal_", "constant_", "ones_", "zeros_", "eye_",
           "dirac_", "xavier_uniform_", "xavier_normal_", "kaiming_uniform_", "kaiming_normal_", "orthogonal_",
           "sparse_"]


def install(zel, nn_name):
    """Builds nn.init (registered under nn_name + '.init') and returns it."""
    import sys
    from ._namespace import namespace
    global _zel
    _zel = zel
    return namespace(nn_name + ".init", "torch.nn.init for varnel.zel tensors.", sys.modules[__name__], __all__,
                     ["_calculate_fan_in_and_fan_out", "_calculate_correct_fan"])
