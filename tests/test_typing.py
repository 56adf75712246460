"""The typing stubs and docstrings keep up with the compiled modules."""
import ast
import os
import shutil
import subprocess
import sys

import pytest

from varnel.zel import tarsk, zel

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE = os.path.join(ROOT, "src", "varnel", "zel")
EXAMPLE = os.path.join(ROOT, "docs", "example_typed.py")

# Class attributes that are not members a caller uses.
# Attributes every class has, and pybind11 3's cross-module conduit.
CLASS_PLUMBING = {"__doc__", "__module__", "__slots__", "__dict__", "__weakref__", "_pybind11_conduit_v1_"}


def stub_tree(name):
    with open(os.path.join(PACKAGE, name + ".pyi")) as f:
        return ast.parse(f.read())


def bound_names(body, imports=True):
    """Names a stub body binds: defs, classes, annotated or assigned names and
    (with `imports`) imported names."""
    names = set()
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets if isinstance(t, ast.Name))
        elif imports and isinstance(node, (ast.Import, ast.ImportFrom)):
            names.update(a.asname or a.name for a in node.names)
    return names


def stub_class(tree, name):
    return next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == name)


def module_attrs(mod):
    return {n for n in dir(mod) if not (n.startswith("__") and n.endswith("__"))}


@pytest.mark.parametrize("mod", [zel, tarsk], ids=["zel", "tarsk"])
def test_stub_names_every_module_attribute(mod):
    stubbed = bound_names(stub_tree(mod.__name__.rsplit(".", 1)[1]).body)
    missing = sorted(module_attrs(mod) - stubbed)
    assert not missing, f"{mod.__name__}.pyi lacks {missing}"
    defined = bound_names(stub_tree(mod.__name__.rsplit(".", 1)[1]).body, imports=False)
    extra = sorted(n for n in defined - module_attrs(mod) if not n.startswith("_"))
    assert not extra, f"{mod.__name__}.pyi names what the module lacks: {extra}"


@pytest.mark.parametrize("mod", [zel, tarsk], ids=["zel", "tarsk"])
def test_stub_all_matches_module(mod):
    stubbed = bound_names(stub_tree(mod.__name__.rsplit(".", 1)[1]).body)
    assert "__all__" in stubbed
    assert set(mod.__all__) <= stubbed


def test_stub_names_every_tensor_member():
    members = set(vars(zel.Tensor)) - CLASS_PLUMBING
    stubbed = bound_names(stub_class(stub_tree("zel"), "Tensor").body)
    missing = sorted(members - stubbed)
    assert not missing, f"zel.pyi's Tensor lacks {missing}"
    extra = sorted(stubbed - members)
    assert not extra, f"zel.pyi's Tensor names what the class lacks: {extra}"


def test_stub_properties_are_properties():
    cls = stub_class(stub_tree("zel"), "Tensor")
    stub_props = {
        f.name
        for f in cls.body
        if isinstance(f, ast.FunctionDef) and any(getattr(d, "id", None) == "property" for d in f.decorator_list)
    }
    real_props = {n for n, v in vars(zel.Tensor).items() if isinstance(v, property) and not n.startswith("_")}
    stub_props = {n for n in stub_props if not n.startswith("_")}
    assert stub_props == real_props == {"shape", "ndim", "numel", "device", "dtype", "T", "mT", "H", "mH", "requires_grad",
                                        "grad", "is_leaf", "grad_fn", "retains_grad", "output_nr", "real", "imag"}


def description(obj):
    """The docstring without pybind11's leading signature line."""
    doc = (getattr(obj, "__doc__", None) or "").strip()
    name = getattr(obj, "__name__", None)
    if name and doc.startswith(name + "("):
        doc = doc.split("\n", 1)[1] if "\n" in doc else ""
    return doc.strip()


@pytest.mark.parametrize("mod", [zel, tarsk], ids=["zel", "tarsk"])
def test_public_callables_have_docstrings(mod):
    undocumented = [
        n for n in dir(mod) if not n.startswith("_") and callable(getattr(mod, n)) and not description(getattr(mod, n))
    ]
    assert not undocumented


def test_tensor_members_have_docstrings():
    undocumented = [
        n
        for n, v in vars(zel.Tensor).items()
        if not n.startswith("_") and not description(v)
    ]
    assert not undocumented
    assert description(zel.cuda.is_available)


