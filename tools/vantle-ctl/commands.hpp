// The operations vantle-ctl offers, one command per control request: the arguments
// each takes and how they are checked, and what the mixer answers to each.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "util/json.hpp"

namespace vantle::ctl {

// A mistake on the command line or in a file named there (exit status 2).
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What the mixer sends back for an operation.
enum class Answer {
  kNone,       // nothing, whatever happens
  kReply,      // one reply of the command's reply kind
  kErrorOnly,  // an "error" reply on rejection, nothing on success
};

enum class ArgKind {
  kName,       // a non-empty text (channel id, relay name, JACK port)
  kMixBus,     // main, monitor, cue
  kMasterBus,  // the three buses and their three relay lines
  kRelayLine,  // main, monitor, cue (a relay line's switch)
  kFeed,       // main, monitor, cue, off
  kGain,       // a linear factor, or decibels with a "dB" suffix
  kNumber,     // any finite number a 32-bit float holds
  kSwitch,     // on, off, true, false
  kScene,      // a scene: a file, or "-" for standard input
  kPlugins,    // a plugin list: JSON text (starting with "[" or "{"), a file, or "-"
  kConfig,     // a configuration: a file, or "-"
};

struct Param {
  const char* name;   // as shown in the help ("CHANNEL")
  const char* field;  // the request member it fills
  ArgKind kind;
  const char* help;
};

struct Command {
  const char* name;  // the op with dashes: "set-fader"
  const char* op;    // "set_fader"
  std::vector<Param> args;
  Answer answer;
  const char* reply_kind;  // for kReply
  int timeout_ms;          // how long to wait by default for what the mixer says
  const char* summary;
};

// All operations of the control protocol, in its order.
const std::vector<Command>& commands();
const Command* find_command(std::string_view name);
const Command* find_op(std::string_view op);

// Checks one argument and gives the request member's value. Throws UsageError.
json::Json argument_value(const Param& param, const std::string& text);

// The request object: {"op": ..., then the arguments' members}. Throws UsageError.
json::Json build_request(const Command& command, const std::vector<std::string>& args);

// A JSON text given on the command line ("raw"), sent as it stands. Throws
// UsageError when it is not JSON; nothing when it is JSON that the strict reader
// refuses (a member given twice, deep nesting), which a test of the mixer may want.
std::optional<json::Json> parse_raw(const std::string& text);

// The datagram for a request, compact. Throws UsageError.
std::string encode_request(const json::Json& request);

// Refuses a datagram the mixer could not read whole. Throws UsageError.
void check_request_size(std::string_view bytes);

// The most bytes of a datagram the mixer reads.
inline constexpr std::size_t kMaxRequestBytes = 8192;

}  // namespace vantle::ctl
