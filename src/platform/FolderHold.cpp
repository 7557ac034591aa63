#include "platform/FolderHold.h"

#include "platform/FileOps.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>

namespace fs = std::filesystem;

namespace platform {

namespace {

UniqueFd openFolder(const fs::path& path) {
    return UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

int lockFolder(int fd, int how) {
    for (;;) {
        if (::flock(fd, how) == 0) return 0;
        if (errno != EINTR) return errno;
    }
}

} // namespace

UniqueFd createHeldFolder(const fs::path& path) {
    if (::mkdir(path.c_str(), 0777) != 0) throwFileError("cannot create folder", path, errno);
    UniqueFd fd = openFolder(path);
    if (!fd) throwFileError("cannot open folder", path, errno);
    // A cleanup that took the folder between mkdir and here removes it while
    // holding it; this waits for that and then finds it unlinked.
    if (int error = lockFolder(fd.get(), LOCK_EX); error != 0)
        throwFileError("cannot lock folder", path, error);
    struct stat held {};
    if (::fstat(fd.get(), &held) != 0 || held.st_nlink == 0)
        throwFileError("folder removed while it was being created", path, ENOENT);
    return fd;
}

std::optional<UniqueFd> tryHoldFolder(const fs::path& path) {
    UniqueFd fd = openFolder(path);
    if (!fd) return UniqueFd();
    if (lockFolder(fd.get(), LOCK_EX | LOCK_NB) == EWOULDBLOCK) return std::nullopt;
    return fd;
}

} // namespace platform
