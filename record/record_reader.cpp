#include "record/record_reader.h"

#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <cstdlib>
#include <cstring>

#include "api/context.h"
#include "device/disk_dev.h"
#include "fifo/mp_frame_buf.h"
#include "platform/clock.h"
#include "platform/messages.h"
#include "platform/platform_context.h"
#include "platform/time_print.h"
#include "record/asf_format.h"
#include "serialfile/serial_file_factory.h"

using namespace recfile;

namespace {
constexpr uint32_t kFarPosition = 0x20000000;  // no record file reaches this
constexpr uint32_t kSkipAfterSeek = 1024000;
constexpr int kMaxSkips = 5;
constexpr int kWaitSteps = 300;
constexpr int kRangeWaitSteps = 500;
constexpr int kWaitPasses = 3;
constexpr uint32_t kMinFreeForKeyFrame = 53;
constexpr int kThinEvery = 3;

bool IsFolder(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

uint64_t FileBytes(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}
}  // namespace

int64_t PaceDelayMs(int mode, int speed, int64_t previousMs, int64_t nextMs) {
  // An unsigned difference: frame times can be any 64-bit value.
  const uint64_t gap = nextMs > previousMs
                           ? static_cast<uint64_t>(nextMs) - static_cast<uint64_t>(previousMs)
                           : static_cast<uint64_t>(previousMs) - static_cast<uint64_t>(nextMs);
  const int64_t diff = static_cast<int64_t>(std::min<uint64_t>(gap, INT64_MAX));
  int64_t ms;
  if (mode == kModeFast || mode == kModeBack) ms = diff / (speed > 0 ? speed : 1);
  else if (mode == kModeNormal) ms = diff;
  else ms = 40;
  return std::min<int64_t>(ms, 1000);  // a gap in the recording never freezes the picture
}

CRecordReader::CRecordReader(int clientId) : clientId_(clientId) {}

CRecordReader::~CRecordReader() { Close(); }

void CRecordReader::SetPlayMode(int mode, int speed) {
  CAutoLock g(&lock_);
  mode_ = mode;
  speed_ = speed > 0 ? speed : 1;
  step_ = 1;
}

int CRecordReader::OpenRecord(const _rec_file_info_& item, int64_t t, bool reopen) {
  // While the file is opened and positioned the consumer takes nothing: the service thread may
  // fill from the wrong place until the last seek clears the buffer.
  Positioning positioning(openGen_);
  std::string path;
  if (!qvfs::Context::Current().diskWatch().DiskName(item.diskNo, &path)) return ERR_NO_DEVICE;
  if (item.operation == QVFS_OPERATION_RECOVERED) return OpenRecovered(path, item);
  constexpr int64_t kNoEnd = 2147483647000;  // the default range end
  const int64_t end = item.endMs < kNoEnd ? int64_t{item.endMs} : 0;
  const int64_t start = item.startMs;
  // The same record file of the same disk (a device's name, or a folder's file path under it).
  const bool same = file_ && fileIndex_ == static_cast<uint32_t>(item.fileIndex) &&
                    regionName_.compare(0, path.size(), path) == 0 && !reopen;
  if (!same) {
    int r = Open(path, static_cast<uint32_t>(item.fileIndex), start, end, reopen);
    if (r != 0) return r;
  } else {
    CAutoLock g(&lock_);
    startMs_ = start;
    endMs_ = end;
  }
  const int64_t at = std::max(t, start);
  if (mode_ == kModeBack) {
    CAutoLock g(&lock_);
    curIndex_ = index_.empty() ? 0 : index_.size() - 1;
  }
  // A file opened afresh is being refilled already (the service thread starts at once): what
  // it read before this seek is dropped, or it would be played twice.
  int r = SeekToTime(at, reopen || !same);
  if (r != 0) {
    DebugLog("CH %02d file fileIdx%d- Seek fail.\n", channel_, item.fileIndex);
    Close();
    return r;
  }
  CAutoLock g(&lock_);
  channel_ = item.channel;
  ended_ = false;
  platform::LogRange("Open file read", start, item.endMs);
  if (!index_.empty())
    platform::LogRange("Last IFrame time", int64_t{index_.back().time} * 1000,
                       int64_t{index_.back().time} * 1000);
  return 0;
}

int CRecordReader::SetReplayMode(int mode, int speed) {
  switch (mode) {
    case 1: case 2: case kModeNormal: case kModeSingle: case kModeSlow: case kModeFast:
    case kModeBack:
      break;
    default:
      DebugLog("Mode is error. speed %d .mode %d \n", speed, mode);
      return ERR_READER_NO_ENTRY;
  }
  if (speed < 0 || speed > 32) {
    DebugLog("Speed is error. speed %d .mode %d \n", speed, mode);
    return ERR_READER_NO_ENTRY;
  }
  CAutoLock g(&lock_);
  if (mode == mode_ && (speed ? speed : 1) == speed_) return 0;
  // Play goes on from the last frame the consumer took (or the last seek when it took none).
  // The buffer is emptied: frames of the old mode are not wanted, and data read as it lies in
  // the file may end in a piece of a frame that whole frames must not follow.
  const int64_t consumed = consumedMs_.load();
  const int64_t last = consumed > 0 ? consumed : lastSeekMs_;
  platform::LogRange("Set mode seek time", last, last);
  mode_ = mode;
  speed_ = speed ? speed : 1;
  step_ = static_cast<size_t>(speed_);
  if (file_) SeekToTime(last, true);
  ended_ = false;
  return 0;
}

void CRecordReader::ServiceTimeRange(int64_t* startMs, int64_t* endMs, bool* back) const {
  *startMs = head_.startTime;
  *endMs = currentMs_;
  *back = mode_ == kModeBack;
}

uint32_t CRecordReader::ReadableEnd() const {
  // A recovered piece ends where the recovery scan found its last frame.
  if (rangeEnd_ > 0) return std::min(rangeEnd_, fileSize_);
  // A closed file ends at dataEnd: what lies after it is left over from an earlier recording.
  // A file still being written (or never closed) is read to its size.
  if (head_.state == kStateClosed && head_.dataEnd >= kDataOffset && head_.dataEnd <= fileSize_)
    return head_.dataEnd;
  // A file a power loss left open, repaired in memory only (its drive is not written): it ends
  // where that repair found its last frame.
  if (repairedEnd_ >= kDataOffset && repairedEnd_ <= fileSize_) return repairedEnd_;
  return fileSize_;
}

int CRecordReader::OpenRegion(const std::string& path, uint32_t fileIndex) {
  if (path.empty()) {
    DebugLog("No device %s .\n", path.c_str());
    return ERR_NO_DEVICE;
  }
  qvfs::Context& ctx = qvfs::Context::Current();
  direct_ = IsDevicePath(path);
  fileLba_ = 0;
  fileSectors_ = 0;
  repairedEnd_ = 0;
  rangeStart_ = rangeEnd_ = 0;
  if (direct_) {
    regionName_ = path;
    fileLba_ = ctx.diskWatch().RecordFileLba(path, fileIndex);
    fileSectors_ = ctx.diskWatch().RecordFileSectors(path);
    repairedEnd_ = ctx.diskWatch().RepairedDataEnd(path, fileIndex);
  } else if (IsFolder(path)) {
    int r = FolderRecordFilePath(path, fileIndex, &regionName_);
    if (r != 0) return r;
    repairedEnd_ = ctx.diskWatch().RepairedDataEnd(WithTrailingSlash(path), fileIndex);
  } else {
    regionName_ = path;
  }
  file_.reset(CSerialFileFactory::CreateSerialFile(regionName_.c_str()));
  if (!file_) return ERR_NO_DEVICE;
  int r = file_->Open(regionName_.c_str(), static_cast<uint32_t>(fileLba_),
                      static_cast<uint32_t>(fileLba_ >> 32), kDataOffset, MODE_RDONLY);
  if (r != 0) file_.reset();
  fileIndex_ = fileIndex;
  const uint64_t base = direct_ ? fileLba_
                        : IsFolder(path) ? fileIndex
                                         : std::hash<std::string>()(regionName_);
  serviceKey_ = base + static_cast<uint64_t>(clientId_);
  return r;
}

void CRecordReader::ReleaseRegion() {
  if (file_) file_->Close();
  file_.reset();
  open_ = false;
}

int CRecordReader::ReadRecordInfo(RecordHead* headCopy) {
  if (!file_) return ERR_READER_NO_REGION;
  // Only read here (head, index and GPS entries are copied out): one buffer per thread serves
  // every reader that thread opens, instead of 188 KiB of fresh pages per open.
  static thread_local std::vector<uint8_t> block;
  block.resize(kDataOffset);
  int r = file_->ReadPos(0, block.data(), kDataOffset, true);
  if (r != static_cast<int>(kDataOffset)) {
    DebugLog("Read pos %d ret %d \n", 0, r);
    return r < 0 ? r : ERR_READ_FAILED;
  }
  const int at = FindHead(block.data(), kHeadBlockBytes);
  if (at < 0) return at;
  std::memcpy(&head_, block.data() + at, sizeof head_);
  asf::HeaderSettings asfHeader;
  asf_ = at == static_cast<int>(kAsfHeadOffset) &&
         asf::ReadHeaderSettings(block.data(), block.size(), &asfHeader);
  if (head_.state == kStateWriting)
    DebugLog("CH %d idx %d File is writting.\n", head_.channel, static_cast<int>(head_.fileIndex));
  index_.clear();
  gps_.clear();
  ParseIndexArea(block.data() + kIndexOffset, kIndexAreaBytes, &index_, &gps_);
  if (index_.size() > kMaxIndexEntries) index_.resize(kMaxIndexEntries);
  if (headCopy) *headCopy = head_;
  if (!index_.empty()) return static_cast<int>(index_.size());
  return head_.dataEnd > kDataOffset ? 0 : ERR_RECFILE_EMPTY;
}

int CRecordReader::Prepare(int64_t startMs, int64_t endMs, bool clear) {
  int r = ReadRecordInfo(nullptr);
  if (r < 0 && !(r == ERR_RECFILE_EMPTY && head_.state == kStateWriting)) {
    ReleaseRegion();
    return r;
  }
  return PrepareRegion(head_.fileSize, head_.channel, startMs, endMs, clear);
}

int CRecordReader::PrepareRegion(uint64_t size, int channel, int64_t startMs, int64_t endMs,
                                 bool clear) {
  int r = 0;
  // The region is as large as the head says, and never past what the file really holds: an
  // ordinary file's size, or on a disk the record-file size its table gives (a damaged head
  // would otherwise send the reader on into the next record files).
  if (!direct_) size = std::min<uint64_t>(size, FileBytes(regionName_));
  else if (fileSectors_ && file_->get_sec_size())
    size = std::min<uint64_t>(size, uint64_t{fileSectors_} * file_->get_sec_size());
  fileSize_ = static_cast<uint32_t>(std::max<uint64_t>(size, kDataOffset));
  file_->SetDataSize(fileSize_);
  channel_ = channel;
  startMs_ = startMs;
  endMs_ = endMs;
  pos_ = kDataOffset;
  curIndex_ = 0;
  keySent_ = false;
  ended_ = false;
  skips_ = 0;
  ForgetAsfFrames();
  qvfs::Context& ctx = qvfs::Context::Current();
  const StorageParams& params = ctx.shared().params();
  // The play buffer is made once and kept (a consumer may be inside it); one that is not open
  // is opened again.
  if (!play_) {
    if (params.multiUserPlayBuffer) play_ = std::make_unique<CMPFrameBuf>();
    else play_ = std::make_unique<CPlayBufGeneral>();
  }
  if (!play_->IsOpen()) {
    r = play_->Open(channel_, static_cast<uint32_t>(params.playBufferSize), nullptr, clientId_);
    if (r != 0) {
      ReleaseRegion();
      return r;
    }
  }
  if (clear) play_->Clear();
  frameBuf_.resize(static_cast<size_t>(std::max(params.frameBufferSize, 0x10000)));
  open_ = true;
  if (startMs) SeekToTime(startMs, clear);
  return 0;
}

// Registration happens outside lock_: the service thread holds its reader lock when it calls
// Fill, which takes lock_ (the order is service reader lock, then reader lock).
void CRecordReader::Register() {
  if (!file_ || registered_) return;
  const StorageParams& params = qvfs::Context::Current().shared().params();
  qvfs::Context::Current().deviceServices().RegisterReader(
      regionName_, serviceKey_, this, file_->GetScsiDev(),
      static_cast<uint32_t>(params.frameBufferSize));
  registered_ = true;
}

int CRecordReader::Open(const std::string& path, uint32_t fileIndex, int64_t startMs,
                        int64_t endMs, bool clear) {
  Close();
  int r;
  {
    CAutoLock g(&lock_);
    r = OpenRegion(path, fileIndex);
    if (r != 0) {
      ReleaseRegion();
      return r;
    }
    r = Prepare(startMs, endMs, clear);
  }
  if (r == 0) Register();
  return r;
}

int CRecordReader::OpenRecovered(const std::string& path, const _rec_file_info_& item) {
  Close();
  int r;
  {
    CAutoLock g(&lock_);
    r = OpenRegion(path, static_cast<uint32_t>(item.fileIndex));
    if (r != 0) {
      ReleaseRegion();
      return r;
    }
    // The piece's frames lie where the recovery scan found them, whatever the head says (a
    // recycled file's head describes the recording that followed, a free file may have none):
    // no head, no key-frame index, the data read from the piece's first byte to its end.
    head_ = RecordHead{};
    index_.clear();
    gps_.clear();
    asf_ = false;
    r = PrepareRegion(UINT32_MAX, item.channel, 0, 0, true);
    if (r == 0) {
      const uint32_t end = std::min<uint32_t>(item.endOffset, fileSize_);
      const uint32_t bytes = item.size > 0 ? static_cast<uint32_t>(item.size) : 0;
      rangeStart_ = end >= kDataOffset + bytes ? end - bytes : kDataOffset;
      rangeEnd_ = std::max(end, rangeStart_);
      pos_ = rangeStart_;
      lastSeekMs_ = item.startMs;
      startMs_ = item.startMs;
      endMs_ = item.endMs;
    }
  }
  if (r == 0) Register();
  return r;
}

int CRecordReader::OpenFile(const std::string& path, const _rec_file_info_& info) {
  Close();
  int r;
  {
    CAutoLock g(&lock_);
    r = OpenRegion(path, static_cast<uint32_t>(info.fileIndex));
    if (r != 0) {
      ReleaseRegion();
      return r;
    }
    // An exported file is read up to its own size (the head's), never a nominal 512 MiB that
    // would run into the next record files on a disk.
    r = Prepare(info.startMs, info.endMs, true);
    if (r == 0) channel_ = info.channel;
  }
  if (r == 0) Register();
  return r;
}

void CRecordReader::ClearPlayBuffer() {
  CAutoLock g(&lock_);
  if (play_) play_->Clear();
}

int CRecordReader::Close() {
  if (registered_) {  // outside lock_, as registration
    qvfs::Context::Current().deviceServices().UnregisterReader(regionName_, serviceKey_, this);
    registered_ = false;
  }
  CAutoLock g(&lock_);
  if (!file_) return 0;
  DebugLog("ClientID %02d %02d index %d CRecReadBase::Close \n", clientId_, channel_,
           static_cast<int>(fileIndex_));
  ReleaseRegion();
  pos_ = kDataOffset;
  curIndex_ = 0;
  ended_ = false;
  return 0;
}

// ---- positioning ---------------------------------------------------------------------------

int CRecordReader::SeekToTime(int64_t ms, bool clearBuffer) {
  CAutoLock g(&lock_);
  lastSeekMs_ = ms;
  consumedMs_ = 0;
  if (index_.empty()) {
    DebugLog("No Key frame video.\n");
    pos_ = rangeEnd_ > 0 ? rangeStart_ : kDataOffset;  // a recovered piece starts over
    return 0;
  }
  platform::LogRange("playback Seek time ", ms, ms);
  const uint32_t s = static_cast<uint32_t>(ms / 1000);
  size_t k = 0;
  if (s > index_.front().time) {
    platform::LogRange("Start time", int64_t{index_.front().time} * 1000,
                       int64_t{index_.front().time} * 1000);
    platform::LogRange("endTime time", int64_t{index_.back().time} * 1000,
                       int64_t{index_.back().time} * 1000);
    k = index_.size() - 1;
    for (size_t i = 0; i < index_.size(); ++i) {
      if (index_[i].time != 0 && index_[i].time >= s) {
        k = i;
        break;
      }
    }
    if (mode_ == kModeBack && endMs_ > 0) {
      const uint32_t e = static_cast<uint32_t>(endMs_ / 1000);
      while (k > 0 && (index_[k].time == 0 || index_[k].time > e)) --k;
    }
  }
  curIndex_ = k;
  keySent_ = false;
  pos_ = index_[k].offset;
  if (pos_ < kDataOffset || pos_ >= fileSize_) pos_ = kDataOffset;
  ended_ = false;
  ForgetAsfFrames();
  if (clearBuffer && play_ && play_->DataSize() > 0) play_->Clear();
  return 0;
}

int64_t CRecordReader::SeekIndex(int64_t ms) {
  CAutoLock g(&lock_);
  const uint32_t s = static_cast<uint32_t>(ms / 1000);
  for (const IndexEntry& e : index_) {
    if (e.time > s) {
      platform::LogRange("Seek Idx Time", int64_t{e.time} * 1000, int64_t{e.time} * 1000);
      return e.offset;
    }
  }
  if (index_.size() < 2) return -1;
  for (size_t k = index_.size() - 1; k-- > 0;) {
    if (index_[k].time != 0 && index_[k].time < s) {
      const uint64_t end = uint64_t{index_[k + 1].offset} + index_[k + 1].size;
      if (end < fileSize_) return static_cast<int64_t>(end);
      DebugLog("Get Error data offset %d ", static_cast<int>(end));
      return -1;
    }
  }
  return -1;
}

// ---- refills -------------------------------------------------------------------------------

int CRecordReader::Fill(int level) {
  if (!play_) return ERR_READER_NO_BUFFER;
  const int own = play_->FillPercent();
  if (own > level) {
    if (own >= 100 || own > level + 10 || ++skips_ <= kMaxSkips) return 0;
  }
  if (ended_) return ERR_READER_NO_BUFFER;
  CAutoLock g(&lock_);
  if (!file_) return ERR_READER_NO_REGION;
  skips_ = 0;
  int r;
  switch (mode_) {
    case kModeFast:
      r = speed_ < 3 ? ReadData() : ReadKeyFramesForward();
      break;
    case kModeBack:
      r = ReadKeyFramesBackward();
      break;
    default:
      if (pos_ >= kFarPosition) {
        DebugLog("CH%02d index%d  no leaf data curpos%d fileLen %d   End read file.\n", channel_,
                 static_cast<int>(fileIndex_), static_cast<int>(pos_),
                 static_cast<int>(fileSize_));
        ended_ = true;
        return ERR_READER_PAST_END;
      }
      r = ReadData();
  }
  if (r == ERR_READER_BAD_SECTOR) r = MoveToAnotherEntry();
  return r;
}

int CRecordReader::ReadFailure(int r) const {
  constexpr int kMediumError = 3;
  if (r == kMediumError) return ERR_READER_BAD_SECTOR;
  CDisk_Dev* dev = file_ ? file_->GetScsiDev() : nullptr;
  if (r == ERR_READ_FAILED && dev && dev->get_sense_key() == kMediumError)
    return ERR_READER_BAD_SECTOR;
  return r < 0 ? r : ERR_READ_FAILED;
}

int CRecordReader::MoveToAnotherEntry() {
  constexpr uint32_t kSkipBytes = 1024000;
  if (mode_ == kModeFast || mode_ == kModeBack) {
    // The key-frame walks go on with the entry after (or before) the unreadable one.
    const bool back = mode_ == kModeBack;
    if (back ? curIndex_ == 0 : curIndex_ + 1 >= index_.size()) {
      DebugLog(back ? "REPLAY_REBACK Over curIndex %d max index %d .\n"
                    : "REPLAY_FAST Over curIndex %d max index %d .\n",
               static_cast<int>(curIndex_), static_cast<int>(index_.size()));
      return back ? ERR_READER_BEFORE_FIRST : ERR_READER_PAST_END;
    }
    curIndex_ = back ? curIndex_ - 1 : curIndex_ + 1;
    keySent_ = false;
    ended_ = false;
    return 0;
  }
  platform::LogRange("Last read time", currentMs_.load(), currentMs_.load());
  for (size_t k = 0; k < index_.size(); ++k) {
    const IndexEntry& e = index_[k];
    if (uint64_t{e.offset} < uint64_t{pos_} + kSkipBytes || int64_t{e.time} * 1000 < currentMs_ / 1000 * 1000)
      continue;
    platform::LogRange("cur Time", int64_t{e.time} * 1000, int64_t{e.time} * 1000);
    if (uint64_t{e.offset} + kSkipBytes > ReadableEnd()) break;
    curIndex_ = k;
    pos_ = e.offset;
    file_->Seek(pos_, 0);
    ended_ = false;
    ForgetAsfFrames();
    return 0;
  }
  return ERR_READER_PAST_END;  // the end flag stays set
}

int CRecordReader::ReadData() {
  CAutoLock g(&lock_);  // also when called directly, not through Fill
  if (!file_) return ERR_RECFILE_NOT_RECORD;
  if (asf_) return ReadAsfPackets();
  const uint32_t end = ReadableEnd();
  if (pos_ >= end) {
    DebugLog("Cur Pos %d fileLen %d   .\n", static_cast<int>(pos_), static_cast<int>(end));
    ended_ = true;
    return ERR_READER_END;
  }
  if (endMs_ > 0) {
    // The next key frame at or after the position already lies past the wanted end.
    for (const IndexEntry& e : index_) {
      if (e.offset < pos_) continue;
      if (int64_t{e.time} * 1000 > endMs_) {
        ended_ = true;
        return ERR_READER_PAST_END;
      }
      break;
    }
  }
  const uint32_t free = play_->FreeSpace();
  const uint32_t n = std::min(end - pos_, free);
  if (n == 0) return 0;
  uint8_t *w = nullptr, *start = nullptr;
  uint32_t toEnd = 0;
  play_->GetWriteSpan(&w, &toEnd, &start);
  // While the ring is wrapped its free bytes lie in one piece from the write pointer.
  const uint32_t first = toEnd == 0 ? n : std::min(n, toEnd);
  int r = file_->ReadPos(pos_, w, first, true);
  if (r == static_cast<int>(first) && n > first) r = file_->ReadPos(pos_ + first, start, n - first, true);
  if (r < 0 || r == 3 || r == 4) {
    DebugLog("2 Read data fail.ret %d  leaf_size %d \n", r, static_cast<int>(end - pos_));
    DebugLog("CH %02d Read To FIFO end curoffset %d  read_size %d \n", channel_,
             static_cast<int>(pos_), static_cast<int>(n));
    ended_ = true;
    return ReadFailure(r);
  }
  play_->CommitWrite(n, true);
  pos_ += n;
  return static_cast<int>(n);
}

int CRecordReader::ReadThinned() {
  CAutoLock g(&lock_);  // also when called directly, not through Fill
  if (!file_) return ERR_RECFILE_NOT_RECORD;
  if (asf_) return ReadAsfPackets();  // packets are not thinned: every frame goes
  const uint32_t end = ReadableEnd();
  if (pos_ >= end) {
    ended_ = true;
    return ERR_READER_END;
  }
  const uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(frameBuf_.size()), end - pos_);
  int r = file_->ReadPos(pos_, frameBuf_.data(), n, true);
  if (r != static_cast<int>(n)) {
    DebugLog(" CH%02d pos %d Read data Error.\n", channel_, static_cast<int>(pos_));
    ended_ = true;
    return r < 0 ? r : ERR_READ_FAILED;
  }
  uint32_t at = 0;
  int counted = 0, pushed = 0;
  int64_t lastPts = INT64_MIN;
  // at moves a byte past what is no frame, or a valid frame's length (at least 24 bytes).
  while (at + frame::kMaxHeaderBytes <= n) {
    if (!MayStartTag(frameBuf_[at]) || !fillSelector_.SelectValid(frameBuf_.data() + at)) {
      ++at;
      continue;
    }
    CFrmStrategy* s = fillSelector_.Current();
    const uint32_t len = s->GetFrameLength(1);
    if (len < s->GetHeaderLength() || uint64_t{at} + len > n) break;  // the next chunk has it
    const int64_t pts = s->GetPts();
    if (endMs_ > 0 && fillSelector_.RangeTime() > endMs_) {
      ended_ = true;
      break;
    }
    const uint8_t type = s->GetFrameType();
    bool take = s->IsKeyFrame();
    if (type == 'P' || type == 'M') take = take || ++counted % kThinEvery == 0;
    if (take) {
      if (pts < lastPts) DebugLog("Time Error.\n");
      if (play_->PutFrame(frameBuf_.data() + at, len) < 0) break;
      lastPts = pts;
      ++pushed;
    }
    at += len;
  }
  if (at == 0) {
    DebugLog("Error data flag %d.\n", 0);
    ended_ = true;
  }
  pos_ += at;
  return pushed;
}

