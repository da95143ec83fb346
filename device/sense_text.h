// Sense data: its decoding (fixed and descriptor format) and the text for the additional sense
// codes (ASC/ASCQ) an optical drive reports when a command fails. When a capacity command (READ
// CAPACITY, READ FORMAT CAPACITIES, ...) ends in CHECK CONDITION, the caller looks the code up
// here and prints the description next to the raw bytes.
#pragma once

#include <cstddef>
#include <cstdint>

struct SenseTextEntry {
  uint16_t key;      // ASC * 256 + ASCQ
  const char* text;  // upper-case description
};

// The table, sorted by key; SenseTextCount() entries.
const SenseTextEntry* SenseTextTable();
size_t SenseTextCount();

// What a command's sense data says.
struct SenseFields {
  bool present = false;       // byte 0 carries a response code (any of the bits 70h)
  uint8_t key = 0, asc = 0, ascq = 0;
  bool hasProgress = false;   // a progress indication (sense-key specific, SKSV set)
  uint16_t progress = 0;
};

// Decodes `length` bytes of sense data. Response codes 72h and 73h are descriptor format: key in
// the low nibble of byte 1, ASC in byte 2, ASCQ in byte 3, the progress in a sense-key-specific
// descriptor (type 02h) among the descriptors from byte 8. Other codes are fixed format (70h,
// 71h): key in byte 2, ASC in byte 12, ASCQ in byte 13, progress in bytes 15..17. Only bytes
// inside both the buffer and the additional sense length (byte 7) are read; a field outside
// them reads as 0 (no progress).
SenseFields DecodeSense(const uint8_t* sense, size_t length);

// Binary search by key; null when the code is not in the table.
const char* FindSenseText(uint16_t ascAscq);
