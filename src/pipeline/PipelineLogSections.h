#pragma once

#include "shareddata/CVSharedDataPaths.h"
#include "shareddata/CVSystemProfile.h"
#include "types/CVTAVAsset.h"

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

// The fixed blocks of the setup log that a support reader looks for: the
// environment, the plan and the final failure, and the migration outcome.
namespace PipelineLogSections {

void logMigrationResult(const CVSharedDataPaths::MigrationResult& result);

void logEnvironment(MemoryTier tier, std::uint64_t physicalMemory, std::int64_t neededBytes,
                    std::int64_t availableBytes);

void logPlan(const std::vector<CVTAVAsset>& plan, std::int64_t totalBytes);

// The failure block, then the log is stored in the setup record.
void logFailure(const std::exception_ptr& error);

// `Error Domain=<domain> Code=<code> "<description>"`: the error as a support
// reader needs it to tell a refused connection from a full disk.
std::string errorDebugDescription(const std::exception_ptr& error);

} // namespace PipelineLogSections
