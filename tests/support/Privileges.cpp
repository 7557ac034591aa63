#include "support/Privileges.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <exception>
#include <fcntl.h>
#include <filesystem>
#include <string_view>
#include <sys/stat.h>
#include <thread>

namespace fs = std::filesystem;

namespace testsupport {

namespace {

void dropFileModeOverride() {
    // The raw calls act on the calling thread only; libcap is not needed for that.
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, data) != 0) return;
    for (int capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}) {
        unsigned bit = 1u << (capability % 32);
        data[capability / 32].effective &= ~bit;
        data[capability / 32].permitted &= ~bit;
        data[capability / 32].inheritable &= ~bit;
    }
    ::syscall(SYS_capset, &header, data);
}

// Whether this thread is refused a new file in a read-only folder of its own.
bool meetsFileModes(const fs::path& scratch) {
    fs::path probe = scratch / ".mode-probe";
    if (::mkdir(probe.c_str(), 0555) != 0) return false;
    int fd = ::open((probe / "x").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    bool refused = fd < 0 && errno == EACCES;
    if (fd >= 0) {
        ::close(fd);
        ::unlink((probe / "x").c_str());
    }
    ::rmdir(probe.c_str());
    return refused;
}

} // namespace

bool underCi() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::string_view(ci) == "true";
}

bool runWithoutFileModeOverride(const fs::path& scratch, const std::function<void()>& work) {
    bool restricted = false;
    std::exception_ptr failure;
    std::thread([&] {
        dropFileModeOverride();
        restricted = meetsFileModes(scratch);
        if (!restricted) return;
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
    }).join();
    if (failure) std::rethrow_exception(failure);
    return restricted;
}

} // namespace testsupport
