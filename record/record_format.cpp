#include "record/record_format.h"

#include <cstring>

namespace recfile {

RecordHead NewHead(uint32_t fileSize, uint32_t headOffset, uint16_t channel, uint32_t fileIndex) {
  RecordHead h;
  std::memset(&h, 0, sizeof h);
  std::memcpy(h.magic1, "STFS", 4);
  std::memcpy(h.magic2, "RECD", 4);
  std::memcpy(h.version, "0200", 4);
  h.fileSize = fileSize;
  h.dataEnd = kDataOffset;  // a head left by a power loss claims no data
  h.channel = channel;
  h.fileIndex = fileIndex;
  h.segTableOffset = headOffset + kSegmentTableGap;
  h.indexOffset = kIndexOffset;
  h.dataOffset = kDataOffset;
  h.state = kStateWriting;
  return h;
}

SegmentRecord FreshSegment(uint32_t segNo, int64_t startMs, uint32_t pos) {
  SegmentRecord s;
  std::memset(&s, 0, sizeof s);
  s.segNo = segNo;
  s.startTime = startMs;
  s.startPos = s.openPos = pos;
  std::memcpy(s.magic, "RSEG", 4);
  return s;
}

int FindHead(const uint8_t* block, size_t length) {
  if (!block) return ERR_RECFILE_NOT_RECORD;
  for (size_t off = 0; off < kHeadBlockBytes && off + 8 <= length; off += kHeadStep)
    if (std::memcmp(block + off, "STFS", 4) == 0 && std::memcmp(block + off + 4, "RECD", 4) == 0)
      return static_cast<int>(off);
  return ERR_RECFILE_NOT_RECORD;
}

std::vector<SegmentRecord> ParseSegments(const uint8_t* block, size_t length,
                                         uint32_t segTableOffset) {
  std::vector<SegmentRecord> out;
  for (uint32_t k = 0; k < kMaxSegments; ++k) {
    const uint64_t at = uint64_t{segTableOffset} + uint64_t{k} * kSegmentBytes;
    if (at + kSegmentBytes > length) break;
    SegmentRecord s;
    std::memcpy(&s, block + at, sizeof s);
    if (std::memcmp(s.magic, "RSEG", 4) != 0) break;
    out.push_back(s);
  }
  return out;
}

uint32_t SegmentTableAt(const RecordHead& head, uint32_t headOffset) {
  const uint64_t at = head.segTableOffset;
  if (at >= uint64_t{headOffset} + sizeof head && at + kMaxSegments * kSegmentBytes <= kHeadBlockBytes)
    return head.segTableOffset;
  return headOffset + kSegmentTableGap;
}

void ParseIndexArea(const uint8_t* area, size_t length, std::vector<IndexEntry>* index,
                    std::vector<GpsEntry>* gps) {
  if (!area) return;
  if (length > kIndexAreaBytes) length = kIndexAreaBytes;
  size_t pos = 0;
  while (pos < kHeadBlockBytes && pos + 4 <= length && WordAt(area + pos) != kMagicRidx) ++pos;
  if (pos >= kHeadBlockBytes) return;
  // pos moves 20 bytes past an entry, or one byte past anything else.
  while (pos + kIndexEntryBytes <= length) {
    const uint32_t word = WordAt(area + pos);
    if (word == kMagicRidx) {
      IndexEntry e;
      std::memcpy(&e, area + pos, sizeof e);
      if (index) index->push_back(e);
      pos += kIndexEntryBytes;
    } else if (word == kMagicGpsi) {
      GpsEntry g;
      std::memcpy(&g, area + pos, sizeof g);
      if (gps) gps->push_back(g);
      pos += kIndexEntryBytes;
    } else if (word != 0) {
      ++pos;
    } else {
      // Zero bytes hold no start of a magic word: the unused rest of an index area is passed
      // eight bytes at a time.
      pos += 4;
      uint64_t eight = 0;
      while (pos + 8 <= length && (std::memcpy(&eight, area + pos, 8), eight == 0)) pos += 8;
    }
  }
}

IndexEntry MakeIndexEntry(uint16_t number, uint8_t frameType, int64_t ptsMs, uint32_t offset,
                          uint32_t frameBytes) {
  IndexEntry e;
  std::memset(&e, 0, sizeof e);
  std::memcpy(e.magic, "RIDX", 4);
  e.number = number;
  e.frameType = frameType;
  e.time = static_cast<uint32_t>(ptsMs / 1000);
  e.offset = offset;
  e.size = frameBytes + (frameBytes & 1);
  return e;
}

}  // namespace recfile
