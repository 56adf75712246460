"""zel.distributions: PyTorch's distributions over tensors of this library.

Densities, distribution functions and their inverses use the accurate
exp, log, sin, cos and tan (varnel.zel._accurate) and the accurate erfc,
expm1, log1p and atan, so they hold 2^-100 whatever the function precision.
The gamma family (Gamma, Chi2, Beta, StudentT), Poisson and Binomial add the
accurate lgamma and digamma, and past counts of 30 Loader's saddle-point
forms, so large parameters keep 2^-100 too. Samples come from the library's
generator (zel.manual_seed reproduces them) by PyTorch's algorithms
(Marsaglia–Tsang, PTRS, BTRS); rsample is differentiable in the parameters.

varnel.zel.zel installs this module as zel.distributions.
"""
import math
import numbers

import torch

_zel = None
_acc = None

__all__ = ["Distribution", "Normal", "Uniform", "Exponential", "Laplace", "Cauchy", "LogNormal", "Bernoulli",
           "Categorical", "Gamma", "Chi2", "Beta", "StudentT", "Poisson", "Binomial", "MultivariateNormal",
           "kl_divergence", "register_kl", "constraints"]


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


def _positive_definite(v):
    # PyTorch's test: symmetric to 1e-6, then a Cholesky factorisation that succeeds.
    if v.shape[-1] != v.shape[-2]:
        return torch.zeros(v.shape[:-2], dtype=torch.bool)
    sym = torch.isclose(v, v.mT, atol=1e-6).all(-2).all(-1)
    if not bool(sym.all()):
        return sym
    return torch.linalg.cholesky_ex(v).info.eq(0)


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
    nonnegative_integer = _Constraint("IntegerGreaterThan(lower_bound=0)", lambda v: (v >= 0) & (v % 1 == 0))
    real_vector = _Constraint("IndependentConstraint(Real(), 1)", lambda v: (v == v).all(-1))
    lower_cholesky = _Constraint("LowerCholesky()", lambda v: (v.tril() == v).flatten(-2).all(-1)
                                 & (v.diagonal(dim1=-2, dim2=-1) > 0).all(-1))
    positive_definite = _Constraint("PositiveDefinite()", lambda v: _positive_definite(v))
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

    # What PyTorch's base raises where a distribution has no such method.
    @property
    def mean(self):
        raise NotImplementedError

    @property
    def mode(self):
        raise NotImplementedError("%s does not implement mode" % type(self).__name__)

    @property
    def variance(self):
        raise NotImplementedError

    def log_prob(self, value):
        raise NotImplementedError

    def cdf(self, value):
        raise NotImplementedError

    def icdf(self, value):
        raise NotImplementedError

    def entropy(self):
        raise NotImplementedError

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


# ------------------------------------------------------------------ the gamma family

_MAX_ROUNDS = 1000  # rejection rounds; every sampler below accepts with probability above 1/4 per round


def _draws(n, normal=False):
    if n == 0:
        return _zel.zeros(0)
    return _zel.randn(n) if normal else _zel.rand(n)


def _xlogy(x, y):
    """x log y with 0 where x == 0 (unless y is NaN), on the accurate log."""
    zero = torch.as_tensor((_approx(x) == 0) & ~torch.isnan(_approx(y)))
    x, y = _broadcast(x, y)[0]
    safe = _zel.where(zero.expand(tuple(y.shape)), 1.0, y)
    return _zel.where(zero.expand(tuple(y.shape)), 0.0, x * _acc.log(safe))


def _xlog1py(x, y):
    """x log1p(y) with 0 where x == 0 (unless y is NaN)."""
    zero = torch.as_tensor((_approx(x) == 0) & ~torch.isnan(_approx(y)))
    x, y = _broadcast(x, y)[0]
    safe = _zel.where(zero.expand(tuple(y.shape)), 0.0, y)
    return _zel.where(zero.expand(tuple(y.shape)), 0.0, x * _zel.log1p(safe))


def _log1p_minus(y):
    """log1p(y) - y in float64 without the cancellation near 0."""
    out = torch.log1p(y) - y
    small = y.abs() < 0.05
    term, acc = y.clone(), torch.zeros_like(y)
    for k in range(2, 30):
        term = term * -y
        acc = acc + term / k
    return torch.where(small, acc, out)


def _standard_gamma(alpha):
    """Gamma(alpha, 1) draws by Marsaglia and Tsang (2000), with the alpha < 1 boost
    x U^(1/alpha); no gradient. NaN for alpha <= 0 or NaN, inf for alpha = inf."""
    shape = tuple(alpha.shape)
    alpha = alpha.detach().reshape(-1)
    a = _approx(alpha)
    n = a.numel()
    out = _zel.zeros(n)
    bad = ~(a > 0)
    out[torch.nonzero(bad).reshape(-1)] = _zel.full((int(bad.sum()),), math.nan)
    out[torch.nonzero(a == math.inf).reshape(-1)] = _zel.full((int((a == math.inf).sum()),), math.inf)
    pending = torch.nonzero((a > 0) & (a < math.inf)).reshape(-1)
    boost = a < 1
    aa = _zel.where(torch.as_tensor(boost), alpha + 1.0, alpha)
    d = aa - _zel.ones(()) / 3.0  # the expansion's 1/3, not float64's
    c = 1.0 / _zel.sqrt(9.0 * d)
    df = _approx(d)
    for _ in range(_MAX_ROUNDS):
        if pending.numel() == 0:
            break
        x = _draws(pending.numel(), normal=True)
        u = _approx(_draws(pending.numel()))
        y = c[pending] * x
        yf, xf, dp = _approx(y), _approx(x), df[pending]
        # d (1 - v + log v) with v = (1 + y)^3, kept O(1) for huge d.
        with torch.no_grad():
            t = 3.0 * dp * _log1p_minus(yf.clamp(min=-0.999999)) - xf * xf / 3.0 - dp * yf ** 3
        accept = (yf > -1) & (torch.log(u) < 0.5 * xf * xf + t)
        idx = torch.nonzero(accept).reshape(-1)
        if idx.numel():
            v = (1.0 + y[idx]) ** 3
            out[pending[idx]] = d[pending[idx]] * v
        pending = pending[~accept]
    else:
        if pending.numel():
            raise RuntimeError("Gamma sampling did not finish in %d rounds" % _MAX_ROUNDS)
    lift = torch.nonzero(boost & (a > 0)).reshape(-1)
    if lift.numel():
        u = _draws(lift.numel())
        out[lift] = out[lift] * _acc.exp(_acc.log(u) / alpha[lift])
    # PyTorch clamps draws to the smallest normal float64
    tiny = torch.finfo(torch.float64).tiny
    out = _zel.where(torch.as_tensor(_approx(out) < tiny), tiny, out)
    return out.reshape(*shape) if shape else out.reshape(())


_WH_FROM = 2e4  # past this concentration special.gammainc's capped series no longer holds 2^-100


