#include "index/folder_format.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "index/disk_index.h"
#include "index/index_create.h"
#include "platform/messages.h"
#include "serialfile/region_io.h"

namespace {
constexpr uint64_t kGiB = 1ull << 30;
constexpr uint32_t kMaxFolderFiles = 32766;  // the same limit as a record disk's root directory

bool MakeDir(const std::string& p) { return mkdir(p.c_str(), 0777) == 0 || errno == EEXIST; }

std::string RecordFileName(const std::string& dir, uint32_t n) {
  char name[16];
  snprintf(name, sizeof name, "%05u.asf", n);
  return dir + "Record/" + name;
}

// Bytes already allocated to record files 0, 1, ... that formatting will reuse.
uint64_t ReusableBytes(const std::string& dir) {
  uint64_t bytes = 0;
  for (uint32_t n = 0; n < kMaxFolderFiles; ++n) {
    struct stat st;
    if (stat(RecordFileName(dir, n).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) break;
    bytes += static_cast<uint64_t>(st.st_blocks) * 512;
  }
  return bytes;
}

int AllocateFile(const std::string& path, uint64_t bytes) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    DebugLog("Cannot create record file %s: %s.\n", path.c_str(), strerror(errno));
    return ERR_WRITE_FAILED;
  }
  int e = ftruncate(fd, static_cast<off_t>(bytes)) == 0 ? 0 : errno;
  if (e == 0) e = posix_fallocate(fd, 0, static_cast<off_t>(bytes));
  close(fd);
  if (e != 0) {
    DebugLog("Cannot allocate record file %s: %s.\n", path.c_str(), strerror(e));
    return ERR_WRITE_FAILED;
  }
  return 0;
}
}  // namespace

uint64_t FolderReserveBytes(uint64_t fileSystemBytes) {
  return std::max(kGiB, fileSystemBytes / 20);
}

uint32_t FolderRecordFileCount(uint64_t freeBytes, uint64_t fileSystemBytes, uint32_t fileMB) {
  const uint64_t reserve = FolderReserveBytes(fileSystemBytes);
  if (fileMB == 0 || freeBytes <= reserve) return 0;
  return static_cast<uint32_t>(
      std::min<uint64_t>((freeBytes - reserve) / (uint64_t{fileMB} << 20), kMaxFolderFiles));
}

uint32_t FolderFormatPlan(const std::string& folder, uint32_t fileMB) {
  if (fileMB == 0 || fileMB >= 4096) return 0;
  // The folder, or the nearest parent that exists: its file system is the one asked.
  std::string dir = WithTrailingSlash(folder);
  struct statvfs vfs;
  while (statvfs(dir.c_str(), &vfs) != 0) {
    if (dir.size() <= 1 || dir == "./") return 0;
    const size_t slash = dir.find_last_of('/', dir.size() - 2);
    // Shorter on every pass (or "./" for a relative path's first part): the loop ends at "/" or
    // "./" at the latest.
    dir = slash == std::string::npos ? std::string("./") : dir.substr(0, slash + 1);
  }
  const uint64_t total = static_cast<uint64_t>(vfs.f_blocks) * vfs.f_frsize;
  const uint64_t free = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize +
                        (dir == WithTrailingSlash(folder) ? ReusableBytes(dir) : 0);
  return FolderRecordFileCount(free, total, fileMB);
}

int FormatFolderDisk(const std::string& folder, uint32_t fileMB, uint32_t channelCount,
                     const FormatProgress& progress, uint32_t maxFiles) {
  if (folder.empty()) return ERR_NO_DEVICE;
  if (fileMB == 0 || fileMB >= 4096) return ERR_ZERO_SIZE;
  const std::string dir = WithTrailingSlash(folder);
  if (!MakeDir(dir) || !MakeDir(dir + "Record")) {
    DebugLog("Cannot create folder %s: %s.\n", dir.c_str(), strerror(errno));
    return ERR_WRITE_FAILED;
  }
  struct statvfs vfs;
  if (statvfs(dir.c_str(), &vfs) != 0) return ERR_NO_DEVICE;
  const uint64_t total = static_cast<uint64_t>(vfs.f_blocks) * vfs.f_frsize;
  const uint64_t free = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize + ReusableBytes(dir);
  uint32_t count = FolderRecordFileCount(free, total, fileMB);
  if (maxFiles != 0) count = std::min(count, maxFiles);
  if (count == 0) {
    DebugLog("Not enough space in %s for one record file of %u MB.\n", dir.c_str(), fileMB);
    return kErrNoFatGeometry;
  }
  const uint64_t fileBytes = uint64_t{fileMB} << 20;
  for (uint32_t n = 0; n < count; ++n) {
    if (int r = AllocateFile(RecordFileName(dir, n), fileBytes)) return r;
    if (progress) progress(n + 1, count + 1);
  }
  int r = CreateFileIndex(dir, fileMB, count, channelCount);
  if (r != 0) return r;
  if (progress) progress(count + 1, count + 1);
  return static_cast<int>(count);
}
