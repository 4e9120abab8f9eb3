// A settings file's bytes through the program's load, and the record it gives through encode and
// decode. Bytes past the first record, when there are 344 of them, are a second image whose
// fields are written over the first record, as the options dialog changes fields before a save.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzKit.h"
#include "settings/CfgF.h"

namespace zul {
namespace {

using zulfuzz::Check;

// Every field the program reads; `Stored` is the image's business.
bool SameFields(const TCfgRec& a, const TCfgRec& b) {
  return a.Version == b.Version && a.OnTop == b.OnTop && a.ShowCaption == b.ShowCaption &&
         a.StartMinimized == b.StartMinimized && a.ShowAverage == b.ShowAverage &&
         a.Transparent == b.Transparent && a.VisiblePercent == b.VisiblePercent &&
         a.DisplayMode == b.DisplayMode && a.RateUnit == b.RateUnit &&
         a.AllInterfaces == b.AllInterfaces && a.InterfaceIndex == b.InterfaceIndex &&
         a.GridLines == b.GridLines && a.ShowMaxValue == b.ShowMaxValue &&
         a.GridPeriod == b.GridPeriod && a.ColorDownload == b.ColorDownload &&
         a.ColorUpload == b.ColorUpload && a.ColorBoth == b.ColorBoth &&
         a.ColorIdle == b.ColorIdle && a.Connection == b.Connection &&
         a.CustomKbps == b.CustomKbps && a.CustomPlus == b.CustomPlus &&
         a.NotifyEnabled == b.NotifyEnabled && a.NotifyCondition == b.NotifyCondition &&
         a.NotifyAmount == b.NotifyAmount && a.NotifyUnit == b.NotifyUnit &&
         a.NotifyTarget == b.NotifyTarget && a.NotifyTime == b.NotifyTime &&
         a.NotifyTimeUnit == b.NotifyTimeUnit && a.PlaySound == b.PlaySound &&
         a.DisplayMessage == b.DisplayMessage && a.SoundFile == b.SoundFile &&
         a.TrayView == b.TrayView && a.WindowVisible == b.WindowVisible &&
         a.WindowRect == b.WindowRect;
}

// The bytes that belong to no field: a save keeps what the file held there.
constexpr std::size_t kReserved[] = {7, 15, 22, 23, 42, 43, 51, 54, 55, 271, 342, 343};

TCfgImage ImageAt(const uint8_t* data) {
  TCfgImage image{};
  std::copy(data, data + kCfgSize, image.begin());
  return image;
}

}  // namespace
}  // namespace zul

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace zul;
  const std::string exeDir = "/opt/zul/";
  TCfgRec defaults;
  SetDefaultCfg(defaults, exeDir);

  // The load: a record of this version is taken as it is, anything else gives the defaults and
  // a notice.
  const std::string path = zulfuzz::WriteScratch("ZUL.cfg", data, size);
  TCfgRec loaded;
  TCfgFileState state;
  const TCfgLoadResult result = LoadCfgFile(path, loaded, exeDir, state);
  Check(result == state.Result, "the load's result and its state differ");
  if (size < kCfgSize) {
    Check(result == TCfgLoadResult::Unreadable, "a short file loaded");
    Check(SameFields(loaded, defaults) && !state.Notice.empty(), "a short file gave no defaults");
    return 0;
  }
  TCfgImage image = ImageAt(data);
  ScrambleCfg(image);
  for (std::size_t i = 1; i < kCfgSize; ++i)
    Check(image[i] == data[i], "the scramble changed more than byte 0");
  const bool ours = (image[0] | (image[1] << 8)) == kCfgVersion;
  Check(result == (ours ? TCfgLoadResult::Loaded : TCfgLoadResult::BadVersion),
        "the version decided wrongly");
  if (!ours) {
    Check(SameFields(loaded, defaults) && !state.Notice.empty(), "another version loaded");
    return 0;
  }
  Check(state.Notice.empty() && !state.KeepAside, "a good record was set aside");
  Check(SameFields(loaded, DecodeCfg(image)) && loaded.Stored == image,
        "the load decoded otherwise than DecodeCfg");
  Check(loaded.SoundFile.size() <= kSoundFileMax, "the sound file is longer than its field");
  // Nothing changed, nothing rewritten: reserved bytes, odd booleans and lengths included.
  Check(EncodeCfg(loaded) == image, "an unchanged record encoded to other bytes");
  TCfgImage twice = image;
  ScrambleCfg(twice);
  ScrambleCfg(twice);
  Check(twice == image, "the scramble is not its own inverse");

  // Changed fields survive encode and decode, and the bytes of no field stay the file's.
  TCfgRec changed = loaded;
  if (size >= 2 * kCfgSize) {
    changed = DecodeCfg(ImageAt(data + kCfgSize));
    changed.Stored = image;
  }
  const TCfgImage encoded = EncodeCfg(changed);
  const TCfgRec back = DecodeCfg(encoded);
  Check(SameFields(back, changed), "a field did not survive encode and decode");
  for (const std::size_t at : kReserved)
    Check(encoded[at] == image[at], "a reserved byte was rewritten");

  // And through the file: what a save wrote, the next load reads.
  const std::string savedPath = zulfuzz::ScratchDir() + "/saved.cfg";
  SaveCfgFile(savedPath, changed);
  TCfgRec reloaded;
  Check(LoadCfgFile(savedPath, reloaded, exeDir) == TCfgLoadResult::Loaded, "a save did not load");
  Check(SameFields(reloaded, changed) && reloaded.Stored == changed.Stored,
        "the saved record read back otherwise");
  return 0;
}
