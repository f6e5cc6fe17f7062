#include "arrays/offsetrow.h"

double& LimitArE::operator[](int i) {
  ok(i);
  return items[static_cast<std::uint32_t>(i) - low];
}

const double& LimitArE::operator[](int i) const {
  ok(i);
  return items[static_cast<std::uint32_t>(i) - low];
}

void LimitArE::ok(int i) const {
  const std::uint32_t n = ArSize();
  // Sign-extended to 64 bits, a negative index lands above any bound, and
  // low + n cannot wrap.
  const bool valid = static_cast<std::uint32_t>(i) >= low &&
                     static_cast<std::uint64_t>(static_cast<std::int64_t>(i)) <
                         std::uint64_t{low} + n;
  if (!valid) {
    throw SonOfBad(i, static_cast<int>(low),
                   static_cast<int>(static_cast<std::uint32_t>(low + n - 1)));
  }
}
