// stfsctl frames (FILE | DRIVE --file-index I) [--mode normal|fast|back] [--speed N]: one record
// file read with the record reader: its head, segments, index and frames.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "commands.h"
#include "disklayout/le.h"
#include "json.h"
#include "platform/drive_table.h"
#include "qvfs/qvfs.h"
#include "record/record_format.h"
#include "record/record_reader.h"

namespace {
bool IsRegularFile(const std::string& p) {
  struct stat st {};
  return stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The file's segment table, read as the record file holds it.
std::vector<recfile::SegmentRecord> Segments(const std::string& path, const recfile::RecordHead& h,
                                             bool plainFile) {
  std::vector<recfile::SegmentRecord> out;
  if (!plainFile) return out;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return out;
  std::vector<uint8_t> block(recfile::kHeadBlockBytes);
  const size_t n = fread(block.data(), 1, block.size(), f);
  fclose(f);
  return recfile::ParseSegments(block.data(), n, h.segTableOffset);
}
}  // namespace

int CmdFrames(Invocation& inv) {
  std::string target, value, mode = "normal";
  int64_t fileIndex = -1, speed = 1;
  for (size_t i = 0; i < inv.args.size(); ++i) {
    const std::string& a = inv.args[i];
    if (a == "--help") {
      printf("usage: stfsctl [GLOBAL OPTIONS] frames (FILE | DRIVE --file-index I)\n"
             "                [--mode normal|fast|back] [--speed N]\n"
             "Reads one record file with the record reader and lists its head, segments, index\n"
             "and frames (fast: key frames forwards at the speed, back: key frames backwards).\n");
      return kExitOk;
    } else if (TakeValue(inv.args, i, "--file-index", &value)) {
      if (!ParseMask(value, &fileIndex)) return UsageError("frames", "--file-index takes a number");
    } else if (TakeValue(inv.args, i, "--mode", &value)) {
      if (value != "normal" && value != "fast" && value != "back")
        return UsageError("frames", "--mode is normal, fast or back");
      mode = value;
    } else if (TakeValue(inv.args, i, "--speed", &value)) {
      if (!ParseMask(value, &speed) || speed < 1 || speed > 64)
        return UsageError("frames", "--speed takes 1..64");
    } else if (!a.empty() && a[0] == '-') {
      return UsageError("frames", "unknown option '" + a + "'");
    } else if (target.empty()) {
      target = a;
    } else {
      return UsageError("frames", "expects one FILE or DRIVE");
    }
  }
  if (target.empty()) return UsageError("frames", "expects a FILE or a DRIVE");
  const bool plainFile = fileIndex < 0 && IsRegularFile(target);
  // A FILE that is not there is said as such, not taken for a DRIVE without --file-index.
  const bool driveName = platform::DriveNumberOf(target) >= 0 ||
                         target.find_first_not_of("0123456789") == std::string::npos;
  if (fileIndex < 0 && !plainFile && !driveName)
    if (int status = CheckInputFile("frames", target); status >= 0) return status;
  std::string path = target;
  if (!plainFile) {
    if (fileIndex < 0) return UsageError("frames", "a DRIVE needs --file-index I");
    std::string error;
    if (!ResolveDrive(target, inv.global, &path, &error)) return Fail(inv.global, -2010, error);
    QVFS_ScanDisksForSearch(32);  // the record file's place on the disk
    if (int status = CheckFileIndex("frames", path, fileIndex); status >= 0) return status;
  }

  CRecordReader reader;
  int r = reader.Open(path, plainFile ? 0 : static_cast<uint32_t>(fileIndex), 0, 0, true);
  if (r != 0) return Fail(inv.global, r, "cannot read the record file: " + LastDiagnostic());
  const int modeCode = mode == "fast" ? kModeFast : mode == "back" ? kModeBack : kModeNormal;
  reader.SetPlayMode(modeCode, static_cast<int>(speed));
  // The service thread refills from the open on, in normal mode until now: a seek clears what
  // it filled, and the refills go on in the mode asked for.
  if (modeCode == kModeBack) reader.SeekToTime(INT64_MAX / 2, true);
  else if (modeCode == kModeFast) reader.SeekToTime(reader.head().startTime, true);
  const recfile::RecordHead h = reader.head();
  const auto index = reader.index();

  struct FrameRow {
    uint64_t offset;
    int64_t pts;
    char type;
    uint32_t size;
  };
  std::vector<FrameRow> frames;
  std::vector<uint8_t> buf(8 << 20);
  // Normal mode reads the data area in order from its start (the refills run ahead already).
  uint64_t offset = recfile::kDataOffset;
  const bool keyModes = modeCode == kModeBack || (modeCode == kModeFast && speed >= 3);
  for (size_t k = 0;; ++k) {
    const int n = reader.GetFrame(buf.data(), static_cast<uint32_t>(buf.size()));
    if (n <= 0) break;
    CFrmStategy sel;
    if (sel.SelectWithin(buf.data(), static_cast<uint64_t>(n)) != 0) continue;
    uint64_t at = offset;
    if (keyModes) {
      const size_t e = modeCode == kModeBack ? index.size() - 1 - k : k;
      at = e < index.size() ? index[e].offset : 0;
    }
    frames.push_back({at, sel.Current()->GetPts(), static_cast<char>(sel.Current()->GetFrameType()),
                      static_cast<uint32_t>(n)});
    offset += static_cast<uint32_t>(n);
  }
  const auto segments = Segments(path, h, plainFile);
  reader.Close();

  if (inv.global.json) {
    JsonWriter w;
    w.BeginObject().BeginObject("head")
        .Field("file_size", h.fileSize)
        .Field("data_end", h.dataEnd)
        .Field("channel", static_cast<int>(h.channel))
        .Field("file_index", h.fileIndex)
        .Field("start_ms", static_cast<int64_t>(h.startTime))
        .Field("end_ms", static_cast<int64_t>(h.endTime))
        .Field("state", static_cast<int>(h.state))
        .Field("index_count", h.indexCount)
        .Field("seg_count", h.segCount)
        .Field("head_offset", h.segTableOffset >= 512 ? h.segTableOffset - 512 : 0u)
        .EndObject()
        .BeginArray("segments");
    for (const auto& s : segments)
      w.BeginObject()
          .Field("seg_no", s.segNo)
          .Field("data_length", s.dataLength)
          .Field("start_pos", s.startPos)
          .Field("index_count", s.indexCount)
          .EndObject();
    w.EndArray().BeginArray("index");
    for (const auto& e : index)
      w.BeginObject()
          .Field("number", static_cast<int>(e.number))
          .Field("type", std::string(1, static_cast<char>(e.frameType)))
          .Field("time_s", e.time)
          .Field("offset", e.offset)
          .Field("size", e.size)
          .EndObject();
    w.EndArray().BeginArray("frames");
    for (const auto& f : frames)
      w.BeginObject()
          .Field("offset", f.offset)
          .Field("pts_ms", f.pts)
          .Field("type", std::string(1, f.type))
          .Field("size", f.size)
          .EndObject();
    w.EndArray().EndObject();
    PrintJson(w.str());
    return kExitOk;
  }
  printf("record file: channel %u, file %u, %u bytes, data to %u, state %04x, %u index entries, "
         "%u segments\n",
         h.channel, h.fileIndex, h.fileSize, h.dataEnd, h.state, h.indexCount, h.segCount);
  for (const auto& f : frames)
    printf("  %10llu  %c  %8u bytes  pts %lld\n", static_cast<unsigned long long>(f.offset),
           f.type, f.size, static_cast<long long>(f.pts));
  printf("%zu frames\n", frames.size());
  return kExitOk;
}
