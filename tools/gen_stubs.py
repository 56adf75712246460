"""Writes src/varnel/zel/zel.pyi: the hand-written src/varnel/zel/zel.pyi.in
with its marked sections filled from the operation declarations
(csrc/ops/pointwise.def): a Tensor method per row, a module function and a
zel.special name per row marked as one. setup.py runs it on every build, so
zel.pyi is a build output (not in git) and a new row needs no edit of the
stubs.

    python3 tools/gen_stubs.py          # write zel.pyi
    python3 tools/gen_stubs.py --check  # exit 1 when zel.pyi is missing or stale
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ops_def import ROOT, pointwise_ops  # noqa: E402

STUB = os.path.join(ROOT, "src", "varnel", "zel", "zel.pyi")
TEMPLATE = STUB + ".in"
BEGIN = "# --- generated from csrc/ops/pointwise.def by tools/gen_stubs.py: {} ---"
END = "# --- end of the generated {} ---"


def method_lines():
    for op in pointwise_ops():
        other = ", other: _Operand" if op.arity == 2 else ""
        yield "    def %s(self%s) -> Tensor: ..." % (op.name, other)


def function_lines():
    for op in pointwise_ops():
        if op.module_function:
            other = ", other: _Operand" if op.arity == 2 else ""
            yield "def %s(input: Tensor%s) -> Tensor: ..." % (op.name, other)


def special_lines():
    for op in pointwise_ops():
        if op.special:
            other = ", other: _Operand" if op.arity == 2 else ""
            yield "    @staticmethod"
            yield "    def %s(input: Tensor%s) -> Tensor: ..." % (op.name, other)


def render(text):
    sections = (("methods", "    ", method_lines), ("functions", "", function_lines),
                ("special", "    ", special_lines))
    for section, indent, lines in sections:
        begin, end = indent + BEGIN.format(section), indent + END.format(section)
        start = text.index(begin) + len(begin)
        stop = text.index(end, start)
        text = text[:start] + "\n" + "\n".join(lines()) + "\n" + text[stop:]
    return text


def write():
    """Writes zel.pyi when its content changes (a rebuild keeps its time stamp otherwise)."""
    with open(TEMPLATE) as f:
        new = render(f.read())
    old = None
    if os.path.exists(STUB):
        with open(STUB) as f:
            old = f.read()
    if new != old:
        with open(STUB, "w") as f:
            f.write(new)


def main():
    if "--check" in sys.argv:
        with open(TEMPLATE) as f:
            new = render(f.read())
        old = open(STUB).read() if os.path.exists(STUB) else None
        if new != old:
            sys.exit("zel.pyi is missing or older than the declarations: rebuild, or run "
                     "python3 tools/gen_stubs.py")
        return
    write()


if __name__ == "__main__":
    main()
