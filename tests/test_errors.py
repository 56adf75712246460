"""Exact exception types and messages at the API boundary.

Each table row is (call, exception type, message); the type must match
exactly (not a subclass) and the message word for word, since callers and
ported PyTorch code match on them.
"""
import pickle

import numpy as np
import pytest
import torch

from varnel.zel import tarsk, zel

Tensor = zel.Tensor
TENSOR_CLS = "varnel.zel.zel.Tensor"


def vec(*xs):
    return Tensor(list(xs))


def unconstructed():
    return Tensor.__new__(Tensor)


def arg_type(name, expected, got):
    return "Argument '%s' has incorrect type (expected %s, got %s)" % (name, expected, got)


M23 = lambda: zel.zeros(2, 3)  # noqa: E731
SINGULAR = lambda: Tensor([[1.0, 2.0], [2.0, 4.0]])  # noqa: E731

ZEL_CASES = [
    # construction
    ("ctor dict", lambda: Tensor({}), TypeError, "Cannot create Tensor from <class 'dict'>"),
    ("ctor object", lambda: Tensor(object()), TypeError, "Cannot create Tensor from <class 'object'>"),
    ("tensor() dict", lambda: zel.tensor({}), TypeError, "Cannot create Tensor from <class 'dict'>"),
    ("ctor bad float item", lambda: Tensor([1.0, "a"]), ValueError, "could not convert string to float: 'a'"),
    ("ctor None item", lambda: Tensor([1.0, None]), TypeError,
     "float() argument must be a string or a real number, not 'NoneType'"),
    ("rsub str", lambda: "a" - vec(1.0), TypeError, "Cannot create Tensor from <class 'str'>"),
    ("rtruediv str", lambda: "a" / vec(1.0), TypeError, "Cannot create Tensor from <class 'str'>"),
    ("rfloordiv dict", lambda: {} // vec(1.0), TypeError, "Cannot create Tensor from <class 'dict'>"),
    ("rmod dict", lambda: {} % vec(1.0), TypeError, "Cannot create Tensor from <class 'dict'>"),
    # operators that return NotImplemented: Python's own message
    ("sub str", lambda: vec(1.0) - "a", TypeError,
     "unsupported operand type(s) for -: '%s' and 'str'" % TENSOR_CLS),
    ("mul None", lambda: vec(1.0) * None, TypeError,
     "unsupported operand type(s) for *: '%s' and 'NoneType'" % TENSOR_CLS),
    ("pow tensor", lambda: vec(1.0) ** vec(2.0), TypeError,
     "unsupported operand type(s) for ** or pow(): '%s' and '%s'" % (TENSOR_CLS, TENSOR_CLS)),
    ("lt str", lambda: vec(1.0) < "a", TypeError,
     "'<' not supported between instances of '%s' and 'str'" % TENSOR_CLS),
    # broadcasting
    ("add (2,3) (3,2)", lambda: M23() + zel.zeros(3, 2), ValueError, "Cannot broadcast (2, 3) with (3, 2)"),
    ("mul (2,) (3,)", lambda: vec(1.0, 2.0) * vec(1.0, 2.0, 3.0), ValueError, "Cannot broadcast (2,) with (3,)"),
    ("div (2,3) (2,)", lambda: M23() / vec(1.0, 2.0), ValueError, "Cannot broadcast (2, 3) with (2,)"),
    ("eq (2,) (3,)", lambda: vec(1.0, 2.0) == vec(1.0, 2.0, 3.0), ValueError, "Cannot broadcast (2,) with (3,)"),
    ("where (3,) (2,)", lambda: zel.where(torch.zeros(3, dtype=torch.bool), vec(1.0, 2.0), vec(1.0, 2.0)),
     ValueError, "Cannot broadcast (3,) with (2,)"),
    ("_broadcast_shape", lambda: Tensor._broadcast_shape((2, 3), (3, 2)), ValueError,
     "Cannot broadcast (2, 3) with (3, 2)"),
    ("_broadcast rows", lambda: Tensor._broadcast(torch.zeros(6, 8), torch.zeros(3, 8)), ValueError,
     "Cannot broadcast shapes torch.Size([6, 8]) and torch.Size([3, 8])"),
    # conversion
    ("item of 2", lambda: vec(1.0, 2.0).item(), ValueError, "item() only works on single-element tensors"),
    ("item of 0", lambda: Tensor([]).item(), ValueError, "item() only works on single-element tensors"),
    ("len 0-d", lambda: len(Tensor(2.5)), TypeError, "len() of a 0-d tensor"),
    ("float of 2", lambda: float(vec(1.0, 2.0)), ValueError,
     "only one-element tensors can be converted to Python scalars"),
    # limb import
    ("from_limbs list", lambda: zel.from_limbs([0.0] * 8), TypeError,
     "from_limbs expects numpy array or torch tensor, got <class 'list'>"),
    ("from_limbs Tensor", lambda: zel.from_limbs(Tensor(1.0)), TypeError,
     "from_limbs expects numpy array or torch tensor, got <class '%s'>" % TENSOR_CLS),
    ("from_limbs 7", lambda: zel.from_limbs(np.zeros((2, 7))), ValueError, "Last dimension must be 8, got 7"),
    ("from_limbs torch 3", lambda: zel.from_limbs(torch.zeros(3)), ValueError, "Last dimension must be 8, got 3"),
    # int and list/dict argument rules
    ("softmax dim", lambda: zel.softmax(vec(1.0), dim="0"), TypeError, arg_type("dim", "int", "str")),
    ("log_softmax dim", lambda: zel.log_softmax(vec(1.0), "0"), TypeError, arg_type("dim", "int", "str")),
    ("Tensor.softmax dim", lambda: vec(1.0).softmax(None), TypeError, arg_type("dim", "int", "NoneType")),
    ("round decimals", lambda: zel.round(vec(1.0), "2"), TypeError, arg_type("decimals", "int", "str")),
    ("Tensor.round decimals", lambda: vec(1.0).round(decimals=[2]), TypeError,
     arg_type("decimals", "int", "list")),
    ("unsqueeze dim", lambda: zel.unsqueeze(vec(1.0), "0"), TypeError, arg_type("dim", "int", "str")),
    ("chunk chunks", lambda: zel.chunk(vec(1.0), "2"), TypeError, arg_type("chunks", "int", "str")),
    ("_reduce_dim dim", lambda: M23()._reduce_dim("0", False, "sum"), TypeError, arg_type("dim", "int", "str")),
    ("_reduce_dim op", lambda: M23()._reduce_dim(0, False, 3), TypeError, arg_type("op", "str", "int")),
    ("sum dim", lambda: M23().sum(dim="0"), TypeError, arg_type("dim", "int", "str")),
    ("max dim", lambda: M23().max(dim=b"0"), TypeError, arg_type("dim", "int", "bytes")),
    ("cat tuple", lambda: zel.cat((vec(1.0),)), TypeError, arg_type("tensors", "list", "tuple")),
    ("stack tuple", lambda: zel.stack((vec(1.0),)), TypeError, arg_type("tensors", "list", "tuple")),
    ("manual_seed", lambda: zel.manual_seed("1"), TypeError, arg_type("seed", "int", "str")),
    ("set_rng_state", lambda: zel.set_rng_state([]), TypeError, arg_type("state", "dict", "list")),
    ("set_rng_state no cpu", lambda: zel.set_rng_state({}), KeyError, "'cpu'"),
    # reductions
    ("Unknown op", lambda: M23()._reduce_dim(0, False, "mean"), ValueError, "Unknown op: mean"),
    ("var n-1 = 0", lambda: zel.zeros(1, 2).var(dim=0), ZeroDivisionError, "division by zero"),
    ("std n-1 = 0", lambda: zel.std(zel.zeros(1, 2), dim=0), ZeroDivisionError, "division by zero"),
    ("norm p=0", lambda: zel.norm(vec(1.0, 2.0), p=0), ZeroDivisionError, "float division by zero"),
    # matrix products
    ("matmul 2x3 2x2", lambda: M23() @ zel.zeros(2, 2), ValueError, "Matrix shapes (2, 3) and (2, 2) incompatible"),
    ("mm 2x3 2x2", lambda: zel.mm(M23(), zel.zeros(2, 2)), ValueError,
     "Matrix shapes (2, 3) and (2, 2) incompatible"),
    ("batch sizes", lambda: zel.zeros(2, 2, 3) @ zel.zeros(3, 3, 4), ValueError, "Batch sizes 2 and 3 don't match"),
    ("bmm inner", lambda: zel.bmm(zel.zeros(2, 2, 3), zel.zeros(2, 2, 3)), ValueError,
     "Matrix shapes (2, 2, 3) and (2, 2, 3) incompatible"),
    ("vector @ matrix", lambda: vec(1.0, 2.0, 3.0) @ zel.zeros(2, 2), ValueError,
     "Matrix shapes (1, 3) and (2, 2) incompatible"),
    ("matrix @ batch", lambda: M23() @ zel.zeros(4, 2, 2), ValueError,
     "Matrix shapes (2, 3) and (2, 2) incompatible"),
    ("mv", lambda: zel.mv(M23(), vec(1.0, 2.0)), ValueError, "Matrix shapes (2, 3) and (2, 1) incompatible"),
    ("matrix @ vector", lambda: M23() @ vec(1.0, 2.0), ValueError, "Cannot broadcast (3,) with (2,)"),
    ("dot lengths", lambda: zel.dot(vec(1.0, 2.0), vec(1.0, 2.0, 3.0)), ValueError,
     "Cannot broadcast (2,) with (3,)"),
    ("matmul 0-d left", lambda: Tensor(1.0) @ vec(1.0, 2.0), NotImplementedError,
     "matmul not implemented for shapes () @ (2,)"),
    ("matmul 0-d right", lambda: zel.matmul(M23(), Tensor(1.0)), NotImplementedError,
     "matmul not implemented for shapes (2, 3) @ ()"),
    # shape operations
    ("cat []", lambda: zel.cat([]), ValueError, "cat requires at least one tensor"),
    ("stack []", lambda: zel.stack([]), ValueError, "stack requires at least one tensor"),
    # forwarding module functions call the method on what they are given
    ("sqrt float", lambda: zel.sqrt(4.0), AttributeError, "'float' object has no attribute 'sqrt'"),
    ("setitem str", lambda: vec(1.0).__setitem__(0, "a"), AttributeError, "'str' object has no attribute '_data'"),
    # module configuration: worded as for `def device(dev)`
    ("device()", lambda: zel.device(), TypeError, "device() missing 1 required positional argument: 'dev'"),
    ("device(a, b)", lambda: zel.device("cpu", "cpu"), TypeError,
     "device() takes 1 positional argument but 2 were given"),
    ("device(x=)", lambda: zel.device(x="cpu"), TypeError, "device() got an unexpected keyword argument 'x'"),
    ("device(a, dev=)", lambda: zel.device("cpu", dev="cpu"), TypeError,
     "device() got multiple values for argument 'dev'"),
]

# Errors the system leaves to the implementation: each names the operation,
# the offending value and what was expected.
ZEL_OWN_CASES = [
    ("value() of nothing", lambda: Tensor([]).value(), IndexError, "value() of a tensor with no elements"),
    ("size dim", lambda: vec(1.0).size(3), IndexError, "size(): dimension 3 out of range for shape (1,)"),
    ("verify None", lambda: vec(1.0).verify(None), TypeError, "verify expects the digest as a str, got NoneType"),
    ("from_limbs 0-d", lambda: zel.from_limbs(np.array(1.0)), IndexError,
     "from_limbs expects an array whose last axis holds the 8 limbs, got a 0-d array"),
    ("ragged", lambda: Tensor([[1.0], [1.0, 2.0]]), ValueError,
     "ragged nested sequence: item 1 has shape (2,) but item 0 has shape (1,)"),
    ("max of nothing", lambda: Tensor([]).max(), ValueError, "max(): cannot reduce a tensor with no elements"),
    ("argmin of nothing", lambda: Tensor([]).argmin(), ValueError,
     "argmin(): cannot reduce a tensor with no elements"),
    ("reshape count", lambda: vec(1.0, 2.0).reshape(3), ValueError,
     "reshape: cannot reshape tensor of shape (2,) (2 elements) into shape (3,)"),
    ("index range", lambda: vec(1.0)[3], IndexError, "index 3 is out of bounds for dimension 0 with size 1"),
    ("sum dim range", lambda: vec(1.0).sum(dim=3), IndexError,
     "Dimension out of range (expected to be in range of [-1, 0], but got 3)"),
    ("chunk 0", lambda: zel.chunk(vec(1.0), 0), ZeroDivisionError, "chunk: chunks must not be zero"),
    ("split 0", lambda: zel.split(vec(1.0), 0), ValueError, "split: split_size must be a positive integer, got 0"),
    ("matmul non-Tensor", lambda: zel.matmul(vec(1.0), 3), TypeError, "matmul(): argument 'b' must be Tensor, not int"),
    # numbers beyond the float range fail as float() does
    ("add huge int", lambda: vec(1.0) + 10**400, OverflowError, "int too large to convert to float"),
    ("mul huge int", lambda: vec(1.0) * -10**400, OverflowError, "int too large to convert to float"),
    ("div huge int", lambda: vec(1.0) / 10**400, OverflowError, "int too large to convert to float"),
    ("_two_sum huge int", lambda: Tensor._two_sum(10**400, 1.0), OverflowError, "int too large to convert to float"),
    ("_two_sum str", lambda: Tensor._two_sum(torch.zeros(1), "a"), TypeError,
     "_two_sum(): argument 'b' must be a float or a torch tensor, got str"),
    ("_broadcast 0-d", lambda: Tensor._broadcast(torch.zeros(()), torch.zeros(2, 8)), ValueError,
     "_broadcast expects limb arrays of shape (N, 8), got torch.Size([]) and torch.Size([2, 8])"),
    ("_reshape_list flat", lambda: vec(1.0)._reshape_list((1.0,), (1,)), TypeError,
     "_reshape_list(): argument 'flat' must be a list, got tuple"),
    ("_reshape_list shape", lambda: vec(1.0)._reshape_list([1.0], [1]), TypeError,
     "_reshape_list(): argument 'shape' must be a tuple of ints, got list"),
    ("_broadcast_shape list", lambda: Tensor._broadcast_shape([2], (2,)), TypeError,
     "_broadcast_shape expects two tuples, got list and tuple"),
    ("_raw list", lambda: Tensor(_raw=[0.0] * 8), TypeError,
     "Tensor(): argument '_raw' must be a torch tensor, got list"),
    ("_broadcast str", lambda: Tensor._broadcast("a", torch.zeros(2, 8)), TypeError,
     "_broadcast(): argument 'a' must be a torch tensor, got str"),
    ("_collapse_limbs str", lambda: vec(1.0)._collapse_limbs("a"), TypeError,
     "_collapse_limbs(): argument 'data' must be a torch tensor, got str"),
    ("unpickle limbs", lambda: unconstructed().__setstate__(("a", (1,), "cpu")), TypeError,
     "unpickle: expected the limbs as a torch.Tensor, got str"),
    ("unpickle state", lambda: unconstructed().__setstate__(5), TypeError,
     "unpickle: expected a state tuple (limbs, shape, device), got int"),
    ("unpickle length", lambda: unconstructed().__setstate__((1, 2)), ValueError,
     "unpickle: expected a state tuple (limbs, shape, device), got 2 items"),
    ("unpickle device", lambda: unconstructed().__setstate__((torch.zeros(1, 8, dtype=torch.float64), (1,), 3)),
     TypeError, "unpickle: expected the device as a str, got int"),
]


def _not_constructed(op):
    return "%s: expected a constructed Tensor, got one whose __init__ was never called" % op


# A Tensor whose __init__ never ran, as either operand: the message names the
# operation instead of surfacing ATen's "tensor does not have a device".
UNCONSTRUCTED_CASES = [
    ("add left", lambda: unconstructed() + vec(1.0), _not_constructed("add")),
    ("add right", lambda: vec(1.0) + unconstructed(), _not_constructed("add")),
    ("sub number", lambda: unconstructed() - 1.0, _not_constructed("sub")),
    ("rsub", lambda: 1.0 - unconstructed(), _not_constructed("sub")),
    ("mul left", lambda: unconstructed() * vec(1.0), _not_constructed("mul")),
    ("rtruediv", lambda: 2.0 / unconstructed(), _not_constructed("div")),
    ("rfloordiv", lambda: 2.0 // unconstructed(), _not_constructed("floordiv")),
    ("mod", lambda: unconstructed() % 2.0, _not_constructed("mod")),
    ("cat second", lambda: zel.cat([vec(1.0), unconstructed()]), _not_constructed("cat")),
    ("where x", lambda: zel.where(torch.ones(1, dtype=torch.bool), unconstructed(), 1.0), _not_constructed("where")),
    ("device", lambda: unconstructed().device, _not_constructed("device")),
    ("len", lambda: len(unconstructed()), _not_constructed("len")),
    ("softmax", lambda: unconstructed().softmax(0), _not_constructed("softmax")),
    ("item", lambda: unconstructed().item(), _not_constructed("item")),
    ("pickle", lambda: pickle.dumps(unconstructed()), _not_constructed("pickle")),
]


def _check(call, exc, message):
    with pytest.raises(BaseException) as info:
        call()
    assert info.type is exc, "%s raised instead of %s: %s" % (info.type.__name__, exc.__name__, info.value)
    assert str(info.value) == message


@pytest.mark.parametrize("call,exc,message", [c[1:] for c in ZEL_CASES], ids=[c[0] for c in ZEL_CASES])
def test_core_module_messages(call, exc, message):
    _check(call, exc, message)


@pytest.mark.parametrize("call,exc,message", [c[1:] for c in ZEL_OWN_CASES], ids=[c[0] for c in ZEL_OWN_CASES])
def test_core_module_messages_name_operation_and_value(call, exc, message):
    _check(call, exc, message)


@pytest.mark.parametrize("call,message", [c[1:] for c in UNCONSTRUCTED_CASES], ids=[c[0] for c in UNCONSTRUCTED_CASES])
def test_unconstructed_tensor_is_named_as_such(call, message):
    _check(call, TypeError, message)


def test_device_passes_its_argument_through():
    marker = object()
    assert zel.device(marker) is marker
    assert zel.device(dev=marker) is marker


TARSK_CASES = [
    ("inv singular", lambda: tarsk.inv(SINGULAR()), ValueError, "Singular matrix"),
    ("cond p=1 singular", lambda: tarsk.cond(SINGULAR(), p=1), ValueError, "Singular matrix"),
    ("inv 2x3", lambda: tarsk.inv(M23()), ValueError, "expected a square matrix, got shape (2, 3)"),
    ("det 2x3", lambda: tarsk.det(M23()), ValueError, "expected a square matrix, got shape (2, 3)"),
    ("solve 2x3", lambda: tarsk.solve(M23(), vec(1.0, 2.0)), ValueError,
     "expected a square matrix, got shape (2, 3)"),
    ("cholesky 2x3", lambda: tarsk.cholesky(M23()), ValueError, "expected a square matrix, got shape (2, 3)"),
    # P b is a matrix product, so a right-hand side of the wrong length
    # reports that product's shapes
    ("solve rhs", lambda: tarsk.solve(zel.eye(2), vec(1.0, 2.0, 3.0)), ValueError,
     "Matrix shapes (2, 2) and (3, 1) incompatible"),
    ("lstsq rhs", lambda: tarsk.lstsq(zel.zeros(3, 2), vec(1.0, 2.0)), ValueError,
     "Matrix shapes (2, 3) and (2, 1) incompatible"),
    ("_get i", lambda: tarsk._get(SINGULAR(), "1", 0), TypeError, arg_type("i", "int", "str")),
    ("_get j", lambda: tarsk._get(SINGULAR(), 0, None), TypeError, arg_type("j", "int", "NoneType")),
    ("_set i", lambda: tarsk._set(SINGULAR(), "1", 0, Tensor(1.0)), TypeError, arg_type("i", "int", "str")),
    ("_getv j", lambda: tarsk._getv(SINGULAR(), 0, "0"), TypeError, arg_type("j", "int", "str")),
    ("_setv i", lambda: tarsk._setv(vec(1.0), [0], Tensor(1.0)), TypeError, arg_type("i", "int", "list")),
    ("_getv1d i", lambda: tarsk._getv1d(vec(1.0), "0"), TypeError, arg_type("i", "int", "str")),
    ("norm ord=0", lambda: tarsk.norm(vec(1.0, 2.0), ord=0), ZeroDivisionError, "float division by zero"),
    ("eig max_iter", lambda: tarsk.eig(zel.eye(2), max_iter="3"), TypeError,
     "'str' object cannot be interpreted as an integer"),
]

TARSK_OWN_CASES = [
    ("lu 1-D", lambda: tarsk.lu(zel.zeros(3)), IndexError, "lu: expected a 2-D matrix, got shape (3,)"),
    ("eig 0-d", lambda: tarsk.eig(Tensor(1.0)), IndexError, "eig: expected a 2-D matrix, got shape ()"),
    ("qr 1-D", lambda: tarsk.qr(zel.zeros(3)), ValueError, "qr: expected a 2-D matrix, got shape (3,)"),
    ("svd 1-D", lambda: tarsk.svd(zel.zeros(3)), ValueError, "svd: expected a 2-D matrix, got shape (3,)"),
    ("_get range", lambda: tarsk._get(zel.zeros(2, 2), 5, 0), IndexError,
     "_get: index 5 is out of bounds for dimension 0 with size 2"),
    ("cond empty", lambda: tarsk.cond(zel.zeros(0, 0)), IndexError,
     "index 0 is out of bounds for dimension 0 with size 0"),
    ("matrix_rank tol", lambda: tarsk.matrix_rank(zel.eye(2), tol="a"), TypeError,
     "matrix_rank(): argument 'tol' must be a number, not str"),
    ("solve non-Tensor", lambda: tarsk.solve(zel.eye(2), [1.0, 2.0]), TypeError,
     "solve(): argument 'b' must be Tensor, not list"),
    ("det unconstructed", lambda: tarsk.det(unconstructed()), TypeError,
     "det(): argument 'A' is a Tensor whose __init__ was never called"),
]


@pytest.mark.parametrize("call,exc,message", [c[1:] for c in TARSK_CASES], ids=[c[0] for c in TARSK_CASES])
def test_linalg_module_messages(call, exc, message):
    _check(call, exc, message)


@pytest.mark.parametrize("call,exc,message", [c[1:] for c in TARSK_OWN_CASES], ids=[c[0] for c in TARSK_OWN_CASES])
def test_linalg_module_messages_name_operation_and_value(call, exc, message):
    _check(call, exc, message)
