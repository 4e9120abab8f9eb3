#include "display/SoundFile.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace zul {
namespace {

// Enough for a WAVE header behind the usual list and fact chunks.
constexpr std::size_t kHeadBytes = 4096;

uint32_t Le32(const std::vector<uint8_t>& b, std::size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
         uint32_t(b[at + 3]) << 24;
}

uint16_t Le16(const std::vector<uint8_t>& b, std::size_t at) {
  return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}

bool Tag(const std::vector<uint8_t>& b, std::size_t at, const char* tag) {
  const std::size_t n = std::strlen(tag);
  return b.size() >= at + n && std::memcmp(b.data() + at, tag, n) == 0;
}

// The format block of a RIFF WAVE file must be there and describe sound: a known coding, a
// channel count, a rate and a sample size that players accept.
bool WaveFormatUsable(const std::vector<uint8_t>& b) {
  std::size_t at = 12;
  while (at + 8 <= b.size()) {
    const uint32_t size = Le32(b, at + 4);
    if (Tag(b, at, "fmt ")) {
      if (size < 16 || at + 8 + 16 > b.size()) return false;
      const std::size_t f = at + 8;
      const uint16_t coding = Le16(b, f);
      const uint16_t channels = Le16(b, f + 2);
      const uint32_t rate = Le32(b, f + 4);
      const uint16_t bits = Le16(b, f + 14);
      // PCM, ADPCM, float, A-law, mu-law, IMA ADPCM, MPEG layer 3, extensible.
      constexpr uint16_t codings[] = {1, 2, 3, 6, 7, 0x11, 0x55, 0xFFFE};
      bool known = false;
      for (uint16_t c : codings) known = known || c == coding;
      return known && channels >= 1 && channels <= 32 && rate >= 1 && rate <= 768000 &&
             bits <= 64 && (bits > 0 || coding == 0x55);
    }
    // Chunks are padded to an even size.
    at += 8 + static_cast<std::size_t>(size) + (size & 1);
  }
  return false;
}

bool MpegAudioFrame(const std::vector<uint8_t>& b) {
  if (b.size() < 4 || b[0] != 0xFF || (b[1] & 0xE0) != 0xE0) return false;
  const int version = (b[1] >> 3) & 3;
  const int layer = (b[1] >> 1) & 3;
  const int bitrate = b[2] >> 4;
  const int rate = (b[2] >> 2) & 3;
  return version != 1 && layer != 0 && bitrate != 15 && rate != 3;
}

}  // namespace

const char* SoundFormatName(TSoundFormat format) {
  switch (format) {
    case TSoundFormat::Wave:
      return "WAVE";
    case TSoundFormat::Mp3:
      return "MP3";
    case TSoundFormat::Ogg:
      return "Ogg";
    case TSoundFormat::Flac:
      return "FLAC";
    case TSoundFormat::Mpeg4Audio:
      return "MPEG-4 audio";
    case TSoundFormat::Aac:
      return "AAC";
    case TSoundFormat::Wma:
      return "Windows Media audio";
    case TSoundFormat::Matroska:
      return "Matroska";
    case TSoundFormat::Unknown:
      break;
  }
  return "unknown";
}

TSoundFormat SniffSoundFormat(const std::vector<uint8_t>& b) {
  if (Tag(b, 0, "RIFF") && Tag(b, 8, "WAVE"))
    return WaveFormatUsable(b) ? TSoundFormat::Wave : TSoundFormat::Unknown;
  if (Tag(b, 0, "ID3") && b.size() >= 10 && b[3] != 0xFF) return TSoundFormat::Mp3;
  if (MpegAudioFrame(b)) return TSoundFormat::Mp3;
  if (b.size() >= 4 && b[0] == 0xFF && (b[1] & 0xF6) == 0xF0) return TSoundFormat::Aac;
  if (Tag(b, 0, "OggS")) return TSoundFormat::Ogg;
  if (Tag(b, 0, "fLaC")) return TSoundFormat::Flac;
  if (Tag(b, 4, "ftyp")) return TSoundFormat::Mpeg4Audio;
  static const uint8_t asf[] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
  if (b.size() >= sizeof asf && std::memcmp(b.data(), asf, sizeof asf) == 0)
    return TSoundFormat::Wma;
  if (b.size() >= 4 && b[0] == 0x1A && b[1] == 0x45 && b[2] == 0xDF && b[3] == 0xA3)
    return TSoundFormat::Matroska;
  return TSoundFormat::Unknown;
}

TSoundCheck CheckSoundFile(const std::string& path) {
  TSoundCheck check;
  const std::string quoted = "\"" + path + "\"";
  if (path.empty()) {
    check.Problem = "No sound file is chosen.";
    return check;
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    check.Problem = errno == ENOENT ? "The sound file " + quoted + " does not exist."
                                    : "The sound file " + quoted +
                                          " cannot be opened: " + std::strerror(errno) + ".";
    return check;
  }
  if (S_ISDIR(st.st_mode)) {
    check.Problem = quoted + " is a folder, not a sound file.";
    return check;
  }
  std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!f) {
    check.Problem = "The sound file " + quoted + " cannot be opened: " + std::strerror(errno) + ".";
    return check;
  }
  std::vector<uint8_t> head(kHeadBytes);
  head.resize(std::fread(head.data(), 1, head.size(), f.get()));
  if (std::ferror(f.get())) {
    check.Problem = "The sound file " + quoted + " cannot be read.";
    return check;
  }
  check.Format = SniffSoundFormat(head);
  if (check.Format == TSoundFormat::Unknown)
    check.Problem = "The file " + quoted + " is not a sound file that can be played.";
  return check;
}

std::vector<uint8_t> MakeWave(const std::vector<int16_t>& samples, uint32_t sampleRate) {
  const auto dataBytes = static_cast<uint32_t>(samples.size() * 2);
  std::vector<uint8_t> out(44 + static_cast<std::size_t>(dataBytes));
  std::size_t at = 0;
  auto tag = [&](const char* t) {
    for (int i = 0; i < 4; ++i) out[at++] = static_cast<uint8_t>(t[i]);
  };
  auto le = [&](uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out[at++] = static_cast<uint8_t>(v >> (8 * i));
  };
  tag("RIFF");
  le(36 + dataBytes, 4);
  tag("WAVE");
  tag("fmt ");
  le(16, 4);
  le(1, 2);  // PCM
  le(1, 2);  // mono
  le(sampleRate, 4);
  le(sampleRate * 2, 4);
  le(2, 2);
  le(16, 2);
  tag("data");
  le(dataBytes, 4);
  for (int16_t s : samples) le(static_cast<uint16_t>(s), 2);
  return out;
}

}  // namespace zul
