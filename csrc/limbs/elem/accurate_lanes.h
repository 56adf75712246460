// The accurate exp, log, sin/cos and atan2 cores written once over the
// element type D (double, or rows side by side in Lanes4/Lanes8), for the
// "full" function precision and the accurate expm1 and atan2: one
// Cody-Waite reduction against a table (2^(j/64), log(i/64), sin(j pi/64),
// atan(i/64)), then a short polynomial whose high-order terms run in
// float64, the middle ones in double-double and only the last additions in
// triple-double. Results stay within 2^-100 relative (bench/accuracy.py),
// as the row-by-row kernels of accurate_functions.h, whose algorithms now
// serve the rows these cores leave out.
//
// Every core takes the element's value as a triple read from the limbs and
// reports in `slow` the lanes outside its domain: a row whose limbs are not
// each far below the one above (the triple would not hold its value), NaN,
// infinities, zeros whose sign matters, arguments whose results leave the
// normal range, and reduced arguments too close to a zero of the function
// for the triple's error. The caller redoes those lanes by the row-by-row
// kernel; every other lane gives the same bytes in every instantiation.
#pragma once

#include <cmath>

#include "limbs/core/row.h"
#include "limbs/elem/triple.h"

namespace limbs {
namespace lanes_math {

template <class D>
struct T3 {
  D h, m, l;
};

template <class D>
struct DD {
  D h, l;
};

// |a| >= |b| or a == 0.
template <class D>
LIMBS_HD LIMBS_STEP inline void quick_two_sum(const D& a, const D& b, D& s, D& e) {
  const D x = a, y = b;
  s = x + y;
  e = y - (s - x);
}

template <class D>
LIMBS_HD LIMBS_STEP inline T3<D> renorm(D a, D b, D c) {
  two_sum(b, c, b, c);
  two_sum(a, b, a, b);
  two_sum(b, c, b, c);
  return {a, b, c};
}

template <class D>
LIMBS_HD LIMBS_STEP inline T3<D> neg(const T3<D>& a) {
  return {-a.h, -a.m, -a.l};
}

template <class D>
LIMBS_HD LIMBS_STEP inline T3<D> times(const T3<D>& a, const D& p) {
  return {a.h * p, a.m * p, a.l * p};
}

template <class D>
LIMBS_HD LIMBS_STEP inline T3<D> pick(const Mask<D>& m, const T3<D>& a, const T3<D>& b) {
  return {select(m, a.h, b.h), select(m, a.m, b.m), select(m, a.l, b.l)};
}

template <class D>
LIMBS_HD LIMBS_STEP inline T3<D> add(const T3<D>& a, const T3<D>& b) {
  D s0, e0, s1, e1, e2;
  two_sum(a.h, b.h, s0, e0);
  two_sum(a.m, b.m, s1, e1);
  two_sum(s1, e0, s1, e2);
  return renorm(s0, s1, (a.l + b.l) + (e1 + e2));
}

template <class D>
LIMBS_HD LIMBS_STEP inline T3<D> add(const T3<D>& a, const DD<D>& b) {
  D s0, e0, s1, e1, e2;
  two_sum(a.h, b.h, s0, e0);
  two_sum(a.m, b.l, s1, e1);
  two_sum(s1, e0, s1, e2);
  return renorm(s0, s1, a.l + (e1 + e2));
}

template <class D>
LIMBS_HD LIMBS_STEP inline T3<D> add(const T3<D>& a, const D& b) {
  D s0, e0, s1, e1;
  two_sum(a.h, b, s0, e0);
  two_sum(a.m, e0, s1, e1);
  return renorm(s0, s1, a.l + e1);
}

// Leading products exact, second-order terms in float64, third-order dropped.
template <class D>
LIMBS_HD LIMBS_STEP inline T3<D> mul(const T3<D>& a, const T3<D>& b) {
  D p0, q0, p1, q1, p2, q2, s1, t1, t2;
  two_product(a.h, b.h, p0, q0);
  two_product(a.h, b.m, p1, q1);
  two_product(a.m, b.h, p2, q2);
  two_sum(p1, p2, s1, t1);
  two_sum(s1, q0, s1, t2);
  const D s2 = ((t1 + t2) + (q1 + q2)) + ((a.h * b.l + a.m * b.m) + a.l * b.h);
  return renorm(p0, s1, s2);
}

template <class D>
LIMBS_HD LIMBS_STEP inline T3<D> mul(const T3<D>& a, const D& b) {
  D p0, q0, p1, q1, s1, t1;
  two_product(a.h, b, p0, q0);
  two_product(a.m, b, p1, q1);
  two_sum(p1, q0, s1, t1);
  return renorm(p0, s1, a.l * b + (q1 + t1));
}

// Three quotient digits, each remainder formed in triple precision.
template <class D>
LIMBS_HD LIMBS_STEP inline T3<D> div(const T3<D>& a, const T3<D>& b) {
  const D q0 = a.h / b.h;
  T3<D> r = add(a, neg(mul(b, q0)));
  const D q1 = r.h / b.h;
  r = add(r, neg(mul(b, q1)));
  const D q2 = r.h / b.h;
  return renorm(q0, q1, q2);
}

template <class D>
LIMBS_HD LIMBS_STEP inline DD<D> dd_add(const DD<D>& a, const DD<D>& b) {
  D s, e, t, f;
  two_sum(a.h, b.h, s, e);
  two_sum(a.l, b.l, t, f);
  e = e + t;
  quick_two_sum(s, e, s, e);
  e = e + f;
  quick_two_sum(s, e, s, e);
  return {s, e};
}

template <class D>
LIMBS_HD LIMBS_STEP inline DD<D> dd_mul(const DD<D>& a, const DD<D>& b) {
  D p, e;
  two_product(a.h, b.h, p, e);
  e = e + (a.h * b.l + a.l * b.h);
  quick_two_sum(p, e, p, e);
  return {p, e};
}

template <class D>
LIMBS_HD LIMBS_STEP inline DD<D> dd_mul(const DD<D>& a, const D& b) {
  D p, e;
  two_product(a.h, b, p, e);
  e = e + a.l * b;
  quick_two_sum(p, e, p, e);
  return {p, e};
}

// c + a b: one step of a double-double Horner scheme; c is {hi, lo}.
template <class D>
LIMBS_HD LIMBS_STEP inline DD<D> horner_dd(const DD<D>& a, const DD<D>& b, double c_hi,
                                           double c_lo) {
  return dd_add(dd_mul(a, b), DD<D>{splat<D>(c_hi), splat<D>(c_lo)});
}

// Round to the nearest integer (ties to even), |v| < 2^51.
template <class D>
LIMBS_HD LIMBS_STEP inline D nearest(const D& v) {
  return (v + 0x1.8p52) - 0x1.8p52;
}

template <class D>
LIMBS_HD LIMBS_STEP inline Mask<D> is_zero(const D& v) {
  return vabs(v) <= 0.0;
}

// 2^e for an integral e in the normal exponent range.
template <class D>
LIMBS_HD LIMBS_STEP inline D power_of_two(const D& e) {
  return per_lane(e, [](double v) { return std::ldexp(1.0, static_cast<int>(v)); });
}

// A triple table entry per lane; `entry(i, k)` gives limb k of entry i.
template <class D, class E>
LIMBS_HD LIMBS_STEP inline T3<D> gather(const D& index, const E& entry) {
  T3<D> r;
  r.h = per_lane(index, [&](double i) { return entry(static_cast<int>(i), 0); });
  r.m = per_lane(index, [&](double i) { return entry(static_cast<int>(i), 1); });
  r.l = per_lane(index, [&](double i) { return entry(static_cast<int>(i), 2); });
  return r;
}

// --- Reading an element -----------------------------------------------------

// The triple of a row whose every limb is at most 2^-49 of the one above
// (zeros below a zero): the limbs past the third, summed, perturb the value
// by at most 2^-150 of it. Other rows clear `ok`.
template <class D>
LIMBS_HD LIMBS_STEP inline T3<D> read(const RowOf<D>& a, Mask<D>& ok) {
  ok = is_finite(a.l[0]);
  for (int k = 0; k + 1 < kLimbs; ++k)
    ok = mask_and(ok, vabs(a.l[k + 1]) <= vabs(a.l[k]) * 0x1p-49);
  D rest = a.l[7];
  for (int k = 6; k >= 3; --k) rest = rest + a.l[k];
  return renorm(a.l[0], a.l[1], a.l[2] + rest);
}

template <class D>
LIMBS_HD LIMBS_STEP inline RowOf<D> to_row(const T3<D>& t) {
  RowOf<D> r = zero_row<D>();
  r.l[0] = t.h;
  r.l[1] = t.m;
  r.l[2] = t.l;
  return r;
}

// --- Tables -------------------------------------------------------------------
// Made by tools/lane_tables.py. Functions, because device code cannot read
// namespace-scope arrays; static on the host, where a plain constexpr array
// indexed at run time is copied to the stack on every call.
#if defined(__CUDA_ARCH__)
#define LIMBS_TABLE constexpr
#else
#define LIMBS_TABLE static constexpr
#endif

LIMBS_HD inline double exp2_table(int j, int k) {
  // 2^(j/64), j = 0..63
  LIMBS_TABLE double t[64][3] = {
      {0x1.0000000000000p+0, 0.0, 0.0},
      {0x1.02c9a3e778061p+0, -0x1.19083535b085dp-56, -0x1.9085b0a3d74d5p-110},
      {0x1.059b0d3158574p+0, 0x1.d73e2a475b465p-55, 0x1.05ff94f8d257ep-110},
      {0x1.0874518759bc8p+0, 0x1.186be4bb284ffp-57, 0x1.15820d96b414fp-111},
      {0x1.0b5586cf9890fp+0, 0x1.8a62e4adc610bp-54, -0x1.67c9bd6ebf74cp-108},
      {0x1.0e3ec32d3d1a2p+0, 0x1.03a1727c57b53p-59, -0x1.5aa76994e9ddbp-113},
      {0x1.11301d0125b51p+0, -0x1.6c51039449b3ap-54, 0x1.9d58b988f562dp-109},
      {0x1.1429aaea92de0p+0, -0x1.32fbf9af1369ep-54, -0x1.2fe7bb4c76416p-108},
      {0x1.172b83c7d517bp+0, -0x1.19041b9d78a76p-55, 0x1.4f2406aa13ff0p-109},
      {0x1.1a35beb6fcb75p+0, 0x1.e5b4c7b4968e4p-55, 0x1.ad36183926ae8p-111},
      {0x1.1d4873168b9aap+0, 0x1.e016e00a2643cp-54, 0x1.ea62d0881b918p-110},
      {0x1.2063b88628cd6p+0, 0x1.dc775814a8495p-55, -0x1.781dbc16f1ea4p-111},
      {0x1.2387a6e756238p+0, 0x1.9b07eb6c70573p-54, -0x1.4d89f9af532e0p-109},
      {0x1.26b4565e27cddp+0, 0x1.2bd339940e9d9p-55, 0x1.277393a461b77p-110},
      {0x1.29e9df51fdee1p+0, 0x1.612e8afad1255p-55, 0x1.de54485604690p-111},
      {0x1.2d285a6e4030bp+0, 0x1.0024754db41d5p-54, -0x1.ee9d8f8cb9307p-110},
      {0x1.306fe0a31b715p+0, 0x1.6f46ad23182e4p-55, 0x1.7b7b2f09cd0d9p-110},
      {0x1.33c08b26416ffp+0, 0x1.32721843659a6p-54, -0x1.406a2ea6cfc6bp-108},
      {0x1.371a7373aa9cbp+0, -0x1.63aeabf42eae2p-54, 0x1.87e3e12516bfap-108},
      {0x1.3a7db34e59ff7p+0, -0x1.5e436d661f5e3p-56, 0x1.9b0b1ff17c296p-111},
      {0x1.3dea64c123422p+0, 0x1.ada0911f09ebcp-55, -0x1.808ba68fa8fb7p-109},
      {0x1.4160a21f72e2ap+0, -0x1.ef3691c309278p-58, -0x1.32b43eafc6518p-114},
      {0x1.44e086061892dp+0, 0x1.89b7a04ef80d0p-59, -0x1.0ac312de3d922p-114},
      {0x1.486a2b5c13cd0p+0, 0x1.3c1a3b69062f0p-56, 0x1.e1eebae743ac0p-111},
      {0x1.4bfdad5362a27p+0, 0x1.d4397afec42e2p-56, 0x1.c06c7745c2b39p-113},
      {0x1.4f9b2769d2ca7p+0, -0x1.4b309d25957e3p-54, -0x1.1aa1fd7b685cdp-112},
      {0x1.5342b569d4f82p+0, -0x1.07abe1db13cadp-55, 0x1.fa733951f214cp-111},
      {0x1.56f4736b527dap+0, 0x1.9bb2c011d93adp-54, -0x1.ff86852a613ffp-111},
      {0x1.5ab07dd485429p+0, 0x1.6324c054647adp-54, -0x1.744ee506fdafep-109},
      {0x1.5e76f15ad2148p+0, 0x1.ba6f93080e65ep-54, -0x1.95f9ab75fa7d6p-108},
      {0x1.6247eb03a5585p+0, -0x1.383c17e40b497p-54, 0x1.5d8e757cfb991p-111},
      {0x1.6623882552225p+0, -0x1.bb60987591c34p-54, 0x1.4a337f4dc0a3bp-108},
      {0x1.6a09e667f3bcdp+0, -0x1.bdd3413b26456p-54, 0x1.57d3e3adec175p-108},
      {0x1.6dfb23c651a2fp+0, -0x1.bbe3a683c88abp-57, 0x1.a59f88abbe778p-115},
      {0x1.71f75e8ec5f74p+0, -0x1.16e4786887a99p-55, -0x1.269796953a4c3p-109},
      {0x1.75feb564267c9p+0, -0x1.0245957316dd3p-54, -0x1.8f8e7fa19e5e8p-108},
      {0x1.7a11473eb0187p+0, -0x1.41577ee04992fp-55, -0x1.4217a932d10d4p-113},
      {0x1.7e2f336cf4e62p+0, 0x1.05d02ba15797ep-56, 0x1.70a1427f8fcdfp-112},
      {0x1.82589994cce13p+0, -0x1.d4c1dd41532d8p-54, 0x1.0f6ad65cbbac1p-112},
      {0x1.868d99b4492edp+0, -0x1.fc6f89bd4f6bap-54, -0x1.f16f65181d921p-109},
      {0x1.8ace5422aa0dbp+0, 0x1.6e9f156864b27p-54, -0x1.30644a7836333p-110},
      {0x1.8f1ae99157736p+0, 0x1.5cc13a2e3976cp-55, 0x1.3bf26d2b85163p-114},
      {0x1.93737b0cdc5e5p+0, -0x1.75fc781b57ebcp-57, 0x1.697e257ac0db2p-111},
      {0x1.97d829fde4e50p+0, -0x1.d185b7c1b85d1p-54, 0x1.7edb9d7144b6fp-108},
      {0x1.9c49182a3f090p+0, 0x1.c7c46b071f2bep-56, 0x1.6376b7943085cp-110},
      {0x1.a0c667b5de565p+0, -0x1.359495d1cd533p-54, 0x1.354084551b4fbp-109},
      {0x1.a5503b23e255dp+0, -0x1.d2f6edb8d41e1p-54, -0x1.bfd7adfd63f48p-111},
      {0x1.a9e6b5579fdbfp+0, 0x1.0fac90ef7fd31p-54, 0x1.8b16ae39e8cb9p-109},
      {0x1.ae89f995ad3adp+0, 0x1.7a1cd345dcc81p-54, 0x1.a7fbc3ae675eap-108},
      {0x1.b33a2b84f15fbp+0, -0x1.2805e3084d708p-57, 0x1.2babc0edda4d9p-111},
      {0x1.b7f76f2fb5e47p+0, -0x1.5584f7e54ac3bp-56, 0x1.aa64481e1ab72p-111},
      {0x1.bcc1e904bc1d2p+0, 0x1.23dd07a2d9e84p-55, 0x1.9a164050e1258p-109},
      {0x1.c199bdd85529cp+0, 0x1.11065895048ddp-55, 0x1.99e51125928dap-110},
      {0x1.c67f12e57d14bp+0, 0x1.2884dff483cadp-54, -0x1.fc44c329d5cb2p-109},
      {0x1.cb720dcef9069p+0, 0x1.503cbd1e949dbp-56, 0x1.d8765566b032ep-110},
      {0x1.d072d4a07897cp+0, -0x1.cbc3743797a9cp-54, -0x1.e7044039da0f6p-108},
      {0x1.d5818dcfba487p+0, 0x1.2ed02d75b3707p-55, -0x1.ab053b05531fcp-111},
      {0x1.da9e603db3285p+0, 0x1.c2300696db532p-54, 0x1.7f6246f0ec615p-108},
      {0x1.dfc97337b9b5fp+0, -0x1.1a5cd4f184b5cp-54, 0x1.b7225a944efd6p-108},
      {0x1.e502ee78b3ff6p+0, 0x1.39e8980a9cc8fp-55, 0x1.1e92cb3c2d278p-109},
      {0x1.ea4afa2a490dap+0, -0x1.e9c23179c2893p-54, -0x1.fc0f242bbf3dep-109},
      {0x1.efa1bee615a27p+0, 0x1.dc7f486a4b6b0p-54, 0x1.f6dd5d229ff69p-108},
      {0x1.f50765b6e4540p+0, 0x1.9d3e12dd8a18bp-54, -0x1.4019bffc80ef3p-110},
      {0x1.fa7c1819e90d8p+0, 0x1.74853f3a5931ep-55, 0x1.dc060c36f7651p-112},
  };
  return t[j][k];
}

LIMBS_HD inline double log_table(int i, int k) {
  // log(i/64), i = 48..96
  LIMBS_TABLE double t[49][3] = {
      {-0x1.269621134db92p-2, -0x1.e0efadd9db02bp-56, 0x1.63d5cf0b6f233p-110},
      {-0x1.1178e8227e47cp-2, 0x1.0e63a5f01c691p-57, -0x1.03c776a3fb0f1p-111},
      {-0x1.f991c6cb3b379p-3, -0x1.f665066f980a2p-57, 0x1.c93e26ec48e0ep-111},
      {-0x1.d1037f2655e7bp-3, -0x1.60629242471a2p-57, -0x1.f01fe115ec7f7p-113},
      {-0x1.a93ed3c8ad9e3p-3, -0x1.bcafa9de97203p-57, -0x1.ccdcee3115f1fp-111},
      {-0x1.823c16551a3c2p-3, 0x1.1232ce70be781p-57, 0x1.9edf854c2492ep-111},
      {-0x1.5bf406b543db2p-3, 0x1.1f5b44c0df7e7p-61, 0x1.25a7abe3c6675p-115},
      {-0x1.365fcb0159016p-3, -0x1.7d411a5b944adp-58, 0x1.5e3df93fcc0dbp-112},
      {-0x1.1178e8227e47cp-3, 0x1.0e63a5f01c691p-58, -0x1.03c776a3fb0f1p-112},
      {-0x1.da727638446a2p-4, -0x1.401fa71733019p-58, 0x1.0554118a2fe2dp-112},
      {-0x1.9335e5d594989p-4, 0x1.478a85704ccb7p-58, -0x1.089735832ff2fp-112},
      {-0x1.4d3115d207eacp-4, -0x1.769f42c7842ccp-58, 0x1.3165ac490d812p-113},
      {-0x1.08598b59e3a07p-4, 0x1.dd7009902bf32p-58, 0x1.a7da07274e01dp-113},
      {-0x1.894aa149fb343p-5, -0x1.a8be97660a23dp-60, 0x1.d5f973f27591ep-115},
      {-0x1.0415d89e74444p-5, -0x1.c05cf1d753622p-59, -0x1.3bc1c184cef0ap-114},
      {-0x1.0205658935847p-6, -0x1.27c8e8416e71fp-60, 0x1.19642aac1310fp-116},
      {0.0, 0.0, 0.0},
      {0x1.fc0a8b0fc03e4p-7, -0x1.83092c59642a1p-62, -0x1.52414fc416fc2p-116},
      {0x1.f829b0e783300p-6, 0x1.33e3f04f1ef23p-60, -0x1.814544147acc9p-114},
      {0x1.77458f632dcfcp-5, 0x1.18d3ca87b9296p-59, 0x1.63c9bf701b2a9p-116},
      {0x1.f0a30c01162a6p-5, 0x1.85f325c5bbacdp-59, -0x1.0ece597165991p-113},
      {0x1.341d7961bd1d1p-4, -0x1.b599f227becbbp-58, -0x1.15fbcbe26b491p-113},
      {0x1.6f0d28ae56b4cp-4, -0x1.906d99184b992p-58, -0x1.bf31af3e109afp-112},
      {0x1.a926d3a4ad563p-4, 0x1.942f48aa70ea9p-58, 0x1.8f353ecfc45dap-113},
      {0x1.e27076e2af2e6p-4, -0x1.61578001e0162p-60, 0x1.55db94ebc4018p-116},
      {0x1.0d77e7cd08e59p-3, 0x1.9a5dc5e9030acp-57, -0x1.71dbd9a581398p-111},
      {0x1.29552f81ff523p-3, 0x1.301771c407dbfp-57, -0x1.977b021b7c784p-111},
      {0x1.44d2b6ccb7d1ep-3, 0x1.9f4f6543e1f88p-57, -0x1.f3be9a8337458p-111},
      {0x1.5ff3070a793d4p-3, -0x1.bc60efafc6f6ep-58, -0x1.1406554719540p-113},
      {0x1.7ab890210d909p-3, 0x1.be36b2d6a0608p-59, 0x1.91ff852536204p-117},
      {0x1.9525a9cf456b4p-3, 0x1.d904c1d4e2e26p-57, -0x1.89d9afa096184p-111},
      {0x1.af3c94e80bff3p-3, -0x1.398cff3641985p-58, -0x1.a262591d1968bp-114},
      {0x1.c8ff7c79a9a22p-3, -0x1.4f689f8434012p-57, 0x1.a24ae3b2f53a1p-111},
      {0x1.e27076e2af2e6p-3, -0x1.61578001e0162p-59, 0x1.55db94ebc4018p-115},
      {0x1.fb9186d5e3e2bp-3, -0x1.caaae64f21acbp-57, -0x1.35f6dfd3ddd52p-111},
      {0x1.0a324e27390e3p-2, 0x1.7dcfde8061c03p-56, 0x1.c51bc06b5f7c1p-113},
      {0x1.1675cababa60ep-2, 0x1.ce63eab883717p-61, 0x1.1f833e82521e1p-119},
      {0x1.22941fbcf7966p-2, -0x1.76f5eb09628afp-56, -0x1.a168b2a9642c4p-111},
      {0x1.2e8e2bae11d31p-2, -0x1.8f4cdb95ebdf9p-56, -0x1.864244294826fp-111},
      {0x1.3a64c556945eap-2, -0x1.c68651945f97cp-57, 0x1.beb7a3cee7e03p-111},
      {0x1.4618bc21c5ec2p-2, 0x1.f42decdeccf1dp-56, -0x1.77d446996da00p-111},
      {0x1.51aad872df82dp-2, 0x1.3927ac19f55e3p-59, 0x1.1d4f4f357cbfbp-115},
      {0x1.5d1bdbf5809cap-2, 0x1.4236383dc7fe1p-56, 0x1.59f380b4a6b43p-112},
      {0x1.686c81e9b14afp-2, -0x1.ddea0f7f58e3dp-57, 0x1.2c96f6f68e19dp-111},
      {0x1.739d7f6bbd007p-2, -0x1.8c76ceb014b04p-56, -0x1.0d2a910f7918bp-111},
      {0x1.7eaf83b82afc3p-2, 0x1.92ce979ed2950p-56, 0x1.0dc5832ff2fdcp-110},
      {0x1.89a3386c1425bp-2, -0x1.29639dfbbf0fbp-56, 0x1.6cfff18ca06d0p-110},
      {0x1.947941c2116fbp-2, -0x1.16cc8bae0bbe4p-56, -0x1.515b58cf688d8p-110},
      {0x1.9f323ecbf984cp-2, -0x1.a92e513217f5cp-59, 0x1.0c0cfa41ff669p-113},
  };
  return t[i - 48][k];
}

LIMBS_HD inline double sin_table(int j, int k) {
  // sin(j pi/64), j = 0..127
  LIMBS_TABLE double t[128][3] = {
      {0.0, 0.0, 0.0},
      {0x1.91f65f10dd814p-5, -0x1.912bd0d569a90p-61, -0x1.d7476f4c4b019p-115},
      {0x1.917a6bc29b42cp-4, -0x1.e2718d26ed688p-60, -0x1.18edefcf7ef57p-116},
      {0x1.2c8106e8e613ap-3, 0x1.13000a89a11e0p-58, 0x1.f07f9fe14048cp-112},
      {0x1.8f8b83c69a60bp-3, -0x1.26d19b9ff8d82p-57, 0x1.9b09f9ca72c69p-111},
      {0x1.f19f97b215f1bp-3, -0x1.42deef11da2c4p-57, -0x1.b4ce553ffbd03p-111},
      {0x1.294062ed59f06p-2, -0x1.5d28da2c4612dp-56, 0x1.7eea71c14d05cp-110},
      {0x1.58f9a75ab1fddp-2, -0x1.efdc0d58cf620p-62, -0x1.f072f54189325p-119},
      {0x1.87de2a6aea963p-2, -0x1.72cedd3d5a610p-57, -0x1.11e4420e0a4b5p-112},
      {0x1.b5d1009e15cc0p-2, 0x1.5b362cb974183p-57, -0x1.cfcff7c31af0cp-113},
      {0x1.e2b5d3806f63bp-2, 0x1.e0d891d3c6841p-58, 0x1.878ed68aad82ap-112},
      {0x1.073879922ffeep-1, -0x1.a5a014347406cp-55, 0x1.0157dad78ffcbp-109},
      {0x1.1c73b39ae68c8p-1, 0x1.b25dd267f6600p-55, -0x1.56f3106b0516dp-109},
      {0x1.30ff7fce17035p-1, -0x1.efcc626f74a6fp-57, -0x1.68e6523ac8297p-114},
      {0x1.44cf325091dd6p-1, 0x1.8076a2cfdc6b3p-57, 0x1.11a6e1c0b805fp-111},
      {0x1.57d69348ceca0p-1, -0x1.75720992bfbb2p-55, 0x1.a94c2fd0f385ap-112},
      {0x1.6a09e667f3bcdp-1, -0x1.bdd3413b26456p-55, 0x1.57d3e3adec175p-109},
      {0x1.7b5df226aafafp-1, -0x1.0f537acdf0ad7p-56, -0x1.4951b1cc475b3p-111},
      {0x1.8bc806b151741p-1, -0x1.2c5e12ed1336dp-55, 0x1.cc9ab51d0df4ep-110},
      {0x1.9b3e047f38741p-1, -0x1.30ee286712474p-55, -0x1.96d598bf43c65p-110},
      {0x1.a9b66290ea1a3p-1, 0x1.9f630e8b6dac8p-60, 0x1.f345a348e97cdp-115},
      {0x1.b728345196e3ep-1, -0x1.bc69f324e6d61p-55, -0x1.6f0112635b4d1p-110},
      {0x1.c38b2f180bdb1p-1, -0x1.6e0b1757c8d07p-56, -0x1.d3f8010ae0079p-111},
      {0x1.ced7af43cc773p-1, -0x1.e7b6bb5ab58aep-58, 0x1.525e5e3766505p-113},
      {0x1.d906bcf328d46p-1, 0x1.457e610231ac2p-56, -0x1.4f3f87abe1619p-111},
      {0x1.e212104f686e5p-1, -0x1.014c76c126527p-55, 0x1.0e62b13b565c2p-109},
      {0x1.e9f4156c62ddap-1, 0x1.760b1e2e3f81ep-55, -0x1.1ce7542369ecdp-109},
      {0x1.f0a7efb9230d7p-1, 0x1.52c7adc6b4989p-56, -0x1.db915a9794d33p-110},
      {0x1.f6297cff75cb0p-1, 0x1.562172a361fd3p-56, -0x1.63744e82fc701p-110},
      {0x1.fa7557f08a517p-1, -0x1.7a0a8ca13571fp-55, -0x1.2a212f347e949p-111},
      {0x1.fd88da3d12526p-1, -0x1.87df6378811c7p-55, 0x1.ba7bd68b25db4p-110},
      {0x1.ff621e3796d7ep-1, -0x1.c57bc2e24aa15p-57, 0x1.453dcf53e4baap-112},
      {0x1.0000000000000p+0, 0.0, 0.0},
      {0x1.ff621e3796d7ep-1, -0x1.c57bc2e24aa15p-57, 0x1.453dcf53e4baap-112},
      {0x1.fd88da3d12526p-1, -0x1.87df6378811c7p-55, 0x1.ba7bd68b25db4p-110},
      {0x1.fa7557f08a517p-1, -0x1.7a0a8ca13571fp-55, -0x1.2a212f347e949p-111},
      {0x1.f6297cff75cb0p-1, 0x1.562172a361fd3p-56, -0x1.63744e82fc701p-110},
      {0x1.f0a7efb9230d7p-1, 0x1.52c7adc6b4989p-56, -0x1.db915a9794d33p-110},
      {0x1.e9f4156c62ddap-1, 0x1.760b1e2e3f81ep-55, -0x1.1ce7542369ecdp-109},
      {0x1.e212104f686e5p-1, -0x1.014c76c126527p-55, 0x1.0e62b13b565c2p-109},
      {0x1.d906bcf328d46p-1, 0x1.457e610231ac2p-56, -0x1.4f3f87abe1619p-111},
      {0x1.ced7af43cc773p-1, -0x1.e7b6bb5ab58aep-58, 0x1.525e5e3766505p-113},
      {0x1.c38b2f180bdb1p-1, -0x1.6e0b1757c8d07p-56, -0x1.d3f8010ae0079p-111},
      {0x1.b728345196e3ep-1, -0x1.bc69f324e6d61p-55, -0x1.6f0112635b4d1p-110},
      {0x1.a9b66290ea1a3p-1, 0x1.9f630e8b6dac8p-60, 0x1.f345a348e97cdp-115},
      {0x1.9b3e047f38741p-1, -0x1.30ee286712474p-55, -0x1.96d598bf43c65p-110},
      {0x1.8bc806b151741p-1, -0x1.2c5e12ed1336dp-55, 0x1.cc9ab51d0df4ep-110},
      {0x1.7b5df226aafafp-1, -0x1.0f537acdf0ad7p-56, -0x1.4951b1cc475b3p-111},
      {0x1.6a09e667f3bcdp-1, -0x1.bdd3413b26456p-55, 0x1.57d3e3adec175p-109},
      {0x1.57d69348ceca0p-1, -0x1.75720992bfbb2p-55, 0x1.a94c2fd0f385ap-112},
      {0x1.44cf325091dd6p-1, 0x1.8076a2cfdc6b3p-57, 0x1.11a6e1c0b805fp-111},
      {0x1.30ff7fce17035p-1, -0x1.efcc626f74a6fp-57, -0x1.68e6523ac8297p-114},
      {0x1.1c73b39ae68c8p-1, 0x1.b25dd267f6600p-55, -0x1.56f3106b0516dp-109},
      {0x1.073879922ffeep-1, -0x1.a5a014347406cp-55, 0x1.0157dad78ffcbp-109},
      {0x1.e2b5d3806f63bp-2, 0x1.e0d891d3c6841p-58, 0x1.878ed68aad82ap-112},
      {0x1.b5d1009e15cc0p-2, 0x1.5b362cb974183p-57, -0x1.cfcff7c31af0cp-113},
      {0x1.87de2a6aea963p-2, -0x1.72cedd3d5a610p-57, -0x1.11e4420e0a4b5p-112},
      {0x1.58f9a75ab1fddp-2, -0x1.efdc0d58cf620p-62, -0x1.f072f54189325p-119},
      {0x1.294062ed59f06p-2, -0x1.5d28da2c4612dp-56, 0x1.7eea71c14d05cp-110},
      {0x1.f19f97b215f1bp-3, -0x1.42deef11da2c4p-57, -0x1.b4ce553ffbd03p-111},
      {0x1.8f8b83c69a60bp-3, -0x1.26d19b9ff8d82p-57, 0x1.9b09f9ca72c69p-111},
      {0x1.2c8106e8e613ap-3, 0x1.13000a89a11e0p-58, 0x1.f07f9fe14048cp-112},
      {0x1.917a6bc29b42cp-4, -0x1.e2718d26ed688p-60, -0x1.18edefcf7ef57p-116},
      {0x1.91f65f10dd814p-5, -0x1.912bd0d569a90p-61, -0x1.d7476f4c4b019p-115},
      {0.0, 0.0, 0.0},
      {-0x1.91f65f10dd814p-5, 0x1.912bd0d569a90p-61, 0x1.d7476f4c4b019p-115},
      {-0x1.917a6bc29b42cp-4, 0x1.e2718d26ed688p-60, 0x1.18edefcf7ef57p-116},
      {-0x1.2c8106e8e613ap-3, -0x1.13000a89a11e0p-58, -0x1.f07f9fe14048cp-112},
      {-0x1.8f8b83c69a60bp-3, 0x1.26d19b9ff8d82p-57, -0x1.9b09f9ca72c69p-111},
      {-0x1.f19f97b215f1bp-3, 0x1.42deef11da2c4p-57, 0x1.b4ce553ffbd03p-111},
      {-0x1.294062ed59f06p-2, 0x1.5d28da2c4612dp-56, -0x1.7eea71c14d05cp-110},
      {-0x1.58f9a75ab1fddp-2, 0x1.efdc0d58cf620p-62, 0x1.f072f54189325p-119},
      {-0x1.87de2a6aea963p-2, 0x1.72cedd3d5a610p-57, 0x1.11e4420e0a4b5p-112},
      {-0x1.b5d1009e15cc0p-2, -0x1.5b362cb974183p-57, 0x1.cfcff7c31af0cp-113},
      {-0x1.e2b5d3806f63bp-2, -0x1.e0d891d3c6841p-58, -0x1.878ed68aad82ap-112},
      {-0x1.073879922ffeep-1, 0x1.a5a014347406cp-55, -0x1.0157dad78ffcbp-109},
      {-0x1.1c73b39ae68c8p-1, -0x1.b25dd267f6600p-55, 0x1.56f3106b0516dp-109},
      {-0x1.30ff7fce17035p-1, 0x1.efcc626f74a6fp-57, 0x1.68e6523ac8297p-114},
      {-0x1.44cf325091dd6p-1, -0x1.8076a2cfdc6b3p-57, -0x1.11a6e1c0b805fp-111},
      {-0x1.57d69348ceca0p-1, 0x1.75720992bfbb2p-55, -0x1.a94c2fd0f385ap-112},
      {-0x1.6a09e667f3bcdp-1, 0x1.bdd3413b26456p-55, -0x1.57d3e3adec175p-109},
      {-0x1.7b5df226aafafp-1, 0x1.0f537acdf0ad7p-56, 0x1.4951b1cc475b3p-111},
      {-0x1.8bc806b151741p-1, 0x1.2c5e12ed1336dp-55, -0x1.cc9ab51d0df4ep-110},
      {-0x1.9b3e047f38741p-1, 0x1.30ee286712474p-55, 0x1.96d598bf43c65p-110},
      {-0x1.a9b66290ea1a3p-1, -0x1.9f630e8b6dac8p-60, -0x1.f345a348e97cdp-115},
      {-0x1.b728345196e3ep-1, 0x1.bc69f324e6d61p-55, 0x1.6f0112635b4d1p-110},
      {-0x1.c38b2f180bdb1p-1, 0x1.6e0b1757c8d07p-56, 0x1.d3f8010ae0079p-111},
      {-0x1.ced7af43cc773p-1, 0x1.e7b6bb5ab58aep-58, -0x1.525e5e3766505p-113},
      {-0x1.d906bcf328d46p-1, -0x1.457e610231ac2p-56, 0x1.4f3f87abe1619p-111},
      {-0x1.e212104f686e5p-1, 0x1.014c76c126527p-55, -0x1.0e62b13b565c2p-109},
      {-0x1.e9f4156c62ddap-1, -0x1.760b1e2e3f81ep-55, 0x1.1ce7542369ecdp-109},
      {-0x1.f0a7efb9230d7p-1, -0x1.52c7adc6b4989p-56, 0x1.db915a9794d33p-110},
      {-0x1.f6297cff75cb0p-1, -0x1.562172a361fd3p-56, 0x1.63744e82fc701p-110},
      {-0x1.fa7557f08a517p-1, 0x1.7a0a8ca13571fp-55, 0x1.2a212f347e949p-111},
      {-0x1.fd88da3d12526p-1, 0x1.87df6378811c7p-55, -0x1.ba7bd68b25db4p-110},
      {-0x1.ff621e3796d7ep-1, 0x1.c57bc2e24aa15p-57, -0x1.453dcf53e4baap-112},
      {-0x1.0000000000000p+0, 0.0, 0.0},
      {-0x1.ff621e3796d7ep-1, 0x1.c57bc2e24aa15p-57, -0x1.453dcf53e4baap-112},
      {-0x1.fd88da3d12526p-1, 0x1.87df6378811c7p-55, -0x1.ba7bd68b25db4p-110},
      {-0x1.fa7557f08a517p-1, 0x1.7a0a8ca13571fp-55, 0x1.2a212f347e949p-111},
      {-0x1.f6297cff75cb0p-1, -0x1.562172a361fd3p-56, 0x1.63744e82fc701p-110},
      {-0x1.f0a7efb9230d7p-1, -0x1.52c7adc6b4989p-56, 0x1.db915a9794d33p-110},
      {-0x1.e9f4156c62ddap-1, -0x1.760b1e2e3f81ep-55, 0x1.1ce7542369ecdp-109},
      {-0x1.e212104f686e5p-1, 0x1.014c76c126527p-55, -0x1.0e62b13b565c2p-109},
      {-0x1.d906bcf328d46p-1, -0x1.457e610231ac2p-56, 0x1.4f3f87abe1619p-111},
      {-0x1.ced7af43cc773p-1, 0x1.e7b6bb5ab58aep-58, -0x1.525e5e3766505p-113},
      {-0x1.c38b2f180bdb1p-1, 0x1.6e0b1757c8d07p-56, 0x1.d3f8010ae0079p-111},
      {-0x1.b728345196e3ep-1, 0x1.bc69f324e6d61p-55, 0x1.6f0112635b4d1p-110},
      {-0x1.a9b66290ea1a3p-1, -0x1.9f630e8b6dac8p-60, -0x1.f345a348e97cdp-115},
      {-0x1.9b3e047f38741p-1, 0x1.30ee286712474p-55, 0x1.96d598bf43c65p-110},
      {-0x1.8bc806b151741p-1, 0x1.2c5e12ed1336dp-55, -0x1.cc9ab51d0df4ep-110},
      {-0x1.7b5df226aafafp-1, 0x1.0f537acdf0ad7p-56, 0x1.4951b1cc475b3p-111},
      {-0x1.6a09e667f3bcdp-1, 0x1.bdd3413b26456p-55, -0x1.57d3e3adec175p-109},
      {-0x1.57d69348ceca0p-1, 0x1.75720992bfbb2p-55, -0x1.a94c2fd0f385ap-112},
      {-0x1.44cf325091dd6p-1, -0x1.8076a2cfdc6b3p-57, -0x1.11a6e1c0b805fp-111},
      {-0x1.30ff7fce17035p-1, 0x1.efcc626f74a6fp-57, 0x1.68e6523ac8297p-114},
      {-0x1.1c73b39ae68c8p-1, -0x1.b25dd267f6600p-55, 0x1.56f3106b0516dp-109},
      {-0x1.073879922ffeep-1, 0x1.a5a014347406cp-55, -0x1.0157dad78ffcbp-109},
      {-0x1.e2b5d3806f63bp-2, -0x1.e0d891d3c6841p-58, -0x1.878ed68aad82ap-112},
      {-0x1.b5d1009e15cc0p-2, -0x1.5b362cb974183p-57, 0x1.cfcff7c31af0cp-113},
      {-0x1.87de2a6aea963p-2, 0x1.72cedd3d5a610p-57, 0x1.11e4420e0a4b5p-112},
      {-0x1.58f9a75ab1fddp-2, 0x1.efdc0d58cf620p-62, 0x1.f072f54189325p-119},
      {-0x1.294062ed59f06p-2, 0x1.5d28da2c4612dp-56, -0x1.7eea71c14d05cp-110},
      {-0x1.f19f97b215f1bp-3, 0x1.42deef11da2c4p-57, 0x1.b4ce553ffbd03p-111},
      {-0x1.8f8b83c69a60bp-3, 0x1.26d19b9ff8d82p-57, -0x1.9b09f9ca72c69p-111},
      {-0x1.2c8106e8e613ap-3, -0x1.13000a89a11e0p-58, -0x1.f07f9fe14048cp-112},
      {-0x1.917a6bc29b42cp-4, 0x1.e2718d26ed688p-60, 0x1.18edefcf7ef57p-116},
      {-0x1.91f65f10dd814p-5, 0x1.912bd0d569a90p-61, 0x1.d7476f4c4b019p-115},
  };
  return t[j][k];
}

LIMBS_HD inline double atan_table(int i, int k) {
  // atan(i/64), i = 0..64
  LIMBS_TABLE double t[65][3] = {
      {0.0, 0.0, 0.0},
      {0x1.fff555bbb729bp-7, -0x1.220c39d4dff50p-61, -0x1.13f6fbe21347ep-115},
      {0x1.ffd55bba97625p-6, -0x1.5ec431444912cp-60, 0x1.8c42700da052ap-114},
      {0x1.7fb818430da2ap-5, -0x1.86ef8f794f105p-63, -0x1.2271c44453610p-117},
      {0x1.ff55bb72cfdeap-5, -0x1.c934d86d23f1dp-60, -0x1.f2aece63ed30ap-116},
      {0x1.3f59f0e7c559dp-4, 0x1.ac4ce285df847p-58, 0x1.b37d93d661f69p-113},
      {0x1.7ee182602f10fp-4, -0x1.cfb654c0c3d98p-58, -0x1.f262607d5ee1ap-113},
      {0x1.be39ebe6f07c3p-4, 0x1.f7b8f29a05987p-58, 0x1.767ba435f943ap-113},
      {0x1.fd5ba9aac2f6ep-4, -0x1.cd37686760c17p-59, -0x1.dc421d31aa09bp-113},
      {0x1.1e1fafb043727p-3, -0x1.b485914dacf8cp-59, 0x1.5f33c542b5854p-115},
      {0x1.3d6eee8c6626cp-3, 0x1.61a3b0ce9281bp-57, 0x1.fd0aeea5e9f17p-115},
      {0x1.5c9811e3ec26ap-3, -0x1.054ab2c010f3dp-58, -0x1.0b35e960c9157p-113},
      {0x1.7b97b4bce5b02p-3, 0x1.347b0b4f881cap-58, -0x1.c5bc36297f94cp-113},
      {0x1.9a6a8e96c8626p-3, 0x1.cf601e7b4348ep-59, -0x1.14c5540ed9b3ep-114},
      {0x1.b90d7529260a2p-3, 0x1.17b10d2e0e5abp-61, -0x1.a1faf375dae59p-115},
      {0x1.d77d5df205736p-3, 0x1.c648d1534597ep-57, -0x1.438c276989eb0p-113},
      {0x1.f5b75f92c80ddp-3, 0x1.8ab6e3cf7afbdp-57, 0x1.0bf2d53fd481cp-113},
      {0x1.09dc597d86362p-2, 0x1.62e47390cb865p-56, 0x1.7a7455c4a1541p-110},
      {0x1.18bf5a30bf178p-2, 0x1.30ca4748b1bf9p-57, -0x1.f59cbc0b47591p-111},
      {0x1.278372057ef46p-2, -0x1.077cdd36dfc81p-56, 0x1.447a447c219f2p-113},
      {0x1.362773707ebccp-2, -0x1.963a544b672d8p-57, -0x1.4335fdd6dc1ecp-111},
      {0x1.44aa436c2af0ap-2, -0x1.5d5e43c55b3bap-56, -0x1.c9872c5f61d6fp-111},
      {0x1.530ad9951cd4ap-2, -0x1.2566480884082p-57, -0x1.85cfb7b4f18b4p-111},
      {0x1.614840309cfe2p-2, -0x1.a725715711f00p-56, 0x1.41f856810b9bdp-110},
      {0x1.6f61941e4def1p-2, -0x1.c63aae6f6e918p-56, -0x1.bb7cc27bc6885p-113},
      {0x1.7d5604b63b3f7p-2, 0x1.69c885c2b249ap-56, 0x1.102625c13c1d6p-113},
      {0x1.8b24d394a1b25p-2, 0x1.b6d0ba3748fa8p-56, 0x1.451bb896f93cap-110},
      {0x1.98cd5454d6b18p-2, 0x1.9e6c988fd0a77p-56, -0x1.920f1b617feaep-111},
      {0x1.a64eec3cc23fdp-2, -0x1.24dec1b50b7ffp-56, -0x1.8ec991ffbf22ep-113},
      {0x1.b3a911da65c6cp-2, 0x1.ae187b1ca5040p-56, 0x1.8d17555204463p-111},
      {0x1.c0db4c94ec9f0p-2, -0x1.cc1ce70934c34p-56, 0x1.970076c297e5fp-110},
      {0x1.cde53432c1351p-2, -0x1.a2cfa4418f1adp-56, 0x1.b8590c9649d0ep-110},
      {0x1.dac670561bb4fp-2, 0x1.a2b7f222f65e2p-56, -0x1.5cbf247afa9e3p-111},
      {0x1.e77eb7f175a34p-2, 0x1.0e53dc1bf3435p-56, 0x1.be7f45e414171p-110},
      {0x1.f40dd0b541418p-2, -0x1.a3992dc382a23p-57, -0x1.c4cf7bfcdb482p-111},
      {0x1.0039c73c1a40cp-1, -0x1.b32c949c9d593p-55, -0x1.8f4d32db6f39bp-109},
      {0x1.0657e94db30d0p-1, -0x1.d5b495f6349e6p-56, 0x1.45703c4557362p-110},
      {0x1.0c6145b5b43dap-1, 0x1.974fa13b5404fp-58, 0x1.46fb2552a1b53p-113},
      {0x1.1255d9bfbd2a9p-1, -0x1.2bdaee1c0ee35p-58, -0x1.6a08e08308c09p-113},
      {0x1.1835a88be7c13p-1, 0x1.c621cec00c301p-55, 0x1.6483e38911241p-114},
      {0x1.1e00babdefeb4p-1, -0x1.928df287a668fp-58, 0x1.ba3c8c533f033p-115},
      {0x1.23b71e2cc9e6ap-1, 0x1.c421c9f38224ep-57, -0x1.fde0266a172e0p-112},
      {0x1.2958e59308e31p-1, -0x1.09e73b0c6c087p-56, -0x1.7341c31d47c2ep-110},
      {0x1.2ee628406cbcap-1, 0x1.c5d5e9ff0cf8dp-55, 0x1.d6d652f31b64fp-109},
      {0x1.345f01cce37bbp-1, 0x1.1021137c71102p-55, 0x1.fe779b5c8de0cp-109},
      {0x1.39c391cd4171ap-1, -0x1.2304331d8bf46p-55, 0x1.9e238b4558d47p-109},
      {0x1.3f13fb89e96f4p-1, 0x1.ecf8b492644f0p-56, 0x1.c077e75d0f46fp-110},
      {0x1.445065b795b56p-1, -0x1.f76d0163f79c8p-56, -0x1.43c68bdefae4bp-110},
      {0x1.4978fa3269ee1p-1, 0x1.2419a87f2a458p-56, -0x1.29b08e07bcbb1p-111},
      {0x1.4e8de5bb6ec04p-1, 0x1.4a33dbeb3796cp-55, -0x1.63fcdbc8fd116p-109},
      {0x1.538f57b89061fp-1, -0x1.1bb74abda520cp-55, -0x1.b302819a3a6a8p-110},
      {0x1.587d81f732fbbp-1, -0x1.5e5c9d8c5a950p-56, -0x1.5c42f9f092afep-110},
      {0x1.5d58987169b18p-1, 0x1.0028e4bc5e7cap-57, 0x1.038501ba15a32p-111},
      {0x1.6220d115d7b8ep-1, -0x1.2b785350ee8c1p-57, -0x1.584af61d7d72bp-112},
      {0x1.66d663923e087p-1, -0x1.6ea6febe8bbbap-56, 0x1.7c9cf234ff940p-111},
      {0x1.6b798920b3d99p-1, -0x1.a80386188c50ep-55, -0x1.be0aa2b7a42e1p-110},
      {0x1.700a7c5784634p-1, -0x1.8c34d25aadef6p-56, 0x1.110f4f5ebb304p-110},
      {0x1.748978fba8e0fp-1, 0x1.7b2a6165884a1p-59, 0x1.c70c464508a9bp-113},
      {0x1.78f6bbd5d315ep-1, 0x1.406a089803740p-55, 0x1.f652027f5703fp-109},
      {0x1.7d528289fa093p-1, 0x1.560821e2f3aa9p-55, 0x1.05cfa02870684p-109},
      {0x1.819d0b7158a4dp-1, -0x1.bf76229d3b917p-56, 0x1.7d126ac77433dp-111},
      {0x1.85d69576cc2c5p-1, 0x1.6b66e7fc8b8c3p-57, 0x1.dcfd74b876070p-111},
      {0x1.89ff5ff57f1f8p-1, -0x1.55b9a5e177a1bp-55, -0x1.fddeb259de4a0p-112},
      {0x1.8e17aa99cc05ep-1, -0x1.ec182ab042f61p-56, 0x1.5f1c074e4c375p-111},
      {0x1.921fb54442d18p-1, 0x1.1a62633145c07p-55, -0x1.f1976b7ed8fbcp-111},
  };
  return t[i][k];
}

template <class D>
LIMBS_HD LIMBS_STEP inline T3<D> constant(const triple::Triple& c) {
  return {splat<D>(c.h), splat<D>(c.m), splat<D>(c.l)};
}

template <class D>
LIMBS_HD LIMBS_STEP inline Mask<D> equal(const D& a, double b) {
  return mask_and(a <= b, a >= b);
}

// x - 2^s floor(x / 2^s) for an integral x: its residue in [0, 2^s). The
// quotient is exact; subtracting just under 1/2 before rounding floors it
// without ties.
template <class D>
LIMBS_HD LIMBS_STEP inline D residue(const D& x, double two_s, double inv_two_s) {
  const D q = nearest(x * inv_two_s - (0.5 - 0.5 * inv_two_s));
  return x - q * two_s;
}

// --- Polynomials ----------------------------------------------------------------
// The coefficient of the term of degree k in w, in float64 for the terms
// whose size keeps their rounding below 2^-112 of the sum, in double-double
// for the rest.

// e^r - 1 for |r| <= 0.0055: Taylor to r^11/11! (the first term left out is
// below 2^-118).
template <class D>
LIMBS_HD LIMBS_STEP inline T3<D> expm1_small(const T3<D>& r) {
  using triple::inverse_factorial;
  D p = splat<D>(inverse_factorial(11).h);
  for (int k = 10; k >= 7; --k) p = p * r.h + inverse_factorial(k).h;
  const DD<D> rd{r.h, r.m};
  DD<D> q{p, splat<D>(0.0)};
  for (int k = 6; k >= 2; --k) q = horner_dd(q, rd, inverse_factorial(k).h, inverse_factorial(k).m);
  return add(r, dd_mul(dd_mul(rd, rd), q));
}

// sin u - u and cos u - 1 for |u| <= 0.025, in w = u^2: to u^15/15! and
// u^16/16! (the first terms left out are below 2^-134 of the result).
template <class D>
LIMBS_HD LIMBS_STEP inline DD<D> sin_tail(const DD<D>& u, const DD<D>& w) {
  using triple::inverse_factorial;
  auto c = [](int k, int part) {
    const triple::Triple f = inverse_factorial(2 * k + 1);
    return (k % 2 ? -1.0 : 1.0) * (part ? f.m : f.h);
  };
  D p = splat<D>(c(7, 0));
  for (int k = 6; k >= 4; --k) p = p * w.h + c(k, 0);
  DD<D> q{p, splat<D>(0.0)};
  for (int k = 3; k >= 1; --k) q = horner_dd(q, w, c(k, 0), c(k, 1));
  return dd_mul(u, dd_mul(w, q));
}

template <class D>
LIMBS_HD LIMBS_STEP inline DD<D> cos_tail(const DD<D>& w) {
  using triple::inverse_factorial;
  auto c = [](int k, int part) {
    const triple::Triple f = inverse_factorial(2 * k);
    return (k % 2 ? -1.0 : 1.0) * (part ? f.m : f.h);
  };
  D p = splat<D>(c(8, 0));
  for (int k = 7; k >= 4; --k) p = p * w.h + c(k, 0);
  DD<D> q{p, splat<D>(0.0)};
  for (int k = 3; k >= 1; --k) q = horner_dd(q, w, c(k, 0), c(k, 1));
  return dd_mul(w, q);
}

// atanh t - t (sign 1) or atan t - t (sign -1) for |t| <= 1/128: to
// t^17/17 (the first term left out is below 2^-130 of t).
template <class D>
LIMBS_HD LIMBS_STEP inline DD<D> arctan_tail(const DD<D>& t, double sign) {
  using triple::inverse_odd;
  const DD<D> w = dd_mul(t, t);
  double s[9];
  s[0] = 1.0;
  for (int k = 1; k < 9; ++k) s[k] = s[k - 1] * sign;
  D p = splat<D>(s[8] * inverse_odd(8).h);
  for (int k = 7; k >= 4; --k) p = p * w.h + s[k] * inverse_odd(k).h;
  DD<D> q{p, splat<D>(0.0)};
  for (int k = 3; k >= 1; --k)
    q = horner_dd(q, w, s[k] * inverse_odd(k).h, s[k] * inverse_odd(k).m);
  return dd_mul(t, dd_mul(w, q));
}

// --- Cores ------------------------------------------------------------------------

// x = k ln2/64 + r, |r| <= 0.0055, for |x.h| < 710. ln2/64 in four pieces,
// the first three of 36 bits: k times each is exact, and so is x.h - k c0.
template <class D>
LIMBS_HD LIMBS_STEP inline T3<D> exp_reduce(const T3<D>& x, D& k) {
  k = nearest(x.h * 0x1.71547652b82fep+6);
  const T3<D> r = renorm(x.h - k * 0x1.62e42fefa0000p-7, x.m, x.l);
  return add(
      add(r, T3<D>{-(k * 0x1.cf79abc9e0000p-46), -(k * 0x1.d9cc01f980000p-85), splat<D>(0.0)}),
      -(k * -0x1.2a17e1979b31bp-123));
}

// e^x = 2^m 2^(j/64) (1 + e^r - 1) with k = 64 m + j; em1 = e^r - 1.
template <class D>
LIMBS_HD LIMBS_STEP inline T3<D> exp_value(const T3<D>& x, D& k, T3<D>& em1) {
  em1 = expm1_small(exp_reduce(x, k));
  const D j = residue(k, 64.0, 0.015625);
  const D m = (k - j) * 0.015625;
  const T3<D> t = gather(j, exp2_table);
  return times(add(t, mul(t, em1)), power_of_two(m));
}

// e^x - 1: the reduced expm1 itself for k = 0, else e^x - 1 (cancelling at
// most 7 bits).
template <class D>
LIMBS_HD LIMBS_STEP inline T3<D> expm1_value(const T3<D>& x) {
  D k;
  T3<D> em1;
  const T3<D> e = exp_value(x, k, em1);
  return pick(is_zero(k), em1, add(e, splat<D>(-1.0)));
}

// log y with x = 2^e y for x.h in [2^-1020, 2^1020]: y in [0.75, 1.5),
// c = i/64 nearest y, log y = log c + 2 atanh((y - c) / (y + c)). `ok` loses
// the lanes where x is within 2^-40 of 1, where the triple's own error
// would show in x - 1.
template <class D>
LIMBS_HD LIMBS_STEP inline T3<D> log_parts(const T3<D>& x, D& e, Mask<D>& ok) {
  e = per_lane(x.h, [](double v) { return static_cast<double>(std::ilogb(v)); });
  T3<D> y = times(x, power_of_two(-e));
  const Mask<D> high = y.h >= 1.5;
  y = pick(high, times(y, splat<D>(0.5)), y);
  e = select(high, e + 1.0, e);
  const D i = nearest(y.h * 64.0);
  const D c = i * 0.015625;
  const T3<D> n = renorm(y.h - c, y.m, y.l);
  ok = mask_and(ok, mask_not(mask_and(mask_and(is_zero(e), equal(i, 64.0)), vabs(n.h) < 0x1p-40)));
  const T3<D> t = div(n, add(y, c));
  const T3<D> atanh = add(t, arctan_tail(DD<D>{t.h, t.m}, 1.0));
  return add(gather(i, log_table), times(atanh, splat<D>(2.0)));
}

// e ln2 + log y, ln2 in pieces of 42 bits (e times each exact).
template <class D>
LIMBS_HD LIMBS_STEP inline T3<D> log_value(const T3<D>& x, Mask<D>& ok) {
  D e;
  const T3<D> log_y = log_parts(x, e, ok);
  const T3<D> e_ln2{e * 0x1.62e42fefa3800p-1, e * 0x1.ef35793c76800p-45,
                    e * -0x1.9ff0342542fc3p-90};
  return add(e_ln2, log_y);
}

// log(1 + f) for f.h > -1 + 2^-40: 2 atanh(f / (2 + f)) for |f| < 1/64, else
// log of 1 + f.
template <class D>
LIMBS_HD LIMBS_STEP inline T3<D> log1p_value(const T3<D>& f, Mask<D>& ok) {
  const Mask<D> small = vabs(f.h) < 0.015625;
  const T3<D> t = div(f, add(f, splat<D>(2.0)));
  const T3<D> series = times(add(t, arctan_tail(DD<D>{t.h, t.m}, 1.0)), splat<D>(2.0));
  Mask<D> ok_log = all_lanes<D>();
  const T3<D> direct =
      log_value(pick(small, constant<D>({2.0, 0.0, 0.0}), add(f, splat<D>(1.0))), ok_log);
  ok = mask_and(ok, mask_or(small, ok_log));
  return pick(small, series, direct);
}

// Newton's square root from the float64 one, two steps; a.h > 0.
template <class D>
LIMBS_HD LIMBS_STEP inline T3<D> sqrt_value(const T3<D>& a) {
  const D y = per_lane(a.h, [](double v) { return std::sqrt(v); });
  D p, e;
  two_product(y, y, p, e);
  const T3<D> r1 = add(add(a, -p), -e);
  const D half_inv = 0.5 / y;
  const T3<D> y1 = renorm(y, r1.h * half_inv, splat<D>(0.0));
  const T3<D> r2 = add(a, neg(mul(y1, y1)));
  return renorm(y1.h, y1.m, r2.h * half_inv);
}

// sin(x + shift pi/64) for |x.h| <= 2^20: x = n pi/64 + u, |u| <= 0.025
// (pi/64 in pieces of 28 bits: n times each exact, and x.h - n c0), then
// sin(a + u) = sin a + (sin a (cos u - 1) + cos a sin u) with sin a and
// cos a from the table. `ok` loses the lanes with n != 0 and |u| < 2^-24,
// where the reduction's error would show next to a zero.
template <class D>
LIMBS_HD LIMBS_STEP inline T3<D> sin_value(const T3<D>& x, double shift, Mask<D>& ok) {
  const D n = nearest(x.h * 0x1.45f306dc9c883p+4);
  T3<D> u = renorm(x.h - n * 0x1.921fb54000000p-5, x.m, x.l);
  u = add(u, T3<D>{-(n * 0x1.10b4612000000p-35), -(n * -0x1.676733a000000p-65),
                   -(n * -0x1.d1fc8f8000000p-94)});
  u = add(u, -(n * -0x1.976b7ed8fbbadp-123));
  ok = mask_and(ok, mask_not(mask_and(mask_not(is_zero(n)), vabs(u.h) < 0x1p-24)));
  const D j = residue(n + shift, 128.0, 0.0078125);
  const D jc = residue(j + 32.0, 128.0, 0.0078125);
  const T3<D> sa = gather(j, sin_table), ca = gather(jc, sin_table);
  const DD<D> ud{u.h, u.m};
  const DD<D> w = dd_mul(ud, ud);
  const T3<D> sin_u = add(u, sin_tail(ud, w));
  const T3<D> rest = add(mul(ca, sin_u), dd_mul(DD<D>{sa.h, sa.m}, cos_tail(w)));
  return add(sa, rest);
}

// atan2(y, x) for finite y, x with |y.h|, |x.h| in [2^-400, 2^400]: the
// quotient q of the smaller magnitude by the larger, c = i/64 nearest q,
// atan q = atan c + atan((num - c den) / (den + c num)); then the octant.
template <class D>
LIMBS_HD LIMBS_STEP inline T3<D> atan2_value(const T3<D>& y, const T3<D>& x) {
  const Mask<D> y_neg = y.h < 0.0, x_neg = x.h < 0.0;
  const T3<D> ay = pick(y_neg, neg(y), y), ax = pick(x_neg, neg(x), x);
  const Mask<D> swap = ay.h > ax.h;
  const T3<D> num = pick(swap, ax, ay), den = pick(swap, ay, ax);
  const D i = nearest(num.h / den.h * 64.0);
  const D c = i * 0.015625;
  const T3<D> t = div(add(num, neg(mul(den, c))), add(den, mul(num, c)));
  T3<D> a = add(gather(i, atan_table), add(t, arctan_tail(DD<D>{t.h, t.m}, -1.0)));
  a = pick(swap, add(constant<D>(triple::half_pi()), neg(a)), a);
  a = pick(x_neg, add(constant<D>(triple::pi()), neg(a)), a);
  return pick(y_neg, neg(a), a);
}

// --- Row kernels ----------------------------------------------------------------
// A row in, a row [h, m, l, 0, ...] out; `slow` marks the lanes to redo.

template <class D>
LIMBS_HD LIMBS_STEP inline T3<D> one() {
  return {splat<D>(1.0), splat<D>(0.0), splat<D>(0.0)};
}

template <class D>
LIMBS_HD LIMBS_STEP inline RowOf<D> exp_row(const RowOf<D>& a, Mask<D>& slow) {
  Mask<D> ok;
  const T3<D> x = read(a, ok);
  ok = mask_and(ok, mask_and(x.h >= -620.0, x.h <= 709.0));
  slow = mask_not(ok);
  D k;
  T3<D> em1;
  return to_row(exp_value(pick(ok, x, one<D>()), k, em1));
}

template <class D>
LIMBS_HD LIMBS_STEP inline RowOf<D> expm1_row(const RowOf<D>& a, Mask<D>& slow) {
  Mask<D> ok;
  const T3<D> x = read(a, ok);
  ok = mask_and(ok, mask_and(mask_and(x.h >= -620.0, x.h <= 709.0), mask_not(is_zero(x.h))));
  slow = mask_not(ok);
  return to_row(expm1_value(pick(ok, x, one<D>())));
}

template <class D>
LIMBS_HD LIMBS_STEP inline RowOf<D> log_row(const RowOf<D>& a, Mask<D>& slow) {
  Mask<D> ok;
  const T3<D> x = read(a, ok);
  ok = mask_and(ok, mask_and(x.h >= 0x1p-1020, x.h <= 0x1p1020));
  const T3<D> r = log_value(pick(ok, x, constant<D>({2.0, 0.0, 0.0})), ok);
  slow = mask_not(ok);
  return to_row(r);
}

// shift 0: sin, 32: cos.
template <class D>
LIMBS_HD LIMBS_STEP inline RowOf<D> sin_row(const RowOf<D>& a, double shift, Mask<D>& slow) {
  Mask<D> ok;
  const T3<D> x = read(a, ok);
  ok = mask_and(ok, mask_and(vabs(x.h) <= 0x1p20, mask_not(is_zero(x.h))));
  const T3<D> r = sin_value(pick(ok, x, one<D>()), shift, ok);
  slow = mask_not(ok);
  return to_row(r);
}

template <class D>
LIMBS_HD LIMBS_STEP inline RowOf<D> tan_row(const RowOf<D>& a, Mask<D>& slow) {
  Mask<D> ok;
  const T3<D> x = read(a, ok);
  ok = mask_and(ok, mask_and(vabs(x.h) <= 0x1p20, mask_not(is_zero(x.h))));
  const T3<D> xs = pick(ok, x, one<D>());
  const T3<D> s = sin_value(xs, 0.0, ok);
  const T3<D> c = sin_value(xs, 32.0, ok);
  slow = mask_not(ok);
  return to_row(div(s, c));
}

// tanh |x| = t / (t + 2), t = e^(2|x|) - 1; 1 from |x| = 60 on (2^-170 away).
template <class D>
LIMBS_HD LIMBS_STEP inline RowOf<D> tanh_row(const RowOf<D>& a, Mask<D>& slow) {
  Mask<D> ok;
  const T3<D> x = read(a, ok);
  ok = mask_and(ok, mask_not(is_zero(x.h)));
  slow = mask_not(ok);
  const T3<D> xs = pick(ok, x, one<D>());
  const Mask<D> negative = xs.h < 0.0;
  const T3<D> ax = pick(negative, neg(xs), xs);
  const Mask<D> saturated = ax.h >= 60.0;
  const T3<D> t = expm1_value(times(pick(saturated, one<D>(), ax), splat<D>(2.0)));
  const T3<D> r = pick(saturated, one<D>(), div(t, add(t, splat<D>(2.0))));
  return to_row(pick(negative, neg(r), r));
}

// 1 / (1 + e^-x) for x >= 0, e^x / (1 + e^x) below: e^-|x| never overflows.
template <class D>
LIMBS_HD LIMBS_STEP inline T3<D> sigmoid_value(const T3<D>& x) {
  const Mask<D> negative = x.h < 0.0;
  D k;
  T3<D> em1;
  const T3<D> e = exp_value(pick(negative, x, neg(x)), k, em1);
  return div(pick(negative, e, one<D>()), add(e, splat<D>(1.0)));
}

template <class D>
LIMBS_HD LIMBS_STEP inline RowOf<D> sigmoid_row(const RowOf<D>& a, Mask<D>& slow) {
  Mask<D> ok;
  const T3<D> x = read(a, ok);
  ok = mask_and(ok, vabs(x.h) <= 620.0);
  slow = mask_not(ok);
  return to_row(sigmoid_value(pick(ok, x, one<D>())));
}

// x sigmoid(x); zeros and underflowing products keep their signs in the
// row-by-row kernel.
template <class D>
LIMBS_HD LIMBS_STEP inline RowOf<D> silu_row(const RowOf<D>& a, Mask<D>& slow) {
  Mask<D> ok;
  const T3<D> x = read(a, ok);
  ok = mask_and(ok, mask_and(vabs(x.h) <= 600.0, vabs(x.h) >= 0x1p-800));
  slow = mask_not(ok);
  const T3<D> xs = pick(ok, x, one<D>());
  return to_row(mul(xs, sigmoid_value(xs)));
}

template <class D>
LIMBS_HD LIMBS_STEP inline RowOf<D> atan2_row(const RowOf<D>& ya, const RowOf<D>& xa,
                                              Mask<D>& slow) {
  Mask<D> oky, okx;
  const T3<D> y = read(ya, oky), x = read(xa, okx);
  const D ay = vabs(y.h), ax = vabs(x.h);
  Mask<D> ok = mask_and(mask_and(oky, okx), mask_and(ay >= 0x1p-400, ay <= 0x1p400));
  ok = mask_and(ok, mask_and(ax >= 0x1p-400, ax <= 0x1p400));
  slow = mask_not(ok);
  return to_row(atan2_value(pick(ok, y, one<D>()), pick(ok, x, one<D>())));
}

// 2^x = 2^n e^(f ln2), n = round(x), f = x - n exact: integral x gives the
// power of two exactly.
template <class D>
LIMBS_HD LIMBS_STEP inline RowOf<D> exp2_row(const RowOf<D>& a, Mask<D>& slow) {
  Mask<D> ok;
  const T3<D> x = read(a, ok);
  ok = mask_and(ok, mask_and(x.h >= -890.0, x.h <= 1022.0));
  slow = mask_not(ok);
  const T3<D> xs = pick(ok, x, one<D>());
  const D n = nearest(xs.h);
  D k;
  T3<D> em1;
  const T3<D> v = exp_value(mul(renorm(xs.h - n, xs.m, xs.l), constant<D>(triple::ln2())), k, em1);
  return to_row(times(v, power_of_two(n)));
}

template <class D>
LIMBS_HD LIMBS_STEP inline RowOf<D> log1p_row(const RowOf<D>& a, Mask<D>& slow) {
  Mask<D> ok;
  const T3<D> f = read(a, ok);
  ok = mask_and(ok, mask_and(f.h >= -1.0 + 0x1p-40, f.h <= 0x1p1020));
  ok = mask_and(ok, mask_not(is_zero(f.h)));
  const T3<D> r = log1p_value(pick(ok, f, one<D>()), ok);
  slow = mask_not(ok);
  return to_row(r);
}

// log2 x = e + log(y) / ln2: exact at powers of two.
template <class D>
LIMBS_HD LIMBS_STEP inline RowOf<D> log2_row(const RowOf<D>& a, Mask<D>& slow) {
  Mask<D> ok;
  const T3<D> x = read(a, ok);
  ok = mask_and(ok, mask_and(x.h >= 0x1p-1020, x.h <= 0x1p1020));
  D e;
  const T3<D> log_y = log_parts(pick(ok, x, constant<D>({2.0, 0.0, 0.0})), e, ok);
  slow = mask_not(ok);
  return to_row(add(mul(log_y, constant<D>(triple::inv_ln2())), e));
}

template <class D>
LIMBS_HD LIMBS_STEP inline RowOf<D> log10_row(const RowOf<D>& a, Mask<D>& slow) {
  Mask<D> ok;
  const T3<D> x = read(a, ok);
  ok = mask_and(ok, mask_and(x.h >= 0x1p-1020, x.h <= 0x1p1020));
  const T3<D> r = log_value(pick(ok, x, constant<D>({2.0, 0.0, 0.0})), ok);
  slow = mask_not(ok);
  return to_row(mul(r, constant<D>(triple::inv_ln10())));
}

// sinh |x| = (t + t / (t + 1)) / 2 with t = e^|x| - 1: no cancellation.
template <class D>
LIMBS_HD LIMBS_STEP inline RowOf<D> sinh_row(const RowOf<D>& a, Mask<D>& slow) {
  Mask<D> ok;
  const T3<D> x = read(a, ok);
  ok = mask_and(ok, mask_and(vabs(x.h) <= 709.0, mask_not(is_zero(x.h))));
  slow = mask_not(ok);
  const T3<D> xs = pick(ok, x, one<D>());
  const Mask<D> negative = xs.h < 0.0;
  const T3<D> t = expm1_value(pick(negative, neg(xs), xs));
  const T3<D> r = times(add(t, div(t, add(t, splat<D>(1.0)))), splat<D>(0.5));
  return to_row(pick(negative, neg(r), r));
}

template <class D>
LIMBS_HD LIMBS_STEP inline RowOf<D> cosh_row(const RowOf<D>& a, Mask<D>& slow) {
  Mask<D> ok;
  const T3<D> x = read(a, ok);
  ok = mask_and(ok, vabs(x.h) <= 709.0);
  slow = mask_not(ok);
  const T3<D> xs = pick(ok, x, one<D>());
  D k;
  T3<D> em1;
  const T3<D> e = exp_value(pick(xs.h < 0.0, neg(xs), xs), k, em1);
  return to_row(times(add(e, div(one<D>(), e)), splat<D>(0.5)));
}

template <class D>
LIMBS_HD LIMBS_STEP inline RowOf<D> atan_row(const RowOf<D>& a, Mask<D>& slow) {
  Mask<D> ok;
  const T3<D> x = read(a, ok);
  ok = mask_and(ok, mask_and(vabs(x.h) >= 0x1p-400, vabs(x.h) <= 0x1p400));
  slow = mask_not(ok);
  return to_row(atan2_value(pick(ok, x, one<D>()), one<D>()));
}

// asinh |x| = log1p(|x| + x^2 / (1 + sqrt(1 + x^2))).
template <class D>
LIMBS_HD LIMBS_STEP inline RowOf<D> asinh_row(const RowOf<D>& a, Mask<D>& slow) {
  Mask<D> ok;
  const T3<D> x = read(a, ok);
  ok = mask_and(ok, mask_and(vabs(x.h) >= 0x1p-400, vabs(x.h) <= 0x1p80));
  const T3<D> xs = pick(ok, x, one<D>());
  const Mask<D> negative = xs.h < 0.0;
  const T3<D> ax = pick(negative, neg(xs), xs);
  const T3<D> q = mul(ax, ax);
  const T3<D> root = sqrt_value(add(q, splat<D>(1.0)));
  const T3<D> r = log1p_value(add(ax, div(q, add(root, splat<D>(1.0)))), ok);
  slow = mask_not(ok);
  return to_row(pick(negative, neg(r), r));
}

// acosh x = log1p(d + sqrt(d (2 + d))), d = x - 1 at least 2^-40 (the
// triple's error stays below 2^-110 of it).
template <class D>
LIMBS_HD LIMBS_STEP inline RowOf<D> acosh_row(const RowOf<D>& a, Mask<D>& slow) {
  Mask<D> ok;
  const T3<D> x = read(a, ok);
  const T3<D> d = add(x, splat<D>(-1.0));
  ok = mask_and(ok, mask_and(d.h >= 0x1p-40, x.h <= 0x1p80));
  const T3<D> ds = pick(ok, d, one<D>());
  const T3<D> r = log1p_value(add(ds, sqrt_value(mul(ds, add(ds, splat<D>(2.0))))), ok);
  slow = mask_not(ok);
  return to_row(r);
}

// atanh |x| = log1p(2|x| / (1 - |x|)) / 2, 1 - |x| at least 2^-40.
template <class D>
LIMBS_HD LIMBS_STEP inline RowOf<D> atanh_row(const RowOf<D>& a, Mask<D>& slow) {
  Mask<D> ok;
  const T3<D> x = read(a, ok);
  const Mask<D> negative = x.h < 0.0;
  const T3<D> ax = pick(negative, neg(x), x);
  const T3<D> one_minus = add(neg(ax), splat<D>(1.0));
  ok = mask_and(ok, mask_and(one_minus.h >= 0x1p-40, ax.h >= 0x1p-900));
  const T3<D> axs = pick(ok, ax, constant<D>({0.5, 0.0, 0.0}));
  const T3<D> oms = pick(ok, one_minus, constant<D>({0.5, 0.0, 0.0}));
  const T3<D> r = times(log1p_value(div(times(axs, splat<D>(2.0)), oms), ok), splat<D>(0.5));
  slow = mask_not(ok);
  return to_row(pick(negative, neg(r), r));
}

// The defined gelu's function with its float64 constants, x sigmoid(2 z),
// z = c (x + k x^3).
template <class D>
LIMBS_HD LIMBS_STEP inline RowOf<D> gelu_row(const RowOf<D>& a, Mask<D>& slow) {
  Mask<D> ok;
  const T3<D> x = read(a, ok);
  ok = mask_and(ok, mask_and(vabs(x.h) <= 20.0, vabs(x.h) >= 0x1p-800));
  slow = mask_not(ok);
  const T3<D> xs = pick(ok, x, one<D>());
  const T3<D> cube = mul(mul(xs, xs), xs);
  const T3<D> z = mul(add(xs, mul(cube, splat<D>(0.044715))), splat<D>(0.7978845608028654));
  return to_row(mul(xs, sigmoid_value(times(z, splat<D>(2.0)))));
}

// asin x = atan2(x, sqrt((1 - x)(1 + x))) and acos x = atan2(sqrt(...), x),
// 1 - |x| at least 2^-40 (the triple's error stays below 2^-110 of it).
template <class D>
LIMBS_HD LIMBS_STEP inline RowOf<D> arcsine_row(const RowOf<D>& a, bool cosine, Mask<D>& slow) {
  Mask<D> ok;
  const T3<D> x = read(a, ok);
  const T3<D> one_minus = add(neg(x), splat<D>(1.0)), one_plus = add(x, splat<D>(1.0));
  ok = mask_and(ok, mask_and(one_minus.h >= 0x1p-40, one_plus.h >= 0x1p-40));
  ok = mask_and(ok, vabs(x.h) >= (cosine ? 0.0 : 0x1p-400));
  if (!cosine) ok = mask_and(ok, mask_not(is_zero(x.h)));
  slow = mask_not(ok);
  const T3<D> half{splat<D>(0.5), splat<D>(0.0), splat<D>(0.0)};
  const T3<D> root = sqrt_value(mul(pick(ok, one_minus, half), pick(ok, one_plus, half)));
  const T3<D> xs = pick(ok, x, half);
  return to_row(cosine ? atan2_value(root, xs) : atan2_value(xs, root));
}

template <class D>
LIMBS_HD LIMBS_STEP inline RowOf<D> asin_row(const RowOf<D>& a, Mask<D>& slow) {
  return arcsine_row(a, false, slow);
}

template <class D>
LIMBS_HD LIMBS_STEP inline RowOf<D> acos_row(const RowOf<D>& a, Mask<D>& slow) {
  return arcsine_row(a, true, slow);
}

// a^b = e^(b log a) for a positive and b nonzero (the sign, parity and
// special cases are the row-by-row kernel's), b log a in [-620, 709].
template <class D>
LIMBS_HD LIMBS_STEP inline RowOf<D> pow_row(const RowOf<D>& a, const RowOf<D>& b, Mask<D>& slow) {
  Mask<D> ok, ok_b;
  const T3<D> x = read(a, ok);
  const T3<D> y = read(b, ok_b);
  ok = mask_and(mask_and(ok, ok_b), mask_and(x.h >= 0x1p-1020, x.h <= 0x1p1020));
  ok = mask_and(ok, mask_not(is_zero(y.h)));
  const T3<D> ys = pick(ok, y, one<D>());
  const T3<D> z = mul(log_value(pick(ok, x, constant<D>({2.0, 0.0, 0.0})), ok), ys);
  ok = mask_and(ok, mask_and(z.h >= -620.0, z.h <= 709.0));
  slow = mask_not(ok);
  D k;
  T3<D> em1;
  return to_row(exp_value(pick(ok, z, one<D>()), k, em1));
}

}  // namespace lanes_math
}  // namespace limbs
