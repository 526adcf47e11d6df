// The one TCP connection to the meter gateway: a plain socket with an input
// buffer. Used from the window's thread only; every call blocks it, unless
// an idle callback keeps the window going meanwhile.
#pragma once

#include "TcpClientTexts.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>

// A failure of the connection. what() is shown to the operator after the
// operation's own error prefix, so it is worded for them.
class ETcpError : public std::runtime_error {
  public:
    explicit ETcpError(const std::string& message) : std::runtime_error(message) {}
};

// The operator's wording of a socket error number (the system's text for
// the uncommon ones).
std::string TcpErrorText(int error);
// The error after which a wait finds the gateway has closed the connection.
inline constexpr const char* kTcpPeerClosedText = tcptext::kPeerClosed;

class TcpClient {
  public:
    // One receive takes at most this many bytes.
    static constexpr size_t kReceiveSize = 32768;

    // While Open, Send or WaitForData block, the idle callback runs about
    // this often, so that the caller can keep its window alive.
    static constexpr int kIdleSliceMs = 20;
    using IdleCallback = std::function<void()>;

    TcpClient() = default;
    ~TcpClient();
    TcpClient(const TcpClient&) = delete;
    TcpClient& operator=(const TcpClient&) = delete;

    // Resolves host (dotted address or name), then connects within timeoutMs
    // (name resolution itself is not bounded by it). Throws ETcpError and
    // stays closed on failure; throws without touching the connection when
    // already open. On success the input buffer is empty.
    void Open(const std::string& host, int port, int timeoutMs);
    // Closes if open; otherwise does nothing.
    void Close();
    // Stays true after the peer has gone until a wait or a send notices it.
    bool IsOpen() const { return fd_ != kNoSocket; }

    // Empty: the blocking calls just block. The callback must not use this
    // client; an exception it throws leaves the call that was waiting.
    void SetIdleCallback(IdleCallback idle) { idle_ = std::move(idle); }

    const std::string& Host() const { return host_; }
    int Port() const { return port_; }

    // Sends every byte before returning. Throws ETcpError when not open or on
    // a socket error; an error meaning the connection is gone closes first.
    void Send(const std::string& bytes);
    // Waits until readable for at most timeoutMs, then receives once (at most
    // kReceiveSize bytes) into the input buffer and returns that count (>= 1).
    // Throws ETcpError on time-out, on the peer's close and on socket errors;
    // the peer's close and errors meaning the connection is gone close first.
    size_t WaitForData(int timeoutMs);
    // Reads and drops whatever is already waiting on the connection, without
    // waiting, and empties the input buffer. Throws like WaitForData when
    // that shows the connection has gone.
    void DiscardPendingInput();

    // Removes and returns the n oldest buffered bytes (fewer when fewer are buffered).
    std::string TakeInput(size_t n);
    void ClearInput() { input_.clear(); }
    size_t InputSize() const { return input_.size(); }

  private:
    // Receives once without waiting: the count, or 0 when nothing is waiting.
    size_t ReceiveOnce();
    // Waits until input may be read, or the deadline passes (false).
    bool WaitReadable(std::chrono::steady_clock::time_point deadline);
    [[noreturn]] void Fail(const std::string& what, int error);

#ifdef _WIN32
    using SocketHandle = uintptr_t;                              // SOCKET
    static constexpr SocketHandle kNoSocket = ~SocketHandle{0};  // INVALID_SOCKET
#else
    using SocketHandle = int;
    static constexpr SocketHandle kNoSocket = -1;
#endif
    SocketHandle fd_ = kNoSocket;
    std::string host_;
    int port_ = 0;
    std::string input_;
    IdleCallback idle_;
};
