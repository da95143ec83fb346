#include "cli.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <climits>
#include <cstring>
#include <ctime>
#include <mutex>

#include "api/context.h"
#include "json.h"
#include "platform/drive_table.h"
#include "qvfs/qvfs.h"
#include "recorder/disk_watch.h"

namespace {
// The library's service threads may still log while the process exits, after static
// destructors ran: the last message lives in storage that is never destroyed.
struct Diagnostic {
  std::mutex mutex;
  std::string last;
};
Diagnostic& TheDiagnostic() {
  static Diagnostic* d = new Diagnostic;
  return *d;
}
bool g_verbose = false;
bool g_jsonErrors = false;  // --json: usage faults also give an error object on stdout

void Sink(const char* text) {
  std::string line = text ? text : "";
  if (g_verbose) {
    fputs(line.c_str(), stderr);
    if (line.empty() || line.back() != '\n') fputc('\n', stderr);
  }
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
    line.pop_back();
  if (line.empty()) return;
  Diagnostic& d = TheDiagnostic();
  std::lock_guard<std::mutex> g(d.mutex);
  d.last = line;
}
}  // namespace

void InstallMessageSink(bool verbose, bool json) {
  g_verbose = verbose;
  g_jsonErrors = json;
  QVFS_SetConsoleOutput(0);
  QVFS_SetLogSink(&Sink);
}

std::string LastDiagnostic() {
  Diagnostic& d = TheDiagnostic();
  std::lock_guard<std::mutex> g(d.mutex);
  return d.last;
}

void PrintJson(const std::string& doc) {
  fputs(doc.c_str(), stdout);
  fputc('\n', stdout);
}

int Fail(const GlobalOptions& g, int code, const std::string& message) {
  if (g.json) {
    JsonWriter w;
    w.BeginObject().BeginObject("error").Field("code", code).Field("message", message).EndObject();
    w.EndObject();
    PrintJson(w.str());
  }
  fprintf(stderr, "stfsctl: %s (code %d)\n", message.c_str(), code);
  return kExitFailed;
}

int UsageError(const std::string& command, const std::string& message) {
  if (g_jsonErrors) {
    JsonWriter w;
    w.BeginObject().BeginObject("error").Field("code", kUsageCode).Field("message", message);
    w.EndObject().EndObject();
    PrintJson(w.str());
  }
  fprintf(stderr, "stfsctl%s%s: %s\nTry 'stfsctl %s--help'.\n", command.empty() ? "" : " ",
          command.c_str(), message.c_str(), command.empty() ? "" : (command + " ").c_str());
  return kExitUsage;
}

bool ResolveDrive(const std::string& arg, const GlobalOptions& g, std::string* name,
                  std::string* error) {
  if (arg.empty()) {
    *error = "empty drive argument";
    return false;
  }
  bool digits = arg.find_first_not_of("0123456789") == std::string::npos;
  if (digits || platform::DriveNumberOf(arg) >= 0) {
    int n = digits ? std::atoi(arg.c_str()) : platform::DriveNumberOf(arg);
    QVFS_DriveInfo info;
    if ((digits && arg.size() > 2) || QVFS_GetDriveInfo(n, &info) != 0) {
      *error = "no drive " + arg + " in the drive table (see 'stfsctl drives')";
      return false;
    }
    *name = info.name;
    return true;
  }
  struct stat st {};
  if (stat(arg.c_str(), &st) != 0) {
    *error = "cannot open " + arg + ": " + strerror(errno);
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    *error = arg + " is a folder, not a disk or image";
    return false;
  }
  // An image given with --image as well is the drive attached then: a second drive of the same
  // disk would show the disk twice.
  char real[PATH_MAX];
  if (realpath(arg.c_str(), real)) {
    for (int k = 0; k < platform::kMaxDrives; ++k) {
      QVFS_DriveInfo info;
      if (QVFS_GetDriveInfo(k, &info) == 0 && std::strcmp(info.path, real) == 0) {
        *name = info.name;
        return true;
      }
    }
  }
  int n = QVFS_AttachImage(arg.c_str(), g.readOnly ? 1 : 0, g.sectorSize);
  if (n < 0) {
    *error = n == -3 ? "the drive table is full" : "cannot attach " + arg;
    return false;
  }
  *name = platform::DriveName(n);
  return true;
}

