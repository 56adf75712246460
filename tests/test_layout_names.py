"""PyTorch's strided-view names as copies (as_strided, unfold, select, the
*_scatter and *_copy names, H/mH, sum_to_size, resize_) and the narrow dtype
conversions: positions and errors as PyTorch's, every limb carried."""
import random

import pytest
import torch

from conftest import from_rows, limbs_of, random_rows, same_rows
from varnel.zel import zel


def deep(shape, seed=0):
    """A tensor of genuinely multi-limb elements and its float64 leading limbs."""
    n = 1
    for s in shape:
        n *= s
    rows = random_rows(random.Random(seed), n)
    return from_rows(rows, shape), torch.tensor([r[0] for r in rows], dtype=torch.float64).reshape(shape)


def rows_at(x, positions):
    """x's limb rows at the given flat positions."""
    rows = limbs_of(x)
    return [rows[p] for p in positions.reshape(-1).tolist()]


def positions(shape):
    n = 1
    for s in shape:
        n *= s
    return torch.arange(n).reshape(shape)


GATHERS = [
    ("as_strided", (3, 4), ((2, 2), (1, 2), 1)),
    ("as_strided", (3, 4), ((3, 3), (0, 1))),        # overlapping reads
    ("unfold", (3, 5), (1, 2, 2)),
    ("unfold", (), (0, 1, 1)),
    ("select", (2, 3, 4), (1, -1)),
    ("narrow_copy", (4, 3), (0, 1, 2)),
    ("diagonal_copy", (3, 4), (1,)),
    ("transpose_copy", (2, 3, 4), (0, 2)),
    ("permute_copy", (2, 3, 4), ((2, 0, 1),)),
    ("t_copy", (2, 3), ()),
    ("unsqueeze_copy", (2, 3), (1,)),
    ("expand_copy", (3, 1), ((3, 4),)),
    ("view_copy", (2, 6), ((3, 4),)),
]


@pytest.mark.parametrize("name,shape,args", GATHERS)
def test_gathers_read_pytorchs_positions_and_keep_every_limb(name, shape, args):
    x, lead = deep(shape)

    def call(t):  # unfold is a method only
        return getattr(t, name)(*args) if name == "unfold" else getattr(zel if isinstance(t, zel.Tensor) else torch,
                                                                         name)(t, *args)
    got = call(x)
    pos = call(positions(shape))
    assert tuple(got.shape) == tuple(pos.shape)
    assert same_rows(limbs_of(got), rows_at(x, pos))
    torch.testing.assert_close(torch.tensor(got.numpy()).reshape(pos.shape), call(lead))


@pytest.mark.parametrize("prop", ["H", "mH"])
@pytest.mark.parametrize("shape", [(), (3, 2), (2, 3, 4), (4,)])
def test_conjugate_transposes_follow_pytorchs_dimension_rules(prop, shape):
    x, lead = deep(shape)
    try:
        want = getattr(lead, prop)
    except RuntimeError as e:
        with pytest.raises(RuntimeError, match=str(e)[:30]):
            getattr(x, prop)
        return
    got = getattr(x, prop)
    assert same_rows(limbs_of(got), rows_at(x, getattr(positions(shape), prop)))
    assert tuple(got.shape) == tuple(want.shape)


SCATTERS = [
    ("select_scatter", (3, 4), (4,), (0, 1)),
    ("select_scatter", (3, 4), (3,), (1, -1)),
    ("slice_scatter", (4, 6), (4, 2), (1, 1, 5, 2)),
    ("slice_scatter", (4, 6), (2, 6), (0, None, None, 3)),
    ("diagonal_scatter", (3, 4), (3,), (1,)),
    ("diagonal_scatter", (2, 3, 3), (2, 3), (0, 1, 2)),
    ("as_strided_scatter", (3, 4), (2, 2), ((2, 2), (1, 2), 1)),
]


@pytest.mark.parametrize("name,shape,src_shape,args", SCATTERS)
def test_scatters_place_the_source_where_pytorch_does(name, shape, src_shape, args):
    x, lead = deep(shape, seed=1)
    src, src_lead = deep(src_shape, seed=2)
    got = getattr(zel, name)(x, src, *args)
    want = getattr(torch, name)(lead, src_lead, *args)
    torch.testing.assert_close(torch.tensor(got.numpy()).reshape(want.shape), want)
    # The source's limbs land whole: scatter the positions of both the same way.
    marks = getattr(torch, name)(positions(shape), positions(src_shape) + 10 ** 6, *args).reshape(-1)
    rows, src_rows, x_rows = limbs_of(got), limbs_of(src), limbs_of(x)
    for i, m in enumerate(marks.tolist()):
        assert rows[i] == (src_rows[m - 10 ** 6] if m >= 10 ** 6 else x_rows[m])


