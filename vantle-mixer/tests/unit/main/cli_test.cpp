#include "main/cli.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

namespace vantle::app {
namespace {

TEST(ExpandHome, OnlyALeadingTildeComponentExpands) {
  const char* saved = std::getenv("HOME");
  std::string previous = saved ? saved : "";
  ::setenv("HOME", "/home/op", 1);
  struct Case {
    const char* in;
    const char* out;
  };
  for (auto [in, out] : {Case{"~/mixer-state", "/home/op/mixer-state"}, Case{"~", "/home/op"},
                         Case{"~/mixer/vantle-mixer.toml", "/home/op/mixer/vantle-mixer.toml"},
                         Case{"~op/state", "~op/state"}, Case{"/srv/~/state", "/srv/~/state"},
                         Case{"state/~", "state/~"}, Case{"/abs", "/abs"}}) {
    EXPECT_EQ(expand_home(in).string(), out) << in;
  }
  ::unsetenv("HOME");
  EXPECT_EQ(expand_home("~/mixer-state").string(), "~/mixer-state");
  if (saved) ::setenv("HOME", previous.c_str(), 1);
}

}  // namespace
}  // namespace vantle::app
