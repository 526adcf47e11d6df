#include "Server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdexcept>

namespace metersim {

namespace {

// Written by the signal handler, read by the poll loop: stays readable once
// a stop was asked for, so the request cannot be lost.
int stopPipe[2] = {-1, -1};

void OnStopSignal(int) {
    const int saved = errno;
    const char byte = 's';
    [[maybe_unused]] auto n = ::write(stopPipe[1], &byte, 1);
    errno = saved;
}

std::runtime_error SystemError(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

// A client that never reads must not make us hold its replies forever.
constexpr std::size_t kMaxPendingOutput = 64 * 1024;

speed_t BaudConstant(int baud) {
    switch (baud) {
        case 600:
            return B600;
        case 1200:
            return B1200;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        default:
            return B9600;
    }
}

std::string TimeStamp() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    ::localtime_r(&now.tv_sec, &local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03ld", local.tm_hour, local.tm_min,
                  local.tm_sec, now.tv_nsec / 1'000'000);
    return text;
}

}  // namespace

std::int64_t MonotonicMs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

Server::Server(Bus& bus, bool verbose, bool echo) : bus_(bus), verbose_(verbose), echo_(echo) {
    if (::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        throw SystemError("pipe");
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    ::sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGHUP, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
}

Server::~Server() {
    for (auto& conn : connections_)
        if (conn->fd >= 0)
            ::close(conn->fd);
    if (listenFd_ >= 0)
        ::close(listenFd_);
    if (ptySlaveFd_ >= 0)
        ::close(ptySlaveFd_);
    if (ptyWatchFd_ >= 0)
        ::close(ptyWatchFd_);
    // Remove the link only while it still names our device: a later run may own it.
    if (!ptyLink_.empty()) {
        char target[256];
        const ssize_t n = ::readlink(ptyLink_.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == ptyDevice_)
            ::unlink(ptyLink_.c_str());
    }
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGHUP, SIG_DFL);
    ::close(stopPipe[0]);
    ::close(stopPipe[1]);
    stopPipe[0] = stopPipe[1] = -1;
}

void Server::OpenPty(const std::string& link, int baud) {
    struct stat st {};
    if (::lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode))
        throw std::runtime_error(link + " exists and is not a symlink; not replacing it");

    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0)
        throw SystemError("posix_openpt");
    auto fail = [&](const std::string& what) {
        const auto error = SystemError(what);
        ::close(master);
        return error;
    };
    if (::grantpt(master) != 0)
        throw fail("grantpt");
    if (::unlockpt(master) != 0)
        throw fail("unlockpt");
    char name[128];
    if (::ptsname_r(master, name, sizeof name) != 0)
        throw fail("ptsname");

    // We keep the far end open ourselves: with no slave open, the master reports
    // hang-ups on every poll, and the line settings would be lost between clients.
    const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0)
        throw fail(std::string("open ") + name);
    termios tio{};
    if (::tcgetattr(slave, &tio) == 0) {
        // Raw, so nothing is echoed back into the bus and no byte is translated.
        ::cfmakeraw(&tio);
        tio.c_cflag |= CS8 | PARENB | CREAD | CLOCAL;
        tio.c_cflag &= ~(PARODD | CSTOPB);
        ::cfsetispeed(&tio, BaudConstant(baud));
        ::cfsetospeed(&tio, BaudConstant(baud));
        ::tcsetattr(slave, TCSANOW, &tio);
    }
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);

    // Replace a stale link atomically.
    const std::string temp = link + ".tmp" + std::to_string(::getpid());
    ::unlink(temp.c_str());
    if (::symlink(name, temp.c_str()) != 0 || ::rename(temp.c_str(), link.c_str()) != 0) {
        const auto error = SystemError("link " + link);
        ::unlink(temp.c_str());
        ::close(slave);
        ::close(master);
        throw error;
    }
    ptySlaveFd_ = slave;
    ptyLink_ = link;
    ptyDevice_ = name;

    // A client's TIOCEXCL would outlive its close here, because the master keeps
    // the tty alive, and lock every other user out of the next open. A serial
    // port ends exclusive use at the last close, so we clear it when a client
    // closes. Without inotify the pty still works, only reopening may need root.
    ptyWatchFd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (ptyWatchFd_ >= 0 &&
        ::inotify_add_watch(ptyWatchFd_, name, IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
        ::close(ptyWatchFd_);
        ptyWatchFd_ = -1;
    }

    auto conn = std::make_unique<Connection>();
    conn->fd = master;
    conn->name = "pty";
    conn->isPty = true;
    connections_.push_back(std::move(conn));
    std::printf("pty %s %s\n", link.c_str(), name);
}

