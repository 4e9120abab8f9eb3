// The settings file on disk: loading every kind of file found at the path, and the atomic save.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "settings/CfgF.h"
#include "vartype.h"

namespace zul {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// A valid file image built by hand: version 2009 with byte 0 scrambled (0xD9 ^ 0xA0 = 0x79),
// a few recognisable fields and non-zero reserved bytes.
Bytes ValidFile() {
  Bytes b(344, 0);
  b[0] = 0x79;
  b[1] = 0x07;
  b[2] = 1;   // OnTop
  b[8] = 42;  // VisiblePercent
  b[16] = 3;  // InterfaceIndex
  b[70] = 3;  // SoundFile "a.w"
  b[71] = 'a';
  b[72] = '.';
  b[73] = 'w';
  b[274] = 1;    // WindowVisible[0]
  b[278] = 100;  // WindowRect[0].Left
  for (std::size_t i : {7, 15, 22, 23, 42, 43, 51, 54, 55, 271, 342, 343})
    b[i] = static_cast<uint8_t>(0xA0 + i % 16);
  return b;
}

constexpr uid_t kNobody = 65534;

// Runs `body` in a child process, as the unprivileged user nobody when the tests run as root
// (permissions do not bind root), and returns the texts it gave back; a child that could not
// run the body returns a single text that says why.
std::vector<std::string> InChild(const std::function<std::vector<std::string>()>& body) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return {"no pipe"};
  const pid_t pid = ::fork();
  if (pid < 0) return {"no fork"};
  if (pid == 0) {
    ::close(pipeFds[0]);
    std::string wire;
    int code = 0;
    if (::geteuid() == 0 &&
        (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) {
      wire = "cannot become nobody";
      code = 2;
    } else {
      try {
        for (const std::string& text : body()) wire += text + '\0';
      } catch (const std::exception& e) {
        wire = std::string("threw: ") + e.what();
        code = 1;
      }
    }
    for (std::size_t done = 0; done < wire.size();) {
      const ssize_t n = ::write(pipeFds[1], wire.data() + done, wire.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    ::_exit(code);
  }
  ::close(pipeFds[1]);
  std::string wire;
  char buf[4096];
  for (ssize_t n; (n = ::read(pipeFds[0], buf, sizeof buf)) > 0;)
    wire.append(buf, static_cast<std::size_t>(n));
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return {wire};
  std::vector<std::string> out;
  for (std::size_t at = 0; at < wire.size();) {
    const std::size_t end = wire.find('\0', at);
    out.push_back(wire.substr(at, end - at));
    at = end + 1;
  }
  return out;
}

class CfgFile : public testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = testing::TempDir() + "cfgfile.XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir = tmpl;
    path = dir + "/ZUL.cfg";
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(dir, ec);
  }

  static void Write(const std::string& p, const Bytes& b) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
  }
  static Bytes Read(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // Everything in the folder but the given names: leftovers of a failed save.
  std::vector<std::string> Strays(std::vector<std::string> known) const {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) {
      const std::string name = e.path().filename().string();
      if (std::find(known.begin(), known.end(), name) == known.end()) out.push_back(name);
    }
    return out;
  }
  // Hands the folder and all in it to the user InChild runs as.
  void GiveToTheUser() const {
    if (::geteuid() != 0) return;
    ASSERT_EQ(::lchown(dir.c_str(), kNobody, kNobody), 0);
    for (const auto& e : fs::recursive_directory_iterator(dir))
      ASSERT_EQ(::lchown(e.path().c_str(), kNobody, kNobody), 0) << e.path();
  }
  static void ExpectDefaults(const TCfgRec& rec) {
    EXPECT_EQ(rec.Version, 2009);
    EXPECT_EQ(rec.VisiblePercent, 80);
    EXPECT_EQ(rec.SoundFile, "/exe/Alert.wav");
    EXPECT_EQ(rec.WindowVisible, (std::array<bool, 4>{true, false, false, false}));
    EXPECT_EQ(rec.Stored, TCfgImage{});
  }

  std::string dir;
  std::string path;
  TCfgRec rec;
};

