// Where the library's messages go.
//
// The device, region-file and table layers print their lines to stdout (capacity failures to
// stderr) while console output is on. When an application turns it off, those lines go to the
// log sink instead, so a tool that shows diagnostics on request loses none of them.
// The other layers call DebugLog, which formats at most 4096 bytes and hands the text to the
// message store and to the log sink.
#pragma once

#include <cstdarg>
#include <string>

namespace platform {

using LogSink = void (*)(const char* text);

void SetConsoleOutput(bool on);
bool ConsoleOutput();
void SetLogSink(LogSink sink);
// The message store behind DebugLog (the frame-FIFO layer installs its text ring); every
// formatted message is appended there before it goes to the sink.
void SetMessageStore(LogSink store);

// printf-style console lines of the lower layers.
void ConsolePrintf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void ConsoleErrPrintf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// The last message (console line or debug log) this thread formatted.
const std::string& LastMessage();

// Largest formatted debug-log message in bytes, terminator included.
constexpr int kMaxLogMessage = 4096;

}  // namespace platform

// The debug-log function of every layer above the tables.
void DebugLog(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
