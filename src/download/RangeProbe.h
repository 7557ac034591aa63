#pragma once

#include "platform/HttpClient.h"

#include <chrono>
#include <cstdint>
#include <stop_token>
#include <string>

namespace RangeProbe {

// A GET of `url` with the time limits every transfer of the downloader uses.
platform::HttpRequest transferRequest(const std::string& url,
                                      std::chrono::milliseconds transferLimit,
                                      std::chrono::seconds idleLimit);

// What the server says of its file after it refused a range with 416.
struct Answer {
    platform::HttpResponseHead head;
    std::int64_t total = 0;
};

// Asks for the first byte only, to learn the size (and the validators) of the
// file the server has now. Throws the downloader's domain error (code 416)
// when no answer or no size comes back.
Answer afterRefusedRange(const std::string& url, std::chrono::milliseconds transferLimit,
                         std::chrono::seconds idleLimit, std::stop_token stop);

} // namespace RangeProbe
