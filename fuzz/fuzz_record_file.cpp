// Fuzz target: a record file whose head is valid and whose index area and data area are fuzz
// bytes, repaired by the record writer's RepairFile and read by the record reader in normal and
// key-frame modes (GetFrameInRange). Nothing may read past the file, hand out a frame larger
// than the caller's buffer or wait without progress.
//
// Input: byte 0 the play mode (normal, fast x4, back), then up to 4 KiB of index area, then the
// data area (the rest, up to 256 KiB). The file, held in memory, ends 4 KiB of zeros after the
// data (a longer run of zeros would only make the repair's search for the next frame longer);
// the reader refills on the calling thread (no device service thread) and sleeps are counted,
// not slept.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "api/context.h"
#include "fuzz/memory_file.h"
#include "fuzz/sleep_budget.h"
#include "platform/messages.h"
#include "record/record_format.h"
#include "record/record_reader.h"
#include "record/record_writer.h"

namespace {
constexpr uint32_t kTailBytes = 4096;
fuzz::MemoryFile* g_file = nullptr;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_record_file: %s\n", what);
  std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  auto* ctx = new qvfs::ScopedContext;
  ctx->get().deviceServices().SetThreads(false);
  // Buffers the size of the inputs: fresh pages for megabytes per input would be most of the time.
  ctx->get().shared().params().playBufferSize = 256 << 10;
  ctx->get().shared().params().frameBufferSize = 64 << 10;
  platform::SetConsoleOutput(false);
  fuzz::InstallSleepBudget("fuzz_record_file");
  g_file = new fuzz::MemoryFile("fuzz_record_file");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const int mode = data[0] % 3;
  const size_t indexBytes = std::min<size_t>(size - 1, 4096);
  const uint8_t* index = data + 1;
  const uint8_t* payload = index + indexBytes;
  const size_t dataBytes = std::min<size_t>(size - 1 - indexBytes, 256 << 10);

  fuzz::NewInput();
  const uint32_t fileBytes = recfile::kDataOffset + static_cast<uint32_t>(dataBytes) + kTailBytes;
  recfile::RecordHead h = recfile::NewHead(fileBytes, 0, 1, 0);
  h.dataEnd = recfile::kDataOffset + static_cast<uint32_t>(dataBytes);
  h.startTime = 0;
  g_file->Reset(fileBytes);
  g_file->WriteAt(0, &h, sizeof h);
  g_file->WriteAt(recfile::kIndexOffset, index, indexBytes);
  g_file->WriteAt(recfile::kDataOffset, payload, dataBytes);
  const std::string& path = g_file->path();

  // One reader and one writer for every input, as a player and a recorder keep theirs: their
  // buffers are reused instead of fresh pages for each input.
  static CRecordReader reader;
  if (reader.Open(path, 0, 0, 0, true) == 0) {
    reader.SetPlayMode(mode == 0 ? kModeNormal : mode == 1 ? kModeFast : kModeBack, 4);
    std::vector<uint8_t> out(64 << 10);
    for (int i = 0; i < 200; ++i) {
      const uint32_t cap = 1000 + static_cast<uint32_t>(i) * 300;
      const int n = reader.GetFrameInRange(out.data(), cap);
      if (n > static_cast<int>(cap)) Fail("a frame larger than the buffer");
      // It refills on this thread: a timeout means hundreds of passes without progress.
      if (n == ERR_READER_TIMEOUT) Fail("stall: the reader timed out waiting for a frame");
      if (n <= 0 && n != -8002) break;
    }
    reader.Close();
  }
  static CRecordWriter writer(1);
  uint32_t end = 0;
  int64_t endTime = 0;
  if (writer.RepairFile(path, 0, fileBytes, 0, 0, &end, &endTime) == 0 &&
      (end < recfile::kDataOffset || end > fileBytes))
    Fail("a repaired data end outside the file");
  return 0;
}
