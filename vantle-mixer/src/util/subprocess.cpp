#include "util/subprocess.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <thread>
#include <utility>

#include "util/error.hpp"

extern char** environ;

namespace vantle {

namespace {

using Clock = std::chrono::steady_clock;

// One owned descriptor, closed exactly once.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }

  int get() const { return fd_; }
  bool open() const { return fd_ >= 0; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// A close-on-exec pipe. Both ends are moved above the standard descriptors: when
// the mixer runs with one of 0..2 closed, a pipe end could land there, and the
// child's dup2 onto 0..2 would then clobber it or leave close-on-exec set on it.
// Returns 0 or the errno value.
int make_pipe(Fd& read_end, Fd& write_end) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return errno;
  read_end = Fd(fds[0]);
  write_end = Fd(fds[1]);
  for (Fd* end : {&read_end, &write_end}) {
    if (end->get() > STDERR_FILENO) continue;
    const int moved = ::fcntl(end->get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (moved < 0) return errno;
    *end = Fd(moved);
  }
  return 0;
}

// The spawn attributes and file actions, destroyed on every path.
class SpawnSetup {
 public:
  SpawnSetup() {
    actions_ok_ = ::posix_spawn_file_actions_init(&actions_) == 0;
    attr_ok_ = ::posix_spawnattr_init(&attr_) == 0;
  }
  ~SpawnSetup() {
    if (actions_ok_) ::posix_spawn_file_actions_destroy(&actions_);
    if (attr_ok_) ::posix_spawnattr_destroy(&attr_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  // Returns 0 or the errno value.
  int prepare(int out_fd, int err_fd) {
    if (!actions_ok_ || !attr_ok_) return ENOMEM;
    if (int rc = ::posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0)) return rc;
    if (int rc = ::posix_spawn_file_actions_adddup2(&actions_, out_fd, STDOUT_FILENO)) return rc;
    if (int rc = ::posix_spawn_file_actions_adddup2(&actions_, err_fd, STDERR_FILENO)) return rc;

    // The calling thread may block signals (SIGINT goes to one thread of ours) and
    // the process may ignore some; a tool must not inherit either.
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    if (int rc = ::posix_spawnattr_setsigmask(&attr_, &none)) return rc;
    if (int rc = ::posix_spawnattr_setsigdefault(&attr_, &all)) return rc;
    // A group of its own, so a kill at the time limit also reaches anything the
    // tool started (a shell script's children would otherwise hold the pipes).
    if (int rc = ::posix_spawnattr_setpgroup(&attr_, 0)) return rc;
    return ::posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  }

  const posix_spawn_file_actions_t* actions() const { return &actions_; }
  const posix_spawnattr_t* attr() const { return &attr_; }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attr_;
  bool actions_ok_ = false, attr_ok_ = false;
};

struct Capture {
  Fd fd;
  std::string* sink;
  bool* truncated;
};

int poll_timeout_ms(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

// Reads both streams until each reaches its end or the deadline passes. Returns
// false when the deadline passed first.
bool drain(std::array<Capture, 2>& streams, Clock::time_point deadline) {
  std::array<char, 16384> buffer;
  for (;;) {
    std::array<pollfd, 2> fds{};
    std::array<Capture*, 2> owners{};
    nfds_t count = 0;
    for (auto& stream : streams) {
      if (!stream.fd.open()) continue;
      fds[count] = pollfd{stream.fd.get(), POLLIN, 0};
      owners[count] = &stream;
      ++count;
    }
    if (count == 0) return true;
    if (Clock::now() >= deadline) return false;

    const int ready = ::poll(fds.data(), count, poll_timeout_ms(deadline));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return false;  // cannot watch the pipes any longer: end it like a run past its time
    }
    for (nfds_t i = 0; i < count; ++i) {
      if (fds[i].revents == 0) continue;
      Capture& stream = *owners[i];
      const ssize_t n = ::read(stream.fd.get(), buffer.data(), buffer.size());
      if (n > 0) {
        const std::size_t room = kToolOutputCap - std::min(kToolOutputCap, stream.sink->size());
        const std::size_t keep = std::min(room, static_cast<std::size_t>(n));
        stream.sink->append(buffer.data(), keep);
        if (keep < static_cast<std::size_t>(n)) *stream.truncated = true;
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        stream.fd.reset();
      }
    }
  }
}

void record_status(ToolRun& run, int status) {
  if (WIFEXITED(status)) {
    run.exit_status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    run.signal = WTERMSIG(status);
  }
}

// Waits for the child until the deadline. True once it has been reaped.
bool reap_until(pid_t pid, Clock::time_point deadline, ToolRun& run) {
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      record_status(run, status);
      return true;
    }
    if (r < 0 && errno == ECHILD) return true;  // reaped behind our back; its status is lost
    if (r < 0 && errno != EINTR) return false;
    const auto now = Clock::now();
    if (now >= deadline) return false;
    std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, std::chrono::milliseconds(20));
  }
}

void kill_and_reap(pid_t pid, ToolRun& run) {
  ::kill(-pid, SIGKILL);
  ::kill(pid, SIGKILL);  // should its group be gone already
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(pid, &status, 0);
  } while (r < 0 && errno == EINTR);
  if (r == pid) record_status(run, status);
}

}  // namespace

ToolRun run_tool(const std::string& program, const std::vector<std::string>& args, std::chrono::milliseconds limit) {
  ToolRun run;
  const auto deadline = Clock::now() + limit;

  std::array<Capture, 2> streams{Capture{Fd(), &run.out, &run.out_truncated},
                                 Capture{Fd(), &run.err, &run.err_truncated}};
  Fd out_write, err_write;
  pid_t pid = -1;
  {
    int rc = make_pipe(streams[0].fd, out_write);
    if (rc == 0) rc = make_pipe(streams[1].fd, err_write);
    SpawnSetup setup;
    if (rc == 0) rc = setup.prepare(out_write.get(), err_write.get());
    if (rc == 0) {
      std::vector<std::string> words;
      words.reserve(args.size() + 1);
      words.push_back(program);
      words.insert(words.end(), args.begin(), args.end());
      std::vector<char*> argv;
      argv.reserve(words.size() + 1);
      for (auto& word : words) argv.push_back(word.data());
      argv.push_back(nullptr);
      rc = ::posix_spawnp(&pid, program.c_str(), setup.actions(), setup.attr(), argv.data(), environ);
    }
    // Only the child may hold the writing ends, or the pipes never reach their end.
    out_write.reset();
    err_write.reset();
    if (rc != 0) {
      run.start_error = os_error_text(rc);
      return run;
    }
  }
  run.started = true;

  bool reaped = false;
  if (drain(streams, deadline)) reaped = reap_until(pid, deadline, run);
  if (!reaped) {
    run.timed_out = true;
    kill_and_reap(pid, run);
  }
  return run;
}

}  // namespace vantle
