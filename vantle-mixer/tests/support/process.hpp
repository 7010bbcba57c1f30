// Child processes for end-to-end tests: spawn with a chosen environment, capture
// standard output and error, send signals, wait with a time limit.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vantle::test {

struct ProcessOptions {
  std::vector<std::string> argv;
  // Changes to the test's own environment: a value sets, nullopt unsets.
  std::map<std::string, std::optional<std::string>> env;
  std::string cwd;  // empty: the test's own
};

struct ProcessResult {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

class Process {
 public:
  explicit Process(ProcessOptions options);
  ~Process();  // kills the child if it still runs
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  void signal(int sig);

  // The exit status once the child has ended within `timeout`.
  std::optional<int> wait(std::chrono::milliseconds timeout);

  // Waits until the captured standard error contains `needle`.
  bool wait_for_err(std::string_view needle, std::chrono::milliseconds timeout);
  std::string out() const;
  std::string err() const;

  // Runs to the end (killed after `timeout`).
  static ProcessResult run(ProcessOptions options, std::chrono::milliseconds timeout = std::chrono::seconds(30));

 private:
  void pump(int fd, std::string& sink);

  pid_t pid_ = -1;
  std::optional<int> status_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::string out_, err_;
  std::thread out_reader_, err_reader_;
};

// Lines of `text` (without their line feeds).
std::vector<std::string> lines_of(std::string_view text);

}  // namespace vantle::test
