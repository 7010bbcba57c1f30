// JSON reading and writing shared by every module: strict parsing (duplicate
// members and runaway nesting are refused before values are built), typed member
// access with the mixer's error texts, and 32-bit float numbers in their shortest
// decimal form.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vantle::json {

// Insertion-ordered, so records are written in their field order.
using Json = nlohmann::ordered_json;

inline constexpr int kMaxDepth = 64;

// Parses one JSON value; whitespace may surround it, anything else after it is an
// error. Throws Error: the parser's message, "duplicate field `{}`", or
// "nesting deeper than {} levels".
Json parse(std::string_view text, int max_depth = kMaxDepth);

// A float as a JSON number that prints as the shortest decimal reading back to the
// same 32-bit value (0.05, 1.0, 200.0); null when not finite.
Json f32(float value);
// A float widened to double precision (0.8f prints as 0.800000011920929).
Json f32_widened(float value);
// The shortest decimal text of a float, always with a fraction or exponent.
std::string format_f32(float value);

// Typed access to the members of one JSON object, with the mixer's error texts
// ("missing field `x`", "invalid type for `x`: expected a string, got 5").
class ObjectReader {
 public:
  // `what` names the record in the "expected an object" error.
  ObjectReader(const Json& value, std::string_view what);

  bool has(std::string_view key) const;  // present and not null
  const Json* find(std::string_view key) const;  // nullptr when absent
  const Json& require(std::string_view key) const;

  std::string string(std::string_view key) const;
  std::string string_or(std::string_view key, std::string fallback) const;
  bool boolean(std::string_view key) const;
  bool boolean_or(std::string_view key, bool fallback) const;
  float f32(std::string_view key) const;
  float f32_or(std::string_view key, float fallback) const;
  float finite_f32(std::string_view key) const;
  // Unsigned integers no larger than `max` (no fraction, not negative).
  std::uint64_t unsigned_int(std::string_view key, std::uint64_t max) const;
  std::uint64_t unsigned_or(std::string_view key, std::uint64_t max, std::uint64_t fallback) const;

  const Json& value() const { return value_; }

 private:
  const Json& value_;
};

// Conversions of a single value; `field` names it in the error text.
std::string as_string(const Json& v, std::string_view field);
bool as_bool(const Json& v, std::string_view field);
float as_f32(const Json& v, std::string_view field);
// A float that must be finite: a number beyond the float range would become an
// infinity, which the JSON form writes as null and can never read back.
float as_finite_f32(const Json& v, std::string_view field);
std::uint64_t as_unsigned(const Json& v, std::string_view field, std::uint64_t max);

// A short rendering of a value for error texts: strings quoted, long values cut.
std::string describe(const Json& v);

}  // namespace vantle::json
