"""zel.save and zel.load: torch.save / torch.load for this library's tensors.

A saved file is a pickle stream of ("varnel.zel", version, obj). A tensor is
written through Tensor.__reduce__'s state (its limb array and shape) as the
raw little-endian float64 bytes of its limbs, its shape and its
requires_grad flag, so a load gives back every bit. zel.load unpickles with a
restricted unpickler, like PyTorch's weights_only=True: only this library's
tensor rebuilder, OrderedDict, Counter and the builtin containers, numbers, strings
and None are accepted; any other global is refused before it is looked up.
"""
import io
import math
import os
import pickle
from collections import Counter, OrderedDict

import numpy as np
import torch as _torch

class _Library:
    """Stands for varnel.zel.zel until install() runs: imported directly, this
    module gets it on first use (importing it installs this module)."""

    def __getattr__(self, name):
        from varnel.zel import zel
        return getattr(zel, name)


_zel = _Library()  # install() puts the module itself here
_MAGIC = "varnel.zel"
_VERSION = 1
_LIMBS = 8
_ALLOWED = {("varnel.zel._serialization", "_rebuild_tensor"): None,
            ("varnel.zel._serialization", "_rebuild_complex"): None,
            ("collections", "OrderedDict"): OrderedDict,
            ("collections", "Counter"): Counter,  # MultiStepLR's milestones
            ("builtins", "complex"): complex}


def _rebuild_tensor(shape, limbs, requires_grad):
    """A tensor from its shape, the bytes of its limbs and its requires_grad flag (checked first)."""
    if (not isinstance(shape, tuple) or len(shape) > 64
            or not all(isinstance(n, int) and not isinstance(n, bool) and 0 <= n < 2 ** 62 for n in shape)):
        raise pickle.UnpicklingError(f"invalid tensor shape in saved file: {shape!r}")
    if not isinstance(limbs, bytes):
        raise pickle.UnpicklingError("invalid tensor limbs in saved file: expected bytes")
    if not isinstance(requires_grad, bool):
        raise pickle.UnpicklingError("invalid requires_grad flag in saved file")
    count = math.prod(shape)
    if len(limbs) != count * _LIMBS * 8:
        raise pickle.UnpicklingError(f"tensor of shape {shape} needs {count * _LIMBS * 8} bytes of limbs, "
                                     f"the file holds {len(limbs)}")
    rows = np.frombuffer(limbs, dtype="<f8").astype(np.float64).reshape(count, _LIMBS)
    t = _zel.Tensor.__new__(_zel.Tensor)
    t.__setstate__((_torch.from_numpy(rows.copy()), shape, "cpu"))
    if requires_grad:
        t.requires_grad_(True)
    return t


def _reduce_tensor(t):
    if t.is_complex():
        shape, raw, requires_grad = _reduce_tensor(_zel.view_as_real(t))[1]
        return _rebuild_complex, (shape[:-1], raw, requires_grad)
    # Tensor.__reduce__ gives (constructor, args, (limbs, shape, device)).
    limbs, shape, _device = t.__reduce__()[2]
    raw = limbs.detach().cpu().contiguous().numpy().astype("<f8").tobytes()
    return _rebuild_tensor, (tuple(shape), raw, bool(t.requires_grad))


class _Pickler(pickle.Pickler):
    def reducer_override(self, obj):
        if isinstance(obj, _zel.Tensor):
            return _reduce_tensor(obj)
        return NotImplemented


class _Unpickler(pickle.Unpickler):
    def find_class(self, module, name):
        key = (module, name)
        if key not in _ALLOWED:
            raise pickle.UnpicklingError(
                f"zel.load refused the global {module}.{name}: only tensors of varnel.zel, numbers, strings, "
                "None and dict, list, tuple, OrderedDict and Counter containers can be loaded")
        return {"_rebuild_tensor": _rebuild_tensor, "_rebuild_complex": _rebuild_complex}.get(key[1], _ALLOWED[key])

    def persistent_load(self, pid):
        raise pickle.UnpicklingError("zel.load refused a persistent id: not written by zel.save")


