// The program's start-up sequence and its way out.
#pragma once

namespace zul {

// Runs the program; returns its exit code.
int RunZul(int argc, char** argv);

// The exit steps, in their order: stop capture, write the running totals, record the window set.
// Each runs even when an earlier one failed; failures are reported. Installed with SetExitSteps.
void ExitSteps();

// The session is ending (a signal or the desktop's session manager): quit as the exit command does.
void EndSession();

}  // namespace zul
