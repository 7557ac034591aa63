#include "types/CVTAVAsset.h"

#include "platform/Directories.h"

#include <algorithm>
#include <cctype>

namespace fs = std::filesystem;

fs::path CVTAVAsset::applicationsDirectory() {
    return platform::applicationsDirectory();
}

fs::path CVTAVAsset::llmDataDirectory() {
    return platform::dataHome() / "com.corvel.data" / "LLMData";
}

fs::path standardizedPath(const fs::path& path) {
    auto normal = path.lexically_normal();
    auto text = normal.string();
    while (text.size() > 1 && text.back() == '/')
        text.pop_back();
    return fs::path(text);
}

bool CVTAVAsset::isApplicationBundleAsset() const {
    return format == Format::zip &&
           standardizedPath(destination) == standardizedPath(applicationsDirectory());
}

std::vector<platform::Url> CVTAVAsset::fetchSources() const {
    if (sources.empty()) return {url};
    return sources;
}

const char* formatName(CVTAVAsset::Format format) {
    switch (format) {
    case CVTAVAsset::Format::zip:
        return "zip";
    case CVTAVAsset::Format::tarGz:
        return "tarGz";
    case CVTAVAsset::Format::raw:
        return "raw";
    }
    return "raw";
}

CVTAVAsset::Format inferFormat(const platform::Url& url) {
    std::string name = url.lastPathComponent();
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    auto endsWith = [&name](std::string_view suffix) {
        return name.size() >= suffix.size() &&
               name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
    };
    if (endsWith(".tar.gz") || endsWith(".tgz")) return CVTAVAsset::Format::tarGz;
    if (endsWith(".zip")) return CVTAVAsset::Format::zip;
    return CVTAVAsset::Format::raw;
}
