// corvel-fixture-server: serves a directory over HTTP on 127.0.0.1 for the
// demo and for manual testing, with the same behaviour tests get in-process.
//
// A file NAME.template below the root is served at NAME with every "{BASE}"
// replaced by the server's own base URL (http://127.0.0.1:PORT), so a
// manifest can name files on a port chosen at run time. NAME itself, when it
// exists, wins over the template.

#include "FixtureServer.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <pthread.h>
#include <string>
#include <string_view>

namespace {

constexpr const char* kUsage =
    "usage: corvel-fixture-server --root DIR [--port N] [--throttle BYTES_PER_SECOND]\n"
    "\n"
    "Serves the files below DIR over HTTP on 127.0.0.1 until SIGINT or SIGTERM.\n"
    "Prints \"listening on http://127.0.0.1:PORT\" once it accepts connections.\n"
    "\n"
    "  --root DIR  directory to serve (required)\n"
    "  --port N    port to listen on; 0 or absent: a free port\n"
    "  --throttle R  send every response body at R bytes per second at most\n"
    "  --help      this text\n"
    "\n"
    "GET and HEAD, with ETag, Last-Modified, Range and If-Range.\n"
    "A file NAME.template is served at NAME with every \"{BASE}\" replaced by\n"
    "http://127.0.0.1:PORT, unless NAME exists as well.\n";

int usageError(const std::string& message) {
    std::cerr << "corvel-fixture-server: " << message << "\n\n" << kUsage;
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::filesystem::path root;
    int port = 0;
    std::size_t throttle = 0;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        }
        if ((arg == "--root" || arg == "--port" || arg == "--throttle") && i + 1 >= argc)
            return usageError(std::string(arg) + " needs a value");
        if (arg == "--root") {
            root = argv[++i];
        } else if (arg == "--port") {
            std::string value = argv[++i];
            char* end = nullptr;
            long parsed = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || parsed < 0 || parsed > 65535)
                return usageError("invalid port: " + value);
            port = static_cast<int>(parsed);
        } else if (arg == "--throttle") {
            std::string value = argv[++i];
            char* end = nullptr;
            unsigned long long parsed = std::strtoull(value.c_str(), &end, 10);
            if (value.empty() || value[0] == '-' || *end != '\0' || parsed == 0)
                return usageError("invalid rate: " + value);
            throttle = static_cast<std::size_t>(parsed);
        } else {
            return usageError("unknown argument: " + std::string(arg));
        }
    }
    if (root.empty()) return usageError("--root is required");
    std::error_code error;
    if (!std::filesystem::is_directory(root, error))
        return usageError("not a directory: " + root.string());

    // Block the stop signals before any thread exists so every server thread
    // inherits the mask and only sigwait below receives them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    try {
        fixture::FixtureServer server(root);
        server.setServeRootTemplates(true);
        if (throttle > 0)
            server.setDefaultFault(fixture::Fault{.throttleBytesPerSecond = throttle});
        server.start(port);
        std::printf("listening on %s\n", server.baseUrl().c_str());
        std::fflush(stdout);
        int received = 0;
        sigwait(&signals, &received);
        server.stop();
    } catch (const std::exception& e) {
        std::cerr << "corvel-fixture-server: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
