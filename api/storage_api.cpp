// The exported set-up, disk and configuration functions: QVFS_Init, disk questions, callbacks,
// record progress, schedules, and lock / unlock / delete of searched records.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>

#include "api/context.h"
#include "device/dev_registry.h"
#include "disklayout/disk_table.h"
#include "index/index_format.h"
#include "platform/messages.h"
#include "platform/time_print.h"
#include "qvfs/qvfs.h"

namespace {

constexpr int kErrChannel = -110;
constexpr int kErrNoDevice = -2010;

qvfs::Context& Ctx() { return qvfs::Context::Current(); }

// Channel tests use the count the arrays were built with (a later configuration can claim
// more); before QVFS_Init the configured count.
int ChannelCount() {
  qvfs::Storage& st = Ctx().storage();
  return st.initialised() ? st.builtChannels() : Ctx().shared().config().channelCount;
}

RecordManager* Manager(int sub) {
  return sub ? Ctx().storage().subManager() : Ctx().storage().mainManager();
}

// The lock, unlock and delete operations go to the record disks of the main stream.
template <typename Op>
int ForRecord(RecordItem* item, Op op) {
  if (!item) return -101;
  const _rec_file_info_ r = RecordItemToInfo(*item);
  // The record's disk number picks the disk, in whichever set it is (a second record disk
  // goes to the second set).
  for (int set = 0; set < 2; ++set) {
    DiskIndexSet& s = Ctx().diskWatch().IndexSet(set);
    if (s.HasDisk(r.diskNo)) return op(s, r);
  }
  DebugLog("No disk %d for the record.\n", static_cast<int>(r.diskNo));
  return ERR_INDEX_NO_RESULT;
}

}  // namespace

