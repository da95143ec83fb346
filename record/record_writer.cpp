#include "record/record_writer.h"

#include <algorithm>
#include <cstring>

#include "api/context.h"
#include "device/disk_dev.h"
#include "platform/clock.h"
#include "platform/last_error.h"
#include "platform/messages.h"
#include "platform/platform_context.h"
#include "platform/time_print.h"
#include "record/record_region.h"

using namespace recfile;

namespace {
constexpr uint32_t kOneMiB = 0x100000;
constexpr int64_t kTimeBackMs = 5000;
constexpr int64_t kTimeAheadMs = 60000;
constexpr uint32_t kCacheWaitSteps = 1000;
constexpr uint32_t kCloseFlushAttempts = 299;
constexpr int64_t kFlushHoldMs = 2000;
constexpr uint32_t kFlushFillPercent = 21;
constexpr int64_t kIndexFlushMs = 1000;
constexpr uint32_t kRepairChunk = 0x200000;
constexpr uint32_t kRepairMaxFrame = 1024000;
constexpr int64_t kRepairKeySpacingMs = 980;
// A recording goes on after damaged data only when its next frame follows within this time.
constexpr int64_t kRepairResyncGapMs = 10000;

uint32_t AlignDown(uint32_t v, uint32_t a) { return v / a * a; }
uint32_t AlignUp(uint32_t v, uint32_t a) { return (v + a - 1) / a * a; }
}  // namespace

CRecordWriter::CRecordWriter(int channel) : channel_(channel) {}

CRecordWriter::~CRecordWriter() {
  if (file_) Close();
}

// ---- the region ----------------------------------------------------------------------------

int CRecordWriter::OpenRegion(const std::string& path, uint32_t fileIndex, uint32_t fileSize,
                              int mode) {
  RecordRegion region;
  int r = OpenRecordRegion(path, fileIndex, fileSize, mode, &region);
  file_ = std::move(region.file);
  regionName_ = region.name;
  serviceKey_ = region.serviceKey;
  path_ = path;
  // A file handed out by one disk's index opens only on that disk: if another disk took its
  // place under the name in between, nothing is written to it.
  if (r == 0 && expectMedium_ != kAnyMedium && file_ && file_->GetScsiDev() &&
      file_->medium() != expectMedium_) {
    DebugLog("Dev %s is not the disk file %u was handed out on.\n", path.c_str(), fileIndex);
    r = ERR_NO_DEVICE;
  }
  expectMedium_ = kAnyMedium;  // for this open only
  return r;
}

void CRecordWriter::ReleaseRegion() {
  if (file_) file_->Close();
  file_.reset();
}

void CRecordWriter::StartBuffers() {
  headImage_.assign(kHeadBlockBytes, 0);
  indexBuf_.assign(kIndexAreaBytes, 0);
  indexAppend_ = indexFlushed_ = 0;
  uint32_t cacheBytes =
      static_cast<uint32_t>(qvfs::Context::Current().shared().params().writeCacheSize);
  cacheBytes = std::max<uint32_t>(cacheBytes & ~1u, 0x10000);
  if (!cache_.inited() || cache_.capacity() != cacheBytes) cache_.Init(cacheBytes);
  cache_.Clear();
  deviceStatus_ = 0;
  lastError_ = 0;
  closing_ = segmentDirty_ = false;
  lastFlushMs_ = lastIndexFlushMs_ = platform::TheClock().NowMs();
  std::memset(&lastIndex_, 0, sizeof lastIndex_);
}

void CRecordWriter::Register() {
  qvfs::Context::Current().deviceServices().RegisterWriter(regionName_, serviceKey_, this,
                                                          file_->GetScsiDev());
  registered_ = true;
}

void CRecordWriter::Unregister() {
  if (!registered_) return;
  qvfs::Context::Current().deviceServices().UnregisterWriter(regionName_, serviceKey_, this);
  registered_ = false;
}

// ---- opening -------------------------------------------------------------------------------

