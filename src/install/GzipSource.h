#pragma once

#include <archive.h>
#include <zlib.h>

#include <cstddef>
#include <vector>

namespace ArchiveExtractor {

// Hands libarchive the tar stream inside a gzip file, inflated with zlib.
// libarchive's own gzip reader never compares a member's trailer (CRC-32 and
// length) with the data, so a damaged archive would unpack without complaint;
// zlib checks both for every member. Concatenated members are read in turn;
// zero bytes after the last member are padding.
class GzipSource {
  public:
    // Reads from `fd`, which stays open and owned by the caller.
    explicit GzipSource(int fd);
    ~GzipSource();
    GzipSource(const GzipSource&) = delete;
    GzipSource& operator=(const GzipSource&) = delete;

    // Opens `reader` on the inflated stream; libarchive's status.
    int open(archive* reader);

    // Inflates whatever libarchive did not ask for (the tar format stops at
    // its end marker, before the padding and the trailer) so every trailer is
    // checked. Throws std::runtime_error with zlib's message.
    void finish();

    // Whether the file starts like a gzip member.
    static bool looksLikeGzip(int fd);

  private:
    static la_ssize_t read(archive* reader, void* self, const void** buffer);
    bool fill();
    // Some inflated bytes into output_; 0 once the input has ended cleanly.
    std::size_t inflateSome();

    int fd_;
    z_stream stream_{};
    bool betweenMembers_ = false;
    bool ended_ = false;
    std::vector<unsigned char> input_;
    std::vector<unsigned char> output_;
};

} // namespace ArchiveExtractor
