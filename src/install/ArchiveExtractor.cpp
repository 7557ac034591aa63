#include "install/ArchiveExtractor.h"

#include "install/GzipSource.h"
#include "log/CorvelSetupLogger.h"
#include "platform/Cancellation.h"
#include "platform/UniqueFd.h"
#include "types/CorvelInstallError.h"

#include <archive.h>
#include <archive_entry.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <thread>
#include <unordered_set>
#include <vector>

namespace fs = std::filesystem;

namespace ArchiveExtractor {

namespace {

struct ReadDeleter {
    void operator()(archive* a) const { archive_read_free(a); }
};
struct WriteDeleter {
    void operator()(archive* a) const { archive_write_free(a); }
};
using ReadArchive = std::unique_ptr<archive, ReadDeleter>;
using WriteArchive = std::unique_ptr<archive, WriteDeleter>;

// A refusal or failure, carried to the one place that logs and converts it.
struct Refusal {
    std::string reason;
    bool diskFull = false; // no room or no quota left for what was being written
};

[[noreturn]] void refuse(std::string reason) {
    throw Refusal{std::move(reason)};
}

std::string errorText(archive* a, const char* fallback) {
    const char* text = archive_error_string(a);
    return text != nullptr && *text != '\0' ? std::string(text) : std::string(fallback);
}

// Errors after which bytes of the entry are not (all) on disk, even where the
// disk writer only warns: it reports a failed write(2) as ARCHIVE_WARN.
bool bytesLost(int code) {
    return code == ENOSPC || code == EDQUOT || code == EIO || code == EFBIG || code == EROFS;
}

// The components of a relative entry name without empty and "." parts;
// nothing for a name that is absolute or contains "..".
enum class NameProblem { none, absolute, dotDot };

NameProblem splitEntryName(const std::string& name, std::vector<std::string>& components) {
    components.clear();
    if (!name.empty() && name.front() == '/') return NameProblem::absolute;
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = name.find('/', start);
        if (end == std::string::npos) end = name.size();
        std::string part = name.substr(start, end - start);
        if (part == "..") return NameProblem::dotDot;
        if (!part.empty() && part != ".") components.push_back(std::move(part));
        start = end + 1;
    }
    return NameProblem::none;
}

std::string joinComponents(const std::vector<std::string>& components) {
    std::string joined;
    for (const auto& part : components) {
        if (!joined.empty()) joined += '/';
        joined += part;
    }
    return joined;
}

// Whether a relative symlink target, read from the link's own folder, stays
// within the archive's root when followed as written.
bool targetStaysInside(const std::vector<std::string>& linkComponents, const std::string& target) {
    std::size_t depth = linkComponents.empty() ? 0 : linkComponents.size() - 1;
    std::size_t start = 0;
    while (start <= target.size()) {
        std::size_t end = target.find('/', start);
        if (end == std::string::npos) end = target.size();
        std::string_view part(target.data() + start, end - start);
        if (part == "..") {
            if (depth == 0) return false;
            --depth;
        } else if (!part.empty() && part != ".") {
            ++depth;
        }
        start = end + 1;
    }
    return true;
}

enum class Resolution { inside, outside, tooManyLinks };

// Follows the link at `link`, whose folder is `folder` (components below
// root), one component at a time as the kernel would: every link met on the
// way is read and followed in turn. A step above root leaves it, whether or
// not anything exists at the end.
Resolution resolveLink(const fs::path& root, const fs::path& link,
                       std::vector<std::string> folder) {
    constexpr int maxLinks = 40; // the kernel's own limit
    std::error_code error;
    fs::path first = fs::read_symlink(link, error);
    if (error || first.is_absolute()) return Resolution::outside;
    std::deque<std::string> pending;
    auto prepend = [&pending](const std::string& target) {
        std::vector<std::string> parts;
        std::size_t start = 0;
        while (start <= target.size()) {
            std::size_t end = target.find('/', start);
            if (end == std::string::npos) end = target.size();
            parts.push_back(target.substr(start, end - start));
            start = end + 1;
        }
        pending.insert(pending.begin(), parts.begin(), parts.end());
    };
    prepend(first.string());
    int links = 1;
    while (!pending.empty()) {
        std::string part = std::move(pending.front());
        pending.pop_front();
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (folder.empty()) return Resolution::outside;
            folder.pop_back();
            continue;
        }
        fs::path here = root / joinComponents(folder) / part;
        if (!fs::is_symlink(fs::symlink_status(here, error))) {
            folder.push_back(std::move(part));
            continue;
        }
        if (++links > maxLinks) return Resolution::tooManyLinks;
        fs::path target = fs::read_symlink(here, error);
        if (error || target.is_absolute()) return Resolution::outside;
        prepend(target.string()); // read from the folder that holds it
    }
    return Resolution::inside;
}