int CRecordWriter::OpenNew(const std::string& path, uint32_t fileIndex, uint32_t fileSize,
                           int64_t startMs, const RecordDescriptor* desc) {
  if (file_) {
    if (startMs) lastFrameMs_ = startMs;
    return ERR_WRITER_OPEN;
  }
  if (fileSize <= kDataOffset) return ERR_WRITER_OVER_FILE;
  int r = OpenRegion(path, fileIndex, fileSize);
  if (r != 0) {
    ReleaseRegion();
    return r;
  }
  headOffset_ = 0;
  head_ = NewHead(fileSize, headOffset_, static_cast<uint16_t>(channel_), fileIndex);
  if (desc) {
    head_.recordSN = desc->recordSN;
    std::memcpy(head_.text3, desc->text3, sizeof head_.text3);
    head_.text3[sizeof head_.text3 - 1] = '\0';
  }
  head_.startTime = startMs ? startMs : lastFrameMs_.load();
  minIndexDistance_ = MinIndexDistance(fileSize);
  cur_ = FreshSegment(0, head_.startTime, kDataOffset);
  segments_.assign(1, cur_);
  StartBuffers();
  // The index area is cleared on disk, so no entry of an earlier recording survives.
  r = file_->WritePos(kIndexOffset, indexBuf_.data(), kIndexAreaBytes, true);
  if (r < 0 || (r = WriteHead()) != 0) {
    ReleaseRegion();
    return r;
  }
  pos_ = cacheDiskPos_ = kDataOffset;
  lastFrameMs_ = head_.startTime;
  Register();
  platform::LogRange("open record start", head_.startTime, head_.startTime);
  return 0;
}

int CRecordWriter::OpenAppend(const std::string& path, const _rec_file_info_& desc,
                              uint32_t fileSize, int64_t lastMs) {
  if (file_) return ERR_WRITER_OPEN;
  int r = OpenRegion(path, static_cast<uint32_t>(desc.fileIndex), fileSize);
  if (r != 0) {
    ReleaseRegion();
    return r;
  }
  StartBuffers();
  std::vector<uint8_t> block(kDataOffset);
  r = file_->ReadPos(0, block.data(), kDataOffset, true);
  // A short read, or the device's medium or hardware error (3, 4, which pass through as
  // positive results), is a failed read: never a head offset.
  const int at = r == static_cast<int>(kDataOffset) ? FindHead(block.data(), kHeadBlockBytes)
                 : r < 0                             ? r
                                                     : ERR_READ_FAILED;
  if (at < 0) {
    ReleaseRegion();
    return at;
  }
  headOffset_ = static_cast<uint32_t>(at);
  std::memcpy(headImage_.data(), block.data(), kHeadBlockBytes);
  std::memcpy(indexBuf_.data(), block.data() + kIndexOffset, kIndexAreaBytes);
  std::memcpy(&head_, block.data() + headOffset_, sizeof head_);
  head_.fileSize = fileSize;
  head_.channel = static_cast<uint16_t>(channel_);
  head_.state = kStateAppending;
  segments_ = ParseSegments(block.data(), kHeadBlockBytes, head_.segTableOffset);
  // Used entries: a magic word or an offset word that is not 0.
  uint32_t used = 0;
  while (used < kMaxIndexEntries) {
    const uint8_t* e = indexBuf_.data() + used * kIndexEntryBytes;
    uint32_t magic, offset;
    std::memcpy(&magic, e, 4);
    std::memcpy(&offset, e + 12, 4);
    if (magic == 0 && offset == 0) break;
    if (WordAt(e) == kMagicRidx) std::memcpy(&lastIndex_, e, sizeof lastIndex_);
    ++used;
  }
  indexAppend_ = indexFlushed_ = used * kIndexEntryBytes;
  // The count the head gives is the disk's word only: the entries really there decide.
  uint32_t ridx = 0;
  for (uint32_t k = 0; k < used; ++k)
    ridx += WordAt(indexBuf_.data() + k * kIndexEntryBytes) == kMagicRidx;
  head_.indexCount = ridx;
  minIndexDistance_ = MinIndexDistance(fileSize);
  // A damaged dataEnd never sends frames into the index area or past the file.
  pos_ = std::min(std::max(head_.dataEnd, kDataOffset), fileSize);
  cacheDiskPos_ = pos_.load();
  cur_ = FreshSegment(static_cast<uint32_t>(desc.segmentNo) + 1, desc.startMs, pos_);
  cur_.firstIndex = head_.indexCount;
  segments_.push_back(cur_);
  lastFrameMs_ = lastMs;
  Register();
  return 0;
}

