#include "broadcast/assignments.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <utility>
#include <vector>

#include "util/error.hpp"
#include "util/files.hpp"
#include "util/json.hpp"
#include "util/log.hpp"

namespace vantle::broadcast {
namespace {

namespace fs = std::filesystem;

// These files hold a line per name and stay far below this; anything larger is not
// one of ours, and reading it whole could take the memory of the whole process.
constexpr std::uintmax_t kMaxFileBytes = 16u << 20;

// Lines are long enough for any delay the control plane accepts.
constexpr double kLineMs = 500.0;

spdlog::logger& logger() { return log::get("vantle_mixer::broadcast"); }

// The file's text, or nothing when there is no file. Only regular files are read: a
// FIFO would block the broadcast thread and a device may never end.
std::optional<std::string> read_state_file(const fs::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return std::nullopt;
    // Other failures come again from the read below, in its wording.
  } else {
    if (!S_ISREG(st.st_mode)) throw Error("not a regular file");
    if (static_cast<std::uintmax_t>(st.st_size) > kMaxFileBytes) {
      throw Error("too large: " + std::to_string(st.st_size) + " bytes (at most " + std::to_string(kMaxFileBytes) +
                  ")");
    }
  }
  return files::read_text(path);
}

// The object under `member` of the top-level object.
const json::Json& member_object(const json::Json& doc, const char* member) {
  if (!doc.is_object()) throw Error("missing field `" + std::string(member) + "`");
  const json::Json& value = json::ObjectReader(doc, "a file").require(member);
  if (!value.is_object()) {
    throw Error("invalid type for `" + std::string(member) + "`: expected an object, got " + json::describe(value));
  }
  return value;
}

template <class Map>
std::vector<typename Map::const_pointer> sorted_entries(const Map& map) {
  std::vector<typename Map::const_pointer> entries;
  entries.reserve(map.size());
  for (const auto& entry : map) entries.push_back(&entry);
  // Stable order, so that two saves of the same map give the same file.
  std::sort(entries.begin(), entries.end(), [](auto a, auto b) { return a->first < b->first; });
  return entries;
}

// Creates the directory holding `file`; "" or the step text with the cause.
std::string create_parent(const fs::path& file, const char* step) {
  const fs::path dir = file.parent_path();
  if (dir.empty()) return {};
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (!ec) return {};
  return std::string(step) + ": " + ec.message() + " (os error " + std::to_string(ec.value()) + ")";
}

// Runs the serializer; a failure (a name that is not UTF-8) becomes the step's text.
template <class Body>
std::string serialize(const char* step, std::string& text, Body&& body) {
  try {
    text = body();
    return {};
  } catch (const std::exception& e) {
    return std::string(step) + ": " + e.what();
  }
}

std::unordered_map<std::string, Feed, NameHash, std::equal_to<>> parse_assignments(std::string_view text) {
  const json::Json doc = json::parse(text);
  const json::Json& members = member_object(doc, "assignments");
  std::unordered_map<std::string, Feed, NameHash, std::equal_to<>> map;
  map.reserve(members.size());
  for (const auto& item : members.items()) {
    const std::optional<Feed> feed = parse_feed(json::as_string(item.value(), item.key()));
    if (!feed) {
      throw Error("invalid value for `" + item.key() + "`: " + json::describe(item.value()) +
                  " is not a feed (expected \"main\", \"monitor\", \"cue\" or \"off\")");
    }
    map.emplace(item.key(), *feed);
  }
  return map;
}

std::vector<std::pair<std::string, float>> parse_delays(std::string_view text) {
  const json::Json doc = json::parse(text);
  const json::Json& members = member_object(doc, "delays");
  if (members.size() > SessionDelays::kMaxNames) {
    throw Error("more than " + std::to_string(SessionDelays::kMaxNames) + " session delays (" +
                std::to_string(members.size()) + ")");
  }
  std::vector<std::pair<std::string, float>> delays;
  delays.reserve(members.size());
  // A number past the float range reads as an infinity, which the delay rule turns into
  // the longest delay the line holds, as it does for any delay longer than the line.
  for (const auto& item : members.items()) delays.emplace_back(item.key(), json::as_f32(item.value(), item.key()));
  return delays;
}

}  // namespace

// --- RelayAssignments --------------------------------------------------------------

void RelayAssignments::load() {
  map_.clear();
  std::optional<std::string> text;
  try {
    text = read_state_file(file_);
  } catch (const std::exception& e) {
    logger().warn("read {}: {} \u2014 starting with empty assignments", file_.string(), e.what());
    return;
  }
  if (!text) return;
  try {
    map_ = parse_assignments(*text);
  } catch (const std::exception& e) {
    logger().warn("parse {}: {} \u2014 starting with empty assignments", file_.string(), e.what());
    return;
  }
  logger().info("loaded {} relay assignment(s) from {}", map_.size(), file_.string());
}