def _gamma_sample_grad(alpha, x):
    """dx/dalpha of a Gamma(alpha, 1) draw x held at fixed cdf P(alpha, x): -(dP/dalpha) / pdf.
    dP/dalpha by a five-point difference of the 2^-100 regularized gamma, on whichever of P
    or -Q is computed directly (small, not one minus something): about 1e-17 relative. Past
    alpha = 2e4, the derivative of the Wilson–Hilferty quantile at fixed normal deviate
    (relative error below 2e-7 within four standard deviations)."""
    with _zel.no_grad():
        shape = tuple(alpha.shape)
        alpha, x = alpha.reshape(-1), x.reshape(-1)
        a, xf = _approx(alpha), _approx(x)
        large = torch.as_tensor(a > _WH_FROM)
        # the large ones go through the difference at a harmless stand-in
        s0 = _zel.where(large, 1.0, alpha)
        x0 = _zel.where(large, 1.0, x)
        h = s0 * 1e-6
        # the four points in one call of each function: their cost is mostly per call
        points = _zel.cat([s0 + 2.0 * h, s0 + h, s0 - h, s0 - 2.0 * h])
        xs = _zel.cat([x0, x0, x0, x0])
        use_q = (_approx(x0) > _approx(s0) + 1).repeat(4)
        g = _zel.zeros(4 * a.numel())
        for mask, fn, sign in ((~use_q, _zel.special.gammainc, 1.0), (use_q, _zel.special.gammaincc, -1.0)):
            idx = torch.nonzero(mask).reshape(-1)
            if idx.numel():
                g[idx] = sign * fn(points[idx], xs[idx])
        g = g.reshape(4, -1)
        dp = (8.0 * (g[1] - g[2]) - (g[0] - g[3])) / (12.0 * h)
        pdf = _acc.exp((s0 - 1.0) * _acc.log(x0) - x0 - _zel.lgamma(s0))
        grad = -dp / pdf
        if bool(large.any()):
            w = _zel.where(large, x / alpha, 1.0) ** (1.0 / 3.0)
            sa = _zel.sqrt(alpha)
            z = (w - 1.0 + 1.0 / (9.0 * alpha)) * 3.0 * sa
            wh = w * w * w + 3.0 * alpha * w * w * (1.0 / (9.0 * alpha * alpha) - z / (6.0 * alpha * sa))
            grad = _zel.where(large, wh, grad)
        finite = torch.as_tensor(torch.isfinite(_approx(grad)))
        grad = _zel.where(finite, grad, 0.0)
        return grad.reshape(*shape) if shape else grad.reshape(())


def _gamma_reparam():
    global _GammaReparam
    if _GammaReparam is None:
        class GammaReparam(_zel.autograd.Function):
            """A Gamma(alpha, 1) draw as a function of alpha (implicit reparameterisation)."""

            @staticmethod
            def forward(ctx, alpha, draw):
                ctx.save_for_backward(alpha, draw)
                return draw * 1.0

            @staticmethod
            def backward(ctx, grad):
                alpha, draw = ctx.saved_tensors
                return grad * _gamma_sample_grad(alpha, draw), None
        _GammaReparam = GammaReparam
    return _GammaReparam


_GammaReparam = None


def _standard_gamma_rsample(alpha):
    draw = _standard_gamma(alpha)
    if alpha.requires_grad and _zel.is_grad_enabled():
        return _gamma_reparam().apply(alpha, draw)
    return draw


def _lgamma(x):
    return _zel.lgamma(x)


def _digamma(x):
    return _zel.digamma(x)


# ------------------------------------------------------------------ Loader's saddle-point forms

def _bernoulli_fractions(count):
    """B_2, B_4, ..., B_2count as exact fractions (Akiyama–Tanigawa)."""
    from fractions import Fraction
    out, a = [], []
    for m in range(2 * count + 1):
        a.append(Fraction(1, m + 1))
        for j in range(m, 0, -1):
            a[j - 1] = j * (a[j - 1] - a[j])
        if m >= 2 and m % 2 == 0:
            out.append(a[0])
    return out


def _limbs(fraction):
    out = []
    for _ in range(8):
        f = float(fraction)
        out.append(f)
        fraction -= type(fraction)(f)
    return tuple(out)


_STIRLING_FROM = 30.0  # the series below holds 2^-106 of stirlerr from here with 20 terms
_STIRLING = None


def _stirlerr(n):
    """lgamma(n + 1) - (n + 1/2) log n + n - log sqrt(2 pi), without the cancellation: the
    asymptotic series sum B_2k / (2k (2k - 1) n^(2k - 1)) from n = 30, the difference below."""
    global _STIRLING
    if _STIRLING is None:
        from fractions import Fraction
        bs = _bernoulli_fractions(20)
        _STIRLING = [_limbs(b / Fraction((2 * k) * (2 * k - 1))) for k, b in enumerate(bs, 1)]
    big = torch.as_tensor(_approx(n) >= _STIRLING_FROM)
    m = _zel.where(big, n, _STIRLING_FROM)
    inv2 = 1.0 / (m * m)
    s = m * 0.0
    for c in reversed(_STIRLING):  # Horner in 1 / n^2
        s = s * inv2 + _acc.constant(c)
    series = s / m
    small = _zel.where(big, 1.0, n)
    direct = (_lgamma(small + 1.0) - (small + 0.5) * _acc.log(small) + small
              - _acc.constant(_accurate_constants().LOG_SQRT_2PI))
    return _zel.where(big, series, direct)


_ODD = None


def _odd_reciprocals():
    """1/3, 1/5, ..., 1/49 as 8-limb constants (v^2 <= 0.01: 24 terms reach 2^-106)."""
    global _ODD
    if _ODD is None:
        from fractions import Fraction
        _ODD = [_limbs(Fraction(1, 2 * j + 1)) for j in range(1, 25)]
    return _ODD


def _bd0(x, mu):
    """x log(x / mu) + mu - x, accurate when x is near mu (Loader's series in v = (x - mu) / (x + mu))."""
    x, mu = _broadcast(x, mu)[0]
    d = x - mu
    v = d / (x + mu)
    near = torch.as_tensor((_approx(v).abs() < 0.1))
    vn = _zel.where(near, v, 0.0)
    # d v + 2 x (v^3/3 + v^5/5 + ...)
    v2 = vn * vn
    s = vn * 0.0
    for c in reversed(_odd_reciprocals()):
        s = s * v2 + _acc.constant(c)
    series = d * vn + 2.0 * x * vn * v2 * s
    # the plain form where x and mu are apart (or x is 0)
    safe_x = _zel.where(near, 1.0, x)
    safe_mu = _zel.where(near, 1.0, mu)
    plain = _xlogy(safe_x, safe_x / safe_mu) + safe_mu - safe_x
    return _zel.where(near, series, plain)


def _log_dbinom(k, n, p, q):
    """log(C(n, k) p^k q^(n - k)) for 0 < k < n (real), q = 1 - p given apart, by Loader."""
    lc = _stirlerr(n) - _stirlerr(k) - _stirlerr(n - k) - _bd0(k, n * p) - _bd0(n - k, n * q)
    lf = 2.0 * _acc.constant(_accurate_constants().LOG_SQRT_2PI) + _acc.log(k) + _zel.log1p(-k / n)
    return lc - 0.5 * lf


def _log_dpois(k, lam):
    """log(lam^k e^-lam / k!) for k >= 30 (real k), by Loader: -stirlerr(k) - bd0(k, lam) - log(2 pi k) / 2."""
    return -_stirlerr(k) - _bd0(k, lam) - 0.5 * _acc.log(k) - _acc.constant(_accurate_constants().LOG_SQRT_2PI)


