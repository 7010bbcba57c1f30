// A JACK client inside the test process: it plays constant levels into ports of
// the system under test and measures what comes back on others.
#pragma once

#include <jack/jack.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/jack_server.hpp"

namespace vantle::test {

class JackProbe {
 public:
  // Registers `sources` (outputs we play into) and `captures` (inputs we measure) on
  // `server`, and activates. Throws std::runtime_error.
  JackProbe(const JackServer& server, const std::vector<std::string>& sources, const std::vector<std::string>& captures);
  ~JackProbe();

  // Constant value on a source port.
  void set_level(std::size_t source, float value) { levels_[source].store(value); }
  // The largest absolute sample and the last sample of the latest cycle on a capture.
  float peak(std::size_t capture) const { return peaks_[capture].load(); }
  float last(std::size_t capture) const { return lasts_[capture].load(); }

  // Connects two full port names, retrying for up to 5 s until both exist and are active.
  void connect(const std::string& from, const std::string& to);
  std::string source_name(std::size_t source) const;
  std::string capture_name(std::size_t capture) const;

  // The server's clock in frames.
  jack_nframes_t frame_time() const { return jack_frame_time(client_); }

  // Waits for `cycles` more process cycles.
  void wait_cycles(int cycles);

 private:
  static int on_process(jack_nframes_t frames, void* self);

  jack_client_t* client_ = nullptr;
  std::vector<jack_port_t*> sources_, captures_;
  std::unique_ptr<std::atomic<float>[]> levels_, peaks_, lasts_;
  std::atomic<long> cycles_{0};
};

}  // namespace vantle::test
