"""zel.linalg on complex tensors. Each function installed here tests its
operands once: real ones go straight to the compiled real function, complex
ones (and real operands beside a complex one, promoted) to the complex
kernels, which take and return real views (k, rows, cols, 2) of the batch.
eig and eigvals always take the complex path and return complex tensors, as
PyTorch's do: real symmetric input through eigh, everything else through
the complex Hessenberg QR, whose eigenvalues are in the order of the
diagonal of the Schur form, which need not be LAPACK's."""
import collections
import math

import torch


class _Library:
    """Stands for varnel.zel.zel until install() runs."""

    def __getattr__(self, name):
        from varnel.zel import zel
        return getattr(zel, name)


_zel = _Library()


def _is_complex(x):
    return isinstance(x, _zel.Tensor) and x.is_complex()


def _tensor(op, name, x):
    if not isinstance(x, _zel.Tensor):
        raise TypeError("%s(): argument '%s' must be Tensor, not %s" % (op, name, type(x).__name__))
    return x


def _as_complex(x):
    return x if x.is_complex() else _zel.complex(x, _zel.zeros_like(x))


def _real(z):
    """The real view (*shape, 2) of a complex (or promoted real) tensor, contiguous."""
    return _zel._view_as_real(_as_complex(z)).contiguous()


def _complex(r):
    return _zel._view_as_complex(r.contiguous())


def _square(op, a, name="A"):
    if a.dim() < 2:
        raise RuntimeError("%s: The input tensor %s must have at least 2 dimensions." % (op, name))
    if a.shape[-1] != a.shape[-2]:
        raise RuntimeError("%s: %s must be batches of square matrices, but they are %d by %d matrices"
                           % (op, name, a.shape[-2], a.shape[-1]))


def _batched(r):
    """A real view (*batch, m, n, 2) as (k, m, n, 2), with the batch shape."""
    batch = tuple(r.shape[:-3])
    return r.reshape((math.prod(batch),) + tuple(r.shape[-3:])), batch


def _prefix(batch, b):
    return "(Batch element %d): " % b if batch else ""


def _first_bad(status):
    for b, s in enumerate(status):
        if s != 0:
            return b, s
    return None


def _conj_t(r):
    """Conjugate transpose of the matrices of a real view (..., m, n, 2)."""
    return (r.transpose(-3, -2) * _zel.tensor([1.0, -1.0])).contiguous()


# ------------------------------------------------------------------ LU family


def _solve(A, B, left):
    op = "linalg.solve"
    _square(op, A)
    if B.dim() == 0:
        raise RuntimeError("%s: The input tensor B must have at least 2 dimensions." % op)
    vector = B.dim() == 1 or tuple(B.shape) == tuple(A.shape[:-1])
    ra, rb = _real(A), _real(B)
    if not left:
        ra = ra.transpose(-3, -2).contiguous()  # X A = B is A^T X^T = B^T
        if not vector:
            rb = rb.transpose(-3, -2)
    if vector:
        rb = rb.unsqueeze(-2)
    n = A.shape[-1]
    if rb.shape[-3] != n:
        raise RuntimeError("%s: Incompatible shapes of A and B for the equation %s (%dx%d and %dx%d)"
                           % (op, "AX = B" if left else "XA = B", A.shape[-2], A.shape[-1],
                              B.shape[-2] if B.dim() > 1 else B.shape[-1], B.shape[-1] if B.dim() > 1 else 1))
    try:
        batch = tuple(torch.broadcast_shapes(tuple(ra.shape[:-3]), tuple(rb.shape[:-3])))
    except RuntimeError:
        raise RuntimeError("%s: the batch dimensions %s and %s cannot be broadcast"
                           % (op, list(ra.shape[:-3]), list(rb.shape[:-3])))
    k = math.prod(batch)
    ra = ra.expand(batch + tuple(ra.shape[-3:])).contiguous().reshape((k, n, n, 2))
    rb_full = rb.expand(batch + tuple(rb.shape[-3:])).contiguous()
    x, status = _zel.linalg._complex_solve(ra, rb_full.reshape((k,) + tuple(rb.shape[-3:])))
    bad = _first_bad(status)
    if bad is not None:
        raise torch.linalg.LinAlgError("%s: %sThe solver failed because the input matrix is singular."
                                       % (op, _prefix(batch, bad[0])))
    x = x.reshape(batch + tuple(rb.shape[-3:]))
    if vector:
        x = x.squeeze(-2)
    elif not left:
        x = x.transpose(-3, -2)
    return _complex(x)


