// A private dummy JACK server for one test: a name no other test uses meanwhile, 48 kHz, 256 frames,
// started and waited for, killed by its own pid at the end.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/process.hpp"

namespace vantle::test {

class JackServer {
 public:
  JackServer();
  ~JackServer();

  const std::string& name() const { return name_; }

  // The environment that points JACK clients at this server.
  std::map<std::string, std::optional<std::string>> client_env() const;

  // Full port names as `jack_lsp` lists them.
  std::vector<std::string> ports() const;
  // `jack_lsp` with extra arguments, its output as lines.
  std::vector<std::string> lsp(const std::vector<std::string>& args) const;

  // Stops the server with `sig` (SIGKILL when it does not end within 5 s).
  void kill(int sig = 15);

 private:
  void start();
  bool serves_clients() const;

  std::string name_;
  int name_lock_;
  std::unique_ptr<Process> jackd_;
};

}  // namespace vantle::test
