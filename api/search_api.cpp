// The exported searches: channel/time (as RecordItems or as the play list), merged history
// spans, the spans of days with recordings, and the days of a month.
#include <cstring>
#include <iterator>
#include <ctime>

#include "api/context.h"
#include "index/record_search.h"
#include "platform/clock.h"
#include "platform/messages.h"
#include "platform/platform_context.h"
#include "platform/time_print.h"
#include "qvfs/qvfs.h"

namespace {

constexpr int kErrNoOutput = -2005;
constexpr int32_t kShortRecordBytes = 1024000;
constexpr int64_t kShortRecordMs = 1000;
constexpr int64_t kHistoryMergeAfterSec = 3600;
constexpr int64_t kDaySeconds = 86400;
// Years whose months may hold records: their seconds fit 32 bits (up to 2106-02-07).
constexpr int32_t kFirstYear = 1970, kLastYear = 2106;

int ChannelLimit(qvfs::Context& ctx) {
  int n = ctx.shared().params().channels;
  return n < 0 ? 0 : (n > 32 ? 32 : n);
}

bool SecondsFit(int64_t ms) { return ms >= 0 && ms / 1000 <= UINT32_MAX; }

// Times the searches take, in seconds: 0 .. 2^32 - 1, as records keep them. Only these are
// turned into milliseconds (which they do without overflow).
bool SecondsValid(int64_t s) { return s >= 0 && s <= int64_t{UINT32_MAX}; }

bool RangeValid(int64_t start, int64_t end) {
  if (SecondsValid(start) && SecondsValid(end) && start <= end) {
    platform::LogRange("Search Time", start * 1000, end * 1000);
    return true;
  }
  DebugLog("Error search time %lld %lld .\n", static_cast<long long>(start),
           static_cast<long long>(end));
  return false;
}

// Whole output records in outBytes; 0 for an output that cannot hold one (or a negative size).
size_t OutputRecords(int outBytes, size_t recordBytes) {
  return outBytes > 0 ? static_cast<size_t>(outBytes) / recordBytes : 0;
}

// Channels of the mask a search looks at.
int WantedChannels(int32_t channelMask, int limit) {
  int n = 0;
  for (int ch = 0; ch < limit && ch < 32; ++ch) n += (static_cast<uint32_t>(channelMask) >> ch) & 1;
  return n;
}

// The output rules shared by every emitting search: short records that last under a second (or
// whose times do not fit 32-bit seconds) are left out, and so is a record with the same start
// and end as the one emitted just before it on the same channel.
class EmitFilter {
 public:
  // earlier: the record before r in start order, when there is one. A short record that comes
  // after a full segment record of the same file is the tail of a longer recording, not a
  // stray piece: it stays, or the last second of every recording would be missing from
  // searches, replays and backups.
  bool Skip(const _rec_file_info_& r, const _rec_file_info_* earlier = nullptr) {
    const bool tail = earlier && earlier->diskNo == r.diskNo &&
                      earlier->fileIndex == r.fileIndex && earlier->segmentNo < r.segmentNo &&
                      !Short(*earlier);
    if (r.size < kShortRecordBytes && !tail) {
      if (Short(r)) {
        platform::LogRange("record time", r.startMs, r.endMs);
        return true;
      }
      if (!SecondsFit(r.startMs) || !SecondsFit(r.endMs)) return true;
    }
    if (hasPrev_ && prev_.channel == r.channel && prev_.startMs == r.startMs &&
        prev_.endMs == r.endMs)
      return true;
    prev_ = r;
    hasPrev_ = true;
    return false;
  }

 private:
  static bool Short(const _rec_file_info_& r) {
    int64_t span;
    // Times of a damaged entry may lie further apart than 64 bits hold: not a short record.
    if (__builtin_sub_overflow(r.endMs, r.startMs, &span)) return false;
    return r.size < kShortRecordBytes && span < kShortRecordMs && span > -kShortRecordMs;
  }

