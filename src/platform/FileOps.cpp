#include "platform/FileOps.h"

#include "platform/UniqueFd.h"

#include <uuid/uuid.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <system_error>

namespace fs = std::filesystem;

namespace platform {

void throwFileError(const char* what, const fs::path& path, int error) {
    throw fs::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

namespace {

[[noreturn]] void fail(const char* what, const fs::path& p1, const fs::path& p2, int error) {
    throw fs::filesystem_error(what, p1, p2, std::error_code(error, std::generic_category()));
}

// Read-only folders refuse the removal of their entries to anyone but root.
void makeFoldersWritable(const fs::path& path) {
    std::error_code ignored;
    if (!fs::is_directory(fs::symlink_status(path, ignored))) return;
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ignored);
    for (fs::directory_iterator it(path, ignored), end; !ignored && it != end;
         it.increment(ignored))
        makeFoldersWritable(it->path());
}

void fsyncDirectory(const fs::path& directory) {
    UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd) ::fsync(fd.get()); // best effort: the rename itself already happened
}

} // namespace

std::string makeUuidString() {
    uuid_t id;
    uuid_generate_random(id);
    char text[37];
    uuid_unparse_upper(id, text);
    return text;
}

std::string temporaryName(std::string_view prefix) {
    return std::string(prefix) + makeUuidString();
}

bool isTemporaryName(std::string_view name, std::string_view prefix) {
    if (name.size() != prefix.size() + 36 || name.substr(0, prefix.size()) != prefix) return false;
    std::string_view id = name.substr(prefix.size());
    for (std::size_t i = 0; i < id.size(); ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        char c = id[i];
        if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    }
    return true;
}

bool isAtomicWriteTemporaryName(std::string_view name, std::string_view targetName) {
    constexpr std::string_view suffix = ".tmp";
    if (!name.ends_with(suffix)) return false;
    std::string prefix = "." + std::string(targetName) + ".";
    return isTemporaryName(name.substr(0, name.size() - suffix.size()), prefix);
}

void atomicWriteFile(const fs::path& target, std::string_view content) {
    fs::path directory = target.parent_path().empty() ? fs::path(".") : target.parent_path();
    fs::path temp =
        directory / ("." + target.filename().string() + "." + makeUuidString() + ".tmp");
    UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!fd) throwFileError("cannot create temporary file", temp, errno);
    try {
        if (!writeFully(fd.get(), content)) throwFileError("cannot write", temp, errno);
        if (::fsync(fd.get()) != 0) throwFileError("cannot sync", temp, errno);
        if (::close(fd.release()) != 0) throwFileError("cannot close", temp, errno);
        if (::rename(temp.c_str(), target.c_str()) != 0)
            fail("cannot replace", temp, target, errno);
    } catch (...) {
        std::error_code ignored;
        fs::remove(temp, ignored);
        throw;
    }
    fsyncDirectory(directory);
}

void copyFileContents(const fs::path& source, const fs::path& target, unsigned int mode) {
    // Our own descriptors: the standard library's copy opens both without
    // close-on-exec. Non-blocking, so a FIFO at the source cannot hang the open.
    UniqueFd in(::open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!in) throwFileError("cannot open source file", source, errno);
    struct stat info {};
    if (::fstat(in.get(), &info) != 0) throwFileError("cannot examine source file", source, errno);
    if (!S_ISREG(info.st_mode)) throwFileError("source is not a regular file", source, EINVAL);
    mode_t permissions = mode != 0 ? static_cast<mode_t>(mode) : (info.st_mode & 07777);
    UniqueFd out(
        ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, permissions));
    if (!out) throwFileError("cannot create file", target, errno);
    for (;;) {
        ssize_t copied = ::sendfile(out.get(), in.get(), nullptr, 1 << 30);
        if (copied == 0) break;
        if (copied < 0 && errno != EINTR) fail("cannot copy file", source, target, errno);
    }
    // The umask narrowed the mode at creation; the copy keeps the source's bits.
    if (::fchmod(out.get(), permissions) != 0)
        throwFileError("cannot set permissions", target, errno);
}

std::optional<std::string> readFileContents(const fs::path& path, std::size_t maxBytes,
                                            std::error_code& error) {
    auto failed = [&error](int code) -> std::optional<std::string> {
        error = std::error_code(code, std::generic_category());
        return std::nullopt;
    };
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) return failed(errno);
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) return failed(errno);
    if (!S_ISREG(info.st_mode)) return failed(EINVAL);
    // The size on record only decides early; the loop bounds what really arrives.
    if (info.st_size > 0 && static_cast<std::uintmax_t>(info.st_size) > maxBytes)
        return failed(EFBIG);
    std::string content;
    content.reserve(static_cast<std::size_t>(std::max<off_t>(info.st_size, 0)));
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            return failed(errno);
        }
        if (content.size() + static_cast<std::size_t>(n) > maxBytes) return failed(EFBIG);
        content.append(buffer, static_cast<std::size_t>(n));
    }
    error.clear();
    return content;
}

void copyItem(const fs::path& from, const fs::path& to) {
    auto status = fs::symlink_status(from);
    if (fs::is_symlink(status)) {
        fs::copy_symlink(from, to);
    } else if (fs::is_directory(status)) {
        // Writable while it is filled: a read-only folder would refuse its own
        // content. The source's mode follows once the content is in.
        if (::mkdir(to.c_str(), S_IRWXU) != 0) throwFileError("cannot create directory", to, errno);
        for (const auto& entry : fs::directory_iterator(from))
            copyItem(entry.path(), to / entry.path().filename());
        fs::permissions(to, status.permissions());
    } else if (fs::is_regular_file(status)) {
        copyFileContents(from, to);
    } else if (!fs::exists(status)) {
        fail("cannot copy", from, to, ENOENT);
    } else {
        // Devices, FIFOs and sockets are not data; refusing beats copying endlessly.
        fail("cannot copy special file", from, to, ENOTSUP);
    }
}

void moveItem(const fs::path& from, const fs::path& to) {
    std::error_code error;
    auto type = fs::symlink_status(to, error).type();
    // A target that cannot even be looked at (name too long, no access) is
    // reported as what it is, not as an existing file.
    if (error && error != std::errc::no_such_file_or_directory)
        fail("cannot move", from, to, error.value());
    if (type != fs::file_type::not_found) fail("cannot move: target exists", from, to, EEXIST);
    if (::rename(from.c_str(), to.c_str()) == 0) return;
    int renameError = errno;
    if (renameError != EXDEV) fail("cannot move", from, to, renameError);
    try {
        copyItem(from, to);
    } catch (...) {
        removeTree(to, error); // keep the source complete; drop the half copy
        throw;
    }
    removeTree(from, error);
    if (error) throw fs::filesystem_error("cannot remove", from, error);
}

void removeTree(const fs::path& path, std::error_code& error) {
    fs::remove_all(path, error);
    if (error != std::errc::permission_denied) return;
    makeFoldersWritable(path);
    error.clear();
    fs::remove_all(path, error);
}

} // namespace platform
