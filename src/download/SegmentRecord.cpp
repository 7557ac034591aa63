#include "download/SegmentRecord.h"

#include "log/ByteCount.h"
#include "log/CorvelSetupLogger.h"
#include "platform/FileOps.h"
#include "platform/UniqueFd.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <fmt/format.h>
#include <string>
#include <string_view>
#include <unistd.h>

namespace fs = std::filesystem;

namespace SegmentedTransfer {

namespace {

constexpr const char* recordTemporaryPrefix = ".segments.json.";
constexpr std::int64_t maxStateBytes = 4 << 20;

} // namespace

fs::path dataPath(const CacheSlot& slot) {
    return slot.directory / "payload.segmented";
}

fs::path statePath(const CacheSlot& slot) {
    return slot.directory / "segments.json";
}

// Whatever stands there, a directory too: a slot that cannot be read is started over.
void discard(const CacheSlot& slot) {
    std::error_code ignored;
    fs::remove_all(statePath(slot), ignored);
    fs::remove_all(dataPath(slot), ignored);
}

int removeRecordTemporaries(const fs::path& slotDirectory) {
    int removed = 0;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(slotDirectory, error))
        if (platform::isTemporaryName(entry.path().filename().string(), recordTemporaryPrefix) &&
            fs::remove(entry.path(), error))
            ++removed;
    return removed;
}

std::optional<SegmentTable::Decoded> load(const CacheSlot& slot,
                                          const std::optional<CacheMeta>& meta) {
    std::error_code error;
    removeRecordTemporaries(slot.directory);
    auto text = platform::readFileContents(statePath(slot), maxStateBytes, error);
    if (!text) {
        if (fs::exists(dataPath(slot), error)) discard(slot);
        return std::nullopt;
    }
    auto state = SegmentTable::decode(*text);
    std::int64_t reach = 0;
    if (state)
        for (const auto& range : state->ranges)
            if (range.done > 0) reach = std::max(reach, range.start + range.done);
    auto size = fs::file_size(dataPath(slot), error);
    const bool fits = state && meta && meta->totalBytes == state->total &&
                      cache::resumeValidator(meta) && !error &&
                      static_cast<std::int64_t>(size) >= reach;
    if (!fits) {
        discard(slot);
        return std::nullopt;
    }
    const std::int64_t lost = shrinkToData(dataPath(slot), state->ranges);
    if (lost > 0)
        log(LogLevel::warn,
            fmt::format("  🔧 分段记录中有 {} 不在磁盘上，从实际写入处续传", formatByteCount(lost)));
    return state;
}

std::int64_t shrinkToData(const fs::path& file, std::vector<SegmentRange>& ranges) {
    platform::UniqueFd in(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    std::int64_t lost = 0;
    for (auto& range : ranges) {
        if (range.done < 1) continue;
        // The first hole at or after the range's start; a failure trusts nothing.
        const off_t hole = in ? ::lseek(in.get(), range.start, SEEK_HOLE) : -1;
        const std::int64_t data =
            hole < 0 ? 0 : std::min<std::int64_t>(hole - range.start, range.done);
        lost += range.done - data;
        range.done = data;
    }
    return lost;
}

void writeRecord(const CacheSlot& slot, std::int64_t total,
                 const std::vector<SegmentRange>& ranges) {
    const std::string text = SegmentTable::encode(total, ranges);
    const fs::path target = statePath(slot);
    const fs::path temporary = slot.directory / platform::temporaryName(recordTemporaryPrefix);
    {
        platform::UniqueFd out(
            ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644));
        if (!out) platform::throwFileError("cannot write segments record", temporary, errno);
        std::string_view rest = text;
        while (!rest.empty()) {
            ssize_t written = ::write(out.get(), rest.data(), rest.size());
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) {
                int error = written < 0 ? errno : ENOSPC;
                std::error_code ignored;
                fs::remove(temporary, ignored);
                platform::throwFileError("cannot write segments record", temporary, error);
            }
            rest.remove_prefix(static_cast<std::size_t>(written));
        }
    }
    std::error_code error;
    fs::rename(temporary, target, error);
    if (error) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        throw fs::filesystem_error("cannot write segments record", target, error);
    }
}

void promoteToPart(const CacheSlot& slot) {
    // Renamed over an existing file, ext4 writes the whole new file out first
    // (auto_da_alloc): the part file is out of the way before. A kill between
    // the two leaves a complete record that the next run finishes from.
    fs::remove(slot.partURL);
    fs::rename(dataPath(slot), slot.partURL);
    std::error_code ignored;
    fs::remove_all(statePath(slot), ignored);
}

} // namespace SegmentedTransfer
