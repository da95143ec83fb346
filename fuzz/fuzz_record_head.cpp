// Fuzz target: the record file's head search, segment table and index-area parse over
// arbitrary head blocks and index areas (the input is the file's first bytes). Each parser gets
// an exact-size heap copy, so a read past it is caught.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "record/record_format.h"

using namespace recfile;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> file(data, data + size);
  const int at = FindHead(file.data(), file.size());
  if (at >= 0) {
    if (at % 512 != 0 || static_cast<size_t>(at) + 8 > size) std::abort();
    RecordHead h;
    std::memset(&h, 0, sizeof h);
    std::memcpy(&h, file.data() + at, std::min(sizeof h, size - at));
    auto segs = ParseSegments(file.data(), file.size(), h.segTableOffset);
    if (segs.size() > kMaxSegments) std::abort();
  }
  if (size > kIndexOffset) {
    std::vector<uint8_t> area(file.begin() + kIndexOffset, file.end());
    std::vector<IndexEntry> index;
    std::vector<GpsEntry> gps;
    ParseIndexArea(area.data(), area.size(), &index, &gps);
    if ((index.size() + gps.size()) * kIndexEntryBytes > area.size()) std::abort();
  }
  return 0;
}
