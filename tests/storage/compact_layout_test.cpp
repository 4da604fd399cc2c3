// The compact layout end to end through the storage: tiles go into the bundle
// of their 128 x 128 block, a stored tile is never replaced, and what was
// saved survives closing every handle.
#include <gtest/gtest.h>

#include "storage_fixture.h"

using namespace storage_test;
using TVK::eByteArray;
using TVK::eTileStorage;

TEST(CompactLayout, SaveListLoadRemoveOverSeveralLevelsAndBundles) {
    TempDir dir;
    auto storage = MakeStorage(dir.Str(), eTileStorage::Compact);

    // (level, row, col) and the bundle that holds it: block starts in hex,
    // row 300 -> 256 = 0x100, col 130 -> 128 = 0x80, col 1025 -> 1024 = 0x400.
    const struct { int level, row, col; const char* bundle; } tiles[] = {
        {5, 300, 130, "_alllayers/L05/R0100C0080"},
        {5, 300, 1025, "_alllayers/L05/R0100C0400"},
        {5, 301, 131, "_alllayers/L05/R0100C0080"},
        {0, 0, 0, "_alllayers/L00/R0000C0000"},
        {12, 127, 127, "_alllayers/L12/R0000C0000"},
    };
    unsigned seed = 10;
    for (const auto& t : tiles) {
        EXPECT_EQ(storage->IsTileExist(t.level, t.row, t.col), 0);
        ASSERT_EQ(Save(*storage, t.level, t.row, t.col, TileBytes(seed++, 3000)), 1) << t.bundle;
    }
    // Compact caches write no one-file-per-tile tree.
    EXPECT_FALSE(fs::exists(dir / "_alllayers/1000000"));

    seed = 10;
    for (const auto& t : tiles) {
        const Bytes expected = TileBytes(seed++, 3000);
        EXPECT_EQ(storage->IsTileExist(t.level, t.row, t.col), 1);
        eByteArray loaded;
        ASSERT_EQ(storage->LoadImageData(t.level, t.row, t.col, loaded), 1);
        EXPECT_EQ(ToBytes(loaded), expected);
        EXPECT_TRUE(fs::exists(dir / (std::string(t.bundle) + ".bundlx"))) << t.bundle;
        // The bytes are in the data file, readable without the library.
        storage->ReleaseHandles();
        EXPECT_TRUE(Contains(ReadFile(dir / (std::string(t.bundle) + ".bundle")), expected)) << t.bundle;
    }

    // A stored tile is not replaced.
    EXPECT_EQ(Save(*storage, 5, 300, 130, TileBytes(99, 50)), 0);
    eByteArray loaded;
    ASSERT_EQ(storage->LoadImageData(5, 300, 130, loaded), 1);
    EXPECT_EQ(ToBytes(loaded), TileBytes(10, 3000));

    // Removal; removing again still answers 1; the tile can then be saved anew.
    EXPECT_EQ(storage->RemoveTile(5, 300, 130), 1);
    EXPECT_EQ(storage->IsTileExist(5, 300, 130), 0);
    eByteArray untouched;
    untouched.SetSize(1);
    untouched.GetData()[0] = 0x5A;
    EXPECT_EQ(storage->LoadImageData(5, 300, 130, untouched), 0);
    EXPECT_EQ(ToBytes(untouched), Bytes{0x5A});
    EXPECT_EQ(storage->RemoveTile(5, 300, 130), 1);
    EXPECT_EQ(storage->IsTileExist(5, 301, 131), 1);  // its neighbour stays
    ASSERT_EQ(Save(*storage, 5, 300, 130, TileBytes(99, 50)), 1);

    // A second storage on the same folder sees everything.
    storage.reset();
    auto reopened = MakeStorage(dir.Str(), eTileStorage::Compact);
    ASSERT_EQ(reopened->LoadImageData(5, 300, 130, loaded), 1);
    EXPECT_EQ(ToBytes(loaded), TileBytes(99, 50));
    ASSERT_EQ(reopened->LoadImageData(12, 127, 127, loaded), 1);
    EXPECT_EQ(ToBytes(loaded), TileBytes(14, 3000));
}

TEST(CompactLayout, BlockFollowsOneHundredTwentyEightWhateverTheGroupSize) {
    TempDir dir;
    auto storage = MakeStorage(dir.Str(), eTileStorage::Compact);
    storage->SetTileGroupSize(256);
    // Row 200 is in the block starting at 128 (0x80), not 0.
    ASSERT_EQ(Save(*storage, 3, 200, 5, TileBytes(1, 64)), 1);
    storage->ReleaseHandles();
    EXPECT_TRUE(fs::exists(dir / "_alllayers/L03/R0080C0000.bundle"));
    EXPECT_FALSE(fs::exists(dir / "_alllayers/L03/R0000C0000.bundle"));
}
