// Writes the program's default alert sound, a short rising two-tone chime, as a WAVE file.
// Run by the build: zul_make_alert <output file>.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numbers>
#include <vector>

#include "display/SoundFile.h"

namespace {

constexpr uint32_t kRate = 22050;

// One tone with a quick rise and an exponential decay, so that it neither clicks nor drones.
void AddTone(std::vector<int16_t>& out, double hz, double seconds, double gain) {
  const auto n = static_cast<std::size_t>(seconds * kRate);
  const double attack = 0.004 * kRate;
  for (std::size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / kRate;
    const double rise = std::min(1.0, static_cast<double>(i) / attack);
    const double fall = std::exp(-5.0 * t / seconds);
    // The fundamental with a little of its octave makes it sound like a bell, not a beep.
    const double wave =
        std::sin(2 * std::numbers::pi * hz * t) + 0.3 * std::sin(2 * std::numbers::pi * 2 * hz * t);
    out.push_back(static_cast<int16_t>(std::lround(32767.0 * gain * rise * fall * wave / 1.3)));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <output.wav>\n", argv[0]);
    return 2;
  }
  std::vector<int16_t> samples;
  AddTone(samples, 880.0, 0.16, 0.6);
  AddTone(samples, 1318.5, 0.32, 0.6);
  const std::vector<uint8_t> wave = zul::MakeWave(samples, kRate);
  FILE* f = std::fopen(argv[1], "wb");
  if (f == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  const bool ok = std::fwrite(wave.data(), 1, wave.size(), f) == wave.size();
  if (std::fclose(f) != 0 || !ok) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
