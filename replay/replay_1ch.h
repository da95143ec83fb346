// CReplay1CHProc: one channel replayed for one replay client over a time range. It owns the
// channel's play list (records of a search, in their order), a record reader and the position:
// the current item, the current time and the far bound of the current item in the direction of
// play. It opens the record that covers a time, moves on to the next record (the previous one
// backwards) when a file is done, seeks, changes mode and speed, and hands out frames up to the
// end of the range. It keeps no time of its own: the session calls Step every 200 ms.
//
// Direction changes: when the mode turns from a forward mode to REPLAY_REBACK (or back),
// cur_time and far_bound are exchanged if far_bound no longer lies ahead in the new direction,
// so that far_bound stays the current item's edge in the direction of play.
//
// ReadFrame answers -2007 once the play list is exhausted in the direction of play (the last
// file read to its end), so that a consumer knows the play is over.
//
// Lock rule: lock_ guards everything here and is taken before the reader's own lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "platform/critical_section.h"
#include "qvfs/records.h"
#include "record/record_reader.h"

enum ReplayResult : int {
  ERR_REPLAY_EMPTY = -101,        // empty list at Init; mode or speed refused
  ERR_REPLAY_PAST_RANGE = -115,   // a frame after the range's end (the reader is closed)
  ERR_REPLAY_NO_ITEM = -2007,     // no play-list item covers the time; nothing left to play
  ERR_REPLAY_NOTHING_TO_DO = -8000,
};

class CReplay1CHProc {
 public:
  static constexpr int64_t kDefaultRangeEnd = 2147483647000;  // 2147483647 s in ms

  CReplay1CHProc(int clientId, int channel);
  virtual ~CReplay1CHProc();

  int Init(const std::vector<_rec_file_info_>& list, int64_t startMs, int64_t endMs, int option);
  void Reset();
  int SeekTime(int64_t ms);
  int SetPlayMode(int mode, int speed);
  int ReadFrame(void* buffer, uint32_t length);
  int Step();
  void GetCurFileTimeSeg(int64_t* startMs, int64_t* endMs);
  // The consumer's pacing: sleeps the reader's pacing delay from the last time paced to t
  // (nothing on the first call, which only takes t as the reference). The delay slept.
  int64_t Wait(int64_t t);
  // Whether the play list holds a record of disk diskNo.
  bool UsesDisk(int diskNo);

  int channel() const { return channel_; }
  int curIndex() const { return curIndex_; }
  int64_t curTime() const { return curTime_; }
  int64_t farBound() const { return farBound_; }
  size_t items() const { return items_.size(); }
  CRecordReader& reader() { return reader_; }

 private:
  bool Backward() const { return playMode_ == kModeBack; }
  bool ValidIndex() const { return curIndex_ >= 0 && curIndex_ < static_cast<int>(items_.size()); }
  int Locate(int64_t t);
  int LocateAndOpen(int64_t t);
  void NextItem();
  int OpenCurrent(bool reopen);

  std::vector<_rec_file_info_> items_;
  int curIndex_ = 0;
  const int clientId_;
  const int channel_;
  int64_t rangeStart_ = 0;
  int64_t rangeEnd_ = kDefaultRangeEnd;
  int64_t curTime_ = 0;
  int64_t farBound_ = 0;
  int option_ = 0;
  int playMode_ = kModeNormal;
  CRecordReader reader_;
  CCriticalSection lock_;
  int stepCalls_ = 0;
  static constexpr int64_t kNoReference = INT64_MIN;
  std::atomic<int64_t> lastPacedMs_{kNoReference};  // the consumer's, for Wait
};
