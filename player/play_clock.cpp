#include "player/play_clock.h"

#include <chrono>
#include <cmath>

#include "record/record_reader.h"

namespace player {

PlayClock::PlayClock() : anchorSteady_(SteadyMs()) {}

int64_t PlayClock::SteadyMs() {
  // A steady clock: the wall clock may be set back while a recording plays.
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int64_t PlayClock::RateLocked() const {
  if (paused_) return 0;
  switch (mode_) {
    case kModeNormal:
      return 1000;
    case kModeSlow:
      return 1000 / speed_;
    case kModeFast:
      return 1000 * int64_t{speed_};
    case kModeBack:
      return -1000 * int64_t{speed_};
    default:  // single frame and pause: the clock moves by steps only
      return 0;
  }
}

int64_t PlayClock::NowLocked(int64_t steady) const {
  return anchorMs_ + (steady - anchorSteady_) * RateLocked() / 1000;
}

void PlayClock::Reanchor() {
  const int64_t steady = SteadyMs();
  anchorMs_ = NowLocked(steady);
  anchorSteady_ = steady;
}

int64_t PlayClock::Now() const {
  std::lock_guard<std::mutex> g(lock_);
  return NowLocked(SteadyMs());
}

void PlayClock::SetMode(int mode, int speed) {
  std::lock_guard<std::mutex> g(lock_);
  Reanchor();
  mode_ = mode;
  speed_ = speed < 1 ? 1 : speed;
  ++generation_;
  ++changes_;
  changed_.notify_all();
}

int PlayClock::mode() const {
  std::lock_guard<std::mutex> g(lock_);
  return mode_;
}

int PlayClock::speed() const {
  std::lock_guard<std::mutex> g(lock_);
  return speed_;
}

void PlayClock::SetPaused(bool paused) {
  std::lock_guard<std::mutex> g(lock_);
  Reanchor();
  paused_ = paused;
  ++changes_;
  changed_.notify_all();
}

bool PlayClock::paused() const {
  std::lock_guard<std::mutex> g(lock_);
  return paused_;
}

void PlayClock::Seek(int64_t t) {
  std::lock_guard<std::mutex> g(lock_);
  anchorMs_ = t;
  anchorSteady_ = SteadyMs();
  ++generation_;
  ++changes_;
  changed_.notify_all();
}

void PlayClock::Step() {
  std::lock_guard<std::mutex> g(lock_);
  Reanchor();
  anchorMs_ += mode_ == kModeBack ? -kFrameIntervalMs : kFrameIntervalMs;
  ++changes_;
  changed_.notify_all();
}

uint64_t PlayClock::generation() const {
  std::lock_guard<std::mutex> g(lock_);
  return generation_;
}

bool PlayClock::backward() const {
  std::lock_guard<std::mutex> g(lock_);
  return mode_ == kModeBack;
}

int64_t PlayClock::rateMilli() const {
  std::lock_guard<std::mutex> g(lock_);
  return RateLocked();
}

PlayClock::WaitResult PlayClock::WaitFor(int64_t t, uint64_t gen, int64_t maxWaitMs) {
  const int64_t deadline = SteadyMs() + (maxWaitMs > 0 ? maxWaitMs : 0);
  std::unique_lock<std::mutex> g(lock_);
  // Each pass either returns or sleeps until the time due, a change or the deadline: the
  // deadline bounds the loop.
  for (;;) {
    if (cancelled_) return kCancelled;
    if (generation_ != gen) return kChanged;
    const int64_t steady = SteadyMs();
    const int64_t now = NowLocked(steady);
    const bool back = mode_ == kModeBack;
    if (back ? now <= t : now >= t) return kReached;
    if (steady >= deadline) return kTimedOut;
    const int64_t rate = RateLocked();
    int64_t sleep = deadline - steady;
    if (rate != 0) {
      // Real milliseconds until the clock gets there, rounded up; in floating point, as a wait
      // for a time that never comes is a distance near 2^63.
      const double distance = back ? static_cast<double>(now) - static_cast<double>(t)
                                   : static_cast<double>(t) - static_cast<double>(now);
      const double speed = static_cast<double>(rate < 0 ? -rate : rate);
      const double due = std::ceil(distance * 1000.0 / speed);
      if (due < static_cast<double>(sleep)) sleep = static_cast<int64_t>(due);
    }
    const uint64_t changes = changes_;
    changed_.wait_for(g, std::chrono::milliseconds(sleep < 1 ? 1 : sleep),
                      [&] { return changes_ != changes || cancelled_; });
  }
}

void PlayClock::Cancel() {
  std::lock_guard<std::mutex> g(lock_);
  cancelled_ = true;
  changed_.notify_all();
}

void PlayClock::Reset() {
  std::lock_guard<std::mutex> g(lock_);
  cancelled_ = false;
}

}  // namespace player
