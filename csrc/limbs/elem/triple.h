// Triple-double working precision for the accurate element functions:
// a value is h + m + l (three float64, renormalised after every operation,
// about 159 bits), with the elementary cores the public kernels of
// functions.h are built on. Each operation below is a fixed sequence of
// float64 operations, so the results are reproducible bit for bit.
//
// Error: each operation errs by a few units of u = 2^-159, relative to
// max(|a|, |b|) for add and sub (so absolute under cancellation) and to the
// result for mul, div and sqrt; estimates from the dropped terms, not proven
// bounds. What counts is measured end to end (bench/accuracy.py): the
// public kernels reach 140 to 160 bits.
#pragma once

#include <cmath>

#include "limbs/core/row.h"

namespace limbs {
namespace triple {

struct Triple {
  double h, m, l;
};

// Same value, h dominant and the three nearly non-overlapping: three TwoSums
// (no ordering of the inputs assumed).
LIMBS_HD LIMBS_STEP inline Triple renorm(double a, double b, double c) {
  two_sum(b, c, b, c);
  two_sum(a, b, a, b);
  two_sum(b, c, b, c);
  return {a, b, c};
}

LIMBS_HD LIMBS_STEP inline Triple of(double a) { return {a, 0.0, 0.0}; }

LIMBS_HD LIMBS_STEP inline Triple neg(const Triple& a) { return {-a.h, -a.m, -a.l}; }

// Every limb times 2^e: exact unless a limb leaves the normal range.
LIMBS_HD LIMBS_STEP inline Triple scale(const Triple& a, int e) {
  return {std::ldexp(a.h, e), std::ldexp(a.m, e), std::ldexp(a.l, e)};
}

LIMBS_HD LIMBS_STEP inline Triple add(const Triple& a, const Triple& b) {
  double s0, e0, s1, e1, e2;
  two_sum(a.h, b.h, s0, e0);
  if (!std::isfinite(s0)) return of(s0);
  two_sum(a.m, b.m, s1, e1);
  two_sum(s1, e0, s1, e2);
  const double s2 = (a.l + b.l) + (e1 + e2);
  return renorm(s0, s1, s2);
}

LIMBS_HD LIMBS_STEP inline Triple sub(const Triple& a, const Triple& b) { return add(a, neg(b)); }

LIMBS_HD LIMBS_STEP inline Triple add(const Triple& a, double b) {
  double s0, e0, s1, e1;
  two_sum(a.h, b, s0, e0);
  if (!std::isfinite(s0)) return of(s0);
  two_sum(a.m, e0, s1, e1);
  return renorm(s0, s1, a.l + e1);
}

// An infinite leading result stands alone (its error terms would be NaN).
// Products of the leading pairs exact (TwoProduct), second-order terms
// summed in float64; third-order terms dropped.
LIMBS_HD LIMBS_STEP inline Triple mul(const Triple& a, const Triple& b) {
  double p0, q0, p1, q1, p2, q2, s1, t1, t2;
  two_product(a.h, b.h, p0, q0);
  if (!std::isfinite(p0)) return of(p0);
  two_product(a.h, b.m, p1, q1);
  two_product(a.m, b.h, p2, q2);
  two_sum(p1, p2, s1, t1);
  two_sum(s1, q0, s1, t2);
  const double s2 = ((t1 + t2) + (q1 + q2)) + ((a.h * b.l + a.m * b.m) + a.l * b.h);
  return renorm(p0, s1, s2);
}

LIMBS_HD LIMBS_STEP inline Triple mul(const Triple& a, double b) {
  double p0, q0, p1, q1, s1, t1;
  two_product(a.h, b, p0, q0);
  if (!std::isfinite(p0)) return of(p0);
  two_product(a.m, b, p1, q1);
  two_sum(p1, q0, s1, t1);
  return renorm(p0, s1, a.l * b + (q1 + t1));
}

LIMBS_HD LIMBS_STEP inline Triple sqr(const Triple& a) { return mul(a, a); }

// Long division: three float64 quotient digits, each remainder formed in
// triple precision.
LIMBS_HD inline Triple div(const Triple& a, const Triple& b) {
  const double q0 = a.h / b.h;
  if (!std::isfinite(q0)) return of(q0);
  Triple r = sub(a, mul(b, q0));
  const double q1 = r.h / b.h;
  r = sub(r, mul(b, q1));
  const double q2 = r.h / b.h;
  return renorm(q0, q1, q2);
}

LIMBS_HD inline Triple div(const Triple& a, double b) {
  const double q0 = a.h / b;
  if (!std::isfinite(q0)) return of(q0);
  double p, e;
  two_product(q0, b, p, e);
  Triple r = add(add(a, -p), -e);
  const double q1 = r.h / b;
  two_product(q1, b, p, e);
  r = add(add(r, -p), -e);
  const double q2 = r.h / b;
  return renorm(q0, q1, q2);
}

// Two Newton steps on sqrt from the float64 root; a > 0 finite.
LIMBS_HD inline Triple sqrt(const Triple& a) {
  const double y = std::sqrt(a.h);
  double p, e;
  two_product(y, y, p, e);
  const Triple r1 = add(add(a, -p), -e);
  const double half_inv = 0.5 / y;
  const Triple y1 = renorm(y, r1.h * half_inv, 0.0);
  const Triple r2 = sub(a, sqr(y1));
  return renorm(y1.h, y1.m, r2.h * half_inv);
}

LIMBS_HD LIMBS_STEP inline Triple abs(const Triple& a) { return a.h < 0.0 ? neg(a) : a; }

// --- Exact sums -----------------------------------------------------------

// A non-overlapping expansion built by Shewchuk's Grow-Expansion with zero
// elimination: the exact sum of every double added (as long as no partial
// sum overflows), components in increasing magnitude.
struct Expansion {
  static constexpr int kCapacity = 112;
  double c[kCapacity];
  int n = 0;

