"""zel.distributions: PyTorch's distributions over tensors of this library.

Densities, distribution functions and their inverses use the accurate
exp, log, sin, cos and tan (varnel.zel._accurate) and the accurate erfc,
expm1, log1p and atan, so they hold 2^-100 whatever the function precision.
Samples come from the library's generator (zel.manual_seed reproduces them);
rsample is differentiable in the parameters.

varnel.zel.zel installs this module as zel.distributions.
"""
import math
import numbers

import torch

_zel = None
_acc = None

__all__ = ["Distribution", "Normal", "Uniform", "Exponential", "Laplace", "Cauchy", "LogNormal", "Bernoulli",
           "Categorical", "kl_divergence", "register_kl", "constraints"]


def install(zel):
    global _zel, _acc
    from varnel.zel._accurate import Accurate
    _zel, _acc = zel, Accurate(zel)
    zel.distributions = __import__(__name__, fromlist=["*"])


def _tensor(v, name):
    if isinstance(v, _zel.Tensor):
        return v
    if isinstance(v, torch.Tensor):
        if not v.is_floating_point():
            v = v.to(torch.float64)
        return _zel.tensor(v.detach().to(torch.float64))
    if isinstance(v, bool) or not isinstance(v, numbers.Real):
        raise TypeError("%s must be a Tensor or a number, not %s" % (name, type(v).__name__))
    return _zel.tensor(float(v))


def _broadcast(*values):
    shape = tuple(torch.broadcast_shapes(*[tuple(v.shape) for v in values]))
    return [v if tuple(v.shape) == shape else v.expand(*shape) * 1.0 for v in values], shape


def _size(sample_shape):
    if isinstance(sample_shape, int) and not isinstance(sample_shape, bool):
        return (sample_shape,)
    if not isinstance(sample_shape, (tuple, list, torch.Size)):
        raise TypeError("sample_shape must be a torch.Size or tuple of ints, not %s" % type(sample_shape).__name__)
    for n in sample_shape:
        if isinstance(n, bool) or not isinstance(n, int) or n < 0:
            raise ValueError("sample_shape must hold non-negative ints, got %r" % (tuple(sample_shape),))
    return tuple(sample_shape)


def _approx(t):
    return torch.as_tensor(t.detach().numpy(), dtype=torch.float64).reshape(tuple(t.shape))


class constraints:
    """The parameter and support constraints, PyTorch's names."""

    class _Constraint:
        def __init__(self, name, check):
            self.name, self._check = name, check

        def check(self, value):
            return self._check(_approx(value))

        def __repr__(self):
            return self.name

    real = _Constraint("Real()", lambda v: v == v)
    positive = _Constraint("GreaterThan(lower_bound=0.0)", lambda v: v > 0)
    nonnegative = _Constraint("GreaterThanEq(lower_bound=0.0)", lambda v: v >= 0)
    unit_interval = _Constraint("Interval(lower_bound=0.0, upper_bound=1.0)", lambda v: (v >= 0) & (v <= 1))
    boolean = _Constraint("Boolean()", lambda v: (v == 0) | (v == 1))
    simplex = _Constraint("Simplex()", lambda v: (v >= 0).all(-1) & ((v.sum(-1) - 1).abs() < 1e-6))

    @staticmethod
    def greater_than_low(low):
        return constraints._Constraint("GreaterThan(lower_bound=low)", lambda v: v > _approx(low))


