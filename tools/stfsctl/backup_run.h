// What stfsctl's backup, recover and export share: the backup engine run with its progress bar,
// the files it wrote with their SHA-256 (DIR/SHA256SUMS, the format `sha256sum -c` reads), the
// records that failed, and how they are printed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli.h"
#include "qvfs/records.h"

// A file written, with its SHA-256 and the backup's result for it.
struct Written {
  std::string path;
  uint64_t size = 0;
  std::string sha256;
  int result = 0;
};

// A record the backup could not write: where it stands in the list backed up, which record it
// is, and why.
struct FailedRecord {
  size_t record = 0;
  int channel = 0;
  int64_t startMs = 0, endMs = 0;
  int code = 0;
};

struct BackupRun {
  std::vector<Written> files;
  std::vector<FailedRecord> failed;
  int result = 0;
};

uint64_t FileSize(const std::string& path);
std::string BaseName(const std::string& path);
// A time as the search lists it (local time).
std::string FormatTime(int64_t ms);
// Why a record gave no file, in words.
std::string BackupFailureText(int code);
// Adds the files to DIR/SHA256SUMS (an entry for the same name is replaced).
bool UpdateManifest(const std::string& dir, const std::vector<Written>& files);
// The files written and the records that failed: JSON ({"files":[...],"failed":[...],
// "result":N} with an error object when it failed) or text; the exit status.
int PrintWritten(const Invocation& inv, const std::vector<Written>& files, int result,
                 const std::vector<FailedRecord>& failed = {});
// Backs the records up into the folder out as typeCode with the progress bar, hashes each
// file and lists the whole ones in out/SHA256SUMS. -1 when it ran (run filled in), or the exit
// status of a failure already printed.
int RunBackup(const Invocation& inv, std::vector<_rec_file_info_> list, int typeCode,
              const std::string& out, BackupRun* run);
// Adds the files written whole to the export list of the report folder dir (with their full
// paths); false when the list cannot be written.
bool AddToReport(const std::string& dir, const std::string& command,
                 const std::vector<Written>& files);
