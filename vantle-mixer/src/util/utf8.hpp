// Bytes from outside (peer names, the output of other programs) turned into text
// that is always valid UTF-8.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vantle {

// The bytes as UTF-8 text; invalid sequences become U+FFFD, one for each maximal
// invalid subpart (a truncated sequence is one U+FFFD, a byte that cannot start a
// sequence is one U+FFFD of its own).
std::string lenient_utf8(std::span<const std::uint8_t> bytes);
std::string lenient_utf8(std::string_view bytes);

}  // namespace vantle
