#pragma once

#include "log/CorvelSetupLogger.h"
#include "platform/Cancellation.h"
#include "support/Privileges.h"
#include "support/SyscallFilter.h"
#include "support/TempHome.h"
#include "types/CVTAVAsset.h"
#include "types/CorvelInstallError.h"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <linux/filter.h>
#include <linux/fs.h>
#include <linux/seccomp.h>
#include <optional>
#include <string>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <vector>

// Archives written by the tests themselves, with any name, type and mode.
namespace testarchives {

struct Entry {
    std::string name, content = {};
    unsigned type = AE_IFREG; // AE_IFREG with a target is a hard link
    std::string target = {};
    unsigned permissions = 0644;
    std::time_t modified = 1700000000;
};

inline Entry file(std::string name, std::string content, unsigned permissions = 0644) {
    return {name, content, AE_IFREG, {}, permissions};
}
inline Entry directory(std::string name) {
    return {name, {}, AE_IFDIR, {}, 0755};
}
inline Entry softLink(std::string name, std::string to) {
    return {name, {}, AE_IFLNK, to, 0777};
}

// `plain`: a zip's entries stored uncompressed, a tar left without gzip.
inline void write(const std::filesystem::path& path, CVTAVAsset::Format format,
                  const std::vector<Entry>& entries, bool plain = false) {
    std::filesystem::create_directories(path.parent_path());
    archive* out = archive_write_new();
    if (format == CVTAVAsset::Format::zip) {
        archive_write_set_format_zip(out);
        if (plain) archive_write_set_format_option(out, "zip", "compression", "store");
    } else {
        archive_write_set_format_pax_restricted(out);
        if (!plain) archive_write_add_filter_gzip(out);
    }
    ASSERT_EQ(archive_write_open_filename(out, path.c_str()), ARCHIVE_OK);
    for (const auto& e : entries) {
        archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, e.name.c_str());
        archive_entry_set_mtime(entry, e.modified, 0);
        archive_entry_set_filetype(entry, e.type);
        archive_entry_set_perm(entry, e.permissions);
        if (e.type == AE_IFLNK) archive_entry_set_symlink(entry, e.target.c_str());
        if (e.type == AE_IFREG && !e.target.empty())
            archive_entry_set_hardlink(entry, e.target.c_str());
        if (e.type == AE_IFCHR) archive_entry_set_rdev(entry, makedev(1, 3));
        archive_entry_set_size(entry, static_cast<la_int64_t>(e.content.size()));
        EXPECT_GE(archive_write_header(out, entry), ARCHIVE_WARN) << archive_error_string(out);
        archive_write_data(out, e.content.data(), e.content.size());
        archive_entry_free(entry);
    }
    EXPECT_EQ(archive_write_close(out), ARCHIVE_OK);
    archive_write_free(out);
}

} // namespace testarchives

namespace fs = std::filesystem;
using namespace testarchives;
using namespace testsupport;

// The bytes of an archive of `entries` (made in the temporary HOME).
inline std::string archiveBytes(CVTAVAsset::Format format, const std::vector<Entry>& entries) {
    const fs::path scratch = fs::path(std::getenv("HOME")) / ".archive-scratch";
    write(scratch, format, entries);
    std::string bytes = readFile(scratch);
    fs::remove(scratch);
    return bytes;
}
// An application bundle whose AppRun is `script`.
inline std::string bundleArchive(const std::string& script = "#!/bin/sh\n") {
    return archiveBytes(CVTAVAsset::Format::zip,
                        {directory("Corvel.app/"), file("Corvel.app/AppRun", script, 0755)});
}

// Whether `directory` holds no leftover whose name starts with `prefix`.
inline bool noneLeft(const fs::path& directory, const std::string& prefix) {
    for (const auto& entry : fs::directory_iterator(directory))
        if (entry.path().filename().string().starts_with(prefix)) return false;
    return true;
}
inline void expectLogged(const std::vector<std::string>& lines) {
    expectContains(logText(), lines);
}

// Whether a process that is not our child has ended: gone, or a zombie nobody reaped.
inline bool hasEnded(pid_t pid) {
    std::string stat = readFile(fs::path("/proc") / std::to_string(pid) / "stat");
    auto close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] == 'Z' ||
           stat[close + 2] == 'X';
}

using testsupport::exitStatus;
using testsupport::failOnOwnDescriptors;
using testsupport::failWith;
using testsupport::inFilteredChild;

// Every write(2) of exactly `size` bytes to a descriptor opened in the child
// fails with `error`, as writes fail on a full disk while growing a file by
// truncation still works. (The size singles out the test's own data: the
// sanitizers write to pipes of their own.) `work`'s result, 77 as above.
inline std::optional<int> withFailingWrites(int error, unsigned size,
                                            const std::function<int()>& work) {
    auto status = inFilteredChild(
        [&](int next) { return failOnOwnDescriptors(next, __NR_write, 2, BPF_JEQ, size, error); },
        work);
    if (!status || !WIFEXITED(*status)) return std::nullopt;
    return WEXITSTATUS(*status);
}

// renameat2 with RENAME_EXCHANGE fails with EINVAL, as on a file system
// that cannot exchange.
inline std::vector<sock_filter> exchangeRefused(int) {
    return {BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_renameat2, 0, 3),
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[4])),
            BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, RENAME_EXCHANGE, 0, 1), failWith(EINVAL)};
}
