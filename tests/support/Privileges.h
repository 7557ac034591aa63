#pragma once

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
