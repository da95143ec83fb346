// The extension functions of the C interface: drives, volumes, the clock and messages.
#include <sys/stat.h>

#include <cstring>

#include "api/context.h"
#include "platform/messages.h"
#include "qvfs/qvfs.h"

namespace {

void CopyField(char* dst, size_t size, const std::string& src) {
  std::strncpy(dst, src.c_str(), size - 1);
  dst[size - 1] = '\0';
}

}  // namespace

extern "C" {

int QVFS_AttachImage(const char* path, int readOnly, int sectorSize) {
  if (!path) return -1;
  return qvfs::Context::Current().platform().drives.AttachImage(path, readOnly != 0, sectorSize);
}

void QVFS_DetachAll(void) {
  qvfs::Context& ctx = qvfs::Context::Current();
  // The registry must not hand out devices over images that are gone: a later image may take
  // the same drive number.
  for (const platform::DriveEntry& d : ctx.platform().drives.Entries()) {
    if (!d.attached) continue;
    ctx.registry().CloseDeviceFd(d.name.c_str());
    ctx.registry().DelScsiDev(d.name.c_str());
  }
  ctx.platform().drives.DetachAll();
}

int QVFS_DetachImage(int drive) {
  qvfs::Context& ctx = qvfs::Context::Current();
  if (ctx.platform().drives.Detach(drive) != 0) return -1;
  // The device object stays (indexes, writers and readers hold it); its handle goes, so that
  // nothing reaches the file that was the disk.
  ctx.registry().CloseDeviceFd(platform::DriveName(drive).c_str());
  return 0;
}

void QVFS_SetAllReadOnly(int on) {
  qvfs::Context::Current().platform().drives.SetAllReadOnly(on != 0);
}

void QVFS_UseSystemDisks(int on) {
  qvfs::Context::Current().platform().drives.UseSystemDisks(on != 0);
}

int QVFS_GetDriveInfo(int n, QVFS_DriveInfo* out) {
  if (!out) return -1;
  qvfs::Context& ctx = qvfs::Context::Current();
  platform::DriveEntry e;
  if (!ctx.platform().drives.Get(n, &e)) return -1;
  std::memset(out, 0, sizeof *out);
  out->number = e.number;
  CopyField(out->name, sizeof out->name, e.name);
  CopyField(out->path, sizeof out->path, e.path);
  out->readOnly = e.readOnly;
  out->systemDrive = e.systemDrive;
  CDisk_Dev* dev = e.openErrno == 0 ? ctx.registry().CreateScsiDev(e.name.c_str(), false) : nullptr;
  if (dev) {
    out->capacity = dev->get_capacity();
    out->sectorSize = dev->get_sec_size();
    char text[32] = {};
    ctx.registry().GetDevText(text, e.name.c_str());
    CopyField(out->text, sizeof out->text, text[0] ? std::string(text) : e.text);
  } else {
    ctx.platform().drives.Get(n, &e);  // the failed open left its errno there
    out->openError = e.openErrno ? e.openErrno : -1;
    CopyField(out->text, sizeof out->text, e.text);
  }
  return 0;
}

int QVFS_AddVolume(const char* folder, int readOnly) {
  struct stat st {};
  if (!folder || stat(folder, &st) != 0 || !S_ISDIR(st.st_mode)) return -1;
  qvfs::Context::Current().platform().drives.AddVolume(folder, readOnly != 0);
  return 0;
}

void QVFS_SetManualClock(int on, int64_t nowMs) {
  qvfs::Context::Current().platform().clock.SetManual(on != 0, nowMs);
}

void QVFS_AdvanceClock(int64_t ms) { qvfs::Context::Current().platform().clock.Advance(ms); }

void QVFS_SetLogSink(void (*sink)(const char* text)) { platform::SetLogSink(sink); }

void QVFS_SetConsoleOutput(int on) { platform::SetConsoleOutput(on != 0); }

}  // extern "C"
