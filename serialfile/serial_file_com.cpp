#include "serialfile/serial_file_com.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/last_error.h"
#include "platform/messages.h"

using platform::ConsolePrintf;

namespace {
constexpr uint32_t kStreamBufferBytes = 4096;
constexpr uint64_t kExtendWindow = 1048576;  // appends this close to the end grow the file
}  // namespace

CSerialFileCom::CSerialFileCom() : streamBuf_(kStreamBufferBytes) {
  st_.dataSize = 134217728;
  st_.recordTime = true;
}

CSerialFileCom::~CSerialFileCom() { CloseStream(); }

void CSerialFileCom::CloseStream() {
  if (stream_) fclose(stream_);
  stream_ = nullptr;
}

int64_t CSerialFileCom::FileSize() const {
  struct stat st {};
  if (!stream_ || fstat(fileno(stream_), &st) != 0) return -1;
  return st.st_size;
}

int CSerialFileCom::Open(const char* path, uint32_t startLbaLow, uint32_t startLbaHigh,
                         uint32_t dataSize, int mode) {
  if (!path) {
    ConsolePrintf("NO device.\n");
    return ERR_NO_STREAM;
  }
  CloseStream();
  name_ = path;
  if (mode == MODE_RDONLY) {
    stream_ = fopen(path, "rb");
  } else {
    stream_ = access(path, F_OK) == 0 ? fopen(path, "rb+") : fopen(path, "wb+");
  }
  if (!stream_) {
    platform::SetLastOsErrorFromErrno(errno);
    ConsolePrintf("Error open %s  errno %d .\n", path, 0);
    return ERR_FILE_OPEN;
  }
  st_.startLba = static_cast<uint64_t>(startLbaHigh) << 32 | startLbaLow;
  st_.dataSize = dataSize;
  st_.mode = mode;
  st_.curOffset = 0;
  st_.status = STATUS_IDLE;
  StampWriteTime();
  st_.lastError = 0;
  setvbuf(stream_, streamBuf_.data(), _IOFBF, streamBuf_.size());
  return 0;
}

int CSerialFileCom::Close() {
  CAutoLock g(st_.lock);
  // Buffered data first: the size on disk decides whether the file is short, and a byte written
  // at the end of a file that is not short would overwrite data.
  if (stream_) fflush(stream_);
  if (stream_ && Writable() && FileSize() >= 0 &&
      static_cast<uint64_t>(FileSize()) < st_.dataSize &&
      st_.dataSize < static_cast<uint64_t>(st_.curOffset) + kExtendWindow)
    ExtendToFullSize();
  CloseStream();
  st_.startLba = 0;
  st_.dataSize = 0;
  st_.curOffset = 0;
  st_.status = STATUS_CLOSED;
  st_.mode = MODE_CLOSED;
  return 0;
}

int CSerialFileCom::Reopen() {
  std::string name = name_;
  uint64_t lba = st_.startLba;
  uint32_t size = st_.dataSize;
  int mode = st_.mode;
  CloseStream();
  return Open(name.c_str(), static_cast<uint32_t>(lba), static_cast<uint32_t>(lba >> 32), size,
              mode);
}

int CSerialFileCom::ExtendToFullSize() {
  if (!stream_) return ERR_NO_STREAM;
  if (st_.dataSize == 0) return 0;
  if (fseeko(stream_, static_cast<off_t>(st_.dataSize) - 1, SEEK_SET) != 0) return ERR_SEEK_PARAM;
  if (fwrite("1", 1, 1, stream_) != 1) return ERR_WRITE_FAILED;
  return 0;
}

int CSerialFileCom::Seek(int64_t offset, int origin) {
  if (offset < 0 || offset > st_.dataSize) return ERR_SEEK_PARAM;
  if (!stream_) return ERR_NO_STREAM;
  int64_t target;
  switch (origin) {
    case 0:
      target = offset;
      break;
    case 1:
      target = static_cast<int64_t>(st_.curOffset) + offset;
      if (target > st_.dataSize) return ERR_SEEK_PARAM;
      break;
    case 2:
      target = st_.dataSize ? st_.dataSize - 1 : 0;
      break;
    default:
      ConsolePrintf("Error param.\n");
      return ERR_SEEK_PARAM;
  }
  // The stream goes where the current offset goes (origin 2 included), so the two never part.
  if (fseeko(stream_, static_cast<off_t>(target), SEEK_SET) != 0) return ERR_SEEK_PARAM;
  st_.curOffset = static_cast<uint32_t>(target);
  return 0;
}

int CSerialFileCom::Read(void* buffer, uint32_t size, bool) {
  if (!stream_) return ERR_NO_DEVICE;
  if (!buffer) return ERR_NULL_BUFFER;
  if (region_io::OverFile(st_, st_.curOffset, size)) return ERR_DATA_OVER_FILE;
  if (size == 0) return 0;
  if (fread(buffer, size, 1, stream_) != 1) return ERR_READ_FAILED;
  st_.curOffset += size;
  return static_cast<int>(size);
}

