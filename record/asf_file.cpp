#include "record/asf_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "index/disk_index.h"
#include "platform/clock.h"
#include "platform/platform_context.h"
#include "platform/messages.h"
#include "platform/time_print.h"
#include "record/h264.h"
#include "record/record_region.h"
#include "serialfile/serial_file_com.h"
#include "serialfile/serial_file_factory.h"

using namespace recfile;

namespace {
constexpr uint32_t kHeadAt = kAsfHeadOffset;
// The Data Object header takes the last 50 bytes of the index area: fewer entries fit.
constexpr uint32_t kAsfIndexEntries = (kIndexAreaBytes - asf::kDataObjectHeaderBytes) /
                                      kIndexEntryBytes;
constexpr uint32_t kRepairChunk = 0x200000;
constexpr int64_t kTimeBackMs = 5000;  // as much as the record writer lets time step back
constexpr uint32_t kSectorBytes = 512;

uint32_t AlignUp(uint32_t v, uint32_t a) { return (v + a - 1) / a * a; }

asf::Guid NewFileId() {
  std::random_device rd;
  asf::Guid g;
  for (auto& b : g) b = static_cast<uint8_t>(rd());
  return g;
}

uint32_t PacketOffset(uint32_t packet) {
  return kDataOffset + packet * asf::kPacketBytes;
}

uint16_t PacketsSpanned(uint32_t frameBytes) {
  return static_cast<uint16_t>(
      std::min<uint32_t>((frameBytes + asf::kPacketBytes - 1) / asf::kPacketBytes, 0xFFFF));
}
}  // namespace

CAsfFile::CAsfFile(int channel)
    : channel_(channel), packetizer_([this](const uint8_t* p) { return WritePacket(p); }) {}

CAsfFile::~CAsfFile() {
  if (file_) Close();
}

// ---- the destination -----------------------------------------------------------------------

int CAsfFile::OpenDestination(const std::string& path, uint32_t fileIndex, uint32_t fileSize,
                              bool fresh) {
  if (path.empty()) {
    DebugLog("fileName is empty,\n");
    return ERR_WRITER_NO_NAME;
  }
  region_ = IsDevicePath(path) || IsFolderDisk(path);
  if (region_) {
    if (fileSize <= kDataOffset) return ERR_WRITER_OVER_FILE;
    RecordRegion region;
    int r = OpenRecordRegion(path, fileIndex, fileSize, MODE_RDWR, &region);
    file_ = std::move(region.file);
    name_ = region.name;
    regionSize_ = existingBytes_ = fileSize;
    return r;
  }
  // An output file. An existing regular file is started afresh; anything else at the path
  // (a device node, a folder) is not ours to overwrite.
  struct stat st;
  existingBytes_ = 0;
  if (stat(path.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode)) return ERR_WRITER_NO_NAME;
    if (fresh && truncate(path.c_str(), 0) != 0) return ERR_FILE_OPEN;
    if (!fresh) existingBytes_ = static_cast<uint32_t>(std::min<off_t>(st.st_size, UINT32_MAX));
  } else if (!fresh) {
    return ERR_FILE_OPEN;
  }
  file_.reset(CSerialFileFactory::CreateSerialFile(path.c_str()));
  if (!file_) return ERR_WRITER_NO_NAME;
  name_ = path;
  regionSize_ = UINT32_MAX;
  int r = file_->Open(path.c_str(), 0, 0, regionSize_, MODE_RDWR);
  if (r != 0) file_.reset();
  return r;
}

void CAsfFile::Release() {
  if (file_) file_->Close();
  file_.reset();
}

void CAsfFile::ResetState() {
  image_.assign(kDataOffset, 0);
  segments_.clear();
  keys_.clear();
  settings_ = asf::HeaderSettings{};
  packetizer_.Reset(0);
  started_ = paramSetsGiven_ = false;
  firstPts_ = lastPts_ = 0;
  lastPres_ = 0;
  objectNo_ = 0;
  std::memset(&lastIndex_, 0, sizeof lastIndex_);
  indexAppend_ = indexFlushed_ = 0;
  writeError_ = 0;
}

// ---- opening -------------------------------------------------------------------------------

