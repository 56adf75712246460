"""PyTorch's numeric helpers built from the library's operations: frexp and
ldexp (exact scaling by powers of two), isin (exact comparisons), renorm,
gradient (finite differences), histogramdd, index_reduce, segment_reduce and
trapz.

Each is a composition of defined operations, so its accuracy and gradients
are theirs. varnel.zel.zel calls install() once; no name already there is
replaced.
"""
import builtins
import collections
import math

import numpy as np
import torch

from varnel.zel._arguments import Checks


def _shape(x):
    return tuple(x.shape)


Histogramdd = collections.namedtuple("histogramdd", ["hist", "bin_edges"])
Frexp = collections.namedtuple("frexp", ["mantissa", "exponent"])
for _t in (Histogramdd, Frexp):
    _t.__module__ = "torch.return_types"


def install(zel):
    Tensor = zel.Tensor

    checks = Checks(zel)
    tensor_arg, number_arg, wrap_dim, as_zel = checks.tensor_arg, checks.number_arg, checks.wrap_dim, checks.as_zel

    # ------------------------------------------------------------ powers of two

    def scale_limbs(x, e):
        """x * 2**e limb by limb, e an int64 tensor broadcasting with x: exact unless a limb leaves
        float64's range (the product of expansions rounds its lowest limbs)."""
        shape = tuple(torch.broadcast_shapes(_shape(x), tuple(e.shape)))
        xb = x.detach() if _shape(x) == shape else x.detach().expand(*shape)
        limbs = np.array(xb.numpy_limbs(), dtype=np.float64).reshape(shape + (8,))
        eb = np.clip(e.expand(shape).numpy(), -4000, 4000).astype(np.int32)
        out = np.ldexp(limbs, eb[..., None])
        # A leading limb that overflowed or vanished takes the tail with it.
        lead = out[..., :1]
        out[..., 1:] = np.where(np.isfinite(lead) & (lead != 0), out[..., 1:], 0.0)
        return zel.from_limbs(torch.from_numpy(np.ascontiguousarray(out)).reshape(shape + (8,)))

    class ScaleByPowerOfTwo(zel.autograd.Function):
        @staticmethod
        def forward(ctx, x, exponent):
            ctx.save_for_backward(x, exponent)
            return scale_limbs(x, exponent_of(exponent))

        @staticmethod
        def backward(ctx, grad):
            x, exponent = ctx.saved_tensors
            g = scale_limbs(grad, exponent_of(exponent))
            return (g.sum_to_size(_shape(x)) if _shape(g) != _shape(x) else g), None

    def exponent_of(e):
        return torch.from_numpy(np.asarray(e.numpy(), dtype=np.float64)).reshape(_shape(e)).to(torch.int64)

    def scaled(x, e):
        """x * 2**e for an int64 tensor e, exactly, with x's gradient scaled alike."""
        return ScaleByPowerOfTwo.apply(x, zel.tensor(e.clamp(-4000, 4000).to(torch.float64)))

    def frexp(input, *, out=None):
        """The mantissa in [0.5, 1) in magnitude and the int32 exponent with input = mantissa * 2**exponent."""
        tensor_arg("frexp", "input", input)
        limbs = torch.from_numpy(np.ascontiguousarray(input.detach().numpy_limbs()))
        lead = limbs[..., 0]
        m0, e = torch.frexp(lead)
        e = e.to(torch.int64)
        # A leading limb of exactly half a power with a tail of the other sign: the value is below it.
        tail = limbs[..., 1:]
        first = torch.where(tail != 0, tail, torch.zeros((), dtype=torch.float64))
        nz = (tail != 0).to(torch.int64)
        idx = torch.where(nz.any(-1), nz.argmax(-1), torch.zeros((), dtype=torch.int64))
        tail_lead = first.gather(-1, idx.unsqueeze(-1)).squeeze(-1)
        below = (m0.abs() == 0.5) & (tail_lead * lead < 0)
        e = e - below.to(torch.int64)
        mantissa = scaled(input, -e)
        result = Frexp(mantissa, e.to(torch.int32))
        if out is not None:
            out[0].copy_(result[0])
            out[1].copy_(result[1])
            return Frexp(*out)
        return result

    def ldexp(input, other, *, out=None):
        """input * 2**other; exact for integer exponents."""
        tensor_arg("ldexp", "input", input)
        if isinstance(other, torch.Tensor) and not other.is_floating_point():
            e = other.to(torch.int64)
        elif isinstance(other, (Tensor, torch.Tensor)):
            values = torch.from_numpy(np.asarray(other.detach().numpy(), dtype=np.float64)) \
                if isinstance(other, Tensor) else other.detach().to(torch.float64)
            if not bool((torch.isfinite(values) & (values == torch.round(values))).all()) or \
                    bool((values.abs() > 1e6).any()):
                r = input * zel.pow(2.0, as_zel(other))
                return r if out is None else out.copy_(r)
            e = values.to(torch.int64)
        else:
            number_arg("ldexp", "other", other)
            if float(other) != round(float(other)) or abs(other) > 1e6:
                r = input * 2.0 ** float(other)
                return r if out is None else out.copy_(r)
            e = torch.tensor(int(other), dtype=torch.int64)
        r = scaled(input, e)
        return r if out is None else out.copy_(r)

    def hash_tensor(input, dim=(), *, keepdim=False, mode=0):
        """The xor of the bit patterns of every limb (uint64): a float64 tensor's own PyTorch hash."""
        tensor_arg("hash_tensor", "input", input)
        if mode != 0:
            raise RuntimeError("Unknown hash_tensor mode: %s" % (mode,))
        if dim is None or (isinstance(dim, (tuple, list)) and len(dim) == 0):
            dims = tuple(range(input.dim()))
        else:
            dims = (dim,) if isinstance(dim, int) and not isinstance(dim, bool) else tuple(dim)
            dims = tuple(sorted({wrap_dim("hash_tensor", d, input.dim()) for d in dims}))
        bits = np.ascontiguousarray(input.detach().numpy_limbs()).view(np.uint64)
        # Limbs past the first are zero for a float64 value: PyTorch's hash of it.
        h = np.bitwise_xor.reduce(bits, axis=-1)
        if input.dim():
            h = np.bitwise_xor.reduce(h, axis=dims, keepdims=keepdim) if dims else h
        h = np.asarray(h, dtype=np.uint64)
        if hasattr(torch, "uint64"):
            return torch.from_numpy(h.copy()).to(torch.uint64) if h.ndim else torch.tensor(int(h), dtype=torch.uint64)
        return torch.from_numpy(h.view(np.int64).copy())

    # ------------------------------------------------------------ membership

    def isin(elements, test_elements, *, assume_unique=False, invert=False):
        """Whether each element equals (exactly) one of test_elements; a bool tensor of elements' shape."""
        if not isinstance(elements, Tensor) and not isinstance(test_elements, Tensor):
            raise TypeError("isin(): expected a Tensor among elements and test_elements")
        for name, v in (("elements", elements), ("test_elements", test_elements)):
            if not isinstance(v, (Tensor, torch.Tensor)):
                number_arg("isin", name, v)
        x = as_zel(elements)
        test = as_zel(test_elements).reshape(-1)
        if test.numel == 0 or x.numel == 0:
            found = torch.zeros(_shape(x), dtype=torch.bool)
        else:
            ordered = zel.sort(test).values
            pos = zel.searchsorted(ordered, x.reshape(-1)).clamp(max=test.numel - 1)
            # isclose with no tolerance decides on the exact value (== on the float64 approximation).
            found = zel.isclose(zel.take(ordered, pos), x.reshape(-1), rtol=0.0, atol=0.0).reshape(_shape(x))
        return ~found if invert else found

    # ------------------------------------------------------------ norms, differences

    def renorm(input, p, dim, maxnorm, *, out=None):
        """input with each slice along dim whose p-norm exceeds maxnorm scaled to norm maxnorm."""
        tensor_arg("renorm", "input", input)
        number_arg("renorm", "p", p)
        number_arg("renorm", "maxnorm", maxnorm)
        if input.dim() < 2:
            raise RuntimeError("renorm: input needs at least 2 dimensions, got %d dimensions" % input.dim())
        if not p > 0:
            raise RuntimeError("renorm: non-positive-norm not supported")
        if maxnorm < 0:
            raise RuntimeError("renorm: expected maxnorm to be >= 0 but got %s" % maxnorm)
        d = wrap_dim("renorm", dim, input.dim())
        others = tuple(i for i in range(input.dim()) if i != d)
        norms = zel.linalg.vector_norm(input, p, dim=others, keepdim=True)
        # PyTorch's factor, its 1e-7 included.
        factor = zel.where(norms > maxnorm, maxnorm / (norms + 1e-7), zel.ones(_shape(norms)))
        r = input * factor
        return r if out is None else out.copy_(r)

    def along(x, d, start, stop):
        n = x.shape[d]
        start = start + n if start < 0 else start
        stop = stop + n if stop <= 0 else stop
        return x.narrow(d, start, stop - start)

    def uniform_gradient(f, d, h, edge_order):
        interior = (along(f, d, 2, 0) - along(f, d, 0, -2)) / (2.0 * h)
        if edge_order == 1:
            first = (along(f, d, 1, 2) - along(f, d, 0, 1)) / h
            last = (along(f, d, -1, 0) - along(f, d, -2, -1)) / h
        else:
            first = (-1.5 * along(f, d, 0, 1) + 2.0 * along(f, d, 1, 2) - 0.5 * along(f, d, 2, 3)) / h
            last = (0.5 * along(f, d, -3, -2) - 2.0 * along(f, d, -2, -1) + 1.5 * along(f, d, -1, 0)) / h
        return zel.cat([first, interior, last], d)

    def coordinate_gradient(f, d, x, edge_order):
        """numpy's second-order differences on unevenly spaced coordinates x (1-D)."""
        shape = [1] * f.dim()
        shape[d] = -1
        dx = (x[1:] - x[:-1]).reshape(shape)
        dx1, dx2 = along(dx, d, 0, -1), along(dx, d, 1, 0)
        a = -dx2 / (dx1 * (dx1 + dx2))
        b = (dx2 - dx1) / (dx1 * dx2)
        c = dx1 / (dx2 * (dx1 + dx2))
        interior = a * along(f, d, 0, -2) + b * along(f, d, 1, -1) + c * along(f, d, 2, 0)
        if edge_order == 1:
            first = (along(f, d, 1, 2) - along(f, d, 0, 1)) / along(dx, d, 0, 1)
            last = (along(f, d, -1, 0) - along(f, d, -2, -1)) / along(dx, d, -1, 0)
        else:
            d1, d2 = along(dx, d, 0, 1), along(dx, d, 1, 2)
            first = (-(2.0 * d1 + d2) / (d1 * (d1 + d2)) * along(f, d, 0, 1)
                     + (d1 + d2) / (d1 * d2) * along(f, d, 1, 2) - d1 / (d2 * (d1 + d2)) * along(f, d, 2, 3))
            d1, d2 = along(dx, d, -2, -1), along(dx, d, -1, 0)
            last = (d2 / (d1 * (d1 + d2)) * along(f, d, -3, -2) - (d2 + d1) / (d1 * d2) * along(f, d, -2, -1)
                    + (2.0 * d2 + d1) / (d2 * (d1 + d2)) * along(f, d, -1, 0))
        return zel.cat([first, interior, last], d)

    def gradient(input, *, spacing=1, dim=None, edge_order=1):
        """The derivative estimated by central differences inside and one-sided ones at the edges, per dim."""
        tensor_arg("gradient", "input", input)
        if edge_order not in (1, 2) or isinstance(edge_order, bool):
            raise RuntimeError("torch.gradient only supports edge_order=1 and edge_order=2.")
        if input.dim() == 0:
            raise RuntimeError("torch.gradient expected each tensor to be at least one-dimensional")
        if dim is None:
            dims = list(range(input.dim()))
        else:
            dims = [dim] if isinstance(dim, int) and not isinstance(dim, bool) else list(dim)
            dims = [wrap_dim("gradient", v, input.dim()) for v in dims]
            if len(set(dims)) != len(dims):
                raise RuntimeError("dim %s appears multiple times in the list of dims" % dims)
        if spacing is None:
            spacing = 1
        if isinstance(spacing, (Tensor, torch.Tensor)) and spacing.dim() == 0:
            spacing = float(spacing.item())
        if isinstance(spacing, (list, tuple)):
            if len(spacing) != len(dims):
                raise RuntimeError("torch.gradient expected spacing to be unspecified, a scalar or it's spacing "
                                   "and dim arguments to have the same length, but got a spacing argument of "
                                   "length %d and a dim argument of length %d." % (len(spacing), len(dims)))
            steps = list(spacing)
        else:
            number_arg("gradient", "spacing", spacing)
            steps = [spacing] * len(dims)
        results = []
        for d, h in zip(dims, steps):
            if input.shape[d] < edge_order + 1:
                raise RuntimeError("torch.gradient expected each dimension size to be at least edge_order+1")
            if isinstance(h, (Tensor, torch.Tensor)) and h.dim() > 0:
                h = as_zel(h)
                if h.dim() != 1 or h.shape[0] != input.shape[d]:
                    raise RuntimeError("torch.gradient expected each tensor to be on the same device and each "
                                       "coordinate tensor to have the size of its dimension")
                results.append(coordinate_gradient(input, d, h, edge_order))
            else:
                if isinstance(h, (Tensor, torch.Tensor)):
                    h = float(h.item())
                number_arg("gradient", "spacing", h)
                results.append(uniform_gradient(input, d, float(h), edge_order))
        return tuple(results)

    def trapz(y, x=None, *, dx=None, dim=-1):
        """trapezoid under its older name."""
        tensor_arg("trapz", "y", y)
        if x is not None and not isinstance(x, (Tensor, torch.Tensor)):
            dx, x = x, None
        return zel.trapezoid(y, as_zel(x) if x is not None else None, dx=dx, dim=dim) if dx is not None else \
            zel.trapezoid(y, as_zel(x) if x is not None else None, dim=dim)

    # ------------------------------------------------------------ histograms

    def histogramdd(input, bins=10, *, range=None, weight=None, density=False):
        """The histogram of the rows of input (points in D dimensions) and each dimension's bin edges."""
        tensor_arg("histogramdd", "input", input)
        if input.dim() < 1:
            raise RuntimeError("torch.histogramdd: input tensor should have at least 1 dimension, but got 0")
        D = input.shape[-1]
        # One edge tensor per dimension and bins multiplying across them: bounded before any is built.
        if D > 1024:
            raise RuntimeError("torch.histogramdd: %d dimensions are more than supported (1024)" % D)
        points = input.reshape(-1, D) if input.dim() != 1 else input.reshape(-1, D)
        if isinstance(bins, int) and not isinstance(bins, bool):
            bins = [bins] * D
        bins = list(bins)
        if len(bins) != D:
            raise RuntimeError("torch.histogramdd: expected %d sequences of bin edges for each of the %d "
                               "dimensions of the input, but got %d" % (D, D, len(bins)))
        if range is not None:
            range = list(range)
            if len(range) != 2 * D:
                raise RuntimeError("torch.histogramdd: for a %d-dimensional histogram range should have %d "
                                   "elements, but got %d" % (D, 2 * D, len(range)))
        edges = []
        for d, b in enumerate(bins):
            column = points[:, d]
            if isinstance(b, (Tensor, torch.Tensor)):
                e = as_zel(b)
                if e.dim() != 1 or e.shape[0] < 1:
                    raise RuntimeError("torch.histogramdd: bin edges must be a 1-D tensor with at least one edge")
            else:
                r = None if range is None else (range[2 * d], range[2 * d + 1])
                e = zel.histogram(column, bins=b, range=r).bin_edges
            edges.append(e)
        counts = [e.shape[0] - 1 for e in edges]
        total = math.prod(counts)
        if total > (1 << 40):
            raise RuntimeError("torch.histogramdd: %d bins are more than any memory holds" % total)
        flat = torch.zeros(points.shape[0], dtype=torch.int64)
        inside = torch.ones(points.shape[0], dtype=torch.bool)
        stride = 1
        for d in reversed(builtins.range(D)):
            e, n = edges[d], counts[d]
            column = points[:, d]
            if n < 1:
                inside &= False
                continue
            pos = zel.searchsorted(e, column, right=True) - 1
            # The last edge closes the last bin.
            pos = torch.where(column == e[-1], torch.full_like(pos, n - 1), pos)
            inside &= (pos >= 0) & (pos < n)
            flat += pos.clamp(0, max(n - 1, 0)) * stride
            stride *= n
        w = zel.ones(points.shape[0]) if weight is None else as_zel(weight).reshape(-1)
        if weight is not None and w.shape[0] != points.shape[0]:
            raise RuntimeError("torch.histogramdd: if weight tensor is provided it should have the same shape "
                               "as the input tensor excluding its innermost dimension")
        keep = torch.nonzero(inside).reshape(-1)
        if total == 0:
            hist = zel.zeros(tuple(counts))
        elif keep.numel() == 0:
            hist = zel.zeros(tuple(counts))
        else:
            hist = zel.bincount(flat.index_select(0, keep), weights=w.index_select(0, keep),
                                minlength=total).reshape(tuple(counts))
        if density and total:
            volume = None
            for d, e in enumerate(edges):
                widths = (e[1:] - e[:-1]).reshape([-1 if i == d else 1 for i in builtins.range(D)])
                volume = widths if volume is None else volume * widths
            hist = hist / (hist.sum() * volume)
        return Histogramdd(hist, edges)

    # ------------------------------------------------------------ index and segment reductions

    def index_reduce(input, dim, index, source, reduce, *, include_self=True, out=None):
        """input with source's slices reduced into the slices index names along dim (prod, mean, amax, amin)."""
        tensor_arg("index_reduce", "input", input)
        tensor_arg("index_reduce", "source", source)
        if reduce not in ("prod", "mean", "amax", "amin"):
            raise RuntimeError("index_reduce(): Expected reduce to be one of prod, mean, amax or amin but got %s."
                               % (reduce,))
        if not isinstance(index, torch.Tensor) or index.dtype not in (torch.int64, torch.int32):
            raise RuntimeError("index_reduce_(): Expected dtype int32/int64 for index but got: %s"
                               % (getattr(index, "dtype", type(index).__name__),))
        if index.dim() > 1:
            raise IndexError("index_reduce_(): Index is supposed to be a vector")
        d = wrap_dim("index_reduce", dim, input.dim())
        if input.dim() != source.dim() and not (input.dim() <= 1 and source.dim() <= 1):
            raise IndexError("index_reduce_(): Source and destination must have the same number of dimensions")
        n = source.shape[d] if source.dim() else 1
        if index.numel() != n:
            raise RuntimeError("index_reduce_(): Number of indices (%d) should be equal to source.size(dim) (%d)"
                               % (index.numel(), n))
        for i in range(input.dim()):
            if i != d and input.shape[i] != source.shape[i]:
                raise RuntimeError("index_reduce_(): Source/destination tensor must have same slice shapes. "
                                   "Destination slice shape: %s at dimension %d and source slice shape: %s at "
                                   "dimension 0." % (input.shape[i], i, source.shape[i]))
        size = input.shape[d] if input.dim() else 1
        if index.numel() and (int(index.min()) < -size or int(index.max()) >= size):
            raise IndexError("index out of range in self")
        idx = index.reshape(-1).to(torch.int64) % max(size, 1)
        if input.dim() == 0:
            r = input.reshape(1).scatter_reduce(0, idx, source.reshape(1), reduce, include_self=include_self)
            r = r.reshape(())
        else:
            view = [1] * source.dim()
            view[d] = -1
            full = idx.reshape(view).expand(_shape(source)).contiguous()
            r = input.scatter_reduce(d, full, source, reduce, include_self=include_self)
        return r if out is None else out.copy_(r)

    def index_reduce_(self, dim, index, source, reduce, *, include_self=True):
        """index_reduce in place."""
        r = index_reduce(self, dim, index, source, reduce, include_self=include_self)
        return self.copy_(r)

    _EMPTY = {"sum": 0.0, "prod": 1.0, "max": -math.inf, "min": math.inf, "mean": math.nan}

    def segment_reduce(data, reduce, *, lengths=None, indices=None, offsets=None, axis=0, unsafe=False,
                       initial=None):
        """Reductions (sum, mean, max, min, prod) of consecutive segments of data along axis."""
        tensor_arg("segment_reduce", "data", data)
        if reduce not in _EMPTY:
            raise RuntimeError("segment_reduce: reduction %r is not supported" % (reduce,))
        if indices is not None:
            raise RuntimeError("segment_reduce(): indices based reduction is not supported yet.")
        if (lengths is None) == (offsets is None):
            raise RuntimeError("segment_reduce(): Either lengths or offsets must be defined")
        if data.dim() == 0:
            raise RuntimeError("segment_reduce(): data must have at least one dimension")
        axis = wrap_dim("segment_reduce", axis, data.dim())
        if lengths is not None:
            seg = torch.as_tensor(lengths).to(torch.int64)
            if seg.dim() != axis + 1 or tuple(seg.shape[:axis]) != _shape(data)[:axis]:
                raise RuntimeError("segment_reduce(): Expected lengths of shape %s + (segments,), got %s"
                                   % (list(data.shape[:axis]), list(seg.shape)))
            if bool((seg < 0).any()):
                raise RuntimeError("lengths contains negative value!")
            bounds = torch.cat([torch.zeros(seg.shape[:-1] + (1,), dtype=torch.int64), seg.cumsum(-1)], -1)
        else:
            bounds = torch.as_tensor(offsets).to(torch.int64)
            if bounds.dim() != axis + 1 or tuple(bounds.shape[:axis]) != _shape(data)[:axis] or \
                    bounds.shape[-1] < 1:
                raise RuntimeError("segment_reduce(): Expected offsets of shape %s + (segments + 1,), got %s"
                                   % (list(data.shape[:axis]), list(bounds.shape)))
            if bool((bounds[..., 1:] < bounds[..., :-1]).any()) or bool((bounds < 0).any()):
                raise RuntimeError("segment_reduce(): offsets must be non-decreasing and non-negative")
        if bool((bounds[..., -1] != data.shape[axis]).any()):
            raise RuntimeError("segment_reduce(): Expected all rows of lengths along axis to sum to data.size(lengths.dim()-1) when !unsafe.")
        lead = _shape(data)[:axis]
        rest = _shape(data)[axis + 1:]
        nseg = bounds.shape[-1] - 1
        flat_bounds = bounds.reshape(-1, nseg + 1)
        flat_data = data.reshape((-1,) + _shape(data)[axis:])
        if initial is not None:
            number_arg("segment_reduce", "initial", initial)
        pieces = []
        for row in range(flat_bounds.shape[0]):
            x = flat_data[row]
            for s in range(nseg):
                a, b = int(flat_bounds[row, s]), int(flat_bounds[row, s + 1])
                part = x.narrow(0, a, b - a)
                if b == a:
                    v = zel.full(rest, float(initial if initial is not None else _EMPTY[reduce]))
                elif reduce == "mean":
                    v = part.sum(0)
                    v = (v + initial if initial is not None else v) / float(b - a)
                else:
                    v = {"sum": lambda: part.sum(0), "prod": lambda: part.prod(0),
                         "max": lambda: part.amax(0), "min": lambda: part.amin(0)}[reduce]()
                    if initial is not None:
                        v = {"sum": lambda: v + initial, "prod": lambda: v * initial,
                             "max": lambda: zel.maximum(v, zel.full(rest, float(initial))),
                             "min": lambda: zel.minimum(v, zel.full(rest, float(initial)))}[reduce]()
                pieces.append(v)
        if not pieces:
            return zel.zeros(lead + (nseg,) + rest)
        return zel.stack(pieces).reshape(lead + (nseg,) + rest)

    functions = {"frexp": frexp, "ldexp": ldexp, "isin": isin, "renorm": renorm, "gradient": gradient,
                 "histogramdd": histogramdd, "index_reduce": index_reduce, "segment_reduce": segment_reduce,
                 "trapz": trapz, "hash_tensor": hash_tensor}
    module_only = {"isin", "gradient", "segment_reduce", "trapz", "hash_tensor"}
    for name, fn in functions.items():
        fn.__module__ = zel.__name__
        if not hasattr(zel, name):
            setattr(zel, name, fn)
        if name not in module_only and not hasattr(Tensor, name):
            setattr(Tensor, name, fn)
    index_reduce_.__module__ = zel.__name__
    if not hasattr(Tensor, "index_reduce_"):
        Tensor.index_reduce_ = index_reduce_

    from varnel.zel import _special
    _special.install(zel)
