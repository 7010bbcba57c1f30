#include "util/json.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "util/error.hpp"

namespace vantle::json {
namespace {

TEST(JsonFloats, ShortestFormReadsBackToTheSameFloat) {
  struct Case {
    float value;
    const char* text;
  };
  for (auto [value, text] : {Case{1.0f, "1.0"}, Case{0.05f, "0.05"}, Case{200.0f, "200.0"}, Case{0.8f, "0.8"},
                             Case{-0.25f, "-0.25"}, Case{0.707f, "0.707"}, Case{0.0f, "0.0"},
                             Case{0.1f + 0.2f, "0.3"}}) {
    EXPECT_EQ(format_f32(value), text);
    EXPECT_EQ(f32(value).dump(), text);
    EXPECT_EQ(static_cast<float>(std::strtod(text, nullptr)), value) << text;
  }
  EXPECT_EQ(format_f32(1e-5f), "1e-5");
  EXPECT_EQ(format_f32(3.0e12f), "3e12");
  // Whatever form the writer picks for extreme values, it reads back exactly.
  for (float value : {1e-5f, 3.0e12f, 1.17549435e-38f, 3.40282347e38f, 123456.789f, 1e-45f}) {
    EXPECT_EQ(static_cast<float>(parse(f32(value).dump()).get<double>()), value) << f32(value).dump();
  }
  EXPECT_EQ(f32_widened(0.8f).dump(), "0.800000011920929");
  EXPECT_TRUE(f32(std::numeric_limits<float>::quiet_NaN()).is_null());
  EXPECT_TRUE(f32(std::numeric_limits<float>::infinity()).is_null());
}

std::string parse_error(const std::string& text, int depth = kMaxDepth) {
  try {
    parse(text, depth);
  } catch (const Error& e) {
    return e.joined();
  }
  return "";
}

TEST(JsonParse, RefusesDuplicatesGarbageAndDeepNesting) {
  EXPECT_EQ(parse_error(R"({"a": 1, "a": 2})"), "duplicate field `a`");
  EXPECT_EQ(parse_error(R"({"x": {"a": 1, "b": {"a": 2}, "a": 3}})"), "duplicate field `a`");
  // The same name in sibling objects is fine.
  EXPECT_EQ(parse_error(R"([{"a": 1}, {"a": 2}])"), "");
  EXPECT_EQ(parse_error(" {\"a\": 1}\n\t "), "");
  EXPECT_NE(parse_error(R"({"a": 1} x)"), "");
  EXPECT_NE(parse_error(""), "");
  EXPECT_EQ(parse_error(std::string(100, '[') + std::string(100, ']')), "nesting deeper than 64 levels");
  EXPECT_EQ(parse_error(std::string(1'000'000, '[')), "nesting deeper than 64 levels");
  EXPECT_EQ(parse_error("[[1]]", 2), "");
  EXPECT_EQ(parse_error("[[[1]]]", 2), "nesting deeper than 2 levels");
  // Parser messages lose the library's tag.
  EXPECT_EQ(parse_error("{").rfind("parse error", 0), 0u) << parse_error("{");
}

TEST(JsonObjectReader, TypedMembersWithClearErrors) {
  Json v = parse(R"({"s": "x", "b": true, "f": 2, "u": 70000, "neg": -1, "frac": 1.5, "n": null})");
  ObjectReader r(v, "a test");
  EXPECT_EQ(r.string("s"), "x");
  EXPECT_TRUE(r.boolean("b"));
  EXPECT_EQ(r.f32("f"), 2.0f);
  EXPECT_EQ(r.unsigned_int("u", 100000), 70000u);
  EXPECT_EQ(r.f32_or("missing", 0.5f), 0.5f);
  EXPECT_FALSE(r.has("n"));
  EXPECT_TRUE(r.find("n") != nullptr);

  auto error_of = [&](auto body) -> std::string {
    try {
      body();
    } catch (const Error& e) {
      return e.joined();
    }
    return "";
  };
  EXPECT_EQ(error_of([&] { r.string("missing"); }), "missing field `missing`");
  EXPECT_EQ(error_of([&] { r.unsigned_int("u", 65535); }),
            "invalid value for `u`: 70000 is out of range (at most 65535)");
  EXPECT_EQ(error_of([&] { r.unsigned_int("neg", 65535); }),
            "invalid type for `neg`: expected an unsigned integer, got -1");
  EXPECT_EQ(error_of([&] { r.unsigned_int("frac", 65535); }),
            "invalid type for `frac`: expected an unsigned integer, got 1.5");
  EXPECT_EQ(error_of([&] { r.boolean("f"); }), "invalid type for `f`: expected a boolean, got 2");
  EXPECT_EQ(error_of([&] { r.f32("s"); }), "invalid type for `s`: expected a number, got \"x\"");
  EXPECT_EQ(error_of([&] { ObjectReader(Json::array(), "config"); }),
            "invalid type: expected config object, got an array");
}

}  // namespace
}  // namespace vantle::json
