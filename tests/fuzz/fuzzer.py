"""Hostile-argument fuzzer for both extension modules.

Every public function, method, operator and property of varnel.zel.zel and
varnel.zel.tarsk is called with arguments drawn from generators suited to its
family (shapes and dims for shape operations, index expressions for indexing,
sizes for factories, matrices for linear algebra, seeds and states for the
generator functions), mixed with hostile values of every kind: wrong types,
None, strings, huge and negative sizes, out-of-range indices, empty and
non-finite tensors, tensors whose limb array was replaced by a malformed one,
objects whose __init__ never ran. Each call must either return well-formed
values or raise an ordinary Python exception. A crash takes the process down,
so callers run this in a subprocess and count exit signals; the sanitizer
build reports memory errors on stderr.

Targets are visited in shuffled rounds, so every target is called
CALLS / len(targets) times whatever the seed; the per-target counts are
printed with --coverage (one "COVERAGE label count" line each).

Sizes are either small (a few thousand elements at most) or absurd (far
beyond any machine): the library must refuse the absurd ones before it
allocates, and nothing in between is generated, so a run never needs more
than a few megabytes per call.

Usage: python fuzzer.py CALLS SEED [--coverage]
"""
import collections
import math
import operator
import random
import sys
import warnings

import numpy as np
import torch

from varnel.zel import zel

try:
    from varnel.zel import tarsk
except ImportError:  # the linear-algebra module is optional for this run
    tarsk = None

Tensor = zel.Tensor

# Exceptions that are failures even though Python raised them: they mean the
# C++ layer reported an error without setting one, or a caster gave up.
BAD_EXCEPTIONS = (SystemError,)
TRACE = "--trace" in sys.argv

OPERATORS = ["__add__", "__radd__", "__sub__", "__rsub__", "__mul__", "__rmul__", "__truediv__",
             "__rtruediv__", "__pow__", "__matmul__", "__floordiv__", "__rfloordiv__", "__mod__",
             "__rmod__", "__neg__", "__pos__", "__lt__", "__le__", "__gt__", "__ge__", "__eq__",
             "__ne__", "__getitem__", "__setitem__", "__len__", "__repr__", "__float__", "__int__",
             "__iter__", "__bool__", "__hash__", "__reduce__", "__reduce_ex__", "__getstate__",
             "__setstate__", "__copy__", "__deepcopy__", "__abs__", "__rpow__", "__rmatmul__",
             "__init__", "__contains__", "__array__", "__index__"]
TARSK_PRIVATE = ["_get", "_set", "_getv", "_setv", "_getv1d"]
SMALL_INTS = [-4, -3, -2, -1, 0, 1, 2, 3, 4]
# Far beyond any machine, or beyond int64: must be refused before allocating.
HUGE_INTS = [2 ** 31, 2 ** 32 + 1, 2 ** 40, 2 ** 62, 2 ** 63 - 1, 2 ** 63, 2 ** 64, 10 ** 30,
             -(2 ** 31), -(2 ** 62), -(2 ** 63), -(2 ** 64)]
SPECIALS = [0.0, -0.0, 1.0, -2.5, 1e300, -1e-300, 5e-324, math.inf, -math.inf, math.nan, 1e16,
            1.7976931348623157e308, 2.0 ** -1074, 6.7e299]
SHAPES = [(), (0,), (1,), (3,), (5,), (2, 3), (3, 3), (2, 0), (0, 3), (1, 1), (2, 2, 2), (4, 1, 3),
          (2, 3, 4), (1, 3, 1), (2, 1, 2, 1)]
# Zero elements, but sizes that overflow whatever multiplies or repeats them.
EMPTY_HUGE_SHAPES = [(0, 2 ** 62), (2 ** 62, 0), (0, 2 ** 40, 2 ** 40), (2 ** 31, 0, 2 ** 31), (0, 2 ** 63 - 1)]


def limbs_ok(t):
    d = t._data
    shape = t._shape
    if not isinstance(shape, tuple) or not all(isinstance(s, int) and s >= 0 for s in shape):
        return False
    n = math.prod(shape) * (2 if t._is_complex() else 1)  # a complex element is two rows
    return (isinstance(d, torch.Tensor) and d.dtype == torch.float64 and d.dim() == 2
            and d.shape[1] == 8 and d.shape[0] == n)


def well_formed(value, depth=0):
    if depth > 4:
        return True
    if isinstance(value, Tensor):
        return limbs_ok(value)
    if isinstance(value, (tuple, list)):
        return all(well_formed(v, depth + 1) for v in value[:16])
    if isinstance(value, dict):
        return all(well_formed(v, depth + 1) for v in list(value.values())[:16])
    return True


class Pool:
    def __init__(self, rng):
        self.rng = rng

    # -- tensors -------------------------------------------------------------

    def values(self, n):
        r = self.rng
        return [r.choice(SPECIALS) if r.random() < 0.3 else r.uniform(-10, 10) for _ in range(n)]

    def good_tensor(self, shape=None):
        r = self.rng
        shape = r.choice(SHAPES) if shape is None else tuple(shape)
        n = math.prod(shape)
        data = torch.zeros(n, 8, dtype=torch.float64)
        if n:
            data[:, 0] = torch.tensor(self.values(n), dtype=torch.float64)
            lower = r.random()
            if lower < 0.3:
                data[:, 1] = data[:, 0] * 1e-17
            elif lower < 0.4:  # cancelled leading limb and overlapping limbs
                data[:, 1:] = torch.tensor(self.values(n * 7), dtype=torch.float64).reshape(n, 7)
        t = Tensor(_raw=data, _shape=shape)
        if r.random() < 0.05:  # a strided limb array in place of a contiguous one
            t._data = torch.zeros(n, 16, dtype=torch.float64)[:, ::2].copy_(data)
        if r.random() < 0.05 and shape and shape[-1] == 2:  # complex elements, two rows each
            t = zel.view_as_complex(t)
        elif n == 1 and r.random() < 0.3:  # the same value as an inline row, not yet loaded
            t = -(-t)
        return t

    def bad_tensor(self, shape=None):
        r = self.rng
        shape = r.choice(SHAPES) if shape is None else tuple(shape)
        n = math.prod(shape)
        t = self.good_tensor(shape)
        kind = r.randrange(12)
        if kind == 0:  # __init__ never ran
            return Tensor.__new__(Tensor)
        if kind == 1:
            return Tensor(_raw=torch.zeros(0, 8, dtype=torch.float64), _shape=r.choice(EMPTY_HUGE_SHAPES))
        bad = r.choice([
            lambda: torch.zeros(n + 1, 8, dtype=torch.float64),
            lambda: torch.zeros(max(n - 1, 0), 8, dtype=torch.float64),
            lambda: torch.zeros(n, 8, dtype=torch.float32),
            lambda: torch.zeros(n * 8, dtype=torch.float64),
            lambda: torch.zeros(8, n, dtype=torch.float64).t(),
            lambda: torch.zeros(n, 7, dtype=torch.float64),
            lambda: torch.zeros(n, 8, dtype=torch.int64),
            lambda: torch.zeros((), dtype=torch.float64),
            lambda: torch.zeros(n, 8, 1, dtype=torch.float64),
            lambda: torch.zeros(n, 8, dtype=torch.complex128),
            lambda: torch.zeros(n, 8, dtype=torch.bool),
            lambda: torch.zeros(n, 8, dtype=torch.float64, device="meta"),
            lambda: torch.zeros(n, 16, dtype=torch.float64)[:, ::2],
            lambda: torch.zeros(1, 8, dtype=torch.float64).expand(n, 8),
            lambda: torch.zeros(n, 8, dtype=torch.float64, requires_grad=True),
            lambda: torch.zeros(n + 4, 8, dtype=torch.float64)[2:n + 2],
            lambda: "not a tensor",
            lambda: None,
            lambda: np.zeros((n, 8)),
        ])()
        try:
            t._data = bad
        except Exception:
            pass
        if r.random() < 0.3:
            try:
                t._shape = r.choice([(-1,), (2 ** 63,), ("a",), [n], None, (n, 1), (1.5,), (True,)])
            except Exception:
                pass
        return t

    def tensor(self, shape=None):
        r = self.rng.random()
        if r < 0.12:
            return self.bad_tensor(shape)
        if r < 0.24:
            return self.tracked_tensor(shape)
        return self.good_tensor(shape)

    def tracked_tensor(self, shape=None):
        """A leaf that requires grad, or a tensor with a recorded history."""
        t = self.good_tensor(shape).requires_grad_()
        k = self.rng.randrange(4)
        try:
            if k == 1:
                return t * 1.5
            if k == 2:
                return t.exp() - t
            if k == 3:
                return (t * t).sinh()
        except Exception:
            pass
        return t

    def matrix(self):
        """Square, non-square, empty, 1-D, 3-D; symmetric positive definite now and then."""
        r = self.rng
        k = r.randrange(10)
        if k < 4:
            # 17 and 24 reach the blocked and refined elimination paths (n >= 16).
            n = r.choice([0, 1, 2, 3, 4, 5, 17, 24])
            if r.random() < 0.4 and n:
                a = torch.tensor(self.values(n * n)).reshape(n, n).clamp(-10, 10).nan_to_num()
                a = a @ a.t() + n * torch.eye(n, dtype=torch.float64)
                return Tensor(a)
            return self.tensor((n, n))
        if k < 7:
            return self.tensor(r.choice([(2, 3), (3, 2), (1, 4), (4, 1), (0, 2), (2, 0)]))
        if k < 8:
            return self.tensor(r.choice([(), (3,), (0,), (2, 2, 2), (1, 2, 2)]))
        return self.bad_tensor(r.choice([(2, 2), (3, 3), (2, 3)]))

    # -- scalars, sizes, dims ------------------------------------------------

    def hostile(self, depth=0):
        r = self.rng
        return r.choice([
            lambda: None, lambda: "x", lambda: "2", lambda: b"\x00", lambda: r.choice(SMALL_INTS),
            lambda: r.choice(HUGE_INTS), lambda: r.choice(SPECIALS), lambda: True, lambda: False,
            lambda: [], lambda: (), lambda: [[1.0], [2.0, 3.0]], lambda: [1, 2, 3], lambda: (2, 3),
            lambda: {}, lambda: {"cpu": 1}, lambda: object(), lambda: slice(None, None, -1),
            lambda: Ellipsis, lambda: np.ones((2, 2)), lambda: np.int64(2), lambda: np.float64(math.nan),
            lambda: torch.ones(3), lambda: torch.tensor(2), lambda: torch.ones(2, dtype=torch.complex128),
            lambda: 1 + 2j, lambda: self.tensor(), lambda: [self.tensor(), self.tensor()] if depth < 2 else [],
            lambda: torch.Size([2, 3]), lambda: range(3), lambda: float("nan"), lambda: 10 ** 400,
        ])()

    def int_arg(self):
        r = self.rng.random()
        if r < 0.7:
            return self.rng.choice(SMALL_INTS)
        if r < 0.85:
            return self.rng.choice(HUGE_INTS)
        return self.rng.choice([2.0, 2.7, -1.5, math.nan, math.inf, True, None, "1", np.int64(1),
                                torch.tensor(1), Tensor(1.0), [1], (1,)])

    def size_entry(self):
        r = self.rng.random()
        if r < 0.75:
            return self.rng.choice([0, 1, 1, 2, 2, 3, 4, 5])
        if r < 0.85:
            return self.rng.choice([-1, -2, -(2 ** 63)])
        if r < 0.93:
            return self.rng.choice(HUGE_INTS[:8])
        return self.rng.choice([2.0, 2.5, None, "3", np.int64(2), torch.tensor(3), True, [2]])

    def sizes(self):
        """A size list in one of the accepted spellings (or a broken one): (args, kwargs)."""
        r = self.rng
        entries = [self.size_entry() for _ in range(r.choice([0, 1, 1, 2, 2, 3, 4]))]
        if r.random() < 0.02:  # far more axes than any tensor needs
            entries = [1] * r.choice([65, 1000, 100000])
        form = r.randrange(6)
        if form == 0:
            return [tuple(entries)], {}
        if form == 1:
            return [list(entries)], {}
        if form == 2:
            try:
                return [torch.Size(entries)], {}
            except Exception:
                return entries, {}
        if form == 3 and entries:
            return [entries[0], tuple(entries[1:])], {}
        return entries, {}

    def dims(self, count=None):
        count = self.rng.choice([0, 1, 2, 3, 4]) if count is None else count
        return [self.int_arg() for _ in range(count)]

    def index(self, depth=0):
        r = self.rng

        def bound():
            return r.choice([None, None, 0, 1, 2, -1, -3, 5, 2 ** 62, -(2 ** 62), 2 ** 64, 10 ** 20, 1.5])

        def item():
            k = r.randrange(12)
            if k < 4:
                return r.choice(SMALL_INTS + [5, 7, -5])
            if k < 7:
                return slice(bound(), bound(), r.choice([None, None, 1, 2, 3, -1, -2, 0, 2 ** 62, 2 ** 64, 1.5]))
            if k == 7:
                return None
            if k == 8:
                return Ellipsis
            if k == 9:
                return r.choice(HUGE_INTS)
            return r.choice([True, False, [0, 1], "a", 1.5, np.int64(1), torch.tensor(0), torch.tensor([0, 1]),
                             Tensor(1.0), (), [], [[0]], {}])

        if r.random() < 0.4:
            return item()
        return tuple(item() for _ in range(r.choice([0, 1, 2, 3, 4, 5, 9])))

    def number_or_tensor(self):
        r = self.rng.random()
        if r < 0.4:
            return self.rng.choice(SPECIALS + [2, -1, 0, 3])
        if r < 0.45:  # mixed complex operands
            return self.rng.choice([1j, -2.5 + 1e300j, complex(math.inf, math.nan), complex(-0.0, 5e-324)])
        if r < 0.85:
            return self.tensor()
        return self.hostile()

    def device(self):
        return self.rng.choice([None, "cpu", "meta", "", 0, "cuda", "cuda:7", "xyz", torch.device("cpu"), False, 1.5])

    def rng_state(self):
        r = self.rng
        good = torch.get_rng_state()
        return r.choice([
            lambda: {"cpu": good}, lambda: {"cpu": good.clone()[: r.randrange(len(good))]},
            lambda: {"cpu": torch.randint(0, 256, (len(good),), dtype=torch.uint8)},
            lambda: {"cpu": torch.zeros(len(good), dtype=torch.uint8)},
            lambda: {"cpu": torch.zeros(len(good), dtype=torch.float64)}, lambda: {"cpu": good.float()},
            lambda: {"cpu": torch.zeros(0, dtype=torch.uint8)}, lambda: {"cpu": torch.zeros(10 ** 4, dtype=torch.uint8)},
            lambda: {"cpu": "garbage"}, lambda: {"cpu": None}, lambda: {"cuda": [good]}, lambda: {},
            lambda: {"cpu": good, "cuda": "x"}, lambda: {"cpu": good.reshape(1, -1)}, lambda: [good], lambda: good,
            lambda: {"cpu": good[::2]}, lambda: {"cpu": bytes(5056)},
        ])()


# -- argument generators per family --------------------------------------------

def g_generic(p):
    return [p.hostile() for _ in range(p.rng.choice([0, 1, 1, 2, 2, 3, 4]))], {}


def g_binary(p):
    return [p.number_or_tensor()], {}


def g_none(p):
    return [], {}


def g_dim_keepdim(p):
    r = p.rng
    kw = {}
    if r.random() < 0.7:
        kw["dim"] = r.choice([None, p.int_arg(), p.int_arg()])
    if r.random() < 0.5:
        kw["keepdim"] = r.choice([True, False, 0, 1, None, "x", 2.5])
    if r.random() < 0.3:
        return [kw.pop("dim", None)] + ([kw.pop("keepdim")] if "keepdim" in kw else []), kw
    return [], kw


def g_var(p):
    args, kw = g_dim_keepdim(p)
    if p.rng.random() < 0.5:
        kw["unbiased"] = p.rng.choice([True, False, 0, None, "x"])
    return args, kw


def g_norm(p):
    args, kw = g_dim_keepdim(p)
    kw["p"] = p.rng.choice([1, 2, 3, 0, -1, 0.5, math.inf, -math.inf, math.nan, "fro", "nuc", "x", None, 2 ** 64])
    return args, kw


