#pragma once

#include <sys/resource.h>

namespace testsupport {

// A file-size limit stands in for a full disk while it lives: writes past
// `bytes` fail (with EFBIG, SIGXFSZ being ignored). 0 sets no limit.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

  private:
    rlimit saved_{};
};

} // namespace testsupport
