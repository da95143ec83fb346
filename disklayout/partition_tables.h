// Parsers of the MBR, GPT, STFS table and FAT32 boot sector over buffers already read from the
// disk. They touch no device, so damaged data can be fed to them directly (fuzz targets).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "disklayout/layout_format.h"

using MbrEntry = std::array<uint8_t, layout::mbr::kEntrySize>;
using GptEntry = std::array<uint8_t, layout::gpt::kEntrySize>;

namespace layout {

// Walks the four MBR entries of sector 0 (at least 512 bytes). Returns the number of entries
// appended to out, or -1 when there is no MBR signature or the disk is a GPT disk (a protective
// entry while gptHeaderPresent; *isGpt is then set).
int ParseMbr(const uint8_t* sector0, size_t len, bool gptHeaderPresent,
             std::vector<MbrEntry>* out, bool* isGpt);

// True when the buffer starts with "EFI PART".
bool IsGptHeader(const uint8_t* p, size_t len);

// Appends every used entry (type GUID not all zero) among the first kEntrySlotsRead slots of an
// entry array. Returns the number appended.
int ParseGptEntries(const uint8_t* entries, size_t len, std::vector<GptEntry>* out);

}  // namespace layout
