#include "config/storage.hpp"

#include <fmt/format.h>
#include <sys/stat.h>
#include <toml++/toml.h>

#include <algorithm>
#include <sstream>
#include <system_error>
#include <utility>
#include <vector>

#include "config/config_json.hpp"
#include "config/validate.hpp"
#include "util/error.hpp"
#include "util/files.hpp"
#include "util/json.hpp"
#include "util/log.hpp"

namespace vantle::config {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

spdlog::logger& logger() { return vantle::log::get("vantle_mixer::config"); }

// Present when its metadata can be read through any symbolic links; a dangling link
// or an unreadable parent counts as absent.
bool present(const fs::path& path) {
  struct stat info {};
  return !path.empty() && ::stat(path.c_str(), &info) == 0;
}

template <class Node>
json::Json date_or_time(const Node& value) {
  std::ostringstream text;
  text << value;
  const std::string s = text.str();
  // JSON has no type for these; carried as their text so that any member that
  // reads them refuses the value by name, while unknown members still pass.
  return json::Json::binary(std::vector<std::uint8_t>(s.begin(), s.end()));
}

// toml++ builds and frees tables recursively, so a document nested tens of thousands
// of levels deep (dotted keys in a table header, say) overflows the stack inside the
// library. Before parsing, an upper bound of the depth is tracked outside strings and
// comments: the open brackets and braces, the dots of the keys being read at each of
// them (a float's dot counts too, which only overestimates), and the depth the
// current table header puts its members at. Sensible files stay far below the cap.
constexpr int kMaxNesting = 512;

void refuse_runaway_nesting(std::string_view text) {
  enum class In { kCode, kComment, kBasic, kLiteral, kMultiBasic, kMultiLiteral } in = In::kCode;
  std::size_t line = 1;
  std::vector<int> dots{0};  // per open bracket or brace, the dots of the key being read
  int dot_sum = 0;
  int header_depth = 0;      // depth of the members of the last table header
  int line_depth = 0;        // deepest estimate on the current line
  bool statement_start = true;
  bool in_header = false;

  auto check = [&] {
    const int depth = (in_header ? 0 : header_depth) + dot_sum + static_cast<int>(dots.size()) - 1;
    line_depth = std::max(line_depth, depth);
    if (depth > kMaxNesting) {
      throw Error(fmt::format("line {} nests tables, keys or arrays more than {} levels deep", line, kMaxNesting));
    }
  };

  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\n') {
      if (in == In::kComment || in == In::kBasic || in == In::kLiteral) in = In::kCode;
      if (in == In::kCode && dots.size() == 1) {
        // A statement ends here (arrays may continue over lines; keys may not).
        if (in_header) header_depth = line_depth;
        in_header = false;
        statement_start = true;
        dot_sum = 0;
        dots.back() = 0;
      }
      ++line;
      line_depth = 0;
      continue;
    }
    switch (in) {
      case In::kCode:
        if (c == ' ' || c == '\t' || c == '\r') break;
        if (statement_start) {
          statement_start = false;
          in_header = c == '[';
        }
        if (c == '#') {
          in = In::kComment;
        } else if (c == '"' || c == '\'') {
          const bool triple = text.substr(i, 3) == std::string(3, c);
          in = c == '"' ? (triple ? In::kMultiBasic : In::kBasic) : (triple ? In::kMultiLiteral : In::kLiteral);
          if (triple) i += 2;
        } else if (c == '.') {
          ++dots.back();
          ++dot_sum;
          check();
        } else if (c == '[' || c == '{') {
          dots.push_back(0);
          check();
        } else if (c == ']' || c == '}') {
          if (dots.size() > 1) {
            dot_sum -= dots.back();
            dots.pop_back();
          }
        } else if (c == ',') {
          dot_sum -= dots.back();
          dots.back() = 0;
        }
        break;
      case In::kComment:
        break;
      case In::kBasic:
      case In::kMultiBasic:
        if (c == '\\') {
          // The escaped character cannot end the string; an escaped line break is still one.
          if (i + 1 < text.size() && text[i + 1] != '\n') ++i;
        } else if (c == '"') {
          if (in == In::kBasic) {
            in = In::kCode;
          } else if (text.substr(i, 3) == "\"\"\"") {
            i += 2;
            // Up to two more quotes may close a multi-line string ("""a""""").
            while (i + 1 < text.size() && text[i + 1] == '"') ++i;
            in = In::kCode;
          }
        }
        break;
      case In::kLiteral:
      case In::kMultiLiteral:
        if (c == '\'') {
          if (in == In::kLiteral) {
            in = In::kCode;
          } else if (text.substr(i, 3) == "'''") {
            i += 2;
            while (i + 1 < text.size() && text[i + 1] == '\'') ++i;
            in = In::kCode;
          }
        }
        break;
    }
  }
}

