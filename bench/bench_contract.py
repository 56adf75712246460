"""einsum against matmul on the same work, and the added exact-order and
running reductions against PyTorch float64, printed as ratios measured side
by side in one run.

einsum of a batched matrix product runs on the matmul kernel after two
permutations; its cost over matmul's is the price of parsing and moving
the operands (target: at most 1.2x). The general contraction loop (three
operands) is shown for scale.

Run: .venv/bin/python bench/bench_contract.py [--quick]
"""
import sys

import torch

from _timing import best_of, row
from varnel.zel import zel


def main():
    quick = "--quick" in sys.argv
    torch.manual_seed(0)
    b, n = (4, 48) if quick else (8, 96)
    a = zel.from_limbs(torch.randn(b, n, n, 8, dtype=torch.float64))
    c = zel.from_limbs(torch.randn(b, n, n, 8, dtype=torch.float64))
    ones = zel.ones(n)
    print(f"threads: {torch.get_num_threads()}")
    # einsum and matmul are timed in alternation, best of each: on a shared
    # machine a burst of other work then hits both alike.
    for eq in ("bij,bjk->bik", "bij,bkj->bik"):
        mm = ours = float("inf")
        for _ in range(3 if quick else 7):
            mm = min(mm, best_of(lambda: zel.matmul(a, c), repeat=1))
            ours = min(ours, best_of(lambda: zel.einsum(eq, a, c), repeat=1))
        row(f"einsum {eq} ({b}x{n}x{n})", ours, [("matmul", mm)])
    mm = best_of(lambda: zel.matmul(a, c), repeat=3)
    row("einsum bij,bjk,k->bik (general)", best_of(lambda: zel.einsum("bij,bjk,k->bik", a, c, ones), repeat=1),
        [("matmul", mm)])

    m = 1 << (14 if quick else 17)
    x = zel.from_limbs(torch.randn(m, 8, dtype=torch.float64))
    xf = torch.randn(m, dtype=torch.float64)
    for label, ours, theirs in (
        ("cumsum", lambda: x.cumsum(0), lambda: xf.cumsum(0)),
        ("sort", lambda: x.sort(), lambda: xf.sort()),
        ("topk 10", lambda: x.topk(10), lambda: xf.topk(10)),
        ("median", lambda: x.median(), lambda: xf.median()),
        ("logsumexp", lambda: x.logsumexp(0), lambda: xf.logsumexp(0)),
    ):
        row(f"{label} ({m})", best_of(ours, repeat=3), [("torch", best_of(theirs, repeat=3))])


if __name__ == "__main__":
    main()
