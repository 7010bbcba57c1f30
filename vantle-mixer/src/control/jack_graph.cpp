#include "control/jack_graph.hpp"

#include <cstdint>
#include <map>
#include <span>
#include <unordered_map>

#include "util/log.hpp"
#include "util/subprocess.hpp"
#include "util/utf8.hpp"

namespace vantle::control {

namespace {

// The mixer's own JACK clients are named after it, whatever "jack_name" holds; they
// are no candidates for wiring a channel or sink to.
constexpr std::string_view kOwnClientPrefix = "vantle-mixer";

// Multi-byte UTF-8 encodings of the Unicode white space characters.
constexpr std::string_view kWideSpaces[] = {
    "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82",
    "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88",
    "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F",
    "\xE3\x80\x80",
};

bool is_ascii_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Leading and trailing white space removed (ASCII and the rest of Unicode's).
std::string_view trim(std::string_view text) {
  for (bool cut = true; cut && !text.empty();) {
    cut = false;
    if (is_ascii_space(text.front())) {
      text.remove_prefix(1);
      cut = true;
      continue;
    }
    for (auto space : kWideSpaces) {
      if (text.starts_with(space)) {
        text.remove_prefix(space.size());
        cut = true;
        break;
      }
    }
  }
  for (bool cut = true; cut && !text.empty();) {
    cut = false;
    if (is_ascii_space(text.back())) {
      text.remove_suffix(1);
      cut = true;
      continue;
    }
    for (auto space : kWideSpaces) {
      if (text.ends_with(space)) {
        text.remove_suffix(space.size());
        cut = true;
        break;
      }
    }
  }
  return text;
}

// Calls `visit` with each non-empty line, without its line feed and a carriage
// return before it.
template <class Visit>
void for_each_line(std::string_view text, Visit&& visit) {
  while (!text.empty()) {
    const auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (end != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty()) visit(line);
  }
}

bool contains(std::string_view text, std::string_view word) { return text.find(word) != std::string_view::npos; }

// The client of a full port name, or nullopt for a name without ":".
std::optional<std::string_view> client_of(std::string_view port) {
  const auto colon = port.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  return port.substr(0, colon);
}

// std::map orders std::string keys by their bytes taken as unsigned, as the
// replies want.
std::vector<PortGroup> to_groups(std::map<std::string, std::vector<std::string>>&& by_client) {
  std::vector<PortGroup> groups;
  groups.reserve(by_client.size());
  for (auto& [client, ports] : by_client) groups.push_back(PortGroup{client, std::move(ports)});
  return groups;
}

std::string decode(const std::string& bytes) {
  return lenient_utf8(std::string_view(bytes));
}

// The text a tool printed. A stream cut at the cap loses its broken last line, so no
// half port name is taken for a whole one.
std::string printed(const std::string& bytes, bool truncated) {
  if (!truncated) return decode(bytes);
  const auto last_feed = bytes.rfind('\n');
  return decode(bytes.substr(0, last_feed == std::string::npos ? 0 : last_feed + 1));
}

std::string duration_text(std::chrono::milliseconds limit) {
  const auto ms = limit.count();
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

// Standard output of "jack_lsp <flag>", or nullopt when it did not run to its end.
// Its exit status does not matter: whatever it listed is what there is.
std::optional<std::string> lsp_output(const JackTools& tools, const char* flag) {
  ToolRun run = run_tool(tools.lsp, {flag}, tools.time_limit);
  if (!run.started) return std::nullopt;
  if (run.timed_out) {
    log::get("vantle_mixer::control")
        .warn("{} {} did not finish within {}; killed it", tools.lsp, flag, duration_text(tools.time_limit));
    return std::nullopt;
  }
  return printed(run.out, run.out_truncated);
}

std::optional<std::string> run_wiring_tool(std::string_view request, const std::string& program,
                                           const std::string& src, const std::string& dst,
                                           std::chrono::milliseconds limit) {
  ToolRun run = run_tool(program, {src, dst}, limit);
  const std::string prefix = std::string(request) + ": ";
  if (!run.started) return prefix + run.start_error;
  if (run.timed_out) {
    log::get("vantle_mixer::control")
        .warn("{} {} {} did not finish within {}; killed it", program, src, dst, duration_text(limit));
    return prefix + "timed out after " + duration_text(limit);
  }
  if (run.exit_status == 0) return std::nullopt;
  return prefix + std::string(trim(printed(run.err, run.err_truncated)));
}

}  // namespace

AvailablePorts parse_available_ports(std::string_view lsp_properties_output) {
  std::map<std::string, std::vector<std::string>> capture, playback;
  std::optional<std::string> port;
  bool is_output = false, is_input = false;

  auto finish = [&] {
    if (!port) return;
    const auto client = client_of(*port);
    // A client name of at least 12 characters starting "vantle-mixer": the prefix is
    // those 12 characters, so the prefix test is the whole rule.
    if (!client || client->starts_with(kOwnClientPrefix)) return;
    if (is_output) capture[std::string(*client)].push_back(*port);
    if (is_input) playback[std::string(*client)].push_back(*port);
  };

  for_each_line(lsp_properties_output, [&](std::string_view line) {
    const bool property = line.starts_with('\t') || (line.size() > 2 && line.starts_with("   "));
    if (property) {
      if (!port) return;
      const auto text = trim(line);
      if (contains(text, "output")) is_output = true;
      if (contains(text, "input")) is_input = true;
      return;
    }
    finish();
    port = std::string(trim(line));
    is_output = is_input = false;
  });
  finish();

  return AvailablePorts{to_groups(std::move(capture)), to_groups(std::move(playback))};
}

JackGraph parse_jack_graph(std::optional<std::string_view> lsp_connections_output,
                           std::optional<std::string_view> lsp_properties_output) {
  std::unordered_map<std::string, std::vector<std::string>> connections;
  if (lsp_connections_output) {
    std::vector<std::string>* current = nullptr;
    for_each_line(*lsp_connections_output, [&](std::string_view line) {
      if (line.front() != '\t' && line.front() != ' ') {
        current = &connections[std::string(trim(line))];
      } else if (current != nullptr) {
        current->emplace_back(trim(line));
      }
    });
  }
  if (!lsp_properties_output) return {};

  // Ports in the order of the "-p" listing; a port's connections are taken out of
  // the table, so whatever is left there for ports "-p" did not list is dropped.
  std::vector<GraphPort> ports;
  std::optional<std::string> port;
  bool is_output = false;
  auto finish = [&] {
    if (!port) return;
    GraphPort done{std::move(*port), is_output, {}};
    if (auto found = connections.find(done.name); found != connections.end()) {
      done.connections = std::move(found->second);
      connections.erase(found);
    }
    ports.push_back(std::move(done));
    port.reset();
  };
  for_each_line(*lsp_properties_output, [&](std::string_view line) {
    if (line.front() == '\t' || line.front() == ' ') {
      if (port && contains(trim(line), "output")) is_output = true;
      return;
    }
    finish();
    port = std::string(trim(line));
    is_output = false;
  });
  finish();

  // Clients in byte order of their names, each client's ports in listing order.
  std::map<std::string, std::vector<GraphPort>> by_client;
  for (auto& p : ports) {
    const auto client = client_of(p.name);
    if (!client) continue;
    by_client[std::string(*client)].push_back(std::move(p));
  }
  JackGraph graph;
  graph.clients.reserve(by_client.size());
  for (auto& [name, client_ports] : by_client) graph.clients.push_back(GraphClient{name, std::move(client_ports)});
  return graph;
}

AvailablePorts query_available_ports(const JackTools& tools) {
  const auto listing = lsp_output(tools, "-p");
  if (!listing) return {};
  return parse_available_ports(*listing);
}

JackGraph query_jack_graph(const JackTools& tools) {
  const auto connections = lsp_output(tools, "-c");
  const auto properties = lsp_output(tools, "-p");
  return parse_jack_graph(connections ? std::optional<std::string_view>(*connections) : std::nullopt,
                          properties ? std::optional<std::string_view>(*properties) : std::nullopt);
}

std::optional<std::string> jack_connect(const std::string& src, const std::string& dst, const JackTools& tools) {
  return run_wiring_tool("jack_connect", tools.connect, src, dst, tools.time_limit);
}

std::optional<std::string> jack_disconnect(const std::string& src, const std::string& dst, const JackTools& tools) {
  return run_wiring_tool("jack_disconnect", tools.disconnect, src, dst, tools.time_limit);
}

}  // namespace vantle::control
