#include "FakeGateway.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>

#include "HexText.h"

namespace {
constexpr int kIoTimeoutMs = 2000;
}

std::string Bytes(const std::string& hex) {
    return HexTextToBytes(hex);
}

std::string FrameHex(const std::string& wireAddress, const std::string& control,
                     const std::string& data, const std::string& preamble) {
    char length[3];
    std::snprintf(length, sizeof length, "%02X", static_cast<unsigned>(data.size() / 2));
    const std::string body = "68" + wireAddress + "68" + control + length + data;
    unsigned sum = 0;
    for (unsigned char b : Bytes(body))
        sum += b;
    char checksum[3];
    std::snprintf(checksum, sizeof checksum, "%02X", sum & 0xFF);
    return preamble + body + checksum + "16";
}

std::string GatewayPeer::Read(size_t n) {
    std::string bytes;
    while (bytes.size() < n) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, kIoTimeoutMs) <= 0)
            break;
        char buffer[4096];
        const ssize_t got = ::recv(fd_, buffer, std::min(sizeof buffer, n - bytes.size()), 0);
        if (got <= 0)
            break;
        bytes.append(buffer, static_cast<size_t>(got));
    }
    std::lock_guard lock(gateway_.mutex_);
    gateway_.received_ += bytes;
    return bytes;
}

void GatewayPeer::Write(const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        sent += static_cast<size_t>(n);
    }
}

void GatewayPeer::WriteHex(const std::string& hex) {
    Write(Bytes(hex));
}

void GatewayPeer::Pause(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void GatewayPeer::Close(bool reset) {
    if (fd_ < 0)
        return;
    if (reset) {
        linger l{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    ::close(fd_);
    fd_ = -1;
}

void GatewayPeer::Notify() {
    std::lock_guard lock(gateway_.mutex_);
    gateway_.notifiedFlag_ = true;
    gateway_.notified_.notify_all();
}

FakeGateway::FakeGateway(Script script) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::listen(listenFd_, 4) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        throw std::runtime_error("fake gateway cannot listen");
    port_ = ntohs(address.sin_port);
    thread_ = std::thread(&FakeGateway::Run, this, std::move(script));
}

FakeGateway::~FakeGateway() {
    if (thread_.joinable())
        thread_.join();
    ::close(listenFd_);
}

void FakeGateway::Run(Script script) {
    pollfd p{listenFd_, POLLIN, 0};
    if (::poll(&p, 1, kIoTimeoutMs) <= 0)
        return;
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    GatewayPeer peer(*this, fd);
    script(peer);
    if (peer.fd_ < 0)
        return;
    // Stay connected until the client hangs up, keeping what it sends.
    while (!peer.Read(1).empty()) {
    }
    peer.Close();
}

bool FakeGateway::WaitForScript() {
    std::unique_lock lock(mutex_);
    return notified_.wait_for(lock, std::chrono::milliseconds(kIoTimeoutMs),
                              [this] { return notifiedFlag_; });
}

std::string FakeGateway::Received() {
    if (thread_.joinable())
        thread_.join();
    std::lock_guard lock(mutex_);
    return received_;
}
