// Exceptions of the tensor layer. The binding layer translates each to the
// Python exception of the same name; the message is passed through verbatim.
#pragma once

#include <stdexcept>
#include <string>

namespace zel {

struct TypeError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct ValueError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct IndexError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct ZeroDivisionError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct NotImplementedError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

}  // namespace zel
