#include "fuzz/sleep_budget.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "platform/clock.h"

namespace fuzz {

namespace {
const char* g_target = "fuzz";
uint32_t g_budgetMs = 0;
// Sleeps may come from a backup thread as well as from the input's own.
std::atomic<uint64_t> g_sleptMs{0};

void CountSleep(uint32_t ms) {
  const uint64_t total = g_sleptMs += ms;
  if (total <= g_budgetMs) return;
  std::fprintf(stderr, "%s: stall: the input asked for %llu ms of sleeps (budget %u ms)\n",
               g_target, static_cast<unsigned long long>(total), g_budgetMs);
  std::abort();
}
}  // namespace

void InstallSleepBudget(const char* target, uint32_t budgetMs) {
  g_target = target;
  g_budgetMs = budgetMs;
  platform::SetSleepHook(CountSleep);
}

void NewInput() { g_sleptMs = 0; }

}  // namespace fuzz
