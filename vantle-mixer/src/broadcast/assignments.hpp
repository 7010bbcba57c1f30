// Which bus each relay name hears, and by how much its audio is delayed: two maps
// keyed by name, owned by the broadcast thread, each persisted in a small JSON file
// rewritten after every change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "broadcast/feed.hpp"
#include "vantle/dsp/delay_line.hpp"

namespace vantle::broadcast {

// Lets the maps be searched with a string_view, so the per-block delay lookup of the
// broadcast thread does not build a string for every session.
struct NameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view name) const noexcept { return std::hash<std::string_view>{}(name); }
};

class RelayAssignments {
 public:
  explicit RelayAssignments(std::filesystem::path file) : file_(std::move(file)) {}

  // Reads the file. Missing: empty, silently. Unreadable or invalid: empty, with a
  // warning ("read {}: {} — starting with empty assignments" / "parse {}: {} — ...").
  // Success: info "loaded {} relay assignment(s) from {}".
  void load();

  // Rewrites the file. Returns "" or the failed step ("create assignments dir",
  // "serialize assignments", "create tmp assignments file", "write tmp assignments
  // file", "rename tmp → assignments file") with its cause.
  std::string save() const;

  std::optional<Feed> find(std::string_view name) const;
  // Stores the pair; returns the previous feed of the name, if any.
  std::optional<Feed> put(const std::string& name, Feed feed);
  std::size_t size() const { return map_.size(); }

  const std::filesystem::path& file() const { return file_; }

 private:
  std::filesystem::path file_;
  std::unordered_map<std::string, Feed, NameHash, std::equal_to<>> map_;
};

class SessionDelays {
 public:
  // Each name holds a line of 500 ms (256 KiB at 48 kHz), so the names are capped: a
  // file or a stream of commands with endless names would otherwise exhaust memory.
  static constexpr std::size_t kMaxNames = 256;

  // Lines are sized for 500 ms at `sample_rate`.
  SessionDelays(std::filesystem::path file, std::uint32_t sample_rate)
      : file_(std::move(file)), sample_rate_(sample_rate) {}

  // Reads the file; missing: empty, silently; unreadable: warn "read {}: {}";
  // invalid: warn "parse {}: {}"; success: info "loaded {} session delay(s) from {}".
  void load();

  // Rewrites the file, each name with its delay in milliseconds as derived from its
  // delay in samples. Returns "" or the failed step ("create session-delays dir",
  // "serialize session delays", "create tmp session-delays file", "write tmp
  // session-delays file", "rename tmp → session-delays file") with its cause.
  std::string save() const;

  // Gives the name a delay of `ms`: only the delay changes when it has a line already
  // (its content stays, so raising the delay repeats audio and lowering it skips).
  // A new name beyond kMaxNames gets no line: warns and returns false.
  bool set(const std::string& name, float ms);

  // The name's delay in milliseconds (samples / rate x 1000), if it has a line.
  std::optional<float> delay_ms(std::string_view name) const;

  // Runs one block through the name's line when it has one whose delay is at least
  // one sample; returns whether it did.
  bool apply(std::string_view name, float* left, float* right, std::size_t frames);

  std::size_t size() const { return lines_.size(); }

 private:
  std::filesystem::path file_;
  std::uint32_t sample_rate_;
  std::unordered_map<std::string, std::unique_ptr<dsp::DelayLine>, NameHash, std::equal_to<>> lines_;
};

}  // namespace vantle::broadcast