// ---- writing -------------------------------------------------------------------------------

int CRecordWriter::CheckRoomForNextGop() {
  const uint32_t room = head_.fileSize - pos_;
  if (room >= kOneMiB || indexAppend_ < 2 * kIndexEntryBytes) return 0;
  // The largest distance between consecutive indexed frames among the last five entries.
  uint32_t largest = 0;
  const uint32_t n = std::min<uint32_t>(5, indexAppend_ / kIndexEntryBytes);
  uint32_t prev = 0;
  for (uint32_t k = 0; k < n; ++k) {
    IndexEntry e;
    std::memcpy(&e, indexBuf_.data() + indexAppend_ - (n - k) * kIndexEntryBytes, sizeof e);
    if (k > 0 && e.offset > prev) largest = std::max(largest, e.offset - prev);
    prev = e.offset;
  }
  return room < largest ? ERR_WRITER_NO_ROOM : 0;
}

int CRecordWriter::AddIndexEntry(uint8_t type, int64_t ptsMs, uint32_t offset,
                                 uint32_t frameBytes) {
  CAutoLock g(&flushLock_);  // the service thread flushes the same buffer
  if (head_.indexCount >= 2 && offset - lastIndex_.offset < minIndexDistance_)
    return ERR_RECFILE_INDEX_CLOSE;
  if (head_.indexCount > 0 && offset < lastIndex_.offset) {
    DebugLog("ch %d index %d curPos %d last recIdx offset %d .\n", channel_,
             static_cast<int>(head_.indexCount), static_cast<int>(offset),
             static_cast<int>(lastIndex_.offset));
    return ERR_WRITER_OVER_FILE;
  }
  if (indexAppend_ + kIndexEntryBytes > kIndexAreaBytes) return ERR_RECFILE_INDEX_FULL;
  const IndexEntry e = MakeIndexEntry(static_cast<uint16_t>(head_.indexCount + 1), type, ptsMs,
                                      offset, frameBytes);
  std::memcpy(indexBuf_.data() + indexAppend_, &e, sizeof e);
  indexAppend_ += kIndexEntryBytes;
  head_.indexCount += 1;
  head_.reserved68 = 0;
  lastIndex_ = e;
  return 0;
}

