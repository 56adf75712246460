"""Layers of torch.nn over the library's functional namespace: each holds
Parameters and buffers as PyTorch's does and calls F in forward."""
import math
import operator

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


def torch_takes(cls_name, param):
    """Whether the installed PyTorch's nn.<cls_name> takes the argument (bias arrived in later versions)."""
    import inspect
    return param in inspect.signature(getattr(torch.nn, cls_name).__init__).parameters


def as_int(v):
    """v as a Python int when it is an integer (NumPy's included, bool not), else None."""
    if isinstance(v, bool) or isinstance(v, _zel.Tensor) or isinstance(v, torch.Tensor):
        return None
    try:
        return operator.index(v)
    except TypeError:
        return None


def size_arg(op, name, v, minimum=0):
    if as_int(v) is None:
        raise TypeError("%s(): argument '%s' must be int, not %s" % (op, name, type(v).__name__))
    v = as_int(v)
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
        self.weight = Parameter(empty(self.out_features, self.in_features))
        if bias:
            self.bias = Parameter(empty(self.out_features))
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



def functional(name):
    """F.<name>, with a clear error where this build's functional namespace lacks it."""
    fn = getattr(F(), name, None)
    if fn is None:
        raise NotImplementedError("nn.functional.%s is not available in this build of the library" % name)
    return fn


def torch_default(cls, arg):
    """A constructor default as the installed PyTorch declares it (Softplus's changed from int to float)."""
    import inspect
    return inspect.signature(getattr(torch.nn, cls)).parameters[arg].default


def number(op, name, v):
    if isinstance(v, bool) or not isinstance(v, (int, float)):
        raise TypeError("%s(): argument '%s' must be a number, not %s" % (op, name, type(v).__name__))
    return v


def bool_arg(op, name, v):
    if not isinstance(v, bool):
        raise TypeError("%s(): argument '%s' must be bool, not %s" % (op, name, type(v).__name__))
    return v


def ntuple(op, name, v, n, minimum):
    """An int or an iterable of n ints, as a tuple of n ints (at least minimum)."""
    if isinstance(v, (tuple, list)):
        v = tuple(v)
        if len(v) != n:
            raise ValueError("%s(): %s must be an int or a tuple of %d ints, got %r" % (op, name, n, v))
    else:
        v = (v,) * n
    if any(as_int(x) is None for x in v):
        raise TypeError("%s(): %s must be an int or a tuple of %d ints, got %r" % (op, name, n, v))
    v = tuple(as_int(x) for x in v)
    if any(x < minimum for x in v):
        raise ValueError("%s(): %s must be at least %d, got %r" % (op, name, minimum, v))
    return v


class Flatten(Module):
    """Flattens the dims start_dim..end_dim into one."""

    __constants__ = ["start_dim", "end_dim"]

    def __init__(self, start_dim=1, end_dim=-1):
        super().__init__()
        self.start_dim = size_arg("Flatten", "start_dim", start_dim, minimum=-(1 << 62))
        self.end_dim = size_arg("Flatten", "end_dim", end_dim, minimum=-(1 << 62))

    def forward(self, input):
        """input.flatten(start_dim, end_dim)."""
        return input.flatten(self.start_dim, self.end_dim)

    def extra_repr(self):
        return "start_dim={}, end_dim={}".format(self.start_dim, self.end_dim)


class Unflatten(Module):
    """Splits dim into unflattened_size."""

    def __init__(self, dim, unflattened_size):
        super().__init__()
        if isinstance(dim, str):
            raise TypeError("Unflatten(): named dimensions are not supported by the library's tensors")
        if isinstance(dim, bool) or not isinstance(dim, int):
            raise TypeError("invalid argument type for dim parameter")
        self.dim = dim
        if not isinstance(unflattened_size, (tuple, list)):
            raise TypeError("unflattened_size must be a tuple of ints, but found type {}"
                            .format(type(unflattened_size).__name__))
        for idx, elem in enumerate(unflattened_size):
            if isinstance(elem, bool) or not isinstance(elem, int):
                raise TypeError("unflattened_size must be tuple of ints, but found element of type {} at pos {}"
                                .format(type(elem).__name__, idx))
        self.unflattened_size = unflattened_size

    def forward(self, input):
        """input.unflatten(dim, unflattened_size)."""
        return input.unflatten(self.dim, self.unflattened_size)

    def extra_repr(self):
        return "dim={}, unflattened_size={}".format(self.dim, self.unflattened_size)


