#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
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

TEST_F(Folders, FallbackRuntimeDirThatIsNotPrivateIsRefused) {
  EnvVar rt("XDG_RUNTIME_DIR", nullptr);
  EnvVar tmp("TMPDIR", Root.c_str());
  const fs::path planted = Root / ("zul-" + std::to_string(geteuid()));
  fs::create_directory(planted);
  chmod(planted.c_str(), 0777);
  EXPECT_THROW(FindRuntimeDir(), std::runtime_error);
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
