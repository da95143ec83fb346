#include "recorder/record_task.h"

#include <ctime>
#include <cstring>

#include "platform/clock.h"
#include "platform/messages.h"
#include "platform/platform_context.h"
#include "platform/time_print.h"
#include "record/frame_strategy.h"

namespace {

// Hours local time is ahead of UTC, 0..23, as the index keeps them (bits 1..7 of the byte).
uint8_t TimeZoneByte(int64_t ms) {
  const time_t t = static_cast<time_t>(ms / 1000);
  struct tm local {}, utc {};
  localtime_r(&t, &local);
  gmtime_r(&t, &utc);
  return static_cast<uint8_t>(((local.tm_hour - utc.tm_hour + 24) % 24) << 1);
}

}  // namespace

RecordTask::RecordTask(int channel, DiskIndexSet* set)
    : channel_(channel), set_(set), writer_(channel) {}

RecordTask::~RecordTask() {
  if (writer_.IsOpen()) writer_.Close();
  UnregisterWriter();
}

void RecordTask::SetResolution(uint32_t width, uint32_t height) {
  CAutoLock g(&lock_);
  width_ = width;
  height_ = height;
}

int RecordTask::FilePercent() const {
  const uint32_t bytes = fileBytes_;
  if (!writer_.IsOpen() || bytes == 0) return 0;
  return static_cast<int>(uint64_t{writer_.position()} * 100 / bytes);
}

void RecordTask::RegisterWriter() {
  DiskIndexRef d = set_->Find(diskPath_);
  if (!d) return;
  CAutoLock g(&d->lock());
  d->writerMap[channel_] = &writer_;
  registeredOn_ = d;
}

void RecordTask::UnregisterWriter() {
  // The index may have been dropped with its disk; while anyone still holds it, its map must
  // not keep a writer that is going away.
  if (DiskIndexRef d = registeredOn_.lock()) {
    CAutoLock g(&d->lock());
    auto it = d->writerMap.find(channel_);
    if (it != d->writerMap.end() && it->second == &writer_) d->writerMap.erase(it);
  }
  registeredOn_.reset();
}

void RecordTask::Release() {
  CAutoLock g(&lock_);
  if (writer_.IsOpen()) writer_.Close();
  UnregisterWriter();
  recording_ = false;
  segmentBytes_ = sinceUpdateBytes_ = 0;
  videoFrames_ = 0;
}

int RecordTask::TakeFile(FileGrant* grant) {
  int r = set_->TakeFreeFile(grant);
  if (r == -2010) {
    DebugLog("Device is lost.\n");
    return r;
  }
  if (r == ERR_INDEX_NO_RESULT) {
    DebugLog("File index empty. ret %d\n", r);
    if (cycle_) r = set_->RecycleFile(grant);
  }
  if (r != 0) noFreeFile_ = true;
  return r;
}

int RecordTask::Open(int type, int64_t ptsMs) {
  // The whole open under the task lock: a disk released by a scan's thread closes the writer
  // under it (task lock, then the set's and the index's).
  CAutoLock g(&lock_);
  if (writer_.IsOpen() && writer_.head().segCount + 1 >= recfile::kMaxSegments &&
      writer_.currentSegment().segNo + 1 >= recfile::kMaxSegments) {
    DebugLog("Over max segment %d.\n", static_cast<int>(recfile::kMaxSegments));
    writer_.Close();
    UnregisterWriter();
  }
  const bool continuing = writer_.IsOpen();
  if (!continuing) {
    FileGrant grant;
    int r = TakeFile(&grant);
    if (r != 0) return r;
    DebugLog("CH%02d takes record file %u of disk %08x (%s).\n", channel_, grant.fileIndex,
             grant.identity, grant.path.c_str());
    diskNo_ = grant.diskNo;
    fileIndex_ = grant.fileIndex;
    fileBytes_ = grant.fileBytes ? grant.fileBytes : kDefaultFileBytes;
    diskPath_ = grant.path;
    writer_.ExpectMedium(grant.medium);
  }
  platform::LogRange("record time", ptsMs, ptsMs);
  std::memset(&info_, 0, sizeof info_);
  info_.channel = static_cast<uint8_t>(channel_);
  info_.diskNo = static_cast<uint8_t>(diskNo_);
  info_.kind = kind_;
  info_.fileIndex = static_cast<int32_t>(fileIndex_.load());
  info_.typeBits = static_cast<uint8_t>(type);
  info_.startMs = info_.endMs = ptsMs;
  info_.state = recindex::kStateRecording | recindex::kStateClosed;
  info_.tzByte = TimeZoneByte(ptsMs);
  int r;
  if (continuing) {
    // The file kept open after the last segment: a new segment in it, with the old head times.
    info_.operation = 2;
    info_.segmentNo = static_cast<uint8_t>(writer_.currentSegment().segNo + 1);
    r = writer_.NewSegment(info_);
  } else {
    info_.operation = kOpRecordStart;
    RecordDescriptor desc;
    std::strcpy(desc.text2, "WIN32 SIMULATE RECORDER");
    std::strcpy(desc.text3, "V1.0.0");
    desc.width = width_;
    desc.height = height_;
    r = writer_.OpenNew(diskPath_, fileIndex_, fileBytes_, ptsMs, &desc);
    if (r == ERR_WRITER_OPEN) r = 0;
  }
  if (r != 0) {
    recording_ = false;
    return r;
  }
  RegisterWriter();
  r = set_->WriteRecord(info_);
  if (r == ERR_INDEX_NO_SEGMENT) {
    writer_.Close();
    UnregisterWriter();
  }
  if (r != 0) {
    recording_ = false;
    return r;
  }
  platform::LogRange("Start Time", ptsMs, ptsMs);
  startMs_ = lastMs_ = ptsMs;
  segmentBytes_ = sinceUpdateBytes_ = 0;
  videoFrames_ = 0;
  recording_ = true;
  return type;
}

