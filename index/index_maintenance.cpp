// Keeping one record disk's index current while recording: handing out files (free or
// recycled), writing a recording's entry as it starts, grows and closes, SNs, lock, unlock,
// delete and the repair of entries left open. Every operation holds the DiskIndex lock.
#include <algorithm>
#include <climits>
#include <cstring>

#include "index/disk_index.h"
#include "platform/clock.h"
#include "platform/messages.h"
#include "platform/platform_context.h"
#include "platform/time_print.h"
#include "serialfile/serial_file_base.h"

using namespace recindex;

namespace {

constexpr uint32_t kSnLimit = 0xFFFFFFFFu;
constexpr uint8_t kTypeManual = 2;
constexpr uint32_t kFullMargin = 0x800000;  // a file this close to full is not written again

uint8_t TzHours(const _rec_file_info_& r) { return static_cast<uint8_t>(r.tzByte >> 1); }

uint64_t EntryOffset(uint32_t fileIndex) {
  return kEntriesOffset + uint64_t{fileIndex} * kEntryBytes;
}

void RefreshCrc(RecIndexEntry& e) {
  e.crc = Crc32(reinterpret_cast<const uint8_t*>(&e) + kCrcStart, kEntryBytes - kCrcStart);
}

// Segment k from a record description: state, the type byte's flag, size, type, time zone,
// times and the data end.
void FillSegment(RecIndexSegment& seg, const _rec_file_info_& r) {
  seg.state = r.state;
  seg.descType = r.tzByte & 1;
  seg.size = r.size;
  seg.typeBits = r.typeBits;
  seg.tzHours = TzHours(r);
  seg.startMs = r.startMs;
  seg.endMs = r.endMs;
  seg.dataEnd = r.endOffset;
}

}  // namespace

// ---- entries on the disk -------------------------------------------------------------------

int DiskIndex::ReadEntry(uint32_t fileIndex, RecIndexEntry* e) {
  if (!file || fileIndex >= recordFileCount) return ERR_INDEX_NO_RESULT;
  int r = file->ReadPos(static_cast<uint32_t>(EntryOffset(fileIndex)), e, kEntryBytes, true);
  return r == static_cast<int>(kEntryBytes) ? 0 : (r < 0 ? r : -1002);
}

int DiskIndex::ReadSummary(uint32_t fileIndex, RecIndexSummary* out) {
  CAutoLock g(&lock_);
  RecIndexEntry e;
  const int r = ReadEntry(fileIndex, &e);
  if (r == 0) *out = e.summary;
  return r;
}

int DiskIndex::WriteEntry(uint32_t fileIndex, const RecIndexEntry& e) {
  if (!file || fileIndex >= recordFileCount) return ERR_INDEX_NO_RESULT;
  DropHead(fileIndex);  // whatever the write leaves on the disk, the next search reads it
  int r = file->WritePos(static_cast<uint32_t>(EntryOffset(fileIndex)), &e, kEntryBytes, true);
  return r < 0 ? r : 0;
}

void DiskIndex::DropFromTimeMap(uint32_t fileIndex) {
  for (auto it = timeMap.begin(); it != timeMap.end(); ++it)
    if (it->first.fileIndex == fileIndex) {
      timeMap.erase(it);
      return;
    }
}

void DiskIndex::PutInTimeMap(uint32_t fileIndex, const RecIndexSummary& s) {
  DropFromTimeMap(fileIndex);
  timeMap[TimeKey{s.startMs, fileIndex}] = s;
}

bool DiskIndex::BeingWritten(uint32_t fileIndex) const {
  for (const auto& w : writerMap)
    if (w.second && w.second->WriterFileIndex() == fileIndex) return true;
  for (const auto& ws : writeStates)
    if (ws.second.fileIndex == fileIndex && (ws.second.image.summary.state & kStateRecording))
      return true;
  return false;
}

// ---- handing out files ---------------------------------------------------------------------