  LIMBS_HD void add(double q) {
    if (q == 0.0) return;
    int k = 0;
    for (int i = 0; i < n; ++i) {
      double s, h;
      two_sum(q, c[i], s, h);
      q = s;
      if (h != 0.0) c[k++] = h;
    }
    if (q != 0.0) c[k++] = q;
    n = k;
  }

  LIMBS_HD void add(const Row& a) {
    for (int k = 0; k < kLimbs; ++k) add(a.l[k]);
  }

  LIMBS_HD void sub(const Row& a) {
    for (int k = 0; k < kLimbs; ++k) add(-a.l[k]);
  }

  // -1, 0 or 1: the sign of the largest component is the sign of the sum.
  LIMBS_HD int sign() const { return n == 0 ? 0 : (c[n - 1] > 0.0 ? 1 : -1); }

  // The two largest components exactly, the rest summed from the smallest.
  LIMBS_HD Triple to_triple() const {
    if (n == 0) return of(0.0);
    double rest = 0.0;
    for (int i = 0; i + 2 < n; ++i) rest = rest + c[i];
    return renorm(c[n - 1], n >= 2 ? c[n - 2] : 0.0, rest);
  }
};

// offset + the exact sum of the limbs of a, rounded to a triple: the way
// every kernel reads its operand, so that 1 - x, x - 1 and 1 + x keep the
// information of all eight limbs.
LIMBS_HD inline Triple from_row(const Row& a, double offset = 0.0) {
  Expansion e;
  e.add(offset);
  e.add(a);
  return e.to_triple();
}

// A result element [h, m, l, 0, ..., 0]; a non-finite h stands alone, and
// lower limbs made non-finite by an overflowing error term are dropped.
LIMBS_HD inline Row to_row(const Triple& t) {
  Row r = zero_row();
  r.l[0] = t.h;
  if (!std::isfinite(t.h)) return r;
  if (std::isfinite(t.m) && std::isfinite(t.l)) {
    r.l[1] = t.m;
    r.l[2] = t.l;
  }
  return r;
}

// --- Constants --------------------------------------------------------------
// Three-limb roundings made by tools/accurate_tables.py. They are functions
// because device code cannot read namespace-scope arrays.

LIMBS_HD inline Triple ln2() {
  return {0x1.62e42fefa39efp-1, 0x1.abc9e3b39803fp-56, 0x1.7b57a079a1934p-111};
}
LIMBS_HD inline Triple pi() {
  return {0x1.921fb54442d18p+1, 0x1.1a62633145c07p-53, -0x1.f1976b7ed8fbcp-109};
}
LIMBS_HD inline Triple half_pi() {
  return {0x1.921fb54442d18p+0, 0x1.1a62633145c07p-54, -0x1.f1976b7ed8fbcp-110};
}
LIMBS_HD inline Triple inv_ln2() {
  return {0x1.71547652b82fep+0, 0x1.777d0ffda0d24p-56, -0x1.60bb8a5442ab9p-110};
}
LIMBS_HD inline Triple inv_ln10() {
  return {0x1.bcb7b1526e50ep-2, 0x1.95355baaafad3p-57, 0x1.ee191f71a3012p-112};
}
LIMBS_HD inline Triple two_over_sqrt_pi() {
  return {0x1.20dd750429b6dp+0, 0x1.1ae3a914fed80p-56, -0x1.3cbbebf65f145p-111};
}
LIMBS_HD inline Triple inv_sqrt_pi() {
  return {0x1.20dd750429b6dp-1, 0x1.1ae3a914fed80p-57, -0x1.3cbbebf65f145p-112};
}
LIMBS_HD inline Triple rad_per_deg() {
  return {0x1.1df46a2529d39p-6, 0x1.5c1d8becdd291p-62, -0x1.1d937fa428858p-116};
}
LIMBS_HD inline Triple deg_per_rad() {
  return {0x1.ca5dc1a63c1f8p+5, -0x1.1e7ab456405f9p-49, -0x1.b505196fabb41p-103};
}

LIMBS_HD inline Triple inverse_factorial(int n) {
  // 1/n!, n = 0..40
  constexpr double t[41][3] = {
      {0x1.0000000000000p+0, 0.0, 0.0},
      {0x1.0000000000000p+0, 0.0, 0.0},
      {0x1.0000000000000p-1, 0.0, 0.0},
      {0x1.5555555555555p-3, 0x1.5555555555555p-57, 0x1.5555555555555p-111},
      {0x1.5555555555555p-5, 0x1.5555555555555p-59, 0x1.5555555555555p-113},
      {0x1.1111111111111p-7, 0x1.1111111111111p-63, 0x1.1111111111111p-119},
      {0x1.6c16c16c16c17p-10, -0x1.f49f49f49f49fp-65, -0x1.27d27d27d27d2p-119},
      {0x1.a01a01a01a01ap-13, 0x1.a01a01a01a01ap-73, 0x1.a01a01a01a01ap-133},
      {0x1.a01a01a01a01ap-16, 0x1.a01a01a01a01ap-76, 0x1.a01a01a01a01ap-136},
      {0x1.71de3a556c734p-19, -0x1.c154f8ddc6c00p-73, 0x1.71de3a556c734p-127},
      {0x1.27e4fb7789f5cp-22, 0x1.cbbc05b4fa99ap-76, -0x1.c6d278883e8f5p-132},
      {0x1.ae64567f544e4p-26, -0x1.c062e06d1f209p-80, 0x1.c7880adcbc46ep-136},
      {0x1.1eed8eff8d898p-29, -0x1.2aec959e14c06p-83, 0x1.2fb0073dd2d9ep-139},
      {0x1.6124613a86d09p-33, 0x1.f28e0cc748ebep-87, -0x1.7b2c4c8a840bcp-141},
      {0x1.93974a8c07c9dp-37, 0x1.05d6f8a2efd1fp-92, 0x1.3aa3346236a5dp-147},
      {0x1.ae7f3e733b81fp-41, 0x1.1d8656b0ee8cbp-97, -0x1.6e142a138f825p-157},
      {0x1.ae7f3e733b81fp-45, 0x1.1d8656b0ee8cbp-101, -0x1.6e142a138f825p-161},
      {0x1.952c77030ad4ap-49, 0x1.ac981465ddc6cp-103, -0x1.588b72e53bc5fp-165},
      {0x1.6827863b97d97p-53, 0x1.eec01221a8b0bp-107, -0x1.568798662118bp-161},
      {0x1.2f49b46814157p-57, 0x1.2650f61dbdcb4p-112, -0x1.69502917cbf3bp-166},
      {0x1.e542ba4020225p-62, 0x1.ea72b4afe3c2fp-120, -0x1.44020dfd65c8cp-174},
      {0x1.71b8ef6dcf572p-66, -0x1.d043ae40c4647p-120, 0x1.486121e81d5fep-176},
      {0x1.0ce396db7f853p-70, -0x1.aebcdbd20331cp-124, -0x1.38a88578b4d75p-178},
      {0x1.761b41316381ap-75, -0x1.3423c7d91404fp-130, 0x1.e6135bfc1194ap-185},
      {0x1.f2cf01972f578p-80, -0x1.9ada5fcc1ab14p-135, 0x1.440ce7fd610dcp-189},
      {0x1.3f3ccdd165fa9p-84, -0x1.58ddadf344487p-139, -0x1.e8ed8001ad67ep-193},
      {0x1.88e85fc6a4e5ap-89, -0x1.71c37ebd16540p-143, 0x1.494676265a364p-197},
      {0x1.d1ab1c2dccea3p-94, 0x1.054d0c78aea14p-149, -0x1.196bf16c33a56p-203},
      {0x1.0a18a2635085dp-98, 0x1.b9e2e28e1aa54p-153, 0x1.a8549a9d99586p-207},
      {0x1.259f98b4358adp-103, 0x1.eaf8c39dd9bc5p-157, -0x1.6e29990a26fb6p-211},
      {0x1.3932c5047d60ep-108, 0x1.832b7b530a627p-162, 0x1.5d2c61f6d124cp-218},
      {0x1.434d2e783f5bcp-113, 0x1.0b87b91be9affp-167, 0x1.c89db1796db75p-224},
      {0x1.434d2e783f5bcp-118, 0x1.0b87b91be9affp-172, 0x1.c89db1796db75p-229},
      {0x1.3981254dd0d52p-123, -0x1.2b1f4c8015a2fp-177, -0x1.d82af23edb6dbp-231},
      {0x1.2710231c0fd7ap-128, 0x1.3f8a2b4af9d6bp-184, 0x1.c32215a9f317ep-238},
      {0x1.0dc59c716d91fp-133, 0x1.419e3fad3f031p-188, 0x1.d9d7ed1981ffcp-244},
      {0x1.df983290c2ca9p-139, 0x1.5835c6895393bp-194, -0x1.0578f45b1aaaep-249},
      {0x1.9ec8d1c94e85bp-144, -0x1.670e9d4784ec6p-201, 0x1.79fe5954939a2p-255},
      {0x1.5d4acb9c0c3abp-149, -0x1.6ec2c8f5b13b2p-205, 0x1.e2860aaa59188p-259},
      {0x1.1e99449a4bacep-154, -0x1.fefbb89514b3cp-210, -0x1.53433f743a2d9p-264},
      {0x1.ca8ed42a12ae3p-160, 0x1.a07244abad2abp-224, 0x1.facdac6fb71b7p-278},
  };
  return {t[n][0], t[n][1], t[n][2]};
}

LIMBS_HD inline Triple inverse_odd(int n) {
  // 1/(2n+1), n = 0..40
  constexpr double t[41][3] = {
      {0x1.0000000000000p+0, 0.0, 0.0},
      {0x1.5555555555555p-2, 0x1.5555555555555p-56, 0x1.5555555555555p-110},
      {0x1.999999999999ap-3, -0x1.999999999999ap-57, 0x1.999999999999ap-111},
      {0x1.2492492492492p-3, 0x1.2492492492492p-57, 0x1.2492492492492p-111},
      {0x1.c71c71c71c71cp-4, 0x1.c71c71c71c71cp-58, 0x1.c71c71c71c71cp-112},
      {0x1.745d1745d1746p-4, -0x1.745d1745d1746p-59, 0x1.745d1745d1746p-114},
      {0x1.3b13b13b13b14p-4, -0x1.3b13b13b13b14p-58, 0x1.3b13b13b13b14p-112},
      {0x1.1111111111111p-4, 0x1.1111111111111p-60, 0x1.1111111111111p-116},
      {0x1.e1e1e1e1e1e1ep-5, 0x1.e1e1e1e1e1e1ep-61, 0x1.e1e1e1e1e1e1ep-117},
      {0x1.af286bca1af28p-5, 0x1.af286bca1af28p-59, 0x1.af286bca1af28p-113},
      {0x1.8618618618618p-5, 0x1.8618618618618p-59, 0x1.8618618618618p-113},
      {0x1.642c8590b2164p-5, 0x1.642c8590b2164p-60, 0x1.642c8590b2164p-115},
      {0x1.47ae147ae147bp-5, -0x1.eb851eb851eb8p-61, -0x1.47ae147ae147bp-115},
      {0x1.2f684bda12f68p-5, 0x1.2f684bda12f68p-59, 0x1.2f684bda12f68p-113},
      {0x1.1a7b9611a7b96p-5, 0x1.1a7b9611a7b96p-61, 0x1.1a7b9611a7b96p-117},
      {0x1.0842108421084p-5, 0x1.0842108421084p-60, 0x1.0842108421084p-115},
      {0x1.f07c1f07c1f08p-6, -0x1.f07c1f07c1f08p-61, 0x1.f07c1f07c1f08p-116},
      {0x1.d41d41d41d41dp-6, 0x1.0750750750750p-60, 0x1.d41d41d41d41dp-114},
      {0x1.bacf914c1bad0p-6, -0x1.bacf914c1bad0p-60, 0x1.bacf914c1bad0p-114},
      {0x1.a41a41a41a41ap-6, 0x1.0690690690690p-60, 0x1.a41a41a41a41ap-114},
      {0x1.8f9c18f9c18fap-6, -0x1.f3831f3831f38p-61, -0x1.8f9c18f9c18fap-116},
      {0x1.7d05f417d05f4p-6, 0x1.7d05f417d05f4p-62, 0x1.7d05f417d05f4p-118},
      {0x1.6c16c16c16c17p-6, -0x1.f49f49f49f49fp-61, -0x1.27d27d27d27d2p-115},
      {0x1.5c9882b931057p-6, 0x1.310572620ae4cp-61, 0x1.0572620ae4c41p-115},
      {0x1.4e5e0a72f0539p-6, 0x1.e0a72f0539783p-60, -0x1.8d0fac687d634p-114},
      {0x1.4141414141414p-6, 0x1.4141414141414p-62, 0x1.4141414141414p-118},
      {0x1.3521cfb2b78c1p-6, 0x1.a90e7d95bc60ap-61, -0x1.5bc609a90e7d9p-115},
      {0x1.29e4129e4129ep-6, 0x1.04a7904a7904ap-60, 0x1.e4129e4129e41p-114},
      {0x1.1f7047dc11f70p-6, 0x1.1f7047dc11f70p-60, 0x1.1f7047dc11f70p-114},
      {0x1.15b1e5f75270dp-6, 0x1.15b1e5f75270dp-64, 0x1.15b1e5f75270dp-122},
      {0x1.0c9714fbcda3bp-6, -0x1.f79b47582192ep-61, -0x1.4fbcda3ac10c9p-116},
      {0x1.0410410410410p-6, 0x1.0410410410410p-60, 0x1.0410410410410p-114},
      {0x1.f81f81f81f820p-7, -0x1.f81f81f81f820p-61, 0x1.f81f81f81f820p-115},
      {0x1.e9131abf0b767p-7, 0x1.503d226357e17p-62, -0x1.31abf0b7672a0p-118},
      {0x1.dae6076b981dbp-7, -0x1.9f89467e251a0p-63, 0x1.dae6076b981dbp-117},
      {0x1.cd85689039b0bp-7, -0x1.76fc64f52edf9p-62, 0x1.b0ad12073615ap-117},
      {0x1.c0e070381c0e0p-7, 0x1.c0e070381c0e0p-61, 0x1.c0e070381c0e0p-115},
      {0x1.b4e81b4e81b4fp-7, -0x1.f92c5f92c5f93p-61, 0x1.d0369d0369d03p-116},
      {0x1.a98ef606a63bep-7, -0x1.f959c427e5671p-61, -0x1.3f2b3884fcacep-118},
      {0x1.9ec8e951033d9p-7, 0x1.d2a2067b23a54p-63, 0x1.033d91d2a2068p-117},
      {0x1.948b0fcd6e9e0p-7, 0x1.948b0fcd6e9e0p-61, 0x1.948b0fcd6e9e0p-115},
  };
  return {t[n][0], t[n][1], t[n][2]};
}

LIMBS_HD inline Triple atan_of_sixteenth(int i) {
  // atan(i/16), i = 0..16
  constexpr double t[17][3] = {
      {0.0, 0.0, 0.0},
      {0x1.ff55bb72cfdeap-5, -0x1.c934d86d23f1dp-60, -0x1.f2aece63ed30ap-116},
      {0x1.fd5ba9aac2f6ep-4, -0x1.cd37686760c17p-59, -0x1.dc421d31aa09bp-113},
      {0x1.7b97b4bce5b02p-3, 0x1.347b0b4f881cap-58, -0x1.c5bc36297f94cp-113},
      {0x1.f5b75f92c80ddp-3, 0x1.8ab6e3cf7afbdp-57, 0x1.0bf2d53fd481cp-113},
      {0x1.362773707ebccp-2, -0x1.963a544b672d8p-57, -0x1.4335fdd6dc1ecp-111},
      {0x1.6f61941e4def1p-2, -0x1.c63aae6f6e918p-56, -0x1.bb7cc27bc6885p-113},
      {0x1.a64eec3cc23fdp-2, -0x1.24dec1b50b7ffp-56, -0x1.8ec991ffbf22ep-113},
      {0x1.dac670561bb4fp-2, 0x1.a2b7f222f65e2p-56, -0x1.5cbf247afa9e3p-111},
      {0x1.0657e94db30d0p-1, -0x1.d5b495f6349e6p-56, 0x1.45703c4557362p-110},
      {0x1.1e00babdefeb4p-1, -0x1.928df287a668fp-58, 0x1.ba3c8c533f033p-115},
      {0x1.345f01cce37bbp-1, 0x1.1021137c71102p-55, 0x1.fe779b5c8de0cp-109},
      {0x1.4978fa3269ee1p-1, 0x1.2419a87f2a458p-56, -0x1.29b08e07bcbb1p-111},
      {0x1.5d58987169b18p-1, 0x1.0028e4bc5e7cap-57, 0x1.038501ba15a32p-111},
      {0x1.700a7c5784634p-1, -0x1.8c34d25aadef6p-56, 0x1.110f4f5ebb304p-110},
      {0x1.819d0b7158a4dp-1, -0x1.bf76229d3b917p-56, 0x1.7d126ac77433dp-111},
      {0x1.921fb54442d18p-1, 0x1.1a62633145c07p-55, -0x1.f1976b7ed8fbcp-111},
  };
  return {t[i][0], t[i][1], t[i][2]};
}

// --- Elementary cores -------------------------------------------------------

// The number of terms n of a series in w after which w^n < 2^-160 (at most
// `cap`): a float64 estimate, so the count is a function of the input only.
LIMBS_HD inline int terms_for(double w, int cap) {
  int n = 1;
  double p = std::fabs(w);
  while (n < cap && p > 0x1p-160) {
    p *= std::fabs(w);
    ++n;
  }
  return n;
}

// e^r - 1 for |r| <= 0.35: Taylor to u^13/13! on u = r / 2^10 (the first
// omitted term is below 2^-170 |u|), then ten doublings t <- t (t + 2),
// which never cancel. Below 2^-80, r + r^2/2 is already that accurate and
// keeps u out of the subnormal range.
LIMBS_HD inline Triple expm1_reduced(const Triple& r) {
  if (std::fabs(r.h) < 0x1p-80) return add(r, mul(sqr(r), 0.5));
  const Triple u = scale(r, -10);
  Triple p = inverse_factorial(13);
  for (int n = 12; n >= 1; --n) p = add(mul(p, u), inverse_factorial(n));
  Triple t = mul(p, u);
  for (int i = 0; i < 10; ++i) t = mul(t, add(t, 2.0));
  return t;
}

// A value as m 2^k, for results that would leave the float64 range before
// the last step.
struct Scaled {
  Triple m;
  int k;
};

// e^x = 2^k (1 + expm1_reduced(x - k ln2)), k = round(x / ln2), for
// |x.h| < 1000 (the caller maps larger arguments to inf or 0).
LIMBS_HD inline Scaled exp_scaled(const Triple& x) {
  const double k = std::nearbyint(x.h * inv_ln2().h);
  const Triple r = sub(x, mul(ln2(), k));
  return {add(expm1_reduced(r), 1.0), static_cast<int>(k)};
}

// 2^x the same way: n = round(x), 2^(x - n) = e^((x - n) ln2).
LIMBS_HD inline Scaled exp2_scaled(const Triple& x) {
  const double n = std::nearbyint(x.h);
  const Triple f = add(x, -n);
  return {add(expm1_reduced(mul(f, ln2())), 1.0), static_cast<int>(n)};
}

LIMBS_HD inline Triple unscale(const Scaled& s) { return scale(s.m, s.k); }

// log(1 + f) for 1 + f in [0.7, 1.42]: 2 atanh(s), s = f / (2 + f),
// |s| <= 0.172, the odd series in s^2 to the first term below 2^-160
// (at most 32 terms).
LIMBS_HD inline Triple log1p_reduced(const Triple& f) {
  const Triple s = div(f, add(f, 2.0));
  const Triple w = sqr(s);
  const int n = terms_for(w.h, 40);
  Triple p = inverse_odd(n - 1);
  for (int i = n - 2; i >= 0; --i) p = add(mul(p, w), inverse_odd(i));
  return mul(mul(s, p), 2.0);
}

// x = 2^m y with y in [0.707, 1.414]: returns log(y), m in `m`. x > 0 finite.
LIMBS_HD inline Triple log_parts(const Triple& x, int& m) {
  m = std::ilogb(x.h);
  Triple y = scale(x, -m);
  if (y.h > 0x1.6a09e667f3bcdp+0) {
    y = scale(y, -1);
    ++m;
  }
  return log1p_reduced(add(y, -1.0));
}

LIMBS_HD inline Triple log(const Triple& x) {
  int m;
  const Triple r = log_parts(x, m);
  return m == 0 ? r : add(r, mul(ln2(), static_cast<double>(m)));
}

// log(1 + f) for f > -1: f itself near 0, else through 1 + f.
LIMBS_HD inline Triple log1p(const Triple& f) {
  if (f.h > -0.29 && f.h < 0.41) return log1p_reduced(f);
  return log(add(f, 1.0));
}

// The alternating odd series t sum (-1)^n t^2n / (2n+1) to 2^-160.
LIMBS_HD inline Triple atan_series(const Triple& t) {
  const Triple w = sqr(t);
  const int n = terms_for(w.h, 40);
  Triple p = (n - 1) % 2 ? neg(inverse_odd(n - 1)) : inverse_odd(n - 1);
  for (int i = n - 2; i >= 0; --i) {
    const Triple c = inverse_odd(i);
    p = add(mul(p, w), i % 2 ? neg(c) : c);
  }
  return mul(t, p);
}

// atan(x): |x| > 1 through pi/2 - atan(1/|x|); then atan(c) + atan(t) with
// c = i/16 nearest to |x| and t = (|x| - c) / (1 + |x| c), |t| <= 1/31.
LIMBS_HD inline Triple atan(const Triple& x) {
  Triple a = abs(x);
  const bool invert = a.h > 1.0;
  if (invert) a = div(of(1.0), a);
  const double fi = std::nearbyint(a.h * 16.0);
  const int i = fi >= 0.0 && fi <= 16.0 ? static_cast<int>(fi) : 0;
  const double c = i / 16.0;
  Triple r = atan_series(i == 0 ? a : div(add(a, -c), add(mul(a, c), 1.0)));
  if (i > 0) r = add(atan_of_sixteenth(i), r);
  if (invert) r = sub(half_pi(), r);
  return x.h < 0.0 ? neg(r) : r;
}

// atan2 for finite y, x not both zero: atan of the quotient of magnitude at
// most 1, moved to the quadrant.
LIMBS_HD inline Triple atan2(const Triple& y, const Triple& x) {
  if (std::fabs(y.h) <= std::fabs(x.h)) {
    const Triple r = atan(div(y, x));
    if (x.h > 0.0) return r;
    return std::signbit(y.h) ? sub(r, pi()) : add(r, pi());
  }
  const Triple r = atan(div(x, y));
  return y.h > 0.0 ? sub(half_pi(), r) : neg(add(half_pi(), r));
}

// sin z and cos z for |z| <= pi/4: Taylor in z^2 to the first term below
// 2^-160 (at most 19 terms).
LIMBS_HD inline Triple sin_reduced(const Triple& z) {
  const Triple w = sqr(z);
  int n = 0;
  for (double term = 1.0; n < 19 && term > 0x1p-160; ++n)
    term *= w.h / ((2.0 * n + 2.0) * (2.0 * n + 3.0));
  Triple p = n % 2 ? neg(inverse_factorial(2 * n + 1)) : inverse_factorial(2 * n + 1);
  for (int i = n - 1; i >= 0; --i) {
    const Triple c = inverse_factorial(2 * i + 1);
    p = add(mul(p, w), i % 2 ? neg(c) : c);
  }
  return mul(z, p);
}

LIMBS_HD inline Triple cos_reduced(const Triple& z) {
  const Triple w = sqr(z);
  int n = 0;
  for (double term = 1.0; n < 19 && term > 0x1p-160; ++n)
    term *= w.h / ((2.0 * n + 1.0) * (2.0 * n + 2.0));
  Triple p = n % 2 ? neg(inverse_factorial(2 * n)) : inverse_factorial(2 * n);
  for (int i = n - 1; i >= 0; --i) {
    const Triple c = inverse_factorial(2 * i);
    p = add(mul(p, w), i % 2 ? neg(c) : c);
  }
  return p;
}

// sin(pi r) for |r| <= 1 (r exact): folded to |r| <= 1/2, then sine or
// cosine on [-pi/4, pi/4].
LIMBS_HD inline Triple sin_pi(Triple r) {
  if (r.h > 0.5)
    r = sub(of(1.0), r);
  else if (r.h < -0.5)
    r = sub(of(-1.0), r);
  if (std::fabs(r.h) <= 0.25) return sin_reduced(mul(pi(), r));
  const Triple c = cos_reduced(mul(pi(), sub(of(0.5), abs(r))));
  return r.h < 0.0 ? neg(c) : c;
}

// erf(x) for 0 <= x < 3: (2x/sqrt(pi)) e^-x^2 sum (2x^2)^n / (2n+1)!!, a
// series of positive terms (no cancellation), to 2^-160 of the sum (about
// 80 terms at x = 3).
LIMBS_HD inline Triple erf_series(const Triple& x) {
  const Triple x2 = sqr(x);
  const Triple two_x2 = mul(x2, 2.0);
  Triple term = of(1.0);
  Triple sum = of(1.0);
  for (int n = 1; n < 200; ++n) {
    term = div(mul(term, two_x2), 2.0 * n + 1.0);
    sum = add(sum, term);
    if (term.h < 0x1p-160 * sum.h) break;
  }
  const Scaled e = exp_scaled(neg(x2));
  return scale(mul(mul(mul(x, two_over_sqrt_pi()), sum), e.m), e.k);
}

// erfc(x) for x >= 3 as e^-x^2 / sqrt(pi) times Laplace's continued fraction
// 1/(x + (1/2)/(x + 1/(x + (3/2)/(x + ...)))), evaluated bottom-up from
// depth 25 + 2000/x^2, which reaches 2^-155 for every x >= 2 (measured).
LIMBS_HD inline Scaled erfc_fraction(const Triple& x) {
  const int depth = 25 + static_cast<int>(2000.0 / (x.h * x.h));
  Triple t = of(0.0);
  for (int n = depth; n >= 1; --n) t = div(of(0.5 * n), add(x, t));
  const Triple k = div(of(1.0), add(x, t));
  const Scaled e = exp_scaled(neg(sqr(x)));
  return {mul(mul(k, inv_sqrt_pi()), e.m), e.k};
}

}  // namespace triple
}  // namespace limbs
