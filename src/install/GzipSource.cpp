#include "install/GzipSource.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace ArchiveExtractor {

namespace {

// Large buffers keep the calls into zlib and libarchive few; one inflated
// buffer is handed to libarchive at a time.
constexpr std::size_t inputBytes = 1 << 20;
constexpr std::size_t outputBytes = 1 << 20;

[[noreturn]] void failed(const z_stream& stream, const char* fallback) {
    throw std::runtime_error(std::string("gzip: ") +
                             (stream.msg != nullptr ? stream.msg : fallback));
}

} // namespace

GzipSource::GzipSource(int fd) : fd_(fd), input_(inputBytes), output_(outputBytes) {
    // 16 + window bits: gzip framing only, with its trailer checked.
    if (inflateInit2(&stream_, 16 + MAX_WBITS) != Z_OK)
        throw std::runtime_error("gzip: 无法初始化解压");
}

GzipSource::~GzipSource() {
    inflateEnd(&stream_);
}

bool GzipSource::looksLikeGzip(int fd) {
    unsigned char magic[2] = {};
    ssize_t n = 0;
    do {
        n = ::pread(fd, magic, sizeof magic, 0);
    } while (n < 0 && errno == EINTR);
    return n == 2 && magic[0] == 0x1f && magic[1] == 0x8b;
}

int GzipSource::open(archive* reader) {
    return archive_read_open(reader, this, nullptr, &GzipSource::read, nullptr);
}

la_ssize_t GzipSource::read(archive* reader, void* self, const void** buffer) {
    auto* source = static_cast<GzipSource*>(self);
    try {
        std::size_t size = source->inflateSome();
        *buffer = source->output_.data();
        return static_cast<la_ssize_t>(size);
    } catch (const std::exception& e) {
        archive_set_error(reader, EIO, "%s", e.what());
        return ARCHIVE_FATAL;
    }
}

void GzipSource::finish() {
    while (inflateSome() > 0) {
    }
}

bool GzipSource::fill() {
    ssize_t n = 0;
    do {
        n = ::read(fd_, input_.data(), input_.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0) throw std::runtime_error(std::string("gzip: ") + std::strerror(errno));
    stream_.next_in = input_.data();
    stream_.avail_in = static_cast<uInt>(n);
    return n > 0;
}

std::size_t GzipSource::inflateSome() {
    if (ended_) return 0;
    stream_.next_out = output_.data();
    stream_.avail_out = static_cast<uInt>(output_.size());
    while (stream_.avail_out == output_.size()) {
        if (stream_.avail_in == 0 && !fill()) {
            // The input ended: cleanly only after a whole member and its trailer.
            if (!betweenMembers_) failed(stream_, "unexpected end of file");
            ended_ = true;
            break;
        }
        if (betweenMembers_) {
            while (stream_.avail_in > 0 && *stream_.next_in == 0) {
                ++stream_.next_in;
                --stream_.avail_in;
            }
            if (stream_.avail_in == 0) continue;
            // Anything else must be a further member; zlib refuses garbage.
            inflateReset(&stream_);
            betweenMembers_ = false;
        }
        int status = inflate(&stream_, Z_NO_FLUSH);
        if (status == Z_STREAM_END)
            betweenMembers_ = true;
        else if (status != Z_OK && !(status == Z_BUF_ERROR && stream_.avail_in == 0))
            failed(stream_, "data error");
    }
    return output_.size() - stream_.avail_out;
}

} // namespace ArchiveExtractor
