// QVFS_FormatToRecdisk: formatting a device or a folder as a record disk.
#include <algorithm>
#include <cstdint>
#include <string>

#include "api/context.h"
#include "device/disk_dev.h"
#include "disklayout/disk_table.h"
#include "disklayout/record_disk_format.h"
#include "index/disk_index.h"
#include "index/folder_format.h"
#include "index/index_create.h"
#include "platform/clock.h"
#include "platform/drive_table.h"
#include "platform/messages.h"
#include "platform/mounts.h"
#include "qvfs/qvfs.h"

namespace {
constexpr int kMaxCommonMB = 10240;
constexpr int kMinFileMB = 64;
constexpr int kDefaultFileMB = 128;
constexpr int kErrAccess = -2006;
constexpr int kErrNoDevice = -2010;

FormatProgress ProgressOf(const qvfs::Context& ctx, const char* what) {
  return [&ctx, what](uint64_t done, uint64_t total) { ctx.ReportProgress(what, done, total); };
}

int FormatFolder(qvfs::Context& ctx, const std::string& name, int fileMB, int maxFiles = 0) {
  const int64_t started = platform::TheClock().NowMs();
  int r = FormatFolderDisk(name, static_cast<uint32_t>(fileMB),
                           static_cast<uint32_t>(ctx.shared().params().channels),
                           ProgressOf(ctx, "format"), static_cast<uint32_t>(std::max(maxFiles, 0)));
  if (r < 0) {
    platform::ConsoleErrPrintf("Init file index fail filesize %d dev %s.\n", 134217728,
                               name.c_str());
    return r;
  }
  DebugLog("Total AllocSpace time %d s total rec num %d file size %d MB.\n",
           static_cast<int>((platform::TheClock().NowMs() - started) / 1000), r, fileMB);
  return r;
}

// A drive that must not be formatted: read-only, the system's own disk, or one the machine has
// mounted. 0 or -2006 after a message.
int RefuseInUse(const std::string& name) {
  platform::DriveEntry e;
  if (!platform::Drives().Get(platform::DriveNumberOf(name), &e)) return 0;
  const char* why = nullptr;
  if (e.readOnly) why = "it is read-only";
  else if (e.systemDrive) why = "it holds the system";
  else if (platform::HasMountedFileSystem(e.path)) why = "a file system on it is mounted";
  if (!why) return 0;
  platform::ConsoleErrPrintf("Cannot format %s (%s): %s.\n", name.c_str(), e.path.c_str(), why);
  return kErrAccess;
}

// The format proper, on a disk its users have let go: the record-file count, or a code.
int FormatStoppedDevice(qvfs::Context& ctx, CDisk_Dev* dev, const std::string& name, int fileMB,
                        int commonMB) {
  CDiskTable table;
  table.Init(dev);  // only to bind the device; a blank disk is what formatting expects
  // Everything is checked before the first write, so a disk that cannot take the layout is
  // left as it was.
  if (int r = CheckRecordDiskFits(dev, fileMB, commonMB)) {
    if (r == -1) platform::ConsolePrintf(" Can not get the LBA capacity by hand to continue.\n");
    return r;
  }
  int count = FormatRecordDisk(&table, dev, fileMB, commonMB, ProgressOf(ctx, "format"));
  if (count < 0) return count;
  DebugLog("Start format disk %s. capacity %d GB.\n", name.c_str(),
           static_cast<int>(dev->get_capacity_gB()));
  int r = CreateRawIndex(dev, fileMB, table.GetIndexLba(), table.GetFirstRecordLba(), count,
                         static_cast<uint32_t>(ctx.shared().params().channels));
  if (r != 0) {
    DebugLog("File index create fail fileSizeMB %d recNum %d .\n", fileMB, count);
    return r;
  }
  if ((r = table.WriteStfsTable(fileMB, count)) != 0) return r;
  dev->FlushCache();
  return count;
}

int FormatDevice(qvfs::Context& ctx, const std::string& name, int fileMB, int commonMB) {
  CDisk_Dev* dev = ctx.registry().CreateScsiDev(name.c_str(), false);
  if (!dev) {
    DebugLog("No device  %s.\n", name.c_str());
    return kErrNoDevice;
  }
  if (int r = RefuseInUse(name)) return r;
  ctx.diskUsers().StopUsersOf(name);
  const int count = FormatStoppedDevice(ctx, dev, name, fileMB, commonMB);
  const std::string why = count < 0 ? platform::LastMessage() : std::string();
  // Whatever the outcome, the disks are scanned again: a format refused before its first write
  // leaves a record disk that must come back for searching and recording, and a failed one
  // must not stay listed with its old index.
  ctx.diskUsers().RescanAndRestart();
  if (count >= 0) platform::ConsoleErrPrintf("Format disk  %s  OK.\n", name.c_str());
  else if (!why.empty()) platform::ConsoleErrPrintf("%s", why.c_str());  // the reason comes last
  return count;
}
}  // namespace

extern "C" QVFS_API int QVFS_FormatToRecdisk(const char* name, int fileSizeMB, int commonMB) {
  if (!name) {
    platform::ConsoleErrPrintf("No device  %s.\n", "(null)");
    return kErrNoDevice;
  }
  qvfs::Context& ctx = qvfs::Context::Current();
  CAutoLock g(&ctx.storageLock());
  if (commonMB > kMaxCommonMB) {
    DebugLog("comdisk is too big.\n");
    commonMB = kMaxCommonMB;
  }
  if (commonMB < 0) commonMB = 0;
  if (fileSizeMB < kMinFileMB) fileSizeMB = kDefaultFileMB;
  // "MiB x 2^20" must fit the 32-bit size fields of the STFS table and the index.
  if (fileSizeMB >= 4096) {
    DebugLog("Record file size %d MB is too big.\n", fileSizeMB);
    return kErrNoFatGeometry;
  }
  const std::string n = name;
  if (!IsDevicePath(n)) return FormatFolder(ctx, n, fileSizeMB);
  return FormatDevice(ctx, n, fileSizeMB, commonMB);
}

extern "C" QVFS_API int QVFS_FormatFolder(const char* folder, int fileSizeMB, int maxFiles) {
  if (!folder || IsDevicePath(folder)) return kErrNoDevice;
  qvfs::Context& ctx = qvfs::Context::Current();
  CAutoLock g(&ctx.storageLock());
  if (fileSizeMB < kMinFileMB) fileSizeMB = kDefaultFileMB;
  if (fileSizeMB >= 4096) return kErrNoFatGeometry;
  return FormatFolder(ctx, folder, fileSizeMB, maxFiles);
}

extern "C" QVFS_API int QVFS_FolderFormatPlan(const char* folder, int fileSizeMB) {
  if (!folder) return 0;
  if (fileSizeMB < kMinFileMB) fileSizeMB = kDefaultFileMB;
  return static_cast<int>(FolderFormatPlan(folder, static_cast<uint32_t>(fileSizeMB)));
}

extern "C" QVFS_API void QVFS_SetProgressSink(void (*sink)(const char*, uint64_t, uint64_t)) {
  qvfs::Context::Current().SetProgressSink(sink);
}
