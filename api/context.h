// The library's process-wide objects behind one context object.
//
// The exported functions reach the current context through a global pointer. The process has a
// default context from static initialisation on (the device registry exists before main runs);
// a test builds its own with ScopedContext, which installs a fresh drive table, clock and device
// registry for its lifetime and puts the previous ones back afterwards. Later layers add their
// process-wide objects here.
#pragma once

#include <memory>

#include "device/dev_registry.h"
#include "platform/platform_context.h"

namespace qvfs {

class Context {
 public:
  // A fresh context: its own drive table, clock and registry.
  Context();
  ~Context();
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;

  platform::PlatformContext& platform() { return *platform_; }
  CDevFlyWeightFactory& registry() { return *registry_; }

  // The current context (the process default unless a test installed its own).
  static Context& Current();
  // The process default context over the default drive table, clock and registry.
  static Context& Default();

 private:
  friend class ScopedContext;
  struct AdoptDefaults {};
  explicit Context(AdoptDefaults);

  std::unique_ptr<platform::PlatformContext> ownedPlatform_;
  std::unique_ptr<CDevFlyWeightFactory> ownedRegistry_;
  platform::PlatformContext* platform_;
  CDevFlyWeightFactory* registry_;
};

// Installs a fresh context for its lifetime. Meant for tests: one at a time, installed and torn
// down on one thread while no library thread runs.
class ScopedContext {
 public:
  ScopedContext();
  ~ScopedContext();
  ScopedContext(const ScopedContext&) = delete;
  ScopedContext& operator=(const ScopedContext&) = delete;

  Context& get() { return ctx_; }

 private:
  Context ctx_;
  Context* previous_;
  platform::PlatformContext* previousPlatform_;
  CDevFlyWeightFactory* previousRegistry_;
};

}  // namespace qvfs
