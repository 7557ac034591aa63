#include "pipeline/InstallVerification.h"

#include "install/CorvelAssetExtractor.h"
#include "log/CorvelSetupLogger.h"
#include "platform/Cancellation.h"
#include "record/CorvelSetupManifest.h"
#include "record/InstalledFiles.h"
#include "shareddata/CVSharedDataPaths.h"

#include <fmt/format.h>

#include <map>

#include <algorithm>
#include <set>

namespace fs = std::filesystem;

namespace InstallVerification {

namespace {

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// One file against what was listed: nothing when it matches.
std::optional<Finding> check(const fs::path& path, const InstalledFiles::File& listed,
                             std::stop_token stop) {
    std::error_code error;
    auto status = fs::symlink_status(path, error);
    if (error || !fs::exists(status)) return Finding::missing;
    if (listed.link) {
        if (!fs::is_symlink(status)) return Finding::changed;
        auto target = fs::read_symlink(path, error);
        return !error && target.string() == *listed.link ? std::nullopt
                                                         : std::optional(Finding::changed);
    }
    if (!fs::is_regular_file(status)) return Finding::changed;
    auto size = fs::file_size(path, error);
    if (error || static_cast<std::int64_t>(size) != listed.size) return Finding::changed;
    try {
        if (CorvelAssetExtractor::sha256OfFile(path, stop) != lower(listed.sha256))
            return Finding::damaged;
    } catch (const fs::filesystem_error&) {
        return Finding::damaged; // unreadable counts as damaged
    }
    return std::nullopt;
}

void checkListed(const CorvelSetupManifest::Entry& entry, const fs::path& root,
                 const InstalledFiles::Product& product, std::stop_token stop,
                 std::vector<Problem>& problems) {
    std::set<std::string> listed;
    for (const auto& file : product.files) {
        platform::throwIfStopped(stop);
        listed.insert(file.path);
        auto path = file.path.empty() ? root : root / file.path;
        if (auto finding = check(path, file, stop))
            problems.push_back({entry.name, entry.url, *finding, path});
    }
    std::error_code error;
    if (!fs::is_directory(fs::symlink_status(root, error))) return;
    for (auto it = fs::recursive_directory_iterator(root, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (it->is_directory(error) && !it->is_symlink(error)) continue;
        if (!listed.contains(it->path().lexically_relative(root).generic_string()))
            problems.push_back({entry.name, entry.url, Finding::extra, it->path()});
    }
}

} // namespace

bool Report::allMatch() const {
    return std::all_of(problems.begin(), problems.end(),
                       [](const Problem& p) { return p.finding == Finding::presenceOnly; });
}

std::vector<std::string> Report::damagedUrls() const {
    std::vector<std::string> urls;
    for (const auto& p : problems)
        if (p.finding != Finding::presenceOnly &&
            std::find(urls.begin(), urls.end(), p.url) == urls.end())
            urls.push_back(p.url);
    return urls;
}

std::string describe(const Problem& problem) {
    // In the order of Finding.
    static constexpr const char* words[] = {"缺失", "已改变", "已损坏", "多余的文件",
                                            "仅检查了存在（安装时尚无文件清单）"};
    return fmt::format("{} [{}]: {}", words[static_cast<int>(problem.finding)], problem.name,
                       problem.path.string());
}

Report verifyInstalled(std::stop_token stop) {
    Report report;
    const auto lists = InstalledFiles::load();
    const auto entries = CorvelSetupManifest::load().entries;
    // An update installed at another URL keeps the old entry in the record,
    // naming the same place: what is there now is the newest entry's product.
    std::map<std::string, const CorvelSetupManifest::Entry*> newest;
    for (const auto& entry : entries) {
        auto& current = newest[entry.installedPath];
        if (!current || current->completedAt <= entry.completedAt) current = &entry;
    }
    for (const auto& entry : entries) {
        platform::throwIfStopped(stop);
        if (newest[entry.installedPath] != &entry) continue;
        ++report.products;
        const fs::path root = CVSharedDataPaths::remapLegacyPath(entry.installedPath);
        log(LogLevel::info, fmt::format("▶ 校验 [{}]: {}", entry.name, root.string()));
        const auto before = report.problems.size();
        auto list = lists.find(entry.url);
        if (list != lists.end() && list->second.installedPath == entry.installedPath) {
            checkListed(entry, root, list->second, stop, report.problems);
        } else if (entry.format == "raw" && !entry.sha256.empty()) {
            // Installed before lists were kept, but the record holds its digest.
            if (auto finding = check(
                    root, {.path = "", .size = entry.expectedBytes, .sha256 = entry.sha256}, stop))
                report.problems.push_back({entry.name, entry.url, *finding, root});
        } else if (CVSharedDataPaths::recordedProductIsPresent(entry.format, entry.installedPath,
                                                               entry.url, entry.expectedBytes)) {
            report.problems.push_back({entry.name, entry.url, Finding::presenceOnly, root});
        } else {
            report.problems.push_back({entry.name, entry.url, Finding::missing, root});
        }
        for (auto i = before; i < report.problems.size(); ++i) {
            const auto& problem = report.problems[i];
            log(problem.finding == Finding::presenceOnly ? LogLevel::warn : LogLevel::error,
                (problem.finding == Finding::presenceOnly ? "  ⚠ " : "  ✘ ") + describe(problem));
        }
        if (report.problems.size() == before)
            log(LogLevel::info, fmt::format("  ✔ 一致 [{}]", entry.name));
    }
    return report;
}

} // namespace InstallVerification