class Distribution:
    """The base of every distribution: shapes, validation, sample and the moments."""

    has_rsample = False
    arg_constraints = {}
    support = None
    _validate_default = True

    def __init__(self, batch_shape=(), event_shape=(), validate_args=None):
        self._batch_shape = tuple(batch_shape)
        self._event_shape = tuple(event_shape)
        self._validate_args = Distribution._validate_default if validate_args is None else bool(validate_args)
        if self._validate_args:
            for param, constraint in self.arg_constraints.items():
                if param not in self.__dict__:
                    continue
                value = getattr(self, param)
                ok = constraint.check(value)
                if not bool(torch.as_tensor(ok).all()):
                    raise ValueError("Expected parameter %s (Tensor of shape %s) of distribution %r to satisfy the "
                                     "constraint %r, but found invalid values:\n%s"
                                     % (param, tuple(value.shape), self, constraint, value))

    @staticmethod
    def set_default_validate_args(value):
        if value not in (True, False):
            raise ValueError("set_default_validate_args expects True or False")
        Distribution._validate_default = value

    @property
    def batch_shape(self):
        return torch.Size(self._batch_shape)

    @property
    def event_shape(self):
        return torch.Size(self._event_shape)

    def _extended_shape(self, sample_shape=()):
        return _size(sample_shape) + self._batch_shape + self._event_shape

    def sample(self, sample_shape=()):
        """Draws of shape sample_shape + batch_shape + event_shape (no gradient)."""
        with _zel.no_grad():
            return self.rsample(sample_shape)

    def rsample(self, sample_shape=()):
        raise NotImplementedError("%s has no rsample" % type(self).__name__)

    def sample_n(self, n):
        return self.sample((n,))

    def _validate_sample(self, value):
        if not isinstance(value, (_zel.Tensor, torch.Tensor)):
            raise ValueError("The value argument to log_prob must be a Tensor")
        value = _tensor(value, "value")
        if self._validate_args and self.support is not None:
            ok = self._support_check(value)
            if not bool(torch.as_tensor(ok).all()):
                raise ValueError("Expected value argument (Tensor of shape %s) to be within the support (%r) of the "
                                 "distribution %r, but found invalid values:\n%s"
                                 % (tuple(value.shape), self.support, self, value))
        return value

    def _support_check(self, value):
        return self.support.check(value)

    @property
    def stddev(self):
        return _zel.sqrt(self.variance)

    def perplexity(self):
        return _acc.exp(self.entropy())

    def expand(self, batch_shape, _instance=None):
        batch_shape = tuple(batch_shape)
        new = self.__class__.__new__(self.__class__)
        for name in self._parameters():
            value = getattr(self, name)
            setattr(new, name, value.expand(*(batch_shape + tuple(value.shape)[len(self._batch_shape):])) * 1.0)
        for name, value in self.__dict__.items():
            if name not in self._parameters() and not name.startswith("_batch"):
                new.__dict__.setdefault(name, value)
        new._batch_shape = batch_shape
        new._event_shape = self._event_shape
        new._validate_args = self._validate_args
        return new

    def _parameters(self):
        return tuple(self.arg_constraints)

    def __repr__(self):
        shown = ", ".join("%s: %s" % (p, tuple(getattr(self, p).shape) if getattr(self, p).numel != 1
                                      else getattr(self, p).item())
                          for p in self.arg_constraints if p in self.__dict__)
        return "%s(%s)" % (type(self).__name__, shown)


class _LocScale(Distribution):
    """A location and a positive scale, broadcast together."""

    arg_constraints = {"loc": constraints.real, "scale": constraints.positive}
    support = constraints.real
    has_rsample = True

    def __init__(self, loc, scale, validate_args=None):
        (self.loc, self.scale), shape = _broadcast(_tensor(loc, "loc"), _tensor(scale, "scale"))
        super().__init__(shape, validate_args=validate_args)


