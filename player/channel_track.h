// One tile of the multi-channel player: a channel's recordings of the day, in time order, and
// a record reader that the play clock positions. The track hands out the channel's video frames
// in play order and keeps to the clock: after a seek or a mode change it reopens the record
// that holds the clock's time; between recordings it waits until the clock reaches the next
// one; in fast modes it hands out only the key frames the clock has not left behind; a track
// that fell far behind in normal play jumps back to the clock.
//
// Lock rule: none of its own. A track belongs to its tile's decode thread alone; the player
// hands it a new channel or new recordings on that thread (at the next frame), so a channel
// assignment never meets a read half done.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "player/play_clock.h"
#include "qvfs/records.h"
#include "record/frame_strategy.h"
#include "record/record_reader.h"

namespace player {

class ChannelTrack {
 public:
  // Frames of a record may lie this far outside its times before they count as another one's.
  static constexpr int64_t kRecordSlackMs = 1000;
  // A fast-mode key frame the clock passed by more than this is skipped.
  static constexpr int64_t kStaleKeyMs = 1000;
  // Normal play this far behind the clock jumps to it.
  static constexpr int64_t kResyncMs = 2000;
  // Waits inside Next end after this long, so the thread can look at its stop flag.
  static constexpr int64_t kWaitSliceMs = 200;
  // Frames looked at per call before giving the thread back (audio and skipped frames).
  static constexpr int kFramesPerCall = 256;

  explicit ChannelTrack(int clientId);

  // The channel's recordings (other channels' are left out); the reader is closed and the
  // track follows the clock afresh. A channel of -1 plays nothing.
  void SetRecords(int channel, const std::vector<_rec_file_info_>& records);
  int channel() const { return channel_; }
  bool HasRecords() const { return !records_.empty(); }
  // Whether a record of the track holds time t.
  bool HasRecordingAt(int64_t t) const;
  // Whether the reader has a record open now (false between recordings).
  bool playing() const { return current_.load() >= 0; }
  // The clock generation the frames handed out last belong to.
  uint64_t generation() const { return generation_; }
  uint64_t resyncs() const { return resyncs_; }
  // How often the reader was positioned afresh (seeks, mode changes, resyncs).
  uint64_t repositions() const { return repositions_; }
  // Makes the next call reposition, as after a seek (a tile shown again after a while).
  void Invalidate() { forceReposition_ = true; }

  // The next video frame in play order into buffer: its length with *pts set; 0 when none is
  // due yet (the call waited up to kWaitSliceMs for the clock); never negative.
  int Next(PlayClock& clock, uint8_t* buffer, uint32_t size, int64_t* pts);
  // Closes the reader.
  void Close();

 private:
  // Follows the clock's generation: the record that holds its time is opened there.
  void Reposition(PlayClock& clock, uint64_t gen);
  // The record to play next from time t in play order, or -1: past endedIdx_ when one ended.
  int Candidate(int64_t t, bool backward) const;
  // Opens record i at time t; false when it cannot be opened (it is passed over).
  bool Open(int i, int64_t t);
  // No record open: waits for the next one to begin and opens it. True when one was opened.
  bool WaitForRecording(PlayClock& clock, uint64_t gen);
  void EndRecord();

  CRecordReader reader_;
  CFrmStategy selector_;
  int channel_ = -1;
  std::vector<_rec_file_info_> records_;  // by start time
  std::atomic<int> current_{-1};           // the record open, or -1
  int endedIdx_ = -1;                      // the record that ended last in this generation
  int readerMode_ = kModeNormal;
  uint64_t generation_ = UINT64_MAX;
  bool forceReposition_ = true;
  uint64_t resyncs_ = 0;
  uint64_t repositions_ = 0;
};

}  // namespace player
