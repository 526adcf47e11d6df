// A scripted gateway on 127.0.0.1 for driving the TCP client over real
// loopback sockets. The script runs on a thread of its own with the one
// accepted connection.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class FakeGateway;

// The gateway's side of the accepted connection, used inside a script.
class GatewayPeer {
  public:
    // Reads exactly n bytes (less when the client closes or 2 s pass).
    std::string Read(size_t n);
    void Write(const std::string& bytes);
    void WriteHex(const std::string& hex);
    void Pause(int ms);
    // Closes the connection; with reset, the close sends a reset instead of FIN.
    void Close(bool reset = false);
    // Lets the test thread go on from FakeGateway::WaitForScript.
    void Notify();

  private:
    friend class FakeGateway;
    GatewayPeer(FakeGateway& gateway, int fd) : gateway_(gateway), fd_(fd) {}
    FakeGateway& gateway_;
    int fd_;
};

class FakeGateway {
  public:
    using Script = std::function<void(GatewayPeer&)>;

    // Listens at once; the script starts when a client connects. After the
    // script returns the connection stays up until the client closes it.
    explicit FakeGateway(Script script);
    ~FakeGateway();
    FakeGateway(const FakeGateway&) = delete;
    FakeGateway& operator=(const FakeGateway&) = delete;

    int Port() const { return port_; }
    // Waits for the script's Notify (at most 2 s).
    bool WaitForScript();
    // Everything the script read, once the gateway is finished (joins).
    std::string Received();

  private:
    friend class GatewayPeer;
    void Run(Script script);

    int listenFd_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable notified_;
    bool notifiedFlag_ = false;
    std::string received_;
};

// The raw bytes of a hex text, for building test data.
std::string Bytes(const std::string& hex);
// A frame: FE preamble, 68, address (wire order), 68, control, length, data, checksum, 16.
std::string FrameHex(const std::string& wireAddress, const std::string& control,
                     const std::string& data, const std::string& preamble = "FEFEFE");
