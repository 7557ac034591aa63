#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// SHA-256 of a download computed while its bytes are written, so verifying a
// large model does not read it back from disk. It only vouches for a file it
// saw written from its first byte to its last without a gap; a resumed
// download or a cache hit is hashed from disk instead.
class StreamingDigest {
  public:
    StreamingDigest();
    ~StreamingDigest();
    StreamingDigest(const StreamingDigest&) = delete;
    StreamingDigest& operator=(const StreamingDigest&) = delete;

    // A chunk written at `offset` of the part file. A chunk at offset 0 starts
    // over (the download restarted from zero); any other gap spoils the digest.
    void update(std::int64_t offset, const char* data, std::size_t size);

    // The digest in lower-case hex when every byte of a file of `fileSize`
    // bytes went through update() in order; nothing otherwise.
    std::optional<std::string> finish(std::int64_t fileSize);

  private:
    struct Context;
    std::unique_ptr<Context> context_;
    std::int64_t hashed_ = 0;
    bool spoiled_ = false;
};

// Two hex digests name the same bytes, whatever the case of their letters.
bool sameDigest(std::string_view a, std::string_view b);
