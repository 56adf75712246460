"""zel.signal.windows: PyTorch's window functions (bartlett, blackman, cosine,
exponential, gaussian, general_cosine, general_hamming, hamming, hann,
kaiser, nuttall).

Each point k_i = start + i * step is formed in limb arithmetic (not as a
float64 linspace); the window is then the library's cos, sin, exp or a
Bessel I0 series of it. varnel.zel.zel calls install() once.
"""
import types

import torch


# pi to 8 limbs (each the float64 nearest the rest); zel.pi is the float64 one.
_PI_LIMBS = (3.141592653589793, 1.2246467991473532e-16, -2.9947698097183397e-33, 1.1124542208633653e-49,
             5.672231979640316e-66, 1.7449862161352486e-83, 6.02937273224954e-100, 1.91012354687999e-116)


def install(zel):
    Tensor = zel.Tensor
    pi = zel.from_limbs(torch.tensor(_PI_LIMBS, dtype=torch.float64))

    def check(name, M, dtype, layout):
        if isinstance(M, bool) or not isinstance(M, int):
            raise TypeError("%s(): argument 'M' must be int, not %s" % (name, type(M).__name__))
        if M < 0:
            raise ValueError("%s requires non-negative window length, got M=%d" % (name, M))
        if layout not in (None, torch.strided):
            raise ValueError("%s is implemented for strided tensors only, got: %s" % (name, layout))
        if dtype is not None and dtype not in (torch.float64, torch.float32, torch.float16, torch.bfloat16):
            raise ValueError("%s expects float32 or float64 dtypes, got: %s" % (name, dtype))

    def points(M, start, step):
        """start + i * step for i < M, each in limb arithmetic."""
        i = zel.arange(float(M))
        return i * step + start if isinstance(step, Tensor) else i * float(step) + start

    def finish(w, requires_grad):
        return w.requires_grad_() if requires_grad else w

    def window(name, body):
        def fn(M, *, sym=True, dtype=None, layout=torch.strided, device=None, requires_grad=False, **params):
            check(name, M, dtype, layout)
            if M == 0:
                return finish(zel.zeros(0), requires_grad)
            if M == 1:
                return finish(zel.ones(1), requires_grad)
            return finish(body(M, bool(sym), **params), requires_grad)
        fn.__name__ = name
        fn.__module__ = zel.__name__ + ".signal.windows"
        return fn

    def general_cosine_body(M, sym, *, a):
        if not isinstance(a, (list, tuple)) or not a:
            raise TypeError("Coefficients must be a list/tuple")
        step = 2.0 * pi / float(M - 1 if sym else M)
        k = points(M, 0.0, step)
        w = zel.zeros(M)
        for i, c in enumerate(a):
            if isinstance(c, bool) or not isinstance(c, (int, float)):
                raise TypeError("general_cosine(): coefficients must be numbers, not %s" % type(c).__name__)
            w = w + ((-1.0) ** i * c) * zel.cos(k * float(i))
        return w

    def cosine_sum(*a):
        return lambda M, sym: general_cosine_body(M, sym, a=list(a))

    def general_hamming_body(M, sym, *, alpha=0.54):
        return general_cosine_body(M, sym, a=[alpha, 1.0 - alpha])

    def bartlett_body(M, sym):
        k = points(M, -1.0, zel.tensor(2.0) / float(M - 1 if sym else M))
        return 1.0 - zel.abs(k)

    def cosine_body(M, sym):
        step = pi / float(M if sym else M + 1)
        return zel.sin(points(M, 0.5 * step, step))

    def exponential_body(M, sym, *, center=None, tau=1.0):
        if tau <= 0:
            raise ValueError("Tau must be positive, got: %s instead." % tau)
        if sym and center is not None:
            raise ValueError("Center must be None for symmetric windows")
        if center is None:
            center = (M - 1 if sym else M) / 2.0
        k = points(M, -center / zel.tensor(float(tau)), zel.tensor(1.0) / float(tau))
        return zel.exp(-zel.abs(k))

    def gaussian_body(M, sym, *, std=1.0):
        if std <= 0:
            raise ValueError("Standard deviation must be positive, got: %s instead." % std)
        scale = zel.tensor(1.0) / (float(std) * zel.sqrt(zel.tensor(2.0)))
        k = points(M, -(M - 1 if sym else M) / 2.0 * scale, scale)
        return zel.exp(-(k * k))

    def bessel_i0(x):
        """I0(x) = sum_k ((x/2)^2)^k / (k!)^2: positive terms, no cancellation."""
        q = x * x / 4.0
        term = zel.ones(tuple(x.shape))
        total = term
        # The terms grow until k ~ x/2, then fall faster than geometrically.
        largest = float(x.abs().max()) if x.numel else 0.0
        for k in range(1, int(largest) + 200):
            term = term * q / float(k * k)
            total = total + term
            if k > 4 and bool(((term / total) < 2.0 ** -130).all()):
                break
        return total

    def kaiser_body(M, sym, *, beta=12.0):
        if beta < 0:
            raise ValueError("beta must be non-negative, got: %s instead." % beta)
        if not beta <= 1e4:
            raise ValueError("kaiser: beta = %s is too large for the window's Bessel series (at most 1e4)" % beta)
        b = zel.tensor(float(beta))
        k = points(M, -b, 2.0 * b / float(M - 1 if sym else M))
        # The last point may pass beta by a rounding; beta^2 - k^2 must stay >= 0.
        k = zel.minimum(k, b)
        return bessel_i0(zel.sqrt(b * b - k * k)) / bessel_i0(b.reshape(1))

    bodies = {
        "bartlett": (bartlett_body, "The Bartlett (triangular) window."),
        "blackman": (cosine_sum(0.42, 0.5, 0.08), "The Blackman window."),
        "cosine": (cosine_body, "The cosine (sine) window."),
        "exponential": (exponential_body, "The exponential window exp(-|n - center| / tau)."),
        "gaussian": (gaussian_body, "The Gaussian window exp(-(n - center)^2 / (2 std^2))."),
        "general_cosine": (general_cosine_body, "The sum of cosines sum_i (-1)^i a_i cos(2 pi i n / (M - 1))."),
        "general_hamming": (general_hamming_body, "The window alpha - (1 - alpha) cos(2 pi n / (M - 1))."),
        "hamming": (cosine_sum(0.54, 0.46), "The Hamming window."),
        "hann": (cosine_sum(0.5, 0.5), "The Hann window."),
        "kaiser": (kaiser_body, "The Kaiser window I0(beta sqrt(1 - (2n/(M-1) - 1)^2)) / I0(beta)."),
        "nuttall": (cosine_sum(0.3635819, 0.4891775, 0.1365995, 0.0106411), "The Nuttall window."),
    }
    windows = types.ModuleType(zel.__name__ + ".signal.windows", "PyTorch's window functions.")
    for name, (body, doc) in bodies.items():
        fn = window(name, body)
        fn.__doc__ = doc
        setattr(windows, name, fn)
    windows.__all__ = sorted(bodies)
    if not hasattr(zel, "signal"):
        signal = types.ModuleType(zel.__name__ + ".signal", "Signal processing: window functions.")
        signal.windows = windows
        signal.__all__ = ["windows"]
        zel.signal = signal