  _rec_file_info_ prev_{};
  bool hasPrev_ = false;
};

// The client's result (its cached one while that may be reused): the number of records found.
int ClientResult(qvfs::Context& ctx, const std::vector<DiskIndexRef>& indexes, SearchQuery& q,
                 int32_t channelMask, size_t capacity, int32_t source, int32_t client,
                 ResultMap& results) {
  SearchCache& cache = ctx.searchCache();
  const int64_t nowSec = platform::TheClock().NowMs() / 1000;
  ClientRecord* slot = nullptr;
  const SearchCache::Scope scope{source, capacity, ctx.diskWatch().ScansDone()};
  if (!cache.MustSearch(client, q.startMs, q.endMs, channelMask, q.typeMask, scope, nowSec, &slot))
    return slot->resultCount;
  results.clear();
  for (int n = 0; n < 32; ++n) q.channelFlags[n] = (static_cast<uint32_t>(channelMask) >> n) & 1;
  q.channelLimit = ChannelLimit(ctx);
  q.maxPerChannel = cache.PerChannelLimit(capacity, WantedChannels(channelMask, q.channelLimit));
  const int count = SearchIndexes(indexes, q, results, cache.window());
  platform::LogRange("Search Time", q.startMs, q.endMs);
  if (slot) {
    slot->resultCount = count;
    slot->lastSearchSec = nowSec;
  }
  return count;
}

// The channel/time search; emit(i, record) writes output slot i. An output that cannot hold one
// record is refused (-101) and left untouched.
template <class Emit>
int ChannelTimeSearch(const void* out, int outBytes, size_t recordBytes, int64_t start,
                      int64_t end, int32_t channelMask, int32_t typeMask, int32_t source,
                      int32_t client, Emit emit) {
  if (!out) return kErrNoOutput;
  if (!RangeValid(start, end)) return ERR_SEARCH_ARGUMENT;
  const size_t capacity = OutputRecords(outBytes, recordBytes);
  if (channelMask == 0 || capacity == 0) return ERR_SEARCH_ARGUMENT;
  qvfs::Context& ctx = qvfs::Context::Current();
  CAutoLock g(&ctx.searchLock());
  const std::vector<DiskIndexRef> indexes = ctx.diskWatch().IndexSet(source).Indexes();
  if (indexes.empty()) return 0;

  SearchQuery q;
  q.startMs = start * 1000;
  q.endMs = end * 1000;
  q.typeMask = typeMask == 0 ? -1 : typeMask;
  ResultMap& results = ctx.searchCache().Results(client);
  if (ClientResult(ctx, indexes, q, channelMask, capacity, source, client, results) <= 0) return 0;

  size_t written = 0;
  EmitFilter filter;
  for (const auto& channelList : results) {
    const int ch = channelList.first;
    if (ch >= 32 || !((static_cast<uint32_t>(channelMask) >> ch) & 1)) continue;
    const RecordList& list = channelList.second;
    for (auto it = list.rbegin(); it != list.rend(); ++it) {  // newest first
      const _rec_file_info_* earlier = std::next(it) != list.rend() ? &*std::next(it) : nullptr;
      if (filter.Skip(*it, earlier)) continue;
      emit(written++, *it);
      if (written == capacity) return static_cast<int>(written);
    }
  }
  return static_cast<int>(written);
}

// The local month from its first second to its last, in ms; false for a month whose seconds
// lie outside 0 .. 2^32 - 1 (records keep none there).
bool MonthRangeMs(int32_t year, int32_t month, int64_t* startMs, int64_t* endMs) {
  if (month < 1 || year < kFirstYear || year > kLastYear) return false;
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  const int days = month > 12 ? 30 : (month == 2 && leap ? 29 : kDays[month - 1]);
  struct tm first = {};
  first.tm_year = year - 1900;
  first.tm_mon = month - 1;
  first.tm_mday = 1;
  first.tm_isdst = -1;
  struct tm last = first;
  last.tm_mday = days;
  last.tm_hour = 23;
  last.tm_min = 59;
  last.tm_sec = 59;
  const int64_t start = platform::Clock::MakeTime(first), end = platform::Clock::MakeTime(last);
  if (!SecondsValid(start) || !SecondsValid(end) || end <= start) return false;
  *startMs = start * 1000;
  *endMs = end * 1000;
  return true;
}

int64_t LocalMidnight(int64_t ms) {
  struct tm t = platform::Clock::LocalTime(ms / 1000);
  t.tm_hour = t.tm_min = t.tm_sec = 0;
  t.tm_isdst = -1;
  return platform::Clock::MakeTime(t);
}

}  // namespace

