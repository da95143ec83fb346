// The critical section every shared object owns. It is re-entrant for the thread that holds it:
// a device's re-open path runs inside transfers that already hold the device lock.
#pragma once

#include <mutex>

#include "platform/thread_annotations.h"

class QVFS_CAPABILITY("mutex") CCriticalSection {
 public:
  CCriticalSection() = default;
  CCriticalSection(const CCriticalSection&) = delete;
  CCriticalSection& operator=(const CCriticalSection&) = delete;

  // Inline: the frame FIFOs take a lock several times per frame.
  void Lock() QVFS_ACQUIRE() { mutex_.lock(); }
  void Unlock() QVFS_RELEASE() { mutex_.unlock(); }

 private:
  std::recursive_mutex mutex_;
};

// Holds a critical section for a scope. A null section is allowed and does nothing, which is
// what the region files need before they are opened.
class QVFS_SCOPED_CAPABILITY CAutoLock {
 public:
  explicit CAutoLock(CCriticalSection* cs) QVFS_ACQUIRE(cs) : cs_(cs) {
    if (cs_) cs_->Lock();
  }
  ~CAutoLock() QVFS_RELEASE() {
    if (cs_) cs_->Unlock();
  }
  CAutoLock(const CAutoLock&) = delete;
  CAutoLock& operator=(const CAutoLock&) = delete;

 private:
  CCriticalSection* cs_;
};
