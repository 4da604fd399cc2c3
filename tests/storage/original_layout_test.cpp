// The one-file-per-tile layout end to end: names on disk, save, list, load,
// replace and remove, and the reports of a misconfigured storage.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/eAssert.h"
#include "storage_fixture.h"

using namespace storage_test;
using TVK::eByteArray;
using TVK::eTileStorage;

namespace {

std::vector<std::string> g_asserts;
void RecordAssert(const char* expr, const char* file, int) {
    g_asserts.push_back(std::string(expr) + "@" + file);
}

class AssertRecorder {
public:
    AssertRecorder() { g_asserts.clear(); m_previous = TVK::SetAssertHandler(&RecordAssert); }
    ~AssertRecorder() { TVK::SetAssertHandler(m_previous); }

private:
    TVK::eAssertHandler m_previous = nullptr;
};

}  // namespace

TEST(OriginalLayout, TilesLandAtTheirDocumentedPaths) {
    TempDir dir;
    auto storage = MakeStorage(dir.Str(), eTileStorage::Original);

    // (level, row, col) -> path below the cache folder, worked out by hand:
    // scale names 32000000 (level 0) and 1000000 (level 5), groups
    // floor(n / 128) written at least four wide, '0' filled before a sign.
    const struct { int level, row, col; const char* path; } cases[] = {
        {5, 300, 1025, "_alllayers/1000000/R0002C0008/300x1025.epng"},
        {0, 0, 0, "_alllayers/32000000/R0000C0000/0x0.epng"},
        {0, 127, 128, "_alllayers/32000000/R0000C0001/127x128.epng"},
        {0, 7, 9, "_alllayers/32000000/R0000C0000/7x9.epng"},
        {1, -1, 5, "_alllayers/16000000/R00-1C0000/-1x5.epng"},
        {1, 3, -129, "_alllayers/16000000/R0000C00-2/3x-129.epng"},
        {2, 1580160, 7, "_alllayers/8000000/R12345C0000/1580160x7.epng"},
    };
    unsigned seed = 1;
    for (const auto& c : cases) {
        const Bytes bytes = TileBytes(seed, 100 + seed);
        ++seed;
        ASSERT_EQ(Save(*storage, c.level, c.row, c.col, bytes), 1) << c.path;
        EXPECT_EQ(ReadFile(dir / c.path), bytes) << c.path;
        EXPECT_EQ(storage->IsTileExist(c.level, c.row, c.col), 1) << c.path;
    }
    EXPECT_TRUE(TempFiles(dir.Path()).empty());

    // The group size and the tile type steer the names; nothing else does.
    storage->SetTileGroupSize(256);
    storage->SetTileType(TVK::eFileType::JPG);
    storage->SetRowInverseMode(1);
    storage->SetTileIndexRadixFormat(16);
    const Bytes jpg = TileBytes(99, 10);
    ASSERT_EQ(Save(*storage, 5, 128, 255, jpg), 1);
    EXPECT_EQ(ReadFile(dir / "_alllayers/1000000/R0000C0000/128x255.ejpg"), jpg);
    ASSERT_EQ(Save(*storage, 5, 256, 0, jpg), 1);
    EXPECT_EQ(ReadFile(dir / "_alllayers/1000000/R0001C0000/256x0.ejpg"), jpg);

    // A root given with a trailing '/' names the same files.
    auto slashed = MakeStorage(dir.Str() + "/", eTileStorage::Original);
    eByteArray loaded;
    ASSERT_EQ(slashed->LoadImageData(5, 300, 1025, loaded), 1);
    EXPECT_EQ(ToBytes(loaded), ReadFile(dir / "_alllayers/1000000/R0002C0008/300x1025.epng"));
}

