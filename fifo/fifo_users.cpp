#include "fifo/fifo_users.h"

#include "fifo/frame_fifo.h"

FifoUsers::FifoUsers(int slots) {
  if (slots < 1) slots = 1;
  if (slots > fifo::kReaders) slots = fifo::kReaders;
  names_.assign(static_cast<size_t>(slots), std::string());
  names_[0] = "storage";
}

int FifoUsers::RegisterUser(const std::string& name) {
  CAutoLock g(&lock_);
  if (name.empty()) return recent_;
  for (size_t i = 1; i < names_.size(); ++i)
    if (names_[i] == name) return static_cast<int>(i);
  for (size_t i = 1; i < names_.size(); ++i) {
    if (names_[i].empty()) {
      names_[i] = name;
      recent_ = static_cast<int>(i);
      return recent_;
    }
  }
  return FIFO_ERR_BAD_READER;
}

int FifoUsers::UnRegisterUser(const std::string& name) {
  CAutoLock g(&lock_);
  for (std::string& n : names_) {
    if (n == name) {
      n.clear();
      break;
    }
  }
  return 0;
}

int FifoUsers::Slots() {
  CAutoLock g(&lock_);
  return static_cast<int>(names_.size());
}
