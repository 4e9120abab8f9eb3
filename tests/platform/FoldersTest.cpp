#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "platform/Folders.h"

namespace zul {
namespace {

namespace fs = std::filesystem;

// Sets an environment variable for one test and restores it afterwards.
class EnvVar {
 public:
  EnvVar(const char* name, const char* value) : Name(name) {
    if (const char* old = std::getenv(name)) Old = old;
    value ? setenv(name, value, 1) : unsetenv(name);
  }
  ~EnvVar() { Old ? setenv(Name, Old->c_str(), 1) : unsetenv(Name); }

 private:
  const char* Name;
  std::optional<std::string> Old;
};

class Folders : public ::testing::Test {
 protected:
  void SetUp() override {
    Root = fs::temp_directory_path() / ("zul-folders-" + std::to_string(getpid()));
    fs::remove_all(Root);
    fs::create_directories(Root);
  }
  void TearDown() override { fs::remove_all(Root); }
  fs::path Root;
};

TEST_F(Folders, DataDirFollowsXdgDataHomeAndEndsWithSlash) {
  EnvVar xdg("XDG_DATA_HOME", (Root / "data").c_str());
  EXPECT_EQ(FindDataDir(), (Root / "data").string() + "/Halvane/ZUL/");
}

TEST_F(Folders, DataDirFallsBackToHomeWhenXdgIsUnsetOrRelative) {
  EnvVar home("HOME", Root.c_str());
  {
    EnvVar xdg("XDG_DATA_HOME", nullptr);
    EXPECT_EQ(FindDataDir(), Root.string() + "/.local/share/Halvane/ZUL/");
  }
  EnvVar xdg("XDG_DATA_HOME", "relative/path");
  EXPECT_EQ(FindDataDir(), Root.string() + "/.local/share/Halvane/ZUL/");
}

TEST_F(Folders, ExeDirIsTheFolderOfThisTestProgram) {
  const std::string dir = FindExeDir();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.back(), '/');
  EXPECT_TRUE(fs::exists(dir + "test_platform"));
}

TEST_F(Folders, RuntimeDirIsXdgRuntimeDirOnlyWhenPrivate) {
  const fs::path priv = Root / "run";
  fs::create_directory(priv);
  chmod(priv.c_str(), 0700);
  {
    EnvVar rt("XDG_RUNTIME_DIR", priv.c_str());
    EXPECT_EQ(FindRuntimeDir(), priv.string() + "/");
  }
  // A world-readable folder could let another user reach the instance socket.
  chmod(priv.c_str(), 0755);
  EnvVar rt("XDG_RUNTIME_DIR", priv.c_str());
  EnvVar tmp("TMPDIR", Root.c_str());
  const std::string fallback = FindRuntimeDir();
  EXPECT_EQ(fallback, Root.string() + "/zul-" + std::to_string(geteuid()) + "/");
  struct stat st {};
  ASSERT_EQ(stat(fallback.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

// Runs `body` in a child process, as the user nobody when the tests run as root (root writes
// anywhere, so permissions would not bind); returns the text it gave back.
std::string InChild(const std::function<std::string()>& body) {
  int fds[2];
  if (pipe(fds) != 0) return "no pipe";
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    std::string out;
    if (geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
      out = "cannot become nobody";
    } else {
      try {
        out = body();
      } catch (const std::exception& e) {
        out = std::string("threw: ") + e.what();
      }
    }
    [[maybe_unused]] ssize_t n = write(fds[1], out.data(), out.size());
    _exit(0);
  }
  close(fds[1]);
  std::string out;
  char buf[512];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;)
    out.append(buf, static_cast<std::size_t>(n));
  close(fds[0]);
  waitpid(pid, nullptr, 0);
  return out;
}

TEST_F(Folders, ARuntimeDirWeCannotWriteFallsBackToOurOwnPrivateOne) {
  const uid_t user = geteuid() == 0 ? 65534 : geteuid();
  chown(Root.c_str(), user, user);
  const std::string own = Root.string() + "/zul-" + std::to_string(user) + "/";
  struct TRow {
    const char* Name;
    unsigned XdgMode;  // the mode of $XDG_RUNTIME_DIR
    unsigned OwnMode;  // the mode of our own folder beforehand; 0 = not there
    std::string Want;
  } rows[] = {
      {"private and writable", 0700, 0, Root.string() + "/xdg/"},
      {"private but read-only", 0500, 0, own},
      {"private but read-only, our own closed too", 0500, 0500, own},
      {"not private", 0755, 0700, own},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    const fs::path xdg = Root / "xdg";
    fs::create_directory(xdg);
    chown(xdg.c_str(), user, user);
    chmod(xdg.c_str(), row.XdgMode);
    if (row.OwnMode != 0) {
      fs::create_directory(own);
      chown(own.c_str(), user, user);
      chmod(own.c_str(), row.OwnMode);
    }
    EnvVar rt("XDG_RUNTIME_DIR", xdg.c_str());
    EnvVar tmp("TMPDIR", Root.c_str());
    const std::string got = InChild([] {
      const std::string dir = FindRuntimeDir();
      // The lock must be creatable there.
      TFileLock lock;
      return dir +
             (lock.TryLock(dir + "probe.lock") == TFileLock::TResult::Locked ? "" : " unlocked");
    });
    EXPECT_EQ(got, row.Want);
    fs::remove_all(own);
    chmod(xdg.c_str(), 0700);
    fs::remove_all(xdg);
  }
}

// What another user (root, when the tests run as root and the program as nobody) or a slip of
// our own left at the fallback's name: the program takes the next name, never the planted one.
TEST_F(Folders, AFallbackNameTakenByAnotherUserOrNotPrivateIsPassedOver) {
  const bool asRoot = geteuid() == 0;
  const uid_t user = asRoot ? 65534 : geteuid();
  chown(Root.c_str(), user, user);
  const std::string base = Root.string() + "/zul-" + std::to_string(user);
  const fs::path target = Root / "elsewhere";
  // Plants `name` as made by someone else (root) when `stranger`, else by the user.
  const auto plant = [&](const std::string& name, bool stranger, unsigned mode) {
    fs::create_directory(name);
    if (!stranger) chown(name.c_str(), user, user);
    chmod(name.c_str(), mode);
  };
  struct TRow {
    const char* Name;
    bool NeedsRoot;
    std::function<void()> Plant;
    std::string Want;  // empty: a fresh zul-UID-XXXXXX
  } rows[] = {
      {"nothing there", false, [] {}, base + "/"},
      {"a folder of another user", true, [&] { plant(base, true, 0700); }, base + ".1/"},
      {"a folder of ours open to others", false, [&] { plant(base, false, 0777); }, base + ".1/"},
      {"a link to a folder of ours", false,
       [&] {
         plant(target.string(), false, 0700);
         fs::create_directory_symlink(target, base);
       },
       base + ".1/"},
      {"a file", false,
       [&] {
         std::FILE* f = std::fopen(base.c_str(), "w");
         std::fclose(f);
       },
       base + ".1/"},
      {"every fixed name of another user", true,
       [&] {
         plant(base, true, 0700);
         for (int i = 1; i < kRuntimeDirNames; ++i)
           plant(base + "." + std::to_string(i), true, 0755);
       },
       ""},
  };
  EnvVar rt("XDG_RUNTIME_DIR", nullptr);
  EnvVar tmp("TMPDIR", Root.c_str());
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    if (row.NeedsRoot && !asRoot) continue;  // only root can plant another user's folder
    row.Plant();
    const std::string got = InChild([] {
      const std::string dir = FindRuntimeDir();
      struct stat st {};
      if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
          (st.st_mode & 0777) != 0700)
        return dir + " is not private";
      return dir;
    });
    if (row.Want.empty()) {
      EXPECT_EQ(got.rfind(base + "-", 0), 0u) << got;
      EXPECT_EQ(got.size(), base.size() + 8) << got;
    } else {
      EXPECT_EQ(got, row.Want);
    }
    // The same start again finds the same folder.
    if (!row.Want.empty()) {
      EXPECT_EQ(InChild([] { return FindRuntimeDir(); }), got);
    }
    for (const fs::directory_entry& e : fs::directory_iterator(Root)) fs::remove_all(e.path());
  }
}

TEST_F(Folders, MakeDirsCreatesParentsAndRejectsAFileInTheWay) {
  const fs::path deep = Root / "a" / "b" / "c";
  MakeDirs(deep.string() + "/", 0700);
  EXPECT_TRUE(fs::is_directory(deep));
  MakeDirs(deep.string(), 0700);  // already there: fine

  std::FILE* f = std::fopen((Root / "file").c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  EXPECT_THROW(MakeDirs((Root / "file" / "sub").string(), 0700), std::runtime_error);
  EXPECT_THROW(MakeDirs((Root / "file").string(), 0700), std::runtime_error);
}

}  // namespace
}  // namespace zul
