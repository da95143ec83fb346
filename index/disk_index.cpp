#include "index/disk_index.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "device/dev_registry.h"
#include "device/disk_dev.h"
#include "platform/messages.h"
#include "platform/time_print.h"
#include "serialfile/serial_file_factory.h"

using namespace recindex;

namespace {
constexpr uint32_t kNominalOpenBytes = 0x100000;  // region size until the header is read
constexpr uint32_t kEntryReadBytes = 0x200000;    // entries are read 512 at a time
constexpr char kDevicePrefix[] = "\\\\.\\PhysicalDrive";

bool FileExists(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}
}  // namespace

bool IsDevicePath(const std::string& path) { return path.find(kDevicePrefix) != std::string::npos; }

std::string WithTrailingSlash(const std::string& folder) {
  if (!folder.empty() && folder.back() == '/') return folder;
  return folder + "/";
}

std::string FolderIndexPath(const std::string& folder) {
  const std::string dir = WithTrailingSlash(folder);
  for (const char* name : {"recordIdx.bin", "recindex.bin"}) {
    if (FileExists(dir + name)) return dir + name;
  }
  return {};
}

int FolderRecordFilePath(const std::string& folder, uint32_t fileIndex, std::string* out) {
  const std::string dir = WithTrailingSlash(folder);
  char name[32];
  snprintf(name, sizeof name, "%05u.asf", fileIndex);
  for (const std::string& candidate : {dir + "Record/" + name, dir + name}) {
    if (FileExists(candidate)) {
      *out = candidate;
      return 0;
    }
  }
  return ERR_NO_INDEX_FILE;
}

bool TestIndex(const std::string& folder) {
  std::string p = FolderIndexPath(folder);
  if (p.empty()) return false;
  FILE* f = fopen(p.c_str(), "rb");
  if (!f) return false;
  char magic[4] = {};
  bool ok = fread(magic, 1, 4, f) == 4 && std::memcmp(magic, "STFS", 4) == 0;
  fclose(f);
  return ok;
}

DiskIndex::DiskIndex() = default;

DiskIndex::~DiskIndex() {
  if (file) file->Close();
}

_rec_file_info_ DiskIndex::Describe(const RecIndexSummary& s, uint32_t fileIndex) const {
  _rec_file_info_ info{};
  info.channel = s.channel;
  info.state = s.state;
  info.diskNo = static_cast<uint8_t>(diskNo);
  info.kind = s.kind;
  info.fileIndex = static_cast<int32_t>(fileIndex);
  info.size = s.size;
  info.startMs = s.startMs;
  info.endMs = s.endMs;
  info.sn = s.sn;
  return info;
}

int DiskIndex::Open(uint16_t diskNumber, const std::string& where, uint64_t indexLba,
                    bool force) {
  std::string target = where;
  if (IsDevicePath(where)) {
    device = CDevFlyWeightFactory::getSingleton()->CreateScsiDev(where.c_str(), false);
    if (!device) {
      DebugLog("NULL device.\n");
      return ERR_NO_DEVICE;
    }
  } else {
    if (where.empty()) return ERR_NO_DEVICE;
    target = WithTrailingSlash(where);
    if (FolderIndexPath(target).empty()) return ERR_NO_INDEX_FILE;
    device = nullptr;
  }
  if (open_ && !force) return 0;

  CAutoLock g(&lock_);
  open_ = false;
  path = target;
  repairList.clear();
  freeList.clear();
  allFiles.clear();
  timeMap.clear();
  repaired.clear();
  heads_.clear();
  headArena_.clear();
  writerMap.clear();
  counter = 0;
  nextSn = 1;
  leastSn = 0;
  if (file) file->Close();
  file.reset(CSerialFileFactory::CreateSerialFile(path.c_str()));
  if (!file) return ERR_NO_DEVICE;

  medium = device ? device->medium() : 0;
  int r = OpenRegion(indexLba);
  if (r != 0) return r;
  r = ReadHeader();
  if (r != 0) return r;
  diskNo = diskNumber;
  allFiles.resize(recordFileCount);
  for (uint32_t i = 0; i < recordFileCount; ++i) allFiles[i] = i;
  r = ReadEntries();
  if (r != 0) return r;
  open_ = true;
  return 0;
}

int DiskIndex::OpenRegion(uint64_t indexLba) {
  int r;
  if (device) {
    r = file->Open(path.c_str(), static_cast<uint32_t>(indexLba),
                   static_cast<uint32_t>(indexLba >> 32), kNominalOpenBytes, MODE_RDWR);
  } else {
    const std::string indexPath = FolderIndexPath(path);
    r = file->Open(indexPath.c_str(), 0, 0, kNominalOpenBytes, MODE_RDWR);
    // A folder on a read-only volume still opens for searching and replay.
    if (r != 0) r = file->Open(indexPath.c_str(), 0, 0, kNominalOpenBytes, MODE_RDONLY);
  }
  if (r != 0) {
    DebugLog("Open file fail. LBA %lld,fileSize %d. ret %d\n", static_cast<long long>(indexLba),
             static_cast<int>(kNominalOpenBytes), r);
    return r;
  }
  return 0;
}

