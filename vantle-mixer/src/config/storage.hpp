// Where the configuration comes from at start-up (runtime file, migrated legacy TOML
// file, or the built-in default) and the one path that writes it.
#pragma once

#include <filesystem>
#include <string>

#include "config/config.hpp"

namespace vantle::config {

inline constexpr const char* kRuntimeFileName = "runtime-config.json";

struct ResolvedConfig {
  Config config;
  std::string source;  // "json", "toml" or "default"
};

// Throws Error with the contexts "reading {}", "parsing JSON config",
// "parsing TOML config", "creating {}" or the validation message.
ResolvedConfig resolve_config(const std::filesystem::path& state_dir, const std::filesystem::path& legacy_file);

// Writes the configuration to `path` through its temporary sibling, flushed to the
// disk before the rename and the directory after it, so that a power cut leaves the
// old or the new file, whole. Throws Error with the contexts
// "serializing config to JSON", "writing {}", "renaming {} to {}".
void save_config(const Config& config, const std::filesystem::path& path);

// Reads a configuration from a TOML document (a leading UTF-8 byte-order mark is
// skipped). Throws Error.
Config config_from_toml_text(std::string_view text);

}  // namespace vantle::config