int CRecordReader::PushIndexedFrame(size_t k) {
  if (asf_) return PushAsfKeyFrame(k);
  const IndexEntry e = index_[k];
  const uint32_t size = e.size;
  // The indexed size (rounded up) must fit the frame buffer and the file; else the walk ends.
  if (size < frame::kMaxHeaderBytes || size > frameBuf_.size() || e.offset < kDataOffset ||
      uint64_t{e.offset} + size > fileSize_) {
    ended_ = true;
    return ERR_READER_PAST_END;
  }
  int r = file_->ReadPos(e.offset, frameBuf_.data(), size, true);
  if (r != static_cast<int>(size)) {
    DebugLog("CH%02d Read data error offset %d ,size %d. ret %d \n", channel_,
             static_cast<int>(e.offset), static_cast<int>(size), r);
    ended_ = true;
    return ReadFailure(r);
  }
  // A damaged tag where the entry points (or a frame longer than the entry says) is no key
  // frame: the walk steps past the entry and goes on with the next.
  if (!fillSelector_.SelectValidWithin(frameBuf_.data(), size) ||
      fillSelector_.Current()->GetFrameLength(1) > size) {
    DebugLog("CH%02d index %d offset %d no key frame there.\n", channel_, static_cast<int>(k),
             static_cast<int>(e.offset));
    return ERR_READER_BAD_FRAME;
  }
  // The frame's own length: the indexed size may be one byte longer (rounded up to even).
  const uint32_t len = fillSelector_.Current()->GetFrameLength(1);
  if (play_->FreeSpace() < len || play_->PutFrame(frameBuf_.data(), len) < 0) return 0;
  currentMs_ = fillSelector_.Current()->GetPts();
  return 1;
}

