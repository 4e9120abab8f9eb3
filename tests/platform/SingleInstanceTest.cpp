// Single instance with real processes: each probe claims the instance as the program does.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/SingleInstance.h"

namespace zul {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A running probe with its standard output.
struct TProbe {
  pid_t Pid = -1;
  int Out = -1;
  std::string Text;

  // `asUser` >= 0 runs the probe as that user (needs root); `noFile` > 0 limits its descriptors.
  static TProbe Start(const std::string& dir, int lifeMs, int asUser = -1, int noFile = 0) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    TProbe p;
    p.Pid = fork();
    if (p.Pid == 0) {
      if (asUser >= 0 &&
          (setgid(static_cast<gid_t>(asUser)) != 0 || setuid(static_cast<uid_t>(asUser)) != 0))
        _exit(126);
      if (noFile > 0) {
        const rlimit lim{static_cast<rlim_t>(noFile), static_cast<rlim_t>(noFile)};
        if (setrlimit(RLIMIT_NOFILE, &lim) != 0) _exit(125);
      }
      dup2(fds[1], STDOUT_FILENO);
      close(fds[0]);
      close(fds[1]);
      const std::string life = std::to_string(lifeMs);
      execl(INSTANCE_PROBE, INSTANCE_PROBE, dir.c_str(), life.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    p.Out = fds[0];
    return p;
  }

  // Reads output until `needle` appears or `timeout` passes.
  bool WaitFor(const std::string& needle, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (Text.find(needle) == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd pfd{Out, POLLIN, 0};
      if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0) return false;
      char buf[256];
      ssize_t n = read(Out, buf, sizeof(buf));
      if (n <= 0) return Text.find(needle) != std::string::npos;
      Text.append(buf, static_cast<std::size_t>(n));
    }
    return true;
  }

  // Waits for the exit (bounded), reading the rest of the output; -1 if it had to be killed.
  int Finish(std::chrono::milliseconds timeout = 10s) {
    WaitFor("\x01never", timeout);
    int status = 0;
    for (int i = 0; i < 100; ++i) {
      if (waitpid(Pid, &status, WNOHANG) == Pid) {
        close(Out);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(20ms);
    }
    kill(Pid, SIGKILL);
    waitpid(Pid, &status, 0);
    close(Out);
    return -1;
  }
};

// Descriptors a process holds.
int OpenFds(pid_t pid) {
  int n = 0;
  std::error_code ec;
  for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
       !ec && it != fs::directory_iterator(); it.increment(ec))
    ++n;
  return n;
}

// A client that connects and says nothing; -1 when the server's queue refused it.
int IdleClient(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) return fd;
  if (fd >= 0) close(fd);
  return -1;
}

