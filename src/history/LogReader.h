// Reads of the traffic log for the statistics window, on a thread of their own with a connection
// of their own: while another program holds the log, the desktop never waits for it. Qt-free.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "history/TrafficLog.h"

namespace zul {

struct TLogReadResult {
  enum class TState {
    Rows,    // the read succeeded; Rows holds its records
    Busy,    // another program holds the log: the reader tries again until it may read
    Failed,  // a text the layer refuses, a missing or damaged file; Error says which
  };
  uint64_t Ticket = 0;
  TState State = TState::Rows;
  std::vector<TLogRecord> Rows;
  std::string Error;
};

class TLogReader {
 public:
  // Runs on the reader's thread, once per outcome: Busy at most once per request, then Rows or
  // Failed (unless a newer request replaced it).
  using TOnResult = std::function<void(TLogReadResult)>;
  explicit TLogReader(TOnResult onResult);
  // Stops after the attempt under way, which is short.
  ~TLogReader();
  TLogReader(const TLogReader&) = delete;
  TLogReader& operator=(const TLogReader&) = delete;

  // One of the statistics window's select texts over the log file at `path`; replaces a request
  // not answered yet. Returns the ticket that its results carry. Never waits.
  uint64_t Request(std::string path, std::string sql);

  // How long an attempt waits for another program's lock: the first one briefly, so that the
  // busy state is known at once, the later ones a little longer.
  std::chrono::milliseconds FirstWait{20};
  std::chrono::milliseconds RetryWait{250};

 private:
  struct TRequest {
    uint64_t Ticket = 0;
    std::string Path;
    std::string Sql;
  };
  void Loop(const std::stop_token& stop);

  TOnResult OnResult;
  std::mutex M;
  std::condition_variable_any Cv;
  std::optional<TRequest> Next;
  uint64_t LastTicket = 0;
  std::jthread Thread;
};

}  // namespace zul
