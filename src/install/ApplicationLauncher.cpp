#include "install/ApplicationLauncher.h"

#include "platform/Spawn.h"

namespace ApplicationLauncher {

pid_t launch(const std::filesystem::path& bundle) {
    platform::SpawnOptions options;
    options.executable = bundle / "AppRun";
    options.newSession = true;
    return platform::spawnProcess(options);
}

} // namespace ApplicationLauncher
