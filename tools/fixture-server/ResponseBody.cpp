#include "ResponseBody.h"

#include <httplib.h>

#include <algorithm>
#include <cerrno>

namespace fixture {

namespace {

// One read buffer per response; large enough to keep a 1 GiB transfer cheap.
constexpr std::size_t kChunkBytes = 64 * 1024;

} // namespace

bool ResponseBody::next(std::uint64_t offset, httplib::DataSink& sink) {
    if (!began) {
        began = true;
        if (stall.count() > 0 && !pause(Clock::now() + stall, stallEpoch)) return false;
        sendStart = Clock::now();
    }
    if (closeAfter && offset >= *closeAfter) return false;
    std::uint64_t count = std::min<std::uint64_t>(length - offset, kChunkBytes);
    if (closeAfter) count = std::min<std::uint64_t>(count, *closeAfter - offset);
    if (throttle > 0) {
        count = std::min<std::uint64_t>(count, std::max<std::size_t>(1, throttle / 10));
        auto due =
            sendStart + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                            static_cast<double>(offset) / static_cast<double>(throttle)));
        if (!pause(due, std::nullopt)) return false;
    }
    if (memory) return sink.write(memory->data() + start + offset, count);

    if (buffer.empty()) buffer.resize(kChunkBytes);
    std::size_t filled = 0;
    while (filled < count) {
        ssize_t got = ::pread(file->fd, buffer.data() + filled, count - filled,
                              static_cast<off_t>(start + offset + filled));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false; // the file shrank under us: cut the response short
        filled += static_cast<std::size_t>(got);
    }
    return sink.write(buffer.data(), filled);
}

} // namespace fixture
