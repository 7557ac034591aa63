#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

namespace httplib {
class DataSink;
} // namespace httplib

namespace fixture {

using Clock = std::chrono::steady_clock;

struct FileHandle {
    int fd = -1;
    explicit FileHandle(int descriptor) : fd(descriptor) {}
    ~FileHandle() {
        if (fd >= 0) ::close(fd);
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
};

// Produces one response body (or a slice of it) piece by piece, with the
// faults that shape how the bytes go out.
struct ResponseBody {
    // Waits until a time; false when the server stops meanwhile. A stall (given
    // the release count its request saw) also ends when stalls are released.
    std::function<bool(Clock::time_point, std::optional<std::uint64_t>)> pause;
    std::shared_ptr<const std::string> memory;
    std::shared_ptr<FileHandle> file;
    std::uint64_t start = 0;
    std::uint64_t length = 0;
    std::optional<std::size_t> closeAfter;
    std::chrono::milliseconds stall{0};
    std::size_t throttle = 0;
    std::uint64_t stallEpoch = 0;
    std::shared_ptr<void> inFlight; // released with the body, when the response is over

    bool began = false;
    Clock::time_point sendStart;
    std::vector<char> buffer;

    // Sends the bytes at `offset` (relative to start) onwards, one piece per
    // call. Returning false makes the server drop the connection.
    bool next(std::uint64_t offset, httplib::DataSink& sink);
};

} // namespace fixture