class Gamma(Distribution):
    """The gamma distribution of shape `concentration` and `rate` (1 / scale)."""

    arg_constraints = {"concentration": constraints.positive, "rate": constraints.positive}
    support = constraints.nonnegative
    has_rsample = True

    def __init__(self, concentration, rate, validate_args=None):
        (self.concentration, self.rate), shape = _broadcast(_tensor(concentration, "concentration"),
                                                            _tensor(rate, "rate"))
        super().__init__(shape, validate_args=validate_args)

    def _parameters(self):
        return ("concentration", "rate")

    @property
    def mean(self):
        return self.concentration / self.rate

    @property
    def mode(self):
        return _zel.clamp((self.concentration - 1.0) / self.rate, 0.0, None)

    @property
    def variance(self):
        return self.concentration / (self.rate * self.rate)

    def rsample(self, sample_shape=()):
        """Marsaglia–Tsang draws; differentiable in rate and (implicitly) in concentration."""
        shape = self._extended_shape(sample_shape)
        alpha = self.concentration.expand(*shape) * 1.0 if shape else self.concentration
        rate = self.rate.expand(*shape) * 1.0 if shape else self.rate
        return _standard_gamma_rsample(alpha) / rate

    def log_prob(self, value):
        value = self._validate_sample(value)
        c, r = self.concentration, self.rate
        plain = _xlogy(c, r) + _xlogy(c - 1.0, value) - r * value - _lgamma(c)
        cf, rf, vf = _approx(c), _approx(r), _approx(value)
        big = (cf >= 1.0 + _STIRLING_FROM) & (rf > 0) & (rf < math.inf) & (vf > 0) & (vf < math.inf)
        if not bool(big.any()):
            return plain
        # r times the Poisson(r x) probability of c - 1: the large terms cancel analytically
        big = torch.as_tensor(big.expand(tuple(plain.shape)))
        k = _zel.where(big, c - 1.0, _STIRLING_FROM)
        rr = _zel.where(big, r, 1.0)
        lam = _zel.where(big, r * value, 1.0)
        return _zel.where(big, _acc.log(rr) + _log_dpois(k, lam), plain)

    def cdf(self, value):
        """The regularized lower incomplete gamma P(concentration, rate * value), as PyTorch 2."""
        value = self._validate_sample(value)
        c, x = _broadcast(self.concentration, self.rate * value)[0]
        a, xf = _approx(c), _approx(x)
        # Far right, Q(a, x) <= x^(a-1) e^-x / Gamma(a) * max(1, x / (x - a + 1)) < e^-80: P is 1 to
        # 2^-100, and the continued fraction there would only spend time.
        with torch.no_grad():
            far = (xf > a + 1) & torch.isfinite(xf) & (a > 0)
            safe = torch.where(far, xf, a + 2)
            bound = ((a - 1) * torch.log(safe) - safe - torch.lgamma(a)
                     + torch.log(torch.clamp(safe / (safe - a + 1), min=1.0)))
            far = far & (bound < -80)
        if bool(far.any()):
            x = _zel.where(far, c, x)
            return _zel.where(far, 1.0, _zel.special.gammainc(c, x))
        return _zel.special.gammainc(c, x)

    def entropy(self):
        c = self.concentration
        return c - _acc.log(self.rate) + _lgamma(c) + (1.0 - c) * _digamma(c)


class Chi2(Gamma):
    """The chi-squared distribution of `df` degrees of freedom: Gamma(df / 2, 1 / 2)."""

    arg_constraints = {"df": constraints.positive}

    def __init__(self, df, validate_args=None):
        self.df = _tensor(df, "df")
        super().__init__(self.df * 0.5, 0.5, validate_args=validate_args)

    def _parameters(self):
        return ("df", "concentration", "rate")


class Beta(Distribution):
    """The beta distribution of `concentration1` (alpha) and `concentration0` (beta) on [0, 1]."""

    arg_constraints = {"concentration1": constraints.positive, "concentration0": constraints.positive}
    support = constraints.unit_interval
    has_rsample = True

    def __init__(self, concentration1, concentration0, validate_args=None):
        (self.concentration1, self.concentration0), shape = _broadcast(
            _tensor(concentration1, "concentration1"), _tensor(concentration0, "concentration0"))
        super().__init__(shape, validate_args=validate_args)

    @property
    def mean(self):
        return self.concentration1 / (self.concentration1 + self.concentration0)

    @property
    def mode(self):
        a, b = self.concentration1, self.concentration0
        m1, m0 = _zel.clamp(a - 1.0, 0.0, None), _zel.clamp(b - 1.0, 0.0, None)
        both_small = torch.as_tensor((_approx(a) < 1) & (_approx(b) < 1))
        # PyTorch's Dirichlet mode: the first coordinate wins when both are below one
        return _zel.where(both_small, 1.0, m1 / (m1 + m0))

    @property
    def variance(self):
        a, b = self.concentration1, self.concentration0
        t = a + b
        return a * b / (t * t * (t + 1.0))

    def rsample(self, sample_shape=()):
        """X / (X + Y) of Gamma(concentration1) and Gamma(concentration0) draws."""
        shape = self._extended_shape(sample_shape)
        a = self.concentration1.expand(*shape) * 1.0 if shape else self.concentration1
        b = self.concentration0.expand(*shape) * 1.0 if shape else self.concentration0
        x, y = _standard_gamma_rsample(a), _standard_gamma_rsample(b)
        r = x / (x + y)
        eps = torch.finfo(torch.float64).eps
        f = _approx(r)
        r = _zel.where(torch.as_tensor(f < torch.finfo(torch.float64).tiny), torch.finfo(torch.float64).tiny, r)
        return _zel.where(torch.as_tensor(f > 1 - eps), 1.0 - eps, r)

    def log_prob(self, value):
        value = self._validate_sample(value)
        a, b = self.concentration1, self.concentration0
        plain = (_xlogy(a - 1.0, value) + _xlog1py(b - 1.0, -value)
                 + _lgamma(a + b) - _lgamma(a) - _lgamma(b))
        af, bf, vf = _approx(a), _approx(b), _approx(value)
        big = (af >= 1.0 + _STIRLING_FROM) & (bf >= 1.0 + _STIRLING_FROM) & (af < math.inf) & (bf < math.inf)
        big = big & (vf > 0) & (vf < 1)
        if not bool(big.any()):
            return plain
        # (a + b - 1) times the Binomial(a + b - 2, value) probability of a - 1, as R's dbeta
        big = torch.as_tensor(big.expand(tuple(plain.shape)))
        a = _zel.where(big, a, 2.0 * _STIRLING_FROM)
        b = _zel.where(big, b, 2.0 * _STIRLING_FROM)
        y = _zel.where(big, value, 0.5)
        loader = _acc.log(a + b - 1.0) + _log_dbinom(a - 1.0, a + b - 2.0, y, 1.0 - y)
        return _zel.where(big, loader, plain)

    def entropy(self):
        a, b = self.concentration1, self.concentration0
        t = a + b
        return (_lgamma(a) + _lgamma(b) - _lgamma(t) - (2.0 - t) * _digamma(t)
                - (a - 1.0) * _digamma(a) - (b - 1.0) * _digamma(b))


