#include "history/LogReader.h"

#include <exception>
#include <utility>

#include "history/Export.h"

namespace zul {

TLogReader::TLogReader(TOnResult onResult) : OnResult(std::move(onResult)) {
  Thread = std::jthread([this](const std::stop_token& stop) { Loop(stop); });
}

TLogReader::~TLogReader() {
  Thread.request_stop();
  Cv.notify_all();
}

uint64_t TLogReader::Request(std::string path, std::string sql) {
  uint64_t ticket = 0;
  {
    const std::lock_guard lock(M);
    ticket = ++LastTicket;
    Next = TRequest{ticket, std::move(path), std::move(sql)};
  }
  Cv.notify_all();
  return ticket;
}

void TLogReader::Loop(const std::stop_token& stop) {
  std::unique_lock lock(M);
  while (!stop.stop_requested()) {
    if (!Next) {
      Cv.wait(lock, stop, [this] { return Next.has_value(); });
      continue;
    }
    const TRequest req = std::move(*Next);
    Next.reset();
    lock.unlock();
    bool told = false;
    std::chrono::milliseconds wait = FirstWait;
    for (;;) {
      TLogReadResult result;
      result.Ticket = req.Ticket;
      try {
        result.Rows = ReadLogSelect(req.Path, req.Sql, static_cast<int>(wait.count()));
      } catch (const TLogBusy& e) {
        result.State = TLogReadResult::TState::Busy;
        result.Error = e.what();
      } catch (const std::exception& e) {
        result.State = TLogReadResult::TState::Failed;
        result.Error = e.what();
      }
      const bool busy = result.State == TLogReadResult::TState::Busy;
      if (!busy || !told) OnResult(std::move(result));
      if (!busy) break;
      told = true;
      wait = RetryWait;
      // A newer request or the end replaces this one; otherwise the next attempt.
      const std::lock_guard peek(M);
      if (Next || stop.stop_requested()) break;
    }
    lock.lock();
  }
}

}  // namespace zul