int CAsfFile::OpenNew(const std::string& path, uint32_t fileIndex, uint32_t fileSize,
                      int64_t startMs, const RecordDescriptor* desc) {
  if (file_) return ERR_WRITER_OPEN;
  ResetState();
  int r = OpenDestination(path, fileIndex, fileSize, true);
  if (r != 0) {
    Release();
    return r;
  }
  head_ = NewHead(region_ ? fileSize : 0, kHeadAt, static_cast<uint16_t>(channel_), fileIndex);
  head_.startTime = head_.endTime = startMs;
  if (desc) {
    head_.recordSN = desc->recordSN;
    std::memcpy(head_.text1, desc->text1, sizeof head_.text1 - 1);
    std::memcpy(head_.text2, desc->text2, sizeof head_.text2 - 1);
    settings_.width = desc->width;
    settings_.height = desc->height;
  }
  settings_.fileId = NewFileId();
  settings_.creationFiletime = asf::FiletimeFromUnixMs(platform::TheClock().NowMs());
  minIndexDistance_ = MinIndexDistance(region_ ? fileSize : 0);
  segments_.assign(1, FreshSegment(0, startMs, kDataOffset));
  // The whole area before the packets: header, head, a cleared index and the Data Object
  // header, so that no entry of an earlier recording survives.
  r = CommitImage(kDataOffset);
  if (r != 0) {
    Release();
    return r;
  }
  platform::LogRange("open asf file start", startMs, startMs);
  return 0;
}

int CAsfFile::OpenAppend(const std::string& path, const _rec_file_info_& desc,
                         uint32_t fileSize, int64_t lastMs) {
  if (file_) return ERR_WRITER_OPEN;
  ResetState();
  int r = OpenDestination(path, static_cast<uint32_t>(desc.fileIndex), fileSize, false);
  if (r == 0) {
    r = file_->ReadPos(0, image_.data(), kDataOffset, true);
    r = r == static_cast<int>(kDataOffset) ? 0 : (r < 0 ? r : ERR_READ_FAILED);
  }
  if (r == 0 && (FindHead(image_.data(), kHeadBlockBytes) != static_cast<int>(kHeadAt) ||
                 !asf::ReadHeaderSettings(image_.data(), kDataOffset, &settings_))) {
    DebugLog("Current file not record file.\n");
    r = ERR_RECFILE_NOT_RECORD;
  }
  if (r != 0) {
    Release();
    return r;
  }
  std::memcpy(&head_, image_.data() + kHeadAt, sizeof head_);
  segments_ = ParseSegments(image_.data(), kHeadBlockBytes, head_.segTableOffset);
  if (segments_.empty()) segments_.push_back(FreshSegment(0, head_.startTime, kDataOffset));
  const uint32_t dataEnd = std::min(std::max(head_.dataEnd, kDataOffset), existingBytes_);
  const uint32_t packets = (dataEnd - kDataOffset) / asf::kPacketBytes;
  paramSetsGiven_ = !settings_.codecData.empty();
  // Entries in use, then what the packets say: key frames, media object numbers, times.
  while (indexAppend_ / kIndexEntryBytes < kAsfIndexEntries &&
         std::memcmp(image_.data() + kIndexOffset + indexAppend_, "RIDX", 4) == 0) {
    std::memcpy(&lastIndex_, image_.data() + kIndexOffset + indexAppend_, sizeof lastIndex_);
    indexAppend_ += kIndexEntryBytes;
  }
  indexFlushed_ = indexAppend_;
  head_.indexCount = indexAppend_ / kIndexEntryBytes;
  firstPts_ = head_.startTime;
  const uint32_t good = ScanPackets(0, packets, INT64_MIN, 0, false);
  packetizer_.Reset(good);
  started_ = good > 0;
  head_.state = kStateAppending;
  head_.dataEnd = DataEnd();
  minIndexDistance_ = MinIndexDistance(region_ ? fileSize : 0);
  SegmentRecord seg = FreshSegment(static_cast<uint32_t>(desc.segmentNo) + 1, desc.startMs,
                                   head_.dataEnd);
  seg.typeBits = desc.typeBits;
  seg.firstIndex = head_.indexCount;
  segments_.push_back(seg);
  lastPts_ = std::max(lastPts_, lastMs);
  r = CommitImage(kHeadBlockBytes);
  if (r != 0) Release();
  return r;
}

