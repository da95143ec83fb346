#include "platform/sgio_transport.h"

#include <errno.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>

#include "platform/last_error.h"

namespace platform {

namespace {
int RealIoctl(int fd, unsigned long request, void* arg) { return ::ioctl(fd, request, arg); }
std::atomic<IoctlFn> g_ioctl{&RealIoctl};
constexpr int kScsiStatusCheckCondition = 0x02;
}  // namespace

IoctlFn SgIoctl() { return g_ioctl.load(); }

IoctlFn SetSgIoctl(IoctlFn fn) { return g_ioctl.exchange(fn ? fn : &RealIoctl); }

bool AnswersSgIo(int fd) {
  int version = 0;
  return SgIoctl()(fd, SG_GET_VERSION_NUM, &version) == 0 && version >= 30000;
}

SgIoTransport::~SgIoTransport() {
  if (fd_ >= 0) ::close(fd_);
}

bool SgIoTransport::Execute(ScsiRequest& req) {
  std::memset(req.sense, 0, sizeof req.sense);
  sg_io_hdr_t hdr{};
  hdr.interface_id = 'S';
  hdr.cmd_len = req.cdbLength;
  hdr.cmdp = req.cdb;
  hdr.mx_sb_len = kSenseAreaSize;
  hdr.sbp = req.sense;
  hdr.timeout = req.timeoutSec * 1000;
  hdr.dxferp = req.data;
  hdr.dxfer_len = req.data ? req.dataLength : 0;
  switch (req.direction) {
    case IO_DATA_OUT:
      hdr.dxfer_direction = SG_DXFER_TO_DEV;
      break;
    case IO_DATA_IN:
      hdr.dxfer_direction = SG_DXFER_FROM_DEV;
      break;
    default:
      hdr.dxfer_direction = SG_DXFER_NONE;
      hdr.dxfer_len = 0;
      break;
  }
  if (hdr.dxfer_len == 0) hdr.dxfer_direction = SG_DXFER_NONE;

  int rc;
  do {
    rc = SgIoctl()(fd_, SG_IO, &hdr);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    SetLastOsErrorFromErrno(errno);
    return false;
  }
  // A command that ended with CHECK CONDITION brings its own sense data; keep it as it is.
  if (hdr.sb_len_wr > 0 && (req.sense[0] & 0x70) != 0) return true;
  if (hdr.status == kScsiStatusCheckCondition) {
    // Check condition without sense: the caller sees a failure without a usable sense code.
    req.sense[0] = 0x70;
    return true;
  }
  if ((hdr.info & SG_INFO_OK_MASK) != SG_INFO_OK) {
    // Transport-level failure (host or driver status) without sense data.
    SetLastOsError(kOsGeneralFailure);
    return false;
  }
  return true;
}

}  // namespace platform
