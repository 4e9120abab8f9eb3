// The settings file on disk: loading every kind of file found at the path, and the atomic save.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
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

TEST_F(CfgFile, ZeroFilledFileIsDeletedAndGivesDefaults) {
  Write(path, Bytes(344, 0));
  EXPECT_EQ(LoadCfgFile(path, rec, "/exe/"), TCfgLoadResult::BadVersion);
  ExpectDefaults(rec);
  EXPECT_FALSE(fs::exists(path));
}

TEST_F(CfgFile, UnscrambledVersionIsRejectedAsAnotherFormat) {
  Bytes file = ValidFile();
  file[0] = 0xD9;  // 2009 written without the scramble
  Write(path, file);
  EXPECT_EQ(LoadCfgFile(path, rec, "/exe/"), TCfgLoadResult::BadVersion);
  EXPECT_FALSE(fs::exists(path));
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
  if (::geteuid() == 0) GTEST_SKIP() << "permission checks do not apply to root";
  Write(path, ValidFile());
  fs::permissions(path, fs::perms::none);
  EXPECT_EQ(LoadCfgFile(path, rec, "/exe/"), TCfgLoadResult::Unreadable);
  ExpectDefaults(rec);
  EXPECT_TRUE(fs::exists(path));
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
  if (::geteuid() == 0) GTEST_SKIP() << "permission checks do not apply to root";
  const Bytes old = ValidFile();
  Write(path, old);
  fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec);
  SetDefaultCfg(rec, "/exe/");
  EXPECT_THROW(SaveCfgFile(path, rec), std::runtime_error);
  fs::permissions(dir, fs::perms::owner_all);
  EXPECT_EQ(Read(path), old);
}

TEST_F(CfgFile, SaveReplacesALongerFileWithExactlyOneRecord) {
  Bytes file = ValidFile();
  file.resize(400, 0xEE);
  Write(path, file);
  ASSERT_EQ(LoadCfgFile(path, rec, "/exe/"), TCfgLoadResult::Loaded);
  SaveCfgFile(path, rec);
  EXPECT_EQ(Read(path), ValidFile());
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

TEST_F(CfgGlobal, SaveFailsClearlyWhenTheDataFolderIsAFile) {
  Write(dir + "/Maker", Bytes(1, 0));
  DataDir = dir + "/Maker/ZUL/";
  SetDefaultCfg(Cfg, ExeDir);
  EXPECT_THROW(SaveCfg(), std::runtime_error);
  EXPECT_EQ(Read(dir + "/Maker"), Bytes(1, 0));
}

}  // namespace
}  // namespace zul
