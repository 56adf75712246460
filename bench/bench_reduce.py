"""Reductions and matrix products: zel against plain PyTorch float64 and
against the same limb algorithm composed from whole-array PyTorch ops."""
import torch

from _timing import best_of, row
from bench_elementwise import t_add as add_rows, t_mul as mul_rows
from varnel.zel import zel

torch.manual_seed(0)


def composed_tree_sum(data):
    cur = data
    while cur.shape[0] > 1:
        n = cur.shape[0]
        h = n // 2
        r = add_rows(cur[:h], cur[h:2 * h])
        if n % 2:
            r = torch.cat([r, cur[n - 1:n]])
        cur = r
    return cur


def composed_matmul(a, b, m, k, n):
    """Every output at once, the inner index in order: the limb algorithm
    vectorised over outputs with PyTorch ops."""
    av = a.view(m, k, 8)
    bv = b.view(k, n, 8)
    acc = torch.zeros(m * n, 8, dtype=torch.float64)
    for kk in range(k):
        x = av[:, kk, :].unsqueeze(1).expand(m, n, 8).reshape(m * n, 8)
        y = bv[kk].unsqueeze(0).expand(m, n, 8).reshape(m * n, 8)
        acc = add_rows(acc, mul_rows(x, y))
    return acc


def main():
    print(f"torch {torch.__version__}, {torch.get_num_threads()} threads")
    for n in (10 ** 4, 10 ** 6):
        x = torch.randn(n, dtype=torch.float64)
        z = zel.Tensor(x)
        row(f"sum of {n}", best_of(lambda: z.sum()),
            [("torch64", best_of(lambda: x.sum())), ("composed", best_of(lambda: composed_tree_sum(z._data), repeat=3))])
        assert torch.equal(z.sum()._data, composed_tree_sum(z._data))
    x = torch.randn(1000, 1000, dtype=torch.float64)
    z = zel.Tensor(x)
    row("sum(dim=1) of 1000x1000", best_of(lambda: z.sum(dim=1)), [("torch64", best_of(lambda: x.sum(dim=1)))])
    row("var of 10^6", best_of(lambda: z.var()), [("torch64", best_of(lambda: x.var()))])
    for size in (32, 128, 256):
        a = torch.randn(size, size, dtype=torch.float64)
        b = torch.randn(size, size, dtype=torch.float64)
        za, zb = zel.Tensor(a), zel.Tensor(b)
        others = [("torch64", best_of(lambda: a @ b))]
        if size <= 128:
            others.append(("composed", best_of(lambda: composed_matmul(za._data, zb._data, size, size, size), repeat=2)))
            assert torch.equal((za @ zb)._data, composed_matmul(za._data, zb._data, size, size, size))
        row(f"matmul {size}x{size}", best_of(lambda: za @ zb, repeat=3), others)
    s = zel.Tensor(1.5)
    t = torch.tensor(1.5, dtype=torch.float64)
    row("0-d a + b (call overhead)", best_of(lambda: s + s), [("torch64", best_of(lambda: t + t))])
    row("0-d a * b (call overhead)", best_of(lambda: s * s), [("torch64", best_of(lambda: t * t))])


if __name__ == "__main__":
    main()
