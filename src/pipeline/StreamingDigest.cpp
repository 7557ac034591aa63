#include "pipeline/StreamingDigest.h"

#include "log/Hex.h"

#include <algorithm>
#include <cctype>
#include <openssl/evp.h>

#include <new>
#include <span>
#include <stdexcept>

struct StreamingDigest::Context {
    Context() : md(EVP_MD_CTX_new()) {
        if (!md) throw std::bad_alloc();
        restart();
    }
    ~Context() { EVP_MD_CTX_free(md); }
    void restart() {
        if (EVP_DigestInit_ex(md, EVP_sha256(), nullptr) != 1)
            throw std::runtime_error("SHA-256 unavailable");
    }
    EVP_MD_CTX* md;
};

StreamingDigest::StreamingDigest() : context_(std::make_unique<Context>()) {}
StreamingDigest::~StreamingDigest() = default;

void StreamingDigest::update(std::int64_t offset, const char* data, std::size_t size) {
    if (offset == 0 && hashed_ != 0) {
        context_->restart();
        hashed_ = 0;
        spoiled_ = false;
    }
    if (spoiled_) return;
    if (offset != hashed_ || EVP_DigestUpdate(context_->md, data, size) != 1) {
        spoiled_ = true;
        return;
    }
    hashed_ += static_cast<std::int64_t>(size);
}

std::optional<std::string> StreamingDigest::finish(std::int64_t fileSize) {
    if (spoiled_ || hashed_ != fileSize || fileSize < 0) return std::nullopt;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context_->md, digest, &length) != 1) return std::nullopt;
    spoiled_ = true; // a context is finished once
    return lowerHex(std::span<const std::uint8_t>(digest, length));
}

bool sameDigest(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}
