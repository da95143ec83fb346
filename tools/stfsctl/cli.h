// stfsctl's conventions shared by every command: global options, drive arguments, sizes,
// errors and exit status (0 success, 1 the operation failed, 2 bad usage).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum ExitStatus { kExitOk = 0, kExitFailed = 1, kExitUsage = 2 };

struct GlobalOptions {
  bool json = false;
  bool verbose = false;
  bool readOnly = false;
  bool noSystemDisks = false;
  int sectorSize = 0;  // for images given as DRIVE after --sector-size
  std::vector<std::string> folders;
};

struct Invocation {
  GlobalOptions& global;
  std::vector<std::string> args;  // the command's own arguments
};

// Prints a failure: one line on stderr, and {"error":{...}} on stdout with --json; returns 1.
int Fail(const GlobalOptions& g, int code, const std::string& message);
// The code of a usage fault in a JSON error object: the library's "bad parameter".
constexpr int kUsageCode = -101;
// Prints a usage error on stderr (and, once --json is known, an error object on stdout);
// returns 2.
int UsageError(const std::string& command, const std::string& message);
// Prints a JSON document (with a newline) on stdout.
void PrintJson(const std::string& doc);

// The last line the library printed or logged (without its newline); the message of a failure.
std::string LastDiagnostic();
// Routes the library's messages: kept for LastDiagnostic, shown on stderr with --verbose; with
// json, usage faults print an error object too.
void InstallMessageSink(bool verbose, bool json);

// QVFS_Init as the commands that do not record use it: no recording, 32 channels, small FIFOs.
void InitLibraryQuiet();

// Resolves DRIVE: a drive number, a name "\\.\PhysicalDriveN", or the path of an image or block
// device (attached now). false with a message when it cannot.
bool ResolveDrive(const std::string& arg, const GlobalOptions& g, std::string* name,
                  std::string* error);
// Parses sizes like 2G, 512M, 64K, 1048576 (bytes); false when malformed or zero.
bool ParseSize(const std::string& s, uint64_t* bytes);

// TIME: "YYYY-MM-DDTHH:MM:SS" in local time, or "@SECONDS" since 1970 UTC.
bool ParseTime(const std::string& s, int64_t* seconds);
// LIST of channels: "0-3", "0,2,5", or both mixed; channels 0..31. The mask of them.
bool ParseChannelList(const std::string& s, uint32_t* mask);
// MASK: a number, decimal or 0x-hexadecimal.
bool ParseMask(const std::string& s, int64_t* mask);

// A file a command reads: -1 when it can be read, else the exit status of a usage error that
// names it and says why ("missing.h264: No such file or directory"), before any work starts.
int CheckInputFile(const char* cmd, const std::string& path);
// A folder a command writes into: -1 when it is one, else the status of a usage error saying
// that it does not exist or is a file.
int CheckOutputFolder(const char* cmd, const std::string& path);
// Record file fileIndex of the record disk `drive` (found by the last scan): -1 when the disk
// has it, else a usage error ("file index 63 is past the last record file (62)").
int CheckFileIndex(const char* cmd, const std::string& drive, int64_t fileIndex);
// A time range: -1 when --to does not lie before --from, else a usage error's status.
int CheckTimeRange(const char* cmd, int64_t from, int64_t to);

// Option helper: when args[i] is opt, stores the next argument and advances i.
bool TakeValue(const std::vector<std::string>& args, size_t& i, const char* opt,
               std::string* value);
