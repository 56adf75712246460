"""torch.nn's activation modules: each stores PyTorch's constructor
arguments and calls the matching function of the functional namespace."""
from .layers import bool_arg, functional, number, torch_default
from .module import Module


def inplace_repr(inplace, first=False):
    if not inplace:
        return ""
    return "inplace=True" if first else ", inplace=True"


class ReLU(Module):
    """max(0, x)."""

    __constants__ = ["inplace"]

    def __init__(self, inplace=False):
        super().__init__()
        self.inplace = bool_arg("ReLU", "inplace", inplace)

    def forward(self, input):
        """F.relu(input, inplace)."""
        return functional("relu")(input, inplace=self.inplace)

    def extra_repr(self):
        return inplace_repr(self.inplace, first=True)


class LeakyReLU(Module):
    """x for x >= 0, negative_slope * x below."""

    __constants__ = ["inplace", "negative_slope"]

    def __init__(self, negative_slope=1e-2, inplace=False):
        super().__init__()
        self.negative_slope = number("LeakyReLU", "negative_slope", negative_slope)
        self.inplace = bool_arg("LeakyReLU", "inplace", inplace)

    def forward(self, input):
        """F.leaky_relu(input, negative_slope, inplace)."""
        return functional("leaky_relu")(input, self.negative_slope, self.inplace)

    def extra_repr(self):
        return "negative_slope={}{}".format(self.negative_slope, inplace_repr(self.inplace))


class ELU(Module):
    """x for x > 0, alpha * (exp(x) - 1) below."""

    __constants__ = ["alpha", "inplace"]

    def __init__(self, alpha=1.0, inplace=False):
        super().__init__()
        self.alpha = number(type(self).__name__, "alpha", alpha)
        self.inplace = bool_arg(type(self).__name__, "inplace", inplace)

    def forward(self, input):
        """F.elu(input, alpha, inplace)."""
        return functional("elu")(input, self.alpha, self.inplace)

    def extra_repr(self):
        return "alpha={}{}".format(self.alpha, inplace_repr(self.inplace))


class CELU(ELU):
    """max(0, x) + min(0, alpha * (exp(x / alpha) - 1))."""

    def forward(self, input):
        """F.celu(input, alpha, inplace)."""
        return functional("celu")(input, self.alpha, self.inplace)


class SELU(Module):
    """scale * ELU(x, alpha) with the self-normalising constants."""

    __constants__ = ["inplace"]

    def __init__(self, inplace=False):
        super().__init__()
        self.inplace = bool_arg("SELU", "inplace", inplace)

    def forward(self, input):
        """F.selu(input, inplace)."""
        return functional("selu")(input, self.inplace)

    def extra_repr(self):
        return inplace_repr(self.inplace, first=True)


class GELU(Module):
    """x * Phi(x) (approximate='tanh': the tanh formula)."""

    __constants__ = ["approximate"]

    def __init__(self, approximate="none"):
        super().__init__()
        self.approximate = approximate

    def forward(self, input):
        """F.gelu(input, approximate)."""
        return functional("gelu")(input, approximate=self.approximate)

    def extra_repr(self):
        return "approximate={}".format(repr(self.approximate))


class SiLU(Module):
    """x * sigmoid(x)."""

    __constants__ = ["inplace"]

    def __init__(self, inplace=False):
        super().__init__()
        self.inplace = bool_arg("SiLU", "inplace", inplace)

    def forward(self, input):
        """F.silu(input, inplace)."""
        return functional("silu")(input, inplace=self.inplace)

    def extra_repr(self):
        return inplace_repr(self.inplace, first=True)


class Mish(SiLU):
    """x * tanh(softplus(x))."""

    def forward(self, input):
        """F.mish(input, inplace)."""
        return functional("mish")(input, inplace=self.inplace)


class Softplus(Module):
    """log(1 + exp(beta * x)) / beta, linear above threshold."""

    __constants__ = ["beta", "threshold"]

    def __init__(self, beta=torch_default("Softplus", "beta"), threshold=torch_default("Softplus", "threshold")):
        super().__init__()
        self.beta = number("Softplus", "beta", beta)
        self.threshold = number("Softplus", "threshold", threshold)

    def forward(self, input):
        """F.softplus(input, beta, threshold)."""
        return functional("softplus")(input, self.beta, self.threshold)

    def extra_repr(self):
        return "beta={}, threshold={}".format(self.beta, self.threshold)


class Tanh(Module):
    """tanh(x)."""

    def forward(self, input):
        """input.tanh()."""
        return input.tanh()


class Sigmoid(Module):
    """1 / (1 + exp(-x))."""

    def forward(self, input):
        """F.sigmoid(input)."""
        return functional("sigmoid")(input)


class Hardtanh(Module):
    """x clamped to [min_val, max_val]."""

    __constants__ = ["min_val", "max_val", "inplace"]

    def __init__(self, min_val=-1.0, max_val=1.0, inplace=False, min_value=None, max_value=None):
        super().__init__()
        if min_value is not None:
            import warnings
            warnings.warn("keyword argument min_value is deprecated and rename to min_val")
            min_val = min_value
        if max_value is not None:
            import warnings
            warnings.warn("keyword argument max_value is deprecated and rename to max_val")
            max_val = max_value
        self.min_val = number("Hardtanh", "min_val", min_val)
        self.max_val = number("Hardtanh", "max_val", max_val)
        self.inplace = bool_arg("Hardtanh", "inplace", inplace)
        if not self.max_val > self.min_val:
            raise AssertionError("Hardtanh(): max_val must be greater than min_val, got min_val=%r, max_val=%r"
                                 % (self.min_val, self.max_val))

    def forward(self, input):
        """F.hardtanh(input, min_val, max_val, inplace)."""
        return functional("hardtanh")(input, self.min_val, self.max_val, self.inplace)

    def extra_repr(self):
        return "min_val={}, max_val={}{}".format(self.min_val, self.max_val, inplace_repr(self.inplace))


class Softmax(Module):
    """exp(x) / sum(exp(x)) along dim."""

    __constants__ = ["dim"]

    def __init__(self, dim=None):
        super().__init__()
        self.dim = dim

    def __setstate__(self, state):
        super().__setstate__(state)
        self.__dict__.setdefault("dim", None)

    def forward(self, input):
        """F.softmax(input, dim)."""
        return functional(type(self).__name__.lower().replace("logsoftmax", "log_softmax"))(input, self.dim)

    def extra_repr(self):
        return "dim={dim}".format(dim=self.dim)


class LogSoftmax(Softmax):
    """log(softmax(x)) along dim, computed directly."""


__all__ = ["ReLU", "LeakyReLU", "ELU", "SELU", "CELU", "GELU", "SiLU", "Mish", "Softplus", "Tanh", "Sigmoid",
           "Hardtanh", "Softmax", "LogSoftmax"]


def install(zel):
    """Returns the public names."""
    return {name: globals()[name] for name in __all__}
