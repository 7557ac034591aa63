#pragma once

#include <filesystem>
#include <sys/types.h>

namespace ApplicationLauncher {

// Starts `<bundle>/AppRun` detached from the setup program: a session of its
// own, standard streams on /dev/null and no other descriptor inherited (a
// child holding ours would keep our lock and pipes open). Returns its PID;
// throws std::system_error when it cannot be started.
pid_t launch(const std::filesystem::path& bundle);

} // namespace ApplicationLauncher