def _inv(A):
    op = "linalg.inv"
    _square(op, A)
    r, batch = _batched(_real(A))
    x, status = _zel.linalg._complex_inv(r)
    bad = _first_bad(status)
    if bad is not None:
        raise torch.linalg.LinAlgError(
            "%s: %sThe diagonal element %d is zero, the inversion could not be completed because the input "
            "matrix is singular." % (op, _prefix(batch, bad[0]), bad[1]))
    return _complex(x.reshape(tuple(A.shape) + (2,)))


def _det_parts(op, A):
    _square(op, A)
    r, batch = _batched(_real(A))
    det, sign, logabs = _zel.linalg._complex_det(r)
    return (_complex(det.reshape(batch + (2,))), _complex(sign.reshape(batch + (2,))),
            logabs.reshape(batch))


# ------------------------------------------------------------ factorisations


def _cholesky(A, upper):
    op = "linalg.cholesky"
    _square(op, A)
    r = _real(A)
    if upper:
        r = _conj_t(r)  # the upper triangle of A is the lower one of A^H
    r, batch = _batched(r)
    l, status = _zel.linalg._complex_cholesky(r)
    bad = _first_bad(status)
    if bad is not None:
        raise torch.linalg.LinAlgError(
            "%s: %sThe factorization could not be completed because the input is not positive-definite "
            "(the leading minor of order %d is not positive-definite)." % (op, _prefix(batch, bad[0]), bad[1]))
    l = l.reshape(tuple(A.shape) + (2,))
    return _complex(_conj_t(l) if upper else l)


def _qr(A, mode):
    op = "linalg.qr"
    if mode not in ("reduced", "complete", "r"):
        raise RuntimeError("qr received unrecognized mode '%s' but expected one of 'reduced' (default), 'r', "
                           "or 'complete'" % mode)
    if A.dim() < 2:
        raise RuntimeError("%s: The input tensor A must have at least 2 dimensions." % op)
    m, n = A.shape[-2], A.shape[-1]
    r, batch = _batched(_real(A))
    q, rr = _zel.linalg._complex_qr(r, mode == "complete")
    q = _complex(q.reshape(batch + tuple(q.shape[1:])))
    rr = _complex(rr.reshape(batch + tuple(rr.shape[1:])))
    if mode == "r":
        q = _complex(_zel.zeros((0, 2)))
    return q, rr


def _eig(A, vectors, op):
    _square(op, A)
    r, batch = _batched(_real(A))
    n = A.shape[-1]
    w, v, status = _zel.linalg._complex_eig(r, vectors)
    bad = _first_bad(status)
    if bad is not None and bad[1] == 2:
        raise RuntimeError("torch.%s: input tensor should not contain infs or NaNs." % op)
    if bad is not None:
        raise torch.linalg.LinAlgError(
            "%s: %sThe algorithm failed to converge because the input matrix is ill-conditioned or has too many "
            "repeated eigenvalues (error code: %d)." % (op, _prefix(batch, bad[0]), n))
    w = _complex(w.reshape(batch + (n, 2)))
    return w, (_complex(v.reshape(batch + (n, n, 2))) if vectors else None)


