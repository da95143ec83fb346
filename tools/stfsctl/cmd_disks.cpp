// stfsctl disks, lock, unlock, delete and repair: the record disks as QVFS_Init finds them, and
// the index maintenance operations on searched records.
#include <cstdio>
#include <cstring>
#include <vector>

#include "api/context.h"
#include "api/shared_records.h"
#include "commands.h"
#include "json.h"
#include "platform/drive_table.h"
#include "qvfs/qvfs.h"
#include "record/record_writer.h"

namespace {

constexpr int kChannels = 32;
constexpr int kMaxRecords = 65536;

const char* StateName(int state) { return state == 0 ? "record disk" : "no record area"; }

// Lock, unlock or delete record K of the same search `stfsctl search` with these filters
// prints. A locked record is deleted only with --force.
int RecordOperation(Invocation& inv, const char* name, int (*op)(RecordItem*)) {
  const bool deleting = std::strcmp(name, "delete") == 0;
  int64_t k = -1;
  bool force = false;
  SearchFilter filter;
  int status = -1;
  std::string v;
  for (size_t i = 0; i < inv.args.size(); ++i) {
    if (inv.args[i] == "--help") {
      printf("usage: stfsctl [GLOBAL OPTIONS] %s --record K %s%s\n"
             "K: the position of the record in the list `stfsctl search` prints with the same\n"
             "filters (\"record\" in its JSON output).%s\n",
             name, kSearchFilterUsage, deleting ? " [--force]" : "",
             deleting ? " A locked record is deleted only with --force." : "");
      return kExitOk;
    }
    if (TakeValue(inv.args, i, "--record", &v)) {
      if (!ParseMask(v, &k) || k < 0) return UsageError(name, "--record takes a position");
    } else if (deleting && inv.args[i] == "--force") {
      force = true;
    } else if (TakeSearchFilter(inv.args, i, &filter, name, &status)) {
      if (status >= 0) return status;
    } else {
      return UsageError(name, "unknown argument '" + inv.args[i] + "'");
    }
  }
  if (k < 0) return UsageError(name, "--record K is required");
  if ((status = CheckTimeRange(name, filter.from, filter.to)) >= 0) return status;
  InitLibraryQuiet();
  std::vector<_rec_file_info_> found;
  const int n = SearchPlayList(filter, &found);
  if (n < 0) return Fail(inv.global, n, LastDiagnostic());
  if (k >= n) return Fail(inv.global, -5002, "no record " + std::to_string(k) + " (" +
                                                 std::to_string(n) + " found)");
  const _rec_file_info_ chosen = found[static_cast<size_t>(k)];
  const std::string what = "record " + std::to_string(k) + " (CH" +
                           (chosen.channel < 10 ? "0" : "") + std::to_string(chosen.channel) +
                           " file " + std::to_string(chosen.fileIndex) + " segment " +
                           std::to_string(chosen.segmentNo) + ")";
  // The library deletes what it is told to, locked or not: the tool protects the operator.
  if (deleting && (chosen.state & 0x02) && !force)
    return Fail(inv.global, -1, what + " is locked: unlock it first, or add --force");
  // A drive attached read-only takes no index change: said as such, before the library tries.
  std::vector<DiskInfo> disks(64);
  const int listed = QVFS_GetDiskInfo(disks.data(), static_cast<int>(disks.size() * sizeof disks[0]));
  for (int d = 0; d < listed; ++d) {
    if (disks[static_cast<size_t>(d)].position != chosen.diskNo) continue;
    const std::string drive = disks[static_cast<size_t>(d)].devicePath;
    platform::DriveEntry e;
    const bool readOnly = platform::Drives().AllReadOnly() ||
                          (platform::Drives().Get(platform::DriveNumberOf(drive), &e) && e.readOnly);
    if (readOnly)
      return Fail(inv.global, -2006, drive + " is attached read-only: " + name + " changes its index");
  }
  RecordItem item{};
  FillRecordItem(&item, chosen);
  const int r = op(&item);
  if (r < 0) return Fail(inv.global, r, r == -111 ? what + " is being written"
                                                  : LastDiagnostic());
  if (inv.global.json) {
    JsonWriter w;
    w.BeginObject().Field("result", r).EndObject();
    PrintJson(w.str());
  } else {
    printf("%s %s: done\n", name, what.c_str());
  }
  return kExitOk;
}

}  // namespace

