#include "util/subprocess.hpp"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/temp_dir.hpp"

namespace vantle {
namespace {

using namespace std::chrono_literals;

ToolRun shell(const std::string& script, std::chrono::milliseconds limit = 10s) {
  return run_tool("sh", {"-c", script}, limit);
}

std::size_t open_descriptors() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

// What a child of ours may see as pipes: its standard output and error, plus any
// pipe the test's own parent handed down without close-on-exec (not ours to fix).
std::vector<std::string> inheritable_pipes() {
  std::vector<std::string> names{"/proc/self/fd/1", "/proc/self/fd/2"};
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const int fd = std::stoi(entry.path().filename().string());
    if (fd <= 2) continue;
    const int flags = ::fcntl(fd, F_GETFD);
    std::error_code ec;
    const auto target = std::filesystem::read_symlink(entry.path(), ec).string();
    if (flags >= 0 && !(flags & FD_CLOEXEC) && target.starts_with("pipe:")) {
      names.push_back("/proc/self/fd/" + std::to_string(fd));
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

// True once `pid` is gone or left only as a zombie (waiting for its new parent).
bool ended(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  if (!stat) return true;
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const auto paren = text.rfind(')');
  return paren == std::string::npos || text.substr(paren + 2, 1) == "Z";
}

TEST(RunTool, CapturesBothStreamsAndHowTheProgramEnded) {
  struct Case {
    std::string script;
    std::string out, err;
    int exit_status, signal;
  } cases[] = {
      {"printf 'a\\nb'; printf 'oops' >&2", "a\nb", "oops", 0, 0},
      {"echo out; echo err >&2; exit 3", "out\n", "err\n", 3, 0},
      {"printf '\\377\\000x'", std::string("\xff\0x", 3), "", 0, 0},  // bytes kept as they are
      {"echo partial; kill -TERM $$", "partial\n", "", -1, SIGTERM},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    const ToolRun run = shell(c.script);
    EXPECT_TRUE(run.started);
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.exit_status, c.exit_status);
    EXPECT_EQ(run.signal, c.signal);
    EXPECT_EQ(run.succeeded(), c.exit_status == 0);
  }
}

TEST(RunTool, ArgumentsReachTheProgramUnchangedAndStdinIsEmpty) {
  // No shell in between: spaces, quotes and semicolons are plain characters.
  const ToolRun run = run_tool("printf", {"[%s]", "a b", "'c';d", "", "$HOME"}, 10s);
  EXPECT_EQ(run.out, "[a b]['c';d][][$HOME]");

  // A program reading its standard input sees its end at once instead of waiting.
  const ToolRun cat = run_tool("cat", {}, 10s);
  EXPECT_TRUE(cat.succeeded());
  EXPECT_EQ(cat.out, "");
}

TEST(RunTool, ReportsWhyAProgramCannotStart) {
  test::TempDir dir;
  const auto not_executable = dir.path() / "tool";
  std::ofstream(not_executable) << "#!/bin/sh\n";
  ::chmod(not_executable.c_str(), 0644);

  struct Case {
    std::string program, error;
  } cases[] = {
      {"vantle-no-such-tool", "No such file or directory (os error 2)"},
      {(dir.path() / "missing").string(), "No such file or directory (os error 2)"},
      {not_executable.string(), "Permission denied (os error 13)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.program);
    const ToolRun run = run_tool(c.program, {}, 10s);
    EXPECT_FALSE(run.started);
    EXPECT_FALSE(run.succeeded());
    EXPECT_EQ(run.start_error, c.error);
  }
}

TEST(RunTool, KillsAProgramThatOutlivesTheLimitWithEverythingItStarted) {
  test::TempDir dir;
  const auto pid_file = dir.path() / "child.pid";
  struct Case {
    const char* what;
    std::string script;
  } cases[] = {
      // The background child holds the pipes open after its parent is killed.
      {"writing nothing", "sleep 1000 & echo $! > '" + pid_file.string() + "'; wait"},
      {"closing its output first", "exec >&- 2>&-; sleep 1000 & echo $! > '" + pid_file.string() + "'; wait"},
      {"talking all the time", "yes & echo $! > '" + pid_file.string() + "'; wait"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(pid_file);
    const auto start = std::chrono::steady_clock::now();
    const ToolRun run = shell(c.script, 300ms);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(run.started);
    EXPECT_TRUE(run.timed_out);
    EXPECT_FALSE(run.succeeded());
    EXPECT_EQ(run.signal, SIGKILL);
    EXPECT_GE(took, 300ms);
    EXPECT_LT(took, 3s);

    pid_t child = 0;
    std::ifstream(pid_file) >> child;
    ASSERT_GT(child, 0);
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!ended(child) && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(ended(child)) << "the tool's own child " << child << " survived";
  }
}

TEST(RunTool, KeepsAtMostTheCapOfEachStreamAndStillRunsToTheEnd) {
  const ToolRun run = shell("head -c 6000000 /dev/zero; head -c 5000000 /dev/zero >&2; echo done >&2", 20s);
  EXPECT_TRUE(run.succeeded());
  EXPECT_EQ(run.out.size(), kToolOutputCap);
  EXPECT_EQ(run.err.size(), kToolOutputCap);
  EXPECT_TRUE(run.out_truncated);
  EXPECT_TRUE(run.err_truncated);

  const ToolRun small = shell("echo fine");
  EXPECT_FALSE(small.out_truncated);
  EXPECT_FALSE(small.err_truncated);
}

TEST(RunTool, TheProgramDoesNotInheritTheCallersSignalSettings) {
  // The mixer blocks SIGINT in its threads (one thread takes it) and may ignore
  // signals; a tool must start with the defaults.
  sigset_t block, previous_mask;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGTERM);
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &block, &previous_mask), 0);
  struct sigaction ignore {}, previous_pipe {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &previous_pipe), 0);

