"""PyTorch's own per-operation samples (op_db) run through varnel.zel and
compared with PyTorch's float64 (and complex128) results on the same samples.

    python tests/op_db_conformance.py                 # every op the library has
    python tests/op_db_conformance.py --ops sum,linalg.det --json /tmp/f.json
    python tests/op_db_conformance.py --all           # no per-op caps
    python tests/op_db_conformance.py --dtype both    # the float64 and the complex128 pass

Each op_db entry with a float64 CPU dtype whose name (or aten name, alias,
`linalg.`/`special.`/`nn.functional.` path) exists in `varnel.zel.zel` runs its
`sample_inputs`, capped `reference_inputs` and `error_inputs`. With
`--dtype complex128` the entries with a complex128 CPU dtype run their samples
at that dtype, under keys such as `sum@complex128`. A sample is
`pass`, `fail` (different structure, shape, dtype class or value, or an
incompatible exception type), `error` (the library raised where PyTorch did
not), `on-purpose` (a documented difference, `ON_PURPOSE`) or `crash` (the
worker process died or hung on it). The samples run in a worker process that
the driver restarts after the sample that killed it.
"""
import argparse
import collections
import json
import math
import operator
import os
import select
import subprocess
import sys
import time
import types
import zlib

DEFAULT_SEED = 20240601
RTOL = 1e-10
SAMPLE_CAP = 40          # sample_inputs per op (no cap with --all)
REFERENCE_CAP = 12       # reference_inputs per op (more with --all)
ERROR_CAP = 40
SAMPLE_TIMEOUT_S = 120.0


def load_op_db():
    """op_db, importable without expecttest and without reading our argv."""
    try:
        import expecttest  # noqa: F401 (only whether it imports)
    except ImportError:
        # common_utils only imports expecttest, subclasses its TestCase and
        # reads/sets ACCEPT; op_db itself needs nothing more from it.
        import unittest
        stand_in = types.ModuleType("expecttest")
        stand_in.TestCase = unittest.TestCase
        stand_in.ACCEPT = False
        sys.modules["expecttest"] = stand_in
    # common_utils parses sys.argv at import (its own --seed, -h, ...).
    argv, sys.argv = sys.argv, sys.argv[:1]
    try:
        from torch.testing._internal.common_methods_invocations import op_db
    finally:
        sys.argv = argv
    return op_db


# --------------------------------------------------------------------------
# Which library callable an OpInfo maps to.

def _namespaces():
    from varnel.zel import zel
    return {"linalg": zel.linalg, "special": zel.special, "nn.functional": zel.nn.functional, "masked": zel.masked,
            "signal.windows": zel.signal.windows}


DTYPES = ("float64", "complex128")


def op_key(info, dtype="float64"):
    """name.variant, and @complex128 for the complex pass's samples."""
    key = info.name + ("." + info.variant_test_name if info.variant_test_name else "")
    return key if dtype == "float64" else key + "@" + dtype


def base_key(key):
    return key.split("@", 1)[0]


def _rebound(fn):
    """An op_db lambda (`lambda x, *a: x.expand(*a)`, `torch.where(c, x, y)`)
    with `torch` meaning the library: it calls the library as the lambda
    calls PyTorch."""
    from varnel.zel import zel
    glb = dict(fn.__globals__, torch=zel)
    return types.FunctionType(fn.__code__, glb, fn.__name__, fn.__defaults__, fn.__closure__)


REFLECTED = {"__radd__": operator.add, "__rsub__": operator.sub, "__rmul__": operator.mul,
             "__rtruediv__": operator.truediv, "__rdiv__": operator.truediv, "__rmod__": operator.mod,
             "__rpow__": operator.pow, "__rmatmul__": operator.matmul}


class Target:
    """How to call the library for one OpInfo."""

    def __init__(self, kind, name, fn):
        self.kind, self.name, self.fn = kind, name, fn

    def __call__(self, x, *args, **kwargs):
        from varnel.zel import zel
        if self.kind == "property":
            if not isinstance(x, zel.Tensor):
                raise TypeError("%s of a %s" % (self.name, type(x).__name__))
            return getattr(x, self.name)
        if self.kind == "method":
            # Unbound, as op_db calls torch.Tensor.<name>: a non-tensor self must raise.
            result = getattr(zel.Tensor, self.name)(x, *args, **kwargs)
            if (result is NotImplemented and self.name in REFLECTED and isinstance(x, zel.Tensor)
                    and args and isinstance(args[0], zel.Tensor)):
                # Python evaluates `other OP x` with other's own method first.
                return REFLECTED[self.name](args[0], x)
            if result is NotImplemented:
                raise TypeError("%s returned NotImplemented" % self.name)
            return result
        return self.fn(x, *args, **kwargs)


def _lookup(name, info):
    from varnel.zel import zel
    spaces = _namespaces()
    for prefix, space in (("linalg_", spaces["linalg"]), ("special_", spaces["special"])):
        if name.startswith(prefix) and hasattr(space, name[len(prefix):]):
            return Target("function", name, getattr(space, name[len(prefix):]))
    if "." in name:
        space, attr = name.rsplit(".", 1)
        if space in spaces and hasattr(spaces[space], attr):
            return Target("function", name, getattr(spaces[space], attr))
        return None
    if name.startswith("__") and name.endswith("__"):
        return Target("method", name, None) if hasattr(zel.Tensor, name) else None
    if hasattr(zel, name) and callable(getattr(zel, name)):
        return Target("function", name, getattr(zel, name))
    if hasattr(zel.Tensor, name) and (info.method_variant is not None or info.op is None or _testing_lambda(info.op)):
        return Target("method", name, None)
    # op_db's in-place samplers (uniform, exponential, ...) call Tensor.<name>_ in a lambda.
    if hasattr(zel.Tensor, name + "_") and _testing_lambda(info.op):
        return Target("method", name, None)
    return None


def _testing_lambda(fn):
    return isinstance(fn, types.FunctionType) and fn.__module__.startswith("torch.testing._internal")


def resolve(info):
    names = [info.name] + [a.name for a in info.aliases] + [info.aten_name]
    for name in names:
        if name:
            target = _lookup(name, info) or _lookup_property(name)
            if target is None:
                continue
            fn = info.op
            if _testing_lambda(fn):
                return Target("lambda", name, _rebound(fn))
            return target
    return None


def _lookup_property(name):
    from varnel.zel import zel
    attr = getattr(zel.Tensor, name, None)
    return Target("property", name, None) if isinstance(attr, property) or (
        attr is not None and not callable(attr)) else None


def dtype_ops(op_db, dtype="float64"):
    import torch
    return [o for o in op_db if getattr(torch, dtype) in o.supported_dtypes("cpu")]


def float64_ops(op_db):
    return dtype_ops(op_db, "float64")


# --------------------------------------------------------------------------
# Families, for the report.

_CONTRACTIONS = set("matmul mm bmm mv dot vdot inner outer ger addmm addmv addbmm baddbmm addr kron einsum "
                    "tensordot cdist trace __rmatmul__ chain_matmul".split())
_LINALG = set("det logdet inverse cholesky cholesky_solve cholesky_inverse lu lu_solve lu_unpack qr svd "
              "pinverse symeig triangular_solve geqrf ormqr householder_product matrix_exp".split())
_INDEXING = set("__getitem__ gather index_select take take_along_dim masked_fill masked_select masked_scatter "
                "nonzero argwhere where scatter scatter_add scatter_reduce index_add index_copy index_fill "
                "index_put index_reduce put select_scatter slice_scatter diagonal_scatter searchsorted "
                "bucketize".split())
_FACTORIES = set("arange linspace logspace empty empty_like zeros zeros_like ones ones_like full full_like eye "
                 "randn rand randint randn_like rand_like randint_like new_empty new_zeros new_ones new_full "
                 "empty_strided normal bernoulli multinomial tril_indices triu_indices".split())
_ORDERING = set("sort argsort topk kthvalue median nanmedian mode unique unique_consecutive msort cummax "
                "cummin quantile nanquantile max min aminmax histc bincount histogram".split())
_SHAPE = set("reshape reshape_as view view_as expand expand_as permute transpose t T mT H mH squeeze unsqueeze "
             "flatten unflatten cat concat concatenate stack hstack vstack dstack column_stack row_stack split "
             "split_with_sizes chunk tensor_split hsplit vsplit dsplit unbind flip fliplr flipud roll rot90 "
             "tril triu diag diag_embed diagonal diagflat movedim moveaxis swapaxes swapdims narrow "
             "narrow_copy atleast_1d atleast_2d atleast_3d meshgrid broadcast_to broadcast_tensors tile "
             "repeat repeat_interleave contiguous clone to zero_ unfold block_diag cartesian_prod "
             "combinations as_strided ravel select slice".split())


