#include "support/jack_server.hpp"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>

namespace vantle::test {

namespace {
std::atomic<int> server_counter{0};
}

JackServer::JackServer() : name_("vt" + std::to_string(::getpid()) + "_" + std::to_string(server_counter++)) {
  ProcessOptions jackd;
  jackd.argv = {"jackd", "--no-realtime", "-n", name_, "-d", "dummy", "-r", "48000", "-p", "256"};
  jackd.env = client_env();
  jackd.env["JACK_NO_AUDIO_RESERVATION"] = "1";
  jackd_ = std::make_unique<Process>(std::move(jackd));

  ProcessOptions wait;
  wait.argv = {"jack_wait", "-s", name_, "-w", "-t", "5"};
  wait.env = client_env();
  auto result = Process::run(std::move(wait), std::chrono::seconds(10));
  if (result.status != 0) {
    throw std::runtime_error("jack server " + name_ + " did not start: " + result.out + result.err + jackd_->err());
  }
}

JackServer::~JackServer() { kill(); }

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
