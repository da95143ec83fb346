#include "disklayout/gpt_writer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "device/disk_dev.h"
#include "disklayout/le.h"
#include "index/index_format.h"
#include "platform/clock.h"
#include "platform/messages.h"
#include "platform/platform_context.h"

using platform::ConsolePrintf;
namespace gpt = layout::gpt;

namespace {
constexpr uint32_t kMbrZeroBytes = 65536;  // the start of the disk is cleared first

void PutBe(uint8_t* p, uint64_t v, int n) {
  for (int i = n - 1; i >= 0; --i, v >>= 8) p[i] = static_cast<uint8_t>(v);
}

std::vector<uint8_t> ProtectiveMbr(uint32_t sectorSize) {
  std::vector<uint8_t> s(sectorSize, 0);
  uint8_t* e = s.data() + layout::mbr::kEntriesOffset;
  const uint8_t entry[16] = {0x00, 0x00, 0x02, 0x00, layout::mbr::kTypeGptProtective,
                             0xFE, 0xFF, 0xFF, 0x01, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF};
  std::memcpy(e, entry, sizeof entry);
  le::Put16(s.data() + layout::mbr::kSignatureOffset, layout::mbr::kSignature);
  return s;
}
}  // namespace

void MakeTimeGuid(uint8_t out[16]) {
  static std::mutex m;
  static bool seeded = false;
  static unsigned seed = 0;
  static int64_t lastSecond = -1;
  static uint32_t sameSecond = 0;
  std::lock_guard<std::mutex> g(m);
  if (!seeded) {
    seed = static_cast<unsigned>(time(nullptr));
    seeded = true;
  }
  const int64_t now = platform::TheClock().NowMs() / 1000;
  sameSecond = now == lastSecond ? sameSecond + 1 : 0;
  lastSecond = now;
  const uint64_t t = static_cast<uint64_t>(now) + sameSecond;
  PutBe(out, t & 0xFFFFFFFFu, 4);                         // time low
  PutBe(out + 4, (t >> 32) & 0xFFFF, 2);                  // time mid
  PutBe(out + 6, ((t >> 48) & 0x0FFF) | 0x1000, 2);       // time high and version 1
  out[8] = static_cast<uint8_t>((rand_r(&seed) & 0x3F) | 0x80);  // variant 10
  out[9] = static_cast<uint8_t>(rand_r(&seed));
  for (int i = 10; i < 16; ++i) out[i] = static_cast<uint8_t>(rand_r(&seed));
}

std::vector<GptPartitionSpec> RecordDiskPartitions(uint64_t lastLba, uint32_t sectorSize,
                                                   uint32_t commonMB) {
  const uint64_t first = sectorSize == 4096 ? 256 : 2048;
  const uint64_t recordLast = lastLba - gpt::kFirstUsableLba;
  if (commonMB == 0)
    return {{"STFS record partition", first, recordLast, gpt::kAttrRequired}};
  const uint64_t commonLast = first + (uint64_t{commonMB} << 20) / sectorSize - 1;
  return {{"Microsoft FAT32 partition", first, commonLast, gpt::kAttrRequired},
          {"STFS record partition", commonLast + 1, recordLast, gpt::kAttrRecordPartition}};
}

std::vector<uint8_t> BuildGptEntries(const std::vector<GptPartitionSpec>& parts) {
  std::vector<uint8_t> entries(gpt::kEntryArrayBytes, 0);
  for (size_t i = 0; i < parts.size() && i < static_cast<size_t>(gpt::kMaxEntries); ++i) {
    uint8_t* e = entries.data() + i * gpt::kEntrySize;
    std::memcpy(e, gpt::kRecordTypeGuid, 16);
    MakeTimeGuid(e + gpt::kUniqueGuidOffset);
    le::Put64(e + gpt::kFirstLbaOffset, parts[i].firstLba);
    le::Put64(e + gpt::kLastLbaOffset, parts[i].lastLba);
    le::Put64(e + gpt::kAttributesOffset, parts[i].attributes);
    for (size_t k = 0; k < parts[i].name.size() && k < gpt::kNameUnits; ++k)
      le::Put16(e + gpt::kNameOffset + 2 * k, static_cast<uint8_t>(parts[i].name[k]));
  }
  return entries;
}

