#include "vantle/dsp/delay_line.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace vantle::dsp {
namespace {

// 2^64 as a double: the first value that no longer fits an unsigned 64-bit count.
constexpr double kBeyondU64 = 18446744073709551616.0;
// Rounding up past this would need 2^64, which does not exist; such a line can never be
// allocated anyway, so it is capped here and the allocation reports the failure.
constexpr std::uint64_t kLargestPowerOfTwo = std::uint64_t{1} << 63;

// ceil(sample_rate * ms / 1000), with negative and NaN products as 0 and anything past
// the 64-bit range saturated, so no float-to-integer conversion is ever out of range.
std::uint64_t samples_rounded_up(double sample_rate, double ms) {
  const double samples = std::ceil(sample_rate * ms / 1000.0);
  if (!(samples > 0.0)) return 0;
  if (samples >= kBeyondU64) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(samples);
}

}  // namespace

DelayLine::DelayLine(double sample_rate, double ms) {
  const std::uint64_t size = size_for(sample_rate, ms);
  // Checked here and not left to the vector: where size_t is narrower than 64 bits the
  // conversion below would silently give a short line.
  if (size > left_.max_size()) throw std::length_error("delay line too long");
  left_.assign(static_cast<std::size_t>(size), 0.0f);
  right_.assign(static_cast<std::size_t>(size), 0.0f);
  mask_ = static_cast<std::size_t>(size - 1);
}

std::uint64_t DelayLine::size_for(double sample_rate, double ms) {
  const std::uint64_t samples = samples_rounded_up(sample_rate, ms);
  if (samples < 2) return 1;
  if (samples > kLargestPowerOfTwo) return kLargestPowerOfTwo;
  return std::bit_ceil(samples);
}

std::uint64_t DelayLine::delay_for(double sample_rate, double ms, std::uint64_t size) {
  if (size == 0) return 0;
  const double samples = sample_rate * ms / 1000.0;
  if (!(samples > 0.0)) return 0;
  const double rounded = std::round(samples);  // halves away from zero
  const std::uint64_t longest = size - 1;
  // Compared in double: a rounded value at or past the longest delay may not fit the
  // integer type, so it must not be converted.
  if (rounded >= static_cast<double>(longest)) return longest;
  return std::min(static_cast<std::uint64_t>(rounded), longest);
}

void DelayLine::clear() noexcept {
  std::fill(left_.begin(), left_.end(), 0.0f);
  std::fill(right_.begin(), right_.end(), 0.0f);
  write_ = 0;
}

}  // namespace vantle::dsp
