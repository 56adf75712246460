"""A tour of the varnel.zel API, written to pass `mypy --strict`.

It also runs: the assertions check that what the stubs promise (types,
shapes, values) is what the modules return.
"""
from __future__ import annotations

import pickle
from typing import List, Tuple

import numpy as np
import numpy.typing as npt
import torch

from varnel.zel import tarsk
from varnel.zel import zel


def construction() -> zel.Tensor:
    a = zel.tensor([[1.0, 2.0], [3.0, 4.0]])
    b = zel.Tensor(torch.arange(4, dtype=torch.float64).reshape(2, 2), device=zel.device(zel.cpu))
    c = zel.Tensor(np.array([0.5, 0.25]))
    d = zel.Tensor(7)
    assert a.shape == (2, 2) and b.ndim == 2 and c.numel == 2 and d.dim() == 0
    assert a.dtype == zel.float32 and isinstance(a.device, torch.device)
    assert zel.cuda.is_available() == torch.cuda.is_available()
    size: Tuple[int, ...] = a.size()
    rows: int = a.size(0)
    assert size == (2, 2) and rows == 2 and len(a) == 2
    return a + b


def arithmetic(a: zel.Tensor) -> None:
    total = zel.tensor([1e16, 1.0, -1e16]).sum()
    exact: float = total.item()
    assert exact == 1.0
    x = (a + 1) * 2.0 - a / 3 + 1.5 * a - (-a) + (+a)
    y = 10.0 - a
    z = 1.0 / a
    assert x.shape == y.shape == z.shape == (2, 2)
    assert (a ** 2).tolist() == [[1.0, 9.0], [25.0, 49.0]]
    r = a ** 0.5 + a // 3 + a % 3 + 7 // a + 7 % a
    assert r.shape == (2, 2)
    third = zel.tensor(3.0).reciprocal() * 3
    assert abs(third.item() - 1.0) < 1e-300
    assert float(zel.tensor(2.5)) == 2.5 and int(zel.tensor(2.5)) == 2


def comparisons(a: zel.Tensor) -> None:
    mask: torch.Tensor = a > 4
    assert mask.dtype == torch.bool and mask.shape == (4,)
    eq: torch.Tensor = a == 3.0
    assert int(eq.sum()) == 1
    picked = zel.where(a < 5, a, 0.0)
    assert picked.tolist() == [[1.0, 3.0], [0.0, 0.0]]
    nan = zel.tensor([float("nan"), 1.0])
    flags: List[torch.Tensor] = [zel.isnan(nan), zel.isinf(nan), zel.isfinite(nan), nan.isnan()]
    assert [bool(f[0]) for f in flags] == [True, False, False, True]


def functions(a: zel.Tensor) -> None:
    pos = zel.abs(a) + 0.5
    results: List[zel.Tensor] = [
        zel.exp(pos), zel.log(pos), zel.sqrt(pos), zel.sin(pos), zel.cos(pos), zel.tan(pos),
        zel.tanh(pos), zel.sigmoid(pos), zel.relu(-pos), zel.gelu(pos), zel.silu(pos),
        zel.floor(pos), zel.ceil(pos), zel.round(pos, 1), zel.clamp(pos, 1.0, 3.0),
        zel.softmax(pos, dim=1), zel.log_softmax(pos, -1),
        pos.exp().log(), pos.sqrt() * pos.sqrt(), pos.round(decimals=2), pos.clamp(max_val=2.0),
    ]
    for r in results:
        assert r.shape == (2, 2)
    assert abs(zel.softmax(pos).sum(dim=1).tolist()[0] - 1.0) < 1e-30


def reductions(a: zel.Tensor) -> None:
    whole: List[zel.Tensor] = [zel.sum(a), zel.mean(a), zel.prod(a), zel.min(a), zel.max(a),
                               zel.std(a), zel.var(a, unbiased=False), zel.norm(a), zel.norm(a, p=1)]
    assert all(t.shape == () for t in whole)
    along = a.sum(dim=0, keepdim=True)
    assert along.shape == (1, 2) and a.max(dim=1).shape == (2,)
    idx: torch.Tensor = zel.argmax(a)
    assert int(idx) == 3 and a.argmin(dim=0).tolist() == [0, 0]


