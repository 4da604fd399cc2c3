// Both layouts end to end through the storage: names on disk, save, list,
// load, replace and remove over several levels; out-of-range levels and the
// reports of a misconfigured storage.
#include <gtest/gtest.h>

#include <stdexcept>

#include "support/storage_util.h"

using namespace tvktest;
using TVK::eByteArray;
using TVK::eTileStorage;

TEST(OriginalLayout, PathsSaveLoadReplaceRemoveOverSeveralLevels) {
    TempDir dir;
    auto storage = MakeStorage(dir.Str(), eTileStorage::Original);
    // By hand: scale names 32000000 (level 0) to 1000000 (level 5), groups
    // floor(n / 128) written at least four wide, '0' filled before a sign.
    const struct {
        int level, row, col;
        const char* path;
    } cases[] = {
        {5, 300, 1025, "_alllayers/1000000/R0002C0008/300x1025.epng"},
        {0, 0, 0, "_alllayers/32000000/R0000C0000/0x0.epng"},
        {0, 127, 128, "_alllayers/32000000/R0000C0001/127x128.epng"},
        {1, -1, 5, "_alllayers/16000000/R00-1C0000/-1x5.epng"},
        {1, 3, -129, "_alllayers/16000000/R0000C00-2/3x-129.epng"},
        {2, 1580160, 7, "_alllayers/8000000/R12345C0000/1580160x7.epng"},
        {3, 200, 400, "_alllayers/4000000/R0001C0003/200x400.epng"},
    };
    for (unsigned i = 0; i < 7; ++i) {
        EXPECT_EQ(storage->IsTileExist(cases[i].level, cases[i].row, cases[i].col), 0);
        ASSERT_EQ(Save(*storage, cases[i].level, cases[i].row, cases[i].col, TileBytes(i, 20000)),
                  1)
            << i;
    }
    for (unsigned i = 0; i < 7; ++i) {
        EXPECT_EQ(ReadFile(dir / cases[i].path), TileBytes(i, 20000)) << cases[i].path;
        EXPECT_EQ(Load(*storage, cases[i].level, cases[i].row, cases[i].col), TileBytes(i, 20000))
            << i;
    }
    // Replacing gives the new bytes, also when shorter; an empty tile is a tile.
    ASSERT_EQ(Save(*storage, 3, 200, 400, TileBytes(50, 7)), 1);
    EXPECT_EQ(ReadFile(dir / cases[6].path), TileBytes(50, 7));
    ASSERT_EQ(storage->SaveImageData(0, 0, 0, nullptr, 0), 1);
    EXPECT_EQ(fs::file_size(dir / cases[1].path), 0u);
    EXPECT_EQ(TempFiles(dir.Path()), 0u);
    // A root given with a trailing '/' names the same files.
    EXPECT_EQ(Load(*MakeStorage(dir.Root(), eTileStorage::Original), 5, 300, 1025),
              TileBytes(0, 20000));

    // Removal: the file goes, its folder stays, a load leaves the array as it was.
    EXPECT_EQ(storage->RemoveTile(5, 300, 1025), 1);
    EXPECT_FALSE(fs::exists(dir / cases[0].path));
    EXPECT_TRUE(fs::is_directory(dir / "_alllayers/1000000/R0002C0008"));
    EXPECT_EQ(storage->IsTileExist(5, 300, 1025), 0);
    eByteArray untouched = ToArray({0xAB, 0xCD});
    EXPECT_EQ(storage->LoadImageData(5, 300, 1025, untouched), 0);
    EXPECT_EQ(ToBytes(untouched), (Bytes{0xAB, 0xCD}));
    EXPECT_EQ(storage->RemoveTile(5, 300, 1025), 0);

    // The group size and the tile type steer the names; nothing else does.
    storage->SetTileGroupSize(256);
    storage->SetTileType(TVK::eFileType::JPG);
    storage->SetRowInverseMode(1);
    storage->SetTileIndexRadixFormat(16);
    ASSERT_EQ(Save(*storage, 5, 128, 255, Bytes{1}), 1);
    ASSERT_EQ(Save(*storage, 5, 256, 0, Bytes{2}), 1);
    EXPECT_EQ(ReadFile(dir / "_alllayers/1000000/R0000C0000/128x255.ejpg"), Bytes{1});
    EXPECT_EQ(ReadFile(dir / "_alllayers/1000000/R0001C0000/256x0.ejpg"), Bytes{2});
}

