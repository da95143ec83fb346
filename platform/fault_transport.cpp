#include "platform/fault_transport.h"

#include <algorithm>

#include "platform/last_error.h"

namespace platform {

void FaultPlan::AddRule(const FaultRule& rule) {
  std::lock_guard<std::mutex> g(mutex_);
  rules_.push_back(rule);
}

void FaultPlan::ClearRules() {
  std::lock_guard<std::mutex> g(mutex_);
  rules_.clear();
}

void FaultPlan::CutPowerAfterWrites(int n, uint32_t tornSectors) {
  std::lock_guard<std::mutex> g(mutex_);
  writesLeft_ = n;
  tornSectors_ = tornSectors;
}

void FaultPlan::OverrideCapacity(uint64_t lastLba, uint32_t sectorSize) {
  std::lock_guard<std::mutex> g(mutex_);
  capacityOverride_ = true;
  lastLba_ = lastLba;
  sectorSize_ = sectorSize;
}

std::vector<CommandRecord> FaultPlan::Log() const {
  std::lock_guard<std::mutex> g(mutex_);
  return log_;
}

void FaultPlan::ClearLog() {
  std::lock_guard<std::mutex> g(mutex_);
  log_.clear();
}

int FaultPlan::Count(uint8_t opcode) const {
  std::lock_guard<std::mutex> g(mutex_);
  return static_cast<int>(std::count_if(log_.begin(), log_.end(),
                                        [&](const CommandRecord& r) { return r.opcode == opcode; }));
}

FaultTransport::FaultTransport(std::unique_ptr<ScsiTransport> inner,
                               std::shared_ptr<FaultPlan> plan)
    : inner_(std::move(inner)), plan_(std::move(plan)) {}

bool FaultTransport::DiscardToZero(uint64_t first, uint64_t count) {
  {
    std::lock_guard<std::mutex> g(plan_->mutex_);
    if (!plan_->rules_.empty() || plan_->writesLeft_ >= 0) return false;
  }
  return !handleLost_ && inner_->DiscardToZero(first, count);
}

bool FaultTransport::Execute(ScsiRequest& req) {
  std::memset(req.sense, 0, sizeof req.sense);
  if (handleLost_) {
    SetLastOsError(kOsInvalidHandle);
    return false;
  }
  uint64_t lba = 0;
  uint32_t blocks = 0;
  bool isWrite = false;
  bool rw = DecodeReadWrite(req, &lba, &blocks, &isWrite);

  FaultRule fired;
  bool fire = false;
  bool capacity = false;
  {
    std::lock_guard<std::mutex> g(plan_->mutex_);
    plan_->log_.push_back({req.cdb[0], rw ? lba : 0, rw ? blocks : 0, req.dataLength});
    for (FaultRule& r : plan_->rules_) {
      if (r.times == 0) continue;
      if (!r.opcodes.empty() &&
          std::find(r.opcodes.begin(), r.opcodes.end(), req.cdb[0]) == r.opcodes.end())
        continue;
      if (rw) {
        uint64_t last = blocks ? lba + blocks - 1 : lba;
        if (last < r.firstLba || lba > r.lastLba) continue;
      } else if (r.firstLba != 0 || r.lastLba != UINT64_MAX) {
        continue;
      }
      if (r.times > 0) --r.times;
      fired = r;
      fire = true;
      break;
    }
    capacity = plan_->capacityOverride_ &&
               (req.cdb[0] == kOpReadCapacity10 || req.cdb[0] == kOpServiceActionIn16);
  }
  if (fire) {
    if (fired.action == FaultRule::Action::kOsError) {
      if (fired.osError == kOsInvalidHandle) handleLost_ = true;
      SetLastOsError(fired.osError);
      return false;
    }
    SetFixedSense(req.sense, fired.key, fired.asc, fired.ascq);
    if (fired.progress >= 0) SetSenseProgress(req.sense, static_cast<uint16_t>(fired.progress));
    return true;
  }
  if (capacity) return AnswerCapacity(req);
  if (rw && isWrite) return WriteThroughPowerCut(req, blocks);
  return inner_->Execute(req);
}

bool FaultTransport::AnswerCapacity(ScsiRequest& req) {
  uint64_t lastLba;
  uint32_t sectorSize;
  {
    std::lock_guard<std::mutex> g(plan_->mutex_);
    lastLba = plan_->lastLba_;
    sectorSize = plan_->sectorSize_;
  }
  AnswerReadCapacity(req, lastLba, sectorSize);
  return true;
}

bool FaultTransport::WriteThroughPowerCut(ScsiRequest& req, uint32_t blocks) {
  uint32_t keep = UINT32_MAX;
  {
    std::lock_guard<std::mutex> g(plan_->mutex_);
    if (plan_->writesLeft_ == 0) return true;  // power is gone: the write never reaches the disk
    if (plan_->writesLeft_ > 0 && --plan_->writesLeft_ == 0) keep = plan_->tornSectors_;
  }
  if (keep >= blocks) return inner_->Execute(req);
  if (keep == 0) return true;
  // Torn write: only the first sectors reach the medium.
  ScsiRequest part = req;
  uint32_t sectorBytes = blocks ? req.dataLength / blocks : 0;
  part.dataLength = keep * sectorBytes;
  if (part.cdb[0] == kOpWrite10)
    PutBe(part.cdb + 7, 2, keep);
  else
    PutBe(part.cdb + 10, 4, keep);
  bool ok = inner_->Execute(part);
  std::memcpy(req.sense, part.sense, sizeof req.sense);
  return ok;
}

}  // namespace platform
