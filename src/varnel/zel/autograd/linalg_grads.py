"""The gradients of the decompositions, solves and matrix functions of
zel.linalg, PyTorch's formulas written with the library's differentiable
operations, so that a gradient taken with create_graph=True is
differentiable again.

The formulas assume what PyTorch's do: distinct singular values for svd,
full rank for lstsq and pinv, an invertible R for qr."""
import torch

from . import formulas as _f

_zel = None


def _is_zero(t):
    return _f._compare(t, 0, lambda s: s == 0)


def _safe_reciprocal(t):
    """1 / t, and 0 where t is 0 (the diagonal of a difference matrix)."""
    zero = _is_zero(t)
    return _zel.where(zero, 0.0, 1.0 / _zel.where(zero, 1.0, t))


# --- decompositions -----------------------------------------------------------------------------

def _svd_grad(gU, gS, gVh, result, full_matrices):
    """A = U diag(S) Vh (real): U [skew(U^T gU) S / E + S skew(V^T gV) / E + diag(gS)] Vh,
    E[i, j] = S[j]^2 - S[i]^2, plus the parts of gU and gV outside the
    spans of U and V when A is not square."""
    U, S, Vh = result[0], result[1], result[2]
    k = S.shape[-1]
    if full_matrices:
        # As PyTorch: the columns past min(m, n) are not unique and take no gradient.
        U, Vh, gU, gVh = U.narrow(-1, 0, k), Vh.narrow(-2, 0, k), gU.narrow(-1, 0, k), gVh.narrow(-2, 0, k)
    m, n = U.shape[-2], Vh.shape[-1]
    V, gV = Vh.mT, gVh.mT
    UtgU = U.mT @ gU
    VtgV = V.mT @ gV
    S2 = S * S
    F = _safe_reciprocal(S2.unsqueeze(-2) - S2.unsqueeze(-1))
    inner = ((UtgU - UtgU.mT) * S.unsqueeze(-2) + S.unsqueeze(-1) * (VtgV - VtgV.mT)) * F
    inner = inner + _zel.diag_embed(gS)
    gA = U @ inner @ Vh
    if m > n:
        gA = gA + ((gU - U @ UtgU) / S.unsqueeze(-2)) @ Vh
    elif m < n:
        gA = gA + U @ ((gV - V @ VtgV) / S.unsqueeze(-2)).mT
    return gA


def _svdvals_grad(grad, A):
    U, _, Vh = _zel.linalg.svd(A, full_matrices=False)
    return U @ (grad.unsqueeze(-1) * Vh)


def _copyltu(M):
    """The symmetric matrix with M's lower triangle."""
    return M.tril(-1) + M.tril(0).mT


def _qr_grad_tall(gQ, gR, Q, R):
    """A = Q R with m >= n: (gQ + Q copyltu(R gR^T - gQ^T Q)) R^-T."""
    M = R @ gR.mT - gQ.mT @ Q
    b = gQ + Q @ _copyltu(M)
    return _zel.linalg.solve_triangular(R.mT, b, upper=False, left=False)


def _qr_grad(gQ, gR, result, mode):
    Q, R = result[0], result[1]
    if mode == "r":
        raise RuntimeError("The derivative of linalg.qr depends on Q, which is not computed when mode='r'. "
                           "Please use linalg.qr(A, mode='reduced') if you are going to differentiate through "
                           "linalg.qr.")
    m, n = Q.shape[-2], R.shape[-1]
    if mode == "complete" and m > n:
        raise RuntimeError("The QR decomposition is not differentiable when mode='complete' and nrows > ncols.")
    if m >= n:
        return _qr_grad_tall(gQ, gR, Q, R)
    # A = [X | Y], R = [U | V]: X = Q U is square, and Y = Q V feeds back into Q.
    U, V = R.narrow(-1, 0, m), R.narrow(-1, m, n - m)
    gU, gV = gR.narrow(-1, 0, m), gR.narrow(-1, m, n - m)
    gX = _qr_grad_tall(gQ + Q @ (V @ gV.mT), gU, Q, U)
    return _zel.cat([gX, Q @ gV], -1)