TEST_F(CfgFile, LoadsAValidRecordWithItsReservedBytes) {
  const Bytes file = ValidFile();
  Write(path, file);
  ASSERT_EQ(LoadCfgFile(path, rec, "/exe/"), TCfgLoadResult::Loaded);
  EXPECT_EQ(rec.Version, 2009);
  EXPECT_TRUE(rec.OnTop);
  EXPECT_FALSE(rec.ShowCaption);
  EXPECT_EQ(rec.VisiblePercent, 42);
  EXPECT_EQ(rec.InterfaceIndex, 3);
  EXPECT_EQ(rec.SoundFile, "a.w");
  EXPECT_EQ(rec.WindowRect[0], (TCfgRect{100, 0, 0, 0}));
  EXPECT_EQ(rec.Stored[343], file[343]);
}

TEST_F(CfgFile, RoundTripWritesBackTheSameBytes) {
  const Bytes file = ValidFile();
  Write(path, file);
  ASSERT_EQ(LoadCfgFile(path, rec, "/exe/"), TCfgLoadResult::Loaded);
  fs::remove(path);
  SaveCfgFile(path, rec);
  EXPECT_EQ(Read(path), file);
  TCfgRec again;
  ASSERT_EQ(LoadCfgFile(path, again, "/exe/"), TCfgLoadResult::Loaded);
  EXPECT_EQ(EncodeCfg(again), EncodeCfg(rec));
}

TEST_F(CfgFile, SavedFileDiffersFromTheImageOnlyInByteZero) {
  SetDefaultCfg(rec, "/exe/");
  rec.Stored[343] = 0x5C;
  rec.Version = 1;
  const TCfgImage before = [&] {
    TCfgRec copy = rec;
    copy.Version = 2009;
    return EncodeCfg(copy);
  }();
  SaveCfgFile(path, rec);
  const Bytes file = Read(path);
  ASSERT_EQ(file.size(), 344u);
  EXPECT_EQ(file[0], 0x79);
  EXPECT_EQ(file[1], 0x07);
  EXPECT_EQ(file[0] ^ before[0], 0x19 ^ 0xE4 ^ 0x70 ^ 0x2D);
  for (std::size_t i = 1; i < 344; ++i) ASSERT_EQ(file[i], before[i]) << "byte " << i;
  EXPECT_EQ(rec.Version, 2009) << "the record in memory stays readable after a save";
}

TEST_F(CfgFile, MissingFileGivesDefaultsAndCreatesNothing) {
  rec.Stored.fill(0x11);
  EXPECT_EQ(LoadCfgFile(path, rec, "/exe/"), TCfgLoadResult::Missing);
  ExpectDefaults(rec);
  EXPECT_FALSE(fs::exists(path));
}

// A file too short to hold a record: defaults, and the file is left for the user to inspect.
class CfgShortFile : public CfgFile, public testing::WithParamInterface<std::size_t> {};

TEST_P(CfgShortFile, GivesDefaultsAndStaysOnDisk) {
  Bytes file = ValidFile();
  file.resize(GetParam());
  Write(path, file);
  EXPECT_EQ(LoadCfgFile(path, rec, "/exe/"), TCfgLoadResult::Unreadable);
  ExpectDefaults(rec);
  EXPECT_EQ(Read(path), file);
}

INSTANTIATE_TEST_SUITE_P(Sizes, CfgShortFile, testing::Values(0, 1, 343));

TEST_F(CfgFile, LongerFileLoadsItsFirstRecordAndIsNotTouched) {
  Bytes file = ValidFile();
  file.resize(400, 0xEE);
  Write(path, file);
  EXPECT_EQ(LoadCfgFile(path, rec, "/exe/"), TCfgLoadResult::Loaded);
  EXPECT_EQ(rec.VisiblePercent, 42);
  EXPECT_EQ(Read(path), file);
}

TEST_F(CfgFile, ZeroFilledFileGivesDefaultsAndIsKept) {
  Write(path, Bytes(344, 0));
  EXPECT_EQ(LoadCfgFile(path, rec, "/exe/"), TCfgLoadResult::BadVersion);
  ExpectDefaults(rec);
  EXPECT_EQ(Read(path), Bytes(344, 0));
}

