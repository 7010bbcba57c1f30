#include "util/files.hpp"

#include <gtest/gtest.h>

#include <fstream>

#include "support/temp_dir.hpp"
#include "util/error.hpp"

namespace vantle::files {
namespace {

TEST(Files, TemporarySiblingReplacesTheExtension) {
  EXPECT_EQ(temporary_sibling("/a/meters.json"), "/a/meters.json.tmp");
  EXPECT_EQ(temporary_sibling("/a/state"), "/a/state.json.tmp");
  EXPECT_EQ(temporary_sibling("/a/old.txt"), "/a/old.json.tmp");
  EXPECT_EQ(temporary_sibling("runtime-config.json"), "runtime-config.json.tmp");
}

TEST(Files, Utf8Validation) {
  EXPECT_TRUE(is_valid_utf8("plain ascii"));
  EXPECT_TRUE(is_valid_utf8("caf\xc3\xa9 \xe2\x86\x92 \xf0\x9f\x8e\xa7"));
  EXPECT_FALSE(is_valid_utf8("\xff"));
  EXPECT_FALSE(is_valid_utf8("\xc3"));             // cut short
  EXPECT_FALSE(is_valid_utf8("\xc0\xaf"));         // overlong
  EXPECT_FALSE(is_valid_utf8("\xed\xa0\x80"));     // surrogate
  EXPECT_FALSE(is_valid_utf8("\xf4\x90\x80\x80"));  // beyond U+10FFFF
}

TEST(Files, ReplaceWritesWholeFilesAndReportsEachStep) {
  test::TempDir dir;
  const auto target = dir.path() / "state.json";
  for (auto durability : {Durability::kRenameOnly, Durability::kSyncToDisk}) {
    replace(target, "{\"a\":1}", durability);
    EXPECT_EQ(read_text(target), "{\"a\":1}");
    EXPECT_FALSE(std::filesystem::exists(temporary_sibling(target)));
  }
  // A stale temporary file is truncated and reused.
  std::ofstream(temporary_sibling(target)) << std::string(1000, 'x');
  replace(target, "new", Durability::kSyncToDisk);
  EXPECT_EQ(read_text(target), "new");

  std::ofstream(dir.path() / "plain") << "file";
  const auto impossible = dir.path() / "plain" / "x.json";
  try {
    replace(impossible, "x", Durability::kSyncToDisk);
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.chain().at(0), "writing " + temporary_sibling(impossible).string());
    EXPECT_EQ(e.chain().at(1), "Not a directory (os error 20)");
  }
  // A rename onto a directory fails after the temporary file was written.
  std::filesystem::create_directory(dir.path() / "taken.json");
  try {
    replace(dir.path() / "taken.json", "x", Durability::kRenameOnly);
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.chain().at(0), "renaming " + (dir.path() / "taken.json.tmp").string() + " to " +
                                   (dir.path() / "taken.json").string());
  }
}

TEST(Files, ReadTextRefusesInvalidUtf8) {
  test::TempDir dir;
  std::ofstream(dir.path() / "bad") << "ok\xff";
  try {
    read_text(dir.path() / "bad");
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.joined(), "stream did not contain valid UTF-8");
  }
  EXPECT_THROW(read_text(dir.path() / "missing"), Error);
}

}  // namespace
}  // namespace vantle::files