int CRecordWriter::WriteFrame(const void* frame, uint32_t size) {
  if (!file_) return ERR_WRITER_NO_REGION;
  if (!frame || size < 24 || selector_.Select(const_cast<void*>(frame)) != 0)
    return frame::kNoFrame;
  CFrmStrategy* s = selector_.Current();
  if (size < s->GetHeaderLength()) return frame::kNoFrame;
  if (uint64_t{pos_} + size > head_.fileSize) {
    DebugLog("CH%02d Data is over file.dataSize %d curPos %d destOffset %d file size %d .\n",
             channel_, static_cast<int>(size), static_cast<int>(pos_),
             static_cast<int>(pos_ + size), static_cast<int>(head_.fileSize));
    return ERR_WRITER_OVER_FILE;
  }
  const uint8_t type = s->GetFrameType();
  const int64_t pts = s->GetPts();
  const bool key = s->IsKeyFrame();
  const uint32_t frameNo = s->GetFrameNo();
  if (head_.indexCount > kMaxIndexEntries - 1 || cur_.segNo > kMaxSegments - 1) {
    DebugLog("Over max index NUM or segment.curPos %d index %d.seg %d,\n", static_cast<int>(pos_),
             static_cast<int>(head_.indexCount), static_cast<int>(cur_.segNo));
    return ERR_RECFILE_LIMIT;
  }
  if (head_.indexCount == 0 && !key) return ERR_WRITER_NO_KEY;
  if ((pos_ == kDataOffset || key) && CheckRoomForNextGop() != 0) return ERR_WRITER_NO_ROOM;
  if (cur_.startTime != 0) {
    const int64_t last = lastFrameMs_;
    if (pts < AddMsSaturated(last, -kTimeBackMs)) {
      platform::LogRange("Cur time", pts, pts);
      platform::LogRange("Record last time", last, last);
      DebugLog("CH%02d index %d Time jumped. cur frm NO %d last NO %d\n", channel_,
               static_cast<int>(head_.indexCount), static_cast<int>(frameNo),
               static_cast<int>(lastFrameNo_));
      lastFrameMs_ = pts;
      return ERR_WRITER_TIME_BACK;
    }
    if (pts > AddMsSaturated(last, kTimeAheadMs)) {
      platform::LogRange("last time", last, last);
      platform::LogRange("cur frame time", pts, pts);
      return ERR_WRITER_TIME_AHEAD;
    }
  }
  if (type == 'I' || type == 'M') {
    int r = AddIndexEntry(type, pts, pos_, size);
    if (r != 0 && r != ERR_RECFILE_INDEX_CLOSE) return r;
  }
  if (cur_.startTime == 0) {
    cur_.startTime = pts;
    segments_.back().startTime = pts;
    if (head_.startTime == 0) head_.startTime = pts;
  }
  int r = PutInCache(frame, size);
  if (r < 0) {
    DebugLog("Write FIFO fail.size %d.ret %d\n", static_cast<int>(size), r);
    return r;
  }
  pos_ += size;
  lastFrameMs_ = pts;
  head_.endTime = pts;
  lastFrameNo_ = frameNo;
  return static_cast<int>(size);
}

int CRecordWriter::PutInCache(const void* frame, uint32_t size) {
  if (deviceStatus_ == kDeviceWriteFailed || deviceStatus_ == kDeviceGone) {
    DebugLog("Write FIFO fail status %d m_lastRet %d \n", deviceStatus_.load(), lastError_.load());
    return lastError_ ? lastError_.load() : ERR_WRITE_FAILED;
  }
  if (size > cache_.capacity()) {
    // Larger than the whole cache: it can never wait its way in. Flush, then write it through.
    CAutoLock g(&flushLock_);
    closing_ = true;
    int r = FlushCache();
    closing_ = false;
    if (r != 0) return r;
    r = file_->WriteCachePos(pos_, frame, size, true);
    if (r < 0) return r;
    cacheDiskPos_ = pos_ + size;
    return 0;
  }
  if (cache_.Write(frame, size) >= 0) return 0;
  // A full cache is moved to the disk at once rather than after the service thread's next pass:
  // a recorder catching up (or a backup) then writes at the disk's speed.
  if (FlushCache() == 0 && cache_.Write(frame, size) >= 0) return 0;
  for (uint32_t step = 1; step <= kCacheWaitSteps; ++step) {
    platform::SleepMs(10);
    if (step % 100 == 0) {
      DebugLog("ch %d  Flush cache \n", channel_);
      FlushCache();
    }
    if (deviceStatus_ == kDeviceWriteFailed || deviceStatus_ == kDeviceGone)
      return lastError_ ? lastError_.load() : ERR_WRITE_FAILED;
    if (cache_.FreeSpace() >= size && cache_.Write(frame, size) >= 0) {
      if (step > 10)
        DebugLog("CH %02d FIFO_ERR_NOTENOUGH free_space %d data_size %d wait_count %d \n",
                 channel_, static_cast<int>(cache_.FreeSpace()),
                 static_cast<int>(cache_.DataSize()), static_cast<int>(step));
      return 0;
    }
  }
  DebugLog("CH %02d Wait time too long.Free space %u data size %u\n", channel_,
           cache_.FreeSpace(), cache_.DataSize());
  return ERR_WRITER_CACHE_FULL;
}

// ---- flushing ------------------------------------------------------------------------------