TEST_F(CfgFile, UnscrambledVersionIsRejectedAsAnotherFormat) {
  Bytes file = ValidFile();
  file[0] = 0xD9;  // 2009 written without the scramble
  Write(path, file);
  EXPECT_EQ(LoadCfgFile(path, rec, "/exe/"), TCfgLoadResult::BadVersion);
  EXPECT_EQ(Read(path), file);
}

TEST_F(CfgFile, DamagedButValidRecordLoadsFaithfully) {
  Bytes file(344, 0xFF);
  file[0] = 0x79;
  file[1] = 0x07;
  Write(path, file);
  ASSERT_EQ(LoadCfgFile(path, rec, "/exe/"), TCfgLoadResult::Loaded);
  EXPECT_TRUE(rec.NotifyEnabled);
  EXPECT_EQ(rec.SoundFile.size(), 200u);
  fs::remove(path);
  SaveCfgFile(path, rec);
  EXPECT_EQ(Read(path), file);
}

TEST_F(CfgFile, DirectoryAtThePathGivesDefaultsAndIsLeftAlone) {
  fs::create_directory(path);
  EXPECT_EQ(LoadCfgFile(path, rec, "/exe/"), TCfgLoadResult::Unreadable);
  ExpectDefaults(rec);
  EXPECT_TRUE(fs::is_directory(path));
}

TEST_F(CfgFile, FifoAtThePathGivesDefaultsWithoutBlocking) {
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  EXPECT_EQ(LoadCfgFile(path, rec, "/exe/"), TCfgLoadResult::Unreadable);
  ExpectDefaults(rec);
  EXPECT_TRUE(fs::is_fifo(path));
}

TEST_F(CfgFile, FileWithoutReadPermissionGivesDefaultsAndIsKept) {
  Write(path, ValidFile());
  GiveToTheUser();
  fs::permissions(path, fs::perms::none);
  const auto out = InChild([this] {
    TCfgRec r;
    const TCfgLoadResult result = LoadCfgFile(path, r, "/exe/");
    return std::vector<std::string>{std::to_string(static_cast<int>(result)), r.SoundFile};
  });
  EXPECT_EQ(out,
            (std::vector<std::string>{std::to_string(static_cast<int>(TCfgLoadResult::Unreadable)),
                                      "/exe/Alert.wav"}));
  fs::permissions(path, fs::perms::owner_read);
  EXPECT_EQ(Read(path), ValidFile());
}

TEST_F(CfgFile, SaveIntoAFolderThatIsAFileThrowsWithThePath) {
  Write(dir + "/plain", Bytes(3, 1));
  SetDefaultCfg(rec, "/exe/");
  const std::string bad = dir + "/plain/ZUL.cfg";
  try {
    SaveCfgFile(bad, rec);
    FAIL() << "saving under a plain file must fail";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(bad), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("Not a directory"), std::string::npos) << e.what();
  }
  EXPECT_EQ(Read(dir + "/plain"), Bytes(3, 1));
}

TEST_F(CfgFile, FailedRenameKeepsTheTargetAndLeavesNoTemporaryFile) {
  fs::create_directories(path + "/inside");
  SetDefaultCfg(rec, "/exe/");
  EXPECT_THROW(SaveCfgFile(path, rec), std::runtime_error);
  EXPECT_TRUE(fs::is_directory(path + "/inside"));
  EXPECT_TRUE(Strays({"ZUL.cfg"}).empty());
}

TEST_F(CfgFile, FullDiskDuringTheWriteKeepsTheOldFile) {
  const Bytes old = ValidFile();
  Write(path, old);
  SetDefaultCfg(rec, "/exe/");
  // A file size limit below one record stands in for a full disk: the write stops part way.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 100;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  bool threw = false;
  try {
    SaveCfgFile(path, rec);
  } catch (const std::runtime_error&) {
    threw = true;
  }
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, oldHandler);
  EXPECT_TRUE(threw);
  EXPECT_EQ(Read(path), old);
  EXPECT_TRUE(Strays({"ZUL.cfg"}).empty());
}

