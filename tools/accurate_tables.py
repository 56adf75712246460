"""Prints the constant tables of csrc/limbs/accurate.h: every constant as
three float64 limbs, each the nearest double to what the limbs above it
leave (so the three carry about 160 bits). Run with mpmath installed."""
import mpmath as mp

mp.mp.prec = 400


def limbs3(x):
    out = []
    for _ in range(3):
        d = float(x)
        out.append(d)
        x -= mp.mpf(d)
    return out


def row(x):
    return "{" + ", ".join(v.hex() if v != 0 else "0.0" for v in limbs3(x)) + "}"


def table(name, values, comment):
    print(f"  // {comment}")
    print(f"  constexpr double {name}[{len(values)}][3] = {{")
    for v in values:
        print(f"      {row(v)},")
    print("  };")


def main():
    consts = {
        "kLn2": mp.log(2), "kPi": mp.pi, "kHalfPi": mp.pi / 2, "kInvLn2": 1 / mp.log(2),
        "kInvLn10": 1 / mp.log(10), "kTwoOverSqrtPi": 2 / mp.sqrt(mp.pi),
        "kInvSqrtPi": 1 / mp.sqrt(mp.pi), "kPiOver180": mp.pi / 180, "k180OverPi": 180 / mp.pi,
    }
    for k, v in consts.items():
        print(f"constexpr Triple {k} = {row(v)};")
    table("t", [1 / mp.factorial(n) for n in range(41)], "1/n!, n = 0..40")
    table("t", [mp.mpf(1) / (2 * n + 1) for n in range(41)], "1/(2n+1), n = 0..40")
    table("t", [mp.atan(mp.mpf(i) / 16) for i in range(17)], "atan(i/16), i = 0..16")


if __name__ == "__main__":
    main()
