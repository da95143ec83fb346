#include "replay/replay_1ch.h"

#include <algorithm>
#include <cstdio>

#include "index/record_search.h"
#include "platform/clock.h"
#include "platform/messages.h"
#include "platform/time_print.h"
#include "record/frame_strategy.h"

namespace {

constexpr int64_t kLatestSeconds = 4294967295LL;
constexpr int64_t kNearEndMs = 1000;  // a seek this close to a record's end takes the next one
constexpr int kStepLogEvery = 1000;

int64_t StartOf(const _rec_file_info_& r) { return r.startMs; }
int64_t EndOf(const _rec_file_info_& r) { return r.endMs; }

}  // namespace

CReplay1CHProc::CReplay1CHProc(int clientId, int channel)
    : clientId_(clientId), channel_(channel), reader_(clientId) {}

CReplay1CHProc::~CReplay1CHProc() { reader_.Close(); }

int CReplay1CHProc::OpenCurrent(bool reopen) {
  if (!ValidIndex()) return ERR_REPLAY_NO_ITEM;
  return reader_.OpenRecord(items_[static_cast<size_t>(curIndex_)], curTime_, reopen);
}

int CReplay1CHProc::Init(const std::vector<_rec_file_info_>& list, int64_t startMs,
                         int64_t endMs, int option) {
  if (list.empty()) {
    CAutoLock g(&lock_);
    rangeStart_ = startMs;
    rangeEnd_ = endMs;
    option_ = option;
    return ERR_REPLAY_EMPTY;
  }
  CAutoLock g(&lock_);
  items_.clear();
  for (const _rec_file_info_& r : list) {
    if (r.channel != channel_) {
      std::fprintf(stderr, "skip err record ch %d dest ch %d.\n", r.channel, channel_);
      continue;
    }
    if (StartOf(r) / 1000 > kLatestSeconds || EndOf(r) / 1000 > kLatestSeconds) {
      platform::LogRange("Skip  record time", StartOf(r), EndOf(r));
      continue;
    }
    items_.push_back(r);
  }
  // One item per stretch of a file: played as one, a file is not opened again at each segment
  // boundary (which would hand out the frames between the new segment's key frame and its
  // start a second time, and two overlapping recordings' segments, interleaved in time, would
  // be played back and forth). The play list runs in start-time order.
  items_ = MergeSegmentRuns(std::move(items_));
  if (items_.empty()) return 0;
  rangeStart_ = curTime_ = startMs;
  farBound_ = EndOf(items_.front());
  rangeEnd_ = endMs;
  option_ = option;
  playMode_ = kModeNormal;
  platform::LogRange("Start time", startMs, endMs);
  reader_.Close();
  reader_.SetPlayMode(kModeNormal, 1);
  curIndex_ = 0;
  const _rec_file_info_& first = items_.front();
  if (StartOf(first) <= startMs && startMs <= EndOf(first)) {
    const int r = OpenCurrent(false);
    if (r != 0 && r != ERR_REPLAY_NOTHING_TO_DO) {
      DebugLog("CH %02d diskIndex %d fileindex%d curTime %lld fail.\n ", channel_, first.diskNo,
               first.fileIndex, static_cast<long long>(curTime_));
      return -1;
    }
  } else {
    DebugLog("Seek onther file startTime %lld  .\n", static_cast<long long>(startMs));
    SeekTime(startMs);
  }
  if (ValidIndex()) {
    const _rec_file_info_& cur = items_[static_cast<size_t>(curIndex_)];
    platform::LogRange("cur index file", StartOf(cur), EndOf(cur));
  }
  return 0;
}

void CReplay1CHProc::Reset() {
  CAutoLock g(&lock_);
  reader_.Close();
  items_.clear();
  reader_.ClearPlayBuffer();
  curIndex_ = 0;
  lastPacedMs_ = kNoReference;
}

int64_t CReplay1CHProc::Wait(int64_t t) {
  int64_t delay = 0;
  const int64_t last = lastPacedMs_.exchange(t);
  if (last != kNoReference) {
    delay = PaceDelayMs(reader_.mode(), reader_.speed(), last, t);
    platform::SleepMs(static_cast<uint32_t>(delay));
  }
  return delay;
}

