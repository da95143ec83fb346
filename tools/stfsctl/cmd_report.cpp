// stfsctl report DRIVE --out DIR: the examination report of a record disk, report.json and a
// self-contained report.html in DIR. The drive is attached read-only and read whole for its
// SHA-256 (what `sha256sum` of an image gives), then its tables, its index, every recording,
// every piece the recovery scan finds and the exports listed in DIR are reported.
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

#include "api/context.h"
#include "commands.h"
#include "device/dev_registry.h"
#include "disklayout/disk_table.h"
#include "json.h"
#include "platform/platform_context.h"
#include "progress.h"
#include "qvfs/qvfs.h"
#include "recorder/disk_watch.h"
#include "report.h"
#include "sha256.h"

namespace {

constexpr uint64_t kHashTransferBytes = 8u << 20;
constexpr int kMaxRecords = 1 << 16;

std::string Trimmed(const uint8_t* p, size_t n) {
  std::string s(reinterpret_cast<const char*>(p), n);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  return s;
}

// The drive's identity from INQUIRY, its capacity and its SHA-256 read in large transfers.
int ExamineDrive(CDisk_Dev* dev, ReportModel* m) {
  uint8_t inquiry[36] = {};
  if (dev->inquiry(inquiry, sizeof inquiry) == 0) {
    m->vendor = Trimmed(inquiry + 8, 8);
    m->product = Trimmed(inquiry + 16, 16);
    m->revision = Trimmed(inquiry + 32, 4);
  }
  m->sectorSize = dev->get_sec_size();
  const uint64_t sectors = dev->get_capacity() + 1;  // the capacity is the last LBA
  if (m->sectorSize == 0 || dev->get_capacity() == 0) return -2010;
  m->capacityBytes = sectors * m->sectorSize;
  std::vector<uint8_t> buffer(kHashTransferBytes);
  const uint64_t perTransfer = kHashTransferBytes / m->sectorSize;
  Sha256 sha;
  // Each pass reads the next run of sectors: the LBA moves on by at least one sector.
  for (uint64_t lba = 0; lba < sectors;) {
    const uint64_t n = std::min(perTransfer, sectors - lba);
    const int r = dev->Read(lba, buffer.data(), n * m->sectorSize, true);
    if (r != 0) return r;
    sha.Update(buffer.data(), n * m->sectorSize);
    lba += n;
    m->hashedBytes = lba * m->sectorSize;
    ReportToolProgress("report", lba, sectors);
  }
  m->sha256 = sha.HexDigest();
  return 0;
}

void ReadTables(CDisk_Dev* dev, ReportModel* m) {
  CDiskTable table;
  const int r = table.Init(dev);
  if (r != 0 && table.GetPartCount() == 0) return;
  m->gpt = table.IsGpt();
  for (int i = 0; i < table.GetPartCount(); ++i)
    m->partitions.emplace_back(table.GetPartStart(i), table.GetPartSize(i));
  m->stfs = table.IsStfs();
  if (!m->stfs) return;
  m->tableLba = table.GetTableLba();
  m->firstRecordLba = table.GetFirstRecordLba();
  m->recordFileSectors = table.GetRecordFileSectors();
  m->indexLba = table.GetIndexLba();
}

int64_t MsSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t)
      .count();
}

bool WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::trunc | std::ios::binary);
  out << text;
  return static_cast<bool>(out);
}

}  // namespace

