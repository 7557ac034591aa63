#pragma once

#include "platform/Directories.h"
#include "shareddata/CVSharedDataPaths.h"
#include "support/TempHome.h"

#include <map>
#include <string>
#include <string_view>

namespace fs = std::filesystem;
namespace paths = CVSharedDataPaths;
using testsupport::readFile;
using testsupport::TempHome;
using testsupport::writeFile;

// A directory layout below HOME. Keys start with "D" (the data root), "L" (the
// former root), "S" (Application Support) or "~" (HOME); a value "->key" is a
// symlink ("->other" without a prefix: a relative one), "/" an empty folder,
// "#N" N bytes, anything else a file's content.
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
    while (!text.empty()) {
        auto end = std::min(text.find(' '), text.size());
        auto item = text.substr(0, end);
        auto eq = item.find('=');
        auto value = std::string(item.substr(eq + 1));
        if (value.starts_with("#")) value = std::string(std::stoul(value.substr(1)), 'x');
        result.emplace(item.substr(0, eq), value);
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return result;
}

inline void apply(const Layout& layout) {
    for (const auto& [key, value] : layout) {
        fs::create_directories(expand(key).parent_path());
        if (value == "/")
            fs::create_directories(expand(key));
        else if (value.starts_with("->"))
            fs::create_symlink(expand(value.substr(2)), expand(key));
        else
            writeFile(expand(key), value);
    }
}

// Files, links and empty folders below HOME; links are not followed.
inline Layout snapshot() {
    Layout result;
    fs::path home = platform::homeDirectory();
    for (auto it = fs::recursive_directory_iterator(home); it != fs::recursive_directory_iterator();
         ++it) {
        if (it->is_symlink())
            result[abbreviate(it->path())] = "->" + abbreviate(fs::read_symlink(it->path()));
        else if (!it->is_directory())
            result[abbreviate(it->path())] = readFile(it->path());
        else if (fs::is_empty(it->path()))
            result[abbreviate(it->path())] = "/";
    }
    return result;
}