void BuildGptHeader(uint8_t* s, uint64_t currentLba, uint64_t backupLba, uint64_t lastUsableLba,
                    uint64_t entriesLba, uint32_t entriesCrc) {
  std::memcpy(s, gpt::kSignature, 8);
  le::Put32(s + gpt::kRevisionOffset, gpt::kRevision);
  le::Put32(s + gpt::kHeaderSizeOffset, gpt::kHeaderSize);
  le::Put32(s + gpt::kHeaderCrcOffset, 0);
  le::Put64(s + gpt::kCurrentLbaOffset, currentLba);
  le::Put64(s + gpt::kBackupLbaOffset, backupLba);
  le::Put64(s + gpt::kFirstUsableOffset, gpt::kFirstUsableLba);
  le::Put64(s + gpt::kLastUsableOffset, lastUsableLba);
  std::memcpy(s + gpt::kDiskGuidOffset, gpt::kDiskGuid, 16);
  le::Put64(s + gpt::kEntriesLbaOffset, entriesLba);
  le::Put32(s + gpt::kEntryCountOffset, gpt::kMaxEntries);
  le::Put32(s + gpt::kEntrySizeOffset, gpt::kEntrySize);
  le::Put32(s + gpt::kEntriesCrcOffset, entriesCrc);
  le::Put32(s + gpt::kHeaderCrcOffset, recindex::Crc32(s, gpt::kHeaderSize));
}

int WriteGpt(CDisk_Dev* dev, const std::vector<GptPartitionSpec>& parts,
             std::vector<GptEntry>* entriesOut) {
  const uint64_t L = dev->get_capacity();
  if (L == 0) {
    ConsolePrintf(" Can not get the LBA capacity by hand to continue.\n");
    return -1;
  }
  const uint32_t ss = dev->get_sec_size();
  // The backup header lies on the last LBA and its entries right before it; the primary header
  // points there. (Placing them one sector early makes every GPT tool call the table damaged.)
  const uint64_t backupLba = L;
  const uint64_t backupEntriesLba = L - gpt::kBackupEntriesBack;
  const uint64_t lastUsable = backupEntriesLba - 1;

  std::vector<uint8_t> entries = BuildGptEntries(parts);
  const uint32_t entriesCrc = recindex::Crc32(entries.data(), entries.size());
  std::vector<uint8_t> primary(ss, 0), backup(ss, 0);
  BuildGptHeader(primary.data(), 1, backupLba, lastUsable, 2, entriesCrc);
  BuildGptHeader(backup.data(), backupLba, 1, lastUsable, backupEntriesLba, entriesCrc);
  for (const GptPartitionSpec& p : parts)
    ConsolePrintf("start sector:%lld end sector:%lld\n", static_cast<long long>(p.firstLba),
                  static_cast<long long>(p.lastLba));

  dev->Lock();
  int r = dev->WriteZeros(0, std::max<uint64_t>(1, kMbrZeroBytes / ss), false);
  if (r == 0) r = dev->Write(0, ProtectiveMbr(ss).data(), ss, false);
  if (r == 0 && (r = dev->Write(1, primary.data(), ss, false)) != 0)
    ConsolePrintf("Write GPT HEAD Fail.\n");
  if (r == 0 && (r = dev->Write(2, entries.data(), entries.size(), false)) != 0)
    ConsolePrintf("Write GPT TABLE Fail.\n");
  if (r == 0 && (r = dev->Write(backupEntriesLba, entries.data(), entries.size(), false)) != 0)
    ConsolePrintf("Write GPT BAK TABLE Fail. ret %d\n", r);
  if (r == 0 && (r = dev->Write(backupLba, backup.data(), ss, false)) != 0)
    ConsolePrintf("Write backup gpt head fail.ret %d\n", r);
  dev->Unlock();
  if (r != 0) return r;

  ConsolePrintf("GptPartInit end.\n");
  if (entriesOut) {
    entriesOut->clear();
    layout::ParseGptEntries(entries.data(), entries.size(), entriesOut);
  }
  return 0;
}
