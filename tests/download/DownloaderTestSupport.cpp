#include "DownloaderTestSupport.h"

#include "log/Hex.h"

#include <openssl/evp.h>

#include <array>

namespace fs = std::filesystem;

namespace downloadtest {

std::string makeBody(std::size_t size, unsigned seed) {
    std::string body(size, '\0');
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& c : body) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    return body;
}

std::string sha256Hex(const std::string& data) {
    std::array<std::uint8_t, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_sha256(), nullptr);
    return lowerHex(std::span<const std::uint8_t>(digest.data(), length));
}

CorvelResumableDownloader::ProgressHandler ProgressRecorder::progress() {
    return [this](std::int64_t delta) {
        deltas.push_back(delta);
        sum += delta;
        std::error_code error;
        auto size = fs::file_size(part, error);
        if (static_cast<std::int64_t>(error ? 0 : size) != sum) ++mismatches;
    };
}

CorvelResumableDownloader::TotalBytesHandler ProgressRecorder::total() {
    return [this](std::int64_t value) { totals.push_back(value); };
}

LogCapture::LogCapture() : start_(CorvelSetupLogger::shared().persistedText().size()) {}

std::string LogCapture::text() const {
    auto all = CorvelSetupLogger::shared().persistedText();
    return start_ <= all.size() ? all.substr(start_) : all;
}

bool LogCapture::contains(const std::string& line) const {
    // Lines are "timestamp [LEVEL] message\n".
    return text().find(" " + line + "\n") != std::string::npos;
}

int LogCapture::count(const std::string& fragment) const {
    auto all = text();
    int n = 0;
    for (auto at = all.find(fragment); at != std::string::npos; at = all.find(fragment, at + 1))
        ++n;
    return n;
}

} // namespace downloadtest
