#pragma once

#include <util/profiler.h>

namespace velmora {

// Times a stretch of main-thread work in OBS's own profiler, which reports it when OBS closes.
// The name must be a string literal: the profiler keeps the pointer.
class ProfileScope {
  public:
    explicit ProfileScope(const char *name) : name_(name) { profile_start(name_); }
    ~ProfileScope() { profile_end(name_); }
    ProfileScope(const ProfileScope &) = delete;
    ProfileScope &operator=(const ProfileScope &) = delete;

  private:
    const char *name_;
};

} // namespace velmora