int CmdDisks(Invocation& inv) {
  for (const std::string& a : inv.args) {
    if (a == "--help") {
      printf("usage: stfsctl [GLOBAL OPTIONS] disks\n"
             "Scans the drives (QVFS_Init) and lists the disks found.\n");
      return kExitOk;
    }
    return UsageError("disks", "unknown argument '" + a + "'");
  }
  InitLibraryQuiet();
  std::vector<DiskInfo> info(64);
  const int n = QVFS_GetDiskInfo(info.data(), static_cast<int>(info.size() * sizeof info[0]));
  if (inv.global.json) {
    JsonWriter w;
    w.BeginObject().BeginArray("disks");
    for (int i = 0; i < n; ++i) {
      const DiskInfo& d = info[static_cast<size_t>(i)];
      w.BeginObject()
          .Field("position", d.position)
          .Field("name", std::string(d.devicePath))
          .Field("text", std::string(d.deviceText))
          .Field("state", d.state)
          .Field("capacity_mb", d.capacityMB)
          .Field("total_mb", d.totalMB)
          .Field("free_mb", d.freeMB)
          .EndObject();
    }
    w.EndArray().EndObject();
    PrintJson(w.str());
    return kExitOk;
  }
  printf("%d disk%s\n", n, n == 1 ? "" : "s");
  for (int i = 0; i < n; ++i) {
    const DiskInfo& d = info[static_cast<size_t>(i)];
    printf("%2d  %-22s %-24s %-15s capacity %7d MiB  record %7d MiB  free %7d MiB\n",
           d.position, d.devicePath, d.deviceText, StateName(d.state), d.capacityMB, d.totalMB,
           d.freeMB);
  }
  return kExitOk;
}

int CmdLock(Invocation& inv) { return RecordOperation(inv, "lock", QVFS_LockRecord); }
int CmdUnlock(Invocation& inv) { return RecordOperation(inv, "unlock", QVFS_UnlockRecord); }
int CmdDelete(Invocation& inv) { return RecordOperation(inv, "delete", QVFS_DeleteRecord); }

int CmdRepair(Invocation& inv) {
  std::string drive;
  for (const std::string& a : inv.args) {
    if (a == "--help") {
      printf("usage: stfsctl [GLOBAL OPTIONS] repair DRIVE\n"
             "Repairs the record files of DRIVE that a power loss left open.\n");
      return kExitOk;
    }
    if (!drive.empty()) return UsageError("repair", "one DRIVE only");
    drive = a;
  }
  if (drive.empty()) return UsageError("repair", "DRIVE is required");
  std::string name, error;
  if (!ResolveDrive(drive, inv.global, &name, &error)) return Fail(inv.global, -2010, error);
  // A scan that only opens the indexes (QVFS_Init would repair on its own): the repair list is
  // then this command's to work through and report.
  QVFS_ScanDisksForSearch(kChannels);
  qvfs::Context& ctx = qvfs::Context::Current();
  DiskIndexRef index = ctx.diskWatch().IndexSet(0).Find(name);
  if (!index) index = ctx.diskWatch().IndexSet(1).Find(name);
  if (!index) return Fail(inv.global, -5002, name + " holds no record index");
  std::vector<int> waiting;
  {
    CAutoLock g(&index->lock());
    for (const _rec_file_info_& r : index->repairList) waiting.push_back(r.fileIndex);
  }
  std::vector<int> repaired, failed;
  index->Repair([&](const _rec_file_info_& r, uint32_t* dataEnd, int64_t* endMs) {
    CRecordWriter writer(r.channel);
    const int rc = writer.RepairFile(index->path, static_cast<uint32_t>(r.fileIndex),
                                     index->recordFileBytes, r.startMs, 0, dataEnd, endMs);
    (rc == 0 ? repaired : failed).push_back(r.fileIndex);
    return rc;
  });
  if (inv.global.json) {
    JsonWriter w;
    w.BeginObject().BeginArray("repaired");
    for (int f : repaired) w.Field(nullptr, f);
    w.EndArray().BeginArray("failed");
    for (int f : failed) w.Field(nullptr, f);
    w.EndArray().EndObject();
    PrintJson(w.str());
  } else {
    printf("%zu record file%s left open: %zu repaired, %zu failed\n", waiting.size(),
           waiting.size() == 1 ? "" : "s", repaired.size(), failed.size());
  }
  return kExitOk;
}