// Whether the server has closed the client's connection.
bool Dropped(int fd) {
  char c;
  const ssize_t n = recv(fd, &c, 1, MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

class SingleInstance : public ::testing::Test {
 protected:
  void SetUp() override {
    Dir = fs::temp_directory_path() / ("zul-instance-" + std::to_string(getpid()));
    fs::remove_all(Dir);
    fs::create_directories(Dir);
    chmod(Dir.c_str(), 0700);
  }
  void TearDown() override { fs::remove_all(Dir); }
  std::string DirSlash() const { return Dir.string() + "/"; }
  fs::path Dir;
};

TEST_F(SingleInstance, SecondStartHandsTheMessageToTheFirstAndEndsWithZero) {
  TProbe first = TProbe::Start(DirSlash(), 4000);
  ASSERT_TRUE(first.WaitFor("primary\n", 5s));

  TProbe second = TProbe::Start(DirSlash(), 4000);
  EXPECT_EQ(second.Finish(), 0);
  EXPECT_EQ(second.Text, "handed\n");

  EXPECT_TRUE(first.WaitFor("message 1124\n", 5s));
  kill(first.Pid, SIGTERM);
  first.Finish();
}

TEST_F(SingleInstance, StaleSocketOfAKilledInstanceIsReplaced) {
  {
    TProbe killed = TProbe::Start(DirSlash(), 10000);
    ASSERT_TRUE(killed.WaitFor("primary\n", 5s));
    kill(killed.Pid, SIGKILL);
    killed.Finish();
  }
  ASSERT_TRUE(fs::exists(Dir / "TFBFigure"));  // the socket file stays behind

  TProbe next = TProbe::Start(DirSlash(), 3000);
  ASSERT_TRUE(next.WaitFor("primary\n", 5s));
  TProbe second = TProbe::Start(DirSlash(), 3000);
  EXPECT_EQ(second.Finish(), 0);
  EXPECT_EQ(second.Text, "handed\n");
  kill(next.Pid, SIGTERM);
  next.Finish();
}

TEST_F(SingleInstance, StartsAtTheSameMomentEndWithExactlyOnePrimary) {
  std::vector<TProbe> probes;
  for (int i = 0; i < 4; ++i) probes.push_back(TProbe::Start(DirSlash(), 2500));
  int primaries = 0, handed = 0;
  for (TProbe& p : probes) {
    const int rc = p.Finish();
    if (p.Text.rfind("primary\n", 0) == 0) {
      ++primaries;
      EXPECT_EQ(rc, 0);
    } else if (p.Text == "handed\n") {
      ++handed;
      EXPECT_EQ(rc, 0);
    }
  }
  EXPECT_EQ(primaries, 1);
  EXPECT_EQ(handed, 3);
}

TEST_F(SingleInstance, FirstInstanceThatDoesNotAnswerMakesTheSecondFail) {
  // Hold the lock without listening: a hung first instance.
  const std::string lock = DirSlash() + "TFBFigure.lock";
  int fd = open(lock.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);

  TProbe second = TProbe::Start(DirSlash(), 1000);
  EXPECT_EQ(second.Finish(), 1);
  EXPECT_EQ(second.Text, "unresponsive\n");
  close(fd);
}

TEST_F(SingleInstance, AnotherUsersStartNeverReachesThisUsersInstance) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to start a probe as another user";
  TProbe first = TProbe::Start(DirSlash(), 4000);
  ASSERT_TRUE(first.WaitFor("primary\n", 5s));

  TProbe stranger = TProbe::Start(DirSlash(), 1000, 65534);
  const int rc = stranger.Finish();
  EXPECT_FALSE(first.WaitFor("message", 500ms));
  kill(first.Pid, SIGTERM);
  first.Finish();
  if (rc == 127) GTEST_SKIP() << "the other user cannot run the probe from this build folder";
  EXPECT_EQ(rc, 1);
  EXPECT_EQ(stranger.Text, "unresponsive\n");
}

TEST_F(SingleInstance, SocketIsReachableByItsOwnerOnly) {
  TProbe first = TProbe::Start(DirSlash(), 3000);
  ASSERT_TRUE(first.WaitFor("primary\n", 5s));
  struct stat st {};
  ASSERT_EQ(stat((Dir / "TFBFigure").c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 077, 0u);
  kill(first.Pid, SIGTERM);
  first.Finish();
}

TEST_F(SingleInstance, IdleClientsAndNoDescriptorsLeftNeverStopTheServer) {
  struct TRow {
    const char* Name;
    int NoFileAbove;  // descriptors left to the probe above what it holds at start; 0 = no limit
    int Idle;
  } rows[] = {
      {"300 idle clients", 0, 300},
      {"300 idle clients at the open-file limit", 3, 300},
  };
  const int probeFds = [&] {
    TProbe probe = TProbe::Start(DirSlash(), 5000);
    EXPECT_TRUE(probe.WaitFor("primary\n", 5s));
    const int n = OpenFds(probe.Pid);
    kill(probe.Pid, SIGTERM);
    probe.Finish();
    return n;
  }();
  ASSERT_GT(probeFds, 0);
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    const int limit = row.NoFileAbove > 0 ? probeFds + row.NoFileAbove : 0;
    TProbe first = TProbe::Start(DirSlash(), 20000, -1, limit);
    ASSERT_TRUE(first.WaitFor("primary\n", 5s));
    const int baseline = OpenFds(first.Pid);

    std::vector<int> idle;
    for (int i = 0; i < row.Idle; ++i)
      if (const int fd = IdleClient((Dir / "TFBFigure").string()); fd >= 0) idle.push_back(fd);
    EXPECT_GT(idle.size(), 16u);
    std::this_thread::sleep_for(300ms);
    EXPECT_LE(OpenFds(first.Pid), baseline + TInstanceServer::kMaxClients);

    // Within a second and a half every idle client has been let go...
    std::this_thread::sleep_for(1500ms);
    std::size_t held = 0;
    for (int fd : idle) held += Dropped(fd) ? 0 : 1;
    EXPECT_EQ(held, 0u);
    // ...and the server still answers.
    TProbe second = TProbe::Start(DirSlash(), 1000);
    EXPECT_EQ(second.Finish(), 0);
    EXPECT_EQ(second.Text, "handed\n");
    EXPECT_TRUE(first.WaitFor("message 1124\n", 3s));
    for (int fd : idle) close(fd);
    kill(first.Pid, SIGTERM);
    first.Finish();
  }
}

// A start while the last instance is still ending: the lock goes free some time after the
// socket stopped answering.
TEST_F(SingleInstance, AStartDuringTheLastOnesExitBecomesTheInstance) {
  struct TRow {
    const char* Name;
    int HoldMs;  // how long the ending instance keeps the lock
    int TimeoutMs;
    TInstanceRole Want;
  } rows[] = {
      {"an exit of a second and a half", 1500, 5000, TInstanceRole::Primary},
      {"an exit longer than the wait", 3000, 1000, TInstanceRole::Unresponsive},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t ending = fork();
    if (ending == 0) {
      const int fd = open((DirSlash() + "TFBFigure.lock").c_str(), O_RDWR | O_CREAT, 0600);
      if (fd < 0 || flock(fd, LOCK_EX) != 0) _exit(1);
      [[maybe_unused]] ssize_t n = write(ready[1], "x", 1);
      usleep(static_cast<useconds_t>(row.HoldMs) * 1000);
      _exit(0);
    }
    close(ready[1]);
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    const auto start = std::chrono::steady_clock::now();
    TInstanceClaim claim = ClaimInstance(DirSlash(), "TFBFigure", 1124, row.TimeoutMs);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(claim.Role, row.Want) << claim.Error;
    if (row.Want == TInstanceRole::Primary) {
      EXPECT_GE(took, std::chrono::milliseconds(row.HoldMs - 100));
    } else {
      EXPECT_LT(took, std::chrono::milliseconds(row.TimeoutMs + 1000));
    }
    waitpid(ending, nullptr, 0);
    // The primary holds the lock for its whole run.
    TFileLock other;
    EXPECT_EQ(other.TryLock(DirSlash() + "TFBFigure.lock"), row.Want == TInstanceRole::Primary
                                                                ? TFileLock::TResult::HeldElsewhere
                                                                : TFileLock::TResult::Locked);
    other.Unlock();
    claim.Lock.Unlock();
  }
}

TEST_F(SingleInstance, WhateverAKilledInstanceLeftAtTheSocketPathIsReplaced) {
  struct TRow {
    const char* Name;
    void (*Plant)(const std::string& path);
  } rows[] = {
      {"a plain file",
       [](const std::string& p) { close(open(p.c_str(), O_CREAT | O_WRONLY, 0600)); }},
      {"a FIFO", [](const std::string& p) { mkfifo(p.c_str(), 0600); }},
      {"an empty folder", [](const std::string& p) { mkdir(p.c_str(), 0700); }},
      {"a dangling link", [](const std::string& p) { symlink("nowhere", p.c_str()); }},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    row.Plant((Dir / "TFBFigure").string());
    TProbe first = TProbe::Start(DirSlash(), 3000);
    ASSERT_TRUE(first.WaitFor("primary\n", 5s)) << first.Text;
    TProbe second = TProbe::Start(DirSlash(), 1000);
    EXPECT_EQ(second.Finish(), 0);
    EXPECT_EQ(second.Text, "handed\n");
    kill(first.Pid, SIGTERM);
    first.Finish();
  }
}

}  // namespace
}  // namespace zul
