// Failures of the one-file-per-tile layout: a read-only cache, a file-size
// limit, folders and files standing on the tile's names. In every case the
// save answers 0, leaves no temporary file and a stored tile keeps its bytes.
#include <gtest/gtest.h>

#include <csignal>

#include <sys/resource.h>
#include <unistd.h>

#include "support/storage_util.h"

using namespace tvktest;
using TVK::eTileStorage;

namespace {

const char kTile[] = "_alllayers/1000000/R0002C0008/300x1025.epng";

}  // namespace

TEST(OriginalLayoutFaults, ReadOnlyCacheServesReadsAndRefusesWrites) {
    TempDir dir;
    const Bytes stored = TileBytes(1, 20000);
    ASSERT_EQ(Save(*MakeStorage(dir.Str(), eTileStorage::Original), 5, 300, 1025, stored), 1);
    for (const auto& entry : fs::recursive_directory_iterator(dir.Path()))
        fs::permissions(entry.path(), entry.is_directory() ? fs::perms(0555) : fs::perms(0444));
    fs::permissions(dir.Path(), fs::perms(0555));

    // Root ignores permission bits, so the child gives up its privileges first;
    // each failed expectation sets its own bit of the exit code.
    const int result = RunInChild([&] {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return 64;
        auto storage = MakeStorage(dir.Str(), eTileStorage::Original);
        return (storage->IsTileExist(5, 300, 1025) != 1 ? 1 : 0) |
               (Load(*storage, 5, 300, 1025) != stored ? 2 : 0) |
               (Save(*storage, 5, 300, 1025, TileBytes(2, 500)) != 0 ? 4 : 0) |  // replace
               (Save(*storage, 0, 0, 0, TileBytes(3, 500)) != 0 ? 8 : 0) |       // new folders
               (storage->RemoveTile(5, 300, 1025) != 0 ? 16 : 0);
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(ReadFile(dir / kTile), stored);
    EXPECT_EQ(TempFiles(dir.Path()), 0u);
    EXPECT_FALSE(fs::exists(dir / "_alllayers/32000000"));
}

TEST(OriginalLayoutFaults, FileSizeLimitFailsTheSaveAndKeepsTheOldTile) {
    TempDir dir;
    const Bytes stored = TileBytes(1, 100);
    ASSERT_EQ(Save(*MakeStorage(dir.Str(), eTileStorage::Original), 5, 300, 1025, stored), 1);
    const int result = RunInChild([&] {
        std::signal(SIGXFSZ, SIG_IGN);  // past the limit a write fails with EFBIG instead
        const rlimit limit{4096, 4096};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 64;
        auto storage = MakeStorage(dir.Str(), eTileStorage::Original);
        return (Save(*storage, 5, 300, 1025, TileBytes(2, 20000)) != 0 ? 1 : 0) |  // replace
               (Save(*storage, 5, 300, 1026, TileBytes(3, 20000)) != 0 ? 2 : 0) |  // new tile
               (Save(*storage, 5, 300, 1027, TileBytes(4, 1000)) != 1 ? 4 : 0);  // a small one fits
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(ReadFile(dir / kTile), stored);
    EXPECT_FALSE(fs::exists(dir / "_alllayers/1000000/R0002C0008/300x1026.epng"));
    EXPECT_EQ(ReadFile(dir / "_alllayers/1000000/R0002C0008/300x1027.epng"), TileBytes(4, 1000));
    EXPECT_EQ(TempFiles(dir.Path()), 0u);
}

TEST(OriginalLayoutFaults, FoldersAndFilesStandingOnTheNamesAreLeftAlone) {
    TempDir dir;
    auto storage = MakeStorage(dir.Str(), eTileStorage::Original);
    // A folder (with something in it) where the tile file should go: no tile.
    WriteFile(dir / kTile / "keep", Bytes{1, 2, 3});
    EXPECT_EQ(Save(*storage, 5, 300, 1025, TileBytes(1, 200)), 0);
    EXPECT_EQ(storage->IsTileExist(5, 300, 1025), 0);
    EXPECT_EQ(storage->RemoveTile(5, 300, 1025), 0);
    EXPECT_EQ(ReadFile(dir / kTile / "keep"), (Bytes{1, 2, 3}));
    EXPECT_EQ(TempFiles(dir.Path()), 0u);

    // A folder on the plain temporary name: each save writes a temporary
    // file of its own, so the save goes through and the folder stays.
    ASSERT_EQ(Save(*storage, 5, 7, 9, TileBytes(2, 300)), 1);
    fs::create_directory(dir / "_alllayers/1000000/R0000C0000/7x9.epng.temp");
    EXPECT_EQ(Save(*storage, 5, 7, 9, TileBytes(3, 300)), 1);
    EXPECT_TRUE(fs::is_directory(dir / "_alllayers/1000000/R0000C0000/7x9.epng.temp"));
    EXPECT_EQ(ReadFile(dir / "_alllayers/1000000/R0000C0000/7x9.epng"), TileBytes(3, 300));

    // A file where a folder of the tile's path should be.
    WriteFile(dir / "_alllayers/2000000", Bytes{9});
    EXPECT_EQ(Save(*storage, 4, 0, 0, TileBytes(4, 10)), 0);
    EXPECT_EQ(ReadFile(dir / "_alllayers/2000000"), Bytes{9});
}
