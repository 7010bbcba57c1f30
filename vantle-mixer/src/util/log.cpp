#include "util/log.hpp"

#include <spdlog/details/null_mutex.h>
#include <spdlog/sinks/base_sink.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <vector>

namespace vantle::log {
namespace {

struct Directive {
  std::string target;  // empty: every target
  spdlog::level::level_enum level;
};

struct Filter {
  std::vector<Directive> directives;
  std::optional<std::regex> pattern;
  std::string pattern_text;
};

std::optional<spdlog::level::level_enum> parse_level(std::string_view text) {
  std::string lower(text);
  for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower == "off") return spdlog::level::off;
  if (lower == "error") return spdlog::level::err;
  if (lower == "warn" || lower == "warning") return spdlog::level::warn;
  if (lower == "info") return spdlog::level::info;
  if (lower == "debug") return spdlog::level::debug;
  if (lower == "trace") return spdlog::level::trace;
  return std::nullopt;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

void warn_ignored(const std::string& what) {
  std::fprintf(stderr, "warning: %s, ignoring it\n", what.c_str());
}

bool is_target_name(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == ':' || c == '-')) return false;
  }
  return true;
}

Filter parse_filter(std::string_view text) {
  Filter filter;
  std::string_view directives = text;
  if (auto slash = text.find('/'); slash != std::string_view::npos) {
    directives = text.substr(0, slash);
    filter.pattern_text = std::string(text.substr(slash + 1));
    try {
      filter.pattern.emplace(filter.pattern_text);
    } catch (const std::regex_error&) {
      warn_ignored("invalid log pattern '" + filter.pattern_text + "'");
    }
  }
  while (!directives.empty()) {
    auto comma = directives.find(',');
    std::string_view item = trim(directives.substr(0, comma));
    directives = comma == std::string_view::npos ? std::string_view{} : directives.substr(comma + 1);
    if (item.empty()) continue;
    auto eq = item.find('=');
    if (eq == std::string_view::npos) {
      if (auto level = parse_level(item)) {
        filter.directives.push_back({"", *level});
      } else if (is_target_name(item)) {
        filter.directives.push_back({std::string(item), spdlog::level::trace});
      } else {
        warn_ignored("invalid logging directive '" + std::string(item) + "'");
      }
      continue;
    }
    std::string_view target = trim(item.substr(0, eq));
    std::string_view level_text = trim(item.substr(eq + 1));
    auto level = parse_level(level_text);
    if (!level || !is_target_name(target)) {
      warn_ignored("invalid logging directive '" + std::string(item) + "'");
      continue;
    }
    filter.directives.push_back({std::string(target), *level});
  }
  return filter;
}

// The most specific directive whose target is a prefix of `target` wins; without
// any, the bare level; without that, info.
spdlog::level::level_enum level_for(const Filter& filter, std::string_view target) {
  std::optional<spdlog::level::level_enum> global;
  std::size_t best_length = 0;
  std::optional<spdlog::level::level_enum> best;
  for (const auto& d : filter.directives) {
    if (d.target.empty()) {
      global = d.level;
    } else if (target.substr(0, d.target.size()) == d.target && d.target.size() >= best_length) {
      best_length = d.target.size();
      best = d.level;
    }
  }
  if (best) return *best;
  if (global) return *global;
  return spdlog::level::info;
}

const char* level_name(spdlog::level::level_enum level) {
  switch (level) {
    case spdlog::level::trace: return "TRACE";
    case spdlog::level::debug: return "DEBUG";
    case spdlog::level::info: return "INFO ";
    case spdlog::level::warn: return "WARN ";
    case spdlog::level::err: return "ERROR";
    case spdlog::level::critical: return "ERROR";
    default: return "     ";
  }
}

const char* level_colour(spdlog::level::level_enum level) {
  switch (level) {
    case spdlog::level::trace: return "\x1b[35m";
    case spdlog::level::debug: return "\x1b[34m";
    case spdlog::level::info: return "\x1b[32m";
    case spdlog::level::warn: return "\x1b[33m";
    default: return "\x1b[31m";
  }
}

// Formats and writes whole lines to stderr; the base sink's mutex keeps lines whole.
class StderrSink final : public spdlog::sinks::base_sink<std::mutex> {
 public:
  StderrSink(bool colour, std::optional<std::regex> pattern)
      : colour_(colour), pattern_(std::move(pattern)) {}

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    std::string_view text(msg.payload.data(), msg.payload.size());
    if (pattern_ && !std::regex_search(text.begin(), text.end(), *pattern_)) return;
    std::time_t seconds = std::chrono::system_clock::to_time_t(msg.time);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
    std::string line;
    line.reserve(64 + text.size());
    line += '[';
    line += stamp;
    line += ' ';
    if (colour_) line += level_colour(msg.level);
    line += level_name(msg.level);
    if (colour_) line += "\x1b[0m";
    line += ' ';
    line.append(msg.logger_name.data(), msg.logger_name.size());
    line += "] ";
    line += text;
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
  }
  void flush_() override { std::fflush(stderr); }

 private:
  bool colour_;
  std::optional<std::regex> pattern_;
};

struct Registry {
  std::mutex mutex;
  Filter filter;
  std::shared_ptr<StderrSink> sink = std::make_shared<StderrSink>(false, std::nullopt);
  std::map<std::string, std::shared_ptr<spdlog::logger>, std::less<>> loggers;
};

Registry& registry() {
  // Never destroyed: threads that are not waited for may still log during exit.
  static Registry* instance = new Registry;
  return *instance;
}

bool use_colour() {
  const char* style = std::getenv(kStyleVariable);
  std::string value = style ? style : "auto";
  if (value == "always") return true;
  if (value == "never") return false;
  if (value != "auto") warn_ignored("invalid log style '" + value + "'");
  return ::isatty(STDERR_FILENO) == 1;
}

}  // namespace

void init_from_environment() {
  if (std::getenv(kFilterVariable) == nullptr) ::setenv(kFilterVariable, "info", 1);
  Filter filter = parse_filter(std::getenv(kFilterVariable));
  auto sink = std::make_shared<StderrSink>(use_colour(), filter.pattern);
  auto& reg = registry();
  std::lock_guard lock(reg.mutex);
  reg.filter = std::move(filter);
  reg.sink = std::move(sink);
  for (auto& [target, logger] : reg.loggers) {
    logger->sinks().assign({reg.sink});
    logger->set_level(level_for(reg.filter, target));
  }
}

spdlog::logger& get(std::string_view target) {
  auto& reg = registry();
  std::lock_guard lock(reg.mutex);
  if (auto it = reg.loggers.find(target); it != reg.loggers.end()) return *it->second;
  auto logger = std::make_shared<spdlog::logger>(std::string(target), reg.sink);
  logger->set_level(level_for(reg.filter, target));
  logger->flush_on(spdlog::level::trace);
  return *reg.loggers.emplace(std::string(target), std::move(logger)).first->second;
}

void flush() {
  auto& reg = registry();
  std::lock_guard lock(reg.mutex);
  reg.sink->flush();
}

}  // namespace vantle::log
