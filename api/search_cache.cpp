#include "api/search_cache.h"

namespace {
constexpr int64_t kLocalClientSeconds = 3;   // client 0, the local player
constexpr int64_t kRemoteClientSeconds = 15;
}  // namespace

bool SearchCache::MustSearch(int client, int64_t startMs, int64_t endMs, int32_t channelMask,
                             int32_t typeMask, int64_t nowSec, ClientRecord** slot) {
  *slot = nullptr;
  for (int n = 0; n < kClientRecordCount; ++n) {
    ClientRecord& c = shared_->client(n);
    if (c.userId != client) continue;
    *slot = &c;
    // The mask is kept sign-extended in the 64-bit channel mask.
    const uint64_t mask = static_cast<uint64_t>(static_cast<int64_t>(channelMask));
    const int64_t age = client == 0 ? kLocalClientSeconds : kRemoteClientSeconds;
    const bool stale = c.lastSearchSec == 0 || c.resultCount <= 0 || nowSec - c.lastSearchSec >= age;
    const bool same = c.startMs == startMs && c.endMs == endMs && c.channelMask == mask &&
                      c.typeMask == typeMask;
    if (!stale && same) return false;
    c.startMs = startMs;
    c.endMs = endMs;
    c.channelMask = mask;
    c.typeMask = typeMask;
    return true;
  }
  return true;
}
