"""The reference of every declared element-wise operation (csrc/ops/pointwise.def):
how a test computes what the operation must return, on which operands, and
how close it must be. test_ops_db.py turns each entry into tests and fails
for a declared operation without one.

  exact   the slow Python reference of reference_elementwise.py, a function
          of limb rows: the library must give its bytes.
  mpmath  a function of mpmath numbers at 300 bits: the library's limb sum
          must be within 2^-bits relative (0 where the answer is 0), or
          equal it where bits is None (the exact operations).
Domains are intervals of the leading limb; each operand gets genuine lower
limbs.
"""
from typing import Callable, List, NamedTuple, Optional, Tuple

import mpmath as mp

import reference_elementwise as R

Interval = Tuple[float, float]


class Entry(NamedTuple):
    kind: str  # "exact" or "mpmath"
    reference: Callable
    domains: List[Tuple[Interval, ...]]  # one interval per operand, for each domain
    bits: Optional[int] = None


def exact(ref, *domains):
    return Entry("exact", ref, [d if isinstance(d[0], tuple) else (d,) for d in domains])


def accurate(ref, *domains, bits=100):
    return Entry("mpmath", ref, [d if isinstance(d[0], tuple) else (d,) for d in domains], bits)


def exactly(f):
    """f() at a precision where the remainders are exact (quotients below 2^400)."""
    with mp.workprec(1200):
        return +f()


def _trunc(x):
    return exactly(lambda: mp.mpf(int(x)))


SIGNED = (-40.0, 40.0)

