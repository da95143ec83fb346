#include "platform/time_print.h"

#include <cstdio>

#include "platform/clock.h"
#include "platform/messages.h"

namespace platform {

std::string FormatTime(int64_t ms) {
  if (ms < 0) return {};
  struct tm t = Clock::LocalTime(ms / 1000);
  char buf[64];
  snprintf(buf, sizeof buf, "%d-%02d-%02d %02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1,
           t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
  return buf;
}

std::string FormatRange(int64_t startMs, int64_t endMs) {
  if (startMs < 0 || endMs < 0) return {};
  struct tm a = Clock::LocalTime(startMs / 1000);
  struct tm b = Clock::LocalTime(endMs / 1000);
  char buf[128];
  if (a.tm_year == b.tm_year && a.tm_yday == b.tm_yday) {
    snprintf(buf, sizeof buf, "%d-%02d-%02d %02d:%02d:%02d -- %02d:%02d:%02d", a.tm_year + 1900,
             a.tm_mon + 1, a.tm_mday, a.tm_hour, a.tm_min, a.tm_sec, b.tm_hour, b.tm_min,
             b.tm_sec);
  } else {
    snprintf(buf, sizeof buf, "%02d-%02d-%02d %02d:%02d:%02d --%02d-%02d-%02d %02d:%02d:%02d",
             a.tm_year + 1900, a.tm_mon + 1, a.tm_mday, a.tm_hour, a.tm_min, a.tm_sec,
             b.tm_year + 1900, b.tm_mon + 1, b.tm_mday, b.tm_hour, b.tm_min, b.tm_sec);
  }
  return buf;
}

void LogRange(const char* caption, int64_t startMs, int64_t endMs) {
  std::string range = FormatRange(startMs, endMs);
  if (!range.empty()) DebugLog(" %s %s.\n", caption, range.c_str());
}

}  // namespace platform
