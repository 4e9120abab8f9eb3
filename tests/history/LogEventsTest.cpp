// The log writer's results reach the main thread as a signal, in order, with the failure's text.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "history/LogEvents.h"
#include "history/LogTestSupport.h"

namespace zul {
namespace {

TEST(LogEvents, WriteResultsArriveOnTheMainThreadAfterEachAttempt) {
  test::TTempDir dir;
  std::vector<QString> results;
  std::vector<bool> onMain;
  // Made before the log's writer starts and gone after it stopped, as in the program.
  std::unique_ptr<TLogEvents> relay;
  TTrafficLog log;
  relay = std::make_unique<TLogEvents>(log);
  QObject::connect(relay.get(), &TLogEvents::WriteResult, relay.get(), [&](const QString& error) {
    results.push_back(error);
    onMain.push_back(QThread::currentThread() == QCoreApplication::instance()->thread());
  });
  log.SetBusyTimeout(std::chrono::milliseconds(10));
  log.SetRetryInterval(std::chrono::milliseconds(20));
  log.Open(dir.Path() + "db/");
  TPeriodTotals totals{};
  totals[ciLanUp] = 1024;
  {
    test::TForeignLock lock(dir.Path() + "db/bw.DB");
    log.Submit({{kHourlyBase, 1, totals, test::Date(2026, 12, 31)}});
    EXPECT_FALSE(log.Drain(std::chrono::milliseconds(300)));
  }
  ASSERT_TRUE(log.Drain(std::chrono::seconds(10)));
  // Nothing arrives before the main thread's loop runs.
  EXPECT_TRUE(results.empty());
  const QDeadlineTimer hang(10000);
  while ((results.empty() || !results.back().isEmpty()) && !hang.hasExpired())
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  ASSERT_GE(results.size(), 2u);
  EXPECT_NE(results.front().indexOf(QStringLiteral("locked")), -1) << results.front().toStdString();
  EXPECT_TRUE(results.back().isEmpty());
  for (std::size_t k = 0; k + 1 < results.size(); ++k) EXPECT_FALSE(results[k].isEmpty());
  EXPECT_EQ(onMain, std::vector<bool>(onMain.size(), true));
}

}  // namespace
}  // namespace zul