# --- pseudo-inverse and least squares -----------------------------------------------------------

def _pinv_grad(grad, P, A):
    """The derivative of P = pinv(A) at constant rank (Golub and Pereyra):
    -P^T G P^T + (I - A P) G^T P P^T + P^T P G^T (I - P A)."""
    Gt = grad.mT
    X = Gt @ P @ P.mT
    Y = P.mT @ P @ Gt
    return -(P.mT @ grad @ P.mT) + (X - A @ (P @ X)) + (Y - (Y @ P) @ A)


def _lstsq_grad(g_solution, g_residuals, A, B, result, which):
    """X = pinv(A) B; the residuals ||A x - b||^2, where given, have the
    gradient 2 (A x - b) x^T at the minimum."""
    X = result[0]
    vector = B.ndim == 1
    B2, X2, G = (B.unsqueeze(-1), X.unsqueeze(-1), g_solution.unsqueeze(-1)) if vector else (B, X, g_solution)
    P = _zel.linalg.pinv(A)
    has_residuals = result[1].numel > 0
    if has_residuals:
        r = (A @ X2 - B2) * (2.0 * g_residuals.unsqueeze(-2))
    if which == 0:
        gA = _pinv_grad(G @ B2.mT, P, A)
        return gA + r @ X2.mT if has_residuals else gA
    gB = P.mT @ G
    if has_residuals:
        gB = gB - r
    return gB.squeeze(-1) if vector else gB


# --- matrix functions ---------------------------------------------------------------------------

def _matrix_exp_grad(grad, A):
    """The adjoint of the derivative of exp at A: the upper right block of
    exp([[A^T, G], [0, A^T]])."""
    n = A.shape[-1]
    At = A.mT
    big = _zel.cat([_zel.cat([At, grad], -1), _zel.cat([_zel.zeros_like(At), At], -1)], -2)
    return _zel.linalg.matrix_exp(big).narrow(-2, 0, n).narrow(-1, n, n)


def _matrix_power_grad(grad, A, n):
    """A^k: sum over j of (A^T)^j G (A^T)^(k-1-j); a negative power goes
    through the inverse."""
    n = int(n)
    if n == 0:
        return _zel.zeros_like(A)
    base = A if n > 0 else _zel.linalg.inv(A)
    k = abs(n)
    Bt = base.mT
    powers = [None]  # (B^T)^j, j < k; None for the identity
    for _ in range(k - 1):
        powers.append(Bt if powers[-1] is None else powers[-1] @ Bt)
    total = None
    for j in range(k):
        term = grad if powers[j] is None else powers[j] @ grad
        right = powers[k - 1 - j]
        term = term if right is None else term @ right
        total = term if total is None else total + term
    return total if n > 0 else -(Bt @ total @ Bt)


# --- norms and condition numbers ----------------------------------------------------------------

def _keepdim_form(t, dims, keepdim):
    """A reduction's result with the reduced axes back in place, as size 1."""
    if keepdim:
        return t
    for d in sorted(dims):
        t = t.unsqueeze(d)
    return t


def _singular_pair_grad(A, index):
    """d sigma_index / dA = u v^T, for A with the matrix axes last."""
    U, _, Vh = _zel.linalg.svd(A, full_matrices=False)
    return U.narrow(-1, index, 1) @ Vh.narrow(-2, index, 1)


def _matrix_norm_grad(grad, A, result, ord, dim, keepdim):
    nd = A.ndim
    d0, d1 = dim[0] % nd, dim[1] % nd
    g = _keepdim_form(grad, (d0, d1), keepdim)
    r = _keepdim_form(result, (d0, d1), keepdim)
    if ord == "fro":
        return _zel.where(_is_zero(r), 0.0, g * A / r)
    if ord == "nuc" or abs(ord) == 2:
        At = A.movedim((d0, d1), (-2, -1))
        gt = g.movedim((d0, d1), (-2, -1))
        if ord == "nuc":
            U, _, Vh = _zel.linalg.svd(At, full_matrices=False)
            d = U @ Vh
        else:
            d = _singular_pair_grad(At, 0 if ord > 0 else min(At.shape[-2], At.shape[-1]) - 1)
        return (gt * d).movedim((-2, -1), (d0, d1))
    # +-1: the extreme column sum of |A|; +-inf: the extreme row sum. The
    # gradient is shared evenly by the columns (rows) reaching it, as amax's.
    summed, across = (d0, d1) if abs(ord) == 1 else (d1, d0)
    sums = A.abs().sum(dim=summed, keepdim=True)
    hit = _zel.where(_f._compare(sums, r, lambda s: s == 0), 1.0, 0.0)
    return A.sign() * (g * hit / hit.sum(dim=across, keepdim=True))


