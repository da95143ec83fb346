#include "serialfile/serial_file_factory.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/clock.h"
#include "platform/drive_table.h"
#include "platform/messages.h"
#include "serialfile/serial_file_com.h"
#include "serialfile/serial_file_raw.h"

namespace {
constexpr uint32_t kCopyPiece = 524288;
constexpr uint32_t kCopyPauseMs = 100;
}  // namespace

CSerialFileBase* CSerialFileFactory::CreateSerialFile(const char* path) {
  if (path && std::strstr(path, platform::kDriveNamePrefix)) return new CSerialFileRaw;
  return new CSerialFileCom;
}

int CSerialFileFactory::CopyWholeFile(CSerialFileBase* source, CSerialFileBase* destination) {
  if (!source || !destination) return ERR_NULL_BUFFER;
  std::vector<uint8_t> buffer(kCopyPiece);
  const uint32_t total = source->get_data_size();
  int result = 0;
  for (uint64_t pos = 0; pos < total; pos += kCopyPiece) {
    uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(kCopyPiece, total - pos));
    result = source->ReadPos(static_cast<uint32_t>(pos), buffer.data(), n, true);
    if (result != static_cast<int>(n)) {
      platform::ConsolePrintf("Read fail src file pos %d size %d ret %d .\n",
                              static_cast<int>(pos), static_cast<int>(n), result);
      break;
    }
    result = destination->WritePos(static_cast<uint32_t>(pos), buffer.data(), n, true);
    if (result != static_cast<int>(n)) {
      platform::ConsolePrintf("Write fail dest file pos %d size %d ret %d .\n",
                              static_cast<int>(pos), static_cast<int>(n), result);
      break;
    }
    if (pos + n < total) platform::SleepMs(kCopyPauseMs);
  }
  return result;
}
