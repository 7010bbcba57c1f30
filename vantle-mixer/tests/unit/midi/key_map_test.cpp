#include "midi/key_map.hpp"

#include <gtest/gtest.h>

namespace vantle::midi {
namespace {

struct NameCase {
  const char* name;
  std::optional<int> note;
};

TEST(NoteNames, ParseToNoteNumbersOrNothing) {
  const NameCase cases[] = {
      // letters, either case, with surrounding whitespace
      {"C4", 60}, {"c4", 60}, {"  C4\t", 60}, {"A4", 69}, {"B3", 59}, {"e2", 40},
      // accidentals
      {"C#4", 61}, {"Cs4", 61}, {"Db4", 61}, {"bb3", 58}, {"B#4", 72}, {"Fb4", 64},
      // signed octaves and the ends of the range
      {"C-1", 0}, {"C+4", 60}, {"G9", 127}, {"C#-1", 1}, {"C04", 60},
      // out of range
      {"C10", std::nullopt}, {"G#9", std::nullopt}, {"Cb-1", std::nullopt}, {"C-2", std::nullopt},
      {"C99999999999999999999", std::nullopt}, {"C-99999999999999999999", std::nullopt},
      // malformed
      {"", std::nullopt}, {"   ", std::nullopt}, {"C", std::nullopt}, {"C#", std::nullopt}, {"H4", std::nullopt},
      {"4", std::nullopt}, {"C 4", std::nullopt}, {"C4x", std::nullopt}, {"C+-4", std::nullopt},
      {"C--1", std::nullopt}, {"C+", std::nullopt}, {"C##4", std::nullopt}, {"C4.0", std::nullopt},
      {"Cx4", std::nullopt}, {"\xC3\x89" "4", std::nullopt},
  };
  for (const auto& c : cases) {
    const auto note = parse_note_name(c.name);
    EXPECT_EQ(note ? std::optional<int>(*note) : std::nullopt, c.note) << '"' << c.name << '"';
  }
}

TEST(NoteNames, DisplayNamesUseSharpsAndSignedOctaves) {
  const std::pair<int, const char*> cases[] = {{60, "C4"}, {1, "C#-1"}, {0, "C-1"}, {61, "C#4"},
                                               {69, "A4"}, {127, "G9"}, {11, "B-1"}, {12, "C0"}};
  for (const auto& [note, name] : cases) {
    EXPECT_EQ(note_display_name(static_cast<std::uint8_t>(note)), name);
    EXPECT_EQ(parse_note_name(name), note) << "display names read back";
  }
}

TEST(KeyMap, CompilesTheNamesThatParseAndDropsTheRest) {
  const auto map = KeyMap::compile({{" c4 ", "play"}, {"H4", "stop"}, {"C10", "record"}, {"A#3", "goto_end"}});
  ASSERT_NE(map.find(60), nullptr);
  EXPECT_EQ(*map.find(60), "play");
  ASSERT_NE(map.find(58), nullptr);
  EXPECT_EQ(*map.find(58), "goto_end");
  int mapped = 0;
  for (int note = 0; note < 256; ++note) mapped += map.find(static_cast<std::uint8_t>(note)) != nullptr;
  EXPECT_EQ(mapped, 2);
}

}  // namespace
}  // namespace vantle::midi