TEST_F(CfgFile, UnwritableFolderKeepsTheOldFile) {
  const Bytes old = ValidFile();
  Write(path, old);
  GiveToTheUser();
  fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec);
  const auto out = InChild([this] {
    TCfgRec r;
    SetDefaultCfg(r, "/exe/");
    try {
      SaveCfgFile(path, r);
    } catch (const std::runtime_error& e) {
      return std::vector<std::string>{"threw", e.what()};
    }
    return std::vector<std::string>{"saved"};
  });
  fs::permissions(dir, fs::perms::owner_all);
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out[0], "threw");
  EXPECT_EQ(Read(path), old);
  EXPECT_TRUE(Strays({"ZUL.cfg"}).empty());
}

TEST_F(CfgFile, SaveReplacesALongerFileWithExactlyOneRecord) {
  Bytes file = ValidFile();
  file.resize(400, 0xEE);
  Write(path, file);
  ASSERT_EQ(LoadCfgFile(path, rec, "/exe/"), TCfgLoadResult::Loaded);
  SaveCfgFile(path, rec);
  EXPECT_EQ(Read(path), ValidFile());
}

// --- a file that is there but cannot be used is never lost ---

// Everything under `root` as lstat sees it: kind, mode and contents (a link's target).
std::map<std::string, std::string> Snapshot(const std::string& root) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    struct stat st {};
    if (::lstat(e.path().c_str(), &st) != 0) continue;
    std::string what = std::to_string(st.st_mode) + ":";
    if (S_ISLNK(st.st_mode)) {
      what += fs::read_symlink(e.path()).string();
    } else if (S_ISREG(st.st_mode)) {
      std::ifstream in(e.path(), std::ios::binary);
      what += std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    // Not fs::relative: it would follow the links this is meant to record.
    out[e.path().string().substr(root.size() + 1)] = what;
  }
  return out;
}

enum class TKept {
  Aside,      // renamed aside with its bytes; a new record where it was
  LeftAlone,  // not a regular file: untouched, and the save says why
  Loaded,     // a good record, saved through as usual
};

struct TUnusableCase {
  const char* Name;
  // Plants the file at `path`; `dir` is the folder that holds it.
  std::function<void(const std::string& dir, const std::string& path)> Plant;
  TCfgLoadResult Load;
  TKept Kept;
  // Folder (under dir) where the file the link names lives, "" for the link's own folder.
  const char* TargetFolder = "";
};

void WriteBytes(const std::string& p, const Bytes& b) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

Bytes Sized(std::size_t n) {
  Bytes b = ValidFile();
  b.resize(n);
  return b;
}

Bytes WithByte(std::size_t at, uint8_t value) {
  Bytes b = ValidFile();
  b[at] = value;
  return b;
}

Bytes Random344() {
  std::mt19937 gen(2009);
  Bytes b(344);
  for (uint8_t& x : b) x = static_cast<uint8_t>(gen());
  b[1] = 0x5B;  // never 2009 by chance
  return b;
}

auto PlantBytes(Bytes b) {
  return [b](const std::string&, const std::string& p) { WriteBytes(p, b); };
}

