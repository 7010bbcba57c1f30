#include "support/jack_server.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

namespace vantle::test {

namespace {

// JACK keeps a machine-wide table of at most eight servers, and an entry is only
// reclaimed by a server of the same name. Test servers therefore take their names
// from a small pool, each guarded by a lock file, so a test that dies without
// stopping its server never uses up the table.
constexpr int kNamePool = 4;

int claim_name(std::string& name) {
  for (;;) {
    for (int k = 0; k < kNamePool; ++k) {
      const std::string lock = "/tmp/vantle-test-jack-" + std::to_string(k) + ".lock";
      int fd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
      if (fd < 0) continue;
      if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        name = "vantle-test-" + std::to_string(k);
        return fd;
      }
      ::close(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

}  // namespace

JackServer::JackServer() : name_lock_(claim_name(name_)) {
  try {
    start();
  } catch (...) {
    ::close(name_lock_);
    throw;
  }
}

void JackServer::start() {
  // A server left running under this name by a test process that died is ours to end.
  // pkill only sends the signal: wait until that server is gone, or the new one would
  // find it still active.
  const std::string leftover = "^jackd --no-realtime -n " + name_ + " ";
  Process::run({{"pkill", "-KILL", "-f", leftover}, {}, ""}, std::chrono::seconds(5));
  for (int i = 0; i < 100; ++i) {
    if (Process::run({{"pgrep", "-f", leftover}, {}, ""}, std::chrono::seconds(5)).status != 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }

  ProcessOptions jackd;
  jackd.argv = {"jackd", "--no-realtime", "-n", name_, "-d", "dummy", "-r", "48000", "-p", "256"};
  jackd.env = client_env();
  jackd.env["JACK_NO_AUDIO_RESERVATION"] = "1";
  jackd_ = std::make_unique<Process>(std::move(jackd));

  // A client may meet what a killed server of the same name left behind before the
  // new one has replaced it; such a refusal is worth another try while jackd runs.
  std::string output;
  for (int attempt = 0; attempt < 5; ++attempt) {
    ProcessOptions wait;
    wait.argv = {"jack_wait", "-s", name_, "-w", "-t", "5"};
    wait.env = client_env();
    auto result = Process::run(std::move(wait), std::chrono::seconds(10));
    if (result.status == 0 && result.out.find("server is available") != std::string::npos && serves_clients()) return;
    output += result.out;
    if (jackd_->wait(std::chrono::milliseconds(200))) break;  // jackd itself gave up
  }
  throw std::runtime_error("jack server " + name_ + " did not start: " + output + jackd_->err());
}

// jack_wait can already see a server that a new client still cannot join (the entry
// of a killed server of the same name is being replaced): only a listing of the new
// server's own ports says it serves clients.
bool JackServer::serves_clients() const {
  for (int i = 0; i < 50; ++i) {
    for (const auto& port : ports()) {
      if (port == "system:playback_1") return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

JackServer::~JackServer() {
  kill();
  ::close(name_lock_);
}

void JackServer::kill(int sig) {
  if (!jackd_) return;
  jackd_->signal(sig);
  if (!jackd_->wait(std::chrono::seconds(5))) {
    jackd_->signal(SIGKILL);
    jackd_->wait(std::chrono::seconds(5));
  }
  jackd_.reset();
}

std::map<std::string, std::optional<std::string>> JackServer::client_env() const {
  return {{"JACK_DEFAULT_SERVER", name_}, {"JACK_NO_START_SERVER", "1"}};
}

std::vector<std::string> JackServer::lsp(const std::vector<std::string>& args) const {
  ProcessOptions options;
  options.argv = {"jack_lsp", "-s", name_};
  options.argv.insert(options.argv.end(), args.begin(), args.end());
  options.env = client_env();
  return lines_of(Process::run(std::move(options), std::chrono::seconds(10)).out);
}

std::vector<std::string> JackServer::ports() const { return lsp({}); }

}  // namespace vantle::test
