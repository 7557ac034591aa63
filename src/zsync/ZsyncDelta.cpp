#include "zsync/ZsyncDelta.h"

#include "log/Hex.h"
#include "platform/Cancellation.h"
#include "platform/DomainError.h"
#include "platform/UniqueFd.h"

#include <fmt/format.h>
#include <nettle/sha1.h>
#include <nettle/sha2.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>

namespace zsync {

namespace {

[[noreturn]] void throwErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

void preadFully(int fd, std::uint8_t* into, std::size_t count, std::int64_t offset,
                const std::filesystem::path& path) {
    while (count > 0) {
        auto n = ::pread(fd, into, count, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throwErrno(path.string());
        if (n == 0) {
            errno = EIO;
            throwErrno(path.string() + ": shorter than when it was scanned");
        }
        into += n;
        count -= static_cast<std::size_t>(n);
        offset += n;
    }
}

void pwriteFully(int fd, const std::uint8_t* from, std::size_t count, std::int64_t offset) {
    while (count > 0) {
        auto n = ::pwrite(fd, from, count, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throwErrno("pwrite");
        from += n;
        count -= static_cast<std::size_t>(n);
        offset += n;
    }
}

} // namespace

ZsyncControl readVerifiedControl(std::span<const std::uint8_t> bytes,
                                 const std::string& expectedSha256, std::int64_t expectedLength) {
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, bytes.size(), bytes.data());
    std::uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(&ctx, sizeof digest, digest);
    if (lowerHex(digest) != expectedSha256)
        throw DomainError("ZsyncControl", -1,
                          fmt::format("zsync 控制文件的 SHA-256 与清单不符（期望 {}，实际 {}）",
                                      expectedSha256, lowerHex(digest)));
    auto control = parseControl(bytes);
    if (control.length != expectedLength)
        throw DomainError("ZsyncControl", -1,
                          fmt::format("zsync 控制文件的 Length {} 与资源大小 {} 不符",
                                      control.length, expectedLength));
    return control;
}

std::int64_t copySeedBlocks(const ZsyncControl& control, const SeedScanner& scanner,
                            const std::vector<std::filesystem::path>& seeds, int targetFd,
                            std::stop_token stop) {
    // Runs of blocks that sit back to back in one seed, in seed order, so
    // each seed is read front to back once.
    struct Run {
        int seed;
        std::int64_t from; // offset in the seed
        std::int64_t to;   // offset in the target
        std::int64_t size;
    };
    std::vector<Run> runs;
    const auto& sources = scanner.sources();
    for (std::int64_t i = 0; i < control.blockCount(); ++i) {
        const auto& s = sources[static_cast<std::size_t>(i)];
        if (s.seed < 0) continue;
        const auto size = control.blockLength(i);
        const auto to = i * control.blockSize;
        if (!runs.empty() && runs.back().seed == s.seed &&
            runs.back().from + runs.back().size == s.offset &&
            runs.back().to + runs.back().size == to)
            runs.back().size += size;
        else
            runs.push_back({s.seed, s.offset, to, size});
    }
    std::stable_sort(runs.begin(), runs.end(), [](const Run& a, const Run& b) {
        return a.seed != b.seed ? a.seed < b.seed : a.from < b.from;
    });

    std::vector<std::uint8_t> buffer(1 << 20);
    std::int64_t written = 0;
    int openSeed = -1;
    platform::UniqueFd fd;
    for (const auto& run : runs) {
        if (run.seed != openSeed) {
            const auto& path = seeds.at(static_cast<std::size_t>(run.seed));
            fd.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
            if (!fd) throwErrno(path.string());
            openSeed = run.seed;
        }
        for (std::int64_t done = 0; done < run.size;) {
            platform::throwIfStopped(stop);
            auto n = static_cast<std::size_t>(
                std::min<std::int64_t>(run.size - done, static_cast<std::int64_t>(buffer.size())));
            preadFully(fd.get(), buffer.data(), n, run.from + done,
                       seeds[static_cast<std::size_t>(run.seed)]);
            pwriteFully(targetFd, buffer.data(), n, run.to + done);
            done += static_cast<std::int64_t>(n);
        }
        written += run.size;
    }
    return written;
}

bool sha1Matches(const ZsyncControl& control, const std::filesystem::path& file) {
    platform::UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return false;
    sha1_ctx ctx;
    sha1_init(&ctx);
    std::vector<std::uint8_t> buffer(1 << 20);
    for (;;) {
        auto n = ::read(fd.get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        sha1_update(&ctx, static_cast<std::size_t>(n), buffer.data());
    }
    std::array<std::uint8_t, SHA1_DIGEST_SIZE> digest;
    sha1_digest(&ctx, digest.size(), digest.data());
    return digest == control.sha1;
}

} // namespace zsync
