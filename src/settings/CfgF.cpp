#include "CfgF.h"

#include <sys/stat.h>

#include <algorithm>
#include <stdexcept>
#include <utility>
#include <vector>

#include "platform/Files.h"
#include "vartype.h"

namespace zul {

TCfgRec Cfg;

namespace {

// The image layout, reserved gaps included, in file order. The checks below make sure the
// offsets in the header chain without overlap or hole to exactly 344 bytes.
struct TFieldSpan {
  std::size_t Offset;
  std::size_t Size;
};

constexpr TFieldSpan kLayout[] = {
    {cfgoff::Version, 2},
    {cfgoff::OnTop, 1},
    {cfgoff::ShowCaption, 1},
    {cfgoff::StartMinimized, 1},
    {cfgoff::ShowAverage, 1},
    {cfgoff::Transparent, 1},
    {7, 1},
    {cfgoff::VisiblePercent, 2},
    {cfgoff::DisplayMode, 2},
    {cfgoff::RateUnit, 2},
    {cfgoff::AllInterfaces, 1},
    {15, 1},
    {cfgoff::InterfaceIndex, 2},
    {cfgoff::GridLines, 1},
    {cfgoff::ShowMaxValue, 1},
    {cfgoff::GridPeriod, 2},
    {22, 2},
    {cfgoff::ColorDownload, 4},
    {cfgoff::ColorUpload, 4},
    {cfgoff::ColorBoth, 4},
    {cfgoff::ColorIdle, 4},
    {cfgoff::Connection, 2},
    {42, 2},
    {cfgoff::CustomKbps, 4},
    {cfgoff::CustomPlus, 2},
    {cfgoff::NotifyEnabled, 1},
    {51, 1},
    {cfgoff::NotifyCondition, 2},
    {54, 2},
    {cfgoff::NotifyAmount, 4},
    {cfgoff::NotifyUnit, 2},
    {cfgoff::NotifyTarget, 2},
    {cfgoff::NotifyTime, 2},
    {cfgoff::NotifyTimeUnit, 2},
    {cfgoff::PlaySound, 1},
    {cfgoff::DisplayMessage, 1},
    {cfgoff::SoundFile, 1 + kSoundFileMax},
    {271, 1},
    {cfgoff::TrayView, 2},
    {cfgoff::WindowVisible, 4},
    {cfgoff::WindowRect, 4 * 16},
    {342, 2},
};

constexpr bool LayoutChains() {
  std::size_t next = 0;
  for (const TFieldSpan& span : kLayout) {
    if (span.Offset != next) return false;
    next = span.Offset + span.Size;
  }
  return next == cfgoff::End;
}

static_assert(cfgoff::End == kCfgSize);
static_assert(LayoutChains(), "settings fields must chain without gaps to 344 bytes");
static_assert(cfgoff::WindowRect == 278 && cfgoff::WindowVisible + 4 == cfgoff::WindowRect);
static_assert(cfgoff::SoundFile + 1 + kSoundFileMax == 271);

// Little-endian accessors; the record is never viewed through a struct cast, since the
// rectangles sit at an odd-aligned offset.
uint16_t GetU16(const TCfgImage& im, std::size_t at) {
  return static_cast<uint16_t>(im[at] | (im[at + 1] << 8));
}

uint32_t GetU32(const TCfgImage& im, std::size_t at) {
  return static_cast<uint32_t>(im[at]) | (static_cast<uint32_t>(im[at + 1]) << 8) |
         (static_cast<uint32_t>(im[at + 2]) << 16) | (static_cast<uint32_t>(im[at + 3]) << 24);
}

int32_t GetI32(const TCfgImage& im, std::size_t at) {
  return static_cast<int32_t>(GetU32(im, at));
}

bool GetBool(const TCfgImage& im, std::size_t at) {
  return im[at] != 0;
}

void PutU16(TCfgImage& im, std::size_t at, uint16_t v) {
  im[at] = static_cast<uint8_t>(v);
  im[at + 1] = static_cast<uint8_t>(v >> 8);
}

void PutU32(TCfgImage& im, std::size_t at, uint32_t v) {
  for (std::size_t i = 0; i < 4; ++i) im[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

void PutI32(TCfgImage& im, std::size_t at, int32_t v) {
  PutU32(im, at, static_cast<uint32_t>(v));
}

// A stored non-zero byte other than 1 still means true; keep it unless the value changed, so a
// save does not rewrite fields nobody touched.
void PutBool(TCfgImage& im, std::size_t at, bool v) {
  if ((im[at] != 0) != v) im[at] = v ? 1 : 0;
}

std::string GetSoundFile(const TCfgImage& im) {
  const std::size_t len = std::min<std::size_t>(im[cfgoff::SoundFile], kSoundFileMax);
  const auto first = im.begin() + static_cast<std::ptrdiff_t>(cfgoff::SoundFile + 1);
  return std::string(first, first + static_cast<std::ptrdiff_t>(len));
}

void PutSoundFile(TCfgImage& im, const std::string& path) {
  // Unchanged: keep all 201 bytes as they were, including an out-of-range length byte.
  if (GetSoundFile(im) == path) return;
  const std::size_t len = std::min(path.size(), kSoundFileMax);
  im[cfgoff::SoundFile] = static_cast<uint8_t>(len);
  for (std::size_t i = 0; i < kSoundFileMax; ++i)
    im[cfgoff::SoundFile + 1 + i] = i < len ? static_cast<uint8_t>(path[i]) : 0;
}

TCfgRect GetRect(const TCfgImage& im, std::size_t at) {
  return {GetI32(im, at), GetI32(im, at + 4), GetI32(im, at + 8), GetI32(im, at + 12)};
}

void PutRect(TCfgImage& im, std::size_t at, const TCfgRect& r) {
  PutI32(im, at, r.Left);
  PutI32(im, at + 4, r.Top);
  PutI32(im, at + 8, r.Right);
  PutI32(im, at + 12, r.Bottom);
}

TCfgLoadResult Defaulted(TCfgRec& rec, const std::string& exeDir, TCfgLoadResult why) {
  rec = TCfgRec{};
  SetDefaultCfg(rec, exeDir);
  return why;
}

// The file is there but of no use: defaults, and the user is told what happens to the file.
TCfgLoadResult Unusable(const std::string& path, TCfgRec& rec, const std::string& exeDir,
                        TCfgFileState& state, TCfgLoadResult why, const std::string& reason,
                        bool keepAside) {
  state.Result = why;
  state.KeepAside = keepAside;
  state.Notice = "The settings file \"" + path + "\" cannot be used: " + reason +
                 ". ZUL runs with the default settings. ";
  std::string kept = path;
  try {
    kept = ResolveLinks(path, "settings file");
  } catch (const std::exception&) {
    // The link cannot be followed now; the save will say so.
  }
  state.Notice += keepAside ? "The file is kept: before settings are saved it is renamed to \"" +
                                  kept + ".unused-<date>-<time>\"."
                            : "It is left as it is, and settings cannot be saved until it is "
                              "removed.";
  return Defaulted(rec, exeDir, why);
}

// What the program's own load found; main thread only.
TCfgFileState CfgFileState;

}  // namespace

TCfgRec DecodeCfg(const TCfgImage& image) {
  TCfgRec r;
  r.Version = GetU16(image, cfgoff::Version);
  r.OnTop = GetBool(image, cfgoff::OnTop);
  r.ShowCaption = GetBool(image, cfgoff::ShowCaption);
  r.StartMinimized = GetBool(image, cfgoff::StartMinimized);
  r.ShowAverage = GetBool(image, cfgoff::ShowAverage);
  r.Transparent = GetBool(image, cfgoff::Transparent);
  r.VisiblePercent = GetU16(image, cfgoff::VisiblePercent);
  r.DisplayMode = GetU16(image, cfgoff::DisplayMode);
  r.RateUnit = GetU16(image, cfgoff::RateUnit);
  r.AllInterfaces = GetBool(image, cfgoff::AllInterfaces);
  r.InterfaceIndex = GetU16(image, cfgoff::InterfaceIndex);
  r.GridLines = GetBool(image, cfgoff::GridLines);
  r.ShowMaxValue = GetBool(image, cfgoff::ShowMaxValue);
  r.GridPeriod = GetU16(image, cfgoff::GridPeriod);
  r.ColorDownload = GetU32(image, cfgoff::ColorDownload);
  r.ColorUpload = GetU32(image, cfgoff::ColorUpload);
  r.ColorBoth = GetU32(image, cfgoff::ColorBoth);
  r.ColorIdle = GetU32(image, cfgoff::ColorIdle);
  r.Connection = GetU16(image, cfgoff::Connection);
  r.CustomKbps = GetI32(image, cfgoff::CustomKbps);
  r.CustomPlus = GetU16(image, cfgoff::CustomPlus);
  r.NotifyEnabled = GetBool(image, cfgoff::NotifyEnabled);
  r.NotifyCondition = GetU16(image, cfgoff::NotifyCondition);
  r.NotifyAmount = GetU32(image, cfgoff::NotifyAmount);
  r.NotifyUnit = GetU16(image, cfgoff::NotifyUnit);
  r.NotifyTarget = GetU16(image, cfgoff::NotifyTarget);
  r.NotifyTime = GetU16(image, cfgoff::NotifyTime);
  r.NotifyTimeUnit = GetU16(image, cfgoff::NotifyTimeUnit);
  r.PlaySound = GetBool(image, cfgoff::PlaySound);
  r.DisplayMessage = GetBool(image, cfgoff::DisplayMessage);
  r.SoundFile = GetSoundFile(image);
  r.TrayView = GetU16(image, cfgoff::TrayView);
  for (std::size_t i = 0; i < r.WindowVisible.size(); ++i)
    r.WindowVisible[i] = GetBool(image, cfgoff::WindowVisible + i);
  for (std::size_t i = 0; i < r.WindowRect.size(); ++i)
    r.WindowRect[i] = GetRect(image, cfgoff::WindowRect + 16 * i);
  r.Stored = image;
  return r;
}

TCfgImage EncodeCfg(const TCfgRec& r) {
  TCfgImage im = r.Stored;
  PutU16(im, cfgoff::Version, r.Version);
  PutBool(im, cfgoff::OnTop, r.OnTop);
  PutBool(im, cfgoff::ShowCaption, r.ShowCaption);
  PutBool(im, cfgoff::StartMinimized, r.StartMinimized);
  PutBool(im, cfgoff::ShowAverage, r.ShowAverage);
  PutBool(im, cfgoff::Transparent, r.Transparent);
  PutU16(im, cfgoff::VisiblePercent, r.VisiblePercent);
  PutU16(im, cfgoff::DisplayMode, r.DisplayMode);
  PutU16(im, cfgoff::RateUnit, r.RateUnit);
  PutBool(im, cfgoff::AllInterfaces, r.AllInterfaces);
  PutU16(im, cfgoff::InterfaceIndex, r.InterfaceIndex);
  PutBool(im, cfgoff::GridLines, r.GridLines);
  PutBool(im, cfgoff::ShowMaxValue, r.ShowMaxValue);
  PutU16(im, cfgoff::GridPeriod, r.GridPeriod);
  PutU32(im, cfgoff::ColorDownload, r.ColorDownload);
  PutU32(im, cfgoff::ColorUpload, r.ColorUpload);
  PutU32(im, cfgoff::ColorBoth, r.ColorBoth);
  PutU32(im, cfgoff::ColorIdle, r.ColorIdle);
  PutU16(im, cfgoff::Connection, r.Connection);
  PutI32(im, cfgoff::CustomKbps, r.CustomKbps);
  PutU16(im, cfgoff::CustomPlus, r.CustomPlus);
  PutBool(im, cfgoff::NotifyEnabled, r.NotifyEnabled);
  PutU16(im, cfgoff::NotifyCondition, r.NotifyCondition);
  PutU32(im, cfgoff::NotifyAmount, r.NotifyAmount);
  PutU16(im, cfgoff::NotifyUnit, r.NotifyUnit);
  PutU16(im, cfgoff::NotifyTarget, r.NotifyTarget);
  PutU16(im, cfgoff::NotifyTime, r.NotifyTime);
  PutU16(im, cfgoff::NotifyTimeUnit, r.NotifyTimeUnit);
  PutBool(im, cfgoff::PlaySound, r.PlaySound);
  PutBool(im, cfgoff::DisplayMessage, r.DisplayMessage);
  PutSoundFile(im, r.SoundFile);
  PutU16(im, cfgoff::TrayView, r.TrayView);
  for (std::size_t i = 0; i < r.WindowVisible.size(); ++i)
    PutBool(im, cfgoff::WindowVisible + i, r.WindowVisible[i]);
  for (std::size_t i = 0; i < r.WindowRect.size(); ++i)
    PutRect(im, cfgoff::WindowRect + 16 * i, r.WindowRect[i]);
  return im;
}

void ScrambleCfg(TCfgImage& image) {
  std::size_t j = 0;
  for (std::size_t n = 0; n < kCfgSize; ++n) {
    image[0] = static_cast<uint8_t>(image[0] ^ CfgKey[j]);
    j = (j + 1) % CfgKey.size();
  }
}

void SetDefaultCfg(TCfgRec& rec, const std::string& exeDir) {
  rec.Version = kCfgVersion;
  rec.OnTop = true;
  rec.ShowCaption = true;
  rec.StartMinimized = false;
  rec.ShowAverage = false;
  rec.Transparent = true;
  rec.VisiblePercent = 80;
  rec.DisplayMode = 2;
  rec.RateUnit = 0;
  rec.AllInterfaces = true;
  rec.InterfaceIndex = 0;
  rec.GridLines = false;
  rec.ShowMaxValue = false;
  rec.GridPeriod = 2;
  rec.ColorDownload = 0x000000FF;
  rec.ColorUpload = 0x0000FF00;
  rec.ColorBoth = 0x0000FFFF;
  rec.ColorIdle = 0x00D0B0B0;
  rec.Connection = 0;
  rec.CustomKbps = 1000;
  rec.CustomPlus = 10;
  rec.NotifyEnabled = false;
  rec.NotifyCondition = 0;
  rec.NotifyAmount = 10000;
  rec.NotifyUnit = 0;
  rec.NotifyTarget = 0;
  rec.NotifyTime = 60;
  rec.NotifyTimeUnit = 0;
  rec.PlaySound = true;
  rec.DisplayMessage = false;
  rec.SoundFile = (exeDir + "Alert.wav").substr(0, kSoundFileMax);
  rec.TrayView = 0;
  rec.WindowVisible = {true, false, false, false};
  rec.WindowRect = {};
}

TCfgLoadResult LoadCfgFile(const std::string& path, TCfgRec& rec, const std::string& exeDir) {
  TCfgFileState state;
  return LoadCfgFile(path, rec, exeDir, state);
}

TCfgLoadResult LoadCfgFile(const std::string& path, TCfgRec& rec, const std::string& exeDir,
                           TCfgFileState& state) {
  state = TCfgFileState{};
  std::vector<uint8_t> bytes;
  std::string why;
  switch (ReadFileStart(path, kCfgSize, bytes, &why)) {
    case TReadStatus::Ok:
      break;
    case TReadStatus::Missing:
      state.Result = TCfgLoadResult::Missing;
      return Defaulted(rec, exeDir, state.Result);
    case TReadStatus::Unusable: {
      // Only a regular file (one we may not read) is ours to move; a FIFO, a folder or a link
      // loop is somebody's doing and stays exactly as it is.
      struct stat st {};
      const bool regular = ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
      return Unusable(path, rec, exeDir, state, TCfgLoadResult::Unreadable,
                      regular ? "it cannot be read: " + why : why, regular);
    }
  }
  if (bytes.size() != kCfgSize)
    return Unusable(path, rec, exeDir, state, TCfgLoadResult::Unreadable,
                    "it holds " + std::to_string(bytes.size()) + " bytes, not the " +
                        std::to_string(kCfgSize) + " of a settings record",
                    true);
  TCfgImage image{};
  std::copy(bytes.begin(), bytes.end(), image.begin());
  ScrambleCfg(image);
  if (GetU16(image, cfgoff::Version) != kCfgVersion)
    return Unusable(path, rec, exeDir, state, TCfgLoadResult::BadVersion,
                    "it is not a settings record of this version (version " +
                        std::to_string(GetU16(image, cfgoff::Version)) + ", expected " +
                        std::to_string(kCfgVersion) + ")",
                    true);
  rec = DecodeCfg(image);
  state.Result = TCfgLoadResult::Loaded;
  return state.Result;
}

void SaveCfgFile(const std::string& path, TCfgRec& rec) {
  TCfgFileState state;
  SaveCfgFile(path, rec, state);
}

void SaveCfgFile(const std::string& path, TCfgRec& rec, TCfgFileState& state) {
  const std::string target = ResolveLinks(path, "settings file");
  struct stat st {};
  if (::stat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
    throw std::runtime_error("Cannot save the settings file \"" + path +
                             "\": it is not a regular file; it was left as it is.");
  if (state.KeepAside) {
    state.AsidePath = MoveAside(target, "unused", "unusable settings file");
    state.KeepAside = false;
  }
  rec.Version = kCfgVersion;
  const TCfgImage image = EncodeCfg(rec);
  TCfgImage disk = image;
  ScrambleCfg(disk);
  WriteFileAtomically(target, disk, kPrivateFileMode, "settings file");
  rec.Stored = image;
}

void LoadCfg() {
  LoadCfgFile(DataDir + "ZUL.cfg", Cfg, ExeDir, CfgFileState);
}

void SaveCfg() {
  if (!DataDir.empty()) MakePrivateDir(DataDir, "settings folder");
  SaveCfgFile(DataDir + "ZUL.cfg", Cfg, CfgFileState);
}

std::string TakeCfgNotice() {
  return std::exchange(CfgFileState.Notice, std::string());
}

}  // namespace zul
