#include "platform/platform_context.h"

#include <atomic>

namespace platform {

namespace {
std::atomic<PlatformContext*> g_current{nullptr};
}  // namespace

PlatformContext& Default() {
  // Never destroyed: threads and static destructors may still reach it at exit.
  static PlatformContext* ctx = new PlatformContext;
  return *ctx;
}

PlatformContext& Current() {
  PlatformContext* c = g_current.load(std::memory_order_acquire);
  return c ? *c : Default();
}

PlatformContext* Install(PlatformContext* ctx) { return g_current.exchange(ctx); }

}  // namespace platform
