#include "TestArchives.h"

#include <archive.h>
#include <archive_entry.h>

#include <memory>
#include <stdexcept>
#include <sys/sysmacros.h>

namespace testarchives {

void write(const std::filesystem::path& path, CVTAVAsset::Format format,
           const std::vector<Entry>& entries) {
    std::unique_ptr<archive, decltype(&archive_write_free)> writer(archive_write_new(),
                                                                   archive_write_free);
    if (format == CVTAVAsset::Format::zip) {
        archive_write_set_format_zip(writer.get());
    } else {
        archive_write_set_format_pax_restricted(writer.get());
        archive_write_add_filter_gzip(writer.get());
    }
    if (archive_write_open_filename(writer.get(), path.c_str()) != ARCHIVE_OK)
        throw std::runtime_error(archive_error_string(writer.get()));
    for (const auto& e : entries) {
        std::unique_ptr<archive_entry, decltype(&archive_entry_free)> entry(archive_entry_new(),
                                                                            archive_entry_free);
        archive_entry_set_pathname(entry.get(), e.name.c_str());
        archive_entry_set_mtime(entry.get(), e.modified, 0);
        archive_entry_set_perm(entry.get(), e.permissions);
        switch (e.kind) {
        case Entry::Kind::file:
            archive_entry_set_filetype(entry.get(), AE_IFREG);
            archive_entry_set_size(entry.get(), static_cast<la_int64_t>(e.content.size()));
            break;
        case Entry::Kind::directory:
            archive_entry_set_filetype(entry.get(), AE_IFDIR);
            break;
        case Entry::Kind::symlink:
            archive_entry_set_filetype(entry.get(), AE_IFLNK);
            archive_entry_set_symlink(entry.get(), e.target.c_str());
            break;
        case Entry::Kind::hardlink:
            archive_entry_set_filetype(entry.get(), AE_IFREG);
            archive_entry_set_hardlink(entry.get(), e.target.c_str());
            break;
        case Entry::Kind::fifo:
            archive_entry_set_filetype(entry.get(), AE_IFIFO);
            break;
        case Entry::Kind::characterDevice:
            archive_entry_set_filetype(entry.get(), AE_IFCHR);
            archive_entry_set_rdev(entry.get(), makedev(1, 3));
            break;
        }
        if (archive_write_header(writer.get(), entry.get()) < ARCHIVE_WARN)
            throw std::runtime_error(archive_error_string(writer.get()));
        if (e.kind == Entry::Kind::file && !e.content.empty())
            archive_write_data(writer.get(), e.content.data(), e.content.size());
    }
    if (archive_write_close(writer.get()) != ARCHIVE_OK)
        throw std::runtime_error(archive_error_string(writer.get()));
}

} // namespace testarchives
