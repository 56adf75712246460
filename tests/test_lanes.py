"""The exact shortcuts of the limb kernels: early exit on a repeated state
and eight elements side by side in AVX2 lanes must give the bytes of the
plain loops. tests/cpp/lanes_check.cpp does the comparisons on raw rows
(every function, rows for every branch); here it is built with the
project's flags and run."""
import math
import os
import random
import shutil
import subprocess

import pytest

from conftest import from_rows, limbs_of, random_rows, same_bits
from varnel.zel import zel

Tensor = zel.Tensor

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# -O1: the checks compare algorithms, lane against scalar, at one setting;
# -O2 took four of the twelve minutes of a cold `make test` to compile.
FLAGS = ["-O1", "-std=c++17", "-ffp-contract=off", "-fno-fast-math", "-Wall", "-Wextra", "-Werror"]


@pytest.fixture(scope="module")
def lanes_check(tmp_path_factory):
    cxx = shutil.which("g++")
    if cxx is None:
        pytest.skip("g++ not installed")
    # The check takes minutes to compile: through ccache, with paths relative
    # to the checkout, a second run or a second clone reuses the object.
    ccache = "/usr/lib/ccache/g++"
    compiler = ccache if os.access(ccache, os.X_OK) else cxx
    work = tmp_path_factory.mktemp("lanes")
    obj, exe = str(work / "lanes_check.o"), str(work / "lanes_check")
    env = dict(os.environ, CCACHE_BASEDIR=ROOT)
    subprocess.run([compiler, *FLAGS, "-I", "csrc", "-c", os.path.join("tests", "cpp", "lanes_check.cpp"), "-o", obj],
                   cwd=ROOT, env=env, check=True, capture_output=True, text=True)
    subprocess.run([cxx, obj, "-o", exe], check=True, capture_output=True, text=True)
    return exe


def test_early_exit_and_lanes_keep_every_byte(lanes_check):
    run = subprocess.run([lanes_check], capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
    out = run.stdout
    # Each family was exercised: rows that never repeat, rows that repeat
    # after one step, and cycles longer than a fixed point.
    for name in ("reciprocal", "sqrt", "log"):
        line = next(l for l in out.splitlines() if l.startswith(name + ":"))
        assert " 0 without" not in line and " 0 repeat after" not in line, line
    assert "known cycles: 0 mismatches" in out
    # The exp series summed in four limbs: same bytes, and the eight-limb
    # fallback was reached.
    assert "exp short sum: 0 mismatches" in out and ", 0 fallbacks" not in out
    if "lane checks skipped" not in out:
        names = ["reciprocal", "sqrt", "exp", "log", "sin", "cos", "tan", "tanh", "sigmoid", "silu",
                 "gelu", "pow_float", "pow_positive"]
        for name in names:
            assert f"lanes {name}: " in out and f"lanes {name}: 0 rows" not in out
        # Tree levels four pairs at a time: every kind of leaf and pairing,
        # with pairs whose result is not finite redone by the scalar code.
        for name in ("sum", "sum, odd range", "sum, stride 3", "prod", "squares", "abs", "deviations", "dot",
                     "sum, in place", "prod, in place"):
            line = next(l for l in out.splitlines() if l.startswith(f"tree {name}: "))
            assert line.endswith(" 0 mismatches") and " 0 not finite" not in line, line
        assert "tree small levels: 0 mismatches" in out
        for name in ("add", "sub", "mul"):
            line = next(l for l in out.splitlines() if l.startswith(f"pairs {name}: "))
            assert line.endswith(" 0 mismatches") and " 0 not finite" not in line, line
        assert out.rstrip().endswith("all agree")


def test_no_fused_multiply_add_in_the_lanes(lanes_check):
    objdump = shutil.which("objdump")
    if objdump is None:
        pytest.skip("objdump not installed")
    code = subprocess.run([objdump, "-d", lanes_check], check=True, capture_output=True, text=True).stdout
    assert "ymm" in code  # the AVX2 kernels are there
    fused = [l for l in code.splitlines() if any(op in l for op in ("vfmadd", "vfmsub", "vfnmadd", "vfnmsub"))]
    assert not fused, fused[:5]


# Through the module: a long tensor goes through the lanes in groups of eight
# (where the processor has AVX2), a one-element tensor through the scalar
# code; mixed groups hold special values, huge and renormalised rows.
SPECIAL = [0.0, -0.0, math.inf, -math.inf, math.nan, 1e-310, 5e-324, 2.0 ** 1000, -(2.0 ** 1000),
           750.0, -750.0, 400.0, -400.0, 2.0 ** -1000]


def mixed_rows(seed, n):
    rng = random.Random(seed)
    rows = random_rows(rng, n)
    for i in range(0, n, 3):
        rows[i] = [rng.choice(SPECIAL)] + [0.0] * 7
    for i in range(1, n, 7):
        rows[i] = [0.0, rng.uniform(0.5, 2.0)] + [0.0] * 6  # needs renormalising
    return rows


@pytest.mark.parametrize("name", ["reciprocal", "sqrt", "exp", "log", "sin", "cos", "tan", "tanh",
                                  "sigmoid", "silu", "gelu", "pow_float", "pow_int", "div"])
def test_batched_equals_one_at_a_time(name):
    rows = mixed_rows(sum(map(ord, name)), 203)
    t = from_rows(rows)
    call = {
        "pow_float": lambda x: x ** 1.37,
        "pow_int": lambda x: x ** -3,
        "div": lambda x: Tensor(1.5) / x,
    }.get(name, lambda x: getattr(x, name)())
    batched = limbs_of(call(t))
    for i, row in enumerate(rows):
        assert same_bits(batched[i], limbs_of(call(from_rows([row])))[0]), (name, row)


@pytest.mark.parametrize("sym", ["+", "-", "*"])
def test_element_wise_pairs_batched_equal_one_at_a_time(sym):
    rows = mixed_rows(ord(sym), 203)
    other = rows[::-1]
    op = {"+": lambda x, y: x + y, "-": lambda x, y: x - y, "*": lambda x, y: x * y}[sym]
    batched = limbs_of(op(from_rows(rows), from_rows(other)))
    # A broadcast operand takes the one-at-a-time path.
    broadcast = limbs_of(op(from_rows(rows, (203, 1)), from_rows(other, (203, 1)).reshape(1, 203)))
    for i, (a, b) in enumerate(zip(rows, other)):
        one = limbs_of(op(from_rows([a]), from_rows([b])))[0]
        assert same_bits(batched[i], one), (sym, a, b)
        assert same_bits(broadcast[i * 203 + i], one), (sym, a, b)
