#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace CVSharedDataPaths::detail {

// Names of a directory's entries, hidden ones included, in listing order;
// nothing when the directory cannot be listed completely.
inline std::optional<std::vector<std::string>> listNames(const std::filesystem::path& directory) {
    std::error_code error;
    std::filesystem::directory_iterator it(directory, error);
    if (error) return std::nullopt;
    std::vector<std::string> names;
    for (std::filesystem::directory_iterator end; it != end; it.increment(error)) {
        if (error) return std::nullopt;
        names.push_back(it->path().filename().string());
    }
    if (error) return std::nullopt;
    return names;
}

// Anything at path, a dangling link included; links are not followed.
inline bool existsAsAnything(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::symlink_status(path, error).type() !=
               std::filesystem::file_type::not_found &&
           !error;
}

} // namespace CVSharedDataPaths::detail