def _linalg_norm_grad(grad, A, result, ord, dim, keepdim):
    """linalg.norm: a matrix norm over two axes, or given ord on a matrix;
    a vector norm otherwise (as the binding decides)."""
    dims = None if dim is None else (tuple(dim) if isinstance(dim, (tuple, list)) else (dim,))
    matrix = len(dims) == 2 if dims is not None else (ord is not None and A.ndim == 2)
    if matrix:
        return _matrix_norm_grad(grad, A, result, "fro" if ord is None else ord, dims or (-2, -1), keepdim)
    return _f._norm_grad(grad, A, result, 2.0 if ord is None else ord, dim, keepdim)


def _cond_grad(grad, A, p):
    """The 2-norm condition number is sigma_max / sigma_min; the others are
    norm(A) norm(A^-1)."""
    if p is None or (not isinstance(p, str) and abs(p) == 2):
        U, S, Vh = _zel.linalg.svd(A, full_matrices=False)
        k = S.shape[-1]
        hi, lo = S.narrow(-1, 0, 1), S.narrow(-1, k - 1, 1)
        first = _f._one_hot(torch.tensor(0), k)
        last = _f._one_hot(torch.tensor(k - 1), k)
        if p is not None and p < 0:  # lo / hi
            gS = last / hi - first * (lo / (hi * hi))
        else:  # hi / lo
            gS = first / lo - last * (hi / (lo * lo))
        return U @ ((grad.unsqueeze(-1) * gS).unsqueeze(-1) * Vh)
    inv = _zel.linalg.inv(A)
    na = _zel.linalg.matrix_norm(A, p)
    ni = _zel.linalg.matrix_norm(inv, p)
    g_inv = _matrix_norm_grad(grad * na, inv, ni, p, (-2, -1), False)
    return _matrix_norm_grad(grad * ni, A, na, p, (-2, -1), False) - inv.mT @ g_inv @ inv.mT


# --- triangular, Cholesky and LU solves ---------------------------------------------------------

def _solve_triangular_grad(grad, A, X, upper, left, unitriangular, which):
    """X = A^-1 B (or B A^-1) for triangular A: gB = A^-T G (G A^-T), and
    gA = -gB X^T (-X^T gB) on the triangle the solve reads."""
    gB = _zel.linalg.solve_triangular(A.mT, grad, upper=not upper, left=left, unitriangular=unitriangular)
    if which == 1:
        return gB
    gA = -(gB @ X.mT) if left else -(X.mT @ gB)
    off = 1 if unitriangular else 0
    return gA.triu(off) if upper else gA.tril(-off)


def _cholesky_solve_grad(grad, L, X, upper, which):
    """X = (L L^T)^-1 B (U^T U when upper): gB = (L L^T)^-1 G, and L takes
    -(C + C^T) L, C = gB X^T, on its triangle (the solve reads no other)."""
    gB = _zel.cholesky_solve(grad, L, upper)
    if which == 0:
        return gB
    C = gB @ X.mT
    S = C + C.mT
    return -(L @ S).triu() if upper else -(S @ L).tril()


def _lu_permutation(pivots, n):
    """P^T of A = P L U, from LAPACK's row swaps: P^T A = A[perm]."""
    piv = pivots.reshape(-1, pivots.shape[-1]).long() - 1
    perms = []
    for row in piv.tolist():
        perm = list(range(n))
        for i, p in enumerate(row):
            perm[i], perm[p] = perm[p], perm[i]
        perms.append(perm)
    perm = torch.tensor(perms, dtype=torch.long).reshape(tuple(pivots.shape[:-1]) + (n,))
    return _f._one_hot(perm, n)


