// Text for the additional sense codes (ASC/ASCQ) an optical drive reports when a command fails.
// When a capacity command (READ CAPACITY, READ FORMAT CAPACITIES, ...) ends in CHECK CONDITION,
// the caller looks the code up here and prints the description next to the raw bytes.
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

// Binary search by key; null when the code is not in the table.
const char* FindSenseText(uint16_t ascAscq);