void Server::ListenTcp(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0)
        throw std::runtime_error("--tcp " + host + ": " + ::gai_strerror(rc));

    std::string lastError = "no address";
    for (addrinfo* ai = found; ai && listenFd_ < 0; ai = ai->ai_next) {
        const int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                                ai->ai_protocol);
        if (fd < 0)
            continue;
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(fd, ai->ai_addr, ai->ai_addrlen) == 0 && ::listen(fd, SOMAXCONN) == 0) {
            listenFd_ = fd;
        } else {
            lastError = std::strerror(errno);
            ::close(fd);
        }
    }
    ::freeaddrinfo(found);
    if (listenFd_ < 0)
        throw std::runtime_error("--tcp " + host + ":" + service + ": " + lastError);

    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&bound), &length);
    char address[INET6_ADDRSTRLEN] = "?";
    int boundPort = 0;
    if (bound.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&bound);
        ::inet_ntop(AF_INET6, &in6->sin6_addr, address, sizeof address);
        boundPort = ntohs(in6->sin6_port);
        std::printf("tcp [%s]:%d\n", address, boundPort);
    } else {
        const auto* in4 = reinterpret_cast<const sockaddr_in*>(&bound);
        ::inet_ntop(AF_INET, &in4->sin_addr, address, sizeof address);
        boundPort = ntohs(in4->sin_port);
        std::printf("tcp %s:%d\n", address, boundPort);
    }
}

void Server::Log(const std::string& line) const {
    if (verbose_)
        std::printf("%s %s\n", TimeStamp().c_str(), line.c_str());
}

void Server::Accept() {
    // Take every waiting client: a full accept queue makes the next ones retry
    // their connect a whole second later.
    for (;;) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        const int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &length,
                                 SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0)
            return;  // none left, or a client that gave up before we got to it
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        auto conn = std::make_unique<Connection>();
        conn->fd = fd;
        conn->name = "tcp#" + std::to_string(nextClient_++);
        Log(conn->name + " connected");
        connections_.push_back(std::move(conn));
    }
}

void Server::ReleaseExclusive() {
    alignas(inotify_event) char events[4096];
    bool closed = false;
    while (::read(ptyWatchFd_, events, sizeof events) > 0)
        closed = true;
    if (closed)
        ::ioctl(ptySlaveFd_, TIOCNXCL);
}

bool Server::ReadFrom(Connection& conn) {
    std::uint8_t buffer[4096];
    const ssize_t n = ::read(conn.fd, buffer, sizeof buffer);
    if (n < 0)
        // A pty reports EIO while no one holds its far end; that is not fatal.
        return errno == EAGAIN || errno == EINTR || (conn.isPty && errno == EIO);
    if (n == 0)
        return conn.isPty;
    const std::int64_t now = MonotonicMs();
    if (echo_)
        conn.scheduled.emplace(now, Bytes(buffer, buffer + n));
    for (auto& event : conn.reader.Feed(buffer, static_cast<std::size_t>(n), now)) {
        const std::string hex = ToHex(event.raw);
        if (event.kind == FrameReader::Kind::BadChecksum) {
            Log(conn.name + " rx " + hex + " (bad checksum, ignored)");
            continue;
        }
        if (event.kind == FrameReader::Kind::BadEnd) {
            Log(conn.name + " rx " + hex + " (bad end byte, ignored)");
            continue;
        }
        Log(conn.name + " rx " + hex);
        for (Segment& segment : bus_.Handle(event.frame))
            conn.scheduled.emplace(now + segment.atMs, std::move(segment.bytes));
    }
    return true;
}