class Normal(_LocScale):
    """The normal distribution N(loc, scale^2)."""


    @property
    def mean(self):
        return self.loc

    @property
    def mode(self):
        return self.loc

    @property
    def variance(self):
        return self.scale * self.scale

    @property
    def stddev(self):
        return self.scale

    def rsample(self, sample_shape=()):
        shape = self._extended_shape(sample_shape)
        eps = _zel.randn(*shape) if shape else _zel.randn(1).reshape(())
        return self.loc + eps * self.scale

    def log_prob(self, value):
        value = self._validate_sample(value)
        z = (value - self.loc) / self.scale
        return -(z * z) * 0.5 - _acc.log(self.scale) - _acc.constant(_accurate_constants().LOG_SQRT_2PI)

    def cdf(self, value):
        value = self._validate_sample(value)
        # erfc on the far left: 1 + erf would cancel.
        z = (value - self.loc) / (self.scale * _acc.constant(_accurate_constants().SQRT_2))
        return _zel.special.erfc(-z) * 0.5

    def icdf(self, value):
        value = _tensor(value, "value")
        ndtri = getattr(_zel.special, "ndtri", None)
        if ndtri is None:
            raise NotImplementedError("Normal.icdf needs special.ndtri")
        return self.loc + self.scale * ndtri(value)

    def entropy(self):
        return _acc.log(self.scale) + 0.5 + _acc.constant(_accurate_constants().LOG_SQRT_2PI)


class Uniform(Distribution):
    """The uniform distribution on [low, high)."""

    arg_constraints = {"low": constraints.real, "high": constraints.real}
    has_rsample = True

    def __init__(self, low, high, validate_args=None):
        (self.low, self.high), shape = _broadcast(_tensor(low, "low"), _tensor(high, "high"))
        super().__init__(shape, validate_args=validate_args)
        if self._validate_args and not bool((_approx(self.low) < _approx(self.high)).all()):
            raise ValueError("Expected parameter low (Tensor of shape %s) of distribution %r to satisfy the "
                             "constraint LessThan(upper_bound=high), but found invalid values:\n%s"
                             % (tuple(self.low.shape), self, self.low))

    support = constraints._Constraint("Interval(lower_bound=low, upper_bound=high)", None)

    def _support_check(self, value):
        v = _approx(value)
        return (_approx(self.low) <= v) & (v <= _approx(self.high))

    @property
    def mean(self):
        return (self.high + self.low) / 2.0

    @property
    def mode(self):
        return self.high * float("nan")

    @property
    def variance(self):
        d = self.high - self.low
        return d * d / 12.0

    def rsample(self, sample_shape=()):
        shape = self._extended_shape(sample_shape)
        u = _zel.rand(*shape) if shape else _zel.rand(1).reshape(())
        return self.low + u * (self.high - self.low)

    def log_prob(self, value):
        value = self._validate_sample(value)
        inside = (_zel.isclose(value, self.low, rtol=0.0, atol=0.0) | (value > self.low)) & (value < self.high)
        logp = -_acc.log(self.high - self.low) + value * 0.0
        return _zel.where(torch.as_tensor(inside), logp, -math.inf)

    def cdf(self, value):
        value = self._validate_sample(value)
        return _zel.clamp((value - self.low) / (self.high - self.low), 0.0, 1.0)

    def icdf(self, value):
        return self.low + _tensor(value, "value") * (self.high - self.low)

    def entropy(self):
        return _acc.log(self.high - self.low)


class Exponential(Distribution):
    """The exponential distribution of rate `rate`."""

    arg_constraints = {"rate": constraints.positive}
    support = constraints.nonnegative
    has_rsample = True

    def __init__(self, rate, validate_args=None):
        self.rate = _tensor(rate, "rate")
        super().__init__(tuple(self.rate.shape), validate_args=validate_args)

    @property
    def mean(self):
        return 1.0 / self.rate

    @property
    def mode(self):
        return self.rate * 0.0

    @property
    def variance(self):
        return 1.0 / (self.rate * self.rate)

    def rsample(self, sample_shape=()):
        shape = self._extended_shape(sample_shape)
        u = _zel.rand(*shape) if shape else _zel.rand(1).reshape(())
        return -_zel.log1p(-u) / self.rate

    def log_prob(self, value):
        value = self._validate_sample(value)
        return _acc.log(self.rate) - self.rate * value

    def cdf(self, value):
        value = self._validate_sample(value)
        return -_zel.special.expm1(-self.rate * value)

    def icdf(self, value):
        return -_zel.log1p(-_tensor(value, "value")) / self.rate

    def entropy(self):
        return 1.0 - _acc.log(self.rate)


