#include "disklayout/partition_tables.h"

#include <algorithm>
#include <cstring>

#include "disklayout/le.h"
#include "platform/messages.h"

namespace layout {

namespace stfs {

bool HasMagic(const uint8_t* p) { return std::memcmp(p, kMagic, sizeof kMagic) == 0; }

bool Parse(const uint8_t* buf, size_t len, Table* out) {
  if (!buf || len < kTableBytes || !HasMagic(buf + kMagicOffset)) return false;
  out->firstRecordLba = le::Get64(buf + kFirstRecordLbaOffset);
  out->recordFileBytes = le::Get32(buf + kRecordFileBytesOffset);
  out->recordFileCount = le::Get32(buf + kRecordFileCountOffset);
  out->indexLba = le::Get64(buf + kIndexLbaOffset);
  out->extA = le::Get64(buf + kExtAOffset);
  out->extB = le::Get64(buf + kExtBOffset);
  out->extC = le::Get32(buf + kExtCOffset);
  out->extD = le::Get32(buf + kExtDOffset);
  out->extE = le::Get32(buf + kExtEOffset);
  return true;
}

void Build(const Table& t, uint8_t out[kTableBytes]) {
  std::memset(out, 0, kTableBytes);
  std::memcpy(out + kMagicOffset, kMagic, sizeof kMagic);
  std::memcpy(out + kVersionOffset, kVersion, sizeof kVersion);
  le::Put64(out + kFirstRecordLbaOffset, t.firstRecordLba);
  le::Put32(out + kRecordFileBytesOffset, t.recordFileBytes);
  le::Put32(out + kRecordFileCountOffset, t.recordFileCount);
  le::Put64(out + kIndexLbaOffset, t.indexLba);
  le::Put32(out + kIndexBytesOffset, static_cast<uint32_t>(uint64_t{t.recordFileCount} * 4096));
  le::Put32(out + kTwoOffset, 2);
  le::Put64(out + kExtAOffset, t.extA);
  le::Put64(out + kExtBOffset, t.extB);
  le::Put32(out + kExtCOffset, t.extC);
  le::Put32(out + kExtDOffset, t.extD);
  le::Put32(out + kExtEOffset, t.extE);
}

}  // namespace stfs

int ParseMbr(const uint8_t* sector0, size_t len, bool gptHeaderPresent,
             std::vector<MbrEntry>* out, bool* isGpt) {
  if (!sector0 || len < 512 || le::Get16(sector0 + mbr::kSignatureOffset) != mbr::kSignature)
    return -1;
  int count = 0;
  for (int i = 0; i < mbr::kEntryCount; ++i) {
    const uint8_t* e = sector0 + mbr::kEntriesOffset + i * mbr::kEntrySize;
    uint8_t type = e[mbr::kTypeOffset];
    if (type == mbr::kTypeGptProtective && gptHeaderPresent) {
      platform::ConsolePrintf("The table is GPT.\n");
      *isGpt = true;
      return -1;
    }
    if (type == 0) continue;
    MbrEntry entry;
    std::memcpy(entry.data(), e, entry.size());
    out->push_back(entry);
    ++count;
  }
  return count;
}

bool IsGptHeader(const uint8_t* p, size_t len) {
  return p && len >= sizeof gpt::kSignature &&
         std::memcmp(p, gpt::kSignature, sizeof gpt::kSignature) == 0;
}

int ParseGptEntries(const uint8_t* entries, size_t len, std::vector<GptEntry>* out) {
  static const uint8_t kZero[gpt::kTypeGuidSize] = {};
  int slots = static_cast<int>(std::min<size_t>(gpt::kEntrySlotsRead, len / gpt::kEntrySize));
  int count = 0;
  for (int i = 0; i < slots; ++i) {
    const uint8_t* e = entries + i * gpt::kEntrySize;
    if (std::memcmp(e, kZero, sizeof kZero) == 0) continue;
    GptEntry entry;
    std::memcpy(entry.data(), e, entry.size());
    out->push_back(entry);
    ++count;
  }
  return count;
}

}  // namespace layout