TEST(CompactLayout, SaveLoadRemoveOverSeveralLevelsAndBundles) {
    TempDir dir;
    auto storage = MakeStorage(dir.Str(), eTileStorage::Compact);
    storage->SetTileGroupSize(256);  // bundles stay 128 x 128 whatever the group size
    // Block starts in hex: row 300 -> 0x100, col 130 -> 0x80, col 1025 -> 0x400, row 200 -> 0x80.
    const struct {
        int level, row, col;
        const char* bundle;
    } tiles[] = {
        {5, 300, 130, "L05/R0100C0080"}, {5, 300, 1025, "L05/R0100C0400"},
        {5, 301, 131, "L05/R0100C0080"}, {0, 0, 0, "L00/R0000C0000"},
        {3, 200, 5, "L03/R0080C0000"},   {12, 127, 127, "L12/R0000C0000"},
    };
    for (unsigned i = 0; i < 6; ++i)
        ASSERT_EQ(Save(*storage, tiles[i].level, tiles[i].row, tiles[i].col, TileBytes(i, 3000)), 1)
            << i;
    storage->ReleaseHandles();
    for (unsigned i = 0; i < 6; ++i) {
        EXPECT_EQ(Load(*storage, tiles[i].level, tiles[i].row, tiles[i].col), TileBytes(i, 3000));
        const fs::path base = dir / "_alllayers" / tiles[i].bundle;
        EXPECT_TRUE(fs::exists(base.string() + ".bundlx")) << tiles[i].bundle;
        EXPECT_TRUE(Contains(ReadFile(base.string() + ".bundle"), TileBytes(i, 3000)))
            << tiles[i].bundle;
    }

    // A stored tile is not replaced; removal frees the position, its neighbour stays.
    EXPECT_EQ(Save(*storage, 5, 300, 130, TileBytes(99, 50)), 0);
    EXPECT_EQ(storage->RemoveTile(5, 300, 130), 1);
    EXPECT_EQ(storage->IsTileExist(5, 300, 130), 0);
    EXPECT_EQ(storage->IsTileExist(5, 301, 131), 1);
    ASSERT_EQ(Save(*storage, 5, 300, 130, TileBytes(99, 50)), 1);
    EXPECT_EQ(Load(*storage, 5, 300, 130), TileBytes(99, 50));
}

TEST(OriginalLayout, LevelOutsideTheListAndMisconfiguredStorages) {
    TempDir dir;
    const Bytes bytes{1, 2, 3};
    eByteArray data;
    auto storage = MakeStorage(dir.Str(), eTileStorage::Original);
    for (int level : {-1, 6, 1000}) {
        EXPECT_THROW(storage->IsTileExist(level, 0, 0), std::out_of_range);
        EXPECT_THROW(storage->LoadImageData(level, 0, 0, data), std::out_of_range);
        EXPECT_THROW(Save(*storage, level, 0, 0, bytes), std::out_of_range);
        EXPECT_THROW(storage->RemoveTile(level, 0, 0), std::out_of_range);
    }
    EXPECT_TRUE(fs::is_empty(dir.Path()));

    AssertLog log;
    // A layout value without a name.
    storage->SetCacheFormat(static_cast<eTileStorage::EmFormat>(99));
    EXPECT_EQ(Save(*storage, 0, 0, 0, bytes), 0);
    EXPECT_EQ(AssertLog::Entries(), std::vector<std::string>{"false@eTileStorage"});
    // A compact storage that was never given a folder: the empty folder, then
    // the missing bundle operator.
    AssertLog::Entries().clear();
    eTileStorage bare;
    bare.SetCacheFormat(eTileStorage::Compact);
    EXPECT_EQ(bare.IsTileExist(0, 0, 0), 0);
    EXPECT_EQ(AssertLog::Entries(),
              (std::vector<std::string>{"!m_strFileDirectory.IsEmpty()@eTileStorage",
                                        "false@eTileStorage"}));
    // A group size that would divide by zero is refused, not used.
    AssertLog::Entries().clear();
    storage->SetCacheFormat(eTileStorage::Original);
    storage->SetTileGroupSize(0);
    EXPECT_EQ(Save(*storage, 0, 0, 0, bytes), 0);
    EXPECT_EQ(AssertLog::Entries().size(), 1u);
    EXPECT_TRUE(fs::is_empty(dir.Path()));
}