int DiskIndex::TakeFreeFile(uint32_t* fileIndex) {
  CAutoLock g(&lock_);
  if (freeList.empty()) return ERR_INDEX_NO_RESULT;
  *fileIndex = freeList.front();
  freeList.pop_front();
  lastTaken = *fileIndex;
  return 0;
}

int DiskIndex::Recycle(uint32_t* fileIndex) {
  if (timeMap.empty()) {
    DebugLog("No %d RecycleIndex diskIndex.\n", static_cast<int>(diskNo));
    return ERR_INDEX_NO_RESULT;
  }
  CAutoLock g(&lock_);
  // The smallest non-zero SN (an SN of 0 is a file that never had one; taking it as the
  // minimum would let the next SN seen replace it, whatever its size).
  uint32_t least = 0;
  for (const auto& kv : timeMap)
    if (kv.second.sn != 0 && (least == 0 || kv.second.sn < least)) least = kv.second.sn;
  if (least == 0) least = 1;
  if (least != leastSn) {
    for (const auto& kv : timeMap)
      if (kv.second.sn == least) {
        platform::LogRange("least SN record time", kv.second.startMs, kv.second.endMs);
        break;
      }
    leastSn = least;
  }
  const int64_t now = platform::TheClock().NowMs();
  if (now <= timeMap.begin()->first.startMs) {
    // The clock stands before the recorded history: start times say nothing, SNs do.
    for (const auto& kv : timeMap)
      if (kv.second.sn != 0) {
        platform::LogRange("index time", kv.second.startMs, kv.second.endMs);
        break;
      }
    if (RecycleByLeastSn(fileIndex) == 0) {
      DropFromTimeMap(*fileIndex);
      return 0;
    }
  }
  for (auto it = timeMap.begin(); it != timeMap.end(); ++it) {
    const RecIndexSummary& s = it->second;
    if (BeingWritten(it->first.fileIndex)) {
      DebugLog("Stroage:  Recording File Index %05d segs%02d size %d CH%02d.recordSN %d  \n ",
               static_cast<int>(it->first.fileIndex), s.segmentCount, s.size, s.channel,
               static_cast<int>(s.sn));
      continue;
    }
    platform::LogRange("Recycle record", s.startMs, s.endMs);
    if (s.sn == leastSn) ++leastSn;
    *fileIndex = it->first.fileIndex;
    timeMap.erase(it);
    return 0;
  }
  return ERR_INDEX_NO_RESULT;
}

int DiskIndex::RecycleByLeastSn(uint32_t* fileIndex) {
  bool seen = false;
  for (const auto& kv : timeMap) {
    const RecIndexSummary& s = kv.second;
    if (BeingWritten(kv.first.fileIndex) || (s.typeBits & kTypeManual) || s.sn == 0) continue;
    if (s.sn > leastSn) continue;
    seen = true;
    platform::LogRange("recycle record time", s.startMs, s.endMs);
    leastSn = s.sn + 1;
    if (kv.first.fileIndex < recordFileCount) {
      *fileIndex = kv.first.fileIndex;
      return 0;
    }
  }
  if (!seen) {
    const std::pair<const TimeKey, RecIndexSummary>* best = nullptr;
    for (const auto& kv : timeMap) {
      const RecIndexSummary& s = kv.second;
      if (BeingWritten(kv.first.fileIndex) || (s.typeBits & kTypeManual) || s.sn >= nextSn)
        continue;
      if (!best || s.sn < best->second.sn) best = &kv;
    }
    if (best && best->first.fileIndex < recordFileCount) {
      leastSn = best->second.sn + 1;
      *fileIndex = best->first.fileIndex;
      return 0;
    }
  }
  DebugLog("Stroage:Can not found least SN .cur SN %d \n", static_cast<int>(nextSn));
  return ERR_INDEX_NO_RESULT;
}

