// The record index file, defined once. One index per record disk describes every pre-allocated
// record file: a 512-byte header (with a backup copy at 0x7000 on raw disks), then one 4096-byte
// entry per record file from 0x8000, each with a table of up to 64 segment records.
//
//   0x0000  header                 0x7000  backup header
//   0x8000  entry 0                0x8000 + i x 4096  entry i
//   whole file: (record file count + 8) x 4096 bytes
//
// All integers are little-endian; the packed structs below are the bytes on disk (this code
// runs on little-endian machines only, checked below). Copy them in and out with memcpy: a
// buffer position is not aligned for them. docs/formats/record-index.md explains the fields.
#pragma once

#include <cstddef>
#include <cstdint>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "on-disk records are little-endian");

namespace recindex {

constexpr uint32_t kHeaderBytes = 512;
constexpr uint32_t kBackupHeaderOffset = 0x7000;
constexpr uint32_t kEntriesOffset = 0x8000;
constexpr uint32_t kEntryBytes = 4096;
constexpr uint32_t kSegmentTableOffset = 256;  // within an entry
constexpr uint32_t kSegmentBytes = 60;
constexpr uint32_t kSegmentsPerEntry = 64;
constexpr uint32_t kSummaryBytes = 36;         // entry bytes 0..35, kept in the time map
constexpr uint32_t kCrcStart = 256;            // an entry's CRC covers bytes 256..4095
constexpr uint64_t kFileAreaLba = 2048;        // record area start written for ordinary files
constexpr uint32_t kRecordDataStart = 0x2F000; // where a record file's data area begins

// Header and entry state flags.
constexpr uint8_t kStateClosed = 0x01;
constexpr uint8_t kStateLocked = 0x02;
constexpr uint8_t kStateRecording = 0x80;

// Segment states.
constexpr uint8_t kSegmentClosed = 1;
constexpr uint8_t kSegmentLocked = 2;

// Index file size for n record files.
constexpr uint64_t IndexBytes(uint64_t recordFiles) { return (recordFiles + 8) * kEntryBytes; }

#pragma pack(push, 1)

struct RecIndexHeader {
  char magic[4];              // "STFS": the only part readers compare
  char magic2[4];             // " IDX"
  char version[4];            // "0010"
  uint32_t constA;            // 1024
  uint32_t constB;            // 1024
  uint32_t recordFileBytes;   // size of each record file
  uint32_t entryOffset;       // 0x8000
  uint32_t entryBytes;        // 4096
  uint32_t entryCount;        // record file count
  uint32_t word36;            // kept, not interpreted
  uint32_t segmentTableOffset;  // 256
  uint32_t segmentBytes;      // 60
  uint32_t segmentsPerEntry;  // 64
  uint32_t indexBytes;        // (count + 8) x 4096
  int64_t createdSec;         // creation time (outside the CRC)
  uint32_t channelCount;      // of the creating system (outside the CRC)
  uint64_t recordAreaLba;     // start sector of the record area; 2048 for an ordinary file
  uint8_t zero76[432];
  uint32_t crc;               // CRC-32 of bytes 0..507 with 56..67 zero; not checked
};

// Entry bytes 0..35: what the time map keeps of a recording.
struct RecIndexSummary {
  uint8_t kind;          // 0: the file holds no recording
  uint8_t channel;
  uint8_t segmentCount;  // segments in use
  uint8_t lockedSegments;
  uint8_t state;         // kStateRecording while open, kStateLocked, kStateClosed
  uint8_t tzHours;       // hours local time was ahead of UTC, 0..23
  uint16_t typeBits;     // record type of the first segment
  int32_t size;          // bytes recorded over all segments
  int32_t linkIndex;     // own index while the recording lives; >= count: unusable file
  int64_t startMs;
  int64_t endMs;
  uint32_t sn;           // record SN; 0 in a file that never held a recording
};

struct RecIndexSegment {
  uint8_t state;      // entry state when written (bit 7: open), 1 closed, 2 locked; 0 ends table
  uint8_t zero1;
  uint8_t zero2;
  uint8_t descType;   // bit 0 of the record description's type byte
  int32_t size;       // bytes recorded in the segment
  uint16_t typeBits;
  uint16_t tzHours;
  int64_t startMs;
  int64_t endMs;
  uint32_t dataEnd;   // data offset in the record file after the segment's last byte
  uint8_t zero32[28];
};

struct RecIndexEntry {
  RecIndexSummary summary;
  uint8_t zero36[216];
  uint32_t crc;       // CRC-32 of bytes 256..4095, refreshed on record-information updates
  RecIndexSegment segments[kSegmentsPerEntry];
};

#pragma pack(pop)

static_assert(sizeof(RecIndexHeader) == kHeaderBytes, "index header size");
static_assert(offsetof(RecIndexHeader, recordFileBytes) == 20, "header offset 20");
static_assert(offsetof(RecIndexHeader, entryCount) == 32, "header offset 32");
static_assert(offsetof(RecIndexHeader, indexBytes) == 52, "header offset 52");
static_assert(offsetof(RecIndexHeader, createdSec) == 56, "header offset 56");
static_assert(offsetof(RecIndexHeader, recordAreaLba) == 68, "header offset 68");
static_assert(offsetof(RecIndexHeader, crc) == 508, "header offset 508");
static_assert(sizeof(RecIndexSummary) == kSummaryBytes, "entry summary size");
static_assert(offsetof(RecIndexSummary, typeBits) == 6, "entry offset 6");
static_assert(offsetof(RecIndexSummary, linkIndex) == 12, "entry offset 12");
static_assert(offsetof(RecIndexSummary, startMs) == 16, "entry offset 16");
static_assert(offsetof(RecIndexSummary, sn) == 32, "entry offset 32");
static_assert(sizeof(RecIndexSegment) == kSegmentBytes, "segment size");
static_assert(offsetof(RecIndexSegment, size) == 4, "segment offset 4");
static_assert(offsetof(RecIndexSegment, typeBits) == 8, "segment offset 8");
static_assert(offsetof(RecIndexSegment, startMs) == 12, "segment offset 12");
static_assert(offsetof(RecIndexSegment, dataEnd) == 28, "segment offset 28");
static_assert(offsetof(RecIndexEntry, crc) == 252, "entry offset 252");
static_assert(offsetof(RecIndexEntry, segments) == kSegmentTableOffset, "segment table");
static_assert(sizeof(RecIndexEntry) == kEntryBytes, "entry size");

// A header as creation writes it: layout words, counts, the record area start and the CRC
// (computed with the creation time and channel count still zero), then the time and channel
// count.
RecIndexHeader BuildHeader(uint32_t recordFileMB, uint32_t recordFileCount, int64_t createdSec,
                           uint32_t channelCount, uint64_t recordAreaLba);

// True when the header's first four bytes are "STFS" (version and CRC are not checked).
bool HasMagic(const RecIndexHeader& h);

// True when the header describes entries this code can read without passing the file: the
// fixed entry and segment layout, and an index size that equals (count + 8) x 4096.
bool LayoutConsistent(const RecIndexHeader& h);

// The standard CRC-32 (reflected 0xEDB88320, initial and final complement) of a buffer.
uint32_t Crc32(const void* data, size_t n);

// Segments of an entry that may be walked: its count, clamped to the 64 the table holds.
inline uint32_t UsableSegments(const RecIndexSummary& s) {
  return s.segmentCount < kSegmentsPerEntry ? s.segmentCount : kSegmentsPerEntry;
}

// Segment records in use as the table itself shows them: those before the first whose first
// 16-bit word is 0, at most 64. An open entry is walked this way, not by its count: a power
// loss can leave the count behind the records written.
inline uint32_t SegmentsInTable(const uint8_t* entry) {
  uint32_t k = 0;
  while (k < kSegmentsPerEntry) {
    const uint8_t* seg = entry + kSegmentTableOffset + k * kSegmentBytes;
    if (seg[0] == 0 && seg[1] == 0) break;
    ++k;
  }
  return k;
}
inline uint32_t SegmentsInTable(const RecIndexEntry& e) {
  return SegmentsInTable(reinterpret_cast<const uint8_t*>(&e));
}

}  // namespace recindex