json::Json toml_to_json(const toml::node& node, int depth) {
  if (depth > json::kMaxDepth) throw Error(fmt::format("nesting deeper than {} levels", json::kMaxDepth));
  switch (node.type()) {
    case toml::node_type::table: {
      json::Json out = json::Json::object();
      for (const auto& [key, value] : *node.as_table()) out[std::string(key.str())] = toml_to_json(value, depth + 1);
      return out;
    }
    case toml::node_type::array: {
      json::Json out = json::Json::array();
      for (const auto& element : *node.as_array()) out.push_back(toml_to_json(element, depth + 1));
      return out;
    }
    case toml::node_type::string:
      return node.as_string()->get();
    case toml::node_type::integer:
      return node.as_integer()->get();
    case toml::node_type::floating_point:
      return node.as_floating_point()->get();
    case toml::node_type::boolean:
      return node.as_boolean()->get();
    case toml::node_type::date:
      return date_or_time(*node.as_date());
    case toml::node_type::time:
      return date_or_time(*node.as_time());
    case toml::node_type::date_time:
      return date_or_time(*node.as_date_time());
    case toml::node_type::none:
      break;
  }
  throw Error("unsupported TOML value");
}

void create_state_directory(const fs::path& dir) {
  // An empty state directory names the current one, which exists.
  if (dir.empty()) return;
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) throw Error(fmt::format("{} (os error {})", ec.message(), ec.value()));
}

Config load_runtime_file(const fs::path& path) {
  const std::string text = with_context("reading " + path.string(), [&] { return files::read_text(path); });
  return with_context("parsing JSON config", [&] { return config_from_json_text(text); });
}

Config load_legacy_file(const fs::path& path) {
  const std::string text = with_context("reading " + path.string(), [&] { return files::read_text(path); });
  return with_context("parsing TOML config", [&] { return config_from_toml_text(text); });
}

void check(const Config& config) {
  if (auto problem = validate_config(config)) throw Error(std::move(*problem));
}

}  // namespace

Config config_from_toml_text(std::string_view text) {
  if (text.substr(0, kUtf8Bom.size()) == kUtf8Bom) text.remove_prefix(kUtf8Bom.size());
  refuse_runaway_nesting(text);
  toml::table document;
  try {
    document = toml::parse(text);
  } catch (const toml::parse_error& e) {
    throw Error(fmt::format("{} at line {}, column {}", e.description(), e.source().begin.line,
                            e.source().begin.column));
  }
  return config_from_json(toml_to_json(document, 0));
}

ResolvedConfig resolve_config(const fs::path& state_dir, const fs::path& legacy_file) {
  const fs::path runtime = state_dir / kRuntimeFileName;

  // Once the runtime file exists it is the configuration, even when it is broken:
  // falling back to the legacy file would silently undo every reload since.
  if (present(runtime)) {
    Config config = load_runtime_file(runtime);
    check(config);
    return {std::move(config), "json"};
  }

  if (present(legacy_file)) {
    logger().info("migrating TOML config to JSON: {}", legacy_file.string());
    Config config = load_legacy_file(legacy_file);
    check(config);
    with_context("creating " + state_dir.string(), [&] { create_state_directory(state_dir); });
    save_config(config, runtime);
    logger().info("saved migrated config to {}", runtime.string());
    return {std::move(config), "toml"};
  }

  return {Config{}, "default"};
}

void save_config(const Config& config, const fs::path& path) {
  const std::string text = with_context("serializing config to JSON", [&] { return config_to_json_text(config); });
  files::replace(path, text, files::Durability::kSyncToDisk);
}

}  // namespace vantle::config