def g_reshape(p):
    return p.sizes()


def g_shape_dims(p):  # permute, repeat, expand
    r = p.rng
    if r.random() < 0.5:
        return p.sizes()
    return p.dims(), {}


def g_one_dim(p):  # squeeze, unsqueeze, softmax, log_softmax
    r = p.rng
    if r.random() < 0.85:
        return [p.int_arg()], {}
    return [], {r.choice(["dim", "axis"]): p.int_arg()}


def g_transpose(p):
    return p.dims(2), {}


def g_flatten(p):
    return p.dims(p.rng.choice([0, 1, 2])), {}


def g_getitem(p):
    return [p.index()], {}


def g_setitem(p):
    return [p.index(), p.number_or_tensor()], {}


def g_clamp(p):
    r = p.rng
    vals = [None, 0.0, -1.0, 1.0, math.nan, math.inf, 2, "x", p.tensor()]
    return [], {k: r.choice(vals) for k in r.sample(["min", "max", "min_val", "max_val"], r.randrange(3))}


def g_round(p):
    return [], ({"decimals": p.int_arg()} if p.rng.random() < 0.7 else {})


def g_pow(p):
    r = p.rng
    return [r.choice([2, 3, 0, -1, -2, 0.5, 1.5, 2 ** 62, -(2 ** 62), 10 ** 30, math.nan, math.inf, p.tensor(),
                      "x", None])], {}


def g_device_move(p):
    return ([p.device()] if p.rng.random() < 0.8 else []), {}


def g_size(p):
    return ([p.int_arg()] if p.rng.random() < 0.6 else []), {}


def g_split(p):
    r = p.rng
    sec = r.choice([1, 2, 3, 0, -1, 2 ** 62, [1, 2], [0, 0, 3], [-1, 4], [2 ** 62, -(2 ** 62)], (1, 1, 1), [],
                    2.5, "x", None])
    return [sec] + ([p.int_arg()] if r.random() < 0.5 else []), {}


def g_chunk(p):
    return [p.int_arg()] + ([p.int_arg()] if p.rng.random() < 0.5 else []), {}


def g_limbs_io(p):
    return [], {}


def g_matmul(p):
    r = p.rng
    return [p.tensor(r.choice(SHAPES + [(3, 2), (2, 2), (4, 3, 2), (1, 2, 3), (3,), (2,)]))
            if r.random() < 0.85 else p.hostile()], {}


METHOD_FAMILIES = {
    "sum": g_dim_keepdim, "prod": g_dim_keepdim, "mean": g_dim_keepdim, "max": g_dim_keepdim,
    "min": g_dim_keepdim, "argmax": g_dim_keepdim, "argmin": g_dim_keepdim, "var": g_var, "std": g_var,
    "norm": g_norm, "reshape": g_reshape, "view": g_reshape, "permute": g_shape_dims, "repeat": g_shape_dims,
    "expand": g_shape_dims, "squeeze": g_one_dim, "unsqueeze": g_one_dim, "softmax": g_one_dim,
    "log_softmax": g_one_dim, "transpose": g_transpose, "flatten": g_flatten, "__getitem__": g_getitem,
    "__setitem__": g_setitem, "clamp": g_clamp, "round": g_round, "__pow__": g_pow, "__rpow__": g_pow,
    "to": g_device_move, "cuda": g_device_move, "size": g_size, "split": g_split, "chunk": g_chunk,
    "__matmul__": g_matmul, "__rmatmul__": g_matmul, "_reduce_dim": g_dim_keepdim,
}
METHOD_FAMILIES["__init__"] = lambda p: g_construct(p)


def g_setstate(p):
    r = p.rng
    limbs = r.choice([torch.zeros(3, 8, dtype=torch.float64), torch.zeros(2, 8), torch.zeros(3, 7, dtype=torch.float64),
                      "x", None, np.zeros((3, 8)), torch.zeros(0, 8, dtype=torch.float64)])
    shape = r.choice([(3,), (0,), (), (1, 3), (-1,), ("a",), None, [3], (2 ** 63,), (0, 2 ** 62)])
    device = r.choice(["cpu", "meta", "cuda", "", "garbage", None, 0])
    state = r.choice([(limbs, shape, device), (limbs, shape), (), [limbs, shape, device], "state", None])
    return [state], {}


METHOD_FAMILIES["__setstate__"] = g_setstate
METHOD_FAMILIES["__reduce_ex__"] = lambda p: ([p.rng.choice([0, 1, 2, 4, 5, -1, 2 ** 64, None, "x"])], {})
METHOD_FAMILIES["__deepcopy__"] = lambda p: ([p.rng.choice([{}, None, [], "x"])], {})
for _op in ["__add__", "__radd__", "__sub__", "__rsub__", "__mul__", "__rmul__", "__truediv__", "__rtruediv__",
            "__floordiv__", "__rfloordiv__", "__mod__", "__rmod__", "__lt__", "__le__", "__gt__", "__ge__",
            "__eq__", "__ne__"]:
    METHOD_FAMILIES[_op] = g_binary


def with_input(gen):
    def g(p):
        args, kw = gen(p)
        return [p.tensor()] + args, kw
    return g


def g_factory_sizes(p):
    args, kw = p.sizes()
    if p.rng.random() < 0.3:
        kw["device"] = p.device()
    if p.rng.random() < 0.2:
        kw["dtype"] = p.rng.choice([None, "float32", torch.float16, 3])
    return args, kw


def g_arange(p):
    r = p.rng
    nums = [0, 1, 2, 5, -3, 0.5, 1e-300, 1e300, -1e300, math.nan, math.inf, 2 ** 62, -(2 ** 62), 10 ** 30, 1e18,
            "x", None, p.tensor(())]
    args = [r.choice(nums) for _ in range(r.choice([1, 1, 2, 3]))]
    return args, ({"step": r.choice(nums + [0, 1e-20])} if r.random() < 0.3 else {})


def g_linspace(p):
    r = p.rng
    nums = [0, 1, -2.5, math.nan, math.inf, 1e308, "x", None]
    return [r.choice(nums), r.choice(nums), r.choice([0, 1, 2, 5, 100, -1, 2 ** 40, 2 ** 63, 2.5, None])], {}


def g_eye(p):
    r = p.rng
    args = [r.choice([0, 1, 3, -1, 2 ** 31, 2 ** 62, 2 ** 64, 2.0, None, "3"])]
    if r.random() < 0.6:
        args.append(r.choice([0, 1, 3, -1, 2 ** 40, 2 ** 63, None, 2.5]))
    return args, {}


def g_construct(p):
    r = p.rng
    k = r.randrange(9)
    if k == 0:
        shape = r.choice(SHAPES + EMPTY_HUGE_SHAPES + [(-1,), (2 ** 63,), ("a",), [3], None, (1.5,)])
        n = r.choice([0, 1, 3, 6])
        return [], {"_raw": r.choice([torch.zeros(n, 8, dtype=torch.float64), torch.zeros(n, 7), None, "x",
                                      torch.zeros(n, 8, dtype=torch.float32)]), "_shape": shape}
    if k == 1:
        return [p.tensor()], {}
    if k == 2:
        return [r.choice([[1.0, [2.0]], [[1.0, 2.0], [3.0]], [[[]]], [[], []], [1, "a"], [None], [[1, 2], [3, 4]],
                          [1 + 2j], [math.nan, math.inf], [[[[[[[[1.0]]]]]]]], [10 ** 400], ["1.5"]])], {}
    if k == 3:
        nested = 1.0
        for _ in range(r.choice([100, 130, 500])):
            nested = [nested]
        return [nested], {}
    if k == 4:
        return [r.choice([np.zeros((2, 3)), np.zeros((0, 2)), np.array(["a"]), np.zeros((2, 2), dtype=np.complex128),
                          np.array([1, 2], dtype=np.int8), np.ones((3, 4))[:, ::2], np.array(object()),
                          np.array([[1.0], [2.0]]).T, np.float32(1.5)])], {}
    if k == 5:
        return [r.choice([torch.ones(2, 3), torch.zeros(0), torch.ones(3, dtype=torch.complex64),
                          torch.ones(2, 2, dtype=torch.bool), torch.arange(6).reshape(2, 3).t(),
                          torch.ones(2, device="meta"), torch.ones(2, requires_grad=True), torch.tensor(1.5)])], {}
    if k == 6:
        return [p.hostile()], ({"device": p.device()} if r.random() < 0.5 else {})
    if k == 7:
        return [p.hostile()], {r.choice(["_raw", "_shape", "dtype", "requires_grad", "bogus"]): p.hostile()}
    return g_generic(p)


def g_from_limbs(p):
    r = p.rng
    shape = r.choice([(8,), (3, 8), (2, 2, 8), (0, 8), (3, 7), (), (8, 3), (2, 0, 8), (1, 1, 1, 8)])
    arr = np.zeros(shape)
    return [r.choice([arr, torch.from_numpy(arr), arr.astype(np.float32), arr.T, [0.0] * 8, [[0.0] * 8],
                      torch.zeros(4, 16)[:, ::2], "x", None, np.zeros(8, dtype=object)])], {}


def g_tensors_list(p):
    r = p.rng
    base = r.choice(SHAPES)
    tensors = [p.tensor(base) if r.random() < 0.8 else p.tensor() for _ in range(r.choice([0, 1, 2, 3, 5]))]
    if r.random() < 0.1:
        tensors.append(r.choice([1.0, None, "x", torch.ones(2)]))
    seq = r.choice([list, tuple, list, lambda x: iter(x), lambda x: x[0] if x else None])(tensors)
    return [seq] + ([p.int_arg()] if r.random() < 0.6 else []), {}


def g_where(p):
    r = p.rng
    cond = r.choice([lambda: torch.tensor([True, False, True]), lambda: torch.ones(2, 3, dtype=torch.bool),
                     lambda: torch.ones(6, dtype=torch.bool), lambda: torch.zeros(0, dtype=torch.bool),
                     lambda: torch.ones(3), lambda: p.tensor(), lambda: p.hostile(),
                     lambda: torch.ones(2, 1, 3, dtype=torch.bool)])()
    return [cond, p.number_or_tensor(), p.number_or_tensor()], {}


def g_manual_seed(p):
    return [p.rng.choice([0, 42, -1, 2 ** 63, 2 ** 64, -(2 ** 63) - 1, 10 ** 30, 42.9, math.nan, math.inf,
                          "42", None, True, np.int64(3), torch.tensor(5), Tensor(3.0)])], {}


def g_set_rng_state(p):
    return [p.rng_state()], {}


def g_tarsk_matrix(p):
    return [p.matrix()], {}


def g_tarsk_iter(p):
    r = p.rng
    kw = {}
    if r.random() < 0.5:
        kw["max_iter"] = r.choice([-5, 0, 1, 3, 100, 2 ** 64, -(2 ** 70), "x", 2.5, None, math.nan])
    return [p.matrix()], kw


def g_tarsk_svd(p):
    args, kw = g_tarsk_iter(p)
    if p.rng.random() < 0.5:
        kw["full_matrices"] = p.rng.choice([True, False, None, "x", 0])
    return args, kw


def g_tarsk_rhs(p):
    r = p.rng
    a = p.matrix()
    n = a._shape[0] if isinstance(a._shape, tuple) and a._shape else 0
    b = r.choice([lambda: p.tensor((n,)), lambda: p.tensor((n, 2)), lambda: p.tensor((n + 1,)),
                  lambda: p.tensor((n, 1, 1)), lambda: p.tensor(()), lambda: p.hostile()])()
    return [a, b], {}


def g_tarsk_norm(p):
    r = p.rng
    kw = {}
    if r.random() < 0.7:
        kw["ord"] = r.choice([None, 1, 2, -1, -2, 0, 3, math.inf, -math.inf, math.nan, "fro", "nuc", "x", 2 ** 64])
    if r.random() < 0.4:
        kw["dim"] = p.int_arg()
    if r.random() < 0.3:
        kw["keepdim"] = r.choice([True, False, None, "x"])
    return [p.matrix() if r.random() < 0.7 else p.tensor()], kw


def g_tarsk_rank(p):
    r = p.rng
    return [p.matrix()], ({"tol": r.choice([None, 0.0, 1e-10, -1.0, math.nan, math.inf, "x", p.tensor(())])}
                          if r.random() < 0.5 else {})


def g_tarsk_cond(p):
    r = p.rng
    return [p.matrix()], ({"p": r.choice([None, 1, 2, -1, -2, math.inf, -math.inf, "fro", "nuc", "x", 0, 2 ** 64])}
                          if r.random() < 0.6 else {})


def g_tarsk_get(p):
    r = p.rng
    return [p.matrix(), p.int_arg(), p.int_arg()], {}


def g_tarsk_set(p):
    args, _ = g_tarsk_get(p)
    return args + [p.number_or_tensor()], {}


def g_tarsk_getv(p):
    r = p.rng
    return [p.tensor(r.choice([(3,), (0,), (1,), (2, 2), ()])), p.int_arg()], {}


def g_tarsk_setv(p):
    args, _ = g_tarsk_getv(p)
    return args + [p.number_or_tensor()], {}


MODULE_FAMILIES = {
    "Tensor": g_construct, "tensor": g_construct, "from_limbs": g_from_limbs, "zeros": g_factory_sizes,
    "ones": g_factory_sizes, "rand": g_factory_sizes, "randn": g_factory_sizes, "arange": g_arange,
    "linspace": g_linspace, "eye": g_eye, "cat": g_tensors_list, "stack": g_tensors_list, "where": g_where,
    "manual_seed": g_manual_seed, "set_rng_state": g_set_rng_state, "get_rng_state": g_none,
    "split": with_input(g_split), "chunk": with_input(g_chunk), "matmul": with_input(g_matmul),
    "mm": with_input(g_matmul), "mv": with_input(g_matmul), "dot": with_input(g_matmul), "bmm": with_input(g_matmul),
    "reshape": lambda p: ([p.tensor(), tuple(p.sizes()[0][0]) if p.rng.random() < 0.5 else p.hostile()], {}),
    "permute": lambda p: ([p.tensor(), tuple(p.dims())], {}),
    "repeat": with_input(g_shape_dims), "squeeze": with_input(g_one_dim), "unsqueeze": with_input(g_one_dim),
    "transpose": with_input(g_transpose), "softmax": with_input(g_one_dim), "log_softmax": with_input(g_one_dim),
    "sum": with_input(g_dim_keepdim), "mean": with_input(g_dim_keepdim), "prod": with_input(g_dim_keepdim),
    "min": with_input(g_dim_keepdim), "max": with_input(g_dim_keepdim), "argmin": with_input(g_dim_keepdim),
    "argmax": with_input(g_dim_keepdim), "std": with_input(g_var), "var": with_input(g_var),
    "norm": with_input(g_norm), "clamp": with_input(g_clamp), "round": with_input(g_round),
    "device": lambda p: ([p.device()], {}),
}
TARSK_FAMILIES = {
    "norm": g_tarsk_norm, "solve": g_tarsk_rhs, "lstsq": g_tarsk_rhs, "inv": g_tarsk_matrix, "det": g_tarsk_matrix,
    "qr": g_tarsk_matrix, "cholesky": g_tarsk_matrix, "lu": g_tarsk_matrix, "eig": g_tarsk_iter,
    "eigh": g_tarsk_iter, "svd": g_tarsk_svd, "matrix_rank": g_tarsk_rank, "cond": g_tarsk_cond,
    "_get": g_tarsk_get, "_set": g_tarsk_set, "_getv": g_tarsk_getv, "_getv1d": g_tarsk_getv, "_setv": g_tarsk_setv,
}


# -- PyTorch drop-in names beyond __all__: dotted module paths and methods ------

def g_index_tensor(p):
    r = p.rng
    return r.choice([lambda: torch.tensor([0, 1]), lambda: torch.tensor([-1, 2, 0]), lambda: torch.tensor([[0], [1]]),
                     lambda: torch.tensor([2 ** 62]), lambda: torch.tensor([-(2 ** 63)]), lambda: torch.zeros(0, dtype=torch.long),
                     lambda: torch.tensor([1.5]), lambda: torch.tensor(0), lambda: torch.tensor([0], dtype=torch.int32),
                     lambda: Tensor([0.0, 1.0]), lambda: Tensor([0.5]), lambda: Tensor(math.nan), lambda: [0, 1],
                     lambda: [[0, 1]], lambda: [], lambda: np.array([1]), lambda: p.hostile()])()


