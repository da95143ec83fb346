// stfsctl format DRIVE --file-mb N [--common-mb N] [--yes]: make a record disk (or folder disk).
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#include "commands.h"
#include "json.h"
#include "platform/drive_table.h"
#include "platform/platform_context.h"
#include "progress.h"
#include "qvfs/qvfs.h"

namespace {
// A folder disk: an existing folder, or a path written with a trailing '/'.
bool IsFolderArgument(const std::string& arg) {
  struct stat st {};
  if (stat(arg.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  return !arg.empty() && arg.back() == '/';
}

bool ParseMB(const std::string& s, int* out) {
  char* end = nullptr;
  long v = strtol(s.c_str(), &end, 10);
  if (s.empty() || *end || v < 0 || v > 1 << 20) return false;
  *out = static_cast<int>(v);
  return true;
}
}  // namespace

int CmdFormat(Invocation& inv) {
  std::string drive, value;
  int fileMB = -1, commonMB = 0;
  bool yes = false;
  for (size_t i = 0; i < inv.args.size(); ++i) {
    const std::string& a = inv.args[i];
    if (a == "--help") {
      printf("usage: stfsctl [GLOBAL OPTIONS] format DRIVE --file-mb N [--common-mb N] [--yes]\n"
             "Formats DRIVE (a drive, an image, or a folder) as a record disk with record files\n"
             "of N MiB (below 64 taken as 128) and an optional commonData FAT32 partition.\n"
             "A real device (not an image or folder) is formatted only with --yes.\n");
      return kExitOk;
    } else if (TakeValue(inv.args, i, "--file-mb", &value)) {
      if (!ParseMB(value, &fileMB)) return UsageError("format", "--file-mb takes a number of MiB");
    } else if (TakeValue(inv.args, i, "--common-mb", &value)) {
      if (!ParseMB(value, &commonMB))
        return UsageError("format", "--common-mb takes a number of MiB");
    } else if (a == "--yes") {
      yes = true;
    } else if (!a.empty() && a[0] == '-') {
      return UsageError("format", "unknown option '" + a + "'");
    } else if (drive.empty()) {
      drive = a;
    } else {
      return UsageError("format", "expects one DRIVE");
    }
  }
  if (drive.empty()) return UsageError("format", "expects a DRIVE");
  if (fileMB < 0) return UsageError("format", "--file-mb N is required");

  std::string name = drive;
  if (!IsFolderArgument(drive)) {
    std::string error;
    if (!ResolveDrive(drive, inv.global, &name, &error)) return Fail(inv.global, -2010, error);
    platform::DriveEntry e;
    if (platform::Drives().Get(platform::DriveNumberOf(name), &e) && !e.image && !yes)
      return UsageError("format", name + " is the device " + e.path +
                                      ": formatting erases it; add --yes to go on");
  }
  InstallProgressBar(inv.global.json);
  int r = QVFS_FormatToRecdisk(name.c_str(), fileMB, commonMB);
  FinishProgressBar();
  if (r < 0) return Fail(inv.global, r, LastDiagnostic());
  if (inv.global.json) {
    JsonWriter w;
    w.BeginObject().Field("drive", name).Field("record_files", r).EndObject();
    PrintJson(w.str());
  } else {
    printf("%s: record disk with %d record files.\n", name.c_str(), r);
  }
  return kExitOk;
}
