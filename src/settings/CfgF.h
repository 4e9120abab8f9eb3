// The settings record and its file "ZUL.cfg": a fixed 344-byte little-endian image whose first
// byte is scrambled. Qt-free so that it is tested without a display.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace zul {

inline constexpr std::size_t kCfgSize = 344;
inline constexpr uint16_t kCfgVersion = 2009;
inline constexpr std::array<uint8_t, 6> CfgKey = {0x5A, 0xC3, 0x19, 0xE4, 0x70, 0x2D};
inline constexpr std::size_t kSoundFileMax = 200;

using TCfgImage = std::array<uint8_t, kCfgSize>;

struct TCfgRect {
  int32_t Left = 0;
  int32_t Top = 0;
  int32_t Right = 0;
  int32_t Bottom = 0;
  bool IsZero() const { return Left == 0 && Top == 0 && Right == 0 && Bottom == 0; }
  bool operator==(const TCfgRect&) const = default;
};

// Byte offsets of the fields inside the file image.
namespace cfgoff {
inline constexpr std::size_t Version = 0, OnTop = 2, ShowCaption = 3, StartMinimized = 4,
                             ShowAverage = 5, Transparent = 6, VisiblePercent = 8, DisplayMode = 10,
                             RateUnit = 12, AllInterfaces = 14, InterfaceIndex = 16, GridLines = 18,
                             ShowMaxValue = 19, GridPeriod = 20, ColorDownload = 24,
                             ColorUpload = 28, ColorBoth = 32, ColorIdle = 36, Connection = 40,
                             CustomKbps = 44, CustomPlus = 48, NotifyEnabled = 50,
                             NotifyCondition = 52, NotifyAmount = 56, NotifyUnit = 60,
                             NotifyTarget = 62, NotifyTime = 64, NotifyTimeUnit = 66,
                             PlaySound = 68, DisplayMessage = 69, SoundFile = 70, TrayView = 272,
                             WindowVisible = 274, WindowRect = 278, End = 344;
}  // namespace cfgoff

// The decoded record. Field names are those the whole program reads. Colours are 0x00BBGGRR.
// `Stored` keeps the image the record was decoded from, so reserved bytes survive a save.
struct TCfgRec {
  uint16_t Version = 0;
  bool OnTop = false;
  bool ShowCaption = false;
  bool StartMinimized = false;
  bool ShowAverage = false;
  bool Transparent = false;
  uint16_t VisiblePercent = 0;
  uint16_t DisplayMode = 0;
  uint16_t RateUnit = 0;
  bool AllInterfaces = false;
  uint16_t InterfaceIndex = 0;
  bool GridLines = false;
  bool ShowMaxValue = false;
  uint16_t GridPeriod = 0;
  uint32_t ColorDownload = 0;
  uint32_t ColorUpload = 0;
  uint32_t ColorBoth = 0;
  uint32_t ColorIdle = 0;
  uint16_t Connection = 0;
  int32_t CustomKbps = 0;
  uint16_t CustomPlus = 0;
  bool NotifyEnabled = false;
  uint16_t NotifyCondition = 0;
  uint32_t NotifyAmount = 0;
  uint16_t NotifyUnit = 0;
  uint16_t NotifyTarget = 0;
  uint16_t NotifyTime = 0;
  uint16_t NotifyTimeUnit = 0;
  bool PlaySound = false;
  bool DisplayMessage = false;
  // At most 200 bytes in the ANSI code page (kept as bytes; Latin-1 on the way to the screen).
  std::string SoundFile;
  uint16_t TrayView = 0;
  std::array<bool, 4> WindowVisible{};
  std::array<TCfgRect, 4> WindowRect{};

  TCfgImage Stored{};
};

// The one settings record; main thread only.
extern TCfgRec Cfg;

// Image <-> record, byte by byte. Decoding never fails: any non-zero byte is true and a length
// byte above 200 counts as 200. Encoding starts from `Stored` and overwrites every field.
TCfgRec DecodeCfg(const TCfgImage& image);
TCfgImage EncodeCfg(const TCfgRec& rec);

// The scrambling step, its own inverse; changes only byte 0.
void ScrambleCfg(TCfgImage& image);

// Every field set to its default; `Stored` untouched. The sound file defaults to
// ExeDir + "Alert.wav", cut to 200 bytes.
void SetDefaultCfg(TCfgRec& rec, const std::string& exeDir);

enum class TCfgLoadResult {
  Loaded,      // the file's record
  Missing,     // no file: defaults
  Unreadable,  // exists but cannot be opened, not a regular file, or short: defaults, file kept
  BadVersion,  // another version (or no settings record at all): defaults, file kept
};

// What a load found at the settings path, carried to the start-up's notice and the next save.
// A file that is there but cannot be used is never deleted and never overwritten: a regular one
// is renamed aside ("ZUL.cfg.unused-YYYYMMDD-HHMMSS") just before the first save writes a new
// record; anything else (a FIFO, a folder, a link loop) is left alone and the save refuses it.
struct TCfgFileState {
  TCfgLoadResult Result = TCfgLoadResult::Missing;
  std::string Notice;      // for the user, once; empty when the file was loaded or missing
  bool KeepAside = false;  // rename the unusable file aside before the next save
  std::string AsidePath;   // where it went, once the save moved it
};

// Fills `rec` from `path`, or with the defaults. Never throws and never changes the disk.
TCfgLoadResult LoadCfgFile(const std::string& path, TCfgRec& rec, const std::string& exeDir);
TCfgLoadResult LoadCfgFile(const std::string& path, TCfgRec& rec, const std::string& exeDir,
                           TCfgFileState& state);

// Writes `rec` (Version set to 2009) to `path`, replacing the file atomically; `Stored` then
// holds the image written. The record in memory stays unscrambled. A symbolic link at `path` is
// written through: its target is replaced, in the target's folder, and the link stays. A path
// that is not a regular file is refused. With `state`, an unusable file found by the load is
// renamed aside first; when that fails nothing is written.
// Throws std::runtime_error with a readable message on failure; the old file is then intact.
void SaveCfgFile(const std::string& path, TCfgRec& rec);
void SaveCfgFile(const std::string& path, TCfgRec& rec, TCfgFileState& state);

// The program's own operations on `Cfg` at DataDir + "ZUL.cfg". SaveCfg creates DataDir when
// it is missing and throws std::runtime_error on failure; LoadCfg never throws.
void LoadCfg();
void SaveCfg();
// What LoadCfg has to tell the user about the file it could not use; empty afterwards.
std::string TakeCfgNotice();

// The record keeps whatever the file held; users of an index field check its range here.
// `value` when it is below `count`, otherwise `fallback`.
inline int CfgIndexOr(uint16_t value, int count, int fallback) {
  return value < count ? static_cast<int>(value) : fallback;
}
// Opacity in percent, kept to the range the graph windows accept (10..90).
inline uint16_t ClampVisiblePercent(uint16_t percent) {
  return percent < 10 ? uint16_t{10} : percent > 90 ? uint16_t{90} : percent;
}

}  // namespace zul
