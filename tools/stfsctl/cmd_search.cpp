// stfsctl search, history and days: the searches over the record disks found by a scan of the
// drive table (--image, the machine's disks) and the volume folders (--folder).
#include <cstdio>
#include <ctime>
#include <vector>

#include "commands.h"
#include "json.h"
#include "qvfs/qvfs.h"

namespace {
constexpr int kChannels = 32;
constexpr int kMaxRecords = 65536;

struct Range {
  int64_t from = 0;
  int64_t to = UINT32_MAX;
};

// Takes --from/--to; false (after a usage error) on a bad value.
bool TakeRange(const std::vector<std::string>& args, size_t& i, Range* r, const char* cmd,
               int* status) {
  std::string v;
  if (TakeValue(args, i, "--from", &v)) {
    if (!ParseTime(v, &r->from)) *status = UsageError(cmd, "--from takes a TIME");
    return true;
  }
  if (TakeValue(args, i, "--to", &v)) {
    if (!ParseTime(v, &r->to)) *status = UsageError(cmd, "--to takes a TIME");
    return true;
  }
  return false;
}

const char* kTimeHelp =
    "TIME: YYYY-MM-DDTHH:MM:SS in local time, or @SECONDS since 1970 UTC.\n";

}  // namespace

const char* const kSearchFilterUsage =
    "[--from T] [--to T] [--channels LIST] [--types MASK] [--source N]";

bool TakeSearchFilter(const std::vector<std::string>& args, size_t& i, SearchFilter* f,
                      const char* cmd, int* status) {
  std::string v;
  Range range{f->from, f->to};
  if (TakeRange(args, i, &range, cmd, status)) {
    f->from = range.from;
    f->to = range.to;
    return true;
  }
  if (TakeValue(args, i, "--channels", &v)) {
    if (!ParseChannelList(v, &f->channels)) *status = UsageError(cmd, "--channels takes a LIST");
    return true;
  }
  if (TakeValue(args, i, "--types", &v)) {
    if (!ParseMask(v, &f->types)) *status = UsageError(cmd, "--types takes a MASK");
    return true;
  }
  if (TakeValue(args, i, "--source", &v)) {
    if (!ParseMask(v, &f->source) || f->source > 1) *status = UsageError(cmd, "--source is 0 or 1");
    return true;
  }
  return false;
}

int SearchPlayList(const SearchFilter& f, std::vector<_rec_file_info_>* out) {
  out->resize(kMaxRecords);
  const int n = QVFS_SearchPlayList(out->data(), static_cast<int>(out->size() * sizeof (*out)[0]),
                                    f.from, f.to, static_cast<int32_t>(f.channels),
                                    static_cast<int32_t>(f.types), static_cast<int32_t>(f.source),
                                    0, 0);
  out->resize(n > 0 ? static_cast<size_t>(n) : 0);
  return n;
}

std::string RecordStateText(const _rec_file_info_& r) {
  std::string s;
  if (r.state & 0x02) s = "locked";
  if (r.state & 0x80) s += s.empty() ? "open" : ", open";
  return s;
}

int CmdSearch(Invocation& inv) {
  SearchFilter filter;
  int status = -1;
  for (size_t i = 0; i < inv.args.size(); ++i) {
    if (inv.args[i] == "--help") {
      printf("usage: stfsctl [GLOBAL OPTIONS] search %s\n"
             "The play-list search over the record disks, newest first within each channel.\n"
             "Each record's position K (\"record\" in the JSON output) is the K that lock,\n"
             "unlock, delete and backup take, with the same filters.\n%s",
             kSearchFilterUsage, kTimeHelp);
      return kExitOk;
    }
    if (TakeSearchFilter(inv.args, i, &filter, "search", &status)) {
      if (status >= 0) return status;
    } else {
      return UsageError("search", "unknown argument '" + inv.args[i] + "'");
    }
  }
  if ((status = CheckTimeRange("search", filter.from, filter.to)) >= 0) return status;
  QVFS_ScanDisksForSearch(kChannels);
  std::vector<_rec_file_info_> out;
  const int n = SearchPlayList(filter, &out);
  if (n < 0) return Fail(inv.global, n, LastDiagnostic());
  if (inv.global.json) {
    JsonWriter w;
    w.BeginObject().BeginArray("records");
    for (int i = 0; i < n; ++i) RecordFields(w, out[static_cast<size_t>(i)], i);
    w.EndArray().EndObject();
    PrintJson(w.str());
    return kExitOk;
  }
  printf("%d recording%s\n", n, n == 1 ? "" : "s");
  for (int i = 0; i < n; ++i) {
    const _rec_file_info_ r = out[static_cast<size_t>(i)];
    const time_t s = static_cast<time_t>(r.startMs / 1000), e = static_cast<time_t>(r.endMs / 1000);
    char a[32], b[32];
    strftime(a, sizeof a, "%Y-%m-%d %H:%M:%S", localtime(&s));
    strftime(b, sizeof b, "%Y-%m-%d %H:%M:%S", localtime(&e));
    const std::string state = RecordStateText(r);
    printf("%4d  CH%02d  disk %d  file %5d seg %2d  %s -- %s  %10d bytes  type %u%s%s\n", i,
           r.channel, r.diskNo, static_cast<int>(r.fileIndex), r.segmentNo, a, b,
           static_cast<int>(r.size), r.typeBits, state.empty() ? "" : "  ", state.c_str());
  }
  return kExitOk;
}