// ---- ASF-packaged files ---------------------------------------------------------------------

void CRecordReader::ForgetAsfFrames() {
  assembler_.Reset(head_.startTime);
  pending_.clear();
}

int CRecordReader::PushPendingFrames() {
  int pushed = 0;
  while (!pending_.empty()) {
    std::vector<uint8_t>& f = pending_.front();
    fillSelector_.Select(f.data());
    if (endMs_ > 0 && fillSelector_.Current()->GetPts() > endMs_) {
      ended_ = true;
      pending_.clear();
      break;
    }
    if (f.size() > uint64_t{play_->DataSize()} + play_->FreeSpace()) {  // can never go in
      pending_.pop_front();
      continue;
    }
    if (play_->FreeSpace() < f.size() ||
        play_->PutFrame(f.data(), static_cast<uint32_t>(f.size())) < 0)
      break;
    pending_.pop_front();
    ++pushed;
  }
  return pushed;
}

int CRecordReader::ReadAsfPackets() {
  int pushed = PushPendingFrames();
  if (!pending_.empty() || ended_) return pushed;
  const uint32_t end = ReadableEnd();
  if (pos_ < kDataOffset || uint64_t{pos_} + asf::kPacketBytes > end) {
    DebugLog("Cur Pos %d fileLen %d   .\n", static_cast<int>(pos_), static_cast<int>(end));
    ended_ = true;
    return pushed ? pushed : ERR_READER_END;
  }
  uint32_t n = std::min<uint32_t>((end - pos_) / asf::kPacketBytes,
                                  static_cast<uint32_t>(frameBuf_.size()) / asf::kPacketBytes);
  n = std::max<uint32_t>(1, std::min<uint32_t>(n, play_->FreeSpace() / asf::kPacketBytes));
  const uint32_t bytes = n * asf::kPacketBytes;
  if (frameBuf_.size() < bytes) frameBuf_.resize(bytes);
  int r = file_->ReadPos(pos_, frameBuf_.data(), bytes, true);
  if (r != static_cast<int>(bytes)) {
    DebugLog("2 Read data fail.ret %d  leaf_size %d \n", r, static_cast<int>(end - pos_));
    ended_ = true;
    return ReadFailure(r);
  }
  for (uint32_t k = 0; k < n; ++k) {
    if (!assembler_.Feed(frameBuf_.data() + size_t{k} * asf::kPacketBytes, &pending_)) {
      // The packets end here (an open file's unwritten rest, or damage).
      DebugLog("Error data flag %d.\n", static_cast<int>(pos_));
      pos_ = end;
      break;
    }
    pos_ += asf::kPacketBytes;
  }
  return pushed + PushPendingFrames();
}

