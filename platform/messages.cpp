#include "platform/messages.h"

#include <atomic>
#include <cstdio>
#include <string>

namespace platform {

namespace {
std::atomic<bool> g_console{true};
std::atomic<LogSink> g_sink{nullptr};
std::atomic<LogSink> g_store{nullptr};
thread_local std::string t_lastMessage;

void Emit(FILE* stream, const char* fmt, va_list ap) {
  char text[kMaxLogMessage];
  vsnprintf(text, sizeof text, fmt, ap);
  t_lastMessage = text;
  if (g_console.load()) {
    fputs(text, stream);
    fflush(stream);
    return;
  }
  LogSink sink = g_sink.load();
  if (sink) sink(text);
}
}  // namespace

const std::string& LastMessage() { return t_lastMessage; }

void SetConsoleOutput(bool on) { g_console.store(on); }
bool ConsoleOutput() { return g_console.load(); }
void SetLogSink(LogSink sink) { g_sink.store(sink); }
void SetMessageStore(LogSink store) { g_store.store(store); }

void ConsolePrintf(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  Emit(stdout, fmt, ap);
  va_end(ap);
}

void ConsoleErrPrintf(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  Emit(stderr, fmt, ap);
  va_end(ap);
}

}  // namespace platform

void DebugLog(const char* fmt, ...) {
  char text[platform::kMaxLogMessage];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  platform::t_lastMessage = text;
  platform::LogSink store = platform::g_store.load();
  if (store) store(text);
  platform::LogSink sink = platform::g_sink.load();
  if (sink) sink(text);
}
