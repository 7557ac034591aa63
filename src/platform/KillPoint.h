#pragma once

#include <string_view>

namespace platform {

// Ends the process at once (SIGKILL, no clean-up of any kind) when the
// environment variable CORVEL_KILL_POINT names `point`. Lets a person or a
// test stop an install between two of its steps, exactly as a crash or a
// power cut would, and check that the next run finds a whole install.
void killPoint(std::string_view point);

} // namespace platform
