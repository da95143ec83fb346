// The exported recovery functions: the scan for recordings the index no longer shows, and the
// record description of a piece it found (for the player and the backups).
#include <algorithm>
#include <cstring>

#include "api/context.h"
#include "qvfs/qvfs.h"
#include "record/recovery.h"
#include "recorder/disk_watch.h"

namespace {

constexpr int kErrArgument = -101;
constexpr int64_t kMaxSeconds = 4294967295;  // the searches' time range

RecoveredPiece Exported(const recovery::Piece& p, uint8_t diskNo) {
  RecoveredPiece out{};
  out.fileIndex = static_cast<int32_t>(p.fileIndex);
  out.channel = static_cast<uint8_t>(p.channel);
  out.reason = p.reason;
  out.diskNo = diskNo;
  out.frames = p.frames;
  out.keyFrames = p.keyFrames;
  out.startOffset = p.startOffset;
  out.endOffset = p.endOffset;
  out.startMs = p.startMs;
  out.endMs = p.endMs;
  out.bytes = p.bytes;
  return out;
}

}  // namespace

extern "C" {

QVFS_API int QVFS_RecoverScan(const char* drive, RecoveredPiece* out, int outBytes,
                              uint32_t channelMask, int64_t fromSec, int64_t toSec,
                              QVFS_RecoverProgress progress, void* user) {
  if (!drive || outBytes < 0 || (outBytes > 0 && !out) || fromSec < 0 || toSec > kMaxSeconds ||
      toSec < fromSec)
    return kErrArgument;
  recovery::ScanOptions o;
  o.channelMask = channelMask;
  o.fromMs = fromSec * 1000;
  o.toMs = toSec * 1000 + 999;
  if (progress) o.progress = [progress, user](uint64_t done, uint64_t total) { progress(done, total, user); };
  std::vector<recovery::Piece> pieces;
  const int r = recovery::ScanDisk(drive, o, &pieces);
  if (r < 0) return r;
  qvfs::Context& ctx = qvfs::Context::Current();
  DiskIndexRef index = ctx.diskWatch().IndexSet(0).Find(drive);
  if (!index) index = ctx.diskWatch().IndexSet(1).Find(drive);
  const uint8_t diskNo = index ? static_cast<uint8_t>(index->diskNo.load()) : 0;
  const size_t room = static_cast<size_t>(outBytes) / sizeof(RecoveredPiece);
  for (size_t i = 0; i < pieces.size() && i < room; ++i) out[i] = Exported(pieces[i], diskNo);
  return static_cast<int>(std::min<size_t>(pieces.size(), INT32_MAX));
}

QVFS_API int QVFS_RecoveredRecord(const RecoveredPiece* piece, _rec_file_info_* out) {
  if (!piece || !out || piece->fileIndex < 0 || piece->endOffset <= piece->startOffset)
    return kErrArgument;
  std::memset(out, 0, sizeof *out);
  out->channel = piece->channel;
  out->diskNo = piece->diskNo;
  out->operation = QVFS_OPERATION_RECOVERED;
  out->fileIndex = piece->fileIndex;
  out->size = static_cast<int32_t>(piece->endOffset - piece->startOffset);
  out->endOffset = piece->endOffset;
  out->startMs = piece->startMs;
  out->endMs = piece->endMs;
  return 0;
}

}  // extern "C"
