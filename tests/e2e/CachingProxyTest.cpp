// Machines behind one caching proxy: the real corvel-setup-cli through a real
// Squid, one home after another, against the fixture server.

#include "FixtureServer.h"
#include "install/InstallTestSupport.h"
#include "platform/Spawn.h"
#include "shareddata/CVSharedDataPaths.h"
#include "support/CliProcess.h"
#include "support/Privileges.h"
#include "support/ScriptedServer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <pwd.h>
#include <sys/socket.h>

#include <csignal>
#include <fstream>

namespace {

const fs::path squidTool = "/usr/sbin/squid";

// A Squid of its own on a free loopback port, everything in `folder`.
class Squid {
  public:
    explicit Squid(const fs::path& folder) : folder_(folder) {
        fs::create_directories(folder);
        std::ofstream(folder / "squid.conf")
            << "http_port 127.0.0.1:" << port_ << "\ncache_dir ufs " << (folder / "cache").string()
            << " 512 4 16\nmaximum_object_size 1 GB\naccess_log none\ncache_log "
            << (folder / "cache.log").string() << "\npid_filename " << (folder / "pid").string()
            << "\ncoredump_dir " << folder.string() << "\nnetdb_filename none\nvisible_hostname t"
            << "\nhttp_access allow localhost\nhttp_access deny all\nshutdown_lifetime 1 seconds\n"
            << (::geteuid() == 0 ? "cache_effective_user proxy\n" : "");
        // Squid drops to its own user as root; it must reach and write this folder.
        if (const passwd* proxy = ::geteuid() == 0 ? ::getpwnam("proxy") : nullptr) {
            for (fs::path up = folder.parent_path(); up != up.root_path() && up != "/tmp";
                 up = up.parent_path())
                fs::permissions(up, fs::perms::others_exec, fs::perm_options::add);
            EXPECT_EQ(::chown(folder.c_str(), proxy->pw_uid, proxy->pw_gid), 0);
        }
        EXPECT_EQ(exitStatus(start("-z")), 0) << log();
        pid_ = start("");
    }
    ~Squid() {
        ::kill(pid_, SIGTERM);
        exitStatus(pid_);
    }
    bool accepts() const {
        platform::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{
            AF_INET, htons(static_cast<std::uint16_t>(port_)), {htonl(INADDR_LOOPBACK)}, {}};
        return ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    std::string log() const { return readFile(folder_ / "cache.log"); }

  private:
    pid_t start(const std::string& option) {
        std::vector<std::string> arguments{"-N", "-f", (folder_ / "squid.conf").string()};
        if (!option.empty()) arguments.insert(arguments.begin(), option);
        return platform::spawnProcess({squidTool, arguments});
    }
    fs::path folder_;
    int port_ = testsupport::LoopbackListener(false).port();
    pid_t pid_ = -1;
};

} // namespace

TEST(CachingProxy, HomesBehindOneSquidTakeTheBytesFromTheOriginOnce) {
    CORVEL_REQUIRE_CAPABILITY(fs::exists(squidTool), "squid (scripts/bootstrap installs it)");
    TempHome home;
    const fs::path served = home.path() / "served";
    fs::create_directories(served / "files");
    writeFile(served / "files/Corvel.zip", bundleArchive());
    const std::string model = patternBytes(17 << 20, 7); // large enough for ranges without a proxy
    writeFile(served / "files/model.bin", model);
    // Files old enough that Squid serves them without asking the origin again.
    for (const char* name : {"files/Corvel.zip", "files/model.bin"})
        fs::last_write_time(served / name,
                            fs::file_time_type::clock::now() - std::chrono::hours(9000));
    fixture::FixtureServer origin(served);
    origin.setTemplate(
        "/manifest",
        R"({"status":"success","data":{"app":{"download_url":"{BASE}/files/Corvel.zip"},)"
        R"("models":[{"model_name":"model","download_url":"{BASE}/files/model.bin","file_name":"m","file_hash":")" +
            sha256Hex(model) + R"("}]}})");
    origin.start();
    Squid squid(home.path() / "squid");
    ASSERT_TRUE(waitUntil([&] { return squid.accepts(); })) << squid.log();

    for (const char* name : {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        ::unsetenv(name);
    ::setenv("http_proxy", squid.url().c_str(), 1);
    // Three machines behind the proxy, then one told to go direct.
    int machines = 0;
    for (const std::string noProxy : {"", "", "", "127.0.0.1"}) {
        const fs::path machine = home.path() / ("machine-" + std::to_string(++machines));
        fs::create_directories(machine);
        ::setenv("HOME", machine.c_str(), 1);
        ::setenv("no_proxy", noProxy.c_str(), 1);
        Outcome outcome =
            CliProcess(machine, {"--manifest-url", origin.url("/manifest"), "--no-launch"})
                .finish();
        ASSERT_EQ(outcome.exitCode, 0) << outcome.err << squid.log();
        EXPECT_TRUE(readFile(CVSharedDataPaths::llmDataDirectory() / "model.bin") == model);
        EXPECT_TRUE(fs::exists(machine / "Applications/Corvel.app/AppRun"));
    }
    ::setenv("HOME", home.path().c_str(), 1);
    // Through the proxy, one plain GET of each file reached the origin; the
    // machine without it fetched the large file in ranges.
    auto gets = [&origin](const std::string& path, bool ranged) {
        std::size_t count = 0;
        for (const auto& request : origin.requests(path))
            count += request.method == "GET" && request.header("Range").empty() != ranged;
        return count;
    };
    EXPECT_EQ(gets("/files/model.bin", false), 1u);
    EXPECT_EQ(gets("/files/Corvel.zip", false), 2u);
    EXPECT_GT(gets("/files/model.bin", true), 1u);
}