def products(a: zel.Tensor) -> None:
    v = zel.tensor([1.0, -1.0])
    batch = zel.stack([a, a])
    shapes = [zel.matmul(a, a).shape, zel.mm(a, a).shape, zel.mv(a, v).shape,
              zel.dot(v, v).shape, zel.bmm(batch, batch).shape, (a @ v).shape]
    assert shapes == [(2, 2), (2, 2), (2,), (), (2, 2, 2), (2,)]


def shapes(a: zel.Tensor) -> None:
    flat = a.reshape(4)
    assert flat.shape == (4,) and a.reshape((4, 1)).shape == (4, 1) and a.view(1, 4).shape == (1, 4)
    assert a.flatten().shape == (4,) and a.unsqueeze(0).squeeze().shape == (2, 2)
    assert a.T.tolist() == a.transpose(0, 1).tolist() == zel.permute(a, (1, 0)).tolist()
    assert zel.tensor([1.0]).expand(3).shape == (3,)
    assert zel.repeat(a, 2, 1).shape == (4, 2) and zel.repeat(a, (1, 2)).shape == (2, 4)
    joined = zel.cat([a, a], dim=1)
    parts: List[zel.Tensor] = zel.split(joined, 2, dim=1)
    pieces = zel.chunk(flat, 2)
    assert len(parts) == 2 and len(pieces) == 2
    assert zel.reshape(a, (4,)).shape == zel.squeeze(zel.unsqueeze(flat, 0)).shape
    assert zel.transpose(a, 0, 1).shape == (2, 2)
    b = a.clone()
    b[0, 1] = 9.0
    b[1] = zel.tensor([5.0, 6.0])
    assert b[0].tolist() == [1.0, 9.0] and b[..., 1].tolist() == [9.0, 6.0] and b[None].shape == (1, 2, 2)


def export(a: zel.Tensor) -> None:
    limbs: npt.NDArray[np.float64] = a.numpy_limbs()
    assert limbs.shape == (2, 2, 8)
    back = zel.from_limbs(limbs)
    digest: str = back.sha256()
    assert back.verify(a.sha256()) and len(digest) == 64 and back.fingerprint() == digest[:8]
    assert zel.from_limbs(a.torch_limbs()).sha256() == digest
    assert pickle.loads(pickle.dumps(a)).sha256() == digest
    assert a.numpy().shape == (2, 2) and a.value() == 1.0
    moved = a.to("cpu").cpu().contiguous().detach().float()
    assert moved.sha256() == digest


def factories() -> None:
    zel.manual_seed(42)
    state = zel.get_rng_state()
    first = zel.randn(3, 3).sha256()
    zel.set_rng_state(state)
    assert zel.randn((3, 3)).sha256() == first
    made = [zel.zeros(2, 3), zel.ones((2, 3)), zel.rand(2, 3, device="cpu"),
            zel.arange(0, 6).reshape(2, 3), zel.linspace(0.0, 1.0, 6).reshape(2, 3), zel.eye(2, 3)]
    assert all(t.shape == (2, 3) for t in made)


def linear_algebra() -> None:
    A = zel.tensor([[4.0, 1.0], [1.0, 3.0]])
    b = zel.tensor([1.0, 2.0])
    x = tarsk.solve(A, b)
    assert (zel.mv(A, x) - b).abs().max().item() < 1e-30
    P, L, U = tarsk.lu(A)
    Q, R = tarsk.qr(A)
    values, vectors = tarsk.eigh(A)
    Us, S, Vh = tarsk.svd(A, max_iter=50)
    sol, residual = tarsk.lstsq(A, b)
    rank: int = tarsk.matrix_rank(A)
    kappa: float = tarsk.cond(A, p="fro")
    for t in (tarsk.inv(A), tarsk.cholesky(A), P, L, U, Q, R, vectors, Us, Vh):
        assert t.shape == (2, 2)
    assert values.shape == S.shape == sol.shape == (2,)
    assert abs(tarsk.det(A).item() - 11.0) < 1e-120 and rank == 2 and kappa > 1.0
    assert residual.item() < 1e-30 and tarsk.norm(A, ord=1).item() == 9.0
    assert tarsk.eig(A)[0].shape == (2,)


