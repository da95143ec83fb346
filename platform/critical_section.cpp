#include "platform/critical_section.h"

void CCriticalSection::Lock() { mutex_.lock(); }

void CCriticalSection::Unlock() { mutex_.unlock(); }