int CRecordWriter::FlushIndex(bool force) {
  CAutoLock g(&flushLock_);
  if (!file_ || indexAppend_ == indexFlushed_) return 0;
  const uint32_t ss = file_->get_sec_size() ? file_->get_sec_size() : 512;
  const int64_t now = platform::TheClock().NowMs();
  const bool due = force || indexAppend_ - indexFlushed_ >= ss / 2 ||
                   now - lastIndexFlushMs_ >= kIndexFlushMs;
  if (!due) return 0;
  // Only entries whose frames are on the disk already: an index ahead of the data would point
  // readers (and the repair) at frames that a power loss took.
  uint32_t upto = indexFlushed_;
  while (upto < indexAppend_) {
    IndexEntry e;
    std::memcpy(&e, indexBuf_.data() + upto, sizeof e);
    if (e.offset >= cacheDiskPos_) break;
    upto += kIndexEntryBytes;
  }
  if (upto == indexFlushed_) return 0;
  const uint32_t from = AlignDown(indexFlushed_, ss);
  const uint32_t to = std::min(AlignUp(upto, ss), kIndexAreaBytes);
  // Whole sectors, with the entries not yet due left out (zero) of the last one.
  std::vector<uint8_t> sectors(indexBuf_.begin() + from, indexBuf_.begin() + to);
  std::fill(sectors.begin() + (upto - from), sectors.end(), 0);
  int r = file_->WritePos(kIndexOffset + from, sectors.data(), to - from, true);
  if (r < 0) return r;
  indexFlushed_ = upto;
  lastIndexFlushMs_ = now;
  return 0;
}

int CRecordWriter::FlushCache() {
  CAutoLock g(&flushLock_);
  if (!file_) return 0;
  const uint32_t held = cache_.DataSize();
  if (held == 0) return FlushIndex(false);
  const int64_t now = platform::TheClock().NowMs();
  if (!closing_ && !segmentDirty_ && now - lastFlushMs_ < kFlushHoldMs &&
      uint64_t{held} * 100 < uint64_t{kFlushFillPercent} * cache_.capacity())
    return 0;
  uint32_t firstLen = 0;
  uint8_t* firstPtr = nullptr;
  uint8_t* span = cache_.GetReadSpan(held, &firstLen, &firstPtr);
  struct Piece {
    const uint8_t* p;
    uint32_t n;
  } pieces[2] = {{firstLen ? firstPtr : span, firstLen ? firstLen : held},
                 {firstLen ? span : nullptr, firstLen ? held - firstLen : 0}};
  for (const Piece& piece : pieces) {
    if (piece.n == 0) continue;
    int r = file_->WriteCachePos(cacheDiskPos_, piece.p, piece.n, true);
    if (r < 0 || r == 3 || r == 4) {
      const int os = platform::GetLastOsError();
      // A device that is gone (no file, no medium, no handle) or will not take writes.
      const bool gone = os == 2 || os == platform::kOsMediumOffline ||
                        os == platform::kOsInvalidHandle;
      deviceStatus_ = gone ? kDeviceGone : kDeviceWriteFailed;
      lastError_ = r < 0 ? r : ERR_WRITE_FAILED;
      return lastError_;
    }
    cache_.AdvanceRead(piece.n);
    cacheDiskPos_ += piece.n;
  }
  lastFlushMs_ = now;
  segmentDirty_ = false;
  return FlushIndex(false);  // after the data it points to
}

int CRecordWriter::WriteHead() {
  if (!file_) return ERR_WRITER_NO_REGION;
  head_.segTableOffset = SegmentTableAt(head_, headOffset_);  // a damaged offset writes nowhere
  std::memcpy(headImage_.data() + headOffset_, &head_, sizeof head_);
  const uint32_t table = head_.segTableOffset;
  for (size_t k = 0; k < segments_.size() && k < kMaxSegments; ++k)
    std::memcpy(headImage_.data() + table + k * kSegmentBytes, &segments_[k], kSegmentBytes);
  int r = file_->WritePos(0, headImage_.data(), kHeadBlockBytes, true);
  if (r < 0) return r;
  file_->Flush();
  return 0;
}

// ---- segments and closing ------------------------------------------------------------------

