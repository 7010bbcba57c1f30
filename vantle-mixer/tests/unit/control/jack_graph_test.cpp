#include "control/jack_graph.hpp"

#include <gtest/gtest.h>
#include <jack/jack.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "support/jack_server.hpp"
#include "support/temp_dir.hpp"

namespace vantle::control {

// Readable failure output for the records.
void PrintTo(const GraphPort& port, std::ostream* os) {
  *os << "{" << port.name << (port.output ? " output [" : " input [");
  for (const auto& c : port.connections) *os << c << ";";
  *os << "]}";
}
void PrintTo(const PortGroup& group, std::ostream* os) {
  *os << "{" << group.client << ":";
  for (const auto& p : group.ports) *os << " " << p;
  *os << "}";
}

namespace {

using namespace std::chrono_literals;

// What jack_lsp -p and -c print for a machine with the dummy driver's ports, the
// mixer's clients and a DAW (the layout of jackd2's tools).
constexpr std::string_view kRecordedProperties =
    "system:capture_1\n"
    "\tproperties: output,physical,terminal,\n"
    "system:capture_2\n"
    "\tproperties: output,physical,terminal,\n"
    "system:playback_1\n"
    "\tproperties: input,physical,terminal,\n"
    "system:playback_2\n"
    "\tproperties: input,physical,terminal,\n"
    "vantle-mixer:in_mic_L\n"
    "\tproperties: input,\n"
    "vantle-mixer:main_L\n"
    "\tproperties: output,\n"
    "vantle-mixer-wire:out_1\n"
    "\tproperties: output,\n"
    "Ardour:Master/audio_out 1\n"
    "\tproperties: output,\n"
    "Ardour:Audio 1/audio_in 1\n"
    "\tproperties: input,\n";

constexpr std::string_view kRecordedConnections =
    "system:capture_1\n"
    "   vantle-mixer:in_mic_L\n"
    "   Ardour:Audio 1/audio_in 1\n"
    "system:capture_2\n"
    "system:playback_1\n"
    "   vantle-mixer-wire:out_1\n"
    "system:playback_2\n"
    "vantle-mixer:in_mic_L\n"
    "   system:capture_1\n"
    "vantle-mixer:main_L\n"
    "vantle-mixer-wire:out_1\n"
    "   system:playback_1\n"
    "Ardour:Master/audio_out 1\n"
    "Ardour:Audio 1/audio_in 1\n"
    "   system:capture_1\n"
    "gone:port\n"  // disappeared between the two listings
    "   system:capture_2\n";

using Groups = std::vector<PortGroup>;

TEST(ParseAvailablePorts, FollowsTheLineRules) {
  struct Case {
    const char* what;
    std::string_view listing;
    Groups capture, playback;
  } cases[] = {
      {"recorded listing: own clients left out, clients in byte order",
       kRecordedProperties,
       {{"Ardour", {"Ardour:Master/audio_out 1"}}, {"system", {"system:capture_1", "system:capture_2"}}},
       {{"Ardour", {"Ardour:Audio 1/audio_in 1"}}, {"system", {"system:playback_1", "system:playback_2"}}}},
      {"three-space property lines, CRLF, blank lines, names trimmed",
       "a:x \r\n   properties: output,\r\n\r\n\xC2\xA0"
       "b:y\xE3\x80\x80\r\n   properties: input,\r\n",
       {{"a", {"a:x"}}},
       {{"b", {"b:y"}}}},
      {"a port with both flags is in both lists, one with neither in none",
       "d:io\n\tinput\n\toutput\nd:midi\n\tproperties: physical,\n",
       {{"d", {"d:io"}}},
       {{"d", {"d:io"}}}},
      {"a property line before any port and a port without a colon are ignored",
       "\tproperties: output,\nnocolon\n\tproperties: output,\nz:1\n",
       {},
       {}},
      {"only clients starting with the mixer's name are its own",
       "vantle-mixe:p\n\toutput\nvantle-mixer:p\n\toutput\nvantle-mixer-2:p\n\toutput\n"
       "vantle-mixerX:p\n\toutput\nVantle-mixer:p\n\toutput\nx:vantle-mixer\n\toutput\n",
       {{"Vantle-mixer", {"Vantle-mixer:p"}}, {"vantle-mixe", {"vantle-mixe:p"}}, {"x", {"x:vantle-mixer"}}},
       {}},
      {"groups in unsigned byte order, ports in listing order",
       "b:1\n\toutput\n\xC3\xA9:1\n\toutput\nB:1\n\toutput\n_:1\n\toutput\nb:2\n\toutput\na:1\n\toutput\n",
       {{"B", {"B:1"}}, {"_", {"_:1"}}, {"a", {"a:1"}}, {"b", {"b:1", "b:2"}}, {"\xC3\xA9", {"\xC3\xA9:1"}}},
       {}},
      {"port names keep everything after the first colon",
       "c:a:b\n\toutput\n",
       {{"c", {"c:a:b"}}},
       {}},
      {"nothing listed", "", {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const AvailablePorts ports = parse_available_ports(c.listing);
    EXPECT_EQ(ports.capture, c.capture);
    EXPECT_EQ(ports.playback, c.playback);
  }
}

GraphPort out(std::string name, std::vector<std::string> connections = {}) {
  return GraphPort{std::move(name), true, std::move(connections)};
}
GraphPort in(std::string name, std::vector<std::string> connections = {}) {
  return GraphPort{std::move(name), false, std::move(connections)};
}

TEST(ParseJackGraph, JoinsTheTwoListings) {
  const JackGraph graph = parse_jack_graph(kRecordedConnections, kRecordedProperties);
  const std::vector<GraphClient> expected{
      {"Ardour", {out("Ardour:Master/audio_out 1"), in("Ardour:Audio 1/audio_in 1", {"system:capture_1"})}},
      {"system",
       {out("system:capture_1", {"vantle-mixer:in_mic_L", "Ardour:Audio 1/audio_in 1"}), out("system:capture_2"),
        in("system:playback_1", {"vantle-mixer-wire:out_1"}), in("system:playback_2")}},
      {"vantle-mixer", {in("vantle-mixer:in_mic_L", {"system:capture_1"}), out("vantle-mixer:main_L")}},
      {"vantle-mixer-wire", {out("vantle-mixer-wire:out_1", {"system:playback_1"})}},
  };
  EXPECT_EQ(graph.clients, expected);
}

TEST(ParseJackGraph, ListingsThatAreMissingOrOdd) {
  struct Case {
    const char* what;
    std::optional<std::string_view> connections, properties;
    std::vector<GraphClient> expected;
  } cases[] = {
      {"no connection listing: ports without connections",
       std::nullopt,
       "a:1\n\tproperties: output,\na:2\n\tproperties: input,\n",
       {{"a", {out("a:1"), in("a:2")}}}},
      {"no port listing: no graph, whatever the connections",
       kRecordedConnections,
       std::nullopt,
       {}},
      {"direction only from 'output'; any tab- or space-led line is a property line",
       "a:1\n a:2\n",
       "a:1\n properties: physical,output\na:2\n\tproperties: input,\na:3\n",
       {{"a", {out("a:1", {"a:2"}), in("a:2"), in("a:3")}}}},
      {"CRLF, blank lines, trimmed names; a port without a colon is dropped",
       "a:1 \r\n\r\n\t a:2 \r\nnocolon\r\n\ta:1\r\n",
       "\tproperties: output,\r\na:1\r\n\r\n\tproperties: output,\r\nnocolon\r\n\tproperties: input,\r\n",
       {{"a", {out("a:1", {"a:2"})}}}},
      {"connection lines before any port are ignored",
       "\tb:1\nb:1\n\tb:2\n",
       "b:1\n",
       {{"b", {in("b:1", {"b:2"})}}}},
      {"both listings empty", "", "", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(parse_jack_graph(c.connections, c.properties).clients, c.expected);
  }
}

// Fake tools: shell scripts in a temporary directory.
class FakeTools : public ::testing::Test {
 protected:
  std::string tool(const std::string& name, const std::string& body) {
    const auto path = dir_.path() / name;
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    ::chmod(path.c_str(), 0755);
    return path.string();
  }
  std::string file(const std::string& name, std::string_view content) {
    const auto path = dir_.path() / name;
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
  }
  std::string read(const std::string& name) {
    std::ifstream in(dir_.path() / name, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }

  test::TempDir dir_{"vantle-jack-graph"};
};

TEST_F(FakeTools, QueriesReadTheToolsOutputWhateverTheirExitStatus) {
  const auto properties = file("p.txt", "bad\xFFname:out_1\r\n\tproperties: output,\r\nx:in\n\tproperties: input,\n");
  const auto connections = file("c.txt", "bad\xFFname:out_1\n   x:in\nx:in\n   bad\xFFname:out_1\n");
  JackTools tools;
  tools.lsp = tool("lsp", "echo \"$@\" >> '" + (dir_.path() / "calls").string() + "'\n" +
                              "case \"$1\" in -p) cat '" + properties + "';; -c) cat '" + connections +
                              "';; esac\necho 'some complaint' >&2\nexit 1");

  const AvailablePorts ports = query_available_ports(tools);
  EXPECT_EQ(ports.capture, (Groups{{"bad\xEF\xBF\xBDname", {"bad\xEF\xBF\xBDname:out_1"}}}));
  EXPECT_EQ(ports.playback, (Groups{{"x", {"x:in"}}}));

  const JackGraph graph = query_jack_graph(tools);
  const std::vector<GraphClient> expected{
      {"bad\xEF\xBF\xBDname", {out("bad\xEF\xBF\xBDname:out_1", {"x:in"})}},
      {"x", {in("x:in", {"bad\xEF\xBF\xBDname:out_1"})}},
  };
  EXPECT_EQ(graph.clients, expected);
  EXPECT_EQ(read("calls"), "-p\n-c\n-p\n");
}

TEST_F(FakeTools, ConnectAndDisconnectReportTheToolsComplaint) {
  const auto args = (dir_.path() / "args").string();
  struct Case {
    const char* what;
    std::string body;
    std::optional<std::string> connect_error, disconnect_error;
  } cases[] = {
      {"success, whatever it prints", "printf '%s\\n' \"$@\" > '" + args + "'; echo chatter; echo warning >&2",
       std::nullopt, std::nullopt},
      {"failure: standard error, trimmed",
       "printf '%s\\n' \"$@\" > '" + args + "'; echo 'ignored'; printf '  ERROR a b not a valid port \\n\\n' >&2; exit 1",
       "jack_connect: ERROR a b not a valid port", "jack_disconnect: ERROR a b not a valid port"},
      {"failure with invalid UTF-8", "printf 'bad \\377 port' >&2; exit 2", "jack_connect: bad \xEF\xBF\xBD port",
       "jack_disconnect: bad \xEF\xBF\xBD port"},
      {"failure without a word", "exit 1", "jack_connect: ", "jack_disconnect: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    JackTools tools;
    tools.connect = tools.disconnect = tool("wire", c.body);
    EXPECT_EQ(jack_connect("a b:out;x", "$c:in", tools), c.connect_error);
    EXPECT_EQ(jack_disconnect("a b:out;x", "$c:in", tools), c.disconnect_error);
  }
  // The two names arrive as two arguments, untouched by any shell.
  EXPECT_EQ(read("args"), "a b:out;x\n$c:in\n");
}

TEST_F(FakeTools, MissingToolsGiveEmptyListsAndTheStartError) {
  JackTools tools;
  tools.lsp = "vantle-no-such-lsp";
  tools.connect = "vantle-no-such-connect";
  tools.disconnect = (dir_.path() / "no-such-disconnect").string();
  EXPECT_EQ(query_available_ports(tools), AvailablePorts{});
  EXPECT_EQ(query_jack_graph(tools), JackGraph{});
  EXPECT_EQ(jack_connect("a:1", "b:1", tools), "jack_connect: No such file or directory (os error 2)");
  EXPECT_EQ(jack_disconnect("a:1", "b:1", tools), "jack_disconnect: No such file or directory (os error 2)");
}

TEST_F(FakeTools, AHungToolIsKilledAtTheLimit) {
  JackTools tools;
  tools.lsp = tools.connect = tools.disconnect = tool("hang", "sleep 1000");
  tools.time_limit = 300ms;

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(query_available_ports(tools), AvailablePorts{});
  EXPECT_EQ(query_jack_graph(tools), JackGraph{});
  EXPECT_EQ(jack_connect("a:1", "b:1", tools), "jack_connect: timed out after 300 ms");
  tools.time_limit = 1s;
  EXPECT_EQ(jack_disconnect("a:1", "b:1", tools), "jack_disconnect: timed out after 1 s");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 8s);

  // A connection listing that hangs costs the connections, not the ports.
  const auto properties = file("p.txt", "a:1\n\tproperties: output,\n");
  tools.lsp = tool("half-hang", "[ \"$1\" = -c ] && exec sleep 1000\ncat '" + properties + "'");
  tools.time_limit = 300ms;
  EXPECT_EQ(query_jack_graph(tools).clients, (std::vector<GraphClient>{{"a", {out("a:1")}}}));
}

// Against a real dummy JACK server, with a client named like one of the mixer's.
class RealServer : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const auto& [key, value] : server_.client_env()) {
      if (value) ::setenv(key.c_str(), value->c_str(), 1);
    }
    jack_status_t status{};
    client_ = jack_client_open("vantle-mixer-wire", static_cast<jack_options_t>(JackNoStartServer | JackServerName),
                               &status, server_.name().c_str());
    ASSERT_NE(client_, nullptr);
    ASSERT_NE(jack_port_register(client_, "out_1", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0), nullptr);
    ASSERT_NE(jack_port_register(client_, "in_1", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0), nullptr);
    ASSERT_EQ(jack_activate(client_), 0);
  }
  void TearDown() override {
    if (client_ != nullptr) jack_client_close(client_);
  }

  test::JackServer server_;
  jack_client_t* client_ = nullptr;
};

TEST_F(RealServer, ListsRewiresAndComplains) {
  const AvailablePorts ports = query_available_ports();
  EXPECT_EQ(ports.capture, (Groups{{"system", {"system:capture_1", "system:capture_2"}}}));
  EXPECT_EQ(ports.playback, (Groups{{"system", {"system:playback_1", "system:playback_2"}}}));

  auto graph_with = [](std::vector<std::string> capture_1, std::vector<std::string> wire_in) {
    return std::vector<GraphClient>{
        {"system",
         {out("system:capture_1", std::move(capture_1)), out("system:capture_2"), in("system:playback_1"),
          in("system:playback_2")}},
        {"vantle-mixer-wire", {out("vantle-mixer-wire:out_1"), in("vantle-mixer-wire:in_1", std::move(wire_in))}},
    };
  };
  EXPECT_EQ(query_jack_graph().clients, graph_with({}, {}));

  EXPECT_EQ(jack_connect("system:capture_1", "vantle-mixer-wire:in_1"), std::nullopt);
  EXPECT_EQ(query_jack_graph().clients, graph_with({"vantle-mixer-wire:in_1"}, {"system:capture_1"}));

  EXPECT_EQ(jack_disconnect("system:capture_1", "vantle-mixer-wire:in_1"), std::nullopt);
  EXPECT_EQ(query_jack_graph().clients, graph_with({}, {}));

  // JACK's own wording is its business; the reply carries it after the prefix.
  for (const auto& [error, prefix] : {std::pair{jack_connect("system:nope", "system:playback_1"), "jack_connect: "},
                                      std::pair{jack_disconnect("system:capture_1", "vantle-mixer-wire:in_1"),
                                                "jack_disconnect: "}}) {
    ASSERT_TRUE(error.has_value());
    EXPECT_TRUE(error->starts_with(prefix)) << *error;
    EXPECT_GT(error->size(), std::string_view(prefix).size()) << *error;
  }
}

}  // namespace
}  // namespace vantle::control