class Laplace(_LocScale):
    """The Laplace distribution of location `loc` and scale `scale`."""


    @property
    def mean(self):
        return self.loc

    @property
    def mode(self):
        return self.loc

    @property
    def variance(self):
        return 2.0 * self.scale * self.scale

    def rsample(self, sample_shape=()):
        shape = self._extended_shape(sample_shape)
        u = (_zel.rand(*shape) if shape else _zel.rand(1).reshape(())) * 2.0 - 1.0
        return self.loc - self.scale * _zel.sign(u) * _zel.log1p(-u.abs())

    def log_prob(self, value):
        value = self._validate_sample(value)
        return -_acc.log(2.0 * self.scale) - (value - self.loc).abs() / self.scale

    def cdf(self, value):
        value = self._validate_sample(value)
        d = value - self.loc
        return 0.5 - 0.5 * _zel.sign(d) * _zel.special.expm1(-d.abs() / self.scale)

    def icdf(self, value):
        t = _tensor(value, "value") - 0.5
        return self.loc - self.scale * _zel.sign(t) * _zel.log1p(-2.0 * t.abs())

    def entropy(self):
        return 1.0 + _acc.log(2.0 * self.scale)


class Cauchy(_LocScale):
    """The Cauchy distribution of location `loc` and scale `scale`."""


    @property
    def mean(self):
        return self.loc * float("nan")

    @property
    def mode(self):
        return self.loc

    @property
    def variance(self):
        return self.loc * 0.0 + math.inf

    def _pi(self):
        return _acc.constant(_accurate_constants().PI)

    def rsample(self, sample_shape=()):
        shape = self._extended_shape(sample_shape)
        u = _zel.rand(*shape) if shape else _zel.rand(1).reshape(())
        return self.loc + self.scale * _acc.tan(self._pi() * (u - 0.5))

    def log_prob(self, value):
        value = self._validate_sample(value)
        z = (value - self.loc) / self.scale
        return -_acc.constant(_accurate_constants().LOG_PI) - _acc.log(self.scale) - _zel.log1p(z * z)

    def cdf(self, value):
        value = self._validate_sample(value)
        return _zel.atan((value - self.loc) / self.scale) / self._pi() + 0.5

    def icdf(self, value):
        return self.loc + self.scale * _acc.tan(self._pi() * (_tensor(value, "value") - 0.5))

    def entropy(self):
        return _acc.log(4.0 * self._pi()) + _acc.log(self.scale)


class LogNormal(Distribution):
    """exp of a Normal(loc, scale) variable."""

    arg_constraints = {"loc": constraints.real, "scale": constraints.positive}
    support = constraints.positive
    has_rsample = True

    def __init__(self, loc, scale, validate_args=None):
        self.base_dist = Normal(loc, scale, validate_args=validate_args)
        self.loc, self.scale = self.base_dist.loc, self.base_dist.scale
        super().__init__(self.base_dist._batch_shape, validate_args=validate_args)

    @property
    def mean(self):
        return _acc.exp(self.loc + self.scale * self.scale / 2.0)

    @property
    def mode(self):
        return _acc.exp(self.loc - self.scale * self.scale)

    @property
    def variance(self):
        s2 = self.scale * self.scale
        return _zel.special.expm1(s2) * _acc.exp(2.0 * self.loc + s2)

    def rsample(self, sample_shape=()):
        return _acc.exp(self.base_dist.rsample(sample_shape))

    def log_prob(self, value):
        value = self._validate_sample(value)
        log_v = _acc.log(value)
        return self.base_dist.log_prob(log_v) - log_v

    def cdf(self, value):
        value = self._validate_sample(value)
        return self.base_dist.cdf(_acc.log(value))

    def icdf(self, value):
        return _acc.exp(self.base_dist.icdf(value))

    def entropy(self):
        return self.base_dist.entropy() + self.loc


