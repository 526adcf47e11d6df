#include "AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {
std::function<void(const std::string&)>& BeforeRenameHook() {
    static std::function<void(const std::string&)> hook;
    return hook;
}

std::string Describe(const char* what, const std::string& path) {
    return std::string(what) + " " + path + ": " + std::strerror(errno);
}

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Writing through a symbolic link must replace its target, not the link.
std::string FinalTarget(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
        return path;
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr)
        return path;
    return resolved;
}
}  // namespace

ReadResult ReadWholeFile(const std::string& path, std::string& content) {
    content.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? ReadResult::Missing : ReadResult::Failed;
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ::close(fd);
            content.clear();
            return ReadResult::Failed;
        }
        if (n == 0)
            break;
        content.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return ReadResult::Read;
}

bool WriteFileAtomically(const std::string& path, std::string_view content, std::string* error) {
    const std::string target = FinalTarget(path);
    const std::string folder = FolderOf(target);
    const std::string base = target.substr(target.rfind('/') + 1);

    struct stat old;
    const bool hadFile = ::stat(target.c_str(), &old) == 0;

    static std::atomic<unsigned> counter{0};
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = folder + "/." + base + "." + std::to_string(::getpid()) + "." +
               std::to_string(counter++) + ".tmp";
        // 0666 lets the umask decide, as for any newly created file.
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        if (error)
            *error = Describe("cannot create", temp);
        return false;
    }

    auto fail = [&](const char* what) {
        if (error)
            *error = Describe(what, temp);
        if (fd >= 0)
            ::close(fd);
        ::unlink(temp.c_str());
        return false;
    };

    if (hadFile) {
        // Best effort: the replacement should look like the file it replaces.
        (void)::fchmod(fd, old.st_mode & 07777);
        (void)::fchown(fd, old.st_uid, old.st_gid);
    }
    if (!WriteAll(fd, content))
        return fail("cannot write");
    if (::fsync(fd) != 0)
        return fail("cannot flush");
    const int closed = ::close(fd);
    fd = -1;
    if (closed != 0)
        return fail("cannot close");

    if (BeforeRenameHook())
        BeforeRenameHook()(temp);

    if (::rename(temp.c_str(), target.c_str()) != 0)
        return fail("cannot replace the file with");

    // The rename itself must reach the disk too.
    const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        (void)::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

void SetBeforeRenameHook(std::function<void(const std::string& tempPath)> hook) {
    BeforeRenameHook() = std::move(hook);
}