void DiskIndex::ResetSn() {
  uint32_t least = 0;
  for (const auto& kv : timeMap) {
    const RecIndexSummary& s = kv.second;
    if (BeingWritten(kv.first.fileIndex) || (s.typeBits & kTypeManual) || s.sn == 0) continue;
    if (least == 0 || s.sn < least) least = s.sn;
  }
  DebugLog("Stroage: Re set SN leastSN %d maxIndex %d .\n ", static_cast<int>(least),
           static_cast<int>(recordFileCount));
  uint32_t largest = 0;
  for (auto& kv : timeMap) {
    if (kv.second.sn >= least) kv.second.sn -= least;
    const uint32_t sn = kv.second.sn;
    largest = std::max(largest, sn);
  }
  nextSn = largest + 1;
}

// ---- a recording's entry -------------------------------------------------------------------

int DiskIndex::WriteRecord(_rec_file_info_& r, uint32_t channelLimit) {
  if (r.fileIndex < 0 || static_cast<uint32_t>(r.fileIndex) >= recordFileCount)
    return ERR_INDEX_NO_RESULT;
  CAutoLock g(&lock_);
  ChannelWriteState& ws = writeStates[r.channel];
  if (r.operation == kOpRecordStart) {
    ws.fileIndex = static_cast<uint32_t>(r.fileIndex);
    repaired.erase(ws.fileIndex);  // a new recording: what a repair found there is gone
    ws.used = 0;
    std::memset(&ws.image, 0, sizeof ws.image);
  } else if (ws.fileIndex != static_cast<uint32_t>(r.fileIndex) || ws.image.summary.kind == 0) {
    // A new segment of a file whose recording was closed while the writer kept the file open:
    // the entry is read back and the segment goes after its last one.
    ws.fileIndex = static_cast<uint32_t>(r.fileIndex);
    int rc = ReadEntry(ws.fileIndex, &ws.image);
    if (rc != 0) return rc;
    ws.used = UsableSegments(ws.image.summary);
  }
  if (ws.used >= kSegmentsPerEntry) return ERR_INDEX_NO_SEGMENT;
  const uint32_t n = ws.used;
  r.segmentNo = static_cast<uint8_t>(n);
  RecIndexEntry& e = ws.image;
  if (r.operation == kOpRecordStart) {
    RecIndexSummary& s = e.summary;
    s.linkIndex = static_cast<int32_t>(ws.fileIndex);
    s.channel = r.channel;
    s.kind = r.kind;
    s.tzHours = TzHours(r);
    s.startMs = r.startMs ? r.startMs : platform::TheClock().NowMs();
    s.endMs = r.endMs;
    s.segmentCount = 1;
    s.state = r.state;
    s.typeBits = r.typeBits;
    RecIndexSegment& seg = e.segments[n];
    seg.state = r.state;
    seg.typeBits = r.typeBits;
    seg.tzHours = TzHours(r);
    seg.startMs = s.startMs;
    seg.endMs = r.endMs;
    // SNs near their end are renumbered first, so that this recording is numbered with the
    // others and not left above them all.
    if (kSnLimit - nextSn < std::max<uint32_t>(channelLimit, 1)) ResetSn();
    r.sn = nextSn++;
    s.sn = r.sn;
    int rc = WriteEntry(ws.fileIndex, e);
    if (rc != 0) return rc;
    PutInTimeMap(ws.fileIndex, s);
  } else {
    // A new segment: its record, the open bit and the count go to disk together, so that a
    // power loss from now on finds the segment (a count kept in memory only was stale on disk).
    FillSegment(e.segments[n], r);
    e.summary.state |= kStateRecording;
    e.summary.segmentCount = static_cast<uint8_t>(n + 1);
    RefreshCrc(e);
    int rc = WriteEntry(ws.fileIndex, e);
    if (rc != 0) {
      DebugLog("Write pos ret %d.\n", rc);
      return rc;
    }
    r.sn = e.summary.sn;
  }
  file->Flush();
  return 0;
}

