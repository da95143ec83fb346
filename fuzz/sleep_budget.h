// The library's sleeps, counted instead of slept. A fuzz input runs at full speed, and one that
// asks for more waiting in all than the budget (a stall a user would see as a hang, such as a
// reader waiting out its timeout for a frame that never comes whole) stops the run as a finding,
// with the sleeping caller's stack.
#pragma once

#include <cstdint>

namespace fuzz {

// Installs the counting sleep for the rest of the process; target names the findings.
void InstallSleepBudget(const char* target, uint32_t budgetMs = 3000);
// Starts the count of a new input.
void NewInput();

}  // namespace fuzz
