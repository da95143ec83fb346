#include "search_rows.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "platform/clock.h"
#include "qvfs/qvfs.h"

namespace {
constexpr int64_t kAllTimesEnd = 2147483647;  // the searches' "no end", seconds
constexpr int kSearchBytes = 2 * 1024 * 1024;      // the play-list search's result buffer
constexpr int kMaxSearchBytes = 64 * 1024 * 1024;  // grown up to this when it fills

struct tm CalendarOf(int64_t seconds) {
  const time_t t = static_cast<time_t>(seconds);
  struct tm out {};
  gmtime_r(&t, &out);
  return out;
}
}  // namespace

ResultRowTexts FormatResultRow(int i, const _rec_file_info_& r) {
  ResultRowTexts texts;
  texts.number = QString::asprintf("%d", i);
  texts.channel = QString::asprintf("%02d", r.channel);
  const int32_t size = r.size;
  texts.size = QString::asprintf("%0.2f MB", static_cast<double>(size) / 1048576.0);
  const int64_t zone = int64_t{r.tzByte >> 1} * 3600;
  const int64_t startMs = r.startMs, endMs = r.endMs;
  const struct tm a = CalendarOf(startMs / 1000 + zone);
  const struct tm b = CalendarOf(endMs / 1000 + zone);
  texts.period = QString::asprintf("%04d-%02d-%02d %02d:%02d:%02d--%02d:%02d:%02d",
                                   a.tm_year + 1900, a.tm_mon + 1, a.tm_mday, a.tm_hour, a.tm_min,
                                   a.tm_sec, b.tm_hour, b.tm_min, b.tm_sec);
  return texts;
}

void SearchRange(bool allTimes, const QDate& startDate, const QTime& startTime,
                 const QDate& endDate, const QTime& endTime, int64_t* start, int64_t* end) {
  if (allTimes) {
    *start = 0;
    *end = kAllTimesEnd;
    return;
  }
  auto local = [](const QDate& d, const QTime& t) {
    struct tm f {};
    f.tm_year = d.year() - 1900;
    f.tm_mon = d.month() - 1;
    f.tm_mday = d.day();
    f.tm_hour = t.hour();
    f.tm_min = t.minute();
    f.tm_sec = t.second();
    f.tm_isdst = -1;
    return platform::Clock::MakeTime(f);
  };
  *start = local(startDate, startTime);
  *end = local(endDate, endTime);
}

std::set<int> ChannelsOf(const std::vector<_rec_file_info_>& records) {
  std::set<int> channels;
  for (const _rec_file_info_& r : records) channels.insert(r.channel);
  return channels;
}

QString BackupFailureText(const std::vector<_rec_file_info_>& list,
                          const std::vector<int>& positions, const std::vector<int>& codes,
                          int failed, int shown) {
  QString text = QString::asprintf("%d 个录像备份失败，未留下文件:", failed);
  const size_t known = std::min(positions.size(), codes.size());
  int listed = 0;
  for (size_t i = 0; i < known && listed < shown; ++i) {
    const int at = positions[i];
    if (at < 0 || static_cast<size_t>(at) >= list.size()) continue;
    const ResultRowTexts row = FormatResultRow(at, list[static_cast<size_t>(at)]);
    text += QString::asprintf("\n通道 %s  ", qPrintable(row.channel)) + row.period +
            QString::asprintf("  错误 %d", codes[i]);
    ++listed;
  }
  if (failed > listed) text += QString::asprintf("\n另有 %d 个.", failed - listed);
  return text;
}

std::vector<_rec_file_info_> SearchPlayList(int64_t start, int64_t end, int32_t mask,
                                            int32_t source) {
  // A full buffer may have left records out: the search runs again with room for more (a disk
  // holds a segment record every second or two of each channel).
  for (int bytes = kSearchBytes;; bytes *= 2) {
    std::vector<_rec_file_info_> out(static_cast<size_t>(bytes) / sizeof(_rec_file_info_));
    const int n = QVFS_SearchPlayList(out.data(), bytes, start, end, mask, 0, source, 0, 0);
    if (n < static_cast<int>(out.size()) || bytes >= kMaxSearchBytes) {
      out.resize(n > 0 ? static_cast<size_t>(n) : 0);
      return out;
    }
  }
}