def family(info):
    from torch.testing._internal.common_methods_invocations import (
        BinaryUfuncInfo, ReductionOpInfo, UnaryUfuncInfo)
    name = info.name
    if name.startswith("nn.functional."):
        return "nn.functional"
    if name.startswith(("special.", "fft.")):
        return name.split(".")[0]
    if name.startswith("linalg.") or name in _LINALG:
        return "linalg"
    if name in _CONTRACTIONS:
        return "contractions"
    if name in _INDEXING:
        return "indexing"
    if name in _FACTORIES:
        return "factories"
    if name in ("max", "min") and info.variant_test_name == "binary":
        return "elementwise binary"
    if name in _ORDERING:
        return "orderings"
    if isinstance(info, UnaryUfuncInfo):
        return "elementwise unary"
    if isinstance(info, BinaryUfuncInfo) or name.startswith("__r"):
        return "elementwise binary"
    if isinstance(info, ReductionOpInfo):
        return "reductions"
    if name in _SHAPE or type(info).__name__ == "ShapeFuncInfo":
        return "shape"
    return "other"


_COMPLEX_NAMES = ("complex", "polar", "real", "imag", "conj", "view_as_real", "view_as_complex",
                  "resolve_neg", "resolve_conj", "chalf", "cfloat", "cdouble")


# Names other work takes: the top-level names of zel.special's functions, the nn
# layers' aten forms, the short-time Fourier transforms.
_TAKEN = set("lgamma digamma polygamma mvlgamma erfinv i0 igamma igammac native_batch_norm native_layer_norm "
             "native_group_norm native_dropout_backward max_pool2d_with_indices_backward grid_sampler_2d "
             "grid_sampler_3d stft istft".split())

# Left out, each with its reason.
LEFT_OUT = {
    "nextafter": "an expansion of 8 limbs has no next representable value",
    "slice": "aten.slice has no public PyTorch function (Python slicing is __getitem__)",
    "to_sparse": "no sparse layouts", "sparse.mm": "no sparse layouts", "sparse.sampled_addmm": "no sparse layouts",
}


def left_out(name):
    return (name in LEFT_OUT or name.startswith(("jiterator_", "torch.ops.aten.")))


def taken_elsewhere(name):
    """op_db names whose absence other work covers: nn.functional layers and
    losses, special functions, complex numbers, FFTs; and those left out on
    purpose (LEFT_OUT, CUDA's jiterator, private aten operators)."""
    return (name.startswith(("nn.functional.", "special.", "fft.", "_"))
            or any(part in name for part in _COMPLEX_NAMES) or name in _TAKEN or left_out(name))


# --------------------------------------------------------------------------
# Converting a sample and comparing results.

def to_library(obj):
    """Floating and complex torch tensors become library tensors (exact for
    float64 and complex128); integer and bool tensors stay torch tensors
    (indices and masks)."""
    import torch
    from varnel.zel import zel
    if isinstance(obj, torch.Tensor):
        if obj.is_floating_point():
            return zel.tensor(obj.detach().to(torch.float64))
        if obj.is_complex():
            return zel.tensor(obj.detach().resolve_conj().resolve_neg().to(torch.complex128))
        return obj
    if isinstance(obj, list):
        return [to_library(v) for v in obj]
    if isinstance(obj, tuple) and not hasattr(obj, "_fields"):
        return tuple(to_library(v) for v in obj)
    if isinstance(obj, dict):
        return {k: to_library(v) for k, v in obj.items()}
    return obj


def values_of(z):
    """The float64 approximation of every element (limb 0 where it is not
    finite, else the limbs summed from the smallest up, as `approx`)."""
    import torch
    if z.is_complex():
        # The parts as a real tensor, then PyTorch's complex128.
        from varnel.zel import zel
        return torch.view_as_complex(values_of(zel.view_as_real(z)).contiguous())
    limbs = z.torch_limbs().detach().cpu()
    s = limbs[..., 7]
    for k in range(6, -1, -1):
        s = s + limbs[..., k]
    return torch.where(torch.isfinite(limbs[..., 0]), s, limbs[..., 0])


def _fields(obj):
    return getattr(type(obj), "__match_args__", None) or getattr(obj, "_fields", None)


class Tolerance:
    """real_for_complex: a real result stands for PyTorch's complex one whose
    imaginary parts are all zero (the float64 pass, where linalg.eig's real
    eigenvalues come as a real tensor)."""

    def __init__(self, rtol=RTOL, scale=0.0, real_for_complex=False):
        self.rtol, self.scale, self.real_for_complex = rtol, scale, real_for_complex


def mismatch(want, got, tol, path="result"):
    """None where `got` (library) matches `want` (PyTorch), else one line
    saying where and how they differ."""
    import torch
    from varnel.zel import zel
    if isinstance(want, torch.Tensor):
        if want.is_complex() and tol.real_for_complex and isinstance(got, (zel.Tensor, torch.Tensor)) \
                and not got.is_complex():
            if bool((want.imag != 0).any()):
                return "%s: complex result" % path
            want = want.real
        if isinstance(got, zel.Tensor):
            got_kind, got_shape = ("complex" if got.is_complex() else "floating"), tuple(got.shape)
        elif isinstance(got, torch.Tensor):
            got_kind, got_shape = _kind(got), tuple(got.shape)
        else:
            return "%s: expected a tensor, got %s" % (path, type(got).__name__)
        want_kind = _kind(want)
        if got_kind != want_kind:
            return "%s: dtype class %s, expected %s" % (path, got_kind, want_kind)
        if got_shape != tuple(want.shape):
            return "%s: shape %s, expected %s" % (path, got_shape, tuple(want.shape))
        g = values_of(got) if isinstance(got, zel.Tensor) else got.detach().cpu()
        want = want.detach().cpu()
        if want_kind == "complex":
            # Both parts against one scale: a part far below the other carries
            # float64's error of the larger.
            return _value_mismatch(torch.view_as_real(want.resolve_conj().resolve_neg()),
                                   torch.view_as_real(g.resolve_conj().resolve_neg()), tol, path, parts=True)
        return _value_mismatch(want, g, tol, path)
    if isinstance(want, (tuple, list)):
        if not isinstance(got, (tuple, list)):
            return "%s: expected a %s, got %s" % (path, type(want).__name__, type(got).__name__)
        if _fields(want) and tuple(_fields(want)) != tuple(_fields(got) or ()):
            return "%s: fields %s, expected %s" % (path, _fields(got), tuple(_fields(want)))
        if len(want) != len(got):
            return "%s: length %d, expected %d" % (path, len(got), len(want))
        names = _fields(want) or range(len(want))
        for name, w, g in zip(names, want, got):
            bad = mismatch(w, g, tol, "%s[%s]" % (path, name))
            if bad:
                return bad
        return None
    if isinstance(want, bool):
        return None if isinstance(got, bool) and got == want else "%s: %r, expected %r" % (path, got, want)
    if isinstance(want, complex) or isinstance(got, complex) and isinstance(want, (int, float)):
        if not isinstance(got, (int, float, complex)):
            return "%s: %s, expected a number" % (path, type(got).__name__)
        if type(got) is not type(want):
            return "%s: %r, expected a %s" % (path, got, type(want).__name__)
        return mismatch(torch.tensor([want], dtype=torch.complex128), torch.tensor([got], dtype=torch.complex128),
                        tol, path)
    if isinstance(want, (int, float)):
        if isinstance(got, zel.Tensor) or isinstance(got, torch.Tensor):
            return "%s: a tensor, expected a %s" % (path, type(want).__name__)
        if not isinstance(got, (int, float)):
            return "%s: %s, expected a number" % (path, type(got).__name__)
        return _value_mismatch(torch.tensor(float(want), dtype=torch.float64),
                               torch.tensor(float(got), dtype=torch.float64), tol, path)
    if want is None or isinstance(want, (str, torch.dtype, torch.Size, torch.device)):
        return None if got == want else "%s: %r, expected %r" % (path, got, want)
    return "%s: cannot compare %s" % (path, type(want).__name__)


def _kind(t):
    import torch
    return ("floating" if t.is_floating_point() else "complex" if t.is_complex() else
            "bool" if t.dtype == torch.bool else "integer")


