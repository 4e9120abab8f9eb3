// The autostart entry's reader on any file, and the Exec value the program writes for any path
// read back to that path.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "FuzzKit.h"
#include "platform/Autostart.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace zul;
  using zulfuzz::Check;
  const std::string text(reinterpret_cast<const char*>(data), size);

  // The file and the text read alike; a file too long to be ours starts nothing.
  std::string program;
  if (const std::optional<std::string> exec = ExecOfDesktopText(text)) {
    program = ProgramOfExec(*exec);
    Check(exec->find('\n') == std::string::npos, "an Exec value runs over its line");
  }
  const TAutostartEntry entry = ReadAutostart(zulfuzz::WriteScratch("TFZUL.desktop", data, size));
  Check(entry.Exists, "a written entry does not exist");
  Check(entry.Program == (size <= kAutostartMaxBytes ? program : std::string()),
        "the file read otherwise than its text");

  // Any path, blanks, quotes, escapes and field codes included, comes back from its entry.
  const std::string value = ExecValueFor(text);
  Check(ProgramOfExec(value) == text, "a path does not come back from its Exec value");
  const std::string written = zulfuzz::ScratchDir() + "/autostart/TFZUL.desktop";
  WriteAutostart(written, text);
  const TAutostartEntry back = ReadAutostart(written);
  const bool tooLong = std::filesystem::file_size(written) > kAutostartMaxBytes;
  Check(back.Exists && back.Program == (tooLong ? std::string() : text),
        "a written entry does not start its path");
  return 0;
}
