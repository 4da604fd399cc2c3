// Failures of the one-file-per-tile layout: a read-only cache, a file-size
// limit, folders standing on the tile's names. In every
// case the save answers 0, leaves no temporary file and a stored tile keeps
// its bytes.
#include <gtest/gtest.h>

#include <csignal>
#include <functional>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "storage_fixture.h"

using namespace storage_test;
using TVK::eByteArray;
using TVK::eTileStorage;

namespace {

// Runs body in a forked child and returns its exit code (-1 when it did not
// exit normally). The child never returns into the test runner.
int RunInChild(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) ::_exit(body());
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// Root ignores permission bits, so the child gives up its privileges first.
bool DropPrivileges() {
    if (::geteuid() != 0) return true;
    return ::setgid(65534) == 0 && ::setuid(65534) == 0;
}

void MakeTreeReadOnly(const fs::path& root) {
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        fs::permissions(entry.path(), entry.is_directory() ? fs::perms(0555) : fs::perms(0444));
    }
    fs::permissions(root, fs::perms(0555));
}

const char kTile[] = "_alllayers/1000000/R0002C0008/300x1025.epng";

}  // namespace

TEST(OriginalLayoutFaults, ReadOnlyCacheServesReadsAndRefusesWrites) {
    TempDir dir;
    const Bytes stored = TileBytes(1, 20000);
    {
        auto storage = MakeStorage(dir.Str(), eTileStorage::Original);
        ASSERT_EQ(Save(*storage, 5, 300, 1025, stored), 1);
    }
    MakeTreeReadOnly(dir.Path());

    // Each failed expectation sets its own bit of the exit code.
    const int result = RunInChild([&] {
        if (!DropPrivileges()) return 64;
        auto storage = MakeStorage(dir.Str(), eTileStorage::Original);
        int failures = 0;
        eByteArray loaded;
        if (storage->IsTileExist(5, 300, 1025) != 1) failures |= 1;
        if (storage->LoadImageData(5, 300, 1025, loaded) != 1 || ToBytes(loaded) != stored) failures |= 2;
        if (Save(*storage, 5, 300, 1025, TileBytes(2, 500)) != 0) failures |= 4;   // replace
        if (Save(*storage, 0, 0, 0, TileBytes(3, 500)) != 0) failures |= 8;        // new folders
        if (storage->RemoveTile(5, 300, 1025) != 0) failures |= 16;
        return failures;
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(ReadFile(dir / kTile), stored);
    EXPECT_TRUE(TempFiles(dir.Path()).empty());
    EXPECT_FALSE(fs::exists(dir / "_alllayers/32000000"));
}

TEST(OriginalLayoutFaults, FileSizeLimitFailsTheSaveAndKeepsTheOldTile) {
    TempDir dir;
    const Bytes stored = TileBytes(1, 100);
    {
        auto storage = MakeStorage(dir.Str(), eTileStorage::Original);
        ASSERT_EQ(Save(*storage, 5, 300, 1025, stored), 1);
    }

    const int result = RunInChild([&] {
        // Past the limit a write fails with EFBIG instead of killing us.
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{4096, 4096};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 64;
        auto storage = MakeStorage(dir.Str(), eTileStorage::Original);
        int failures = 0;
        if (Save(*storage, 5, 300, 1025, TileBytes(2, 20000)) != 0) failures |= 1;  // replace
        if (Save(*storage, 5, 300, 1026, TileBytes(3, 20000)) != 0) failures |= 2;  // new tile
        if (Save(*storage, 5, 300, 1027, TileBytes(4, 1000)) != 1) failures |= 4;   // small one fits
        return failures;
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(ReadFile(dir / kTile), stored);
    EXPECT_FALSE(fs::exists(dir / "_alllayers/1000000/R0002C0008/300x1026.epng"));
    EXPECT_EQ(ReadFile(dir / "_alllayers/1000000/R0002C0008/300x1027.epng"), TileBytes(4, 1000));
    EXPECT_TRUE(TempFiles(dir.Path()).empty());
}

TEST(OriginalLayoutFaults, FolderStandingOnTheTileOrTemporaryNameIsLeftAlone) {
    TempDir dir;
    auto storage = MakeStorage(dir.Str(), eTileStorage::Original);

    // A folder (with something in it) where the tile file should go.
    const fs::path tileDir = dir / kTile;
    fs::create_directories(tileDir);
    WriteFile(tileDir / "keep", Bytes{1, 2, 3});
    EXPECT_EQ(Save(*storage, 5, 300, 1025, TileBytes(1, 200)), 0);
    EXPECT_TRUE(fs::is_directory(tileDir));
    EXPECT_EQ(ReadFile(tileDir / "keep"), (Bytes{1, 2, 3}));
    EXPECT_TRUE(TempFiles(dir.Path()).empty());
    eByteArray loaded;
    EXPECT_EQ(storage->LoadImageData(5, 300, 1025, loaded), 0);

    // An empty folder on the temporary name of a stored tile: the save fails,
    // the folder stays and so does the tile.
    const Bytes stored = TileBytes(2, 300);
    ASSERT_EQ(Save(*storage, 5, 7, 9, stored), 1);
    const fs::path tempDir = dir / "_alllayers/1000000/R0000C0000/7x9.epng.temp";
    fs::create_directory(tempDir);
    EXPECT_EQ(Save(*storage, 5, 7, 9, TileBytes(3, 300)), 0);
    EXPECT_TRUE(fs::is_directory(tempDir));
    EXPECT_EQ(ReadFile(dir / "_alllayers/1000000/R0000C0000/7x9.epng"), stored);

    // A file where a folder of the tile's path should be.
    WriteFile(dir / "_alllayers/2000000", Bytes{9});
    EXPECT_EQ(Save(*storage, 4, 0, 0, TileBytes(4, 10)), 0);
    EXPECT_EQ(ReadFile(dir / "_alllayers/2000000"), Bytes{9});
}
