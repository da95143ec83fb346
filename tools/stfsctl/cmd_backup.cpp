// stfsctl backup and export: recordings copied out of the record disks into ordinary files,
// each with its SHA-256 printed and listed in DIR/SHA256SUMS (the format `sha256sum -c` reads).
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <vector>

#include "api/context.h"
#include "backup/backup_engine.h"
#include "commands.h"
#include "index/record_search.h"
#include "json.h"
#include "platform/clock.h"
#include "progress.h"
#include "qvfs/qvfs.h"
#include "backup_run.h"
#include "sha256.h"

namespace {
constexpr int kMaxRecords = 65536;
}  // namespace


int CmdBackup(Invocation& inv) {
  std::string type = "asf", out, report, v;
  int64_t from = 0, to = UINT32_MAX;
  uint32_t channels = 0xFFFFFFFFu;
  std::vector<int64_t> picks;
  bool rfc3551 = false;
  for (size_t i = 0; i < inv.args.size(); ++i) {
    if (inv.args[i] == "--help") {
      printf("usage: stfsctl [GLOBAL OPTIONS] backup --type asf|mp4|bin --out DIR [--from T]\n"
             "                [--to T] [--channels LIST] [--record K ...]\n"
             "                [--g726-packing asf|rfc3551] [--report RDIR]\n"
             "Backs up the recordings the search finds (or records K of the `search` list) into\n"
             "DIR, one file per recording, and lists each file's SHA-256 in DIR/SHA256SUMS.\n"
             "--report adds the files to the export list of the report folder RDIR.\n"
             "MP4 files take the recorder's G.726 audio (16 kbit/s, 8000 Hz mono) as AAC; its\n"
             "bit packing is the one the recorder's ASF audio stream declares (asf, the default)\n"
             "or RFC 3551's (first code word in the bottom bits).\n"
             "TIME: YYYY-MM-DDTHH:MM:SS in local time, or @SECONDS since 1970 UTC.\n");
      return kExitOk;
    }
    if (TakeValue(inv.args, i, "--type", &v)) {
      if (v != "asf" && v != "mp4" && v != "bin") return UsageError("backup", "--type is asf, mp4 or bin");
      type = v;
    } else if (TakeValue(inv.args, i, "--out", &v)) {
      out = v;
    } else if (TakeValue(inv.args, i, "--report", &v)) {
      report = v;
    } else if (TakeValue(inv.args, i, "--g726-packing", &v)) {
      if (v != "asf" && v != "rfc3551") return UsageError("backup", "--g726-packing is asf or rfc3551");
      rfc3551 = v == "rfc3551";
    } else if (TakeValue(inv.args, i, "--from", &v)) {
      if (!ParseTime(v, &from)) return UsageError("backup", "--from takes a TIME");
    } else if (TakeValue(inv.args, i, "--to", &v)) {
      if (!ParseTime(v, &to)) return UsageError("backup", "--to takes a TIME");
    } else if (TakeValue(inv.args, i, "--channels", &v)) {
      if (!ParseChannelList(v, &channels)) return UsageError("backup", "--channels takes a LIST");
    } else if (TakeValue(inv.args, i, "--record", &v)) {
      int64_t k;
      if (!ParseMask(v, &k) || k < 0) return UsageError("backup", "--record takes a position");
      picks.push_back(k);
    } else {
      return UsageError("backup", "unknown argument '" + inv.args[i] + "'");
    }
  }
  if (out.empty()) return UsageError("backup", "--out DIR is required");
  if (!report.empty())
    if (int status = CheckOutputFolder("backup", report); status >= 0) return status;
  if (int status = CheckOutputFolder("backup", out); status >= 0) return status;
  if (int status = CheckTimeRange("backup", from, to); status >= 0) return status;
  const int typeCode = type == "mp4" ? kBackupMp4 : type == "bin" ? kBackupBin : kBackupAsf;

  InitLibraryQuiet();
  std::vector<_rec_file_info_> found(kMaxRecords);
  const int n = QVFS_SearchPlayList(found.data(), static_cast<int>(found.size() * sizeof found[0]),
                                    picks.empty() ? from : 0, picks.empty() ? to : UINT32_MAX,
                                    static_cast<int32_t>(picks.empty() ? channels : 0xFFFFFFFFu),
                                    0, 0, 0, 1);
  if (n < 0) return Fail(inv.global, n, LastDiagnostic());
  found.resize(static_cast<size_t>(n));
  std::vector<_rec_file_info_> list;
  if (picks.empty()) {
    list = MergeSegmentRuns(found);  // a recording's segment records: one file
  } else {
    for (int64_t k : picks) {
      if (k >= n) return Fail(inv.global, -5002, "no record " + std::to_string(k) + " (" +
                                                     std::to_string(n) + " found)");
      list.push_back(found[static_cast<size_t>(k)]);
    }
  }
  if (list.empty()) return Fail(inv.global, -4002, "no recording to back up");

  QVFS_BackupAudioParm(0, 8000, 2 | (rfc3551 ? 256 : 0), 1);
  BackupRun run;
  if (int status = RunBackup(inv, list, typeCode, out, &run); status >= 0) return status;
  if (!report.empty() && !AddToReport(report, "backup", run.files))
    return Fail(inv.global, -1003, "cannot write the export list of " + report);
  return PrintWritten(inv, run.files, run.result, run.failed);
}

