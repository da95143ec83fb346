// stfsctl: the command-line tool of the record file system library.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "json.h"
#include "platform/platform_context.h"
#include "qvfs/qvfs.h"

// The build gives the project's version (CMakeLists.txt).
#ifndef QVFS_VERSION
#error "QVFS_VERSION is not defined"
#endif

namespace {

struct CommandEntry {
  const char* name;
  int (*run)(Invocation&);
  const char* summary;
};

const CommandEntry kCommands[] = {
    {"drives", &CmdDrives, "the drive table"},
    {"table", &CmdTable, "partition and STFS tables of DRIVE"},
    {"mkimage", &CmdMkimage, "create a sparse disk image: mkimage PATH --size SIZE"},
    {"format", &CmdFormat, "make a record disk: format DRIVE --file-mb N [--common-mb N] [--yes]"},
    {"index", &CmdIndex, "the record index of DRIVE"},
    {"search", &CmdSearch, "the play-list search: [--from T] [--to T] [--channels LIST] ..."},
    {"history", &CmdHistory, "merged spans of one channel: --channel C [--from T] [--to T]"},
    {"days", &CmdDays, "days of a month with recordings: --year Y --month M [--types MASK]"},
    {"frames", &CmdFrames, "one record file: (FILE | DRIVE --file-index I) [--mode M] [--speed N]"},
    {"disks", &CmdDisks, "scan (QVFS_Init) and list the disks"},
    {"record", &CmdRecord, "simulated recorder: --channels LIST --input H264 --span START+DUR[:TYPE]"},
    {"lock", &CmdLock, "lock a searched record: --record K"},
    {"unlock", &CmdUnlock, "unlock a searched record: --record K"},
    {"delete", &CmdDelete, "delete a searched record: --record K"},
    {"repair", &CmdRepair, "repair the record files of DRIVE left open"},
    {"backup", &CmdBackup, "back up recordings: --type asf|mp4|bin --out DIR [--from T] [--to T] ..."},
    {"recover", &CmdRecover, "recordings the index no longer shows: DRIVE [--out DIR --type T] ..."},
    {"report", &CmdReport, "examination report (JSON and HTML) of a record disk: DRIVE --out DIR"},
    {"export", &CmdExport, "copy one record file as it is: DRIVE --file-index I --out FILE"},
    {"tomp4", &CmdToMp4, "convert a record file held as an ordinary file into MP4: SRC DST"},
    {"play", &CmdPlay, "replay a channel: --channel C --from A [--to B] [--mode M] [--decode] ..."},
};

void PrintHelp() {
  printf(
      "usage: stfsctl [GLOBAL OPTIONS] COMMAND [ARGS]\n\n"
      "Global options:\n"
      "  --image PATH        attach a disk image as the next drive (repeatable)\n"
      "  --sector-size N     sector size of the images attached after it (default 512)\n"
      "  --folder PATH       use a folder that holds recordIdx.bin as a volume disk\n"
      "  --no-system-disks   leave the machine's own disks out of the drive table\n"
      "  --read-only         attach every image and device read-only\n"
      "  --json              print one JSON document on stdout\n"
      "  -v, --verbose       show the library's diagnostic messages on stderr\n"
      "  --version           print the version and exit\n"
      "  -h, --help          print this help and exit\n\n"
      "Commands:\n");
  for (const CommandEntry& c : kCommands) printf("  %-10s %s\n", c.name, c.summary);
  printf("\nDRIVE: a drive number, \"\\\\.\\PhysicalDriveN\", or the path of an image.\n"
         "Exit status: 0 success, 1 the operation failed, 2 bad usage.\n"
         "'stfsctl COMMAND --help' describes a command; 'man stfsctl' describes them all.\n");
}

// `stfsctl --version`: "stfsctl VERSION", or {"version":"VERSION"} with --json.
int PrintVersion(const GlobalOptions& g) {
  if (g.json) {
    JsonWriter w;
    w.BeginObject().Field("version", std::string(QVFS_VERSION)).EndObject();
    PrintJson(w.str());
  } else {
    printf("stfsctl %s\n", QVFS_VERSION);
  }
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  GlobalOptions g;
  std::vector<std::pair<std::string, int>> images;  // path, sector size
  bool version = false;
  size_t i = 0;
  for (; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::string value;
    if (a == "--help" || a == "-h") {
      PrintHelp();
      return kExitOk;
    } else if (a == "--version") {
      version = true;  // answered once the options are read: --json may follow
    } else if (TakeValue(args, i, "--image", &value)) {
      images.emplace_back(value, g.sectorSize);
    } else if (TakeValue(args, i, "--sector-size", &value)) {
      g.sectorSize = atoi(value.c_str());
      if (g.sectorSize < 512 || (g.sectorSize & (g.sectorSize - 1)))
        return UsageError("", "--sector-size takes a power of two of at least 512");
    } else if (TakeValue(args, i, "--folder", &value)) {
      g.folders.push_back(value);
    } else if (a == "--no-system-disks") {
      g.noSystemDisks = true;
    } else if (a == "--read-only") {
      g.readOnly = true;
    } else if (a == "--json") {
      g.json = true;
    } else if (a == "-v" || a == "--verbose") {
      g.verbose = true;
    } else if (a == "--image" || a == "--sector-size" || a == "--folder") {
      return UsageError("", a + " needs a value");
    } else if (!a.empty() && a[0] == '-') {
      return UsageError("", "unknown option '" + a + "'");
    } else {
      break;
    }
  }
  if (version) {
    if (i < args.size()) return UsageError("", "--version takes no command");
    return PrintVersion(g);
  }
  if (i >= args.size()) return UsageError("", "no command given");

  InstallMessageSink(g.verbose, g.json);
  if (g.noSystemDisks) QVFS_UseSystemDisks(0);
  if (g.readOnly) platform::Drives().SetAllReadOnly(true);
  for (const auto& img : images) {
    int n = QVFS_AttachImage(img.first.c_str(), g.readOnly ? 1 : 0, img.second);
    if (n < 0) return Fail(g, -2010, "cannot attach image " + img.first);
  }
  for (const std::string& f : g.folders) {
    if (QVFS_AddVolume(f.c_str(), g.readOnly ? 1 : 0) != 0)
      return Fail(g, -2010, f + " is not a folder");
  }

  const std::string command = args[i];
  Invocation inv{g, std::vector<std::string>(args.begin() + i + 1, args.end())};
  for (const CommandEntry& c : kCommands)
    if (command == c.name) return c.run(inv);
  return UsageError("", "unknown command '" + command + "'");
}