// ---- writing -------------------------------------------------------------------------------

uint32_t CAsfFile::DataEnd() const { return PacketOffset(packetizer_.packetsDone()); }

bool CAsfFile::WritePacket(const uint8_t* packet) {
  const uint32_t at = DataEnd();
  if (uint64_t{at} + asf::kPacketBytes > regionSize_) {
    writeError_ = ERR_WRITER_OVER_FILE;
    return false;
  }
  int r = file_->WritePos(at, packet, asf::kPacketBytes, true);
  if (r != static_cast<int>(asf::kPacketBytes)) {
    writeError_ = r < 0 ? r : ERR_WRITE_FAILED;
    return false;
  }
  return true;
}

int CAsfFile::SetParamSets(const void* data, uint32_t length) {
  if (!data || length == 0 || length > asf::kMaxCodecData) return frame::kNoFrame;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  settings_.codecData.assign(p, p + length);
  paramSetsGiven_ = true;
  return 0;
}

void CAsfFile::TakeParamSets(const uint8_t* payload, uint32_t length) {
  ParamSets sets;
  if (!FindParamSets(payload, length, sets)) return;
  if (sets.spsLength + sets.ppsLength > asf::kMaxCodecData) return;
  settings_.codecData.assign(sets.sps, sets.sps + sets.spsLength);
  settings_.codecData.insert(settings_.codecData.end(), sets.pps, sets.pps + sets.ppsLength);
  int w = 0, h = 0;
  if (settings_.width == 0 && ParseSpsSize(w, h, sets.sps, sets.spsLength)) {
    settings_.width = static_cast<uint32_t>(w);
    settings_.height = static_cast<uint32_t>(h);
  }
}

int CAsfFile::AddIndexEntry(int64_t ptsMs, uint32_t packet, uint32_t frameBytes) {
  const uint32_t offset = PacketOffset(packet);
  // An entry names a packet: a second key frame beginning in the same packet adds nothing.
  if ((head_.indexCount >= 2 && offset - lastIndex_.offset < minIndexDistance_) ||
      (head_.indexCount > 0 && offset == lastIndex_.offset))
    return ERR_RECFILE_INDEX_CLOSE;
  if (head_.indexCount > 0 && offset < lastIndex_.offset) {
    DebugLog("ch %d index %d curPos %d last recIdx offset %d .\n", channel_,
             static_cast<int>(head_.indexCount), static_cast<int>(offset),
             static_cast<int>(lastIndex_.offset));
    return ERR_WRITER_OVER_FILE;
  }
  if (indexAppend_ / kIndexEntryBytes >= kAsfIndexEntries) return ERR_RECFILE_INDEX_FULL;
  const IndexEntry e = MakeIndexEntry(static_cast<uint16_t>(head_.indexCount + 1), 'I', ptsMs,
                                      offset, frameBytes);
  std::memcpy(image_.data() + kIndexOffset + indexAppend_, &e, sizeof e);
  indexAppend_ += kIndexEntryBytes;
  head_.indexCount += 1;
  head_.reserved68 = 0;
  lastIndex_ = e;
  return 0;
}

int CAsfFile::FlushIndex() {
  // Only entries whose packet is on the disk: the repair resumes at the last entry's packet.
  uint32_t upto = indexFlushed_;
  while (upto < indexAppend_) {
    IndexEntry e;
    std::memcpy(&e, image_.data() + kIndexOffset + upto, sizeof e);
    if (e.offset >= DataEnd()) break;
    upto += kIndexEntryBytes;
  }
  if (upto == indexFlushed_) return 0;
  const uint32_t ss = file_->get_sec_size() ? file_->get_sec_size() : kSectorBytes;
  const uint32_t from = kIndexOffset + indexFlushed_ / ss * ss;
  const uint32_t to = std::min(AlignUp(kIndexOffset + upto, ss), kDataOffset);
  // Entries not yet due stay out of the last sector.
  std::vector<uint8_t> sectors(image_.begin() + from, image_.begin() + to);
  if (kIndexOffset + indexAppend_ > kIndexOffset + upto)
    std::fill(sectors.begin() + (kIndexOffset + upto - from),
              sectors.begin() + std::min(to, kIndexOffset + indexAppend_) - from, 0);
  int r = file_->WritePos(from, sectors.data(), to - from, true);
  if (r < 0) return r;
  indexFlushed_ = upto;
  return 0;
}

