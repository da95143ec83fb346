// CSerialFileCom: a region file kept as an ordinary file (a folder copy of a record disk, a
// backup output), over a buffered C stream. Not locked except in Close; its stream is never
// shared between objects.
#pragma once

#include <cstdio>
#include <vector>

#include "serialfile/serial_file_base.h"

// File-variant result codes.
enum ComFileResult : int {
  ERR_FILE_OPEN = -99,  // the file cannot be opened
  ERR_NO_STREAM = -100, // no path, or no open stream
};

class CSerialFileCom : public CSerialFileBase {
 public:
  CSerialFileCom();
  ~CSerialFileCom() override;

  // Opens the file "rb+" (created "wb+" when missing). A read-only open (mode 0) uses "rb" and
  // never creates or changes the file.
  int Open(const char* path, uint32_t startLbaLow, uint32_t startLbaHigh, uint32_t dataSize,
           int mode) override;
  // Closes the stream; a short file opened for writing whose appends came within 1 MiB of its
  // data size is first grown to its full size.
  int Close() override;
  int Reopen() override;
  int Seek(int64_t offset, int origin) override;
  int Read(void* buffer, uint32_t size, bool lock) override;
  int Write(const void* buffer, uint32_t size, bool lock) override;
  int ReadPos(uint32_t position, void* buffer, uint32_t size, bool lock) override;
  int WritePos(uint32_t position, const void* buffer, uint32_t size, bool lock) override;
  int Flush() override;
  int WriteCachePos(uint32_t position, const void* buffer, uint32_t size, bool lock) override;
  CDisk_Dev* GetScsiDev() override { return nullptr; }
  uint32_t GetCurOffset(bool askOs) override;
  int ExtendToFullSize() override;

 private:
  bool Writable() const { return st_.mode != MODE_RDONLY; }
  // Positions the stream for a positioned transfer (absolute seek twice, then a relative seek,
  // then a re-open); 0 or -1001 after printing the message.
  int PositionStream(uint32_t position, bool forWrite);
  int64_t FileSize() const;
  void CloseStream();

  std::vector<char> streamBuf_;
  FILE* stream_ = nullptr;
};
