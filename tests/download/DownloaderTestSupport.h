#pragma once

#include "download/CorvelResumableDownloader.h"
#include "log/CorvelSetupLogger.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace downloadtest {

// Deterministic bytes that differ per seed, so a splice of two versions shows.
std::string makeBody(std::size_t size, unsigned seed);
std::string sha256Hex(const std::string& data);

// Collects the callbacks and checks, at every progress call, that the sum of
// the deltas equals the bytes of the part file on disk.
struct ProgressRecorder {
    std::filesystem::path part;
    std::vector<std::int64_t> deltas;
    std::vector<std::int64_t> totals;
    std::int64_t sum = 0;
    int mismatches = 0;

    CorvelResumableDownloader::ProgressHandler progress();
    CorvelResumableDownloader::TotalBytesHandler total();
    // The deltas sum to `bytes` and matched the disk at every call.
    bool matchesDisk(std::int64_t bytes) const { return sum == bytes && mismatches == 0; }
};

// The log lines written since construction (the logger is process-wide).
class LogCapture {
  public:
    LogCapture();
    std::string text() const;
    bool contains(const std::string& line) const; // "[LEVEL] message", the whole line
    int count(const std::string& fragment) const;

  private:
    std::size_t start_;
};

} // namespace downloadtest
