// The JACK graph of the whole machine as the control plane shows and rewires it,
// through JACK's command-line tools rather than the mixer's own client.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantle::control {

// A client and the full names ("client:port") of its ports, in the tool's order.
struct PortGroup {
  std::string client;
  std::vector<std::string> ports;
  bool operator==(const PortGroup&) const = default;
};

// Ports that produce audio ("capture") and ports that take it ("playback"), grouped
// by client, groups in byte order of the client name.
struct AvailablePorts {
  std::vector<PortGroup> capture;
  std::vector<PortGroup> playback;
  bool operator==(const AvailablePorts&) const = default;
};

struct GraphPort {
  std::string name;  // full name
  bool output = false;
  std::vector<std::string> connections;  // full names
  bool operator==(const GraphPort&) const = default;
};

struct GraphClient {
  std::string name;
  std::vector<GraphPort> ports;
  bool operator==(const GraphClient&) const = default;
};

// Every client, port and connection; clients in byte order of their names.
struct JackGraph {
  std::vector<GraphClient> clients;
  bool operator==(const JackGraph&) const = default;
};

// The programs run and how long each may take; tests substitute fakes. A hung tool
// would otherwise hold the control thread, and every later request, for good.
struct JackTools {
  std::string lsp = "jack_lsp", connect = "jack_connect", disconnect = "jack_disconnect";
  std::chrono::milliseconds time_limit{5000};
};

// Pure parsers of the tools' output (text already decoded as UTF-8).
// `lsp_properties_output` is what "jack_lsp -p" printed, `lsp_connections_output`
// what "jack_lsp -c" printed; nullopt stands for a run that did not happen (not
// started, or killed at the time limit).
AvailablePorts parse_available_ports(std::string_view lsp_properties_output);
JackGraph parse_jack_graph(std::optional<std::string_view> lsp_connections_output,
                           std::optional<std::string_view> lsp_properties_output);

// The queries never fail: a tool that is missing, fails or runs past the limit gives
// empty lists. Control thread; each blocks for the tools' runs (at most the time
// limit per run).
AvailablePorts query_available_ports(const JackTools& tools = {});
JackGraph query_jack_graph(const JackTools& tools = {});

// Nothing on success, else the text of the "error" reply: "jack_connect: " (or
// "jack_disconnect: ") and the start failure, the time-out, or the tool's own
// complaint from its standard error. Control thread.
std::optional<std::string> jack_connect(const std::string& src, const std::string& dst, const JackTools& tools = {});
std::optional<std::string> jack_disconnect(const std::string& src, const std::string& dst, const JackTools& tools = {});

}  // namespace vantle::control