def _rebuild_complex(shape, limbs, requires_grad):
    """A complex tensor from its shape and the bytes of its (real, imaginary) limbs."""
    if not isinstance(shape, tuple):
        raise pickle.UnpicklingError(f"invalid tensor shape in saved file: {shape!r}")
    return _zel.view_as_complex(_rebuild_tensor(shape + (2,), limbs, requires_grad))


def _is_path(f):
    return isinstance(f, (str, os.PathLike))


def save(obj, f, pickle_protocol=4):
    """Saves obj (tensors, numbers, strings, None, nested dict/list/tuple/OrderedDict) to a path or binary file.

    Tensors keep all their limbs, their shape and their requires_grad flag.
    """
    if isinstance(pickle_protocol, bool) or not isinstance(pickle_protocol, int) \
            or not 2 <= pickle_protocol <= pickle.HIGHEST_PROTOCOL:
        raise ValueError(f"pickle_protocol must be an integer from 2 to {pickle.HIGHEST_PROTOCOL}, "
                         f"got {pickle_protocol!r}")
    buf = io.BytesIO()
    _Pickler(buf, protocol=pickle_protocol).dump((_MAGIC, _VERSION, obj))
    data = buf.getvalue()
    if _is_path(f):
        with open(f, "wb") as fh:
            fh.write(data)
    elif hasattr(f, "write"):
        f.write(data)
    else:
        raise TypeError(f"f must be a path or a binary file object, got {type(f).__name__}")


def load(f, map_location=None, weights_only=True, **kwargs):
    """Loads what zel.save wrote, from a path or binary file object, refusing anything else.

    map_location may be None or "cpu" (the only device); weights_only=False
    is not supported: loading is always restricted.
    """
    if kwargs:
        raise TypeError(f"load() got an unexpected keyword argument '{next(iter(kwargs))}'")
    if map_location not in (None, "cpu") and str(map_location) != "cpu":
        raise ValueError(f"map_location must be None or 'cpu', got {map_location!r}")
    if weights_only is False:
        raise ValueError("zel.load only loads with weights_only=True: files are never unpickled unrestricted")
    if _is_path(f):
        with open(f, "rb") as fh:
            data = fh.read()
    elif hasattr(f, "read"):
        data = f.read()
        if not isinstance(data, (bytes, bytearray)):
            raise TypeError("the file object must be opened in binary mode")
    else:
        raise TypeError(f"f must be a path or a binary file object, got {type(f).__name__}")
    try:
        loaded = _Unpickler(io.BytesIO(bytes(data))).load()
    except pickle.UnpicklingError as exc:
        if str(exc).startswith(("zel.load", "invalid tensor", "tensor of shape")):
            raise
        raise pickle.UnpicklingError(f"zel.load: not a file written by zel.save ({exc})") from None
    except (EOFError, ValueError, TypeError, KeyError, IndexError, AttributeError, OverflowError,
            MemoryError, RecursionError, UnicodeDecodeError) as exc:
        raise pickle.UnpicklingError(f"zel.load: not a file written by zel.save ({type(exc).__name__}: {exc})") \
            from None
    if not (isinstance(loaded, tuple) and len(loaded) == 3 and loaded[0] == _MAGIC):
        raise pickle.UnpicklingError("zel.load: not a file written by zel.save")
    if loaded[1] != _VERSION:
        raise pickle.UnpicklingError(f"zel.load: unsupported file version {loaded[1]!r}")
    return loaded[2]


def install(zel):
    """Adds zel.save and zel.load to varnel.zel.zel."""
    global _zel
    _zel = zel
    save.__module__ = load.__module__ = zel.__name__
    zel.save = save
    zel.load = load
