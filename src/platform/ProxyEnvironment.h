#pragma once

#include "platform/Url.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// Reads one environment variable; nullptr when unset.
using EnvironmentLookup = std::function<const char*(const char*)>;

// The proxy libcurl will use for `url`, read from the environment as libcurl
// reads it: <scheme>_proxy (for https also HTTPS_PROXY, never HTTP_PROXY,
// which a CGI request could set), else all_proxy or ALL_PROXY; none when
// no_proxy (or NO_PROXY) names the host: "*", a domain that matches the host
// or a parent of it, an IP address or a CIDR block; a variable set to nothing
// counts as unset.
// Nothing for file URLs. Callers that must know whether a shared cache sits
// between them and the server ask here, since libcurl 7.88 cannot tell them.
std::optional<std::string> proxyFor(const Url& url, const EnvironmentLookup& lookup = std::getenv);

// Whether libcurl's no_proxy list names `host` (a name, an IPv4 address or
// an IPv6 address with or without brackets).
bool noProxyMatches(std::string_view host, std::string_view noProxy);

} // namespace platform
