// The FIFO reader registry: one name per reader slot; slot 0 is "storage", the recording
// engine's consuming reader. A slot with an empty name is free.
//
// Lock rule: lock_ guards the names and the most recent slot.
#pragma once

#include <string>
#include <vector>

#include "platform/critical_section.h"

class FifoUsers {
 public:
  // `slots` entries (StorageConfig.fifoUsers; at most the 16 readers a FIFO serves).
  explicit FifoUsers(int slots);

  // The reader number of name: its slot when registered already, else the first free slot
  // (which becomes the most recent); an empty name gives the most recent slot. -106 when no
  // slot is free (slot 0 belongs to the recording engine and is never handed out).
  int RegisterUser(const std::string& name);
  // Frees the first slot holding name; 0.
  int UnRegisterUser(const std::string& name);
  int Slots();

 private:
  CCriticalSection lock_;
  std::vector<std::string> names_;
  int recent_ = 0;
};
