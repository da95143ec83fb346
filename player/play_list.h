// The player's play list: the records a search found, in the order they are played. The search
// window fills it; the play-list thread and the dialogs read it.
//
// Lock rule: lock_ guards the records; readers take copies.
#pragma once

#include <mutex>
#include <vector>

#include "qvfs/records.h"

namespace player {

class PlayList {
 public:
  void Set(std::vector<_rec_file_info_> records) {
    std::lock_guard<std::mutex> g(lock_);
    records_ = std::move(records);
  }
  int Count() const {
    std::lock_guard<std::mutex> g(lock_);
    return static_cast<int>(records_.size());
  }
  // Record i; false when i lies outside the list.
  bool Get(int i, _rec_file_info_* out) const {
    std::lock_guard<std::mutex> g(lock_);
    if (i < 0 || i >= static_cast<int>(records_.size())) return false;
    *out = records_[static_cast<size_t>(i)];
    return true;
  }
  std::vector<_rec_file_info_> All() const {
    std::lock_guard<std::mutex> g(lock_);
    return records_;
  }

 private:
  mutable std::mutex lock_;
  std::vector<_rec_file_info_> records_;
};

}  // namespace player