int DiskIndex::ReadHeader() {
  RecIndexHeader h;
  int r = file->ReadPos(0, &h, sizeof h, true);
  if (r != static_cast<int>(sizeof h)) {
    DebugLog("Dev %s Read data error.LBA %lld ret %d \n", path.c_str(),
             static_cast<long long>(file->get_lba_start()), r);
    return r < 0 ? r : ERR_READ_FAILED;
  }
  if (!HasMagic(h)) {
    DebugLog("Index No init %d idxMagic Error.\n", static_cast<int>(recordFileCount));
    return ERR_INDEX_MAGIC;
  }
  // The counts decide how far the entries are read: a header whose entry count and index size
  // disagree would send the reads past the index, so it is refused like a wrong magic.
  if (!LayoutConsistent(h)) {
    DebugLog("Index header inconsistent: count %u index size %u.\n", h.entryCount,
             h.indexBytes);
    return ERR_INDEX_MAGIC;
  }
  recordFileCount = h.entryCount;
  recordFileBytes = h.recordFileBytes;
  indexBytes = h.indexBytes;
  entryOffset = h.entryOffset;
  entryBytes = h.entryBytes;
  word36 = h.word36;
  segmentTableOffset = h.segmentTableOffset;
  segmentBytes = h.segmentBytes;
  segmentsPerEntry = h.segmentsPerEntry;
  recordAreaLba = h.recordAreaLba;
  // The region now covers the whole index.
  file->SetDataSize(indexBytes);
  return 0;
}

int DiskIndex::ReadEntries() {
  const uint32_t perRead = kEntryReadBytes / kEntryBytes;
  // As large as the entries of one read, at most: a small disk does not zero 2 MiB per open.
  std::vector<uint8_t> buf(size_t{std::min(perRead, recordFileCount)} * kEntryBytes);
  bool firstSn = true;
  for (uint32_t base = 0; base < recordFileCount; base += perRead) {
    const uint32_t n = std::min(perRead, recordFileCount - base);
    const uint32_t offset = kEntriesOffset + base * kEntryBytes;
    int r = file->ReadPos(offset, buf.data(), n * kEntryBytes, true);
    if (r != static_cast<int>(n * kEntryBytes)) return r < 0 ? r : ERR_READ_FAILED;
    if (base + n == recordFileCount) DebugLog("Read information end!\n");
    for (uint32_t k = 0; k < n; ++k)
      SortEntry(buf.data() + static_cast<size_t>(k) * kEntryBytes, base + k, &firstSn);
  }
  return 0;
}

void DiskIndex::SortEntry(const uint8_t* entry, uint32_t i, bool* firstSn) {
  // Only the summary is copied out of the read buffer; segments only for entries to repair.
  RecIndexSummary s;
  std::memcpy(&s, entry, sizeof s);
  if (s.kind == 0) {
    freeList.push_back(i);
    return;
  }
  bool wellFormed = false;
  if ((s.state & kStateRecording) || s.endMs <= s.startMs) {
    // Left open by a power loss, or never closed properly: the last segment in use tells where
    // the recording stood.
    _rec_file_info_ info = Describe(s, i);
    const uint32_t segments = SegmentsInTable(entry);  // to the first zero word, not the count
    for (uint32_t k = 0; k < segments; ++k) {
      RecIndexSegment seg;
      std::memcpy(&seg, entry + kSegmentTableOffset + k * kSegmentBytes, sizeof seg);
      info.startMs = seg.startMs;
      info.typeBits = static_cast<uint8_t>(seg.typeBits);
      info.segmentNo = static_cast<uint8_t>(k);
    }
    platform::LogRange("Repair rec segment", s.startMs, s.endMs);
    repairList.push_back(info);
  } else if (static_cast<uint32_t>(s.linkIndex) >= recordFileCount) {
    // A link past the count (or negative) marks a file that cannot be used.
    freeList.push_back(i);
    repairList.push_back(Describe(s, i));
  } else if (static_cast<uint32_t>(s.linkIndex) == i) {
    // Files are mostly recorded in turn, so an entry usually goes at the end of the map.
    timeMap.emplace_hint(timeMap.end(), TimeKey{s.startMs, i}, s);
    wellFormed = true;
  } else {
    repairList.push_back(Describe(s, i));
  }
  nextSn = std::max(nextSn, s.sn + 1);
  if (s.sn != 0 && (*firstSn || (wellFormed && s.sn < leastSn))) {
    leastSn = s.sn;
    *firstSn = false;
  }
}

// ---- entry heads kept for the searches -----------------------------------------------------

size_t DiskIndex::HeadBytes(const uint8_t* entry) {
  RecIndexSummary s;
  std::memcpy(&s, entry, sizeof s);
  const uint32_t segments = std::min(SegmentsInTable(entry) + 1, UsableSegments(s));
  return kSegmentTableOffset + size_t{segments} * kSegmentBytes;
}

const uint8_t* DiskIndex::KeptHead(uint32_t fileIndex) const {
  auto it = heads_.find(fileIndex);
  return it == heads_.end() ? nullptr : headArena_.data() + it->second;
}

void DiskIndex::KeepHead(uint32_t fileIndex, const uint8_t* entry) {
  if (heads_.count(fileIndex)) return;
  const size_t bytes = HeadBytes(entry);
  if (headArena_.size() + bytes > kHeadCacheBytes) {
    heads_.clear();
    headArena_.clear();
    headArena_.shrink_to_fit();
  }
  heads_.emplace(fileIndex, static_cast<uint32_t>(headArena_.size()));
  headArena_.insert(headArena_.end(), entry, entry + bytes);
}

void DiskIndex::DropHead(uint32_t fileIndex) { heads_.erase(fileIndex); }