int CRecordWriter::EndSegment(uint32_t* length) {
  if (!file_) return ERR_WRITER_NO_REGION;
  if (length) *length = cur_.segNo == 0 ? pos_.load() : pos_.load() - cur_.openPos;
  head_.dataEnd = pos_;
  head_.segCount = static_cast<uint32_t>(segments_.size());
  cur_.dataLength = pos_ - cur_.startPos;
  cur_.indexCount = head_.indexCount - cur_.firstIndex;
  recfile::SegmentRecord stored = cur_;
  stored.startTime = stored.endTime = 0;
  segments_.back() = stored;
  DebugLog("CH%02d Set Segment info  idx %d .\n", channel_, static_cast<int>(cur_.segNo));
  platform::LogRange("Set Segment", cur_.startTime, lastFrameMs_);
  int r = WriteHead();
  cur_.startTime = lastFrameMs_;
  segmentDirty_ = true;
  return r;
}

int CRecordWriter::NewSegment(const _rec_file_info_& desc) {
  if (!file_) return ERR_WRITER_NO_REGION;
  cur_ = FreshSegment(desc.segmentNo, desc.startMs, pos_);
  cur_.typeBits = desc.typeBits;
  cur_.firstIndex = head_.indexCount;
  cur_.endTime = desc.startMs;
  lastFrameMs_ = desc.startMs;
  segments_.push_back(cur_);
  return WriteHead();
}

int CRecordWriter::Close() {
  if (!file_) return 0;
  head_.segCount = cur_.segNo + 1;
  head_.state = kStateClosed;
  cur_.endTime = head_.endTime;
  cur_.dataLength = pos_ - cur_.startPos;
  cur_.indexCount = head_.indexCount - cur_.firstIndex;
  if (!segments_.empty()) segments_.back() = cur_;
  closing_ = true;
  for (uint32_t attempt = 0; attempt < kCloseFlushAttempts && cache_.DataSize() > 0; ++attempt) {
    if (FlushCache() != 0 && deviceStatus_ == kDeviceGone) {
      DebugLog("No device %s  LBA %lld \n", regionName_.c_str(),
               static_cast<long long>(file_->get_lba_start()));
      break;
    }
    if (cache_.DataSize() > 0) platform::SleepMs(10);
  }
  if (cache_.DataSize() > 0) {
    DebugLog("Time out for close rec file. CH %d m_status %d \n ", channel_, deviceStatus_.load());
    // What never reached the disk is not declared: the head ends at the flushed position and
    // stays open, so that the repair pass finds the file.
    head_.state = kStateWriting;
    cache_.Clear();
  }
  head_.dataEnd = cacheDiskPos_;
  FlushIndex(true);
  int r = WriteHead();
  Unregister();
  ReleaseRegion();
  segments_.clear();
  std::memset(&cur_, 0, sizeof cur_);
  std::memset(&lastIndex_, 0, sizeof lastIndex_);
  headImage_.clear();
  closing_ = false;
  return r;
}

// ---- repair --------------------------------------------------------------------------------

int CRecordWriter::RepairFile(const std::string& path, uint32_t fileIndex, uint32_t regionSize,
                              int64_t startMs, int64_t endMs, uint32_t* dataEnd,
                              int64_t* endTimeMs) {
  return Repair(path, fileIndex, regionSize, startMs, endMs, true, dataEnd, endTimeMs);
}

int CRecordWriter::FindRepairedEnd(const std::string& path, uint32_t fileIndex,
                                   uint32_t regionSize, int64_t startMs, int64_t endMs,
                                   uint32_t* dataEnd, int64_t* endTimeMs) {
  return Repair(path, fileIndex, regionSize, startMs, endMs, false, dataEnd, endTimeMs);
}

