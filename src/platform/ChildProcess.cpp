#include "platform/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "platform/Folders.h"

extern char** environ;

namespace zul {
namespace {

// posix_spawn's own objects, destroyed on every way out.
struct TSpawnSetup {
  posix_spawn_file_actions_t Actions;
  posix_spawnattr_t Attr;
  TSpawnSetup() {
    posix_spawn_file_actions_init(&Actions);
    posix_spawnattr_init(&Attr);
  }
  ~TSpawnSetup() {
    posix_spawn_file_actions_destroy(&Actions);
    posix_spawnattr_destroy(&Attr);
  }
};

void MakePipe(TUniqueFd& readEnd, TUniqueFd& writeEnd, const std::string& path) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0)
    throw std::runtime_error("Cannot start " + path + ": " + std::strerror(errno));
  readEnd.Reset(fds[0]);
  writeEnd.Reset(fds[1]);
}

}  // namespace

std::string TExitStatus::Text() const {
  if (Exited) return "exit code " + std::to_string(Code);
  return "killed by signal " + std::to_string(Signal);
}

TChildProcess::TChildProcess(const std::string& path, const std::vector<std::string>& args,
                             int passFd) {
  TUniqueFd inRead, inWrite, outRead, outWrite, errRead, errWrite;
  MakePipe(inRead, inWrite, path);
  MakePipe(outRead, outWrite, path);
  MakePipe(errRead, errWrite, path);

  TSpawnSetup s;
  // The pipe ends are close-on-exec; dup2 onto 0, 1 and 2 clears that for the child's copies.
  posix_spawn_file_actions_adddup2(&s.Actions, inRead.Get(), 0);
  posix_spawn_file_actions_adddup2(&s.Actions, outWrite.Get(), 1);
  posix_spawn_file_actions_adddup2(&s.Actions, errWrite.Get(), 2);
  if (passFd >= 0) posix_spawn_file_actions_adddup2(&s.Actions, passFd, 3);
  // Signals this process blocks or ignores would be inherited: the child must see SIGTERM and
  // must die of SIGPIPE like any program.
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGQUIT}) sigaddset(&defaults, sig);
  posix_spawnattr_setsigmask(&s.Attr, &none);
  posix_spawnattr_setsigdefault(&s.Attr, &defaults);
  posix_spawnattr_setflags(&s.Attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<std::string> storage;
  storage.reserve(args.size() + 1);
  storage.push_back(path);
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  argv.reserve(storage.size() + 1);
  for (std::string& a : storage) argv.push_back(a.data());
  argv.push_back(nullptr);

  const int rc = posix_spawn(&Pid, path.c_str(), &s.Actions, &s.Attr, argv.data(), environ);
  if (rc != 0) {
    Pid = -1;
    throw std::runtime_error("Cannot start " + path + ": " + std::strerror(rc));
  }
  // The program never waits on a child that stops reading: a write that does not fit fails.
  ::fcntl(inWrite.Get(), F_SETFL, ::fcntl(inWrite.Get(), F_GETFL) | O_NONBLOCK);
  In.store(inWrite.Release());
  Out = std::move(outRead);
  Err = std::move(errRead);
}

TChildProcess::~TChildProcess() {
  CloseInput();
  if (!Reaped && Pid > 0) {
    ::kill(Pid, SIGKILL);
    int status = 0;
    while (::waitpid(Pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
}

void TChildProcess::CloseInput() {
  const int fd = In.exchange(-1);
  if (fd >= 0) ::close(fd);
}

bool TChildProcess::WriteInput(const uint8_t* data, std::size_t size) {
  const int fd = In.load();
  if (fd < 0) return false;
  ssize_t w = 0;
  do {
    w = ::write(fd, data, size);
  } while (w < 0 && errno == EINTR);
  return w >= 0 && static_cast<std::size_t>(w) == size;
}

void TChildProcess::Signal(int sig) const {
  if (Pid > 0 && !Reaped) ::kill(Pid, sig);
}

TExitStatus TChildProcess::Wait(std::chrono::milliseconds timeout) {
  if (Reaped || Pid <= 0) return Status;
  using Clock = std::chrono::steady_clock;
  const auto until = Clock::now() + timeout;
  int status = 0;
  for (;;) {
    const pid_t r = ::waitpid(Pid, &status, WNOHANG);
    if (r == Pid) break;
    if (r < 0 && errno != EINTR) {
      // Someone else reaped it: nothing is known of its end.
      Reaped = true;
      Status = {};
      return Status;
    }
    if (Clock::now() >= until) {
      ::kill(Pid, SIGKILL);
      while (::waitpid(Pid, &status, 0) < 0 && errno == EINTR) {
      }
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  Reaped = true;
  Status.Exited = WIFEXITED(status);
  Status.Code = Status.Exited ? WEXITSTATUS(status) : -1;
  Status.Signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return Status;
}

std::string TChildProcess::TakeErrorText(std::size_t max) {
  std::string text;
  while (Err.Valid() && text.size() < max) {
    pollfd p{Err.Get(), POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0 || (p.revents & POLLIN) == 0) break;
    char buf[1024];
    const ssize_t n = ::read(Err.Get(), buf, std::min(sizeof(buf), max - text.size()));
    if (n <= 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  return text;
}

std::string CaptureHelperPath() {
  if (const char* p = std::getenv("ZUL_CAPTURE_HELPER"); p != nullptr && p[0] != '\0') return p;
  return FindExeDir() + "zul-capture";
}

}  // namespace zul
