#pragma once

#include "platform/UniqueFd.h"

#include <chrono>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace testsupport {

// A TCP socket bound to a free port on 127.0.0.1. Unlistened, it gives a port
// that refuses connections and that nobody else can take while it lives.
class LoopbackListener {
  public:
    explicit LoopbackListener(bool listening = true);

    int port() const { return port_; }
    std::string url(const std::string& path) const;

    // The next client connection (invalid when none came within the bound).
    platform::UniqueFd acceptOne(std::chrono::milliseconds bound = std::chrono::seconds(30));

  private:
    platform::UniqueFd socket_;
    int port_ = 0;
};

// Reads up to the blank line that ends a request head (or EOF / a generous bound).
std::string readRequestHead(int fd);
// The value of header `name` in a raw request head; empty when absent.
std::string headerOf(const std::string& head, const std::string& name);
// Sends every byte; a peer that went away is not an error here.
void sendAll(int fd, std::string_view bytes);
// Waits (generously) until the peer closes its end.
void waitForPeerClose(int fd);

// Answers each connection with the next canned reply, byte for byte, and
// closes it. For exact answers the fixture server does not produce: interim
// 1xx responses, malformed or lying headers.
class ScriptedServer {
  public:
    explicit ScriptedServer(std::vector<std::string> replies);
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    std::string url(const std::string& path) const { return listener_.url(path); }
    // Every request head received; waits until all replies were served.
    const std::vector<std::string>& requests();

  private:
    void serve();

    LoopbackListener listener_;
    std::vector<std::string> replies_;
    std::vector<std::string> requests_;
    std::jthread thread_;
};

} // namespace testsupport
