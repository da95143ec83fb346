// The record file, defined once. A record file holds one channel's frames for one stretch of
// recording, in a pre-allocated file of fixed size:
//
//   0        head block (8192 bytes): the record head at a 512-aligned headOffset (0 native,
//            1024 in ASF-packaged files), the segment table 512 bytes after it
//   0x2000   index area: 20-byte I-frame index entries ("RIDX") and GPS entries ("GPSI")
//   0x2F000  data area: frames (tag header + payload) back to back up to dataEnd
//
// All integers little-endian, times in ms since 1970 UTC except the index's whole seconds. The
// packed structs are the bytes on disk; copy them in and out with memcpy. docs/formats/
// record-file.md explains the fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "on-disk records are little-endian");

namespace recfile {

constexpr uint32_t kHeadBlockBytes = 0x2000;
constexpr uint32_t kHeadStep = 512;           // the head lies at a multiple of this
constexpr uint32_t kSegmentTableGap = 512;    // from the head to its segment table
constexpr uint32_t kIndexOffset = 0x2000;
constexpr uint32_t kDataOffset = 0x2F000;
constexpr uint32_t kIndexAreaBytes = kDataOffset - kIndexOffset;
constexpr uint32_t kIndexEntryBytes = 20;
constexpr uint32_t kMaxIndexEntries = kIndexAreaBytes / kIndexEntryBytes;  // 9216
constexpr uint32_t kMaxSegments = 64;
constexpr uint32_t kSegmentBytes = 64;
constexpr uint32_t kDefaultFileBytes = 0x4000000;
constexpr uint32_t kAsfHeadOffset = 1024;
constexpr uint32_t kIndexDistanceDivisor = 27648;
constexpr uint32_t kDefaultIndexDistance = 2420;

// Head states.
constexpr uint16_t kStateWriting = 0x1111;
constexpr uint16_t kStateAppending = 0x1123;
constexpr uint16_t kStateClosed = 0x6666;

enum RecordFileResult : int {
  ERR_RECFILE_LIMIT = -4001,       // 9216 index entries or 64 segments reached
  ERR_RECFILE_NOT_RECORD = -4008,  // no head in the head block
  ERR_RECFILE_INDEX_FULL = -4011,
  ERR_RECFILE_INDEX_CLOSE = -4015, // key frame too close to the last indexed one
  ERR_RECFILE_EMPTY = -5002,       // no index entry and no data
};

#pragma pack(push, 1)

struct RecordHead {
  char magic1[4];  // "STFS"
  char magic2[4];  // "RECD"
  char version[4]; // "0200"
  uint32_t fileSize;
  uint32_t dataEnd;   // one past the last byte written; 0x2F000 for a fresh file
  uint16_t channel;
  uint16_t reserved22;
  uint32_t fileIndex;
  uint32_t recordSN;
  int64_t startTime;
  int64_t endTime;
  uint32_t segTableOffset;  // headOffset + 512
  uint32_t segCount;
  uint32_t indexOffset;     // 8192
  uint32_t indexCount;
  uint32_t dataOffset;      // 0x2F000
  uint32_t reserved68;      // written 0 with every index entry
  char text1[64];
  char text2[64];           // the recorder's name
  char text3[64];           // the recorder's version
  uint16_t state;           // kStateWriting, kStateAppending, kStateClosed
  uint16_t reserved266;
};

struct SegmentRecord {
  uint32_t typeBits;
  uint32_t dataLength;
  uint32_t segNo;
  uint32_t indexCount;
  int64_t startTime;
  int64_t endTime;
  uint32_t firstIndex;
  uint32_t startPos;
  uint32_t openPos;
  uint8_t reserved44[16];
  char magic[4];  // "RSEG"
};

struct IndexEntry {
  char magic[4];  // "RIDX"
  uint16_t number;  // 1-based
  uint8_t frameType;
  uint8_t reserved7;
  uint32_t time;    // whole seconds
  uint32_t offset;  // file offset of the frame's tag header
  uint32_t size;    // header + payload, rounded up to even
};

struct GpsEntry {
  char magic[4];  // "GPSI"
  uint8_t gpsByte0;
  uint8_t gpsByte1;
  uint8_t kind;   // 'G'
  uint8_t speed;
  uint32_t time;  // whole seconds
  int32_t coord1;
  int32_t coord2;
};

#pragma pack(pop)

static_assert(sizeof(RecordHead) == 268, "record head size");
static_assert(offsetof(RecordHead, dataEnd) == 16, "head offset 16");
static_assert(offsetof(RecordHead, fileIndex) == 24, "head offset 24");
static_assert(offsetof(RecordHead, startTime) == 32, "head offset 32");
static_assert(offsetof(RecordHead, segTableOffset) == 48, "head offset 48");
static_assert(offsetof(RecordHead, dataOffset) == 64, "head offset 64");
static_assert(offsetof(RecordHead, text1) == 72, "head offset 72");
static_assert(offsetof(RecordHead, text3) == 200, "head offset 200");
static_assert(offsetof(RecordHead, state) == 264, "head offset 264");
static_assert(sizeof(SegmentRecord) == kSegmentBytes, "segment size");
static_assert(offsetof(SegmentRecord, startTime) == 16, "segment offset 16");
static_assert(offsetof(SegmentRecord, firstIndex) == 32, "segment offset 32");
static_assert(offsetof(SegmentRecord, magic) == 60, "segment offset 60");
static_assert(sizeof(IndexEntry) == kIndexEntryBytes, "index entry size");
static_assert(offsetof(IndexEntry, time) == 8, "index entry offset 8");
static_assert(offsetof(IndexEntry, size) == 16, "index entry offset 16");
static_assert(sizeof(GpsEntry) == kIndexEntryBytes, "GPS entry size");
static_assert(offsetof(GpsEntry, coord2) == 16, "GPS entry offset 16");

// The 4-byte magic words of the index area, as a little-endian word: the index walks compare a
// loaded word instead of calling memcmp at every byte of a damaged area.
constexpr uint32_t Magic4(const char (&m)[5]) {
  return uint32_t{uint8_t(m[0])} | uint32_t{uint8_t(m[1])} << 8 | uint32_t{uint8_t(m[2])} << 16 |
         uint32_t{uint8_t(m[3])} << 24;
}
constexpr uint32_t kMagicRidx = Magic4("RIDX");
constexpr uint32_t kMagicGpsi = Magic4("GPSI");
inline uint32_t WordAt(const uint8_t* p) {
  uint32_t w;
  std::memcpy(&w, p, 4);
  return w;
}

// A fresh head: magic, version, sizes and offsets, state kStateWriting, dataEnd 0x2F000.
RecordHead NewHead(uint32_t fileSize, uint32_t headOffset, uint16_t channel, uint32_t fileIndex);

// The offset of the head in a head block (the first "STFS" "RECD" at a multiple of 512 below
// 8192, within the bytes given), or -4008.
int FindHead(const uint8_t* block, size_t length);

// The segments of a head block: from segTableOffset while the magic is "RSEG", at most 64, all
// inside the bytes given.
std::vector<SegmentRecord> ParseSegments(const uint8_t* block, size_t length,
                                         uint32_t segTableOffset);

// Where a head's segment table is written back: the head's own segTableOffset while the whole
// table (64 records) fits in the head block after the head, else headOffset + 512, where every
// writer puts it. A damaged offset read from a disk never sends a write outside the block.
uint32_t SegmentTableAt(const RecordHead& head, uint32_t headOffset);

// Walks the index area (the bytes from file offset 8192, at most 0x2D000 of them): from the
// first "RIDX" (searched within the first 8192 bytes) to the end, "RIDX" and "GPSI" words give
// entries and a 20-byte step, anything else is skipped byte by byte.
void ParseIndexArea(const uint8_t* area, size_t length, std::vector<IndexEntry>* index,
                    std::vector<GpsEntry>* gps);

// The least data distance between two indexed key frames in a file of this size.
inline uint32_t MinIndexDistance(uint32_t fileSize) {
  return fileSize > kDataOffset ? (fileSize - kDataOffset) / kIndexDistanceDivisor
                                : kDefaultIndexDistance;
}

// A segment record that begins at data offset pos ("RSEG", start and open position pos).
SegmentRecord FreshSegment(uint32_t segNo, int64_t startMs, uint32_t pos);

// Time arithmetic that saturates: frame headers can carry any 64-bit time.
inline int64_t AddMsSaturated(int64_t a, int64_t b) {
  int64_t r;
  return __builtin_add_overflow(a, b, &r) ? (b > 0 ? INT64_MAX : INT64_MIN) : r;
}

// An index entry for a frame: time in whole seconds (truncated), size rounded up to even.
IndexEntry MakeIndexEntry(uint16_t number, uint8_t frameType, int64_t ptsMs, uint32_t offset,
                          uint32_t frameBytes);

}  // namespace recfile
