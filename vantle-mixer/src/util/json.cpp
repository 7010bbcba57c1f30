#include "util/json.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <set>
#include <vector>

#include "util/error.hpp"

namespace vantle::json {

namespace {

// nlohmann prefixes its messages with "[json.exception.parse_error.101] ".
std::string strip_exception_tag(std::string message) {
  if (!message.empty() && message.front() == '[') {
    if (auto end = message.find("] "); end != std::string::npos) message.erase(0, end + 2);
  }
  return message;
}

[[noreturn]] void wrong(const Json& v, std::string_view field, std::string_view expected) {
  throw Error("invalid type for `" + std::string(field) + "`: expected " + std::string(expected) +
              ", got " + describe(v));
}

}  // namespace

Json parse(std::string_view text, int max_depth) {
  // The parser would skip a byte-order mark silently; JSON text does not start with one.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") {
    throw Error("syntax error while parsing value - unexpected byte-order mark at line 1, column 1");
  }
  // One set of member names per open object, to refuse duplicates while parsing.
  std::vector<std::set<std::string, std::less<>>> open_objects;
  auto on_event = [&](int depth, Json::parse_event_t event, Json& parsed) {
    using Event = Json::parse_event_t;
    switch (event) {
      case Event::object_start:
      case Event::array_start:
        if (depth >= max_depth) throw Error("nesting deeper than " + std::to_string(max_depth) + " levels");
        if (event == Event::object_start) open_objects.emplace_back();
        break;
      case Event::object_end:
        open_objects.pop_back();
        break;
      case Event::key: {
        const auto& name = parsed.get_ref<const std::string&>();
        if (!open_objects.back().insert(name).second) throw Error("duplicate field `" + name + "`");
        break;
      }
      default:
        break;
    }
    return true;
  };
  try {
    return Json::parse(text.begin(), text.end(), on_event);
  } catch (const nlohmann::json::exception& e) {
    throw Error(strip_exception_tag(e.what()));
  }
}

std::string format_f32(float value) {
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  std::string text(buf, end);
  if (!std::isfinite(value)) return text;
  auto e = text.find('e');
  if (e == std::string::npos) {
    if (text.find('.') == std::string::npos) text += ".0";
    return text;
  }
  // "1e-05" and "1e+08" read better as "1e-5" and "1e8".
  std::string mantissa = text.substr(0, e);
  std::string exponent = text.substr(e + 1);
  bool negative = !exponent.empty() && exponent.front() == '-';
  if (!exponent.empty() && (exponent.front() == '-' || exponent.front() == '+')) exponent.erase(0, 1);
  while (exponent.size() > 1 && exponent.front() == '0') exponent.erase(0, 1);
  return mantissa + "e" + (negative ? "-" : "") + exponent;
}

Json f32(float value) {
  if (!std::isfinite(value)) return nullptr;
  // The double nearest the shortest decimal prints as that decimal again.
  return std::strtod(format_f32(value).c_str(), nullptr);
}

Json f32_widened(float value) {
  if (!std::isfinite(value)) return nullptr;
  return static_cast<double>(value);
}

std::string describe(const Json& v) {
  if (v.is_object()) return "an object";
  if (v.is_array()) return "an array";
  std::string text;
  if (v.is_string()) {
    text = "\"" + v.get_ref<const std::string&>() + "\"";
  } else if (v.is_number_float() && !std::isfinite(v.get<double>())) {
    // dump() would say "null" for these, which misleads.
    const double d = v.get<double>();
    text = std::isnan(d) ? "nan" : (d > 0 ? "inf" : "-inf");
  } else if (v.is_binary()) {
    // Values JSON has no type for (TOML dates and times) are carried as their source text.
    const auto& bytes = v.get_binary();
    text.assign(bytes.begin(), bytes.end());
  } else {
    text = v.dump();
  }
  if (text.size() > 40) {
    // Cut on a character boundary: these texts end up in JSON replies, which must stay UTF-8.
    std::size_t cut = 37;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text = text.substr(0, cut) + "...";
  }
  return text;
}

