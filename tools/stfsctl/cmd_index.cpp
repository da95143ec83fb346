// stfsctl index DRIVE: the record index of a record disk or folder disk.
#include <sys/stat.h>

#include <cstdio>

#include "commands.h"
#include "device/dev_registry.h"
#include "disklayout/disk_table.h"
#include "index/disk_index.h"
#include "json.h"

namespace {
bool IsFolder(const std::string& p) {
  struct stat st {};
  return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Opens the index of a drive or folder; 0 or the failure's code with a message.
int OpenIndex(const std::string& arg, const GlobalOptions& g, DiskIndex* index,
              std::string* error) {
  if (IsFolder(arg)) {
    int r = index->Open(0, arg, 0, true);
    if (r != 0) *error = "cannot open the index of " + arg + ": " + LastDiagnostic();
    return r;
  }
  std::string name;
  if (!ResolveDrive(arg, g, &name, error)) return -2010;
  CDisk_Dev* dev = CDevFlyWeightFactory::getSingleton()->CreateScsiDev(name.c_str(), false);
  if (!dev) {
    *error = "cannot open " + name + ": " + LastDiagnostic();
    return -2010;
  }
  CDiskTable table;
  int r = table.Init(dev);
  if (r != 0 || !table.IsStfs()) {
    *error = name + " is not a record disk";
    return r != 0 ? r : -5000;
  }
  r = index->Open(0, name, table.GetIndexLba(), true);
  if (r != 0) *error = "cannot open the index of " + name + ": " + LastDiagnostic();
  return r;
}
}  // namespace

int CmdIndex(Invocation& inv) {
  if (inv.args.size() == 1 && inv.args[0] == "--help") {
    printf("usage: stfsctl [GLOBAL OPTIONS] index DRIVE\n"
           "Opens the record index of DRIVE (a drive, an image or a folder disk) and lists its\n"
           "free files, the files that need repair and the recordings.\n");
    return kExitOk;
  }
  if (inv.args.size() != 1) return UsageError("index", "expects one DRIVE");
  DiskIndex index;
  std::string error;
  int r = OpenIndex(inv.args[0], inv.global, &index, &error);
  if (r != 0) return Fail(inv.global, r, error);

  CAutoLock g(&index.lock());
  if (inv.global.json) {
    JsonWriter w;
    w.BeginObject()
        .Field("file_count", index.recordFileCount)
        .Field("record_file_size", index.recordFileBytes)
        .Field("index_size", index.indexBytes)
        .BeginArray("free");
    for (uint32_t i : index.freeList) w.Field(nullptr, i);
    w.EndArray().BeginArray("repair");
    for (const _rec_file_info_& rec : index.repairList) w.Field(nullptr, rec.fileIndex);
    w.EndArray().Field("recordings", static_cast<uint64_t>(index.timeMap.size()));
    w.BeginArray("time_map");
    for (const auto& node : index.timeMap) {
      w.BeginObject()
          .Field("file_index", node.first.fileIndex)
          .Field("channel", static_cast<int>(node.second.channel))
          .Field("start_ms", node.second.startMs)
          .Field("end_ms", node.second.endMs)
          .Field("size", node.second.size)
          .Field("sn", node.second.sn)
          .EndObject();
    }
    w.EndArray().Field("next_sn", index.nextSn).Field("least_sn", index.leastSn).EndObject();
    PrintJson(w.str());
    return kExitOk;
  }
  printf("%u record files of %u bytes, index %u bytes\n", index.recordFileCount,
         index.recordFileBytes, index.indexBytes);
  printf("free: %zu, to repair: %zu, recordings: %zu, next SN %u, least SN %u\n",
         index.freeList.size(), index.repairList.size(), index.timeMap.size(), index.nextSn,
         index.leastSn);
  for (const _rec_file_info_& rec : index.repairList)
    printf("  repair: file %d CH%02d SN %u\n", rec.fileIndex, rec.channel, rec.sn);
  return kExitOk;
}