def _value_mismatch(want, got, tol, path, parts=False):
    """parts: the last dimension holds each complex element's (real, imaginary)."""
    import torch
    if want.numel() == 0:
        return None
    if not want.is_floating_point():
        if torch.equal(want.to(torch.int64), got.to(torch.int64)):
            return None
        i = int((want.to(torch.int64) != got.to(torch.int64)).reshape(-1).nonzero()[0])
        return "%s: value at flat %d is %s, expected %s" % (
            path, i, got.reshape(-1)[i].item(), want.reshape(-1)[i].item())
    # PyTorch's float32 results (Python numbers promote to the default
    # dtype) are judged to their own precision.
    rtol = max(tol.rtol, 4 * torch.finfo(want.dtype).eps) if want.dtype != torch.float64 else tol.rtol
    tol = Tolerance(rtol, tol.scale, tol.real_for_complex)
    want, got = want.to(torch.float64), got.to(torch.float64)
    finite = torch.isfinite(want)
    scale = max(tol.scale, float(want[finite].abs().max()) if bool(finite.any()) else 0.0)
    same_special = (torch.isnan(want) == torch.isnan(got)) & (torch.isinf(want) == torch.isinf(got))
    same_special &= ~torch.isinf(want) | (want == got)
    close = torch.where(finite, (got - want).abs() <= tol.rtol * (want.abs() + scale), same_special)
    close &= same_special
    if bool(close.all()):
        return None
    if parts:
        close = close.all(-1)
        want, got = torch.view_as_complex(want), torch.view_as_complex(got)
    i = int((~close).reshape(-1).nonzero()[0])
    w, g = want.reshape(-1)[i].item(), got.reshape(-1)[i].item()
    finite = all(math.isfinite(v) for v in (complex(w).real, complex(w).imag, complex(g).real, complex(g).imag))
    rel = abs(g - w) / abs(w) if w and finite else float("nan")
    return "%s: value at flat %d is %r, expected %r (rel %.2g; %d of %d differ)" % (
        path, i, g, w, rel, int((~close).sum()), close.numel())


# PyTorch leaves their memory uninitialised, or draws them from its own
# generator (the library has its own): only structure and shape count.
VALUES_UNDEFINED = {"empty", "empty_like", "new_empty", "empty_strided", "new_empty_strided", "empty_permuted",
                    "bernoulli", "multinomial", "normal", "rand_like", "randn_like", "randint_like", "randint",
                    "uniform", "exponential", "cauchy", "geometric", "log_normal"}


def _max_abs_input(obj):
    import torch
    if isinstance(obj, torch.Tensor):
        if (obj.is_floating_point() or obj.is_complex()) and obj.numel():
            v = obj.detach()[torch.isfinite(obj.detach())]
            return float(v.abs().max()) if v.numel() else 0.0
        return 0.0
    if isinstance(obj, (list, tuple)):
        return max([_max_abs_input(v) for v in obj] + [0.0])
    return 0.0


# --------------------------------------------------------------------------
# Tolerances and documented differences.

# Results that cancel: PyTorch's float64 answer is off by rounding errors of
# the size of the inputs, the library's is not, so the error allowed scales
# with the largest input as well as the result.
CANCELLING = {"sum", "nansum", "mean", "nanmean", "var", "std", "var_mean", "std_mean", "cumsum", "diff",
              "trapezoid", "cumulative_trapezoid", "logsumexp", "dist", "cdist", "matmul", "mm", "bmm", "mv",
              "dot", "__rmatmul__", "einsum", "tensordot", "trace", "linalg.vecdot", "linalg.multi_dot",
              "addcmul", "addcdiv", "lerp", "linalg.cross", "nn.functional.linear", "nn.functional.mse_loss",
              "nn.functional.normalize", "kron", "outer", "linalg.solve_triangular", "cholesky_solve",
              "linalg.lstsq", "linalg.lu_solve", "linalg.solve", "linalg.qr", "linalg.lu_factor", "linalg.lu",
              "linalg.cholesky", "linalg.eigh", "linalg.eigvalsh", "linalg.svd", "linalg.svdvals",
              "linalg.eig", "linalg.eigvals", "linalg.matrix_power", "linalg.pinv", "svd", "__rsub__", "__radd__"}

# Where PyTorch's float64 answer itself is inaccurate (ill-conditioned
# problems), the allowed relative error and why.
ILL_CONDITIONED = {
    "linalg.det": (1e-6, "op_db's det samples include nearly singular matrices"),
    "logdet": (1e-6, "nearly singular matrices: log of a cancelled determinant"),
    "linalg.slogdet": (1e-6, "nearly singular matrices: log of a cancelled determinant"),
    "linalg.cond": (1e-6, "condition numbers of nearly singular matrices"),
    "linalg.inv": (1e-8, "inverses lose digits in proportion to the condition number"),
    "linalg.solve": (1e-8, "solutions lose digits in proportion to the condition number"),
    "linalg.pinv": (1e-8, "pseudo-inverses of nearly rank-deficient matrices"),
    "linalg.lstsq": (1e-8, "least squares on random (unconditioned) matrices"),
    "linalg.matrix_power": (1e-8, "negative powers are inverses"),
    "linalg.eig": (1e-8, "eigenvectors of non-symmetric matrices"),
    "linalg.eigvals": (1e-8, "eigenvalues of non-symmetric matrices"),
    "linalg.eigh": (1e-8, "eigenvectors of close eigenvalues"),
    "linalg.svd": (1e-8, "singular vectors of close singular values"),
    "svd": (1e-8, "singular vectors of close singular values"),
}


def _mp_det(t):
    """Determinants of the float64 matrices in t at 60 digits (mpmath)."""
    import mpmath as mp
    import torch
    with mp.workdps(60):
        flat = t.reshape(-1, t.shape[-2], t.shape[-1])
        dets = [mp.det(mp.matrix(m.tolist())) if m.shape[-1] else mp.mpf(1) for m in flat]
        if t.is_complex():
            return dets, torch.tensor([complex(d) for d in dets], dtype=torch.complex128).reshape(t.shape[:-2])
        return dets, torch.tensor([float(d) for d in dets], dtype=torch.float64).reshape(t.shape[:-2])


def _mp_bessel():
    import mpmath as mp
    return {"special.bessel_j0": lambda v: mp.besselj(0, v), "special.bessel_j1": lambda v: mp.besselj(1, v),
            "special.bessel_y0": lambda v: mp.bessely(0, v), "special.bessel_y1": lambda v: mp.bessely(1, v),
            "special.airy_ai": mp.airyai}


_MP_BESSEL = {}


def _mp_reference(name, sample, want):
    """PyTorch's result with the ill-conditioned parts recomputed in mpmath,
    or None where there is no such reference."""
    import mpmath as mp
    import torch
    x = sample.input
    if not _MP_BESSEL:
        _MP_BESSEL.update(_mp_bessel())
    if name == "polygamma" and isinstance(x, torch.Tensor) and x.numel() <= 10000 and sample.args:
        # PyTorch 1.13's trigamma is good to about 1e-10
        n = sample.args[0]
        with mp.workdps(40):
            return torch.tensor([float(mp.psi(n, v)) if v != int(v) or v > 0 else float("nan")
                                 for v in x.reshape(-1).tolist()], dtype=torch.float64).reshape(x.shape)
    if name in _MP_BESSEL and isinstance(x, torch.Tensor) and x.numel() <= 20000 and isinstance(want, torch.Tensor):
        # PyTorch 1.13's float64 J, Y and Ai are good to about 1e-8 (and lose the phase at huge
        # arguments); its non-finite and zero results are kept as its edge values.
        fn = _MP_BESSEL[name]
        with mp.workdps(40):
            exact = [float(fn(v)) if math.isfinite(w) and w != 0 and math.isfinite(v) else w
                     for v, w in zip(x.reshape(-1).tolist(), want.reshape(-1).tolist())]
        return torch.tensor(exact, dtype=torch.float64).reshape(want.shape)
    if not isinstance(x, torch.Tensor) or x.dim() < 2 or x.shape[-1] != x.shape[-2]:
        return None
    if name in ("linalg.det", "det"):
        return _mp_det(x)[1]
    if name == "logdet":
        dets, _ = _mp_det(x)
        return torch.tensor([float(mp.log(d)) if d > 0 else (float("-inf") if d == 0 else float("nan"))
                             for d in dets], dtype=torch.float64).reshape(x.shape[:-2])
    if name == "linalg.slogdet":
        dets, _ = _mp_det(x)
        sign = torch.tensor([float(mp.sign(d)) for d in dets], dtype=torch.float64).reshape(x.shape[:-2])
        log = torch.tensor([float(mp.log(abs(d))) if d else float("-inf") for d in dets],
                           dtype=torch.float64).reshape(x.shape[:-2])
        return type(want)((sign, log))
    return None


def _rows_up_to_sign(t, dim):
    """Each vector along `dim` with the sign (complex: the phase) that makes its largest entry positive."""
    import torch
    if t.numel() == 0:
        return t
    idx = t.abs().argmax(dim=dim, keepdim=True)
    sign = torch.sgn(t.gather(dim, idx))
    return t * torch.where(sign == 0, torch.ones_like(sign), sign).conj()


