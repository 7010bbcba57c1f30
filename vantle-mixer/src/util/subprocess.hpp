// Running an external program to the end with its output captured, for the few
// requests the mixer answers through JACK's command-line tools.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace vantle {

struct ToolRun {
  bool started = false;
  std::string start_error;  // why it could not be started: "No such file or directory (os error 2)"
  bool timed_out = false;   // it outlived the limit and was killed
  int exit_status = -1;     // its exit code; -1 when it ended by a signal (or never ran)
  int signal = 0;           // the signal that ended it, else 0
  std::string out, err;     // raw bytes, each cut at kToolOutputCap
  bool out_truncated = false, err_truncated = false;

  // Started, finished within the limit, exit code 0.
  bool succeeded() const { return started && !timed_out && exit_status == 0; }
};

// How much of each output stream is kept; the rest is read and dropped, so a tool
// that spews output can neither exhaust memory nor stall on a full pipe.
inline constexpr std::size_t kToolOutputCap = std::size_t{4} << 20;

// Runs `program` (looked up on PATH unless it holds a "/") with `args`, standard
// input from /dev/null, standard output and error captured, and waits for it to
// end, at most `limit`: past it the program's process group is killed (SIGKILL) and
// the program reaped. The child starts with default signal handling and an empty
// signal mask whatever the calling thread has, in a process group of its own.
// Safe in a multi-threaded process (posix_spawn, close-on-exec pipes). Any thread;
// blocks the caller for the program's run.
ToolRun run_tool(const std::string& program, const std::vector<std::string>& args, std::chrono::milliseconds limit);

}  // namespace vantle
