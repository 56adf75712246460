"""Hostile-argument fuzzer for both extension modules.

Every public function, method, operator and property is called with random
arguments drawn from a pool of valid and hostile values (wrong types, None,
strings, huge and negative sizes, out-of-range indices, empty and non-finite
tensors, tensors whose limb array was replaced by a malformed one, shapes that
do not fit). Each call must either return well-formed values or raise an
ordinary Python exception. A crash takes the process down, so callers run this
in a subprocess and count exit signals; the sanitizer build reports memory
errors on stderr.

Usage: python fuzzer.py CALLS SEED
"""
import math
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

OPERATORS = ["__add__", "__radd__", "__sub__", "__rsub__", "__mul__", "__rmul__", "__truediv__",
             "__rtruediv__", "__pow__", "__matmul__", "__floordiv__", "__rfloordiv__", "__mod__",
             "__rmod__", "__neg__", "__pos__", "__lt__", "__le__", "__gt__", "__ge__", "__eq__",
             "__ne__", "__getitem__", "__setitem__", "__len__", "__repr__", "__float__", "__int__",
             "__iter__"]
SKIP = {"to", "cuda"}  # device moves: exercised by the device tests, not by random strings


def limbs_ok(t):
    d = t._data
    shape = t._shape
    if not isinstance(shape, tuple) or not all(isinstance(s, int) and s >= 0 for s in shape):
        return False
    n = math.prod(shape)
    return (isinstance(d, torch.Tensor) and d.dtype == torch.float64 and d.dim() == 2
            and d.shape[1] == 8 and d.shape[0] == n)


def well_formed(value, depth=0):
    if depth > 4:
        return True
    if isinstance(value, Tensor):
        return limbs_ok(value)
    if isinstance(value, (tuple, list)):
        return all(well_formed(v, depth + 1) for v in value[:16])
    return True


class Pool:
    def __init__(self, rng):
        self.rng = rng

    def tensor(self):
        r = self.rng
        kind = r.randrange(10)
        shapes = [(), (0,), (1,), (3,), (2, 3), (3, 3), (2, 0), (1, 1), (2, 2, 2), (4, 1, 3), (2, 3, 4)]
        shape = r.choice(shapes)
        n = math.prod(shape)
        specials = [0.0, -0.0, 1.0, -2.5, 1e300, -1e-300, 5e-324, math.inf, -math.inf, math.nan, 1e16]
        vals = [r.choice(specials) if r.random() < 0.3 else r.uniform(-10, 10) for _ in range(n)]
        data = torch.zeros(max(n, 1) if shape == () else n, 8, dtype=torch.float64)
        if n or shape == ():
            data[:, 0] = torch.tensor(vals or [1.5], dtype=torch.float64)
            if r.random() < 0.5:
                data[:, 1] = data[:, 0] * 1e-17
        t = Tensor(_raw=data, _shape=shape)
        if kind == 0:
            # a limb array replaced behind the tensor's back
            bad = r.choice([torch.zeros(n + 1, 8, dtype=torch.float64), torch.zeros(n, 8, dtype=torch.float32),
                            torch.zeros(n * 8, dtype=torch.float64), torch.zeros(8, n, dtype=torch.float64).t()
                            if n else torch.zeros(0, 7, dtype=torch.float64),
                            torch.zeros(n, 8, dtype=torch.int64), torch.zeros((), dtype=torch.float64),
                            torch.zeros(n, 16, dtype=torch.float64)[:, ::2]])
            t._data = bad
        elif kind == 1:
            t = Tensor(_raw=torch.zeros(n, 16, dtype=torch.float64)[:, ::2] if n else data, _shape=shape)
        return t

    def value(self, depth=0):
        r = self.rng
        k = r.randrange(24)
        if k < 7:
            return self.tensor()
        return r.choice([
            lambda: None, lambda: "x", lambda: "2", lambda: r.choice([-3, -1, 0, 1, 2, 3, 7]),
            lambda: r.choice([2 ** 62, -2 ** 62, 2 ** 64, 10 ** 30, -(2 ** 63)]),
            lambda: r.choice([0.5, -1.5, 1e308, -1e-300, math.nan, math.inf, 2.7]),
            lambda: True, lambda: [], lambda: [[1.0], [2.0, 3.0]], lambda: [1, 2, 3], lambda: (2, 3),
            lambda: (-1,), lambda: (2 ** 62, 2 ** 62), lambda: {}, lambda: object(), lambda: slice(None, None, -1),
            lambda: slice(1, 10 ** 20, 3), lambda: Ellipsis, lambda: (0, slice(None), None),
            lambda: np.ones((2, 2)), lambda: torch.ones(3), lambda: [self.tensor(), self.tensor()] if depth < 2 else [],
            lambda: np.float64(1.5),
        ])()

    def args(self):
        n = self.rng.choice([0, 1, 1, 2, 2, 3, 4])
        return [self.value() for _ in range(n)]

    def kwargs(self):
        if self.rng.random() < 0.7:
            return {}
        names = ["dim", "keepdim", "p", "unbiased", "device", "dtype", "decimals", "min_val", "max_val",
                 "ord", "max_iter", "tol", "input", "full_matrices"]
        return {self.rng.choice(names): self.value()}


def targets():
    found = []
    for name in zel.__all__:
        obj = getattr(zel, name)
        if callable(obj) and name not in ("cuda",):
            found.append((f"zel.{name}", None, name, obj))
    for name in sorted(set(dir(Tensor)) | set(OPERATORS)):
        if name in SKIP or (name.startswith("__") and name not in OPERATORS) or not hasattr(Tensor, name):
            continue
        found.append((f"Tensor.{name}", "method", name, None))
    if tarsk is not None:
        for name in list(getattr(tarsk, "__all__", [])) + ["_get", "_set", "_getv", "_setv", "_getv1d"]:
            if hasattr(tarsk, name):
                found.append((f"tarsk.{name}", None, name, getattr(tarsk, name)))
    return found


def run(calls, seed, verbose=False):
    rng = random.Random(seed)
    torch.manual_seed(seed)
    pool = Pool(rng)
    table = targets()
    malformed = []
    for i in range(calls):
        label, kind, name, fn = rng.choice(table)
        try:
            args, kwargs = pool.args(), pool.kwargs()
            if kind == "method":
                self_ = pool.tensor()
                attr = getattr(self_, name)
                result = attr(*args, **kwargs) if callable(attr) else attr
            else:
                result = fn(*args, **kwargs)
            # An argument handed back as it is (device(), the identity) is not ours to judge.
            if any(result is a for a in list(args) + list(kwargs.values())):
                continue
            if name == "__iter__":
                result = list(zip(range(64), result))
            if not well_formed(result):
                malformed.append(f"{label}: malformed result")
        except BAD_EXCEPTIONS as exc:
            malformed.append(f"{label}: {type(exc).__name__}: {exc}")
        except (KeyboardInterrupt, MemoryError):
            raise
        except Exception:
            pass
        if verbose and i % 1000 == 0:
            print(f"{i} calls", file=sys.stderr, flush=True)
    return malformed


def main():
    calls = int(sys.argv[1]) if len(sys.argv) > 1 else 2000
    seed = int(sys.argv[2]) if len(sys.argv) > 2 else 0
    warnings.simplefilter("ignore")
    bad = run(calls, seed)
    for line in bad[:20]:
        print("MALFORMED", line)
    print(f"{calls} calls, {len(bad)} malformed")
    sys.exit(1 if bad else 0)


if __name__ == "__main__":
    main()
