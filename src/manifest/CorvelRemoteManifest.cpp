#include "manifest/CorvelRemoteManifest.h"

#include "log/CorvelSetupLogger.h"
#include "manifest/AssetResolution.h"
#include "manifest/ManifestText.h"
#include "platform/Cancellation.h"
#include "platform/FileOps.h"
#include "platform/HttpClient.h"
#include "platform/JsonShape.h"
#include "types/CorvelInstallError.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <system_error>

namespace CorvelRemoteManifest {

namespace {

using nlohmann::json;

// A decoding failure; its text becomes the reason in "JSON 解析失败: ...".
struct DecodeFailure {
    std::string reason;
};

const char* typeName(const json& value) {
    if (value.is_number_integer()) return "integer";
    if (value.is_number()) return "number";
    return value.type_name();
}

std::string joinPath(const std::string& path, std::string_view key) {
    return path.empty() ? std::string(key) : path + "." + std::string(key);
}

// Absent and null are the same for every key: required keys fail on both,
// optional keys leave the field empty.
const json* member(const json& object, std::string_view key) {
    auto found = object.find(key);
    if (found == object.end() || found->is_null()) return nullptr;
    return &*found;
}

const json& required(const json& object, std::string_view key, const std::string& path) {
    const json* value = member(object, key);
    if (value == nullptr) {
        bool present = object.contains(key);
        throw DecodeFailure{fmt::format("{} {}", joinPath(path, key),
                                        present ? "is null but required" : "is missing")};
    }
    return *value;
}

[[noreturn]] void wrongType(const std::string& where, const char* expected, const json& value) {
    throw DecodeFailure{fmt::format("{}: expected {}, found {}", where, expected, typeName(value))};
}

std::string asString(const json& value, const std::string& where) {
    if (!value.is_string()) wrongType(where, "a string", value);
    return value.get<std::string>();
}

std::int64_t asInt64(const json& value, const std::string& where) {
    if (value.is_number_unsigned()) {
        auto number = value.get<std::uint64_t>();
        if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            throw DecodeFailure{
                fmt::format("{}: {} does not fit a 64-bit signed integer", where, number)};
        return static_cast<std::int64_t>(number);
    }
    if (value.is_number_integer()) return value.get<std::int64_t>();
    wrongType(where, "a 64-bit integer", value);
}

void requireObject(const json& value, const std::string& where) {
    if (!value.is_object()) wrongType(where.empty() ? "(document)" : where, "an object", value);
}

std::string requiredString(const json& object, std::string_view key, const std::string& path) {
    return asString(required(object, key, path), joinPath(path, key));
}

std::optional<std::string> optionalString(const json& object, std::string_view key,
                                          const std::string& path) {
    const json* value = member(object, key);
    if (value == nullptr) return std::nullopt;
    return asString(*value, joinPath(path, key));
}

std::optional<std::int64_t> optionalInt64(const json& object, std::string_view key,
                                          const std::string& path) {
    const json* value = member(object, key);
    if (value == nullptr) return std::nullopt;
    return asInt64(*value, joinPath(path, key));
}

// A digest is checked here rather than when it is used, so a typo in the
// manifest is reported against its entry instead of as a corrupt download.
void requireDigest(const std::optional<std::string>& fileHash, const std::string& where) {
    std::string digest = digestFrom(fileHash);
    if (digest.empty() || isSha256Hex(digest)) return;
    throw DecodeFailure{fmt::format("{}.file_hash: 不是 SHA-256 摘要（应为 64 位十六进制）: {}",
                                    where, escapeControlCharacters(digest.substr(0, 80)))};
}

// A control file is trusted through its digest alone, so one without the
// other is a publishing mistake worth reporting rather than ignoring.
template <typename Entry>
void decodeZsync(const json& value, const std::string& path, Entry& entry) {
    entry.zsyncUrl = optionalString(value, "zsync_url", path);
    entry.zsyncHash = optionalString(value, "zsync_hash", path);
    if (entry.zsyncUrl.has_value() != entry.zsyncHash.has_value())
        throw DecodeFailure{fmt::format("{}: zsync_url 与 zsync_hash 须同时给出", path)};
    if (entry.zsyncHash && !isSha256Hex(*entry.zsyncHash))
        throw DecodeFailure{
            fmt::format("{}.zsync_hash: 不是 SHA-256 摘要（应为 64 位十六进制）: {}", path,
                        escapeControlCharacters(entry.zsyncHash->substr(0, 80)))};
}

// Names end up in file names and log lines.
std::string requiredName(const json& object, std::string_view key, const std::string& path) {
    std::string name = requiredString(object, key, path);
    if (name.size() > maxNameBytes)
        throw DecodeFailure{fmt::format("{}: 超过 {} 字节", joinPath(path, key), maxNameBytes)};
    if (containsControlCharacters(name))
        throw DecodeFailure{
            fmt::format("{}: 含控制字符: {}", joinPath(path, key), escapeControlCharacters(name))};
    return name;
}

// More places of the same file: any absolute URL but, from a remote
// manifest, a local file, which would copy whatever that path holds.
std::vector<std::string> optionalMirrors(const json& object, const std::string& path, bool remote) {
    const json* value = member(object, "mirrors");
    if (value == nullptr) return {};
    const std::string where = joinPath(path, "mirrors");
    if (!value->is_array()) wrongType(where, "an array", *value);
    std::vector<std::string> mirrors;
    for (std::size_t i = 0; i < value->size(); ++i) {
        const std::string entry = fmt::format("{}[{}]", where, i);
        std::string text = asString((*value)[i], entry);
        auto url = parseDownloadUrl(text);
        if (!url)
            throw DecodeFailure{fmt::format("{}: 不是绝对的 http(s) 地址: {}", entry,
                                            escapeControlCharacters(text.substr(0, 200)))};
        if (remote && url->isFile())
            throw DecodeFailure{fmt::format("{}: 远程清单不能引用本地文件: {}", entry,
                                            escapeControlCharacters(text.substr(0, 200)))};
        mirrors.push_back(std::move(text));
    }
    return mirrors;
}

ManifestApp decodeApp(const json& value, const std::string& path, bool remote) {
    requireObject(value, path);
    ManifestApp app;
    app.appName = optionalString(value, "app_name", path);
    app.downloadUrl = requiredString(value, "download_url", path);
    app.fileName = optionalString(value, "file_name", path);
    app.fileSize = optionalInt64(value, "file_size", path);
    app.fileHash = optionalString(value, "file_hash", path);
    requireDigest(app.fileHash, path);
    app.mirrors = optionalMirrors(value, path, remote);
    decodeZsync(value, path, app);
    return app;
}

ManifestModel decodeModel(const json& value, const std::string& path, bool remote) {
    requireObject(value, path);
    ManifestModel model;
    model.modelName = requiredName(value, "model_name", path);
    model.downloadUrl = requiredString(value, "download_url", path);
    model.fileName = requiredName(value, "file_name", path);
    model.size = optionalInt64(value, "size", path);
    model.fileHash = optionalString(value, "file_hash", path);
    requireDigest(model.fileHash, path + " (" + model.modelName + ")");
    model.mirrors = optionalMirrors(value, path, remote);
    decodeZsync(value, path, model);
    return model;
}

ManifestResponse decodeDocument(const json& document, bool remote) {
    requireObject(document, "");
    ManifestResponse response;
    response.status = requiredString(document, "status", "");
    const json& data = required(document, "data", "");
    requireObject(data, "data");
    response.data.app = decodeApp(required(data, "app", "data"), "data.app", remote);
    const json& models = required(data, "models", "data");
    if (!models.is_array()) wrongType("data.models", "an array", models);
    response.data.models.reserve(models.size());
    for (std::size_t i = 0; i < models.size(); ++i)
        response.data.models.push_back(
            decodeModel(models[i], fmt::format("data.models[{}]", i), remote));
    return response;
}

std::string snippetOf(std::string_view body) {
    auto head = body.substr(0, std::min(body.size(), snippetBytes));
    // One line, whatever the body: the message may end up as the last line shown.
    return isValidUtf8(head) ? escapeControlCharacters(head) : std::string("<non-utf8>");
}

DomainError signatureTooLarge() {
    return ManifestSignature::makeSignatureError(
        fmt::format("清单签名格式错误: 超过 {} 字节上限", ManifestSignature::maxSignatureBytes));
}

DomainError tooLargeError() {
    return makeManifestError(fmt::format("清单过大: 超过 {} 字节上限", maxManifestBytes));
}

// A document of at most `cap` bytes: the manifest or its signature. Anything
// longer is refused with `tooLarge` before it is read whole.
struct CappedDocument {
    std::size_t cap;
    DomainError (*tooLarge)();
    const char* unreadable; // what a file that cannot be read is called
};

const CappedDocument manifestDocument{maxManifestBytes, tooLargeError, "无法读取清单文件"};
const CappedDocument signatureDocument{ManifestSignature::maxSignatureBytes, signatureTooLarge,
                                       "无法读取签名文件"};

std::string readFile(const std::filesystem::path& path, const CappedDocument& document) {
    std::error_code error;
    auto body = platform::readFileContents(path, document.cap, error);
    if (body) return std::move(*body);
    if (error == std::errc::file_too_large) throw document.tooLarge();
    throw std::filesystem::filesystem_error(document.unreadable, path, error);
}

std::string fetchOverHttp(const platform::Url& url, const CappedDocument& document,
                          std::vector<std::pair<std::string, std::string>> headers,
                          std::stop_token stop) {
    platform::HttpRequest request;
    request.url = url.absoluteString();
    request.timeout = manifestTimeout;
    request.headers = std::move(headers);
    std::string body;
    platform::HttpHandlers handlers;
    handlers.onHead = [&document](const platform::HttpResponseHead& head) {
        // Outside 2xx the body is of no use; stop reading it.
        if (head.status < 200 || head.status > 299) return false;
        auto announced = parseContentLength(head.header("Content-Length").value_or(""));
        if (announced && *announced > static_cast<std::int64_t>(document.cap))
            throw document.tooLarge();
        return true;
    };
    handlers.onBody = [&body, &document](const char* data, std::size_t size) {
        if (body.size() + size > document.cap) throw document.tooLarge();
        body.append(data, size);
    };
    auto outcome = platform::performHttp(request, handlers, stop);
    long status = outcome.head.status;
    if (status < 200 || status > 299) throw makeManifestError(fmt::format("HTTP {}", status));
    return body;
}

[[noreturn]] void rethrowAsNetworkError(const std::exception_ptr& error) {
    log(LogLevel::error, "✘ 清单拉取/解析失败: " + describeError(error));
    throw CorvelInstallError::network(error);
}

// The error under a network wrapper: each place's reason without the prefix
// that the whole message gets once.
std::exception_ptr unwrapNetwork(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const CorvelInstallError& wrapped) {
        if (auto* network = std::get_if<CorvelInstallError::Network>(&wrapped.value()))
            return network->underlying;
    } catch (...) {
    }
    return error;
}

// A manifest from the network naming local files would copy whatever they
// hold into the data directory; only a local manifest may do that.
void refuseLocalFiles(const std::vector<CVTAVAsset>& assets) {
    for (std::size_t i = 0; i < assets.size(); ++i) {
        std::string where = i == 0 ? std::string("app") : fmt::format("models[{}]", i - 1);
        auto refuse = [&](const char* key, const platform::Url& url) {
            throw CorvelInstallError::network(std::make_exception_ptr(makeManifestError(fmt::format(
                "{}.{} 非法: {}（远程清单不能引用本地文件）", where, key, url.absoluteString()))));
        };
        if (assets[i].url.isFile()) refuse("download_url", assets[i].url);
        if (assets[i].zsyncUrl && assets[i].zsyncUrl->isFile())
            refuse("zsync_url", *assets[i].zsyncUrl);
    }
}

} // namespace