int CAsfFile::WriteFrame(const void* frame, uint32_t size) {
  if (!file_) return ERR_WRITER_NO_REGION;
  if (!frame || size < 24 || selector_.Select(const_cast<void*>(frame)) != 0)
    return frame::kNoFrame;
  CFrmStrategy* s = selector_.Current();
  const uint32_t headerBytes = s->GetHeaderLength();
  const uint32_t total = s->GetFrameLength(1);
  if (headerBytes > size || total > size || total < headerBytes) return frame::kNoFrame;
  if (writeError_) return writeError_;
  const uint8_t* payload = static_cast<const uint8_t*>(frame) + headerBytes;
  const uint32_t payloadBytes = total - headerBytes;
  const bool audio = s->GetFrameType() == frame::kTypeAudio;
  const bool key = !audio && s->IsKeyFrame();
  const int64_t pts = s->GetPts();
  if (head_.indexCount > kAsfIndexEntries - 1 || segments_.back().segNo > kMaxSegments - 1) {
    DebugLog("Over max index NUM or segment.curPos %d index %d.seg %d,\n",
             static_cast<int>(DataEnd()), static_cast<int>(head_.indexCount),
             static_cast<int>(segments_.back().segNo));
    return ERR_RECFILE_LIMIT;
  }
  if (!started_ && !key) return ERR_WRITER_NO_KEY;
  if (payloadBytes == 0) return static_cast<int>(size);  // nothing to play
  const int64_t base = started_ ? firstPts_ : pts;
  const int64_t pres = AddMsSaturated(AddMsSaturated(pts, -base), asf::kPrerollMs);
  if (pres < 0) return ERR_WRITER_TIME_BACK;
  if (pres > INT32_MAX) return ERR_WRITER_TIME_AHEAD;
  // Room for the packets this frame can take and the Simple Index after them.
  const uint64_t indexBytes =
      AlignUp(asf::kSimpleIndexHeaderBytes +
                  asf::kSimpleIndexEntryBytes * (static_cast<uint32_t>(pres) / 2000 + 2),
              kSectorBytes);
  const uint64_t end = uint64_t{DataEnd()} +
                       uint64_t{asf::Packetizer::PacketsAtMost(payloadBytes) + 1} *
                           asf::kPacketBytes +
                       indexBytes;
  if (end > regionSize_) {
    DebugLog("CH%02d Data is over file.dataSize %d curPos %d destOffset %d file size %d .\n",
             channel_, static_cast<int>(size), static_cast<int>(DataEnd()),
             static_cast<int>(end), static_cast<int>(regionSize_));
    return ERR_WRITER_OVER_FILE;
  }
  if (!started_) {
    started_ = true;
    firstPts_ = pts;
    head_.startTime = pts;
    segments_.back().startTime = pts;
    if (!paramSetsGiven_) TakeParamSets(payload, payloadBytes);
    int r = CommitImage(kHeadBlockBytes);  // the codec data, for a player of a cut-off file
    if (r != 0) return r;
  }
  if (key) {
    const uint32_t packet = packetizer_.NextPayloadPacket();
    keys_.push_back({static_cast<uint32_t>(pres), packet, PacketsSpanned(payloadBytes)});
    if (region_) {
      int r = AddIndexEntry(pts, packet, total);
      if (r != 0 && r != ERR_RECFILE_INDEX_CLOSE) return r;
    }
  }
  if (!packetizer_.Add(audio ? asf::kAudioStream : asf::kVideoStream, key, objectNo_++,
                       static_cast<uint32_t>(pres), payload, payloadBytes)) {
    DebugLog("CH%02d write asf packet fail. ret %d\n", channel_, writeError_);
    return writeError_;
  }
  lastPts_ = pts;
  lastPres_ = std::max(lastPres_, static_cast<uint32_t>(pres));
  head_.endTime = pts;
  if (region_) {
    int r = FlushIndex();
    if (r < 0) return r;
  }
  return static_cast<int>(size);
}