using EntryPtr = std::unique_ptr<archive_entry, decltype(&archive_entry_free)>;

// What the reading thread hands to the writing thread, in archive order.
struct Item {
    enum class Kind { header, data, endOfEntry, finished, failed, cancelled };
    Kind kind = Kind::finished;
    EntryPtr entry{nullptr, archive_entry_free};
    la_int64_t offset = 0;
    std::vector<char> bytes;
    std::string reason;
    std::size_t cost = 0; // counted against the channel's bound while queued
};

// Headers carry no data but still take memory: an archive of millions of
// empty entries must not queue them all while the writer creates files.
std::size_t costOf(const Item& item) {
    std::size_t cost = 1024 + item.bytes.size() + item.reason.size();
    if (item.entry) {
        for (const char* text :
             {archive_entry_pathname(item.entry.get()), archive_entry_symlink(item.entry.get()),
              archive_entry_hardlink(item.entry.get())})
            if (text != nullptr) cost += std::strlen(text);
    }
    return cost;
}

// A bounded queue: inflating runs on one core while the other creates and
// writes files. Data buffers are recycled to keep allocation off the path.
class Channel {
  public:
    static constexpr std::size_t maxBytesInFlight = 32u << 20;

    // False once the writer has given up; the reader then stops.
    bool push(Item item) {
        item.cost = costOf(item);
        std::unique_lock lock(mutex_);
        spaceAvailable_.wait(lock, [&] { return aborted_ || bytes_ < maxBytesInFlight; });
        if (aborted_) return false;
        bytes_ += item.cost;
        items_.push_back(std::move(item));
        itemAvailable_.notify_one();
        return true;
    }

    Item pop() {
        std::unique_lock lock(mutex_);
        itemAvailable_.wait(lock, [&] { return !items_.empty(); });
        Item item = std::move(items_.front());
        items_.pop_front();
        bytes_ -= item.cost;
        spaceAvailable_.notify_one();
        return item;
    }

    void abort() {
        std::lock_guard lock(mutex_);
        aborted_ = true;
        spaceAvailable_.notify_all();
    }

    std::vector<char> takeBuffer() {
        std::lock_guard lock(mutex_);
        if (pool_.empty()) return {};
        std::vector<char> buffer = std::move(pool_.back());
        pool_.pop_back();
        return buffer;
    }

    void giveBack(std::vector<char> buffer) {
        std::lock_guard lock(mutex_);
        pool_.push_back(std::move(buffer));
    }

  private:
    std::mutex mutex_;
    std::condition_variable itemAvailable_;
    std::condition_variable spaceAvailable_;
    std::deque<Item> items_;
    std::size_t bytes_ = 0;
    bool aborted_ = false;
    std::vector<std::vector<char>> pool_;
};

