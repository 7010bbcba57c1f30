#include "engine/autoconnect.hpp"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string_view>

#include "engine/jack_io.hpp"
#include "util/log.hpp"
#include "util/threads.hpp"

namespace vantle::engine {

namespace {

spdlog::logger& logger() {
  static spdlog::logger& instance = log::get("vantle_mixer::jack_io");
  return instance;
}

struct ClientCloser {
  void operator()(jack_client_t* client) const { jack_client_close(client); }
};
using HelperClient = std::unique_ptr<jack_client_t, ClientCloser>;

// Names JACK would resolve to some other port: its C API stops reading at a NUL, and
// it matches an empty name against the empty alias of whichever port comes first.
bool names_no_port(const std::string& name) { return name.empty() || name.find('\0') != std::string::npos; }

// JACK refuses a connection against the direction of its ports with a bare -1; the
// operator needs to know which end of the rule is the wrong way round.
std::string direction_note(jack_port_t* src, jack_port_t* dst) {
  const bool src_wrong = (jack_port_flags(src) & JackPortIsOutput) == 0;
  const bool dst_wrong = (jack_port_flags(dst) & JackPortIsInput) == 0;
  if (src_wrong && dst_wrong) return "source is not an output port and destination is not an input port";
  if (src_wrong) return "source is not an output port";
  if (dst_wrong) return "destination is not an input port";
  return {};
}

// The thread's body; the helper client is closed however it ends.
void run(std::vector<config::AutoConnect> rules, Lifeline lifeline, std::chrono::milliseconds interval) {
  // JACK's own messages already go to our log: the main client installed that when
  // the `Mixer` opened it, before this thread was started.
  jack_status_t status{};
  HelperClient client(jack_client_open(kAutoconnectClientName, JackNoStartServer, &status));
  if (!client) {
    // No retry: the main client depends on the same server, and without it the
    // process ends anyway.
    logger().warn("autoconnect helper client failed to open: JACK refused the client (status {})",
                  status_names(static_cast<unsigned>(status)));
    return;
  }
  while (lifeline.alive()) {
    try {
      autoconnect_pass(client.get(), rules, &lifeline);
    } catch (const std::exception& e) {
      logger().warn("autoconnect pass failed: {}", e.what());
    }
    if (!lifeline.sleep_for(interval)) break;
  }
}

}  // namespace

std::chrono::milliseconds autoconnect_interval() {
  const char* text = std::getenv(kAutoconnectIntervalVariable);
  if (text == nullptr) return kAutoconnectInterval;
  const std::string_view value(text);
  long long ms = 0;
  auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), ms);
  if (error != std::errc() || end != value.data() + value.size() || ms <= 0) return kAutoconnectInterval;
  return std::chrono::milliseconds(ms);
}

std::size_t autoconnect_pass(jack_client_t* client, const std::vector<config::AutoConnect>& rules,
                             const Lifeline* keep_going) {
  std::size_t made = 0;
  for (const auto& rule : rules) {
    // A `Mixer` dropped by a reload no longer enforces its rules, not even the rest
    // of the pass in hand.
    if (keep_going != nullptr && !keep_going->alive()) break;
    if (names_no_port(rule.src) || names_no_port(rule.dst)) continue;
    jack_port_t* src = jack_port_by_name(client, rule.src.c_str());
    jack_port_t* dst = jack_port_by_name(client, rule.dst.c_str());
    if (src == nullptr || dst == nullptr) continue;  // waits for the ports to appear
    if (jack_port_connected_to(src, rule.dst.c_str()) > 0) continue;

    const int rc = jack_connect(client, rule.src.c_str(), rule.dst.c_str());
    if (rc == 0) {
      logger().info("autoconnect: {} \u2192 {}", rule.src, rule.dst);
      ++made;
    } else if (rc != EEXIST) {  // EEXIST: someone else made it since the check above
      std::string reason = direction_note(src, dst);
      if (reason.empty()) reason = "JACK error code " + std::to_string(rc);
      logger().warn("autoconnect {} \u2192 {}: {}", rule.src, rule.dst, reason);
    }
  }
  return made;
}

void start_autoconnect(std::vector<config::AutoConnect> rules, Lifeline lifeline,
                       std::chrono::milliseconds interval) {
  if (rules.empty()) return;
  try {
    spawn_detached("autoconnect", [rules = std::move(rules), lifeline = std::move(lifeline), interval]() mutable {
      run(std::move(rules), std::move(lifeline), interval);
    });
  } catch (const std::exception&) {
    // The mixer works without it; the operator's connections are then theirs to make.
  }
}

}  // namespace vantle::engine
