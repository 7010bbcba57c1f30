#include "util/error.hpp"

#include <cstring>

namespace vantle {

void Error::rebuild() {
  joined_.clear();
  for (const auto& part : chain_) {
    if (!joined_.empty()) joined_ += ": ";
    joined_ += part;
  }
}

std::string os_error_text(int err) {
  return std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")";
}

std::string fatal_report(const Error& error) {
  const auto& chain = error.chain();
  std::string out = "Error: " + chain.front() + "\n";
  if (chain.size() == 1) return out;
  out += "\nCaused by:\n";
  const bool numbered = chain.size() > 2;
  for (std::size_t i = 1; i < chain.size(); ++i) {
    out += "    ";
    if (numbered) out += std::to_string(i - 1) + ": ";
    out += chain[i] + "\n";
  }
  return out;
}

}  // namespace vantle
