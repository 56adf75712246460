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


def pointwise_ops(path: str = POINTWISE_DEF) -> List[PointwiseOp]:
    ops = []
    with open(path) as f:
        for line in f:
            m = _ROW.match(line.strip())
            if not m:
                continue
            if m.group(1) == "ZEL_UNARY":
                name, kind, kernel, grain, module, doc = _split(m.group(2), 6)
                ops.append(PointwiseOp(name, 1, kind, kernel, grain, module == "true", doc))
            else:
                name, kind, kernel, grain, doc = _split(m.group(2), 5)
                ops.append(PointwiseOp(name, 2, kind, kernel, grain, True, doc))
    return ops