def _lu_solve_grad(grad, LU, pivots, X, left, adjoint, which):
    """X = op(A)^-1 B (B op(A)^-1) with A = P L U packed in LU: gB solves
    with the transpose; gA = -gB X^T (-X^T gB), carried to L (strictly
    lower) and U (upper)."""
    gB = _zel.linalg.lu_solve(LU, pivots, grad, left=left, adjoint=not adjoint)
    if which == 1:
        return gB
    g_op = -(gB @ X.mT) if left else -(X.mT @ gB)
    gA = g_op.mT if adjoint else g_op
    n = LU.shape[-1]
    Pt = _lu_permutation(pivots, n)
    L = LU.tril(-1) + _zel.eye(n)
    U = LU.triu()
    PtgA = Pt @ gA
    return (PtgA @ U.mT).tril(-1) + (L.mT @ PtgA).triu()


# --- products -----------------------------------------------------------------------------------

def _multi_dot_grads(grad, tensors):
    """Each factor's gradient: (product before it)^T G (product after it)^T,
    with a first or last vector as a row or column."""
    ts = list(tensors)
    last = len(ts) - 1
    mats = [t.unsqueeze(0) if i == 0 and t.ndim == 1 else t.unsqueeze(-1) if i == last and t.ndim == 1 else t
            for i, t in enumerate(ts)]
    G = grad.reshape(mats[0].shape[0], mats[-1].shape[-1])
    before = [None]
    for m in mats[:-1]:
        before.append(m if before[-1] is None else before[-1] @ m)
    after = [None]
    for m in reversed(mats[1:]):
        after.append(m if after[-1] is None else m @ after[-1])
    after.reverse()
    grads = []
    for i, t in enumerate(ts):
        g = G if before[i] is None else before[i].mT @ G
        g = g if after[i] is None else g @ after[i].mT
        grads.append(g.reshape(tuple(t.shape)))
    return grads


def _tensordot_grad(grad, a, b, dims, which):
    """The gradient of a contraction is the contraction of the gradient with
    the other operand over its free axes, permuted back."""
    na, nb = a.ndim, b.ndim
    if isinstance(dims, int):
        da, db = list(range(na - dims, na)), list(range(dims))
    else:
        da, db = [int(d) % na for d in dims[0]], [int(d) % nb for d in dims[1]]
    fa = [i for i in range(na) if i not in da]
    fb = [i for i in range(nb) if i not in db]
    if which == 0:
        # the axes left of b come in b's order, each paired with an axis of a
        g = _zel.tensordot(grad, b, dims=(list(range(len(fa), grad.ndim)), fb))
        order = fa + [da[db.index(j)] for j in sorted(db)]
    else:
        g = _zel.tensordot(a, grad, dims=(fa, list(range(len(fa)))))
        order = [db[da.index(i)] for i in sorted(da)] + fb
    inverse = [0] * len(order)
    for i, axis in enumerate(order):
        inverse[axis] = i
    return g.permute(*inverse) if inverse else g


def namespace(zel):
    """The names the formulas of derivatives.def read from this module."""
    global _zel
    _zel = zel
    return {
        "svd_grad": _svd_grad, "svdvals_grad": _svdvals_grad, "qr_grad": _qr_grad,
        "pinv_grad": _pinv_grad, "lstsq_grad": _lstsq_grad,
        "matrix_exp_grad": _matrix_exp_grad, "matrix_power_grad": _matrix_power_grad,
        "matrix_norm_grad": _matrix_norm_grad, "linalg_norm_grad": _linalg_norm_grad, "cond_grad": _cond_grad,
        "solve_triangular_grad": _solve_triangular_grad, "cholesky_solve_grad": _cholesky_solve_grad,
        "lu_solve_grad": _lu_solve_grad, "multi_dot_grads": _multi_dot_grads, "tensordot_grad": _tensordot_grad,
    }
