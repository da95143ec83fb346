// How log lines print times: through the local calendar, a single time as
// "2016-05-01 08:00:00", a range on one day as "2016-05-01 08:00:00 -- 09:00:00" and a range over
// two days with both dates. Negative times are not printed.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// "%d-%02d-%02d %02d:%02d:%02d" of a time in ms; empty for a negative time.
std::string FormatTime(int64_t ms);
// The range form (one day or two days); empty when either time is negative.
std::string FormatRange(int64_t startMs, int64_t endMs);
// Logs " caption range.\n" through DebugLog; nothing for negative times.
void LogRange(const char* caption, int64_t startMs, int64_t endMs);

}  // namespace platform
