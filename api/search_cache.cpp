#include "api/search_cache.h"

#include <algorithm>

namespace {
constexpr int64_t kLocalClientSeconds = 3;   // client 0, the local player
constexpr int64_t kRemoteClientSeconds = 15;
}  // namespace

bool SearchCache::MustSearch(int client, int64_t startMs, int64_t endMs, int32_t channelMask,
                             int32_t typeMask, const Scope& scope, int64_t nowSec,
                             ClientRecord** slot) {
  *slot = nullptr;
  for (int n = 0; n < kClientRecordCount; ++n) {
    ClientRecord& c = shared_->client(n);
    // A free slot (id -1) belongs to no client, not to a client that calls itself -1.
    if (c.userId == ClientRecord::kFree || c.userId != client) continue;
    *slot = &c;
    // The mask is kept sign-extended in the 64-bit channel mask.
    const uint64_t mask = static_cast<uint64_t>(static_cast<int64_t>(channelMask));
    const int64_t age = client == 0 ? kLocalClientSeconds : kRemoteClientSeconds;
    const bool stale = c.lastSearchSec == 0 || c.resultCount <= 0 || nowSec - c.lastSearchSec >= age;
    const bool same = c.startMs == startMs && c.endMs == endMs && c.channelMask == mask &&
                      c.typeMask == typeMask && scopes_[n] == scope;
    if (!stale && same) return false;
    scopes_[n] = scope;
    c.startMs = startMs;
    c.endMs = endMs;
    c.channelMask = mask;
    c.typeMask = typeMask;
    return true;
  }
  return true;
}

ResultMap& SearchCache::Results(int client) {
  if (client >= 0 && client < kClientRecordCount) return kept_[client];
  scratchUsed_ = true;
  return scratch_;
}

// Never 0: a limit of 0 would mean no limit at all.
size_t SearchCache::PerChannelLimit(size_t outputRecords, int channels) const {
  const size_t perChannel = recordCap_ / static_cast<size_t>(std::max(channels, 1));
  return std::max<size_t>(std::min(outputRecords, perChannel), 1);
}

size_t SearchCache::RecordsHeld(int client) const {
  const bool replayClient = client >= 0 && client < kClientRecordCount;
  const auto it = kept_.find(client);
  const ResultMap* map = replayClient ? (it == kept_.end() ? nullptr : &it->second) : &scratch_;
  size_t n = 0;
  if (map)
    for (const auto& channel : *map) n += channel.second.size();
  return n;
}
