#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

// An absolute http, https or file URL, parsed and normalised by libcurl's URL
// API. Value type: compared and hashed by its absolute string.
class Url {
  public:
    using QueryItem = std::pair<std::string, std::string>;

    // Nothing for text that is not an absolute http, https or file URL.
    static std::optional<Url> parse(std::string_view text);

    // The file URL of an absolute local path (percent-encoded as needed).
    static Url fromFilePath(const std::filesystem::path& path);

    const std::string& absoluteString() const { return absolute_; }
    const std::string& scheme() const { return scheme_; }
    bool isFile() const { return scheme_ == "file"; }
    // The path as written in the URL (still percent-encoded).
    const std::string& encodedPath() const { return path_; }
    // The percent-decoded path; for a file URL, the local file-system path.
    std::filesystem::path filePath() const;
    // The percent-decoded last path component ("b" for /a/b and /a/b/; "/" for the root).
    std::string lastPathComponent() const;
    // Query items in order, names and values percent-decoded.
    std::vector<QueryItem> queryItems() const;
    // A copy with name=value appended after the existing items (both encoded).
    Url appendingQueryItem(std::string_view name, std::string_view value) const;
    // A copy whose path ends in suffix (encoded as needed); query and fragment kept.
    Url appendingToPath(std::string_view suffix) const;

    friend bool operator==(const Url& a, const Url& b) { return a.absolute_ == b.absolute_; }

  private:
    Url() = default;
    std::string absolute_;
    std::string scheme_;
    std::string path_;
    std::string query_;
};

// Percent-decodes text; invalid escapes are kept as written.
std::string percentDecode(std::string_view text);

} // namespace platform

template <> struct std::hash<platform::Url> {
    std::size_t operator()(const platform::Url& url) const noexcept {
        return std::hash<std::string>{}(url.absoluteString());
    }
};