class StudentT(Distribution):
    """Student's t of `df` degrees of freedom, location `loc` and scale `scale`."""

    arg_constraints = {"df": constraints.positive, "loc": constraints.real, "scale": constraints.positive}
    support = constraints.real
    has_rsample = True

    def __init__(self, df, loc=0.0, scale=1.0, validate_args=None):
        (self.df, self.loc, self.scale), shape = _broadcast(_tensor(df, "df"), _tensor(loc, "loc"),
                                                            _tensor(scale, "scale"))
        super().__init__(shape, validate_args=validate_args)

    @property
    def mean(self):
        return _zel.where(torch.as_tensor(_approx(self.df) <= 1), math.nan, self.loc)

    @property
    def mode(self):
        return self.loc

    @property
    def variance(self):
        df = _approx(self.df)
        v = self.scale * self.scale * self.df / (self.df - 2.0)
        v = _zel.where(torch.as_tensor(df <= 2), math.inf, v)
        return _zel.where(torch.as_tensor(df <= 1), math.nan, v)

    def rsample(self, sample_shape=()):
        """loc + scale X / sqrt(Z / df): X standard normal, Z chi-squared of df."""
        shape = self._extended_shape(sample_shape)
        x = _zel.randn(*shape) if shape else _zel.randn(1).reshape(())
        df = self.df.expand(*shape) * 1.0 if shape else self.df
        z = _standard_gamma_rsample(df * 0.5) * 2.0
        return self.loc + self.scale * x * _zel.rsqrt(z / df)

    def log_prob(self, value):
        value = self._validate_sample(value)
        y = (value - self.loc) / self.scale
        df = self.df
        z = (_acc.log(self.scale) + 0.5 * _acc.constant(_accurate_constants().LOG_PI)
             + self._half_log_df_beta())
        return -0.5 * (df + 1.0) * _zel.log1p(y * y / df) - z

    def _half_log_df_beta(self):
        """log(df) / 2 + lgamma(df / 2) - lgamma((df + 1) / 2), which tends to log(2) / 2: past
        df = 64 through stirlerr, so the large lgamma terms cancel analytically."""
        df = self.df
        plain = 0.5 * _acc.log(df) + _lgamma(0.5 * df) - _lgamma(0.5 * (df + 1.0))
        f = _approx(df)
        big = (f >= 2.0 * (_STIRLING_FROM + 2.0)) & (f < math.inf)
        if not bool(big.any()):
            return plain
        big = torch.as_tensor(big)
        nu = _zel.where(big, df, 100.0)
        x = 0.5 * nu
        # lgamma(x + 1/2) - lgamma(x) = stirlerr(x - 1/2) - stirlerr(x - 1) + log(x - 1) / 2
        #                               + x log1p(1 / (2x - 2)) - 1/2
        loader = (0.5 * _acc.constant(_LOG_2) - 0.5 * _zel.log1p(-2.0 / nu) - _stirlerr(x - 0.5)
                  + _stirlerr(x - 1.0) - x * _zel.log1p(1.0 / (2.0 * x - 2.0)) + 0.5)
        return _zel.where(big, loader, plain)

    def entropy(self):
        df = self.df
        lbeta = _lgamma(0.5 * df) + 0.5 * _acc.constant(_accurate_constants().LOG_PI) - _lgamma(0.5 * (df + 1.0))
        return (_acc.log(self.scale) + 0.5 * (df + 1.0) * (_digamma(0.5 * (df + 1.0)) - _digamma(0.5 * df))
                + 0.5 * _acc.log(df) + lbeta)


def _poisson_draws(rate):
    """Exact Poisson draws: Hörmann's transformed rejection (PTRS) from rate 10, O(1) per draw,
    the product of uniforms below; the acceptance test in 2^-100 arithmetic."""
    shape = tuple(rate.shape)
    rate = rate.detach().reshape(-1)
    lam = _approx(rate)
    n = lam.numel()
    out = torch.zeros(n, dtype=torch.float64)
    out[~(lam >= 0)] = math.nan
    out[lam == math.inf] = math.inf
    # Small rates: count uniforms until their product falls below exp(-rate).
    small = torch.nonzero((lam > 0) & (lam < 10)).reshape(-1)
    if small.numel():
        limit = torch.exp(-lam[small])
        prod = torch.ones(small.numel(), dtype=torch.float64)
        count = torch.zeros(small.numel(), dtype=torch.float64)
        live = torch.ones(small.numel(), dtype=torch.bool)
        for _ in range(_MAX_ROUNDS):
            idx = torch.nonzero(live).reshape(-1)
            if idx.numel() == 0:
                break
            prod[idx] = prod[idx] * _approx(_draws(idx.numel()))
            more = prod[idx] > limit[idx]
            count[idx[more]] += 1
            live[idx[~more]] = False
        else:
            if bool(live.any()):
                raise RuntimeError("Poisson sampling did not finish in %d rounds" % _MAX_ROUNDS)
        out[small] = count
    big = torch.nonzero((lam >= 10) & (lam < math.inf)).reshape(-1)
    if big.numel():
        lb = lam[big]
        slam = torch.sqrt(lb)
        b = 0.931 + 2.53 * slam
        a = -0.059 + 0.02483 * b
        invalpha = 1.1239 + 1.1328 / (b - 3.4)
        vr = 0.9277 - 3.6224 / (b - 2)
        log_rate = _acc.log(rate[big])
        pending = torch.arange(big.numel())
        for _ in range(_MAX_ROUNDS):
            if pending.numel() == 0:
                break
            m = pending.numel()
            u = _approx(_draws(m)) - 0.5
            v = _approx(_draws(m))
            us = 0.5 - u.abs()
            k = torch.floor((2 * a[pending] / us + b[pending]) * u + lb[pending] + 0.43)
            accept = (us >= 0.07) & (v <= vr[pending])
            test = ~accept & (k >= 0) & ~((us < 0.013) & (v > us))
            ti = torch.nonzero(test).reshape(-1)
            if ti.numel():
                p = pending[ti]
                kz = _zel.tensor(k[ti])
                logf = _approx(kz * log_rate[p] - rate[big][p] - _zel.lgamma(kz + 1.0))
                lhs = torch.log(v[ti]) + torch.log(invalpha[p]) - torch.log(a[p] / (us[ti] * us[ti]) + b[p])
                accept[ti] = lhs <= logf
            out[big[pending[accept]]] = k[accept]
            pending = pending[~accept]
        else:
            if pending.numel():
                raise RuntimeError("Poisson sampling did not finish in %d rounds" % _MAX_ROUNDS)
    result = _zel.tensor(out)
    return result.reshape(*shape) if shape else result.reshape(())