class _ProbsOrLogits(Distribution):
    def _probs_or_logits(self, probs, logits, last_dim):
        if (probs is None) == (logits is None):
            raise ValueError("Either `probs` or `logits` must be specified, but not both.")
        if probs is not None:
            self.probs = _tensor(probs, "probs")
            self._given = "probs"
        else:
            self.logits = _tensor(logits, "logits")
            self._given = "logits"

    def _parameters(self):
        return (self._given,)


class Bernoulli(_ProbsOrLogits):
    """1 with probability `probs` (or sigmoid(`logits`)), else 0."""

    arg_constraints = {"probs": constraints.unit_interval, "logits": constraints.real}
    support = constraints.boolean

    def __init__(self, probs=None, logits=None, validate_args=None):
        self._probs_or_logits(probs, logits, False)
        shape = tuple((self.probs if self._given == "probs" else self.logits).shape)
        super().__init__(shape, validate_args=validate_args)
        if self._given == "probs":
            # logit(p) = log(p) - log1p(-p), both accurate
            p = self.probs
            self.logits = _acc.log(p) - _zel.log1p(-p)
        else:
            self.probs = _acc.sigmoid(self.logits)

    @property
    def mean(self):
        return self.probs

    @property
    def mode(self):
        p = _approx(self.probs)
        m = (p >= 0.5).to(torch.float64)
        m[p == 0.5] = math.nan
        return _zel.tensor(m)

    @property
    def variance(self):
        return self.probs * (1.0 - self.probs)

    def sample(self, sample_shape=()):
        shape = self._extended_shape(sample_shape)
        with _zel.no_grad():
            p = self.probs.expand(*shape) * 1.0 if shape else self.probs
            return _zel.bernoulli(p)

    def log_prob(self, value):
        value = self._validate_sample(value)
        # value * logits - softplus(logits): -BCE with logits, stable at both ends.
        return value * self.logits - _acc.softplus(self.logits)

    def entropy(self):
        return _acc.softplus(self.logits) - self.probs * self.logits


class Categorical(_ProbsOrLogits):
    """A category index drawn with probabilities `probs` (or softmax(`logits`)) along the last dim."""

    arg_constraints = {"probs": constraints.simplex, "logits": constraints.real}

    def __init__(self, probs=None, logits=None, validate_args=None):
        self._probs_or_logits(probs, logits, True)
        given = self.probs if self._given == "probs" else self.logits
        if given.dim() < 1:
            raise ValueError("`%s` parameter must be at least one-dimensional." % self._given)
        if self._given == "probs":
            self.probs = self.probs / self.probs.sum(-1, keepdim=True)
            self.logits = _acc.log(self.probs)
        else:
            m = self.logits.amax(-1, keepdim=True)
            self.logits = self.logits - (m + _acc.log(_acc.exp(self.logits - m).sum(-1, keepdim=True)))
            self.probs = _acc.exp(self.logits)
        self._num_events = given.shape[-1]
        super().__init__(tuple(given.shape[:-1]), validate_args=validate_args)

    @property
    def param_shape(self):
        return torch.Size(tuple(self.probs.shape))

    @property
    def mean(self):
        return _zel.full(self._extended_shape(), math.nan)

    @property
    def mode(self):
        return self.probs.argmax(-1)

    @property
    def variance(self):
        return _zel.full(self._extended_shape(), math.nan)

    def sample(self, sample_shape=()):
        sample_shape = _size(sample_shape)
        n = math.prod(sample_shape) if sample_shape else 1
        flat = self.probs.reshape(-1, self._num_events)
        draws = _zel.multinomial(flat, n, replacement=True)  # (batch, n)
        return draws.t().reshape(sample_shape + self._batch_shape)

    def _support_check(self, value):
        v = _approx(value)
        return (v >= 0) & (v < self._num_events) & (v == v.round())

    support = constraints._Constraint("IntegerInterval(lower_bound=0, upper_bound=n - 1)", None)

    def log_prob(self, value):
        if isinstance(value, torch.Tensor) and not value.is_floating_point():
            index = value.to(torch.int64)
        else:
            index = torch.as_tensor(_approx(_tensor(value, "value")), dtype=torch.int64)
        if self._validate_args and not bool(((index >= 0) & (index < self._num_events)).all()):
            raise ValueError("Expected value argument to be within the support of the distribution %r, but found "
                             "invalid values:\n%s" % (self, index))
        shape = torch.broadcast_shapes(tuple(index.shape), self._batch_shape)
        logits = self.logits.expand(*(tuple(shape) + (self._num_events,))) * 1.0
        return _zel.gather(logits, -1, index.expand(shape).unsqueeze(-1).contiguous()).squeeze(-1)

    def entropy(self):
        # p log p with 0 log 0 = 0
        p_log_p = _zel.where(torch.as_tensor(_approx(self.probs) > 0), self.probs * self.logits, 0.0)
        return -p_log_p.sum(-1)


