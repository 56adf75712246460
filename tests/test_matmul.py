import math
import random

import pytest
import torch

import reference_reduce as ref
from varnel.zel import zel
from conftest import from_rows, limbs_of, random_rows, same_rows

Tensor = zel.Tensor


def rand_tensor(rng, shape):
    return from_rows(random_rows(rng, math.prod(shape), spread=8), shape)


class TestDefinedCases:
    def test_values(self):
        a = Tensor([[1.0, 2.0], [3.0, 4.0]])
        assert zel.matmul(a, Tensor([1.0, 1.0])).tolist() == [3.0, 7.0]
        assert (a @ a).tolist() == [[7.0, 10.0], [15.0, 22.0]]
        r = Tensor([[1e16, 1.0, -1e16]]) @ Tensor([[1.0], [1.0], [1.0]])
        assert r.shape == (1, 1) and r.item() == 1.0

    def test_shapes(self):
        assert zel.matmul(Tensor([1.0, 2.0, 3.0]), Tensor([[1.0] * 2] * 3)).shape == (2,)
        assert zel.matmul(Tensor([[1.0] * 3] * 2), Tensor([[[1.0] * 2] * 3] * 4)).shape == (4, 2, 2)
        d = zel.dot(Tensor([1.0, 2.0, 3.0]), Tensor([4.0, 5.0, 6.0]))
        assert d.shape == () and d.item() == 32.0
        assert zel.dot(Tensor([1.0, 2.0, 3.0]), Tensor([2.0])).item() == 12.0
        assert zel.mv(Tensor([[1.0] * 3] * 2), Tensor([1.0, 2.0, 3.0])).shape == (2,)
        assert zel.mm(Tensor([1.0, 2.0]), Tensor([3.0, 4.0])).item() == 11.0
        assert zel.matmul(Tensor([[1.0, 2.0]]), Tensor([[3.0], [4.0]])).shape == (1, 1)

    def test_messages(self):
        with pytest.raises(ValueError) as info:
            zel.matmul(Tensor([[1.0] * 3] * 2), Tensor([[1.0] * 2] * 2))
        assert str(info.value) == "Matrix shapes (2, 3) and (2, 2) incompatible"
        with pytest.raises(ValueError) as info:
            zel.matmul(Tensor([[[1.0] * 3] * 2] * 2), Tensor([[[1.0] * 4] * 3] * 3))
        assert str(info.value) == "Batch sizes 2 and 3 don't match"
        with pytest.raises(ValueError) as info:
            zel.matmul(Tensor([1.0, 2.0]), Tensor([[1.0] * 2] * 3))
        assert str(info.value) == "Matrix shapes (1, 2) and (3, 2) incompatible"
        with pytest.raises(NotImplementedError) as info:
            zel.matmul(Tensor(1.0), Tensor([1.0]))
        assert str(info.value) == "matmul not implemented for shapes () @ (1,)"
        with pytest.raises(TypeError):
            Tensor([1.0]) @ [1.0]
        with pytest.raises(TypeError):
            zel.matmul([1.0], Tensor([1.0]))


class TestBitExactAgainstReference:
    def test_matrix_matrix(self):
        rng = random.Random(1)
        for m, k, n in ((1, 1, 1), (3, 4, 5), (7, 9, 2), (9, 17, 11), (4, 0, 3)):
            a, b = random_rows(rng, m * k, 8), random_rows(rng, k * n, 8)
            r = from_rows(a, (m, k)) @ from_rows(b, (k, n))
            assert r.shape == (m, n) and same_rows(limbs_of(r), ref.matmul(a, b, m, k, n))

    def test_matrix_vector_and_dot_use_tree_sums(self):
        rng = random.Random(2)
        a, x = random_rows(rng, 5 * 7, 8), random_rows(rng, 7, 8)
        r = zel.matmul(from_rows(a, (5, 7)), from_rows(x))
        assert same_rows(limbs_of(r), ref.matvec(a, x, 5, 7))
        assert same_rows(limbs_of(zel.dot(from_rows(x), from_rows(x))), [ref.dot(x, x)])
        # mv is the matrix-matrix case on a column
        assert same_rows(limbs_of(zel.mv(from_rows(a, (5, 7)), from_rows(x))), ref.matmul(a, x, 5, 7, 1))

    def test_vector_matrix(self):
        rng = random.Random(3)
        x, b = random_rows(rng, 6, 8), random_rows(rng, 6 * 4, 8)
        r = zel.matmul(from_rows(x), from_rows(b, (6, 4)))
        assert r.shape == (4,) and same_rows(limbs_of(r), ref.vecmat(x, b, 6, 4))


