// What a sound file must look like before the player is given it, and the alert sound the build
// makes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "display/SoundFile.h"

namespace zul {
namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> list) {
  std::vector<uint8_t> b;
  for (int v : list) b.push_back(static_cast<uint8_t>(v));
  return b;
}

// The bytes of a literal, zeros included.
template <std::size_t N>
std::vector<uint8_t> Text(const char (&s)[N]) {
  return {s, s + N - 1};
}

// A valid wave with one of its format fields (offset from the file's start) overwritten.
std::vector<uint8_t> WaveWith(std::size_t at, std::vector<uint8_t> bytes) {
  std::vector<uint8_t> w = MakeWave(std::vector<int16_t>(100, 1000), 22050);
  for (std::size_t i = 0; i < bytes.size(); ++i) w[at + i] = bytes[i];
  return w;
}

TEST(SoundFile, FirstBytesTellTheKindOfAudio) {
  const std::vector<uint8_t> wave = MakeWave(std::vector<int16_t>(100, 1000), 22050);
  std::vector<uint8_t> afterList = Text("RIFF\x00\x00\x00\x00WAVELIST");
  afterList.insert(afterList.end(), {4, 0, 0, 0, 'I', 'N', 'F', 'O'});
  afterList.insert(afterList.end(), wave.begin() + 12, wave.end());
  const struct {
    const char* name;
    std::vector<uint8_t> head;
    TSoundFormat want;
  } cases[] = {
      {"pcm wave", wave, TSoundFormat::Wave},
      {"wave with a list chunk before its format", afterList, TSoundFormat::Wave},
      {"wave cut inside its format", {wave.begin(), wave.begin() + 30}, TSoundFormat::Unknown},
      {"wave without channels", WaveWith(22, {0, 0}), TSoundFormat::Unknown},
      {"wave of an unknown coding", WaveWith(20, {0x34, 0x12}), TSoundFormat::Unknown},
      {"mp3 with a tag", Text("ID3\x03\x00\x00\x00\x00\x00\x00"), TSoundFormat::Mp3},
      {"mp3 frame", Bytes({0xFF, 0xFB, 0x90, 0x64}), TSoundFormat::Mp3},
      {"mpeg frame of a reserved rate", Bytes({0xFF, 0xFB, 0x9C, 0x64}), TSoundFormat::Unknown},
      {"aac frame", Bytes({0xFF, 0xF1, 0x50, 0x80}), TSoundFormat::Aac},
      {"ogg", Text("OggS\x00\x02"), TSoundFormat::Ogg},
      {"flac", Text("fLaC\x00\x00\x00\x22"), TSoundFormat::Flac},
      {"text", Text("This is no sound at all.\n"), TSoundFormat::Unknown},
      {"empty", {}, TSoundFormat::Unknown},
  };
  for (const auto& c : cases) EXPECT_EQ(SniffSoundFormat(c.head), c.want) << c.name;
}

TEST(SoundFile, CheckNamesWhatIsWrongWithTheFile) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("zul-sound-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  auto write = [&](const char* name, const std::vector<uint8_t>& bytes) {
    std::ofstream(dir / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return (dir / name).string();
  };
  const std::string good = write("good.wav", MakeWave(std::vector<int16_t>(800, 0), 8000));
  const std::string text = write("notes.wav", Text("meeting at ten\n"));
  const std::string empty = write("empty.wav", {});
  const struct {
    std::string path;
    TSoundFormat format;
    const char* problem;  // a part of the text, or empty for none
  } cases[] = {
      {good, TSoundFormat::Wave, ""},
      {(dir / "missing.wav").string(), TSoundFormat::Unknown, "does not exist"},
      {text, TSoundFormat::Unknown, "is not a sound file"},
      {empty, TSoundFormat::Unknown, "is not a sound file"},
      {dir.string(), TSoundFormat::Unknown, "is a folder"},
      {"", TSoundFormat::Unknown, "No sound file"},
  };
  for (const auto& c : cases) {
    const TSoundCheck check = CheckSoundFile(c.path);
    EXPECT_EQ(check.Format, c.format) << c.path;
    if (*c.problem == '\0') {
      EXPECT_EQ(check.Problem, "") << c.path;
    } else {
      EXPECT_NE(check.Problem.find(c.problem), std::string::npos)
          << c.path << ": " << check.Problem;
      if (!c.path.empty()) {
        EXPECT_NE(check.Problem.find(c.path), std::string::npos);
      }
    }
  }
  std::filesystem::remove_all(dir);
}

TEST(SoundFile, TheBuildMakesAShortAlertNextToTheProgram) {
  std::ifstream in(ZUL_ALERT_WAV, std::ios::binary);
  ASSERT_TRUE(in) << ZUL_ALERT_WAV;
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
  ASSERT_EQ(SniffSoundFormat(bytes), TSoundFormat::Wave);
  ASSERT_GT(bytes.size(), 44u);
  const uint32_t rate = bytes[24] | bytes[25] << 8 | bytes[26] << 16 | uint32_t(bytes[27]) << 24;
  const double seconds = static_cast<double>(bytes.size() - 44) / 2 / rate;
  EXPECT_GT(seconds, 0.2);
  EXPECT_LT(seconds, 1.5) << "an alert, not a tune";
  // Loud enough to be heard, never clipped.
  int peak = 0;
  for (std::size_t i = 44; i + 1 < bytes.size(); i += 2)
    peak = std::max(peak, std::abs(static_cast<int16_t>(bytes[i] | bytes[i + 1] << 8)));
  EXPECT_GT(peak, 8000);
  EXPECT_LT(peak, 32767);
}

}  // namespace
}  // namespace zul
