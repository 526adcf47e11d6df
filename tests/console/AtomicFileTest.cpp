// Replacing Config.ini: all or nothing, whatever happens midway.
#include "AtomicFile.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {
class TempFolder {
  public:
    TempFolder() {
        char pattern[] = "/tmp/atomic-file-test-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~TempFolder() { fs::remove_all(path); }
    std::string operator/(const std::string& name) const { return (path / name).string(); }
    size_t Entries() const {
        return static_cast<size_t>(std::distance(fs::directory_iterator(path), {}));
    }
    fs::path path;
};

void Write(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

const std::string kOld = "[COM]\nPort=1\n; the old file\n";
const std::string kNew = "[COM]\nPort=2\n" + std::string(100000, ';') + "\n";
}  // namespace

TEST(AtomicFile, ReplacesTheFileAndKeepsItsPermissions) {
    TempFolder folder;
    const std::string file = folder / "Config.ini";
    Write(file, kOld);
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    std::string error;
    ASSERT_TRUE(WriteFileAtomically(file, kNew, &error)) << error;
    EXPECT_EQ(Read(file), kNew);
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(folder.Entries(), 1u);

    ASSERT_TRUE(WriteFileAtomically(folder / "New.ini", "x", &error)) << error;
    EXPECT_EQ(Read(folder / "New.ini"), "x");
}

TEST(AtomicFile, ALinkKeepsPointingAtTheNewContent) {
    TempFolder folder;
    fs::create_directory(folder / "real");
    Write(folder / "real/Config.ini", kOld);
    fs::create_symlink(folder / "real/Config.ini", folder / "Config.ini");
    std::string error;
    ASSERT_TRUE(WriteFileAtomically(folder / "Config.ini", kNew, &error)) << error;
    EXPECT_TRUE(fs::is_symlink(folder / "Config.ini"));
    EXPECT_EQ(Read(folder / "real/Config.ini"), kNew);
}

TEST(AtomicFile, FailuresLeaveEverythingAsItWas) {
    TempFolder folder;
    fs::create_directory(folder / "Config.ini");
    Write(folder / "file", kOld);
    const std::string targets[] = {
        folder / "Config.ini",       // a folder cannot be replaced by a file
        folder / "file/Config.ini",  // a file is no folder
        folder / "missing/Config.ini",
    };
    for (const std::string& target : targets) {
        std::string error;
        EXPECT_FALSE(WriteFileAtomically(target, kNew, &error)) << target;
        EXPECT_FALSE(error.empty()) << target;
    }
    EXPECT_TRUE(fs::is_directory(folder / "Config.ini"));
    EXPECT_EQ(Read(folder / "file"), kOld);
    EXPECT_EQ(folder.Entries(), 2u);

    std::string content;
    EXPECT_EQ(ReadWholeFile(folder / "missing/Config.ini", content), ReadResult::Missing);
    EXPECT_EQ(ReadWholeFile(folder / "Config.ini", content), ReadResult::Failed);
    EXPECT_EQ(ReadWholeFile(folder / "file", content), ReadResult::Read);
    EXPECT_EQ(content, kOld);
}

// The process dies at the worst moment: the new content is complete beside
// the old file, which has not been touched yet.
TEST(AtomicFileDeathTest, AKilledSaveLeavesAWholeFile) {
    // "fast" (fork only): the child must see this test's folder, not make its own.
    GTEST_FLAG_SET(death_test_style, "fast");
    TempFolder folder;
    const std::string file = folder / "Config.ini";
    Write(file, kOld);
    EXPECT_EXIT(
        {
            SetBeforeRenameHook([](const std::string&) { std::raise(SIGKILL); });
            WriteFileAtomically(file, kNew, nullptr);
        },
        testing::KilledBySignal(SIGKILL), "");
    EXPECT_EQ(Read(file), kOld);

    std::string leftover;
    for (const auto& entry : fs::directory_iterator(folder.path))
        if (entry.path() != file)
            leftover = Read(entry.path().string());
    EXPECT_TRUE(leftover == kNew) << "the temporary file holds " << leftover.size() << " bytes";

    std::string error;
    ASSERT_TRUE(WriteFileAtomically(file, kNew, &error)) << error;
    EXPECT_TRUE(Read(file) == kNew);
}