class Poisson(Distribution):
    """The Poisson distribution of rate `rate`."""

    arg_constraints = {"rate": constraints.nonnegative}
    support = constraints.nonnegative_integer

    def __init__(self, rate, validate_args=None):
        self.rate = _tensor(rate, "rate")
        super().__init__(tuple(self.rate.shape), validate_args=validate_args)

    @property
    def mean(self):
        return self.rate

    @property
    def mode(self):
        return _zel.floor(self.rate)

    @property
    def variance(self):
        return self.rate

    def sample(self, sample_shape=()):
        """Exact draws (PTRS from rate 10), integers as floating values like PyTorch's."""
        shape = self._extended_shape(sample_shape)
        with _zel.no_grad():
            return _poisson_draws(self.rate.expand(*shape) * 1.0 if shape else self.rate)

    def log_prob(self, value):
        value = self._validate_sample(value)
        rate, value = _broadcast(self.rate, value)[0]
        plain = _xlogy(value, rate) - rate - _lgamma(value + 1.0)
        vf, rf = _approx(value), _approx(rate)
        big = (vf >= _STIRLING_FROM) & (vf < math.inf) & (rf > 0) & (rf < math.inf)
        if not bool(big.any()):
            return plain
        big = torch.as_tensor(big)
        # Loader's form: k log(lam) - lam - lgamma(k + 1) cancels to O(log k) near the mean
        k = _zel.where(big, value, _STIRLING_FROM)
        lam = _zel.where(big, rate, 1.0)
        return _zel.where(big, _log_dpois(k, lam), plain)


def _binomial_draws(count, prob):
    """Exact Binomial draws as PyTorch: BTRS (Hörmann) where the smaller of n p, n (1 - p) is at
    least 10, O(1) per draw, the inversion of geometric waiting times below; the BTRS
    acceptance test on the exact log-probability ratio in 2^-100 arithmetic."""
    shape = tuple(prob.shape)
    count, prob = count.detach().reshape(-1), prob.detach().reshape(-1)
    n, p = _approx(count), _approx(prob)
    size = n.numel()
    out = torch.zeros(size, dtype=torch.float64)
    bad = ~((n >= 0) & (p >= 0) & (p <= 1)) | (n == math.inf)
    out[bad] = math.nan
    ok = ~bad & (n > 0) & (p > 0)
    full = ok & (p >= 1)
    out[full] = n[full]
    ok = ok & (p < 1)
    flip = p > 0.5
    q = torch.where(flip, 1 - p, p)
    qz = _zel.where(torch.as_tensor(flip), 1.0 - prob, prob)
    draws = torch.zeros(size, dtype=torch.float64)
    small = torch.nonzero(ok & (n * q < 10)).reshape(-1)
    if small.numel():
        logq = torch.log1p(-q[small])
        total = torch.zeros(small.numel(), dtype=torch.float64)
        num = torch.zeros(small.numel(), dtype=torch.float64)
        live = torch.ones(small.numel(), dtype=torch.bool)
        for _ in range(_MAX_ROUNDS):
            idx = torch.nonzero(live).reshape(-1)
            if idx.numel() == 0:
                break
            u = _approx(_draws(idx.numel()))
            total[idx] += torch.ceil(torch.log(u) / logq[idx])
            over = total[idx] > n[small][idx]
            num[idx[~over]] += 1
            live[idx[over]] = False
        else:
            if bool(live.any()):
                raise RuntimeError("Binomial sampling did not finish in %d rounds" % _MAX_ROUNDS)
        draws[small] = num
    big = torch.nonzero(ok & (n * q >= 10)).reshape(-1)
    if big.numel():
        nb, pb = n[big], q[big]
        nz, pz = count[big], qz[big]
        spq = torch.sqrt(nb * pb * (1 - pb))
        b = 1.15 + 2.53 * spq
        a = -0.0873 + 0.0248 * b + 0.01 * pb
        c = nb * pb + 0.5
        vr = 0.92 - 4.2 / b
        alpha = (2.83 + 5.1 / b) * spq
        m = torch.floor((nb + 1) * pb)
        mz = _zel.tensor(m)
        log_r = _acc.log(pz) - _zel.log1p(-pz)
        log_fm = _zel.lgamma(mz + 1.0) + _zel.lgamma(nz - mz + 1.0)
        pending = torch.arange(big.numel())
        for _ in range(_MAX_ROUNDS):
            if pending.numel() == 0:
                break
            mm = pending.numel()
            u = _approx(_draws(mm)) - 0.5
            v = _approx(_draws(mm))
            us = 0.5 - u.abs()
            k = torch.floor((2 * a[pending] / us + b[pending]) * u + c[pending])
            inside = (k >= 0) & (k <= nb[pending])
            accept = inside & (us >= 0.07) & (v <= vr[pending])
            ti = torch.nonzero(inside & ~accept).reshape(-1)
            if ti.numel():
                pi = pending[ti]
                kz = _zel.tensor(k[ti])
                # log f(k) / f(m), exactly: the factorials and (k - m) log(p / (1 - p))
                ratio = _approx(log_fm[pi] - _zel.lgamma(kz + 1.0) - _zel.lgamma(nz[pi] - kz + 1.0)
                                + (kz - mz[pi]) * log_r[pi])
                lhs = torch.log(v[ti] * alpha[pi] / (a[pi] / (us[ti] * us[ti]) + b[pi]))
                accept[ti] = lhs <= ratio
            draws[big[pending[accept]]] = k[accept]
            pending = pending[~accept]
        else:
            if pending.numel():
                raise RuntimeError("Binomial sampling did not finish in %d rounds" % _MAX_ROUNDS)
    out = torch.where(ok, torch.where(flip, n - draws, draws), out)
    result = _zel.tensor(out)
    return result.reshape(*shape) if shape else result.reshape(())


class Binomial(_ProbsOrLogits):
    """The number of successes in `total_count` trials of probability `probs` (or sigmoid(`logits`))."""

    arg_constraints = {"total_count": constraints.nonnegative_integer, "probs": constraints.unit_interval,
                       "logits": constraints.real}
    has_enumerate_support = True
    support = constraints._Constraint("IntegerInterval(lower_bound=0, upper_bound=total_count)", None)

    def __init__(self, total_count=1, probs=None, logits=None, validate_args=None):
        self._probs_or_logits(probs, logits, False)
        given = self.probs if self._given == "probs" else self.logits
        (self.total_count, given), shape = _broadcast(_tensor(total_count, "total_count"), given)
        setattr(self, self._given, given)
        super().__init__(shape, validate_args=validate_args)
        if self._given == "probs":
            self.logits = _acc.log(self.probs) - _zel.log1p(-self.probs)
        else:
            self.probs = _acc.sigmoid(self.logits)

    def _parameters(self):
        return ("total_count", "probs", "logits")

    def _support_check(self, value):
        v = _approx(value)
        return (v >= 0) & (v <= _approx(self.total_count)) & (v % 1 == 0)

    @property
    def param_shape(self):
        return torch.Size(self._batch_shape)

    @property
    def mean(self):
        return self.total_count * self.probs

    @property
    def mode(self):
        return _zel.minimum(_zel.floor((self.total_count + 1.0) * self.probs), self.total_count)

    @property
    def variance(self):
        return self.total_count * self.probs * (1.0 - self.probs)

    def sample(self, sample_shape=()):
        """Exact draws (BTRS where both n p and n (1 - p) reach 10), as floating values."""
        shape = self._extended_shape(sample_shape)
        with _zel.no_grad():
            n = self.total_count.expand(*shape) * 1.0 if shape else self.total_count
            p = self.probs.expand(*shape) * 1.0 if shape else self.probs
            return _binomial_draws(n, p)

    def log_prob(self, value):
        value = self._validate_sample(value)
        n = self.total_count
        norm = _lgamma(n + 1.0) - _lgamma(value + 1.0) - _lgamma(n - value + 1.0)
        if self._given == "probs":
            # k log p + (n - k) log1p(-p): exact at p = 0 and p = 1
            plain = norm + _xlogy(value, self.probs) + _xlog1py(n - value, -self.probs)
            p, q = self.probs, 1.0 - self.probs
        else:
            plain = norm + value * self.logits - n * _acc.softplus(self.logits)
            p, q = _acc.sigmoid(self.logits), _acc.sigmoid(-self.logits)
        nf, vf, pf = _approx(n), _approx(value), _approx(p)
        big = (nf >= _STIRLING_FROM) & (nf < math.inf) & (vf > 0) & (vf < nf) & (pf > 0) & (pf < 1)
        if not bool(big.any()):
            return plain
        # Loader's form: the factorials' lgamma terms cancel to O(log n) near the mean
        shape = tuple(plain.shape)
        big = torch.as_tensor(big.expand(shape))
        nn = _zel.where(big, n, 2.0 * _STIRLING_FROM)
        k = _zel.where(big, value, _STIRLING_FROM)
        p, q = _zel.where(big, p, 0.5), _zel.where(big, q, 0.5)
        return _zel.where(big, _log_dbinom(k, nn, p, q), plain)

    def enumerate_support(self, expand=True):
        """0 .. total_count along a new first dimension (total_count the same everywhere)."""
        counts = _approx(self.total_count)
        total = int(counts.max()) if counts.numel() and bool(torch.isfinite(counts).all()) else None
        if total is None or not bool((counts == total).all()):
            raise NotImplementedError("Inhomogeneous total count not supported by `enumerate_support`.")
        if total > 1 << 20:
            raise ValueError("enumerate_support would hold total_count + 1 = %d values" % (total + 1))
        values = _zel.tensor(torch.arange(1 + total, dtype=torch.float64))
        values = values.reshape(*((-1,) + (1,) * len(self._batch_shape)))
        if expand:
            values = values.expand(*((1 + total,) + self._batch_shape)) * 1.0
        return values

    def entropy(self):
        values = self.enumerate_support(False)
        lp = self.log_prob(values)
        return -(_acc.exp(lp) * lp).sum(0)