# Vectors that are unique only up to sign: (field, dim along which a vector runs).
SIGN_FREE = {
    "linalg.eigh": {1: -2}, "linalg.svd": {0: -2, 2: -1}, "linalg.qr": {0: -2, 1: -1},
    "linalg.eig": {1: -2}, "svd": {0: -2, 2: -2}, "symeig": {1: -2},
    "svd_lowrank": {0: -2, 2: -2}, "pca_lowrank": {0: -2, 2: -2},
}


def _sign_free_match(case):
    from varnel.zel import zel
    fields = SIGN_FREE.get(case.name)
    if not fields or not isinstance(case.got, tuple) or not isinstance(case.want, tuple):
        return False
    if len(case.want) != len(case.got) or tuple(_fields(case.want) or ()) != tuple(_fields(case.got) or ()):
        return False
    want, got = list(case.want), list(case.got)
    for i, dim in fields.items():
        if not isinstance(got[i], zel.Tensor) or want[i].is_complex() != got[i].is_complex() \
                or tuple(got[i].shape) != tuple(want[i].shape):
            return False
        want[i] = _rows_up_to_sign(want[i], dim)
        got[i] = zel.tensor(_rows_up_to_sign(values_of(got[i]), dim))
    return all(mismatch(w, g, case.tol) is None for w, g in zip(want, got))


def _same_spectrum(case):
    """Eigenvalues of a non-symmetric matrix in another order (Schur form's, not
    LAPACK's): the same values once both are sorted; eig's vectors follow their
    values and are compared up to phase."""
    import torch
    from varnel.zel import zel
    want, got = case.want, case.got
    pair = isinstance(want, tuple)
    wv, gv = (want[0], got[0]) if pair else (want, got)
    if not isinstance(gv, zel.Tensor) or tuple(gv.shape) != tuple(wv.shape) or wv.dim() == 0:
        return False
    g = values_of(gv)
    scale = max(float(wv.abs().max()), 1e-300) if wv.numel() else 1.0

    def order(v):
        key = torch.round(v.real / scale * 1e6) * 1e7 + torch.round(v.imag / scale * 1e6)
        return key.argsort(dim=-1, stable=True)
    ow, og = order(wv), order(g)
    if mismatch(wv.gather(-1, ow), zel.tensor(g.gather(-1, og)), case.tol) is not None:
        return False
    if not pair:
        return True
    vw, vg = want[1], values_of(got[1])
    pick = lambda v, o: v.gather(-1, o.unsqueeze(-2).expand(v.shape))
    return mismatch(_rows_up_to_sign(pick(vw, ow), -2),
                    zel.tensor(_rows_up_to_sign(pick(vg, og), -2)), case.tol) is None


def _random_sketch(case):
    """svd_lowrank of A - M (pca_lowrank centres A): past rank q the answer
    depends on the random draws, which come from the library's generator."""
    kw = case.sample.kwargs
    return case.raised is None and (kw.get("M") is not None or kw.get("center", False))


def _values_only(case):
    """The defined max/min with a dim return the values alone."""
    return (case.info.variant_test_name == "reduction_with_dim" and not case.raised
            and mismatch(case.want[0], case.got, case.tol) is None)


def _flat_mask(case):
    """A comparison's flat bool tensor of one entry per element."""
    import torch
    w, g = case.want, case.got
    return (isinstance(w, torch.Tensor) and w.dtype == torch.bool and isinstance(g, torch.Tensor)
            and g.dtype == torch.bool and g.dim() == 1 and g.numel() == w.numel()
            and torch.equal(g, w.reshape(-1)))


def _ties(case):
    """Equal values whose indices PyTorch and the library pick differently."""
    import torch
    w, g = case.want, case.got
    if not isinstance(w, tuple) or not isinstance(g, tuple) or len(w) != 2 or len(g) != 2:
        return False
    x = case.sample.input
    if mismatch(w[0], g[0], case.tol) is not None or not isinstance(x, torch.Tensor):
        return False
    return x.numel() != torch.unique(x).numel() or bool(torch.isnan(x).any())


def _argsort_ties(case):
    import torch
    x = case.sample.input
    return (isinstance(case.want, torch.Tensor) and isinstance(case.got, torch.Tensor)
            and tuple(case.want.shape) == tuple(case.got.shape)
            and (x.numel() != torch.unique(x).numel() or bool(torch.isnan(x).any())))


def _raised(*types_, text=""):
    def predicate(case):
        return isinstance(case.raised, types_) and text in str(case.raised) and case.want_error is not None
    return predicate


def _var_argument_order(case):
    """The defined var/std read positional (dim, keepdim, unbiased)."""
    args = case.sample.args
    return len(args) >= 2 or any(isinstance(a, bool) for a in args)


def _integer_values(case):
    """Integer and bool tensors are indices and masks here, not values."""
    import torch
    s = case.sample
    values = [s.input, s.args[1] if len(s.args) > 1 else None] if case.name == "where" else [s.input] + list(s.args)
    if isinstance(s.input, (list, tuple)):
        values += list(s.input)
    return case.raised is not None and any(
        isinstance(v, torch.Tensor) and not v.is_floating_point() and not v.is_complex() and v.dtype != torch.bool
        for v in values)


def _integer_result(case):
    """PyTorch's integer result, here a Tensor of the same integers."""
    import torch
    from varnel.zel import zel
    w, g = case.want, case.got
    return (isinstance(w, torch.Tensor) and _kind(w) in ("integer", "bool") and isinstance(g, zel.Tensor)
            and not g.is_complex() and tuple(g.shape) == tuple(w.shape) and torch.equal(values_of(g), w.to(torch.float64)))


def _negative_zero_reciprocal(case):
    """The defined reciprocal(-0) is +inf; everything else must agree."""
    import torch
    x = case.sample.input
    want = torch.where((x == 0) & torch.signbit(x), torch.full_like(x, math.inf), case.want)
    return bool(((x == 0) & torch.signbit(x)).any()) and mismatch(want, case.got, case.tol) is None


def _unsorted_unique(case):
    """unique(sorted=False): PyTorch leaves the order unspecified, the library sorts."""
    import torch
    if case.sample.kwargs.get("sorted", True) or case.raised is not None:
        return False
    w = case.want[0] if isinstance(case.want, tuple) else case.want
    g = case.got[0] if isinstance(case.got, tuple) else case.got
    return mismatch(torch.sort(w).values, g, case.tol) is None


def _tensor_exponent(case):
    import torch
    return isinstance(case.raised, TypeError) and any(isinstance(a, torch.Tensor) for a in case.sample.args)


def _float_only(case):
    """Every element is 8 float64 limbs: no integer, bool or narrower dtype."""
    import torch
    text = repr(case.sample.args) + repr(case.sample.kwargs)
    return any(str(d) in text for d in (torch.int64, torch.int32, torch.bool, torch.float32,
                                          torch.float16, torch.bfloat16, torch.uint8, torch.int16))


def _dtype_error_input(case):
    """Error inputs that rest on dtypes, which the library does not have."""
    import torch

    def tensors(obj):
        if isinstance(obj, torch.Tensor):
            yield obj
        elif isinstance(obj, (list, tuple)):
            for v in obj:
                yield from tensors(v)
        elif isinstance(obj, dict):
            for v in obj.values():
                yield from tensors(v)
    s = case.sample
    values = list(tensors([s.input, s.args, s.kwargs]))
    floating = {t.dtype for t in values if t.is_floating_point()}
    regex = str(case.want_error_regex or "")
    numbers = [v for v in [s.input] + list(s.args) + list(s.kwargs.values()) if isinstance(v, complex)]
    # (in the complex pass complex operands are the samples' own dtype)
    return case.want_error is not None and (
        "out" in s.kwargs or "dtype" in s.kwargs or len(floating) > 1
        or case.dtype == "float64" and (numbers or any(t.is_complex() for t in values))
        or "dtype" in regex or "type" in regex.lower())


# One table of the differences that are defined behaviour: op name (or "*"
# for every op) -> [(reason, predicate on the case)]. A sample that fails or
# errs is counted on-purpose when a predicate of its op holds.
def torch_major():
    import torch
    return int(torch.__version__.split(".")[0])


def _defined_norm_order(c):
    p = c.sample.args[0] if c.sample.args else c.sample.kwargs.get("p", "fro")
    return isinstance(p, str) or (isinstance(p, (int, float)) and (math.isinf(p) or p == 0))


def _unsorted_edges(c):
    import torch
    bins = c.sample.args[0] if c.sample.args else c.sample.kwargs.get("bins")
    if isinstance(bins, torch.Tensor):
        bins = [bins]
    return isinstance(bins, (list, tuple)) and any(
        isinstance(b, torch.Tensor) and b.numel() > 1 and bool((b[1:] < b[:-1]).any()) for b in bins)


