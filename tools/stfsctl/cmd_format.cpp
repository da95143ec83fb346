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
// What a format says: the record file count, or the failure.
int Formatted(const Invocation& inv, const std::string& drive, int r) {
  if (r < 0) return Fail(inv.global, r, LastDiagnostic());
  if (inv.global.json) {
    JsonWriter w;
    w.BeginObject().Field("drive", drive).Field("record_files", r).EndObject();
    PrintJson(w.str());
  } else {
    printf("%s: record disk with %d record files.\n", drive.c_str(), r);
  }
  return kExitOk;
}

constexpr uint64_t kAskAboveBytes = 10ull << 30;  // a folder format larger asks for --yes

// A folder format: its file count from --size or --files, or everything that fits, which past
// 10 GiB needs --yes (said before any file is made).
int FormatFolderArgument(Invocation& inv, const std::string& folder, int fileMB,
                         uint64_t sizeBytes, int64_t files, bool yes) {
  const int mb = fileMB < 64 ? 128 : fileMB;  // the library's rule for small sizes
  int64_t limit = files;
  if (sizeBytes) {
    limit = static_cast<int64_t>(sizeBytes / (uint64_t{static_cast<uint32_t>(mb)} << 20));
    if (limit == 0) return UsageError("format", "--size holds no record file of " +
                                                   std::to_string(mb) + " MiB");
  }
  if (limit == 0) {
    const uint64_t plan = static_cast<uint64_t>(QVFS_FolderFormatPlan(folder.c_str(), mb));
    const uint64_t bytes = plan * (uint64_t{static_cast<uint32_t>(mb)} << 20);
    if (bytes > kAskAboveBytes && !yes)
      return UsageError("format", "formatting " + folder + " would allocate " +
                                      std::to_string(plan) + " record files of " +
                                      std::to_string(mb) + " MiB (" +
                                      std::to_string(bytes >> 30) +
                                      " GiB); give --size or --files, or add --yes");
  }
  InstallProgressBar(inv.global.json);
  const int r = QVFS_FormatFolder(folder.c_str(), fileMB, static_cast<int>(limit));
  FinishProgressBar();
  return Formatted(inv, folder, r);
}

}  // namespace

int CmdFormat(Invocation& inv) {
  std::string drive, value;
  int fileMB = -1, commonMB = 0;
  int64_t files = 0;
  uint64_t sizeBytes = 0;
  bool yes = false;
  for (size_t i = 0; i < inv.args.size(); ++i) {
    const std::string& a = inv.args[i];
    if (a == "--help") {
      printf("usage: stfsctl [GLOBAL OPTIONS] format DRIVE --file-mb N [--common-mb N] [--yes]\n"
             "       stfsctl [GLOBAL OPTIONS] format FOLDER --file-mb N [--size SIZE | --files N]\n"
             "                [--yes]\n"
             "Formats DRIVE (a drive or an image) as a record disk with record files of N MiB\n"
             "(below 64 taken as 128) and an optional commonData FAT32 partition. A real device\n"
             "(not an image) is formatted only with --yes.\n"
             "A FOLDER gets its record files really allocated on its file system: at most SIZE\n"
             "bytes of them (2G, 512M) or N files; without either, as many as fit while 1 GiB\n"
             "or 5 %% stays free, and, when that is more than 10 GiB, only with --yes.\n");
      return kExitOk;
    } else if (TakeValue(inv.args, i, "--file-mb", &value)) {
      if (!ParseMB(value, &fileMB)) return UsageError("format", "--file-mb takes a number of MiB");
    } else if (TakeValue(inv.args, i, "--common-mb", &value)) {
      if (!ParseMB(value, &commonMB))
        return UsageError("format", "--common-mb takes a number of MiB");
    } else if (TakeValue(inv.args, i, "--size", &value)) {
      if (!ParseSize(value, &sizeBytes)) return UsageError("format", "--size takes a SIZE");
    } else if (TakeValue(inv.args, i, "--files", &value)) {
      if (!ParseMask(value, &files) || files <= 0 || files > 32766)
        return UsageError("format", "--files takes 1..32766");
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
  const bool folder = IsFolderArgument(drive);
  if (!folder && (sizeBytes || files))
    return UsageError("format", "--size and --files are for a FOLDER");
  if (sizeBytes && files) return UsageError("format", "give --size or --files, not both");
  if (folder) return FormatFolderArgument(inv, drive, fileMB, sizeBytes, files, yes);
  {
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
  return Formatted(inv, name, r);
}
