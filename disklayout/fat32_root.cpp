#include "disklayout/fat32_root.h"

#include <cctype>
#include <cstring>
#include <string>

#include "disklayout/layout_format.h"
#include "disklayout/le.h"

namespace layout {

int ParseFat32Boot(const uint8_t* boot, size_t len, uint64_t partitionLba, Fat32Geometry* out) {
  using namespace fat32;
  if (!boot || len < 512 || le::Get16(boot + kSignatureOffset) != mbr::kSignature) return -1;
  uint32_t spc = boot[kSectorsPerClusterOffset];
  uint32_t reserved = le::Get16(boot + kReservedSectorsOffset);
  uint32_t fats = boot[kFatCountOffset];
  uint32_t perFat = le::Get32(boot + kSectorsPerFatOffset);
  uint32_t root = le::Get32(boot + kRootClusterOffset);
  if (spc == 0 || fats == 0 || root < 2) return -1;
  out->sectorsPerCluster = spc;
  out->rootCluster = root;
  out->dataStartLba = partitionLba + reserved + static_cast<uint64_t>(fats) * perFat;
  return 0;
}

namespace {

// The 8.3 name as text: base name trimmed, and the extension (lower case) after a dot.
std::string BaseName(const uint8_t* e) {
  std::string base(reinterpret_cast<const char*>(e), 8);
  while (!base.empty() && base.back() == ' ') base.pop_back();
  return base;
}

bool ExtensionIsAsf(const uint8_t* e) {
  // The record files' 8.3 extension is stored upper case ("ASF") and shown lower case.
  char ext[4] = {static_cast<char>(std::tolower(e[8])), static_cast<char>(std::tolower(e[9])),
                 static_cast<char>(std::tolower(e[10])), 0};
  return std::strcmp(ext, "asf") == 0;
}

// The number a record file's base name reads as; -1 when it is not all digits.
long NumberOf(const std::string& base) {
  if (base.empty() || base.size() > 8) return -1;
  long n = 0;
  for (char c : base) {
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
  }
  return n;
}

}  // namespace

int WalkRecordRoot(const uint8_t* dir, size_t len, const Fat32Geometry& geo, uint32_t sectorSize,
                   RecordFilesFound* out) {
  using namespace fat32;
  if (!dir || sectorSize == 0) return -1;
  uint64_t expected = 0;  // where the next record file must start
  for (size_t off = 0; off + kDirEntrySize <= len; off += kDirEntrySize) {
    const uint8_t* e = dir + off;
    if (e[0] == 0) break;  // end of the directory
    if (e[0] == kDirEntryFree || e[kDirAttrOffset] == kAttrLongName) continue;
    uint32_t cluster = static_cast<uint32_t>(le::Get16(e + kDirClusterHighOffset)) << 16 |
                       le::Get16(e + kDirClusterLowOffset);
    std::string base = BaseName(e);
    long number = NumberOf(base);
    if ((e[kDirAttrOffset] & kAttrArchive) && base.find("00000") != std::string::npos &&
        number == 0) {
      if (cluster < 2) return -1;
      out->found = true;
      out->firstRecordLba = geo.ClusterLba(cluster);
      out->recordFileSectors = le::Get32(e + kDirSizeOffset) / sectorSize;
      expected = out->firstRecordLba + out->recordFileSectors;
      continue;
    }
    if (!out->found || !ExtensionIsAsf(e) || number < 1) continue;
    uint64_t lba = cluster < 2 ? 0 : geo.ClusterLba(cluster);
    if (number > 1 && lba != expected) return -1;
    expected = lba + out->recordFileSectors;
  }
  return 0;
}

}  // namespace layout
