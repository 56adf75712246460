"""PyTorch's remaining linear-algebra names as compositions of the library's
own operations: the older top-level qr, cross, lu, lu_unpack, lu_solve,
cholesky_inverse and symeig; LAPACK's compact Householder form (geqrf,
householder_product/orgqr, ormqr); the Bunch-Kaufman LDL^T factorisation
(linalg.ldl_factor[_ex], linalg.ldl_solve); linalg.vander, linalg.diagonal;
and the randomized svd_lowrank and pca_lowrank.

The factorisations follow LAPACK's unblocked algorithms (dgeqr2, dorg2r,
dorm2r, dsytf2, dsytrs) step by step, so the compact forms, signs and pivots
are the ones PyTorch returns; every value is computed in limb arithmetic,
and pivot decisions read the float64 approximation as LAPACK reads its
float64 values. Python loops run over matrices and steps only: each step is
a handful of whole-tensor operations, which record gradients as usual.
"""
import collections
import functools
import inspect
import math
import warnings

import torch


_MAX_BATCH = 2 ** 24

def _shape(x):
    return tuple(x.shape)


# Bunch-Kaufman's growth bound, as dsytf2 sets it.
_BK_ALPHA = (1.0 + math.sqrt(17.0)) / 8.0


def install(zel):
    Tensor = zel.Tensor
    linalg = zel.linalg
    warned = set()

    def result_type(name, fields):
        t = collections.namedtuple(name, fields)
        t.__module__ = "torch.return_types"
        return t

    Qr = result_type("qr", ["Q", "R"])
    LuWithInfo = result_type("_lu_with_info", ["LU", "pivots", "info"])
    LuUnpack = result_type("lu_unpack", ["P", "L", "U"])
    Geqrf = result_type("geqrf", ["a", "tau"])
    Symeig = result_type("symeig", ["eigenvalues", "eigenvectors"])
    LdlFactor = result_type("linalg_ldl_factor", ["LD", "pivots"])
    LdlFactorEx = result_type("linalg_ldl_factor_ex", ["LD", "pivots", "info"])

    # ------------------------------------------------------------ arguments

    def tensor_arg(op, name, x):
        if not isinstance(x, Tensor):
            raise TypeError("%s(): argument '%s' must be Tensor, not %s" % (op, name, type(x).__name__))
        return x

    def bool_arg(op, name, v):
        # PyTorch's native functions take a bool and nothing else (not 0 or 1)
        if not isinstance(v, bool):
            raise TypeError("%s(): argument '%s' must be bool, not %s" % (op, name, type(v).__name__))
        return v

    def int_arg(op, name, v):
        if isinstance(v, bool) or not isinstance(v, int):
            raise TypeError("%s(): argument '%s' must be int, not %s" % (op, name, type(v).__name__))
        return v

    def index_tensor(op, name, p):
        if not isinstance(p, torch.Tensor) or p.dtype.is_floating_point or p.dtype.is_complex \
                or p.dtype == torch.bool:
            raise RuntimeError("%s: %s is expected to be a tensor of torch.int32 dtype, got %s"
                               % (op, name, getattr(p, "dtype", type(p).__name__)))
        return p

    def matrix_arg(op, name, x, square=False):
        tensor_arg(op, name, x)
        if x.dim() < 2:
            raise RuntimeError("%s: The input tensor %s must have at least 2 dimensions." % (op, name))
        if square and x.shape[-1] != x.shape[-2]:
            raise RuntimeError("%s: %s must be batches of square matrices, but they are %d by %d matrices"
                               % (op, name, x.shape[-2], x.shape[-1]))
        return x

    def deprecated(op, text):
        # PyTorch warns once per process.
        if op not in warned:
            warned.add(op)
            warnings.warn(text, UserWarning, stacklevel=3)

    def copy_out(op, result, out):
        kind = Tensor if isinstance(result, Tensor) else torch.Tensor
        if not isinstance(out, kind):
            raise TypeError("%s(): argument 'out' must be %s, not %s"
                            % (op, "Tensor" if kind is Tensor else "torch.Tensor", type(out).__name__))
        if _shape(out) != _shape(result):
            raise RuntimeError("%s(): out has shape %s, the result %s" % (op, list(out.shape), list(result.shape)))
        return out.copy_(result)

    def with_out(fn):
        """fn with PyTorch's out=: the result is copied into out (a tuple of them for a tuple result)."""
        signature = inspect.signature(fn)

        @functools.wraps(fn)
        def call(*args, **kwargs):
            bound = signature.bind(*args, **kwargs)
            out = bound.arguments.pop("out", None)
            result = fn(**bound.arguments)
            if out is None:
                return result
            if not isinstance(result, tuple):
                return copy_out(fn.__name__, result, out)
            if not isinstance(out, (tuple, list)) or len(out) != len(result):
                raise TypeError("%s(): argument 'out' must be tuple of %d Tensors" % (fn.__name__, len(result)))
            copied = [copy_out(fn.__name__, r, o) for r, o in zip(result, out)]
            return type(result)(*copied) if hasattr(result, "_fields") else tuple(copied)
        return call

    # --------------------------------------------------------------- helpers

    def approx(x):
        """The float64 approximation of every element, as a torch tensor."""
        limbs = x.torch_limbs().detach().cpu().reshape(_shape(x) + (8,))
        s = limbs[..., 7]
        for k in range(6, -1, -1):
            s = s + limbs[..., k]
        return torch.where(torch.isfinite(limbs[..., 0]), s, limbs[..., 0])

    def zeros_from(shape, *sources):
        """Zeros of the given shape joined to the sources' graphs, so that a
        result that happens to be all zeros keeps the history of its inputs."""
        anchor = None
        for s in sources:
            if s is not None:
                t = s.sum()
                anchor = t if anchor is None else anchor + t
        if anchor is None:
            return zel.zeros(shape)
        return zel.where(torch.zeros(shape, dtype=torch.bool), anchor, 0.0)

    def batch_count(batch):
        # One tensor per matrix: a batch beyond this is refused before the list is built.
        count = math.prod(batch)
        if count > _MAX_BATCH:
            raise RuntimeError("a batch of %d matrices is more than this operation takes (at most %d)"
                               % (count, _MAX_BATCH))
        return count

    def matrices(x):
        """x as a list of its matrices, and its batch shape."""
        batch = _shape(x)[:-2]
        flat = x.reshape((batch_count(batch),) + _shape(x)[-2:])
        return [flat[i] for i in range(flat.shape[0])], batch

    def vectors(x):
        batch = _shape(x)[:-1]
        flat = x.reshape((batch_count(batch), x.shape[-1]))
        return [flat[i] for i in range(flat.shape[0])], batch

    def restack(parts, batch, tail, *sources):
        if not parts:
            return zeros_from(batch + tail, *sources)
        return zel.stack(parts, 0).reshape(batch + tail)

    def one():
        return zel.ones((1,))

    def normalized(x):
        # A difference that cancelled keeps limbs like [d, -d, tiny]: approx then misreads it, and the
        # product by a Python number loses it. The tensor product renormalises; times one keeps the value.
        return x * zel.ones(_shape(x))

    def eye(m, n):
        # zel.eye(m, 0) is the m x m identity (0 counts as not given)
        return zel.eye(m, n) if m and n else zel.zeros((m, n))

    def first_max(values):
        """idamax: the index of the first largest entry (a NaN never wins)."""
        at = 0
        for i, v in enumerate(values):
            if v > values[at]:
                at = i
        return at

    # ------------------------------------------------------------ older names

    def qr(input, some=True, *, out=None):
        """The QR decomposition input = Q R: reduced with some, complete without."""
        tensor_arg("qr", "input", input)
        some = bool_arg("qr", "some", some)
        deprecated("qr", "torch.qr is deprecated in favor of torch.linalg.qr and will be removed in a future "
                         "PyTorch release.")
        if input.dim() < 2:
            raise RuntimeError("linalg.qr: The input tensor A must have at least 2 dimensions.")
        return Qr(*householder_qr(input, some))

    def householder_qr(input, some):
        """Q and R from the Householder form, as LAPACK forms them: PyTorch's signs, and orthonormal
        columns in Q even where input is rank-deficient."""
        m, n = _shape(input)[-2:]
        k = min(m, n)
        batch = _shape(input)[:-2]
        a, tau = geqrf(input)
        R = zel.triu(zel.narrow(a, -2, 0, k if some else m))
        if not some and m > n:
            a = zel.cat([a, zel.zeros(batch + (m, m - n))], -1)
        else:
            a = zel.narrow(a, -1, 0, k)
        return householder_product(a, tau), R

    def cross(input, other, dim=None, *, out=None):
        """The cross product along dim; without dim, along the first dimension of input of size 3."""
        tensor_arg("cross", "input", input)
        tensor_arg("cross", "other", other)
        if dim is None:
            deprecated("cross", "Using torch.cross without specifying the dim arg is deprecated.\nPlease either "
                                "pass the dim explicitly or simply use torch.linalg.cross.\nThe default value of dim "
                                "will change to agree with that of linalg.cross in a future release.")
            sizes = _shape(input)
            if 3 not in sizes:
                raise RuntimeError("no dimension of size 3 in input")
            dim = sizes.index(3)
        int_arg("cross", "dim", dim)
        shape = tuple(torch.broadcast_shapes(_shape(input), _shape(other)))
        if math.prod(shape) == 0:
            # linalg.cross divides by the size of the dims after dim: an empty one is answered here
            nd = max(len(shape), 1)
            if not -nd <= dim < nd:
                raise IndexError("Dimension out of range (expected to be in range of [%d, %d], but got %d)"
                                 % (-nd, nd - 1, dim))
            d = dim % nd
            if input.dim() != other.dim() or input.shape[d] != 3 or other.shape[d] != 3:
                raise RuntimeError("linalg.cross: inputs dimension %d must have length 3. Got %s and %s"
                                   % (d, input.shape[d] if input.dim() > d else None,
                                      other.shape[d] if other.dim() > d else None))
            return zeros_from(shape, input, other)
        return linalg.cross(input, other, dim=dim)

    def pivots_from_permutation(P, k):
        """LAPACK's sequential row interchanges (1-based) that give the
        permutation matrices P of A = P L U, for the first k rows."""
        p = approx(P)
        m = p.shape[-1]
        batch = tuple(p.shape[:-2])
        if k == 0 or math.prod(batch) == 0:
            return torch.zeros(batch + (k,), dtype=torch.int32)
        perm = p.reshape(-1, m, m).argmax(dim=1)  # perm[b, i]: the row of A that lands in row i
        cur = torch.arange(m).repeat(perm.shape[0], 1)
        piv = torch.zeros((perm.shape[0], k), dtype=torch.int32)
        rows = torch.arange(perm.shape[0])
        for i in range(k):
            j = (cur == perm[:, i:i + 1]).to(torch.int64).argmax(dim=1)
            piv[:, i] = (j + 1).to(torch.int32)
            ci, cj = cur[rows, i].clone(), cur[rows, j].clone()
            cur[rows, i], cur[rows, j] = cj, ci
        return piv.reshape(batch + (k,))

    def lu(A, pivot=True, get_infos=False, out=None):
        """The compact LU factorisation (LU, pivots), with the infos (int32, zero unless U has a zero
        on its diagonal) when get_infos."""
        tensor_arg("lu", "A", A)
        pivot = bool_arg("lu", "pivot", pivot)
        get_infos = bool(get_infos)  # read by Python in PyTorch too: any truth value
        deprecated("lu", "torch.lu is deprecated in favor of torch.linalg.lu_factor / torch.linalg.lu_factor_ex "
                         "and will be removed in a future PyTorch release.")
        matrix_arg("torch.lu", "A", A)
        # linalg.lu, unlike lu_factor, accepts singular matrices, as torch.lu does.
        P, L, U = linalg.lu(A, pivot=pivot)
        m, n = _shape(A)[-2:]
        k = min(m, n)
        batch = _shape(A)[:-2]
        lower = zel.tril(L, -1)
        if n > k:
            lower = zel.cat([lower, zel.zeros(batch + (m, n - k))], -1)
        upper = U
        if m > k:
            upper = zel.cat([U, zel.zeros(batch + (m - k, n))], -2)
        LU = lower + upper
        piv = pivots_from_permutation(P, k)
        if not get_infos:
            return LU, piv
        if k == 0 or math.prod(batch) == 0:
            return LuWithInfo(LU, piv, torch.zeros(batch, dtype=torch.int32))
        zero = (approx(zel.diagonal(U, 0, -2, -1)) == 0).reshape(batch + (k,))
        first = torch.where(zero.any(-1), zero.to(torch.int64).argmax(-1) + 1, torch.zeros((), dtype=torch.int64))
        return LuWithInfo(LU, piv, first.to(torch.int32))

    def lu_unpack(LU_data, LU_pivots, unpack_data=True, unpack_pivots=True, *, out=None):
        """The P, L, U of A = P @ L @ U from the compact LU and pivots of lu_factor (empty where not unpacked)."""
        tensor_arg("lu_unpack", "LU_data", LU_data)
        unpack_data = bool_arg("lu_unpack", "unpack_data", unpack_data)
        unpack_pivots = bool_arg("lu_unpack", "unpack_pivots", unpack_pivots)
        if not isinstance(LU_pivots, torch.Tensor) or LU_pivots.dtype != torch.int32:
            raise RuntimeError("torch.lu_unpack: LU_pivots is expected to be a contiguous tensor of torch.int32 "
                               "dtype.\nNote: this function is intended to be used with the output produced by "
                               "torch.linalg.lu_factor")
        if LU_data.dim() < 2:
            raise RuntimeError("torch.lu_unpack: Expected tensor with 2 or more dimensions. Got size: %s instead"
                               % list(LU_data.shape))
        m, n = _shape(LU_data)[-2:]
        k = min(m, n)
        batch = _shape(LU_data)[:-2]
        if tuple(LU_pivots.shape) != batch + (k,):
            raise RuntimeError("torch.lu_unpack: Expected LU_pivots to have shape %s but got %s instead."
                               % (list(batch + (k,)), list(LU_pivots.shape)))
        empty = zeros_from((0,), LU_data)
        if unpack_data:
            L = zel.tril(zel.narrow(LU_data, -1, 0, k), -1) + eye(m, k)
            U = zel.triu(zel.narrow(LU_data, -2, 0, k))
        else:
            L = U = empty
        if not unpack_pivots:
            return LuUnpack(empty, L, U)
        piv = LU_pivots.to(torch.int64)
        if piv.numel() and (int(piv.min()) < 1 or int(piv.max()) > m):
            raise RuntimeError("pivots passed to lu_unpack must be between 1 and LU.size(-2) inclusive. Did you "
                               "properly pass the result of lu_factor?")
        flat = piv.reshape(math.prod(batch), k)
        perm = torch.arange(m).repeat(flat.shape[0], 1)
        rows = torch.arange(flat.shape[0])
        for i in range(k):
            j = flat[:, i] - 1
            pi, pj = perm[rows, i].clone(), perm[rows, j].clone()
            perm[rows, i], perm[rows, j] = pj, pi
        # Row perm[i] of A is row i of L U: P[perm[i], i] = 1.
        onehot = torch.zeros((flat.shape[0], m, m), dtype=torch.bool)
        onehot[rows.unsqueeze(1), perm, torch.arange(m).unsqueeze(0)] = True
        P = zel.where(onehot.reshape(batch + (m, m)), 1.0, zeros_from(batch + (m, m), LU_data))
        return LuUnpack(P, L, U)

    def lu_solve(b, LU_data, LU_pivots, *, out=None):
        """The solution X of A X = b from A's compact LU and pivots (linalg.lu_solve's operands reordered)."""
        tensor_arg("lu_solve", "b", b)
        tensor_arg("lu_solve", "LU_data", LU_data)
        deprecated("lu_solve", "torch.lu_solve is deprecated in favor of torch.linalg.lu_solveand will be removed "
                               "in a future PyTorch release.")
        index_tensor("torch.lu_solve", "LU_pivots", LU_pivots)
        return linalg.lu_solve(LU_data, LU_pivots, b)

    def cholesky_inverse(input, upper=False, *, out=None):
        """The inverse of A = L L^T (U^T U with upper) from its Cholesky factor."""
        # PyTorch's keyword is input (its documentation says L)
        L = matrix_arg("cholesky_inverse", "A", input, square=True)
        upper = bool_arg("cholesky_inverse", "upper", upper)
        n = L.shape[-1]
        if n == 0 or L.numel == 0:
            return zeros_from(_shape(L), L)
        eye = zel.eye(n).expand(_shape(L))
        inv = linalg.solve_triangular(L, eye, upper=upper)
        return zel.matmul(inv, inv.mT) if upper else zel.matmul(inv.mT, inv)

    def symeig(input, eigenvectors=False, upper=True, *, out=None):
        """Eigenvalues (ascending) and, with eigenvectors, eigenvectors of a symmetric matrix read from
        its upper (or lower) triangle; without them the vectors are an empty tensor."""
        tensor_arg("symeig", "input", input)
        eigenvectors = bool_arg("symeig", "eigenvectors", eigenvectors)
        upper = bool_arg("symeig", "upper", upper)
        deprecated("symeig", "torch.symeig is deprecated in favor of torch.linalg.eigh and will be removed in a "
                             "future PyTorch release.")
        uplo = "U" if upper else "L"
        if not eigenvectors:
            return Symeig(linalg.eigvalsh(input, UPLO=uplo), zeros_from((0,), input))
        w, v = linalg.eigh(input, UPLO=uplo)
        return Symeig(w, v)

    # ------------------------------------------------------- Householder form

    def reflector(alpha, x):
        """dlarfg: (beta, tau, v) with H = I - tau [1; v][1; v]^T and H [alpha; x] = [beta; 0].
        beta = -sign(alpha) * ||[alpha; x]||; tau = 0 where x is already zero."""
        alpha, x = normalized(alpha), normalized(x)
        if x.shape[0] == 0 or not bool((approx(x) != 0).any()):
            return alpha, None, x
        a = float(approx(alpha))
        xs = approx(x).abs()
        big = max([abs(a)] + ([float(xs.max())] if xs.numel() else []))
        if not math.isfinite(big) or big == 0.0:
            scale = 1.0
        else:
            # a power of two (exponent clamped so that it is finite): exact scaling keeps the squares
            # inside the exponent range; tau and v do not depend on it, only beta is scaled back
            scale = math.ldexp(1.0, -max(-1000, min(1000, math.frexp(big)[1])))
        sa, sx = alpha * scale, x * scale
        norm = (sa * sa + (sx * sx).sum()).sqrt()
        beta = -norm if math.copysign(1.0, a) > 0 else norm
        tau = (beta - sa) / beta
        v = sx / (sa - beta)
        beta = beta * (1.0 / scale)
        return beta, tau, v

    def geqr2(a):
        m, n = _shape(a)
        k = min(m, n)
        rest = a
        rows, columns, taus = [], [], []
        for j in range(k):
            c = rest[:, 0]
            beta, tau, v = reflector(c[0], c[1:])
            trail = rest[:, 1:]
            if tau is not None and trail.shape[1] > 0:
                full = zel.cat([one(), v])
                w = zel.matmul(full, trail)
                trail = trail - zel.outer(full, w) * tau
            if tau is None:
                tau = zeros_from((), c)
            rows.append(zel.cat([zel.zeros((j,)), beta.reshape(1), trail[0]]))
            columns.append(zel.cat([zel.zeros((j + 1,)), v]))
            taus.append(tau)
            rest = trail[1:]
        upper = zel.stack(rows, 0)
        if m > k:
            upper = zel.cat([upper, zel.zeros((m - k, n))], 0)
        lower = zel.stack(columns, 1)
        if n > k:
            lower = zel.cat([lower, zel.zeros((m, n - k))], 1)
        return upper + lower, zel.stack(taus, 0)

    def geqrf(input, *, out=None):
        """The QR factorisation in LAPACK's compact form (dgeqrf): R on and above the diagonal, the
        Householder vectors below it (unit first entries implied), and their scalars tau."""
        tensor_arg("geqrf", "input", input)
        if input.dim() < 2:
            raise RuntimeError("torch.geqrf: input must have at least 2 dimensions.")
        m, n = _shape(input)[-2:]
        k = min(m, n)
        mats, batch = matrices(input)
        if k == 0:
            return Geqrf(input.clone(), zeros_from(batch + (0,), input))
        out_a, out_tau = [], []
        for a in mats:
            fa, ft = geqr2(a)
            out_a.append(fa)
            out_tau.append(ft)
        return Geqrf(restack(out_a, batch, (m, n), input), restack(out_tau, batch, (k,), input))

    def householder_product(input, tau, *, out=None):
        """The first n columns of H_1 ... H_k (LAPACK's dorgqr) from Householder vectors and scalars."""
        op = "torch.linalg.householder_product"
        A = tensor_arg("linalg.householder_product", "input", input)
        tensor_arg("linalg.householder_product", "tau", tau)
        if A.dim() < 2:
            raise RuntimeError("%s: input must have at least 2 dimensions." % op)
        if A.shape[-2] < A.shape[-1]:
            raise RuntimeError("%s: input.shape[-2] must be greater than or equal to input.shape[-1]" % op)
        if A.shape[-1] < (tau.shape[-1] if tau.dim() else 1):
            raise RuntimeError("%s: input.shape[-1] must be greater than or equal to tau.shape[-1]" % op)
        if A.dim() - tau.dim() != 1:
            raise RuntimeError("%s: Expected tau to have one dimension less than input, but got tau.ndim equal to "
                               "%d and input.ndim is equal to %d" % (op, tau.dim(), A.dim()))
        if _shape(tau)[:-1] != _shape(A)[:-2]:
            raise RuntimeError("%s: Expected batch dimensions of tau to be equal to input.shape[:-2], but got %s"
                               % (op, list(_shape(tau)[:-1])))
        m, n = _shape(A)[-2:]
        k = tau.shape[-1]
        mats, batch = matrices(A)
        taus, _ = vectors(tau) if tau.numel else ([None] * len(mats), None)
        out_q = []
        for a, t in zip(mats, taus):
            q = eye(m, n) + zeros_from((m, n), a, t)
            for i in reversed(range(k)):
                v = zel.cat([one(), a[i + 1:, i]])
                block = q[i:]
                block = block - zel.outer(v, zel.matmul(v, block)) * t[i]
                q = zel.cat([q[:i], block], 0) if i else block
            out_q.append(q)
        return restack(out_q, batch, (m, n), A, tau)

    def orgqr(input, input2):
        """linalg.householder_product under LAPACK's name (tau is input2, as PyTorch names it)."""
        return householder_product(input, input2)

    def ormqr(input, input2, input3, left=True, transpose=False, *, out=None):
        """Q @ other (other @ Q with left=False; Q^T with transpose) for the Q = H_1 ... H_k held by
        geqrf's compact form (tau is input2, other input3, as PyTorch names them), without forming Q."""
        op = "torch.ormqr"
        tau, other = input2, input3
        tensor_arg("ormqr", "input", input)
        tensor_arg("ormqr", "tau", tau)
        tensor_arg("ormqr", "other", other)
        left = bool_arg("ormqr", "left", left)
        transpose = bool_arg("ormqr", "transpose", transpose)
        if input.dim() < 2:
            raise RuntimeError("%s: input must have at least 2 dimensions." % op)
        if other.dim() < 2:
            raise RuntimeError("%s: other must have at least 2 dimensions." % op)
        side = -2 if left else -1
        k = tau.shape[-1] if tau.dim() else 1
        if other.shape[side] < k:
            raise RuntimeError("%s: other.shape[%d] must be greater than or equal to tau.shape[-1]" % (op, side))
        if other.shape[side] != input.shape[-2]:
            raise RuntimeError("%s: other.shape[%d] must be equal to input.shape[-2]" % (op, side))
        if k > input.shape[-1]:
            raise RuntimeError("%s: tau.shape[-1] must be less than or equal to input.shape[-1]" % op)
        if input.dim() - tau.dim() != 1:
            raise RuntimeError("%s: Expected tau to have one dimension less than input, but got tau.ndim equal to "
                               "%d and input.ndim is equal to %d" % (op, tau.dim(), input.dim()))
        if input.dim() != other.dim():
            raise RuntimeError("%s: Expected other to have the same number of dimensions as input, but got "
                               "other.ndim equal to %d and input.ndim is equal to %d" % (op, other.dim(), input.dim()))
        if _shape(tau)[:-1] != _shape(input)[:-2]:
            raise RuntimeError("%s: Expected batch dimensions of tau to be equal to input.shape[:-2], but got %s"
                               % (op, list(_shape(tau)[:-1])))
        if _shape(other)[:-2] != _shape(input)[:-2]:
            raise RuntimeError("%s: Expected batch dimensions of other to be equal to input.shape[:-2], but got %s"
                               % (op, list(_shape(other)[:-2])))
        mats, batch = matrices(input)
        taus, _ = vectors(tau) if tau.numel else ([None] * len(mats), None)
        cs, _ = matrices(other)
        # Q C = H_1 (... (H_k C)); Q^T C and C Q take the reflectors the other way round.
        order = list(range(k))
        if left != transpose:
            order.reverse()
        out_c = []
        for a, t, c in zip(mats, taus, cs):
            c = c + zeros_from(_shape(c), a, t)
            for i in order:
                v = zel.cat([one(), a[i + 1:, i]])
                if left:
                    block = c[i:]
                    block = block - zel.outer(v, zel.matmul(v, block)) * t[i]
                    c = zel.cat([c[:i], block], 0) if i else block
                else:
                    block = c[:, i:]
                    block = block - zel.outer(zel.matmul(block, v), v) * t[i]
                    c = zel.cat([c[:, :i], block], 1) if i else block
            out_c.append(c)
        return restack(out_c, batch, _shape(other)[-2:], input, tau, other)

    # ------------------------------------------------------------------ LDL^T

    def swap_symmetric(w, i, j):
        order = list(range(w.shape[0]))
        order[i], order[j] = order[j], order[i]
        index = torch.tensor(order, dtype=torch.int64)
        return zel.index_select(zel.index_select(w, 0, index), 1, index)

    def sytf2(a):
        """dsytf2 with uplo='L' on one symmetric matrix (full storage): the columns of LD, the 1-based
        pivots (a 2 x 2 block's two entries both -kp) and info."""
        n = a.shape[0]
        w = a
        columns, pivots, info = [], [], 0
        k = 0
        while k < n:
            r = n - k
            w = normalized(w)
            vals = approx(w)
            absakk = abs(float(vals[0, 0]))
            if r > 1:
                col = vals[1:, 0].abs().tolist()
                imax = 1 + first_max(col)
                colmax = col[imax - 1]
            else:
                imax, colmax = 0, 0.0
            kstep, kp = 1, 0
            if max(absakk, colmax) == 0.0 or math.isnan(absakk):
                # A zero column: nothing to eliminate; info marks the first one.
                info = info or k + 1
                columns.append(zel.cat([zel.zeros((k,)), w[:, 0]]))
                pivots.append(k + 1)
                w = w[1:, 1:]
                k += 1
                continue
            if absakk < _BK_ALPHA * colmax:
                row = vals[imax, :imax].abs().tolist()
                rowmax = row[first_max(row)]
                if imax < r - 1:
                    below = vals[imax + 1:, imax].abs().tolist()
                    rowmax = max(rowmax, below[first_max(below)])
                if absakk >= _BK_ALPHA * colmax * (colmax / rowmax):
                    kp = 0
                elif abs(float(vals[imax, imax])) >= _BK_ALPHA * rowmax:
                    kp = imax
                else:
                    kp, kstep = imax, 2
            kk = kstep - 1
            if kp != kk:
                w = swap_symmetric(w, kk, kp)
            if kstep == 1:
                d = w[0, 0]
                mult = w[1:, 0] / d
                columns.append(zel.cat([zel.zeros((k,)), d.reshape(1), mult]))
                w = w[1:, 1:] - zel.outer(mult, w[1:, 0]) if r > 1 else w[1:, 1:]
                pivots.append(k + kp + 1)
            else:
                a11, a21, a22 = w[0, 0], w[1, 0], w[1, 1]
                if r > 2:
                    # dsytf2's formulas for the rows of [A(j,k) A(j,k+1)] D^-1
                    d11 = a22 / a21
                    d22 = a11 / a21
                    t = 1.0 / (d11 * d22 - 1.0)
                    d21 = t / a21
                    x0, x1 = w[2:, 0], w[2:, 1]
                    wk = (d11 * x0 - x1) * d21
                    wkp1 = (d22 * x1 - x0) * d21
                    columns.append(zel.cat([zel.zeros((k,)), a11.reshape(1), a21.reshape(1), wk]))
                    columns.append(zel.cat([zel.zeros((k + 1,)), a22.reshape(1), wkp1]))
                    w = w[2:, 2:] - zel.outer(x0, wk) - zel.outer(x1, wkp1)
                else:
                    columns.append(zel.cat([zel.zeros((k,)), a11.reshape(1), a21.reshape(1)]))
                    columns.append(zel.cat([zel.zeros((k + 1,)), a22.reshape(1)]))
                    w = w[2:, 2:]
                pivots += [-(k + kp + 1)] * 2
            k += kstep
        return zel.stack(columns, 1), pivots, info

    def ldl_factor_ex(A, *, hermitian=False, check_errors=False, out=None):
        """The Bunch-Kaufman LDL^T factorisation of a symmetric matrix (its lower triangle is read), as
        LAPACK's dsytrf returns it: LD, 1-based int32 pivots (negative for 2 x 2 blocks) and info."""
        op = "torch.linalg.ldl_factor_ex"
        matrix_arg(op, "A", A, square=True)
        bool_arg("linalg.ldl_factor_ex", "hermitian", hermitian)
        check_errors = bool_arg("linalg.ldl_factor_ex", "check_errors", check_errors)
        n = A.shape[-1]
        mats, batch = matrices(A)
        out_ld, out_piv, out_info = [], [], []
        for a in mats:
            if n == 0:
                break
            sym = zel.tril(a) + zel.tril(a, -1).mT
            ld, piv, info = sytf2(sym)
            out_ld.append(ld)
            out_piv.append(piv)
            out_info.append(info)
        LD = restack(out_ld, batch, (n, n), A)
        pivots = torch.tensor(out_piv, dtype=torch.int32).reshape(batch + (n,))
        info = torch.tensor(out_info if n else [0] * len(mats), dtype=torch.int32).reshape(batch)
        if check_errors:
            check_info("torch.linalg.ldl_factor_ex", info)
        return LdlFactorEx(LD, pivots, info)

    def check_info(op, info):
        bad = info.reshape(-1).nonzero()
        if bad.numel():
            b = int(bad[0])
            i = int(info.reshape(-1)[b])
            where = ("(Batch element %d): " % b) if info.dim() else ""
            raise RuntimeError("%s: %sThe factorization could not be completed because the input is singular: "
                               "D[%d, %d] is zero." % (op, where, i - 1, i - 1))

    def ldl_factor(A, *, hermitian=False, out=None):
        """ldl_factor_ex without info; a singular matrix raises."""
        LD, pivots, info = ldl_factor_ex(A, hermitian=hermitian)
        check_info("torch.linalg.ldl_factor", info)
        return LdlFactor(LD, pivots)

    def sytrs(ld, piv, b):
        """dsytrs with uplo='L': X with A X = b from A's LD and pivots."""
        n = ld.shape[0]
        x = list(zel.unbind(b, 0))

        def eliminate(start, column, row):
            if start < n:
                tail = zel.stack(x[start:], 0) - zel.outer(ld[start:, column], row)
                x[start:] = list(zel.unbind(tail, 0))

        k = 0
        while k < n:
            if piv[k] > 0:
                kp = piv[k] - 1
                x[k], x[kp] = x[kp], x[k]
                eliminate(k + 1, k, x[k])
                x[k] = x[k] / ld[k, k]
                k += 1
            else:
                kp = -piv[k] - 1
                x[k + 1], x[kp] = x[kp], x[k + 1]
                eliminate(k + 2, k, x[k])
                eliminate(k + 2, k + 1, x[k + 1])
                akm1k = ld[k + 1, k]
                akm1 = ld[k, k] / akm1k
                ak = ld[k + 1, k + 1] / akm1k
                denom = akm1 * ak - 1.0
                bkm1 = x[k] / akm1k
                bk = x[k + 1] / akm1k
                x[k] = (ak * bkm1 - bk) / denom
                x[k + 1] = (akm1 * bk - bkm1) / denom
                k += 2

        def back(j):
            if j < n - 1:
                x[j] = x[j] - zel.matmul(ld[j + 1:, j], zel.stack(x[j + 1:], 0))

        k = n - 1
        while k >= 0:
            if piv[k] > 0:
                back(k)
                kp = piv[k] - 1
                x[k], x[kp] = x[kp], x[k]
                k -= 1
            else:
                if k < n - 1:
                    rest = zel.stack(x[k + 1:], 0)
                    x[k] = x[k] - zel.matmul(ld[k + 1:, k], rest)
                    x[k - 1] = x[k - 1] - zel.matmul(ld[k + 1:, k - 1], rest)
                kp = -piv[k] - 1
                x[k], x[kp] = x[kp], x[k]
                k -= 2
        return zel.stack(x, 0)

    def ldl_solve(LD, pivots, B, *, hermitian=False, out=None):
        """The solution X of A X = B from ldl_factor's LD and pivots of A."""
        op = "torch.linalg.ldl_solve"
        matrix_arg(op, "LD", LD, square=True)
        tensor_arg("linalg.ldl_solve", "B", B)
        bool_arg("linalg.ldl_solve", "hermitian", hermitian)
        if not isinstance(pivots, torch.Tensor) or pivots.dtype.is_floating_point or pivots.dtype.is_complex \
                or pivots.dtype == torch.bool:
            raise RuntimeError("%s: Expected pivots to be integers. Got %s"
                               % (op, getattr(pivots, "dtype", type(pivots).__name__)))
        if B.dim() < 2:
            raise IndexError("Dimension out of range (expected to be in range of [-1, 0], but got -2)")
        n = LD.shape[-1]
        if tuple(pivots.shape) != _shape(LD)[:-1]:
            raise RuntimeError("%s: Expected LD.shape[:-1] and pivots.shape to be the same, but got pivots with "
                               "shape %s instead" % (op, list(pivots.shape)))
        if B.shape[-2] != n:
            raise RuntimeError("Incompatible matrix sizes for %s: each A matrix is %d by %d but each b matrix is "
                               "%d by %d" % (op, n, n, B.shape[-2], B.shape[-1]))
        batch = tuple(torch.broadcast_shapes(_shape(LD)[:-2], _shape(B)[:-2]))
        piv = pivots.to(torch.int64)
        if piv.numel():
            if int(piv.abs().min()) < 1:
                raise RuntimeError("Pivots given to ldl_solve must all satisfy |pivot| >= 1. Did you properly pass "
                                   "the result of ldl_factor?")
            if int(piv.abs().max()) > n:
                raise RuntimeError("Pivots given to ldl_solve must all satisfy |pivot| <= LD.size(-2). Did you "
                                   "properly pass the result of ldl_factor?")
        rhs = B.shape[-1]
        if n == 0 or rhs == 0 or math.prod(batch) == 0:
            return zeros_from(batch + (n, rhs), LD, B)
        for row in piv.reshape(-1, n).tolist():
            k = 0
            while k < n:
                if row[k] < 0:
                    # a 2 x 2 block: two equal negative entries
                    if k + 1 >= n or row[k + 1] != row[k]:
                        raise RuntimeError("%s: the pivots do not describe 2 x 2 blocks as ldl_factor gives them"
                                           % op)
                    k += 2
                else:
                    k += 1
        lds = LD.expand(batch + (n, n)).reshape((-1, n, n))
        bs = B.expand(batch + (n, rhs)).reshape((-1, n, rhs))
        pb = piv.expand(batch + (n,)).reshape(-1, n).tolist()
        parts = [sytrs(lds[i], pb[i], bs[i]) for i in range(lds.shape[0])]
        return zel.stack(parts, 0).reshape(batch + (n, rhs))

    # ----------------------------------------------------------- small helpers

    def vander(x, *, N=None):
        """The Vandermonde matrix of increasing powers x^0 ... x^(N-1) along a new last dimension."""
        tensor_arg("linalg.vander", "x", x)
        if x.dim() == 0:
            x = x.reshape(1)
        n = x.shape[-1] if N is None else int_arg("linalg.vander", "N", N)
        if n <= 1:
            raise RuntimeError("N must be greater than 1.")
        shape = _shape(x)
        powers = zel.cat([zel.ones(shape + (1,)), x.unsqueeze(-1).expand(shape + (n - 1,))], -1)
        return zel.cumprod(powers, -1)

    def diagonal(A, *, offset=0, dim1=-2, dim2=-1):
        """The offset diagonal of the matrices of A over dims dim1 and dim2 (the last two by default)."""
        tensor_arg("linalg.diagonal", "A", A)
        for name, d in (("offset", offset), ("dim1", dim1), ("dim2", dim2)):
            int_arg("linalg.diagonal", name, d)
        nd = max(A.dim(), 1)
        for d in (dim1, dim2):
            if not -nd <= d < nd:
                raise IndexError("Dimension out of range (expected to be in range of [%d, %d], but got %d)"
                                 % (-nd, nd - 1, d))
        return zel.diagonal(A, offset, dim1, dim2)

    # --------------------------------------------------------- randomized SVD

    def approximate_basis(A, q, niter, M):
        """Halko et al.'s range finder: Q with orthonormal columns spanning about the range of A - M."""
        n = A.shape[-1]
        R = zel.randn(n, q)
        At = A.mT

        def apply(x, y, z):
            return zel.matmul(x, z) if y is None else zel.matmul(x, z) - zel.matmul(y, z)

        def orthonormal(x):
            # Householder QR: Q stays orthonormal where x is rank-deficient (q past A's rank)
            return householder_qr(x, True)[0]

        Mt = None if M is None else M.mT
        Q = orthonormal(apply(A, M, R))
        for _ in range(niter):
            Q = orthonormal(apply(At, Mt, Q))
            Q = orthonormal(apply(A, M, Q))
        return Q

    def lowrank_args(op, A, q, niter):
        matrix_arg(op, "A", A)
        if q is not None:
            int_arg(op, "q", q)
            if q < 0:
                raise ValueError("q(=%d) must be non-negative integer" % q)
        if niter is not None:
            int_arg(op, "niter", niter)
            if niter < 0:
                raise ValueError("niter(=%d) must be non-negative integer" % niter)

    def svd_lowrank_impl(A, q, niter, M):
        q = 6 if q is None else q
        niter = 2 if niter is None else niter
        m, n = _shape(A)[-2:]
        if M is not None:
            M = M.expand(_shape(A))
        if m < n:
            A = A.mT
            M = None if M is None else M.mT
        Q = approximate_basis(A, q, niter, M)
        B = zel.matmul(Q.mT, A)
        if M is not None:
            B = B - zel.matmul(Q.mT, M)
        U, S, Vh = linalg.svd(B, full_matrices=False)
        V = Vh.mT
        U = zel.matmul(Q, U)
        if m < n:
            U, V = V, U
        return U, S, V

    def svd_lowrank(A, q=6, niter=2, M=None):
        """A randomized approximate SVD (U, S, V) of A - M of rank at most q (Halko et al., 2009), from
        the library's own generator: A - M ~ U diag(S) V^T."""
        lowrank_args("svd_lowrank", A, q, niter)
        if M is not None:
            tensor_arg("svd_lowrank", "M", M)
            if torch.broadcast_shapes(_shape(M), _shape(A)) != torch.Size(_shape(A)):
                raise RuntimeError("svd_lowrank: M of shape %s does not broadcast to A's shape %s"
                                   % (list(M.shape), list(A.shape)))
        return svd_lowrank_impl(A, q, niter, M)

    def pca_lowrank(A, q=None, center=True, niter=2):
        """Principal components of A by svd_lowrank of A with its column means removed (center)."""
        lowrank_args("pca_lowrank", A, None, niter)
        center = bool(center)  # read by Python in PyTorch too: any truth value
        m, n = _shape(A)[-2:]
        if q is None:
            q = min(6, m, n)
        else:
            int_arg("pca_lowrank", "q", q)
            if not 0 <= q <= min(m, n):
                raise ValueError("q(=%d) must be non-negative integer and not greater than min(m, n)=%d"
                                 % (q, min(m, n)))
        if not center:
            return svd_lowrank_impl(A, q, niter, None)
        if m == 0:
            return svd_lowrank_impl(A, q, niter, None)
        C = A.mean(-2, keepdim=True) if A.dim() > 2 else A.mean(0).reshape(1, n)
        return svd_lowrank_impl(A - C, q, niter, None)

    # ------------------------------------------------------------- installing

    def matrix_sqrth(A):
        """The symmetric square root V diag(sqrt(w)) V^T of A's lower triangle (eigenvalues below 0 taken as 0)."""
        tensor_arg("linalg.matrix_sqrth", "A", A)
        if A.dim() < 2 or A.shape[-1] != A.shape[-2]:
            raise RuntimeError("linalg.matrix_sqrth: A must be batches of square matrices, but they are %s"
                               % (" by ".join(str(n) for n in _shape(A)[-2:]) if A.dim() >= 2 else
                                  "%d-dimensional" % A.dim()))
        w, V = linalg.eigh(A)
        s = zel.sqrt(zel.clamp_min(w, 0.0))
        return zel.matmul(V * s.unsqueeze(-2), V.mT)

    functions = {
        "qr": qr, "cross": cross, "lu": lu, "lu_unpack": lu_unpack, "lu_solve": lu_solve,
        "cholesky_inverse": cholesky_inverse, "symeig": symeig, "geqrf": geqrf, "orgqr": orgqr, "ormqr": ormqr,
        "svd_lowrank": svd_lowrank, "pca_lowrank": pca_lowrank,
    }
    # PyTorch has these as functions only.
    module_only = {"lu_unpack", "svd_lowrank", "pca_lowrank"}
    for name, fn in list(functions.items()):
        if "out" in inspect.signature(fn).parameters:
            functions[name] = fn = with_out(fn)
        fn.__module__ = zel.__name__
        if not hasattr(zel, name):
            setattr(zel, name, fn)
        if name not in module_only and not hasattr(Tensor, name):
            setattr(Tensor, name, fn)
    for name, fn in (("householder_product", householder_product), ("ldl_factor_ex", ldl_factor_ex),
                     ("ldl_factor", ldl_factor), ("ldl_solve", ldl_solve), ("vander", vander),
                     ("diagonal", diagonal), ("matrix_sqrth", matrix_sqrth)):
        if "out" in inspect.signature(fn).parameters:
            fn = with_out(fn)
        fn.__module__ = zel.__name__ + ".linalg"
        if not hasattr(linalg, name):
            setattr(linalg, name, fn)