bool RecordTask::HasOpenFile() {
  CAutoLock g(&lock_);
  return writer_.IsOpen();
}

int RecordTask::Progress(int64_t ptsMs) {
  info_.operation = 0;
  info_.endMs = ptsMs;
  info_.size = static_cast<int32_t>(sinceUpdateBytes_);
  info_.endOffset = writer_.position();
  const int r = set_->UpdateRecordInfo(info_);
  // The segment's record grew by these bytes; it keeps its start time.
  sinceUpdateBytes_ = 0;
  return r;
}

int RecordTask::Write(const uint8_t* frame, uint32_t size) {
  CFrmStategy sel;
  if (sel.SelectWithin(const_cast<uint8_t*>(frame), size) != 0) return ERR_TASK_NO_TIME;
  const int64_t pts = sel.Current()->GetPts();
  const uint8_t type = sel.Current()->GetFrameType();
  if (pts == 0) {
    DebugLog("CH%02d frame Type %d data Len %d pts %lld .\n", channel_, type,
             static_cast<int>(size), static_cast<long long>(pts));
    return 0;
  }
  CAutoLock g(&lock_);
  const int r = writer_.WriteFrame(frame, size);
  if (r < 0) return r;
  segmentBytes_ += static_cast<uint32_t>(r);
  sinceUpdateBytes_ += static_cast<uint32_t>(r);
  lastMs_ = pts;
  // A failed progress update loses nothing: the index's image of the entry holds the bytes and
  // the next update writes it, and a power loss meanwhile is repaired from the file itself.
  if (type != frame::kTypeAudio && ++videoFrames_ % kProgressFrames == 0) Progress(pts);
  return r;
}

int RecordTask::Close(int type, bool closeFile) {
  if (!recording_) {
    if (closeFile && writer_.IsOpen()) {
      CAutoLock g(&lock_);
      writer_.Close();
      UnregisterWriter();
    }
    return 0;
  }
  CAutoLock g(&lock_);
  const uint32_t pos = writer_.position();
  bool closed = false;
  if (!closeFile && fileBytes_ > pos && fileBytes_ - pos > kKeepFileMargin) {
    uint32_t length = 0;
    writer_.EndSegment(&length);
  } else {
    writer_.Close();
    closed = true;
  }
  const int64_t now = platform::TheClock().NowMs();
  info_.typeBits = static_cast<uint8_t>(type ? type : info_.typeBits);
  info_.endMs = lastMs_ > 0 ? lastMs_ : now - 500;
  if (info_.endMs < info_.startMs) info_.endMs = info_.startMs;
  info_.size = static_cast<int32_t>(sinceUpdateBytes_);
  info_.endOffset = pos;
  info_.state = static_cast<uint8_t>(info_.state & ~recindex::kStateRecording);
  info_.operation = kOpRecordClose;
  const int r = set_->UpdateRecordInfo(info_);
  platform::LogRange("Record End", startMs_, info_.endMs);
  if (closed) UnregisterWriter();
  recording_ = false;
  segmentBytes_ = sinceUpdateBytes_ = 0;
  videoFrames_ = 0;
  return r;
}