int DiskIndex::UpdateRecordInfo(_rec_file_info_& r, uint32_t channelLimit) {
  if (r.channel >= channelLimit) {
    DebugLog("Can not find Write info  channel %d \n", r.channel);
    return ERR_INDEX_NO_RESULT;
  }
  auto found = writeStates.find(r.channel);
  if (found == writeStates.end()) {
    DebugLog("Can not find Write info \n");
    return ERR_INDEX_NO_RESULT;
  }
  ChannelWriteState& ws = found->second;
  CAutoLock g(&lock_);
  RecIndexEntry& e = ws.image;
  RecIndexSummary& s = e.summary;
  // WriteRecord refuses a segment past the table, so the open one always has its record.
  if (ws.used >= kSegmentsPerEntry) return ERR_INDEX_NO_SEGMENT;
  const uint32_t n = ws.used;
  // The open segment's record grows in place: one record per segment however long it runs, so
  // that a file is filled to its end and a search lists one record per segment. r.size is the
  // bytes since the last update; r.endOffset the file's data end now.
  RecIndexSegment& seg = e.segments[n];
  seg.state = r.state;
  seg.descType = r.tzByte & 1;
  seg.size += r.size;
  seg.endMs = std::max(static_cast<int64_t>(seg.endMs), int64_t{r.endMs});
  seg.dataEnd = std::max(uint32_t{seg.dataEnd}, uint32_t{r.endOffset});
  s.size += r.size;
  s.segmentCount = static_cast<uint8_t>(n + 1);  // current on disk: a repair walks them all
  if (r.operation == kOpRecordClose) {
    s.endMs = r.endMs;
    s.state = r.state;
    seg.typeBits = r.typeBits;  // the type the recording had at its close
    seg.endMs = r.endMs;
    if (n == 0) {
      s.startMs = r.startMs;
      s.linkIndex = static_cast<int32_t>(ws.fileIndex);
      s.typeBits = r.typeBits;
      s.tzHours = TzHours(r);
    }
    for (uint32_t k = 0; k <= n; ++k) {
      RecIndexSegment& each = e.segments[k];
      each.state &= static_cast<uint8_t>(~kStateRecording);
      if (each.startMs == each.endMs && k < n && e.segments[k + 1].startMs != 0)
        each.endMs = e.segments[k + 1].startMs;
    }
    RefreshCrc(e);
    int rc = WriteEntry(ws.fileIndex, e);
    if (rc != 0) return rc;
    RecIndexSummary copy = s;
    copy.state = kStateClosed;
    if (n == 0) copy.typeBits = e.segments[0].typeBits;
    PutInTimeMap(ws.fileIndex, copy);
    writeStates.erase(found);
  } else {
    if (n == 0) s.state = r.state;
    s.endMs = std::max(static_cast<int64_t>(s.endMs), int64_t{r.endMs});
    RefreshCrc(e);
    // The sectors that hold segment n, and the first one (size, end, count, CRC) when it is
    // another.
    const uint32_t at = kSegmentTableOffset + n * kSegmentBytes;
    const uint32_t from = at / 512 * 512;
    const uint32_t to = (at + kSegmentBytes + 511) / 512 * 512;
    const uint32_t base = static_cast<uint32_t>(EntryOffset(ws.fileIndex));
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&e);
    DropHead(ws.fileIndex);
    int rc = file->WritePos(base + from, bytes + from, to - from, true);
    if (rc >= 0 && from != 0) rc = file->WritePos(base, bytes, 512, true);
    if (rc < 0) {
      DebugLog("Write Index data fail.\n");
      return rc;
    }
    RecIndexSummary copy = s;
    copy.state = kStateClosed;
    PutInTimeMap(ws.fileIndex, copy);
  }
  file->Flush();
  r.segmentNo = static_cast<uint8_t>(n);
  return 0;
}

