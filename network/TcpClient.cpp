#include "TcpClient.h"

#include "TcpClientTexts.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>

namespace {
using Clock = std::chrono::steady_clock;

// A send that makes no progress for this long means the gateway stopped
// reading; give up rather than hold the window forever.
constexpr int kSendStallMs = 10000;

}  // namespace

std::string TcpErrorText(int error) {
    switch (error) {
        case ECONNREFUSED:
            return tcptext::kRefused;
        case ECONNRESET:
            return tcptext::kReset;
        case EPIPE:
        case ESHUTDOWN:
        case ENOTCONN:
            return tcptext::kBroken;
        case ECONNABORTED:
            return tcptext::kAborted;
        case ETIMEDOUT:
            return tcptext::kTimedOut;
        case ENETUNREACH:
            return tcptext::kNetUnreachable;
        case EHOSTUNREACH:
            return tcptext::kHostUnreachable;
        default:
            return std::strerror(error);
    }
}

namespace {

// Errors after which the socket can carry nothing more.
bool ConnectionGone(int error) {
    switch (error) {
        case ECONNRESET:
        case ECONNABORTED:
        case EPIPE:
        case ESHUTDOWN:
        case ENOTCONN:
        case ETIMEDOUT:
            return true;
        default:
            return false;
    }
}

Clock::time_point DeadlineAfter(int ms) {
    return Clock::now() + std::chrono::milliseconds(std::max(ms, 0));
}

// Waits until fd reports one of events or the deadline passes (false). With
// an idle callback the wait is cut into slices with a call after each.
bool WaitReady(int fd, short events, Clock::time_point deadline,
               const TcpClient::IdleCallback& idle) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        int sliceMs = static_cast<int>(std::max<int64_t>(left.count(), 0));
        if (idle)
            sliceMs = std::min(sliceMs, TcpClient::kIdleSliceMs);
        pollfd p{fd, events, 0};
        const int ready = ::poll(&p, 1, sliceMs);
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            throw ETcpError(std::string(tcptext::kWaitFailed) + std::strerror(errno));
        if (Clock::now() >= deadline)
            return false;
        if (idle)
            idle();
    }
}

struct Resolution {
    int rc = 0;
    int error = 0;  // errno, for EAI_SYSTEM
    addrinfo* found = nullptr;
};

Resolution Resolve(const std::string& host, const std::string& service) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    Resolution r;
    r.rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &r.found);
    r.error = errno;
    return r;
}

// Name resolution has no time-out of its own and may take seconds; with an
// idle callback it runs on a helper thread while the caller stays idle.
Resolution ResolveWhileIdle(const std::string& host, const std::string& service,
                            const TcpClient::IdleCallback& idle) {
    if (!idle)
        return Resolve(host, service);
    auto pending = std::async(std::launch::async, Resolve, host, service);
    while (pending.wait_for(std::chrono::milliseconds(TcpClient::kIdleSliceMs)) !=
           std::future_status::ready)
        idle();
    return pending.get();
}

// Completes a non-blocking connect on fd. false with error set, or with
// timedOut set when the deadline passed first.
bool FinishConnect(int fd, Clock::time_point deadline, int& error, bool& timedOut,
                   const TcpClient::IdleCallback& idle) {
    if (errno != EINPROGRESS && errno != EINTR) {
        error = errno;
        return false;
    }
    if (!WaitReady(fd, POLLOUT, deadline, idle)) {
        timedOut = true;
        return false;
    }
    int soError = 0;
    socklen_t size = sizeof soError;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &size) != 0)
        soError = errno;
    error = soError;
    return soError == 0;
}
}  // namespace

TcpClient::~TcpClient() {
    Close();
}

void TcpClient::Open(const std::string& host, int port, int timeoutMs) {
    if (IsOpen())
        throw ETcpError(tcptext::kAlreadyOpen);
    host_ = host;
    port_ = port;
    input_.clear();
    if (host.empty())
        throw ETcpError(tcptext::kNoHost);
    if (port < 1 || port > 65535)
        throw ETcpError(tcptext::kBadPort + std::to_string(port));

    const Resolution resolved = ResolveWhileIdle(host, std::to_string(port), idle_);
    if (resolved.rc != 0) {
        const std::string reason =
            resolved.rc == EAI_SYSTEM ? std::strerror(resolved.error) : ::gai_strerror(resolved.rc);
        throw ETcpError(tcptext::kCannotResolve + host + tcptext::kSeparator + reason);
    }
    addrinfo* found = resolved.found;
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, ::freeaddrinfo);

    // Every resolved address is tried in turn, all within the one budget.
    const auto deadline = DeadlineAfter(timeoutMs);
    int error = 0;
    bool timedOut = false;
    for (const addrinfo* a = found; a != nullptr && !timedOut; a = a->ai_next) {
        if (a != found && Clock::now() >= deadline) {
            timedOut = true;
            break;
        }
        const int fd =
            ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            error = errno;
            continue;
        }
        bool connected = false;
        try {
            connected = ::connect(fd, a->ai_addr, a->ai_addrlen) == 0 ||
                        FinishConnect(fd, deadline, error, timedOut, idle_);
        } catch (...) {
            ::close(fd);
            throw;
        }
        if (connected) {
            // Frames are small and each is written at once: no point delaying them.
            const int on = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            fd_ = fd;
            return;
        }
        ::close(fd);
    }
    const std::string where = host + ":" + std::to_string(port);
    if (timedOut)
        throw ETcpError(tcptext::kConnectTo + where + tcptext::kConnectTimedOut);
    throw ETcpError(tcptext::kCannotConnect + where + tcptext::kSeparator + TcpErrorText(error));
}

void TcpClient::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

void TcpClient::Fail(const std::string& what, int error) {
    if (ConnectionGone(error))
        Close();
    throw ETcpError(what + tcptext::kSeparator + TcpErrorText(error));
}

void TcpClient::Send(const std::string& bytes) {
    if (!IsOpen())
        throw ETcpError(tcptext::kNotOpen);
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n >= 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            Fail(tcptext::kSendFailed, errno);
        if (!WaitReady(fd_, POLLOUT, DeadlineAfter(kSendStallMs), idle_))
            throw ETcpError(tcptext::kSendTimedOut);
    }
}

size_t TcpClient::ReceiveOnce() {
    const size_t old = input_.size();
    input_.resize(old + kReceiveSize);
    ssize_t n;
    do {
        n = ::recv(fd_, input_.data() + old, kReceiveSize, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    const int error = errno;
    input_.resize(old + static_cast<size_t>(std::max<ssize_t>(n, 0)));
    if (n > 0)
        return static_cast<size_t>(n);
    if (n == 0) {
        Close();
        throw ETcpError(kTcpPeerClosedText);
    }
    if (error == EAGAIN || error == EWOULDBLOCK)
        return 0;
    Fail(tcptext::kReceiveFailed, error);
}

bool TcpClient::WaitReadable(std::chrono::steady_clock::time_point deadline) {
    return WaitReady(fd_, POLLIN, deadline, idle_);
}
