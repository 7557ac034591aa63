#include "record/InstalledFiles.h"

#include "download/CacheSlot.h"
#include "install/CorvelAssetExtractor.h"
#include "log/CorvelSetupLogger.h"
#include "platform/FileOps.h"
#include "record/CorvelSetupManifest.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <set>

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace InstalledFiles {

namespace {

constexpr std::size_t maxListBytes = 64 << 20;

File fileAt(const fs::path& path, std::string relative, std::stop_token stop) {
    File file{.path = std::move(relative)};
    auto status = fs::symlink_status(path);
    if (fs::is_symlink(status)) {
        file.link = fs::read_symlink(path).string();
    } else {
        file.size = static_cast<std::int64_t>(fs::file_size(path));
        file.sha256 = CorvelAssetExtractor::sha256OfFile(path, stop);
    }
    return file;
}

json toJson(const std::map<std::string, Product>& products) {
    json out = json::object();
    for (const auto& [url, product] : products) {
        json files = json::array();
        for (const auto& f : product.files) {
            json entry = {{"path", f.path}, {"size", f.size}, {"sha256", f.sha256}};
            if (f.link) entry["link"] = *f.link;
            files.push_back(std::move(entry));
        }
        out[url] = {{"installedPath", product.installedPath}, {"files", std::move(files)}};
    }
    return {{"version", 1}, {"products", std::move(out)}};
}

} // namespace

fs::path listPath() {
    return CorvelSetupManifest::manifestPath().parent_path() / "SetupFiles.json";
}

fs::path keptAppArchive() {
    return cache::downloadsRoot().parent_path() / "installed-app.zip";
}

Product scan(const fs::path& product, std::stop_token stop) {
    Product result{.installedPath = product.string()};
    if (!fs::is_directory(fs::symlink_status(product))) {
        result.files.push_back(fileAt(product, "", stop));
        return result;
    }
    for (auto it = fs::recursive_directory_iterator(product);
         it != fs::recursive_directory_iterator(); ++it) {
        auto status = it->symlink_status();
        if (fs::is_directory(status)) continue;
        result.files.push_back(
            fileAt(it->path(), it->path().lexically_relative(product).generic_string(), stop));
    }
    std::sort(result.files.begin(), result.files.end(),
              [](const File& a, const File& b) { return a.path < b.path; });
    return result;
}

std::map<std::string, Product> load() {
    std::map<std::string, Product> products;
    std::error_code error;
    auto text = platform::readFileContents(listPath(), maxListBytes, error);
    if (!text) return products;
    try {
        auto root = json::parse(*text);
        for (const auto& [url, value] : root.at("products").items()) {
            Product product{.installedPath = value.at("installedPath").get<std::string>()};
            for (const auto& f : value.at("files")) {
                File file{.path = f.at("path").get<std::string>(),
                          .size = f.at("size").get<std::int64_t>(),
                          .sha256 = f.at("sha256").get<std::string>()};
                if (f.contains("link")) file.link = f.at("link").get<std::string>();
                product.files.push_back(std::move(file));
            }
            products.emplace(url, std::move(product));
        }
    } catch (const json::exception&) {
        return {};
    }
    return products;
}

void remember(const CVTAVAsset& asset, const fs::path& product, std::stop_token stop) noexcept {
    try {
        Product scanned;
        if (asset.format == CVTAVAsset::Format::raw && !asset.sha256.empty() &&
            fs::is_regular_file(fs::symlink_status(product))) {
            // The download was checked against this digest just before it moved here.
            std::string digest = asset.sha256;
            std::transform(digest.begin(), digest.end(), digest.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            scanned = {product.string(),
                       {{.path = "",
                         .size = static_cast<std::int64_t>(fs::file_size(product)),
                         .sha256 = digest}}};
        } else {
            scanned = scan(product, stop);
        }
        auto products = load();
        std::set<std::string> recorded;
        for (const auto& entry : CorvelSetupManifest::load().entries)
            recorded.insert(entry.url);
        recorded.insert(asset.url.absoluteString());
        // A product another URL installed at the same place is gone: this one replaced it.
        std::erase_if(products, [&](const auto& p) {
            return !recorded.contains(p.first) || p.second.installedPath == scanned.installedPath;
        });
        products[asset.url.absoluteString()] = std::move(scanned);
        platform::atomicWriteFile(listPath(), toJson(products).dump(1) + "\n");
    } catch (const std::exception& e) {
        log(LogLevel::warn,
            fmt::format("⚠ SetupFiles.json 写入失败 [{}]: {}", asset.name, e.what()));
    }
}

} // namespace InstalledFiles