int CRecordReader::PushAsfKeyFrame(size_t k) {
  const IndexEntry e = index_[k];
  const uint32_t end = ReadableEnd();
  if (e.offset < kDataOffset || (e.offset - kDataOffset) % asf::kPacketBytes != 0 ||
      uint64_t{e.offset} + asf::kPacketBytes > end) {
    ended_ = true;
    return ERR_READER_PAST_END;
  }
  // The key frame begins in the entry's packet and runs over as many as its size needs.
  const uint32_t most = std::min<uint32_t>(e.size / asf::kPacketBytes + 2,
                                           (end - e.offset) / asf::kPacketBytes);
  AsfFrameAssembler assembler;
  assembler.Reset(head_.startTime);
  std::deque<std::vector<uint8_t>> frames;
  if (frameBuf_.size() < asf::kPacketBytes) frameBuf_.resize(asf::kPacketBytes);
  for (uint32_t p = 0; p < most; ++p) {
    const uint32_t at = e.offset + p * asf::kPacketBytes;
    int r = file_->ReadPos(at, frameBuf_.data(), asf::kPacketBytes, true);
    if (r != static_cast<int>(asf::kPacketBytes)) {
      DebugLog("CH%02d Read data error offset %d ,size %d. ret %d \n", channel_,
               static_cast<int>(at), static_cast<int>(asf::kPacketBytes), r);
      ended_ = true;
      return ReadFailure(r);
    }
    if (!assembler.Feed(frameBuf_.data(), &frames)) break;
    for (auto& f : frames) {
      fillSelector_.Select(f.data());
      if (!fillSelector_.Current()->IsKeyFrame()) continue;
      if (play_->FreeSpace() < f.size() ||
          play_->PutFrame(f.data(), static_cast<uint32_t>(f.size())) < 0)
        return 0;
      currentMs_ = fillSelector_.Current()->GetPts();
      return 1;
    }
    frames.clear();
  }
  return ERR_READER_BAD_FRAME;  // no key frame where the entry points: the walk steps past it
}