int DiskIndex::RepairInMemory(const RepairFn& findEnd) {
  CAutoLock g(&lock_);
  int joined = 0;
  for (const _rec_file_info_& listed : repairList) {
    if (listed.fileIndex < 0 || static_cast<uint32_t>(listed.fileIndex) >= recordFileCount)
      continue;
    const uint32_t fi = static_cast<uint32_t>(listed.fileIndex);
    // Repaired on the disk already (a repair that writes ran first): nothing to add.
    bool inMap = false;
    for (const auto& kv : timeMap) inMap = inMap || kv.first.fileIndex == fi;
    if (inMap) continue;
    _rec_file_info_ rec = listed;  // the list keeps its records for a repair that writes
    RepairedFile fixed;
    if (!RepairedEntry(rec, findEnd, &fixed.entry)) continue;
    fixed.dataEnd = rec.endOffset;
    repaired[fi] = fixed;
    PutInTimeMap(fi, fixed.entry.summary);
    ++joined;
  }
  if (joined)
    DebugLog("Disk %s: %d recording(s) left open repaired in memory.\n", path.c_str(), joined);
  return joined;
}

uint32_t DiskIndex::RepairedDataEnd(uint32_t fileIndex) {
  CAutoLock g(&lock_);
  auto it = repaired.find(fileIndex);
  return it == repaired.end() ? 0 : it->second.dataEnd;
}

void DiskIndex::CloseWriters() {
  CAutoLock g(&lock_);
  for (auto& kv : writeStates) {
    RecIndexEntry& e = kv.second.image;
    if (!(e.summary.state & kStateRecording)) continue;
    e.summary.state &= static_cast<uint8_t>(~kStateRecording);
    RefreshCrc(e);
    WriteEntry(kv.second.fileIndex, e);
  }
}

// ---- lock, unlock, delete ------------------------------------------------------------------

int DiskIndex::SetSegmentLock(const _rec_file_info_& r, bool lock) {
  if (r.fileIndex < 0 || static_cast<uint32_t>(r.fileIndex) >= recordFileCount)
    return ERR_INDEX_NO_RESULT;
  const uint32_t fi = static_cast<uint32_t>(r.fileIndex);
  CAutoLock g(&lock_);
  RecIndexEntry e;
  int rc = ReadEntry(fi, &e);
  if (rc != 0) return rc;
  if (r.segmentNo < UsableSegments(e.summary)) {
    RecIndexSegment& seg = e.segments[r.segmentNo];
    const bool wasLocked = seg.state == kSegmentLocked;
    seg.state = lock ? kSegmentLocked : kSegmentClosed;
    if (lock && !wasLocked) ++e.summary.lockedSegments;
    if (!lock && wasLocked && e.summary.lockedSegments > 0) --e.summary.lockedSegments;
    if (e.summary.lockedSegments > 0) e.summary.state |= kStateLocked;
    else e.summary.state &= static_cast<uint8_t>(~kStateLocked);
    for (auto& kv : timeMap)
      if (kv.first.fileIndex == fi) {
        kv.second.state = e.summary.state;
        kv.second.lockedSegments = e.summary.lockedSegments;
      }
  }
  return WriteEntry(fi, e);
}

int DiskIndex::LockRecord(const _rec_file_info_& r) { return SetSegmentLock(r, true); }
int DiskIndex::UnlockRecord(const _rec_file_info_& r) { return SetSegmentLock(r, false); }

int DiskIndex::DeleteRecord(const _rec_file_info_& r) {
  if (r.fileIndex < 0 || static_cast<uint32_t>(r.fileIndex) >= recordFileCount)
    return ERR_INDEX_NO_RESULT;
  const uint32_t fi = static_cast<uint32_t>(r.fileIndex);
  CAutoLock g(&lock_);
  RecIndexEntry e;
  int rc = ReadEntry(fi, &e);
  if (rc != 0) return rc;
  if (e.summary.state & kStateRecording) {
    platform::LogRange("Recording file", e.summary.startMs, e.summary.endMs);
    return ERR_INDEX_RECORD_OPEN;
  }
  const uint32_t count = UsableSegments(e.summary);
  if (r.segmentNo >= count && count > 1) return 0;
  if (count <= 1) {
    std::memset(&e, 0, sizeof e);
    rc = WriteEntry(fi, e);
    if (rc == 0) DropFromTimeMap(fi);
    return rc;
  }
  // The later segments move down: a zero record in the middle would end the table there.
  const uint32_t k = r.segmentNo;
  if (e.segments[k].state == kSegmentLocked && e.summary.lockedSegments > 0)
    --e.summary.lockedSegments;
  const int32_t total = e.summary.size, dropped = e.segments[k].size;
  e.summary.size = total - std::min(total, dropped);
  std::memmove(&e.segments[k], &e.segments[k + 1], (count - k - 1) * kSegmentBytes);
  std::memset(&e.segments[count - 1], 0, kSegmentBytes);
  e.summary.segmentCount = static_cast<uint8_t>(count - 1);
  e.summary.startMs = e.segments[0].startMs;
  e.summary.endMs = e.segments[count - 2].endMs;
  RefreshCrc(e);
  rc = WriteEntry(fi, e);
  if (rc == 0) PutInTimeMap(fi, e.summary);
  return rc;
}