class Extraction {
  public:
    Extraction(const fs::path& archivePath, const fs::path& directory, CVTAVAsset::Format format,
               std::stop_token stop)
        : archivePath_(archivePath), format_(format), stop_(std::move(stop)) {
        // Entries are written by absolute path below the resolved root, so no
        // symlinked ancestor of the root can trip the symlink check.
        std::error_code error;
        root_ = fs::canonical(directory, error);
        if (error)
            refuse("无法打开解压目录：" + directory.string() + "（" + error.message() + "）");

        reader_.reset(archive_read_new());
        writer_.reset(archive_write_disk_new());
        if (!reader_ || !writer_) refuse("无法初始化解压");
        if (format == CVTAVAsset::Format::tarGz) {
            // Inflated by GzipSource, which checks what libarchive's filter would not.
            archive_read_support_format_tar(reader_.get());
        } else {
            archive_read_support_format_zip(reader_.get());
        }
        // No owner, ACL, xattr or flag restoring; no absolute-path flag as every
        // name is made absolute below after it passed our own checks.
        archive_write_disk_set_options(writer_.get(), ARCHIVE_EXTRACT_TIME |
                                                          ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                                                          ARCHIVE_EXTRACT_SECURE_NODOTDOT);
    }

    void run() {
        fd_.reset(::open(archivePath_.c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd_)
            refuse("无法打开归档：" + archivePath_.string() + "（" + std::strerror(errno) + "）");
        ::posix_fadvise(fd_.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
        // A plain tar under a .tar.gz name was always accepted; only gzip is inflated.
        if (format_ == CVTAVAsset::Format::tarGz && GzipSource::looksLikeGzip(fd_.get())) {
            gzip_.emplace(fd_.get());
            if (gzip_->open(reader_.get()) != ARCHIVE_OK)
                refuse("无法读取归档：" + errorText(reader_.get(), "格式无法识别"));
        } else if (archive_read_open_fd(reader_.get(), fd_.get(), 1 << 20) != ARCHIVE_OK)
            refuse("无法读取归档：" + errorText(reader_.get(), "格式无法识别"));

        Channel channel;
        std::thread reading([&] { readEntries(channel); });
        // Whatever way the writing ends, the reader is released and joined
        // before the archive handles go away.
        struct Join {
            Channel& channel;
            std::thread& thread;
            ~Join() {
                channel.abort();
                thread.join();
            }
        } join{channel, reading};

        for (;;) {
            Item item = channel.pop();
            switch (item.kind) {
            case Item::Kind::header:
                writeEntry(item.entry.get(), channel);
                break;
            case Item::Kind::finished:
                break;
            case Item::Kind::failed:
                refuse(item.reason);
            case Item::Kind::cancelled:
                throw platform::CancelledError();
            case Item::Kind::data:
            case Item::Kind::endOfEntry:
                refuse("解压数据顺序错误"); // cannot happen: writeEntry consumes them
            }
            if (item.kind == Item::Kind::finished) break;
        }
        checkWrite(archive_write_close(writer_.get()), "");
        verifySymlinks();
    }

  private:
    // Runs on the reading thread: every header, then the data of regular
    // files, copied out of libarchive's buffers (valid only until its next call).
    void readEntries(Channel& channel) {
        auto fail = [&](const std::string& reason) {
            Item item;
            item.kind = Item::Kind::failed;
            item.reason = reason;
            channel.push(std::move(item));
        };
        auto signal = [&](Item::Kind kind) {
            Item item;
            item.kind = kind;
            return channel.push(std::move(item));
        };
        try {
            for (;;) {
                if (stop_.stop_requested()) {
                    signal(Item::Kind::cancelled);
                    return;
                }
                archive_entry* entry = nullptr;
                int status = archive_read_next_header(reader_.get(), &entry);
                if (status == ARCHIVE_EOF) {
                    if (gzip_) gzip_->finish();
                    signal(Item::Kind::finished);
                    return;
                }
                if (status < ARCHIVE_WARN) {
                    fail("无法读取归档：" + errorText(reader_.get(), "条目头损坏"));
                    return;
                }
                Item header;
                header.kind = Item::Kind::header;
                header.entry = EntryPtr(archive_entry_clone(entry), archive_entry_free);
                if (!header.entry) {
                    fail("内存不足");
                    return;
                }
                bool hasData = archive_entry_filetype(entry) == AE_IFREG &&
                               archive_entry_hardlink(entry) == nullptr;
                std::string name = archive_entry_pathname(entry) != nullptr
                                       ? archive_entry_pathname(entry)
                                       : std::string();
                if (!channel.push(std::move(header))) return;
                while (hasData) {
                    const void* block = nullptr;
                    std::size_t size = 0;
                    la_int64_t offset = 0;
                    status = archive_read_data_block(reader_.get(), &block, &size, &offset);
                    if (status == ARCHIVE_EOF) break;
                    // A warning here is a failed integrity check (a zip entry's CRC).
                    if (status < ARCHIVE_OK) {
                        fail("无法读取归档中的 " + name + "：" +
                             errorText(reader_.get(), "数据损坏"));
                        return;
                    }
                    if (stop_.stop_requested()) {
                        signal(Item::Kind::cancelled);
                        return;
                    }
                    Item data;
                    data.kind = Item::Kind::data;
                    data.offset = offset;
                    data.bytes = channel.takeBuffer();
                    const char* bytes = static_cast<const char*>(block);
                    data.bytes.assign(bytes, bytes + size);
                    if (!channel.push(std::move(data))) return;
                }
                if (!signal(Item::Kind::endOfEntry)) return;
            }
        } catch (const std::exception& e) {
            fail(std::string("无法读取归档：") + e.what());
        }
    }

    void writeEntry(archive_entry* entry, Channel& channel) {
        const char* rawName = archive_entry_pathname(entry);
        if (rawName == nullptr) refuse("归档条目名称无法读取");
        std::string name = rawName;
        switch (splitEntryName(name, components_)) {
        case NameProblem::absolute:
            refuse("归档条目使用绝对路径，已拒绝：" + name);
        case NameProblem::dotDot:
            refuse("归档条目含有“..”，已拒绝：" + name);
        case NameProblem::none:
            break;
        }
        if (components_.empty()) { // the archive's root itself: already there
            copyData(name, channel, false);
            return;
        }
        if (components_.front() == "SetupManifest.json")
            refuse("归档顶层不得含有 SetupManifest.json，已拒绝：" + name);

        std::string relative = joinComponents(components_);
        fs::path target = root_ / relative;
        // A later entry may put a link where a file was: hard links may only
        // name what is a file now.
        files_.erase(relative);
        mode_t type = archive_entry_filetype(entry);
        const char* hardlink = archive_entry_hardlink(entry);
        if (hardlink != nullptr) {
            std::vector<std::string> linkComponents;
            if (splitEntryName(hardlink, linkComponents) != NameProblem::none ||
                !files_.contains(joinComponents(linkComponents)))
                refuse("归档中的硬链接目标无效，已拒绝：" + name + " → " + hardlink);
            archive_entry_copy_hardlink(entry, (root_ / joinComponents(linkComponents)).c_str());
        } else if (type == AE_IFLNK) {
            const char* linkTarget = archive_entry_symlink(entry);
            std::string text = linkTarget == nullptr ? std::string() : std::string(linkTarget);
            if (text.empty()) refuse("归档中的符号链接没有目标，已拒绝：" + name);
            if (text.front() == '/')
                refuse("归档中的符号链接指向绝对路径，已拒绝：" + name + " → " + text);
            if (!targetStaysInside(components_, text))
                refuse("归档中的符号链接指向归档之外，已拒绝：" + name + " → " + text);
            symlinks_.push_back(target);
        } else if (type != AE_IFREG && type != AE_IFDIR) {
            refuse("归档含有设备文件、管道或套接字，已拒绝：" + name);
        }

        mode_t permissions = archive_entry_perm(entry) & ~static_cast<mode_t>(S_ISUID | S_ISGID);
        // A folder we cannot write into could be neither replaced nor cleaned up later.
        if (type == AE_IFDIR) permissions |= S_IRWXU;
        archive_entry_set_perm(entry, permissions);
        archive_entry_copy_pathname(entry, target.c_str());

        checkWrite(archive_write_header(writer_.get(), entry), name);
        bool regular = type == AE_IFREG && hardlink == nullptr;
        copyData(name, channel, regular);
        if (regular) files_.insert(std::move(relative));
        checkWrite(archive_write_finish_entry(writer_.get()), name);
    }

    [[noreturn]] void failWrite(const std::string& name) {
        int code = archive_errno(writer_.get());
        std::string reason = (name.empty() ? std::string("无法完成解压") : "无法写入 " + name) +
                             "：" + errorText(writer_.get(), "写入失败");
        if (code > 0) reason += "（" + std::string(std::strerror(code)) + "）";
        throw Refusal{std::move(reason), code == ENOSPC || code == EDQUOT};
    }

    // A status of the disk writer: failures, and warnings whose cause means
    // lost bytes, end the extraction; other warnings (a time not restored) do not.
    void checkWrite(int status, const std::string& name) {
        if (status < ARCHIVE_WARN ||
            (status == ARCHIVE_WARN && bytesLost(archive_errno(writer_.get()))))
            failWrite(name);
    }

    // Writes the entry's data items up to its end marker; `write` false only drains them.
    void copyData(const std::string& name, Channel& channel, bool write) {
        for (;;) {
            Item item = channel.pop();
            if (item.kind == Item::Kind::endOfEntry) return;
            if (item.kind == Item::Kind::failed) refuse(item.reason);
            if (item.kind == Item::Kind::cancelled) throw platform::CancelledError();
            if (item.kind != Item::Kind::data) refuse("解压数据顺序错误");
            // Any warning here means the block is not on disk: a file of
            // zeros or cut short must never be taken for the product.
            if (write && archive_write_data_block(writer_.get(), item.bytes.data(),
                                                  item.bytes.size(), item.offset) < ARCHIVE_OK)
                failWrite(name);
            channel.giveBack(std::move(item.bytes));
        }
    }

    // Each link was checked as written; links that lead through other links
    // are only safe if the resolved result still lies inside the root, also
    // when the final target does not exist (yet).
    void verifySymlinks() {
        for (const auto& link : symlinks_) {
            std::vector<std::string> components;
            splitEntryName(link.lexically_relative(root_).string(), components);
            components.pop_back(); // resolved from the link's own folder
            switch (resolveLink(root_, link, components)) {
            case Resolution::inside:
                break;
            case Resolution::outside:
                refuse("归档中的符号链接指向归档之外，已拒绝：" +
                       link.lexically_relative(root_).string());
            case Resolution::tooManyLinks:
                refuse("归档中的符号链接层数过多，已拒绝：" +
                       link.lexically_relative(root_).string());
            }
        }
    }

    fs::path archivePath_;
    CVTAVAsset::Format format_;
    std::stop_token stop_;
    fs::path root_;
    platform::UniqueFd fd_;          // outlives the reader that reads from it
    std::optional<GzipSource> gzip_; // likewise
    ReadArchive reader_;
    WriteArchive writer_;
    std::vector<std::string> components_;
    std::unordered_set<std::string> files_;
    std::vector<fs::path> symlinks_;
};

} // namespace

void extractArchive(const fs::path& archive, const fs::path& directory, CVTAVAsset::Format format,
                    const std::string& name, std::stop_token stop) {
    try {
        Extraction extraction(archive, directory, format, std::move(stop));
        extraction.run();
    } catch (const Refusal& refusal) {
        log(LogLevel::error, "  ✘ 解压失败: " + refusal.reason);
        if (refusal.diskFull) throw CorvelInstallError::diskFull(name, refusal.reason);
        throw CorvelInstallError::extractFailed(name, refusal.reason);
    }
}

} // namespace ArchiveExtractor