def g_mask(p):
    r = p.rng
    return r.choice([lambda: torch.tensor([True, False, True]), lambda: torch.ones(6, dtype=torch.bool),
                     lambda: torch.zeros(2, 3, dtype=torch.bool), lambda: torch.ones(1, dtype=torch.bool),
                     lambda: torch.ones(4, 2, 3, dtype=torch.bool), lambda: torch.zeros(0, dtype=torch.bool),
                     lambda: torch.ones(3), lambda: p.tensor() > 0, lambda: p.hostile()])()


def g_advanced_index(p):
    r = p.rng
    items = [g_index_tensor(p) if r.random() < 0.5 else g_mask(p)]
    if r.random() < 0.5:
        items.insert(r.randrange(2), r.choice([slice(None), 0, None, Ellipsis, slice(1, None, 2), -1, 5]))
    return tuple(items) if len(items) > 1 or r.random() < 0.3 else items[0]


def g_dim_index(p):
    return [p.rng.choice(SMALL_INTS + HUGE_INTS[:2]), g_index_tensor(p)], {}


def g_fill(p):
    return [p.rng.choice(SPECIALS + [True, 3, p.tensor(()), p.tensor((1,)), p.tensor(), "x", None])], {}


def g_sized_fill(p):
    args, kw = p.sizes()
    size = tuple(args[0]) if len(args) == 1 and isinstance(args[0], (list, tuple)) else tuple(args)
    kw.update({"dtype": p.rng.choice([None, torch.float32, "float64", "x", 3])} if p.rng.random() < 0.3 else {})
    kw.update({"requires_grad": p.rng.choice([False, True, None, "x"])} if p.rng.random() < 0.2 else {})
    return [p.rng.choice([size, list(size), size if size else 3, "x"]), g_fill(p)[0][0]], kw


def g_like(p):
    kw = {}
    if p.rng.random() < 0.3:
        kw["device"] = p.device()
    if p.rng.random() < 0.3:
        kw[p.rng.choice(["dtype", "requires_grad", "memory_format"])] = p.hostile()
    return [p.tensor() if p.rng.random() < 0.85 else p.hostile()], kw


def g_functional_loss(p):
    r = p.rng
    target = r.choice([lambda: torch.tensor([0, 1]), lambda: torch.tensor([0, 7]), lambda: torch.tensor([-100, 0]),
                       lambda: torch.tensor([0.2, 0.8]), lambda: p.tensor((2, 3)), lambda: p.tensor(),
                       lambda: Tensor([0.0, 2.0]), lambda: p.hostile()])()
    kw = {}
    if r.random() < 0.4:
        kw["reduction"] = r.choice(["mean", "sum", "none", "avg", None])
    if r.random() < 0.3:
        kw["weight"] = r.choice([p.tensor((3,)), p.tensor(), None, "x"])
    if r.random() < 0.2:
        kw["ignore_index"] = r.choice([0, -100, 2 ** 62, "x"])
    return [p.tensor(r.choice([(2, 3), (3,), (2, 3, 2), (), (0, 3)])) if r.random() < 0.9 else p.hostile(), target], kw


def g_pad(p):
    r = p.rng
    return [r.choice([(1, 1), (0, 2, 1, 0), (-1, 1), (2 ** 40, 0), (-5, -5), (1,), [1, 1], (1.5, 1), "x",
                      (1, 1, 1, 1, 1, 1, 1, 1)])], ({"value": r.choice([0.5, None, "x", math.nan])}
                                                    if r.random() < 0.4 else {})


def g_to_dtype(p):
    r = p.rng
    return [r.choice([torch.float64, torch.float32, "float64", "float16", "cpu", float, int, None, p.tensor(), 3])] + \
        ([r.choice([torch.float64, "int64", None, "x"])] if r.random() < 0.4 else []), {}


DROPIN_FUNCTIONS = {
    "maximum": with_input(g_binary), "minimum": with_input(g_binary),
    "full": g_sized_fill, "empty": g_factory_sizes, "logspace": lambda p: (g_linspace(p)[0], (
        {"base": p.rng.choice([10.0, 2, -1.0, math.nan, "x"])} if p.rng.random() < 0.5 else {})),
    "zeros_like": g_like, "ones_like": g_like, "empty_like": g_like,
    "full_like": lambda p: (g_like(p)[0] + g_fill(p)[0], {}),
    "from_numpy": g_construct, "as_tensor": g_construct, "get_default_dtype": g_none,
    "set_default_dtype": lambda p: ([p.rng.choice([torch.float64, "float32", torch.int64, None, "x"])], {}),
    "no_grad": g_none, "enable_grad": g_none, "inference_mode": g_generic, "set_grad_enabled": g_generic,
    "is_grad_enabled": g_none, "is_inference_mode_enabled": g_none, "autograd.grad": g_generic,
    "autograd.gradcheck": g_generic, "autograd.gradgradcheck": g_generic,
    "autograd.functional.jacobian": g_generic, "autograd.functional.hessian": g_generic,
    "autograd.functional.vjp": g_generic, "autograd.functional.jvp": g_generic,
    "autograd.functional.hvp": g_generic, "autograd.functional.vhp": g_generic,
    "func.grad": g_generic, "func.grad_and_value": g_generic, "func.vjp": g_generic, "func.jvp": g_generic,
    "func.jacrev": g_generic, "func.jacfwd": g_generic, "func.hessian": g_generic, "func.vmap": g_generic,
    "func.functional_call": g_generic, "compile": g_generic,
    "autograd.backward": g_generic,
    "index_select": with_input(g_dim_index), "gather": with_input(g_dim_index),
    "take": lambda p: ([p.tensor(), g_index_tensor(p)], {}),
    "masked_select": lambda p: ([p.tensor(), g_mask(p)], {}),
    "masked_fill": lambda p: ([p.tensor(), g_mask(p)] + g_fill(p)[0], {}),
    "nonzero": lambda p: ([p.tensor()], {"as_tuple": p.rng.choice([False, True])}),
    "nn.functional.relu": with_input(g_none), "nn.functional.gelu": lambda p: (
        [p.tensor()], {"approximate": p.rng.choice(["tanh", "none", "x"])}),
    "nn.functional.silu": with_input(g_none), "nn.functional.sigmoid": with_input(g_none),
    "nn.functional.softmax": with_input(g_one_dim), "nn.functional.log_softmax": with_input(g_one_dim),
    "nn.functional.linear": lambda p: ([p.tensor(), p.tensor()] + ([p.tensor()] if p.rng.random() < 0.5 else []), {}),
    "nn.functional.mse_loss": lambda p: ([p.tensor(), p.tensor()], {}),
    "nn.functional.cross_entropy": g_functional_loss, "nn.functional.nll_loss": g_functional_loss,
    "nn.functional.normalize": lambda p: ([p.tensor()], {"p": p.rng.choice([1, 2, 2.0, 0.5, math.inf, "x"]),
                                                         "dim": p.rng.choice(SMALL_INTS)}),
    "nn.functional.pad": with_input(g_pad),
    "nn.functional.one_hot": lambda p: ([g_index_tensor(p)], ({"num_classes": p.rng.choice([-1, 3, 0, 2 ** 40])}
                                                              if p.rng.random() < 0.5 else {})),
}
# -- nn.functional's activations, layers and losses -----------------------------

def g_scalar_kwargs(*names):
    """Hostile or odd values for the named number arguments, some left out."""
    def g(p):
        r = p.rng
        kw = {}
        for name in names:
            if r.random() < 0.5:
                kw[name] = r.choice([0.0, -1.0, 0.5, 2, 20.0, math.inf, -math.inf, math.nan, 1e300, True, "x", None,
                                     p.hostile()])
        if r.random() < 0.2:
            kw["inplace"] = r.choice([True, False])
        return [], kw
    return g


def g_nn_shape(p, nd):
    """A batched or unbatched input for an nd-dimensional layer, sometimes hostile."""
    r = p.rng
    return p.tensor(r.choice([(2, 3) + (5,) * nd, (3,) + (4,) * nd, (1, 1) + (1,) * nd, (0, 2) + (3,) * nd,
                              (2, 0) + (3,) * nd, (1, 2) + (2,) * nd, (2, 3), (), (5,)]))


def g_int_or_tuple(p, nd):
    r = p.rng
    return r.choice([1, 2, 3, 0, -1, (1,) * nd, (2, 1)[:nd], (1, 2, 3), [], p.int_arg(), 2 ** 40, "x"])


