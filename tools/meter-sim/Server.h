// The transports of meter-sim: a pseudo-terminal and a TCP listener onto one
// bus, served by a single poll loop.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Bus.h"
#include "Frame.h"
#include "Setup.h"

namespace metersim {

class Server {
  public:
    // echo: every byte received goes straight back, as an adapter with local
    // echo puts the request back on the line before any reply.
    Server(Bus& bus, bool verbose, bool echo = false);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Both throw std::runtime_error with the reason.
    void OpenPty(const std::string& link, int baud);
    void ListenTcp(const std::string& host, int port);

    // Serves until SIGINT or SIGTERM; returns the process exit code.
    int Run();

  private:
    struct Connection {
        int fd = -1;
        std::string name;
        bool isPty = false;
        FrameReader reader;
        std::multimap<std::int64_t, Bytes> scheduled;  // absolute due time -> bytes
        Bytes out;                                     // due, not yet written
    };

    void Accept();
    void ReleaseExclusive();
    // False when the peer has gone.
    bool ReadFrom(Connection& conn);
    bool Flush(Connection& conn);
    void Close(Connection& conn);
    void Log(const std::string& line) const;

    Bus& bus_;
    bool verbose_;
    bool echo_;
    int listenFd_ = -1;
    int ptySlaveFd_ = -1;
    int ptyWatchFd_ = -1;  // inotify on the device: tells when a client closes it
    std::string ptyLink_;
    std::string ptyDevice_;
    int nextClient_ = 1;
    std::vector<std::unique_ptr<Connection>> connections_;
};

std::int64_t MonotonicMs();

}  // namespace metersim