std::string RelayAssignments::save() const {
  if (auto failed = create_parent(file_, "create assignments dir"); !failed.empty()) return failed;
  std::string text;
  if (auto failed = serialize("serialize assignments", text,
                              [&] {
                                json::Json members = json::Json::object();
                                for (const auto* entry : sorted_entries(map_)) {
                                  members[entry->first] = feed_name(entry->second);
                                }
                                json::Json doc = json::Json::object();
                                doc["assignments"] = std::move(members);
                                return doc.dump(2);
                              });
      !failed.empty()) {
    return failed;
  }
  return files::replace_reporting(file_, text,
                                  {"create tmp assignments file", "write tmp assignments file",
                                   "rename tmp \u2192 assignments file"});
}

std::optional<Feed> RelayAssignments::find(std::string_view name) const {
  auto it = map_.find(name);
  if (it == map_.end()) return std::nullopt;
  return it->second;
}

std::optional<Feed> RelayAssignments::put(const std::string& name, Feed feed) {
  auto [it, inserted] = map_.try_emplace(name, feed);
  if (inserted) return std::nullopt;
  return std::exchange(it->second, feed);
}

// --- SessionDelays -----------------------------------------------------------------

namespace {

float line_ms(const dsp::DelayLine& line, std::uint32_t sample_rate) {
  // 0 / 0 would be NaN, written as null, and the file would no longer load.
  if (line.delay() == 0 || sample_rate == 0) return 0.0f;
  return static_cast<float>(static_cast<double>(line.delay()) / sample_rate * 1000.0);
}

}  // namespace

void SessionDelays::load() {
  lines_.clear();
  std::optional<std::string> text;
  try {
    text = read_state_file(file_);
  } catch (const std::exception& e) {
    logger().warn("read {}: {}", file_.string(), e.what());
    return;
  }
  if (!text) return;
  decltype(lines_) loaded;
  try {
    for (auto& [name, ms] : parse_delays(*text)) {
      auto line = std::make_unique<dsp::DelayLine>(sample_rate_, kLineMs);
      line->set_delay_ms(sample_rate_, ms);
      loaded.emplace(std::move(name), std::move(line));
    }
  } catch (const std::exception& e) {
    logger().warn("parse {}: {}", file_.string(), e.what());
    return;
  }
  lines_ = std::move(loaded);
  logger().info("loaded {} session delay(s) from {}", lines_.size(), file_.string());
}

std::string SessionDelays::save() const {
  if (auto failed = create_parent(file_, "create session-delays dir"); !failed.empty()) return failed;
  std::string text;
  if (auto failed = serialize("serialize session delays", text,
                              [&] {
                                json::Json members = json::Json::object();
                                for (const auto* entry : sorted_entries(lines_)) {
                                  members[entry->first] = json::f32(line_ms(*entry->second, sample_rate_));
                                }
                                json::Json doc = json::Json::object();
                                doc["delays"] = std::move(members);
                                return doc.dump(2);
                              });
      !failed.empty()) {
    return failed;
  }
  return files::replace_reporting(file_, text,
                                  {"create tmp session-delays file", "write tmp session-delays file",
                                   "rename tmp \u2192 session-delays file"});
}

bool SessionDelays::set(const std::string& name, float ms) {
  if (auto it = lines_.find(name); it != lines_.end()) {
    it->second->set_delay_ms(sample_rate_, ms);
    return true;
  }
  if (lines_.size() >= kMaxNames) {
    logger().warn("session delay for {} refused: {} names have a delay already (at most {})", name, lines_.size(),
                  kMaxNames);
    return false;
  }
  auto line = std::make_unique<dsp::DelayLine>(sample_rate_, kLineMs);
  line->set_delay_ms(sample_rate_, ms);
  lines_.emplace(name, std::move(line));
  return true;
}

std::optional<float> SessionDelays::delay_ms(std::string_view name) const {
  auto it = lines_.find(name);
  if (it == lines_.end()) return std::nullopt;
  return line_ms(*it->second, sample_rate_);
}

bool SessionDelays::apply(std::string_view name, float* left, float* right, std::size_t frames) {
  auto it = lines_.find(name);
  if (it == lines_.end() || it->second->delay() == 0) return false;
  dsp::DelayLine& line = *it->second;
  for (std::size_t i = 0; i < frames; ++i) {
    float delayed_left = 0.0f;
    float delayed_right = 0.0f;
    line.read_delayed(delayed_left, delayed_right);
    line.write_and_advance(left[i], right[i]);
    left[i] = delayed_left;
    right[i] = delayed_right;
  }
  return true;
}

}  // namespace vantle::broadcast
