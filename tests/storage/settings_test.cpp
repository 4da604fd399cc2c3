// The tile record, the storage's defaults and the file-type tables.
#include <gtest/gtest.h>

#include "eTile.h"
#include "eTileStorage.h"

using TVK::eByteArray;
using TVK::eFileType;
using TVK::eString;
using TVK::eTile;
using TVK::eTileStorage;

TEST(TileRecord, DefaultsAndCopiesOwnTheirBytes) {
    eTile tile;
    EXPECT_EQ(tile.GetKey().Value, 0u);
    EXPECT_EQ(tile.GetTileRow(), 0);
    EXPECT_EQ(tile.GetTileCol(), 0);
    EXPECT_EQ(tile.GetScale(), 0.0);
    EXPECT_EQ(tile.GetFileType(), 0);
    EXPECT_EQ(tile.GetTileSize(), 0);
    EXPECT_EQ(tile.GetByteArray().GetSize(), 0);

    tile.SetTilePos(3, 7);
    EXPECT_EQ(tile.GetTileRow(), 3);
    EXPECT_EQ(tile.GetTileCol(), 7);
    TVK::eTileKey key;
    key.Value = 0x0102030405060708ull;
    tile.SetKey(key);
    const unsigned char bytes[3] = {9, 8, 7};
    tile.SetByteArray(eByteArray(bytes, 3));

    eTile copy(tile);
    EXPECT_EQ(copy.GetKey().Value, 0x0102030405060708ull);
    int row = 0, col = 0;
    copy.GetTilePos(row, col);
    EXPECT_EQ(row, 3);
    EXPECT_EQ(col, 7);
    // The copy's array is its own: changing it leaves the original alone.
    copy.GetByteArray().GetData()[0] = 1;
    EXPECT_EQ(tile.GetByteArray().GetData()[0], 9);
    EXPECT_EQ(copy.GetByteArray().GetSize(), 3);
}

TEST(StorageSettings, NewStorageHasDocumentedDefaultsAndStoresValues) {
    eTileStorage storage;
    EXPECT_EQ(storage.GetCacheFormat(), eTileStorage::Original);
    EXPECT_EQ(storage.GetTileType(), 123);
    EXPECT_EQ(storage.GetTileLevelMode(), 1);
    EXPECT_EQ(storage.GetTileCoordMode(), 0);
    EXPECT_EQ(storage.GetTileBoundMode(), 0);
    EXPECT_EQ(storage.GetLevelInverseMode(), 0);
    EXPECT_EQ(storage.GetPosInverseMode(), 0);
    EXPECT_EQ(storage.GetRowInverseMode(), 0);
    EXPECT_EQ(storage.GetLevelZoomMode(), 0);
    EXPECT_EQ(storage.GetTileIndexRadixFormat(), 10);
    EXPECT_EQ(storage.GetTileGroupSize(), 128);
    EXPECT_TRUE(storage.GetName().IsEmpty());
    EXPECT_TRUE(storage.GetFileDirectory().IsEmpty());
    EXPECT_TRUE(storage.GetServiceProvider().IsEmpty());
    EXPECT_TRUE(storage.GetTileURLFormat().IsEmpty());

    // LevelZoomMode lives in the tiling scheme and is reached through both.
    storage.SetLevelZoomMode(1);
    EXPECT_EQ(storage.GetTileCoordSys().GetLevelZoomMode(), 1);
    storage.SetRowInverseMode(1);
    storage.SetTileLevelMode(0);
    EXPECT_EQ(storage.GetRowInverseMode(), 1);
    EXPECT_EQ(storage.GetTileLevelMode(), 0);
    // Out-of-range values are stored as given.
    storage.SetCacheFormat(static_cast<eTileStorage::EmFormat>(7));
    EXPECT_EQ(storage.GetCacheFormat(), 7);
}

TEST(StorageSettings, ExtensionAndTypeTables) {
    const struct { int type; const char* ext; } table[] = {
        {103, "etif"}, {121, "ebmp"}, {122, "ejpg"}, {123, "epng"},
        {124, "egif"}, {141, "ebil"}, {600, "edata"}, {601, "pbf"},
        {0, "png"},    {125, "png"},
    };
    for (const auto& row : table) {
        EXPECT_EQ(eTileStorage::GetFileExtName(static_cast<eFileType::EmType>(row.type)), eString(row.ext))
            << row.type;
    }

    // Letter case is ignored; TIF has no name, so "etif" (like any unknown
    // text) gives PNG.
    const struct { const char* text; int type; } names[] = {
        {"eJPG", 122}, {"ejpg", 122}, {"EJPG", 122}, {"PBF", 601}, {"edata", 600}, {"ebil", 141},
        {"egif", 124}, {"ebmp", 121}, {"etif", 123}, {"png", 123}, {"", 123},     {"ePNG", 123},
    };
    for (const auto& row : names) EXPECT_EQ(eTileStorage::GetFileType(row.text), row.type) << row.text;
}