TEST(OriginalLayout, SaveListLoadReplaceRemoveOverSeveralLevels) {
    TempDir dir;
    auto storage = MakeStorage(dir.Str(), eTileStorage::Original);
    const std::string paths[3] = {
        "_alllayers/32000000/R0000C0000/1x2.epng",
        "_alllayers/4000000/R0001C0003/200x400.epng",
        "_alllayers/1000000/R0002C0008/300x1025.epng",
    };
    const int tiles[3][3] = {{0, 1, 2}, {3, 200, 400}, {5, 300, 1025}};

    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(storage->IsTileExist(tiles[i][0], tiles[i][1], tiles[i][2]), 0);
        ASSERT_EQ(Save(*storage, tiles[i][0], tiles[i][1], tiles[i][2], TileBytes(i, 20000)), 1);
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(storage->IsTileExist(tiles[i][0], tiles[i][1], tiles[i][2]), 1);
        eByteArray loaded;
        ASSERT_EQ(storage->LoadImageData(tiles[i][0], tiles[i][1], tiles[i][2], loaded), 1);
        EXPECT_EQ(ToBytes(loaded), TileBytes(i, 20000));
        EXPECT_EQ(ReadFile(dir / paths[i]), TileBytes(i, 20000));
    }

    // Replacing gives the new bytes, also when the new tile is shorter.
    ASSERT_EQ(Save(*storage, 3, 200, 400, TileBytes(50, 7)), 1);
    EXPECT_EQ(ReadFile(dir / paths[1]), TileBytes(50, 7));
    eByteArray loaded;
    ASSERT_EQ(storage->LoadImageData(3, 200, 400, loaded), 1);
    EXPECT_EQ(ToBytes(loaded), TileBytes(50, 7));
    // An empty tile is a tile.
    ASSERT_EQ(storage->SaveImageData(0, 1, 2, nullptr, 0), 1);
    EXPECT_EQ(fs::file_size(dir / paths[0]), 0u);
    EXPECT_TRUE(TempFiles(dir.Path()).empty());

    // Removal: the file goes, its folders stay, a load leaves the array as it was.
    EXPECT_EQ(storage->RemoveTile(5, 300, 1025), 1);
    EXPECT_FALSE(fs::exists(dir / paths[2]));
    EXPECT_TRUE(fs::is_directory(dir / "_alllayers/1000000/R0002C0008"));
    EXPECT_EQ(storage->IsTileExist(5, 300, 1025), 0);
    eByteArray untouched;
    untouched.SetSize(2);
    untouched.GetData()[0] = 0xAB;
    untouched.GetData()[1] = 0xCD;
    EXPECT_EQ(storage->LoadImageData(5, 300, 1025, untouched), 0);
    EXPECT_EQ(ToBytes(untouched), (Bytes{0xAB, 0xCD}));
    EXPECT_EQ(storage->RemoveTile(5, 300, 1025), 0);
    // The other tiles are still there.
    EXPECT_EQ(storage->IsTileExist(3, 200, 400), 1);
    // And the removed one can come back.
    ASSERT_EQ(Save(*storage, 5, 300, 1025, TileBytes(77, 33)), 1);
    EXPECT_EQ(ReadFile(dir / paths[2]), TileBytes(77, 33));
}

TEST(OriginalLayout, LevelOutsideTheListThrowsOutOfRange) {
    TempDir dir;
    auto storage = MakeStorage(dir.Str(), eTileStorage::Original);
    const Bytes bytes = TileBytes(1, 10);
    eByteArray data;
    for (int level : {-1, 6, 1000}) {
        EXPECT_THROW(storage->IsTileExist(level, 0, 0), std::out_of_range);
        EXPECT_THROW(storage->LoadImageData(level, 0, 0, data), std::out_of_range);
        EXPECT_THROW(Save(*storage, level, 0, 0, bytes), std::out_of_range);
        EXPECT_THROW(storage->RemoveTile(level, 0, 0), std::out_of_range);
    }
    // Nothing was written for them.
    EXPECT_TRUE(fs::is_empty(dir.Path()));
}

TEST(OriginalLayout, MisconfiguredStorageReportsAndFails) {
    TempDir dir;
    AssertRecorder recorder;

    // A layout value without a name.
    auto storage = MakeStorage(dir.Str(), static_cast<eTileStorage::EmFormat>(3));
    const Bytes bytes = TileBytes(1, 10);
    EXPECT_EQ(Save(*storage, 0, 0, 0, bytes), 0);
    EXPECT_EQ(storage->IsTileExist(0, 0, 0), 0);
    EXPECT_EQ(g_asserts, (std::vector<std::string>{"false@eTileStorage", "false@eTileStorage"}));
    EXPECT_TRUE(fs::is_empty(dir.Path()));

    // A compact storage that was never given a folder: the empty folder, then
    // the missing bundle operator.
    g_asserts.clear();
    eTileStorage bare;
    bare.SetCacheFormat(eTileStorage::Compact);
    EXPECT_EQ(bare.IsTileExist(0, 0, 0), 0);
    EXPECT_EQ(g_asserts,
              (std::vector<std::string>{"!m_strFileDirectory.IsEmpty()@eTileStorage", "false@eTileStorage"}));

    // A group size that would divide by zero is refused, not used.
    g_asserts.clear();
    auto zero = MakeStorage(dir.Str(), eTileStorage::Original);
    zero->SetTileGroupSize(0);
    EXPECT_EQ(Save(*zero, 0, 0, 0, bytes), 0);
    EXPECT_EQ(g_asserts.size(), 1u);
    EXPECT_TRUE(fs::is_empty(dir.Path()));

    // ReleaseHandles of an Original storage has nothing to do.
    g_asserts.clear();
    zero->ReleaseHandles();
    EXPECT_TRUE(g_asserts.empty());
}
