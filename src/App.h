// The program's start-up sequence and its way out.
#pragma once

namespace zul {

// Runs the program; returns its exit code.
int RunZul(int argc, char** argv);

// The session is ending (a signal or the desktop's session manager): quit as the exit command does.
void EndSession();

}  // namespace zul