namespace {

// One place the manifest may be had: the URL fetched, where its signature
// lies, and the endpoint it stands for, which decides whether it is remote.
struct ManifestPlace {
    platform::Url url;
    platform::Url signature;
    platform::Url endpoint;
};

FetchedAssets fetchFrom(const ManifestPlace& place, const ManifestTrust& trust,
                        std::stop_token stop) {
    log(LogLevel::info, "▶ 拉取清单: " + place.url.absoluteString());
    // Read from a disk or not, the publisher's manifest stays remote.
    const bool remote = !place.endpoint.isFile();

    std::string body;
    try {
        body = fetchManifestBody(place.url, stop);
    } catch (...) {
        // A requested stop is the run's cancellation, not a broken manifest.
        if (stop.stop_requested()) throw platform::CancelledError();
        rethrowAsNetworkError(std::current_exception());
    }

    // Nothing of an unverified body is used, not even the hosts it names.
    FetchedAssets fetched;
    fetched.signedAt = checkSignature(body, place.signature, trust, stop);

    ManifestResponse response;
    try {
        response = decodeManifest(body, remote);
    } catch (...) {
        rethrowAsNetworkError(std::current_exception());
    }

    if (response.status != "success") {
        std::string message = "清单接口返回状态异常: " + response.status;
        log(LogLevel::error, "✘ " + message);
        throw CorvelInstallError::network(std::make_exception_ptr(makeManifestError(message)));
    }

    std::vector<CVTAVAsset>& assets = fetched.assets;
    assets.reserve(response.data.models.size() + 1);
    assets.push_back(makeAppAsset(response.data.app));
    for (std::size_t i = 0; i < response.data.models.size(); ++i)
        assets.push_back(makeModelAsset(response.data.models[i], i));
    if (remote) refuseLocalFiles(assets);
    return fetched;
}

} // namespace

