#pragma once

#include "pipeline/CVTAVAsset.h"

#include <ctime>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <vector>

// Archives written by the tests themselves, with any name, type and mode.
namespace testarchives {

struct Entry {
    enum class Kind { file, directory, symlink, hardlink, fifo, characterDevice };
    std::string name;
    Kind kind = Kind::file;
    std::string content; // file content
    std::string target;  // symlink or hardlink target
    mode_t permissions = 0644;
    std::time_t modified = 1700000000;
};

inline Entry file(std::string name, std::string content, mode_t permissions = 0644) {
    return Entry{std::move(name), Entry::Kind::file, std::move(content), {}, permissions};
}
inline Entry directory(std::string name) {
    return Entry{std::move(name), Entry::Kind::directory, {}, {}, 0755};
}
inline Entry softLink(std::string name, std::string target) {
    return Entry{std::move(name), Entry::Kind::symlink, {}, std::move(target), 0777};
}
inline Entry hardLink(std::string name, std::string target) {
    return Entry{std::move(name), Entry::Kind::hardlink, {}, std::move(target), 0644};
}
inline Entry deviceNode(std::string name, Entry::Kind kind) {
    return Entry{std::move(name), kind, {}, {}, 0644};
}

void write(const std::filesystem::path& path, CVTAVAsset::Format format,
           const std::vector<Entry>& entries);

} // namespace testarchives
