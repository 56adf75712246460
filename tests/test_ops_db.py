"""Every declared element-wise operation against its reference in ops_db.py,
and the declarations themselves: the rows of csrc/ops/pointwise.def, the
operations the module exports, the entries of ops_db.py and the generated
stubs name the same operations."""
import math
import os
import random
import subprocess
import sys

import mpmath as mp
import pytest

from conftest import from_rows, limbs_of, same_bits
from ops_db import OPS, function_of
from varnel.zel import zel

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tools"))
from ops_def import pointwise_ops  # noqa: E402

DECLARED = {name: (arity, module, special, doc) for name, arity, module, special, doc, *_ in zel._pointwise_ops}
DERIVATIVES = {row[0]: row[6] for row in zel._pointwise_ops}


def operand_rows(interval, n, rng):
    """n elements in the interval (log-uniform when it spans decades), with
    lower limbs in use."""
    lo, hi = interval
    rows = []
    for _ in range(n):
        if lo > 0 and hi / lo > 1e3:
            x = math.exp(rng.uniform(math.log(lo), math.log(hi)))
        else:
            x = rng.uniform(lo, hi)
        small = x * 2.0 ** -53 * rng.uniform(-1, 1)
        rows.append([x, small, small * 2.0 ** -53 * rng.uniform(-1, 1)] + [0.0] * 5)
    return rows


def value(row):
    return mp.fsum(mp.mpf(v) for v in row)


def call(name, arity, rows):
    args = [from_rows(r) for r in rows]
    return limbs_of(getattr(zel, name)(*args) if DECLARED[name][1] else getattr(args[0], name)(*args[1:]))


class TestDeclarations:
    def test_module_exports_the_rows_of_the_declaration_file(self):
        rows = pointwise_ops()
        assert [op.name for op in rows] == [name for name, *_ in zel._pointwise_ops]
        for op in rows:
            assert DECLARED[op.name] == (op.arity, op.module_function, op.special, op.doc)
            assert DERIVATIVES[op.name] == op.derivatives

    def test_every_declared_operation_has_a_reference(self):
        missing = sorted(set(DECLARED) - set(OPS))
        assert not missing, "declared operations without an entry in tests/ops_db.py: %s" % missing
        assert not sorted(set(OPS) - set(DECLARED)), "entries for operations nobody declares"

    @pytest.mark.parametrize("name", sorted(OPS))
    def test_bindings_follow_the_declaration(self, name):
        arity, module_function, special, doc = DECLARED[name]
        assert getattr(zel.Tensor, name).__doc__.strip().endswith(doc)
        assert hasattr(zel, name) == module_function or name == "reciprocal"
        assert (getattr(zel.special, name, None) is getattr(zel, name, None)) == special
        assert all(len(d) == arity for d in OPS[name].domains)

    def test_generated_stubs_are_fresh(self):
        check = subprocess.run([sys.executable, os.path.join(ROOT, "tools", "gen_stubs.py"), "--check"],
                               capture_output=True, text=True)
        assert check.returncode == 0, check.stderr


@pytest.mark.parametrize("name", sorted(OPS))
def test_against_reference(name):
    entry = OPS[name]
    arity = DECLARED[name][0]
    rng = random.Random(name)
    for domain in entry.domains:
        rows = [operand_rows(interval, 12, rng) for interval in domain]
        got = call(name, arity, rows)
        for i, g in enumerate(got):
            operands = [r[i] for r in rows]
            if entry.kind == "exact":
                want = entry.reference(*operands)
                assert same_bits(g, want), (name, operands, g, want)
                continue
            with mp.workprec(300):
                want = entry.reference(*[value(r) for r in operands])
                err = abs(value(g) - want)
                if entry.bits is None or want == 0:
                    assert err == 0, (name, operands, g)
                else:
                    # Below 2^-974 the lowest limb is subnormal: no more than 2^-1074 absolute.
                    bound = max(abs(want) * mp.mpf(2) ** -entry.bits, mp.mpf(2) ** -1074)
                    assert err <= bound, (name, operands, float(err / abs(want)))