// ---- the header area and closing -----------------------------------------------------------

int CAsfFile::CommitImage(uint32_t bytes) {
  const int64_t span = std::max<int64_t>(lastPts_ - firstPts_, 0);
  const uint32_t dataEnd = DataEnd();
  settings_.dataPackets = packetizer_.packetsDone();
  settings_.sendDurationHns = static_cast<uint64_t>(span) * 10000;
  settings_.playDurationHns = settings_.sendDurationHns + uint64_t{asf::kPrerollMs} * 10000;
  settings_.maxBitrate =
      span > 0 ? static_cast<uint32_t>(std::min<uint64_t>(
                     uint64_t{dataEnd - kDataOffset} * 8 * 1000 / static_cast<uint64_t>(span),
                     UINT32_MAX))
               : 0;
  if (settings_.fileSize < dataEnd) settings_.fileSize = dataEnd;
  asf::WriteHeaderObjects(settings_, image_.data());
  head_.dataEnd = dataEnd;
  head_.segCount = static_cast<uint32_t>(segments_.size());
  head_.segTableOffset = SegmentTableAt(head_, kHeadAt);  // a damaged offset writes nowhere
  std::memcpy(image_.data() + kHeadAt, &head_, sizeof head_);
  for (size_t k = 0; k < segments_.size() && k < kMaxSegments; ++k)
    std::memcpy(image_.data() + head_.segTableOffset + k * kSegmentBytes, &segments_[k],
                kSegmentBytes);
  const std::vector<uint8_t> data = asf::DataObjectHeader(settings_.fileId, settings_.dataPackets);
  std::memcpy(image_.data() + kDataOffset - data.size(), data.data(), data.size());
  int r = file_->WritePos(0, image_.data(), bytes, true);
  if (r < 0) return r;
  if (bytes < kDataOffset) {
    // The Data Object header's sector, with the index bytes that share it.
    const uint32_t ss = file_->get_sec_size() ? file_->get_sec_size() : kSectorBytes;
    const uint32_t from = kDataOffset - ss;
    r = file_->WritePos(from, image_.data() + from, ss, true);
    if (r < 0) return r;
  }
  file_->Flush();
  return 0;
}

int CAsfFile::WriteSimpleIndex(uint32_t dataEnd) {
  const uint32_t packets = (dataEnd - std::min(dataEnd, kDataOffset)) / asf::kPacketBytes;
  std::vector<uint8_t> index = asf::SimpleIndexObject(settings_.fileId, keys_, lastPres_,
                                                      asf::MaxIndexEntriesFor(packets));
  if (region_) {
    const uint32_t ss = file_->get_sec_size() ? file_->get_sec_size() : kSectorBytes;
    index.resize(AlignUp(static_cast<uint32_t>(index.size()), ss), 0);
  }
  int r = uint64_t{dataEnd} + index.size() > regionSize_
              ? ERR_WRITER_OVER_FILE
              : file_->WritePos(dataEnd, index.data(), static_cast<uint32_t>(index.size()), true);
  if (r < 0) {
    DebugLog("CH%02d write size %d index fail.\n", channel_, static_cast<int>(index.size()));
    return r;
  }
  settings_.fileSize = uint64_t{dataEnd} + index.size();
  return 0;
}

int CAsfFile::Close() {
  if (!file_) return 0;
  int r = packetizer_.Finish() ? 0 : writeError_;
  const uint32_t dataEnd = DataEnd();
  SegmentRecord& seg = segments_.back();
  seg.endTime = head_.endTime;
  seg.dataLength = dataEnd - std::min(seg.startPos, dataEnd);
  seg.indexCount = head_.indexCount - std::min(seg.firstIndex, head_.indexCount);
  if (region_) FlushIndex();
  int ri = WriteSimpleIndex(dataEnd);
  if (!region_) head_.fileSize = static_cast<uint32_t>(settings_.fileSize);
  // A file whose packets did not all reach the disk stays open for the repair pass.
  head_.state = r == 0 ? kStateClosed : kStateWriting;
  int rc = CommitImage(kDataOffset);
  Release();
  platform::LogRange("close asf file", head_.startTime, head_.endTime);
  if (r != 0) return r;
  return rc != 0 ? rc : (ri < 0 && !region_ ? ri : 0);
}

