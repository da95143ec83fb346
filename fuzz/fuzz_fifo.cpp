// Fuzz target: a frame FIFO and an in-process play buffer driven by arbitrary operations.
// Each operation is 4 bytes: opcode, reader, and a 16-bit length; garbage comes from the input
// itself. Every frame handed out must fit the caller's buffer and start with a valid header.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "api/context.h"
#include "disklayout/le.h"
#include "fifo/frame_fifo.h"
#include "fifo/play_buf.h"

namespace {
[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_fifo: %s\n", what);
  std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  new qvfs::ScopedContext;  // the clock the FIFO stamps frames with
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CFrameFIFO fifo(1);
  if (fifo.InitFrames(8192) != 0) Fail("init");
  CPlayBufGeneral play;
  if (play.Open(0, 8192, nullptr, 0) != 0) Fail("open");
  std::vector<uint8_t> payload(70000, 0x11);
  std::vector<uint8_t> out(70000);
  for (size_t i = 0; i + 4 <= size; i += 4) {
    const uint8_t op = data[i] % 8;
    const int reader = data[i + 1] % 18;  // 16 and 17 are out of range
    const uint32_t len = le::Get16(data + i + 2);
    const uint8_t* garbage = data + i;
    const uint32_t gLen = static_cast<uint32_t>(std::min<size_t>(len % 600, size - i));
    int r = 0;
    switch (op) {
      case 0: r = fifo.WriteFrame(payload.data(), len, data[i + 1] & 1 ? 'I' : 'P'); break;
      case 1: r = fifo.WriteFrame(payload.data(), len % 200 + 1, 'A'); break;
      case 2: r = fifo.Write(garbage, gLen); break;
      case 3: {
        const uint32_t cap = len % 9000;
        r = fifo.ReadFrame(out.data(), cap, reader);
        if (r > 0 && (static_cast<uint32_t>(r) > cap || std::memcmp(out.data(), "PTMF", 4) != 0))
          Fail("a FIFO record over the buffer or without its magic");
        break;
      }
      case 4: r = fifo.Consume(len, reader); break;
      case 5: r = play.PutData(garbage, gLen); break;
      case 6: {
        // A record followed by what the input says.
        std::vector<uint8_t> rec(224 + len % 3000, 0);
        std::memcpy(rec.data(), "PTMF", 4);
        rec[4] = 224;
        le::Put32(&rec[12], len % 3000);
        r = play.PutData(rec.data(), static_cast<uint32_t>(rec.size()));
        break;
      }
      case 7: {
        const uint32_t cap = len % 5000;
        r = play.GetFrame(out.data(), cap);
        if (r > 0 && static_cast<uint32_t>(r) > cap) Fail("a play-buffer frame over the buffer");
        break;
      }
    }
    (void)r;
    if (fifo.DataSize() > fifo.capacity() || play.DataSize() > 8192) Fail("fill over capacity");
  }
  return 0;
}