int CmdReport(Invocation& inv) {
  std::string drive, out, v;
  for (size_t i = 0; i < inv.args.size(); ++i) {
    const std::string& a = inv.args[i];
    if (a == "--help") {
      printf("usage: stfsctl [GLOBAL OPTIONS] report DRIVE --out DIR\n"
             "Examines the record disk DRIVE (attached read-only) and writes DIR/report.json and\n"
             "a self-contained DIR/report.html: the tool's version and the time, the drive's\n"
             "identity and capacity, the SHA-256 of every byte read from it, its partition and\n"
             "STFS tables, the index, every recording, every piece the recovery scan finds,\n"
             "a timeline per channel, and the exports listed in DIR/exports.tsv (backup and\n"
             "recover add theirs when DIR is given them as the report folder).\n");
      return kExitOk;
    }
    if (TakeValue(inv.args, i, "--out", &v)) {
      out = v;
    } else if (!a.empty() && a[0] == '-') {
      return UsageError("report", "unknown option '" + a + "'");
    } else if (drive.empty()) {
      drive = a;
    } else {
      return UsageError("report", "expects one DRIVE");
    }
  }
  if (drive.empty() || out.empty()) return UsageError("report", "needs DRIVE and --out DIR");
  if (int status = CheckOutputFolder("report", out); status >= 0) return status;
  struct stat st {};
  if (stat(drive.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
    return UsageError("report", drive + " is a folder: a report examines a drive or an image");
  std::string name, error;
  if (!ResolveDrive(drive, inv.global, &name, &error)) return Fail(inv.global, -2010, error);
  // Evidence is only read: every drive is attached read-only before anything opens it.
  platform::Drives().SetAllReadOnly(true);

  ReportModel m;
  m.version = QVFS_VERSION;
  m.examinedUtc = UtcNow();
  m.drive = name;
  if (drive != name) m.image = drive;
  CDisk_Dev* dev = CDevFlyWeightFactory::getSingleton()->CreateScsiDev(name.c_str(), false);
  if (!dev) return Fail(inv.global, -2010, "cannot open " + name + ": " + LastDiagnostic());
  InstallProgressBar(inv.global.json);
  const auto hashStart = std::chrono::steady_clock::now();
  if (int r = ExamineDrive(dev, &m); r != 0)
    return Fail(inv.global, r, "reading " + name + " failed at byte " + std::to_string(m.hashedBytes));
  FinishProgressBar();
  const int64_t hashMs = MsSince(hashStart);
  ReadTables(dev, &m);

  InitLibraryQuiet();
  qvfs::Context& ctx = qvfs::Context::Current();
  DiskIndexRef index = ctx.diskWatch().IndexSet(0).Find(name);
  if (index) {
    m.recordFiles = index->recordFileCount;
    m.recordFileBytes = index->recordFileBytes;
  }
  std::vector<_rec_file_info_> records(kMaxRecords);
  const int n = QVFS_SearchPlayList(records.data(), static_cast<int>(records.size() * sizeof records[0]),
                                    0, UINT32_MAX, -1, 0, 0, 0, 1);
  records.resize(n > 0 ? static_cast<size_t>(n) : 0);
  for (const _rec_file_info_& r : records)
    if (!index || r.diskNo == index->diskNo.load()) m.recordings.push_back(r);
  const auto scanStart = std::chrono::steady_clock::now();
  if (index) {
    std::vector<RecoveredPiece> pieces(kMaxRecords);
    const int p = QVFS_RecoverScan(name.c_str(), pieces.data(),
                                   static_cast<int>(pieces.size() * sizeof pieces[0]), ~0u, 0,
                                   UINT32_MAX, nullptr, nullptr);
    pieces.resize(p > 0 ? static_cast<size_t>(std::min(p, kMaxRecords)) : 0);
    m.pieces = pieces;
  }
  const int64_t scanMs = MsSince(scanStart);
  m.exports = ReadExports(out);

  const std::string json = out + "/report.json", html = out + "/report.html";
  if (!WriteText(json, ReportJson(m)) || !WriteText(html, ReportHtml(m)))
    return Fail(inv.global, -1003, "cannot write the report into " + out);
  if (inv.global.json) {
    JsonWriter w;
    w.BeginObject().Field("report_json", json).Field("report_html", html).Field("sha256", m.sha256)
        .Field("recordings", static_cast<int64_t>(m.recordings.size()))
        .Field("recovered", static_cast<int64_t>(m.pieces.size()))
        .Field("exports", static_cast<int64_t>(m.exports.size()))
        .Field("hash_ms", hashMs)
        .Field("scan_ms", scanMs)
        .EndObject();
    PrintJson(w.str());
  } else {
    printf("%s  %s (%llu bytes)\n%zu recordings, %zu recovered pieces, %zu exports\n%s\n%s\n",
           m.sha256.c_str(), name.c_str(), static_cast<unsigned long long>(m.hashedBytes),
           m.recordings.size(), m.pieces.size(), m.exports.size(), json.c_str(), html.c_str());
  }
  return kExitOk;
}
