// Key maps of the MIDI surface: the note names an operator writes in the
// configuration ("C4", "Db3", "f#-1") compiled into a table by note number.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace vantle::midi {

// The MIDI note number of a name: a letter (either case), an optional accidental
// ("#" or "s" up, "b" down) and a signed octave, with surrounding whitespace allowed.
// C4 is 60. Nothing when the name is malformed or lies outside 0..127.
std::optional<std::uint8_t> parse_note_name(std::string_view name);

// The name a display shows for a note: sharps only, signed octave (60 "C4", 1 "C#-1").
std::string note_display_name(std::uint8_t note);

// Note number to action, built once from one map of the configuration.
class KeyMap {
 public:
  KeyMap() = default;

  // Names that do not parse are dropped without a word: a typo in one key must not
  // take the whole surface down.
  static KeyMap compile(const std::map<std::string, std::string>& names);

  // The action of `note`, or null. Any byte is a valid question.
  const std::string* find(std::uint8_t note) const;

 private:
  std::array<std::optional<std::string>, 128> actions_;
};

}  // namespace vantle::midi
