#include "backup_run.h"

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>

#include "api/context.h"
#include "backup/backup_engine.h"
#include "json.h"
#include "platform/clock.h"
#include "progress.h"
#include "qvfs/qvfs.h"
#include "report.h"
#include "sha256.h"

namespace {
constexpr uint32_t kPollMs = 100;
}  // namespace



uint64_t FileSize(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}


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
                 const std::vector<FailedRecord>& failed) {
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


int RunBackup(const Invocation& inv, std::vector<_rec_file_info_> list, int typeCode,
              const std::string& out, BackupRun* run) {
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

  std::vector<Written>& files = run->files;
  std::vector<Written> whole;
  int& result = run->result;
  for (const BackupEngine::Output& o : engine.Outputs()) {
    files.push_back({o.path, FileSize(o.path), Sha256OfFile(o.path), o.result});
    if (o.result != 0) result = o.result;
    else whole.push_back(files.back());
  }
  std::vector<FailedRecord>& failed = run->failed;
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
  return -1;
}

bool AddToReport(const std::string& dir, const std::string& command,
                 const std::vector<Written>& files) {
  std::vector<ReportExport> list;
  for (const Written& f : files) {
    if (f.result != 0) continue;
    char real[PATH_MAX];
    ReportExport e;
    e.time = UtcNow();
    e.path = realpath(f.path.c_str(), real) ? real : f.path;
    e.size = f.size;
    e.sha256 = f.sha256;
    list.push_back(e);
  }
  return AppendExports(dir, command, list);
}