DomainError makeManifestError(const std::string& message) {
    return DomainError(errorDomain, -1, message);
}

std::optional<platform::Url> parseEndpoint(std::string_view text) {
    auto trimmed = trimWhitespaceAndNewlines(text);
    if (trimmed.empty()) return std::nullopt;
    return platform::Url::parse(trimmed);
}

std::string endpointList(const std::vector<std::string>& given) {
    std::string list;
    for (const std::string& text : given) {
        auto endpoint = parseEndpoint(text);
        if (!endpoint)
            throw std::invalid_argument(
                "--manifest-url: not an absolute http, https or file URL: '" + text + "'");
        list += (list.empty() ? "" : " ") + endpoint->absoluteString();
    }
    return list;
}

std::vector<platform::Url> manifestEndpoints() {
    static const platform::Url defaultUrl = *platform::Url::parse(defaultEndpoint);
    std::vector<platform::Url> chosen;
    if (const char* value = std::getenv(endpointVariable)) {
        std::string_view text(value);
        while (!text.empty()) {
            auto blank = text.find_first_of(" \t\r\n");
            if (auto parsed = parseEndpoint(text.substr(0, blank))) chosen.push_back(*parsed);
            text = blank == std::string_view::npos ? std::string_view() : text.substr(blank + 1);
        }
    }
    if (chosen.empty()) chosen.push_back(defaultUrl);
    auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
    for (platform::Url& url : chosen) {
        auto busted =
            url.appendingQueryItem("v", std::to_string(static_cast<std::int64_t>(millis)));
        // The rebuilt text must still be a URL; otherwise the chosen one is used as is.
        if (platform::Url::parse(busted.absoluteString())) url = busted;
    }
    return chosen;
}

