// The searches over one disk's index: the time map walked in start-time order, entries with
// several segments read from the index file through a shared 64-entry window (and kept by the
// DiskIndex after that first read, until the entry is written), and the files still being
// written added from the writer map. Hits go into per-channel lists kept in
// start-time order.
//
// Lock rule: a per-disk search holds the DiskIndex lock for its whole walk, and the window's
// lock inside it while it reads into the shared window buffer.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "index/disk_index.h"
#include "qvfs/records.h"

// A channel's hits in ascending start time.
using RecordList = std::vector<_rec_file_info_>;
// Channel number -> its hits, in ascending channel order.
using ResultMap = std::map<int, RecordList>;

// Search result codes.
enum SearchResult : int {
  ERR_SEARCH_ARGUMENT = -101,
  ERR_SEARCH_NO_MEMORY = -103,
  ERR_SEARCH_NOT_FOUND = -5002,
  ERR_SEARCH_NOTHING = -5007,
};

constexpr size_t kOneChannelCap = 65536;
constexpr uint32_t kWindowEntries = 64;

// Inserts a record into a channel's list (max 0: no limit): in front when it starts before the
// first, at the end when it starts at or after the last (unless it equals the last in start and
// end), else at its place found by binary search (dropped when it equals the element there).
// Past max the last element goes.
// True when the record went in.
bool InsertRecord(RecordList& list, const _rec_file_info_& rec, size_t max);

// Runs of a record file's segment records that follow each other (segments k, k+1, ... of one
// file on one disk) as one record each: the stretch of data as it lies in the file, with the
// run's first start, last end and summed size. In start-time order. With maxGapMs >= 0 a
// segment that starts more than maxGapMs after the run's end begins a run of its own (a file
// that a later recording went on filling is listed as two recordings).
RecordList MergeSegmentRuns(RecordList records, int64_t maxGapMs = -1);

// The record of a whole entry, and of its segment k.
_rec_file_info_ WholeEntryRecord(const recindex::RecIndexSummary& s, uint8_t diskNo);
_rec_file_info_ SegmentRecord(const recindex::RecIndexSummary& s, const uint8_t* entry,
                              uint32_t k, uint8_t diskNo);

// The process-wide 256 KiB window into index files (64 entries), allocated on first use.
class SearchWindow {
 public:
  std::mutex& mutex() { return mutex_; }
  // The buffer, or null when it cannot be allocated.
  uint8_t* Buffer();

 private:
  std::mutex mutex_;
  std::vector<uint8_t> buffer_;
};

struct SearchQuery {
  int64_t startMs = 0;
  int64_t endMs = 0;
  int32_t typeMask = -1;
  uint8_t channelFlags[32] = {};  // byte n: channel n wanted
  int channelLimit = 32;          // channels at or above it are ignored
  size_t maxPerChannel = 0;       // 0: no limit
};

// The per-disk search: the number of records inserted into results.
int SearchDisk(DiskIndex& index, const SearchQuery& q, ResultMap& results, SearchWindow& window);

// The one-channel search (cap 65536): the number of records inserted into list.
int SearchOneChannel(DiskIndex& index, int channel, int64_t startMs, int64_t endMs,
                     int32_t typeMask, int channelLimit, RecordList& list, SearchWindow& window);

// Runs SearchDisk over every index; the total, or -5007 when nothing was found (or there are
// no indexes), -103 without the window buffer.
int SearchIndexes(const std::vector<DiskIndexRef>& indexes, const SearchQuery& q, ResultMap& results,
                  SearchWindow& window);
