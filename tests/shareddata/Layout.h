#pragma once

#include "platform/Directories.h"
#include "shareddata/CVSharedDataPaths.h"
#include "support/TempHome.h"

#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <sys/stat.h>

namespace fs = std::filesystem;
namespace paths = CVSharedDataPaths;
using testsupport::readFile;
using testsupport::TempHome;
using testsupport::writeFile;

// A directory layout below HOME. Keys start with "D" (the data root), "L" (the
// former root), "S" (Application Support) or "~" (HOME); a value "->key" is a
// symlink ("->other" without a prefix: a relative one), "/" an empty folder,
// "|" a FIFO, "#N" N bytes, anything else a file's content.
using Layout = std::map<std::string, std::string>;

inline std::vector<std::pair<std::string, fs::path>> prefixes() {
    return {{"D", paths::dataRoot()},
            {"L", paths::legacyDataRoot()},
            {"S", paths::applicationSupportDirectory()},
            {"~", platform::homeDirectory()}};
}

inline fs::path expand(const std::string& key) {
    for (const auto& [prefix, root] : prefixes())
        if (key == prefix || key.starts_with(prefix + "/"))
            return key.size() == 1 ? root : root / key.substr(2);
    return key;
}

inline std::string abbreviate(const fs::path& path) {
    for (const auto& [prefix, root] : prefixes()) {
        if (path == root) return prefix;
        auto rel = path.lexically_relative(root).string();
        if (!rel.empty() && !rel.starts_with("..")) return prefix + "/" + rel;
    }
    return path.string();
}

// "key=value key=value ...".
inline Layout layout(std::string_view text) {
    Layout result;
    std::istringstream in{std::string(text)};
    for (std::string item; in >> item;) {
        auto eq = item.find('=');
        auto value = item.substr(eq + 1);
        if (value.starts_with("#")) value = std::string(std::stoul(value.substr(1)), 'x');
        result.emplace(item.substr(0, eq), value);
    }
    return result;
}

inline void apply(const Layout& layout) {
    for (const auto& [key, value] : layout) {
        fs::path path = expand(key);
        fs::create_directories(value == "/" ? path : path.parent_path());
        if (value.starts_with("->"))
            fs::create_symlink(expand(value.substr(2)), path);
        else if (value == "|")
            ::mkfifo(path.c_str(), 0600);
        else if (value != "/")
            writeFile(path, value);
    }
}

// Files, links and empty folders below HOME; links are not followed.
inline Layout snapshot() {
    Layout result;
    for (const auto& entry : fs::recursive_directory_iterator(platform::homeDirectory())) {
        if (entry.is_symlink())
            result[abbreviate(entry.path())] = "->" + abbreviate(fs::read_symlink(entry.path()));
        else if (entry.is_fifo())
            result[abbreviate(entry.path())] = "|";
        else if (!entry.is_directory())
            result[abbreviate(entry.path())] = readFile(entry.path());
        else if (fs::is_empty(entry.path()))
            result[abbreviate(entry.path())] = "/";
    }
    return result;
}
