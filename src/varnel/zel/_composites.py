"""PyTorch operations that are compositions of the library's own: the
add-multiply family (addmm ... addr, inner, vdot), the splitting and
stacking helpers, cov/corrcoef, the ordering helpers mode, msort, nanmedian,
nanquantile, logcumsumexp, the new_* factories, isposinf/isneginf/heaviside
and the older linear-algebra names.

Each is built from defined, differentiable operations, so results, accuracy
and gradients are theirs. varnel.zel.zel calls install() once, after the
linalg namespace exists; the names become plain attributes (none joins
__all__) and never replace one already there.
"""
import collections
import math

import torch

from varnel.zel._arguments import Checks


def _shape(x):
    return tuple(x.shape)


_MAX_SECTIONS = 1 << 24


def install(zel):
    Tensor = zel.Tensor
    linalg = zel.linalg

    checks = Checks(zel)
    tensor_arg, number_arg, wrap_dim = checks.tensor_arg, checks.number_arg, checks.wrap_dim
    to_out, as_zel = checks.to_out, checks.as_zel

    # ---------------------------------------------------------------- add-multiply

    # PyTorch's addmm, addmv and addbmm (BLAS calls) drop the product when alpha is 0; addr and baddbmm multiply.
    alpha_zero_drops = {"addmm", "addmv", "addbmm"}

    def add_scaled(op, input, product, out_shape, beta, alpha):
        number_arg(op, "beta", beta)
        number_arg(op, "alpha", alpha)
        if torch.broadcast_shapes(_shape(input), out_shape) != out_shape:
            raise RuntimeError("%s(): the input of shape %s does not broadcast to the result's %s"
                               % (op, list(input.shape), list(out_shape)))
        if alpha == 0 and op in alpha_zero_drops:
            # where keeps the graph, so the matrices get zero gradients as in PyTorch.
            product = zel.where(torch.zeros(out_shape, dtype=torch.bool), product, 0.0)
        elif alpha != 1:
            product = product * alpha
        # beta 0 ignores the input, NaNs and infinities included.
        if beta == 0:
            return product
        return product + (input if beta == 1 else input * beta)

    def need_dims(op, name, x, n):
        if x.dim() != n:
            raise RuntimeError("%s: %s must be a %d-D tensor, got %d-D" % (op, name, n, x.dim()))

    def addmm(input, mat1, mat2, *, beta=1, alpha=1, out=None):
        """beta * input + alpha * (mat1 @ mat2), input broadcast to the product's shape."""
        for n, x in (("input", input), ("mat1", mat1), ("mat2", mat2)):
            tensor_arg("addmm", n, x)
        need_dims("addmm", "mat1", mat1, 2)
        need_dims("addmm", "mat2", mat2, 2)
        if mat1.shape[1] != mat2.shape[0]:
            raise RuntimeError("mat1 and mat2 shapes cannot be multiplied (%dx%d and %dx%d)"
                               % (tuple(mat1.shape) + tuple(mat2.shape)))
        r = add_scaled("addmm", input, zel.mm(mat1, mat2), (mat1.shape[0], mat2.shape[1]), beta, alpha)
        return to_out("addmm", r, out)

    def addmv(input, mat, vec, *, beta=1, alpha=1, out=None):
        """beta * input + alpha * (mat @ vec)."""
        for n, x in (("input", input), ("mat", mat), ("vec", vec)):
            tensor_arg("addmv", n, x)
        need_dims("addmv", "mat", mat, 2)
        need_dims("addmv", "vec", vec, 1)
        if mat.shape[1] != vec.shape[0]:
            raise RuntimeError("size mismatch, got input (%d), mat (%dx%d), vec (%d)"
                               % ((mat.shape[0],) + tuple(mat.shape) + (vec.shape[0],)))
        r = add_scaled("addmv", input, zel.mv(mat, vec), (mat.shape[0],), beta, alpha)
        return to_out("addmv", r, out)

    def check_batches(op, b1, b2):
        need_dims(op, "batch1", b1, 3)
        need_dims(op, "batch2", b2, 3)
        if b1.shape[0] != b2.shape[0]:
            raise RuntimeError("%s: batch1 and batch2 must have same number of batches, got %d and %d"
                               % (op, b1.shape[0], b2.shape[0]))
        if b1.shape[2] != b2.shape[1]:
            raise RuntimeError("%s: incompatible matrix sizes for bmm (%dx%d and %dx%d)"
                               % (op, b1.shape[1], b1.shape[2], b2.shape[1], b2.shape[2]))

    def batched_product(b1, b2):
        if b1.shape[0] == 0 or b1.shape[2] == 0:
            return zel.zeros((b1.shape[0], b1.shape[1], b2.shape[2]))
        return zel.bmm(b1, b2)

    def addbmm(input, batch1, batch2, *, beta=1, alpha=1, out=None):
        """beta * input + alpha * the sum over the batch of batch1[i] @ batch2[i]."""
        for n, x in (("input", input), ("batch1", batch1), ("batch2", batch2)):
            tensor_arg("addbmm", n, x)
        check_batches("addbmm", batch1, batch2)
        shape = (batch1.shape[1], batch2.shape[2])
        p = batched_product(batch1, batch2)
        p = p.sum(0) if batch1.shape[0] > 0 else zel.zeros(shape)
        return to_out("addbmm", add_scaled("addbmm", input, p, shape, beta, alpha), out)

    def baddbmm(input, batch1, batch2, *, beta=1, alpha=1, out=None):
        """beta * input + alpha * (batch1 @ batch2), batch by batch."""
        for n, x in (("input", input), ("batch1", batch1), ("batch2", batch2)):
            tensor_arg("baddbmm", n, x)
        check_batches("baddbmm", batch1, batch2)
        shape = (batch1.shape[0], batch1.shape[1], batch2.shape[2])
        r = add_scaled("baddbmm", input, batched_product(batch1, batch2), shape, beta, alpha)
        return to_out("baddbmm", r, out)

    def addr(input, vec1, vec2, *, beta=1, alpha=1, out=None):
        """beta * input + alpha * outer(vec1, vec2)."""
        for n, x in (("input", input), ("vec1", vec1), ("vec2", vec2)):
            tensor_arg("addr", n, x)
        for n, v in (("vec1", vec1), ("vec2", vec2)):
            if v.dim() != 1:
                raise RuntimeError("addr: Expected 1-D argument %s, but got %d-D" % (n, v.dim()))
        shape = (vec1.shape[0], vec2.shape[0])
        return to_out("addr", add_scaled("addr", input, zel.outer(vec1, vec2), shape, beta, alpha), out)

    def inner(input, other, *, out=None):
        """The sum of products over the last dimension of both; a product if either is 0-d."""
        tensor_arg("inner", "input", input)
        tensor_arg("inner", "other", other)
        if input.dim() == 0 or other.dim() == 0:
            return to_out("inner", input * other, out)
        if input.shape[-1] != other.shape[-1]:
            raise RuntimeError("inner() the last dimension must match on both input tensors but got shapes %s and %s"
                               % (list(input.shape), list(other.shape)))
        if input.shape[-1] == 0:
            r = zel.zeros(_shape(input)[:-1] + _shape(other)[:-1]) + (input.sum() + other.sum())
        else:
            r = zel.tensordot(input, other, dims=([input.dim() - 1], [other.dim() - 1]))
        return to_out("inner", r, out)

    def vdot(input, other, *, out=None):
        """The dot product of two 1-D tensors (real: the same as dot)."""
        tensor_arg("vdot", "input", input)
        tensor_arg("vdot", "other", other)
        if input.dim() != 1 or other.dim() != 1:
            raise RuntimeError("1D tensors expected, but got %dD and %dD tensors" % (input.dim(), other.dim()))
        if input.shape[0] != other.shape[0]:
            raise RuntimeError("inconsistent tensor size, expected tensor [%d] and src [%d] to have the same number "
                               "of elements, but got %d and %d elements respectively"
                               % (input.shape[0], other.shape[0], input.shape[0], other.shape[0]))
        # No terms: zero, with both operands' history (the defined dot wants elements).
        r = zel.dot(input, other) if input.shape[0] else (input * other).sum()
        return to_out("vdot", r, out)

    # ------------------------------------------------------------ split and stack

    def slice_along(x, dim, start, stop):
        return zel.narrow(x, dim, start, stop - start)

    def split_with_sizes(input, split_sizes, dim=0):
        """Pieces of the given sizes along dim (they must add up to its size)."""
        tensor_arg("split_with_sizes", "input", input)
        d = wrap_dim("split_with_sizes", dim, input.dim())
        sizes = [int(s) for s in split_sizes]
        n = input.shape[d] if input.dim() else 1
        if any(s < 0 for s in sizes):
            raise RuntimeError("split_with_sizes expects split_sizes have only non-negative entries, but got "
                               "split_sizes=%s" % sizes)
        if sum(sizes) != n:
            raise RuntimeError("split_with_sizes expects split_sizes to sum exactly to %d (input tensor's size at "
                               "dimension %d), but got split_sizes=%s" % (n, d, sizes))
        pieces, start = [], 0
        for s in sizes:
            pieces.append(slice_along(input, d, start, start + s))
            start += s
        return tuple(pieces)

    def section_bounds(op, n, indices_or_sections):
        cuts_or_count = indices_or_sections
        if isinstance(cuts_or_count, torch.Tensor):
            if cuts_or_count.dtype.is_floating_point or cuts_or_count.dtype.is_complex or cuts_or_count.dtype == torch.bool:
                raise RuntimeError("%s expected tensor_indices_or_sections to have integer dtype, but got %s"
                                   % (op, cuts_or_count.dtype))
            if cuts_or_count.dim() > 1:
                raise RuntimeError("%s expected tensor_indices_or_sections to be a zero-dimensional or "
                                   "one-dimensional tensor, but got a tensor with %d dims" % (op, cuts_or_count.dim()))
            cuts_or_count = int(cuts_or_count) if cuts_or_count.dim() == 0 else cuts_or_count.tolist()
        if isinstance(cuts_or_count, bool) or not isinstance(cuts_or_count, (int, list, tuple)):
            raise TypeError("%s(): argument 'indices_or_sections' must be int or tuple of ints, not %s"
                            % (op, type(cuts_or_count).__name__))
        if isinstance(cuts_or_count, int):
            if cuts_or_count <= 0:
                raise RuntimeError("number of sections must be larger than 0, got %d" % cuts_or_count)
            # Each section is a tensor: a count past any memory is refused before the list is built.
            if cuts_or_count > _MAX_SECTIONS:
                raise RuntimeError("%s(): %d sections is more than the %d this library makes"
                                   % (op, cuts_or_count, _MAX_SECTIONS))
            small, extra = divmod(n, cuts_or_count)
            bounds, start = [], 0
            for i in range(cuts_or_count):
                stop = start + small + (1 if i < extra else 0)
                bounds.append((start, stop))
                start = stop
            return bounds
        cuts = [int(i) for i in cuts_or_count]
        bounds, start = [], 0
        # The pieces are the slices [previous cut, cut), read as Python slices read their ends.
        for cut in cuts + [n]:
            stop = cut + n if cut < 0 else cut
            stop = min(max(stop, 0), n)
            lo = min(max(start, 0), n)
            bounds.append((lo, max(stop, lo)))
            start = cut + n if cut < 0 else cut
        return bounds

    def tensor_split(input, indices_or_sections, dim=0):
        """Splits into sections of near-equal size (an int) or at the given indices, along dim."""
        tensor_arg("tensor_split", "input", input)
        if input.dim() == 0:
            raise RuntimeError("tensor_split expected at least a 1-dimensional tensor, but got a tensor with 0 dims")
        d = wrap_dim("tensor_split", dim, input.dim())
        return tuple(slice_along(input, d, a, b)
                     for a, b in section_bounds("tensor_split", input.shape[d], indices_or_sections))

    def directional_split(op, dim_of, least):
        def split(input, indices_or_sections):
            tensor_arg(op, "input", input)
            if input.dim() < least:
                raise RuntimeError("torch.%s requires a tensor with at least %d dimension%s, but got a tensor with "
                                   "%d dimensions!" % (op, least, "" if least == 1 else "s", input.dim()))
            d = dim_of(input)
            if isinstance(indices_or_sections, int) and not isinstance(indices_or_sections, bool):
                n = input.shape[d]
                if indices_or_sections == 0 or n % indices_or_sections:
                    raise RuntimeError("torch.%s attempted to split along dimension %d, but the size of the dimension "
                                       "%d is not divisible by the split_size %d!" % (op, d, n, indices_or_sections))
            return tensor_split(input, indices_or_sections, d)
        split.__name__ = op
        return split

    hsplit = directional_split("hsplit", lambda x: 0 if x.dim() == 1 else 1, 1)
    hsplit.__doc__ = "tensor_split along dim 1 (dim 0 for a 1-D tensor); an int must divide the size."
    vsplit = directional_split("vsplit", lambda x: 0, 2)
    vsplit.__doc__ = "tensor_split along dim 0 of a tensor of 2 or more dims; an int must divide the size."
    dsplit = directional_split("dsplit", lambda x: 2, 3)
    dsplit.__doc__ = "tensor_split along dim 2 of a tensor of 3 or more dims; an int must divide the size."

    def dstack(tensors, *, out=None):
        """The tensors, made at least 3-D, joined along dim 2."""
        if isinstance(tensors, Tensor) or not isinstance(tensors, (list, tuple)):
            raise TypeError("dstack(): argument 'tensors' must be tuple of Tensors, not %s" % type(tensors).__name__)
        if not tensors:
            raise RuntimeError("dstack expects a non-empty TensorList")
        for t in tensors:
            tensor_arg("dstack", "tensors", t)
        return to_out("dstack", zel.cat([zel.atleast_3d(t) for t in tensors], 2), out)

    def ravel(input):
        """The elements as a 1-D tensor."""
        tensor_arg("ravel", "input", input)
        return input.reshape(-1)

    def repeat_interleave(input, repeats=None, dim=None, *, output_size=None):
        """Repeats each element (each slice along dim) repeats times; a flat result when dim is None."""
        if isinstance(input, torch.Tensor) and repeats is None:
            return torch.repeat_interleave(input, output_size=output_size)
        tensor_arg("repeat_interleave", "input", input)
        if repeats is None:
            raise TypeError("repeat_interleave(): argument 'repeats' is missing")
        if dim is None:
            x, d = input.reshape(-1), 0
        elif input.dim() == 0:
            raise IndexError("Dimension specified as %s but tensor has no dimensions" % (dim,))
        else:
            x, d = input, wrap_dim("repeat_interleave", dim, input.dim())
        if isinstance(repeats, Tensor):
            raise RuntimeError("repeat_interleave: repeats has to be Long or Int tensor")
        if isinstance(repeats, bool) or not isinstance(repeats, (int, torch.Tensor)):
            raise TypeError("repeat_interleave(): argument 'repeats' must be int or Tensor, not %s"
                            % type(repeats).__name__)
        n = x.shape[d]
        if isinstance(repeats, int):
            if repeats < 0:
                raise RuntimeError("repeats can not be negative")
            counts = torch.full((n,), repeats, dtype=torch.int64)
        else:
            if repeats.dtype not in (torch.int64, torch.int32):
                raise RuntimeError("repeats has to be Long or Int tensor")
            if repeats.dim() > 1:
                raise RuntimeError("repeats must be 0-dim or 1-dim tensor")
            counts = repeats.reshape(-1).to(torch.int64)
            if counts.numel() == 1:
                counts = counts.expand(n)
            elif counts.numel() != n:
                raise RuntimeError("repeats must have the same size as input along dim, but got repeats.size(0) = "
                                   "%d and input.size(%d) = %d" % (counts.numel(), d, n))
        index = torch.repeat_interleave(torch.arange(n), counts, output_size=output_size)
        return zel.index_select(x, d, index)

    def block_diag(*tensors):
        """The tensors (0-d, 1-d as a row, 2-d) on the diagonal of a zero matrix."""
        blocks = []
        for i, t in enumerate(tensors):
            tensor_arg("block_diag", "tensors", t)
            if t.dim() > 2:
                raise RuntimeError("torch.block_diag: Input tensors must have 2 or fewer dimensions. Input %d has %d "
                                   "dimensions" % (i, t.dim()))
            blocks.append(t.reshape(1, -1) if t.dim() < 2 else t)
        if not blocks:
            return zel.zeros((1, 0))
        width = sum(b.shape[1] for b in blocks)
        rows, left = [], 0
        for b in blocks:
            r, c = _shape(b)
            rows.append(zel.cat([zel.zeros((r, left)), b, zel.zeros((r, width - left - c))], 1))
            left += c
        return zel.cat(rows, 0)

    def diagflat(input, offset=0):
        """The flattened input on the offset diagonal of a square matrix."""
        tensor_arg("diagflat", "input", input)
        if isinstance(offset, bool) or not isinstance(offset, int):
            raise TypeError("diagflat(): argument 'offset' must be int, not %s" % type(offset).__name__)
        flat = input.reshape(-1)
        if flat.shape[0] == 0:
            # Zeros that keep the (empty) input's history, as PyTorch's do.
            return zel.zeros((abs(offset), abs(offset))) + flat.sum()
        return zel.diag(flat, offset)

    # -------------------------------------------------------------- statistics

    def weights(op, name, w, n, integral):
        if isinstance(w, Tensor):
            if integral:
                raise RuntimeError("cov(): expected fweights to have integral dtype but got fweights with Double dtype")
            values = w
        elif isinstance(w, torch.Tensor):
            if integral and (w.dtype.is_floating_point or w.dtype.is_complex):
                raise RuntimeError("cov(): expected fweights to have integral dtype but got fweights with %s dtype"
                                   % str(w.dtype).replace("torch.", "").capitalize())
            if not integral and not w.dtype.is_floating_point:
                raise RuntimeError("cov(): expected aweights to have floating point dtype but got aweights with %s "
                                   "dtype" % str(w.dtype).replace("torch.", "").capitalize())
            values = as_zel(w)
        else:
            raise TypeError("%s(): argument '%s' must be Tensor, not %s" % (op, name, type(w).__name__))
        if w.dim() > 1:
            raise RuntimeError("cov(): expected %s to have one or fewer dimensions but got %s with %d dimensions"
                               % (name, name, w.dim()))
        if math.prod(_shape(values)) != n:
            raise RuntimeError("cov(): expected %s to have the same numel as there are observations in the input but "
                               "got %d != %d" % (name, w.shape[0] if w.dim() else 1, n))
        if bool((values < 0).any()):
            raise RuntimeError("cov(): %s cannot be negative" % name)
        return values.reshape(-1)

    def cov(input, *, correction=1, fweights=None, aweights=None):
        """The covariance matrix of the variables in the rows of input (a 1-D input is one variable)."""
        tensor_arg("cov", "input", input)
        if input.dim() > 2:
            raise RuntimeError("cov(): expected input to have two or fewer dimensions but got an input with %d "
                               "dimensions" % input.dim())
        if isinstance(correction, bool) or not isinstance(correction, int):
            raise TypeError("cov(): argument 'correction' must be int, not %s" % type(correction).__name__)
        x = input.reshape(1, -1) if input.dim() < 2 else input
        n = x.shape[1]
        fw = None if fweights is None else weights("cov", "fweights", fweights, n, True)
        aw = None if aweights is None else weights("cov", "aweights", aweights, n, False)
        w = fw if aw is None else (aw if fw is None else fw * aw)
        if w is None:
            w_sum = float(n)
            # 0 / 0 for no observations: NaN, with the input's history.
            avg = x.mean(1) if n else x.sum(1) / 0.0
        else:
            w_sum = w.sum()
            avg = (x * w).sum(1) / w_sum
        if w is None or correction == 0:
            norm = w_sum - correction
        elif aw is None:
            norm = w_sum - correction
        else:
            norm = w_sum - correction * (w * aw).sum() / w_sum
        if float(norm) <= 0:
            norm = 0.0
        centred = x - avg.reshape(-1, 1)
        c = zel.mm(centred, (centred if w is None else centred * w).t())
        c = c / norm
        return c.reshape(()) if x.shape[0] == 1 else c

    def corrcoef(input):
        """Pearson's correlation coefficients of the variables in the rows of input."""
        tensor_arg("corrcoef", "input", input)
        if input.dim() > 2:
            raise RuntimeError("corrcoef(): expected input to have two or fewer dimensions but got an input with %d "
                               "dimensions" % input.dim())
        c = cov(input)
        if c.dim() == 0:
            return c / c
        sd = zel.diagonal(c).sqrt()
        c = c / sd.reshape(-1, 1)
        c = c / sd.reshape(1, -1)
        # clamp with number bounds rounds to float64; maximum and minimum keep every limb.
        return zel.minimum(zel.maximum(c, -1.0), 1.0)

    # ---------------------------------------------------------------- ordering

    Mode = collections.namedtuple("mode", ["values", "indices"])
    Mode.__module__ = "torch.return_types"
    NanMedian = collections.namedtuple("nanmedian", ["values", "indices"])
    NanMedian.__module__ = "torch.return_types"

    def msort(input, *, out=None):
        """input sorted along dim 0."""
        tensor_arg("msort", "input", input)
        return to_out("msort", zel.sort(input, dim=0).values, out)

    def rows_along(x, d):
        """x with dim d moved last and the rest flattened: (rows, n), and the kept shape."""
        moved = zel.movedim(x, d, -1) if x.dim() > 1 else x.reshape(1, -1)
        kept = _shape(moved)[:-1] if x.dim() > 1 else ()
        return moved.reshape(-1, x.shape[d] if x.dim() else 1), kept

    def pick(x, d, rows, index, kept, keepdim):
        """The elements of x at the per-row positions index, with the indices, in the reduced shape."""
        values = zel.take_along_dim(rows, index.reshape(-1, 1), 1).reshape(kept)
        idx = index.reshape(kept)
        if keepdim and x.dim():
            values = values.unsqueeze(d)
            idx = idx.unsqueeze(d)
        return values, idx

    def mode(input, dim=-1, keepdim=False):
        """The most frequent value along dim (the smallest on a tie) and the index of its last occurrence."""
        tensor_arg("mode", "input", input)
        d = wrap_dim("mode", dim, input.dim())
        if input.dim() and input.shape[d] == 0:
            raise IndexError("mode(): Expected reduction dim %d to have non-zero size." % d)
        rows, kept = rows_along(input, d)
        m, n = _shape(rows)
        if m == 0:
            # No slices: an empty result that keeps the input's history.
            shape = kept if not keepdim else _shape(input)[:d] + (1,) + _shape(input)[d + 1:]
            empty = rows.sum(1).reshape(shape)
            return Mode(empty, torch.zeros(shape, dtype=torch.int64))
        s = zel.sort(rows, dim=1, stable=True)
        vals, order = s.values, s.indices
        # == compares float64 approximations; isclose with no tolerance compares every limb.
        same = zel.isclose(vals[:, 1:], vals[:, :-1], rtol=0.0, atol=0.0) if n > 1 else \
            torch.zeros((m, 0), dtype=torch.bool)
        starts = torch.cat([torch.ones((m, 1), dtype=torch.bool), ~same], 1)
        run = torch.cumsum(starts.to(torch.int64), 1) - 1
        counts = torch.zeros((m, n), dtype=torch.int64).scatter_add_(1, run, torch.ones_like(run))
        best_run = torch.argmax(counts, 1)  # first maximum: the smallest value
        last = torch.where(run == best_run.unsqueeze(1), torch.arange(n).expand(m, n), -1).amax(1)
        index = torch.gather(order, 1, last.unsqueeze(1)).squeeze(1)
        # Stable sorting keeps equal values in index order, so the run's last is the largest index.
        return Mode(*pick(input, d, rows, index, kept, keepdim))

    def nanmedian(input, dim=None, keepdim=False):
        """The lower median ignoring NaNs (NaN where all are NaN); with dim, values and indices."""
        tensor_arg("nanmedian", "input", input)
        if dim is None:
            rows = input.reshape(1, -1)
            if rows.shape[1] == 0:
                # NaN, as PyTorch; computed from the input so that a history goes on.
                return rows.sum() * math.nan
            s = zel.sort(rows, dim=1, stable=True)
            k = int((~zel.isnan(rows)).sum())
            return s.values[0, max(k - 1, 0) // 2]
        d = wrap_dim("nanmedian", dim, input.dim())
        if input.dim() and input.shape[d] == 0:
            raise IndexError("nanmedian(): Expected reduction dim %d to have non-zero size." % d)
        rows, kept = rows_along(input, d)
        m, n = _shape(rows)
        if m == 0:
            return NanMedian(rows.sum(dim=1).reshape(kept) if rows.ndim > 1 else zel.zeros(kept),
                             torch.zeros(kept, dtype=torch.int64))
        s = zel.sort(rows, dim=1, stable=True)
        k = (~zel.isnan(rows)).reshape(m, n).sum(1)
        position = torch.clamp(k - 1, min=0) // 2
        index = torch.gather(s.indices, 1, position.unsqueeze(1)).squeeze(1)
        return NanMedian(*pick(input, d, rows, index, kept, keepdim))

    def quantile_levels(q):
        if isinstance(q, (Tensor, torch.Tensor)):
            if q.dim() > 1:
                raise RuntimeError("quantile() q must be a scalar or 1D tensor")
            levels = [float(v) for v in (q.tolist() if q.dim() else [q.tolist()])]
            shape = _shape(q)
        elif isinstance(q, (int, float)) and not isinstance(q, bool):
            levels, shape = [float(q)], ()
        else:
            raise TypeError("nanquantile(): argument 'q' must be float or Tensor, not %s" % type(q).__name__)
        for v in levels:
            if not 0 <= v <= 1:
                raise RuntimeError("quantile() q values must be in the range [0, 1]")
        return levels, shape

    def nanquantile(input, q, dim=None, keepdim=False, *, interpolation="linear", out=None):
        """quantile over the elements that are not NaN (NaN where all are NaN), by exact order."""
        tensor_arg("nanquantile", "input", input)
        levels, q_shape = quantile_levels(q)
        if interpolation not in ("linear", "lower", "higher", "midpoint", "nearest"):
            raise RuntimeError("quantile() interpolation must be one of linear, lower, higher, midpoint or nearest. "
                               "Got %s" % (interpolation,))
        if input.numel == 0:
            raise RuntimeError("quantile() input tensor must be non-empty")
        if dim is None:
            x, d = input.reshape(-1), 0
        else:
            x, d = input, wrap_dim("nanquantile", dim, input.dim())
        rows, kept = rows_along(x, d)
        m, n = _shape(rows)
        order = zel.sort(rows, dim=1, stable=True).indices  # NaNs last
        k = (~zel.isnan(rows)).reshape(m, n).sum(1)
        last = torch.clamp(k - 1, min=0).to(torch.float64)

        def at(position):
            index = torch.gather(order, 1, position.to(torch.int64).unsqueeze(1))
            return zel.take_along_dim(rows, index, 1).reshape(m)

        parts = []
        for level in levels:
            # PyTorch's ranks are float64: so are these, and the weights from them.
            rank = level * last
            if interpolation == "nearest":
                rank = torch.round(rank)
            lo, hi = torch.floor(rank), torch.ceil(rank)
            if interpolation in ("lower", "nearest"):
                parts.append(at(lo))
                continue
            if interpolation == "higher":
                parts.append(at(hi))
                continue
            below, above = at(lo), at(hi)
            weight = torch.full((m,), 0.5, dtype=torch.float64) if interpolation == "midpoint" else rank - lo
            parts.append(below + (above - below) * zel.tensor(weight))
        r = zel.stack(parts, 0).reshape(q_shape + kept)
        if keepdim:
            if dim is None:
                r = r.reshape(q_shape + (1,) * input.dim())
            elif input.dim():
                r = r.unsqueeze(d + len(q_shape))
        return to_out("nanquantile", r, out)

    def logcumsumexp(input, dim, *, out=None):
        """log(cumsum(exp(input), dim)), accumulated by logaddexp so that no term underflows."""
        tensor_arg("logcumsumexp", "input", input)
        d = wrap_dim("logcumsumexp", dim, input.dim())
        if input.dim() == 0 or input.shape[d] <= 1:
            return to_out("logcumsumexp", input.clone(), out)
        parts = zel.unbind(input, d)
        acc = [parts[0]]
        for p in parts[1:]:
            acc.append(zel.logaddexp(acc[-1], p))
        return to_out("logcumsumexp", zel.stack(acc, d), out)

    # --------------------------------------------------------- factories, tests

    def size_of(op, size):
        if len(size) == 1 and isinstance(size[0], (list, tuple, torch.Size)):
            size = tuple(size[0])
        for s in size:
            if isinstance(s, bool) or not isinstance(s, int):
                raise TypeError("%s(): argument 'size' must be tuple of ints, but found element of type %s"
                                % (op, type(s).__name__))
            if s < 0:
                raise RuntimeError("%s(): negative dimension %d" % (op, s))
        return tuple(size)

    def new_factory(op, fill):
        def make(self, *size, dtype=None, device=None, requires_grad=False, layout=None, pin_memory=False):
            r = zel.full(size_of(op, size), fill) if fill else zel.zeros(size_of(op, size))
            return r.requires_grad_() if requires_grad else r
        make.__name__ = op
        make.__doc__ = "A new tensor of the given size filled with %s." % ("ones" if fill else "zeros")
        return make

    def new_full(self, size, fill_value, *, dtype=None, device=None, requires_grad=False, layout=None,
                 pin_memory=False):
        """A new tensor of the given size filled with fill_value."""
        number_arg("new_full", "fill_value", fill_value)
        r = zel.full(size_of("new_full", (size,)), float(fill_value))
        return r.requires_grad_() if requires_grad else r

    def new_empty(self, *size, dtype=None, device=None, requires_grad=False, layout=None, pin_memory=False):
        """A new tensor of the given size (its elements are zeros here)."""
        r = zel.zeros(size_of("new_empty", size))
        return r.requires_grad_() if requires_grad else r

    def new_tensor(self, data, *, dtype=None, device=None, requires_grad=False, layout=None, pin_memory=False):
        """A new tensor copied from data, detached from any graph."""
        if isinstance(data, Tensor):
            r = data.detach().clone()
        else:
            r = as_zel(data)
        return r.requires_grad_() if requires_grad else r

    def zero_(input):
        """Sets every element of input to zero, in place."""
        tensor_arg("zero_", "input", input)
        return input.zero_()

    def infinity_test(name, sign):
        def test(input, *, out=None):
            tensor_arg(name, "input", input)
            r = (zel.isinf(input) & (input > 0 if sign > 0 else input < 0)).reshape(_shape(input))
            return to_out(name, r, out)
        test.__name__ = name
        test.__doc__ = "Where the elements are %s infinity, a torch bool tensor." % ("positive" if sign > 0 else
                                                                                     "negative")
        return test

    def heaviside(input, values, *, out=None):
        """The step function: 0 below zero, 1 above, values at zero (NaN input gives 0, as PyTorch's)."""
        tensor_arg("heaviside", "input", input)
        tensor_arg("heaviside", "values", values)
        x, v = input.detach(), values.detach()
        shape = torch.broadcast_shapes(_shape(x), _shape(v))
        step = zel.where((x > 0).reshape(_shape(x)), 1.0, 0.0)
        r = zel.where((x == 0).reshape(_shape(x)), v, step)
        return to_out("heaviside", r.reshape(shape) if _shape(r) != shape else r, out)

    # ----------------------------------------------------------- linear algebra

    Svd = collections.namedtuple("svd", ["U", "S", "V"])
    Svd.__module__ = "torch.return_types"
    TriangularSolve = collections.namedtuple("triangular_solve", ["solution", "cloned_coefficient"])
    TriangularSolve.__module__ = "torch.return_types"
    InvEx = collections.namedtuple("linalg_inv_ex", ["inverse", "info"])
    CholeskyEx = collections.namedtuple("linalg_cholesky_ex", ["L", "info"])
    SolveEx = collections.namedtuple("linalg_solve_ex", ["result", "info"])
    LuFactorEx = collections.namedtuple("linalg_lu_factor_ex", ["LU", "pivots", "info"])
    for t in (InvEx, CholeskyEx, SolveEx, LuFactorEx):
        t.__module__ = "torch.return_types"

    def svd(input, some=True, compute_uv=True):
        """The singular value decomposition input = U diag(S) V^H (V, not V^H); full U, V unless some."""
        tensor_arg("svd", "input", input)
        if input.dim() < 2:
            raise RuntimeError("linalg.svd: The input tensor A must have at least 2 dimensions.")
        if not compute_uv:
            m, n = _shape(input)[-2:]
            batch = _shape(input)[:-2]
            return Svd(zel.zeros(batch + (m, m)), linalg.svdvals(input), zel.zeros(batch + (n, n)))
        u, s, vh = linalg.svd(input, full_matrices=not some)
        return Svd(u, s, vh.mH)  # V itself: conjugated as well for a complex input

    def pinverse(input, rcond=1e-15):
        """The pseudo-inverse, singular values below rcond * the largest taken as zero."""
        tensor_arg("pinverse", "input", input)
        return linalg.pinv(input, rtol=rcond)

    def triangular_solve(b, A, upper=True, transpose=False, unitriangular=False):
        """The solution X of A X = b (A^T X = b with transpose) for triangular A, and a copy of A."""
        tensor_arg("triangular_solve", "b", b)
        tensor_arg("triangular_solve", "A", A)
        a = A.mT if transpose else A
        x = linalg.solve_triangular(a, b, upper=upper != bool(transpose), unitriangular=unitriangular)
        return TriangularSolve(x, A.clone())

    def cholesky(input, upper=False, *, out=None):
        """The Cholesky factor L (U = L^T with upper) of a symmetric positive-definite matrix."""
        tensor_arg("cholesky", "input", input)
        return to_out("cholesky", linalg.cholesky(input, upper=upper), out)

    def info_of(x):
        return torch.zeros(_shape(x)[:-2], dtype=torch.int32)

    def inv_ex(A, *, check_errors=False, out=None):
        """linalg.inv with an info tensor of zeros (a singular matrix raises)."""
        return InvEx(linalg.inv(A), info_of(A))

    def cholesky_ex(A, *, upper=False, check_errors=False, out=None):
        """linalg.cholesky with an info tensor of zeros (a matrix that is not definite raises)."""
        return CholeskyEx(linalg.cholesky(A, upper=upper), info_of(A))

    def solve_ex(A, B, *, left=True, check_errors=False, out=None):
        """linalg.solve with an info tensor of zeros (a singular matrix raises)."""
        return SolveEx(linalg.solve(A, B, left=left), info_of(A))

    def lu_factor_ex(A, *, pivot=True, check_errors=False, out=None):
        """linalg.lu_factor with an info tensor of zeros."""
        lu, piv = linalg.lu_factor(A, pivot=pivot)
        return LuFactorEx(lu, piv, info_of(A))

    def tensorinv(A, ind=2, *, out=None):
        """The inverse of A read as a matrix of its first ind dims by the rest, in the shape rest + first."""
        tensor_arg("linalg.tensorinv", "A", A)
        if isinstance(ind, bool) or not isinstance(ind, int) or ind <= 0:
            raise RuntimeError("Expected a strictly positive integer for 'ind', but got %s" % (ind,))
        rows, cols = _shape(A)[:ind], _shape(A)[ind:]
        if math.prod(rows) != math.prod(cols):
            raise RuntimeError("Expected self to satisfy the requirement prod(self.shape[ind:]) == "
                               "prod(self.shape[:ind]), but got %d != %d" % (math.prod(cols), math.prod(rows)))
        return linalg.inv(A.reshape(math.prod(rows), math.prod(cols))).reshape(cols + rows)

    def tensorsolve(A, B, dims=None, *, out=None):
        """The X with tensordot(A, X, X.ndim) == B; dims are moved to the end of A first."""
        tensor_arg("linalg.tensorsolve", "A", A)
        tensor_arg("linalg.tensorsolve", "B", B)
        if dims is not None:
            ds = [wrap_dim("linalg.tensorsolve", d, A.dim()) for d in dims]
            A = zel.movedim(A, ds, list(range(A.dim() - len(ds), A.dim())))
        rest = _shape(A)[B.dim():]
        n = math.prod(_shape(A)[:B.dim()])
        if math.prod(rest) != n:
            raise RuntimeError("Expected self to satisfy the requirement prod(self.shape[other.ndim:]) == "
                               "prod(self.shape[:other.ndim]), but got %d != %d" % (math.prod(rest), n))
        if math.prod(_shape(B)) != n:
            raise RuntimeError("linalg.tensorsolve: other has %d elements, A's leading dims %d"
                               % (math.prod(_shape(B)), n))
        return linalg.solve(A.reshape(n, n), B.reshape(n)).reshape(rest)

    functions = {
        "addmm": addmm, "addmv": addmv, "addbmm": addbmm, "baddbmm": baddbmm, "addr": addr, "inner": inner,
        "vdot": vdot, "split_with_sizes": split_with_sizes, "tensor_split": tensor_split, "hsplit": hsplit,
        "vsplit": vsplit, "dsplit": dsplit, "dstack": dstack, "ravel": ravel, "repeat_interleave": repeat_interleave,
        "block_diag": block_diag, "diagflat": diagflat, "cov": cov, "corrcoef": corrcoef, "msort": msort,
        "mode": mode, "nanmedian": nanmedian, "nanquantile": nanquantile, "logcumsumexp": logcumsumexp, "zero_": zero_,
        "isposinf": infinity_test("isposinf", 1), "isneginf": infinity_test("isneginf", -1),
        "heaviside": heaviside, "svd": svd, "pinverse": pinverse, "triangular_solve": triangular_solve,
        "cholesky": cholesky,
    }
    module_only = {"dstack", "block_diag", "zero_"}
    for name, fn in functions.items():
        fn.__module__ = zel.__name__
        if not hasattr(zel, name):
            setattr(zel, name, fn)
        if name not in module_only and not hasattr(Tensor, name):
            setattr(Tensor, name, fn)
    for name, fn in (("new_zeros", new_factory("new_zeros", 0.0)), ("new_ones", new_factory("new_ones", 1.0)),
                     ("new_full", new_full), ("new_empty", new_empty), ("new_tensor", new_tensor)):
        fn.__module__ = zel.__name__
        if not hasattr(Tensor, name):
            setattr(Tensor, name, fn)
    for name, fn in (("inv_ex", inv_ex), ("cholesky_ex", cholesky_ex), ("solve_ex", solve_ex),
                     ("lu_factor_ex", lu_factor_ex), ("tensorinv", tensorinv), ("tensorsolve", tensorsolve)):
        fn.__module__ = zel.__name__ + ".linalg"
        if not hasattr(linalg, name):
            setattr(linalg, name, fn)
    from varnel.zel import _linalg_tail
    _linalg_tail.install(zel)
