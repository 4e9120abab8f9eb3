// A program started with pipes on its standard input, output and error; killed and reaped by its
// owner at the latest. No Qt.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/UniqueFd.h"

namespace zul {

struct TExitStatus {
  bool Exited = false;  // false: ended by a signal, or not ended in time and killed
  int Code = -1;        // Exited: the exit code
  int Signal = 0;       // !Exited: the signal that ended it
  // "exit code 3", "killed by signal 9".
  std::string Text() const;
};

class TChildProcess {
 public:
  // Starts `path` with `args` (without the program's name) and a clean signal state; `passFd`,
  // when given, becomes the child's descriptor 3. Throws std::runtime_error naming the program
  // when it cannot be started.
  TChildProcess(const std::string& path, const std::vector<std::string>& args, int passFd = -1);
  // Kills a child that is still running and reaps it.
  ~TChildProcess();
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  int Output() const { return Out.Get(); }
  int ErrorOutput() const { return Err.Get(); }

  // Any thread, any number of times: the child sees its input end.
  void CloseInput();
  // Owner's thread: writes `size` bytes to the child's input at once, or nothing: false when they
  // do not fit the pipe now (at most the pipe's atomic size is written whole), or the input is
  // closed.
  bool WriteInput(const uint8_t* data, std::size_t size);
  // Any thread until Wait has reaped the child.
  void Signal(int sig) const;
  // Owner's thread: waits at most `timeout` for the end, then kills and reaps. Later calls
  // return the same status.
  TExitStatus Wait(std::chrono::milliseconds timeout);
  // Owner's thread: what the child wrote on its standard error so far (at most `max` bytes,
  // without waiting).
  std::string TakeErrorText(std::size_t max = 4096);

 private:
  pid_t Pid = -1;
  bool Reaped = false;
  TExitStatus Status;
  std::atomic<int> In{-1};
  TUniqueFd Out;
  TUniqueFd Err;
};

// Where the program's capture helper is: ZUL_CAPTURE_HELPER when set (tests and packagers),
// otherwise "zul-capture" in the program's own folder.
std::string CaptureHelperPath();

}  // namespace zul
