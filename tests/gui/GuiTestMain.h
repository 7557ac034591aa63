#pragma once

#include "support/TempHome.h"

#include <QApplication>
#include <QTest>

#include <cstdlib>
#include <filesystem>

namespace guitest {

// Every GUI test runs in a temporary HOME with Qt's runtime directory inside
// it, so neither Qt nor the code under test touches the user's files.
struct SandboxHome {
    SandboxHome() {
        const auto runtime = home.path().parent_path() / "runtime";
        std::filesystem::create_directories(runtime);
        std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    }
    testsupport::TempHome home;
};

} // namespace guitest

#define CORVEL_GUI_TEST_MAIN(TestObject)                                                           \
    int main(int argc, char** argv) {                                                              \
        guitest::SandboxHome sandbox;                                                              \
        QApplication app(argc, argv);                                                              \
        TestObject test;                                                                           \
        return QTest::qExec(&test, argc, argv);                                                    \
    }