def _uplo(op, uplo):
    if not isinstance(uplo, str):
        raise TypeError("%s(): argument 'UPLO' must be str, not %s" % (op, type(uplo).__name__))
    if uplo not in ("L", "l", "U", "u"):
        raise RuntimeError("%s: Expected UPLO argument to be 'L' or 'U', but got %s" % (op, uplo))
    return uplo in ("L", "l")


def _eigh(A, uplo, vectors, op):
    lower = _uplo(op, uplo)
    _square(op, A)
    r = _real(A)
    if not lower:
        r = _conj_t(r)
    r, batch = _batched(r)
    n = A.shape[-1]
    w, v, status = _zel.linalg._complex_eigh(r, vectors)
    bad = _first_bad(status)
    if bad is not None and bad[1] == 2:
        nan = _zel.full(batch + (n,), float("nan"))
        return nan, (_complex(_zel.full(batch + (n, n, 2), float("nan"))) if vectors else None)
    if bad is not None:
        raise torch.linalg.LinAlgError(
            "%s: %sThe algorithm failed to converge because the input matrix is ill-conditioned or has too many "
            "repeated eigenvalues (error code: %d)." % (op, _prefix(batch, bad[0]), n))
    return w.reshape(batch + (n,)), (_complex(v.reshape(batch + (n, n, 2))) if vectors else None)


def _svd(A, full_matrices, op):
    if A.dim() < 2:
        raise RuntimeError("%s: The input tensor A must have at least 2 dimensions." % op)
    r, batch = _batched(_real(A))
    u, s, vh, status = _zel.linalg._complex_svd(r, full_matrices)
    bad = _first_bad(status)
    if bad is not None:
        raise torch.linalg.LinAlgError(
            "linalg.svd: %sThe algorithm failed to converge because the input matrix %s."
            % (_prefix(batch, bad[0]),
               "contained non-finite values" if bad[1] == 2 else "is ill-conditioned or has too many repeated "
               "singular values (error code: %d)" % min(A.shape[-2:])))
    return (_complex(u.reshape(batch + tuple(u.shape[1:]))), s.reshape(batch + tuple(s.shape[1:])),
            _complex(vh.reshape(batch + tuple(vh.shape[1:]))))


def _lstsq(A, B, rcond, driver, orig):
    """Through the real system [[Re A, -Im A], [Im A, Re A]] [Re X; Im X] = [Re B; Im B], whose
    minimum-norm least-squares solution is the complex one's; the driver decides the other fields as
    for real input."""
    op = "linalg.lstsq"
    if A.dim() < 2:
        raise RuntimeError("%s: The input tensor A must have at least 2 dimensions." % op)
    vector = B.dim() == A.dim() - 1
    ra, rb = _real(A), _real(B)
    if vector:
        rb = rb.unsqueeze(-2)
    if rb.dim() < 3 or rb.shape[-3] != A.shape[-2]:
        raise RuntimeError("%s: input.size(-2) should match other.size(-2), got %d and %d"
                           % (op, A.shape[-2], rb.shape[-3] if rb.dim() >= 3 else 0))
    are, aim = ra[..., 0], ra[..., 1]
    big = _zel.cat([_zel.cat([are, -aim], -1), _zel.cat([aim, are], -1)], -2)
    rhs = _zel.cat([rb[..., 0], rb[..., 1]], -2)
    res = orig(big, rhs, rcond, driver=driver)
    n = A.shape[-1]
    x = _zel.stack([res.solution[..., :n, :], res.solution[..., n:, :]], -1)
    if vector:
        x = x.squeeze(-2)
    # Each complex singular value is a double one of the real problem, and its
    # squared residuals are the sums over the real and imaginary parts.
    rank = res.rank // 2 if res.rank.numel() else res.rank
    sv = res.singular_values[..., ::2] if res.singular_values.numel else res.singular_values
    return _complex(x), res.residuals, rank, sv


# ------------------------------------------------------------------ norms


