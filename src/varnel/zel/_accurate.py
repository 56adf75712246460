"""exp, log, sin, cos, tan, tanh and sigmoid accurate to 2^-100 whatever the
function precision, with gradients: what the library's own compositions
(distributions, special functions) build on when they promise 2^-100.

Each runs the "full" kernel of its function (zel._full_function) inside an
autograd.Function whose backward uses these functions again, so second
derivatives are as accurate.
"""
import torch

# Constants as 8 limbs, each the float64 nearest the rest.
PI = (3.141592653589793, 1.2246467991473532e-16, -2.9947698097183397e-33, 1.1124542208633653e-49,
      5.672231979640316e-66, 1.7449862161352486e-83, 6.02937273224954e-100, 1.91012354687999e-116)
LOG_SQRT_2PI = (0.9189385332046728, -3.8782941580672414e-17, -1.323971596849807e-33, 5.150860436871684e-50,
                7.136837752340829e-67, -5.070369315615012e-83, -1.5181518201183535e-100, -7.895181204234322e-117)
LOG_PI = (1.1447298858494002, 1.0265951162707826e-17, -1.3722612652165766e-34, 1.054882475902641e-50,
          4.056452898270789e-67, -3.0436299424326836e-83, 4.584268548448946e-100, -3.930422952992506e-116)
SQRT_2 = (1.4142135623730951, -9.667293313452913e-17, 4.1386753086994136e-33, 4.935546991468351e-50,
          4.089404286119896e-67, 3.1055431288249333e-84, -2.0011002671060812e-100, 3.0645041147508584e-117)


class Accurate:
    """The accurate functions of one loaded zel module (built by install)."""

    def __init__(self, zel):
        self.zel = zel
        Function = zel.autograd.Function
        full = zel._full_function
        acc = self

        class Exp(Function):
            @staticmethod
            def forward(ctx, x):
                r = full("exp", x)
                ctx.save_for_backward(r)
                return r

            @staticmethod
            def backward(ctx, g):
                r, = ctx.saved_tensors
                return g * r

        class Log(Function):
            @staticmethod
            def forward(ctx, x):
                ctx.save_for_backward(x)
                return full("log", x)

            @staticmethod
            def backward(ctx, g):
                x, = ctx.saved_tensors
                return g / x

        class Sin(Function):
            @staticmethod
            def forward(ctx, x):
                ctx.save_for_backward(x)
                return full("sin", x)

            @staticmethod
            def backward(ctx, g):
                x, = ctx.saved_tensors
                return g * acc.cos(x)

        class Cos(Function):
            @staticmethod
            def forward(ctx, x):
                ctx.save_for_backward(x)
                return full("cos", x)

            @staticmethod
            def backward(ctx, g):
                x, = ctx.saved_tensors
                return -g * acc.sin(x)

        class Tan(Function):
            @staticmethod
            def forward(ctx, x):
                r = full("tan", x)
                ctx.save_for_backward(r)
                return r

            @staticmethod
            def backward(ctx, g):
                r, = ctx.saved_tensors
                return g * (1.0 + r * r)

        class Tanh(Function):
            @staticmethod
            def forward(ctx, x):
                r = full("tanh", x)
                ctx.save_for_backward(r)
                return r

            @staticmethod
            def backward(ctx, g):
                r, = ctx.saved_tensors
                return g * (1.0 - r * r)

        class Sigmoid(Function):
            @staticmethod
            def forward(ctx, x):
                r = full("sigmoid", x)
                ctx.save_for_backward(r)
                return r

            @staticmethod
            def backward(ctx, g):
                r, = ctx.saved_tensors
                return g * r * (1.0 - r)

        self._functions = {"exp": Exp, "log": Log, "sin": Sin, "cos": Cos, "tan": Tan, "tanh": Tanh,
                           "sigmoid": Sigmoid}

    def _apply(self, name, x):
        if not isinstance(x, self.zel.Tensor):
            x = self.zel.tensor(x)
        return self._functions[name].apply(x)

    def exp(self, x):
        return self._apply("exp", x)

    def log(self, x):
        return self._apply("log", x)

    def sin(self, x):
        return self._apply("sin", x)

    def cos(self, x):
        return self._apply("cos", x)

    def tan(self, x):
        return self._apply("tan", x)

    def tanh(self, x):
        return self._apply("tanh", x)

    def sigmoid(self, x):
        return self._apply("sigmoid", x)

    def constant(self, limbs):
        return self.zel.from_limbs(torch.tensor(limbs, dtype=torch.float64))

    def softplus(self, x):
        """log(1 + e^x) without overflow or cancellation: max(x, 0) + log1p(e^-|x|)."""
        zel = self.zel
        return zel.clamp_min(x, 0.0) + zel.log1p(self.exp(-x.abs()))