def _c99_abs(case):
    """|z| is +inf where a part is infinite, NaN or not (C99's cabs, PyTorch's
    scalar path); PyTorch's vectorised path gives NaN for (NaN, inf)."""
    import torch
    x = case.sample.input
    if not isinstance(x, torch.Tensor) or not x.is_complex() or case.raised is not None:
        return False
    want = torch.where(torch.isinf(x.real) | torch.isinf(x.imag), torch.full_like(case.want, math.inf), case.want)
    return mismatch(want, case.got, case.tol) is None


def _c99_special_values(case):
    """Where PyTorch and the library differ, C99's (Annex G) value decides,
    as Python's cmath gives it: at infinities and NaNs, on the branch cuts'
    signed zeros and where PyTorch's formulas overflow. C99 leaves the sign
    of an infinite part beside a NaN free; where it signals invalid (cmath
    raises) any non-finite answer stands."""
    import cmath
    import torch
    x, fn = case.sample.input, getattr(cmath, case.name, None)
    if fn is None or not isinstance(x, torch.Tensor) or not x.is_complex() or case.raised is not None \
            or not isinstance(case.want, torch.Tensor) or not case.want.is_complex() or case.got is None:
        return False
    x = x.detach().resolve_conj().reshape(-1)
    want = case.want.detach().resolve_conj().reshape(-1)
    got = values_of(case.got).reshape(-1)
    if want.shape != got.shape or want.shape != x.shape:
        return False

    def same(a, b):
        return (a == b) | (torch.isnan(a) & torch.isnan(b)) | ((a - b).abs() <= RTOL * a.abs())
    differ = (~(same(want.real, got.real) & same(want.imag, got.imag))).nonzero().reshape(-1)
    refs = []
    for v, g in zip(x[differ].tolist(), got[differ].tolist()):
        try:
            c = fn(v)
        except (ValueError, OverflowError):
            if math.isfinite(g.real) and math.isfinite(g.imag):
                return False
            c = g
        if math.isnan(c.real) and math.isinf(c.imag):
            c = complex(c.real, math.copysign(c.imag, g.imag))
        if math.isnan(c.imag) and math.isinf(c.real):
            c = complex(math.copysign(c.real, g.real), c.imag)
        refs.append(c)
    ref, g = torch.tensor(refs, dtype=torch.complex128), got[differ]
    return bool((same(ref.real, g.real) & same(ref.imag, g.imag)).all())


def _differing_elements(case):
    """(input, want, got) flat at the elements where PyTorch and the library differ, or None."""
    import torch
    x, w = case.sample.input, case.want
    if not isinstance(x, torch.Tensor) or not x.is_complex() or case.raised is not None \
            or not isinstance(w, torch.Tensor) or not w.is_complex() or case.got is None:
        return None
    x, w, g = x.detach().reshape(-1), w.detach().reshape(-1), values_of(case.got).reshape(-1)
    if not (x.shape == w.shape == g.shape):
        return None

    parts = torch.view_as_real(w)
    finite = parts[torch.isfinite(parts)]
    scale = float(finite.abs().max()) if finite.numel() else 0.0  # as _value_mismatch's

    def same(a, b):
        return (a == b) | (torch.isnan(a) & torch.isnan(b)) | ((a - b).abs() <= RTOL * (a.abs() + scale))
    differ = ~(same(w.real, g.real) & same(w.imag, g.imag))
    return x[differ], w[differ], g[differ]


def _reciprocal_of_zero(case):
    """1/0 is an infinity (C99 Annex G: a part infinite, the other may be NaN); PyTorch gives NaN + NaN i."""
    import torch
    d = _differing_elements(case)
    return d is not None and bool(((d[0] == 0) & (torch.isinf(d[2].real) | torch.isinf(d[2].imag))).all())


def _sigmoid_underflow(case):
    """sigmoid(z) for a real part below -709: PyTorch's exp(-z) overflows to NaN;
    the value, below exp(re z) in size, underflows to 0."""
    import torch
    d = _differing_elements(case)
    return d is not None and bool(((d[0].real < -709) & torch.isnan(d[1].real)
                                   & (d[2].abs() <= 2 * torch.exp(d[0].real))).all())


def _zero_complex_dot(case):
    """PyTorch 1.13's complex dot of two vectors gives 0 on this BLAS (its
    return convention); the sum of the products is the answer."""
    import torch
    a, b = case.sample.input, case.sample.args[0] if case.sample.args else None
    if case.name == "__rmatmul__":
        a, b = b, a
    if not all(isinstance(v, torch.Tensor) and v.is_complex() and v.dim() == 1 for v in (a, b)):
        return False
    if case.name == "vdot":
        a = a.conj()
    return (isinstance(case.want, torch.Tensor) and bool(case.want == 0) and case.raised is None
            and mismatch((a * b).sum(), case.got, Tolerance(RTOL, _max_abs_input([a, b]) ** 2)) is None)


# Operations with op_db samples in one PyTorch version only (item: 2, symeig: 1.13).
VERSION_SPECIFIC_OPS = {"item", "symeig"}

_C99 = "C99's values at infinities, NaNs and on the branch cuts' signed zeros (PyTorch's vectorised paths differ)"
_ZERO_DOT = "PyTorch 1.13's complex dot of vectors gives 0 (its BLAS's return convention): the sum of products holds"

