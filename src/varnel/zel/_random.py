"""PyTorch's sampling names over the library's own generator (`zel.rand`,
`zel.randn`, seeded by `zel.manual_seed`): the *_like factories, randint,
normal, bernoulli, multinomial and the in-place samplers of Tensor.

Draws are float64 uniforms or normals, so a sample is reproducible with the
library's seed (not PyTorch's); transforms of them (exponential, Cauchy,
log-normal) run in limb arithmetic. Integer results (randint's default,
multinomial) are PyTorch int64 tensors, as argmax's are. varnel.zel.zel
calls install() once; no name already there is replaced.
"""
import math

import numpy as np
import torch

from varnel.zel._arguments import Checks

_INT_DTYPES = (torch.int64, torch.int32, torch.int16, torch.int8, torch.uint8, torch.bool)


def _shape(x):
    return tuple(x.shape)


def install(zel):
    Tensor = zel.Tensor

    tensor_arg = Checks(zel).tensor_arg

    def number_arg(op, name, v):
        if isinstance(v, Tensor) and v.dim() == 0:
            return float(v.item())
        if isinstance(v, bool) or isinstance(v, complex) or not isinstance(v, (int, float)):
            raise TypeError("%s(): argument '%s' must be float, not %s" % (op, name, type(v).__name__))
        return float(v)

    def no_generator(op, generator):
        if generator is not None:
            raise TypeError("%s(): generator= is not supported; the library's generator is seeded by "
                            "zel.manual_seed" % op)

    def size_of(op, size):
        if len(size) == 1 and isinstance(size[0], (tuple, list, torch.Size)):
            size = tuple(size[0])
        for n in size:
            if isinstance(n, bool) or not isinstance(n, int):
                raise TypeError("%s(): argument 'size' must be tuple of ints, but found element of type %s"
                                % (op, type(n).__name__))
            if n < 0:
                raise RuntimeError("Trying to create tensor with negative dimension %d: %s" % (n, list(size)))
        return tuple(size)

    def uniform(shape):
        return zel.rand(*shape) if shape else zel.rand(1).reshape(())

    def standard_normal(shape):
        return zel.randn(*shape) if shape else zel.randn(1).reshape(())

    def finish(result, requires_grad, out=None):
        if out is not None:
            if not isinstance(out, Tensor):
                raise TypeError("argument 'out' must be Tensor, not %s" % type(out).__name__)
            return out.copy_(result.reshape(_shape(out)) if _shape(out) != _shape(result) else result)
        return result.requires_grad_() if requires_grad else result

    # ------------------------------------------------------------ factories

    def rand_like(input, *, dtype=None, layout=None, device=None, requires_grad=False, memory_format=None):
        """Uniform draws on [0, 1) in input's shape."""
        tensor_arg("rand_like", "input", input)
        return finish(uniform(_shape(input)), requires_grad)

    def randn_like(input, *, dtype=None, layout=None, device=None, requires_grad=False, memory_format=None):
        """Standard normal draws in input's shape."""
        tensor_arg("randn_like", "input", input)
        return finish(standard_normal(_shape(input)), requires_grad)

    def integers(op, low, high, shape):
        for name, v in (("low", low), ("high", high)):
            if isinstance(v, bool) or not isinstance(v, int):
                raise TypeError("%s(): argument '%s' must be int, not %s" % (op, name, type(v).__name__))
        if low >= high:
            raise RuntimeError("random_ expects 'from' to be less than 'to', but got from=%d >= to=%d" % (low, high))
        u = torch.from_numpy(uniform(shape).numpy()) if shape else torch.tensor(uniform(shape).item())
        return (low + torch.floor(u * float(high - low))).to(torch.int64).clamp_(low, high - 1)

    def low_high(op, args):
        if len(args) == 1:
            return 0, args[0]
        if len(args) == 2:
            return args[0], args[1]
        raise TypeError("%s() takes high or low, high; got %d numbers" % (op, len(args)))

    def randint_like(input, *args, dtype=None, layout=None, device=None, requires_grad=False,
                     memory_format=None):
        """Integers drawn uniformly from [low, high) in input's shape, as library elements."""
        tensor_arg("randint_like", "input", input)
        low, high = low_high("randint_like", args)
        values = integers("randint_like", low, high, _shape(input))
        return finish(zel.tensor(values.to(torch.float64)), requires_grad)

    def randint(*args, size=None, generator=None, dtype=None, layout=None, device=None, requires_grad=False,
                out=None):
        """Integers drawn uniformly from [low, high): int64 PyTorch tensors, library elements for a float dtype."""
        no_generator("randint", generator)
        if size is None:
            if not args or not isinstance(args[-1], (tuple, list, torch.Size)):
                raise TypeError("randint() missing required argument 'size'")
            size, args = args[-1], args[:-1]
        low, high = low_high("randint", args)
        values = integers("randint", low, high, size_of("randint", (size,)))
        if dtype is None or dtype in _INT_DTYPES:
            return values if dtype is None else values.to(dtype)
        return finish(zel.tensor(values.to(torch.float64)), requires_grad, out)

    # ------------------------------------------------------------ distributions

    def normal(mean, std=1.0, size=None, *, generator=None, out=None, dtype=None, layout=None, device=None,
               pin_memory=False, requires_grad=False):
        """Normal draws with the given mean and standard deviation (Tensors broadcast; numbers need size)."""
        no_generator("normal", generator)
        for name, v in (("mean", mean), ("std", std)):
            if not isinstance(v, Tensor) and (isinstance(v, bool) or not isinstance(v, (int, float))):
                raise TypeError("normal(): argument '%s' must be Tensor or float, not %s" % (name, type(v).__name__))
        if isinstance(std, Tensor):
            if bool((std < 0).any()):
                raise RuntimeError("normal expects all elements of std >= 0.0")
        elif std < 0:
            raise RuntimeError("normal expects std >= 0.0, but found std %s" % std)
        if isinstance(mean, Tensor) or isinstance(std, Tensor):
            if size is not None:
                raise TypeError("normal(): size= is only taken with a number mean and std")
            shape = torch.broadcast_shapes(*[_shape(v) for v in (mean, std) if isinstance(v, Tensor)])
        else:
            if size is None:
                raise TypeError("normal(): with a number mean and std, size is required")
            shape = size_of("normal", (size,))
        return finish(mean + std * standard_normal(shape), requires_grad, out)

    def bernoulli(input, p=None, *, generator=None, out=None):
        """1 with probability p (input's elements when p is None), else 0, in input's shape."""
        tensor_arg("bernoulli", "input", input)
        no_generator("bernoulli", generator)
        u = uniform(_shape(input))
        if p is None:
            if bool(((input < 0) | (input > 1)).any()):
                raise RuntimeError("Expected p_in >= 0 && p_in <= 1 to be true, but got false.")
            prob = input.detach()
        else:
            prob = number_arg("bernoulli", "p", p)
            if not 0 <= prob <= 1:
                raise RuntimeError("bernoulli_ expects p to be in [0, 1], but got p=%s" % prob)
        hit = u < prob
        return finish(zel.where(hit, 1.0, zel.zeros(_shape(input))), False, out)

    def multinomial(input, num_samples, replacement=False, *, generator=None, out=None):
        """Category indices drawn with probabilities proportional to input's rows (int64)."""
        tensor_arg("multinomial", "input", input)
        no_generator("multinomial", generator)
        if isinstance(num_samples, bool) or not isinstance(num_samples, int):
            raise TypeError("multinomial(): argument 'num_samples' must be int, not %s" % type(num_samples).__name__)
        if input.dim() not in (1, 2):
            raise RuntimeError("prob_dist must be 1 or 2 dim")
        if num_samples <= 0:
            raise RuntimeError("cannot sample n_sample <= 0 samples")
        w = torch.from_numpy(input.detach().numpy()).reshape(-1, _shape(input)[-1]).to(torch.float64)
        n = w.shape[1]
        if not replacement and num_samples > n:
            raise RuntimeError("cannot sample n_sample > prob_dist.size(-1) samples without replacement")
        if not bool(torch.isfinite(w).all()) or bool((w < 0).any()):
            raise RuntimeError("probability tensor contains either `inf`, `nan` or element < 0")
        if w.shape[0] and bool((w.sum(1) <= 0).any()):
            raise RuntimeError("invalid multinomial distribution (sum of probabilities <= 0)")
        if num_samples > (1 << 24):
            raise RuntimeError("multinomial(): number of samples must be at most 2^24, got %d" % num_samples)
        if not replacement and bool(((w > 0).sum(1) < num_samples).any()):
            raise RuntimeError("invalid multinomial distribution (with replacement=False, not enough non-negative "
                               "category to sample)")
        u = torch.from_numpy(np.asarray(uniform((w.shape[0], num_samples if replacement else n)).numpy(),
                                        dtype=np.float64)).reshape(w.shape[0], -1)
        if replacement:
            cdf = torch.cumsum(w, 1)
            picks = torch.searchsorted(cdf, u * cdf[:, -1:], right=True).clamp_(max=n - 1)
            # A draw on the cdf's last step lands past trailing zero weights: back to the last category with weight.
            last = n - 1 - torch.argmax((torch.flip(w, [1]) > 0).to(torch.int64), 1, keepdim=True)
            picks = torch.minimum(picks, last)
        else:
            # The exponential race: the k smallest Exp(1) / w, as PyTorch draws without replacement.
            race = torch.where(w > 0, -torch.log1p(-u) / w, torch.full_like(w, math.inf))
            picks = torch.topk(race, num_samples, 1, largest=False).indices
        rows = picks
        result = rows.to(torch.int64).reshape(_shape(input)[:-1] + (num_samples,))
        if out is not None:
            if not isinstance(out, torch.Tensor) or out.dtype != torch.int64:
                raise RuntimeError("multinomial expects Long tensor out, got: %s" % type(out).__name__)
            return out.resize_(result.shape).copy_(result)
        return result

    # ------------------------------------------------------------ in-place samplers

    def sampler(name, draw, doc):
        def fn(self, *args, generator=None, **kwargs):
            tensor_arg(name, "self", self)
            no_generator(name, generator)
            values = draw(_shape(self), *args, **kwargs)
            with zel.no_grad():
                self.copy_(values)
            return self
        fn.__name__ = name
        fn.__doc__ = doc
        return fn

    def draw_uniform(shape, a=0.0, b=1.0, **kw):
        a, b = number_arg("uniform_", "from", kw.pop("from", a)), number_arg("uniform_", "to", kw.pop("to", b))
        if kw:
            raise TypeError("uniform_() got an unexpected keyword argument '%s'" % next(iter(kw)))
        if a > b:
            raise RuntimeError("uniform_ expects to return a [from, to) range, but found from=%s > to=%s" % (a, b))
        return a + (b - a) * uniform(shape)

    def draw_normal(shape, mean=0.0, std=1.0):
        mean, std = number_arg("normal_", "mean", mean), number_arg("normal_", "std", std)
        if std < 0:
            raise RuntimeError("normal expects std >= 0.0, but found std %s" % std)
        return mean + std * standard_normal(shape)

    def draw_exponential(shape, lambd=1.0):
        lambd = number_arg("exponential_", "lambd", lambd)
        if not lambd > 0:
            raise RuntimeError("exponential_ expects lambda > 0.0, but found lambda=%s" % lambd)
        return -zel.log1p(-uniform(shape)) / lambd

    def draw_cauchy(shape, median=0.0, sigma=1.0):
        median, sigma = number_arg("cauchy_", "median", median), number_arg("cauchy_", "sigma", sigma)
        if not sigma > 0:
            raise RuntimeError("cauchy_ expects sigma > 0.0, but found sigma=%s" % sigma)
        return median + sigma * zel.tan(math.pi * (uniform(shape) - 0.5))

    def draw_log_normal(shape, mean=1.0, std=2.0):
        mean, std = number_arg("log_normal_", "mean", mean), number_arg("log_normal_", "std", std)
        if not std > 0:
            raise RuntimeError("log_normal_ expects std > 0.0, but found std=%s" % std)
        return zel.exp(mean + std * standard_normal(shape))

    def draw_geometric(shape, p):
        p = number_arg("geometric_", "p", p)
        if not 0 < p < 1:
            raise RuntimeError("geometric_ expects p to be in (0, 1), but got p=%s" % p)
        return zel.ceil(zel.log1p(-uniform(shape)) / math.log1p(-p))

    def draw_bernoulli(shape, p=0.5):
        if isinstance(p, Tensor):
            return bernoulli(zel.zeros(shape) + p)
        return bernoulli(zel.zeros(shape), number_arg("bernoulli_", "p", p))

    def draw_random(shape, *args, **kw):
        if not args and not kw:
            return zel.tensor(integers("random_", 0, 1 << 53, shape).to(torch.float64))
        a = kw.pop("from", None)
        b = kw.pop("to", None)
        if args:
            low, high = (0, args[0]) if len(args) == 1 and a is None else ((a, args[0]) if a is not None else args)
        else:
            low, high = (a or 0), b
        if high is None:
            high = 1 << 53
        return zel.tensor(integers("random_", low, high, shape).to(torch.float64))

    samplers = {
        "uniform_": (draw_uniform, "Fills self with uniform draws on [from, to)."),
        "normal_": (draw_normal, "Fills self with normal draws of the given mean and std."),
        "exponential_": (draw_exponential, "Fills self with exponential draws of rate lambd."),
        "cauchy_": (draw_cauchy, "Fills self with Cauchy draws of the given median and sigma."),
        "log_normal_": (draw_log_normal, "Fills self with draws whose logarithm is normal(mean, std)."),
        "geometric_": (draw_geometric, "Fills self with the number of Bernoulli(p) trials to the first success."),
        "bernoulli_": (draw_bernoulli, "Fills self with 1 with probability p, else 0."),
        "random_": (draw_random, "Fills self with integers drawn uniformly from [from, to)."),
    }
    for name, (draw, doc) in samplers.items():
        fn = sampler(name, draw, doc)
        fn.__module__ = zel.__name__
        if not hasattr(Tensor, name):
            setattr(Tensor, name, fn)

    functions = {"rand_like": rand_like, "randn_like": randn_like, "randint_like": randint_like, "randint": randint,
                 "normal": normal, "bernoulli": bernoulli, "multinomial": multinomial}
    methods = {"bernoulli", "multinomial"}
    for name, fn in functions.items():
        fn.__module__ = zel.__name__
        if not hasattr(zel, name):
            setattr(zel, name, fn)
        if name in methods and not hasattr(Tensor, name):
            setattr(Tensor, name, fn)