@pytest.mark.parametrize("call", [
    lambda m, x, z: m.as_strided(x, (5, 5), (1, 1), 10),          # past the storage
    lambda m, x, z: m.as_strided(x, (2,), (-1,)),
    lambda m, x, z: x.unfold(1, 9, 1),
    lambda m, x, z: x.unfold(1, 2, 0),
    lambda m, x, z: m.select(x, 2, 0),
    lambda m, x, z: m.select(x, 0, 3),
    lambda m, x, z: m.select_scatter(x, z(5), 0, 0),
    lambda m, x, z: m.slice_scatter(x, z(3, 1), 1, 0, 4, 0),
    lambda m, x, z: m.diagonal_scatter(x, z(2), 0),
    lambda m, x, z: x.sum_to_size(2, 4),
    lambda m, x, z: z(3).H,
])
def test_bad_positions_raise_pytorchs_exception_types(call):
    x, lead = deep((3, 4))
    with pytest.raises(Exception) as want:
        call(torch, lead, lambda *s: torch.zeros(*s, dtype=torch.float64))
    with pytest.raises(want.type):
        call(zel, x, zel.zeros)


def test_sum_to_size_sums_the_broadcast_dimensions():
    x, lead = deep((2, 3, 4))
    for size in [(3, 1), (1, 4), (2, 1, 4), (), (1,), (2, 3, 4)]:
        got = x.sum_to_size(size)
        want = lead.sum_to_size(size)
        assert tuple(got.shape) == tuple(want.shape)
        torch.testing.assert_close(torch.tensor(got.numpy()).reshape(want.shape), want, rtol=1e-12, atol=1e-12)


def test_copy_names_return_new_tensors_and_take_out():
    x, _ = deep((2, 3))
    y = zel.alias_copy(x)
    assert y is not x and same_rows(limbs_of(y), limbs_of(x))
    out = zel.zeros(3, 2)
    assert zel.t_copy(x, out=out) is out and same_rows(limbs_of(out), limbs_of(x.t()))
    assert [tuple(p.shape) for p in zel.unbind_copy(x, 1)] == [(2,)] * 3
    assert [tuple(p.shape) for p in zel.unsafe_split(x, 2, 1)] == [(2, 2), (2, 1)]
    assert len(zel.unsafe_chunk(x, 2)) == 2


def test_fill_keeps_the_values_limbs_and_sign():
    x, _ = deep((2, 2))
    v, _ = deep((), seed=5)
    got = zel.fill(x, v)
    assert same_rows(limbs_of(got), limbs_of(v) * 4)
    assert str(limbs_of(zel.fill(x, -0.0))[0][0]) == "-0.0"
    with pytest.raises(RuntimeError, match="0-dimension"):
        zel.fill(x, zel.ones(2))


def test_resize_keeps_the_leading_elements_in_order():
    x, _ = deep((2, 3))
    rows = limbs_of(x)
    assert x.resize_(2, 2) is x
    assert tuple(x.shape) == (2, 2) and same_rows(limbs_of(x), rows[:4])
    x.resize_((3, 3))
    assert same_rows(limbs_of(x)[:4], rows[:4]) and limbs_of(x)[4:] == [[0.0] * 8] * 5
    x.resize_as_(zel.zeros(1))
    assert tuple(x.shape) == (1,)
    with pytest.raises(RuntimeError, match="require grad"):
        zel.ones(2, requires_grad=True).resize_(3)
    with pytest.raises(RuntimeError):
        x.resize_(-1)


def test_resize_moves_the_version_on():
    x = zel.ones(3, requires_grad=True)
    y = x * 1.0
    z = y * y                 # saves y
    y.detach_()               # a tensor that no longer requires grad
    y.resize_(3)
    with pytest.raises(RuntimeError, match="modified by an inplace operation"):
        z.sum().backward()


def test_narrow_integer_conversions_wrap_as_pytorch():
    lead = torch.tensor([-5.7, 300.2, 1e10, -129.0, 0.9], dtype=torch.float64)
    x = zel.tensor(lead)
    for name in ("short", "char", "byte"):
        got, want = getattr(x, name)(), getattr(lead, name)()
        assert got.dtype == want.dtype
        # Truncation toward zero, then the two's-complement wrap.
        assert torch.equal(got, lead.to(torch.int64).to(want.dtype))
    with pytest.raises(RuntimeError):
        zel.tensor([float("nan")]).byte()


def test_half_and_bfloat16_keep_the_limbs():
    x, _ = deep((3,))
    for name in ("half", "bfloat16"):
        assert same_rows(limbs_of(getattr(x, name)()), limbs_of(x))


def test_gradients_of_the_gathers_and_scatters():
    a = zel.tensor(torch.randn(3, 4, dtype=torch.float64)).requires_grad_()
    s = zel.tensor(torch.randn(4, dtype=torch.float64)).requires_grad_()
    for fn, inputs in [(lambda t: zel.as_strided(t, (2, 3), (1, 2), 1), [a]),
                       (lambda t: t.unfold(1, 2, 1), [a]),
                       (lambda t: t.mH, [a]),
                       (lambda t, u: zel.select_scatter(t, u, 0, 1), [a, s]),
                       (lambda t: t.sum_to_size(1, 4), [a])]:
        assert zel.autograd.gradcheck(fn, inputs, eps=2.0 ** -40, atol=1e-18, rtol=1e-18)
