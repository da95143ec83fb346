// The player's frame pacer: each video window releases its frames at the pace of their time
// stamps, against its own previous frame (channels are not aligned with each other). The
// display type follows the play mode: normal, single frame (one frame per step), slow (the
// gap times the speed), fast forward and backward (the gap divided by the speed).
//
// Lock rule: lock_ guards the per-channel slots, the type, the speed and the hold flag. A frame
// held in single-frame mode waits on held_ with lock_ released, so StepFrame and the mode
// changes can always take it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace player {

enum PaceType : int {
  kPaceNormal = 0,
  kPaceSingle = 1,
  kPaceSlow = 2,
  kPaceFast = 3,
  kPaceBack = 4,
};

class FramePacer {
 public:
  static constexpr int kChannels = 16;
  static constexpr int64_t kMaxDelayMs = 1000;

  // The clock and the sleep the pacer uses; tests give their own.
  struct Timing {
    std::function<int64_t()> nowMs;
    std::function<void(int64_t)> sleepMs;
  };
  FramePacer();
  explicit FramePacer(Timing timing);
  void SetTiming(Timing timing);

  // Sets the display type and the speed (never below 1). Leaving single-frame type lets a held
  // frame go.
  void SetType(int type, int speed);
  int type() const;
  int speed() const;
  // Single-frame hold: while set, every frame waits for a step of its own.
  void SetHold(bool hold);
  // True while frames wait for the next step.
  bool hold() const;
  // Lets exactly one held frame through (the next one when none waits yet).
  void StepFrame();
  // Waits (up to timeoutMs) until no frame is being paced.
  bool WaitIdle(int64_t timeoutMs);
  // Forgets every channel's previous frame: after a seek the next frame goes at once.
  void Restart();
  // Ends every wait at once (the player stops).
  void Cancel();

  // Paces one frame of `channel` with time stamp pts (ms): sleeps until it is due. The delay
  // slept in ms (0 for a frame released by a step); -1 for a channel out of range.
  int64_t Pace(int64_t pts, int channel);

  // The delay due for a gap of d ms under the current type and speed (before the 1000 ms cap).
  static int64_t TypeDelay(int type, int speed, int64_t d);

 private:
  struct Slot {
    int64_t lastPts = 0;
    int64_t releasedMs = 0;  // 0: no frame released yet
  };

  Timing timing_;
  mutable std::mutex lock_;
  std::condition_variable held_;  // hold cleared, type changed or cancelled
  std::condition_variable idle_;  // a frame finished pacing
  Slot slots_[kChannels];
  int type_ = kPaceNormal;
  int speed_ = 1;
  bool hold_ = false;
  bool cancelled_ = false;
  int pacing_ = 0;      // frames between the start and the end of Pace
  uint64_t steps_ = 0;  // steps granted while holding, not yet used by a frame
};

}  // namespace player
