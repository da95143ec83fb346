// stfsctl drives: the drive table.
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "json.h"
#include "qvfs/qvfs.h"

int CmdDrives(Invocation& inv) {
  if (!inv.args.empty()) {
    if (inv.args[0] == "--help") {
      printf("usage: stfsctl [GLOBAL OPTIONS] drives\n"
             "Lists the drive table: attached images first, then the machine's disks.\n");
      return kExitOk;
    }
    return UsageError("drives", "unexpected argument '" + inv.args[0] + "'");
  }
  JsonWriter w;
  w.BeginObject().BeginArray("drives");
  if (!inv.global.json)
    printf("%-3s %-20s %-8s %-6s %-4s %s\n", "#", "name", "MB", "sector", "ro", "path / text");
  for (int n = 0; n < 16; ++n) {
    QVFS_DriveInfo d;
    if (QVFS_GetDriveInfo(n, &d) != 0) continue;
    uint64_t mb = d.sectorSize ? ((d.capacity + 1) * d.sectorSize) >> 20 : 0;
    if (inv.global.json) {
      w.BeginObject()
          .Field("number", d.number)
          .Field("name", d.name)
          .Field("path", d.path)
          .Field("text", d.text)
          .Field("capacity_mb", mb)
          .Field("sector_size", d.sectorSize)
          .Field("read_only", d.readOnly != 0)
          .Field("system", d.systemDrive != 0)
          .Field("open_error", d.openError)
          .EndObject();
    } else {
      std::string note;
      if (d.systemDrive) note += " [system]";
      if (d.openError > 0) note += std::string(" [cannot open: ") + strerror(d.openError) + "]";
      else if (d.openError) note += " [cannot open]";
      printf("%-3d %-20s %-8llu %-6u %-4s %s (%s)%s\n", d.number, d.name,
             static_cast<unsigned long long>(mb), d.sectorSize, d.readOnly ? "yes" : "no", d.path,
             d.text, note.c_str());
    }
  }
  w.EndArray().EndObject();
  if (inv.global.json) PrintJson(w.str());
  return kExitOk;
}