OPS = {
    # The defined series and iterations, bit for bit.
    "exp": exact(R.exp, (-30.0, 30.0), (-740.0, 705.0)),
    "log": exact(R.log, (0.01, 40.0), (1e-300, 1e300)),
    "sqrt": exact(R.sqrt, (0.01, 40.0), (1e-300, 1e300)),
    "sin": exact(R.sin, SIGNED),
    "cos": exact(R.cos, SIGNED),
    "tan": exact(R.tan, SIGNED),
    "tanh": exact(R.tanh, (-30.0, 30.0)),
    "sigmoid": exact(R.sigmoid, (-30.0, 30.0)),
    "silu": exact(R.silu, (-30.0, 30.0)),
    "gelu": exact(R.gelu, (-30.0, 30.0)),
    "reciprocal": exact(R.reciprocal, SIGNED, (1e-290, 1e290)),
    "relu": exact(R.relu, SIGNED),
    "abs": exact(R.abs, SIGNED),
    "floor": exact(R.floor, SIGNED),
    "ceil": exact(R.ceil, SIGNED),
    "neg": exact(R.neg, SIGNED),
    "negative": exact(R.neg, SIGNED),
    "positive": exact(lambda a: list(a), SIGNED),
    "square": exact(lambda a: R.mul(a, a), SIGNED),
    # The accurate functions, against mpmath.
    "asin": accurate(mp.asin, (-1, 1), (1 - 1e-12, 1)),
    "arcsin": accurate(mp.asin, (-1, 1)),
    "acos": accurate(mp.acos, (-1, 1), (-1, -1 + 1e-12)),
    "arccos": accurate(mp.acos, (-1, 1)),
    "atan": accurate(mp.atan, (-5, 5), (1e6, 1e9)),
    "arctan": accurate(mp.atan, (-5, 5)),
    "sinh": accurate(mp.sinh, (-3, 3), (700, 710), (-1e-8, 1e-8)),
    "cosh": accurate(mp.cosh, (-3, 3), (-710, -700)),
    "asinh": accurate(mp.asinh, (-10, 10), (1e100, 1e200), (-1e-9, 1e-9)),
    "arcsinh": accurate(mp.asinh, (-10, 10)),
    "acosh": accurate(mp.acosh, (1, 10), (1, 1 + 1e-12), (1e100, 1e200)),
    "arccosh": accurate(mp.acosh, (1, 10)),
    "atanh": accurate(mp.atanh, (-1, 1), (1 - 1e-12, 1), (-1e-9, 1e-9)),
    "arctanh": accurate(mp.atanh, (-1, 1)),
    "expm1": accurate(mp.expm1, (-2, 2), (-1e-10, 1e-10), (100, 709)),
    "log1p": accurate(mp.log1p, (-0.99, 2), (-1e-10, 1e-10), (1e10, 1e300)),
    "log2": accurate(lambda x: mp.log(x, 2), (1e-300, 1e-200), (0.5, 2), (1 - 1e-12, 1 + 1e-12)),
    "log10": accurate(mp.log10, (1e200, 1e300), (0.9, 1.1)),
    "exp2": accurate(lambda x: mp.mpf(2) ** x, (-1000, 1000), (-0.5, 0.5)),
    "erf": accurate(mp.erf, (-3, 3), (3, 7), (-1e-9, 1e-9)),
    "erfc": accurate(mp.erfc, (-3, 3), (3, 10), (20, 26)),
    "rsqrt": accurate(lambda x: 1 / mp.sqrt(x), (1e-300, 1e-290), (0.1, 10)),
    "sinc": accurate(lambda x: mp.sinpi(x) / (mp.pi * x), (-4, 4), (1e10, 1e12)),
    "deg2rad": accurate(lambda x: x * mp.pi / 180, (-1e5, 1e5)),
    "rad2deg": accurate(lambda x: x * 180 / mp.pi, (-1e5, 1e5)),
    "trunc": accurate(_trunc, (-1e6, 1e6), (1e15, 1e17), bits=None),
    "fix": accurate(_trunc, (-1e6, 1e6), bits=None),
    "frac": accurate(lambda x: exactly(lambda: x - int(x)), (-1e6, 1e6), bits=None),
    "angle": accurate(lambda x: mp.pi if x < 0 else mp.mpf(0), SIGNED, (-1e-300, 1e-300)),
    "sign": accurate(mp.sign, SIGNED, bits=None),
    "sgn": accurate(mp.sign, SIGNED, bits=None),
    "maximum": accurate(max, (SIGNED, SIGNED), bits=None),
    "minimum": accurate(min, (SIGNED, SIGNED), bits=None),
    "fmax": accurate(max, (SIGNED, SIGNED), bits=None),
    "fmin": accurate(min, (SIGNED, SIGNED), bits=None),
    "copysign": accurate(lambda x, y: abs(x) if y > 0 else -abs(x), (SIGNED, SIGNED), bits=None),
    "atan2": accurate(mp.atan2, ((-1, 1), (-1, 1)), ((1e-200, 1e-100), (-1e100, -1e50))),
    "arctan2": accurate(mp.atan2, ((-1, 1), (-1, 1))),
    "hypot": accurate(mp.hypot, ((-1, 1), (-1, 1)), ((1e307, 1.1e308), (1e307, 1.1e308)),
                      ((1e-300, 1e-290), (1e-300, 1e-290))),
    "fmod": accurate(lambda x, y: exactly(lambda: x - mp.mpf(int(x / y)) * y), ((-1e6, 1e6), (-10, 10)),
                     ((1e60, 1e80), (0.5, 3))),
    "remainder": accurate(lambda x, y: exactly(lambda: x - mp.floor(x / y) * y), ((-1e6, 1e6), (-10, 10))),
    "logaddexp": accurate(lambda x, y: mp.log(mp.exp(x) + mp.exp(y)), ((-50, 50), (-50, 50))),
    "logaddexp2": accurate(lambda x, y: mp.log(mp.power(2, x) + mp.power(2, y), 2), ((-50, 50), (-50, 50))),
    "xlogy": accurate(lambda x, y: x * mp.log(y), ((-5, 5), (1e-100, 1e100)), ((1, 2), (1 - 1e-12, 1 + 1e-12))),
}


# The mathematical function of each operation whose reference is a function
# of limb rows: what derivatives are checked against.
MATH = {
    "exp": mp.exp, "log": mp.log, "sqrt": mp.sqrt, "sin": mp.sin, "cos": mp.cos, "tan": mp.tan,
    "tanh": mp.tanh, "sigmoid": lambda x: 1 / (1 + mp.exp(-x)), "silu": lambda x: x / (1 + mp.exp(-x)),
    "gelu": lambda x: x / 2 * (1 + mp.tanh(mp.mpf(0.7978845608028654) * (x + mp.mpf(0.044715) * x ** 3))),
    "relu": lambda x: max(x, 0), "abs": abs, "floor": mp.floor, "ceil": mp.ceil, "reciprocal": lambda x: 1 / x,
    "neg": lambda x: -x, "negative": lambda x: -x, "positive": lambda x: x, "square": lambda x: x * x,
}


def function_of(name):
    """The operation `name` as a function of mpmath numbers."""
    return MATH.get(name) or OPS[name].reference
