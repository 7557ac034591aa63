// Downloads one URL with the resumable downloader into the cache slot under
// $HOME (the caller sandboxes HOME) and reports the time of the download and
// the peak resident memory of this process.
//
// usage: download_bench URL [CONNECTIONS]
// With CONNECTIONS (> 1) the size comes from a HEAD request first, as in a
// setup run, so a large file is fetched in ranges over that many connections.

#include "download/CorvelResumableDownloader.h"
#include "log/CorvelSetupLogger.h"
#include "platform/HttpClient.h"

#include <fmt/format.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: download_bench URL [CONNECTIONS]\n");
        return 2;
    }
    const int connections = argc == 3 ? std::atoi(argv[2]) : 1;
    platform::initializeHttp();
    auto url = platform::Url::parse(argv[1]);
    if (!url) {
        std::fprintf(stderr, "download_bench: not an absolute URL: %s\n", argv[1]);
        return 2;
    }
    CVTAVAsset asset{.name = "bench", .url = *url};
    std::int64_t received = 0;
    auto start = std::chrono::steady_clock::now();
    try {
        CorvelResumableDownloader downloader;
        if (connections > 1) {
            auto head =
                platform::performHttp({.method = "HEAD", .url = argv[1], .headers = {}}, {});
            asset.expectedBytes =
                std::atoll(head.head.header("Content-Length").value_or("1").c_str());
            CorvelResumableDownloader::Segments segments;
            segments.connections = static_cast<std::size_t>(connections);
            downloader.useSegments(segments);
        }
        downloader.download(asset, [&](std::int64_t delta, ByteOrigin) { received += delta; });
    } catch (const std::exception& e) {
        CorvelSetupLogger::shared().flush();
        std::fprintf(stderr, "download_bench: %s\n", e.what());
        return 1;
    }
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    CorvelSetupLogger::shared().flush();
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    fmt::print("seconds={:.3f} bytes={} peak_rss_kib={}\n", elapsed.count(), received,
               usage.ru_maxrss);
    return 0;
}
