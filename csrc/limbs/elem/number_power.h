// A float64 number raised to an element (b ** t). With n the integer nearest
// the exponent and f = x - n (exact limb subtraction), b^x = b^n * b^f: b^n by
// pow_int on the fresh row b (exactly Tensor(b) ** n, so small integer powers
// are exact), b^f = exp(log(b) * f) with |f| <= 1/2, where the defined series
// are at their most accurate.
#pragma once

#include <cmath>

#include "limbs/elem/defined.h"
#include "limbs/core/order.h"

namespace limbs {

LIMBS_HD inline Row number_pow(double b, const Row& x) {
  const double v = approx(x);
  // Zero or infinite bases, base 1, zero or non-finite exponents, and
  // exponents whose powers overflow or underflow for every other base: the
  // IEEE pow of the approximations is the answer (0, 1, inf or NaN).
  if (b == 0.0 || b == 1.0 || !std::isfinite(b) || !std::isfinite(v) || v == 0.0 ||
      std::fabs(v) >= 0x1p62)
    return from_double(std::pow(b, v));
  const double n = std::nearbyint(v);
  const Row whole = pow_int(from_double(b), static_cast<long long>(n));
  const Row f = sub(x, from_double(n));
  if (sign_exact(f) == 0) return whole;
  if (b < 0.0) return from_double(kNaN);  // no real result for a non-integral power
  return mul(whole, exp(mul(log(from_double(b)), f)));
}

}  // namespace limbs
