// Levelled logging to standard error, one logger per target ("vantle_mixer",
// "vantle_mixer::config", ...). Lines look like
//   [2026-12-11T11:42:38Z INFO  vantle_mixer] bye
// The filter comes from VANTLE_LOG ("info", "vantle_mixer::midi=debug,warn/pattern"),
// colour from VANTLE_LOG_STYLE ("auto", "always", "never").
#pragma once

#include <spdlog/logger.h>

#include <string_view>

namespace vantle::log {

inline constexpr const char* kFilterVariable = "VANTLE_LOG";
inline constexpr const char* kStyleVariable = "VANTLE_LOG_STYLE";

// Reads the filter and style variables (setting the filter to "info" in the
// environment when absent) and installs the stderr sink. Main thread, at start.
void init_from_environment();

// The logger of a target; created on first use with the level the filter gives it.
// Any thread.
spdlog::logger& get(std::string_view target);

// Flushes everything written so far (before the process ends abruptly).
void flush();

}  // namespace vantle::log
