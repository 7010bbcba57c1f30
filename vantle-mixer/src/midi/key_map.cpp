#include "midi/key_map.hpp"

#include <charconv>

namespace vantle::midi {

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

std::optional<int> semitone_of(char letter) {
  switch (letter) {
    case 'C': case 'c': return 0;
    case 'D': case 'd': return 2;
    case 'E': case 'e': return 4;
    case 'F': case 'f': return 5;
    case 'G': case 'g': return 7;
    case 'A': case 'a': return 9;
    case 'B': case 'b': return 11;
    default: return std::nullopt;
  }
}

// A decimal integer with an optional sign and nothing else.
std::optional<long long> parse_octave(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  // from_chars would take a second sign; only digits may follow ours.
  if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
  long long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return negative ? -value : value;
}

}  // namespace

std::optional<std::uint8_t> parse_note_name(std::string_view name) {
  name = trim(name);
  if (name.empty()) return std::nullopt;
  const auto semitone = semitone_of(name.front());
  if (!semitone) return std::nullopt;
  name.remove_prefix(1);

  int accidental = 0;
  if (!name.empty() && (name.front() == '#' || name.front() == 's' || name.front() == 'b')) {
    accidental = name.front() == 'b' ? -1 : 1;
    name.remove_prefix(1);
  }

  const auto octave = parse_octave(name);
  // Octaves far outside the MIDI range are refused before the arithmetic can overflow.
  if (!octave || *octave < -2 || *octave > 10) return std::nullopt;
  const long long note = 12 * (*octave + 1) + *semitone + accidental;
  if (note < 0 || note > 127) return std::nullopt;
  return static_cast<std::uint8_t>(note);
}

std::string note_display_name(std::uint8_t note) {
  static constexpr const char* kPitchClasses[] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
  return std::string(kPitchClasses[note % 12]) + std::to_string(static_cast<int>(note / 12) - 1);
}

KeyMap KeyMap::compile(const std::map<std::string, std::string>& names) {
  KeyMap map;
  for (const auto& [name, action] : names) {
    if (auto note = parse_note_name(name)) map.actions_[*note] = action;
  }
  return map;
}

const std::string* KeyMap::find(std::uint8_t note) const {
  if (note >= actions_.size() || !actions_[note]) return nullptr;
  return &*actions_[note];
}

}  // namespace vantle::midi
