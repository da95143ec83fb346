#include "index/record_search.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "platform/messages.h"
#include "platform/time_print.h"
#include "serialfile/serial_file_base.h"

using namespace recindex;

namespace {

constexpr int64_t kMaxSecondsExclusive = int64_t{1} << 31;

bool SameTimes(const _rec_file_info_& a, const _rec_file_info_& b) {
  return a.startMs == b.startMs && a.endMs == b.endMs;
}

bool TimeFits(int64_t ms) { return ms >= 0 && ms / 1000 < kMaxSecondsExclusive; }

template <typename T>
T LoadAt(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// The fields the searches use of segment record k, each read where it lies. (A copy of the
// whole packed record is read back across the copy's own stores, which stalls the walk.)
struct Segment {
  uint8_t state, zero1;
  int32_t size;
  uint16_t typeBits, tzHours;
  int64_t startMs, endMs;
  uint32_t dataEnd;
};

Segment SegmentAt(const uint8_t* entry, uint32_t k) {
  const uint8_t* p = entry + kSegmentTableOffset + size_t{k} * kSegmentBytes;
  Segment seg;
  seg.state = p[offsetof(RecIndexSegment, state)];
  seg.zero1 = p[offsetof(RecIndexSegment, zero1)];
  seg.size = LoadAt<int32_t>(p + offsetof(RecIndexSegment, size));
  seg.typeBits = LoadAt<uint16_t>(p + offsetof(RecIndexSegment, typeBits));
  seg.tzHours = LoadAt<uint16_t>(p + offsetof(RecIndexSegment, tzHours));
  seg.startMs = LoadAt<int64_t>(p + offsetof(RecIndexSegment, startMs));
  seg.endMs = LoadAt<int64_t>(p + offsetof(RecIndexSegment, endMs));
  seg.dataEnd = LoadAt<uint32_t>(p + offsetof(RecIndexSegment, dataEnd));
  return seg;
}

// A segment record is in use until the first whose first 16-bit word is 0.
bool InUse(const Segment& seg) { return seg.state != 0 || seg.zero1 != 0; }

// The records of a whole entry and of its segment k, written into r (inline: the walk and
// the exported builders share them).
// Every field is written (no zeroing first: a record is filled where it will stay).
void FillWholeEntryRecord(_rec_file_info_& r, const RecIndexSummary& s, uint8_t diskNo) {
  r.channel = s.channel;
  r.state = s.state;
  r.diskNo = diskNo;
  r.kind = s.kind;
  r.operation = 0;
  r.segmentNo = 0;
  r.typeBits = static_cast<uint8_t>(s.typeBits);
  r.tzByte = static_cast<uint8_t>(s.tzHours << 1);
  r.fileIndex = s.linkIndex;
  r.size = s.size;
  r.endOffset = static_cast<uint32_t>(s.size) + kRecordDataStart;
  r.startMs = s.startMs;
  r.endMs = s.endMs;
  r.sn = s.sn;
}

void FillSegmentRecord(_rec_file_info_& r, const RecIndexSummary& s, const uint8_t* entry,
                       uint32_t k, uint8_t diskNo) {
  const Segment seg = SegmentAt(entry, k);
  const uint16_t firstTz = LoadAt<uint16_t>(entry + kSegmentTableOffset +
                                            offsetof(RecIndexSegment, tzHours));
  r.channel = s.channel;
  r.state = seg.state;
  r.diskNo = diskNo;
  r.kind = s.kind;
  r.operation = 0;
  r.segmentNo = static_cast<uint8_t>(k);
  r.typeBits = static_cast<uint8_t>(seg.typeBits);
  r.tzByte = static_cast<uint8_t>(firstTz << 1);
  r.fileIndex = s.linkIndex;
  r.size = seg.size;
  r.endOffset = seg.dataEnd;
  r.startMs = seg.startMs;
  r.endMs = seg.endMs;
  r.sn = s.sn;
}

static_assert(sizeof(_rec_file_info_) == 40, "the fill functions write all 40 bytes");

// One per-disk walk.
class Walk {
 public:
  Walk(DiskIndex& index, const SearchQuery& q, ResultMap& out, uint8_t* buffer, bool logReads)
      : index_(index), q_(q), out_(out), buffer_(buffer), logReads_(logReads) {}

  int Run() {
    WalkTimeMap();
    if (!failed_) AddBeingWritten();
    return inserted_;
  }

 private:
  bool Wanted(int channel) const {
    return channel < q_.channelLimit && channel < 32 && q_.channelFlags[channel];
  }
  bool Overlaps(int64_t s, int64_t e) const { return e > q_.startMs && s < q_.endMs; }
  bool BeingWritten(int channel, uint32_t file) const {
    auto w = index_.writerMap.find(channel);
    return w != index_.writerMap.end() && w->second && w->second->WriterFileIndex() == file;
  }
  // Inserts the record that fill(r) writes, of channel ch and times start..end, by
  // InsertRecord's rule. A record that goes at the end of its list (the usual case: the walk
  // goes in start order) is written in place there, not built aside and copied: a record built
  // field by field and read back whole stalls on its own stores.
  template <typename Fill>
  void Insert(uint8_t ch, int64_t start, int64_t end, Fill fill) {
    // The channel's list, looked up in the result map once per walk (a damaged entry of a
    // file being written may name any channel: those are looked up each time).
    RecordList* list = ch < 32 ? lists_[ch] : nullptr;
    if (!list) list = &out_[ch];
    if (ch < 32) lists_[ch] = list;
    if (__builtin_expect(list->empty() || start >= list->back().startMs, 1)) {
      if (!list->empty() && list->back().startMs == start && list->back().endMs == end) return;
      list->emplace_back();
      fill(list->back());
      if (q_.maxPerChannel != 0 && list->size() > q_.maxPerChannel) list->pop_back();
      ++inserted_;
      return;
    }
    _rec_file_info_ r;
    fill(r);
    if (InsertRecord(*list, r, q_.maxPerChannel)) ++inserted_;
  }

  // The entry of file i from the window, moving the window there when it is not inside.
  // Entries of files being written change with every progress update: their heads are not
  // kept (keep false).
  const uint8_t* Entry(uint32_t i, bool keep) {
    // An entry repaired in memory (left open on a drive that is not written) is read there.
    auto fixed = index_.repaired.find(i);
    if (fixed != index_.repaired.end())
      return reinterpret_cast<const uint8_t*>(&fixed->second.entry);
    if (const uint8_t* head = index_.KeptHead(i)) return head;
    if (!(i >= winStart_ && i < winStart_ + winLen_)) {
      const uint32_t back = std::min<uint32_t>(static_cast<uint32_t>(q_.channelLimit), 63);
      winStart_ = i < back ? 0 : i - back;
      winLen_ = std::min(kWindowEntries, index_.recordFileCount - winStart_);
      const uint32_t offset = kEntriesOffset + winStart_ * kEntryBytes;
      const uint32_t size = winLen_ * kEntryBytes;
      if (logReads_)
        DebugLog("Read index file index no %d offset %d readsize %d .\n", static_cast<int>(i),
                 static_cast<int>(offset), static_cast<int>(size));
      int r = index_.file ? index_.file->ReadPos(offset, buffer_, size, true) : ERR_NO_DEVICE;
      if (r != static_cast<int>(size)) {
        DebugLog("Read data fail. ret %d offset %d size %d \n", r, static_cast<int>(offset),
                 static_cast<int>(size));
        winLen_ = 0;
        failed_ = true;
        return nullptr;
      }
    }
    const uint8_t* entry = buffer_ + static_cast<size_t>(i - winStart_) * kEntryBytes;
    if (keep) index_.KeepHead(i, entry);
    return entry;
  }

  // A one-segment recording, whole. True when the entry was of this kind.
  void AddWhole(RecIndexSummary& s, uint32_t fileIndex) {
    if (!(q_.typeMask & s.typeBits)) return;
    if (s.startMs >= s.endMs) {
      DebugLog("Error record index NO %d .\n", static_cast<int>(fileIndex));
      return;
    }
    if (!Overlaps(s.startMs, s.endMs)) return;
    s.state &= static_cast<uint8_t>(~kStateRecording);
    const uint8_t diskNo = static_cast<uint8_t>(index_.diskNo);
    Insert(s.channel, s.startMs, s.endMs, [&](_rec_file_info_& r) {
      FillWholeEntryRecord(r, s, diskNo);
      r.fileIndex = static_cast<int32_t>(fileIndex);
    });
  }

  // The segments of an entry; a writer gives the last one its current end and size.
  void AddSegments(const RecIndexSummary& s, const uint8_t* entry, const IndexedWriter* writer) {
    const uint32_t n = UsableSegments(s);
    uint32_t used = 0;
    while (used < n && InUse(SegmentAt(entry, used))) ++used;
    for (uint32_t k = 0; k < used; ++k) {
      const Segment seg = SegmentAt(entry, k);
      const bool last = k + 1 == used;
      int32_t size = seg.size;
      int64_t end = seg.endMs;
      if (writer && last) {
        end = writer->WriterEndMs();
        if (size == 0) size = writer->WriterDataSize();
      }
      if (!(q_.typeMask & seg.typeBits)) continue;
      if (size == 0 || !TimeFits(seg.startMs) || !TimeFits(end)) {
        if (size == 0)
          DebugLog("Record Error  start Time %lld tmEnd %lld .\n",
                   static_cast<long long>(seg.startMs), static_cast<long long>(end));
        else
          DebugLog("Record Error start Time %lld tmEnd %lld totalSize %d.\n",
                   static_cast<long long>(seg.startMs), static_cast<long long>(end), size);
        continue;
      }
      if (end <= seg.startMs && !last) end = SegmentAt(entry, k + 1).startMs;
      if (!Overlaps(seg.startMs, end)) continue;
      const uint8_t diskNo = static_cast<uint8_t>(index_.diskNo);
      Insert(s.channel, seg.startMs, end, [&](_rec_file_info_& r) {
        FillSegmentRecord(r, s, entry, k, diskNo);
        r.endMs = end;
        r.size = size;
      });
    }
  }

  void WalkTimeMap() {
    auto it = index_.timeMap.begin();
    while (it != index_.timeMap.end() && it->second.endMs <= q_.startMs) ++it;
    for (; it != index_.timeMap.end() && !failed_; ++it) {
      RecIndexSummary& node = it->second;
      if (node.startMs >= q_.endMs) break;
      const uint32_t file = it->first.fileIndex;
      if (!Wanted(node.channel) || BeingWritten(node.channel, file)) continue;
      if (file >= index_.recordFileCount) {
        DebugLog("Over maxID %d curIndexNO %d \n", static_cast<int>(index_.recordFileCount),
                 static_cast<int>(file));
        continue;
      }
      if (node.segmentCount == 1 && node.size != 0) {
        AddWhole(node, file);
        continue;
      }
      const uint8_t* entry = Entry(file, true);
      if (!entry) break;
      RecIndexSummary s;
      std::memcpy(&s, entry, sizeof s);
      if (static_cast<uint32_t>(s.linkIndex) != file) continue;
      if (s.segmentCount == 1 && s.startMs != s.endMs) {
        AddWhole(s, file);
      } else {
        AddSegments(s, entry, nullptr);
      }
    }
  }

  void AddBeingWritten() {
    for (const auto& cw : index_.writerMap) {
      const IndexedWriter* w = cw.second;
      if (!w || !Wanted(cw.first)) continue;
      const uint32_t file = w->WriterFileIndex();
      if (file >= index_.recordFileCount) continue;
      const uint8_t* entry = Entry(file, false);
      if (!entry) return;
      RecIndexSummary s;
      std::memcpy(&s, entry, sizeof s);
      if (s.kind == 0) continue;
      if (UsableSegments(s) == 0 || !InUse(SegmentAt(entry, 0))) {
        // Started, no segment yet: the entry with the writer's progress.
        s.endMs = w->WriterEndMs();
        if (s.size == 0) s.size = w->WriterDataSize();
        if (s.size != 0 && s.startMs < s.endMs && Overlaps(s.startMs, s.endMs) &&
            (q_.typeMask & s.typeBits)) {
          const uint8_t diskNo = static_cast<uint8_t>(index_.diskNo);
          Insert(s.channel, s.startMs, s.endMs, [&](_rec_file_info_& r) {
            FillWholeEntryRecord(r, s, diskNo);
            r.fileIndex = static_cast<int32_t>(file);
          });
        }
        continue;
      }
      AddSegments(s, entry, w);
    }
  }

  DiskIndex& index_;
  const SearchQuery& q_;
  ResultMap& out_;
  uint8_t* buffer_;
  bool logReads_;
  RecordList* lists_[32] = {};
  uint32_t winStart_ = 0, winLen_ = 0;
  bool failed_ = false;
  int inserted_ = 0;
};

}  // namespace

bool InsertRecord(RecordList& list, const _rec_file_info_& rec, size_t max) {
  // The list is in start order, so a record at or after the last is never before the first.
  if (list.empty()) {
    list.push_back(rec);
  } else if (rec.startMs >= list.back().startMs) {
    if (SameTimes(rec, list.back())) return false;
    list.push_back(rec);
  } else if (rec.startMs < list.front().startMs) {
    list.insert(list.begin(), rec);
  } else {
    auto pos = std::lower_bound(
        list.begin(), list.end(), rec,
        [](const _rec_file_info_& a, const _rec_file_info_& b) { return a.startMs < b.startMs; });
    for (auto it = pos; it != list.end() && it->startMs == rec.startMs; ++it)
      if (SameTimes(*it, rec)) return false;
    list.insert(pos, rec);
  }
  if (max != 0 && list.size() > max) list.pop_back();
  return true;
}

_rec_file_info_ WholeEntryRecord(const RecIndexSummary& s, uint8_t diskNo) {
  _rec_file_info_ r;
  FillWholeEntryRecord(r, s, diskNo);
  return r;
}


_rec_file_info_ SegmentRecord(const RecIndexSummary& s, const uint8_t* entry, uint32_t k,
                              uint8_t diskNo) {
  _rec_file_info_ r;
  FillSegmentRecord(r, s, entry, k, diskNo);
  return r;
}


uint8_t* SearchWindow::Buffer() {
  if (buffer_.empty()) {
    try {
      buffer_.assign(kWindowEntries * kEntryBytes, 0);
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
  }
  return buffer_.data();
}

namespace {
int SearchDiskImpl(DiskIndex& index, const SearchQuery& q, ResultMap& results,
                   SearchWindow& window, bool logReads) {
  if (q.startMs >= q.endMs || q.typeMask == 0) return 0;
  bool anyChannel = false;
  for (uint8_t f : q.channelFlags) anyChannel |= f != 0;
  if (!anyChannel) return 0;
  CAutoLock g(&index.lock());
  if (index.timeMap.empty() && index.writerMap.empty()) return 0;
  platform::LogRange("SearchFile", q.startMs, q.endMs);
  std::lock_guard<std::mutex> w(window.mutex());
  uint8_t* buffer = window.Buffer();
  if (!buffer) return ERR_SEARCH_NO_MEMORY;
  return Walk(index, q, results, buffer, logReads).Run();
}
}  // namespace

int SearchDisk(DiskIndex& index, const SearchQuery& q, ResultMap& results, SearchWindow& window) {
  return SearchDiskImpl(index, q, results, window, false);
}

int SearchOneChannel(DiskIndex& index, int channel, int64_t startMs, int64_t endMs,
                     int32_t typeMask, int channelLimit, RecordList& list, SearchWindow& window) {
  if (startMs >= endMs) {
    DebugLog("Search time Error %lld %lld.\n", static_cast<long long>(startMs),
             static_cast<long long>(endMs));
    return 0;
  }
  if (channel < 0 || channel >= 32) return 0;
  SearchQuery q;
  q.startMs = startMs;
  q.endMs = endMs;
  q.typeMask = typeMask;
  q.channelFlags[channel] = 1;
  q.channelLimit = channelLimit;
  q.maxPerChannel = kOneChannelCap;
  ResultMap results;
  results[channel].swap(list);
  int r = SearchDiskImpl(index, q, results, window, true);
  results[channel].swap(list);
  return r;
}

int SearchIndexes(const std::vector<DiskIndexRef>& indexes, const SearchQuery& q, ResultMap& results,
                  SearchWindow& window) {
  int total = 0;
  for (const DiskIndexRef& index : indexes) {
    int r = SearchDisk(*index, q, results, window);
    if (r == ERR_SEARCH_NO_MEMORY) return r;
    if (r > 0) total += r;
  }
  return total > 0 ? total : ERR_SEARCH_NOTHING;
}

RecordList MergeSegmentRuns(RecordList records, int64_t maxGapMs) {
  std::stable_sort(records.begin(), records.end(), [](const _rec_file_info_& a,
                                                      const _rec_file_info_& b) {
    if (a.diskNo != b.diskNo) return a.diskNo < b.diskNo;
    if (a.fileIndex != b.fileIndex) return a.fileIndex < b.fileIndex;
    return a.segmentNo < b.segmentNo;
  });
  RecordList out;
  int lastSegment = -1;
  for (const _rec_file_info_& r : records) {
    if (!out.empty()) {
      _rec_file_info_& prev = out.back();
      const int64_t prevEnd = prev.endMs, start = r.startMs, end = r.endMs;  // packed: copied out
      const bool close = maxGapMs < 0 || start - prevEnd <= maxGapMs;
      if (prev.diskNo == r.diskNo && prev.fileIndex == r.fileIndex &&
          r.segmentNo == lastSegment + 1 && r.startMs >= prev.startMs && close) {
        prev.endMs = std::max(prevEnd, end);
        prev.size += r.size;
        prev.typeBits |= r.typeBits;
        lastSegment = r.segmentNo;
        continue;
      }
    }
    out.push_back(r);
    lastSegment = r.segmentNo;
  }
  std::stable_sort(out.begin(), out.end(), [](const _rec_file_info_& a,
                                              const _rec_file_info_& b) {
    return a.startMs < b.startMs;
  });
  return out;
}
