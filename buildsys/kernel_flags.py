"""Compiler flags for the limb kernels: the extensions and the speed
benchmark build with these, so the benchmark measures what the library runs.

The order of float64 operations is part of every result: never contract
a*b+c into an FMA (-ffp-contract=off), never reassociate (no fast-math).
The rest changes no operation, only how GCC lays them out. An element of
AVX2 lanes is eight 256-bit limbs, too large for GCC's default limits, so:
- scalarise aggregates up to 1 KiB (rows stay in registers instead of being
  block-copied through the stack);
- unroll fixed-count loops of up to 1000 instructions completely (the exp
  series: its per-term constants fold);
- schedule before register allocation, aware of register pressure.
Measured on one thread at -O3, with the four-limb exp sum (ns per element,
default flags / these):
exp 198 / 105, log 2484 / 1590, tanh 374 / 240, reciprocal 47 / 39, sqrt
434 / 345, sin 99 / 81.
"""

ARITHMETIC = ["-ffp-contract=off", "-fno-fast-math"]
LAYOUT = [
    "--param=sra-max-scalarization-size-Ospeed=1024",
    "--param=max-completely-peeled-insns=1000",
    "-fschedule-insns",
    "-fsched-pressure",
]
KERNEL_FLAGS = ARITHMETIC + LAYOUT

# Per file: tanh, gelu, the roots and the trig functions skip GCC's RTL
# common-subexpression passes (-fgcse and its after-reload pass), which take
# a third of their compile time for little speed: at -O3 on one thread, ns
# per element with / without them: tanh 237 / 239, gelu 277 / 280, sqrt
# 350 / 353, reciprocal 33.5 / 34.0, sin 78.6 / 79.3, cos 76.4 / 76.8.
# exp (113 / 117, 99 s / 65 s of compile time) and log (1571 / 1642) keep
# them: the library's exp and its users (softmax, 0-d exp) measured 5-6 %
# slower through Python without them.
LIGHTER_PASSES = ["-fno-gcse", "-fno-gcse-after-reload"]
FILE_FLAGS = {
    "defined_tanh.cpp": LIGHTER_PASSES,
    "defined_gelu.cpp": LIGHTER_PASSES,
    "defined_roots.cpp": LIGHTER_PASSES,
    "defined_sigmoid.cpp": LIGHTER_PASSES,
    "defined_trig.cpp": LIGHTER_PASSES,
}
