// A record index built field by field at the documented offsets (not with the library's
// structs), so that a layout error on either side shows up in the tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "disklayout/le.h"

namespace testimg {

class IndexBytes {
 public:
  explicit IndexBytes(uint32_t count, uint32_t fileMB = 256) : b_((count + 8) * 4096, 0) {
    std::memcpy(&b_[0], "STFS IDX0010", 12);
    Put32(12, 1024);
    Put32(16, 1024);
    Put32(20, fileMB << 20);
    Put32(24, 0x8000);
    Put32(28, 4096);
    Put32(32, count);
    Put32(40, 256);
    Put32(44, 60);
    Put32(48, 64);
    Put32(52, (count + 8) * 4096);
  }
  struct Entry {
    uint8_t kind = 1, channel = 0, segments = 1, locked = 0, state = 0x01, tz = 8;
    uint16_t type = 2;
    int32_t size = 5000000, link = -2;  // -2: its own index
    int64_t start = 0, end = 0;
    uint32_t sn = 0;
  };
  void SetEntry(uint32_t i, const Entry& e) {
    size_t o = 0x8000 + size_t{i} * 4096;
    b_[o] = e.kind;
    b_[o + 1] = e.channel;
    b_[o + 2] = e.segments;
    b_[o + 3] = e.locked;
    b_[o + 4] = e.state;
    b_[o + 5] = e.tz;
    le::Put16(&b_[o + 6], e.type);
    Put32(o + 8, static_cast<uint32_t>(e.size));
    Put32(o + 12, static_cast<uint32_t>(e.link == -2 ? static_cast<int32_t>(i) : e.link));
    le::Put64(&b_[o + 16], static_cast<uint64_t>(e.start));
    le::Put64(&b_[o + 24], static_cast<uint64_t>(e.end));
    Put32(o + 32, e.sn);
  }
  void SetSegment(uint32_t i, uint32_t k, uint8_t state, uint16_t type, int64_t start,
                  int64_t end, int32_t size = 1000, uint32_t dataEnd = 0, uint16_t tz = 0) {
    size_t o = 0x8000 + size_t{i} * 4096 + 256 + size_t{k} * 60;
    b_[o] = state;
    Put32(o + 4, static_cast<uint32_t>(size));
    le::Put16(&b_[o + 10], tz);
    Put32(o + 28, dataEnd);
    le::Put16(&b_[o + 8], type);
    le::Put64(&b_[o + 12], static_cast<uint64_t>(start));
    le::Put64(&b_[o + 20], static_cast<uint64_t>(end));
  }
  void Put32(size_t o, uint32_t v) { le::Put32(&b_[o], v); }
  std::vector<uint8_t>& bytes() { return b_; }
  // The 4096 bytes of entry i.
  std::vector<uint8_t> EntryBytes(uint32_t i) const {
    auto from = b_.begin() + 0x8000 + static_cast<long>(i) * 4096;
    return std::vector<uint8_t>(from, from + 4096);
  }

 private:
  std::vector<uint8_t> b_;
};

}  // namespace testimg
