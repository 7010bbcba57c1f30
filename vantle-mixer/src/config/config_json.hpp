// The JSON form of a `Config`: strict reading (missing and duplicate members, types,
// ranges, plugin types) and writing in the stored layout.
#pragma once

#include <string>
#include <string_view>

#include "config/config.hpp"
#include "util/json.hpp"

namespace vantle::config {

// Reads a configuration from JSON text; whitespace may surround the object, anything
// else after it is an error. Throws Error naming the first problem.
Config config_from_json_text(std::string_view text);

// Reads a configuration from an already parsed JSON value (the "config" member of
// a reload request, or a converted TOML document). Throws Error.
Config config_from_json(const json::Json& value);

// How 32-bit floats appear in a JSON value: shortest form (files) or widened to
// double precision (generic payloads of control replies).
enum class FloatForm { kShortest, kWidened };

// The configuration as a JSON value with members in field order.
json::Json config_to_json(const Config& config, FloatForm floats = FloatForm::kShortest);

// The stored layout: two-space indentation, members in field order, shortest floats,
// no newline after the closing brace.
std::string config_to_json_text(const Config& config);

// One plugin in its JSON form: "type" first, then the parameters of its kind.
json::Json plugin_to_json(const PluginConfig& plugin, FloatForm floats = FloatForm::kShortest);
// Reads one plugin object; an unknown "type" is an error.
PluginConfig plugin_from_json(const json::Json& value);

}  // namespace vantle::config
