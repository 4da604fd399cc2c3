// V1 pairs created in ArcGIS's structure, and the data header's counters kept
// current on saves and removals; pairs of this system's own structure stay as
// they are. Expected files are built byte by byte from the layout's facts.
#include <gtest/gtest.h>

#include "bundle_test_util.h"
#include "eRasterCompact.h"

using namespace TVK;
using namespace bundletest;

namespace {

eByteArray Array(const Bytes& b) { return eByteArray(b.data(), static_cast<eInt>(b.size())); }

Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes Record(const Bytes& tile) {
    Bytes record(4);
    PutLE(record, 0, tile.size(), 4);
    return Concat(record, tile);
}

// The counters of an ArcGIS data header: largest tile, 4 x tiles, file size.
void SetCounters(Bytes& data, uint32_t maxTile, uint64_t tiles) {
    PutLE(data, 8, maxTile, 4);
    PutLE(data, 16, 4 * tiles, 8);
    PutLE(data, 24, data.size(), 8);
}

}  // namespace

TEST(ArcGISStructure, NewPairsLookLikeArcGISOnesAndCountTheirTiles) {
    TempDir tmp;
    eRasterCompact handle;
    handle.SetSrcPath(tmp.Root().c_str());
    handle.SetArcGISStructure(true);
    // Level 4, rows 128-255, columns 256-383.
    const fs::path base = tmp.Path() / "_alllayers" / "L04" / "R0080C0100";
    const fs::path index = base.string() + ".bundlx", data = base.string() + ".bundle";
    const Bytes first = Payload("first tile"), big(25, 0xB2);

    // Row 130, column 257: slot 1 * 128 + 2 = 130; the record lands at 65,596.
    ASSERT_EQ(1, handle.SaveTileData(Array(first), 130, 257, 4));
    Bytes expectedIndex = ArcGISIndex();
    PutLE(expectedIndex, 16 + 5 * 130, 65596, 5);
    Bytes expectedData = Concat(ArcGISData(128, 256), Record(first));
    SetCounters(expectedData, 10, 1);
    const Bytes indexOnDisk = ReadFile(index), dataOnDisk = ReadFile(data);
    ASSERT_EQ(81952u, indexOnDisk.size());
    ASSERT_EQ(65596u + 14, dataOnDisk.size());
    EXPECT_EQ(expectedIndex, indexOnDisk);
    EXPECT_EQ(expectedData, dataOnDisk);
    // The block's own rows and columns in the header, read plainly.
    EXPECT_EQ(128u, GetLE32(dataOnDisk, 44));
    EXPECT_EQ(255u, GetLE32(dataOnDisk, 48));
    EXPECT_EQ(256u, GetLE32(dataOnDisk, 52));
    EXPECT_EQ(383u, GetLE32(dataOnDisk, 56));

    // A bigger tile raises the largest; an empty record grows the file but is
    // no tile; a refused save changes nothing.
    ASSERT_EQ(1, handle.SaveTileData(Array(big), 128, 256, 4));   // slot 0 -> 65,610
    ASSERT_EQ(1, handle.SaveTileData(eByteArray(), 129, 256, 4));  // slot 1 -> 65,639
    EXPECT_EQ(0, handle.SaveTileData(Array(first), 128, 256, 4));
    PutLE(expectedIndex, 16 + 5 * 0, 65610, 5);
    PutLE(expectedIndex, 16 + 5 * 1, 65639, 5);
    expectedData = Concat(Concat(expectedData, Record(big)), Record({}));
    SetCounters(expectedData, 25, 2);
    EXPECT_EQ(expectedIndex, ReadFile(index));
    EXPECT_EQ(expectedData, ReadFile(data));

    // Removal: the slot points at its zero length again (60 + 4 x 130 = 580)
    // and one tile fewer is counted; the largest stays. Removing the empty
    // record, which is no tile, writes nothing.
    ASSERT_EQ(1, handle.RemoveTileData(130, 257, 4));
    ASSERT_EQ(1, handle.RemoveTileData(129, 256, 4));
    PutLE(expectedIndex, 16 + 5 * 130, 580, 5);
    SetCounters(expectedData, 25, 1);
    EXPECT_EQ(expectedIndex, ReadFile(index));
    EXPECT_EQ(expectedData, ReadFile(data));
    EXPECT_EQ(0, handle.IsTileStored(130, 257, 4));

    // A fresh handle (reopening the pair from disk) goes on counting.
    eRasterCompact other;
    other.SetSrcPath(tmp.Root().c_str());
    ASSERT_EQ(1, other.SaveTileData(Array(first), 131, 257, 4));
    expectedData = Concat(expectedData, Record(first));
    SetCounters(expectedData, 25, 2);
    EXPECT_EQ(expectedData, ReadFile(data));
}

TEST(ArcGISStructure, ExistingPairsKeepTheirStructure) {
    TempDir tmp;
    const fs::path layers = tmp.Path() / "_alllayers";
    {
        eRasterCompact native;
        native.SetSrcPath(tmp.Root().c_str());
        ASSERT_EQ(1, native.SaveTileData(Array(Payload("own")), 0, 0, 0));
    }
    // An ArcGIS-headed index beside a data file without the data header:
    // there are no counters to keep, so its first bytes must stay.
    const fs::path odd = layers / "L01" / "R0000C0000";
    const Bytes oddData = Bytes(65596, 0x33);
    WriteFile(odd.string() + ".bundlx", ArcGISIndex());
    WriteFile(odd.string() + ".bundle", oddData);

    eRasterCompact handle;
    handle.SetSrcPath(tmp.Root().c_str());
    handle.SetArcGISStructure(true);

    // This system's pair: records from 0, removal writes the 01 pattern.
    const Bytes tile = Payload("more");
    ASSERT_EQ(1, handle.SaveTileData(Array(tile), 1, 0, 0));
    ASSERT_EQ(1, handle.RemoveTileData(0, 0, 0));
    Bytes expectedIndex = NativeIndex();
    PutLE(expectedIndex, 16 + 5 * 1, 7, 5);
    EXPECT_EQ(expectedIndex, ReadFile(layers / "L00" / "R0000C0000.bundlx"));
    EXPECT_EQ(Concat(Record(Payload("own")), Record(tile)),
              ReadFile(layers / "L00" / "R0000C0000.bundle"));

    ASSERT_EQ(1, handle.SaveTileData(Array(tile), 5, 0, 1));
    EXPECT_EQ(Concat(oddData, Record(tile)), ReadFile(odd.string() + ".bundle"));
}
