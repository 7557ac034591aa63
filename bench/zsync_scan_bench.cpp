// How fast the seed scanner walks an older copy: the control file of the new
// version is read, then each seed is scanned from disk (warm page cache) and
// timed; prints MB/s and the share of the target each seed supplies. The
// rate is given by wall time and by the process's CPU time (user + system,
// reading included): the scan is one thread, so on a machine busy with other
// work the CPU figure is what an idle core would take.
// usage: zsync_scan_bench CONTROL SEED...

#include "zsync/SeedScanner.h"
#include "zsync/ZsyncControl.h"

#include <chrono>
#include <ctime>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s CONTROL SEED...\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    auto control = zsync::parseControl(bytes);
    for (int i = 2; i < argc; ++i) {
        auto size = static_cast<double>(std::filesystem::file_size(argv[i]));
        SeedScanner scanner(control);
        auto start = std::chrono::steady_clock::now();
        auto cpuStart = std::clock();
        scanner.scanFile(0, argv[i]);
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        double cpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
        std::printf("scan %s: %.0f MB, wall %.3f s = %.0f MB/s, cpu %.3f s = %.0f MB/s cpu, "
                    "%.1f %% of the target found\n",
                    std::filesystem::path(argv[i]).filename().c_str(), size / 1e6, took.count(),
                    size / 1e6 / took.count(), cpu, size / 1e6 / cpu,
                    100.0 * static_cast<double>(scanner.foundBytes()) /
                        static_cast<double>(control.length));
    }
}
