#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

// A fresh directory used as HOME for the life of the object; XDG_* are unset
// so every path the program derives lands inside it. Removed afterwards.
class TempHome {
  public:
    TempHome();
    ~TempHome();
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
    std::optional<std::string> savedHome_;
};

// Polls a condition until it holds or a generous bound passes; returns whether it held.
bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds bound = std::chrono::seconds(30));

void writeFile(const std::filesystem::path& path, std::string_view content);
std::string readFile(const std::filesystem::path& path);
// Deterministic bytes; a shorter run of a seed is a prefix of a longer one.
std::string patternBytes(std::size_t size, unsigned seed = 1);

// The setup log so far, every line logged before the call included.
std::string logText();
void expectContains(const std::string& text, const std::vector<std::string>& parts);
// What `work` throws, or "accepted" when it returns.
std::string thrownText(const std::function<void()>& work);
// Occurrences of `part` in `text`, overlapping ones included.
std::size_t countOf(const std::string& text, const std::string& part);
// Lower-case hex SHA-256, computed independently of the program's own digests.
std::string sha256Hex(std::string_view bytes);
// A tool the tests need, found on PATH; throws naming it (and scripts/bootstrap)
// when it is missing, so the test fails rather than skips.
std::filesystem::path toolOnPath(const std::string& name);
// The control file the real zsyncmake writes for `file` (left beside it as
// file.zsync); throws when the tool is missing or fails.
std::string zsyncControlFor(const std::filesystem::path& file);

} // namespace testsupport
