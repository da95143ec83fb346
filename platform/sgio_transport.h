// Sends SCSI commands to a Linux block device through the SG_IO ioctl (sd disks: SATA, SAS,
// USB disks and card readers). The ioctl is reached through a replaceable function so that the
// command path can be tested without a device that answers SG_IO.
#pragma once

#include "platform/scsi.h"

namespace platform {

using IoctlFn = int (*)(int fd, unsigned long request, void* arg);

// The ioctl that SG_IO transports use; the real one unless a test replaced it.
IoctlFn SgIoctl();
// Replaces the ioctl (null restores the real one); returns the previous function.
IoctlFn SetSgIoctl(IoctlFn fn);

// True when the device node behind fd answers the SG interface (SG_GET_VERSION_NUM).
bool AnswersSgIo(int fd);

class SgIoTransport : public ScsiTransport {
 public:
  explicit SgIoTransport(int fd) : fd_(fd) {}  // takes ownership of fd
  ~SgIoTransport() override;

  bool Execute(ScsiRequest& req) override;
  int Handle() const override { return fd_; }

 private:
  int fd_;
};

}  // namespace platform
