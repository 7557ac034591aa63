#include "install/CorvelAssetExtractor.h"

#include "install/ArchiveExtractor.h"
#include "log/CorvelSetupLogger.h"
#include "log/Hex.h"
#include "platform/Cancellation.h"
#include "platform/FileOps.h"
#include "platform/FolderHold.h"
#include "platform/KillPoint.h"
#include "platform/UniqueFd.h"
#include "shareddata/CVSharedDataPaths.h"
#include "types/CorvelInstallError.h"

#include <fmt/format.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <memory>
#include <stdexcept>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace CorvelAssetExtractor {

namespace {

constexpr std::size_t chunkSize = 1 << 20;

class TemporaryDirectory {
  public:
    // Held while in use, so no other run's cleanup takes it for a leftover.
    explicit TemporaryDirectory(fs::path path)
        : path_(std::move(path)), hold_(platform::createHeldFolder(path_)) {}
    ~TemporaryDirectory() {
        std::error_code ignored;
        platform::removeTree(path_, ignored);
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
    platform::UniqueFd hold_; // released after the removal
};

[[noreturn]] void refuseProductPath(const std::string& asset, const std::string& what) {
    auto underlying = std::make_exception_ptr(std::invalid_argument("产品路径无效: " + what));
    log(LogLevel::error, "  ✘ [raw] 搬运失败: " + describeError(underlying));
    throw CorvelInstallError::moveFailed(asset, underlying);
}

// The setup record sits at the top of the data directory; an asset of that
// name would replace it, as an archive's top-level entry of that name would.
bool namesTheRecord(const fs::path& relative) {
    fs::path normal = relative.lexically_normal();
    return !normal.empty() && *normal.begin() == "SetupManifest.json";
}

// destination / relativePath, or destination / the URL's file name. Names that
// would leave the destination, name the destination itself or the record are refused.
fs::path rawTarget(const CVTAVAsset& asset) {
    if (asset.relativePath.empty()) {
        std::string fileName = asset.url.lastPathComponent();
        if (fileName.empty() || fileName == "." || fileName == ".." || namesTheRecord(fileName) ||
            fileName.find('/') != std::string::npos || fileName.find('\0') != std::string::npos)
            refuseProductPath(asset.name, "“" + fileName + "”");
        return asset.destination / fileName;
    }
    const std::string& relative = asset.relativePath;
    fs::path path(relative);
    bool bad = path.is_absolute() || relative.back() == '/' ||
               relative.find('\0') != std::string::npos || namesTheRecord(path);
    bool named = false;
    for (const auto& part : path) {
        if (part == "..") bad = true;
        if (!part.empty() && part != ".") named = true;
    }
    if (bad || !named || path.filename() == "." || path.filename() == "..")
        refuseProductPath(asset.name, "“" + relative + "”");
    return asset.destination / path.lexically_normal();
}

bool isInside(const fs::path& candidate, const fs::path& root) {
    const std::string& text = candidate.native();
    const std::string& base = root.native();
    return text == base || (text.size() > base.size() && text.compare(0, base.size(), base) == 0 &&
                            text[base.size()] == '/');
}

fs::path moveRaw(const fs::path& archive, const CVTAVAsset& asset, const std::stop_token& stop) {
    fs::path target = rawTarget(asset);
    fs::create_directories(target.parent_path());
    // A link among the folders of relativePath could still lead elsewhere.
    std::error_code error;
    fs::path realParent = fs::canonical(target.parent_path(), error);
    fs::path realDestination = fs::canonical(asset.destination, error);
    if (error || !isInside(realParent, realDestination))
        refuseProductPath(asset.name, "“" + asset.relativePath + "” 指向目标目录之外");
    platform::throwIfStopped(stop);

    if (fs::symlink_status(target, error).type() != fs::file_type::not_found)
        fs::remove_all(target);
    log(LogLevel::info, "  • [raw] 搬运 " + archive.filename().string() + " → " + target.string());
    try {
        platform::moveItem(archive, target);
    } catch (const std::exception& e) {
        log(LogLevel::error, std::string("  ✘ [raw] 搬运失败: ") + e.what());
        throw CorvelInstallError::moveFailed(asset.name, std::current_exception());
    }
    return target;
}

std::string lowercased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

} // namespace

bool isExtractionFolderName(std::string_view name) {
    return platform::isTemporaryName(name, extractionFolderPrefix);
}

fs::path extract(const fs::path& archive, const CVTAVAsset& asset, std::stop_token stop) {
    const fs::path& destination = asset.destination;
    fs::create_directories(destination);
    if (asset.format == CVTAVAsset::Format::raw) return moveRaw(archive, asset, stop);

    // Next to the destination, on its file system: never inside it, where it
    // would show up among the entries, and never in /tmp, which may be RAM.
    fs::path parent = standardizedPath(destination).parent_path();
    TemporaryDirectory temporary(parent / platform::temporaryName(extractionFolderPrefix));

    const char* label = asset.format == CVTAVAsset::Format::tarGz ? "tarGz" : "zip";
    log(LogLevel::info, fmt::format("  • [{}] 解压 {} → 临时目录，再移入 {}", label,
                                    archive.filename().string(), destination.string()));
    auto start = std::chrono::steady_clock::now();
    ArchiveExtractor::extractArchive(archive, temporary.path(), asset.format, asset.name, stop);
    double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    log(LogLevel::info, fmt::format("  ✔ 解压完成，耗时 {:.2f}s", elapsed));

    std::set<std::string> before = CVSharedDataPaths::topLevelEntryNames(destination);
    std::set<std::string> unpacked = CVSharedDataPaths::topLevelEntryNames(temporary.path());
    platform::throwIfStopped(stop);
    platform::killPoint("extract.unpacked");
    try {
        CVSharedDataPaths::moveStagingEntries(temporary.path(), destination);
    } catch (const std::exception& e) {
        throw CorvelInstallError::extractFailed(asset.name, e.what());
    }
    log(LogLevel::info, "  • 已移入 LLMData");

    // One entry moved is the product even when it only replaced an older copy.
    fs::path product = unpacked.size() == 1
                           ? destination / *unpacked.begin()
                           : CVSharedDataPaths::pickExtractedEntry(destination, before);
    if (lowercased(product.filename().string()) == "ggml-base") {
        CVSharedDataPaths::flattenGgmlBase(destination);
        product = destination / "ggml-base.bin";
    }

    log(LogLevel::info, "  • 解压产物: " + product.string());
    platform::killPoint("extract.moved");
    return product;
}

std::string sha256OfFile(const fs::path& file, std::stop_token stop) {
    platform::UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        throw fs::filesystem_error("cannot open", file,
                                   std::error_code(errno, std::generic_category()));
    ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);

    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 unavailable");
    std::vector<unsigned char> chunk(chunkSize);
    for (;;) {
        platform::throwIfStopped(stop);
        ssize_t n = ::read(fd.get(), chunk.data(), chunk.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            throw fs::filesystem_error("cannot read", file,
                                       std::error_code(errno, std::generic_category()));
        }
        if (n == 0) break;
        EVP_DigestUpdate(context.get(), chunk.data(), static_cast<std::size_t>(n));
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context.get(), digest, &length);
    return lowerHex(std::span<const std::uint8_t>(digest, length));
}

} // namespace CorvelAssetExtractor