extern "C" {

QVFS_API int QVFS_ScanDisksForSearch(int channelCount) {
  if (channelCount < 1 || channelCount > 32) return ERR_SEARCH_ARGUMENT;
  qvfs::Context& ctx = qvfs::Context::Current();
  ctx.shared().params().channels = channelCount;
  // A scan to look, not to record: recordings left open are repaired in memory only.
  return ctx.diskWatch().Scan(/*repairWrites*/ false);
}

QVFS_API int QVFS_SearchRec(RecordItem* out, int outBytes, int64_t start, int64_t end,
                            int32_t channelMask, int32_t typeMask, int32_t source, int32_t,
                            int32_t clientId) {
  return ChannelTimeSearch(out, outBytes, sizeof(RecordItem), start, end, channelMask, typeMask,
                           source, clientId, [out](size_t i, const _rec_file_info_& r) {
                             FillRecordItem(&out[i], r);
                           });
}

QVFS_API int QVFS_SearchPlayList(_rec_file_info_* out, int outBytes, int64_t start, int64_t end,
                                 int32_t channelMask, int32_t typeMask, int32_t source, int32_t,
                                 int32_t clientId) {
  return ChannelTimeSearch(out, outBytes, sizeof(_rec_file_info_), start, end, channelMask,
                           typeMask, source, clientId,
                           [out](size_t i, const _rec_file_info_& r) { out[i] = r; });
}

QVFS_API int QVFS_SearchHistoryRec(uint32_t* out, int outBytes, int64_t start, int64_t end,
                                   int32_t channel, int32_t, int32_t) {
  if (!out) return kErrNoOutput;
  qvfs::Context& ctx = qvfs::Context::Current();
  if (!RangeValid(start, end) || channel < 0 || channel >= ChannelLimit(ctx))
    return ERR_SEARCH_ARGUMENT;
  const size_t capacity = OutputRecords(outBytes, 2 * sizeof *out);
  if (capacity == 0) return ERR_SEARCH_ARGUMENT;  // not even one pair
  CAutoLock g(&ctx.searchLock());
  RecordList list;
  for (const DiskIndexRef& index : ctx.diskWatch().IndexSet(0).Indexes())
    SearchOneChannel(*index, channel, start * 1000, end * 1000, -1, ChannelLimit(ctx), list,
                     ctx.searchCache().window());
  size_t written = 0;
  bool open = false;
  int64_t spanStart = 0, spanEnd = 0;
  auto writeSpan = [&](const char* caption) {
    DebugLog(caption, channel, static_cast<int>(written));
    platform::LogRange("", spanStart * 1000, spanEnd * 1000);
    out[2 * written] = static_cast<uint32_t>(spanStart);
    out[2 * written + 1] = static_cast<uint32_t>(spanEnd);
    ++written;
  };
  EmitFilter filter;
  for (size_t k = 0; k < list.size(); ++k) {
    const _rec_file_info_& r = list[k];
    if (written == capacity) return static_cast<int>(written);
    if (filter.Skip(r, k ? &list[k - 1] : nullptr)) continue;
    const int64_t s = r.startMs / 1000, e = r.endMs / 1000;
    if (open && s == spanEnd && spanStart > kHistoryMergeAfterSec) {
      spanEnd = e;  // the next recording starts in the second the span ended
      continue;
    }
    if (open) writeSpan("ch%d destNum %d  merge record time\n");
    if (written == capacity) return static_cast<int>(written);
    spanStart = s;
    spanEnd = e;
    open = true;
  }
  if (open && written < capacity) writeSpan("ch%d destNum %d  last merge record \n");
  return static_cast<int>(written);
}

QVFS_API int QVFS_SearchRecordAllDayEx(int64_t* out, int outBytes) {
  if (!out) return kErrNoOutput;
  // A negative size is the unbounded output of QVFS_SearchRecordAllDay; a size under one pair
  // holds nothing and is refused.
  const size_t capacity = outBytes < 0 ? SIZE_MAX : OutputRecords(outBytes, 2 * sizeof *out);
  if (capacity == 0) return ERR_SEARCH_ARGUMENT;
  qvfs::Context& ctx = qvfs::Context::Current();
  CAutoLock g(&ctx.searchLock());
  size_t written = 0;
  for (const DiskIndexRef& index : ctx.diskWatch().IndexSet(0).Indexes()) {
    CAutoLock il(&index->lock());
    bool open = false;
    int64_t first = 0, last = 0;
    for (const auto& node : index->timeMap) {
      const int64_t startDay = LocalMidnight(node.second.startMs);
      const int64_t endDay = LocalMidnight(node.second.endMs);
      if (open && startDay <= last + kDaySeconds) {
        if (endDay > last) last = endDay;  // a recording inside the span never shortens it
        continue;
      }
      if (open) {
        if (written == capacity) return static_cast<int>(written);
        out[2 * written] = first;
        out[2 * written + 1] = last;
        ++written;
      }
      first = startDay;
      last = endDay;
      open = true;
    }
    if (open) {
      if (written == capacity) return static_cast<int>(written);
      out[2 * written] = first;
      out[2 * written + 1] = last;
      ++written;
    }
  }
  return static_cast<int>(written);
}

QVFS_API int QVFS_SearchRecordAllDay(int64_t* out) { return QVFS_SearchRecordAllDayEx(out, -1); }

QVFS_API int QVFS_SearchRecordDayOfMonth(int32_t year, int32_t month, int32_t typeMask) {
  int64_t startMs = 0, endMs = 0;
  if (!MonthRangeMs(year, month, &startMs, &endMs)) return 0;

  qvfs::Context& ctx = qvfs::Context::Current();
  CAutoLock g(&ctx.searchLock());
  const int channels = ChannelLimit(ctx);
  SearchQuery q;
  q.startMs = startMs;
  q.endMs = endMs;
  q.typeMask = typeMask == 0 ? -1 : typeMask;
  for (int n = 0; n < channels; ++n) q.channelFlags[n] = 1;
  q.channelLimit = channels;
  for (const DiskIndexRef& index : ctx.diskWatch().IndexSet(0).Indexes()) {
    ResultMap results;
    if (SearchDisk(*index, q, results, ctx.searchCache().window()) <= 0) continue;
    uint32_t mask = 0;
    for (const auto& channelList : results) {
      for (const _rec_file_info_& r : channelList.second) {
        const int64_t when = r.startMs < startMs ? r.endMs : r.startMs;
        const int day = platform::Clock::LocalTime(when / 1000).tm_mday;
        mask |= 1u << (day - 1);
      }
    }
    return static_cast<int>(mask);  // the first disk that holds anything answers
  }
  return 0;
}

}  // extern "C"
