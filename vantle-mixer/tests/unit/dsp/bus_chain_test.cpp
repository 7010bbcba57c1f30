#include "support/plugins.hpp"
#include "dsp/bus_chain.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "signals.hpp"

namespace vantle::dsp {
namespace {

using config::PluginConfig;
using config::PluginKind;
using signals::Stereo;
using List = std::vector<PluginConfig>;
using test::echo;
using test::reverb;
inline PluginConfig low_pass(float freq, float q) { return test::filter(PluginKind::kLowPass, freq, q); }
constexpr std::uint32_t kRate = 48000;
constexpr std::size_t kCycle = 256;


// What a scene carries for one bus: its list and the chain prepared from it.
struct SceneBus {
  explicit SceneBus(List l) : list(std::move(l)) { slot.chain = prepare_chain(list, kRate); }
  List list;
  ChainSlot slot;
};

// One engine cycle for one bus: update, then process.
Stereo cycle(BusChain& chain, SceneBus& bus, Stereo signal) {
  chain.update(bus.list, bus.slot);
  chain.process(signal.left.data(), signal.right.data(), signal.frames());
  return signal;
}

Stereo impulse() {
  Stereo s = Stereo::silence(kCycle);
  s.left[0] = s.right[0] = 1.0f;
  return s;
}

bool silent(const Stereo& s) {
  for (std::size_t i = 0; i < s.frames(); ++i) {
    if (s.left[i] != 0.0f || s.right[i] != 0.0f) return false;
  }
  return true;
}

TEST(BusChain, AnEqualListKeepsTheRunningInstances) {
  // 100 ms echo: the impulse comes back 4800 frames later, many cycles on.
  const List list{echo(100, 0.5f, 0.5f)};
  BusChain chain(prepare_chain(list, kRate));
  const auto reference = make_plugin(list[0], kRate);
  for (int k = 0; k < 40; ++k) {
    SCOPED_TRACE(k);
    SceneBus bus(list);  // a new scene with an equal list every cycle
    const Stereo in = k == 0 ? impulse() : Stereo::silence(kCycle);
    const Stereo out = cycle(chain, bus, in);
    Stereo expected = in;
    reference->process(expected.left.data(), expected.right.data(), kCycle);
    ASSERT_EQ(out.left, expected.left);
    EXPECT_FALSE(bus.slot.taken);
    EXPECT_NE(bus.slot.chain, nullptr);
  }
  EXPECT_EQ(chain.list(), list);
}

TEST(BusChain, AChangedListSwapsInThePreparedChainAndCutsTheTail) {
  const List before{echo(3, 0.5f, 0.5f)};  // 144 frames: the tail spans cycles
  BusChain chain(prepare_chain(before, kRate));
  SceneBus first(before);
  const Stereo heard = cycle(chain, first, impulse());
  ASSERT_EQ(heard.left[144], 0.5f);

  SceneBus changed({echo(3, 0.5f, 0.6f)});  // only the mix moves
  const PreparedChain* prepared = changed.slot.chain.get();
  const Stereo after = cycle(chain, changed, Stereo::silence(kCycle));
  EXPECT_TRUE(silent(after));
  EXPECT_TRUE(changed.slot.taken);
  EXPECT_EQ(chain.list(), changed.list);
  // The replaced chain waits in the slot, to be freed with the scene.
  ASSERT_NE(changed.slot.chain, nullptr);
  EXPECT_EQ(changed.slot.chain->list, before);
  EXPECT_NE(changed.slot.chain.get(), prepared);

  // The same scene in the next cycle: equal list, nothing happens.
  const Stereo next = cycle(chain, changed, impulse());
  EXPECT_FLOAT_EQ(next.left[0], 0.4f);
  EXPECT_EQ(changed.slot.chain->list, before);
}

TEST(BusChain, AListThatNeverComparesEqualRestartsEveryCycle) {
  // A NaN feedback acts as 0 but makes the list unequal to itself.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const List list{echo(3, nan, 0.5f), reverb(0.5f, nan), low_pass(2000, 0.707f)};
  BusChain chain(prepare_chain({}, kRate));
  SceneBus bus(list);
  for (std::uint32_t k = 0; k < 6; ++k) {
    SCOPED_TRACE(k);
    const Stereo in = Stereo::noisy(kCycle, k + 1);
    const Stereo out = cycle(chain, bus, in);
    EXPECT_TRUE(bus.slot.taken);
    // What a chain built afresh for this cycle gives.
    BusChain fresh(prepare_chain(list, kRate));
    Stereo expected = in;
    fresh.process(expected.left.data(), expected.right.data(), kCycle);
    ASSERT_EQ(out.left, expected.left);
    ASSERT_EQ(out.right, expected.right);
  }
}

TEST(BusChain, WithoutAPreparedChainTheRunningOneGoesOn) {
  const List list{echo(3, 0.5f, 0.5f)};
  BusChain chain(prepare_chain(list, kRate));
  SceneBus first(list);
  cycle(chain, first, impulse());

  SceneBus unprepared({echo(3, 0.5f, 0.6f)});
  unprepared.slot.chain.reset();
  const Stereo a = cycle(chain, unprepared, Stereo::silence(kCycle));
  EXPECT_EQ(a.left[144 * 2 - kCycle], 0.25f);  // the tail of the impulse goes on
  EXPECT_EQ(chain.list(), list);

  // A slot some other chain already took (a scene carried over from elsewhere): its
  // list is not what runs here, so nothing is reset or swapped either.
  SceneBus foreign({echo(3, 0.5f, 0.7f)});
  foreign.slot.taken = true;
  Stereo s = Stereo::silence(kCycle);
  s.left[100] = 1.0f;
  const Stereo b = cycle(chain, foreign, s);
  EXPECT_EQ(b.left[100 + 144], 0.5f);
  EXPECT_EQ(chain.list(), list);
}

TEST(BusChain, RunsThePluginsInListOrder) {
  const List list{echo(3, 0.5f, 0.5f), low_pass(1000, 0.707f)};
  BusChain chain(prepare_chain(list, kRate));
  const auto first = make_plugin(list[0], kRate);
  const auto second = make_plugin(list[1], kRate);
  const auto second_reversed = make_plugin(list[1], kRate);
  const auto first_reversed = make_plugin(list[0], kRate);
  SceneBus bus(list);
  bool order_matters = false;
  for (std::uint32_t k = 0; k < 8; ++k) {
    const Stereo in = Stereo::noisy(kCycle, 40 + k);
    const Stereo out = cycle(chain, bus, in);
    Stereo expected = in;
    first->process(expected.left.data(), expected.right.data(), kCycle);
    second->process(expected.left.data(), expected.right.data(), kCycle);
    ASSERT_EQ(out.left, expected.left);
    ASSERT_EQ(out.right, expected.right);
    // Both are linear, so the other order differs only by rounding; it still differs.
    Stereo reversed = in;
    second_reversed->process(reversed.left.data(), reversed.right.data(), kCycle);
    first_reversed->process(reversed.left.data(), reversed.right.data(), kCycle);
    order_matters = order_matters || reversed.left != expected.left;
  }
  EXPECT_TRUE(order_matters);
}

}  // namespace
}  // namespace vantle::dsp