int CSerialFileCom::Write(const void* buffer, uint32_t size, bool) {
  if (!stream_) return ERR_NO_DEVICE;
  if (!buffer) return ERR_NULL_BUFFER;
  if (!Writable()) {
    ConsolePrintf("The file is RDONLY.\n");
    return ERR_ACCESS_MODE;
  }
  if (region_io::OverFile(st_, st_.curOffset, size)) return ERR_DATA_OVER_FILE;
  if (size == 0) return 0;
  if (fwrite(buffer, size, 1, stream_) != 1) return ERR_WRITE_FAILED;
  st_.curOffset += size;
  return static_cast<int>(size);
}

int CSerialFileCom::PositionStream(uint32_t position, bool forWrite) {
  for (int attempt = 0; attempt < 2; ++attempt)
    if (fseeko(stream_, position, SEEK_SET) == 0) return 0;
  off_t current = ftello(stream_);
  if (current >= 0) st_.curOffset = static_cast<uint32_t>(current);
  int64_t diff = static_cast<int64_t>(position) - current;
  if (current >= 0 && fseeko(stream_, static_cast<off_t>(diff), SEEK_CUR) == 0) return 0;
  if (Reopen() == 0 && fseeko(stream_, position, SEEK_SET) == 0) return 0;
  if (forWrite)
    ConsolePrintf("SEEK_CUR error destoffset %d  diff %d m_cur_offset %d ret %d . \n",
                  static_cast<int>(position), static_cast<int>(diff),
                  static_cast<int>(st_.curOffset), ERR_SEEK_PARAM);
  else
    ConsolePrintf("SEEK_CUR error destoffset %d  diff %d m_cur_offset %d  errno %d . \n",
                  static_cast<int>(position), static_cast<int>(diff),
                  static_cast<int>(st_.curOffset), platform::GetLastOsError());
  return ERR_SEEK_PARAM;
}

int CSerialFileCom::ReadPos(uint32_t position, void* buffer, uint32_t size, bool) {
  if (!stream_) return ERR_NO_DEVICE;
  if (!buffer) return ERR_NULL_BUFFER;
  if (region_io::OverFile(st_, position, size)) {
    ConsolePrintf("dataSize %d is ERR_DATA_OVER_FILE. file size %d \n", static_cast<int>(size),
                  static_cast<int>(st_.dataSize));
    return ERR_DATA_OVER_FILE;
  }
  if (size == 0) {
    ConsolePrintf("dataSize %d Error .\n", 0);
    return ERR_ZERO_SIZE;
  }
  if (int r = PositionStream(position, false)) return r;
  if (fread(buffer, size, 1, stream_) != 1) return ERR_READ_FAILED;
  st_.curOffset = position + size;
  return static_cast<int>(size);
}

int CSerialFileCom::WritePos(uint32_t position, const void* buffer, uint32_t size, bool) {
  if (!stream_) return ERR_NO_DEVICE;
  if (!buffer) return ERR_NULL_BUFFER;
  if (!Writable()) {
    ConsolePrintf("The file is RDONLY.\n");
    return ERR_ACCESS_MODE;
  }
  if (region_io::OverFile(st_, position, size)) {
    ConsolePrintf("dataSize %d is ERR_DATA_OVER_FILE offset %d fileSize %d.\n",
                  static_cast<int>(size), static_cast<int>(position),
                  static_cast<int>(st_.dataSize));
    return ERR_DATA_OVER_FILE;
  }
  if (size == 0) return 0;
  if (int r = PositionStream(position, true)) return r;
  if (ftello(stream_) != static_cast<off_t>(position)) {
    if (Reopen() != 0 || fseeko(stream_, position, SEEK_SET) != 0) {
      ConsolePrintf("SEEK_CUR error destoffset %d  diff %d m_cur_offset %d ret %d . \n",
                    static_cast<int>(position), 0, static_cast<int>(st_.curOffset),
                    ERR_SEEK_PARAM);
      return ERR_SEEK_PARAM;
    }
  }
  if (fwrite(buffer, size, 1, stream_) != 1) return ERR_WRITE_FAILED;
  return static_cast<int>(size);
}

int CSerialFileCom::Flush() { return stream_ && fflush(stream_) != 0 ? ERR_WRITE_FAILED : 0; }

int CSerialFileCom::WriteCachePos(uint32_t position, const void* buffer, uint32_t size, bool) {
  if (!stream_) return ERR_NO_DEVICE;
  if (!buffer) return ERR_NULL_BUFFER;
  if (!Writable()) {
    ConsolePrintf("The file is RDONLY.\n");
    return ERR_ACCESS_MODE;
  }
  if (region_io::OverFile(st_, position, size)) {
    ConsolePrintf("dataSize  %d is ERR_DATA_OVER_FILE.\n", static_cast<int>(size));
    return ERR_DATA_OVER_FILE;
  }
  if (fseeko(stream_, position, SEEK_SET) != 0) return ERR_SEEK_PARAM;
  if (size && fwrite(buffer, size, 1, stream_) != 1) return ERR_WRITE_FAILED;
  st_.curOffset = position + size;
  StampWriteTime();
  return static_cast<int>(size);
}

uint32_t CSerialFileCom::GetCurOffset(bool askOs) {
  if (askOs && stream_) {
    off_t pos = ftello(stream_);
    if (pos >= 0) return static_cast<uint32_t>(pos);
  }
  return st_.curOffset;
}