bool Server::Flush(Connection& conn) {
    while (!conn.out.empty()) {
        const ssize_t n = conn.isPty
                              ? ::write(conn.fd, conn.out.data(), conn.out.size())
                              : ::send(conn.fd, conn.out.data(), conn.out.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN) {
                if (conn.out.size() > kMaxPendingOutput) {
                    // Nobody reads the line; drop what is on it, as a wire would.
                    Log(conn.name + " output dropped, nobody reads it");
                    conn.out.clear();
                }
                return true;
            }
            return conn.isPty;
        }
        conn.out.erase(conn.out.begin(), conn.out.begin() + n);
    }
    return true;
}

void Server::Close(Connection& conn) {
    Log(conn.name + " disconnected");
    ::close(conn.fd);
    conn.fd = -1;
}

int Server::Run() {
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) {
        // Move what is due onto the line.
        const std::int64_t now = MonotonicMs();
        int timeout = -1;
        for (auto& conn : connections_) {
            while (!conn->scheduled.empty() && conn->scheduled.begin()->first <= now) {
                Bytes& bytes = conn->scheduled.begin()->second;
                Log(conn->name + " tx " + ToHex(bytes));
                conn->out.insert(conn->out.end(), bytes.begin(), bytes.end());
                conn->scheduled.erase(conn->scheduled.begin());
            }
            if (!conn->out.empty() && !Flush(*conn))
                Close(*conn);
            if (conn->fd >= 0 && !conn->scheduled.empty()) {
                const auto wait = conn->scheduled.begin()->first - now;
                if (timeout < 0 || wait < timeout)
                    timeout = static_cast<int>(wait);
            }
        }
        std::erase_if(connections_, [](const auto& conn) { return conn->fd < 0; });
        std::fflush(stdout);

        std::vector<pollfd> fds;
        fds.push_back({stopPipe[0], POLLIN, 0});
        const std::size_t listenAt = fds.size();
        if (listenFd_ >= 0)
            fds.push_back({listenFd_, POLLIN, 0});
        const std::size_t watchAt = fds.size();
        if (ptyWatchFd_ >= 0)
            fds.push_back({ptyWatchFd_, POLLIN, 0});
        const std::size_t firstConn = fds.size();
        for (auto& conn : connections_) {
            short events = POLLIN;
            if (!conn->out.empty())
                events |= POLLOUT;
            fds.push_back({conn->fd, events, 0});
        }
        if (::poll(fds.data(), fds.size(), timeout) < 0) {
            if (errno == EINTR)
                continue;
            std::perror("poll");
            return 1;
        }
        if (fds[0].revents)
            break;
        if (listenFd_ >= 0 && fds[listenAt].revents & POLLIN)
            Accept();
        if (ptyWatchFd_ >= 0 && fds[watchAt].revents & POLLIN)
            ReleaseExclusive();
        for (std::size_t i = firstConn; i < fds.size(); ++i) {
            Connection& conn = *connections_[i - firstConn];
            const short revents = fds[i].revents;
            bool alive = true;
            if (revents & (POLLIN | POLLHUP | POLLERR))
                alive = ReadFrom(conn);
            if (alive && revents & POLLOUT)
                alive = Flush(conn);
            if (!alive)
                Close(conn);
        }
        std::erase_if(connections_, [](const auto& conn) { return conn->fd < 0; });
    }
    Log("stopping");
    std::fflush(stdout);
    return 0;
}

}  // namespace metersim
