#include "platform/clock.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace platform {

namespace {
uint64_t RealTickMs() {
  using namespace std::chrono;
  return static_cast<uint64_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}
}  // namespace

int64_t Clock::ManualNowMs() const {
  {
    std::lock_guard<std::mutex> g(mutex_);
    if (manual_) return manualNowMs_;
  }
  return SystemNowMs();  // switched off meanwhile
}

uint64_t Clock::TickMs() const {
  if (manualOn_.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> g(mutex_);
    if (manual_) return manualTickMs_;
  }
  return RealTickMs();
}

struct tm Clock::LocalTime(int64_t seconds) {
  struct tm out {};
  time_t t = static_cast<time_t>(seconds);
  localtime_r(&t, &out);
  return out;
}

int64_t Clock::MakeTime(struct tm fields) {
  fields.tm_isdst = -1;
  return static_cast<int64_t>(mktime(&fields));
}

void Clock::SetManual(bool on, int64_t nowMs) {
  uint64_t tick = RealTickMs();
  std::lock_guard<std::mutex> g(mutex_);
  if (on && !manual_) manualTickMs_ = tick;
  manual_ = on;
  manualNowMs_ = nowMs;
  manualOn_.store(on, std::memory_order_release);
}

void Clock::Advance(int64_t ms) {
  std::lock_guard<std::mutex> g(mutex_);
  if (!manual_ || ms <= 0) return;
  manualNowMs_ += ms;
  manualTickMs_ += static_cast<uint64_t>(ms);
}

bool Clock::IsManual() const {
  std::lock_guard<std::mutex> g(mutex_);
  return manual_;
}

namespace {
std::atomic<SleepHook> g_sleepHook{nullptr};
}  // namespace

void SleepMs(uint32_t ms) {
  if (SleepHook hook = g_sleepHook.load()) return hook(ms);
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void SetSleepHook(SleepHook hook) { g_sleepHook = hook; }

}  // namespace platform
