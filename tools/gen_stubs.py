"""Writes the generated sections of src/varnel/zel/zel.pyi from the
operation declarations (csrc/ops/pointwise.def): a Tensor method per row,
a module function per row marked as one. Everything outside the markers is
written by hand.

    python3 tools/gen_stubs.py          # rewrite the sections
    python3 tools/gen_stubs.py --check  # exit 1 when they are stale
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ops_def import ROOT, pointwise_ops  # noqa: E402

STUB = os.path.join(ROOT, "src", "varnel", "zel", "zel.pyi")
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


def render(text):
    for section, indent, lines in (("methods", "    ", method_lines), ("functions", "", function_lines)):
        begin, end = indent + BEGIN.format(section), indent + END.format(section)
        start = text.index(begin) + len(begin)
        stop = text.index(end, start)
        text = text[:start] + "\n" + "\n".join(lines()) + "\n" + text[stop:]
    return text


def main():
    with open(STUB) as f:
        old = f.read()
    new = render(old)
    if "--check" in sys.argv:
        if new != old:
            sys.exit("zel.pyi: the generated sections are stale; run python3 tools/gen_stubs.py")
        return
    if new != old:
        with open(STUB, "w") as f:
            f.write(new)


if __name__ == "__main__":
    main()