# ------------------------------------------------------------------ MultivariateNormal

def _matrix(v, name):
    t = _tensor(v, name)
    if t.dim() < 2:
        raise ValueError("%s must be at least two-dimensional, with optional leading batch dimensions" % name)
    if t.shape[-1] != t.shape[-2]:
        raise ValueError("%s must be square, got shape %s" % (name, tuple(t.shape)))
    return t


def _half_log_det(tril):
    return _acc.log(tril.diagonal(dim1=-2, dim2=-1)).sum(-1)


def _mahalanobis(tril, diff):
    """|L^-1 diff|^2 with L broadcast against diff's batch."""
    n = diff.shape[-1]
    batch = tuple(torch.broadcast_shapes(tuple(tril.shape[:-2]), tuple(diff.shape[:-1])))
    lt = tril.expand(*(batch + (n, n))) * 1.0
    d = diff.expand(*(batch + (n,))) * 1.0
    if math.prod(batch + (n,)) == 0:
        return _zel.zeros(*batch) if batch else _zel.zeros(1).reshape(())
    w = _zel.linalg.solve_triangular(lt, d.unsqueeze(-1), upper=False).squeeze(-1)
    return (w * w).sum(-1)


class MultivariateNormal(Distribution):
    """The multivariate normal of mean `loc` and one of `covariance_matrix`, `precision_matrix` or
    `scale_tril` (lower Cholesky factor of the covariance)."""

    arg_constraints = {"loc": constraints.real_vector, "covariance_matrix": constraints.positive_definite,
                       "precision_matrix": constraints.positive_definite, "scale_tril": constraints.lower_cholesky}
    support = constraints.real_vector
    has_rsample = True

    def __init__(self, loc, covariance_matrix=None, precision_matrix=None, scale_tril=None, validate_args=None):
        loc = _tensor(loc, "loc")
        if loc.dim() < 1:
            raise ValueError("loc must be at least one-dimensional.")
        if (covariance_matrix is not None) + (scale_tril is not None) + (precision_matrix is not None) != 1:
            raise ValueError("Exactly one of covariance_matrix or precision_matrix or scale_tril may be specified.")
        name, given = [(k, v) for k, v in (("scale_tril", scale_tril), ("covariance_matrix", covariance_matrix),
                                           ("precision_matrix", precision_matrix)) if v is not None][0]
        given = _matrix(given, name)
        if given.shape[-1] != loc.shape[-1]:
            raise ValueError("loc of size %d does not match %s of size %d" % (loc.shape[-1], name, given.shape[-1]))
        batch = tuple(torch.broadcast_shapes(tuple(given.shape[:-2]), tuple(loc.shape[:-1])))
        n = loc.shape[-1]
        self.__dict__[name] = given.expand(*(batch + (n, n))) * 1.0
        self._given = name
        self.loc = loc.expand(*(batch + (n,))) * 1.0
        super().__init__(batch, (n,), validate_args=validate_args)
        if name == "scale_tril":
            self._unbroadcasted_scale_tril = given
        elif name == "covariance_matrix":
            self._unbroadcasted_scale_tril = _zel.linalg.cholesky(given)
        else:
            self._unbroadcasted_scale_tril = _precision_to_scale_tril(given)

    def _full(self, m):
        return m.expand(*(self._batch_shape + self._event_shape * 2)) * 1.0

    @property
    def scale_tril(self):
        if "scale_tril" in self.__dict__:
            return self.__dict__["scale_tril"]
        return self._full(self._unbroadcasted_scale_tril)

    @property
    def covariance_matrix(self):
        if "covariance_matrix" in self.__dict__:
            return self.__dict__["covariance_matrix"]
        lt = self._unbroadcasted_scale_tril
        return self._full(_zel.matmul(lt, lt.transpose(-2, -1)))

    @property
    def precision_matrix(self):
        if "precision_matrix" in self.__dict__:
            return self.__dict__["precision_matrix"]
        return self._full(_zel.cholesky_inverse(self._unbroadcasted_scale_tril))

    def expand(self, batch_shape, _instance=None):
        batch_shape = tuple(batch_shape)
        torch.broadcast_shapes(batch_shape, self._batch_shape)
        new = self.__class__.__new__(self.__class__)
        new.loc = self.loc.expand(*(batch_shape + self._event_shape)) * 1.0
        new._unbroadcasted_scale_tril = self._unbroadcasted_scale_tril
        new._given = self._given
        new.__dict__[self._given] = self.__dict__[self._given].expand(
            *(batch_shape + self._event_shape * 2)) * 1.0
        new._batch_shape, new._event_shape, new._validate_args = batch_shape, self._event_shape, self._validate_args
        return new

    def _parameters(self):
        return ("loc", self._given)

    def _support_check(self, value):
        return (_approx(value) == _approx(value)).all(-1)

    @property
    def mean(self):
        return self.loc

    @property
    def mode(self):
        return self.loc

    @property
    def variance(self):
        lt = self._unbroadcasted_scale_tril
        return (lt * lt).sum(-1).expand(*(self._batch_shape + self._event_shape)) * 1.0

    def rsample(self, sample_shape=()):
        """loc + L eps, eps standard normal: differentiable in loc and the matrix."""
        shape = self._extended_shape(sample_shape)
        eps = _zel.randn(*shape)
        return self.loc + _zel.matmul(self._unbroadcasted_scale_tril, eps.unsqueeze(-1)).squeeze(-1)

    def log_prob(self, value):
        value = self._validate_sample(value)
        if value.dim() < 1 or value.shape[-1] != self._event_shape[0]:
            raise ValueError("The right-most size of value must match event_shape: %s vs %s"
                             % (tuple(value.shape), self._event_shape))
        m = _mahalanobis(self._unbroadcasted_scale_tril, value - self.loc)
        log_2pi = 2.0 * _acc.constant(_accurate_constants().LOG_SQRT_2PI)
        return -0.5 * (self._event_shape[0] * log_2pi + m) - _half_log_det(self._unbroadcasted_scale_tril)

    def entropy(self):
        n = self._event_shape[0]
        h = (0.5 * n + n * _acc.constant(_accurate_constants().LOG_SQRT_2PI)
             + _half_log_det(self._unbroadcasted_scale_tril))
        return h.expand(*self._batch_shape) * 1.0 if self._batch_shape else h


