// A transport wrapper for tests: it forwards to another transport and, where a rule says so,
// makes commands fail with chosen sense data or a failed OS call (a lost handle among them),
// overrides the capacity a device reports, logs every command, and can cut the power: every
// write after the Nth is dropped, and the Nth may be torn at a sector boundary.
//
// The plan is shared: a device that re-opens after a lost handle gets a new wrapper over the
// same plan, so counts and the log carry on.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/scsi.h"
#include "platform/thread_annotations.h"

namespace platform {

struct FaultRule {
  enum class Action { kSense, kOsError };
  Action action = Action::kSense;
  std::vector<uint8_t> opcodes;  // commands the rule applies to; empty means every command
  uint64_t firstLba = 0;         // for reads and writes: the LBA range the command must touch
  uint64_t lastLba = UINT64_MAX;
  int times = -1;                // how often the rule fires; -1 for ever
  // kSense: the command completes with this fixed-format sense.
  uint8_t key = 0, asc = 0, ascq = 0;
  int progress = -1;             // >= 0: progress indication in sense bytes 16..17
  // kOsError: the OS call fails with this error; 6 (invalid handle) also loses the handle
  // until the device is re-opened.
  int osError = 0;
};

struct CommandRecord {
  uint8_t opcode = 0;
  uint64_t lba = 0;       // reads and writes only
  uint32_t blocks = 0;    // reads and writes only
  uint32_t dataLength = 0;
};

class FaultPlan {
 public:
  void AddRule(const FaultRule& rule);
  void ClearRules();
  // Writes after the nth (counted from now, 1-based) are dropped; the nth keeps only its first
  // tornSectors sectors (UINT32_MAX keeps all of it).
  void CutPowerAfterWrites(int n, uint32_t tornSectors = UINT32_MAX);
  // READ CAPACITY answers with this last LBA and sector size instead of the device's.
  void OverrideCapacity(uint64_t lastLba, uint32_t sectorSize);

  std::vector<CommandRecord> Log() const;
  void ClearLog();
  // Number of logged commands with this opcode.
  int Count(uint8_t opcode) const;

 private:
  friend class FaultTransport;
  mutable std::mutex mutex_;
  std::vector<FaultRule> rules_ QVFS_GUARDED_BY(mutex_);
  std::vector<CommandRecord> log_ QVFS_GUARDED_BY(mutex_);
  int writesLeft_ QVFS_GUARDED_BY(mutex_) = -1;  // -1: no power cut planned
  uint32_t tornSectors_ QVFS_GUARDED_BY(mutex_) = UINT32_MAX;
  bool capacityOverride_ QVFS_GUARDED_BY(mutex_) = false;
  uint64_t lastLba_ QVFS_GUARDED_BY(mutex_) = 0;
  uint32_t sectorSize_ QVFS_GUARDED_BY(mutex_) = 512;
};

class FaultTransport : public ScsiTransport {
 public:
  FaultTransport(std::unique_ptr<ScsiTransport> inner, std::shared_ptr<FaultPlan> plan);

  bool Execute(ScsiRequest& req) override;
  // Forwarded only while the plan has no rules and no power cut: otherwise the zero writes go
  // through Execute, so that faults apply to them.
  bool DiscardToZero(uint64_t first, uint64_t count) override;
  int Handle() const override { return inner_->Handle(); }

 private:
  bool AnswerCapacity(ScsiRequest& req);
  bool WriteThroughPowerCut(ScsiRequest& req, uint32_t blocks);

  std::unique_ptr<ScsiTransport> inner_;
  std::shared_ptr<FaultPlan> plan_;
  bool handleLost_ = false;
};

}  // namespace platform