# The derivative columns, evaluated on mpmath numbers against numerical
# differentiation of the operation's mathematical function.
FORMULA_NAMES = {
    "grad": None, "self": None, "other": None, "result": None,
    "PI": mp.pi, "LN2": mp.ln2, "LN10": mp.ln10,
    "sin": mp.sin, "cos": mp.cos, "cospi": mp.cospi, "tanh": mp.tanh, "sinh": mp.sinh, "cosh": mp.cosh,
    "exp": mp.exp,
    "exp2": lambda x: mp.mpf(2) ** x, "log": mp.log, "sqrt": mp.sqrt, "rsqrt": lambda x: 1 / mp.sqrt(x),
    "sigmoid": lambda x: 1 / (1 + mp.exp(-x)), "sign": mp.sign, "trunc": lambda x: mp.mpf(int(x)),
    "floor": mp.floor, "zeros_like": lambda x: mp.mpf(0), "where": lambda c, a, b: a if c else b,
    "eq": lambda a, b: a == b, "gt": lambda a, b: a > b, "lt": lambda a, b: a < b,
    "ge": lambda a, b: a >= b, "le": lambda a, b: a <= b, "isnan": mp.isnan,
    "logical_or": lambda a, b: a or b, "logical_and": lambda a, b: a and b, "logical_not": lambda a: not a,
}


@pytest.mark.parametrize("name", sorted(DERIVATIVES))
def test_derivative_formulas(name):
    import ast
    arity = DECLARED[name][0]
    formulas = DERIVATIVES[name]
    assert len(formulas) == arity
    allowed = set(FORMULA_NAMES) - ({"other"} if arity == 1 else set())
    for formula in formulas:
        used = {n.id for n in ast.walk(ast.parse(formula, mode="eval")) if isinstance(n, ast.Name)}
        assert used <= allowed, (name, sorted(used - allowed))
    entry = OPS[name]
    f = function_of(name)
    rng = random.Random("d/dx " + name)
    with mp.workprec(400):
        for domain in entry.domains[:1]:
            for _ in range(4):
                point = [mp.mpf(rng.uniform(lo + (hi - lo) / 8, hi - (hi - lo) / 8)) for lo, hi in domain]
                env = dict(FORMULA_NAMES, grad=mp.mpf(3), self=point[0], result=f(*point))
                if arity == 2:
                    env["other"] = point[1]
                for i, formula in enumerate(formulas):
                    got = eval(formula, {"__builtins__": {}}, env)
                    step = abs(point[i]) * mp.mpf(10) ** -40
                    want = 3 * mp.diff(lambda t: f(*(point[:i] + [t] + point[i + 1:])), point[i], h=step)
                    assert abs(got - want) <= mp.mpf(10) ** -60 * max(1, abs(want)), (name, i, point, got, want)


# Where the defined results differ from PyTorch at special values, on purpose.
SPECIAL_VALUE_DIFFERENCES = {
    ("relu", (math.nan,)),  # the defined relu compares the approximation with 0
    ("reciprocal", (-0.0,)),  # the defined Newton reciprocal gives +inf
    ("sign", (math.nan,)),  # NaN for NaN (PyTorch 1.13 gives 0)
    ("sgn", (math.nan,)),
    # The defined functions give +0 for -0 (abs keeps the -0 row).
    ("abs", (-0.0,)), ("ceil", (-0.0,)), ("floor", (-0.0,)), ("sin", (-0.0,)),
    ("sqrt", (-0.0,)), ("tan", (-0.0,)), ("tanh", (-0.0,)),
}
SPECIALS = [math.nan, math.inf, -math.inf, 0.0, -0.0]


def _torch_function(name):
    import torch
    for namespace in (torch, torch.special, torch.nn.functional):
        if hasattr(namespace, name):
            return getattr(namespace, name)
    return None


def _same_value(got, want):
    if math.isnan(want):
        return math.isnan(got)
    if want == 0.0 and got == 0.0:
        return math.copysign(1.0, want) == math.copysign(1.0, got)
    return got == want or (math.isfinite(want) and abs(got - want) <= 1e-13 * abs(want))


@pytest.mark.parametrize("name", sorted(DECLARED))
def test_special_values_as_pytorch(name):
    """NaN, infinities and signed zeros (with plain values beside them for two
    operands) give PyTorch's float64 answer."""
    import torch
    f = _torch_function(name)
    if f is None:
        pytest.skip("PyTorch has no %s" % name)
    arity = DECLARED[name][0]
    if arity == 1:
        cases = [(v,) for v in SPECIALS]
    else:
        values = SPECIALS + [1.0, -1.0, 2.5]
        cases = [(a, b) for a in values for b in values if a in SPECIALS or b in SPECIALS
                 or math.isnan(a) or math.isnan(b)]
    wrong = []
    for args in cases:
        if (name, args) in SPECIAL_VALUE_DIFFERENCES:
            continue
        want = f(*[torch.tensor(a, dtype=torch.float64) for a in args]).item()
        operands = [zel.tensor(a) for a in args]
        result = getattr(operands[0], name)(*operands[1:])
        got = result.item()
        if got == 0.0:
            got = result.torch_limbs().reshape(-1)[0].item()  # item() sums the limbs: +0 for -0
        if not _same_value(got, want):
            wrong.append((args, got, want))
    assert not wrong, wrong
