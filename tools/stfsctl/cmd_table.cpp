// stfsctl table DRIVE: the partition table and the STFS table of a disk.
#include <cstdio>

#include "commands.h"
#include "device/dev_registry.h"
#include "disklayout/disk_table.h"
#include "json.h"

int CmdTable(Invocation& inv) {
  if (inv.args.size() == 1 && inv.args[0] == "--help") {
    printf("usage: stfsctl [GLOBAL OPTIONS] table DRIVE\n"
           "Reads the partition table (MBR or GPT) and the STFS table of DRIVE.\n");
    return kExitOk;
  }
  if (inv.args.size() != 1) return UsageError("table", "expects one DRIVE");
  std::string name, error;
  if (!ResolveDrive(inv.args[0], inv.global, &name, &error)) return Fail(inv.global, -2010, error);
  CDisk_Dev* dev = CDevFlyWeightFactory::getSingleton()->CreateScsiDev(name.c_str(), false);
  if (!dev) return Fail(inv.global, -2010, "cannot open " + name + ": " + LastDiagnostic());

  CDiskTable table;
  int r = table.Init(dev);
  // A disk with partitions but without a valid STFS table (-5000) is shown with "stfs": false;
  // any other failure (no partition table, a read error) is the command's failure.
  if (r != 0 && (r != -5000 || table.GetPartCount() == 0))
    return Fail(inv.global, r, LastDiagnostic());

  int count = table.GetPartCount();
  if (inv.global.json) {
    JsonWriter w;
    w.BeginObject().Field("drive", name).Field("gpt", table.IsGpt()).BeginArray("partitions");
    for (int i = 0; i < count; ++i)
      w.BeginObject()
          .Field("start_lba", table.GetPartStart(i))
          .Field("size", table.GetPartSize(i))
          .EndObject();
    w.EndArray().Field("stfs", table.IsStfs());
    if (table.IsStfs()) {
      w.Field("table_lba", table.GetTableLba())
          .Field("first_record_lba", table.GetFirstRecordLba())
          .Field("record_file_sectors", table.GetRecordFileSectors())
          .Field("index_lba", table.GetIndexLba());
    }
    w.Field("sector_size", dev->get_sec_size()).Field("capacity", dev->get_capacity());
    w.EndObject();
    PrintJson(w.str());
    return kExitOk;
  }
  printf("%s: %s, %d partition%s, sector size %u, last LBA %llu\n", name.c_str(),
         table.IsGpt() ? "GPT" : "MBR", count, count == 1 ? "" : "s", dev->get_sec_size(),
         static_cast<unsigned long long>(dev->get_capacity()));
  for (int i = 0; i < count; ++i)
    printf("  partition %d: start LBA %llu, size %llu sectors\n", i,
           static_cast<unsigned long long>(table.GetPartStart(i)),
           static_cast<unsigned long long>(table.GetPartSize(i)));
  if (table.IsStfs()) {
    printf("STFS table at LBA %llu: first record file at LBA %llu, %u sectors per record file, "
           "index at LBA %llu\n",
           static_cast<unsigned long long>(table.GetTableLba()),
           static_cast<unsigned long long>(table.GetFirstRecordLba()),
           table.GetRecordFileSectors(), static_cast<unsigned long long>(table.GetIndexLba()));
  } else {
    printf("No STFS table: not a record disk.\n");
  }
  return kExitOk;
}