class TestBatchesLikePytorch:
    @pytest.mark.parametrize("sa,sb", [
        ((2, 3, 4), (2, 4, 5)), ((2, 3, 4), (4, 5)), ((3, 4), (2, 4, 5)), ((1, 3, 4), (5, 4, 2)),
        ((2, 1, 3, 4), (3, 4, 2)), ((4,), (2, 4, 3)), ((2, 3, 4), (4,)), ((2, 2, 3, 4), (4,)),
    ])
    def test_shapes_and_leading_limbs(self, sa, sb):
        rng = random.Random(hash((sa, sb)) % 1000)
        ta = torch.tensor([rng.randint(-9, 9) for _ in range(math.prod(sa))], dtype=torch.float64).reshape(sa)
        tb = torch.tensor([rng.randint(-9, 9) for _ in range(math.prod(sb))], dtype=torch.float64).reshape(sb)
        r = zel.matmul(Tensor(ta), Tensor(tb))
        want = torch.matmul(ta, tb)
        assert r.shape == tuple(want.shape)
        assert r.tolist() == want.tolist()

    def test_batch_element_equals_plain_product(self):
        rng = random.Random(9)
        a, b = rand_tensor(rng, (3, 4, 5)), rand_tensor(rng, (5, 2))
        r = zel.matmul(a, b)
        for t in range(3):
            at = from_rows(limbs_of(a)[t * 20:(t + 1) * 20], (4, 5))
            assert limbs_of(at @ b) == limbs_of(r)[t * 8:(t + 1) * 8]


def test_large_product_is_deterministic_across_threads():
    rng = random.Random(5)
    a, b = rand_tensor(rng, (64, 48)), rand_tensor(rng, (48, 40))
    n = torch.get_num_threads()
    try:
        torch.set_num_threads(1)
        one = (a @ b).sha256()
        torch.set_num_threads(max(2, n))
        assert (a @ b).sha256() == one
    finally:
        torch.set_num_threads(n)


def test_dot_forms_its_products_in_the_tree_with_the_bytes_of_mul_then_sum():
    # The fused dot must give the whole-tensor sum of the stored products, bit
    # for bit: odd and even levels, lengths split over threads, and operands
    # with infinities, NaN and huge values (their pairs are redone one by one).
    rng = random.Random(11)
    special = [[math.inf] + [0.0] * 7, [math.nan] + [0.0] * 7, [-math.inf] + [0.0] * 7, [1e308] + [0.0] * 7]
    cases = [(n, 0.0) for n in (0, 1, 2, 3, 9, 1001, 70001)] + [(37, 0.2)] * 20
    saved = torch.get_num_threads()
    try:
        for threads in (1, 2):
            torch.set_num_threads(threads)
            for n, p in cases:
                ra, rb = ([rng.choice(special) if rng.random() < p else r for r in random_rows(rng, n)]
                          for _ in range(2))
                a, b = from_rows(ra), from_rows(rb)
                fused, stored = zel.dot(a, b)._data, (a * b).sum()._data
                assert torch.equal(torch.isnan(fused), torch.isnan(stored)), n
                assert torch.equal(fused.nan_to_num(), stored.nan_to_num()), n
    finally:
        torch.set_num_threads(saved)