int CmdExport(Invocation& inv) {
  std::string drive, out, v;
  int64_t fileIndex = -1;
  for (size_t i = 0; i < inv.args.size(); ++i) {
    const std::string& a = inv.args[i];
    if (a == "--help") {
      printf("usage: stfsctl [GLOBAL OPTIONS] export DRIVE --file-index I --out FILE\n"
             "Copies record file I of DRIVE as it is into FILE and lists its SHA-256 in the\n"
             "folder's SHA256SUMS.\n");
      return kExitOk;
    }
    if (TakeValue(inv.args, i, "--file-index", &v)) {
      if (!ParseMask(v, &fileIndex) || fileIndex < 0) return UsageError("export", "--file-index takes a number");
    } else if (TakeValue(inv.args, i, "--out", &v)) {
      out = v;
    } else if (!a.empty() && a[0] == '-') {
      return UsageError("export", "unknown option '" + a + "'");
    } else if (drive.empty()) {
      drive = a;
    } else {
      return UsageError("export", "expects one DRIVE");
    }
  }
  if (drive.empty() || fileIndex < 0 || out.empty())
    return UsageError("export", "needs DRIVE, --file-index I and --out FILE");
  struct stat st {};
  if (stat(out.c_str(), &st) == 0) return Fail(inv.global, -105, out + " exists: not overwritten");
  std::string name, error;
  if (!ResolveDrive(drive, inv.global, &name, &error)) return Fail(inv.global, -2010, error);
  InitLibraryQuiet();
  if (int status = CheckFileIndex("export", name, fileIndex); status >= 0) return status;
  const uint32_t bytes = qvfs::Context::Current().diskWatch().RecordFileBytes();
  const int r = QVFS_ExportRecordFile(name.c_str(), static_cast<int>(fileIndex),
                                      static_cast<int>(bytes), out.c_str());
  if (r < 0) return Fail(inv.global, r, "the export failed: " + LastDiagnostic());
  const size_t slash = out.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : out.substr(0, slash);
  std::vector<Written> files = {{out, FileSize(out), Sha256OfFile(out), 0}};
  if (!UpdateManifest(dir, files)) return Fail(inv.global, -1003, "cannot write " + dir + "/SHA256SUMS");
  if (inv.global.json) {
    JsonWriter w;
    w.BeginObject().Field("path", out).Field("size", static_cast<int64_t>(files[0].size))
        .Field("sha256", files[0].sha256).EndObject();
    PrintJson(w.str());
    return kExitOk;
  }
  return PrintWritten(inv, files, 0);
}

int CmdToMp4(Invocation& inv) {
  std::vector<std::string> paths;
  for (const std::string& a : inv.args) {
    if (a == "--help") {
      printf("usage: stfsctl [GLOBAL OPTIONS] tomp4 SRC DST\n"
             "Converts a record file held as an ordinary file (an export, a .bin backup) into\n"
             "an MP4 file and lists its SHA-256 in the folder's SHA256SUMS.\n");
      return kExitOk;
    }
    if (!a.empty() && a[0] == '-') return UsageError("tomp4", "unknown option '" + a + "'");
    paths.push_back(a);
  }
  if (paths.size() != 2) return UsageError("tomp4", "expects SRC and DST");
  if (int status = CheckInputFile("tomp4", paths[0]); status >= 0) return status;
  const std::string& dst = paths[1];
  struct stat st {};
  if (stat(dst.c_str(), &st) == 0) return Fail(inv.global, -105, dst + " exists: not overwritten");
  const int r = QVFS_BackupComFileToMP4(paths[0].c_str(), dst.c_str());
  if (r != 0) {
    std::remove(dst.c_str());  // a file that is not a whole MP4 is not left behind
    return Fail(inv.global, r, "the conversion failed: " + LastDiagnostic());
  }
  const size_t slash = dst.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : dst.substr(0, slash);
  std::vector<Written> files = {{dst, FileSize(dst), Sha256OfFile(dst), 0}};
  if (!UpdateManifest(dir, files)) return Fail(inv.global, -1003, "cannot write " + dir + "/SHA256SUMS");
  if (inv.global.json) {
    JsonWriter w;
    w.BeginObject().Field("path", dst).Field("size", static_cast<int64_t>(files[0].size))
        .Field("sha256", files[0].sha256).EndObject();
    PrintJson(w.str());
    return kExitOk;
  }
  return PrintWritten(inv, files, 0);
}
