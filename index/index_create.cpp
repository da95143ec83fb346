#include "index/index_create.h"

#include <unistd.h>

#include <vector>

#include "device/disk_dev.h"
#include "index/disk_index.h"
#include "index/index_format.h"
#include "platform/clock.h"
#include "platform/messages.h"
#include "platform/platform_context.h"
#include "serialfile/serial_file.h"
#include "serialfile/serial_file_factory.h"

using namespace recindex;

namespace {
constexpr uint32_t kZeroPiece = 0x100000;  // zeros are written 1 MiB at a time

// Sizes an index header can carry: the file size in bytes and the index size fit 32 bits.
bool SizesFit(uint32_t fileMB, uint32_t count) {
  return fileMB != 0 && count != 0 && fileMB < 4096 && IndexBytes(count) <= UINT32_MAX;
}

int64_t NowSeconds() { return platform::TheClock().NowMs() / 1000; }

// Zeroes [from, to) of a region file in 1 MiB pieces; 0 or the failing write's code.
template <class File>
int ZeroPieces(File* f, uint32_t from, uint32_t to) {
  std::vector<uint8_t> zeros(kZeroPiece, 0);
  for (uint32_t pos = from; pos < to;) {
    uint32_t n = std::min(kZeroPiece, to - pos);
    int r = f->WritePos(pos, zeros.data(), n, true);
    if (r != static_cast<int>(n)) return r < 0 ? r : ERR_WRITE_FAILED;
    pos += n;
  }
  return 0;
}
}  // namespace

int CreateRawIndex(CDisk_Dev* dev, uint32_t fileMB, uint64_t indexLba, uint64_t recordAreaLba,
                   uint32_t count, uint32_t channelCount) {
  if (!dev) return ERR_NO_DEVICE;
  if (indexLba == 0) return ERR_INDEX_START_ZERO;
  if (!SizesFit(fileMB, count)) return ERR_ZERO_SIZE;
  const RecIndexHeader h = BuildHeader(fileMB, count, NowSeconds(), channelCount, recordAreaLba);
  const uint32_t size = h.indexBytes;
  DebugLog("Stroage: Index LBA %lld Index offset %d, Index file size %d \n",
           static_cast<long long>(indexLba), static_cast<int>(kEntriesOffset),
           static_cast<int>(size));

  // The entries are zeroed before the header goes down: an index whose creation stops half
  // way then never shows a new header over old entries.
  const uint32_t ss = dev->get_sec_size();
  int r;
  if (kEntriesOffset % ss == 0) {
    r = dev->WriteZeros(indexLba + kEntriesOffset / ss, (size - kEntriesOffset) / ss, true);
  } else {
    CSerial_file zf;
    r = zf.Open(dev, indexLba, size, MODE_WRONLY);
    if (r == 0) r = ZeroPieces(&zf, kEntriesOffset, size);
    zf.Close();
  }
  if (r != 0) {
    DebugLog("Stroage:ERR Index LBA %lld Index offset %d, Index file size %d \n",
             static_cast<long long>(indexLba), static_cast<int>(kEntriesOffset),
             static_cast<int>(size));
    return r;
  }

  CSerial_file f;
  r = f.Open(dev, indexLba, size, MODE_WRONLY);
  if (r != 0) return r;
  r = f.WritePos(0, &h, sizeof h, true);
  if (r != static_cast<int>(sizeof h)) {
    DebugLog("Write head info fail.ret %d \n", r);
    f.Close();
    return r < 0 ? r : ERR_WRITE_FAILED;
  }
  r = f.WritePos(kBackupHeaderOffset, &h, sizeof h, true);
  if (r != static_cast<int>(sizeof h)) DebugLog("Write bak head info fail.ret %d \n", r);
  f.Close();
  return 0;
}

int CreateFileIndex(const std::string& folder, uint32_t fileMB, uint32_t count,
                    uint32_t channelCount) {
  if (folder.empty()) return ERR_NO_DEVICE;
  if (!SizesFit(fileMB, count)) return ERR_ZERO_SIZE;
  const RecIndexHeader h = BuildHeader(fileMB, count, NowSeconds(), channelCount, kFileAreaLba);
  const uint32_t size = h.indexBytes;

  // A device path gets the same index as a region at sector 2048 of the device.
  const bool onDevice = IsDevicePath(folder);
  std::string path = onDevice ? folder : FolderIndexPath(folder);
  if (path.empty()) {
    path = WithTrailingSlash(folder) + "recindex.bin";
    DebugLog("No index file  %s prepare create index \n", path.c_str());
  }
  std::unique_ptr<CSerialFileBase> f(CSerialFileFactory::CreateSerialFile(path.c_str()));
  if (!f) return ERR_NO_DEVICE;
  int r = f->Open(path.c_str(), onDevice ? static_cast<uint32_t>(kFileAreaLba) : 0, 0, size,
                  MODE_RDWR);
  if (r != 0) return r;
  DebugLog("Stroage: Index offset %d, Index file size %d \n", static_cast<int>(kEntriesOffset),
           static_cast<int>(size));
  r = ZeroPieces(f.get(), kEntriesOffset, size);
  if (r != 0) {
    DebugLog("Stroage:ERR Index LBA %lld Index offset %d, Index file size %d \n", 0ll,
             static_cast<int>(kEntriesOffset), static_cast<int>(size));
    DebugLog("Stroage:create %s com index file fail.\n", path.c_str());
    f->Close();
    return r;
  }
  r = f->WritePos(0, &h, sizeof h, true);
  if (r != static_cast<int>(sizeof h)) {
    DebugLog("Write head info fail.\n");
    f->Close();
    return r < 0 ? r : ERR_WRITE_FAILED;
  }
  // Zero the gap before the entries too, so that a reused index file carries no old backup.
  r = ZeroPieces(f.get(), kHeaderBytes, kEntriesOffset);
  f->Close();
  if (r != 0) return r;
  // A reused index file that was larger keeps no stale entries past the new end.
  if (!onDevice && truncate(path.c_str(), size) != 0) return ERR_WRITE_FAILED;
  DebugLog("Stroage:Create com index file OK. \n");
  DebugLog("Close index file OK. \n");
  return 0;
}
