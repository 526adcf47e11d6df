// Winsock build of the TCP client: the same behaviour as the POSIX one, over
// a non-blocking socket and select(), which (unlike WSAPoll on older Windows)
// reports a refused connect.
#include "TcpClient.h"

#include "TcpClientTexts.h"

#include <winsock2.h>
#include <ws2tcpip.h>
// winsock2.h first: windows.h alone would pull in the old winsock.h.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>

namespace {
using Clock = std::chrono::steady_clock;

// A send that makes no progress for this long means the gateway stopped
// reading; give up rather than hold the window forever.
constexpr int kSendStallMs = 10000;

// The system's own wording, for errors without a text of ours.
std::string SystemText(int error) {
    wchar_t* buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text;
    if (length > 0 && buffer) {
        const int size =
            ::WideCharToMultiByte(CP_UTF8, 0, buffer, int(length), nullptr, 0, nullptr, nullptr);
        text.resize(size_t(std::max(size, 0)));
        ::WideCharToMultiByte(CP_UTF8, 0, buffer, int(length), text.data(), size, nullptr, nullptr);
    }
    if (buffer)
        ::LocalFree(buffer);
    while (!text.empty() &&
           (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    return text.empty() ? "Winsock error " + std::to_string(error) : text;
}

std::string ErrorText(int error) {
    switch (error) {
        case WSAECONNREFUSED:
            return tcptext::kRefused;
        case WSAECONNRESET:
        case WSAENETRESET:
            return tcptext::kReset;
        case WSAESHUTDOWN:
        case WSAENOTCONN:
            return tcptext::kBroken;
        case WSAECONNABORTED:
            return tcptext::kAborted;
        case WSAETIMEDOUT:
            return tcptext::kTimedOut;
        case WSAENETUNREACH:
            return tcptext::kNetUnreachable;
        case WSAEHOSTUNREACH:
            return tcptext::kHostUnreachable;
        default:
            return SystemText(error);
    }
}

// Errors after which the socket can carry nothing more.
bool ConnectionGone(int error) {
    switch (error) {
        case WSAECONNRESET:
        case WSAENETRESET:
        case WSAECONNABORTED:
        case WSAESHUTDOWN:
        case WSAENOTCONN:
        case WSAETIMEDOUT:
            return true;
        default:
            return false;
    }
}

// Winsock must be started once per process before any socket call; it stays
// up until the process ends.
int StartWinsock() {
    static const int result = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data);
    }();
    return result;
}

Clock::time_point DeadlineAfter(int ms) {
    return Clock::now() + std::chrono::milliseconds(std::max(ms, 0));
}

enum class Readiness { Read, Write };

// Waits until the socket is ready (a failed connect counts as ready: its
// error is fetched afterwards) or the deadline passes (false). With an idle
// callback the wait is cut into slices with a call after each.
bool WaitReady(SOCKET s, Readiness what, Clock::time_point deadline,
               const TcpClient::IdleCallback& idle) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        long sliceMs = static_cast<long>(std::max<int64_t>(left.count(), 0));
        if (idle)
            sliceMs = std::min<long>(sliceMs, TcpClient::kIdleSliceMs);
        fd_set ready;
        fd_set failed;
        FD_ZERO(&ready);
        FD_ZERO(&failed);
        FD_SET(s, &ready);
        FD_SET(s, &failed);
        timeval tv{sliceMs / 1000, (sliceMs % 1000) * 1000};
        const int n = ::select(0, what == Readiness::Read ? &ready : nullptr,
                               what == Readiness::Write ? &ready : nullptr, &failed, &tv);
        if (n > 0)
            return true;
        if (n == SOCKET_ERROR)
            throw ETcpError(tcptext::kWaitFailed + ErrorText(::WSAGetLastError()));
        if (Clock::now() >= deadline)
            return false;
        if (idle)
            idle();
    }
}

struct Resolution {
    int rc = 0;
    addrinfo* found = nullptr;
};

Resolution Resolve(const std::string& host, const std::string& service) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    Resolution r;
    r.rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &r.found);
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