def _precision_to_scale_tril(p):
    # PyTorch's route: the Cholesky factor of the flipped precision, inverted.
    lf = _zel.linalg.cholesky(_zel.flip(p, (-2, -1)))
    l_inv = _zel.flip(lf, (-2, -1)).transpose(-2, -1)
    eye = _zel.eye(p.shape[-1]).expand(*tuple(l_inv.shape)) * 1.0
    return _zel.linalg.solve_triangular(l_inv, eye, upper=False)


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
    matches = [(tp, tq) for tp, tq in _KL if isinstance(p, tp) and isinstance(q, tq)]
    if matches:
        # the most specific registration, as PyTorch (Chi2 is a Gamma)
        best = min(matches, key=lambda k: type(p).__mro__.index(k[0]) + type(q).__mro__.index(k[1]))
        return _KL[best](p, q)
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


# ------------------------------------------------------------------ KL of the gamma family and across families

_EULER = (0.5772156649015329, -4.942915152430645e-18, -2.322111740706957e-34, 1.7004947433810964e-50,
          -4.2878923485597993e-67, -1.9572754650324196e-83, 7.187424637070741e-100, 2.6999200385154475e-116)
_LOG_2 = (0.6931471805599453, 2.3190468138462996e-17, 5.707708438416212e-34, -3.5824322106018114e-50,
          -1.352169675798863e-66, 6.080638740240814e-83, 2.8955024332347147e-99, 2.351386712145641e-116)
_SQRT_2_OVER_PI = (0.7978845608028654, -4.98465440455546e-17, -6.849850895459242e-34, 6.160445876505756e-51,
                   -5.92780661605383e-67, -2.0247324457706623e-83, -1.4534743870110434e-100, -4.14820103094321e-117)


def _log_2pi():
    return 2.0 * _acc.constant(_accurate_constants().LOG_SQRT_2PI)


def _fill(result, mask, value):
    """result with `value` where the float64 mask holds, the mask broadcast to result's shape."""
    shape = tuple(torch.broadcast_shapes(tuple(result.shape), tuple(mask.shape)))
    result = result if tuple(result.shape) == shape else result.expand(*shape) * 1.0
    return _zel.where(torch.as_tensor(mask).expand(shape), value, result)


def _x_log_x(t):
    # t log t with its limit 0 at t = 0 (PyTorch's product gives NaN there)
    return _xlogy(t, t)


def _infinite_like(t):
    return _zel.full(tuple(t.shape), math.inf) if t.dim() else _zel.tensor(math.inf)


@register_kl(Gamma, Gamma)
def _kl_gamma_gamma(p, q):
    t1 = q.concentration * _acc.log(p.rate / q.rate)
    t2 = _lgamma(q.concentration) - _lgamma(p.concentration)
    t3 = (p.concentration - q.concentration) * _digamma(p.concentration)
    t4 = (q.rate - p.rate) * (p.concentration / p.rate)
    return t1 + t2 + t3 + t4


@register_kl(Beta, Beta)
def _kl_beta_beta(p, q):
    sp = p.concentration1 + p.concentration0
    sq = q.concentration1 + q.concentration0
    t1 = _lgamma(q.concentration1) + _lgamma(q.concentration0) + _lgamma(sp)
    t2 = _lgamma(p.concentration1) + _lgamma(p.concentration0) + _lgamma(sq)
    t3 = (p.concentration1 - q.concentration1) * _digamma(p.concentration1)
    t4 = (p.concentration0 - q.concentration0) * _digamma(p.concentration0)
    t5 = (sq - sp) * _digamma(sp)
    return t1 - t2 + t3 + t4 + t5


@register_kl(Binomial, Binomial)
def _kl_binomial_binomial(p, q):
    np_, nq = _approx(p.total_count), _approx(q.total_count)
    if bool((np_ < nq).any()):
        raise NotImplementedError("KL between Binomials where q.total_count > p.total_count is not implemented")
    pp, qp = p.probs, q.probs
    # n (p log(p / q) + (1 - p) log((1 - p) / (1 - q))), with 0 log 0 = 0
    kl = p.total_count * (_xlogy(pp, pp) - _xlogy(pp, qp) + _xlog1py(1.0 - pp, -pp) - _xlog1py(1.0 - pp, -qp))
    return _fill(kl, np_ > nq, math.inf)


@register_kl(Poisson, Poisson)
def _kl_poisson_poisson(p, q):
    return _xlogy(p.rate, p.rate) - _xlogy(p.rate, q.rate) - (p.rate - q.rate)


@register_kl(MultivariateNormal, MultivariateNormal)
def _kl_mvn_mvn(p, q):
    if p.event_shape != q.event_shape:
        raise ValueError("KL-divergence between two Multivariate Normals with different event shapes cannot be "
                         "computed")
    pl, ql = p._unbroadcasted_scale_tril, q._unbroadcasted_scale_tril
    half_term1 = _half_log_det(ql) - _half_log_det(pl)
    n = p.event_shape[0]
    batch = tuple(torch.broadcast_shapes(tuple(ql.shape[:-2]), tuple(pl.shape[:-2])))
    qe, pe = ql.expand(*(batch + (n, n))) * 1.0, pl.expand(*(batch + (n, n))) * 1.0
    if math.prod(batch) and n:
        w = _zel.linalg.solve_triangular(qe, pe, upper=False)
        term2 = (w * w).sum(-1).sum(-1)
    else:
        term2 = _zel.zeros(*batch) if batch else _zel.zeros(1).reshape(())
    term3 = _mahalanobis(ql, q.loc - p.loc)
    return half_term1 + 0.5 * (term2 + term3 - float(n))


@register_kl(Cauchy, Cauchy)
def _kl_cauchy_cauchy(p, q):
    s, d = p.scale + q.scale, p.loc - q.loc
    return _acc.log(s * s + d * d) - _acc.log(4.0 * p.scale * q.scale)


@register_kl(LogNormal, LogNormal)
def _kl_lognormal_lognormal(p, q):
    # PyTorch's transformed-transformed rule: the same exp transform, so the bases' KL
    return _kl_normal_normal(p.base_dist, q.base_dist)


