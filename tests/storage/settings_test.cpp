// The tile record, the storage's defaults and the file-type tables.
#include <gtest/gtest.h>

#include "eTile.h"
#include "eTileStorage.h"

using namespace TVK;

TEST(StorageSettings, TileRecordAndStorageDefaults) {
    eTile tile;
    EXPECT_EQ(std::vector<double>({double(tile.GetKey().Value), double(tile.GetTileRow()), double(tile.GetTileCol()),
                                   tile.GetScale(), double(tile.GetFileType()), double(tile.GetTileSize()),
                                   double(tile.GetByteArray().GetSize())}),
              std::vector<double>(7, 0.0));
    // A copy's bytes are its own.
    const unsigned char bytes[3] = {9, 8, 7};
    tile.SetByteArray(eByteArray(bytes, 3));
    eTile copy(tile);
    copy.GetByteArray().GetData()[0] = 1;
    EXPECT_EQ(tile.GetByteArray().GetData()[0], 9);

    eTileStorage storage;
    EXPECT_EQ(std::vector<int>({storage.GetCacheFormat(), storage.GetTileType(), storage.GetTileLevelMode(),
                                storage.GetTileCoordMode(), storage.GetTileBoundMode(), storage.GetLevelInverseMode(),
                                storage.GetPosInverseMode(), storage.GetRowInverseMode(), storage.GetLevelZoomMode(),
                                storage.GetTileIndexRadixFormat(), storage.GetTileGroupSize()}),
              std::vector<int>({eTileStorage::Original, 123, 1, 0, 0, 0, 0, 0, 0, 10, 128}));
    EXPECT_TRUE(storage.GetName().IsEmpty() && storage.GetFileDirectory().IsEmpty() &&
                storage.GetServiceProvider().IsEmpty() && storage.GetTileURLFormat().IsEmpty());
    // LevelZoomMode lives in the tiling scheme and is reached through both.
    storage.SetLevelZoomMode(1);
    EXPECT_EQ(storage.GetTileCoordSys().GetLevelZoomMode(), 1);
}

TEST(StorageSettings, ExtensionAndTypeTables) {
    const struct { int type; const char* ext; } table[] = {
        {103, "etif"}, {121, "ebmp"}, {122, "ejpg"}, {123, "epng"}, {124, "egif"},
        {141, "ebil"}, {600, "edata"}, {601, "pbf"}, {0, "png"},    {125, "png"},
    };
    for (const auto& row : table)
        EXPECT_EQ(eTileStorage::GetFileExtName(static_cast<eFileType::EmType>(row.type)), eString(row.ext)) << row.type;
    // Letter case is ignored; TIF has no name, so "etif" (like any unknown text) gives PNG.
    const struct { const char* text; int type; } names[] = {
        {"eJPG", 122}, {"EJPG", 122}, {"PBF", 601}, {"edata", 600}, {"ebil", 141}, {"egif", 124},
        {"ebmp", 121}, {"etif", 123}, {"png", 123}, {"", 123},      {"ePNG", 123},
    };
    for (const auto& row : names) EXPECT_EQ(eTileStorage::GetFileType(row.text), row.type) << row.text;
}