ON_PURPOSE = {
    "*": [
        ("broadcasting errors are the defined ValueError('Cannot broadcast ...')",
         _raised(ValueError, text="Cannot broadcast")),
        ("reshape/view/expand size errors are the defined ValueError",
         lambda c: c.name in ("reshape", "reshape_as", "view", "view_as", "expand", "expand_as")
         and isinstance(c.raised, ValueError) and c.want_error is not None),
        ("max/min/argmax/argmin of no elements raise the defined ValueError",
         lambda c: c.name in ("max", "min", "argmax", "argmin") and isinstance(c.raised, ValueError)
         and c.want_error is not None),
        ("every element is 8 float64 limbs: errors about dtypes or out= cannot arise", _dtype_error_input),
        ("no integer dtype: integer tensors are indices, not values", _integer_values),
        ("more than 64 dimensions raise the library's ValueError",
         lambda c: c.want_error is not None and isinstance(c.raised, ValueError) and "at most 64" in str(c.raised)),
        ("out-of-range indices raise IndexError naming the index and the size",
         lambda c: c.want_error is not None and isinstance(c.raised, IndexError) and "out of bounds" in str(c.raised)),
    ],
    "__rpow__": [("Tensor ** Tensor raises TypeError (the defined __pow__ takes numbers)", _tensor_exponent)],
    "max": [("max(dim=...) returns the values only", _values_only)],
    "isnan": [("isnan returns a flat bool tensor, one entry per element", _flat_mask)],
    "isinf": [("isinf returns a flat bool tensor, one entry per element", _flat_mask)],
    "isfinite": [("isfinite returns a flat bool tensor, one entry per element", _flat_mask)],
    "min": [("min(dim=...) returns the values only", _values_only)],
    "var": [("var takes positional (dim, keepdim, unbiased)", _var_argument_order)],
    "std": [("std takes positional (dim, keepdim, unbiased)", _var_argument_order)],
    "sign": [("sign(NaN) is NaN", lambda c: c.sample.input.isnan().any().item())],
    "sgn": [("sgn(NaN) is NaN", lambda c: c.sample.input.isnan().any().item())],
    "unique": [("NaNs stay distinct", lambda c: bool(c.sample.input.isnan().any())),
               ("unique(sorted=False): the order is PyTorch's to choose; the library sorts", _unsorted_unique)],
    # zel.norm is the defined formula (sum |x|^p)^(1/p), with no special orders;
    # Tensor.norm and linalg.vector_norm are PyTorch's.
    "norm": [("zel.norm has no special p (inf, 0, named norms)", _defined_norm_order)],
    "norm.inf": [("zel.norm has no special p (inf, 0, named norms)", _defined_norm_order)],
    "norm.fro": [("zel.norm has no special p (inf, 0, named norms)", _defined_norm_order)],
    "norm.nuc": [("zel.norm has no special p (inf, 0, named norms)", _defined_norm_order)],
    "masked.var": [("unbiased=None is PyTorch 2's default, the sample variance (PyTorch 1 took the population's)",
                    lambda c: torch_major() < 2 and "unbiased" not in c.sample.kwargs and len(c.sample.args) < 2)],
    "masked.std": [("unbiased=None is PyTorch 2's default, the sample deviation (PyTorch 1 took the population's)",
                    lambda c: torch_major() < 2 and "unbiased" not in c.sample.kwargs and len(c.sample.args) < 2)],
    "squeeze.multiple": [("the defined squeeze takes one dim: a tuple raises its TypeError",
                          lambda c: isinstance(c.raised, TypeError))],
    "linspace.tensor_overload": [("the defined linspace takes numbers: a tensor raises its TypeError",
                                  lambda c: isinstance(c.raised, TypeError))],
    "cat": [("shapes that do not fit raise ValueError, the defined cat's error type (the defined cat joins them blindly)",
             lambda c: isinstance(c.raised, ValueError) and c.want_error is not None
             and ("does not match" in str(c.raised) or "zero-dimensional" in str(c.raised))),
            ("the defined cat takes its shape from the first tensor: PyTorch's legacy skipping of empty 1-D "
             "tensors does not apply", lambda c: isinstance(c.raised, IndexError) and c.want_error is None),
            ("cat of a tuple raises the defined TypeError: tensors must be a list",
             lambda c: isinstance(c.raised, TypeError) and "expected list, got tuple" in str(c.raised)),
            ("cat of no tensors raises the defined ValueError", _raised(ValueError, text="at least one tensor"))],
    "eye": [("eye(n, 0) is the n x n identity: m = 0 counts as not given",
             lambda c: len(c.sample.args) > 0 and c.sample.args[0] == 0)],
    "topk": [("topk returns its entries sorted; ties take the first index", _ties)],
    "sort": [("sorting is stable: ties take the first index", _ties)],
    "kthvalue": [("ties take the first index in input order", _ties)],
    "median": [("ties take the first index in input order", _ties)],
    "cummax": [("ties take the index by exact order", _ties)],
    "cummin": [("ties take the index by exact order", _ties)],
    "argsort": [("sorting is stable: ties take the first index", _argsort_ties)],
    "linalg.eigh": [("eigenvectors are unique up to sign", _sign_free_match)],
    "linalg.eigvals@complex128": [("eigenvalues in Schur form's order, not LAPACK's", _same_spectrum)],
    "linalg.eig@complex128": [("eigenvalues in Schur form's order, not LAPACK's; vectors up to phase",
                               _same_spectrum)],
    "linalg.svd": [("singular vectors are unique up to sign", _sign_free_match)],
    "svd": [("singular vectors are unique up to sign", _sign_free_match)],
    "cov": [("float32 aweights are used at their exact values; PyTorch sums them in float32",
             lambda c: getattr(c.sample.kwargs.get("aweights"), "dtype", None) is not None
             and str(c.sample.kwargs["aweights"].dtype) == "torch.float32" and c.mismatch is not None)],
    "linalg.qr": [("Q's columns and R's rows are unique up to sign", _sign_free_match)],
    "symeig": [("eigenvectors are unique up to sign", _sign_free_match)],
    "svd_lowrank": [("singular vectors are unique up to sign", _sign_free_match),
                    ("a random sketch of A - M: the library's generator draws other numbers", _random_sketch)],
    "pca_lowrank": [("singular vectors are unique up to sign", _sign_free_match),
                    ("a random sketch of the centred A: the library's generator draws other numbers", _random_sketch)],
    "linalg.eig": [("no complex dtype: real eigenvalues come as a real Tensor",
                    lambda c: c.mismatch is not None and "complex" in c.mismatch),
                   ("eigenvectors are unique up to sign", _sign_free_match)],
    "linalg.eigvals": [("no complex dtype: real eigenvalues come as a real Tensor; complex ones raise",
                        lambda c: c.mismatch is not None and "complex" in c.mismatch
                        or isinstance(c.raised, RuntimeError) and "complex" in str(c.raised))],
    "linalg.lu_factor": [("pivot=False raises PyTorch's CPU error", lambda c: c.sample.kwargs.get("pivot") is False)],
    "linalg.lu": [("pivot=False raises PyTorch's CPU error", lambda c: c.sample.kwargs.get("pivot") is False)],
    "item": [("item() of several elements raises the defined ValueError", _raised(ValueError, text="single-element"))],
    "dot": [("the defined dot broadcasts its operands", lambda c: c.want_error is not None and c.raised is None)],
    "as_strided.partial_views": [("the storage here is the tensor's own elements, not a larger one it views",
                                  lambda c: True)],
    "histogram": [("bin edges that do not increase: which bin a point lands in is each search's own",
                   _unsorted_edges)],
    "aminmax": [("a 0-d input with keepdim gives 0-d results, as PyTorch 2 (PyTorch 1.13 gives shape (1,))",
                 lambda c: torch_major() < 2 and c.sample.input.dim() == 0 and c.mismatch is not None
                 and "shape ()" in c.mismatch)],
    "histogramdd": [("bin edges that do not increase: which bin a point lands in is each search's own",
                     _unsorted_edges)],
    "to": [("to(dtype) never changes the storage (8 float64 limbs)", _float_only)],
    "arange": [("no integer storage: integer ranges are Tensors of 8 float64 limbs", _integer_result)],
    "abs@complex128": [("|z| is +inf where a part is infinite, as C99's cabs", _c99_abs)],
    "reciprocal@complex128": [("1/0 is an infinity, as C99's complex division", _reciprocal_of_zero)],
    "sigmoid@complex128": [("a real part below -709 underflows to 0 where PyTorch's exp(-z) overflows to NaN",
                            _sigmoid_underflow)],
    "sin@complex128": [(_C99, _c99_special_values)],
    "cos@complex128": [(_C99, _c99_special_values)],
    "tan@complex128": [(_C99, _c99_special_values)],
    "sinh@complex128": [(_C99, _c99_special_values)],
    "cosh@complex128": [(_C99, _c99_special_values)],
    "tanh@complex128": [(_C99, _c99_special_values)],
    "asin@complex128": [(_C99, _c99_special_values)],
    "acos@complex128": [(_C99, _c99_special_values)],
    "atan@complex128": [(_C99, _c99_special_values)],
    "asinh@complex128": [(_C99, _c99_special_values)],
    "acosh@complex128": [(_C99, _c99_special_values)],
    "atanh@complex128": [(_C99, _c99_special_values)],
    "exp@complex128": [(_C99, _c99_special_values)],
    "log@complex128": [(_C99, _c99_special_values)],
    "log10@complex128": [(_C99, _c99_special_values)],
    "sqrt@complex128": [(_C99, _c99_special_values)],
    "dot@complex128": [(_ZERO_DOT, _zero_complex_dot)],
    "vdot@complex128": [(_ZERO_DOT, _zero_complex_dot)],
    "matmul@complex128": [(_ZERO_DOT, _zero_complex_dot)],
    "__rmatmul__@complex128": [(_ZERO_DOT, _zero_complex_dot)],
    "reciprocal": [("the defined Newton reciprocal gives +inf for -0", _negative_zero_reciprocal)],
    "matmul": [("matmul with a number raises the defined TypeError", _raised(TypeError))],
}


class Case:
    """One sample: what PyTorch did and what the library did."""

    def __init__(self, name, info, sample, tol, dtype="float64"):
        self.name, self.info, self.sample, self.tol, self.dtype = name, info, sample, tol, dtype
        self.want = self.got = self.raised = self.mismatch = None
        self.want_error = self.want_error_regex = None


def on_purpose_reason(case):
    # a rule may name the operation or one of its variants (norm.inf), in one pass (sum@complex128) or both
    keys = (op_key(case.info, case.dtype), case.name + "@" + case.dtype, op_key(case.info), case.name, "*")
    for key in dict.fromkeys(keys):
        for reason, predicate in ON_PURPOSE.get(key, ()):
            try:
                if predicate(case):
                    return reason
            except Exception:
                continue
    return None


# --------------------------------------------------------------------------
# Running one sample.

def describe(obj, depth=0):
    import torch
    from varnel.zel import zel
    if isinstance(obj, torch.Tensor):
        body = obj.tolist() if obj.numel() <= 12 and obj.device.type != "meta" else "..."
        return "tensor(%s, shape=%s, %s)" % (body, tuple(obj.shape), str(obj.dtype).replace("torch.", ""))
    if isinstance(obj, zel.Tensor):
        return describe(values_of(obj), depth)
    if isinstance(obj, (list, tuple)) and depth < 3:
        inner = ", ".join(describe(v, depth + 1) for v in list(obj)[:8])
        return ("[%s]" if isinstance(obj, list) else "(%s)") % (inner + (", ..." if len(obj) > 8 else ""))
    if isinstance(obj, dict):
        return "{%s}" % ", ".join("%s=%s" % (k, describe(v, depth + 1)) for k, v in obj.items())
    return repr(obj)[:200]


def sample_repr(sample):
    return "input=%s args=%s kwargs=%s" % (describe(sample.input), describe(sample.args),
                                           describe(sample.kwargs))


