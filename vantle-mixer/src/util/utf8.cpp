#include "util/utf8.hpp"

namespace vantle {

// Replacement follows the "maximal subpart" practice: a sequence that starts like
// well-formed UTF-8 but breaks off is replaced by one U+FFFD for the bytes it got
// right so far, and scanning resumes at the byte that broke it; a byte that can
// start no sequence at all (0x80..0xC1, 0xF5..0xFF) is one U+FFFD on its own. So
// "E2 82 41" gives U+FFFD then "A", and "C0 AF" gives two U+FFFD. Overlong forms,
// surrogates and code points above U+10FFFF are excluded by the second-byte ranges.
std::string lenient_utf8(std::span<const std::uint8_t> bytes) {
  static constexpr char kReplacement[] = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  const std::size_t size = bytes.size();
  while (i < size) {
    const std::uint8_t lead = bytes[i];
    if (lead < 0x80) {
      out.push_back(static_cast<char>(lead));
      ++i;
      continue;
    }
    std::size_t need = 0;
    std::uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
      need = 1;
    } else if (lead == 0xE0) {
      need = 2, lo = 0xA0;
    } else if (lead == 0xED) {
      need = 2, hi = 0x9F;
    } else if (lead >= 0xE1 && lead <= 0xEF) {
      need = 2;
    } else if (lead == 0xF0) {
      need = 3, lo = 0x90;
    } else if (lead == 0xF4) {
      need = 3, hi = 0x8F;
    } else if (lead >= 0xF1 && lead <= 0xF3) {
      need = 3;
    } else {
      out += kReplacement;
      ++i;
      continue;
    }
    std::size_t k = 1;
    for (; k <= need; ++k) {
      if (i + k >= size) break;
      const std::uint8_t b = bytes[i + k];
      if (k == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF)) break;
    }
    if (k > need) {
      out.append(reinterpret_cast<const char*>(bytes.data() + i), need + 1);
      i += need + 1;
    } else {
      out += kReplacement;
      i += k;
    }
  }
  return out;
}

std::string lenient_utf8(std::string_view bytes) {
  return lenient_utf8(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

}  // namespace vantle
