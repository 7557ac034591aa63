// Machines behind one caching proxy: the real corvel-setup-cli through a real
// Squid, several homes one after another, against the fixture server.

#include "FixtureServer.h"
#include "install/InstallTestSupport.h"
#include "platform/Spawn.h"
#include "shareddata/CVSharedDataPaths.h"
#include "support/CliProcess.h"
#include "support/ScriptedServer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>

namespace {

std::optional<fs::path> findTool(const std::string& name) {
    std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    path += ":/usr/sbin:/sbin";
    for (std::size_t at = 0; at <= path.size();) {
        std::size_t end = std::min(path.find(':', at), path.size());
        fs::path candidate = fs::path(path.substr(at, end - at)) / name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        at = end + 1;
    }
    return std::nullopt;
}

bool accepts(int port) {
    platform::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

bool exited(pid_t pid, std::chrono::milliseconds bound) {
    return waitUntil([pid] { return ::waitpid(pid, nullptr, WNOHANG) == pid; }, bound);
}

// A Squid of its own on a free loopback port: configuration, cache and logs
// in `folder`, stopped when destroyed.
class Squid {
  public:
    Squid(const fs::path& tool, const fs::path& folder) : folder_(folder) {
        port_ = testsupport::LoopbackListener(false).port();
        fs::create_directories(folder);
        std::ofstream(folder / "squid.conf")
            << "http_port 127.0.0.1:" << port_ << "\ncache_dir ufs " << (folder / "cache").string()
            << " 512 4 16\nmaximum_object_size 1 GB\naccess_log stdio:"
            << (folder / "access.log").string() << "\ncache_log " << (folder / "cache.log").string()
            << "\npid_filename " << (folder / "squid.pid").string() << "\ncoredump_dir "
            << folder.string() << "\nnetdb_filename none\nvisible_hostname corvel-test"
            << "\nhttp_access allow localhost\nhttp_access deny all\nshutdown_lifetime 1 seconds\n"
            << (::geteuid() == 0 ? "cache_effective_user proxy\n" : "");
        if (::geteuid() == 0) {
            // Squid drops to its own user, which must reach and write this folder.
            if (const passwd* proxy = ::getpwnam("proxy")) {
                for (fs::path up = folder.parent_path(); up.has_relative_path() && up != "/tmp";
                     up = up.parent_path())
                    fs::permissions(up, fs::perms::others_exec, fs::perm_options::add);
                ::chown(folder.c_str(), proxy->pw_uid, proxy->pw_gid);
            }
        }
        const std::string conf = (folder / "squid.conf").string();
        pid_t init = start(tool, {"-z", "-N", "-f", conf});
        EXPECT_TRUE(exited(init, std::chrono::seconds(60))) << log();
        pid_ = start(tool, {"-N", "-f", conf});
        ready_ = waitUntil([this] { return accepts(port_); }, std::chrono::seconds(60));
    }
    ~Squid() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        if (!exited(pid_, std::chrono::seconds(30))) {
            ::kill(pid_, SIGKILL);
            platform::waitForExit(pid_);
        }
    }

    bool ready() const { return ready_; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    std::string log() const {
        return readFile(folder_ / "squid.err") + readFile(folder_ / "cache.log");
    }

  private:
    pid_t start(const fs::path& tool, std::vector<std::string> arguments) {
        platform::UniqueFd err(::open((folder_ / "squid.err").c_str(),
                                      O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
        return platform::spawnProcess({tool, std::move(arguments), -1, err.get(), err.get()});
    }

    fs::path folder_;
    int port_ = 0;
    pid_t pid_ = -1;
    bool ready_ = false;
};

} // namespace

TEST(CachingProxy, HomesBehindOneSquidTakeTheBytesFromTheOriginOnce) {
    auto tool = findTool("squid");
    if (!tool) {
        if (std::getenv("CI") && std::string(std::getenv("CI")) == "true")
            FAIL() << "squid is not installed (scripts/bootstrap installs it)";
        GTEST_SKIP() << "squid is not installed (scripts/bootstrap installs it)";
    }
    TempHome home;
    // A file old enough that Squid serves it from its cache without asking again.
    const fs::path served = home.path() / "served";
    fs::create_directories(served / "files");
    testarchives::write(served / "files/Corvel.zip", CVTAVAsset::Format::zip,
                        {directory("Corvel.app/"), file("Corvel.app/AppRun", "#!/bin/sh\n", 0755)});
    const std::string app = readFile(served / "files/Corvel.zip");
    const std::string model = patternBytes(17 << 20, 7); // large enough for ranges without a proxy
    writeFile(served / "files/model.bin", model);
    for (const char* name : {"files/Corvel.zip", "files/model.bin"})
        fs::last_write_time(served / name,
                            fs::file_time_type::clock::now() - std::chrono::hours(24 * 365));
    fixture::FixtureServer origin(served);
    origin.setTemplate(
        "/manifest",
        R"({"status":"success","data":{"app":{"download_url":"{BASE}/files/Corvel.zip","file_hash":")" +
            sha256Hex(app) +
            R"("},"models":[{"model_name":"model","download_url":"{BASE}/files/model.bin","file_name":"m","file_hash":")" +
            sha256Hex(model) + R"("}]}})");
    origin.start();
    Squid squid(*tool, home.path() / "squid");
    ASSERT_TRUE(squid.ready()) << squid.log();

    for (const char* name : {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "HTTP_PROXY"})
        ::unsetenv(name);
    ::setenv("http_proxy", squid.url().c_str(), 1);
    auto origins = [&origin](const std::string& path, bool ranged) {
        std::size_t count = 0;
        for (const auto& request : origin.requests(path))
            count += request.method == "GET" && request.header("Range").empty() != ranged;
        return count;
    };
    // Machine by machine, each in a home of its own; the last is told to go direct.
    const std::vector<std::string> noProxy{"", "", "", "127.0.0.1"};
    for (std::size_t i = 0; i < noProxy.size(); ++i) {
        SCOPED_TRACE(i);
        const fs::path machine = home.path() / ("machine-" + std::to_string(i));
        fs::create_directories(machine);
        ::setenv("HOME", machine.c_str(), 1);
        ::setenv("no_proxy", noProxy[i].c_str(), 1);
        Outcome outcome =
            CliProcess(machine, {"--manifest-url", origin.url("/manifest"), "--no-launch"})
                .finish();
        ASSERT_EQ(outcome.exitCode, 0) << outcome.err << squid.log();
        EXPECT_TRUE(readFile(CVSharedDataPaths::llmDataDirectory() / "model.bin") == model);
        EXPECT_TRUE(fs::exists(machine / "Applications/Corvel.app/AppRun"));
    }
    ::setenv("HOME", home.path().c_str(), 1);
    // One plain GET of each file reached the origin through the proxy; the
    // machine without it fetched the large file in ranges.
    EXPECT_EQ(origins("/files/model.bin", false), 1u);
    EXPECT_EQ(origins("/files/Corvel.zip", false), 2u);
    EXPECT_GT(origins("/files/model.bin", true), 1u);
}