platform::Url manifestEndpoint() {
    return manifestEndpoints().front();
}

ManifestResponse decodeManifest(std::string_view body, bool remote) {
    std::string reason;
    try {
        // A tree of millions of tiny values costs gigabytes even within the
        // size limit; a streaming pass refuses such shapes before any is built.
        switch (platform::checkJsonShape(body, maxManifestDepth, maxManifestValues)) {
        case platform::JsonShape::tooDeep:
            throw DecodeFailure{fmt::format("清单嵌套过深: 超过 {} 层", maxManifestDepth)};
        case platform::JsonShape::tooManyValues:
            throw DecodeFailure{fmt::format("清单元素过多: 超过 {} 个", maxManifestValues)};
        case platform::JsonShape::acceptable:
            break;
        }
        json document = json::parse(body.begin(), body.end());
        return decodeDocument(document, remote);
    } catch (const DecodeFailure& failure) {
        reason = failure.reason;
    } catch (const json::exception& error) {
        reason = error.what();
    }
    // The reason may quote raw bytes of the body; keep the message valid text.
    throw makeManifestError("JSON 解析失败: " + sanitizedUtf8(reason) +
                            " — 响应片段: " + snippetOf(body));
}

std::string fetchManifestBody(const platform::Url& endpoint, std::stop_token stop) {
    // A file override is read as is: no HTTP, so no status to check.
    return endpoint.isFile()
               ? readFile(endpoint.filePath(), manifestDocument)
               : fetchOverHttp(endpoint, manifestDocument, {{"Accept", "application/json"}}, stop);
}

ManifestResponse fetchManifest(const platform::Url& endpoint, std::stop_token stop) {
    return decodeManifest(fetchManifestBody(endpoint, stop), !endpoint.isFile());
}

platform::Url signatureUrl(const platform::Url& endpoint) {
    return endpoint.appendingToPath(".minisig");
}

std::string fetchSignature(const platform::Url& url, std::stop_token stop) {
    try {
        return url.isFile() ? readFile(url.filePath(), signatureDocument)
                            : fetchOverHttp(url, signatureDocument, {}, stop);
    } catch (const DomainError& error) {
        if (error.domain() == ManifestSignature::errorDomain) throw;
        throw ManifestSignature::makeSignatureError(
            fmt::format("清单签名缺失: 无法获取 {}: {}", url.absoluteString(), error.what()));
    } catch (...) {
        if (stop.stop_requested()) throw platform::CancelledError();
        throw ManifestSignature::makeSignatureError(
            fmt::format("清单签名缺失: 无法获取 {}: {}", url.absoluteString(),
                        describeError(std::current_exception())));
    }
}

