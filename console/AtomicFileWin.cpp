// Windows build of the whole-file read and the crash-safe replacement. Paths
// are UTF-8 and go to the wide-character API, so any folder name works.
#include "AtomicFile.h"

#include <windows.h>

#include <algorithm>
#include <atomic>

namespace {
std::function<void(const std::string&)>& BeforeRenameHook() {
    static std::function<void(const std::string&)> hook;
    return hook;
}

std::wstring Wide(const std::string& text) {
    if (text.empty())
        return {};
    const int size = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring wide(size_t(size > 0 ? size : 0), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), wide.data(), size);
    return wide;
}

std::string Narrow(const wchar_t* text, size_t length) {
    const int size =
        ::WideCharToMultiByte(CP_UTF8, 0, text, int(length), nullptr, 0, nullptr, nullptr);
    std::string narrow(size_t(size > 0 ? size : 0), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, int(length), narrow.data(), size, nullptr, nullptr);
    return narrow;
}

std::string SystemText(DWORD error) {
    wchar_t* buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text = buffer ? Narrow(buffer, length) : std::string();
    if (buffer)
        ::LocalFree(buffer);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text.empty() ? "error " + std::to_string(error) : text;
}

std::string Describe(const char* what, const std::string& path, DWORD error) {
    return std::string(what) + " " + path + ": " + SystemText(error);
}

// Both separators are valid on Windows.
size_t LastSeparator(const std::string& path) {
    return path.find_last_of("\\/");
}

bool WriteAll(HANDLE file, std::string_view data) {
    while (!data.empty()) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(data.size(), 1u << 30));
        DWORD written = 0;
        if (!::WriteFile(file, data.data(), chunk, &written, nullptr))
            return false;
        data.remove_prefix(written);
    }
    return true;
}
}  // namespace

ReadResult ReadWholeFile(const std::string& path, std::string& content) {
    content.clear();
    const HANDLE file = ::CreateFileW(Wide(path).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ReadResult::Missing
                                                                              : ReadResult::Failed;
    }
    char buffer[16384];
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(file, buffer, sizeof buffer, &got, nullptr)) {
            ::CloseHandle(file);
            content.clear();
            return ReadResult::Failed;
        }
        if (got == 0)
            break;
        content.append(buffer, got);
    }
    ::CloseHandle(file);
    return ReadResult::Read;
}

bool WriteFileAtomically(const std::string& path, std::string_view content, std::string* error) {
    const size_t slash = LastSeparator(path);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string prefix =
        slash == std::string::npos ? std::string() : path.substr(0, slash + 1);

    // The replacement should look like the file it replaces.
    DWORD attributes = ::GetFileAttributesW(Wide(path).c_str());
    attributes = attributes == INVALID_FILE_ATTRIBUTES
                     ? 0
                     : attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                     FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);

    static std::atomic<unsigned> counter{0};
    std::string temp;
    HANDLE file = INVALID_HANDLE_VALUE;
    DWORD lastError = 0;
    for (int attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; ++attempt) {
        temp = prefix + "." + base + "." + std::to_string(::GetCurrentProcessId()) + "." +
               std::to_string(counter++) + ".tmp";
        file = ::CreateFileW(Wide(temp).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             attributes ? attributes : FILE_ATTRIBUTE_NORMAL, nullptr);
        lastError = file == INVALID_HANDLE_VALUE ? ::GetLastError() : 0;
        if (file == INVALID_HANDLE_VALUE && lastError != ERROR_FILE_EXISTS &&
            lastError != ERROR_ALREADY_EXISTS)
            break;
    }
    if (file == INVALID_HANDLE_VALUE) {
        if (error)
            *error = Describe("cannot create", temp, lastError);
        return false;
    }

    auto fail = [&](const char* what) {
        const DWORD reason = ::GetLastError();
        if (error)
            *error = Describe(what, temp, reason);
        if (file != INVALID_HANDLE_VALUE)
            ::CloseHandle(file);
        ::DeleteFileW(Wide(temp).c_str());
        return false;
    };

    if (!WriteAll(file, content))
        return fail("cannot write");
    if (!::FlushFileBuffers(file))
        return fail("cannot flush");
    const BOOL closed = ::CloseHandle(file);
    file = INVALID_HANDLE_VALUE;
    if (!closed)
        return fail("cannot close");

    if (BeforeRenameHook())
        BeforeRenameHook()(temp);

    // A plain move: atomic within one volume, and on the disk before it
    // returns. ReplaceFileW would keep more of the old file, but where it
    // fails it can leave a file of its own in the folder.
    if (!::MoveFileExW(Wide(temp).c_str(), Wide(path).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return fail("cannot replace the file with");
    return true;
}

void SetBeforeRenameHook(std::function<void(const std::string& tempPath)> hook) {
    BeforeRenameHook() = std::move(hook);
}
