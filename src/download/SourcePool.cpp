#include "download/SourcePool.h"

#include <fmt/format.h>

SourcePool::SourcePool(std::vector<platform::Url> sources) : sources_(std::move(sources)) {}

std::string SourcePool::drop(const std::string& name, std::string reason) {
    std::string line =
        fmt::format("  ⚠ 放弃下载源 [{}] {}: {}", name, current().absoluteString(), reason);
    reasons_.push_back(std::move(reason));
    ++next_;
    return line;
}

std::string SourcePool::failureMessage() const {
    std::string message = "所有下载源都失败了";
    for (std::size_t i = 0; i < reasons_.size(); ++i)
        message += fmt::format("{} {} ({})", i == 0 ? ":" : ";", sources_[i].absoluteString(),
                               reasons_[i]);
    return message;
}
