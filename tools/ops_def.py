"""Reads the operation declarations (csrc/ops/*.def) for the tools that
generate from them and for the tests that check against them."""
import os
import re
from typing import List, NamedTuple

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
POINTWISE_DEF = os.path.join(ROOT, "csrc", "ops", "pointwise.def")

_ROW = re.compile(r"^(ZEL_UNARY|ZEL_BINARY)\((.*)\)\s*$")


class PointwiseOp(NamedTuple):
    name: str
    arity: int
    kind: str
    kernel: str
    grain: str
    module_function: bool
    special: bool
    doc: str


def _split(args: str, fields: int) -> List[str]:
    """The first `fields` - 1 comma-separated fields, then the quoted docstring."""
    head = args.split(",", fields - 1)
    if len(head) != fields:
        raise ValueError("expected %d fields in %r" % (fields, args))
    doc = head[-1].strip()
    if not (doc.startswith('"') and doc.endswith('"')):
        raise ValueError("the docstring is the last field, quoted: %r" % args)
    return [h.strip() for h in head[:-1]] + [doc[1:-1].replace('\\"', '"')]


def _names(column: str):
    """(module_function, special) of a `names` column such as "Function | Special"."""
    flags = {f.strip() for f in column.split("|")}
    unknown = flags - {"Method", "Function", "Special"}
    if unknown:
        raise ValueError("unknown names %s in %r" % (sorted(unknown), column))
    return "Function" in flags, "Special" in flags


def pointwise_ops(path: str = POINTWISE_DEF) -> List[PointwiseOp]:
    ops = []
    with open(path) as f:
        for line in f:
            m = _ROW.match(line.strip())
            if not m:
                continue
            name, kind, kernel, grain, names, doc = _split(m.group(2), 6)
            arity = 1 if m.group(1) == "ZEL_UNARY" else 2
            ops.append(PointwiseOp(name, arity, kind, kernel, grain, *_names(names), doc))
    return ops