# ------------------------------------------------------------------ KL divergence

_KL = {}


def register_kl(type_p, type_q):
    """Decorator registering fn(p, q) as the KL divergence of type_p from type_q."""
    def decorate(fn):
        _KL[(type_p, type_q)] = fn
        return fn
    return decorate


def kl_divergence(p, q):
    """KL(p || q) for a pair of distributions PyTorch registers."""
    for (tp, tq), fn in _KL.items():
        if isinstance(p, tp) and isinstance(q, tq):
            return fn(p, q)
    raise NotImplementedError("No KL(p || q) is implemented for p type %s and q type %s"
                              % (type(p).__name__, type(q).__name__))


@register_kl(Normal, Normal)
def _kl_normal_normal(p, q):
    ratio = p.scale / q.scale
    d = (p.loc - q.loc) / q.scale
    return 0.5 * (ratio * ratio + d * d - 1.0) - _acc.log(ratio)


@register_kl(Uniform, Uniform)
def _kl_uniform_uniform(p, q):
    result = _acc.log((q.high - q.low) / (p.high - p.low))
    outside = (_approx(q.low) > _approx(p.low)) | (_approx(q.high) < _approx(p.high))
    return _zel.where(outside, math.inf, result)


@register_kl(Exponential, Exponential)
def _kl_exponential_exponential(p, q):
    ratio = q.rate / p.rate
    return ratio - _acc.log(ratio) - 1.0


@register_kl(Laplace, Laplace)
def _kl_laplace_laplace(p, q):
    ratio = p.scale / q.scale
    d = (p.loc - q.loc).abs()
    return -_acc.log(ratio) + d / q.scale + ratio * _acc.exp(-d / p.scale) - 1.0


@register_kl(Bernoulli, Bernoulli)
def _kl_bernoulli_bernoulli(p, q):
    pp, qp = _approx(p.probs), _approx(q.probs)
    t1 = p.probs * (_acc.softplus(-q.logits) - _acc.softplus(-p.logits))
    t1 = _zel.where(qp == 0, math.inf, t1)
    t1 = _zel.where(pp == 0, 0.0, t1)
    t2 = (1.0 - p.probs) * (_acc.softplus(q.logits) - _acc.softplus(p.logits))
    t2 = _zel.where(qp == 1, math.inf, t2)
    t2 = _zel.where(pp == 1, 0.0, t2)
    return t1 + t2


@register_kl(Categorical, Categorical)
def _kl_categorical_categorical(p, q):
    t = p.probs * (p.logits - q.logits)
    shape = tuple(t.shape)
    t = _zel.where(torch.as_tensor(_approx(q.probs) == 0).expand(shape), math.inf, t)
    t = _zel.where(torch.as_tensor(_approx(p.probs) == 0).expand(shape), 0.0, t)
    return t.sum(-1)


def _accurate_constants():
    from varnel.zel import _accurate
    return _accurate
