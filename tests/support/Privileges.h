#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

namespace testsupport {

// Runs `work` on a thread of its own that has given up the capabilities which
// let root ignore file modes (CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH,
// CAP_FOWNER), so it meets permissions as any user does; CI runs as root,
// which would hide faults with read-only files. Capabilities belong to a
// thread, so the rest of the test keeps its own. Returns false, without
// running `work`, when the thread could still write into a read-only folder
// (probed inside `scratch`) afterwards. Exceptions of `work` are rethrown here.
bool runWithoutFileModeOverride(const std::filesystem::path& scratch,
                                const std::function<void()>& work);

} // namespace testsupport

namespace testsupport {

// Whether the suite runs under CI (CI=true), where nothing may be skipped.
bool underCi();

} // namespace testsupport

// A test that cannot run without `capability` fails under CI, naming it, and
// elsewhere skips saying why: CI must never go green without running it.
#define CORVEL_REQUIRE_CAPABILITY(available, capability)                                           \
    do {                                                                                           \
        if (!(available)) {                                                                        \
            if (testsupport::underCi()) FAIL() << "missing capability under CI: " << (capability); \
            GTEST_SKIP() << "skipped, missing capability: " << (capability);                       \
        }                                                                                          \
    } while (false)