std::optional<std::int64_t> checkSignature(const std::string& body, const platform::Url& signature,
                                           const ManifestTrust& trust, std::stop_token stop) {
    if (trust.keys.empty()) {
        log(LogLevel::warn, "⚠ 未配置清单公钥，清单未经签名校验");
        return std::nullopt;
    }
    log(LogLevel::info, fmt::format("▶ 校验清单签名: 受信任公钥 {} 个（来源: {}）",
                                    trust.keys.size(), trust.origin));
    try {
        auto verified =
            ManifestSignature::verify(body, fetchSignature(signature, stop), trust.keys);
        log(LogLevel::info, fmt::format("✔ 清单签名有效: 公钥 {}，可信注释: {}", verified.keyId,
                                        verified.trustedComment));
        if (!verified.timestamp) {
            log(LogLevel::warn, "  ⚠ 清单签名不含时间戳，无法识别回滚");
            return std::nullopt;
        }
        // Kept, a time far ahead would refuse every later release as a
        // rollback; a day covers clocks that are merely off.
        const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count();
        if (*verified.timestamp > now + maxSigningTimeAhead.count())
            throw ManifestSignature::makeSignatureError(
                fmt::format("清单签名时间 {} 比本机时间晚一天以上，拒绝使用（请检查系统时钟）",
                            *verified.timestamp));
        if (trust.newestAccepted && *verified.timestamp < *trust.newestAccepted)
            throw ManifestSignature::makeSignatureError(
                fmt::format("清单比上次安装时的旧，拒绝回滚（签名时间 {}，上次接受 {}）",
                            *verified.timestamp, *trust.newestAccepted));
        return verified.timestamp;
    } catch (const platform::CancelledError&) {
        throw;
    } catch (...) {
        if (stop.stop_requested()) throw platform::CancelledError();
        log(LogLevel::error, "✘ 清单签名校验失败: " + describeError(std::current_exception()));
        throw;
    }
}

std::vector<CVTAVAsset> fetchAssets(std::stop_token stop) {
    return fetchAssets(ManifestTrust{}, stop).assets;
}

FetchedAssets fetchAssets(const ManifestTrust& trust, std::stop_token stop) {
    return fetchAssets(trust, {}, stop);
}

FetchedAssets fetchAssets(const ManifestTrust& trust, const std::vector<MirrorRules::Rule>& mirrors,
                          std::stop_token stop) {
    log(LogLevel::info, "-------------------- 资源清单 --------------------");
    for (const MirrorRules::Rule& rule : mirrors)
        log(LogLevel::info, fmt::format("▶ 镜像规则: {} → {}", rule.from, rule.to));

    std::vector<ManifestPlace> places;
    for (const platform::Url& endpoint : manifestEndpoints()) {
        if (auto rewritten = MirrorRules::rewrite(mirrors, endpoint)) {
            auto signature = MirrorRules::rewrite(mirrors, signatureUrl(endpoint));
            places.push_back({*rewritten, signature.value_or(signatureUrl(*rewritten)), endpoint});
        }
        places.push_back({endpoint, signatureUrl(endpoint), endpoint});
    }

    std::vector<std::pair<std::string, std::exception_ptr>> failures;
    for (const ManifestPlace& place : places) {
        try {
            FetchedAssets fetched = fetchFrom(place, trust, stop);
            for (CVTAVAsset& asset : fetched.assets)
                MirrorRules::applyTo(mirrors, asset);
            fetched.assets = probeSizes(std::move(fetched.assets), stop);
            platform::throwIfStopped(stop);
            logManifestReady(fetched.assets);
            return fetched;
        } catch (const platform::CancelledError&) {
            throw;
        } catch (...) {
            if (stop.stop_requested()) throw platform::CancelledError();
            failures.emplace_back(place.url.absoluteString(), std::current_exception());
            if (failures.size() < places.size()) log(LogLevel::warn, "  ⚠ 改试下一个清单地址");
        }
    }
    // One place: its own error, as it always was.
    if (failures.size() == 1) std::rethrow_exception(failures.front().second);
    std::string message = fmt::format("全部 {} 个清单地址均不可用:", failures.size());
    for (const auto& [url, error] : failures)
        message += fmt::format(" [{}] {};", url, describeError(unwrapNetwork(error)));
    message.pop_back();
    log(LogLevel::error, "✘ " + message);
    throw CorvelInstallError::network(std::make_exception_ptr(makeManifestError(message)));
}

} // namespace CorvelRemoteManifest
