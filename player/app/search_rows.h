// What the search window shows of a search: the texts of a result row, the time range the date
// and time controls give, which channels hold recordings, and the play-list search itself (the
// grid's day uses it too). No widgets here.
#pragma once

#include <QDate>
#include <QString>
#include <QTime>
#include <cstdint>
#include <set>
#include <vector>

#include "qvfs/records.h"

struct ResultRowTexts {
  QString number;   // "%d" from 0
  QString channel;  // "%02d"
  QString size;     // "%0.2f MB"
  QString period;   // start date and time "--" end time
};

// The texts of row i: the record's times plus the time-zone hours of its event byte, shown as
// calendar values.
ResultRowTexts FormatResultRow(int i, const _rec_file_info_& record);

// The search range in seconds since 1970: everything with allTimes, else the dates and times
// read as local time.
void SearchRange(bool allTimes, const QDate& startDate, const QTime& startTime,
                 const QDate& endDate, const QTime& endTime, int64_t* start, int64_t* end);

// The play-list search between start and end (seconds) of the channels in mask, from the
// record disks (source 0) or the second disk set (source 1); the buffer grows until every
// record fits (up to a limit).
std::vector<_rec_file_info_> SearchPlayList(int64_t start, int64_t end, int32_t mask,
                                            int32_t source);

// The channels the records belong to, in order.
std::set<int> ChannelsOf(const std::vector<_rec_file_info_>& records);

// What the search window says when records of a backup failed: one line per failed record (its
// channel, times and code), at most `shown` of them, then how many more. positions index list.
QString BackupFailureText(const std::vector<_rec_file_info_>& list,
                          const std::vector<int>& positions, const std::vector<int>& codes,
                          int failed, int shown = 10);
