// The platform layer's process-wide state: the drive table and the clock. The library's context
// object installs one of these as current; tests install their own and tear it down.
#pragma once

#include "platform/clock.h"
#include "platform/drive_table.h"

namespace platform {

struct PlatformContext {
  DriveTable drives;
  Clock clock;
};

// The current platform state: the installed one, or the process default.
PlatformContext& Current();
// The process default, created on first use and kept until the process ends.
PlatformContext& Default();
// Installs ctx as current (null: back to the default); returns the previously installed one.
PlatformContext* Install(PlatformContext* ctx);

// Shorthands for the two things every layer asks of the platform.
inline DriveTable& Drives() { return Current().drives; }
inline Clock& TheClock() { return Current().clock; }

}  // namespace platform
