#include "util/error.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

namespace vantle {
namespace {

TEST(Error, ContextsStackOutermostFirst) {
  try {
    with_context("resolving config", [] {
      with_context("parsing JSON config", [] { throw Error("missing field `channels`"); });
    });
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.joined(), "resolving config: parsing JSON config: missing field `channels`");
    EXPECT_EQ(e.outermost(), "resolving config");
  }
}

TEST(Error, ForeignExceptionsBecomeTheCause) {
  try {
    with_context("spawn meters writer", [] { throw std::runtime_error("Resource temporarily unavailable"); });
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.joined(), "spawn meters writer: Resource temporarily unavailable");
  }
}

TEST(Error, FatalReportNumbersCausesOnlyWhenThereAreSeveral) {
  EXPECT_EQ(fatal_report(Error("alone")), "Error: alone\n");
  EXPECT_EQ(fatal_report(Error("cause").context("outer")), "Error: outer\n\nCaused by:\n    cause\n");
  EXPECT_EQ(fatal_report(Error("root").context("middle").context("outer")),
            "Error: outer\n\nCaused by:\n    0: middle\n    1: root\n");
}

}  // namespace
}  // namespace vantle