def run_sample(info, target, sample, kind, error=None, dtype="float64"):
    """Classify one sample: returns (status, detail)."""
    import torch
    name = info.name
    rtol, _ = ILL_CONDITIONED.get(name, (RTOL, None))
    scale = _max_abs_input([sample.input, list(sample.args)]) if name in CANCELLING else 0.0
    case = Case(name, info, sample, Tolerance(rtol, scale, dtype == "float64"), dtype)
    if error is not None:
        case.want_error, case.want_error_regex = error.error_type, error.error_regex
    # The library's arguments are made first: PyTorch's call may not touch them.
    z_input, z_args, z_kwargs = to_library(sample.input), to_library(sample.args), to_library(sample.kwargs)
    torch_error = None
    if error is None:
        try:
            with torch.no_grad():
                case.want = info(sample.input, *sample.args, **sample.kwargs)
        except Exception as e:
            torch_error = e
            case.want_error = type(e)
    try:
        case.got = target(z_input, *z_args, **z_kwargs)
    except Exception as e:
        case.raised = e
    if case.want_error is not None:
        if case.raised is None:
            case.mismatch = "no exception, expected %s" % case.want_error.__name__
        elif not (isinstance(case.raised, case.want_error) or issubclass(case.want_error, type(case.raised))):
            case.mismatch = "raised %s: %s; expected %s" % (
                type(case.raised).__name__, str(case.raised)[:160], case.want_error.__name__)
        else:
            return "pass", None
    elif case.raised is not None:
        case.mismatch = "raised %s: %s" % (type(case.raised).__name__, str(case.raised)[:200])
    else:
        case.mismatch = mismatch(case.want, case.got, case.tol)
        if case.mismatch is not None and name in VALUES_UNDEFINED and "value at" in case.mismatch:
            case.mismatch = None
        if case.mismatch is not None:
            reference = _mp_reference(name, sample, case.want)
            if reference is not None and mismatch(reference, case.got, Tolerance(1e-20 if rtol == RTOL else rtol)) is None:
                return "pass", None
        if case.mismatch is None:
            return "pass", None
    reason = on_purpose_reason(case)
    status = "on-purpose" if reason else ("error" if case.raised is not None and case.want_error is None else "fail")
    detail = {
        "kind": kind, "sample": sample_repr(sample), "mismatch": case.mismatch,
        "expected": describe(case.want) if torch_error is None and error is None else
        "%s%s" % (case.want_error.__name__, ": " + str(torch_error)[:160] if torch_error else ""),
        "got": describe(case.got) if case.raised is None else "%s: %s" % (type(case.raised).__name__,
                                                                         str(case.raised)[:200]),
    }
    if reason:
        detail["reason"] = reason
    return status, detail


# The zel.special functions are compositions in Python (tens of microseconds an
# element): without --all their samples above this many elements are skipped.
SLOW_SAMPLE_CAP = 5000
_SLOW_NAMES = {"lgamma", "digamma", "polygamma", "mvlgamma", "erfinv", "i0"}


def slow(info):
    return info.name in _SLOW_NAMES or info.name.startswith("special.")


def _numel_of(obj):
    import torch
    if isinstance(obj, torch.Tensor):
        return obj.numel()
    if isinstance(obj, (list, tuple)):
        return sum(_numel_of(v) for v in obj)
    return 0


def op_seed(seed, key):
    return (seed ^ zlib.crc32(key.encode())) & 0x7FFFFFFF


def samples_of(info, seed, cap, dtype="float64"):
    """(kind, index, sample, error_input) in a fixed order for a seed."""
    import itertools
    import torch
    key = op_key(info, dtype)
    tdtype = getattr(torch, dtype)
    out = []
    torch.manual_seed(op_seed(seed, key))
    try:
        for i, s in enumerate(itertools.islice(
                info.sample_inputs("cpu", tdtype, requires_grad=False), cap or None)):
            out.append(("sample", i, s, None))
    except Exception as e:
        out.append(("sample-generation", 0, None, e))
    if getattr(info, "reference_inputs_func", None) is not None:
        torch.manual_seed(op_seed(seed, key + ":reference"))
        try:
            gen = info.reference_inputs("cpu", tdtype, requires_grad=False)
            for i, s in enumerate(itertools.islice(gen, (REFERENCE_CAP * 10 if not cap else REFERENCE_CAP))):
                out.append(("reference", i, s, None))
        except Exception as e:
            out.append(("sample-generation", 1, None, e))
    # error_inputs take no dtype: the float64 pass runs them
    if getattr(info, "error_inputs_func", None) is not None and dtype == "float64":
        torch.manual_seed(op_seed(seed, key + ":error"))
        try:
            for i, e in enumerate(itertools.islice(info.error_inputs("cpu"), ERROR_CAP)):
                out.append(("error", i, e.sample_input, e))
        except Exception as e:
            out.append(("sample-generation", 2, None, e))
    return out


# --------------------------------------------------------------------------
# The worker: runs samples, one JSON line each, announcing each first.

def select_ops(op_db, names=None, dtypes=("float64",)):
    """[(key, info, target, dtype)] of the ops the library has, for each
    dtype of `dtypes` that the op supports, in key order. `names` holds op
    names, name.variant keys or full keys (sum@complex128)."""
    chosen = []
    for dtype in dtypes:
        for info in dtype_ops(op_db, dtype):
            key = op_key(info, dtype)
            if names and not names & {info.name, op_key(info), key}:
                continue
            target = resolve(info)
            if target is not None:
                chosen.append((key, info, target, dtype))
    chosen.sort(key=lambda t: t[0])
    return chosen


def dtypes_of(option):
    return DTYPES if option == "both" else (option,)


def worker(args):
    import warnings
    import torch
    warnings.filterwarnings("ignore")
    torch.set_num_threads(1)
    op_db = load_op_db()
    names = set(args.ops.split(",")) if args.ops else None
    resume_key, resume_pos = (args.resume.rsplit("#", 1) + [None])[:2] if args.resume else (None, None)
    out = sys.stdout
    deadline = time.time() + args.budget if args.budget else None
    for key, info, target, dtype in select_ops(op_db, names, dtypes_of(args.dtype)):
        if resume_key is not None and key < resume_key:
            continue
        for pos, (kind, index, sample, error) in enumerate(
                samples_of(info, args.seed, 0 if args.all else SAMPLE_CAP, dtype)):
            if resume_key == key and pos <= int(resume_pos):
                continue
            if deadline is not None and time.time() > deadline:
                out.write(json.dumps({"budget": True}) + "\n")
                out.flush()
                return
            if kind == "sample-generation":
                out.write(json.dumps({"op": key, "pos": pos, "status": "skipped",
                                      "detail": {"reason": "sample generation raised %r" % error}}) + "\n")
                out.flush()
                continue
            if not args.all and slow(info) and _numel_of([sample.input, list(sample.args)]) > SLOW_SAMPLE_CAP:
                out.write(json.dumps({"op": key, "pos": pos, "status": "skipped",
                                      "detail": {"reason": "a large sample of a Python-level composition"}}) + "\n")
                out.flush()
                continue
            out.write(json.dumps({"start": key, "pos": pos, "kind": kind}) + "\n")
            out.flush()
            status, detail = run_sample(info, target, sample, kind, error, dtype)
            out.write(json.dumps({"op": key, "pos": pos, "status": status, "detail": detail}) + "\n")
            out.flush()
        resume_key = None
    out.write(json.dumps({"done": True}) + "\n")
    out.flush()


def run_samples(seed=DEFAULT_SEED, ops=None, all_samples=False, budget=None, timeout=SAMPLE_TIMEOUT_S,
                log=None, dtype="float64"):
    """Drive worker processes over the selected ops; returns the per-sample
    records and whether every selected sample ran within the budget. A worker that dies or hangs on a sample leaves a `crash` record
    and a fresh worker resumes after it."""
    records = []
    resume = None
    start = time.time()
    while True:
        cmd = [sys.executable, os.path.abspath(__file__), "--worker", "--seed", str(seed), "--dtype", dtype]
        if ops:
            cmd += ["--ops", ",".join(ops)]
        if all_samples:
            cmd.append("--all")
        if resume:
            cmd += ["--resume", resume]
        if budget:
            cmd += ["--budget", str(max(1.0, budget - (time.time() - start)))]
        proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, bufsize=1)
        current, finished = None, False
        while True:
            ready, _, _ = select.select([proc.stdout], [], [], timeout)
            if not ready:
                proc.kill()
                proc.wait()
                if current:
                    records.append({"op": current["start"], "pos": current["pos"], "status": "crash",
                                    "detail": {"kind": current["kind"], "mismatch": "hung for %gs" % timeout}})
                break
            line = proc.stdout.readline()
            if not line:
                break
            msg = json.loads(line)
            if "start" in msg:
                current = msg
            elif "done" in msg or "budget" in msg:
                finished = True
                records.append({"budget_exhausted": True} if "budget" in msg else {"done": True})
            else:
                records.append(msg)
                current = None
                if log:
                    log(msg)
        rc = proc.wait()
        stderr = proc.stderr.read()
        if finished:
            break
        if current is None:
            raise RuntimeError("conformance worker exited with %s before any sample:\n%s" % (rc, stderr[-2000:]))
        if not records or records[-1].get("status") != "crash" or records[-1].get("pos") != current["pos"]:
            records.append({"op": current["start"], "pos": current["pos"], "status": "crash",
                            "detail": {"kind": current["kind"],
                                       "mismatch": "worker died (exit %s): %s" % (rc, stderr[-300:])}})
        resume = "%s#%d" % (current["start"], current["pos"])
    complete = not any(r.get("budget_exhausted") for r in records)
    return [r for r in records if "op" in r], complete


