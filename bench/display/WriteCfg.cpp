// Writes a settings file with every graph window marked visible, for measuring the program
// with all four windows shown. Usage: zul_display_cfg DATA_DIR
#include <cstdio>
#include <exception>
#include <string>

#include "settings/CfgF.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DATA_DIR\n", argv[0]);
    return 2;
  }
  std::string dir = argv[1];
  if (dir.empty() || dir.back() != '/') dir += '/';
  zul::TCfgRec rec;
  zul::SetDefaultCfg(rec, "");
  rec.WindowVisible = {true, true, true, true};
  try {
    zul::SaveCfgFile(dir + "ZUL.cfg", rec);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
