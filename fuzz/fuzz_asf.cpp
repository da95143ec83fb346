// Fuzz target: ASF-packaged record files with damaged packets and index areas. The input
// describes media objects, which the packetizer puts into real packets, then bytes to spoil
// anywhere in the index area and the packets. Every packet is parsed, the file is repaired by
// CAsfFile::RepairFile, reopened to append a frame and closed. Nothing may read past a buffer,
// and a repaired data end must lie inside the file on whole packets.
//
// Input: byte 0 count of spoilt bytes (each: 3 bytes of position, 1 byte to xor), then objects
// (2 bytes of size, 1 byte: bit 0 audio, bit 1 key, bits 2..7 time step) up to 128 KiB of data:
// enough for dozens of packets and index entries, while most of an input's time is its writing.
// The file is held in memory; sleeps are counted, not slept.
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
#include "record/asf_file.h"
#include "record/asf_format.h"
#include "record/record_format.h"

namespace {
fuzz::MemoryFile* g_file = nullptr;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_asf: %s\n", what);
  std::abort();
}

// A "PTMF" frame around n payload bytes.
std::vector<uint8_t> Frame(uint8_t type, int64_t pts, uint32_t n, uint8_t fill) {
  std::vector<uint8_t> f(224 + n, fill);
  std::memset(f.data(), 0, 224);
  std::memcpy(f.data(), "PTMF", 4);
  f[4] = 224;
  f[5] = type;
  std::memcpy(&f[12], &n, 4);
  const uint32_t low = static_cast<uint32_t>(pts);
  const uint16_t high = static_cast<uint16_t>(static_cast<uint64_t>(pts) >> 32);
  std::memcpy(&f[16], &low, 4);
  std::memcpy(&f[20], &high, 2);
  return f;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  auto* ctx = new qvfs::ScopedContext;
  ctx->get().deviceServices().SetThreads(false);
  platform::SetConsoleOutput(false);
  fuzz::InstallSleepBudget("fuzz_asf");
  g_file = new fuzz::MemoryFile("fuzz_asf");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  fuzz::NewInput();
  const std::string& path = g_file->path();
  const size_t spoilt = std::min<size_t>(data[0], (size - 1) / 4);
  const uint8_t* spoil = data + 1;
  size_t at = 1 + spoilt * 4;
  int64_t pts = 1700000000000;
  uint32_t total = 0;
  // The writers live from input to input, as a recorder keeps its own: their buffers are reused
  // instead of fresh pages for each input.
  static CAsfFile w(0), fixer(0), again(0);
  {
    if (w.OpenNew(path, 0, 0, pts, nullptr) != 0) Fail("cannot create the file");
    bool first = true;
    while (at + 3 <= size && total < (128u << 10)) {
      uint32_t n = static_cast<uint32_t>(data[at] | data[at + 1] << 8) % 70000 + 1;
      const uint8_t flags = data[at + 2];
      at += 3;
      const uint8_t type = first ? 'I' : (flags & 1) ? 'A' : (flags & 2) ? 'I' : 'P';
      first = false;
      pts += flags >> 2;
      auto f = Frame(type, pts, n, static_cast<uint8_t>(at));
      w.WriteFrame(f.data(), static_cast<uint32_t>(f.size()));
      total += n;
    }
    w.Close();
  }
  // Spoil bytes of the index area and the packets.
  const long fileBytes = static_cast<long>(g_file->Size());
  const long spoilFrom = recfile::kIndexOffset;
  for (size_t k = 0; k < spoilt && fileBytes > spoilFrom; ++k) {
    const uint8_t* s = spoil + k * 4;
    const long pos = spoilFrom + static_cast<long>((s[0] | s[1] << 8 | s[2] << 16) %
                                                   static_cast<uint32_t>(fileBytes - spoilFrom));
    uint8_t c = 0;
    g_file->ReadAt(static_cast<uint64_t>(pos), &c, 1);
    c ^= s[3];
    g_file->WriteAt(static_cast<uint64_t>(pos), &c, 1);
  }
  // Every packet parses or is refused, without reading outside it.
  std::vector<uint8_t> packet(asf::kPacketBytes);
  std::vector<asf::Payload> payloads;
  for (long p = recfile::kDataOffset; p + static_cast<long>(asf::kPacketBytes) <= fileBytes;
       p += asf::kPacketBytes) {
    if (g_file->ReadAt(static_cast<uint64_t>(p), packet.data(), packet.size()) != packet.size())
      break;
    asf::ParsePacket(packet.data(), asf::kPacketBytes, &payloads);
  }

  uint32_t end = 0;
  int64_t endTime = 0;
  if (fixer.RepairFile(path, 0, 0, 0, 0, &end, &endTime) == 0 &&
      (end < recfile::kDataOffset || (end - recfile::kDataOffset) % asf::kPacketBytes != 0 ||
       end > static_cast<uint64_t>(fileBytes)))
    Fail("a repaired data end outside the packets");
  _rec_file_info_ info{};
  if (again.OpenAppend(path, info, 0, endTime) == 0) {
    auto frame = Frame('I', endTime + 40, 1000, 7);
    again.WriteFrame(frame.data(), static_cast<uint32_t>(frame.size()));
    again.Close();
  }
  return 0;
}