def g_conv(nd):
    def g(p):
        r = p.rng
        if r.random() < 0.5:  # a valid call of hostile values: groups, strides, 'same'
            groups = r.choice([1, 1, 2])
            c, o = 2 * groups, 2 * groups
            x = p.tensor(r.choice([(2, c) + (5,) * nd, (c,) + (4,) * nd, (0, c) + (5,) * nd]))
            w = p.tensor((o, c // groups) + tuple(r.choice([1, 2, 3]) for _ in range(nd)))
            kw = {"groups": groups, "padding": r.choice([0, 1, "same", "valid"]), "dilation": r.choice([1, 2])}
            if kw["padding"] != "same":
                kw["stride"] = r.choice([1, 2, (2, 1)[:nd]])
            return [x, w, r.choice([None, p.tensor((o,))])], kw
        c = r.choice([1, 2, 3, 4])
        x = g_nn_shape(p, nd) if r.random() < 0.3 else p.good_tensor(r.choice([(2, c) + (5,) * nd, (c,) + (4,) * nd]))
        o = r.choice([2, 4, 1, 0])
        w = p.tensor(r.choice([(o, c) + (2,) * nd, (o, 1) + (3,) * nd, (o, c) + (7,) * nd, (o,), (o, c // 2 or 1) + (1,) * nd]))
        args = [x, w]
        if r.random() < 0.5:
            args.append(r.choice([None, p.tensor((o,)), p.tensor((3,)), p.hostile()]))
        kw = {}
        for name in ("stride", "padding", "dilation", "groups"):
            if r.random() < 0.4:
                kw[name] = g_int_or_tuple(p, nd)
        if r.random() < 0.2:
            kw["padding"] = r.choice(["same", "valid", "full", ""])
        return args, kw
    return g


def g_pool(nd, kind):
    def g(p):
        r = p.rng
        kw = {"kernel_size": g_int_or_tuple(p, nd) if r.random() < 0.4 else r.choice([1, 2, 3])}
        names = ["stride", "padding", "ceil_mode"] + (["dilation", "return_indices"] if kind == "max" else
                                                       ["count_include_pad"] + (["divisor_override"] if nd == 2 else []))
        for name in names:
            if r.random() < 0.4:
                kw[name] = (r.choice([True, False, None, 1]) if name in ("ceil_mode", "return_indices",
                                                                         "count_include_pad")
                            else r.choice([0, 1, 3, -2, None, 2 ** 40]) if name == "divisor_override"
                            else g_int_or_tuple(p, nd))
        return [g_nn_shape(p, nd)], kw
    return g


def g_norm_layer(p):
    r = p.rng
    if r.random() < 0.6:  # a well-shaped call, hostile values
        x = p.tensor(r.choice([(4, 3), (2, 3, 5), (2, 3, 2, 2), (1, 3), (0, 3)]))
        stats = [r.choice([p.good_tensor((3,)), p.tensor((3,)), None]) for _ in range(4)]
    else:
        x = g_nn_shape(p, r.choice([1, 2]))
        stats = [r.choice([p.tensor((3,)), None, p.tensor(), p.hostile()]) for _ in range(4)]
    kw = {"training": r.choice([True, False, None, 1])}
    if r.random() < 0.3:
        kw[r.choice(["momentum", "eps"])] = r.choice([0.1, 0.0, -1.0, math.nan, None, "x", 1e300])
    return [x] + stats, kw


def g_layer_norm(p):
    r = p.rng
    x = p.tensor(r.choice([(2, 3), (2, 3, 4), (3,), (), (0, 3)]))
    ns = r.choice([(3,), [3, 4], (4,), 3, (), (0,), (2 ** 40,), "x", [p.hostile()]])
    args = [x, ns] + [r.choice([None, p.tensor((3,)), p.tensor((3, 4)), p.tensor()]) for _ in range(r.choice([0, 1, 2]))]
    return args, ({"eps": r.choice([1e-5, 0.0, -1.0, math.nan, "x"])} if r.random() < 0.3 else {})


def g_dropout(p):
    r = p.rng
    kw = {}
    if r.random() < 0.7:
        kw["p"] = r.choice([0.0, 0.5, 1.0, -0.1, 1.5, math.nan, "x", None, 2, True])
    if r.random() < 0.5:
        kw["training"] = r.choice([True, False, None])
    if r.random() < 0.2:
        kw["inplace"] = r.choice([True, False])
    return [p.tensor()], kw


def g_embedding(p):
    r = p.rng
    kw = {}
    for name, choices in (("padding_idx", [0, 1, -1, 7, -9, None, 2 ** 62, "x"]),
                          ("max_norm", [1.0, 0.0, -1.0, math.nan, math.inf, None, "x"]),
                          ("norm_type", [1.0, 2.0, 0.0, math.inf, -1.0, "x"]),
                          ("scale_grad_by_freq", [True, False]), ("sparse", [True, False])):
        if r.random() < 0.3:
            kw[name] = r.choice(choices)
    return [g_index_tensor(p), r.choice([p.tensor((5, 3)), p.tensor(), p.tracked_tensor((4, 2))])], kw


def g_interpolate(p):
    r = p.rng
    kw = {"mode": r.choice(["nearest", "linear", "bilinear", "trilinear", "nearest-exact", "bicubic", "area", "x"])}
    if r.random() < 0.6:
        kw["size"] = r.choice([3, 0, -1, (2, 3), [4], (2, 2, 2), 2 ** 40, None, "x", 1.5])
    if "size" not in kw or r.random() < 0.2:
        kw["scale_factor"] = r.choice([2.0, 0.5, 1.7, 0, -1.0, math.nan, math.inf, (2.0, 0.5), 1e-300, 1e300, "x"])
    if r.random() < 0.3:
        kw["align_corners"] = r.choice([True, False, None, 1])
    if r.random() < 0.2:
        kw["recompute_scale_factor"] = r.choice([True, False, None])
    if r.random() < 0.1:
        kw["antialias"] = r.choice([True, False])
    x = p.tensor(r.choice([(1, 2, 4), (2, 1, 3, 4), (1, 1, 2, 2, 3), (1, 2, 0), (0, 2, 3), (3,), (1, 1, 1)]))
    return [x], kw


def g_pair_loss(p):
    r = p.rng
    shape = r.choice([(2, 3), (3,), (), (0, 3), (2, 3, 2)])
    x = p.tensor(shape)
    t = p.tensor(r.choice([shape, shape, (3,), (2, 1), ()]))
    kw = {}
    if r.random() < 0.4:
        kw["reduction"] = r.choice(["mean", "sum", "none", "batchmean", "avg", None])
    if r.random() < 0.2:
        kw[r.choice(["size_average", "reduce"])] = r.choice([True, False, None])
    return [x, t], kw


def g_loss_with(*extra):
    def g(p):
        args, kw = g_pair_loss(p)
        for name in extra:
            if p.rng.random() < 0.4:
                kw[name] = p.rng.choice([0.0, 1.0, -1.0, 0.5, math.nan, math.inf, True, "x", None,
                                         p.tensor((3,)), p.tensor()])
        return args, kw
    return g


def g_gaussian_nll(p):
    args, kw = g_pair_loss(p)
    kw.pop("size_average", None)
    kw.pop("reduce", None)
    var = p.rng.choice([p.tensor(args[0]._shape if isinstance(getattr(args[0], "_shape", None), tuple) else ()),
                        p.tensor(), p.hostile(), 0.5])
    for name in ("full", "eps"):
        if p.rng.random() < 0.3:
            kw[name] = p.rng.choice([True, False, 0.0, -1.0, 1e-6, math.nan])
    return args + [var], kw


def g_bilinear(p):
    r = p.rng
    n = r.choice([2, 0, 1])
    return [p.tensor((n, 3)), p.tensor(r.choice([(n, 4), (n, 3), (3,)])),
            p.tensor(r.choice([(2, 3, 4), (2, 3), (0, 3, 4)]))] + (
        [r.choice([p.tensor((2,)), None, p.tensor()])] if r.random() < 0.5 else []), {}


def g_label_smoothing(p):
    args, kw = g_functional_loss(p)
    if p.rng.random() < 0.6:
        kw["label_smoothing"] = p.rng.choice([0.0, 0.1, 1.0, -0.5, 1.5, math.nan, "x", True])
    return args, kw


DROPIN_FUNCTIONS.update({
    "nn.functional.leaky_relu": with_input(g_scalar_kwargs("negative_slope")),
    "nn.functional.elu": with_input(g_scalar_kwargs("alpha")), "nn.functional.selu": with_input(g_scalar_kwargs()),
    "nn.functional.celu": with_input(g_scalar_kwargs("alpha")), "nn.functional.mish": with_input(g_scalar_kwargs()),
    "nn.functional.softplus": with_input(lambda p: (lambda a, k: (a, {n: v for n, v in k.items() if n != "inplace"}))(
        *g_scalar_kwargs("beta", "threshold")(p))),
    "nn.functional.tanh": with_input(g_none),
    "nn.functional.hardtanh": with_input(g_scalar_kwargs("min_val", "max_val")),
    "nn.functional.relu6": with_input(g_scalar_kwargs()), "nn.functional.logsigmoid": with_input(g_none),
    "nn.functional.softmin": with_input(g_one_dim), "nn.functional.softsign": with_input(g_none),
    "nn.functional.tanhshrink": with_input(g_none), "nn.functional.hardsigmoid": with_input(g_scalar_kwargs()),
    "nn.functional.hardswish": with_input(g_scalar_kwargs()), "nn.functional.glu": with_input(g_one_dim),
    "nn.functional.bilinear": g_bilinear, "nn.functional.conv1d": g_conv(1), "nn.functional.conv2d": g_conv(2),
    "nn.functional.max_pool1d": g_pool(1, "max"), "nn.functional.max_pool2d": g_pool(2, "max"),
    "nn.functional.avg_pool1d": g_pool(1, "avg"), "nn.functional.avg_pool2d": g_pool(2, "avg"),
    "nn.functional.layer_norm": g_layer_norm, "nn.functional.batch_norm": g_norm_layer,
    "nn.functional.dropout": g_dropout, "nn.functional.embedding": g_embedding,
    "nn.functional.interpolate": g_interpolate,
    "nn.functional.l1_loss": g_pair_loss, "nn.functional.smooth_l1_loss": g_loss_with("beta"),
    "nn.functional.huber_loss": g_loss_with("delta"), "nn.functional.binary_cross_entropy": g_loss_with("weight"),
    "nn.functional.binary_cross_entropy_with_logits": g_loss_with("weight", "pos_weight"),
    "nn.functional.kl_div": g_loss_with("log_target"), "nn.functional.gaussian_nll_loss": g_gaussian_nll,
    "nn.functional.poisson_nll_loss": g_loss_with("log_input", "full", "eps"),
    "nn.functional.cross_entropy": g_label_smoothing,
})


METHOD_FAMILIES.update({
    "maximum": g_binary, "minimum": g_binary, "add_": g_binary, "sub_": g_binary, "mul_": g_binary,
    "div_": g_binary, "__iadd__": g_binary, "__isub__": g_binary, "__imul__": g_binary, "__itruediv__": g_binary,
    "pow_": g_pow, "clamp_": g_clamp, "fill_": g_fill, "copy_": g_binary, "index_select": g_dim_index,
    "gather": g_dim_index, "take": lambda p: ([g_index_tensor(p)], {}), "masked_select": lambda p: ([g_mask(p)], {}),
    "masked_fill": lambda p: ([g_mask(p)] + g_fill(p)[0], {}), "masked_fill_": lambda p: ([g_mask(p)] + g_fill(p)[0], {}),
    "__format__": lambda p: ([p.rng.choice(["", ".3f", "e", "x", "10", 3])], {}), "to": g_to_dtype,
    "requires_grad_": lambda p: ([p.rng.choice([True, False, None, "x"])], {}),
    "__array__": lambda p: ([p.rng.choice([None, np.float32, "x", object])], {}),
    "__round__": lambda p: ([p.rng.choice([None, 0, 2, -1, 2 ** 62, "x"])], {}),
})
_basic_getitem, _basic_setitem = METHOD_FAMILIES["__getitem__"], METHOD_FAMILIES["__setitem__"]
METHOD_FAMILIES["__getitem__"] = lambda p: _basic_getitem(p) if p.rng.random() < 0.5 else ([g_advanced_index(p)], {})
METHOD_FAMILIES["__setitem__"] = lambda p: _basic_setitem(p) if p.rng.random() < 0.5 else (
    [g_advanced_index(p), p.number_or_tensor()], {})


def module_attr(path):
    obj = zel
    for part in path.split("."):
        obj = getattr(obj, part)
    return obj


# -- reductions and shape functions beyond the defined ones (reduce) -------------
# Module functions outside __all__, so targets() adds them from this table;
# the Tensor methods of the same names are found on the class.

def g_axes(p):
    """An axis, a tuple or list of axes (repeats and out-of-range ones too), or None."""
    r = p.rng
    return r.choice([None, p.int_arg(), tuple(p.dims()), list(p.dims()), (), (0, 0), "x", 2.5])


def g_axes_keepdim(p):
    kw = {"dim": g_axes(p)} if p.rng.random() < 0.8 else {}
    if p.rng.random() < 0.5:
        kw["keepdim"] = p.rng.choice([True, False, None, "x"])
    return [], kw


def g_scan(p):
    return ([p.int_arg()], {}) if p.rng.random() < 0.9 else ([], {})


def g_sort(p):
    r = p.rng
    kw = {"dim": p.int_arg()} if r.random() < 0.6 else {}
    if r.random() < 0.5:
        kw["descending"] = r.choice([True, False, "x"])
    if r.random() < 0.3:
        kw["stable"] = r.choice([True, None])
    return [], kw


def g_k_dim(p):
    r = p.rng
    return [r.choice([0, 1, 2, 3, -1, 10, 2 ** 40, 2 ** 64])], ({"dim": p.int_arg()} if r.random() < 0.6 else {})


def g_quantile(p):
    r = p.rng
    q = r.choice([0.0, 0.5, 1.0, -0.1, 1.5, math.nan, "x", p.tensor(r.choice([(), (3,), (2, 2), (0,)]))])
    kw = {"interpolation": r.choice(["linear", "lower", "higher", "midpoint", "nearest", "cubic", 3])}
    if r.random() < 0.6:
        kw["dim"] = r.choice([None, p.int_arg()])
    return [q], kw


def g_shifts(p):
    r = p.rng
    return [r.choice([p.int_arg(), tuple(p.dims()), 2 ** 63 - 1])], ({"dims": g_axes(p)} if r.random() < 0.7 else {})


def g_ints(count):
    return lambda p: (p.dims(count), {})


def g_other_tensor(p):
    return [p.tensor() if p.rng.random() < 0.9 else p.hostile()], {}


def g_diff(p):
    r = p.rng
    kw = {"n": r.choice([0, 1, 2, 5, -1, 2 ** 40]), "dim": p.int_arg()}
    if r.random() < 0.3:
        kw[r.choice(["prepend", "append"])] = r.choice([p.tensor(), 1.0, "x"])
    return [], kw


def g_einsum(p):
    r = p.rng
    eq = r.choice(["ij,jk->ik", "bij,bjk->bik", "ii->i", "...ij,...jk", "i,i", "ij", "ij->ji", "i,j->ij",
                   "ab,bc,cd->ad", "...", "->", "i..j", "ij,jk->ikz", "iiii", "", "A...a,a...->A", 5])
    return [eq] + [p.tensor() for _ in range(r.choice([0, 1, 2, 3]))], {}


def g_tensordot(p):
    r = p.rng
    dims = r.choice([0, 1, 2, 3, -1, ([0], [1]), ([1, 0], [0, 1]), ([0, 0], [1, 1]), "x", ([0],)])
    return [p.tensor(), p.tensor(), dims], {}


def g_cdist(p):
    r = p.rng
    shapes = [(2, 3), (4, 3), (2, 2, 3), (0, 3), (3,), (1, 0)]
    return [p.tensor(r.choice(shapes)), p.tensor(r.choice(shapes)),
            r.choice([0, 1, 2, 3.5, math.inf, -1, math.nan, "x"])], {}


def g_tensors(p):
    r = p.rng
    base = r.choice(SHAPES)
    return [p.tensor(base) if r.random() < 0.7 else p.tensor() for _ in range(r.choice([0, 1, 2, 3]))], {}


def g_trapezoid(p):
    r = p.rng
    kw = {"dim": p.int_arg()} if r.random() < 0.5 else {}
    if r.random() < 0.3:
        kw["dx"] = r.choice([0.5, -1, math.inf, "x"])
    return [p.tensor()] + ([p.tensor()] if r.random() < 0.4 else []), kw


EXTRA_METHOD_FAMILIES = {
    "amax": g_axes_keepdim, "amin": g_axes_keepdim, "nansum": g_axes_keepdim, "nanmean": g_axes_keepdim,
    "logsumexp": g_axes_keepdim, "any": g_axes_keepdim, "all": g_axes_keepdim, "count_nonzero": g_axes_keepdim,
    "aminmax": g_axes_keepdim, "median": g_axes_keepdim, "cumsum": g_scan, "cumprod": g_scan, "cummax": g_scan,
    "cummin": g_scan, "sort": g_sort, "argsort": g_sort, "topk": g_k_dim, "kthvalue": g_k_dim,
    "quantile": g_quantile, "unique": lambda p: ([], {"return_inverse": True, "return_counts": p.rng.random() < 0.5,
                                                      "dim": p.rng.choice([None, None, 0])}),
    "diff": g_diff, "dist": lambda p: ([p.tensor(), p.rng.choice([1, 2, 0, math.inf, 0.5, "x"])], {}),
    "flip": lambda p: (p.dims(), {}), "roll": g_shifts, "rot90": lambda p: ([p.int_arg(), tuple(p.dims())], {}),
    "tril": g_scan, "triu": g_scan, "diag": g_scan, "diag_embed": g_ints(3), "diagonal": g_ints(3),
    "outer": g_other_tensor, "ger": g_other_tensor, "kron": g_other_tensor, "movedim": g_ints(2),
    "moveaxis": g_ints(2), "swapaxes": g_ints(2), "swapdims": g_ints(2), "narrow": g_ints(3),
    "tile": lambda p: ([tuple(p.dims())], {}), "unbind": g_scan, "unflatten": lambda p: ([p.int_arg(), tuple(p.dims())], {}),
    "view_as": g_other_tensor, "reshape_as": g_other_tensor, "expand_as": g_other_tensor,
    "broadcast_to": lambda p: ([tuple(p.sizes()[0])], {}),
}
METHOD_FAMILIES.update(EXTRA_METHOD_FAMILIES)
# Module forms take the tensor first.
EXTRA_MODULE_FAMILIES = {name: with_input(gen) for name, gen in EXTRA_METHOD_FAMILIES.items()
                         if name not in ("view_as", "reshape_as", "expand_as")}
EXTRA_MODULE_FAMILIES.update({
    "complex": lambda p: ([p.tensor(), p.tensor()], {}), "view_as_real": lambda p: ([p.tensor()], {}),
    "view_as_complex": lambda p: ([p.tensor(p.rng.choice([(2,), (3, 2), (0, 2), (2, 3)]))], {}),
    "polar": lambda p: ([p.tensor(), p.tensor()], {}), "conj": with_input(g_none),
    "conj_physical": with_input(g_none), "resolve_conj": with_input(g_none), "resolve_neg": with_input(g_none),
    "is_conj": with_input(g_none),
    "einsum": g_einsum, "tensordot": g_tensordot, "cdist": g_cdist, "meshgrid": g_tensors,
    "broadcast_tensors": g_tensors, "atleast_1d": g_tensors, "atleast_2d": g_tensors, "atleast_3d": g_tensors,
    "hstack": lambda p: ([g_tensors(p)[0]], {}), "vstack": lambda p: ([g_tensors(p)[0]], {}),
    "column_stack": lambda p: ([g_tensors(p)[0]], {}), "trapezoid": g_trapezoid, "cumulative_trapezoid": g_trapezoid,
    "std_mean": with_input(g_axes_keepdim), "var_mean": with_input(g_axes_keepdim),
    "vander": lambda p: ([p.tensor(), p.rng.choice([None, 0, 3, -1, 2 ** 40])], {}),
    "flatten": with_input(g_flatten), "t": with_input(g_none), "trace": with_input(g_none),
    "fliplr": with_input(g_none), "flipud": with_input(g_none),
})


# -- the integer and index tools: scatter family, counting, searching -------------------------

def g_src(p):
    return p.rng.choice([lambda: p.tensor(), lambda: p.tensor((2, 3)), lambda: p.tensor((3,)),
                         lambda: p.tensor(()), lambda: p.rng.choice(SPECIALS), lambda: p.hostile()])()


def g_scatter_index(p):
    r = p.rng
    return r.choice([lambda: torch.tensor([[0, 1, 0], [1, 0, 2]]), lambda: torch.tensor([[2]]),
                     lambda: torch.tensor([[-1, 0]]), lambda: torch.tensor([[3, 0]]), lambda: torch.zeros(2, 3, dtype=torch.long),
                     lambda: g_index_tensor(p)])()


def g_index_add(p):
    kw = {"alpha": p.rng.choice([1, 2.5, -1, math.nan, "x", True])} if p.rng.random() < 0.3 else {}
    return [p.rng.choice(SMALL_INTS), g_index_tensor(p), g_src(p)], kw


def g_scatter(p):
    r = p.rng
    kw = {}
    if r.random() < 0.3:
        kw["reduce"] = r.choice(["add", "multiply", "x", None, 3])
    if r.random() < 0.2:
        kw["value"] = r.choice(SPECIALS + ["x"])
    return [r.choice(SMALL_INTS), g_scatter_index(p)] + ([g_src(p)] if r.random() < 0.9 else []), kw


def g_scatter_reduce(p):
    r = p.rng
    kw = {"include_self": r.choice([True, False, None, "x"])} if r.random() < 0.5 else {}
    return [r.choice(SMALL_INTS), g_scatter_index(p), g_src(p),
            r.choice(["sum", "prod", "mean", "amax", "amin", "max", 3])], kw


def g_index_put(p):
    r = p.rng
    indices = r.choice([lambda: (g_index_tensor(p),), lambda: (g_index_tensor(p), g_index_tensor(p)),
                        lambda: (g_mask(p),), lambda: [], lambda: g_index_tensor(p), lambda: p.hostile()])()
    return [indices, g_src(p)] + ([r.choice([True, False, "x"])] if r.random() < 0.5 else []), {}


def g_put(p):
    return [g_index_tensor(p), g_src(p)] + ([p.rng.choice([True, False])] if p.rng.random() < 0.5 else []), {}


def g_take_along_dim(p):
    return [g_scatter_index(p)] + ([p.rng.choice(SMALL_INTS + [None])] if p.rng.random() < 0.7 else []), {}


def g_histc(p):
    r = p.rng
    return [r.choice([1, 3, 0, -1, 2 ** 40, "x"]), r.choice([0, -1.0, math.nan, math.inf]),
            r.choice([0, 2.0, -3.0, math.inf])][:r.randrange(4)], {}


def g_histogram(p):
    r = p.rng
    kw = {}
    if r.random() < 0.4:
        kw["range"] = r.choice([(0.0, 1.0), (1.0, 0.0), (math.nan, 1.0), (0.0, math.inf), "x", (1,)])
    if r.random() < 0.3:
        kw["weight"] = g_src(p)
    if r.random() < 0.3:
        kw["density"] = r.choice([True, False])
    return [r.choice([3, 1, 0, -2, 2 ** 40, p.tensor((4,)), p.tensor(), "x"])], kw


def g_searchsorted(p):
    r = p.rng
    kw = {}
    for key, choices in (("right", [True, False]), ("side", ["left", "right", "x", None]),
                         ("out_int32", [True, False]), ("sorter", [torch.tensor([0, 1, 2]), g_index_tensor(p)])):
        if r.random() < 0.3:
            kw[key] = r.choice(choices)
    return [p.tensor(), p.rng.choice([p.tensor(), 1.5, math.nan, p.hostile()])], kw


def g_bincount(p):
    r = p.rng
    kw = {"minlength": r.choice([0, 3, -1, 2 ** 40, "x"])} if r.random() < 0.3 else {}
    return [g_index_tensor(p)] + ([g_src(p)] if r.random() < 0.5 else []), kw


def g_tri_indices(p):
    r = p.rng
    return [r.choice([0, 3, -1, 2 ** 20]), r.choice([0, 4, -2]), r.choice(SMALL_INTS)][:r.randrange(1, 4)], {}


INDEX_METHOD_FAMILIES = {
    "index_add": g_index_add, "index_add_": g_index_add, "index_copy": g_index_add, "index_copy_": g_index_add,
    "index_fill": g_index_add, "index_fill_": g_index_add, "index_put": g_index_put, "index_put_": g_index_put,
    "put": g_put, "put_": g_put, "masked_scatter": lambda p: ([g_mask(p), g_src(p)], {}),
    "masked_scatter_": lambda p: ([g_mask(p), g_src(p)], {}), "scatter": g_scatter, "scatter_": g_scatter,
    "scatter_add": g_scatter, "scatter_add_": g_scatter, "scatter_reduce": g_scatter_reduce,
    "scatter_reduce_": g_scatter_reduce, "take_along_dim": g_take_along_dim, "histc": g_histc,
    "histogram": g_histogram, "long": g_none, "int": g_none, "bool": g_none,
}
METHOD_FAMILIES.update(INDEX_METHOD_FAMILIES)
EXTRA_MODULE_FAMILIES.update({name: with_input(gen) for name, gen in INDEX_METHOD_FAMILIES.items()
                              if not name.endswith("_") and name not in ("long", "int", "bool")})
EXTRA_MODULE_FAMILIES.update({
    "searchsorted": g_searchsorted, "bucketize": lambda p: (g_searchsorted(p)[0][::-1], {}),
    "bincount": g_bincount, "tril_indices": g_tri_indices, "triu_indices": g_tri_indices,
    "combinations": lambda p: ([p.tensor()] + [p.rng.choice([0, 1, 2, 3, -1, 40, "x"])][:p.rng.randrange(2)],
                               {"with_replacement": p.rng.choice([True, False])} if p.rng.random() < 0.5 else {}),
    "cartesian_prod": g_tensors,
})
# -- the accurate element functions (limbs/elem/accurate_functions.h) -------------------------
# Module functions and torch.special names among the drop-in names; the Tensor
# methods are found with the other members.

# The declared element-wise functions (csrc/ops/pointwise.def) come from the
# module's own list; the defined names among them are in __all__.
DECLARED = [(name, arity) for name, arity, module_function, *_ in zel._pointwise_ops
            if module_function and name not in zel.__all__]
MATH_UNARY = [name for name, arity in DECLARED if arity == 1] + ["signbit", "reciprocal"]
MATH_BINARY = [name for name, arity in DECLARED if arity == 2] + ["float_power", "pow", "equal", "clamp_min",
                                                                   "clamp_max"]


def g_math_close(p):
    r = p.rng
    kw = {}
    for k, vals in (("rtol", [0.0, 1e-5, -1.0, math.nan, math.inf, "x", None]),
                    ("atol", [0.0, 1e-8, -1e-3, math.inf, "x"]), ("equal_nan", [True, False, 0, None, "x"])):
        if r.random() < 0.4:
            kw[k] = r.choice(vals)
    return [p.number_or_tensor()], kw


def g_math_three(p):
    return [p.number_or_tensor(), p.number_or_tensor()], {}


def g_math_addc(p):
    kw = {"value": p.rng.choice([1, 0.5, -2, math.nan, math.inf, "x", None])} if p.rng.random() < 0.5 else {}
    return [p.number_or_tensor(), p.number_or_tensor()], kw


def g_math_logit(p):
    return ([p.rng.choice([None, 0.0, 1e-6, 0.5, 2.0, -1.0, math.nan, "x"])] if p.rng.random() < 0.7 else []), {}


def g_math_nan_to_num(p):
    r = p.rng
    vals = [None, 0.0, 1.0, -1e308, math.nan, math.inf, 3, "x"]
    return [], {k: r.choice(vals) for k in r.sample(["nan", "posinf", "neginf"], r.randrange(4))}


def g_math_clip(p):
    r = p.rng
    vals = [None, 0.0, -1.0, math.nan, 2, "x", p.tensor(), p.tensor()]
    return [], {k: r.choice(vals) for k in r.sample(["min", "max"], r.randrange(3))}


MATH_FAMILIES = {name: g_binary for name in MATH_BINARY}
MATH_FAMILIES.update({"isclose": g_math_close, "allclose": g_math_close, "lerp": g_math_three,
                      "addcmul": g_math_addc, "addcdiv": g_math_addc, "logit": g_math_logit,
                      "nan_to_num": g_math_nan_to_num, "clip": g_math_clip})
METHOD_FAMILIES.update(MATH_FAMILIES)

DROPIN_FUNCTIONS.update({name: with_input(MATH_FAMILIES.get(name, g_none))
                         for name in MATH_UNARY + sorted(MATH_FAMILIES)})
DROPIN_FUNCTIONS.update({f"special.{name}": with_input(MATH_FAMILIES.get(name, g_none))
                         for name in vars(zel.special)})
# -- the zel.special functions (_special.py) ----------------------------------------------


def g_order(p):
    """polygamma's n (first) or mvlgamma's p: small orders, negative, huge and non-int ones."""
    return p.rng.choice([0, 1, 2, 3, 5, 30, -1, 10 ** 6, 2 ** 63, 1.5, True, None, "x", p.tensor()])


def g_polygamma(p):
    return [g_order(p), p.tensor()], {}


SPECIAL_FAMILIES = {"special.polygamma": g_polygamma, "polygamma": g_polygamma,
                    "special.multigammaln": with_input(lambda p: ([g_order(p)], {})),
                    "mvlgamma": with_input(lambda p: ([g_order(p)], {})),
                    "special.zeta": lambda p: ([p.number_or_tensor(), p.number_or_tensor()], {}),
                    "special.xlog1py": lambda p: ([p.number_or_tensor(), p.number_or_tensor()], {}),
                    "special.gammainc": lambda p: ([p.number_or_tensor(), p.number_or_tensor()], {}),
                    "special.gammaincc": lambda p: ([p.number_or_tensor(), p.number_or_tensor()], {})}
SPECIAL_FAMILIES.update({f"special.{kind}_polynomial_{letter}": lambda p: (
    [p.number_or_tensor(), p.rng.choice([0, 1, 3, 12, -2, 2.5, 10 ** 9, math.nan, math.inf, p.tensor(), "x", None])], {})
    for kind, letters in (("chebyshev", "tuvw"), ("hermite", ["h", "he"]), ("laguerre", "l"), ("legendre", "p"))
    for letter in letters})
SPECIAL_FAMILIES.update({"special.softmax": with_input(g_one_dim), "special.log_softmax": with_input(g_one_dim),
                         "special.logsumexp": with_input(g_dim_keepdim), "special.round": with_input(g_round)})
DROPIN_FUNCTIONS.update(SPECIAL_FAMILIES)
DROPIN_FUNCTIONS.update({name: with_input(g_none) for name in ("lgamma", "digamma", "erfinv", "i0")})
METHOD_FAMILIES.update({"polygamma": lambda p: ([g_order(p)], {}), "mvlgamma": lambda p: ([g_order(p)], {})})
# -- zel.linalg and the top-level linear algebra ------------------------------------

def g_linalg_matrix(p):
    """A matrix as g_tarsk_matrix gives, or a batch of them; now and then complex
    (the complex kernels)."""
    r = p.rng
    if r.random() < 0.25:
        m = p.tensor(r.choice([(2, 3, 3), (3, 2, 2), (2, 1, 3, 3), (0, 2, 2), (2, 2, 3), (1, 0, 0)]))
    else:
        m = p.matrix()
    return as_complex_now_and_then(p, m)


def as_complex_now_and_then(p, m):
    if p.rng.random() < 0.25 and isinstance(m, zel.Tensor) and not m.is_complex():
        try:
            return zel.complex(m, m * p.rng.choice([0.0, 0.5, -3.0]))
        except (TypeError, ValueError, RuntimeError):
            pass
    return m


def g_linalg_rhs(p):
    r = p.rng
    a = g_linalg_matrix(p)
    shape = a._shape if isinstance(a._shape, tuple) else ()
    n = shape[-1] if shape else 0
    b = r.choice([lambda: p.tensor((n,)), lambda: p.tensor((n, 2)), lambda: p.tensor((2, n)),
                  lambda: p.tensor(tuple(shape[:-1])), lambda: p.tensor((3, n, 1)), lambda: p.tensor(()),
                  lambda: p.tensor((n + 1, 1)), lambda: p.hostile()])()
    return [a, as_complex_now_and_then(p, b)], {}


def linalg_flags(*names):
    def gen(p):
        args, kw = g_linalg_rhs(p) if names and names[0] == "rhs" else ([g_linalg_matrix(p)], {})
        for name in names[1:] if names and names[0] == "rhs" else names:
            if p.rng.random() < 0.5:
                kw[name] = p.rng.choice([True, False, None, "x", 0, 1])
        return args, kw
    return gen


def g_linalg_choice(name, choices):
    def gen(p):
        kw = {name: p.rng.choice(choices + [p.hostile()])} if p.rng.random() < 0.7 else {}
        return [g_linalg_matrix(p)], kw
    return gen


def g_linalg_norm(p):
    r = p.rng
    kw = {}
    if r.random() < 0.7:
        kw["ord"] = r.choice([None, 1, 2, -1, -2, 0, 3, 0.5, math.inf, -math.inf, math.nan, "fro", "nuc", "x", 2 ** 64])
    if r.random() < 0.5:
        kw["dim"] = r.choice([None, 0, -1, 5, (0, 1), (1, 0), (0, 0), (-2, -1), (0, 1, 2), [0], (), p.int_arg()])
    if r.random() < 0.3:
        kw["keepdim"] = r.choice([True, False, None, "x"])
    return [g_linalg_matrix(p) if r.random() < 0.6 else p.tensor()], kw


def g_linalg_tolerances(p):
    r = p.rng
    kw = {}
    for name in ("atol", "rtol", "hermitian"):
        if r.random() < 0.4:
            kw[name] = r.choice([None, 0.0, 1e-10, -1.0, math.nan, math.inf, "x", True, p.tensor(())])
    return [g_linalg_matrix(p)], kw


def g_linalg_power(p):
    return [g_linalg_matrix(p), p.int_arg()], {}


def g_linalg_lu_solve(p):
    r = p.rng
    a = g_linalg_matrix(p)
    shape = a._shape if isinstance(a._shape, tuple) else ()
    n = shape[-1] if shape else 0
    pivots = r.choice([
        lambda: torch.arange(1, n + 1, dtype=torch.int32).expand(*shape[:-2], n).contiguous() if len(shape) >= 2
        else torch.ones(n, dtype=torch.int32),
        lambda: torch.full((max(n, 1),), n + 5, dtype=torch.int32), lambda: torch.zeros(n, dtype=torch.int32),
        lambda: torch.full((n,), -(2 ** 31), dtype=torch.int32), lambda: torch.ones(n, dtype=torch.int64),
        lambda: torch.ones(n + 1, dtype=torch.int32), lambda: p.hostile()])()
    b = r.choice([lambda: p.tensor((n, 2)), lambda: p.tensor((2, n)), lambda: p.tensor((n,)), lambda: p.hostile()])()
    kw = {k: r.choice([True, False]) for k in ("left", "adjoint") if r.random() < 0.5}
    return [a, pivots, b], kw


def g_linalg_vectors(p):
    r = p.rng
    shapes = [(3,), (2, 3), (3, 3), (1, 3), (4,), (2, 1, 3), (), (0, 3)]
    kw = {"dim": r.choice([-1, 0, 1, 2, -4, 2 ** 63, "x"])} if r.random() < 0.4 else {}
    return [p.tensor(r.choice(shapes)), p.tensor(r.choice(shapes))], kw


def g_linalg_chain(p):
    r = p.rng
    shapes = [(3,), (3, 4), (4, 2), (2,), (2, 2), (0, 3), (3, 0), (2, 2, 2), ()]
    return [r.choice([[p.tensor(r.choice(shapes)) for _ in range(r.randrange(5))], p.hostile()])], {}


LINALG_FAMILIES = {
    "solve": linalg_flags("rhs", "left"), "inv": linalg_flags(), "det": linalg_flags(),
    "slogdet": linalg_flags(), "cholesky": linalg_flags("upper"),
    "qr": g_linalg_choice("mode", ["reduced", "complete", "r", "R", ""]),
    "eigh": g_linalg_choice("UPLO", ["L", "U", "l", "x"]), "eigvalsh": g_linalg_choice("UPLO", ["L", "U", "x"]),
    "eig": linalg_flags(), "eigvals": linalg_flags(), "svd": linalg_flags("full_matrices"), "svdvals": linalg_flags(),
    "lstsq": lambda p: (g_linalg_rhs(p)[0], {"driver": p.rng.choice([None, "gels", "gelsy", "gelsd", "gelss", "x", 1])}
                        if p.rng.random() < 0.5 else {}),
    "norm": g_linalg_norm, "vector_norm": g_linalg_norm, "matrix_norm": g_linalg_norm,
    "cond": g_linalg_choice("p", [None, 1, 2, -1, -2, math.inf, -math.inf, "fro", "nuc", "x", 0, 2 ** 64]),
    "matrix_rank": g_linalg_tolerances, "pinv": g_linalg_tolerances, "matrix_exp": linalg_flags(),
    "matrix_power": g_linalg_power, "solve_triangular": linalg_flags("rhs", "upper", "left", "unitriangular"),
    "lu_factor": linalg_flags("pivot"), "lu": linalg_flags("pivot"), "lu_solve": g_linalg_lu_solve,
    "cross": g_linalg_vectors, "vecdot": g_linalg_vectors, "multi_dot": g_linalg_chain,
}
TOP_LEVEL_LINALG = {"cholesky_solve": linalg_flags("rhs", "upper"), "det": linalg_flags(),
                    "logdet": linalg_flags(), "inverse": linalg_flags()}


def linalg_targets():
    found = []
    for name, gen in sorted(LINALG_FAMILIES.items()):
        found.append((f"zel.linalg.{name}", "function", name, getattr(zel.linalg, name), gen))
    for name, gen in sorted(TOP_LEVEL_LINALG.items()):
        found.append((f"zel.{name}", "function", name, getattr(zel, name), gen))
    return found
# -- operator syntax: Tensor's direct + - * / slots, either operand first -----

SYNTAX_OPERATORS = [operator.add, operator.sub, operator.mul, operator.truediv]


def hostile_graph(p):
    """A random graph over tracked tensors, then one hostile use of it: a
    non-scalar or mis-shaped gradient, a second or double backward, hooks
    that raise, a saved tensor changed in place, backward from two threads."""
    r = p.rng
    leaves = [p.tracked_tensor() for _ in range(r.randrange(1, 4))]
    x = leaves[0]
    for _ in range(r.randrange(1, 5)):
        other = r.choice(leaves + [2.5, p.good_tensor()])
        x = r.choice([lambda: x * other, lambda: x + other, lambda: x / other, lambda: x.exp(),
                      lambda: x.sin(), lambda: x.sum(), lambda: x.reshape(-1)[:1], lambda: x ** 2,
                      lambda: x.atan(), lambda: x @ x if x.ndim else x * x])()
    k = r.randrange(8)
    if k == 0:
        x.backward(r.choice([None, p.hostile(), p.tensor(tuple(x.shape))]))
    elif k == 1:
        x.sum().backward(retain_graph=r.random() < 0.5)
        x.sum().backward()
    elif k == 2:
        g = zel.autograd.grad(x.sum(), leaves, create_graph=True, allow_unused=True)
        zel.autograd.grad(sum(t.sum() for t in g if t is not None), leaves, allow_unused=r.random() < 0.5)
    elif k == 3:
        def boom(g):
            raise ValueError("hook")
        r.choice(leaves + [x]).register_hook(boom)
        x.sum().backward()
    elif k == 4:
        with zel.no_grad():
            for t in leaves:
                t.mul_(2.0)
        x.sum().backward()
    elif k == 5:
        import threading
        y = x.sum()
        errors = []
        threads = [threading.Thread(target=lambda: errors.append(y.backward(retain_graph=True))) for _ in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    elif k == 6:
        zel.autograd.backward([x.sum(), x.sum()], [p.hostile(), None], inputs=r.choice([None, leaves, [x], []]))
    else:
        x.retain_grad()
        x.sum().backward(inputs=r.choice([leaves, leaves[:1]]))
    return [t.grad for t in leaves]
hostile_graph.__name__ = "hostile_graph"


def native_engine(p):
    """The C++ engine and native nodes called directly with hostile roots,
    gradients and flags, and graphs recorded with native nodes switched off
    and on in between."""
    r = p.rng
    x = p.tracked_tensor()
    y = r.choice([lambda: x * x - 2.5, lambda: (1.0 / (x + 3.0)) * x, lambda: -x * x.exp(), lambda: x])()
    node = y.grad_fn
    k = r.randrange(5)
    if k == 0:
        roots = r.choice([[(node, 0)], [(node, r.choice([0, 1, -1]))], [node], [(p.hostile(), 0)], [(None, 0)], []])
        grads = r.choice([[zel.ones_like(y)], [p.hostile()], [], [None], [zel.ones_like(y)] * 2])
        return zel._run_graph(roots, grads, r.random() < 0.5)
    if k == 1 and node is not None:
        grads = r.choice([(zel.ones_like(y),), (p.hostile(),), (), (None,), p.hostile()])
        return node.apply(grads, r.random() < 0.5)
    if k == 2:
        was = zel._native_graph(r.random() < 0.5)
        try:
            z = (x * 2.0 - x) / 3.0
        finally:
            zel._native_graph(was)
        return zel.autograd.grad(z.sum() * y.sum(), [x], allow_unused=True)
    if k == 3 and node is not None:
        node._hooks = r.choice([(), [], p.hostile()])
        node._tensor_hooks = r.choice([None, {}, p.hostile()])
        return y.sum().backward()
    return y.sum().backward(retain_graph=r.random() < 0.5), node and node.next_functions
native_engine.__name__ = "native_engine"


def hostile_transforms(p):
    """A function transform, autograd.functional or gradcheck on a random
    function of hostile tensors."""
    r = p.rng
    fns = [lambda v: v.sum(), lambda v: (v * v).exp(), lambda v: v, lambda v: 3.0, lambda v: (v, v.sin()),
           lambda v: v.reshape(-1)[0] if v.numel else v.sum(), lambda v: v.cumprod(0) if v.ndim else v]
    fn = r.choice(fns)
    x = r.choice([p.tensor(), p.tracked_tensor(), p.hostile()])
    F = zel.autograd.functional
    k = r.randrange(12)
    if k == 0:
        return zel.func.grad(fn, argnums=r.choice([0, 1, (0,), -1, "x"]))(x)
    if k == 1:
        return zel.func.vjp(fn, x)[1](r.choice([p.tensor(), x, None]))
    if k == 2:
        return zel.func.jvp(fn, (x,), (r.choice([p.tensor(), x]),))
    if k == 3:
        return zel.func.jacrev(fn)(x)
    if k == 4:
        return zel.func.hessian(fn)(x)
    if k == 5:
        return zel.func.vmap(fn, in_dims=r.choice([0, 1, None, (0,)]))(x)
    if k == 6:
        return F.jacobian(fn, x, create_graph=r.random() < 0.5, strict=r.random() < 0.5)
    if k == 7:
        return F.hessian(fn, x)
    if k == 8:
        return r.choice([F.vjp, F.jvp, F.hvp, F.vhp])(fn, x, r.choice([None, p.tensor(), x]))
    if k == 9:
        return zel.autograd.gradcheck(fn, (x,), eps=r.choice([1e-6, 0.0, -1.0, math.nan]))
    if k == 10:
        return zel.autograd.gradgradcheck(fn, (x,))
    return zel.func.grad_and_value(fn, has_aux=r.random() < 0.5)(x)


class _Square(zel.autograd.Function):
    @staticmethod
    def forward(ctx, x, *rest):
        ctx.save_for_backward(x)
        return x * x

    @staticmethod
    def backward(ctx, grad):
        x, = ctx.saved_tensors
        return grad * 2.0 * x


def custom_function(p):
    y = _Square.apply(p.tensor(), *([p.hostile()] if p.rng.random() < 0.3 else []))
    if isinstance(y, Tensor) and y.requires_grad:
        y.sum().backward(create_graph=p.rng.random() < 0.3)
    return y


def g_syntax(p):
    pair = [p.tensor(), p.number_or_tensor()]
    p.rng.shuffle(pair)
    return pair, {}


# The functional operator names, the compositions and the masked namespace:
# a tensor, then another operand or hostile arguments.
_BINARY_NAMES = ("add sub subtract mul multiply div divide true_divide floor_divide rsub eq ne lt le gt ge "
                 "greater greater_equal less less_equal not_equal logical_and logical_or logical_xor inner vdot "
                 "heaviside").split()
_UNARY_NAMES = ("logical_not isposinf isneginf ravel msort zero_ logcumsumexp mode nanmedian cov corrcoef "
                "diagflat block_diag dstack is_floating_point is_complex unique_consecutive").split()
_GENERIC_NAMES = ("addmm addmv addbmm baddbmm addr split_with_sizes tensor_split hsplit vsplit dsplit "
                  "repeat_interleave nanquantile svd pinverse triangular_solve cholesky iinfo qr cross lu lu_unpack "
                  "lu_solve cholesky_inverse symeig geqrf orgqr ormqr svd_lowrank pca_lowrank").split()
def g_lowrank(p):
    """A tensor, then a rank and an iteration count of sane size (niter = 2^62 is a long run, not a fault)."""
    r = p.rng
    kw = {}
    if r.random() < 0.5:
        kw["q"] = r.choice([None, 0, 1, 2, 6, -1, 2.5, p.hostile()])
    if r.random() < 0.5:
        kw["niter"] = r.choice([0, 1, 2, 3, -1, None, "x"])
    if r.random() < 0.2:
        kw[r.choice(["M", "center"])] = r.choice([p.tensor(), True, p.hostile()])
    return [p.tensor()], kw


DROPIN_FUNCTIONS["svd_lowrank"] = DROPIN_FUNCTIONS["pca_lowrank"] = g_lowrank


def g_precision(p):
    return [p.rng.choice(["full", "defined", "full", p.hostile()])], {}


for _name in ("set_function_precision", "function_precision"):
    DROPIN_FUNCTIONS.setdefault(_name, g_precision)
DROPIN_FUNCTIONS.setdefault("get_function_precision", g_none)
for _name in ("result_type", "promote_types", "can_cast"):
    DROPIN_FUNCTIONS.setdefault(_name, lambda p: ([p.rng.choice([p.hostile(), p.tensor(), "float64", torch.int32])
                                                   for _ in range(p.rng.choice([1, 2, 2, 3]))], {}))
for _name in _BINARY_NAMES:
    DROPIN_FUNCTIONS.setdefault(_name, with_input(g_binary))
for _name in _UNARY_NAMES:
    DROPIN_FUNCTIONS.setdefault(_name, with_input(g_none))
for _name in _GENERIC_NAMES:
    DROPIN_FUNCTIONS.setdefault(_name, with_input(g_generic))
for _name in ("inv_ex", "cholesky_ex", "solve_ex", "lu_factor_ex", "tensorinv", "tensorsolve", "householder_product",
              "ldl_factor_ex", "ldl_factor", "ldl_solve", "vander", "diagonal", "matrix_sqrth"):
    DROPIN_FUNCTIONS.setdefault("linalg." + _name, with_input(g_generic))
# Strided views as copies, sampling and numeric helpers: a tensor, then hostile arguments.
_INPUT_FIRST_NAMES = ("as_strided as_strided_scatter select select_scatter slice_scatter diagonal_scatter narrow_copy "
                      "constant_pad_nd argwhere nonzero_static fill unsafe_chunk unsafe_split alias_copy "
                      "as_strided_copy diagonal_copy expand_copy permute_copy squeeze_copy t_copy transpose_copy "
                      "unbind_copy unfold_copy unsqueeze_copy view_copy split_copy split_with_sizes_copy detach_copy "
                      "values_copy resize_as_ rand_like randn_like randint_like bernoulli multinomial frexp ldexp "
                      "hash_tensor isin renorm gradient trapz histogramdd index_reduce segment_reduce").split()
for _name in _INPUT_FIRST_NAMES:
    DROPIN_FUNCTIONS.setdefault(_name, with_input(g_generic))
for _name in ("scalar_tensor", "empty_strided", "empty_permuted", "randint", "normal"):
    DROPIN_FUNCTIONS.setdefault(_name, g_generic)


def g_window(p):
    r = p.rng
    m = r.choice([0, 1, 2, 3, 7, 64, -1, p.int_arg(), p.hostile()])
    kw = {}
    for key in ("sym", "beta", "std", "tau", "center", "alpha", "a", "dtype", "layout", "requires_grad"):
        if r.random() < 0.15:
            kw[key] = r.choice([p.hostile(), 0.5, -1.0, 0.0, math.inf, [0.5, 0.5], True])
    return [m], kw


for _name in zel.signal.windows.__all__:
    DROPIN_FUNCTIONS.setdefault("signal.windows." + _name, g_window)
for _name in vars(zel.masked):
    if not _name.startswith("_"):
        DROPIN_FUNCTIONS.setdefault("masked." + _name, lambda p: ([p.tensor()] + [p.hostile() for _ in range(
            p.rng.choice([0, 1, 2]))], {"mask": p.rng.choice([None, g_mask(p), p.hostile()])}))


def g_fft_input(p):
    r = p.rng
    if r.random() < 0.5:
        return zel.view_as_complex(p.good_tensor(r.choice(SHAPES) + (2,)))
    return p.tensor()


def g_fft_common(p, kw):
    r = p.rng
    if r.random() < 0.4:
        kw["norm"] = r.choice([None, "backward", "ortho", "forward", "Ortho", p.hostile()])
    if r.random() < 0.1:
        kw["out"] = r.choice([p.tensor(), g_fft_input(p), p.hostile()])
    return [g_fft_input(p)], kw


def g_fft_one(p):
    r = p.rng
    kw = {}
    if r.random() < 0.5:
        kw["n"] = r.choice([None, 1, 2, 3, 5, 8, p.int_arg(), p.hostile()])
    if r.random() < 0.5:
        kw["dim"] = r.choice([-1, 0, 1, p.int_arg(), p.hostile()])
    return g_fft_common(p, kw)


def g_fft_many(p):
    r = p.rng
    kw = {}
    if r.random() < 0.5:
        kw["s"] = r.choice([None, (2, 3), (1,), (-1, 4), (0, 2), [5], p.int_arg(), g_axes(p), p.hostile()])
    if r.random() < 0.5:
        kw["dim"] = g_axes(p)
    return g_fft_common(p, kw)


def g_fft_frequencies(p):
    r = p.rng
    kw = {}
    for key, choices in (("dtype", [None, "float64", torch.float64, "complex128", p.hostile()]),
                         ("device", [None, "cpu", p.hostile()]), ("requires_grad", [True, False, p.hostile()]),
                         ("out", [p.tensor(), p.hostile()])):
        if r.random() < 0.15:
            kw[key] = r.choice(choices)
    args = [r.choice([0, 1, 2, 5, 16, p.int_arg(), p.hostile()])]
    if r.random() < 0.6:
        args.append(r.choice([1.0, 0.1, 0, -2, math.inf, math.nan, 10 ** 400, p.hostile()]))
    return args, kw


def g_fft_shift(p):
    return [g_fft_input(p)], ({"dim": g_axes(p)} if p.rng.random() < 0.7 else {})


for _name in zel.fft.__all__:
    DROPIN_FUNCTIONS.setdefault("fft." + _name, g_fft_frequencies if _name.endswith("freq") else
                                g_fft_shift if _name.endswith("shift") else
                                g_fft_many if _name[-1] in "2n" else g_fft_one)


def hostile_distribution(p):
    """A distribution of hostile parameters, then its methods on hostile values."""
    r = p.rng
    D = zel.distributions
    kinds = {"Normal": 2, "Uniform": 2, "Exponential": 1, "Laplace": 2, "Cauchy": 2, "LogNormal": 2,
             "Gamma": 2, "Beta": 2, "Chi2": 1, "StudentT": r.choice([1, 2, 3]), "Poisson": 1}
    name = r.choice(sorted(kinds) + ["Bernoulli", "Categorical", "Binomial", "MultivariateNormal"])
    # Rates and counts far beyond float64's integers: the samplers must stay O(1) per draw.
    wide = [1e6, 1e12, 1e17, 1e300, 0.5, 30.0, 1e-300, 2 ** 53 + 1.0]
    args = [r.choice([p.tensor(), p.number_or_tensor(), p.hostile(), r.choice(wide)])
            for _ in range(kinds.get(name, 0))]
    kw = {"validate_args": r.choice([None, True, False])}
    if name in ("Bernoulli", "Categorical", "Binomial"):
        kw[r.choice(["probs", "logits"])] = r.choice([p.tensor(), p.hostile(), r.random(), zel.tensor([0.0, 1.0])])
    if name == "Binomial" and r.random() < 0.8:
        args = [r.choice([p.tensor(), p.number_or_tensor(), r.choice(wide), 10, 0])]
    if name == "MultivariateNormal":
        n = r.choice([0, 1, 2, 3])
        args = [r.choice([p.tensor(), p.hostile(), zel.zeros(n), zel.zeros(2, n)])]
        spd = zel.eye(n) * 2.0 if n else zel.zeros(0, 0)
        mats = [p.tensor(), p.hostile(), spd, zel.full((n, n), math.nan), zel.eye(n) * -1.0, zel.zeros(3, n, n)]
        for key in r.sample(["covariance_matrix", "precision_matrix", "scale_tril"], r.choice([0, 1, 1, 1, 2])):
            kw[key] = r.choice(mats)
    d = getattr(D, name)(*args, **kw)
    method = r.choice(["log_prob", "cdf", "icdf", "entropy", "sample", "rsample", "mean", "variance", "expand",
                       "mode", "stddev"]
                      + {"Binomial": ["enumerate_support"] * 3,
                         "MultivariateNormal": ["covariance_matrix", "precision_matrix", "scale_tril"]}.get(name, []))
    if method in ("entropy",):
        return d.entropy()
    if method in ("mean", "variance", "mode", "stddev", "covariance_matrix", "precision_matrix", "scale_tril"):
        return getattr(d, method)
    if method == "enumerate_support":
        return d.enumerate_support(r.choice([True, False]))
    if method in ("sample", "rsample"):
        return getattr(d, method)(r.choice([(), (2,), (0, 3), p.hostile()]))
    if method == "expand":
        return d.expand(r.choice([(2,) + tuple(d.batch_shape), (3,), p.hostile()]))
    return getattr(d, method)(r.choice([p.tensor(), p.number_or_tensor(), p.hostile(), torch.tensor([0, 1]),
                                        zel.tensor([0.0, 3.0, 1e300])]))


def kl_of_hostile_pairs(p):
    D = zel.distributions
    r = p.rng
    kinds = {"Normal": 2, "Uniform": 2, "Exponential": 1, "Laplace": 2, "Cauchy": 2, "LogNormal": 2,
             "Gamma": 2, "Beta": 2, "Chi2": 1, "Poisson": 1, "Bernoulli": 1, "Binomial": 2,
             "MultivariateNormal": 2}
    values = [p.tensor(), 1.0, 0.5, 0.0, math.nan, math.inf, -1.0, 1e300, zel.tensor([0.2, 0.7])]

    def make(name):
        if name == "MultivariateNormal":
            n = r.choice([1, 2])
            return D.MultivariateNormal(r.choice([zel.zeros(n), p.tensor(), zel.zeros(3, n)]),
                                        scale_tril=r.choice([zel.eye(n), zel.eye(n) * 1e-300, p.tensor()]),
                                        validate_args=False)
        if name == "Binomial":
            return D.Binomial(r.choice([3.0, 5.0, zel.tensor([2.0, 4.0])]), r.choice(values), validate_args=False)
        return getattr(D, name)(*[r.choice(values) for _ in range(kinds[name])], validate_args=False)
    first = r.choice(sorted(kinds))
    second = first if r.random() < 0.5 else r.choice(sorted(kinds))
    return D.kl_divergence(make(first), make(second))


def _not_a_path(p, value):
    """A hostile value that names no file: the save/load targets must not touch the disk."""
    import os
    return None if isinstance(value, (str, bytes, os.PathLike)) else value


def g_save(p):
    r = p.rng
    obj = r.choice([lambda: p.tensor(), lambda: p.hostile(), lambda: {"a": [p.tensor(), (1, 2.5, None)]},
                    lambda: [p.tracked_tensor(), "s"], lambda: collections.OrderedDict(x=p.tensor())])()
    f = r.choice([lambda: __import__("io").BytesIO(), lambda: _not_a_path(p, p.hostile())])()
    kw = {"pickle_protocol": r.choice([2, 4, 5, 1, 99, "x", True])} if r.random() < 0.2 else {}
    return [obj, f], kw


def hostile_bytes(p):
    """Random bytes, truncated or corrupted zel.save output, or pickles of foreign globals."""
    import io
    import os
    import pickle
    r = p.rng
    buf = io.BytesIO()
    zel.save(r.choice([p.good_tensor(), {"a": [p.good_tensor(), 1.5]}, [None, "x"]]), buf)
    data = bytearray(buf.getvalue())
    kind = r.randrange(5)
    if kind == 0:
        return bytes(r.getrandbits(8) for _ in range(r.randrange(64)))
    if kind == 1:
        return bytes(data[:r.randrange(len(data) + 1)])
    if kind == 2:
        for _ in range(r.randrange(1, 6)):
            data[r.randrange(len(data))] = r.getrandbits(8)
        return bytes(data)
    if kind == 3:
        return pickle.dumps(("varnel.zel", 1, r.choice([os.getcwd, print, torch.ones(2), np.ones(2), len])))
    return bytes(data)


def g_load(p):
    import io
    r = p.rng
    f = io.BytesIO(hostile_bytes(p)) if r.random() < 0.85 else _not_a_path(p, p.hostile())
    kw = {}
    if r.random() < 0.2:
        kw[r.choice(["map_location", "weights_only", "bogus"])] = r.choice([None, "cpu", "cuda", False, True, 3])
    return [f], kw


def load_hostile_bytes(p):
    """zel.load of hostile bytes: returns what zel.save wrote, or raises UnpicklingError."""
    import io
    import pickle
    data = hostile_bytes(p)
    try:
        return zel.load(io.BytesIO(data))
    except pickle.UnpicklingError:
        return None


def save_load_round_trip(p):
    """What zel.save writes, zel.load gives back bit for bit (a difference raises SystemError: a failure)."""
    import io
    r = p.rng
    t = r.choice([p.good_tensor(), p.tracked_tensor()])
    obj = r.choice([t, [t, 1, "s"], {"k": (t, None)}, collections.OrderedDict(a=t)])
    buf = io.BytesIO()
    zel.save(obj, buf)
    buf.seek(0)
    back = zel.load(buf)
    u = back if isinstance(back, Tensor) else (back[0] if isinstance(back, list) else
                                               (back["k"][0] if "k" in back else back["a"]))
    if (u._shape != t._shape or u.requires_grad != t.requires_grad
            or u._data.numpy().tobytes() != t._data.contiguous().numpy().tobytes()):
        raise SystemError("zel.save/zel.load changed a tensor")
    return back


_OPTIMIZER_KWARGS = {
    "SGD": ["lr", "momentum", "dampening", "weight_decay", "nesterov", "maximize"],
    "Adam": ["lr", "betas", "eps", "weight_decay", "amsgrad", "maximize"],
    "AdamW": ["lr", "betas", "eps", "weight_decay", "amsgrad", "maximize"],
    "RMSprop": ["lr", "alpha", "eps", "weight_decay", "momentum", "centered", "maximize"],
    "Adagrad": ["lr", "lr_decay", "weight_decay", "initial_accumulator_value", "eps", "maximize"],
    "Adadelta": ["lr", "rho", "eps", "weight_decay", "maximize"],
    "Adamax": ["lr", "betas", "eps", "weight_decay", "maximize"],
    "NAdam": ["lr", "betas", "eps", "weight_decay", "momentum_decay"],
    "RAdam": ["lr", "betas", "eps", "weight_decay"],
    "LBFGS": ["lr", "max_iter", "max_eval", "tolerance_grad", "tolerance_change", "history_size",
              "line_search_fn"],
}


def hostile_optimizer(p):
    """An optimizer of hostile hyperparameters and parameters, stepped, its state saved and loaded,
    and a scheduler stepped over it."""
    r = p.rng

    def leaf():
        return p.tensor().detach().requires_grad_(True) if r.random() < 0.9 else p.tracked_tensor()
    name = r.choice(sorted(_OPTIMIZER_KWARGS))
    params = r.choice([lambda: [leaf()], lambda: [leaf(), leaf()],
                       lambda: [{"params": [leaf()], "lr": r.choice([0.1, -1.0, p.hostile()])}],
                       lambda: p.hostile(), lambda: [p.tensor()], lambda: []])()
    kw = {"lr": 0.01}
    for key in r.sample(_OPTIMIZER_KWARGS[name], r.randrange(3)):
        kw[key] = r.choice([p.hostile(), 0.0, 0.5, 0.99, 1.0, -1.0, math.nan, math.inf, 1e300, 3, True,
                            (0.9, 0.999), (1.5, 0.5), "strong_wolfe", None])
    for key in ("max_iter", "max_eval"):
        # Valid at any size, and NaN iterates stop only at max_iter: a long run, not a fault.
        if isinstance(kw.get(key), (int, float)) and not isinstance(kw[key], bool) and kw[key] > 50:
            kw[key] = 50
    opt = getattr(zel.optim, name)(params, **kw)
    tensors = [t for g in opt.param_groups for t in g["params"]]

    def closure():
        opt.zero_grad()
        loss = sum(((t * t).sum() for t in tensors), zel.tensor(0.0))
        if loss.requires_grad:
            loss.backward()
        return loss
    for _ in range(r.choice([1, 2, 3])):
        if name == "LBFGS" or r.random() < 0.3:
            opt.step(closure)
        else:
            closure()
            opt.step()
    sd = opt.state_dict()
    if r.random() < 0.3:
        sd = r.choice([p.hostile(), {"state": p.hostile(), "param_groups": sd["param_groups"]},
                       {"state": {}, "param_groups": [{"params": [0, 1, 2]}]}])
    opt.load_state_dict(sd)
    if r.random() < 0.5:
        S = zel.optim.lr_scheduler
        sched = r.choice([lambda: S.StepLR(opt, r.choice([1, 2, 0, p.hostile()])),
                          lambda: S.CosineAnnealingLR(opt, r.choice([1, 5, 0, p.hostile()])),
                          lambda: S.OneCycleLR(opt, max_lr=r.choice([0.1, p.hostile()]),
                                               total_steps=r.choice([3, 0, p.hostile()])),
                          lambda: S.LinearLR(opt, start_factor=r.choice([0.5, 0.0, p.hostile()])),
                          lambda: S.ReduceLROnPlateau(opt, patience=r.choice([0, 1, p.hostile()]))])()
        for _ in range(3):
            if isinstance(sched, S.ReduceLROnPlateau):
                sched.step(r.choice([1.0, math.nan, p.hostile(), p.tensor()]))
            else:
                sched.step()
    return tensors


_DISTRIBUTED_NAMES = ("all_reduce", "reduce", "broadcast", "all_gather", "all_gather_into_tensor", "reduce_scatter",
                      "reduce_scatter_tensor", "gather", "scatter", "send", "recv", "isend", "irecv", "barrier",
                      "get_rank", "get_world_size", "get_backend", "destroy_process_group", "new_group")


def hostile_distributed(p):
    """Each zel.distributed function with hostile arguments: without a process
    group every call raises; in a group of this process alone the arguments
    are checked and what passes runs (a reduction over one rank keeps the bytes)."""
    r = p.rng
    D = zel.distributed

    def arg():
        return r.choice([p.tensor, p.tracked_tensor, p.hostile, lambda: [p.tensor(), p.tensor()], lambda: None,
                         lambda: 0, lambda: 1, lambda: -1, lambda: torch.ones(2), lambda: D.ReduceOp.MAX,
                         lambda: torch.distributed.ReduceOp.BXOR, lambda: torch.distributed.ReduceOp.AVG])()

    def hostile_call(name):
        args = [arg() for _ in range(r.randrange(4))]
        kwargs = {k: arg() for k in r.sample(["op", "group", "async_op", "dst", "src", "tag", "gather_list",
                                                "scatter_list"], r.randrange(3))}
        return getattr(D, name)(*args, **kwargs)

    assert not D.is_initialized()
    name = r.choice(_DISTRIBUTED_NAMES)
    try:
        hostile_call(name)
    except Exception:
        pass
    else:
        raise SystemError("zel.distributed.%s returned without a process group" % name)
    kept = []
    D.init_process_group("gloo", store=torch.distributed.HashStore(), rank=0, world_size=1)
    try:
        for _ in range(3):
            try:
                work = hostile_call(r.choice(_DISTRIBUTED_NAMES[:-2]))
                if work is not None and hasattr(work, "wait"):
                    work.wait()
            except Exception:
                pass
        t = p.good_tensor()
        before = t._data.numpy().tobytes()
        D.all_reduce(t, op=r.choice(list(D.ReduceOp)))
        if t._data.numpy().tobytes() != before:
            raise SystemError("all_reduce over one rank changed the limbs")
        kept.append(t)
    finally:
        D.destroy_process_group()
    return kept


def nn_builders(p):
    """Constructors of zel.nn modules with mostly sensible, sometimes hostile arguments."""
    r, nn = p.rng, zel.nn

    def a(*good):
        return r.choice(good) if r.random() < 0.8 else p.hostile()
    return [
        lambda: nn.Linear(a(2, 3, 0), a(2, 1, 0), bias=a(True, False)),
        lambda: nn.Bilinear(a(2, 1), a(3, 2), a(2, 1), bias=a(True, False)),
        lambda: nn.Conv1d(a(2, 4), a(2, 4), a(1, 2, 3, (2,)), stride=a(1, 2), padding=a(0, 1, "same", "valid"),
                          dilation=a(1, 2), groups=a(1, 2), padding_mode=a("zeros", "reflect", "circular")),
        lambda: nn.Conv2d(a(2, 1), a(2, 4), a(1, 2, (2, 1)), stride=a(1, (1, 2)), padding=a(0, 1, (1, 0), "same"),
                          padding_mode=a("zeros", "replicate", "reflect", "circular")),
        lambda: nn.Embedding(a(4, 1), a(3, 2), padding_idx=a(None, 0, -1, 3), max_norm=a(None, 1.0)),
        lambda: nn.Embedding.from_pretrained(a(p.tensor((3, 2)), p.tensor()), freeze=a(True, False)),
        lambda: nn.LayerNorm(a(2, 3, (2, 3), ()), eps=a(1e-5, 0.0), elementwise_affine=a(True, False)),
        lambda: nn.BatchNorm1d(a(2, 3), momentum=a(0.1, None, 1.0), affine=a(True, False),
                               track_running_stats=a(True, False)),
        lambda: nn.Dropout(a(0.0, 0.5, 1.0)), lambda: nn.Flatten(a(0, 1, -1), a(-1, 2)),
        lambda: nn.Unflatten(a(0, 1, -1), a((2, 1), (1, -1), [3])), lambda: nn.Identity(p.hostile()),
        lambda: nn.ReLU(), lambda: nn.LeakyReLU(a(0.1, -2.0)), lambda: nn.ELU(a(1.0, 0.0)), lambda: nn.SELU(),
        lambda: nn.CELU(a(1.0, 0.0)), lambda: nn.GELU(a("none", "tanh")), lambda: nn.SiLU(), lambda: nn.Mish(),
        lambda: nn.Softplus(a(1, 2.0), a(20, 0.0)), lambda: nn.Tanh(), lambda: nn.Sigmoid(),
        lambda: nn.Hardtanh(a(-1.0, 0.0), a(1.0, 2.0)), lambda: nn.Softmax(a(None, 0, -1, 5)),
        lambda: nn.LogSoftmax(a(None, 0, 1)),
        lambda: nn.Sequential(*[r.choice(nn_builders(p)[:4] + [nn.ReLU])() for _ in range(r.randrange(3))]),
        lambda: nn.ModuleList(a([nn.ReLU(), nn.Linear(2, 2)], [])),
        lambda: nn.ModuleDict(a({"a": nn.Tanh()}, [("b", nn.ReLU())])),
        lambda: nn.ParameterList(a([p.tensor()], [p.tensor(), 3])),
        lambda: nn.ParameterDict(a({"w": p.tensor()}, [("v", p.tensor())])),
    ]


_NN_LOSSES = ["MSELoss", "L1Loss", "SmoothL1Loss", "HuberLoss", "CrossEntropyLoss", "NLLLoss", "BCELoss",
              "BCEWithLogitsLoss", "KLDivLoss", "GaussianNLLLoss", "PoissonNLLLoss"]


def hostile_nn_module(p):
    """A zel.nn module of hostile constructor arguments, run forward and backward, its state dict
    round-tripped (every limb must come back) and loaded from hostile dicts; hooks and attribute
    assignments of hostile values."""
    import copy
    r, nn = p.rng, zel.nn
    produced = []
    if r.random() < 0.25:
        name = r.choice(_NN_LOSSES)
        kw = {}
        if r.random() < 0.5:
            kw["reduction"] = r.choice(["mean", "sum", "none", "batchmean", p.hostile()])
        if r.random() < 0.3 and name in ("CrossEntropyLoss", "NLLLoss", "BCELoss"):
            kw["weight"] = r.choice([p.tensor((3,)), p.hostile()])
        module = getattr(nn, name)(**kw)
        inputs = [p.tensor(r.choice([(2, 3), (3,), ()])) for _ in range(3 if name == "GaussianNLLLoss" else 2)]
        if name in ("CrossEntropyLoss", "NLLLoss") and r.random() < 0.5:
            inputs[1] = r.choice([torch.tensor([0, 2]), torch.tensor([5, -1]), torch.tensor([0.5, 1.0])])
    else:
        module = r.choice(nn_builders(p))()
        shape = r.choice([(2, 3), (2, 2, 4), (1, 2, 5, 5), (3,), (), (2, 0), (4, 2)])
        inputs = [p.tensor(shape) if r.random() < 0.9 else p.hostile()]
        if isinstance(module, nn.Bilinear):
            inputs.append(p.tensor((shape[0] if shape else 1, 3)))
        if isinstance(module, nn.Embedding) and r.random() < 0.7:
            inputs = [r.choice([torch.tensor([[0, 1], [2, 0]]), torch.tensor([9]), torch.tensor([-1])])]
    judged = True  # what a hook hands over is the pool's, not the module's
    if r.random() < 0.3:
        judged = r.random() < 0.6
        module.register_forward_pre_hook(r.choice([lambda m, args: None, lambda m, args: args]) if judged
                                         else (lambda m, args: p.hostile()))
    if r.random() < 0.3:
        judged = judged and r.random() < 0.5
        module.register_forward_hook((lambda m, args, out: None) if judged else (lambda m, args, out: p.hostile()))
    if r.random() < 0.2:
        module.register_full_backward_hook(r.choice([lambda m, gi, go: None, lambda m, gi, go: p.hostile(),
                                                     lambda m, gi, go: gi]))
    if r.random() < 0.2:
        module.register_full_backward_pre_hook(r.choice([lambda m, go: None, lambda m, go: p.hostile()]))
    if r.random() < 0.2:
        module.train(r.choice([True, False, p.hostile()]))
    try:
        out = module(*inputs)
        if judged and not any(out is x for x in inputs):  # an input handed back is not ours to judge
            produced.append(out)
        if isinstance(out, Tensor) and out.requires_grad:
            out.sum().backward()
    except Exception:
        pass
    # Parameters built on a malformed tensor share its limbs: only the well-formed ones are judged.
    produced += [t.grad for t in module.parameters() if well_formed(t) and t.grad is not None]
    twin = copy.deepcopy(module)
    sd = module.state_dict()
    twin.load_state_dict(sd)
    for k, v in twin.state_dict().items():
        if not (well_formed(sd[k]) and sd[k]._data.device.type == "cpu"):
            continue  # limbs the fuzzer made hostile
        ours, theirs = v._data.detach().contiguous(), sd[k]._data.detach().contiguous()
        if v._shape != sd[k]._shape or ours.numpy().tobytes() != theirs.numpy().tobytes():
            raise SystemError("nn.Module.load_state_dict changed %s" % k)
    if r.random() < 0.5:
        bad = dict(sd)
        for _ in range(r.randrange(1, 3)):
            key = r.choice(list(bad) + ["x", "0.weight", r.choice(["", ".", 3, None, (1, 2)])])
            bad[key] = r.choice(
                [p.tensor(), p.hostile(), torch.ones(2)])
        try:
            module.load_state_dict(bad, strict=r.choice([True, False]))
        except (RuntimeError, TypeError):
            pass
    action = r.randrange(6)
    if action == 0:
        setattr(module, r.choice(["weight", "bias", "x", "training"]), p.hostile())
    elif action == 1:
        module.register_buffer(r.choice(["b", "", "a.b", p.hostile()]), p.hostile(), persistent=r.random() < 0.5)
    elif action == 2:
        module.to(r.choice([p.hostile(), "cpu", torch.float64, torch.int32]))
    elif action == 3:
        module.zero_grad(set_to_none=r.choice([True, False]))
    elif action == 4:
        module.get_parameter(r.choice(["weight", "0.weight", "", p.hostile()]))
    repr(module)
    return produced


def hostile_nn_init(p):
    """zel.nn.init and zel.nn.utils functions with hostile tensors and arguments."""
    r = p.rng
    init, utils = zel.nn.init, zel.nn.utils

    def a(*good):
        return r.choice(good) if r.random() < 0.8 else p.hostile()
    t = a(p.tensor(r.choice([(3, 4), (2, 3, 3), (0, 3), (5,), (), (2, 2, 2, 2)])))
    name = r.choice(["uniform_", "normal_", "trunc_normal_", "constant_", "ones_", "zeros_", "eye_", "dirac_",
                     "xavier_uniform_", "xavier_normal_", "kaiming_uniform_", "kaiming_normal_", "orthogonal_",
                     "sparse_", "calculate_gain", "clip_grad_norm_", "clip_grad_value_", "parameters_to_vector",
                     "vector_to_parameters"])
    args = {
        "uniform_": lambda: (t, a(-1.0, 0.0), a(1.0, -1.0)), "normal_": lambda: (t, a(0.0, 1e300), a(1.0, -1.0)),
        "trunc_normal_": lambda: (t, a(0.0, 5.0), a(1.0, 0.0), a(-2.0, 3.0), a(2.0, -3.0)),
        "constant_": lambda: (t, a(0.5, math.nan)), "ones_": lambda: (t,), "zeros_": lambda: (t,),
        "eye_": lambda: (t,), "dirac_": lambda: (t, a(1, 2, 0)), "xavier_uniform_": lambda: (t, a(1.0, 0.0)),
        "xavier_normal_": lambda: (t, a(1.0, -1.0)),
        "kaiming_uniform_": lambda: (t, a(0, 5 ** 0.5), a("fan_in", "fan_out", "x"), a("relu", "leaky_relu", "x")),
        "kaiming_normal_": lambda: (t, a(0, 1.0), a("fan_in", "fan_out"), a("tanh", "selu")),
        "orthogonal_": lambda: (t, a(1, 0.5)), "sparse_": lambda: (t, a(0.1, 0.9, 1.0), a(0.01, 1.0)),
        "calculate_gain": lambda: (a("relu", "leaky_relu", "tanh", "conv1d"), a(None, 0.2)),
        "clip_grad_norm_": lambda: (a([t], t, []), a(1.0, 0.0, -1.0, math.inf), a(2.0, 1, math.inf, -math.inf, 0.5),
                                    a(False, True)),
        "clip_grad_value_": lambda: (a([t], t), a(1.0, 0.0, -1.0)),
        "parameters_to_vector": lambda: (a([t], [t, p.tensor()], []),),
        "vector_to_parameters": lambda: (a(p.tensor((12,)), p.tensor()), a([t], [t, p.tensor()])),
    }[name]()
    if name.startswith("clip_grad") and isinstance(t, Tensor) and r.random() < 0.7:
        try:
            leaf = t.detach().requires_grad_()
            (leaf * p.tensor(tuple(t.shape))).sum().backward()
            args = (leaf,) + args[1:]
        except Exception:
            pass
    was_well_formed = {id(x) for x in args if isinstance(x, Tensor) and well_formed(x)}
    out = (getattr(init, name, None) or getattr(utils, name))(*args)
    # The fills return their argument: judged only if the pool made it well-formed.
    if any(out is x for x in args) and id(out) not in was_well_formed:
        return None
    return out


DROPIN_FUNCTIONS.setdefault("save", g_save)
DROPIN_FUNCTIONS.setdefault("load", g_load)


def targets():
    """(label, kind, name, callable or None, generator) for every public name of both modules."""
    found = []
    for name in zel.__all__:
        obj = getattr(zel, name)
        if callable(obj):
            gen = MODULE_FAMILIES.get(name, with_input(g_generic))
            found.append((f"zel.{name}", "function", name, obj, gen))
    for path, gen in DROPIN_FUNCTIONS.items():
        found.append((f"zel.{path}", "function", path, module_attr(path), gen))
    for name, gen in EXTRA_MODULE_FAMILIES.items():
        if hasattr(zel, name) and name not in zel.__all__:
            found.append((f"zel.{name}", "function", name, getattr(zel, name), gen))
    # An exact list: members inherited from object that the class does not define are left out.
    own = set()
    for klass in Tensor.__mro__:
        if klass is object:
            continue
        own |= set(vars(klass))
    for name in sorted(own | (set(OPERATORS) & set(dir(Tensor)))):
        if name.startswith("__") and name not in OPERATORS:
            continue
        found.append((f"Tensor.{name}", "method", name, None, METHOD_FAMILIES.get(name, g_generic)))
    for fn in SYNTAX_OPERATORS:
        found.append((f"syntax.{fn.__name__}", "function", fn.__name__, fn, g_syntax))
    found.append(("autograd.hostile_graph", "function", "hostile_graph", hostile_graph, lambda p: ([p], {})))
    found.append(("func.hostile_transforms", "function", "hostile_transforms", hostile_transforms,
                  lambda p: ([p], {})))
    found.append(("autograd.Function.apply", "function", "custom_function", custom_function, lambda p: ([p], {})))
    found.append(("autograd.native_engine", "function", "native_engine", native_engine, lambda p: ([p], {})))
    found.append(("distributions.hostile", "function", "hostile_distribution", hostile_distribution,
                  lambda p: ([p], {})))
    found.append(("optim.hostile", "function", "hostile_optimizer", hostile_optimizer, lambda p: ([p], {})))
    found.append(("distributed.hostile", "function", "hostile_distributed", hostile_distributed,
                  lambda p: ([p], {})))
    found.append(("nn.hostile", "function", "hostile_nn_module", hostile_nn_module, lambda p: ([p], {})))
    found.append(("nn.init_utils.hostile", "function", "hostile_nn_init", hostile_nn_init, lambda p: ([p], {})))
    found.append(("serialization.round_trip", "function", "save_load_round_trip", save_load_round_trip,
                  lambda p: ([p], {})))
    found.append(("serialization.hostile_bytes", "function", "load_hostile_bytes", load_hostile_bytes,
                  lambda p: ([p], {})))
    found.append(("distributions.kl_divergence", "function", "kl_of_hostile_pairs", kl_of_hostile_pairs,
                  lambda p: ([p], {})))
    if tarsk is not None:
        for name in list(getattr(tarsk, "__all__", [])) + TARSK_PRIVATE:
            if hasattr(tarsk, name):
                found.append((f"tarsk.{name}", "function", name, getattr(tarsk, name),
                              TARSK_FAMILIES.get(name, g_generic)))
    return found + linalg_targets()


# Iteration counts are valid at any size: 2^40 QR steps are a long computation,
# not a fault, so these take their arguments from their own generator only.
# zel.save and zel.load take no hostile strings: those would name files to write or read.
FAMILY_ONLY = {"zel.save", "zel.load", "tarsk.eig", "tarsk.eigh", "tarsk.svd", "zel.svd_lowrank", "zel.pca_lowrank"}


def call(pool, label, kind, name, fn, gen):
    if pool.rng.random() < 0.7 or label in FAMILY_ONLY:
        args, kwargs = gen(pool)
    else:
        args, kwargs = g_generic(pool) if kind == "method" else with_input(g_generic)(pool)
        if pool.rng.random() < 0.2:
            kwargs = {pool.rng.choice(["dim", "keepdim", "p", "unbiased", "device", "dtype", "decimals", "min_val",
                                       "max_val", "ord", "max_iter", "tol", "input", "full_matrices", "out"]):
                      pool.hostile()}
    if kind == "method":
        self_ = pool.tensor()
        if TRACE:
            trace(f"Tensor.{name}", [self_] + list(args), kwargs)
        attr = getattr(self_, name)
        if name == "grad_fn" or not callable(attr):  # a property; calling a node is no operation
            return [self_], {}, attr
        return [self_] + list(args), kwargs, attr(*args, **kwargs)
    if TRACE:
        trace(name, args, kwargs)
    return args, kwargs, fn(*args, **kwargs)


def describe(v):
    if isinstance(v, Tensor):
        d = getattr(v, "_data", None)
        if isinstance(d, torch.Tensor):
            d = f"{d.dtype} {tuple(d.shape)} {tuple(d.stride())} {d.device}"
        return f"Tensor(_shape={getattr(v, '_shape', '?')!r}, _data={d})"
    if isinstance(v, (list, tuple)):
        return type(v).__name__ + "[" + ", ".join(describe(x) for x in v[:8]) + "]"
    return repr(v)[:200]


def trace(name, args, kwargs):
    # Written before the call: the last line names the call that took the process down.
    print("CALL", name, [describe(a) for a in args], {k: describe(v) for k, v in kwargs.items()},
          file=sys.stderr, flush=True)


TARSK_NAMES = set(getattr(tarsk, "__all__", [])) | set(TARSK_PRIVATE) if tarsk is not None else set()
# Operations whose results never require grad, as declared.
NOT_DIFFERENTIABLE = {name for name, (node, pairs) in zel._derivatives().items() if pairs is None}
# Operations with an operand declared to take no gradient (expand_as's other).
SHAPE_ONLY_OPERANDS = {name for name, (node, pairs) in zel._derivatives().items()
                       if pairs and any(formula == "None" for _, formula in pairs)}


# Python-level names whose results never require grad, as in PyTorch (new
# tensors from a shape), and those whose later operands give only a device,
# dtype or shape.
FRESH_RESULTS = {"new_zeros", "new_ones", "new_full", "new_empty", "new_tensor", "masked.argmax", "masked.argmin",
                 "rand_like", "randn_like", "randint_like", "bernoulli", "new_empty_strided", "empty_strided",
                 "empty_permuted", "uniform_", "normal_", "exponential_", "cauchy_", "log_normal_", "geometric_",
                 "bernoulli_", "random_", "resize_", "resize_as_", "detach_copy", "hash_tensor", "histogramdd",
                 "scalar_tensor", "hostile_distribution", "kl_of_hostile_pairs", "special.round",
                 # Loaded tensors carry the flag they were saved with; optimizers step without recording.
                 "load", "load_hostile_bytes", "save_load_round_trip", "hostile_optimizer", "hostile_distributed",
                 # Initialisers fill under no_grad; a module's state dict is outside autograd.
                 "hostile_nn_init", "hostile_nn_module",
                 # PyTorch has no derivative for these; the library records none.
                 "heaviside", "special.bessel_j0", "special.bessel_j1", "special.bessel_y0", "special.bessel_y1",
                 "special.modified_bessel_i0", "special.modified_bessel_i1", "special.modified_bessel_k0",
                 "special.modified_bessel_k1", "special.scaled_modified_bessel_k0", "special.scaled_modified_bessel_k1",
                 "special.spherical_bessel_j0", "special.airy_ai"}
# pinv's tolerances and the quantiles' levels choose what to take; they take no gradient.
SELF_DECIDES = {"to", "pinv", "nanquantile", "quantile",
                # Training batch norm reads no running statistic: it updates them.
                "nn.functional.batch_norm"}


def dropped_history(name, given, result):
    """A Tensor result without history from operands that require grad: an
    operation that neither recorded nor is declared not differentiable."""
    # tarsk keeps its defined algorithms and records nothing.
    if name in NOT_DIFFERENTIABLE or name in FRESH_RESULTS or not zel.is_grad_enabled() or name in TARSK_NAMES:
        return False
    results = result if isinstance(result, (tuple, list)) else (result,)
    if not any(isinstance(r, Tensor) and not r.requires_grad for r in results):
        return False
    tracked = False
    if name in SHAPE_ONLY_OPERANDS or name in SELF_DECIDES:  # the others give only a shape: self decides
        given = given[:1]
    for a in given:
        for t in (a if isinstance(a, (list, tuple)) else (a,)):
            if isinstance(t, Tensor):
                try:
                    tracked = tracked or t.requires_grad
                except Exception:
                    pass
    return tracked


def run(calls, seed, verbose=False):
    rng = random.Random(seed)
    torch.manual_seed(seed)
    pool = Pool(rng)
    table = targets()
    counts = collections.Counter()
    malformed = []
    order = []
    for i in range(calls):
        if not order:  # a fresh shuffled round: every target once per round
            order = list(range(len(table)))
            rng.shuffle(order)
        label, kind, name, fn, gen = table[order.pop()]
        counts[label] += 1
        # A switch called as a function stays set: every call starts recording.
        zel._set_grad_enabled(True)
        zel._set_inference_mode(False)
        try:
            args, kwargs, result = call(pool, label, kind, name, fn, gen)
            # An argument handed back as it is (device(), the identity, an item of a
            # list argument) is not ours to judge.
            given = list(args) + list(kwargs.values())
            given += [x for a in given if isinstance(a, (list, tuple)) for x in a]
            if any(result is a for a in given):
                continue
            if name == "__iter__":
                result = list(zip(range(64), result))
            if not well_formed(result):
                malformed.append(f"{label}: malformed result {describe(result)} from {describe(list(args))} {kwargs}")
            elif dropped_history(name, given, result):
                malformed.append(f"{label}: a result of tensors that require grad lost its history "
                                 f"(from {describe(list(args))} {list(kwargs)})")
        except BAD_EXCEPTIONS as exc:
            malformed.append(f"{label}: {type(exc).__name__}: {exc}")
        except (KeyboardInterrupt, MemoryError):
            raise
        except Exception:
            pass
        if verbose and i % 1000 == 0:
            print(f"{i} calls", file=sys.stderr, flush=True)
    return malformed, counts, table


def main():
    argv = [a for a in sys.argv[1:] if not a.startswith("--")]
    calls = int(argv[0]) if argv else 2000
    seed = int(argv[1]) if len(argv) > 1 else 0
    warnings.simplefilter("ignore")
    bad, counts, table = run(calls, seed)
    if "--coverage" in sys.argv:
        for label, *_ in table:
            print(f"COVERAGE {label} {counts[label]}")
    for line in bad[:20]:
        print("MALFORMED", line)
    print(f"{calls} calls, {len(bad)} malformed, {len(table)} targets, "
          f"{sum(1 for label, *_ in table if counts[label])} reached")
    sys.exit(1 if bad else 0)


if __name__ == "__main__":
    main()