  const ToolRun run = run_tool("grep", {"-E", "^Sig(Blk|Ign):", "/proc/self/status"}, 10s);

  ::sigaction(SIGPIPE, &previous_pipe, nullptr);
  ::pthread_sigmask(SIG_SETMASK, &previous_mask, nullptr);
  std::istringstream status(run.out);
  std::string blocked_label, blocked, ignored_label, ignored;
  status >> blocked_label >> blocked >> ignored_label >> ignored;
  EXPECT_EQ(blocked_label + blocked, "SigBlk:0000000000000000");
  ASSERT_EQ(ignored_label, "SigIgn:");
  // The C library keeps its two internal signals (32 and 33) ignored in every child
  // it spawns; the ordinary signals are what matters.
  EXPECT_EQ(std::stoull(ignored, nullptr, 16) & 0x7fffffffULL, 0u) << ignored;
}

TEST(RunTool, LeavesNoDescriptorsOrChildrenBehind) {
  const std::size_t before = open_descriptors();
  shell("echo hello; echo there >&2");
  shell("exit 1");
  run_tool("vantle-no-such-tool", {}, 10s);
  shell("sleep 1000", 100ms);
  EXPECT_EQ(open_descriptors(), before);

  // Every child was reaped: there is none left to wait for.
  int status = 0;
  EXPECT_EQ(::waitpid(-1, &status, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);

  // Of the tool's descriptors only its standard output and error are pipes: our
  // ends of them (and any other pipe of ours) stay out of it.
  const ToolRun run = run_tool("find", {"/proc/self/fd", "-lname", "pipe:*"}, 10s);
  std::istringstream listed(run.out);
  std::vector<std::string> pipes;
  for (std::string fd; listed >> fd;) pipes.push_back(fd);
  std::sort(pipes.begin(), pipes.end());
  EXPECT_EQ(pipes, inheritable_pipes());
}

}  // namespace
}  // namespace vantle
