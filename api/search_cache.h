// The search cache: per replay client, the parameters and result count of its last channel/time
// search (kept in its ClientRecord) and its result map, so that a client paging through the same
// result within a few seconds does not walk the indexes again. Also the shared index window.
// Its memory is bounded: results of at most kClientRecordCount + 1 clients, each of at most the
// record cap.
//
// Not locked: the searches run from one thread at a time (the exported functions hold the
// search lock of the context around them).
#pragma once

#include <cstdint>
#include <map>

#include "api/shared_records.h"
#include "index/record_search.h"

class SearchCache {
 public:
  // Records one client's cached result holds at most (about 10 MiB).
  static constexpr size_t kDefaultRecordCap = 262144;

  explicit SearchCache(SharedRecords* shared) : shared_(shared) {}

  // What else a cached result depends on besides the client record's range, channels and
  // types: the disk set searched, the output's capacity (a retry with a larger buffer must not
  // get the capped list back) and the disk scans so far (a rescan may change the disks).
  struct Scope {
    int32_t source = 0;
    size_t capacity = 0;
    uint64_t scans = 0;
    bool operator==(const Scope& o) const {
      return source == o.source && capacity == o.capacity && scans == o.scans;
    }
  };
  // Whether client c must search (true; the new parameters are then stored in its slot) or may
  // take its cached result (false). *slot is the client's record, or null when it has none.
  bool MustSearch(int client, int64_t startMs, int64_t endMs, int32_t channelMask,
                  int32_t typeMask, const Scope& scope, int64_t nowSec, ClientRecord** slot);
  // The client's result map. The replay clients' (0 .. kClientRecordCount - 1, the ones whose
  // result is reused and replayed) are kept; every other client id searches into one scratch
  // map that the next such search overwrites. So the cache holds at most kClientRecordCount + 1
  // results.
  ResultMap& Results(int client);
  // The per-channel limit of a search for `channels` channels into an output of outputRecords:
  // the output, cut so that the client's result holds at most the record cap. Past it a
  // channel keeps its earliest records, as it does for an output that holds fewer.
  size_t PerChannelLimit(size_t outputRecords, int channels) const;
  SearchWindow& window() { return window_; }

  // The cap on one client's records (at least one per channel); kDefaultRecordCap until set.
  void SetRecordCap(size_t records) { recordCap_ = records; }
  // Result maps held, and the records in a client's map.
  size_t ClientsKept() const { return kept_.size() + (scratchUsed_ ? 1 : 0); }
  size_t RecordsHeld(int client) const;

 private:
  SharedRecords* shared_;
  std::map<int, ResultMap> kept_;
  std::map<int, Scope> scopes_;  // per client record slot: the scope of its cached result
  ResultMap scratch_;
  bool scratchUsed_ = false;
  size_t recordCap_ = kDefaultRecordCap;
  SearchWindow window_;
};
