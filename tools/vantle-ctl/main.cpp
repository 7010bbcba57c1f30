// vantle-ctl: the operator's command line for a running mixer's control plane. One
// command per control request; it waits only where the mixer answers.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <string>
#include <vector>

#include "commands.hpp"
#include "link.hpp"
#include "render.hpp"
#include "util/error.hpp"
#include "util/udp.hpp"

namespace {

using vantle::Error;
using vantle::ctl::Answer;
using vantle::ctl::Clock;
using vantle::ctl::Command;
using vantle::ctl::Link;
using vantle::ctl::Reply;
using vantle::ctl::UsageError;
using vantle::json::Json;

constexpr const char* kDescription =
    "vantle-ctl: operate a running vantle-mixer through its control port (JSON over UDP).\n"
    "\n"
    "Each command sends one control request, named after its operation with dashes\n"
    "(set-fader sends \"set_fader\"). Arguments are checked before anything is sent.\n";

constexpr const char* kFooter =
    "Answers: queries, reload-config and register-relay wait for the mixer's reply\n"
    "(2 s; the JACK queries 6 s; reload-config 15 s, the mixer answering a reload\n"
    "within 10 s). set-bus-dsp, set-session-delay, jack-connect and jack-disconnect\n"
    "are answered only when refused: vantle-ctl follows them with a get-config on the\n"
    "same socket, which the mixer answers after it has handled the first request, so a\n"
    "refusal arrives first and silence means the request was not handled at all. The\n"
    "other set-* commands and the relay heartbeat and bye get no answer: they are sent\n"
    "and vantle-ctl ends, unless --confirm asks for the same get-config check. An\n"
    "unknown channel id is ignored by the mixer without a word.\n"
    "\n"
    "Output: tables and lists by default; with --json the reply exactly as received\n"
    "(--pretty indents it). get-state also asks for get-config to name the channels.\n"
    "get-full-config prints JSON that reload-config takes back.\n"
    "\n"
    "Exit status: 0 done; 1 the mixer refused the request, a reload failed, or no\n"
    "reply came in time; 2 a command-line error (unknown command, wrong arguments,\n"
    "an unreadable file, invalid JSON).\n"
    "\n"
    "Examples:\n"
    "  vantle-ctl get-state\n"
    "  vantle-ctl set-fader mic main -6dB\n"
    "  vantle-ctl set-mute mic monitor on\n"
    "  vantle-ctl set-bus-dsp cue '[{\"type\":\"echo\",\"delay_ms\":250,\"feedback\":0.4}]'\n"
    "  vantle-ctl jack-connect system:capture_1 vantle-mixer:mic_in\n"
    "  vantle-ctl get-full-config > mixer.json && vantle-ctl reload-config mixer.json\n"
    "  vantle-ctl --to 10.0.0.5:19997 --json get-jack-graph\n"
    "  vantle-ctl raw '{\"op\":\"get_state\"}'\n";

constexpr int kFailure = 1;
constexpr int kUsageError = 2;
constexpr int kDefaultWaitMs = 2000;
// Answered by every mixer after the requests before it: the proof that those were handled.
constexpr const char* kFence = R"({"op":"get_config"})";

int usage_error(const std::string& message) {
  std::cerr << "vantle-ctl: " << message << "\nRun with --help for more information.\n";
  return kUsageError;
}

// "vantle-ctl set-fader CHANNEL BUS GAIN", for errors about a command's arguments.
std::string usage_of(const CLI::App& sub) {
  std::string usage = "usage: vantle-ctl " + sub.get_name();
  for (const auto* opt : sub.get_options()) {
    if (opt->get_positional()) usage += " " + opt->get_name();
  }
  return usage;
}

int command_usage_error(const CLI::App& app, const std::string& message) {
  const auto subs = app.get_subcommands();
  if (subs.empty()) return usage_error(message);
  return usage_error(subs.front()->get_name() + ": " + message + "\n" + usage_of(*subs.front()));
}

int failure(const std::string& message) {
  std::cerr << "vantle-ctl: " << message << "\n";
  return kFailure;
}

struct Settings {
  bool json = false;
  bool pretty = false;
  int wait_ms = kDefaultWaitMs;
};

int no_reply(const Link& link, const Settings& settings) {
  return failure("no reply from " + link.mixer().to_string() + " within " + std::to_string(settings.wait_ms) + " ms");
}

Clock::time_point deadline(const Settings& settings) { return Clock::now() + std::chrono::milliseconds(settings.wait_ms); }

// The channel ids in configuration order, which the scene's rows follow; none when
// the mixer does not say.
std::vector<std::string> channel_ids(Link& link, const Settings& settings) {
  std::vector<std::string> ids;
  try {
    link.send(kFence);
    if (auto config = link.await({"config"}, deadline(settings))) {
      auto channels = config->value.find("channels");
      if (channels != config->value.end() && channels->is_array()) {
        for (const auto& c : *channels) {
          ids.push_back(c.is_object() && c.contains("id") && c["id"].is_string() ? c["id"].get<std::string>() : "?");
        }
      }
    }
  } catch (const Error&) {
    ids.clear();
  }
  return ids;
}

// Prints a reply and gives the exit status it stands for.
int show(const Reply& reply, Link& link, const Settings& settings) {
  if (settings.json && !reply.text.empty()) {
    std::cout << (settings.pretty ? reply.value.dump(2) : reply.text) << "\n";
  }
  if (reply.text.empty()) return failure("the mixer's reply was empty: it could not write its answer as an object");
  const Json& v = reply.value;
  if (reply.kind == "error") {
    auto message = v.find("message");
    return failure("the mixer refused: " +
                   (message != v.end() && message->is_string() ? message->get<std::string>() : v.dump()));
  }
  if (reply.kind == "reload_result" && v.value("success", Json()) != Json(true)) {
    auto error = v.find("error");
    return failure("reload failed: " + (error != v.end() && error->is_string() ? error->get<std::string>() : v.dump()));
  }
  if (reply.kind == "full_config" && v.size() == 1) {
    return failure("the mixer could not convert its configuration to JSON");
  }
  if (settings.json) return 0;
  if (reply.kind == "state") {
    std::cout << vantle::ctl::render_state(v, channel_ids(link, settings));
  } else {
    std::cout << vantle::ctl::render_reply(v);
  }
  return 0;
}

// Sends the fence and waits for it (or for an earlier refusal).
int confirm(Link& link, const Settings& settings) {
  link.send(kFence);
  auto reply = link.await({"error", "config"}, deadline(settings));
  if (!reply) return no_reply(link, settings);
  if (reply->kind == "error") return show(*reply, link, settings);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{kDescription, "vantle-ctl"};
  app.require_subcommand(0, 1);
  // Extras are kept so that an unknown command is named in our own words.
  app.allow_extras();

  std::string to = "127.0.0.1:19997";
  Settings settings;
  bool confirm_wanted = false;
  app.add_option("--to", to, "The mixer's control address (default 127.0.0.1:19997)")
      ->envname("VANTLE_CTL_TO")
      ->type_name("HOST:PORT");
  auto* timeout_opt = app.add_option("--timeout", settings.wait_ms, "How long to wait for the mixer's answer")
                          ->type_name("MS")
                          ->check(CLI::Range(1, 3'600'000).description(""));
  app.add_flag("--json", settings.json, "Print the mixer's reply as received");
  app.add_flag("--pretty", settings.pretty, "With --json: indent the reply");
  app.add_flag("--confirm", confirm_wanted, "For commands without a reply: check that the mixer handled them");

  const auto& all = vantle::ctl::commands();
  std::vector<std::vector<std::string>> values(all.size());
  std::vector<CLI::App*> subcommands;
  for (std::size_t i = 0; i < all.size(); ++i) {
    auto* sub = app.add_subcommand(all[i].name, all[i].summary);
    sub->allow_extras(false);
    sub->fallthrough();
    values[i].resize(all[i].args.size());
    for (std::size_t a = 0; a < all[i].args.size(); ++a) {
      sub->add_option(all[i].args[a].name, values[i][a], all[i].args[a].help)->required();
    }
    subcommands.push_back(sub);
  }
  std::string raw_text;
  bool raw_wait = false;
  auto* raw = app.add_subcommand("raw", "Send a JSON request as it stands; waits when its op has a reply");
  raw->allow_extras(false);
  raw->fallthrough();
  raw->add_option("JSON", raw_text, "The request, e.g. '{\"op\":\"get_state\"}'")->required();
  raw->add_flag("--wait", raw_wait, "Wait for a reply whatever the op");

  // Set last, so the commands' own help stays short.
  app.footer(kFooter);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    return command_usage_error(app, e.what());
  }

