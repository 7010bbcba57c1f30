#include "support/process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

extern char** environ;

namespace vantle::test {

Process::Process(ProcessOptions options) {
  std::map<std::string, std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    auto eq = entry.find('=');
    if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [name, value] : options.env) {
    if (value) {
      env[name] = *value;
    } else {
      env.erase(name);
    }
  }
  std::vector<std::string> env_entries;
  for (const auto& [name, value] : env) env_entries.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& entry : env_entries) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::vector<char*> argv;
  for (auto& arg : options.argv) argv.push_back(arg.data());
  argv.push_back(nullptr);

  int out_pipe[2], err_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
  if (!options.cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.cwd.c_str());
  int rc = ::posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  if (rc != 0) {
    ::close(out_pipe[0]);
    ::close(err_pipe[0]);
    throw std::runtime_error("cannot start " + options.argv[0] + ": " + std::strerror(rc));
  }
  out_reader_ = std::thread([this, fd = out_pipe[0]] { pump(fd, out_); });
  err_reader_ = std::thread([this, fd = err_pipe[0]] { pump(fd, err_); });
}

void Process::pump(int fd, std::string& sink) {
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    {
      std::lock_guard lock(mutex_);
      sink.append(buf, static_cast<std::size_t>(n));
    }
    changed_.notify_all();
  }
  ::close(fd);
}

Process::~Process() {
  if (!status_) {
    ::kill(pid_, SIGKILL);
    wait(std::chrono::seconds(10));
  }
  if (out_reader_.joinable()) out_reader_.join();
  if (err_reader_.joinable()) err_reader_.join();
}

void Process::signal(int sig) {
  if (!status_) ::kill(pid_, sig);
}

std::optional<int> Process::wait(std::chrono::milliseconds timeout) {
  if (status_) return status_;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int raw = 0;
    pid_t r = ::waitpid(pid_, &raw, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
      // The pipes close with the child (unless it left children holding them).
      if (out_reader_.joinable()) out_reader_.join();
      if (err_reader_.joinable()) err_reader_.join();
      return status_;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool Process::wait_for_err(std::string_view needle, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return err_.find(needle) != std::string::npos; });
}

std::string Process::out() const {
  std::lock_guard lock(mutex_);
  return out_;
}

std::string Process::err() const {
  std::lock_guard lock(mutex_);
  return err_;
}

ProcessResult Process::run(ProcessOptions options, std::chrono::milliseconds timeout) {
  Process process(std::move(options));
  ProcessResult result;
  auto status = process.wait(timeout);
  if (!status) {
    process.signal(SIGKILL);
    status = process.wait(std::chrono::seconds(10));
  }
  result.status = status.value_or(-1);
  result.out = process.out();
  result.err = process.err();
  return result;
}

std::vector<std::string> lines_of(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    auto nl = text.find('\n');
    lines.emplace_back(text.substr(0, nl));
    if (nl == std::string_view::npos) break;
    text.remove_prefix(nl + 1);
  }
  return lines;
}

}  // namespace vantle::test
