// ReplaySync: one replay client's play-sync record, the pacing of a consumer that shows frames of
// several channels of that client. Each channel entry remembers the last frame time it paced and
// the wall-clock time its last wait ended; a wait sleeps the frame gap (by mode and speed) less
// the time the consumer spent since.
//
// Lock rule: lock_ guards the fields and entries; the sleep runs outside it.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/critical_section.h"

class ReplaySync {
 public:
  static constexpr int kChannels = 16;

  ReplaySync() : entries_(kChannels) {}

  void SetModeAndSpeed(int mode, int speed);
  void SetChannelCount(int n);
  int mode();
  int speed();

  // Paces channel ch (0..15) to frame time t: the delay slept in ms, or -101 for a channel
  // outside the entries. The first wait of an entry only takes t as its reference.
  int64_t Wait(int ch, int64_t t);
  // Takes t as channel ch's reference without sleeping: 0, or -101.
  int SetReference(int ch, int64_t t);

 private:
  struct Entry {
    bool inUse = false;
    int64_t lastMs = 0;    // last frame time paced
    int64_t wallMs = 0;    // wall clock at the end of the last wait, 0 before the first
  };

  int mode_ = 16;   // normal play
  int speed_ = 1;
  int channelCount_ = 0;
  CCriticalSection lock_;
  std::vector<Entry> entries_;
};
