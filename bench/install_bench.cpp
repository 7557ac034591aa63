// Times the installer's hashing and unpacking on files prepared by
// scripts/bench.d/install; prints one line "<seconds>" (and the digest for sha).
//
//   install_bench sha <file>
//   install_bench extract <archive> <destination> <zip|tarGz>
//
// extract runs the whole installation step on a hard link of the archive (the
// step deletes what it unpacked), into a fresh destination.

#include "install/CorvelAssetExtractor.h"
#include "log/CorvelSetupLogger.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    auto start = std::chrono::steady_clock::now();
    auto seconds = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    try {
        if (mode == "sha" && argc == 3) {
            std::string digest = CorvelAssetExtractor::sha256OfFile(argv[2]);
            std::printf("%.3f %s\n", seconds(), digest.c_str());
            return 0;
        }
        if (mode == "extract" && argc == 5) {
            fs::path archive = argv[2];
            fs::path destination = argv[3];
            std::string format = argv[4];
            fs::path link = archive.parent_path() / (archive.filename().string() + ".bench-link");
            fs::remove(link);
            fs::create_hard_link(archive, link);
            CVTAVAsset asset{
                .name = "bench",
                .url = *platform::Url::parse("https://127.0.0.1/" + archive.filename().string()),
                .sha256 = "",
                .expectedBytes = 1,
                .destination = destination,
                .relativePath = "",
                .format = format == "zip" ? CVTAVAsset::Format::zip : CVTAVAsset::Format::tarGz};
            start = std::chrono::steady_clock::now();
            CorvelAssetExtractor::extract(link, asset);
            std::printf("%.3f\n", seconds());
            CorvelSetupLogger::shared().flush();
            return 0;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "install_bench: %s\n", e.what());
        return 1;
    }
    std::fprintf(stderr,
                 "usage: install_bench sha <file> | extract <archive> <dest> <zip|tarGz>\n");
    return 2;
}
