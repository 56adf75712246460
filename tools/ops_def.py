"""Reads the operation declarations (csrc/ops/*.def) for the tools that
generate from them and for the tests that check against them."""
import os
import re
from typing import List, NamedTuple, Tuple

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
POINTWISE_DEF = os.path.join(ROOT, "csrc", "ops", "pointwise.def")

_ROW = re.compile(r"^(ZEL_UNARY|ZEL_BINARY)\(", re.M)
# A field: a run of adjacent string literals, or anything up to a comma.
_FIELD = re.compile(r'\s*((?:"(?:[^"\\]|\\.)*"\s*)+|[^,()"]+)\s*(,|\))')
_LITERAL = re.compile(r'"((?:[^"\\]|\\.)*)"')


class PointwiseOp(NamedTuple):
    name: str
    arity: int
    kind: str
    kernel: str
    grain: str
    module_function: bool
    special: bool
    complex: bool
    derivatives: Tuple[str, ...]  # one gradient formula per operand
    doc: str


def _fields(text: str, start: int) -> List[str]:
    """The fields of the row whose arguments begin at text[start], string
    literals joined and unquoted."""
    fields, pos = [], start
    while True:
        m = _FIELD.match(text, pos)
        if not m:
            raise ValueError("cannot read the row at %r" % text[start:start + 60])
        field = m.group(1).strip()
        if field.startswith('"'):
            field = "".join(s.replace('\\"', '"') for s in _LITERAL.findall(field))
        fields.append(field)
        pos = m.end()
        if m.group(2) == ")":
            return fields


def _names(column: str):
    """(module_function, special) of a `names` column such as "Function | Special"."""
    flags = {f.strip() for f in column.split("|")}
    unknown = flags - {"Method", "Function", "Special"}
    if unknown:
        raise ValueError("unknown names %s in %r" % (sorted(unknown), column))
    return "Function" in flags, "Special" in flags


def pointwise_ops(path: str = POINTWISE_DEF) -> List[PointwiseOp]:
    with open(path) as f:
        text = "\n".join(line for line in f.read().splitlines() if not line.lstrip().startswith("//"))
    ops = []
    for m in _ROW.finditer(text):
        arity = 1 if m.group(1) == "ZEL_UNARY" else 2
        fields = _fields(text, m.end())
        if len(fields) != 7 + arity:
            raise ValueError("expected %d fields in %s(%s)" % (7 + arity, m.group(1), fields[0]))
        name, kind, kernel, grain, names, elements = fields[:6]
        if elements not in ("Real", "Complex"):
            raise ValueError("elements is Real or Complex in %s: %r" % (name, elements))
        ops.append(PointwiseOp(name, arity, kind, kernel, grain, *_names(names), elements == "Complex",
                               tuple(fields[6:6 + arity]), fields[-1]))
    return ops
