// Replacing Config.ini on Windows: all or nothing, in any folder name.
#include "AtomicFile.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {
fs::path Native(const std::string& utf8) {
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

// A fresh folder under the temporary folder, its name in Chinese so that a
// path that went through the ANSI API would not be found.
class TempFolder {
  public:
    TempFolder() {
        path =
            fs::temp_directory_path() / Native("配置-" + std::to_string(::GetCurrentProcessId()) +
                                               "-" + std::to_string(counter++));
        fs::create_directories(path);
    }
    ~TempFolder() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    std::string operator/(const std::string& name) const {
        const auto text = (path / Native(name)).u8string();
        return std::string(text.begin(), text.end());
    }
    size_t Entries() const {
        return static_cast<size_t>(std::distance(fs::directory_iterator(path), {}));
    }
    fs::path path;
    static inline int counter = 0;
};

void Write(const std::string& path, const std::string& bytes) {
    std::ofstream(Native(path), std::ios::binary) << bytes;
}

std::string Read(const std::string& path) {
    std::ifstream in(Native(path), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

const std::string kOld = "[COM]\r\nPort=1\r\n; the old file\r\n";
const std::string kNew = "[COM]\r\nPort=2\r\n" + std::string(100000, ';') + "\r\n";
}  // namespace

TEST(WinAtomicFile, ReplacesTheFileThroughATemporaryOneBesideIt) {
    TempFolder folder;
    const std::string file = folder / "Config.ini";
    Write(file, kOld);
    const std::wstring wideFile = Native(file).wstring();
    ASSERT_TRUE(::SetFileAttributesW(wideFile.c_str(), FILE_ATTRIBUTE_HIDDEN));

    std::string seenTemp;
    std::string tempContent;
    std::string targetDuring;
    SetBeforeRenameHook([&](const std::string& temp) {
        seenTemp = temp;
        tempContent = Read(temp);
        targetDuring = Read(file);
    });
    std::string error;
    const bool saved = WriteFileAtomically(file, kNew, &error);
    SetBeforeRenameHook(nullptr);
    ASSERT_TRUE(saved) << error;

    EXPECT_EQ(Native(seenTemp).parent_path(), folder.path) << "same folder, same volume";
    EXPECT_EQ(tempContent, kNew);
    EXPECT_EQ(targetDuring, kOld) << "the old file stays whole until the replacement";
    EXPECT_EQ(Read(file), kNew);
    EXPECT_TRUE(::GetFileAttributesW(wideFile.c_str()) & FILE_ATTRIBUTE_HIDDEN)
        << "the replacement keeps the old file's attributes";
    EXPECT_EQ(folder.Entries(), 1u) << "no temporary file is left behind";

    // No file yet: the move alone puts it there.
    ASSERT_TRUE(WriteFileAtomically(folder / "New.ini", "x", &error)) << error;
    EXPECT_EQ(Read(folder / "New.ini"), "x");
    EXPECT_EQ(folder.Entries(), 2u);
}

TEST(WinAtomicFile, AFileHeldOpenByAnotherProgramStaysAsItWas) {
    TempFolder folder;
    const std::string file = folder / "Config.ini";
    Write(file, kOld);
    // An editor holding the file without letting it be deleted or renamed.
    const HANDLE held = ::CreateFileW(Native(file).wstring().c_str(), GENERIC_READ, FILE_SHARE_READ,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    std::string error;
    const bool saved = WriteFileAtomically(file, kNew, &error);
    ::CloseHandle(held);

    EXPECT_FALSE(saved);
    EXPECT_NE(error.find("cannot replace"), std::string::npos) << error;
    EXPECT_EQ(Read(file), kOld);
    EXPECT_EQ(folder.Entries(), 1u) << "the temporary file is removed";
}

TEST(WinAtomicFile, AMissingFolderFailsWithTheReason) {
    TempFolder folder;
    std::string error;
    EXPECT_FALSE(WriteFileAtomically(folder / "missing\\Config.ini", kNew, &error));
    EXPECT_NE(error.find("cannot create"), std::string::npos) << error;
    EXPECT_EQ(folder.Entries(), 0u);
}

TEST(WinAtomicFile, ReadsWholeFilesByteForByte) {
    TempFolder folder;
    std::string content = "x";
    EXPECT_EQ(ReadWholeFile(folder / "none.ini", content), ReadResult::Missing);
    EXPECT_TRUE(content.empty());
    EXPECT_EQ(ReadWholeFile(folder / "no\\such\\folder.ini", content), ReadResult::Missing);

    const std::string bytes = kNew + std::string("\0\x1a\r\n", 4) + "end";
    Write(folder / "Config.ini", bytes);
    ASSERT_EQ(ReadWholeFile(folder / "Config.ini", content), ReadResult::Read);
    EXPECT_EQ(content, bytes) << "no text-mode translation";
    EXPECT_EQ(ReadWholeFile(folder / "", content), ReadResult::Failed) << "a folder is not a file";
}