// ---- repair --------------------------------------------------------------------------------

uint32_t CAsfFile::ScanPackets(uint32_t from, uint32_t to, int64_t startMs, int64_t endMs,
                               bool addIndex) {
  std::vector<uint8_t>& chunk = scanChunk_;  // kept from scan to scan
  std::vector<asf::Payload> payloads;
  bool havePrev = false;
  uint8_t prevNo = 0;
  // The media object being put together: its start was seen in this scan.
  bool inObject = false;
  asf::Payload cur;
  uint32_t got = 0, curPacket = 0;
  uint32_t good = from;
  int64_t reached = INT64_MIN;
  const uint32_t perChunk = kRepairChunk / asf::kPacketBytes;
  // A packet a pass: a packet that does not parse, or damage in its payloads, ends the scan.
  for (uint32_t p = from; p < to;) {
    const uint32_t n = std::min(perChunk, to - p);
    chunk.resize(size_t{n} * asf::kPacketBytes);
    int r = file_->ReadPos(PacketOffset(p), chunk.data(), static_cast<uint32_t>(chunk.size()),
                           true);
    if (r != static_cast<int>(chunk.size())) return good;
    if (n < perChunk) DebugLog("Read lead data size %d.\n", static_cast<int>(chunk.size()));
    for (uint32_t k = 0; k < n; ++k, ++p) {
      if (!asf::ParsePacket(chunk.data() + size_t{k} * asf::kPacketBytes, asf::kPacketBytes,
                            &payloads))
        return good;
      for (const asf::Payload& pl : payloads) {
        if (havePrev && pl.objectNo != prevNo && pl.objectNo != static_cast<uint8_t>(prevNo + 1)) {
          DebugLog(" Error media num \n");
          return good;
        }
        if (pl.objectSize > asf::kMaxMediaObject) {
          DebugLog("Curretn payload %d too big .\n", static_cast<int>(pl.objectSize));
          return good;
        }
        havePrev = true;
        prevNo = pl.objectNo;
        if (pl.objectOffset == 0) {
          inObject = true;
          cur = pl;
          got = 0;
          curPacket = p;
        } else if (!inObject || pl.objectNo != cur.objectNo || pl.objectOffset != got) {
          inObject = false;  // the tail of an object whose start lies before the scan
          continue;
        }
        got += pl.length;
        if (got < cur.objectSize) continue;
        inObject = false;
        const int64_t pts = AddMsSaturated(
            head_.startTime, static_cast<int64_t>(cur.presMs) - asf::kPrerollMs);
        // Time that steps back further than a writer lets it is not this recording's (an
        // older recording's data). A step forward may be a later segment of the file (a
        // recording appended after a pause), so it is not bounded here.
        if (pts < AddMsSaturated(reached, -kTimeBackMs) || pts < startMs ||
            (endMs > 0 && pts > endMs))
          return good;
        reached = std::max(reached, pts);
        if (cur.stream == asf::kVideoStream && cur.key) {
          const bool known = !keys_.empty() && keys_.back().packet >= curPacket;
          if (!known) {
            keys_.push_back({cur.presMs, curPacket, PacketsSpanned(cur.objectSize)});
            if (addIndex) AddIndexEntry(pts, curPacket, cur.objectSize);
          }
        }
        good = p + 1;
        objectNo_ = static_cast<uint8_t>(cur.objectNo + 1);
        lastPres_ = std::max(lastPres_, cur.presMs);
        lastPts_ = pts;
        head_.endTime = pts;
      }
    }
  }
  return good;
}