const TUnusableCase kUnusable[] = {
    {"unreadable (mode 000)",
     [](const std::string&, const std::string& p) {
       WriteBytes(p, ValidFile());
       ::chmod(p.c_str(), 0);
     },
     TCfgLoadResult::Unreadable, TKept::Aside},
    {"0 bytes", PlantBytes(Sized(0)), TCfgLoadResult::Unreadable, TKept::Aside},
    {"1 byte", PlantBytes(Sized(1)), TCfgLoadResult::Unreadable, TKept::Aside},
    {"343 bytes", PlantBytes(Sized(343)), TCfgLoadResult::Unreadable, TKept::Aside},
    {"another version", PlantBytes(WithByte(1, 0x08)), TCfgLoadResult::BadVersion, TKept::Aside},
    {"one byte changed", PlantBytes(WithByte(0, 0x78)), TCfgLoadResult::BadVersion, TKept::Aside},
    {"random bytes", PlantBytes(Random344()), TCfgLoadResult::BadVersion, TKept::Aside},
    {"a link to a good file elsewhere",
     [](const std::string& d, const std::string& p) {
       fs::create_directory(d + "/dotfiles");
       WriteBytes(d + "/dotfiles/zul.cfg", ValidFile());
       fs::create_symlink("dotfiles/zul.cfg", p);
     },
     TCfgLoadResult::Loaded, TKept::Loaded, "dotfiles"},
    {"a link to a short file elsewhere",
     [](const std::string& d, const std::string& p) {
       fs::create_directory(d + "/dotfiles");
       WriteBytes(d + "/dotfiles/zul.cfg", Sized(343));
       fs::create_symlink(d + "/dotfiles/zul.cfg", p);
     },
     TCfgLoadResult::Unreadable, TKept::Aside, "dotfiles"},
    {"a FIFO", [](const std::string&, const std::string& p) { ::mkfifo(p.c_str(), 0600); },
     TCfgLoadResult::Unreadable, TKept::LeftAlone},
    {"a folder", [](const std::string&, const std::string& p) { fs::create_directory(p); },
     TCfgLoadResult::Unreadable, TKept::LeftAlone},
    {"a link loop",
     [](const std::string&, const std::string& p) { fs::create_symlink("ZUL.cfg", p); },
     TCfgLoadResult::Unreadable, TKept::LeftAlone},
    {"a link to a FIFO",
     [](const std::string& d, const std::string& p) {
       ::mkfifo((d + "/pipe").c_str(), 0600);
       fs::create_symlink("pipe", p);
     },
     TCfgLoadResult::Unreadable, TKept::LeftAlone},
};

class CfgUnusable : public CfgFile, public testing::WithParamInterface<TUnusableCase> {};

TEST_P(CfgUnusable, LoadChangesNothingAndSaveKeepsTheFile) {
  const TUnusableCase& c = GetParam();
  c.Plant(dir, path);
  GiveToTheUser();
  const auto before = Snapshot(dir);

  // The load alone: defaults or the record, a notice for the user, and no change on disk.
  const auto loaded = InChild([this] {
    TCfgRec r;
    TCfgFileState st;
    const TCfgLoadResult result = LoadCfgFile(path, r, "/exe/", st);
    return std::vector<std::string>{std::to_string(static_cast<int>(result)), st.Notice,
                                    std::to_string(r.VisiblePercent)};
  });
  ASSERT_EQ(loaded.size(), 3u) << (loaded.empty() ? "" : loaded[0]);
  EXPECT_EQ(loaded[0], std::to_string(static_cast<int>(c.Load)));
  EXPECT_EQ(loaded[1].empty(), c.Kept == TKept::Loaded) << loaded[1];
  EXPECT_EQ(loaded[2], c.Kept == TKept::Loaded ? "42" : "80");
  EXPECT_EQ(Snapshot(dir), before);

  // Load, change a setting, save.
  const auto saved = InChild([this] {
    TCfgRec r;
    TCfgFileState st;
    LoadCfgFile(path, r, "/exe/", st);
    r.TrayView = 3;
    std::string error;
    try {
      SaveCfgFile(path, r, st);
    } catch (const std::runtime_error& e) {
      error = e.what();
    }
    return std::vector<std::string>{error, st.AsidePath};
  });
  ASSERT_EQ(saved.size(), 2u) << (saved.empty() ? "" : saved[0]);
  const auto after = Snapshot(dir);

  if (c.Kept == TKept::LeftAlone) {
    EXPECT_NE(saved[0].find("ZUL.cfg"), std::string::npos) << saved[0];
    EXPECT_EQ(after, before);
    return;
  }
  EXPECT_EQ(saved[0], "");
  // The link, if any, stays a link; the new record is where it points.
  const std::string folder = *c.TargetFolder ? std::string(c.TargetFolder) + "/" : "";
  const std::string target = dir + "/" + (*c.TargetFolder ? folder + "zul.cfg" : "ZUL.cfg");
  if (*c.TargetFolder) {
    EXPECT_EQ(after.at("ZUL.cfg"), before.at("ZUL.cfg"));
  }
  TCfgRec back;
  ASSERT_EQ(LoadCfgFile(path, back, "/exe/"), TCfgLoadResult::Loaded);
  EXPECT_EQ(back.TrayView, 3);
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(target)));

  const std::string targetName = target.substr(dir.size() + 1);
  std::vector<std::string> added;
  for (const auto& [name, what] : after)
    if (!before.count(name)) added.push_back(name);
  if (c.Kept == TKept::Loaded) {
    EXPECT_TRUE(added.empty()) << added.front();
    EXPECT_EQ(saved[1], "");
    return;
  }
  // Renamed aside in its own folder, bytes and mode as they were; nothing else left behind.
  ASSERT_EQ(added.size(), 1u);
  EXPECT_EQ(added[0].rfind(targetName + ".unused-", 0), 0u) << added[0];
  EXPECT_EQ(added[0].size(), targetName.size() + std::string(".unused-YYYYMMDD-HHMMSS").size());
  EXPECT_EQ(after.at(added[0]), before.at(targetName));
  EXPECT_EQ(saved[1], dir + "/" + added[0]);
}

