"""PyTorch's calling conventions over the compiled operations: unique(dim=...)
and unique_consecutive, Tensor.to's positional forms, Tensor tolerances of
linalg.pinv and linalg.matrix_rank, softmax and log_softmax of a 0-d tensor.

varnel.zel.zel calls install() once, after the compiled names exist; each
name here wraps the compiled one and leaves its defined results as they were.
"""
import math

import torch

# The dtypes with a conversion of their own; the limbs stand for every float dtype.
_INTEGRAL = {torch.int64: "long", torch.int32: "int", torch.bool: "bool",
             "int64": "long", "long": "long", "int32": "int", "bool": "bool", int: "long", bool: "bool"}
_OTHER_INTEGRAL = (torch.int16, torch.int8, torch.uint8)
_FLOATING = (torch.float64, torch.float32, torch.float16, torch.bfloat16, "float64", "float32", "double", "float")


def install(zel):
    Tensor = zel.Tensor
    flat_unique = zel.unique

    def exact_ranks(input):
        """int64 ranks of the elements by exact value: equal ranks, equal values."""
        return flat_unique(input.reshape(-1), return_inverse=True)[1].reshape(tuple(input.shape))

    def chosen(values, inverse, counts, return_inverse, return_counts):
        out = (values,) + ((inverse,) if return_inverse else ()) + ((counts,) if return_counts else ())
        return out[0] if len(out) == 1 else out

    def representatives(inverse, groups):
        """One position of each group (the slices of a group are equal)."""
        inverse = inverse.reshape(-1)
        return torch.empty(groups, dtype=torch.int64).scatter_(
            0, inverse, torch.arange(inverse.numel(), dtype=torch.int64))

    def check_input(op, input):
        if not isinstance(input, Tensor):
            raise TypeError("%s(): argument 'input' must be Tensor, not %s" % (op, type(input).__name__))

    def by_ranks(input, return_inverse, return_counts, dim, run):
        """Runs PyTorch's op on the exact ranks, then gathers the slices it picked."""
        ranks = exact_ranks(input)
        _, inverse, counts = run(ranks)
        first = representatives(inverse, counts.numel())
        if dim is None:
            values = input.reshape(-1).index_select(0, first)
        else:
            d = dim + input.ndim if dim < 0 else dim
            values = input.index_select(d, first) if input.ndim else input.clone()
        return chosen(values, inverse, counts, return_inverse, return_counts)

    def unique(input, sorted=True, return_inverse=False, return_counts=False, dim=None):
        check_input("unique", input)
        if dim is None:
            return flat_unique(input, sorted, return_inverse, return_counts)
        return by_ranks(input, return_inverse, return_counts, dim,
                        lambda r: torch.unique(r, sorted=True, return_inverse=True, return_counts=True, dim=dim))

    def unique_consecutive(input, return_inverse=False, return_counts=False, dim=None):
        check_input("unique_consecutive", input)
        for name, flag in (("return_inverse", return_inverse), ("return_counts", return_counts)):
            if not isinstance(flag, bool):
                raise TypeError("unique_consecutive(): argument '%s' must be bool, not %s"
                                % (name, type(flag).__name__))
        return by_ranks(input, return_inverse, return_counts, dim,
                        lambda r: torch.unique_consecutive(r, return_inverse=True, return_counts=True, dim=dim))

    unique.__doc__ = flat_unique.__doc__
    unique_consecutive.__doc__ = ("Eliminates all but the first element of each run of equal values "
                                  "(exact comparison), or of equal slices along dim.")

    base_to = Tensor.to

    def is_dtype(v):
        if isinstance(v, torch.dtype) or v is float or v is int or v is bool:
            return True
        return isinstance(v, str) and (v in _FLOATING or v in _INTEGRAL)

    def to(self, *args, **kwargs):
        """Tensor.to(device=None, dtype=None, non_blocking=False, copy=False), to(dtype, non_blocking, copy)
        or to(other, non_blocking, copy). Float dtypes leave the limbs as they are; int64, int32 and bool
        convert as long(), int() and bool() do."""
        device = dtype = None
        rest = list(args)
        if rest and isinstance(rest[0], (Tensor, torch.Tensor)):
            other = rest.pop(0)
            device = other.device
            dtype = torch.float64 if isinstance(other, Tensor) else other.dtype
        elif rest and is_dtype(rest[0]):
            dtype = rest.pop(0)
        elif rest and (isinstance(rest[0], (str, torch.device, int)) and not isinstance(rest[0], bool)
                       or rest[0] is None):
            device = rest.pop(0)
            if rest and (is_dtype(rest[0]) or rest[0] is None):
                dtype = rest.pop(0)
        if len(rest) > 2:
            raise TypeError("to() takes at most 4 positional arguments (%d given)" % len(args))
        if rest and isinstance(rest[0], (str, torch.device)):
            raise TypeError("to(): the device comes first, got %r after other arguments" % (rest[0],))
        flags = dict(zip(("non_blocking", "copy"), rest))
        for key in ("device", "dtype") + tuple(flags):
            if key in kwargs and (key in flags or (device if key == "device" else dtype) is not None):
                raise TypeError("to() got multiple values for argument '%s'" % key)
        flags.update((k, kwargs.pop(k)) for k in ("non_blocking", "copy") if k in kwargs)
        device = kwargs.pop("device", device)
        dtype = kwargs.pop("dtype", dtype)
        kwargs.pop("memory_format", None)
        if kwargs:
            raise TypeError("to() got an unexpected keyword argument '%s'" % next(iter(kwargs)))
        for key, value in flags.items():
            if not isinstance(value, bool):
                raise TypeError("to(): argument '%s' must be bool, not %s" % (key, type(value).__name__))
        if dtype is not None and not is_dtype(dtype):
            raise TypeError("to(): argument 'dtype' must be torch.dtype, not %s" % type(dtype).__name__)
        moved = self if device is None else base_to(self, device, non_blocking=flags.get("non_blocking", False))
        if dtype is not None and (dtype in _INTEGRAL or dtype in _OTHER_INTEGRAL):
            # Integer and bool dtypes leave the limbs: a torch tensor, as long(), int() and bool() give.
            if dtype in _OTHER_INTEGRAL:
                return getattr(moved, "long")().to(dtype)
            return getattr(moved, _INTEGRAL[dtype])()
        if dtype is not None and dtype not in _FLOATING and dtype is not float:
            raise TypeError("to(): %s values cannot be held in limbs of float64" % (dtype,))
        if flags.get("copy", False) and moved._data.data_ptr() == self._data.data_ptr():
            return moved.clone()
        return moved

    Tensor.to = to

    for op in ("pinv", "matrix_rank"):
        base = getattr(zel.linalg, op)

        def tolerant(*args, _base=base, _op=op, **kwargs):
            # PyTorch takes Tensor tolerances; one number stands for them all.
            def number(key, v):
                if not isinstance(v, (Tensor, torch.Tensor)):
                    return v
                if math.prod(v.shape) != 1:
                    raise NotImplementedError("linalg.%s(): a %s of more than one element is not supported"
                                              % (_op, key))
                return float(v.reshape(-1)[0].item()) if isinstance(v, torch.Tensor) else float(v)

            args = args[:1] + tuple(number("tolerance", v) for v in args[1:])
            kwargs = {k: number(k, v) if k != "input" else v for k, v in kwargs.items()}
            return _base(*args, **kwargs)

        tolerant.__name__ = tolerant.__qualname__ = op
        tolerant.__doc__ = base.__doc__
        tolerant.__module__ = zel.linalg.__name__
        setattr(zel.linalg, op, tolerant)

    for name in ("softmax", "log_softmax"):
        base_method = getattr(Tensor, name)

        def scalar_aware(self, *args, _base=base_method, **kwargs):
            try:
                return _base(self, *args, **kwargs)
            except IndexError:
                # A 0-d tensor is its own dim 0 and -1, as in PyTorch; other
                # refusals (no dim given among them) stay as they are.
                dim = args[0] if args else kwargs.get("dim")
                if not (self.ndim == 0 and type(dim) is int and dim in (0, -1)):
                    raise
            kw = {k: v for k, v in kwargs.items() if k != "dim"}
            return _base(self.reshape(1), 0, *args[1:], **kw).reshape(())

        scalar_aware.__name__ = scalar_aware.__qualname__ = name
        scalar_aware.__doc__ = base_method.__doc__
        setattr(Tensor, name, scalar_aware)

    for fn in (unique, unique_consecutive):
        fn.__module__ = zel.__name__
        setattr(zel, fn.__name__, fn)
        setattr(Tensor, fn.__name__, fn)