int CAsfFile::RepairFile(const std::string& path, uint32_t fileIndex, uint32_t regionSize,
                         int64_t startMs, int64_t endMs, uint32_t* dataEnd,
                         int64_t* endTimeMs) {
  if (file_) return ERR_WRITER_OPEN;
  ResetState();
  int r = OpenDestination(path, fileIndex, regionSize, false);
  if (r != 0) {
    DebugLog("RepairFile Open fileLBA %lld size %d \n",
             static_cast<long long>(file_ ? file_->get_lba_start() : 0),
             static_cast<int>(regionSize));
    Release();
    return r;
  }
  r = file_->ReadPos(0, image_.data(), kDataOffset, true);
  if (r != static_cast<int>(kDataOffset) ||
      FindHead(image_.data(), kHeadBlockBytes) != static_cast<int>(kHeadAt) ||
      !asf::ReadHeaderSettings(image_.data(), kDataOffset, &settings_)) {
    DebugLog("Not a record file.\n");
    Release();
    return r < 0 ? r : ERR_RECFILE_NOT_RECORD;
  }
  std::memcpy(&head_, image_.data() + kHeadAt, sizeof head_);
  segments_ = ParseSegments(image_.data(), kHeadBlockBytes, head_.segTableOffset);
  if (segments_.empty()) segments_.push_back(FreshSegment(0, head_.startTime, kDataOffset));
  paramSetsGiven_ = true;
  firstPts_ = lastPts_ = head_.startTime;
  const uint32_t packetsInRegion =
      existingBytes_ > kDataOffset ? (existingBytes_ - kDataOffset) / asf::kPacketBytes : 0;
  minIndexDistance_ = MinIndexDistance(region_ ? regionSize : 0);
  head_.indexCount = 0;
  // The index entries written before the power went, while they point at packets in the file;
  // the scan resumes at the last one's packet.
  std::vector<IndexEntry> kept;
  for (uint32_t k = 0; k < kAsfIndexEntries; ++k) {
    IndexEntry e;
    std::memcpy(&e, image_.data() + kIndexOffset + k * kIndexEntryBytes, sizeof e);
    if (std::memcmp(e.magic, "RIDX", 4) != 0) break;
    if (e.offset < kDataOffset || (e.offset - kDataOffset) % asf::kPacketBytes != 0 ||
        (e.offset - kDataOffset) / asf::kPacketBytes >= packetsInRegion ||
        (!kept.empty() && e.offset < kept.back().offset))
      break;
    kept.push_back(e);
  }
  std::memset(image_.data() + kIndexOffset, 0, kDataOffset - kIndexOffset);
  for (const IndexEntry& e : kept) {
    const uint32_t packet = (e.offset - kDataOffset) / asf::kPacketBytes;
    const int64_t rel = int64_t{e.time} * 1000 - head_.startTime + asf::kPrerollMs;
    keys_.push_back({static_cast<uint32_t>(std::max<int64_t>(rel, 0)), packet,
                     PacketsSpanned(e.size)});
    AddIndexEntry(int64_t{e.time} * 1000, packet, e.size);
  }
  const uint32_t resume = keys_.empty() ? 0 : keys_.back().packet;
  if (!keys_.empty()) keys_.pop_back();  // found again by the scan, with its exact time
  if (head_.indexCount > 0) {
    head_.indexCount -= 1;
    indexAppend_ -= kIndexEntryBytes;
    std::memset(image_.data() + kIndexOffset + indexAppend_, 0, kIndexEntryBytes);
    if (indexAppend_ >= kIndexEntryBytes)
      std::memcpy(&lastIndex_, image_.data() + kIndexOffset + indexAppend_ - kIndexEntryBytes,
                  sizeof lastIndex_);
    else
      std::memset(&lastIndex_, 0, sizeof lastIndex_);
  }
  const uint32_t good = ScanPackets(resume, packetsInRegion, startMs, endMs, true);
  packetizer_.Reset(good);
  SegmentRecord& seg = segments_.back();
  seg.endTime = head_.endTime;
  seg.dataLength = DataEnd() - std::min(seg.startPos, DataEnd());
  seg.indexCount = head_.indexCount - std::min(seg.firstIndex, head_.indexCount);
  head_.state = kStateClosed;
  WriteSimpleIndex(DataEnd());
  indexFlushed_ = 0;
  r = CommitImage(kDataOffset);
  platform::LogRange("Repair file time", head_.startTime, head_.endTime);
  const uint32_t end = DataEnd();
  const int64_t endTime = head_.endTime;
  Release();
  if (r != 0) return r;
  if (dataEnd) *dataEnd = end;
  if (endTimeMs) *endTimeMs = endTime;
  return 0;
}