std::string as_string(const Json& v, std::string_view field) {
  if (!v.is_string()) wrong(v, field, "a string");
  return v.get<std::string>();
}

bool as_bool(const Json& v, std::string_view field) {
  if (!v.is_boolean()) wrong(v, field, "a boolean");
  return v.get<bool>();
}

float as_f32(const Json& v, std::string_view field) {
  if (!v.is_number()) wrong(v, field, "a number");
  const double d = v.get<double>();
  // Narrowing a double beyond the float range is undefined behaviour; such values
  // become infinities of their sign (the smallest of them is the rounding midpoint
  // above the largest float, so 3.4028235e38 still reads as the largest float).
  if (std::isfinite(d) && std::fabs(d) >= 0x1.ffffffp127) {
    return std::signbit(d) ? -std::numeric_limits<float>::infinity() : std::numeric_limits<float>::infinity();
  }
  return static_cast<float>(d);
}

float as_finite_f32(const Json& v, std::string_view field) {
  const float value = as_f32(v, field);
  if (!std::isfinite(value)) {
    throw Error("invalid value for `" + std::string(field) + "`: " + describe(v) + " is out of range for a 32-bit float");
  }
  return value;
}

std::uint64_t as_unsigned(const Json& v, std::string_view field, std::uint64_t max) {
  std::uint64_t n = 0;
  if (v.is_number_unsigned()) {
    n = v.get<std::uint64_t>();
  } else if (v.is_number_integer() && v.get<std::int64_t>() >= 0) {
    n = static_cast<std::uint64_t>(v.get<std::int64_t>());
  } else {
    wrong(v, field, "an unsigned integer");
  }
  if (n > max) {
    throw Error("invalid value for `" + std::string(field) + "`: " + std::to_string(n) +
                " is out of range (at most " + std::to_string(max) + ")");
  }
  return n;
}

ObjectReader::ObjectReader(const Json& value, std::string_view what) : value_(value) {
  if (!value.is_object()) {
    throw Error("invalid type: expected " + std::string(what) + " object, got " + describe(value));
  }
}

const Json* ObjectReader::find(std::string_view key) const {
  auto it = value_.find(key);
  return it == value_.end() ? nullptr : &*it;
}

bool ObjectReader::has(std::string_view key) const {
  const Json* v = find(key);
  return v != nullptr && !v->is_null();
}

const Json& ObjectReader::require(std::string_view key) const {
  const Json* v = find(key);
  if (v == nullptr) throw Error("missing field `" + std::string(key) + "`");
  return *v;
}

std::string ObjectReader::string(std::string_view key) const { return as_string(require(key), key); }
bool ObjectReader::boolean(std::string_view key) const { return as_bool(require(key), key); }
float ObjectReader::f32(std::string_view key) const { return as_f32(require(key), key); }
float ObjectReader::finite_f32(std::string_view key) const { return as_finite_f32(require(key), key); }
std::uint64_t ObjectReader::unsigned_int(std::string_view key, std::uint64_t max) const {
  return as_unsigned(require(key), key, max);
}

std::string ObjectReader::string_or(std::string_view key, std::string fallback) const {
  const Json* v = find(key);
  return v ? as_string(*v, key) : std::move(fallback);
}
bool ObjectReader::boolean_or(std::string_view key, bool fallback) const {
  const Json* v = find(key);
  return v ? as_bool(*v, key) : fallback;
}
float ObjectReader::f32_or(std::string_view key, float fallback) const {
  const Json* v = find(key);
  return v ? as_f32(*v, key) : fallback;
}
std::uint64_t ObjectReader::unsigned_or(std::string_view key, std::uint64_t max, std::uint64_t fallback) const {
  const Json* v = find(key);
  return v ? as_unsigned(*v, key, max) : fallback;
}

}  // namespace vantle::json
