#include "record/record_region.h"

#include <sys/stat.h>

#include <functional>

#include "api/context.h"
#include "index/disk_index.h"
#include "platform/messages.h"
#include "serialfile/serial_file_factory.h"

bool IsFolderDisk(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int OpenRecordRegion(const std::string& path, uint32_t fileIndex, uint32_t fileSize, int mode,
                     RecordRegion* out) {
  *out = RecordRegion{};
  if (path.empty()) {
    DebugLog("Disk name is empty,\n");
    return -2010;
  }
  uint64_t lba = 0;
  out->onDevice = IsDevicePath(path);
  if (out->onDevice) {
    out->name = path;
    lba = qvfs::Context::Current().diskWatch().RecordFileLba(path, fileIndex);
    out->serviceKey = lba;
  } else if (IsFolderDisk(path)) {
    int r = FolderRecordFilePath(path, fileIndex, &out->name);
    if (r != 0) return r;
    out->serviceKey = fileIndex;
  } else {
    out->name = path;  // an ordinary file: no sector address, its path tells it apart
    out->serviceKey = std::hash<std::string>()(path);
  }
  out->file.reset(CSerialFileFactory::CreateSerialFile(out->name.c_str()));
  if (!out->file) return -2010;
  int r = out->file->Open(out->name.c_str(), static_cast<uint32_t>(lba),
                          static_cast<uint32_t>(lba >> 32), fileSize, mode);
  if (r != 0) out->file.reset();
  return r;
}