bool ParseSize(const std::string& s, uint64_t* bytes) {
  if (s.empty() || s[0] < '0' || s[0] > '9') return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long v = strtoull(s.c_str(), &end, 10);
  if (errno || end == s.c_str()) return false;
  std::string unit(end);
  uint64_t mult = 1;
  if (unit == "K" || unit == "k") mult = 1ull << 10;
  else if (unit == "M" || unit == "m") mult = 1ull << 20;
  else if (unit == "G" || unit == "g") mult = 1ull << 30;
  else if (unit == "T" || unit == "t") mult = 1ull << 40;
  else if (!unit.empty()) return false;
  if (v == 0 || v > UINT64_MAX / mult) return false;
  *bytes = v * mult;
  return true;
}

bool TakeValue(const std::vector<std::string>& args, size_t& i, const char* opt,
               std::string* value) {
  if (args[i] != opt || i + 1 >= args.size()) return false;
  *value = args[++i];
  return true;
}

bool ParseTime(const std::string& s, int64_t* seconds) {
  if (s.empty()) return false;
  char* end = nullptr;
  if (s[0] == '@') {
    errno = 0;
    long long v = strtoll(s.c_str() + 1, &end, 10);
    if (errno || end == s.c_str() + 1 || *end) return false;
    *seconds = v;
    return true;
  }
  struct tm t = {};
  int consumed = 0;
  if (sscanf(s.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &t.tm_year, &t.tm_mon, &t.tm_mday,
             &t.tm_hour, &t.tm_min, &t.tm_sec, &consumed) != 6 ||
      consumed != static_cast<int>(s.size()))
    return false;
  if (t.tm_mon < 1 || t.tm_mon > 12 || t.tm_mday < 1 || t.tm_mday > 31 || t.tm_hour > 23 ||
      t.tm_min > 59 || t.tm_sec > 60)
    return false;
  t.tm_year -= 1900;
  t.tm_mon -= 1;
  t.tm_isdst = -1;
  time_t v = mktime(&t);
  if (v == static_cast<time_t>(-1)) return false;
  *seconds = v;
  return true;
}

bool ParseChannelList(const std::string& s, uint32_t* mask) {
  uint32_t m = 0;
  size_t pos = 0;
  if (s.empty()) return false;
  while (pos <= s.size()) {
    size_t comma = s.find(',', pos);
    std::string item = s.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    int a = 0, b = 0, n = 0;
    if (sscanf(item.c_str(), "%d-%d%n", &a, &b, &n) == 2 && n == static_cast<int>(item.size())) {
    } else if (sscanf(item.c_str(), "%d%n", &a, &n) == 1 && n == static_cast<int>(item.size())) {
      b = a;
    } else {
      return false;
    }
    if (a < 0 || b > 31 || a > b) return false;
    for (int c = a; c <= b; ++c) m |= 1u << c;
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  *mask = m;
  return m != 0;
}

bool ParseMask(const std::string& s, int64_t* mask) {
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long long v = strtoll(s.c_str(), &end, 0);
  if (errno || *end || v < 0 || v > UINT32_MAX) return false;
  *mask = v;
  return true;
}

void InitLibraryQuiet() {
  StorageConfig c{};
  c.channelCount = 32;
  c.fifoUsers = 4;
  c.mainFifoSize = 0x10000;
  c.writeCacheSize = 0x180000;
  c.playBufferSize = 0x140000;
  c.frameBufferSize = 0x80000;
  QVFS_Init(c);
}

int CheckInputFile(const char* cmd, const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return UsageError(cmd, path + ": " + std::strerror(errno));
  if (S_ISDIR(st.st_mode)) return UsageError(cmd, path + " is a folder, not a file");
  if (access(path.c_str(), R_OK) != 0) return UsageError(cmd, path + ": " + std::strerror(errno));
  return -1;
}

int CheckOutputFolder(const char* cmd, const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return UsageError(cmd, path + ": " + std::strerror(errno));
  if (!S_ISDIR(st.st_mode)) return UsageError(cmd, path + " is a file, not a folder");
  if (access(path.c_str(), W_OK | X_OK) != 0)
    return UsageError(cmd, path + " cannot be written: " + std::strerror(errno));
  return -1;
}

int CheckTimeRange(const char* cmd, int64_t from, int64_t to) {
  return to < from ? UsageError(cmd, "--to lies before --from") : -1;
}

int CheckFileIndex(const char* cmd, const std::string& drive, int64_t fileIndex) {
  qvfs::Context& ctx = qvfs::Context::Current();
  DiskIndexRef index = ctx.diskWatch().IndexSet(0).Find(drive);
  if (!index) index = ctx.diskWatch().IndexSet(1).Find(drive);
  if (!index) return UsageError(cmd, drive + " is not a record disk");
  const int64_t count = index->recordFileCount;
  if (fileIndex < count) return -1;
  return UsageError(cmd, "file index " + std::to_string(fileIndex) +
                             " is past the last record file (" + std::to_string(count - 1) + ")");
}
