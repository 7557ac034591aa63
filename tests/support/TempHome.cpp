#include "support/TempHome.h"

#include "log/CorvelSetupLogger.h"
#include "platform/Spawn.h"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace testsupport {

TempHome::TempHome() {
    std::string pattern = (fs::temp_directory_path() / "corvel-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = fs::path(pattern) / "home";
    fs::create_directories(path_);
    if (const char* home = std::getenv("HOME")) savedHome_ = home;
    ::setenv("HOME", path_.c_str(), 1);
    for (const char* name : {"XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME",
                             "XDG_RUNTIME_DIR", "XDG_DATA_DIRS", "XDG_CONFIG_DIRS"})
        ::unsetenv(name);
    // Keys for the manifest come only from what a test gives, never from /etc.
    ::unsetenv("CORVEL_MANIFEST_KEY");
    ::setenv("CORVEL_MANIFEST_KEY_FILE", (path_ / "no-system-key.pub").c_str(), 1);
}

TempHome::~TempHome() {
    if (savedHome_)
        ::setenv("HOME", savedHome_->c_str(), 1);
    else
        ::unsetenv("HOME");
    std::error_code ignored;
    fs::remove_all(path_.parent_path(), ignored);
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds bound) {
    auto deadline = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void writeFile(const fs::path& path, std::string_view content) {
    if (path.has_parent_path()) fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::string patternBytes(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& c : bytes)
        c = static_cast<char>((x = x * 1664525u + 1013904223u) >> 24);
    return bytes;
}

std::string logText() {
    CorvelSetupLogger::shared().flush();
    return CorvelSetupLogger::shared().persistedText();
}

void expectContains(const std::string& text, const std::vector<std::string>& parts) {
    for (const auto& part : parts)
        EXPECT_NE(text.find(part), std::string::npos) << part << " not in:\n"
                                                      << text.substr(0, 4000);
}

std::string thrownText(const std::function<void()>& work) {
    try {
        work();
        return "accepted";
    } catch (const std::exception& error) {
        return error.what();
    }
}

std::size_t countOf(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

std::string sha256Hex(std::string_view bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    std::string hex;
    for (unsigned int i = 0; i < length; ++i)
        hex += fmt::format("{:02x}", digest[i]);
    return hex;
}

std::filesystem::path toolOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream folders(path != nullptr ? path : "/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        auto candidate = std::filesystem::path(folder) / name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    throw std::runtime_error(name + " is not installed (scripts/bootstrap installs it)");
}

std::string zsyncControlFor(const std::filesystem::path& file) {
    auto out = file.string() + ".zsync";
    pid_t pid =
        platform::spawnProcess({toolOnPath("zsyncmake"),
                                {"-Z", "-u", file.filename().string(), "-o", out, file.string()}});
    int status = platform::waitForExit(pid);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("zsyncmake failed on " + file.string());
    return readFile(out);
}

} // namespace testsupport