class Bilinear(Module):
    """y = x1^T A x2 + b."""

    def __init__(self, in1_features, in2_features, out_features, bias=True, device=None, dtype=None):
        super().__init__()
        self.in1_features = size_arg("Bilinear", "in1_features", in1_features)
        self.in2_features = size_arg("Bilinear", "in2_features", in2_features)
        self.out_features = size_arg("Bilinear", "out_features", out_features)
        self.weight = Parameter(empty(self.out_features, self.in1_features, self.in2_features))
        if bias:
            self.bias = Parameter(empty(self.out_features))
        else:
            self.register_parameter("bias", None)
        self.reset_parameters()

    def reset_parameters(self):
        """U(-1/sqrt(in1_features), 1/sqrt(in1_features)) for weight and bias."""
        bound = 1 / math.sqrt(self.weight.shape[1]) if self.weight.shape[1] else 0.0
        init.uniform_(self.weight, -bound, bound)
        if self.bias is not None:
            init.uniform_(self.bias, -bound, bound)

    def forward(self, input1, input2):
        """F.bilinear(input1, input2, weight, bias)."""
        return functional("bilinear")(input1, input2, self.weight, self.bias)

    def extra_repr(self):
        return "in1_features={}, in2_features={}, out_features={}, bias={}".format(
            self.in1_features, self.in2_features, self.out_features, self.bias is not None)


