#include "shareddata/CVSharedDataPaths.h"

#include "platform/Directories.h"

namespace CVSharedDataPaths {

namespace {

constexpr std::string_view dataRootName = "com.corvel.data";
constexpr std::string_view legacyDataRootName = "com.tavrin.data";
constexpr std::string_view llmDataName = "LLMData";

void replaceAll(std::string& text, std::string_view from, std::string_view to) {
    std::size_t at = 0;
    while ((at = text.find(from, at)) != std::string::npos) {
        text.replace(at, from.size(), to);
        at += to.size();
    }
}

} // namespace

InferredRemoteFormat inferRemoteFormat(const platform::Url& url) {
    return inferFormat(url);
}

fs::path applicationSupportDirectory() {
    return platform::dataHome();
}

fs::path dataRoot() {
    return applicationSupportDirectory() / dataRootName;
}

fs::path legacyDataRoot() {
    return applicationSupportDirectory() / legacyDataRootName;
}

fs::path dataDirectory(std::string_view name) {
    return dataRoot() / name;
}

fs::path legacyDataDirectory(std::string_view name) {
    return legacyDataRoot() / name;
}

fs::path llmDataDirectory() {
    return dataDirectory(llmDataName);
}

fs::path legacyLLMDataDirectory() {
    return legacyDataDirectory(llmDataName);
}

std::vector<fs::path> llmDataSearchRoots() {
    std::vector<fs::path> roots{llmDataDirectory()};
    fs::path legacy = legacyLLMDataDirectory();
    if (standardizedPath(legacy) != standardizedPath(roots.front())) roots.push_back(legacy);
    return roots;
}

bool sameLLMDataDestination(const fs::path& a, const fs::path& b) {
    fs::path left = standardizedPath(a);
    fs::path right = standardizedPath(b);
    if (left == right) return true;
    fs::path current = standardizedPath(llmDataDirectory());
    fs::path former = standardizedPath(legacyLLMDataDirectory());
    auto isLLMData = [&](const fs::path& p) { return p == current || p == former; };
    return isLLMData(left) && isLLMData(right);
}

std::string remapLegacyPath(std::string_view path) {
    std::string result(path);
    if (result.empty()) return result;
    // Only a whole leading folder is the former root: com.tavrin.data-backup is
    // some other folder and must keep its name.
    std::string legacy = legacyDataRoot().string();
    if (result.compare(0, legacy.size(), legacy) == 0 &&
        (result.size() == legacy.size() || result[legacy.size()] == '/'))
        result.replace(0, legacy.size(), dataRoot().string());
    replaceAll(result, "/TAVRIN_DATA/", "/CORVEL_DATA/");
    constexpr std::string_view formerTail = "/TAVRIN_DATA";
    if (result.size() >= formerTail.size() &&
        result.compare(result.size() - formerTail.size(), formerTail.size(), formerTail) == 0)
        result.replace(result.size() - formerTail.size(), formerTail.size(), "/CORVEL_DATA");
    return result;
}

} // namespace CVSharedDataPaths
