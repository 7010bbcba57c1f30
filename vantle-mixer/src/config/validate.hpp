// Cross-field rules of a configuration that its reader cannot check member by
// member: unique names, ingest slot ranges, local sink bus names.
#pragma once

#include <optional>
#include <string>

#include "config/config.hpp"

namespace vantle::config {

// The first violated rule as a message without context, or nothing when valid.
std::optional<std::string> validate_config(const Config& config);

}  // namespace vantle::config
