#include "platform/ProxyEnvironment.h"

#include <arpa/inet.h>
#include <curl/curl.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace platform {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// libcurl's rule for a name: the same name, or a parent domain of it.
bool nameMatches(std::string_view host, std::string_view token) {
    if (!host.empty() && host.back() == '.') host.remove_suffix(1);
    if (!token.empty() && token.back() == '.') token.remove_suffix(1);
    if (!token.empty() && token.front() == '.') token.remove_prefix(1);
    if (token.size() == host.size()) return equalsIgnoringCase(token, host);
    if (token.empty() || token.size() > host.size()) return false;
    return host[host.size() - token.size() - 1] == '.' &&
           equalsIgnoringCase(token, host.substr(host.size() - token.size()));
}

// An address against "address" or "address/bits"; a missing or zero prefix
// length means the whole address, as libcurl reads it.
template <int Family, std::size_t Bytes>
bool addressMatches(const std::string& host, std::string_view token) {
    std::string network(token.substr(0, token.find('/')));
    unsigned bits = Bytes * 8;
    if (auto slash = token.find('/'); slash != std::string_view::npos)
        bits = static_cast<unsigned>(std::atoi(std::string(token.substr(slash + 1)).c_str()));
    if (bits == 0) bits = Bytes * 8;
    if (bits > Bytes * 8) return false;
    std::array<unsigned char, Bytes> a{}, b{};
    if (::inet_pton(Family, host.c_str(), a.data()) != 1 ||
        ::inet_pton(Family, network.c_str(), b.data()) != 1)
        return false;
    for (std::size_t i = 0; i < Bytes && bits > 0; ++i) {
        unsigned take = bits >= 8 ? 8 : bits;
        unsigned mask = (0xFFu << (8 - take)) & 0xFFu;
        if ((a[i] & mask) != (b[i] & mask)) return false;
        bits -= take;
    }
    return true;
}

struct UrlDeleter {
    void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};

std::string hostOf(const Url& url) {
    std::unique_ptr<CURLU, UrlDeleter> handle(curl_url());
    char* host = nullptr;
    if (!handle ||
        curl_url_set(handle.get(), CURLUPART_URL, url.absoluteString().c_str(), 0) != CURLUE_OK ||
        curl_url_get(handle.get(), CURLUPART_HOST, &host, 0) != CURLUE_OK || host == nullptr)
        return {};
    std::string text(host);
    curl_free(host);
    return text;
}

} // namespace

bool noProxyMatches(std::string_view host, std::string_view noProxy) {
    if (noProxy.empty()) return false;
    if (noProxy == "*") return true;
    enum class Kind { name, ipv4, ipv6 } kind = Kind::name;
    std::string address;
    if (host.starts_with('[')) {
        auto close = host.find(']');
        if (close == std::string_view::npos) return false;
        address = std::string(host.substr(1, close - 1));
        kind = Kind::ipv6;
    } else if (host.find(':') != std::string_view::npos) {
        address = std::string(host);
        kind = Kind::ipv6;
    } else {
        std::array<unsigned char, 4> ignored{};
        address = std::string(host);
        if (::inet_pton(AF_INET, address.c_str(), ignored.data()) == 1) kind = Kind::ipv4;
    }
    // Blanks and commas both separate the patterns.
    std::size_t at = 0;
    while (at < noProxy.size()) {
        std::size_t end = at;
        while (end < noProxy.size() && !isBlank(noProxy[end]) && noProxy[end] != ',')
            ++end;
        std::string_view token = noProxy.substr(at, end - at);
        if (!token.empty()) {
            bool match = kind == Kind::name   ? nameMatches(host, token)
                         : kind == Kind::ipv4 ? addressMatches<AF_INET, 4>(address, token)
                                              : addressMatches<AF_INET6, 16>(address, token);
            if (match) return true;
        }
        at = end + 1;
    }
    return false;
}

std::optional<std::string> proxyFor(const Url& url, const EnvironmentLookup& lookup) {
    if (url.isFile()) return std::nullopt;
    // libcurl takes a variable set to nothing for one that is not set.
    auto read = [&lookup](const char* name) -> const char* {
        const char* value = lookup(name);
        return value != nullptr && *value != '\0' ? value : nullptr;
    };
    const char* noProxy = read("no_proxy");
    if (noProxy == nullptr) noProxy = read("NO_PROXY");
    if (noProxy != nullptr && noProxyMatches(hostOf(url), noProxy)) return std::nullopt;

    const bool https = url.scheme() == "https";
    const char* proxy = read(https ? "https_proxy" : "http_proxy");
    if (proxy == nullptr && https) proxy = read("HTTPS_PROXY");
    if (proxy == nullptr) proxy = read("all_proxy");
    if (proxy == nullptr) proxy = read("ALL_PROXY");
    if (proxy == nullptr) return std::nullopt;
    return std::string(proxy);
}

} // namespace platform