bool CReplay1CHProc::UsesDisk(int diskNo) {
  CAutoLock g(&lock_);
  for (const _rec_file_info_& r : items_)
    if (r.diskNo == diskNo) return true;
  return false;
}

void CReplay1CHProc::GetCurFileTimeSeg(int64_t* startMs, int64_t* endMs) {
  CAutoLock g(&lock_);
  *startMs = rangeStart_;
  *endMs = rangeEnd_;
}

// ---- positioning ---------------------------------------------------------------------------

int CReplay1CHProc::Locate(int64_t t) {
  const int count = static_cast<int>(items_.size());
  if (!Backward()) {
    for (int k = 0; k < count; ++k) {
      const int64_t s = StartOf(items_[static_cast<size_t>(k)]);
      const int64_t e = EndOf(items_[static_cast<size_t>(k)]);
      if ((s < t && e <= t) || e < t + kNearEndMs) continue;
      curIndex_ = k;
      curTime_ = s;
      farBound_ = e;
      if (k + 1 < count && StartOf(items_[static_cast<size_t>(k + 1)]) < e) {
        // Overlapping records are played once: this one ends where the next begins.
        farBound_ = StartOf(items_[static_cast<size_t>(k + 1)]);
        items_[static_cast<size_t>(k)].endMs = farBound_;
        platform::LogRange("cur record", s, farBound_);
      }
      return 0;
    }
    curIndex_ = count;
  } else {
    for (int k = count - 1; k >= 0; --k) {
      const int64_t s = StartOf(items_[static_cast<size_t>(k)]);
      const int64_t e = EndOf(items_[static_cast<size_t>(k)]);
      if (!(s < t || e <= t)) continue;
      curIndex_ = k;
      curTime_ = e;
      farBound_ = s;
      if (k > 0 && EndOf(items_[static_cast<size_t>(k - 1)]) > s)
        items_[static_cast<size_t>(k - 1)].endMs = s;
      return 0;
    }
    curIndex_ = -1;
  }
  reader_.Close();
  reader_.ClearPlayBuffer();
  return ERR_REPLAY_NO_ITEM;
}

int CReplay1CHProc::LocateAndOpen(int64_t t) {
  if (Locate(t) != 0) return ERR_REPLAY_NO_ITEM;
  // Within the item the wanted time counts, not its start.
  const int64_t s = StartOf(items_[static_cast<size_t>(curIndex_)]);
  const int64_t e = EndOf(items_[static_cast<size_t>(curIndex_)]);
  if (t > s && t < e) curTime_ = t;
  const int r = OpenCurrent(true);
  if (r != 0) {
    const _rec_file_info_& item = items_[static_cast<size_t>(curIndex_)];
    DebugLog("CH %02d Open fail.\n diskIndex %d fileindex%d curTime %lld fail.\n ", channel_,
             item.diskNo, item.fileIndex, static_cast<long long>(curTime_));
    NextItem();
    reader_.Close();
  }
  return r;
}

int CReplay1CHProc::SeekTime(int64_t ms) {
  CAutoLock g(&lock_);
  curTime_ = ms;
  platform::LogRange("CReplay1CHProc seekTime", ms, ms);
  if (items_.empty()) return ERR_REPLAY_NO_ITEM;
  if (items_.size() == 1 && reader_.IsOpen()) return reader_.SeekToTime(ms, true);
  if (!ValidIndex() || ms < StartOf(items_[static_cast<size_t>(curIndex_)]) ||
      ms > EndOf(items_[static_cast<size_t>(curIndex_)])) {
    reader_.Close();
    curIndex_ = 0;
    return LocateAndOpen(ms);
  }
  if (!reader_.IsOpen()) {
    const int r = OpenCurrent(true);
    if (r != 0) {
      DebugLog("ClientID %02d  Open fail SeekToTime", clientId_);
      reader_.Close();
      NextItem();
      return r;
    }
  }
  return reader_.SeekToTime(curTime_, true);
}

