#include "download/SourcePool.h"

#include <fmt/format.h>

#include <algorithm>

std::string SourceHealth::hostOf(const std::string& url) {
    const auto scheme = url.find("://");
    if (scheme == std::string::npos) return url;
    const auto start = scheme + 3;
    std::string authority = url.substr(start, url.find_first_of("/?#", start) - start);
    if (auto at = authority.rfind('@'); at != std::string::npos) authority.erase(0, at + 1);
    std::transform(authority.begin(), authority.end(), authority.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return url.substr(0, start) + authority;
}

std::optional<std::string> SourceHealth::droppedReason(const std::string& url) const {
    std::lock_guard lock(mutex_);
    if (auto it = droppedUrls_.find(url); it != droppedUrls_.end()) return it->second;
    if (auto it = droppedHosts_.find(hostOf(url)); it != droppedHosts_.end()) return it->second;
    return std::nullopt;
}

bool SourceHealth::drop(const std::string& url, const std::string& reason, bool wholeHost) {
    std::lock_guard lock(mutex_);
    if (droppedUrls_.contains(url) || droppedHosts_.contains(hostOf(url))) return false;
    droppedUrls_.emplace(url, reason);
    if (wholeHost) droppedHosts_.emplace(hostOf(url), reason);
    return true;
}

bool SourceHealth::open(const std::string& url, bool anyway) {
    std::lock_guard lock(mutex_);
    std::size_t& count = open_[hostOf(url)];
    if (!anyway && count >= connectionsPerHost) return false;
    ++count;
    return true;
}

void SourceHealth::close(const std::string& url) {
    std::lock_guard lock(mutex_);
    if (auto it = open_.find(hostOf(url)); it != open_.end() && it->second > 0) --it->second;
}

std::string sourceDroppedLine(const std::string& name, const std::string& url,
                              const std::string& reason) {
    return fmt::format("  ⚠ 放弃下载源 [{}] {}: {}", name, url, reason);
}

SourcePool::SourcePool(std::vector<platform::Url> sources, SourceHealth& health)
    : sources_(std::move(sources)), health_(health) {}

std::vector<platform::Url> SourcePool::healthy() const {
    std::vector<platform::Url> left;
    for (const auto& source : sources_)
        if (!health_.droppedReason(source.absoluteString())) left.push_back(source);
    return left;
}

bool SourcePool::exhausted() const {
    return healthy().empty();
}

const platform::Url& SourcePool::current() const {
    for (const auto& source : sources_)
        if (!health_.droppedReason(source.absoluteString())) return source;
    return sources_.back();
}

std::string SourcePool::drop(const std::string& name, const std::string& url,
                             const std::string& reason, bool wholeHost) {
    health_.drop(url, reason, wholeHost);
    return sourceDroppedLine(name, url, reason);
}

std::string SourcePool::failureMessage() const {
    std::string message = "所有下载源都失败了";
    for (std::size_t i = 0; i < sources_.size(); ++i)
        message += fmt::format("{} {} ({})", i == 0 ? ":" : ";", sources_[i].absoluteString(),
                               health_.droppedReason(sources_[i].absoluteString()).value_or("?"));
    return message;
}
