#include "platform/Url.h"

#include <curl/curl.h>

#include <memory>

namespace platform {

namespace {

struct UrlHandleDeleter {
    void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlHandleDeleter>;

std::string getPart(CURLU* handle, CURLUPart part, unsigned int flags = 0) {
    char* value = nullptr;
    if (curl_url_get(handle, part, &value, flags) != CURLUE_OK || value == nullptr) return {};
    std::string result(value);
    curl_free(value);
    return result;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string percentEncode(std::string_view text, bool keepSlash) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                          (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' || c == '~' ||
                          (keepSlash && c == '/');
        if (unreserved) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(digits[c >> 4]);
            out.push_back(digits[c & 0x0f]);
        }
    }
    return out;
}

} // namespace

std::string percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            int hi = hexValue(text[i + 1]);
            int lo = hexValue(text[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out.push_back(static_cast<char>(hi * 16 + lo));
                i += 2;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

std::optional<Url> Url::parse(std::string_view text) {
    if (text.empty() || text.find('\0') != std::string_view::npos) return std::nullopt;
    UrlHandle handle(curl_url());
    if (!handle) return std::nullopt;
    std::string input(text);
    // Without a default scheme, curl refuses text that is not an absolute URL.
    if (curl_url_set(handle.get(), CURLUPART_URL, input.c_str(), 0) != CURLUE_OK)
        return std::nullopt;
    Url url;
    url.scheme_ = getPart(handle.get(), CURLUPART_SCHEME);
    if (url.scheme_ != "http" && url.scheme_ != "https" && url.scheme_ != "file")
        return std::nullopt;
    if (!url.isFile() && getPart(handle.get(), CURLUPART_HOST).empty()) return std::nullopt;
    url.absolute_ = getPart(handle.get(), CURLUPART_URL);
    url.path_ = getPart(handle.get(), CURLUPART_PATH);
    url.query_ = getPart(handle.get(), CURLUPART_QUERY);
    if (url.absolute_.empty()) return std::nullopt;
    return url;
}

Url Url::fromFilePath(const std::filesystem::path& path) {
    auto absolute = std::filesystem::absolute(path).lexically_normal();
    Url url;
    url.scheme_ = "file";
    url.path_ = percentEncode(absolute.string(), true);
    url.absolute_ = "file://" + url.path_;
    return url;
}

std::filesystem::path Url::filePath() const {
    return std::filesystem::path(percentDecode(path_));
}

std::string Url::lastPathComponent() const {
    std::string_view path = path_;
    if (path.empty() || path == "/") return "/";
    while (path.size() > 1 && path.back() == '/')
        path.remove_suffix(1);
    auto slash = path.rfind('/');
    auto last = slash == std::string_view::npos ? path : path.substr(slash + 1);
    return percentDecode(last);
}

std::vector<Url::QueryItem> Url::queryItems() const {
    std::vector<QueryItem> items;
    if (query_.empty()) return items;
    std::size_t start = 0;
    while (start <= query_.size()) {
        auto end = query_.find('&', start);
        if (end == std::string::npos) end = query_.size();
        std::string_view item(query_.data() + start, end - start);
        if (!item.empty()) {
            auto eq = item.find('=');
            if (eq == std::string_view::npos)
                items.emplace_back(percentDecode(item), "");
            else
                items.emplace_back(percentDecode(item.substr(0, eq)),
                                   percentDecode(item.substr(eq + 1)));
        }
        start = end + 1;
    }
    return items;
}

Url Url::appendingQueryItem(std::string_view name, std::string_view value) const {
    Url copy = *this;
    std::string item = percentEncode(name, false) + "=" + percentEncode(value, false);
    auto hash = copy.absolute_.find('#');
    std::string fragment;
    if (hash != std::string::npos) {
        fragment = copy.absolute_.substr(hash);
        copy.absolute_.erase(hash);
    }
    if (copy.query_.empty()) {
        // A bare "?" at the end stays harmless: the item follows it directly.
        if (copy.absolute_.empty() || copy.absolute_.back() != '?') copy.absolute_ += '?';
        copy.query_ = item;
    } else {
        copy.absolute_ += '&';
        copy.query_ += "&" + item;
    }
    copy.absolute_ += item + fragment;
    return copy;
}

Url Url::appendingToPath(std::string_view suffix) const {
    if (isFile()) {
        // A file URL is rebuilt from its path, which percent-encodes the suffix.
        std::filesystem::path path = filePath();
        path += std::string(suffix);
        Url copy = fromFilePath(path);
        if (!query_.empty()) {
            copy.query_ = query_;
            copy.absolute_ += "?" + query_;
        }
        return copy;
    }
    UrlHandle handle(curl_url());
    std::string updated = path_ + percentEncode(suffix, true);
    if (handle && curl_url_set(handle.get(), CURLUPART_URL, absolute_.c_str(), 0) == CURLUE_OK &&
        curl_url_set(handle.get(), CURLUPART_PATH, updated.c_str(), 0) == CURLUE_OK) {
        Url copy = *this;
        copy.absolute_ = getPart(handle.get(), CURLUPART_URL);
        copy.path_ = getPart(handle.get(), CURLUPART_PATH);
        if (!copy.absolute_.empty()) return copy;
    }
    return *this;
}

} // namespace platform