void CReplay1CHProc::NextItem() {
  const int count = static_cast<int>(items_.size());
  if (count < 2) return;
  if (!Backward()) {
    if (curIndex_ >= count - 1) {
      curIndex_ = count;
      return;
    }
    int k = curIndex_ + 1;
    while (k < count && EndOf(items_[static_cast<size_t>(k)]) <= farBound_) ++k;
    if (k >= count) {
      curIndex_ = count;
      return;
    }
    _rec_file_info_& item = items_[static_cast<size_t>(k)];
    if (StartOf(item) <= farBound_) item.startMs = farBound_;  // not played twice
    curIndex_ = k;
    curTime_ = StartOf(item);
    farBound_ = EndOf(item);
  } else {
    if (curIndex_ <= 0) {
      curIndex_ = -1;
      return;
    }
    int k = curIndex_ - 1;
    while (k >= 0 && StartOf(items_[static_cast<size_t>(k)]) >= farBound_) --k;
    if (k < 0) {
      curIndex_ = -1;
      return;
    }
    _rec_file_info_& item = items_[static_cast<size_t>(k)];
    if (EndOf(item) > farBound_) item.endMs = farBound_;
    curIndex_ = k;
    curTime_ = EndOf(item);
    farBound_ = StartOf(item);
  }
}

// ---- play ----------------------------------------------------------------------------------

int CReplay1CHProc::SetPlayMode(int mode, int speed) {
  CAutoLock g(&lock_);
  if (items_.empty()) return -1;
  const bool wasBack = Backward();
  const int r = reader_.SetReplayMode(mode, speed);
  if (r != 0) return r;
  playMode_ = mode;
  // A change of direction: far_bound must lie ahead in the new direction.
  if (wasBack != Backward() && ((Backward() && farBound_ > curTime_) ||
                                (!Backward() && farBound_ < curTime_)))
    std::swap(curTime_, farBound_);
  if (curIndex_ == -1) curIndex_ = 0;
  return 0;
}

int CReplay1CHProc::ReadFrame(void* buffer, uint32_t length) {
  const int n = reader_.GetFrame(buffer, length);
  if (n == ERR_READER_NO_REGION || n == ERR_READER_END) {
    // Between two files the reader is closed or ended for a moment; when nothing is left to
    // open the consumer is told the play is over.
    CAutoLock g(&lock_);
    const bool lastFileDone = items_.size() == 1 && reader_.ended();
    if (!ValidIndex() || lastFileDone) return ERR_REPLAY_NO_ITEM;
    return n;
  }
  if (n <= 0) return n;
  CFrmStategy sel;
  const int64_t pts = sel.SelectWithin(buffer, static_cast<uint64_t>(n)) == 0 ? sel.RangeTime() : 0;
  if (pts > rangeEnd_) {
    platform::LogRange("Err Time: ", pts, rangeEnd_);
    CAutoLock g(&lock_);
    reader_.Close();
    return ERR_REPLAY_PAST_RANGE;
  }
  return n;
}

int CReplay1CHProc::Step() {
  // A file is done when the reader has read all of it and the consumer has taken every frame
  // of it: frames still in the play buffer would be lost if the next file were opened now.
  if (reader_.IsOpen() && (!reader_.ended() || !reader_.Drained())) {
    if (stepCalls_++ % kStepLogEvery == 0) {
      const int64_t t = reader_.currentMs();
      platform::LogRange("last replay time", t, t);
    }
    return 0;
  }
  stepCalls_ = 0;
  CAutoLock g(&lock_);
  if (!reader_.IsOpen()) {
    if (!ValidIndex()) return 0;
    const int r = OpenCurrent(false);
    if (r == 0 || r == ERR_REPLAY_NOTHING_TO_DO) {
      DebugLog("StartRead");
      return 0;
    }
    const _rec_file_info_& item = items_[static_cast<size_t>(curIndex_)];
    DebugLog("CH %02d diskIndex %d fileindex%d curTime %lld fail.\n ", channel_, item.diskNo,
             item.fileIndex, static_cast<long long>(curTime_));
    NextItem();
    return r;
  }
  if (reader_.ended() && items_.size() > 1) {
    reader_.Close();
    NextItem();
    // Only a valid index is opened: past the last item (or before the first) nothing is.
    if (ValidIndex()) {
      const _rec_file_info_& item = items_[static_cast<size_t>(curIndex_)];
      DebugLog("Client %02d CH %02d fileIndex %d ", clientId_, channel_, item.fileIndex);
      const int r = OpenCurrent(true);
      if (r != 0 && r != ERR_REPLAY_NOTHING_TO_DO) NextItem();
    }
  }
  return 0;
}