def test_defined_docstrings():
    assert zel.__doc__.startswith("ZEL - KALDEN Error GPU Arithmetic")
    assert zel.Tensor.__doc__.startswith("KALDEN Tensor - exact arithmetic with no floating point drift.")
    assert tarsk.__doc__.startswith("ZEL Linear Algebra - KALDEN Precision")
    expected = [
        (zel.tensor, "Create a tensor from data."),
        (zel.Tensor.item, "Get scalar value."),
        (zel.Tensor.value, "Get float approximation of first element."),
        (zel.Tensor.tolist, "Convert to nested Python list."),
        (zel.Tensor.numpy, "Convert to numpy array (collapses to FP64, loses extra precision)."),
        (zel.Tensor.torch_limbs, "Export ALL limbs as PyTorch tensor - PRESERVES FULL PRECISION."),
        (zel.Tensor.numpy_limbs, "Export ALL limbs as numpy array - PRESERVES FULL PRECISION."),
        (zel.Tensor.sha256, "Compute SHA256 hash of exact limb values for reproducibility verification."),
        (zel.Tensor.fingerprint, "Short 8-character fingerprint for quick comparison."),
        (zel.Tensor.verify, "Verify this tensor matches an expected SHA256 hash."),
        (zel.from_limbs, "Create ZEL tensor from raw limbs array - PRESERVES FULL PRECISION."),
        (zel.Tensor.reshape, "Reshape tensor."),
        (zel.Tensor.flatten, "Flatten dimensions."),
        (zel.Tensor.squeeze, "Remove dimensions of size 1."),
        (zel.Tensor.unsqueeze, "Add dimension of size 1."),
        (zel.Tensor.expand, "Expand tensor to new shape."),
        (zel.Tensor.T, "Matrix transpose."),
        (zel.Tensor.transpose, "Transpose two dimensions."),
        (zel.permute, "Permute tensor dimensions."),
        (zel.cat, "Concatenate tensors along dimension."),
        (zel.stack, "Stack tensors along new dimension."),
        (zel.split, "Split tensor into chunks."),
        (zel.chunk, "Split tensor into number of chunks."),
        (zel.repeat, "Repeat tensor along dimensions."),
        (zel.Tensor.__getitem__, "Index into tensor."),
        (zel.Tensor.__setitem__, "Set values in tensor."),
        (zel.rand, "Create tensor with random uniform [0,1) values."),
        (zel.randn, "Create tensor with random normal values."),
        (zel.get_rng_state, "Get current RNG state for later restoration."),
        (zel.set_rng_state, "Restore RNG state from get_rng_state()."),
        (zel.manual_seed, "Set random seed for reproducible results."),
        (zel.Tensor._two_sum, "TwoSum: a + b = s + e EXACTLY."),
        (zel.Tensor._two_product, "TwoProduct: a * b = p + e EXACTLY using Veltkamp split."),
        (zel.Tensor._collapse_limbs, "Collapse limbs to single value, handling inf/nan in limb 0."),
        (zel.Tensor._broadcast, "Broadcast two data tensors to compatible shapes."),
        (zel.Tensor._broadcast_shape, "Compute broadcast output shape."),
        (zel.Tensor._flatten_with_shape, "Flatten nested list and infer shape."),
        (tarsk._get, "Get element A[i,j] as scalar Tensor."),
        (tarsk._set, "Set element A[i,j] = val."),
        (tarsk._getv, "Get element A[i,j] as Python float."),
        (tarsk._setv, "Set element v[i] = val for 1D tensor."),
        (tarsk._getv1d, "Get element v[i] as scalar Tensor from 1D tensor."),
    ]
    wrong = {text: description(f) for f, text in expected
             if not description(f).startswith(text)}
    assert not wrong


def test_example_runs():
    # The example asserts the types and values its annotations promise.
    done = subprocess.run([sys.executable, EXAMPLE], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert "all checks passed" in done.stdout


@pytest.mark.skipif(shutil.which("mypy") is None, reason="mypy is not installed")
def test_example_passes_mypy_strict(tmp_path):
    config = os.path.join(ROOT, "docs", "mypy.ini")
    done = subprocess.run(
        ["mypy", "--strict", "--config-file", config, "--cache-dir", str(tmp_path), EXAMPLE],
        capture_output=True, text=True, cwd=ROOT, timeout=300,
    )
    assert done.returncode == 0, done.stdout + done.stderr


@pytest.mark.skipif(shutil.which("mypy") is None, reason="mypy is not installed")
def test_mypy_rejects_misuse(tmp_path):
    # Stubs that typed everything as Any would accept this.
    bad = tmp_path / "bad.py"
    bad.write_text(
        "from varnel.zel import zel, tarsk\n"
        "t = zel.zeros(2, 2)\n"
        "n: int = t.numel()\n"
        "s: str = t.sum()\n"
        "zel.cat((t, t))\n"
        "r: float = tarsk.matrix_rank(t, tol='x')\n"
        "t.permute('a')\n"
    )
    done = subprocess.run(
        ["mypy", "--strict", "--config-file", os.path.join(ROOT, "docs", "mypy.ini"), "--cache-dir",
         str(tmp_path / "cache"), str(bad)],
        capture_output=True, text=True, cwd=ROOT, timeout=300,
    )
    lines = {int(line.split(":")[1]) for line in done.stdout.splitlines() if line.startswith(str(bad))}
    assert lines == {3, 4, 5, 6, 7}, done.stdout
