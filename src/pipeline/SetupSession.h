#pragma once

#include "platform/UniqueFd.h"

#include <filesystem>
#include <optional>

// One setup at a time per user: two runs would share cache slots, staging
// folders and the setup record. The lock is an advisory lock on a file in
// the cache root; the kernel releases it when the process ends, however.
class SetupLock {
  public:
    // Nothing when another process holds the lock. Throws std::system_error
    // when the lock file cannot be created at all.
    static std::optional<SetupLock> tryAcquire();

    static std::filesystem::path lockPath();

  private:
    explicit SetupLock(platform::UniqueFd fd) : fd_(std::move(fd)) {}
    platform::UniqueFd fd_;
};

// Removes what a killed run left behind: unpacking folders beside the data
// and applications destinations, bundle staging folders, half-copied
// migration entries. Only names that one of those layers makes are touched;
// a staging folder that still holds an old bundle set aside is kept. Call it
// only while holding the SetupLock. Never throws; returns how many it removed.
int removeLeftovers() noexcept;
