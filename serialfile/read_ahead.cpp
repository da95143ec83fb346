#include "serialfile/read_ahead.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "serialfile/region_io.h"
#include "serialfile/serial_file_base.h"

namespace {

struct Slot {
  std::vector<uint8_t> bytes;
  uint32_t count = 0;
  int result = 0;
  std::atomic<bool> full{false};  // read and not yet taken (set and cleared under the mutex)
};

// A pause in a spin: the other hardware thread of the core (perhaps the reader) runs on.
inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

// The caller waits for the reader's next piece. A piece takes a fraction of a millisecond to
// read; a thread put to sleep for it wakes up late (much later in a virtual machine), so the
// caller first watches the slot for up to 2 ms before it sleeps.
void WaitFull(Slot& slot, std::mutex& mutex, std::condition_variable& changed) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(2);
  do {
    for (int i = 0; i < 64; ++i) {
      if (slot.full.load(std::memory_order_acquire)) return;
      CpuRelax();
    }
  } while (std::chrono::steady_clock::now() < until);
  std::unique_lock<std::mutex> lock(mutex);
  changed.wait(lock, [&] { return slot.full.load(); });
}

int Failure(int result) { return result < 0 ? result : ERR_READ_FAILED; }

// The pieces read and taken in turn on the caller's thread: for a stretch of one piece, which
// does not pay for a thread, and when no thread can be started.
int ReadInTurn(CSerialFileBase& file, uint32_t offset, uint32_t total, uint32_t piece,
               const PieceFn& take) {
  std::vector<uint8_t> bytes(std::min(piece, total));
  for (uint32_t done = 0; done < total;) {  // moves on by a whole piece each pass
    const uint32_t count = std::min(piece, total - done);
    const int r = file.ReadPos(offset + done, bytes.data(), count, true);
    if (r != static_cast<int>(count)) return Failure(r);
    if (!take(bytes.data(), count, offset + done)) break;
    done += count;
  }
  return 0;
}

}  // namespace

int ReadAhead(CSerialFileBase& file, uint32_t offset, uint32_t total, uint32_t piece,
              const PieceFn& take) {
  if (total == 0 || piece == 0) return 0;
  if (total <= piece) return ReadInTurn(file, offset, total, piece, take);
  const uint32_t pieces = (total - 1) / piece + 1;
  Slot slots[2];
  slots[0].bytes.resize(piece);
  slots[1].bytes.resize(piece);
  std::mutex mutex;
  std::condition_variable changed;
  bool stop = false;  // the caller is done: the reader leaves

  // The reader fills the slots in turn, each once the caller has taken it; it ends after the
  // last piece or the first failed read (whose slot tells the caller).
  std::thread reader;
  auto readPieces = [&] {
    for (uint32_t p = 0; p < pieces; ++p) {  // one piece per pass
      Slot& slot = slots[p % 2];
      {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return !slot.full || stop; });
        if (stop) return;
      }
      const uint32_t count = std::min(piece, total - p * piece);
      const int r = file.ReadPos(offset + p * piece, slot.bytes.data(), count, true);
      {
        std::lock_guard<std::mutex> lock(mutex);
        slot.count = count;
        slot.result = r;
        slot.full = true;
      }
      changed.notify_all();
      if (r != static_cast<int>(count)) return;
    }
  };
  try {
    reader = std::thread(readPieces);
  } catch (const std::system_error&) {
    return ReadInTurn(file, offset, total, piece, take);
  }

  int rc = 0;
  for (uint32_t p = 0; p < pieces; ++p) {  // one piece per pass
    Slot& slot = slots[p % 2];
    WaitFull(slot, mutex, changed);
    if (slot.result != static_cast<int>(slot.count)) {
      rc = Failure(slot.result);
      break;
    }
    if (!take(slot.bytes.data(), slot.count, offset + p * piece)) break;
    {
      std::lock_guard<std::mutex> lock(mutex);
      slot.full = false;
    }
    changed.notify_all();
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    stop = true;
  }
  changed.notify_all();
  reader.join();
  return rc;
}