int CRecordWriter::Repair(const std::string& path, uint32_t fileIndex, uint32_t regionSize,
                          int64_t startMs, int64_t endMs, bool write, uint32_t* dataEnd,
                          int64_t* endTimeMs) {
  if (file_) return ERR_WRITER_OPEN;
  if (regionSize <= kDataOffset) return ERR_WRITER_OVER_FILE;
  int r = OpenRegion(path, fileIndex, regionSize, write ? MODE_RDWR : MODE_RDONLY);
  if (r != 0) {
    ReleaseRegion();
    return r;
  }
  std::vector<uint8_t>& block = repairBlock_;  // kept from repair to repair
  block.resize(kDataOffset);
  r = file_->ReadPos(0, block.data(), kDataOffset, true);
  if (r != static_cast<int>(kDataOffset)) {
    DebugLog("Read file head fail. ret %d.\n ", r);
    ReleaseRegion();
    return r < 0 ? r : ERR_READ_FAILED;
  }
  const int at = FindHead(block.data(), kHeadBlockBytes);
  if (at < 0) {
    DebugLog("Not a record file.\n");
    ReleaseRegion();
    return at;
  }
  headOffset_ = static_cast<uint32_t>(at);
  std::memcpy(&head_, block.data() + headOffset_, sizeof head_);
  headImage_.assign(block.begin(), block.begin() + kHeadBlockBytes);
  indexBuf_.assign(block.begin() + kIndexOffset, block.end());
  segments_ = ParseSegments(block.data(), kHeadBlockBytes, head_.segTableOffset);

  // The entries written before the power went.
  uint32_t entries = 0;
  std::vector<uint32_t> ridx;  // slots of the index entries, in order
  for (; entries < kMaxIndexEntries; ++entries) {
    const uint8_t* e = indexBuf_.data() + entries * kIndexEntryBytes;
    if (WordAt(e) == kMagicRidx) {
      ridx.push_back(entries);
    } else if (WordAt(e) != kMagicGpsi) {
      if (e[6] != 'I' && (e[0] | e[1] | e[2] | e[3])) DebugLog("Error data index %d.\n", entries);
      break;
    }
  }
  // An index entry can reach the disk before the frame it points to: keep only entries whose
  // frame is really there (a valid header at the offset), dropping later ones and what follows.
  IndexEntry last{};
  bool haveLast = false;
  while (!ridx.empty()) {
    std::memcpy(&last, indexBuf_.data() + ridx.back() * kIndexEntryBytes, sizeof last);
    uint8_t probe[frame::kMaxHeaderBytes];
    CFrmStategy check;
    if (last.offset >= kDataOffset && uint64_t{last.offset} + sizeof probe <= regionSize &&
        file_->ReadPos(last.offset, probe, sizeof probe, true) == static_cast<int>(sizeof probe) &&
        check.SelectValid(probe)) {
      haveLast = true;
      break;
    }
    entries = ridx.back();
    ridx.pop_back();
  }
  std::memset(indexBuf_.data() + entries * kIndexEntryBytes, 0,
              indexBuf_.size() - entries * kIndexEntryBytes);
  // Resume at the last indexed frame and step over it by its own header (its indexed size is
  // rounded up to even, so offset + size can land a byte into the next frame).
  CFrmStategy sel;
  uint32_t pos = kDataOffset;
  int64_t lastPts = head_.startTime;
  int64_t lastIndexedPts = INT64_MIN;
  // The chunk's storage is kept from repair to repair and never zeroed: only what a read filled
  // (chunkLen bytes from chunkAt) is looked at.
  if (!repairChunk_) repairChunk_.reset(new uint8_t[kRepairChunk]);
  uint8_t* const chunk = repairChunk_.get();
  uint32_t chunkAt = 0, chunkLen = 0;
  auto fill = [&](uint32_t at) -> bool {
    const uint32_t n = std::min(kRepairChunk, regionSize - at);
    if (n == 0) return false;
    int rr = file_->ReadPos(at, chunk, n, true);
    chunkAt = at;
    chunkLen = rr == static_cast<int>(n) ? n : 0;
    return rr == static_cast<int>(n);
  };
  if (haveLast && last.offset >= kDataOffset && last.offset < regionSize) {
    pos = last.offset;
    lastIndexedPts = int64_t{last.time} * 1000;
  }
  auto headerAt = [&](uint32_t at) -> uint8_t* {
    if (chunkLen == 0 || at < chunkAt || at + frame::kMaxHeaderBytes > chunkAt + chunkLen)
      if (!fill(at)) return nullptr;
    return chunk + (at - chunkAt);
  };
  // Past a damaged tag (a torn or zeroed header, a length no frame has) the recording may go
  // on: the next valid tag within one largest frame whose time continues it. Frames of an older
  // recording left behind in the file have earlier times and end the scan. 0: none.
  auto resync = [&](uint32_t from) -> uint32_t {
    const uint64_t limit = std::min<uint64_t>(regionSize, uint64_t{from} + kRepairMaxFrame);
    for (uint32_t at = from; at + frame::kMaxHeaderBytes <= limit; ++at) {  // a byte a pass
      uint8_t* h = headerAt(at);
      if (!h) return 0;
      if (WordAt(h) == 0) {  // no tag begins in four zero bytes (unwritten space)
        at += 3;
        continue;
      }
      if (!MayStartTag(h[0]) || !sel.SelectValid(h)) continue;
      const int64_t pts = sel.Current()->GetPts();
      if (pts >= lastPts && pts <= AddMsSaturated(lastPts, kRepairResyncGapMs) &&
          uint64_t{at} + sel.Current()->GetFrameLength(1) <= regionSize)
        return at;
    }
    return 0;
  };
  uint32_t goodEnd = pos;
  bool first = true;
  // Every pass moves pos forward: by a frame's length (at least its header, which a valid tag
  // guarantees) or to a resync point past the damaged byte.
  while (pos + frame::kMaxHeaderBytes <= regionSize) {
    uint8_t* h = headerAt(pos);
    if (!h) break;
    const bool valid = sel.SelectValid(h);
    const uint32_t len = valid ? sel.Current()->GetFrameLength(1) : 0;
    if (!valid || len > kRepairMaxFrame || uint64_t{pos} + len > regionSize) {
      if (valid) DebugLog("Data len error %d \n", static_cast<int>(len));
      const uint32_t next = resync(pos + 1);
      if (next == 0) break;
      DebugLog("Damaged frame data skipped: offset %u to %u.\n", pos, next);
      pos = next;
      first = false;
      continue;
    }
    CFrmStrategy* s = sel.Current();
    const int64_t pts = s->GetPts();
    if (pts < startMs || (endMs > 0 && pts > endMs)) break;
    const bool key = s->IsKeyFrame();
    // The indexed frame we resumed at is already in the index.
    const bool alreadyIndexed = first && haveLast && pos == last.offset;
    if (key && !alreadyIndexed && pts >= AddMsSaturated(lastIndexedPts, kRepairKeySpacingMs) &&
        entries < kMaxIndexEntries) {
      const IndexEntry e = MakeIndexEntry(static_cast<uint16_t>(entries + 1), 'I', pts, pos, len);
      std::memcpy(indexBuf_.data() + entries * kIndexEntryBytes, &e, sizeof e);
      ++entries;
      lastIndexedPts = pts;
      platform::LogRange("IFrame index time", pts, pts);
    }
    first = false;
    pos += len;
    goodEnd = pos;
    lastPts = pts;
  }

  head_.dataEnd = goodEnd;
  head_.endTime = lastPts;
  uint32_t indexCount = 0;
  for (uint32_t k = 0; k < entries; ++k)
    indexCount += WordAt(indexBuf_.data() + k * kIndexEntryBytes) == kMagicRidx;
  head_.indexCount = indexCount;
  head_.state = kStateClosed;
  if (!segments_.empty()) {
    recfile::SegmentRecord& seg = segments_.back();
    seg.endTime = lastPts;
    seg.dataLength = goodEnd > seg.startPos ? goodEnd - seg.startPos : 0;
    seg.indexCount = indexCount > seg.firstIndex ? indexCount - seg.firstIndex : 0;
  }
  head_.segCount = static_cast<uint32_t>(segments_.size());
  r = 0;
  if (write) {
    r = file_->WritePos(kIndexOffset, indexBuf_.data(), kIndexAreaBytes, true);
    if (r >= 0) r = WriteHead();
  }
  platform::LogRange("end frame time", lastPts, lastPts);
  ReleaseRegion();
  headImage_.clear();
  segments_.clear();
  if (r < 0) return r;
  if (dataEnd) *dataEnd = goodEnd;
  if (endTimeMs) *endTimeMs = lastPts;
  return 0;
}