def dropin() -> None:
    # PyTorch's names around the defined API: dtypes, no gradients, in-place
    # operations, masks and index tensors, torch.nn.functional.
    F = zel.nn.functional
    x = zel.full((2, 3), 1.5, dtype=zel.double) * zel.pi
    assert x.to(zel.float64).to("cpu", torch.float64).shape == (2, 3) and zel.get_default_dtype() == "float32"
    assert zel.zeros_like(x).shape == zel.ones_like(x).shape == zel.empty_like(x).shape == (2, 3)
    assert zel.full_like(x, 2.0).shape == zel.empty(2, 3).shape and zel.logspace(0, 2, 3).tolist() == [1.0, 10.0, 100.0]
    with zel.no_grad():
        y = x.clone()
    assert not y.requires_grad and y.grad is None and y.requires_grad_(False) is y

    @zel.inference_mode()
    def scaled(t: zel.Tensor) -> zel.Tensor:
        return t * 2

    y += 1.0
    y.add_(x, alpha=2).mul_(0.5).sub_(1).div_(3.0).clamp_(min=0.0).pow_(2)
    y.neg_().zero_().fill_(zel.e).copy_(scaled(x))
    positive: zel.Tensor = x[x > 0]
    x[x > 4] = 0.0
    picked = x[[0, 1]] + x[:, torch.tensor([0, 2])].sum() + x.index_select(1, torch.tensor([1])).sum()
    taken = x.take(torch.tensor([0, 5])) + x.gather(1, torch.tensor([[0], [1]])).sum()
    filled = x.masked_fill(x > 1, -1.0) + zel.masked_select(x, x < 1).sum()
    where: torch.Tensor = x.nonzero()
    assert positive.ndim == 1 and picked.shape == (2, 3) and taken.shape == (2,) and filled.shape == (2, 3)
    assert where.shape[1] == 2 and bool(zel.tensor(1.0)) and f"{zel.tensor(0.5):.2f}" == "0.50"
    values: npt.NDArray[np.float64] = np.asarray(x)
    back = zel.from_numpy(values) + zel.as_tensor([1.0, 2.0, 3.0])
    rows: List[zel.Tensor] = list(back)
    assert len(rows) == 2 and abs(back).shape == round(back, 1).shape == (2, 3) and back.matmul(back.T).shape == (2, 2)
    logits = F.linear(x, zel.ones(4, 3), zel.zeros(4))
    loss = F.cross_entropy(logits, torch.tensor([0, 3])) + F.mse_loss(logits, logits) + F.nll_loss(
        F.log_softmax(logits, dim=1), torch.tensor([1, 2]))
    acts = [F.relu(logits), F.gelu(logits, approximate="tanh"), F.silu(logits), F.sigmoid(logits),
            F.softmax(logits, dim=1), F.normalize(logits), F.pad(logits, (1, 1))[:, 1:5]]
    hot: torch.Tensor = F.one_hot(torch.tensor([0, 2]), 3)
    assert loss.shape == () and all(a.shape == (2, 4) for a in acts) and hot.dtype == torch.int64
    assert zel.maximum(x, 1.0).shape == zel.minimum(x, x).shape == (2, 3)


def main() -> None:
    a = construction()
    arithmetic(a)
    comparisons(a)
    functions(a)
    reductions(a)
    products(a)
    shapes(a)
    export(a)
    factories()
    linear_algebra()
    dropin()
    print("example_typed: all checks passed")


if __name__ == "__main__":
    main()
