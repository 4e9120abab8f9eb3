// The program's way out, as every unit may ask for it: the exit steps themselves are installed by
// the start-up sequence, which owns them; windows and signals only ask for them.
#pragma once

#include <chrono>
#include <functional>

namespace zul {

// The exit steps are bounded one by one; this is the bound on all of them together.
inline constexpr std::chrono::seconds kExitDeadline{20};

// Installs the steps that RunExitSteps runs. Main thread only.
void SetExitSteps(std::function<void()> steps);

// Runs the installed steps once per process; later calls do nothing. Main thread only.
void RunExitSteps();

// Bounds the whole exit: once armed, the process ends with exit code 3 if it is still alive after
// the deadline, so that a hung device or disk can never keep a logout waiting. Arming twice
// changes nothing. Any thread.
void ArmExitWatchdog();

}  // namespace zul
