// What checking the manifest's signature costs a run: reading the trusted key,
// then verifying a minisign signature of the manifest (the first check
// includes the library's one-time start-up).
// usage: signature_bench MANIFEST SIGNATURE PUBLIC_KEY_FILE

#include "manifest/ManifestKeys.h"
#include "manifest/ManifestSignature.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

std::string readAll(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

double millisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: signature_bench MANIFEST SIGNATURE PUBLIC_KEY_FILE\n");
        return 2;
    }
    const std::string manifest = readAll(argv[1]);
    const std::string signature = readAll(argv[2]);
    try {
        auto start = std::chrono::steady_clock::now();
        auto keys = ManifestKeys::fromKeyOrFile(argv[3]);
        ManifestSignature::verify(manifest, signature, keys);
        const double first = millisecondsSince(start);

        std::vector<double> runs;
        for (int i = 0; i < 200; ++i) {
            start = std::chrono::steady_clock::now();
            ManifestSignature::verify(manifest, signature, ManifestKeys::fromKeyOrFile(argv[3]));
            runs.push_back(millisecondsSince(start));
        }
        std::sort(runs.begin(), runs.end());
        const double median = runs[runs.size() / 2];
        std::printf("signature check of a %zu-byte manifest: first %.3f ms, median %.3f ms "
                    "(target < 5 ms)\n",
                    manifest.size(), first, median);
        return first < 5.0 ? 0 : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "signature_bench: %s\n", error.what());
        return 1;
    }
}
