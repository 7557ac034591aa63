#pragma once

// --list and --uninstall: what the setup record says is installed, and taking
// it away after asking. Exit statuses as the rest of the command line.
int listInstalled();
int uninstallInstalled(bool assumeYes);