int CRecordReader::ReadKeyFramesForward() {
  CAutoLock g(&lock_);  // also when called directly, not through Fill
  if (!file_) return ERR_RECFILE_NOT_RECORD;
  if (play_->FreeSpace() < kMinFreeForKeyFrame) return 0;
  int pushed = 0;
  size_t k = keySent_ ? curIndex_ + step_ : curIndex_;
  while (true) {
    if (k >= index_.size() ||
        (endMs_ > 0 && int64_t{index_[k].time} * 1000 > endMs_)) {
      DebugLog("REPLAY_FAST Over curIndex %d max index %d .\n", static_cast<int>(k),
               static_cast<int>(index_.size()));
      ended_ = true;
      break;
    }
    const int r = PushIndexedFrame(k);
    if (r == ERR_READER_BAD_FRAME) {  // k moves on: every pass advances
      curIndex_ = k;
      keySent_ = true;
      k += step_;
      continue;
    }
    // A bad sector is reported even after frames went out: the caller moves past it.
    if (r <= 0) return pushed && r != ERR_READER_BAD_SECTOR ? pushed : r;
    curIndex_ = k;
    keySent_ = true;
    ++pushed;
    k += step_;
  }
  return pushed;
}

int CRecordReader::ReadKeyFramesBackward() {
  CAutoLock g(&lock_);  // also when called directly, not through Fill
  if (!file_) return ERR_RECFILE_NOT_RECORD;
  if (play_->FreeSpace() < kMinFreeForKeyFrame) return 0;
  int pushed = 0;
  int64_t k = keySent_ ? static_cast<int64_t>(curIndex_) - static_cast<int64_t>(step_)
                       : static_cast<int64_t>(curIndex_);
  while (true) {
    if (k < 0 || index_.empty()) {
      DebugLog("REPLAY_REBACK Over curIndex %d max index %d .\n", static_cast<int>(k),
               static_cast<int>(index_.size()));
      ended_ = true;
      return pushed ? pushed : ERR_READER_BEFORE_FIRST;
    }
    if (startMs_ > 0 && int64_t{index_[k].time} * 1000 < startMs_ / 1000 * 1000) {
      ended_ = true;
      break;
    }
    const int r = PushIndexedFrame(static_cast<size_t>(k));
    if (r == ERR_READER_BAD_FRAME) {  // k moves on: every pass advances
      curIndex_ = static_cast<size_t>(k);
      keySent_ = true;
      k -= static_cast<int64_t>(step_);
      continue;
    }
    if (r <= 0) return pushed && r != ERR_READER_BAD_SECTOR ? pushed : r;
    platform::LogRange("Reback rec time", int64_t{index_[k].time} * 1000,
                       int64_t{index_[k].time} * 1000);
    curIndex_ = static_cast<size_t>(k);
    keySent_ = true;
    ++pushed;
    k -= static_cast<int64_t>(step_);
  }
  return pushed;
}