def _matrix_norm_complex(A, ord, dim, keepdim, orig_matrix_norm, op):
    """'fro', 1, inf (and their negatives) are the norms of |A|; 2, -2 and 'nuc' come from the
    singular values."""
    if isinstance(ord, str) and ord == "nuc" or (not isinstance(ord, str) and ord in (2, -2)):
        orig_matrix_norm(_zel.abs(A), "fro", dim, keepdim)  # the real function's checks of A and dim
        d0, d1 = (d % A.dim() for d in dim)
        rest = [d for d in range(A.dim()) if d not in (d0, d1)]
        r = _real(A).permute(rest + [d0, d1, A.dim()])
        s = _svd(_complex(r), False, op)[1]
        if ord == "nuc":
            out = s.sum(-1)
        else:
            out = _zel.amax(s, -1) if ord == 2 else _zel.amin(s, -1)
        if keepdim:
            for d in sorted((d0, d1)):
                out = out.unsqueeze(d)
        return out
    return orig_matrix_norm(_zel.abs(A), ord, dim, keepdim)


def install(zel):
    """Routes zel.linalg's functions to the complex kernels for complex operands."""
    global _zel
    _zel = zel
    la = zel.linalg
    orig = {name: getattr(la, name) for name in (
        "solve", "inv", "det", "slogdet", "cholesky", "qr", "eigh", "eigvalsh", "svd",
        "svdvals", "lstsq", "vector_norm", "matrix_norm", "norm")}
    orig_det, orig_inverse = zel.det, zel.inverse
    Slogdet = la.slogdet(zel.eye(1)).__class__
    Qr = la.qr(zel.eye(1)).__class__
    Eigh = la.eigh(zel.eye(1)).__class__
    Svd = la.svd(zel.eye(1)).__class__
    Lstsq = la.lstsq(zel.eye(1), zel.eye(1)).__class__
    Eig = collections.namedtuple("linalg_eig", ["eigenvalues", "eigenvectors"])
    Eig.__module__ = "varnel.zel.zel.linalg"

    def public(fn, like, doc):
        fn.__name__ = like
        fn.__qualname__ = like
        fn.__module__ = "varnel.zel.zel.linalg"
        fn.__doc__ = doc
        setattr(la, like, fn)
        return fn

    def solve(A, B, *, left=True):
        if _is_complex(A) or _is_complex(B):
            return _solve(_tensor("linalg.solve", "A", A), _tensor("linalg.solve", "B", B), left)
        return orig["solve"](A, B, left=left)

    def inv(A):
        if _is_complex(A):
            return _inv(A)
        return orig["inv"](A)

    def det(A):
        if _is_complex(A):
            return _det_parts("linalg.det", A)[0]
        return orig["det"](A)

    def slogdet(A):
        if _is_complex(A):
            _, sign, logabs = _det_parts("linalg.slogdet", A)
            return Slogdet(sign, logabs)
        return orig["slogdet"](A)

    def cholesky(A, *, upper=False):
        if _is_complex(A):
            return _cholesky(A, upper)
        return orig["cholesky"](A, upper=upper)

    def qr(A, mode="reduced"):
        if _is_complex(A):
            return Qr(*_qr(A, mode))
        return orig["qr"](A, mode)

    def symmetric_real(A):
        # Real symmetric input (on the exact values) takes eigh's path, much faster than the
        # extended complex QR: ascending values, orthonormal vectors, as before complex dtypes.
        return (not A.is_complex() and A.dim() >= 2 and A.shape[-1] == A.shape[-2]
                and bool((A == A.mT).all()))

    def eig(A):
        _tensor("linalg.eig", "A", A)
        if symmetric_real(A):
            w, v = orig["eigh"](A)
            return Eig(_as_complex(w), _as_complex(v))
        return Eig(*_eig(A, True, "linalg.eig"))

    def eigvals(A):
        _tensor("linalg.eigvals", "A", A)
        if symmetric_real(A):
            return _as_complex(orig["eigvalsh"](A))
        return _eig(A, False, "linalg.eigvals")[0]

    def eigh(A, UPLO="L"):
        if _is_complex(A):
            return Eigh(*_eigh(A, UPLO, True, "linalg.eigh"))
        return orig["eigh"](A, UPLO)

    def eigvalsh(A, UPLO="L"):
        if _is_complex(A):
            return _eigh(A, UPLO, False, "linalg.eigvalsh")[0]
        return orig["eigvalsh"](A, UPLO)

    def svd(A, full_matrices=True, *, driver=None):
        if _is_complex(A):
            return Svd(*_svd(A, full_matrices, "linalg.svd"))
        return orig["svd"](A, full_matrices, driver=driver)

    def svdvals(A, *, driver=None):
        if _is_complex(A):
            return _svd(A, False, "linalg.svdvals")[1]
        return orig["svdvals"](A, driver=driver)

    def lstsq(A, B, rcond=None, *, driver=None):
        if _is_complex(A) or _is_complex(B):
            return Lstsq(*_lstsq(_tensor("linalg.lstsq", "A", A), _tensor("linalg.lstsq", "B", B), rcond,
                                 driver, orig["lstsq"]))
        return orig["lstsq"](A, B, rcond, driver=driver)

    def vector_norm(x, ord=2, dim=None, keepdim=False):
        if _is_complex(x):
            return orig["vector_norm"](_zel.abs(x), ord, dim, keepdim)
        return orig["vector_norm"](x, ord, dim, keepdim)

    def matrix_norm(A, ord="fro", dim=(-2, -1), keepdim=False):
        if _is_complex(A):
            if not isinstance(dim, (tuple, list)) or len(dim) != 2:
                raise RuntimeError("linalg.matrix_norm: dim must be a 2-tuple. Got %s" % (dim,))
            return _matrix_norm_complex(A, ord, tuple(dim), keepdim, orig["matrix_norm"], "linalg.matrix_norm")
        return orig["matrix_norm"](A, ord, dim, keepdim)

    def norm(A, ord=None, dim=None, keepdim=False):
        if _is_complex(A):
            if isinstance(dim, int):
                dim = (dim,)
            matrix = (len(dim) == 2) if dim is not None else (ord is not None and A.dim() == 2)
            spectral = ord == "nuc" or (not isinstance(ord, str) and ord in (2, -2))
            if matrix and spectral:
                return _matrix_norm_complex(A, ord, tuple(dim) if dim is not None else (-2, -1), keepdim,
                                            orig["matrix_norm"], "linalg.norm")
            return orig["norm"](_zel.abs(A), ord, dim, keepdim)
        return orig["norm"](A, ord, dim, keepdim)

    def det_top(input):
        if _is_complex(input):
            return _det_parts("linalg.det", input)[0]
        return orig_det(input)

    def inverse(input):
        if _is_complex(input):
            return _inv(input)
        return orig_inverse(input)

    for fn in (solve, inv, det, slogdet, cholesky, qr, eigh, eigvalsh, svd, svdvals, lstsq, vector_norm,
               matrix_norm, norm):
        public(fn, fn.__name__, (orig[fn.__name__].__doc__ or "").strip().split("\n")[-1]
               + " Complex operands (real ones beside them promoted) take the complex kernels.")
    public(eig, "eig", "Eigenvalues and unit eigenvectors (columns, largest component real) of real or complex "
                       "matrices as complex tensors, by Hessenberg reduction and complex shifted QR; the values in "
                       "the Schur form's diagonal order.")
    public(eigvals, "eigvals", "Eigenvalues of real or complex matrices as a complex tensor, by Hessenberg "
                               "reduction and complex shifted QR.")
    for fn, name in ((det_top, "det"), (inverse, "inverse")):
        fn.__name__ = fn.__qualname__ = name
        fn.__module__ = zel.__name__
        fn.__doc__ = orig_det.__doc__ if name == "det" else orig_inverse.__doc__
        setattr(zel, name, fn)
