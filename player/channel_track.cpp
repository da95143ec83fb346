#include "player/channel_track.h"

#include <algorithm>

namespace player {

namespace {
constexpr int kOpenSuccess = -8000;  // an open that reports this still opened the file

bool KeysOnly(int mode) { return mode == kModeFast || mode == kModeBack; }
}  // namespace

ChannelTrack::ChannelTrack(int clientId) : reader_(clientId) {}

void ChannelTrack::SetRecords(int channel, const std::vector<_rec_file_info_>& records) {
  Close();
  channel_ = channel;
  records_.clear();
  if (channel >= 0)
    for (const _rec_file_info_& r : records)
      if (r.channel == channel && r.endMs >= r.startMs) records_.push_back(r);
  std::sort(records_.begin(), records_.end(),
            [](const _rec_file_info_& a, const _rec_file_info_& b) {
              return int64_t{a.startMs} < int64_t{b.startMs};
            });
  forceReposition_ = true;
}

bool ChannelTrack::HasRecordingAt(int64_t t) const {
  for (const _rec_file_info_& r : records_)
    if (int64_t{r.startMs} <= t && t <= int64_t{r.endMs}) return true;
  return false;
}

void ChannelTrack::Close() {
  reader_.Close();
  current_ = -1;
}

int ChannelTrack::Candidate(int64_t t, bool backward) const {
  const int n = static_cast<int>(records_.size());
  if (!backward) {
    for (int i = endedIdx_ + 1; i < n; ++i)
      if (int64_t{records_[static_cast<size_t>(i)].endMs} > t) return i;
    return -1;
  }
  for (int i = (endedIdx_ >= 0 ? endedIdx_ : n) - 1; i >= 0; --i)
    if (int64_t{records_[static_cast<size_t>(i)].startMs} < t) return i;
  return -1;
}

bool ChannelTrack::Open(int i, int64_t t) {
  const _rec_file_info_& e = records_[static_cast<size_t>(i)];
  // The mode goes in before the open: a reader opened for fast backward starts at the end.
  reader_.SetPlayMode(readerMode_, 1);
  const int r = reader_.OpenRecord(e, t, true);
  if (r != 0 && r != kOpenSuccess) {
    reader_.Close();
    endedIdx_ = i;  // passed over: the next candidate lies beyond it
    current_ = -1;
    return false;
  }
  current_ = i;
  return true;
}

void ChannelTrack::Reposition(PlayClock& clock, uint64_t gen) {
  generation_ = gen;
  forceReposition_ = false;
  ++repositions_;
  Close();
  endedIdx_ = -1;
  const int mode = clock.mode();
  readerMode_ = KeysOnly(mode) ? mode : kModeNormal;
  const int64_t t = clock.Now();
  const int i = Candidate(t, mode == kModeBack);
  if (i < 0) return;
  const _rec_file_info_& e = records_[static_cast<size_t>(i)];
  if (int64_t{e.startMs} <= t && t <= int64_t{e.endMs}) Open(i, t);
}

bool ChannelTrack::WaitForRecording(PlayClock& clock, uint64_t gen) {
  const bool backward = clock.backward();
  const int64_t t = clock.Now();
  const int i = Candidate(t, backward);
  if (i < 0) {
    clock.WaitFor(backward ? INT64_MIN : INT64_MAX, gen, kWaitSliceMs);  // nothing more to play
    return false;
  }
  const _rec_file_info_& e = records_[static_cast<size_t>(i)];
  const int64_t due = backward ? std::min(t, int64_t{e.endMs}) : std::max(t, int64_t{e.startMs});
  if (due != t && clock.WaitFor(due, gen, kWaitSliceMs) != PlayClock::kReached) return false;
  return Open(i, clock.Now());
}

void ChannelTrack::EndRecord() {
  endedIdx_ = current_;
  Close();
}

int ChannelTrack::Next(PlayClock& clock, uint8_t* buffer, uint32_t size, int64_t* pts) {
  // Each pass takes one frame from the reader, opens a record or waits on the clock (up to
  // kWaitSliceMs): the pass count bounds the call.
  for (int pass = 0; pass < kFramesPerCall; ++pass) {
    const uint64_t gen = clock.generation();
    if (gen != generation_ || forceReposition_) Reposition(clock, gen);
    if (current_ < 0) {
      if (!WaitForRecording(clock, gen)) return 0;
      continue;
    }
    const int r = reader_.GetFrame(buffer, size);
    if (r <= 0) {  // the record's end, or a read that failed: on to the next record
      EndRecord();
      continue;
    }
    if (!selector_.SelectValidWithin(buffer, static_cast<uint64_t>(r))) continue;
    CFrmStrategy* frame = selector_.Current();
    if (frame->GetFrameType() == frame::kTypeAudio) continue;
    const int64_t t = frame->GetPts();
    const _rec_file_info_& e = records_[static_cast<size_t>(current_.load())];
    const bool backward = readerMode_ == kModeBack;
    // Frames past the record's times belong to the next record of the file.
    if (backward ? t < int64_t{e.startMs} - kRecordSlackMs : t > int64_t{e.endMs} + kRecordSlackMs) {
      EndRecord();
      continue;
    }
    const int64_t now = clock.Now();
    if (KeysOnly(readerMode_)) {
      if (!frame->IsKeyFrame()) continue;
      if (backward ? t > now + kStaleKeyMs : t < now - kStaleKeyMs) continue;  // left behind
    } else if (t < now - kResyncMs && clock.rateMilli() > 0) {
      ++resyncs_;  // too far behind to catch up frame by frame: on from the clock's time
      Reposition(clock, gen);
      continue;
    }
    *pts = t;
    return r;
  }
  return 0;
}

}  // namespace player
