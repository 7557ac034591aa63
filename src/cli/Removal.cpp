#include "Removal.h"

#include "log/ByteCount.h"
#include "log/CorvelSetupLogger.h"
#include "pipeline/SetupSession.h"
#include "uninstall/SetupRemoval.h"

#include <fmt/format.h>
#include <unistd.h>

#include <iostream>
#include <string>

namespace {

// The desktop entry is named after the installed application's identifier.
constexpr const char* bundleIdentifier = "com.tavrin.app";

std::string shown(const std::filesystem::path& path) {
    return escapeControlCharacters(path.string());
}

bool confirmed() {
    std::cout << "Remove these? [y/N] " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes";
}

} // namespace

int listInstalled() {
    const auto items = SetupRemoval::installed();
    if (items.empty()) {
        std::cout << "Nothing is installed.\n";
        return 0;
    }
    for (const auto& item : items)
        std::cout << fmt::format("{}  {}  {}  {}\n    {}\n", escapeControlCharacters(item.name),
                                 item.bytesOnDisk > 0 ? formatByteCount(item.bytesOnDisk)
                                                      : std::string("missing"),
                                 escapeControlCharacters(item.url),
                                 escapeControlCharacters(item.when), shown(item.path));
    return 0;
}

int uninstallInstalled(bool assumeYes) {
    // A run in progress would install into what is being taken away.
    std::optional<SetupLock> lock = SetupLock::tryAcquire();
    if (!lock) {
        std::cerr << "corvel-setup-cli: another setup is running; nothing removed\n";
        return 1;
    }
    const SetupRemoval::Plan plan = SetupRemoval::plan(bundleIdentifier);
    for (const auto& path : plan.refused)
        std::cout << "Not removing (outside the data directory and the applications folder): "
                  << shown(path) << "\n";
    if (plan.remove.empty()) {
        std::cout << "Nothing to remove.\n";
        return 0;
    }
    std::cout << "To remove:\n";
    for (const auto& path : plan.remove)
        std::cout << "  " << shown(path) << "\n";
    if (!assumeYes) {
        if (::isatty(STDIN_FILENO) != 1) {
            std::cerr << "corvel-setup-cli: --uninstall asks first on a terminal; pass --yes to "
                         "remove without asking\n";
            return 2;
        }
        if (!confirmed()) {
            std::cout << "Nothing removed.\n";
            return 1;
        }
    }
    const SetupRemoval::Outcome outcome = SetupRemoval::remove(plan);
    for (const auto& path : outcome.removed)
        std::cout << "Removed " << shown(path) << "\n";
    for (const auto& [path, reason] : outcome.failed)
        std::cerr << "corvel-setup-cli: could not remove " << shown(path) << ": " << reason << "\n";
    if (!outcome.kept.empty()) {
        std::cout << "Kept in the data directory (not made by setup):\n";
        for (const auto& path : outcome.kept)
            std::cout << "  " << shown(path) << "\n";
    }
    return outcome.failed.empty() ? 0 : 1;
}
