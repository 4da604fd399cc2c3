// The tile record, the storage's defaults and the file-type tables.
#include <gtest/gtest.h>

#include "eTile.h"
#include "eTileStorage.h"

using namespace TVK;

TEST(StorageSettings, TileRecordAndStorageDefaults) {
    eTile tile;
    EXPECT_EQ(
        std::vector<double>({double(tile.GetKey().Value), double(tile.GetTileRow()),
                             double(tile.GetTileCol()), tile.GetScale(), double(tile.GetFileType()),
                             double(tile.GetTileSize()), double(tile.GetByteArray().GetSize())}),
        std::vector<double>(7, 0.0));
    // A copy's bytes are its own.
    const unsigned char bytes[3] = {9, 8, 7};
    tile.SetByteArray(eByteArray(bytes, 3));
    eTile copy(tile);
    copy.GetByteArray().GetData()[0] = 1;
    EXPECT_EQ(tile.GetByteArray().GetData()[0], 9);

    eTileStorage storage;
    EXPECT_EQ(
        std::vector<int>(
            {storage.GetCacheFormat(), storage.GetTileType(), storage.GetTileLevelMode(),
             storage.GetTileCoordMode(), storage.GetTileBoundMode(), storage.GetLevelInverseMode(),
             storage.GetPosInverseMode(), storage.GetRowInverseMode(), storage.GetLevelZoomMode(),
             storage.GetTileIndexRadixFormat(), storage.GetTileGroupSize()}),
        std::vector<int>({eTileStorage::Original, 123, 1, 0, 0, 0, 0, 0, 0, 10, 128}));
}

TEST(StorageSettings, ExtensionAndTypeTables) {
    // Each type's extension and the type that extension reads back as: TIF
    // has no name of its own, so "etif" (like any unknown text) gives PNG.
    const struct {
        int type;
        const char* ext;
        int back;
    } table[] = {
        {103, "etif", 123}, {121, "ebmp", 121}, {122, "ejpg", 122},  {123, "epng", 123},
        {124, "egif", 124}, {141, "ebil", 141}, {600, "edata", 600}, {601, "pbf", 601},
        {0, "png", 123},    {125, "png", 123},
    };
    for (const auto& row : table) {
        EXPECT_EQ(eTileStorage::GetFileExtName(static_cast<eFileType::EmType>(row.type)),
                  eString(row.ext))
            << row.type;
        EXPECT_EQ(eTileStorage::GetFileType(row.ext), row.back) << row.ext;
    }
    // Letter case is ignored.
    EXPECT_EQ(std::vector<int>({eTileStorage::GetFileType("eJPG"), eTileStorage::GetFileType("PBF"),
                                eTileStorage::GetFileType("ePNG"), eTileStorage::GetFileType("")}),
              std::vector<int>({122, 601, 123, 123}));
}
