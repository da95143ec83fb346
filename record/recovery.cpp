#include "record/recovery.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "api/context.h"
#include "index/record_search.h"
#include "platform/messages.h"
#include "record/record_format.h"
#include "record/record_region.h"
#include "recorder/disk_watch.h"

namespace recovery {

namespace {

// What the index shows of one record file: for each record, the bytes it covers (from the end
// of the record before it in the file) and the time it starts.
struct Covered {
  int channel;
  int64_t startMs;
  uint32_t fromOffset, toOffset;
};

struct FileView {
  std::vector<Covered> covered;
  uint32_t dataEnd = 0;  // the end of the last record the index shows (0: none)
};

std::map<uint32_t, FileView> IndexView(DiskIndex& index) {
  SearchQuery q;
  q.startMs = 0;
  q.endMs = INT64_MAX / 2;
  for (uint8_t& f : q.channelFlags) f = 1;
  ResultMap results;
  SearchWindow window;
  SearchDisk(index, q, results, window);
  std::map<uint32_t, std::vector<_rec_file_info_>> byFile;
  for (const auto& channel : results)
    for (const _rec_file_info_& r : channel.second)
      if (r.fileIndex >= 0) byFile[static_cast<uint32_t>(r.fileIndex)].push_back(r);
  std::map<uint32_t, FileView> view;
  for (auto& [file, records] : byFile) {
    std::sort(records.begin(), records.end(), [](const _rec_file_info_& a, const _rec_file_info_& b) {
      return a.endOffset < b.endOffset;
    });
    FileView& v = view[file];
    uint32_t from = recfile::kDataOffset;
    for (const _rec_file_info_& r : records) {
      v.covered.push_back({r.channel, r.startMs, from, r.endOffset});
      from = std::max(from, r.endOffset);
    }
    v.dataEnd = from;
  }
  return view;
}

bool IsCovered(const FileView& v, const FoundFrame& f, int channel) {
  for (const Covered& c : v.covered)
    if (c.channel == channel && f.offset >= c.fromOffset && f.offset < c.toOffset &&
        f.pts >= c.startMs)
      return true;
  return false;
}

// The reason for an uncovered frame of a file. The file's own head is not touched by a delete:
// what lies before its data end was deleted; a recording that recycled the file wrote a new
// head, so what lies past both its data end and the index's is the older recording's tail.
uint8_t ReasonOf(const FileView* v, const FoundFrame& f, bool entryFree, uint32_t headDataEnd) {
  if (v && !v->covered.empty())
    return f.offset >= std::max(v->dataEnd, headDataEnd) ? kRecycledTail : kDeleted;
  if (!entryFree) return kUnindexed;
  return f.offset < headDataEnd ? kDeleted : kFreeFile;
}

bool Wanted(const Piece& p, const ScanOptions& o) {
  return p.channel >= 0 && p.channel < 32 && (o.channelMask >> p.channel & 1u) &&
         p.endMs >= o.fromMs && p.startMs <= o.toMs;
}

}  // namespace

int ScanDisk(const std::string& drive, const ScanOptions& options, std::vector<Piece>* pieces) {
  qvfs::Context& ctx = qvfs::Context::Current();
  DiskIndexRef index = ctx.diskWatch().IndexSet(0).Find(drive);
  if (!index) index = ctx.diskWatch().IndexSet(1).Find(drive);
  if (!index || !index->IsOpen()) return -5002;
  const std::map<uint32_t, FileView> view = IndexView(*index);
  const uint32_t fileBytes = index->recordFileBytes;
  const uint32_t count = index->recordFileCount;
  const uint64_t total = uint64_t{count} * (fileBytes > recfile::kDataOffset ? fileBytes - recfile::kDataOffset : 0);
  uint64_t done = 0;
  std::vector<uint8_t> buffer(kTransferBytes);
  std::vector<Piece> found;
  PieceBuilder builder(&found);
  for (uint32_t i = 0; i < count; ++i) {
    RecordRegion region;
    if (OpenRecordRegion(index->path, i, fileBytes, MODE_RDONLY, &region) != 0) {
      DebugLog("Recovery: record file %u cannot be opened.\n", i);
      continue;
    }
    // The file's own head: its channel, and whether it describes a recording.
    recindex::RecIndexSummary summary{};
    const bool entryFree = index->ReadSummary(i, &summary) == 0 && summary.kind == 0;
    int headChannel = -1;
    uint32_t headDataEnd = 0;  // 0: no head describes a recording
    if (region.file->ReadPos(0, buffer.data(), recfile::kHeadBlockBytes, true) ==
        static_cast<int>(recfile::kHeadBlockBytes)) {
      const int at = recfile::FindHead(buffer.data(), recfile::kHeadBlockBytes);
      if (at >= 0) {
        recfile::RecordHead head;
        std::memcpy(&head, buffer.data() + at, sizeof head);
        headChannel = head.channel;
        if (head.dataEnd > recfile::kDataOffset) headDataEnd = head.dataEnd;
      }
    }
    auto it = view.find(i);
    const FileView* v = it == view.end() ? nullptr : &it->second;
    auto take = [&](const FoundFrame& frame) {
      FoundFrame f = frame;
      if (f.channel < 0) f.channel = headChannel < 0 ? 0 : headChannel;
      if (v && IsCovered(*v, f, f.channel)) {
        builder.Break(f.channel);
        return;
      }
      builder.Add(i, f, ReasonOf(v, f, entryFree, headDataEnd));
    };
    // Sequential transfers over the data area; each starts where the last one's walk stopped
    // (at most one frame back), and that is always past the last start: the loop moves on.
    uint32_t at = recfile::kDataOffset;
    while (at < fileBytes) {
      const uint32_t want = std::min(kTransferBytes, fileBytes - at);
      const int got = region.file->ReadPos(at, buffer.data(), want, true);
      if (got <= 0) break;  // unreadable from here: the rest of the file is passed over
      const bool atEnd = static_cast<uint32_t>(got) < want || at + want >= fileBytes;
      const size_t used = ScanFrames(buffer.data(), static_cast<size_t>(got), at, kMaxFrameBytes,
                                     atEnd, take);
      const uint32_t step = static_cast<uint32_t>(std::max<size_t>(used, 1));
      if (atEnd) break;
      at += step;
      done += step;
      if (options.progress) options.progress(done, total);
    }
    builder.Flush();
    done = uint64_t{i + 1} * (total / std::max<uint32_t>(count, 1));
    if (options.progress) options.progress(done, total);
  }
  pieces->clear();
  for (const Piece& p : found)
    if (Wanted(p, options)) pieces->push_back(p);
  return 0;
}

}  // namespace recovery
