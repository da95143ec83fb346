#include "api/context.h"

#include <atomic>

namespace qvfs {

namespace {
std::atomic<Context*> g_current{nullptr};
// The default context exists from static initialisation on.
[[maybe_unused]] const bool kDefaultCreated = (Context::Default(), true);
}  // namespace

Context::Context()
    : ownedPlatform_(std::make_unique<platform::PlatformContext>()),
      ownedRegistry_(std::make_unique<CDevFlyWeightFactory>()),
      platform_(ownedPlatform_.get()),
      registry_(ownedRegistry_.get()) {}

Context::Context(AdoptDefaults)
    : platform_(&platform::Default()), registry_(CDevFlyWeightFactory::getSingleton()) {}

Context::~Context() = default;

Context& Context::Default() {
  // Never destroyed: library threads and static destructors may still reach it at exit.
  static Context* ctx = new Context(AdoptDefaults{});
  return *ctx;
}

Context& Context::Current() {
  Context* c = g_current.load(std::memory_order_acquire);
  return c ? *c : Default();
}

ScopedContext::ScopedContext()
    : previous_(g_current.load()),
      previousPlatform_(platform::Install(&ctx_.platform())),
      previousRegistry_(CDevFlyWeightFactory::_Instance) {
  CDevFlyWeightFactory::_Instance = &ctx_.registry();
  g_current.store(&ctx_);
}

ScopedContext::~ScopedContext() {
  // Service threads stop and indexes close before the devices they use go, and devices before
  // the drive table they were opened from.
  ctx_.storage().Shutdown();
  ctx_.deviceServices().StopAll();
  ctx_.diskWatch().CloseAll();
  ctx_.registry().Clear();
  g_current.store(previous_);
  CDevFlyWeightFactory::_Instance = previousRegistry_;
  platform::Install(previousPlatform_);
}

}  // namespace qvfs
