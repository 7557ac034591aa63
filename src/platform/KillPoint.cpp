#include "platform/KillPoint.h"

#include <csignal>
#include <cstdlib>
#include <unistd.h>

namespace platform {

void killPoint(std::string_view point) {
    const char* wanted = std::getenv("CORVEL_KILL_POINT");
    if (wanted != nullptr && point == wanted) ::kill(::getpid(), SIGKILL);
}

} // namespace platform
