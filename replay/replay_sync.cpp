#include "replay/replay_sync.h"

#include <algorithm>

#include "platform/clock.h"
#include "platform/platform_context.h"

namespace {
constexpr int kBadChannel = -101;
constexpr int kModeNormal = 16, kModeFast = 128, kModeBack = 256, kModeFrame = 512;
constexpr int64_t kFixedDelayMs = 40;
constexpr int64_t kMaxDelayMs = 1000;
}  // namespace

void ReplaySync::SetModeAndSpeed(int mode, int speed) {
  CAutoLock g(&lock_);
  mode_ = mode;
  speed_ = speed;
}

void ReplaySync::SetChannelCount(int n) {
  CAutoLock g(&lock_);
  channelCount_ = n;
}

int ReplaySync::mode() {
  CAutoLock g(&lock_);
  return mode_;
}

int ReplaySync::speed() {
  CAutoLock g(&lock_);
  return speed_;
}

int64_t ReplaySync::Wait(int ch, int64_t t) {
  if (ch < 0 || ch >= kChannels) return kBadChannel;
  int64_t delay;
  {
    CAutoLock g(&lock_);
    Entry& e = entries_[static_cast<size_t>(ch)];
    const int64_t now = platform::TheClock().NowMs();
    if (e.wallMs == 0) {
      // Nothing paced before on this channel: there is no gap to keep yet.
      e = Entry{true, t, now};
      return 0;
    }
    const uint64_t gap = t > e.lastMs ? static_cast<uint64_t>(t) - static_cast<uint64_t>(e.lastMs)
                                      : static_cast<uint64_t>(e.lastMs) - static_cast<uint64_t>(t);
    delay = static_cast<int64_t>(std::min<uint64_t>(gap, INT64_MAX));
    if (mode_ == kModeFast || mode_ == kModeBack) delay /= std::max(speed_, 1);
    else if (mode_ != kModeNormal) delay = kFixedDelayMs;
    delay = std::min(delay, mode_ == kModeFrame ? kFixedDelayMs : kMaxDelayMs);
    // The time the consumer spent since its last wait counts towards the gap; a consumer that
    // is already late is not slowed further.
    const int64_t elapsed = now - e.wallMs;
    delay = elapsed < delay ? delay - std::max<int64_t>(elapsed, 0) : 0;
    e.inUse = true;
    e.lastMs = t;
    e.wallMs = now + delay;
  }
  platform::SleepMs(static_cast<uint32_t>(delay));
  return delay;
}

int ReplaySync::SetReference(int ch, int64_t t) {
  if (ch < 0 || ch >= kChannels) return kBadChannel;
  CAutoLock g(&lock_);
  entries_[static_cast<size_t>(ch)] = Entry{true, t, platform::TheClock().NowMs()};
  return 0;
}
