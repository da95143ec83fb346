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
#include "sha256.h"

namespace {

constexpr int kMaxRecords = 65536;
constexpr uint32_t kPollMs = 100;

struct Written {
  std::string path;
  uint64_t size = 0;
  std::string sha256;
  int result = 0;
};

uint64_t FileSize(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A record the backup could not write: where it stands in the list backed up, which record it
// is, and why.
struct FailedRecord {
  size_t record = 0;
  int channel = 0;
  int64_t startMs = 0, endMs = 0;
  int code = 0;
};

// A time as the search lists it (local time).
std::string FormatTime(int64_t ms) {
  const time_t seconds = static_cast<time_t>(ms / 1000);
  struct tm parts {};
  localtime_r(&seconds, &parts);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
  return text;
}

// Why a record gave no file, in words.
std::string BackupFailureText(int code) {
  switch (code) {
    case -99: return "the record holds no key frame to begin with, or the output cannot be made";
    case -1003: return "writing the output failed";
    case -1005: return "a bad sector where the record was read";
    case -2010: return "the backup was stopped";
    default: return "the record could not be read (code " + std::to_string(code) + ")";
  }
}

// Adds the files to DIR/SHA256SUMS (an entry for the same name is replaced).
bool UpdateManifest(const std::string& dir, const std::vector<Written>& files) {
  const std::string manifest = dir + "/SHA256SUMS";
  std::map<std::string, std::string> entries;
  std::vector<std::string> order;
  std::ifstream in(manifest);
  for (std::string line; std::getline(in, line);) {
    if (line.size() < 67) continue;
    const std::string name = line.substr(66);
    if (!entries.count(name)) order.push_back(name);
    entries[name] = line.substr(0, 64);
  }
  for (const Written& w : files) {
    const std::string name = BaseName(w.path);
    if (!entries.count(name)) order.push_back(name);
    entries[name] = w.sha256;
  }
  std::ofstream out(manifest, std::ios::trunc);
  for (const std::string& name : order) out << entries[name] << "  " << name << "\n";
  return static_cast<bool>(out);
}

int PrintWritten(const Invocation& inv, const std::vector<Written>& files, int result,
                 const std::vector<FailedRecord>& failed = {}) {
  if (inv.global.json) {
    JsonWriter w;
    w.BeginObject().BeginArray("files");
    for (const Written& f : files)
      w.BeginObject()
          .Field("path", f.path)
          .Field("size", static_cast<int64_t>(f.size))
          .Field("sha256", f.sha256)
          .Field("result", f.result)
          .EndObject();
    w.EndArray();
    if (!failed.empty()) {
      w.BeginArray("failed");
      for (const FailedRecord& f : failed)
        w.BeginObject()
            .Field("record", static_cast<int64_t>(f.record))
            .Field("channel", f.channel)
            .Field("start_ms", f.startMs)
            .Field("end_ms", f.endMs)
            .Field("code", f.code)
            .Field("message", BackupFailureText(f.code))
            .EndObject();
      w.EndArray();
    }
    w.Field("result", result);
    // A backup that did not complete carries the error object every failure has.
    if (result != 0) {
      const std::string message =
          failed.empty() ? std::string("the backup did not complete")
                         : std::to_string(failed.size()) + " record" +
                               (failed.size() == 1 ? " was" : "s were") +
                               " not backed up: " + BackupFailureText(failed[0].code);
      w.BeginObject("error").Field("code", result).Field("message", message).EndObject();
    }
    w.EndObject();
    PrintJson(w.str());
  } else {
    for (const Written& f : files)
      printf("%s  %s  (%llu bytes%s)\n", f.sha256.c_str(), f.path.c_str(),
             static_cast<unsigned long long>(f.size), f.result ? ", incomplete" : "");
    for (const FailedRecord& f : failed)
      fprintf(stderr, "stfsctl: record %zu (CH%02d from %s) was not backed up: %s (%d)\n",
              f.record, f.channel, FormatTime(f.startMs).c_str(),
              BackupFailureText(f.code).c_str(), f.code);
    if (result != 0 && failed.empty())
      fprintf(stderr, "stfsctl: the backup did not complete (code %d)\n", result);
  }
  return result == 0 ? kExitOk : kExitFailed;
}

}  // namespace

int CmdBackup(Invocation& inv) {
  std::string type = "asf", out, v;
  int64_t from = 0, to = UINT32_MAX;
  uint32_t channels = 0xFFFFFFFFu;
  std::vector<int64_t> picks;
  bool rfc3551 = false;
  for (size_t i = 0; i < inv.args.size(); ++i) {
    if (inv.args[i] == "--help") {
      printf("usage: stfsctl [GLOBAL OPTIONS] backup --type asf|mp4|bin --out DIR [--from T]\n"
             "                [--to T] [--channels LIST] [--record K ...]\n"
             "                [--g726-packing asf|rfc3551]\n"
             "Backs up the recordings the search finds (or records K of the `search` list) into\n"
             "DIR, one file per recording, and lists each file's SHA-256 in DIR/SHA256SUMS.\n"
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
  InstallProgressBar(inv.global.json);
  int r = QVFS_BackupSrcLstStart(list.data(), static_cast<int>(list.size()), typeCode, out.c_str());
  if (r != 0) {
    const char* why = r == -4000 ? "the destination folder does not exist"
                      : r == -4001 ? "not enough free space at the destination"
                      : r == -4002 ? "the recordings are empty"
                                   : "the backup did not start";
    return Fail(inv.global, r, std::string(why) + ": " + out);
  }
  BackupEngine& engine = qvfs::Context::Current().backup();
  while (engine.Running()) {
    ReportToolProgress("backup", static_cast<uint64_t>(QVFS_BackupGetProgress()), 100);
    platform::SleepMs(kPollMs);
  }
  engine.Wait();
  ReportToolProgress("backup", 100, 100);
  FinishProgressBar();

  std::vector<Written> files, whole;
  int result = 0;
  for (const BackupEngine::Output& o : engine.Outputs()) {
    files.push_back({o.path, FileSize(o.path), Sha256OfFile(o.path), o.result});
    if (o.result != 0) result = o.result;
    else whole.push_back(files.back());
  }
  std::vector<FailedRecord> failed;
  for (const BackupEngine::Failure& f : engine.Failures()) {
    if (f.record >= list.size()) continue;
    const _rec_file_info_& r = list[f.record];
    failed.push_back({f.record, r.channel, r.startMs, r.endMs, f.result});
    if (result == 0) result = f.result;
  }
  if (files.size() < list.size() && result == 0) result = -99;  // a record gave no file
  // The manifest lists only the files written whole.
  if (!whole.empty() && !UpdateManifest(out, whole))
    return Fail(inv.global, -1003, "cannot write " + out + "/SHA256SUMS");
  return PrintWritten(inv, files, result, failed);
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
