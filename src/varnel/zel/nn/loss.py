"""torch.nn's loss modules: PyTorch's constructor arguments (the deprecated
size_average/reduce included), forwarding to the functional namespace."""
import warnings

from .layers import functional, number
from .module import Module


def legacy_reduction(size_average, reduce, reduction):
    # PyTorch's mapping of the deprecated flags, which win over reduction.
    if size_average is None and reduce is None:
        return reduction
    size_average = True if size_average is None else size_average
    reduce = True if reduce is None else reduce
    result = ("mean" if size_average else "sum") if reduce else "none"
    warnings.warn("size_average and reduce args will be deprecated, please use reduction='{}' instead."
                  .format(result))
    return result


class _Loss(Module):
    """Holds the reduction ('mean', 'sum' or 'none')."""

    def __init__(self, size_average=None, reduce=None, reduction="mean"):
        super().__init__()
        self.reduction = legacy_reduction(size_average, reduce, reduction)


class _WeightedLoss(_Loss):
    """A loss with a per-class weight buffer."""

    def __init__(self, weight=None, size_average=None, reduce=None, reduction="mean"):
        super().__init__(size_average, reduce, reduction)
        self.register_buffer("weight", weight)


class MSELoss(_Loss):
    """Squared error."""

    __constants__ = ["reduction"]

    def forward(self, input, target):
        """F.mse_loss(input, target, reduction=reduction)."""
        return functional("mse_loss")(input, target, reduction=self.reduction)


class L1Loss(_Loss):
    """Absolute error."""

    __constants__ = ["reduction"]

    def forward(self, input, target):
        """F.l1_loss(input, target, reduction=reduction)."""
        return functional("l1_loss")(input, target, reduction=self.reduction)


class SmoothL1Loss(_Loss):
    """Squared error below beta, absolute error above."""

    __constants__ = ["reduction"]

    def __init__(self, size_average=None, reduce=None, reduction="mean", beta=1.0):
        super().__init__(size_average, reduce, reduction)
        self.beta = number("SmoothL1Loss", "beta", beta)

    def forward(self, input, target):
        """F.smooth_l1_loss(input, target, reduction=reduction, beta=beta)."""
        return functional("smooth_l1_loss")(input, target, reduction=self.reduction, beta=self.beta)


class HuberLoss(_Loss):
    """Squared error below delta, delta-scaled absolute error above."""

    __constants__ = ["reduction", "delta"]

    def __init__(self, reduction="mean", delta=1.0):
        super().__init__(reduction=reduction)
        self.delta = number("HuberLoss", "delta", delta)

    def forward(self, input, target):
        """F.huber_loss(input, target, reduction=reduction, delta=delta)."""
        return functional("huber_loss")(input, target, reduction=self.reduction, delta=self.delta)


class NLLLoss(_WeightedLoss):
    """Negative log likelihood of class indices."""

    __constants__ = ["ignore_index", "reduction"]

    def __init__(self, weight=None, size_average=None, ignore_index=-100, reduce=None, reduction="mean"):
        super().__init__(weight, size_average, reduce, reduction)
        self.ignore_index = ignore_index

    def forward(self, input, target):
        """F.nll_loss(input, target, weight, ignore_index=..., reduction=...)."""
        return functional("nll_loss")(input, target, weight=self.weight, ignore_index=self.ignore_index,
                                      reduction=self.reduction)


class CrossEntropyLoss(_WeightedLoss):
    """log_softmax then NLL, for class indices or class probabilities."""

    __constants__ = ["ignore_index", "reduction", "label_smoothing"]

    def __init__(self, weight=None, size_average=None, ignore_index=-100, reduce=None, reduction="mean",
                 label_smoothing=0.0):
        super().__init__(weight, size_average, reduce, reduction)
        self.ignore_index = ignore_index
        self.label_smoothing = number("CrossEntropyLoss", "label_smoothing", label_smoothing)

    def forward(self, input, target):
        """F.cross_entropy(input, target, weight, ignore_index=..., reduction=..., label_smoothing=...)."""
        return functional("cross_entropy")(input, target, weight=self.weight, ignore_index=self.ignore_index,
                                           reduction=self.reduction, label_smoothing=self.label_smoothing)


class BCELoss(_WeightedLoss):
    """Binary cross entropy of probabilities."""

    __constants__ = ["reduction"]

    def forward(self, input, target):
        """F.binary_cross_entropy(input, target, weight=weight, reduction=reduction)."""
        return functional("binary_cross_entropy")(input, target, weight=self.weight, reduction=self.reduction)


class BCEWithLogitsLoss(_Loss):
    """Binary cross entropy of logits (sigmoid folded in)."""

    def __init__(self, weight=None, size_average=None, reduce=None, reduction="mean", pos_weight=None):
        super().__init__(size_average, reduce, reduction)
        self.register_buffer("weight", weight)
        self.register_buffer("pos_weight", pos_weight)

    def forward(self, input, target):
        """F.binary_cross_entropy_with_logits(input, target, weight, pos_weight=..., reduction=...)."""
        return functional("binary_cross_entropy_with_logits")(input, target, self.weight, pos_weight=self.pos_weight,
                                                              reduction=self.reduction)


class KLDivLoss(_Loss):
    """Kullback-Leibler divergence of log-probabilities input from target."""

    __constants__ = ["reduction"]

    def __init__(self, size_average=None, reduce=None, reduction="mean", log_target=False):
        super().__init__(size_average, reduce, reduction)
        self.log_target = log_target

    def forward(self, input, target):
        """F.kl_div(input, target, reduction=reduction, log_target=log_target)."""
        return functional("kl_div")(input, target, reduction=self.reduction, log_target=self.log_target)


class GaussianNLLLoss(_Loss):
    """Negative log likelihood of target under N(input, var)."""

    __constants__ = ["full", "eps", "reduction"]

    def __init__(self, *, full=False, eps=1e-6, reduction="mean"):
        super().__init__(None, None, reduction)
        self.full = full
        self.eps = number("GaussianNLLLoss", "eps", eps)

    def forward(self, input, target, var):
        """F.gaussian_nll_loss(input, target, var, full=..., eps=..., reduction=...)."""
        return functional("gaussian_nll_loss")(input, target, var, full=self.full, eps=self.eps,
                                               reduction=self.reduction)


class PoissonNLLLoss(_Loss):
    """Negative log likelihood of target under Poisson(input) (log_input: input is the log rate)."""

    __constants__ = ["log_input", "full", "eps", "reduction"]

    def __init__(self, log_input=True, full=False, size_average=None, eps=1e-8, reduce=None, reduction="mean"):
        super().__init__(size_average, reduce, reduction)
        self.log_input = log_input
        self.full = full
        self.eps = number("PoissonNLLLoss", "eps", eps)

    def forward(self, log_input, target):
        """F.poisson_nll_loss(log_input, target, log_input=..., full=..., eps=..., reduction=...)."""
        return functional("poisson_nll_loss")(log_input, target, log_input=self.log_input, full=self.full,
                                              eps=self.eps, reduction=self.reduction)


__all__ = ["MSELoss", "L1Loss", "SmoothL1Loss", "HuberLoss", "CrossEntropyLoss", "NLLLoss", "BCELoss",
           "BCEWithLogitsLoss", "KLDivLoss", "GaussianNLLLoss", "PoissonNLLLoss"]


def install(zel):
    """Returns the public names."""
    return {name: globals()[name] for name in __all__}
