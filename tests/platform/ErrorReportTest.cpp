#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/ErrorReport.h"

namespace zul {
namespace {

class ErrorReport : public ::testing::Test {
 protected:
  void SetUp() override {
    SetErrorSink([this](const std::string& text) { Shown.push_back(text); });
    for (const char* key : {"disk", "other"}) ClearError(key);
  }
  void TearDown() override { SetErrorSink(nullptr); }
  std::vector<std::string> Shown;
};

TEST_F(ErrorReport, RepeatedFailureIsShownOnceUntilItClears) {
  for (int i = 0; i < 5; ++i) Guarded("disk", [] { throw std::runtime_error("disk full"); });
  ASSERT_EQ(Shown.size(), 1u);
  EXPECT_EQ(Shown[0], "disk full");

  EXPECT_TRUE(Guarded("disk", [] {}));
  Guarded("disk", [] { throw std::runtime_error("disk full"); });
  EXPECT_EQ(Shown.size(), 2u);
}

TEST_F(ErrorReport, DifferentHandlersReportIndependently) {
  Guarded("disk", [] { throw std::runtime_error("a"); });
  Guarded("other", [] { throw std::runtime_error("b"); });
  EXPECT_EQ(Shown, (std::vector<std::string>{"a", "b"}));
}

TEST_F(ErrorReport, GuardedTellsWhetherTheBodyCompletedAndSwallowsAnyThrow) {
  int ran = 0;
  EXPECT_TRUE(Guarded("other", [&] { ++ran; }));
  EXPECT_FALSE(Guarded("other", [] { throw 42; }));
  EXPECT_EQ(ran, 1);
  ASSERT_EQ(Shown.size(), 1u);
  EXPECT_EQ(Shown[0], "Unknown error");
}

}  // namespace
}  // namespace zul
