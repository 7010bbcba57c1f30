#include "broadcast/sample_ring.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "util/error.hpp"

namespace vantle::broadcast {
namespace {

std::vector<float> pop_all(SampleRing::Consumer& c) {
  std::vector<float> out;
  float s = 0.0f;
  while (c.pop(s)) out.push_back(s);
  return out;
}

std::vector<float> iota(float first, std::size_t count) {
  std::vector<float> v(count);
  for (std::size_t i = 0; i < count; ++i) v[i] = first + static_cast<float>(i);
  return v;
}

TEST(SampleRingTest, EveryOneOfTheCapacitySamplesIsUsable) {
  for (std::size_t capacity : {std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{160}, std::size_t{2560}}) {
    SCOPED_TRACE("capacity " + std::to_string(capacity));
    auto [p, c] = SampleRing::create(capacity);
    EXPECT_EQ(p.capacity(), capacity);
    EXPECT_EQ(c.capacity(), capacity);
    EXPECT_EQ(p.free(), capacity);
    EXPECT_EQ(c.available(), 0u);

    for (std::size_t i = 0; i < capacity; ++i) ASSERT_TRUE(p.push(static_cast<float>(i + 1))) << "push " << i;
    EXPECT_FALSE(p.push(-1.0f)) << "a full ring must refuse";
    EXPECT_EQ(p.free(), 0u);
    EXPECT_EQ(c.available(), capacity);

    // One pop makes room for exactly one more.
    float s = 0.0f;
    ASSERT_TRUE(c.pop(s));
    EXPECT_EQ(s, 1.0f);
    EXPECT_EQ(p.free(), 1u);
    EXPECT_TRUE(p.push(static_cast<float>(capacity + 1)));
    EXPECT_FALSE(p.push(-1.0f));

    EXPECT_EQ(pop_all(c), iota(2.0f, capacity));
    EXPECT_FALSE(c.pop(s)) << "an empty ring must refuse";
    EXPECT_EQ(c.available(), 0u);
    EXPECT_EQ(p.free(), capacity);
  }
}

// Every operation against a plain queue, for rings whose end falls in the middle of
// a stereo frame or of a block, over thousands of laps.
TEST(SampleRingTest, BlockAndSampleOperationsMatchAPlainQueue) {
  for (std::size_t capacity : {std::size_t{1}, std::size_t{5}, std::size_t{10}, std::size_t{13}, std::size_t{64}}) {
    SCOPED_TRACE("capacity " + std::to_string(capacity));
    auto [p, c] = SampleRing::create(capacity);
    std::deque<float> model;
    std::mt19937 rng(static_cast<unsigned>(capacity));
    float next = 1.0f;
    std::vector<float> buf;
    auto size = [&](std::size_t max) { return std::uniform_int_distribution<std::size_t>(0, max)(rng); };

    for (int step = 0; step < 20000; ++step) {
      SCOPED_TRACE("step " + std::to_string(step));
      switch (std::uniform_int_distribution<int>(0, 6)(rng)) {
        case 0: {
          const bool fits = model.size() < capacity;
          ASSERT_EQ(p.push(next), fits);
          if (fits) model.push_back(next);
          ++next;
          break;
        }
        case 1: {
          const std::size_t frames = size(capacity);
          buf = iota(next, 2 * frames);
          next += static_cast<float>(2 * frames);
          p.push_stereo_block(buf.data(), frames);
          for (std::size_t f = 0; f < frames && capacity - model.size() >= 2; ++f) {
            model.push_back(buf[2 * f]);
            model.push_back(buf[2 * f + 1]);
          }
          break;
        }
        case 2: {
          float s = 0.0f;
          ASSERT_EQ(c.pop(s), !model.empty());
          if (!model.empty()) {
            ASSERT_EQ(s, model.front());
            model.pop_front();
          }
          break;
        }
        case 3: {
          const std::size_t n = size(capacity + 2);
          buf.assign(n, -1.0f);
          const bool whole = model.size() >= n;
          ASSERT_EQ(c.pop_block(buf.data(), n), whole);
          for (std::size_t i = 0; i < n; ++i) {
            ASSERT_EQ(buf[i], whole ? model[i] : -1.0f) << "sample " << i;
          }
          if (whole) model.erase(model.begin(), model.begin() + static_cast<std::ptrdiff_t>(n));
          break;
        }
        case 4: {
          const std::size_t n = size(capacity + 2);
          buf.assign(n, -1.0f);
          c.read_or_silence(buf.data(), n);
          for (std::size_t i = 0; i < n; ++i) {
            if (model.empty()) {
              ASSERT_EQ(buf[i], 0.0f) << "sample " << i;
            } else {
              ASSERT_EQ(buf[i], model.front()) << "sample " << i;
              model.pop_front();
            }
          }
          break;
        }
        case 5:
          if (size(9) == 0) {  // rarely, or the ring would rarely fill
            c.drain();
            model.clear();
          }
          break;
        case 6:
          ASSERT_EQ(p.free(), capacity - model.size());
          ASSERT_EQ(c.available(), model.size());
          break;
      }
    }
  }
}

TEST(SampleRingTest, ReadOrSilenceFillsWhatIsMissingWithZero) {
  auto [p, c] = SampleRing::create(16);
  for (float s : {0.5f, -0.25f, 0.125f}) ASSERT_TRUE(p.push(s));

  std::vector<float> out(5, 9.0f);
  c.read_or_silence(out.data(), out.size());
  EXPECT_EQ(out, (std::vector<float>{0.5f, -0.25f, 0.125f, 0.0f, 0.0f}));

  // Silence consumed nothing that arrives later.
  ASSERT_TRUE(p.push(0.75f));
  std::vector<float> next(2, 9.0f);
  c.read_or_silence(next.data(), next.size());
  EXPECT_EQ(next, (std::vector<float>{0.75f, 0.0f}));
  EXPECT_EQ(c.available(), 0u);
}

TEST(SampleRingTest, PopBlockTakesAWholeBlockOrNothing) {
  constexpr std::size_t kFrames = 160;
  auto [p, c] = SampleRing::create(16 * kFrames);
  const std::vector<float> audio = iota(1.0f, 2 * kFrames);

  p.push_stereo_block(audio.data(), kFrames - 1);
  std::vector<float> block(2 * kFrames, -1.0f);
  EXPECT_FALSE(c.pop_block(block.data(), block.size()));
  EXPECT_EQ(block, std::vector<float>(2 * kFrames, -1.0f));
  EXPECT_EQ(c.available(), 2 * kFrames - 2) << "a failed pop_block must leave the ring alone";

  p.push_stereo_block(audio.data() + 2 * (kFrames - 1), 1);
  ASSERT_TRUE(c.pop_block(block.data(), block.size()));
  EXPECT_EQ(block, audio);
  EXPECT_EQ(c.available(), 0u);
}

TEST(SampleRingTest, StereoBlockStopsAtTheFirstFrameThatDoesNotFit) {
  auto [p, c] = SampleRing::create(9);
  ASSERT_TRUE(p.push(100.0f));
  ASSERT_TRUE(p.push(101.0f));  // 7 free: room for 3 frames and one lone sample

  const std::vector<float> frames = iota(1.0f, 8);
  p.push_stereo_block(frames.data(), 4);
  EXPECT_EQ(p.free(), 1u) << "the odd sample must stay free, not take half a frame";
  p.push_stereo_block(frames.data(), 1);
  EXPECT_EQ(p.free(), 1u);

  float s = 0.0f;
  ASSERT_TRUE(c.pop(s));
  p.push_stereo_block(iota(50.0f, 4).data(), 2);  // 2 free now: the first frame only

  EXPECT_EQ(pop_all(c), (std::vector<float>{101, 1, 2, 3, 4, 5, 6, 50, 51}));
}

TEST(SampleRingTest, EndsWithoutARingRefuseEverythingSafely) {
  SampleRing::Producer p;
  SampleRing::Consumer c;
  const float frame[2] = {1.0f, 2.0f};
  float s = 5.0f;
  std::vector<float> out(3, 5.0f);

  EXPECT_FALSE(p.push(1.0f));
  p.push_stereo_block(frame, 1);
  EXPECT_EQ(p.free(), 0u);
  EXPECT_FALSE(c.pop(s));
  EXPECT_FALSE(c.pop_block(out.data(), 2));
  c.read_or_silence(out.data(), out.size());
  EXPECT_EQ(out, std::vector<float>(3, 0.0f));
  c.drain();
  EXPECT_EQ(c.available(), 0u);

  // A moved-from end is such an end too; the ring carries on with the new owner.
  auto [producer, consumer] = SampleRing::create(4);
  ASSERT_TRUE(producer.push(1.0f));
  SampleRing::Producer moved = std::move(producer);
  EXPECT_FALSE(producer.push(9.0f));  // NOLINT(bugprone-use-after-move): the point of the test
  ASSERT_TRUE(moved.push(2.0f));
  EXPECT_EQ(pop_all(consumer), (std::vector<float>{1.0f, 2.0f}));
}

TEST(SampleRingTest, ZeroCapacityIsRefused) { EXPECT_THROW(SampleRing::create(0), Error); }

// ---- two threads

// Frame n travels as (n + 1, -(n + 1)): never 0, so silence is told apart from audio,
// and a torn frame shows. Exact in a float up to 2^24 frames.
float left_of(std::uint32_t frame) { return static_cast<float>(frame + 1); }

enum class Mode { kSingleSamples, kBlocks };

struct Block {
  std::uint32_t first;
  std::uint32_t end;
  bool must_fit;  // pushed no larger than the free space the producer saw
};

class SampleRingStressTest : public testing::TestWithParam<Mode> {};

// A producer and a consumer move a counting sequence through a small ring with
// random sizes; any lost, doubled, reordered or torn frame shows in the sequence the
// consumer saw. Blocks pushed larger than the free space may lose their tail frames,
// and only those.
TEST_P(SampleRingStressTest, ACountingSequenceArrivesIntact) {
#if defined(__SANITIZE_THREAD__)
  constexpr std::uint32_t kFrames = 1'000'000;
#else
  constexpr std::uint32_t kFrames = 2'500'000;
#endif
  constexpr std::size_t kCapacity = 997;  // odd: frames straddle the end of the buffer
  const Mode mode = GetParam();
  auto [producer, consumer] = SampleRing::create(kCapacity);
  std::atomic<bool> done{false};
  std::vector<Block> blocks;
  blocks.reserve(kFrames);

  std::thread writer([&, p = std::move(producer)]() mutable {
    std::mt19937 rng(1);
    std::vector<float> buf;
    std::uint32_t frame = 0;
    while (frame < kFrames) {
      if (mode == Mode::kSingleSamples) {
        const float l = left_of(frame);
        while (!p.push(l)) std::this_thread::yield();
        while (!p.push(-l)) std::this_thread::yield();
        ++frame;
        continue;
      }
      const bool must_fit = rng() % 2 == 0;
      std::size_t n = std::min<std::size_t>(std::uniform_int_distribution<std::size_t>(1, 300)(rng), kFrames - frame);
      if (must_fit) {
        n = std::min(n, p.free() / 2);
        if (n == 0) {
          std::this_thread::yield();
          continue;
        }
      }
      buf.resize(2 * n);
      for (std::size_t i = 0; i < n; ++i) {
        buf[2 * i] = left_of(frame + static_cast<std::uint32_t>(i));
        buf[2 * i + 1] = -buf[2 * i];
      }
      p.push_stereo_block(buf.data(), n);
      blocks.push_back({frame, frame + static_cast<std::uint32_t>(n), must_fit});
      frame += static_cast<std::uint32_t>(n);
    }
    done.store(true, std::memory_order_release);
  });

  std::vector<std::uint32_t> received;
  received.reserve(kFrames);
  bool torn = false;
  std::string fault;
  {
    SampleRing::Consumer c = std::move(consumer);
    std::mt19937 rng(2);
    std::vector<float> buf(2 * kCapacity);
    bool want_left = true;
    float left = 0.0f;
    // Takes one sample of the stream; false (and `fault` set) at the first bad one.
    auto take = [&](float s) {
      if (want_left) {
        if (!(s > 0.0f)) fault = "expected a left sample, got " + std::to_string(s);
        left = s;
      } else {
        if (s != -left) {
          torn = true;
          fault = "frame torn: " + std::to_string(left) + " then " + std::to_string(s);
        }
        received.push_back(static_cast<std::uint32_t>(left) - 1);
      }
      want_left = !want_left;
      return fault.empty();
    };

    while (fault.empty()) {
      std::size_t got = 0;
      const int op = mode == Mode::kSingleSamples ? 0 : std::uniform_int_distribution<int>(0, 2)(rng);
      const std::size_t n = std::uniform_int_distribution<std::size_t>(1, 2 * kCapacity)(rng);
      if (op == 0) {
        float s = 0.0f;
        for (std::size_t i = 0; i < n && c.pop(s); ++i, ++got) {
          if (!take(s)) break;
        }
      } else if (op == 1) {
        if (c.pop_block(buf.data(), n)) {
          for (got = 0; got < n && take(buf[got]); ++got) {
          }
        }
      } else {
        c.read_or_silence(buf.data(), n);
        while (got < n && buf[got] != 0.0f && take(buf[got])) ++got;
        for (std::size_t i = got; i < n && fault.empty(); ++i) {
          if (buf[i] != 0.0f) fault = "audio after silence in one read";
        }
      }
      if (got == 0) {
        if (done.load(std::memory_order_acquire) && c.available() == 0) break;
        std::this_thread::yield();
      }
    }
  }
  writer.join();
  ASSERT_EQ(fault, "") << (torn ? "torn frame" : "bad sample");

  for (std::size_t i = 1; i < received.size(); ++i) {
    ASSERT_LT(received[i - 1], received[i]) << "frame doubled or reordered at " << i;
  }
  if (mode == Mode::kSingleSamples) {
    ASSERT_EQ(received.size(), kFrames);
    EXPECT_EQ(received.back(), kFrames - 1);
    return;
  }
  // Each block must have arrived as a prefix of itself, whole when it was sized to fit.
  std::size_t at = 0;
  std::size_t dropped_tails = 0;
  for (const Block& b : blocks) {
    std::uint32_t expected = b.first;
    while (at < received.size() && received[at] < b.end) {
      ASSERT_EQ(received[at], expected) << "frame lost inside the block starting at " << b.first;
      ++expected;
      ++at;
    }
    if (b.must_fit) {
      ASSERT_EQ(expected, b.end) << "a block that fit lost frames, starting at " << b.first;
    } else if (expected != b.end) {
      ++dropped_tails;
    }
  }
  EXPECT_EQ(at, received.size());
  // Not a requirement, but without any drop the test would not have tried that path.
  RecordProperty("dropped_tails", static_cast<int>(dropped_tails));
}

INSTANTIATE_TEST_SUITE_P(Modes, SampleRingStressTest, testing::Values(Mode::kSingleSamples, Mode::kBlocks),
                         [](const testing::TestParamInfo<Mode>& info) {
                           return info.param == Mode::kSingleSamples ? std::string("SingleSamples")
                                                                     : std::string("Blocks");
                         });

}  // namespace
}  // namespace vantle::broadcast
