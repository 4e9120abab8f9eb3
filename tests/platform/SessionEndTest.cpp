#include <gtest/gtest.h>
#include <signal.h>

#include <QCoreApplication>
#include <QTimer>

#include "platform/SessionEnd.h"

namespace zul {
namespace {

int Argc = 1;
char Arg0[] = "test_platform";
char* Argv[] = {Arg0, nullptr};

// Each termination signal arrives as one call on the main thread, from the event loop.
class SessionEndSignals : public ::testing::TestWithParam<int> {};

TEST_P(SessionEndSignals, SignalBecomesOneCallOnTheMainThread) {
  if (!QCoreApplication::instance()) new QCoreApplication(Argc, Argv);
  int calls = 0;
  TSessionEnd end([&] {
    ++calls;
    QCoreApplication::quit();
  });
  QTimer::singleShot(0, [] { raise(GetParam()); });
  QTimer::singleShot(3000, [] { QCoreApplication::exit(1); });  // bound the wait
  EXPECT_EQ(QCoreApplication::exec(), 0);
  EXPECT_EQ(calls, 1);
}

INSTANTIATE_TEST_SUITE_P(Signals, SessionEndSignals, ::testing::Values(SIGTERM, SIGINT, SIGHUP));

}  // namespace
}  // namespace zul