// ---- repair --------------------------------------------------------------------------------

bool DiskIndex::RepairedEntry(_rec_file_info_& rec, const RepairFn& repairFile,
                              RecIndexEntry* out) {
  uint32_t dataEnd = 0;
  int64_t foundEnd = 0;
  RecIndexEntry& e = *out;
  // The record file is searched from the recording's first segment on: frames older than
  // that belong to an earlier recording in the same file.
  _rec_file_info_ ask = rec;
  if (rec.fileIndex >= 0 && static_cast<uint32_t>(rec.fileIndex) < recordFileCount &&
      ReadEntry(static_cast<uint32_t>(rec.fileIndex), &e) == 0 && e.summary.kind != 0 &&
      e.summary.startMs > 0 && e.summary.startMs <= rec.startMs)
    ask.startMs = e.summary.startMs;
  if (rec.fileIndex < 0 || static_cast<uint32_t>(rec.fileIndex) >= recordFileCount ||
      repairFile(ask, &dataEnd, &foundEnd) != 0 ||
      ReadEntry(static_cast<uint32_t>(rec.fileIndex), &e) != 0)
    return false;
  const uint32_t fi = static_cast<uint32_t>(rec.fileIndex);
  RecIndexSummary& s = e.summary;
  const int32_t dataBytes =
      static_cast<int32_t>(dataEnd > kRecordDataStart ? dataEnd - kRecordDataStart : 0);
  rec.endOffset = dataEnd;
  if (static_cast<uint32_t>(s.linkIndex) == fi) {
    // The frames the writer found decide the end: progress updates also count frames that
    // were still in the write cache when the power went, and an end past the data would list
    // time that no frame covers. Without frames found, the entry's end stands.
    const int64_t entryEnd = s.endMs;
    const int64_t end = foundEnd > s.startMs ? foundEnd : entryEnd;
    if (end <= s.startMs) {
      DebugLog("Record writer repair file fail. fileindex %d .\n", static_cast<int>(fi));
      return false;
    }
    // Every segment record in use, walked to the first zero word (the count on disks written
    // before it was kept current can be stale): each is closed, and the last one, open at the
    // power loss, takes the bytes and the time the file holds beyond the others.
    const uint32_t used = std::max<uint32_t>(SegmentsInTable(e), 1);
    int64_t before = 0;  // the closed segments' bytes (64 bit: damaged sizes cannot wrap)
    for (uint32_t k = 0; k < used; ++k) {
      RecIndexSegment& seg = e.segments[k];
      seg.state &= static_cast<uint8_t>(~kStateRecording);
      if (k + 1 < used) before += std::max<int32_t>(int32_t{seg.size}, 0);
    }
    RecIndexSegment& last = e.segments[used - 1];
    if (last.state == 0) last.state = kSegmentClosed;
    if (end > last.startMs) last.endMs = end;
    last.dataEnd = dataEnd;
    last.size = static_cast<int32_t>(std::max<int64_t>(dataBytes - before, 0));
    const int32_t summed =
        static_cast<int32_t>(std::min<int64_t>(before + last.size, INT32_MAX));
    for (uint32_t k = 0; k < used; ++k) {
      RecIndexSegment& seg = e.segments[k];
      if (seg.endMs > seg.startMs) continue;
      DebugLog("research end time.\n");
      seg.endMs = k + 1 < used && e.segments[k + 1].startMs > seg.startMs
                      ? e.segments[k + 1].startMs
                      : end;
    }
    s.state = kStateClosed;
    s.segmentCount = static_cast<uint8_t>(used);
    s.size = summed;
    s.endMs = end;
  } else {
    // The entry names another file: what the record file holds is all there is.
    std::memset(&e, 0, sizeof e);
    s.kind = rec.kind ? rec.kind : 1;
    s.channel = rec.channel;
    s.linkIndex = static_cast<int32_t>(fi);
    s.startMs = rec.startMs;
    s.endMs = foundEnd;
    s.size = dataBytes;
    s.segmentCount = 1;
    s.state = kStateClosed;
    s.typeBits = rec.typeBits;
    s.sn = rec.sn;
    RecIndexSegment& seg = e.segments[0];
    seg.state = kSegmentClosed;
    seg.size = dataBytes;
    seg.typeBits = rec.typeBits;
    seg.startMs = rec.startMs;
    seg.endMs = foundEnd;
    seg.dataEnd = dataEnd;
  }
  rec.endMs = s.endMs;
  rec.size = s.size;
  return s.endMs > s.startMs;
}