# --------------------------------------------------------------------------
# Report.

STATUSES = ("pass", "fail", "error", "on-purpose", "crash")


def summarize(records, op_db):
    infos = {op_key(i): i for i in op_db}
    per_op = collections.OrderedDict()
    for r in records:
        if r["status"] == "skipped":
            continue
        counts = per_op.setdefault(r["op"], collections.Counter())
        counts[r["status"]] += 1
    per_family = collections.defaultdict(collections.Counter)
    for key, counts in per_op.items():
        fam = family(infos[base_key(key)])
        per_family[fam if "@" not in key else "%s @%s" % (fam, key.split("@")[1])].update(counts)
    return per_op, per_family


def pass_rate(counts):
    judged = counts["pass"] + counts["fail"] + counts["error"] + counts["crash"]
    return counts["pass"] / judged if judged else 1.0


def missing_ops(op_db):
    """{name: number of op_db entries} of the float64 ops the library lacks,
    not counting those other work takes (taken_elsewhere)."""
    missing = collections.Counter()
    for info in float64_ops(op_db):
        if resolve(info) is None and not taken_elsewhere(info.name):
            missing[info.name] += 1
    return missing


def failure_kind(record):
    """A short name for how a sample failed: 'value', 'shape', 'raised TypeError', ..."""
    m = (record.get("detail") or {}).get("mismatch") or ""
    if record["status"] == "crash":
        return "crash"
    if m.startswith("raised"):
        kind = "raised " + m.split(":")[0].split(" ")[1]
        return kind + (" (error input)" if "; expected" in m else "")
    if m.startswith("no exception"):
        return "no exception (error input)"
    for word in ("value", "shape", "dtype class", "fields", "length", "complex", "expected a"):
        if ": " + word in m:
            return word.replace("expected a", "structure")
    return m[:40]


def main_kind(records, key):
    kinds = collections.Counter(failure_kind(r) for r in records
                                if r.get("op") == key and r["status"] in ("fail", "error", "crash"))
    return "%s (%d)" % kinds.most_common(1)[0] if kinds else ""


def pass_totals(per_op):
    """{dtype: the counts of its pass}, float64 first."""
    passes = collections.OrderedDict((d, collections.Counter()) for d in DTYPES)
    for key, c in per_op.items():
        passes[key.split("@", 1)[1] if "@" in key else "float64"].update(c)
    return collections.OrderedDict((d, c) for d, c in passes.items() if c)


def report(records, op_db, out=sys.stdout, worst=30):
    per_op, per_family = summarize(records, op_db)
    total = collections.Counter()
    for c in per_op.values():
        total.update(c)
    w = max([len(k) for k in per_op] + [10])
    print("%-*s  passed/total  (fail, error, on-purpose, crash)" % (w, "operation"), file=out)
    for key, c in sorted(per_op.items()):
        print("%-*s  %4d/%-4d  (%d, %d, %d, %d)" % (w, key, c["pass"], sum(c.values()), c["fail"], c["error"],
                                                   c["on-purpose"], c["crash"]), file=out)
    print("\nper family: passed/total (fail, error, on-purpose, crash)  pass rate excluding on-purpose", file=out)
    for fam, c in sorted(per_family.items()):
        print("  %-32s %5d/%-5d (%d, %d, %d, %d)  %.1f%%" % (fam, c["pass"], sum(c.values()), c["fail"], c["error"],
                                                          c["on-purpose"], c["crash"], 100 * pass_rate(c)), file=out)
    print("  %-32s %5d/%-5d (%d, %d, %d, %d)  %.1f%%  over %d ops" % (
        "overall", total["pass"], sum(total.values()), total["fail"], total["error"], total["on-purpose"],
        total["crash"], 100 * pass_rate(total), len(per_op)), file=out)
    passes = pass_totals(per_op)
    if len(passes) > 1:
        for dtype, c in passes.items():
            print("  %-32s %5d/%-5d (%d, %d, %d, %d)  %.1f%%" % (
                "overall " + dtype, c["pass"], sum(c.values()), c["fail"], c["error"], c["on-purpose"],
                c["crash"], 100 * pass_rate(c)), file=out)
    ranked = sorted(((pass_rate(c), -(c["fail"] + c["error"] + c["crash"]), k) for k, c in per_op.items()
                     if c["fail"] + c["error"] + c["crash"]))[:worst]
    print("\n%d worst operations (pass rate, failing samples, main failure kind):" % len(ranked), file=out)
    for rate, bad, key in ranked:
        print("  %-*s %5.1f%%  %3d  %s" % (w, key, 100 * rate, -bad, main_kind(records, key)), file=out)
    missing = missing_ops(op_db)
    print("\nfloat64 op_db operations the library lacks (%d; entries in parentheses; nn.functional, special, "
          "fft, complex and private ops left out):" % len(missing), file=out)
    print("  " + ", ".join("%s (%d)" % (n, c) if c > 1 else n for n, c in sorted(missing.items())), file=out)
    names = sorted({i.name for i in float64_ops(op_db)})
    print("\nleft out on purpose:", file=out)
    for n in names:
        if n in LEFT_OUT:
            print("  %s: %s" % (n, LEFT_OUT[n]), file=out)
    for prefix, why in (("jiterator_", "CUDA's runtime-compiled kernels"),
                        ("torch.ops.aten.", "private aten operators")):
        found = [n for n in names if n.startswith(prefix)]
        if found:
            print("  %s: %s" % (", ".join(found), why), file=out)
    skipped = [r for r in records if r["status"] == "skipped"]
    if skipped:
        print("\nsample generation failed for: %s" % ", ".join(sorted({r["op"] for r in skipped})), file=out)
    return per_op, per_family, total, missing


def dump_json(path, records, op_db, seed, complete, per_op, per_family, total, missing):
    import torch
    failures = [dict(op=r["op"], pos=r["pos"], status=r["status"], **(r["detail"] or {}))
                for r in records if r["status"] in ("fail", "error", "crash")]
    on_purpose = [dict(op=r["op"], pos=r["pos"], **(r["detail"] or {})) for r in records
                  if r["status"] == "on-purpose"]
    data = {
        "python": sys.version.split()[0], "torch": torch.__version__, "seed": seed, "complete": complete,
        "overall": dict(total, pass_rate=pass_rate(total), ops=len(per_op)),
        "passes": {d: dict(c, pass_rate=pass_rate(c)) for d, c in pass_totals(per_op).items()},
        "families": {f: dict(c, pass_rate=pass_rate(c)) for f, c in per_family.items()},
        "operations": {k: dict(c) for k, c in per_op.items()},
        "missing": dict(missing),
        "failures": failures, "on_purpose": on_purpose,
    }
    with open(path, "w") as f:
        json.dump(data, f, indent=1)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seed", type=int, default=DEFAULT_SEED)
    parser.add_argument("--ops", help="comma-separated op names, name.variant keys or keys of a pass (sum@complex128)")
    parser.add_argument("--dtype", choices=DTYPES + ("both",), default="float64",
                        help="the samples' dtype: float64 (default), complex128 or both passes")
    parser.add_argument("--all", action="store_true", help="every sample, no per-op caps")
    parser.add_argument("--json", help="write the figures and every failure to this file")
    parser.add_argument("--budget", type=float, help="stop starting samples after this many seconds")
    parser.add_argument("--list", action="store_true",
                        help="print the op keys the library has and every op_db name, as JSON")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--resume", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.worker:
        return worker(args)
    if args.list:
        op_db = load_op_db()
        print(json.dumps({"keys": [key for key, _, _, _ in select_ops(op_db)],
                          "complex_keys": [key for key, _, _, _ in select_ops(op_db, dtypes=("complex128",))],
                          "names": sorted({info.name for info in op_db})}))
        return
    t0 = time.time()
    records, complete = run_samples(args.seed, args.ops.split(",") if args.ops else None, args.all, args.budget,
                                    dtype=args.dtype)
    op_db = load_op_db()
    results = report(records, op_db)
    print("\n%.0f s, seed %d%s" % (time.time() - t0, args.seed, "" if complete else ", stopped by --budget"))
    if args.json:
        dump_json(args.json, records, op_db, args.seed, complete, *results)


if __name__ == "__main__":
    main()