// ---- frames out ----------------------------------------------------------------------------

// The consumer's side: it runs outside lock_ and may meet a Close from the replay's thread, so it
// asks the atomic open flag, never file_, and stops waiting as soon as the file is closed.
int CRecordReader::GetFrame(void* buffer, uint32_t size) {
  if (!open_) return ERR_READER_NO_REGION;
  if (!play_) return ERR_READER_NO_BUFFER;  // set before open_, never replaced
  for (int pass = 0; pass < kWaitPasses; ++pass) {
    for (int step = 0; step < kWaitSteps; ++step) {
      const uint32_t generation = openGen_.load();
      if (!open_ || (generation & 1)) return ERR_READER_NO_REGION;
      const int r = play_->GetFrame(buffer, size);
      // A frame taken while the file was being repositioned belongs to before it: dropped.
      if (r > 0 && openGen_.load() != generation) return ERR_READER_NO_REGION;
      if (r > 0) return Delivered(buffer, r);
      if (r == PLAYBUF_ERR_BAD) return r;  // consumed and refused: over the caller's size
      if (r == 0) continue;                // garbage skipped; try again at once
      if (ended_) {
        // Nothing more comes in. Under lock_ no refill is half done (a refill writes, then
        // commits): a last look takes what came in meanwhile; what is left then (the cut end
        // of the data) never becomes a frame.
        CAutoLock g(&lock_);
        const int last = play_->GetFrame(buffer, size);
        if (last > 0) return Delivered(buffer, last);
        if (last == PLAYBUF_ERR_BAD) return last;
        if (last == 0) continue;
        play_->Clear();
        return ERR_READER_END;
      }
      // Nothing whole yet: refill now instead of waiting for the service thread's next pass;
      // sleep only when nothing more could be read.
      if (Fill(100) <= 0 && !ended_) platform::SleepMs(10);
    }
  }
  DebugLog("CH %02d Wait time too long.data water %u\n", channel_, play_->DataSize());
  platform::LogRange("last Frame Time", currentMs_.load(), currentMs_.load());
  ended_ = true;
  return ERR_READER_TIMEOUT;
}

