// The exported backup and export functions: thin entry points onto the backup engine and the
// whole-file copy.
#include <algorithm>
#include <memory>

#include "api/context.h"
#include "backup/backup_engine.h"
#include "backup/mp4_backup.h"
#include "platform/messages.h"
#include "qvfs/qvfs.h"
#include "record/record_region.h"
#include "serialfile/serial_file_com.h"
#include "serialfile/serial_file_factory.h"
#include "serialfile/region_io.h"

namespace {

constexpr int kErrNoList = -2005;
constexpr int kErrEmptyList = -116;
constexpr int kErrNoDest = -101;

qvfs::Context& Ctx() { return qvfs::Context::Current(); }
BackupEngine& Engine() { return Ctx().backup(); }

}  // namespace

extern "C" {

QVFS_API int QVFS_ExportRecordFile(const char* devicePath, int fileIndex, int size,
                                   const char* destPath) {
  if (!devicePath || !destPath || fileIndex < 0 || size <= 0) return kErrNoDest;
  RecordRegion source;
  int r = OpenRecordRegion(devicePath, static_cast<uint32_t>(fileIndex),
                           static_cast<uint32_t>(size), MODE_RDONLY, &source);
  if (r != 0 || !source.file) {
    DebugLog("Open rawFile dev %s %d fail. ret %d .\n", devicePath, fileIndex, r);
    return r != 0 ? r : kErrNoDest;
  }
  CSerialFileCom dest;
  r = dest.Open(destPath, 0, 0, static_cast<uint32_t>(size), MODE_WRONLY);
  if (r != 0) {
    DebugLog("Open destfile %s fail. ret %d .\n", destPath, r);
    source.file->Close();
    return r;
  }
  r = CSerialFileFactory::CopyWholeFile(source.file.get(), &dest);
  dest.Close();
  source.file->Close();
  return r;
}

QVFS_API int QVFS_BackupStart(RecordItem* items, int count, int backupType,
                              const char* destDir) {
  if (!items) return kErrNoList;
  if (count <= 0) return kErrEmptyList;
  if (!destDir) return kErrNoDest;
  BackupEngine& e = Engine();
  for (int i = 0; i < count; ++i) e.Stage(RecordItemToInfo(items[i]));
  const int prepared = e.Prepare(backupType, destDir);
  e.ClearStaged();
  // The thread runs whatever the preparation said: with nothing queued it ends at once.
  const int started = e.Start();
  return prepared != 0 ? prepared : started;
}

QVFS_API int QVFS_BackupSrcLstStart(_rec_file_info_* list, int count, int backupType,
                                    const char* destDir) {
  if (!list) return kErrNoList;
  if (count <= 0) return kErrEmptyList;
  if (!destDir) return kErrNoDest;
  BackupEngine& e = Engine();
  const int prepared = e.Prepare(list, count, backupType, destDir);
  if (prepared != 0) return prepared;
  return e.Start();
}

QVFS_API int QVFS_BackupGetProgress(void) { return Engine().Progress(); }

QVFS_API int QVFS_BackupStop(void) { return Engine().Stop(); }

QVFS_API int QVFS_BackupGetFailures(int* positions, int* codes, int capacity) {
  const std::vector<BackupEngine::Failure> failures = Engine().Failures();
  const size_t filled = capacity > 0 && positions && codes
                            ? std::min(failures.size(), static_cast<size_t>(capacity))
                            : 0;
  for (size_t i = 0; i < filled; ++i) {
    positions[i] = static_cast<int>(failures[i].record);
    codes[i] = failures[i].result;
  }
  return static_cast<int>(failures.size());
}

QVFS_API int QVFS_BackupAudioParm(int audioFormat, int second, int third, int fourth) {
  return Engine().audio().SetAudio(audioFormat, second, third, fourth);
}

QVFS_API int QVFS_BackupComFileToMP4(const char* sourcePath, const char* destPath) {
  // The audio as AAC with the backups' setting, through a conversion of its own: a backup
  // running meanwhile keeps the engine's.
  AacConversion audio;
  audio.CopySetting(Engine().audio());
  return ConvertRecordFileToMp4(sourcePath, destPath, &audio);
}

}  // extern "C"