extern "C" {

QVFS_API int QVFS_Init(StorageConfig config) {
  qvfs::Context& ctx = Ctx();
  CAutoLock g(&ctx.storageLock());
  SharedRecords& shared = ctx.shared();
  shared.config() = config;
  if (config.noMixAudio) shared.SetMixAudio(false);
  StorageParams& p = shared.params();
  const int channels = ctx.storage().initialised() ? ctx.storage().builtChannels()
                                                   : std::min(std::max(config.channelCount, 1), 32);
  p.channels = channels;
  p.mainFifoSize = config.mainFifoSize;
  p.subFifoSize = config.subFifoSize;
  if (config.writeCacheSize > 0) p.writeCacheSize = config.writeCacheSize;
  if (config.playBufferSize > 0) p.playBufferSize = config.playBufferSize;
  if (config.frameBufferSize > 0) p.frameBufferSize = p.frameBufferSize2 = config.frameBufferSize;
  p.field7 = config.extParam1;
  p.field6 = config.extParam2;
  p.multiUserPlayBuffer = config.multiUserPlayBuffer != 0;
  return ctx.storage().Init(config);
}

QVFS_API int QVFS_DISK_IS_INIT(const char* path) {
  if (!path) return kErrNoDevice;
  const std::string p(path);
  if (p.find("\\\\.\\PhysicalDrive") != std::string::npos) {
    CDisk_Dev* dev = CDevFlyWeightFactory::getSingleton()->FindScsiDev(path);
    if (!dev) {
      DebugLog("No device  %s.\n", path);
      return kErrNoDevice;
    }
    CDiskTable table;
    const bool init = table.Init(dev) == 0 && table.IsStfs();
    std::fprintf(stderr, init ? "Storage disk %s is init.\n" : "Storage disk %s not init .\n",
                 path);
    return init ? 1 : 0;
  }
  std::string file = p;
  if (file.empty() || (file.back() != '\\' && file.back() != '/')) file += '\\';
  // A folder path may use either separator; the index file sits in the folder.
  std::string local = file.substr(0, file.size() - 1) + "/recordIdx.bin";
  FILE* f = std::fopen(local.c_str(), "rb");
  if (!f) {
    DebugLog("Can not found index file %s.\n", (file + "recordIdx.bin").c_str());
    return 0;
  }
  char magic[4] = {};
  const size_t n = std::fread(magic, 1, 4, f);
  std::fclose(f);
  if (n != 4) {
    DebugLog("File %s Read data error ret %d \n", local.c_str(), static_cast<int>(n));
    return 0;
  }
  if (std::memcmp(magic, "STFS", 4) != 0) {
    DebugLog("Compare magic fail. Index No init \n");
    return 0;
  }
  return 1;
}

QVFS_API int64_t QVFS_GetRecMaxTime(void) {
  int64_t latest = 0;
  const size_t limit = static_cast<size_t>(std::max(ChannelCount(), 0)) + 1;
  for (int set = 0; set < 2; ++set) {
    for (const DiskIndexRef& d : Ctx().diskWatch().IndexSet(set).Indexes()) {
      CAutoLock g(&d->lock());  // the time map changes while recording
      size_t visited = 0;
      for (auto it = d->timeMap.rbegin(); it != d->timeMap.rend() && visited < limit;
           ++it, ++visited) {
        const int64_t end = it->second.endMs;
        latest = std::max(latest, end);
      }
    }
  }
  if (latest / 1000 <= UINT32_MAX) platform::LogRange("end record time", latest, latest);
  return latest / 1000;
}

QVFS_API void QVFS_SET_GetFrame_CBK(QVFS_GetFrameCallback cb) {
  Ctx().shared().SetGetFrameCallback(cb);
  if (cb) Ctx().shared().config().getFrameCallbackSet = 1;
}

QVFS_API void QVFS_SET_STATUS_CBAK(QVFS_StatusCallback cb) { Ctx().shared().SetStatusCallback(cb); }

QVFS_API int QVFS_RecordIsOk(void) {
  RecordManager* m = Ctx().storage().mainManager();
  const bool ready = Ctx().diskWatch().ReadyCheck() > 0;
  const bool masked = Ctx().shared().config().mainRecordMask != 0;
  return ready && masked && m && m->activeMask() == 0 ? 0 : 1;
}

QVFS_API int QVFS_GetDataPercent(void) {
  uint64_t recordings = 0, files = 0;
  for (int set = 0; set < 2; ++set)
    for (const DiskIndexRef& d : Ctx().diskWatch().IndexSet(set).Indexes()) {
      CAutoLock g(&d->lock());
      recordings += d->timeMap.size();
      files += d->recordFileCount;
    }
  return files ? static_cast<int>(recordings * 100 / files) : 0;
}

QVFS_API int QVFS_SetVideoResolution(int width, int height, int channel) {
  RecordManager* m = Ctx().storage().mainManager();
  if (m) m->SetResolution(static_cast<uint32_t>(width), static_cast<uint32_t>(height), channel);
  return 0;
}

QVFS_API int QVFS_ScanDisk(void) {
  if (Ctx().diskWatch().Scanning()) return -1;
  qvfs::Context* ctx = &Ctx();
  std::thread([ctx] { MountUsbThreadBody(&ctx->diskWatch()); }).detach();
  return 0;
}

QVFS_API int QVFS_GetDiskInfo(void* buffer, int length) {
  if (!buffer || length <= 0) return 0;
  std::memset(buffer, 0, static_cast<size_t>(length));
  const int slots = length / static_cast<int>(sizeof(DiskInfo));
  auto* out = static_cast<DiskInfo*>(buffer);
  int written = 0, position = 0;
  for (const DiskRecord& d : Ctx().diskWatch().Disks()) {
    const int at = position++;
    if (d.state == kDiskNotReady) continue;
    if (written >= slots) break;  // the buffer holds no more
    DiskInfo& info = out[written++];
    info.state = d.state;
    info.isRecordDisk = d.state == kDiskReady;
    info.position = at;
    info.totalMB = static_cast<int32_t>(d.totalMB);
    info.freeMB = static_cast<int32_t>(d.freeMB);
    DiskIndexRef index = Ctx().diskWatch().IndexSet(0).Find(d.name);
    if (!index) index = Ctx().diskWatch().IndexSet(1).Find(d.name);
    if (index) {
      CAutoLock g(&index->lock());
      const uint64_t mb = index->recordFileBytes >> 20;
      info.totalMB = static_cast<int32_t>(mb * index->recordFileCount);
      info.freeMB = static_cast<int32_t>(mb * index->freeList.size());
    }
    info.capacityMB = static_cast<int32_t>(d.capacityMB);
    std::snprintf(info.devicePath, sizeof info.devicePath, "%s", d.name.c_str());
    std::snprintf(info.deviceText, sizeof info.deviceText, "%s", d.deviceText.c_str());
  }
  return written;
}

QVFS_API int QVFS_SetStorageCfg(StorageConfig config) {
  StorageConfig& c = Ctx().shared().config();
  c.channelCount = config.channelCount;
  c.diskCount = config.diskCount;
  c.mainRecordMask = config.mainRecordMask;
  c.cycleRecord = config.cycleRecord;
  c.prepareRecord = config.prepareRecord;
  c.fifoUsers = config.fifoUsers;
  return 0;
}

QVFS_API StorageConfig* QVFS_GetStorageCfg(StorageConfig* out) {
  StorageConfig& c = Ctx().shared().config();
  c.diskCount = Ctx().diskWatch().ReadyCheck();
  if (out) *out = c;
  return out;
}

QVFS_API void* QVFS_GetDiskPerformance(void* out) {
  if (out) std::memset(out, 0, 16);
  return out;
}

QVFS_API DiskSpaceInfo* QVFS_GetDiskSpaceInfo(DiskSpaceInfo* out) {
  if (!out) return out;
  std::memset(out, 0, sizeof *out);
  out->diskCount = Ctx().diskWatch().ReadyCheck();
  const std::vector<DiskRecord> disks = Ctx().diskWatch().Disks();
  uint32_t lastTotal = 0, lastFree = 0;
  for (int k = 0; k < out->diskCount && k < static_cast<int>(disks.size()); ++k) {
    out->freeSpaceMB += static_cast<int32_t>(disks[static_cast<size_t>(k)].freeMB);
    lastTotal = disks[static_cast<size_t>(k)].totalMB;
    lastFree = disks[static_cast<size_t>(k)].freeMB;
  }
  // A disk without a record area (or none visited) has no total: 0 % rather than a division
  // by zero.
  out->usedPercent = lastTotal ? static_cast<int32_t>(100 - uint64_t{lastFree} * 100 / lastTotal) : 0;
  return out;
}

QVFS_API int QVFS_GetRecordPercent(int channel, int sub) {
  if (channel > ChannelCount()) return kErrChannel;
  RecordManager* m = Manager(sub);
  RecordTask* t = m ? m->Task(channel) : nullptr;
  return t ? t->FilePercent() : 0;
}

QVFS_API int QVFS_GetRecordIndex(int channel, int sub) {
  if (channel > ChannelCount()) return kErrChannel;
  RecordManager* m = Manager(sub);
  if (sub && !m) return -1;
  RecordTask* t = m ? m->Task(channel) : nullptr;
  return t ? static_cast<int>(t->fileIndex()) : 0;
}

QVFS_API int QVFS_GetRecordSn(int channel, int sub) {
  if (channel > ChannelCount()) return kErrChannel;
  RecordManager* m = Manager(sub);
  if (sub && !m) return -1;
  RecordTask* t = m ? m->Task(channel) : nullptr;
  return t ? static_cast<int>(t->recordSn()) : 0;
}

QVFS_API int QVFS_ScheduleTimeSet(int channel, RecordSchedule schedule) {
  RecordManager* m = Ctx().storage().mainManager();
  if (m) m->SetSchedule(channel, schedule);
  return 0;
}

QVFS_API RecordSchedule* QVFS_ScheduleTimeGet(RecordSchedule* out, int channel) {
  RecordManager* m = Ctx().storage().mainManager();
  if (out) *out = m ? m->Schedule(channel) : RecordSchedule{};
  return out;
}

QVFS_API int QVFS_LockRecord(RecordItem* item) {
  return ForRecord(item, [](DiskIndexSet& s, const _rec_file_info_& r) { return s.LockRecord(r); });
}

QVFS_API int QVFS_UnlockRecord(RecordItem* item) {
  return ForRecord(item,
                   [](DiskIndexSet& s, const _rec_file_info_& r) { return s.UnlockRecord(r); });
}

QVFS_API int QVFS_DeleteRecord(RecordItem* item) {
  return ForRecord(item,
                   [](DiskIndexSet& s, const _rec_file_info_& r) { return s.DeleteRecord(r); });
}

QVFS_API int QVFS_AllRecord(void) {
  // The unlock operation with a selector nothing fills: it names no record (file -1), so it
  // changes nothing and says so.
  _rec_file_info_ none{};
  none.fileIndex = -1;
  return Ctx().diskWatch().IndexSet(0).UnlockRecord(none);
}

QVFS_API int QVFS_DownloadStart(void) { return 0; }
QVFS_API int QVFS_FormatDiskRecord(void) { return 0; }
QVFS_API int QVFS_PlaybackByFile(void) { return 0; }
QVFS_API int QVFS_PlaybackStatus(void) { return 0; }
QVFS_API int QVFS_RecordIsRecording(void) { return 0; }

}  // extern "C"
