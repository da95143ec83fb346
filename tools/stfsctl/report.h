// The examination report of a record disk: what stfsctl report found (the drive, its hash, its
// tables, the index, every recording and every recovered piece) and the exports made into a
// report folder, written as report.json and as a self-contained report.html (inline styles and
// SVG timelines, no outside assets). The export list of a report folder (exports.tsv) is where
// backup and recover add what they wrote.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "qvfs/records.h"

struct ReportExport {
  std::string time;     // when it was written (UTC, ISO 8601)
  std::string command;  // "backup" or "recover"
  std::string path;
  uint64_t size = 0;
  std::string sha256;
};

struct ReportModel {
  std::string version, examinedUtc;
  // The drive.
  std::string drive, image, vendor, product, revision;
  uint64_t capacityBytes = 0;
  uint32_t sectorSize = 0;
  bool readOnly = true;
  std::string sha256;  // of every byte read from the drive
  uint64_t hashedBytes = 0;
  // The tables.
  bool gpt = false, stfs = false;
  std::vector<std::pair<uint64_t, uint64_t>> partitions;  // start LBA, sectors
  uint64_t tableLba = 0, firstRecordLba = 0, indexLba = 0;
  uint32_t recordFileSectors = 0;
  // The index.
  uint32_t recordFiles = 0, recordFileBytes = 0;
  std::vector<_rec_file_info_> recordings;
  std::vector<RecoveredPiece> pieces;
  std::vector<ReportExport> exports;
};

// The export list of a report folder: appended to, one line per file (tab-separated).
bool AppendExports(const std::string& dir, const std::string& command,
                   const std::vector<ReportExport>& files);
std::vector<ReportExport> ReadExports(const std::string& dir);
// The time now as report and export list write it: UTC, ISO 8601.
std::string UtcNow();

std::string ReportJson(const ReportModel& m);
std::string ReportHtml(const ReportModel& m);
