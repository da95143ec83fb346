// The search cache: per replay client, the parameters and result count of its last channel/time
// search (kept in its ClientRecord) and its result map, so that a client paging through the same
// result within a few seconds does not walk the indexes again. Also the shared index window.
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
  explicit SearchCache(SharedRecords* shared) : shared_(shared) {}

  // Whether client c must search (true; the new parameters are then stored in its slot) or may
  // take its cached result (false). *slot is the client's record, or null when it has none.
  bool MustSearch(int client, int64_t startMs, int64_t endMs, int32_t channelMask,
                  int32_t typeMask, int64_t nowSec, ClientRecord** slot);
  // The client's result map, created on first use.
  ResultMap& Results(int client) { return results_[client]; }
  SearchWindow& window() { return window_; }

 private:
  SharedRecords* shared_;
  std::map<int, ResultMap> results_;
  SearchWindow window_;
};
