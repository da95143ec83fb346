// stfsctl recover: the recordings the index no longer shows (deleted entries and segments, the
// tails of recycled files, free files that still hold frames, files whose entry is damaged),
// found by the recovery scan and listed as pieces; with --out each piece is backed up through
// the backup engine, as recordings are. The drive is attached read-only: nothing is written.
#include <cstdio>
#include <vector>

#include "backup_run.h"
#include "commands.h"
#include "json.h"
#include "platform/platform_context.h"
#include "progress.h"
#include "qvfs/qvfs.h"

namespace {

constexpr int kBackupAsf = 0, kBackupMp4 = 1, kBackupBin = 2;
constexpr int kMaxPieces = 1 << 16;

struct RecoverOptions {
  std::string drive, out, report, type = "mp4";
  uint32_t channels = 0xFFFFFFFFu;
  int64_t from = 0, to = UINT32_MAX;
};

int ParseRecover(Invocation& inv, RecoverOptions* o) {
  std::string v;
  for (size_t i = 0; i < inv.args.size(); ++i) {
    const std::string& a = inv.args[i];
    if (a == "--help") {
      printf("usage: stfsctl [GLOBAL OPTIONS] recover DRIVE [--out DIR [--type mp4|asf|bin]]\n"
             "                [--report RDIR] [--channels LIST] [--from T] [--to T]\n"
             "Scans the data area of every record file of DRIVE for frames that no index entry\n"
             "or segment record covers: deleted recordings, the tails of recycled files, free\n"
             "files that still hold frames and files whose entry is damaged. Lists them as\n"
             "pieces (one channel, ascending time, from a key frame on; a gap over 2 s begins a\n"
             "new piece). With --out DIR each piece is backed up into DIR (mp4 by default) and\n"
             "listed in DIR/SHA256SUMS; --report adds them to the export list of the report\n"
             "folder RDIR. DRIVE is attached read-only: nothing is written to it.\n");
      return kExitOk;
    }
    if (TakeValue(inv.args, i, "--out", &v)) {
      o->out = v;
    } else if (TakeValue(inv.args, i, "--report", &v)) {
      o->report = v;
    } else if (TakeValue(inv.args, i, "--type", &v)) {
      if (v != "mp4" && v != "asf" && v != "bin") return UsageError("recover", "--type is mp4, asf or bin");
      o->type = v;
    } else if (TakeValue(inv.args, i, "--channels", &v)) {
      if (!ParseChannelList(v, &o->channels)) return UsageError("recover", "--channels takes a LIST");
    } else if (TakeValue(inv.args, i, "--from", &v)) {
      if (!ParseTime(v, &o->from)) return UsageError("recover", "--from takes a TIME");
    } else if (TakeValue(inv.args, i, "--to", &v)) {
      if (!ParseTime(v, &o->to)) return UsageError("recover", "--to takes a TIME");
    } else if (!a.empty() && a[0] == '-') {
      return UsageError("recover", "unknown option '" + a + "'");
    } else if (o->drive.empty()) {
      o->drive = a;
    } else {
      return UsageError("recover", "expects one DRIVE");
    }
  }
  if (o->drive.empty()) return UsageError("recover", "DRIVE is required");
  if (!o->out.empty())
    if (int status = CheckOutputFolder("recover", o->out); status >= 0) return status;
  if (!o->report.empty()) {
    if (o->out.empty()) return UsageError("recover", "--report needs --out DIR");
    if (int status = CheckOutputFolder("recover", o->report); status >= 0) return status;
  }
  return CheckTimeRange("recover", o->from, o->to);
}

void Progress(uint64_t done, uint64_t total, void*) { ReportToolProgress("recover", done, total); }

void PieceFields(JsonWriter& w, const RecoveredPiece& p) {
  w.BeginObject()
      .Field("file_index", p.fileIndex)
      .Field("channel", p.channel)
      .Field("start_ms", p.startMs)
      .Field("end_ms", p.endMs)
      .Field("frames", static_cast<int64_t>(p.frames))
      .Field("key_frames", static_cast<int64_t>(p.keyFrames))
      .Field("bytes", static_cast<int64_t>(p.bytes))
      .Field("reason", ReasonText(p.reason))
      .EndObject();
}

}  // namespace

