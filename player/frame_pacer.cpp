#include "player/frame_pacer.h"

#include <chrono>
#include <cstdlib>
#include <thread>

namespace player {

namespace {

FramePacer::Timing SystemTiming() {
  FramePacer::Timing t;
  // A steady clock: pacing measures gaps, and the wall clock may be set back meanwhile.
  t.nowMs = [] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  };
  t.sleepMs = [](int64_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
  return t;
}

constexpr auto kHoldStep = std::chrono::milliseconds(500);

}  // namespace

FramePacer::FramePacer() : FramePacer(SystemTiming()) {}
FramePacer::FramePacer(Timing timing) : timing_(std::move(timing)) {}

void FramePacer::SetTiming(Timing timing) {
  std::lock_guard<std::mutex> g(lock_);
  timing_ = std::move(timing);
}

void FramePacer::SetType(int type, int speed) {
  std::lock_guard<std::mutex> g(lock_);
  type_ = type;
  speed_ = speed < 1 ? 1 : speed;
  if (type_ != kPaceSingle) {
    hold_ = false;
    steps_ = 0;
  }
  held_.notify_all();
}

int FramePacer::type() const {
  std::lock_guard<std::mutex> g(lock_);
  return type_;
}

int FramePacer::speed() const {
  std::lock_guard<std::mutex> g(lock_);
  return speed_;
}

void FramePacer::SetHold(bool hold) {
  std::lock_guard<std::mutex> g(lock_);
  if (hold && !hold_) steps_ = 0;
  if (!hold) steps_ = 0;
  hold_ = hold;
  held_.notify_all();
}

bool FramePacer::hold() const {
  std::lock_guard<std::mutex> g(lock_);
  return hold_ && steps_ == 0;
}

void FramePacer::StepFrame() {
  std::lock_guard<std::mutex> g(lock_);
  if (!hold_) return;
  ++steps_;
  held_.notify_all();
}

bool FramePacer::WaitIdle(int64_t timeoutMs) {
  std::unique_lock<std::mutex> g(lock_);
  return idle_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return pacing_ == 0; });
}

void FramePacer::Restart() {
  std::lock_guard<std::mutex> g(lock_);
  for (Slot& s : slots_) s = Slot{};
}

void FramePacer::Cancel() {
  std::lock_guard<std::mutex> g(lock_);
  cancelled_ = true;
  held_.notify_all();
}

int64_t FramePacer::TypeDelay(int type, int speed, int64_t d) {
  const int64_t s = speed < 1 ? 1 : speed;
  switch (type) {
    case kPaceNormal:
      return d;
    case kPaceSingle:
      return 0;
    case kPaceSlow:
      return d * s;
    case kPaceFast:
    case kPaceBack:
      return d / s;
    default:
      return 40;
  }
}

int64_t FramePacer::Pace(int64_t pts, int channel) {
  if (channel < 0 || channel >= kChannels) return -1;
  std::unique_lock<std::mutex> g(lock_);
  ++pacing_;
  int64_t delay = 0;
  Slot& slot = slots_[channel];
  if (type_ == kPaceSingle) {
    // The frame waits for its step with the lock released: StepFrame and the mode changes
    // need it to let the frame go.
    while (hold_ && steps_ == 0 && !cancelled_) held_.wait_for(g, kHoldStep);
    if (hold_ && steps_ > 0) --steps_;
  } else {
    int64_t d = slot.releasedMs == 0 ? 0 : TypeDelay(type_, speed_, std::llabs(pts - slot.lastPts));
    if (d > kMaxDelayMs) d = kMaxDelayMs;
    // Time already spent since the previous release (taking and decoding this frame) counts;
    // a frame that is late already goes at once instead of falling further behind.
    const int64_t elapsed = slot.releasedMs == 0 ? d : timing_.nowMs() - slot.releasedMs;
    delay = elapsed < d ? d - elapsed : 0;
    if (delay > 0) {
      g.unlock();
      timing_.sleepMs(delay);
      g.lock();
    }
  }
  slot.lastPts = pts;
  slot.releasedMs = timing_.nowMs();
  if (slot.releasedMs == 0) slot.releasedMs = 1;
  --pacing_;
  idle_.notify_all();
  return delay;
}

}  // namespace player
