#include "support/log_capture.hpp"

#include <map>
#include <memory>
#include <utility>

#include "util/log.hpp"

namespace vantle::test {

LogCapture& LogCapture::of(const std::string& target) {
  static std::mutex mutex;
  static std::map<std::string, std::shared_ptr<LogCapture>> captures;
  std::lock_guard lock(mutex);
  auto& capture = captures[target];
  if (!capture) {
    capture = std::make_shared<LogCapture>();
    log::get(target).sinks().push_back(capture);
  }
  return *capture;
}

std::vector<std::string> LogCapture::lines() {
  std::lock_guard lock(lines_mutex_);
  return lines_;
}

std::vector<std::string> LogCapture::matching(std::string_view needle) {
  std::vector<std::string> out;
  for (auto& line : lines()) {
    if (line.find(needle) != std::string::npos) out.push_back(std::move(line));
  }
  return out;
}

std::vector<std::string> LogCapture::take() {
  std::lock_guard lock(lines_mutex_);
  return std::exchange(lines_, {});
}

void LogCapture::clear() { take(); }

void LogCapture::sink_it_(const spdlog::details::log_msg& msg) {
  const auto level = spdlog::level::to_string_view(msg.level);
  std::string line(level.data(), level.size());
  line += ' ';
  line.append(msg.payload.data(), msg.payload.size());
  std::lock_guard lock(lines_mutex_);
  lines_.push_back(std::move(line));
}

}  // namespace vantle::test