std::string ReasonText(int reason) {
  switch (reason) {
    case 1: return "deleted";
    case 2: return "recycled-tail";
    case 3: return "free-file";
    case 4: return "unindexed";
    default: return "unknown";
  }
}

int CmdRecover(Invocation& inv) {
  RecoverOptions o;
  if (int usage = ParseRecover(inv, &o); usage >= 0) return usage;
  std::string name, error;
  if (!ResolveDrive(o.drive, inv.global, &name, &error)) return Fail(inv.global, -2010, error);
  // Evidence is only read: every drive is attached read-only before the library opens it.
  platform::Drives().SetAllReadOnly(true);
  InitLibraryQuiet();
  InstallProgressBar(inv.global.json);
  std::vector<RecoveredPiece> pieces(kMaxPieces);
  const int n = QVFS_RecoverScan(name.c_str(), pieces.data(),
                                 static_cast<int>(pieces.size() * sizeof pieces[0]), o.channels,
                                 o.from, o.to, &Progress, nullptr);
  FinishProgressBar();
  if (n == -5002) return Fail(inv.global, n, o.drive + " is not a record disk");
  if (n < 0) return Fail(inv.global, n, "the recovery scan failed: " + LastDiagnostic());
  pieces.resize(static_cast<size_t>(std::min(n, kMaxPieces)));

  BackupRun run;
  if (!o.out.empty() && !pieces.empty()) {
    std::vector<_rec_file_info_> list(pieces.size());
    for (size_t i = 0; i < pieces.size(); ++i) QVFS_RecoveredRecord(&pieces[i], &list[i]);
    const int type = o.type == "mp4" ? kBackupMp4 : o.type == "bin" ? kBackupBin : kBackupAsf;
    QVFS_BackupAudioParm(0, 8000, 2, 1);
    if (int status = RunBackup(inv, list, type, o.out, &run); status >= 0) return status;
    if (!o.report.empty() && !AddToReport(o.report, "recover", run.files))
      return Fail(inv.global, -1003, "cannot write the export list of " + o.report);
  }
  if (inv.global.json) {
    JsonWriter w;
    w.BeginObject().BeginArray("pieces");
    for (const RecoveredPiece& p : pieces) PieceFields(w, p);
    w.EndArray();
    if (!o.out.empty()) {
      w.BeginArray("files");
      for (const Written& f : run.files)
        w.BeginObject().Field("path", f.path).Field("size", static_cast<int64_t>(f.size))
            .Field("sha256", f.sha256).Field("result", f.result).EndObject();
      w.EndArray().Field("result", run.result);
      if (run.result != 0)
        w.BeginObject("error").Field("code", run.result)
            .Field("message", std::to_string(run.failed.size()) + " piece(s) were not backed up")
            .EndObject();
    }
    w.EndObject();
    PrintJson(w.str());
  } else {
    for (const RecoveredPiece& p : pieces)
      printf("  file %5d  CH%02d  %s -- %s  %6u frames (%u key)  %10llu bytes  %s\n", p.fileIndex,
             p.channel, FormatTime(p.startMs).c_str(), FormatTime(p.endMs).c_str(), p.frames,
             p.keyFrames, static_cast<unsigned long long>(p.bytes), ReasonText(p.reason).c_str());
    printf(pieces.empty() ? "nothing to recover\n" : "%zu piece%s\n", pieces.size(),
           pieces.size() == 1 ? "" : "s");
    if (!o.out.empty()) return PrintWritten(inv, run.files, run.result, run.failed);
  }
  return run.result == 0 ? kExitOk : kExitFailed;
}
