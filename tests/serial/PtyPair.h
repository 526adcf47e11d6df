// A pseudo-terminal pair standing in for a serial line: the component opens
// the slave by its path, the test plays the far end on the master.
#pragma once

#include <QCoreApplication>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

class PtyPair {
  public:
    PtyPair() {
        if (::openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        path_ = ::ttyname(slave_);
    }
    ~PtyPair() {
        CloseMaster();
        ::close(slave_);
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& Path() const { return path_; }
    int Master() const { return master_; }
    // The test keeps this open, so the terminal's settings can be read back
    // and it outlives the component's own descriptor.
    int Slave() const { return slave_; }

    void CloseMaster() {
        if (master_ >= 0)
            ::close(master_);
        master_ = -1;
    }

    // Bytes to the component, as the far end sends them.
    void Send(std::string_view bytes) const {
        while (!bytes.empty()) {
            const ssize_t n = ::write(master_, bytes.data(), bytes.size());
            if (n <= 0)
                throw std::runtime_error("pty write failed");
            bytes.remove_prefix(static_cast<size_t>(n));
        }
    }

    // What the component sent, until `quietMs` pass without more.
    std::string Receive(int quietMs = 100) const {
        std::string got;
        char buffer[4096];
        pollfd fd{master_, POLLIN, 0};
        while (::poll(&fd, 1, quietMs) > 0 && (fd.revents & POLLIN)) {
            const ssize_t n = ::read(master_, buffer, sizeof buffer);
            if (n <= 0)
                break;
            got.append(buffer, static_cast<size_t>(n));
        }
        return got;
    }

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

// Runs the main thread's events until `done` holds or `ms` pass.
template <typename Pred>
bool WaitUntil(Pred done, int ms = 3000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Runs the main thread's events for `ms`.
inline void RunEventsFor(int ms) {
    WaitUntil([] { return false; }, ms);
}
