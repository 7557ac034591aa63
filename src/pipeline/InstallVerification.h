#pragma once

#include <filesystem>
#include <stop_token>
#include <string>
#include <vector>

// Checks what the setup record says is installed against what is on disk:
// each product file by size and SHA-256 against the list kept when it was
// installed, a raw file against its digest, and a product installed before
// such lists existed by its presence only. Reads and hashes; changes nothing.
namespace InstallVerification {

enum class Finding { missing, changed, damaged, extra, presenceOnly };

struct Problem {
    std::string name; // the asset's name
    std::string url;  // the asset's URL, its key in the setup record
    Finding finding;
    std::filesystem::path path;
};

struct Report {
    int products = 0;
    std::vector<Problem> problems; // presenceOnly notes included

    // Every product matches (a note about a presence-only check is no mismatch).
    bool allMatch() const;
    // The URLs of the assets with at least one mismatching file.
    std::vector<std::string> damagedUrls() const;
};

// Logs a line per product and per finding. Throws platform::CancelledError on a stop.
Report verifyInstalled(std::stop_token stop = {});

// The finding as one line of text: "已损坏 [name]: path" and so on.
std::string describe(const Problem& problem);

} // namespace InstallVerification
