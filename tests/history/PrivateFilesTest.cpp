// Everything the program keeps in its data folder is the user's alone, whatever the umask: fresh
// files and folders, and those an older start left readable by others.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "LogTestSupport.h"
#include "history/TrafficLog.h"
#include "platform/Files.h"
#include "settings/CfgF.h"
#include "vartype.h"

namespace zul {
namespace {

unsigned ModeOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 07777;
  return st.st_mode & 0777;
}

class PrivateFiles : public testing::Test {
 protected:
  void SetUp() override { OldMask = ::umask(022); }
  void TearDown() override {
    ::umask(OldMask);
    DataDir.clear();
  }
  mode_t OldMask = 0;
  test::TTempDir Tmp;
};

TEST_F(PrivateFiles, FreshAndOlderFilesAreReadableByTheUserAlone) {
  const std::string data = Tmp.Path() + "Halvane/ZUL/";
  const std::string db = data + "db/";
  DataDir = data;
  SetDefaultCfg(Cfg, "/exe/");
  SaveCfg();
  TTrafficLog log;
  log.Open(db);
  log.Close();

  struct TCase {
    std::string Path;
    unsigned Mode;
  };
  const std::vector<TCase> fresh = {
      {Tmp.Path() + "Halvane", 0700}, {data, 0700},
      {data + "ZUL.cfg", 0600},       {db, 0700},
      {db + "bw.DB", 0600},           {db + "bw.DB.lock", 0600},
  };
  for (const TCase& c : fresh) EXPECT_EQ(ModeOf(c.Path), c.Mode) << "fresh " << c.Path;

  // As an older start left them: readable by everyone.
  for (const TCase& c : fresh) ::chmod(c.Path.c_str(), c.Mode == 0700 ? 0755 : 0644);
  SaveCfg();
  log.Open(db);
  for (const TCase& c : fresh) {
    if (c.Path == Tmp.Path() + "Halvane" || c.Path == data) continue;  // tightened at start-up
    EXPECT_EQ(ModeOf(c.Path), c.Mode) << "reopened " << c.Path;
  }
  MakePrivateDir(data);
  EXPECT_EQ(ModeOf(data), 0700u);
}

}  // namespace
}  // namespace zul
