// What can be told about a sound file before a player is given it: whether it is there, can be
// read, and starts like a kind of audio that players decode. Qt-free.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zul {

enum class TSoundFormat { Unknown, Wave, Mp3, Ogg, Flac, Mpeg4Audio, Aac, Wma, Matroska };

// The format's name for messages ("WAVE", "MP3"...).
const char* SoundFormatName(TSoundFormat format);

// The kind of audio the first bytes of a file announce; Unknown for anything else, including a
// WAVE header whose format block is missing, cut off or describes no sound.
TSoundFormat SniffSoundFormat(const std::vector<uint8_t>& head);

struct TSoundCheck {
  TSoundFormat Format = TSoundFormat::Unknown;
  // Empty when the file can be handed to a player; otherwise a text for the user.
  std::string Problem;
};

// Opens the file and reads its start.
TSoundCheck CheckSoundFile(const std::string& path);

// A complete 16-bit PCM WAVE file of the given mono samples.
std::vector<uint8_t> MakeWave(const std::vector<int16_t>& samples, uint32_t sampleRate);

}  // namespace zul
