// The program's log: one line on standard error per event, each with the program's name in
// front, written in one piece so that lines of several threads never interleave. No Qt.
#pragma once

#include <string>
#include <string_view>

namespace zul {

// The name in front of every line ("zul" unless set); set once at start.
void SetLogName(std::string_view name);
// Writes "NAME: text" and a line end, the text's own line ends folded to spaces.
void LogLine(std::string_view text);

}  // namespace zul