@register_kl(Bernoulli, Poisson)
def _kl_bernoulli_poisson(p, q):
    return -p.entropy() - (p.probs * _acc.log(q.rate) - q.rate)


@register_kl(Beta, Exponential)
def _kl_beta_exponential(p, q):
    return -p.entropy() - _acc.log(q.rate) + q.rate * (p.concentration1 / (p.concentration1 + p.concentration0))


@register_kl(Beta, Gamma)
def _kl_beta_gamma(p, q):
    t1 = -p.entropy()
    t2 = _lgamma(q.concentration) - q.concentration * _acc.log(q.rate)
    t3 = (q.concentration - 1.0) * (_digamma(p.concentration1) - _digamma(p.concentration1 + p.concentration0))
    t4 = q.rate * p.concentration1 / (p.concentration1 + p.concentration0)
    return t1 + t2 - t3 + t4


@register_kl(Beta, Normal)
def _kl_beta_normal(p, q):
    e = p.concentration1 / (p.concentration1 + p.concentration0)
    var = q.scale * q.scale
    t1 = -p.entropy()
    t2 = 0.5 * (_acc.log(var) + _log_2pi())
    t3 = (e * (1.0 - e) / (p.concentration1 + p.concentration0 + 1.0) + e * e) * 0.5
    t4 = q.loc * e
    t5 = q.loc * q.loc * 0.5
    return t1 + t2 + (t3 - t4 + t5) / var


@register_kl(Beta, Uniform)
def _kl_beta_uniform(p, q):
    result = -p.entropy() + _acc.log(q.high - q.low)
    return _fill(result, (_approx(q.low) > 0) | (_approx(q.high) < 1), math.inf)


@register_kl(Exponential, Beta)
@register_kl(Exponential, Uniform)
def _kl_exponential_infinity(p, q):
    return _infinite_like(p.rate)


@register_kl(Exponential, Gamma)
def _kl_exponential_gamma(p, q):
    ratio = q.rate / p.rate
    euler = _acc.constant(_EULER)
    t1 = -q.concentration * _acc.log(ratio)
    return t1 + ratio + _lgamma(q.concentration) + q.concentration * euler - (1.0 + euler)


@register_kl(Exponential, Normal)
def _kl_exponential_normal(p, q):
    var = q.scale * q.scale
    rate2 = p.rate * p.rate
    t1 = 0.5 * (_acc.log(rate2 * var) + _log_2pi())
    t2 = 1.0 / rate2
    t3 = q.loc / p.rate
    t4 = q.loc * q.loc * 0.5
    return t1 - 1.0 + (t2 - t3 + t4) / var


@register_kl(Gamma, Beta)
@register_kl(Gamma, Uniform)
def _kl_gamma_infinity(p, q):
    return _infinite_like(p.concentration)


@register_kl(Gamma, Exponential)
def _kl_gamma_exponential(p, q):
    return -p.entropy() - _acc.log(q.rate) + q.rate * p.concentration / p.rate


@register_kl(Gamma, Normal)
def _kl_gamma_normal(p, q):
    var = q.scale * q.scale
    beta2 = p.rate * p.rate
    c = p.concentration
    t1 = 0.5 * (_acc.log(beta2 * var) + _log_2pi()) - c - _lgamma(c)
    t2 = 0.5 * (c * c + c) / beta2
    t3 = q.loc * c / p.rate
    t4 = 0.5 * q.loc * q.loc
    return t1 + (c - 1.0) * _digamma(c) + (t2 - t3 + t4) / var


@register_kl(Laplace, Beta)
@register_kl(Laplace, Exponential)
@register_kl(Laplace, Gamma)
@register_kl(Laplace, Uniform)
def _kl_laplace_infinity(p, q):
    return _infinite_like(p.loc)


@register_kl(Laplace, Normal)
def _kl_laplace_normal(p, q):
    var = q.scale * q.scale
    ratio = p.scale * p.scale / var
    # 0.5 log(2 ratio / pi)
    t1 = 0.5 * (_acc.log(ratio) + _acc.constant(_LOG_2) - _acc.constant(_accurate_constants().LOG_PI))
    t2 = 0.5 * p.loc * p.loc
    t3 = p.loc * q.loc
    t4 = 0.5 * q.loc * q.loc
    return -t1 + ratio + (t2 - t3 + t4) / var - 1.0


@register_kl(Normal, Beta)
@register_kl(Normal, Exponential)
@register_kl(Normal, Gamma)
@register_kl(Normal, Uniform)
def _kl_normal_infinity(p, q):
    return _infinite_like(p.loc)


@register_kl(Normal, Laplace)
def _kl_normal_laplace(p, q):
    diff = p.loc - q.loc
    ratio = p.scale / q.scale
    z = diff / p.scale
    t1 = _acc.log(ratio)
    t2 = _acc.constant(_SQRT_2_OVER_PI) * p.scale * _acc.exp(-0.5 * z * z)
    t3 = diff * _zel.erf(z / _acc.constant(_accurate_constants().SQRT_2))
    # 0.5 (1 + log(pi / 2))
    c = 0.5 * (1.0 + _acc.constant(_accurate_constants().LOG_PI) - _acc.constant(_LOG_2))
    return -t1 + (t2 + t3) / q.scale - c


@register_kl(Poisson, Bernoulli)
@register_kl(Poisson, Binomial)
def _kl_poisson_infinity(p, q):
    return _infinite_like(p.rate)


@register_kl(Uniform, Beta)
def _kl_uniform_beta(p, q):
    w = p.high - p.low
    t1 = _acc.log(w)
    t2 = (q.concentration1 - 1.0) * (_x_log_x(p.high) - _x_log_x(p.low) - w) / w
    t3 = (q.concentration0 - 1.0) * (_x_log_x(1.0 - p.high) - _x_log_x(1.0 - p.low) + w) / w
    t4 = _lgamma(q.concentration1) + _lgamma(q.concentration0) - _lgamma(q.concentration1 + q.concentration0)
    result = t3 + t4 - t1 - t2
    return _fill(result, (_approx(p.high) > 1) | (_approx(p.low) < 0), math.inf)


@register_kl(Uniform, Exponential)
def _kl_uniform_exponential(p, q):
    result = q.rate * (p.high + p.low) / 2.0 - _acc.log((p.high - p.low) * q.rate)
    return _fill(result, _approx(p.low) < 0, math.inf)


@register_kl(Uniform, Gamma)
def _kl_uniform_gamma(p, q):
    w = p.high - p.low
    t1 = _acc.log(w)
    t2 = _lgamma(q.concentration) - q.concentration * _acc.log(q.rate)
    t3 = (1.0 - q.concentration) * (_x_log_x(p.high) - _x_log_x(p.low) - w) / w
    t4 = q.rate * (p.high + p.low) / 2.0
    result = -t1 + t2 + t3 + t4
    return _fill(result, _approx(p.low) < 0, math.inf)


@register_kl(Uniform, Normal)
def _kl_uniform_normal(p, q):
    w = p.high - p.low
    t1 = 0.5 * _log_2pi() + _acc.log(q.scale / w)
    t2 = w * w / 12.0
    m = (p.high + p.low - 2.0 * q.loc) / 2.0
    return t1 + 0.5 * (t2 + m * m) / (q.scale * q.scale)


def _accurate_constants():
    from varnel.zel import _accurate
    return _accurate
