// File helpers: reading whole text files, and replacing files that other programs
// read through a temporary sibling and a rename, so a reader sees the old or the
// new content, never a mixture.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace vantle::files {

// The target with its extension replaced by "json.tmp" ("a/meters.json" gives
// "a/meters.json.tmp"; "a/state" gives "a/state.json.tmp").
std::filesystem::path temporary_sibling(const std::filesystem::path& target);

// Reads a whole file that must be UTF-8. Throws Error with the system's message, or
// "stream did not contain valid UTF-8".
std::string read_text(const std::filesystem::path& path);

bool is_valid_utf8(std::string_view bytes);

enum class Durability {
  kRenameOnly,   // readers never see a partial file, a power cut may lose the write
  kSyncToDisk,   // the file is also flushed before the rename and the directory after
};

// Creates or truncates `path` (mode 0666 before the umask) and writes `bytes`; with
// kSyncToDisk also flushes it to the disk. Throws Error with the system's message.
void write_whole(const std::filesystem::path& path, std::string_view bytes, Durability durability);

// Renames `from` over `to`. Throws Error with the system's message.
void rename_over(const std::filesystem::path& from, const std::filesystem::path& to);

// Flushes the directory holding `path`, so a rename in it survives a power cut.
// Throws Error with the system's message.
void sync_parent_directory(const std::filesystem::path& path);

// The whole replacement with the error contexts "writing {tmp}" and
// "renaming {tmp} to {target}".
void replace(const std::filesystem::path& target, std::string_view bytes, Durability durability);

// What a periodic writer calls its three steps in its warnings.
struct StepTexts {
  const char* create;  // "create tmp meters file"
  const char* write;   // "write tmp meters file"
  const char* rename;  // "rename tmp → meters file"
};

// The replacement for status files written again and again: create or truncate the
// temporary sibling (0666 before the umask), write, flush to disk (a failure of the
// flush is ignored), rename over the target. Returns "" on success, else the failed
// step's text and the system's reason ("create tmp meters file: No such file or
// directory (os error 2)").
std::string replace_reporting(const std::filesystem::path& target, std::string_view bytes, const StepTexts& steps);

}  // namespace vantle::files
