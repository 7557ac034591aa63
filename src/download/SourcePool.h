#pragma once

#include "platform/Url.h"

#include <cstddef>
#include <string>
#include <vector>

// The places one download may take its bytes from, best first, and the ones
// it has given up on. A source that failed is not asked again during this
// download; the download fails only once every source has.
class SourcePool {
  public:
    explicit SourcePool(std::vector<platform::Url> sources);

    bool exhausted() const { return next_ >= sources_.size(); }
    // The source to use now; only while not exhausted.
    const platform::Url& current() const { return sources_[next_]; }
    // More than one source: a failure moves on instead of ending the download.
    bool hasAlternatives() const { return sources_.size() > 1; }
    // Another source is left after the current one.
    bool hasNext() const { return next_ + 1 < sources_.size(); }

    // Gives up on the current source for the given reason; returns the log
    // line's text naming it.
    std::string drop(const std::string& name, std::string reason);
    // Every source and why it was given up, for the failure of the download.
    std::string failureMessage() const;

  private:
    std::vector<platform::Url> sources_;
    std::vector<std::string> reasons_; // of sources_[0 .. next_)
    std::size_t next_ = 0;
};
