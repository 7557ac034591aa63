#include "support/ScriptedServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <stdexcept>

namespace testsupport {

namespace {

bool waitReadable(int fd, std::chrono::milliseconds bound) {
    pollfd waiting{fd, POLLIN, 0};
    return ::poll(&waiting, 1, static_cast<int>(bound.count())) == 1;
}

} // namespace

LoopbackListener::LoopbackListener(bool listening)
    : socket_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    auto* generic = reinterpret_cast<sockaddr*>(&address);
    if (!socket_ || ::bind(socket_.get(), generic, length) != 0 ||
        ::getsockname(socket_.get(), generic, &length) != 0 ||
        (listening && ::listen(socket_.get(), 64) != 0))
        throw std::runtime_error("cannot open a loopback socket");
    port_ = ntohs(address.sin_port);
}

std::string LoopbackListener::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

platform::UniqueFd LoopbackListener::acceptOne(std::chrono::milliseconds bound) {
    if (!waitReadable(socket_.get(), bound)) return {};
    return platform::UniqueFd(::accept4(socket_.get(), nullptr, nullptr, SOCK_CLOEXEC));
}

std::string readRequestHead(int fd) {
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
        if (!waitReadable(fd, std::chrono::seconds(30))) break;
        ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        request.append(buffer, static_cast<std::size_t>(got));
    }
    return request;
}

std::string headerOf(const std::string& head, const std::string& name) {
    auto at = head.find("\r\n" + name + ": ");
    if (at == std::string::npos) return "";
    at += name.size() + 4;
    return head.substr(at, head.find("\r\n", at) - at);
}

void sendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t put = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (put <= 0) return;
        bytes.remove_prefix(static_cast<std::size_t>(put));
    }
}

void waitForPeerClose(int fd) {
    char buffer[4096];
    while (waitReadable(fd, std::chrono::seconds(30))) {
        if (::recv(fd, buffer, sizeof buffer, 0) <= 0) return;
    }
}

ScriptedServer::ScriptedServer(std::vector<std::string> replies) : replies_(std::move(replies)) {
    thread_ = std::jthread([this] { serve(); });
}

const std::vector<std::string>& ScriptedServer::requests() {
    if (thread_.joinable()) thread_.join();
    return requests_;
}

void ScriptedServer::serve() {
    for (const auto& reply : replies_) {
        platform::UniqueFd client = listener_.acceptOne();
        if (!client) return;
        requests_.push_back(readRequestHead(client.get()));
        sendAll(client.get(), reply);
    }
}

} // namespace testsupport