class _ConvNd(Module):
    """Shared construction of Conv1d and Conv2d."""

    __constants__ = ["stride", "padding", "dilation", "groups", "padding_mode", "output_padding", "in_channels",
                     "out_channels", "kernel_size"]
    _n = 0

    def __init__(self, in_channels, out_channels, kernel_size, stride=1, padding=0, dilation=1, groups=1, bias=True,
                 padding_mode="zeros", device=None, dtype=None):
        super().__init__()
        op, n = type(self).__name__, self._n
        in_channels = size_arg(op, "in_channels", in_channels)
        out_channels = size_arg(op, "out_channels", out_channels)
        if as_int(groups) is None:
            raise TypeError("%s(): argument 'groups' must be int, not %s" % (op, type(groups).__name__))
        groups = as_int(groups)
        if groups <= 0:
            raise ValueError("groups must be a positive integer")
        if in_channels % groups != 0:
            raise ValueError("in_channels must be divisible by groups")
        if out_channels % groups != 0:
            raise ValueError("out_channels must be divisible by groups")
        kernel_size = ntuple(op, "kernel_size", kernel_size, n, 1)
        stride = ntuple(op, "stride", stride, n, 1)
        dilation = ntuple(op, "dilation", dilation, n, 1)
        valid_padding_strings = {"same", "valid"}
        if isinstance(padding, str):
            if padding not in valid_padding_strings:
                raise ValueError("Invalid padding string {!r}, should be one of {}".format(padding,
                                                                                           valid_padding_strings))
            if padding == "same" and any(s != 1 for s in stride):
                raise ValueError("padding='same' is not supported for strided convolutions")
        else:
            padding = ntuple(op, "padding", padding, n, 0)
        valid_padding_modes = {"zeros", "reflect", "replicate", "circular"}
        if not isinstance(padding_mode, str) or padding_mode not in valid_padding_modes:
            raise ValueError("padding_mode must be one of {}, but got padding_mode='{}'".format(
                valid_padding_modes, padding_mode))
        self.in_channels, self.out_channels = in_channels, out_channels
        self.kernel_size, self.stride, self.padding, self.dilation = kernel_size, stride, padding, dilation
        self.transposed, self.output_padding = False, (0,) * n
        self.groups, self.padding_mode = groups, padding_mode
        if isinstance(padding, str):
            pads = [0, 0] * n
            if padding == "same":
                for d, k, i in zip(dilation, kernel_size, range(n - 1, -1, -1)):
                    total = d * (k - 1)
                    pads[2 * i], pads[2 * i + 1] = total // 2, total - total // 2
        else:
            pads = [p for p in reversed(padding) for _ in range(2)]
        self._reversed_padding_repeated_twice = pads
        self.weight = Parameter(empty(out_channels, in_channels // groups, *kernel_size))
        if bias:
            self.bias = Parameter(empty(out_channels))
        else:
            self.register_parameter("bias", None)
        self.reset_parameters()

    def reset_parameters(self):
        """As Linear: kaiming_uniform_(a=sqrt(5)) and U(-1/sqrt(fan_in), 1/sqrt(fan_in))."""
        init.kaiming_uniform_(self.weight, a=math.sqrt(5))
        if self.bias is not None:
            fan_in, _ = init._calculate_fan_in_and_fan_out(self.weight)
            if fan_in != 0:
                bound = 1 / math.sqrt(fan_in)
                init.uniform_(self.bias, -bound, bound)

    def extra_repr(self):
        s = "{in_channels}, {out_channels}, kernel_size={kernel_size}, stride={stride}"
        if self.padding != (0,) * len(self.padding):
            s += ", padding={padding}"
        if self.dilation != (1,) * len(self.dilation):
            s += ", dilation={dilation}"
        if self.output_padding != (0,) * len(self.output_padding):
            s += ", output_padding={output_padding}"
        if self.groups != 1:
            s += ", groups={groups}"
        if self.bias is None:
            s += ", bias=False"
        if self.padding_mode != "zeros":
            s += ", padding_mode={padding_mode}"
        return s.format(**self.__dict__)

    def _conv_forward(self, input, weight, bias):
        conv = functional("conv%dd" % self._n)
        if self.padding_mode != "zeros":
            padded = F().pad(input, self._reversed_padding_repeated_twice, mode=self.padding_mode)
            return conv(padded, weight, bias, self.stride, (0,) * self._n, self.dilation, self.groups)
        return conv(input, weight, bias, self.stride, self.padding, self.dilation, self.groups)

    def forward(self, input):
        """The convolution of input with weight (padded first for padding modes other than zeros)."""
        return self._conv_forward(input, self.weight, self.bias)


class Conv1d(_ConvNd):
    """1-D convolution over (N, C, L) or (C, L) inputs."""

    _n = 1


class Conv2d(_ConvNd):
    """2-D convolution over (N, C, H, W) or (C, H, W) inputs."""

    _n = 2


class Embedding(Module):
    """A lookup table of num_embeddings vectors of embedding_dim; the padding_idx row starts at zero."""

    __constants__ = ["num_embeddings", "embedding_dim", "padding_idx", "max_norm", "norm_type",
                     "scale_grad_by_freq", "sparse"]

    def __init__(self, num_embeddings, embedding_dim, padding_idx=None, max_norm=None, norm_type=2.0,
                 scale_grad_by_freq=False, sparse=False, _weight=None, _freeze=False, device=None, dtype=None):
        super().__init__()
        self.num_embeddings = size_arg("Embedding", "num_embeddings", num_embeddings)
        self.embedding_dim = size_arg("Embedding", "embedding_dim", embedding_dim)
        num_embeddings, embedding_dim = self.num_embeddings, self.embedding_dim
        if padding_idx is not None:
            padding_idx = size_arg("Embedding", "padding_idx", padding_idx, minimum=-(1 << 62))
            if padding_idx > 0 and padding_idx >= num_embeddings:
                raise AssertionError("Padding_idx must be within num_embeddings")
            if padding_idx < 0:
                if padding_idx < -num_embeddings:
                    raise AssertionError("Padding_idx must be within num_embeddings")
                padding_idx = num_embeddings + padding_idx
        self.padding_idx = padding_idx
        self.max_norm = max_norm if max_norm is None else number("Embedding", "max_norm", max_norm)
        self.norm_type = number("Embedding", "norm_type", norm_type)
        self.scale_grad_by_freq = scale_grad_by_freq
        self.sparse = sparse
        if _weight is None:
            self.weight = Parameter(empty(num_embeddings, embedding_dim), requires_grad=not _freeze)
            self.reset_parameters()
        else:
            if not isinstance(_weight, _zel.Tensor):
                _weight = _zel.tensor(_weight)
            if list(_weight.shape) != [num_embeddings, embedding_dim]:
                raise AssertionError("Shape of weight does not match num_embeddings and embedding_dim")
            self.weight = Parameter(_weight, requires_grad=not _freeze)

    def reset_parameters(self):
        """N(0, 1) draws, the padding row zero."""
        init.normal_(self.weight)
        self._fill_padding_idx_with_zero()

    def _fill_padding_idx_with_zero(self):
        if self.padding_idx is not None:
            with _zel.no_grad():
                self.weight[self.padding_idx] = 0.0

    def forward(self, input):
        """F.embedding of the indices in input."""
        return functional("embedding")(input, self.weight, self.padding_idx, self.max_norm, self.norm_type,
                                       self.scale_grad_by_freq, self.sparse)

    def extra_repr(self):
        s = "{num_embeddings}, {embedding_dim}"
        if self.padding_idx is not None:
            s += ", padding_idx={padding_idx}"
        if self.max_norm is not None:
            s += ", max_norm={max_norm}"
        if self.norm_type != 2:
            s += ", norm_type={norm_type}"
        if self.scale_grad_by_freq is not False:
            s += ", scale_grad_by_freq={scale_grad_by_freq}"
        if self.sparse is not False:
            s += ", sparse=True"
        return s.format(**self.__dict__)

    @classmethod
    def from_pretrained(cls, embeddings, freeze=True, padding_idx=None, max_norm=None, norm_type=2.0,
                        scale_grad_by_freq=False, sparse=False):
        """An Embedding whose weight shares the limbs of a 2-D Tensor (frozen by default)."""
        if not isinstance(embeddings, (_zel.Tensor, torch.Tensor)):
            raise TypeError("from_pretrained(): embeddings must be a Tensor, not %s" % type(embeddings).__name__)
        if embeddings.dim() != 2:
            raise AssertionError("Embeddings parameter is expected to be 2-dimensional")
        rows, cols = embeddings.shape
        embedding = cls(num_embeddings=rows, embedding_dim=cols, _weight=embeddings, padding_idx=padding_idx,
                        max_norm=max_norm, norm_type=norm_type, scale_grad_by_freq=scale_grad_by_freq, sparse=sparse)
        embedding.weight.requires_grad_(not freeze)
        return embedding


class Dropout(Module):
    """Zeroes elements with probability p while training (scaling the rest by 1/(1-p))."""

    __constants__ = ["p", "inplace"]

    def __init__(self, p=0.5, inplace=False):
        super().__init__()
        number("Dropout", "p", p)
        if p < 0 or p > 1:
            raise ValueError("dropout probability has to be between 0 and 1, but got {}".format(p))
        self.p, self.inplace = p, inplace

    def forward(self, input):
        """F.dropout(input, p, training, inplace)."""
        return functional("dropout")(input, self.p, self.training, self.inplace)

    def extra_repr(self):
        return "p={}, inplace={}".format(self.p, self.inplace)


class LayerNorm(Module):
    """Normalises over the last dims (normalized_shape), then an elementwise affine map."""

    __constants__ = ["normalized_shape", "eps", "elementwise_affine"]

    def __init__(self, normalized_shape, eps=1e-5, elementwise_affine=True, bias=True, device=None, dtype=None):
        super().__init__()
        if as_int(normalized_shape) is not None:
            normalized_shape = (normalized_shape,)
        if not isinstance(normalized_shape, (tuple, list, torch.Size)):
            raise TypeError("LayerNorm(): normalized_shape must be an int or a tuple of ints, got %s"
                            % type(normalized_shape).__name__)
        self.normalized_shape = tuple(size_arg("LayerNorm", "normalized_shape", n) for n in normalized_shape)
        self.eps = number("LayerNorm", "eps", eps)
        self.elementwise_affine = elementwise_affine
        if elementwise_affine:
            self.weight = Parameter(_zel.ones(*self.normalized_shape) if self.normalized_shape
                                    else _zel.ones(1).reshape(()))
            if bias:
                self.bias = Parameter(_zel.zeros(*self.normalized_shape) if self.normalized_shape
                                      else _zel.zeros(1).reshape(()))
            else:
                self.register_parameter("bias", None)
        else:
            self.register_parameter("weight", None)
            self.register_parameter("bias", None)

    def reset_parameters(self):
        """Ones for the weight, zeros for the bias."""
        if self.elementwise_affine:
            init.ones_(self.weight)
            if self.bias is not None:
                init.zeros_(self.bias)

    def forward(self, input):
        """F.layer_norm(input, normalized_shape, weight, bias, eps)."""
        return functional("layer_norm")(input, self.normalized_shape, self.weight, self.bias, self.eps)

    def extra_repr(self):
        text = "{normalized_shape}, eps={eps}, elementwise_affine={elementwise_affine}".format(**self.__dict__)
        if torch_takes("LayerNorm", "bias"):
            text += ", bias=%s" % (self.bias is not None)
        return text


class _BatchNorm(Module):
    """Batch normalisation with running statistics (momentum None: the cumulative average)."""

    _version = 2
    __constants__ = ["track_running_stats", "momentum", "eps", "num_features", "affine"]

    def __init__(self, num_features, eps=1e-5, momentum=0.1, affine=True, track_running_stats=True, device=None,
                 dtype=None, *, bias=True):
        super().__init__()
        op = type(self).__name__
        self.num_features = num_features = size_arg(op, "num_features", num_features)
        self.eps = number(op, "eps", eps)
        self.momentum = momentum if momentum is None else number(op, "momentum", momentum)
        self.affine, self.track_running_stats = affine, track_running_stats
        if affine:
            self.weight = Parameter(empty(num_features))
            if bias:
                self.bias = Parameter(empty(num_features))
            else:
                self.register_parameter("bias", None)
        else:
            self.register_parameter("weight", None)
            self.register_parameter("bias", None)
        if track_running_stats:
            self.register_buffer("running_mean", _zel.zeros(num_features))
            self.register_buffer("running_var", _zel.ones(num_features))
            # A Tensor of this library: counts are exact in its limbs.
            self.register_buffer("num_batches_tracked", _zel.zeros(1).reshape(()))
        else:
            self.register_buffer("running_mean", None)
            self.register_buffer("running_var", None)
            self.register_buffer("num_batches_tracked", None)
        self.reset_parameters()

    def reset_running_stats(self):
        """Zero mean, unit variance, no batches counted."""
        if self.track_running_stats:
            with _zel.no_grad():
                self.running_mean.zero_()
                self.running_var.fill_(1.0)
                self.num_batches_tracked.zero_()

    def reset_parameters(self):
        """reset_running_stats(), ones for the weight and zeros for the bias."""
        self.reset_running_stats()
        if self.affine:
            init.ones_(self.weight)
            if self.bias is not None:
                init.zeros_(self.bias)

    def _check_input_dim(self, input):
        raise NotImplementedError

    def extra_repr(self):
        bias = ", bias=%s" % (self.bias is not None) if torch_takes(type(self).__name__, "bias") else ""
        return ("{num_features}, eps={eps}, momentum={momentum}, affine={affine}{bias}, "
                "track_running_stats={track_running_stats}".format(bias=bias, **self.__dict__))

    def _load_from_state_dict(self, state_dict, prefix, local_metadata, strict, missing_keys, unexpected_keys,
                              error_msgs):
        version = local_metadata.get("version", None)
        if (version is None or version < 2) and self.track_running_stats:
            # Checkpoints from before the counter existed.
            key = prefix + "num_batches_tracked"
            if key not in state_dict:
                state_dict[key] = self.num_batches_tracked if self.num_batches_tracked is not None \
                    else _zel.zeros(1).reshape(())
        super()._load_from_state_dict(state_dict, prefix, local_metadata, strict, missing_keys, unexpected_keys,
                                      error_msgs)

    def forward(self, input):
        """F.batch_norm with batch statistics while training (updating the running ones), else the running ones."""
        if not isinstance(input, _zel.Tensor):
            raise TypeError("%s.forward(): argument 'input' must be Tensor, not %s"
                            % (type(self).__name__, type(input).__name__))
        self._check_input_dim(input)
        factor = 0.0 if self.momentum is None else self.momentum
        if self.training and self.track_running_stats and self.num_batches_tracked is not None:
            with _zel.no_grad():
                self.num_batches_tracked.add_(1)
            if self.momentum is None:
                factor = 1.0 / float(self.num_batches_tracked)
        bn_training = self.training or (self.running_mean is None and self.running_var is None)
        use_running = not self.training or self.track_running_stats
        return functional("batch_norm")(input, self.running_mean if use_running else None,
                                        self.running_var if use_running else None, self.weight, self.bias,
                                        bn_training, factor, self.eps)


class BatchNorm1d(_BatchNorm):
    """Batch normalisation over (N, C) or (N, C, L) inputs."""

    def _check_input_dim(self, input):
        if input.dim() != 2 and input.dim() != 3:
            raise ValueError("expected 2D or 3D input (got {}D input)".format(input.dim()))


__all__ = ["Identity", "Linear", "Flatten", "Unflatten", "Bilinear", "Conv1d", "Conv2d", "Embedding", "Dropout",
           "LayerNorm", "BatchNorm1d"]


def install(zel):
    """Binds the library; returns the public names."""
    global _zel
    _zel = zel
    return {name: globals()[name] for name in __all__}
