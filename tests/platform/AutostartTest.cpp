#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>

#include "platform/Autostart.h"

namespace zul {
namespace {

namespace fs = std::filesystem;

class EnvVar {
 public:
  EnvVar(const char* name, const char* value) : Name(name) {
    if (const char* old = std::getenv(name)) Old = old;
    value ? setenv(name, value, 1) : unsetenv(name);
  }
  ~EnvVar() { Old ? setenv(Name, Old->c_str(), 1) : unsetenv(Name); }
  EnvVar(const EnvVar&) = delete;
  EnvVar& operator=(const EnvVar&) = delete;

 private:
  const char* Name;
  std::optional<std::string> Old;
};

std::string ReadText(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteText(const fs::path& p, const std::string& text) {
  std::ofstream(p, std::ios::binary) << text;
}

std::string EntryFor(const std::string& exec) {
  return "[Desktop Entry]\nType=Application\nName=ZUL\nExec=" + exec + "\n";
}

class Autostart : public ::testing::Test {
 protected:
  void SetUp() override {
    Root = fs::temp_directory_path() / ("zul-autostart-" + std::to_string(getpid()));
    fs::remove_all(Root);
    fs::create_directories(Root / "xdg" / "autostart");
    File = (Root / "xdg" / "autostart" / "TFZUL.desktop").string();
  }
  void TearDown() override {
    fs::permissions(Root, fs::perms::owner_all, fs::perm_options::add);
    fs::remove_all(Root);
  }
  fs::path Root;
  std::string File;
};

TEST(AutostartDir, FollowsTheFirstAbsoluteFolderOfXdgConfigDirs) {
  struct TRow {
    const char* Value;  // nullptr: unset
    const char* Dir;
  };
  const TRow rows[] = {
      {nullptr, "/etc/xdg/autostart/"},
      {"", "/etc/xdg/autostart/"},
      {"/srv/one:/srv/two", "/srv/one/autostart/"},
      {"/srv/slash/", "/srv/slash/autostart/"},
      {"relative:/srv/abs", "/srv/abs/autostart/"},
      {"::/srv/after-empty", "/srv/after-empty/autostart/"},
      {"relative", "/etc/xdg/autostart/"},
  };
  for (const TRow& r : rows) {
    EnvVar env("XDG_CONFIG_DIRS", r.Value);
    EXPECT_EQ(AutostartDir(), r.Dir) << (r.Value ? r.Value : "(unset)");
    EXPECT_EQ(AutostartFile(), std::string(r.Dir) + "TFZUL.desktop");
  }
}

TEST(AutostartExec, QuotesAndEscapesThePathAndReadsItBack) {
  // Expected values worked out by hand from the desktop entry rules: quote the argument, put a
  // backslash before " ` $ \, double '%', then escape backslashes and control characters again
  // as a string value.
  struct TRow {
    std::string Path;
    std::string Exec;
  };
  const TRow rows[] = {
      {"/usr/bin/zul", R"("/usr/bin/zul")"},
      {"/opt/My Apps/zul", R"("/opt/My Apps/zul")"},
      {"/opt/a\"b/zul", R"("/opt/a\\"b/zul")"},
      {"/opt/$HOME/zul", R"("/opt/\\$HOME/zul")"},
      {"/opt/tick`x/zul", R"("/opt/tick\\`x/zul")"},
      {"/opt/back\\slash/zul", R"("/opt/back\\\\slash/zul")"},
      {"/opt/100%/zul", R"("/opt/100%%/zul")"},
      {"/opt/it's/zul", R"("/opt/it's/zul")"},
      {"/opt/new\nline\ttab/zul", R"("/opt/new\nline\ttab/zul")"},
  };
  for (const TRow& r : rows) {
    EXPECT_EQ(ExecValueFor(r.Path), r.Exec) << r.Path;
    EXPECT_EQ(ProgramOfExec(r.Exec), r.Path) << r.Exec;
  }
}

TEST(AutostartExec, ReadsTheProgramOfHandWrittenLinesAndRefusesMalformedOnes) {
  struct TRow {
    std::string Exec;
    std::string Program;  // empty: malformed or no program
  };
  const TRow rows[] = {
      {"/usr/bin/zul", "/usr/bin/zul"},
      {"/usr/bin/zul --minimized %U", "/usr/bin/zul"},
      {R"("/opt/a b/zul" %f)", "/opt/a b/zul"},
      {R"("/opt/a\"b/zul")", "/opt/a\"b/zul"},  // a single backslash before the quote
      {R"("/opt/keep\q")", "/opt/keep\\q"},     // not an escape: kept
      {R"(\s/usr/bin/zul)", "/usr/bin/zul"},
      {"/opt/100%%", "/opt/100%"},
      {"", ""},
      {"   ", ""},
      {R"("/opt/unterminated)", ""},
      {R"("/opt/a"b)", ""},
      {"/opt/zul%f", ""},
      {"/opt/zul%", ""},
      {"/opt/it's", ""},
      {R"(/opt/back\\slash)", ""},
      {"\"\\", ""},
  };
  for (const TRow& r : rows) EXPECT_EQ(ProgramOfExec(r.Exec), r.Program) << r.Exec;
}

TEST(AutostartExec, TakesExecFromTheDesktopEntryGroupOnly) {
  struct TRow {
    std::string Text;
    std::optional<std::string> Exec;
  };
  const TRow rows[] = {
      {"[Desktop Entry]\nExec=/a\n", "/a"},
      {"[Desktop Entry]\r\nName=Z\r\nExec = /a b \r\n", "/a b"},
      {"# comment\n[Other]\nExec=/wrong\n[Desktop Entry]\nExec[de]=/de\nExec=/right\n", "/right"},
      {"[Desktop Entry]\nExec=/first\nExec=/second\n", "/first"},
      {"[Desktop Entry]\n[Desktop Action x]\nExec=/action\n", std::nullopt},
      {"Exec=/outside\n", std::nullopt},
      {"[Desktop Entry]\nExecutable=/no\n#Exec=/no\n", std::nullopt},
      {"", std::nullopt},
      {std::string("[Desktop Entry]\nExec=/a\0b\n", 26), std::string("/a\0b", 4)},
  };
  for (const TRow& r : rows) EXPECT_EQ(ExecOfDesktopText(r.Text), r.Exec) << r.Text;
}

TEST_F(Autostart, DamagedOrHostileEntriesReadAsDamagedWithoutBlocking) {
  struct TRow {
    const char* What;
    std::function<void(const std::string&)> Make;
    bool Exists;
  };
  const TRow rows[] = {
      {"missing", [](const std::string&) {}, false},
      {"no Exec line", [](const std::string& f) { WriteText(f, "[Desktop Entry]\nName=x\n"); },
       true},
      {"binary", [](const std::string& f) { WriteText(f, std::string(5000, '\xff')); }, true},
      {"too long",
       [](const std::string& f) {
         WriteText(f, EntryFor("/usr/bin/zul") + std::string(kAutostartMaxBytes, '#'));
       },
       true},
      {"fifo", [](const std::string& f) { ASSERT_EQ(mkfifo(f.c_str(), 0644), 0); }, true},
      {"folder", [](const std::string& f) { fs::create_directory(f); }, true},
  };
  for (const TRow& r : rows) {
    fs::remove_all(File);
    r.Make(File);
    const auto start = std::chrono::steady_clock::now();
    const TAutostartEntry e = ReadAutostart(File);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << r.What;
    EXPECT_EQ(e.Exists, r.Exists) << r.What;
    EXPECT_EQ(e.Program, "") << r.What;
  }
  // An entry of exactly the largest size is still read.
  std::string text = EntryFor("/usr/bin/zul");
  text += std::string(kAutostartMaxBytes - text.size(), '#');
  fs::remove_all(File);
  WriteText(File, text);
  EXPECT_EQ(ReadAutostart(File).Program, "/usr/bin/zul");
}

TEST_F(Autostart, AFolderThatIsAFileHoldsNoEntryAndTakesNone) {
  fs::remove_all(Root / "xdg" / "autostart");
  WriteText(Root / "xdg" / "autostart", "not a folder");
  EXPECT_FALSE(ReadAutostart(File).Exists);
  EXPECT_EQ(CheckAutostart(File, "/usr/bin/zul"), false);
  EXPECT_THROW(WriteAutostart(File, "/usr/bin/zul"), std::runtime_error);
  EXPECT_THROW(SetupAutostart(true, File, "/usr/bin/zul"), std::runtime_error);
  EXPECT_NO_THROW(SetupAutostart(false, File, "/usr/bin/zul"));
}

TEST_F(Autostart, WrittenEntryStartsThePathGivenReadableByAll) {
  const std::string program = (Root / "odd \"dir\" $x 50%" / "zul").string();
  fs::remove_all(Root / "xdg");  // the folder is made when missing
  WriteAutostart(File, program);
  EXPECT_EQ(ReadAutostart(File).Program, program);
  const std::string text = ReadText(File);
  EXPECT_EQ(text.rfind("[Desktop Entry]\n", 0), 0u) << text;
  EXPECT_NE(text.find("\nType=Application\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nExec=" + ExecValueFor(program) + "\n"), std::string::npos) << text;
  EXPECT_EQ(fs::status(File).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                fs::perms::others_read);
  // Nothing but the entry is left in the folder.
  int files = 0;
  for ([[maybe_unused]] const auto& f : fs::directory_iterator(Root / "xdg" / "autostart")) ++files;
  EXPECT_EQ(files, 1);
}

TEST_F(Autostart, LoadWithWindowsKeepsOneEntryForThisCopy) {
  const std::string self = "/opt/Zul/bin/zul";
  enum TStart { None, Ours, OursOtherCase, Other, Damaged };
  struct TRow {
    const char* What;
    TStart Start;
    // Check: the result, and the entry's program afterwards ("" = no entry).
    std::optional<bool> Checked;
    std::string AfterCheck;
    // Ticked, from the same start: the entry's program afterwards. Unticked always removes it.
    std::string AfterOn;
  };
  const TRow rows[] = {
      {"no entry", None, false, "", self},
      {"this copy", Ours, true, self, self},
      {"this copy, other case", OursOtherCase, true, "/OPT/zul/BIN/ZUL", "/OPT/zul/BIN/ZUL"},
      {"another copy", Other, false, "", self},
      {"damaged", Damaged, false, "", self},
  };
  auto make = [&](TStart s) {
    fs::remove_all(File);
    if (s == Ours) WriteText(File, EntryFor(ExecValueFor(self)));
    if (s == OursOtherCase) WriteText(File, EntryFor("/OPT/zul/BIN/ZUL"));
    if (s == Other) WriteText(File, EntryFor("/home/u/zul --x"));
    if (s == Damaged) WriteText(File, "[Desktop Entry]\nExec=\"/opt/Zul/bin/zul\n");
  };
  auto program = [&] {
    const TAutostartEntry e = ReadAutostart(File);
    return e.Exists ? e.Program : std::string();
  };
  for (const TRow& r : rows) {
    make(r.Start);
    EXPECT_EQ(CheckAutostart(File, self), r.Checked) << r.What;
    EXPECT_EQ(program(), r.AfterCheck) << r.What;
    make(r.Start);
    SetupAutostart(true, File, self);
    EXPECT_EQ(program(), r.AfterOn) << r.What;
    make(r.Start);
    SetupAutostart(false, File, self);
    EXPECT_FALSE(fs::exists(fs::symlink_status(File))) << r.What;
  }
  // Unticked with no entry touches nothing, not even the folder.
  fs::remove_all(Root / "xdg");
  SetupAutostart(false, File, self);
  EXPECT_FALSE(fs::exists(Root / "xdg"));
}

// What a user without write access to the system folder meets; run as "nobody" when the test
// has root, since root may write anywhere.
TEST_F(Autostart, WithoutWriteAccessWritingAndRemovingFailAndCheckStillAnswers) {
  const std::string other = "/home/u/zul";
  WriteText(File, EntryFor(other));
  auto attempt = [this, other]() -> int {
    int failures = 0;
    try {
      WriteAutostart(File, "/usr/bin/zul");
    } catch (const std::runtime_error&) {
      failures |= 1;
    }
    try {
      SetupAutostart(false, File, "/usr/bin/zul");
    } catch (const std::runtime_error&) {
      failures |= 2;
    }
    // Ticked, with another copy's entry in the way: an error, not a silent success.
    try {
      SetupAutostart(true, File, "/usr/bin/zul");
    } catch (const std::runtime_error&) {
      failures |= 16;
    }
    // Another copy's entry that cannot be removed still does not start this one.
    if (CheckAutostart(File, "/usr/bin/zul") == false) failures |= 4;
    if (ReadAutostart(File).Program == other) failures |= 8;
    return failures;
  };
  if (geteuid() == 0) {
    const passwd* nobody = getpwnam("nobody");
    if (nobody == nullptr) GTEST_SKIP() << "no user nobody";
    fs::permissions(Root, fs::perms::others_exec | fs::perms::group_exec, fs::perm_options::add);
    fs::permissions(Root / "xdg" / "autostart", fs::perms::others_read | fs::perms::others_exec,
                    fs::perm_options::add);
    fs::permissions(File, fs::perms::others_read, fs::perm_options::add);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) _exit(100);
      _exit(attempt());
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 31);
  } else {
    fs::permissions(Root / "xdg" / "autostart", fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_EQ(attempt(), 31);
    fs::permissions(Root / "xdg" / "autostart", fs::perms::owner_all);
  }
  EXPECT_EQ(ReadAutostart(File).Program, other);
}

TEST(AutostartPath, ExecutableIsThisTestProgramCanonicalAndComparedIgnoringAsciiCaseOnly) {
  const std::string self = ExecutablePath();
  ASSERT_FALSE(self.empty());
  EXPECT_EQ(self.front(), '/');
  EXPECT_EQ(fs::canonical(self).string(), self);
  EXPECT_EQ(fs::path(self).filename(), "test_autostart");

  EXPECT_TRUE(SamePathIgnoringAsciiCase("/Opt/ZUL", "/opt/zul"));
  EXPECT_FALSE(SamePathIgnoringAsciiCase("/opt/zul", "/opt/zul2"));
  EXPECT_FALSE(SamePathIgnoringAsciiCase("/opt/\xc3\x84", "/opt/\xc3\xa4"));  // not ASCII
  EXPECT_FALSE(SamePathIgnoringAsciiCase("/opt/[", "/opt/{"));
}

}  // namespace
}  // namespace zul
