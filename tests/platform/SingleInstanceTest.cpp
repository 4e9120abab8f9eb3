// Single instance with real processes: each probe claims the instance as the program does.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
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

  // `asUser` >= 0 runs the probe as that user (needs root).
  static TProbe Start(const std::string& dir, int lifeMs, int asUser = -1) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    TProbe p;
    p.Pid = fork();
    if (p.Pid == 0) {
      if (asUser >= 0 &&
          (setgid(static_cast<gid_t>(asUser)) != 0 || setuid(static_cast<uid_t>(asUser)) != 0))
        _exit(126);
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

}  // namespace
}  // namespace zul
