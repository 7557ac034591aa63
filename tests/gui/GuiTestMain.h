#pragma once

#include <QApplication>
#include <QTest>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace guitest {

// Every GUI test runs with HOME and the runtime directory inside a fresh
// temporary directory, so neither Qt nor the code under test touches the
// user's files; the directory is removed at exit.
class SandboxHome {
  public:
    SandboxHome() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "corvel-gui-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        root_ = pattern;
        std::filesystem::create_directories(root_ / "home");
        std::filesystem::create_directories(root_ / "runtime");
        std::filesystem::permissions(root_ / "runtime", std::filesystem::perms::owner_all);
        ::setenv("HOME", (root_ / "home").c_str(), 1);
        for (const char* name : {"XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_CONFIG_HOME",
                                 "XDG_STATE_HOME", "XDG_DATA_DIRS", "XDG_CONFIG_DIRS"})
            ::unsetenv(name);
        ::setenv("XDG_RUNTIME_DIR", (root_ / "runtime").c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    }
    ~SandboxHome() {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    const std::filesystem::path& home() const { return root_; }

  private:
    std::filesystem::path root_;
};

} // namespace guitest

#define CORVEL_GUI_TEST_MAIN(TestObject)                                                           \
    int main(int argc, char** argv) {                                                              \
        guitest::SandboxHome sandbox;                                                              \
        QApplication app(argc, argv);                                                              \
        TestObject test;                                                                           \
        return QTest::qExec(&test, argc, argv);                                                    \
    }
