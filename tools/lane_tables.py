"""Prints the constants of csrc/limbs/elem/accurate_lanes.h: the table
entries as three float64 limbs (each the double nearest what the limbs above
leave, about 160 bits) and the Cody-Waite pieces of ln2/64, ln2 and pi/64
(short leading pieces, so that their products with the reduction's integer
are exact). Run with mpmath installed."""
import mpmath as mp

from accurate_tables import limbs3

mp.mp.prec = 500


def hexd(v):
    return v.hex() if v != 0 else "0.0"


def row(x):
    return "{" + ", ".join(hexd(v) for v in limbs3(x)) + "}"


def short(x, bits):
    """x rounded to `bits` significant bits."""
    e = int(mp.floor(mp.log(abs(x), 2)))
    s = mp.mpf(2) ** (bits - 1 - e)
    return float(mp.nint(x * s) / s)


def pieces(x, bits, count):
    out = []
    for _ in range(count - 1):
        d = short(x, bits)
        out.append(d)
        x -= mp.mpf(d)
    out.append(float(x))
    return out


def table(comment, values):
    print(f"  // {comment}")
    print(f"  constexpr double t[{len(values)}][3] = {{")
    for v in values:
        print(f"      {row(v)},")
    print("  };")


def main():
    print("ln2/64 pieces (36 bits):", ", ".join(hexd(v) for v in pieces(mp.log(2) / 64, 36, 4)))
    print("64/ln2:", hexd(float(64 / mp.log(2))))
    print("ln2 pieces (42 bits):", ", ".join(hexd(v) for v in pieces(mp.log(2), 42, 3)))
    print("pi/64 pieces (28 bits):", ", ".join(hexd(v) for v in pieces(mp.pi / 64, 28, 5)))
    print("64/pi:", hexd(float(64 / mp.pi)))
    table("2^(j/64), j = 0..63", [mp.mpf(2) ** (mp.mpf(j) / 64) for j in range(64)])
    table("log(i/64), i = 48..96", [mp.log(mp.mpf(i) / 64) for i in range(48, 97)])
    table("sin(j pi/64), j = 0..127", [mp.sin(j * mp.pi / 64) if j % 64 else mp.mpf(0) for j in range(128)])
    table("atan(i/64), i = 0..64", [mp.atan(mp.mpf(i) / 64) for i in range(65)])


main()
