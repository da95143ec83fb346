// The multi-channel player's play clock: one time of the recordings that every tile follows.
// It runs at a rate set by the play mode: real time in normal play, 1/speed in slow play,
// speed times real time forward in fast forward and backward in fast backward; it stands while
// paused and in single-frame play, where each step moves it on by one frame interval. A seek or
// a mode change starts a new generation: the tiles reposition their readers when they see it.
//
// Lock rule: lock_ guards the anchor, the rate and the generation; waiters wait on changed_
// with it released, so a seek, a step or a mode change wakes them at once.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace player {

class PlayClock {
 public:
  enum WaitResult : int { kReached = 0, kChanged = 1, kTimedOut = 2, kCancelled = 3 };
  static constexpr int64_t kFrameIntervalMs = 40;  // one step in single-frame play (25/s)

  PlayClock();

  // The recordings' time shown now, in ms since 1970.
  int64_t Now() const;
  // Sets the play mode (the reader's codes: normal, single, slow, fast, back) and the speed
  // (the factor of slow and fast play, 1 for the others). A new generation.
  void SetMode(int mode, int speed);
  int mode() const;
  int speed() const;
  // Pausing stops the clock where it is; the mode stays.
  void SetPaused(bool paused);
  bool paused() const;
  // Moves the clock to t (ms). A new generation.
  void Seek(int64_t t);
  // Single-frame play: moves the standing clock on by one frame interval (back in fast
  // backward). The generation stays: the tiles go on to their next frame.
  void Step();
  uint64_t generation() const;
  // Whether time runs backwards (fast backward).
  bool backward() const;
  // The rate in thousandths of real time (0 while standing; negative backwards).
  int64_t rateMilli() const;

  // Waits until the clock reaches t (forward: Now() >= t; backward: Now() <= t), the generation
  // moves past gen, Cancel is called, or maxWaitMs pass.
  WaitResult WaitFor(int64_t t, uint64_t gen, int64_t maxWaitMs);
  // Ends every wait (the player stops); Reset undoes it.
  void Cancel();
  void Reset();

 private:
  static int64_t SteadyMs();
  int64_t NowLocked(int64_t steady) const;
  void Reanchor();  // under lock_: the clock's time now becomes the anchor
  int64_t RateLocked() const;

  mutable std::mutex lock_;
  std::condition_variable changed_;
  int64_t anchorMs_ = 0;      // the recordings' time at anchorSteady_
  int64_t anchorSteady_ = 0;  // the steady clock's ms then
  int mode_ = 16;
  int speed_ = 1;
  bool paused_ = false;
  bool cancelled_ = false;
  uint64_t generation_ = 0;
  uint64_t changes_ = 0;  // every change a waiter must look at (steps and pauses included)
};

}  // namespace player