int CRecordReader::Delivered(void* buffer, int length) {
  if (selector_.SelectWithin(buffer, static_cast<uint64_t>(length)) != 0) return length;
  consumedMs_ = selector_.Current()->GetPts();
  if (selector_.Current()->GetFrameType() == frame::kTypeAudio &&
      qvfs::Context::Current().shared().mixAudio()) {
    // The mixing step passes the audio frame on as it is: there is one audio channel.
    DebugLog("MIX_AUDIO %d frameSize %d.\n", channel_, length);
  }
  return length;
}

int CRecordReader::GetFrameInRange(void* buffer, uint32_t size) {
  int r = GetFrame(buffer, size);
  if (r <= 0) return r;
  if (!selector_.SelectValidWithin(buffer, static_cast<uint64_t>(r))) {
    DebugLog("FSFrameTag error on frame OK! \n");
    ended_ = true;
    return ERR_READER_BAD_FRAME;
  }
  const int64_t t = selector_.RangeTime();
  currentMs_ = t;
  if ((startMs_ == 0 || t >= startMs_) && (endMs_ == 0 || t <= endMs_)) return r;
  ended_ = true;
  DebugLog("Time  Over file end. cur offset %d.\n", static_cast<int>(pos_));
  platform::LogRange("cur Time", t, t);
  return 0;
}

int CRecordReader::GetGpsInfo(uint32_t seconds, GpsEntry* out) {
  if (!out) return ERR_READER_NO_ENTRY;
  CAutoLock g(&lock_);
  std::memset(out, 0, sizeof *out);
  for (size_t k = 0; k < index_.size(); ++k) {
    if (index_[k].time != 0 && index_[k].time >= seconds) {
      if (k < gps_.size()) {
        *out = gps_[k];
        return 0;
      }
      break;
    }
  }
  return ERR_READER_NO_ENTRY;
}