INSTANTIATE_TEST_SUITE_P(Files, CfgUnusable, testing::ValuesIn(kUnusable),
                         [](const testing::TestParamInfo<TUnusableCase>& row) {
                           std::string name;
                           for (const char* p = row.param.Name; *p; ++p)
                             if (std::isalnum(static_cast<unsigned char>(*p))) name += *p;
                           return name;
                         });

TEST_F(CfgFile, AFileSetAsideIsNeverReplacedByALaterOne) {
  TCfgFileState st;
  for (uint8_t round = 1; round <= 3; ++round) {
    WriteBytes(path, Bytes(round, round));
    LoadCfgFile(path, rec, "/exe/", st);
    SaveCfgFile(path, rec, st);
  }
  std::vector<Bytes> kept;
  for (const std::string& name : Strays({"ZUL.cfg"})) kept.push_back(Read(dir + "/" + name));
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(kept, (std::vector<Bytes>{Bytes(1, 1), Bytes(2, 2), Bytes(3, 3)}));
}

// LoadCfg and SaveCfg act on the program's globals.
class CfgGlobal : public CfgFile {
 protected:
  void SetUp() override {
    CfgFile::SetUp();
    savedExe = ExeDir;
    savedData = DataDir;
    savedCfg = Cfg;
    ExeDir = "/exe/";
  }
  void TearDown() override {
    ExeDir = savedExe;
    DataDir = savedData;
    Cfg = savedCfg;
    CfgFile::TearDown();
  }
  std::string savedExe, savedData;
  TCfgRec savedCfg;
};

TEST_F(CfgGlobal, SaveCreatesTheMissingDataFolderAndLoadReadsItBack) {
  DataDir = dir + "/Maker/ZUL/";
  Cfg = TCfgRec{};
  LoadCfg();
  EXPECT_EQ(Cfg.SoundFile, "/exe/Alert.wav");
  Cfg.TrayView = 2;
  SaveCfg();
  EXPECT_EQ(Read(DataDir + "ZUL.cfg").size(), 344u);
  EXPECT_EQ(fs::status(dir + "/Maker/ZUL").permissions() & fs::perms::all, fs::perms::owner_all);
  Cfg = TCfgRec{};
  LoadCfg();
  EXPECT_EQ(Cfg.TrayView, 2);
}

TEST_F(CfgGlobal, TheNoticeIsGivenOnceAndTheShortFileSurvivesTheSave) {
  DataDir = dir + "/";
  Write(path, Bytes(7, 7));
  LoadCfg();
  const std::string notice = TakeCfgNotice();
  EXPECT_NE(notice.find(path), std::string::npos) << notice;
  EXPECT_NE(notice.find("default settings"), std::string::npos) << notice;
  EXPECT_EQ(TakeCfgNotice(), "");
  SaveCfg();
  SaveCfg();
  const auto kept = Strays({"ZUL.cfg"});
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(Read(dir + "/" + kept[0]), Bytes(7, 7));
  EXPECT_EQ(Read(path).size(), 344u);
}

TEST_F(CfgGlobal, SaveFailsClearlyWhenTheDataFolderIsAFile) {
  Write(dir + "/Maker", Bytes(1, 0));
  DataDir = dir + "/Maker/ZUL/";
  SetDefaultCfg(Cfg, ExeDir);
  EXPECT_THROW(SaveCfg(), std::runtime_error);
  EXPECT_EQ(Read(dir + "/Maker"), Bytes(1, 0));
}

}  // namespace
}  // namespace zul
