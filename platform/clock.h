// The one clock of the library. Every read of the current time (wall clock in ms, local
// calendar time, the millisecond tick counter) goes through it. By default it follows the
// system; tests and the simulated recorder switch it to a manual clock that they advance
// themselves. Sleeps stay real either way.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <mutex>

#include "platform/thread_annotations.h"

namespace platform {

class Clock {
 public:
  // Wall clock in milliseconds since 1970-01-01 UTC. The system clock's path is inline and takes
  // no lock: every frame a FIFO takes reads the time.
  int64_t NowMs() const {
    if (!manualOn_.load(std::memory_order_acquire)) return SystemNowMs();
    return ManualNowMs();
  }
  // Milliseconds from an arbitrary start; never goes backwards on the system clock.
  uint64_t TickMs() const;
  // Local calendar time (the process's TZ) of a time in seconds since 1970.
  static struct tm LocalTime(int64_t seconds);
  // Seconds since 1970 of local calendar fields (mktime); -1 when they cannot be converted.
  static int64_t MakeTime(struct tm fields);

  // Manual clock: while on, NowMs() is the value set here and moves only by Advance().
  void SetManual(bool on, int64_t nowMs);
  void Advance(int64_t ms);
  bool IsManual() const;

 private:
  static int64_t SystemNowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
  }
  int64_t ManualNowMs() const;

  mutable std::mutex mutex_;
  bool manual_ QVFS_GUARDED_BY(mutex_) = false;
  // manual_ as the readers of the time see it first, without the lock: a read of the system
  // clock takes no lock. Written under the lock together with manual_.
  std::atomic<bool> manualOn_{false};
  int64_t manualNowMs_ QVFS_GUARDED_BY(mutex_) = 0;
  // Tick value while manual: starts from the real tick at the switch so it never jumps back.
  uint64_t manualTickMs_ QVFS_GUARDED_BY(mutex_) = 0;
};

// Sleeps the calling thread for real, whatever the clock says; with a sleep hook set, calls the
// hook instead.
void SleepMs(uint32_t ms);
// Replaces every sleep of the library by a call to hook (null: real sleeps again). The fuzz
// targets count the time an input would wait rather than wait it.
using SleepHook = void (*)(uint32_t ms);
void SetSleepHook(SleepHook hook);

}  // namespace platform
