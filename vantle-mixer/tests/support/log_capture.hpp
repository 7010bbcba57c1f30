// What a log target wrote during a test, as "level message" lines ("info ...",
// "warning ..."), and waiting for something to come true.
#pragma once

#include <spdlog/sinks/base_sink.h>

#include <chrono>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vantle::test {

class LogCapture final : public spdlog::sinks::base_sink<std::mutex> {
 public:
  // The capture of `target`, added to its logger on first use and never taken away:
  // worker threads of an earlier test may still be logging.
  static LogCapture& of(const std::string& target);

  std::vector<std::string> lines();
  // The lines holding `needle`.
  std::vector<std::string> matching(std::string_view needle);
  // The lines so far, which are then forgotten.
  std::vector<std::string> take();
  void clear();

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override;
  void flush_() override {}

 private:
  std::mutex lines_mutex_;
  std::vector<std::string> lines_;
};

// Polls `condition` until it holds or `timeout` has passed; returns whether it held.
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace vantle::test
