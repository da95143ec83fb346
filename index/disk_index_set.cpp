#include "index/disk_index_set.h"

#include <algorithm>

std::vector<DiskIndexRef> DiskIndexSet::Indexes() {
  CAutoLock g(&lock_);
  return std::vector<DiskIndexRef>(indexes_.begin(), indexes_.end());
}

DiskIndexRef DiskIndexSet::Find(const std::string& path) {
  CAutoLock g(&lock_);
  for (auto& i : indexes_)
    if (i->path == path) return i;
  return nullptr;
}

DiskIndexRef DiskIndexSet::Add(DiskIndexRef index) {
  CAutoLock g(&lock_);
  indexes_.push_back(std::move(index));
  return indexes_.back();
}

bool DiskIndexSet::Remove(const std::string& path) {
  CAutoLock g(&lock_);
  for (auto it = indexes_.begin(); it != indexes_.end(); ++it) {
    if ((*it)->path != path) continue;
    indexes_.erase(it);
    takeFirst_ = 0;
    return true;
  }
  return false;
}

void DiskIndexSet::Clear() {
  CAutoLock g(&lock_);
  indexes_.clear();
  takeFirst_ = 0;
}

size_t DiskIndexSet::Size() {
  CAutoLock g(&lock_);
  return indexes_.size();
}

FileGrant DiskIndexSet::GrantOf(const DiskIndex& d, uint32_t fileIndex) const {
  FileGrant g;
  g.diskNo = d.diskNo;
  g.fileIndex = fileIndex;
  g.fileBytes = d.recordFileBytes;
  g.path = d.path;
  g.medium = d.medium;
  g.identity = d.identity;
  return g;
}

int DiskIndexSet::TakeFreeFile(FileGrant* out) {
  CAutoLock g(&lock_);
  std::vector<DiskIndex*> order;
  for (auto& i : indexes_) order.push_back(i.get());
  if (order.empty()) return ERR_INDEX_NO_RESULT;
  if (takeFirst_ >= order.size()) takeFirst_ = 0;
  for (size_t k = 0; k < order.size(); ++k) {
    const size_t at = (takeFirst_ + k) % order.size();
    uint32_t fileIndex = 0;
    if (order[at]->TakeFreeFile(&fileIndex) != 0) continue;
    takeFirst_ = at;
    *out = GrantOf(*order[at], fileIndex);
    return 0;
  }
  return ERR_INDEX_NO_RESULT;
}

int DiskIndexSet::RecycleFile(FileGrant* out) {
  CAutoLock g(&lock_);
  for (auto& i : indexes_) {
    uint32_t fileIndex = 0;
    if (i->Recycle(&fileIndex) != 0) continue;
    *out = GrantOf(*i, fileIndex);
    return 0;
  }
  return ERR_INDEX_NO_RESULT;
}

DiskIndex* DiskIndexSet::DiskFor(uint8_t diskNo) {
  if (indexes_.size() == 1) return indexes_.front().get();
  for (auto& i : indexes_)
    if (i->diskNo == diskNo) return i.get();
  return nullptr;
}

int DiskIndexSet::WriteRecord(_rec_file_info_& r) {
  CAutoLock g(&lock_);
  DiskIndex* d = DiskFor(r.diskNo);
  // With the disk gone (a scan dropped it since the file was handed out) the recording has no
  // index to start in: that is a failure, not a recording nobody can find.
  return d ? d->WriteRecord(r, channelLimit_) : ERR_INDEX_NO_RESULT;
}

void DiskIndexSet::Remember(const _rec_file_info_& r) {
  std::lock_guard<std::mutex> g(recentMutex_);
  std::deque<_rec_file_info_>& list = recent_[r.channel];
  // Newest first: a progress update of the same recording replaces its older picture.
  if (!list.empty() && list.front().fileIndex == r.fileIndex && list.front().diskNo == r.diskNo &&
      list.front().startMs == r.startMs)
    list.pop_front();
  list.push_front(r);
  if (list.size() > kRecentMax) list.pop_back();
}

int DiskIndexSet::UpdateRecordInfo(_rec_file_info_& r) {
  Remember(r);
  CAutoLock g(&lock_);
  DiskIndex* d = DiskFor(r.diskNo);
  return d ? d->UpdateRecordInfo(r, channelLimit_) : 0;
}

bool DiskIndexSet::HasDisk(uint8_t diskNo) {
  CAutoLock g(&lock_);
  return std::any_of(indexes_.begin(), indexes_.end(),
                     [diskNo](const DiskIndexRef& i) { return i->diskNo == diskNo; });
}

// Lock, unlock and delete reach exactly the disk the record names: with none of that number
// in the set nothing changed, and the caller is told so.
int DiskIndexSet::LockRecord(const _rec_file_info_& r) {
  CAutoLock g(&lock_);
  for (auto& i : indexes_)
    if (i->diskNo == r.diskNo) return i->LockRecord(r);
  return ERR_INDEX_NO_RESULT;
}

int DiskIndexSet::UnlockRecord(const _rec_file_info_& r) {
  CAutoLock g(&lock_);
  for (auto& i : indexes_)
    if (i->diskNo == r.diskNo) return i->UnlockRecord(r);
  return ERR_INDEX_NO_RESULT;
}

int DiskIndexSet::DeleteRecord(const _rec_file_info_& r) {
  CAutoLock g(&lock_);
  for (auto& i : indexes_)
    if (i->diskNo == r.diskNo) return i->DeleteRecord(r);
  return ERR_INDEX_NO_RESULT;
}

void DiskIndexSet::ClearRepairLists() {
  CAutoLock g(&lock_);
  for (auto& i : indexes_) {
    CAutoLock d(&i->lock());
    i->repairList.clear();
  }
}

size_t DiskIndexSet::RepairCount() {
  CAutoLock g(&lock_);
  size_t n = 0;
  for (auto& i : indexes_) {
    CAutoLock d(&i->lock());
    n += i->repairList.size();
  }
  return n;
}

uint32_t DiskIndexSet::FreeFiles() {
  CAutoLock g(&lock_);
  uint32_t n = 0;
  for (auto& i : indexes_) {
    CAutoLock d(&i->lock());
    n += static_cast<uint32_t>(i->freeList.size());
  }
  return n;
}

uint64_t DiskIndexSet::FreeSpaceMB() {
  CAutoLock g(&lock_);
  uint64_t mb = 0;
  for (auto& i : indexes_) {
    CAutoLock d(&i->lock());
    mb += uint64_t{i->freeList.size()} * (i->recordFileBytes >> 20);
  }
  return mb;
}

std::vector<_rec_file_info_> DiskIndexSet::RecentRecords(int channel) {
  std::lock_guard<std::mutex> g(recentMutex_);
  auto it = recent_.find(channel);
  if (it == recent_.end()) return {};
  return std::vector<_rec_file_info_>(it->second.begin(), it->second.end());
}
