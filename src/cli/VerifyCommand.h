#pragma once

#include <signal.h>

#include <string>
#include <vector>

// --verify: checks every installed product against what was installed and
// prints one line per damaged, missing, changed or extra file on standard
// output. Holds the setup lock while it reads, stops on SIGINT/SIGTERM, and
// stores its log in the setup record like a run. Returns the exit status:
// 0 all match, 1 something does not (or another setup runs), 130 stopped.
// `damaged` receives the URLs of the assets with a mismatch.
int runVerify(const sigset_t& stopSignals, std::vector<std::string>* damaged = nullptr);
