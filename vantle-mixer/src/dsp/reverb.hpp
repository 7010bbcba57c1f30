// The reverb effect: a mono reverberator (four feedback combs into two diffusion
// stages) fed with the mid of the bus and added equally to both sides.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

namespace vantle::dsp {

class Reverb {
 public:
  // Lines for 29.7, 37.1, 41.3 and 43.7 ms (combs) and 5.1 and 10.3 ms (diffusion),
  // sized and delayed like any delay line for those durations. wet_mix is clamped to
  // 0..1 and decay to 0..0.99, a NaN counting as 0. Allocates: never on the real-time
  // thread.
  Reverb(double sample_rate, float wet_mix, float decay);

  // Real-time thread: in place, frame by frame.
  void process(float* left, float* right, std::size_t frames) noexcept;
  // Real-time thread: silence, as when created.
  void clear() noexcept;

  float wet_mix() const { return wet_; }
  float decay() const { return decay_; }

 private:
  // The reverberator is mono, so each line keeps one side only. All lines start at
  // position 0 and advance together, so one running counter serves as every write
  // position (the sizes are powers of two, which divide the counter's wrap-around).
  struct Line {
    std::vector<float> samples;
    std::size_t mask = 0;
    std::size_t delay = 0;
  };
  static Line make_line(double sample_rate, double ms);

  std::array<Line, 4> combs_;
  std::array<Line, 2> diffusers_;
  std::size_t now_ = 0;
  float wet_;
  float decay_;
};

}  // namespace vantle::dsp