int CmdHistory(Invocation& inv) {
  Range range;
  int64_t channel = -1;
  std::string v;
  int status = -1;
  for (size_t i = 0; i < inv.args.size(); ++i) {
    if (inv.args[i] == "--help") {
      printf("usage: stfsctl [GLOBAL OPTIONS] history --channel C [--from T] [--to T]\n"
             "Merged spans of one channel's recordings.\n%s", kTimeHelp);
      return kExitOk;
    }
    if (TakeRange(inv.args, i, &range, "history", &status)) {
      if (status >= 0) return status;
    } else if (TakeValue(inv.args, i, "--channel", &v)) {
      if (!ParseMask(v, &channel) || channel >= kChannels)
        return UsageError("history", "--channel takes 0..31");
    } else {
      return UsageError("history", "unknown argument '" + inv.args[i] + "'");
    }
  }
  if (channel < 0) return UsageError("history", "--channel C is required");
  if ((status = CheckTimeRange("history", range.from, range.to)) >= 0) return status;
  QVFS_ScanDisksForSearch(kChannels);
  std::vector<uint32_t> out(2 * kMaxRecords);
  int n = QVFS_SearchHistoryRec(out.data(), static_cast<int>(out.size() * 4), range.from,
                                range.to, static_cast<int32_t>(channel), 0, 0);
  if (n < 0) return Fail(inv.global, n, LastDiagnostic());
  if (inv.global.json) {
    JsonWriter w;
    w.BeginObject().BeginArray("spans");
    for (int i = 0; i < n; ++i)
      w.BeginObject().Field("start_s", out[2 * i]).Field("end_s", out[2 * i + 1]).EndObject();
    w.EndArray().EndObject();
    PrintJson(w.str());
    return kExitOk;
  }
  // Local dates and times, as search prints them; an empty result says so.
  if (n == 0) {
    printf("no recordings of channel %lld in the range\n", static_cast<long long>(channel));
    return kExitOk;
  }
  printf("%d span%s of channel %lld\n", n, n == 1 ? "" : "s", static_cast<long long>(channel));
  for (int i = 0; i < n; ++i) {
    const time_t s = static_cast<time_t>(out[2 * i]), e = static_cast<time_t>(out[2 * i + 1]);
    char a[32], b[32];
    strftime(a, sizeof a, "%Y-%m-%d %H:%M:%S", localtime(&s));
    strftime(b, sizeof b, "%Y-%m-%d %H:%M:%S", localtime(&e));
    printf("%s -- %s\n", a, b);
  }
  return kExitOk;
}

int CmdDays(Invocation& inv) {
  int64_t year = -1, month = -1, types = 0;
  std::string v;
  for (size_t i = 0; i < inv.args.size(); ++i) {
    if (inv.args[i] == "--help") {
      printf("usage: stfsctl [GLOBAL OPTIONS] days --year Y --month M [--types MASK]\n"
             "The days of a month that hold recordings.\n");
      return kExitOk;
    }
    if (TakeValue(inv.args, i, "--year", &v)) {
      if (!ParseMask(v, &year) || year < 1970 || year > 2105)
        return UsageError("days", "--year takes 1970..2105");
    } else if (TakeValue(inv.args, i, "--month", &v)) {
      if (!ParseMask(v, &month) || month < 1 || month > 12)
        return UsageError("days", "--month takes 1..12");
    } else if (TakeValue(inv.args, i, "--types", &v)) {
      if (!ParseMask(v, &types)) return UsageError("days", "--types takes a MASK");
    } else {
      return UsageError("days", "unknown argument '" + inv.args[i] + "'");
    }
  }
  if (year < 0 || month < 0) return UsageError("days", "--year and --month are required");
  QVFS_ScanDisksForSearch(kChannels);
  const uint32_t mask = static_cast<uint32_t>(QVFS_SearchRecordDayOfMonth(
      static_cast<int32_t>(year), static_cast<int32_t>(month), static_cast<int32_t>(types)));
  if (inv.global.json) {
    JsonWriter w;
    w.BeginObject().Field("mask", mask).BeginArray("days");
    for (int d = 1; d <= 31; ++d)
      if (mask & (1u << (d - 1))) w.Field(nullptr, d);
    w.EndArray().EndObject();
    PrintJson(w.str());
    return kExitOk;
  }
  printf("days with recordings:");
  for (int d = 1; d <= 31; ++d)
    if (mask & (1u << (d - 1))) printf(" %d", d);
  printf("\n");
  return kExitOk;
}