// Completes a non-blocking connect. false with error set, or with timedOut
// set when the deadline passed first.
bool FinishConnect(SOCKET s, int connectError, Clock::time_point deadline, int& error,
                   bool& timedOut, const TcpClient::IdleCallback& idle) {
    if (connectError != WSAEWOULDBLOCK && connectError != WSAEINPROGRESS) {
        error = connectError;
        return false;
    }
    if (!WaitReady(s, Readiness::Write, deadline, idle)) {
        timedOut = true;
        return false;
    }
    int soError = 0;
    int size = sizeof soError;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &size) != 0)
        soError = ::WSAGetLastError();
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
    if (const int rc = StartWinsock(); rc != 0)
        throw ETcpError(tcptext::kCannotConnect + host + tcptext::kSeparator + ErrorText(rc));

    const Resolution resolved = ResolveWhileIdle(host, std::to_string(port), idle_);
    if (resolved.rc != 0)
        throw ETcpError(tcptext::kCannotResolve + host + tcptext::kSeparator +
                        ErrorText(resolved.rc));
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(resolved.found, ::freeaddrinfo);

    // Every resolved address is tried in turn, all within the one budget.
    const auto deadline = DeadlineAfter(timeoutMs);
    int error = 0;
    bool timedOut = false;
    for (const addrinfo* a = resolved.found; a != nullptr && !timedOut; a = a->ai_next) {
        if (a != resolved.found && Clock::now() >= deadline) {
            timedOut = true;
            break;
        }
        // Not inherited: a child process must not keep the gateway connection.
        const SOCKET s = ::WSASocketW(a->ai_family, a->ai_socktype, a->ai_protocol, nullptr, 0,
                                      WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
        if (s == INVALID_SOCKET) {
            error = ::WSAGetLastError();
            continue;
        }
        u_long nonBlocking = 1;
        bool connected = false;
        try {
            if (::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
                error = ::WSAGetLastError();
            } else if (::connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0) {
                connected = true;
            } else {
                connected = FinishConnect(s, ::WSAGetLastError(), deadline, error, timedOut, idle_);
            }
        } catch (...) {
            ::closesocket(s);
            throw;
        }
        if (connected) {
            // Frames are small and each is written at once: no point delaying them.
            const BOOL on = TRUE;
            ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                         sizeof on);
            fd_ = s;
            return;
        }
        ::closesocket(s);
    }
    const std::string where = host + ":" + std::to_string(port);
    if (timedOut)
        throw ETcpError(tcptext::kConnectTo + where + tcptext::kConnectTimedOut);
    throw ETcpError(tcptext::kCannotConnect + where + tcptext::kSeparator + ErrorText(error));
}

void TcpClient::Close() {
    if (fd_ != kNoSocket) {
        ::closesocket(static_cast<SOCKET>(fd_));
        fd_ = kNoSocket;
    }
}

void TcpClient::Fail(const std::string& what, int error) {
    if (ConnectionGone(error))
        Close();
    throw ETcpError(what + tcptext::kSeparator + ErrorText(error));
}

void TcpClient::Send(const std::string& bytes) {
    if (!IsOpen())
        throw ETcpError(tcptext::kNotOpen);
    const SOCKET s = static_cast<SOCKET>(fd_);
    size_t sent = 0;
    while (sent < bytes.size()) {
        const int chunk = static_cast<int>(std::min<size_t>(bytes.size() - sent, 1 << 30));
        const int n = ::send(s, bytes.data() + sent, chunk, 0);
        if (n != SOCKET_ERROR) {
            sent += static_cast<size_t>(n);
            continue;
        }
        const int error = ::WSAGetLastError();
        if (error == WSAEINTR)
            continue;
        if (error != WSAEWOULDBLOCK)
            Fail(tcptext::kSendFailed, error);
        if (!WaitReady(s, Readiness::Write, DeadlineAfter(kSendStallMs), idle_))
            throw ETcpError(tcptext::kSendTimedOut);
    }
}

size_t TcpClient::ReceiveOnce() {
    const size_t old = input_.size();
    input_.resize(old + kReceiveSize);
    int n;
    int error = 0;
    do {
        // The socket is non-blocking: nothing waiting gives WSAEWOULDBLOCK.
        n = ::recv(static_cast<SOCKET>(fd_), input_.data() + old, int(kReceiveSize), 0);
        error = n == SOCKET_ERROR ? ::WSAGetLastError() : 0;
    } while (n == SOCKET_ERROR && error == WSAEINTR);
    input_.resize(old + static_cast<size_t>(std::max(n, 0)));
    if (n > 0)
        return static_cast<size_t>(n);
    if (n == 0) {
        Close();
        throw ETcpError(tcptext::kPeerClosed);
    }
    if (error == WSAEWOULDBLOCK)
        return 0;
    Fail(tcptext::kReceiveFailed, error);
}

bool TcpClient::WaitReadable(std::chrono::steady_clock::time_point deadline) {
    return WaitReady(static_cast<SOCKET>(fd_), Readiness::Read, deadline, idle_);
}
