"""PyTorch's strided-view names on a library whose tensors are contiguous
copies: as_strided, unfold, select, the *_scatter functions, the *_copy
names, sum_to_size, H/mH, argwhere, fill and the strided factories.

The storage a strided view reads is the input's elements in row-major order
(PyTorch's storage for a contiguous tensor). Every position is worked out by
PyTorch itself on an int64 arange of the input's shape, so sizes, strides,
offsets, dims and the errors for bad ones are PyTorch's; the values are then
gathered with `take` or placed with `put`, which keep every limb and record
gradients. varnel.zel.zel calls install() once; no name already there is
replaced.
"""
import math

import torch

from varnel.zel._arguments import Checks


def _shape(x):
    return tuple(x.shape)


def install(zel):
    Tensor = zel.Tensor

    checks = Checks(zel)
    tensor_arg, to_out = checks.tensor_arg, checks.to_out

    def sizes_arg(op, name, values, allow_negative=False):
        """A list of ints checked before PyTorch sees it (extreme values crash some of its checks)."""
        if isinstance(values, (int, torch.SymInt if hasattr(torch, "SymInt") else int)) and \
                not isinstance(values, bool):
            values = (values,)
        if not isinstance(values, (tuple, list, torch.Size)):
            raise TypeError("%s(): argument '%s' must be tuple of ints, not %s" % (op, name, type(values).__name__))
        out = []
        for v in values:
            if isinstance(v, bool) or not isinstance(v, int):
                raise TypeError("%s(): argument '%s' must be tuple of ints, but found element of type %s"
                                % (op, name, type(v).__name__))
            if not -(1 << 62) < v < (1 << 62) or (v < 0 and not allow_negative):
                raise RuntimeError("%s(): %s %d is out of range" % (op, name, v))
            out.append(v)
        return tuple(out)

    def positions(x):
        """Each element's position in x's storage, as an int64 tensor of x's shape."""
        return torch.arange(math.prod(_shape(x)), dtype=torch.int64).reshape(_shape(x))

    def gathered(x, pos):
        return zel.take(x, pos)

    def scattered(op, x, src, pos):
        tensor_arg(op, "src", src)
        if _shape(src) != tuple(pos.shape):
            raise RuntimeError("%s: expected src to have a size equal to the slice of self. src size = %s, "
                               "slice size = %s" % (op, list(src.shape), list(pos.shape)))
        return x.put(pos, src)

    # ------------------------------------------------------------ views as gathers

    def strided_args(op, size, stride, storage_offset):
        size = sizes_arg(op, "size", size)
        stride = sizes_arg(op, "stride", stride, allow_negative=True)
        if storage_offset is not None:
            storage_offset = sizes_arg(op, "storage_offset", storage_offset)[0]
        return size, stride, storage_offset

    def as_strided(input, size, stride, storage_offset=None):
        """The elements at storage_offset + sum(i_k * stride_k), the storage being input's elements in order."""
        tensor_arg("as_strided", "input", input)
        size, stride, storage_offset = strided_args("as_strided", size, stride, storage_offset)
        return gathered(input, positions(input).as_strided(size, stride, storage_offset))

    def as_strided_scatter(input, src, size, stride, storage_offset=None):
        """input with src written where as_strided(input, size, stride, storage_offset) reads."""
        tensor_arg("as_strided_scatter", "input", input)
        size, stride, storage_offset = strided_args("as_strided_scatter", size, stride, storage_offset)
        pos = positions(input).as_strided(size, stride, storage_offset)
        return scattered("as_strided_scatter", input, src, pos)

    def unfold(self, dimension, size, step):
        """Every slice of length size along dimension, step apart, as a new last dimension."""
        tensor_arg("unfold", "self", self)
        return gathered(self, positions(self).unfold(dimension, size, step))

    def select(input, dim, index):
        """The slice at index along dim, dim removed."""
        tensor_arg("select", "input", input)
        return gathered(input, positions(input).select(dim, index))

    def select_scatter(input, src, dim, index):
        """input with src as its slice at index along dim."""
        tensor_arg("select_scatter", "input", input)
        return scattered("select_scatter", input, src, positions(input).select(dim, index))

    def slice_scatter(input, src, dim=0, start=None, end=None, step=1):
        """input with src as its slice start:end:step along dim."""
        tensor_arg("slice_scatter", "input", input)
        pos = torch.ops.aten.slice.Tensor(positions(input), dim, start, end, step)
        return scattered("slice_scatter", input, src, pos)

    def diagonal_scatter(input, src, offset=0, dim1=0, dim2=1):
        """input with src as its diagonal(offset, dim1, dim2)."""
        tensor_arg("diagonal_scatter", "input", input)
        return scattered("diagonal_scatter", input, src, positions(input).diagonal(offset, dim1, dim2))

    def constant_pad_nd(input, pad, value=0):
        """nn.functional.pad with mode 'constant'."""
        tensor_arg("constant_pad_nd", "input", input)
        return zel.nn.functional.pad(input, pad, mode="constant", value=value)

    def narrow_copy(input, dim, start, length):
        """narrow (already a copy here)."""
        tensor_arg("narrow_copy", "input", input)
        return gathered(input, positions(input).narrow_copy(dim, start, length))

    def sum_to_size(self, *size):
        """The sum over the dimensions that broadcasting size to self's shape would expand."""
        tensor_arg("sum_to_size", "self", self)
        if len(size) == 1 and isinstance(size[0], (tuple, list, torch.Size)):
            size = tuple(size[0])
        target = sizes_arg("sum_to_size", "size", size, allow_negative=True)
        shape = _shape(self)
        if len(target) > len(shape) or any(n != s and n != 1 for n, s in zip(target, shape[len(shape) - len(target):])):
            raise RuntimeError("size {%s} is not expandable to size {%s}." % (list(target), list(shape)))
        lead = self.dim() - len(target)
        r = self.sum(dim=tuple(range(lead))) if lead > 0 else self
        dims = tuple(i for i, n in enumerate(target) if n == 1 and r.shape[i] != 1)
        return r.sum(dim=dims, keepdim=True) if dims else (r.clone() if r is self else r)

    def argwhere(input):
        """The indices of the non-zero elements, one row each (nonzero)."""
        tensor_arg("argwhere", "input", input)
        return zel.nonzero(input)

    def nonzero_static(input, *, size, fill_value=-1):
        """nonzero's rows, cut or padded with fill_value to size rows."""
        tensor_arg("nonzero_static", "input", input)
        if isinstance(size, bool) or not isinstance(size, int) or not 0 <= size < (1 << 40):
            raise RuntimeError("nonzero_static: 'size' must be a non-negative int, got %r" % (size,))
        nz = zel.nonzero(input)
        out = torch.full((size, nz.shape[1]), fill_value, dtype=torch.int64)
        k = min(size, nz.shape[0])
        out[:k] = nz[:k]
        return out

    def fill(input, value):
        """A tensor of input's shape with every element value (a number or a 0-d tensor)."""
        tensor_arg("fill", "input", input)
        if isinstance(value, (Tensor, torch.Tensor)) and value.dim() != 0:
            raise RuntimeError("fill_ only supports 0-dimension value tensor but got tensor with %d dimensions."
                               % value.dim())
        if isinstance(value, torch.Tensor):
            value = zel.tensor(value.detach().to(torch.float64))
        elif not isinstance(value, Tensor):
            if isinstance(value, complex) or not isinstance(value, (int, float)):
                raise TypeError("fill(): argument 'value' must be Number, not %s" % type(value).__name__)
            value = zel.tensor(float(value))
        # where keeps the value's every limb and sign, and gives input a zero gradient.
        return zel.where(torch.ones(_shape(input), dtype=torch.bool), value, input)

    def scalar_tensor(s, *, dtype=None, layout=None, device=None, pin_memory=None, requires_grad=False):
        """A 0-d tensor holding the number s."""
        if isinstance(s, Tensor):
            s = s.item()
        if isinstance(s, complex) or not isinstance(s, (bool, int, float)):
            raise TypeError("scalar_tensor(): argument 's' must be Number, not %s" % type(s).__name__)
        return zel.tensor(float(s), device=device, requires_grad=requires_grad)

    def empty_strided(size, stride, *, dtype=None, layout=None, device=None, requires_grad=False,
                      pin_memory=False):
        """An uninitialised tensor of size (the strides mean nothing for the limbs)."""
        size = sizes_arg("empty_strided", "size", size)
        sizes_arg("empty_strided", "stride", stride, allow_negative=True)
        return zel.empty(size, device=device, requires_grad=requires_grad)

    def empty_permuted(size, physical_layout, *, dtype=None, layout=None, device=None, requires_grad=False,
                       pin_memory=False):
        """An uninitialised tensor of size (the physical layout means nothing for the limbs)."""
        size = sizes_arg("empty_permuted", "size", size)
        layout_dims = sizes_arg("empty_permuted", "physical_layout", physical_layout)
        if sorted(layout_dims) != list(range(len(size))):
            raise RuntimeError("empty_permuted(): physical_layout %s is not a permutation of the %d dims"
                               % (list(layout_dims), len(size)))
        return zel.empty(size, device=device, requires_grad=requires_grad)

    def new_empty_strided(self, size, stride, *, dtype=None, layout=None, device=None, requires_grad=False,
                          pin_memory=False):
        """An uninitialised tensor of size on self's device."""
        tensor_arg("new_empty_strided", "self", self)
        size = sizes_arg("new_empty_strided", "size", size)
        sizes_arg("new_empty_strided", "stride", stride, allow_negative=True)
        return zel.empty(size, device=self.device if device is None else device, requires_grad=requires_grad)

    def resize_(self, *sizes, memory_format=None):
        """self reshaped in place to sizes: its first elements kept in order, new ones zero."""
        tensor_arg("resize_", "self", self)
        if len(sizes) == 1 and isinstance(sizes[0], (tuple, list, torch.Size)):
            sizes = tuple(sizes[0])
        size = sizes_arg("resize_", "size", sizes)
        if math.prod(size) > (1 << 40):
            raise RuntimeError("resize_(): %s elements are more than any memory holds" % math.prod(size))
        n, old = math.prod(size), self.numel
        flat = self.detach().reshape(-1)
        if n <= old:
            new = flat.narrow(0, 0, n)
        else:
            new = zel.cat([flat, zel.zeros(n - old)])
        return self._replace_limbs(new.reshape(size))

    def resize_as_(self, the_template, *, memory_format=None):
        """resize_ to the_template's shape."""
        tensor_arg("resize_as_", "the_template", the_template)
        return resize_(self, tuple(the_template.shape))

    def conjugate_transposed(name):
        def prop(self):
            # PyTorch's rules on the positions; the conjugate of a real element is itself.
            return gathered(self, getattr(positions(self), name))
        prop.__doc__ = ("The conjugate transpose of the last two dimensions (the transpose, for real elements)."
                        if name == "mH" else "The conjugate transpose of a matrix (the transpose, for real elements).")
        return property(prop)

    # ------------------------------------------------------------ the *_copy names

    def copying(name, base):
        def fn(input, *args, out=None, **kwargs):
            tensor_arg(name, "input", input)
            r = base(input, *args, **kwargs)
            if isinstance(r, (tuple, list)):
                if out is not None:
                    raise TypeError("%s(): out= is not supported for a sequence of results" % name)
                return tuple(v.clone() for v in r)
            return to_out(name, r if r is not input else r.clone(), out)
        fn.__name__ = name
        fn.__doc__ = "%s, as a new tensor (every result here is one)." % name[:-len("_copy")]
        return fn

    def by_method(method):
        return lambda input, *args, **kwargs: getattr(input, method)(*args, **kwargs)

    copies = {
        "alias_copy": lambda input: input.clone(),
        "as_strided_copy": as_strided,
        "diagonal_copy": by_method("diagonal"),
        "expand_copy": lambda input, size, *, implicit=False: input.expand(*size),
        "permute_copy": by_method("permute"),
        "squeeze_copy": by_method("squeeze"),
        "t_copy": by_method("t"),
        "transpose_copy": by_method("transpose"),
        "unbind_copy": by_method("unbind"),
        "unfold_copy": unfold,
        "unsqueeze_copy": by_method("unsqueeze"),
        "view_copy": lambda input, size: input.reshape(size) if not isinstance(size, torch.dtype) else input.view(size),
        "split_copy": by_method("split"),
        "split_with_sizes_copy": lambda input, split_sizes, dim=0: zel.split_with_sizes(input, split_sizes, dim),
        "detach_copy": lambda input: input.detach().clone(),
        "values_copy": lambda input: input.clone(),
    }

    def unsafe_chunk(input, chunks, dim=0):
        """chunk (the pieces are copies here, so nothing about them is unsafe)."""
        return zel.chunk(input, chunks, dim)

    def unsafe_split(tensor, split_size_or_sections, dim=0):
        """split (the pieces are copies here, so nothing about them is unsafe)."""
        return zel.split(tensor, split_size_or_sections, dim)

    functions = {
        "as_strided": as_strided, "as_strided_scatter": as_strided_scatter, "select": select,
        "select_scatter": select_scatter, "slice_scatter": slice_scatter, "diagonal_scatter": diagonal_scatter,
        "narrow_copy": narrow_copy, "constant_pad_nd": constant_pad_nd, "argwhere": argwhere, "nonzero_static": nonzero_static, "fill": fill,
        "unsafe_chunk": unsafe_chunk, "unsafe_split": unsafe_split,
    }
    for name, base in copies.items():
        functions[name] = copying(name, base)
    module_only = {"fill", "constant_pad_nd"} | set(copies)
    for name, fn in functions.items():
        fn.__module__ = zel.__name__
        if not hasattr(zel, name):
            setattr(zel, name, fn)
        if name not in module_only and not hasattr(Tensor, name):
            setattr(Tensor, name, fn)
    for name, fn in (("scalar_tensor", scalar_tensor), ("empty_strided", empty_strided),
                     ("empty_permuted", empty_permuted), ("resize_as_", resize_as_)):
        fn.__module__ = zel.__name__
        if not hasattr(zel, name):
            setattr(zel, name, fn)
    for name, fn in (("unfold", unfold), ("sum_to_size", sum_to_size), ("new_empty_strided", new_empty_strided),
                     ("resize_", resize_), ("resize_as_", resize_as_)):
        fn.__module__ = zel.__name__
        if not hasattr(Tensor, name):
            setattr(Tensor, name, fn)
    for name in ("H", "mH"):
        if not hasattr(Tensor, name):
            setattr(Tensor, name, conjugate_transposed(name))