int DiskIndex::Repair(const RepairFn& repairFile) {
  CAutoLock g(&lock_);
  struct Outcome {
    bool failed = false;
  };
  std::vector<Outcome> outcomes;
  for (_rec_file_info_& rec : repairList) {
    Outcome out;
    DebugLog("Stroage:Disk %s  Repair File index %d- %d \n", path.c_str(), rec.fileIndex,
             rec.segmentNo);
    platform::LogRange("File Time", rec.startMs, rec.startMs);
    RecIndexEntry e;
    if (!RepairedEntry(rec, repairFile, &e)) {
      out.failed = true;
      outcomes.push_back(out);
      continue;
    }
    const uint32_t fi = static_cast<uint32_t>(rec.fileIndex);
    RefreshCrc(e);
    if (WriteEntry(fi, e) == 0) {
      PutInTimeMap(fi, e.summary);
      repaired.erase(fi);  // on the disk now
    }
    outcomes.push_back(out);
  }
  const int64_t now = platform::TheClock().NowMs();
  platform::LogRange("cur day time", now - now % 86400000, now);
  size_t k = 0;
  for (auto it = repairList.begin(); it != repairList.end(); ++k) {
    const bool failed = k < outcomes.size() && outcomes[k].failed;
    const bool full = uint64_t{it->endOffset} + kFullMargin >= recordFileBytes;
    if (!failed && !full) {
      platform::LogRange("Repair file Time", it->startMs, it->endMs);
      ++it;
      continue;
    }
    const uint32_t fi = static_cast<uint32_t>(it->fileIndex);
    if (fi < recordFileCount && it->startMs == it->endMs && it->size == 0) {
      RecIndexEntry zero;
      std::memset(&zero, 0, sizeof zero);
      if (WriteEntry(fi, zero) != 0)
        DebugLog("Clean record index %d offset %d fail.\n", static_cast<int>(fi),
                 static_cast<int>(EntryOffset(fi)));
      platform::LogRange("Repair fail rec Time", it->startMs, it->endMs);
      if (std::find(freeList.begin(), freeList.end(), fi) == freeList.end())
        freeList.push_back(fi);
    }
    // Back into the time map only when the entry still holds a recording (a zeroed one would
    // be recycled out of age order).
    RecIndexEntry e;
    if (fi < recordFileCount && ReadEntry(fi, &e) == 0 && e.summary.kind != 0 &&
        static_cast<uint32_t>(e.summary.linkIndex) == fi && e.summary.endMs > e.summary.startMs)
      PutInTimeMap(fi, e.summary);
    it = repairList.erase(it);
  }
  if (file) file->Flush();
  return 0;
}