  if (!app.remaining().empty()) {
    const std::string first = app.remaining().front();
    if (app.get_subcommands().empty() && !first.empty() && first.front() != '-') {
      std::string hint;
      std::string dashed = first;
      std::replace(dashed.begin(), dashed.end(), '_', '-');
      if (dashed != first && vantle::ctl::find_command(dashed)) hint = " (did you mean " + dashed + "?)";
      return usage_error("unknown command '" + first + "'" + hint);
    }
    if (!first.empty() && first.front() == '-') return command_usage_error(app, "unknown option '" + first + "'");
    return command_usage_error(app, "unexpected argument '" + first + "'");
  }
  if (app.get_subcommands().empty()) return usage_error("no command given");

  const Command* command = nullptr;
  std::string bytes;
  try {
    if (raw->parsed()) {
      auto value = vantle::ctl::parse_raw(raw_text);
      vantle::ctl::check_request_size(raw_text);
      bytes = raw_text;
      if (value && value->is_object()) {
        auto op = value->find("op");
        if (op != value->end() && op->is_string()) command = vantle::ctl::find_op(op->get<std::string>());
      }
    } else {
      for (std::size_t i = 0; i < all.size(); ++i) {
        if (subcommands[i]->parsed()) {
          command = &all[i];
          bytes = vantle::ctl::encode_request(vantle::ctl::build_request(all[i], values[i]));
        }
      }
    }
  } catch (const UsageError& e) {
    return command_usage_error(app, e.what());
  }
  if (timeout_opt->count() == 0 && command != nullptr && command->timeout_ms > 0) settings.wait_ms = command->timeout_ms;

  auto host_port = vantle::net::split_host_port(to);
  if (!host_port) return usage_error("--to: expected HOST:PORT with a port from 1 to 65535, got '" + to + "'");

  try {
    Link link(vantle::net::resolve(host_port->first, host_port->second));
    link.send(bytes);
    const Answer answer = command != nullptr ? command->answer : Answer::kNone;
    if (answer == Answer::kReply || (raw->parsed() && raw_wait)) {
      std::vector<std::string> kinds;
      // A refusal is shown whatever was asked: the mixer has said no.
      if (answer == Answer::kReply && !raw_wait) kinds = {command->reply_kind, "error"};
      auto reply = link.await(kinds, deadline(settings), true);
      if (!reply) return no_reply(link, settings);
      return show(*reply, link, settings);
    }
    if (answer == Answer::kErrorOnly || confirm_wanted) return confirm(link, settings);
    return 0;
  } catch (const Error& e) {
    return failure(e.joined());
  }
}
