#pragma once

#include "platform/Url.h"

#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// The sources a run has given up on, and the connections open to each host,
// shared by every download of the run. A source is given up once for the
// whole run: the next asset does not wait on a host that failed the last one.
class SourceHealth {
  public:
    // More connections to one host than this only compete with each other
    // behind the same cap, and look like abuse to a mirror's operator.
    static constexpr std::size_t connectionsPerHost = 4;

    // Why the source was given up, when it was (itself or its whole host).
    std::optional<std::string> droppedReason(const std::string& url) const;
    // Gives up the URL, or every URL of its host when the host itself failed
    // (nobody answers, no TLS, no bytes). True when this call gave it up: the
    // caller says so once.
    bool drop(const std::string& url, const std::string& reason, bool wholeHost);

    // A connection to the URL's host, unless it has connectionsPerHost open
    // (always one when `anyway`); close() hands it back.
    bool open(const std::string& url, bool anyway = false);
    void close(const std::string& url);

    // scheme://host:port of an absolute URL.
    static std::string hostOf(const std::string& url);

  private:
    mutable std::mutex mutex_;
    std::map<std::string, std::string> droppedUrls_, droppedHosts_;
    std::map<std::string, std::size_t> open_;
};

// The places one download may take its bytes from, best first, and the ones
// given up on, for this download or earlier in the run. The download fails
// only once every source has.
class SourcePool {
  public:
    SourcePool(std::vector<platform::Url> sources, SourceHealth& health);

    bool exhausted() const;
    // The first source not given up; only while not exhausted.
    const platform::Url& current() const;
    // The sources not given up, current() first.
    std::vector<platform::Url> healthy() const;
    // More than one source: a failure moves on instead of ending the download.
    bool hasAlternatives() const { return sources_.size() > 1; }
    // Another source is left after the current one.
    bool hasNext() const { return healthy().size() > 1; }

    // Gives up on the source for the given reason; returns the log line's
    // text naming it.
    std::string drop(const std::string& name, const std::string& url, const std::string& reason,
                     bool wholeHost);
    // Every source and why it was given up, for the failure of the download.
    std::string failureMessage() const;

  private:
    std::vector<platform::Url> sources_;
    SourceHealth& health_;
};

// The line that says a source is given up for the run.
std::string sourceDroppedLine(const std::string& name, const std::string& url,
                              const std::string& reason);
