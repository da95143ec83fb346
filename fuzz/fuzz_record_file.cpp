// Fuzz target: a record file whose head is valid and whose index area and data area are fuzz
// bytes, repaired by the record writer's RepairFile and read by the record reader in normal and
// key-frame modes (GetFrameInRange). Nothing may read past the file or hand out a frame larger
// than the caller's buffer.
//
// Input: byte 0 the play mode (normal, fast x4, back), then up to 4 KiB of index area, then the
// data area (the rest, up to 256 KiB). The file lives in /dev/shm (or $TMPDIR) and is 1 MiB.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "api/context.h"
#include "record/record_format.h"
#include "record/record_reader.h"
#include "record/record_writer.h"

namespace {
constexpr uint32_t kFileBytes = 1 << 20;
std::string g_path;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_record_file: %s\n", what);
  std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  auto* ctx = new qvfs::ScopedContext;
  ctx->get().deviceServices().SetIntervals(1, 20);  // refills as fast as the reader asks
  const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : (getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp");
  g_path = std::string(dir) + "/fuzz_record_file." + std::to_string(getpid());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const int mode = data[0] % 3;
  const size_t indexBytes = std::min<size_t>(size - 1, 4096);
  const uint8_t* index = data + 1;
  const uint8_t* payload = index + indexBytes;
  const size_t dataBytes = std::min<size_t>(size - 1 - indexBytes, 256 << 10);

  std::vector<uint8_t> file(kFileBytes, 0);
  recfile::RecordHead h = recfile::NewHead(kFileBytes, 0, 1, 0);
  h.dataEnd = recfile::kDataOffset + static_cast<uint32_t>(dataBytes);
  h.startTime = 0;
  std::memcpy(file.data(), &h, sizeof h);
  std::memcpy(file.data() + recfile::kIndexOffset, index, indexBytes);
  std::memcpy(file.data() + recfile::kDataOffset, payload, dataBytes);
  FILE* f = fopen(g_path.c_str(), "wb");
  if (!f) Fail("cannot write the file");
  fwrite(file.data(), 1, file.size(), f);
  fclose(f);

  CRecordReader reader;
  if (reader.Open(g_path, 0, 0, 0, true) == 0) {
    reader.SetPlayMode(mode == 0 ? kModeNormal : mode == 1 ? kModeFast : kModeBack, 4);
    std::vector<uint8_t> out(64 << 10);
    for (int i = 0; i < 200; ++i) {
      const uint32_t cap = 1000 + static_cast<uint32_t>(i) * 300;
      const int n = reader.GetFrameInRange(out.data(), cap);
      if (n > static_cast<int>(cap)) Fail("a frame larger than the buffer");
      if (n <= 0 && n != -8002) break;
    }
    reader.Close();
  }
  CRecordWriter writer(1);
  uint32_t end = 0;
  int64_t endTime = 0;
  if (writer.RepairFile(g_path, 0, kFileBytes, 0, 0, &end, &endTime) == 0 &&
      (end < recfile::kDataOffset || end > kFileBytes))
    Fail("a repaired data end outside the file");
  unlink(g_path.c_str());
  return 0;
}
