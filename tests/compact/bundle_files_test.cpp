// The bundle handle against files read back with plain reads: layout of new
// pairs, record placement, names, removal, ArcGIS-structured pairs, corrupt
// and oversized files, and failed writes.
#include <gtest/gtest.h>

#include "bundle_test_util.h"
#include "eRasterCompact.h"

using namespace TVK;
using namespace bundletest;

namespace {

eByteArray Array(const Bytes& b) { return eByteArray(b.data(), static_cast<eInt>(b.size())); }
Bytes ToBytes(const eByteArray& a) { return Bytes(a.GetData(), a.GetData() + a.GetSize()); }
Bytes Concat(Bytes a, const Bytes& b) { a.insert(a.end(), b.begin(), b.end()); return a; }
Bytes LE32(uint32_t v) { Bytes b(4); PutLE(b, 0, v, 4); return b; }
Bytes Five(unsigned char a, unsigned char b, unsigned char c, unsigned char d, unsigned char e) {
    return Bytes{a, b, c, d, e};
}

}  // namespace

TEST(BundleFiles, FirstSavesCreatePairAndAppendRecords) {
    TempDir tmp;
    eRasterCompact handle;
    handle.SetSrcPath(tmp.Root().c_str());
    const Bytes first = Payload("first tile");   // 10 bytes
    const Bytes second = Payload("second");       // 6 bytes

    // Row 300, column 130, level 5: block R0100C0080, slot (130-128)*128 + (300-256) = 300.
    ASSERT_EQ(1, handle.SaveTileData(Array(first), 300, 130, 5));
    const fs::path base = tmp.Path() / "_alllayers" / "L05" / "R0100C0080";
    EXPECT_EQ(base.string() + ".bundle", handle.GetCurFileName().Std());

    Bytes expectedIndex = NativeIndex();
    std::fill(expectedIndex.begin() + 16 + 5 * 300, expectedIndex.begin() + 16 + 5 * 301, 0);
    EXPECT_EQ(expectedIndex, ReadFile(base.string() + ".bundlx"));
    EXPECT_EQ(Concat(LE32(10), first), ReadFile(base.string() + ".bundle"));

    // The second record lands at 4 + 10 = 14 (0x0e).
    ASSERT_EQ(1, handle.SaveTileData(Array(second), 301, 130, 5));
    const Bytes index = ReadFile(base.string() + ".bundlx");
    EXPECT_EQ(81936u, index.size());
    EXPECT_EQ(Five(0x0e, 0, 0, 0, 0), Slot(index, 301));
    EXPECT_EQ(Concat(Concat(LE32(10), first), Concat(LE32(6), second)),
              ReadFile(base.string() + ".bundle"));

    EXPECT_EQ(0, handle.IsTileExist(300, 130, 5, eString()));
    EXPECT_EQ(14, handle.IsTileExist(301, 130, 5, eString()));
    EXPECT_EQ(-1, handle.IsTileExist(302, 130, 5, eString()));
    eByteArray loaded;
    EXPECT_EQ(10, handle.LoadTileData(loaded, 300, 130, 5));
    EXPECT_EQ(first, ToBytes(loaded));
    EXPECT_EQ(6, handle.LoadTileData(loaded, 301, 130, 5));
    EXPECT_EQ(second, ToBytes(loaded));
}

TEST(BundleFiles, NamesAndSlotsFollowBlocksAndLevels) {
    TempDir tmp;
    eRasterCompact handle;
    handle.SetSrcPath(tmp.Root().c_str());
    const Bytes tile = Payload("x");
    const fs::path layers = tmp.Path() / "_alllayers";

    ASSERT_EQ(1, handle.SaveTileData(Array(tile), 70000, 5, 100));
    EXPECT_TRUE(fs::exists(layers / "L100" / "R11100C0000.bundle"));
    EXPECT_TRUE(fs::exists(layers / "L100" / "R11100C0000.bundlx"));

    // Row 127 and row 128 of column 0 lie in different bundles; row 127 is
    // slot 127 and row 0 of column 1 is slot 128 (column-major).
    ASSERT_EQ(1, handle.SaveTileData(Array(tile), 127, 0, 0));
    ASSERT_EQ(1, handle.SaveTileData(Array(tile), 0, 1, 0));
    ASSERT_EQ(1, handle.SaveTileData(Array(tile), 128, 0, 0));
    const Bytes index = ReadFile(layers / "L00" / "R0000C0000.bundlx");
    EXPECT_EQ(Five(0, 0, 0, 0, 0), Slot(index, 127));
    EXPECT_EQ(Five(5, 0, 0, 0, 0), Slot(index, 128));
    EXPECT_EQ(Five(1, 1, 1, 1, 1), Slot(index, 1));
    EXPECT_TRUE(fs::exists(layers / "L00" / "R0080C0000.bundle"));

    // A root without a trailing separator names the same cache, also for
    // creating new bundles.
    eRasterCompact bare;
    bare.SetSrcPath(tmp.Path().string().c_str());
    eByteArray loaded;
    EXPECT_EQ(1, bare.LoadTileData(loaded, 127, 0, 0));
    ASSERT_EQ(1, bare.SaveTileData(Array(tile), 0, 300, 2));
    EXPECT_TRUE(fs::exists(layers / "L02" / "R0000C0100.bundlx"));
    EXPECT_FALSE(fs::exists(tmp.Path().string() + "_alllayers"));

    // A tile in a missing bundle leaves the handle closed.
    EXPECT_EQ(-2, bare.IsTileExist(0, 0, 9, eString()));
    EXPECT_TRUE(bare.GetCurFileName().IsEmpty());
}

TEST(BundleFiles, StoredTileIsKeptAndRemovalFreesItsSlot) {
    TempDir tmp;
    eRasterCompact handle;
    handle.SetSrcPath(tmp.Root().c_str());
    const fs::path base = tmp.Path() / "_alllayers" / "L03" / "R0000C0000";
    const Bytes a = Payload("AAAA"), b = Payload("BBBBBBB");

    ASSERT_EQ(1, handle.SaveTileData(Array(a), 0, 0, 3));  // the record at offset 0
    const Bytes indexBefore = ReadFile(base.string() + ".bundlx");
    const Bytes dataBefore = ReadFile(base.string() + ".bundle");

    // Saving over a stored tile is refused and changes nothing.
    EXPECT_EQ(0, handle.SaveTileData(Array(b), 0, 0, 3));
    EXPECT_EQ(indexBefore, ReadFile(base.string() + ".bundlx"));
    EXPECT_EQ(dataBefore, ReadFile(base.string() + ".bundle"));

    // Removing something never stored writes nothing.
    EXPECT_EQ(1, handle.RemoveTileData(5, 0, 3));
    EXPECT_EQ(indexBefore, ReadFile(base.string() + ".bundlx"));

    // The first record can be removed: its slot gets the empty pattern.
    EXPECT_EQ(1, handle.RemoveTileData(0, 0, 3));
    EXPECT_EQ(Five(1, 1, 1, 1, 1), Slot(ReadFile(base.string() + ".bundlx"), 0));
    EXPECT_EQ(dataBefore, ReadFile(base.string() + ".bundle"));
    EXPECT_EQ(-1, handle.IsTileExist(0, 0, 3, eString()));
    EXPECT_EQ(0, handle.IsTileStored(0, 0, 3));
    eByteArray kept(reinterpret_cast<const unsigned char*>("keep"), 4);
    EXPECT_EQ(0, handle.LoadTileData(kept, 0, 0, 3));
    EXPECT_EQ(Payload("keep"), ToBytes(kept));

    // A new save appends at the end (offset 8) and repoints the slot.
    ASSERT_EQ(1, handle.SaveTileData(Array(b), 0, 0, 3));
    EXPECT_EQ(Five(8, 0, 0, 0, 0), Slot(ReadFile(base.string() + ".bundlx"), 0));
    eByteArray loaded;
    EXPECT_EQ(7, handle.LoadTileData(loaded, 0, 0, 3));
    EXPECT_EQ(b, ToBytes(loaded));
}

TEST(BundleFiles, RefusedAddressesAndEmptyTiles) {
    TempDir tmp;
    eRasterCompact handle;
    const eByteArray tile = Array(Payload("t"));

    // No root at all.
    EXPECT_EQ(-2, handle.IsTileExist(0, 0, 0, eString()));
    EXPECT_EQ(0, handle.SaveTileData(tile, 0, 0, 0));

    handle.SetSrcPath(tmp.Root().c_str());
    eByteArray loaded;
    EXPECT_EQ(-2, handle.IsTileExist(-1, 0, 0, eString()));
    EXPECT_EQ(0, handle.LoadTileData(loaded, 0, -5, 0));
    EXPECT_EQ(0, handle.SaveTileData(tile, -1, 0, 0));
    EXPECT_EQ(0, handle.SaveTileData(tile, 0, 0, -1));
    EXPECT_EQ(1, handle.RemoveTileData(-1, 0, 0));
    EXPECT_FALSE(fs::exists(tmp.Path() / "_alllayers"));

    // An empty tile is a zero-length record: IsTileExist reports its offset,
    // but nothing loads and a later save may take the position.
    ASSERT_EQ(1, handle.SaveTileData(eByteArray(), 4, 4, 1));
    EXPECT_EQ(0, handle.IsTileExist(4, 4, 1, eString()));
    EXPECT_EQ(0, handle.IsTileStored(4, 4, 1));
    EXPECT_EQ(0, handle.LoadTileData(loaded, 4, 4, 1));
    ASSERT_EQ(1, handle.SaveTileData(tile, 4, 4, 1));
    EXPECT_EQ(4, handle.IsTileExist(4, 4, 1, eString()));
    EXPECT_EQ(1, handle.LoadTileData(loaded, 4, 4, 1));
}

TEST(BundleFiles, CreationNeverTouchesALoneFile) {
    TempDir tmp;
    eRasterCompact handle;
    handle.SetSrcPath(tmp.Root().c_str());
    const fs::path base = tmp.Path() / "_alllayers" / "L01" / "R0000C0000";
    const Bytes lone = Payload("not an index, but someone's bytes");

    WriteFile(base.string() + ".bundlx", lone);
    EXPECT_EQ(0, handle.SaveTileData(Array(Payload("t")), 1, 1, 1));
    EXPECT_EQ(lone, ReadFile(base.string() + ".bundlx"));
    EXPECT_FALSE(fs::exists(base.string() + ".bundle"));

    fs::remove(base.string() + ".bundlx");
    WriteFile(base.string() + ".bundle", lone);
    EXPECT_EQ(0, handle.SaveTileData(Array(Payload("t")), 1, 1, 1));
    EXPECT_EQ(lone, ReadFile(base.string() + ".bundle"));
    EXPECT_FALSE(fs::exists(base.string() + ".bundlx"));

    // An index too short for its slots is no usable pair either.
    WriteFile(base.string() + ".bundlx", Bytes(100, 1));
    EXPECT_EQ(-2, handle.IsTileExist(1, 1, 1, eString()));
    EXPECT_EQ(0, handle.SaveTileData(Array(Payload("t")), 1, 1, 1));
    EXPECT_EQ(Bytes(100, 1), ReadFile(base.string() + ".bundlx"));
    EXPECT_EQ(lone, ReadFile(base.string() + ".bundle"));
}

TEST(BundleFiles, CorruptSlotsAndRecordsAreNoTiles) {
    TempDir tmp;
    const fs::path base = tmp.Path() / "_alllayers" / "L00" / "R0000C0000";
    Bytes index = NativeIndex();
    PutLE(index, 16 + 5 * 0, 0, 5);            // record at 0 announces 1000 bytes, file has 14
    PutLE(index, 16 + 5 * 1, 0x0001010101, 5);  // 01 01 01 01 00 is an offset, not empty
    PutLE(index, 16 + 5 * 2, 0x80000000, 5);    // bit 31 set: negative
    PutLE(index, 16 + 5 * 3, 12, 5);            // length field cut short by the end of file
    WriteFile(base.string() + ".bundlx", index);
    const Bytes data = Concat(LE32(1000), Payload("0123456789"));
    WriteFile(base.string() + ".bundle", data);

    eRasterCompact handle;
    handle.SetSrcPath(tmp.Root().c_str());
    EXPECT_EQ(16843009, handle.IsTileExist(1, 0, 0, eString()));
    EXPECT_LT(handle.IsTileExist(2, 0, 0, eString()), 0);
    eByteArray kept(reinterpret_cast<const unsigned char*>("keep"), 4);
    for (int row = 0; row < 4; ++row) {
        EXPECT_EQ(0, handle.LoadTileData(kept, row, 0, 0)) << row;
        EXPECT_EQ(0, handle.IsTileStored(row, 0, 0)) << row;
    }
    EXPECT_EQ(Payload("keep"), ToBytes(kept));

    // None of them is a stored tile, so a save takes the position; the new
    // record goes to the end of the file (offset 14).
    ASSERT_EQ(1, handle.SaveTileData(Array(Payload("ok")), 0, 0, 0));
    EXPECT_EQ(Five(14, 0, 0, 0, 0), Slot(ReadFile(base.string() + ".bundlx"), 0));
    EXPECT_EQ(2, handle.LoadTileData(kept, 0, 0, 0));
}

TEST(BundleFiles, NoRecordStartsAtTwoGiB) {
    TempDir tmp;
    eRasterCompact handle;
    handle.SetSrcPath(tmp.Root().c_str());
    const fs::path base = tmp.Path() / "_alllayers" / "L00" / "R0000C0000";
    ASSERT_EQ(1, handle.SaveTileData(Array(Payload("a")), 0, 0, 0));

    // Sparse: no disk space is used for the hole.
    const uintmax_t justBelow = (uintmax_t(1) << 31) - 8;
    fs::resize_file(base.string() + ".bundle", justBelow);
    ASSERT_EQ(1, handle.SaveTileData(Array(Payload("bbbb")), 1, 0, 0));
    EXPECT_EQ(Five(0xf8, 0xff, 0xff, 0x7f, 0), Slot(ReadFile(base.string() + ".bundlx"), 1));
    eByteArray loaded;
    EXPECT_EQ(4, handle.LoadTileData(loaded, 1, 0, 0));
    EXPECT_EQ(Payload("bbbb"), ToBytes(loaded));

    // The data file now ends exactly at 2^31: the next record cannot start there.
    ASSERT_EQ(uintmax_t(1) << 31, fs::file_size(base.string() + ".bundle"));
    const Bytes indexBefore = ReadFile(base.string() + ".bundlx");
    EXPECT_EQ(0, handle.SaveTileData(Array(Payload("c")), 2, 0, 0));
    EXPECT_EQ(indexBefore, ReadFile(base.string() + ".bundlx"));
    EXPECT_EQ(uintmax_t(1) << 31, fs::file_size(base.string() + ".bundle"));
}

TEST(BundleFiles, FailedWritesAreFailures) {
    TempDir tmp;
    eRasterCompact handle;
    handle.SetSrcPath(tmp.Root().c_str());
    const fs::path base = tmp.Path() / "_alllayers" / "L00" / "R0000C0000";

    // A data file on which every write fails (the full device).
    if (fs::exists("/dev/full")) {
        WriteFile(base.string() + ".bundlx", NativeIndex());
        fs::create_symlink("/dev/full", base.string() + ".bundle");
        EXPECT_EQ(0, handle.SaveTileData(Array(Payload("lost")), 0, 0, 0));
        EXPECT_EQ(NativeIndex(), ReadFile(base.string() + ".bundlx"));
        handle.Close();
        fs::remove_all(tmp.Path() / "_alllayers");
    }

    // A level directory that cannot be made: "_alllayers" is a file.
    WriteFile(tmp.Path() / "_alllayers", Payload("in the way"));
    EXPECT_EQ(0, handle.SaveTileData(Array(Payload("t")), 0, 0, 0));
    EXPECT_EQ(Payload("in the way"), ReadFile(tmp.Path() / "_alllayers"));
}

TEST(ArcGISBundle, EmptyPositionsPointAtZeroLengthRecords) {
    TempDir tmp;
    const fs::path base = tmp.Path() / "_alllayers" / "L04" / "R0080C0100";
    Bytes index = ArcGISIndex();
    Bytes data = ArcGISData(128, 256);
    // One tile made by "ArcGIS": row 130, column 257 -> slot 1*128 + 2 = 130,
    // its record at 65,596, just after the zero lengths.
    const Bytes stored = Payload("arcgis tile bytes");
    data = Concat(data, Concat(LE32(static_cast<uint32_t>(stored.size())), stored));
    PutLE(data, 8, 17, 4);            // largest tile
    PutLE(data, 16, 4, 8);            // 4 x one tile
    PutLE(data, 24, data.size(), 8);  // 65,617
    PutLE(index, 16 + 5 * 130, 65596, 5);
    WriteFile(base.string() + ".bundlx", index);
    WriteFile(base.string() + ".bundle", data);

    eRasterCompact handle;
    handle.SetSrcPath(tmp.Root().c_str());
    // Slot 0 (row 128, column 256) is empty: its offset is 60 + 4 * 0.
    EXPECT_EQ(60, handle.IsTileExist(128, 256, 4, eString()));
    EXPECT_EQ(60 + 4 * 131, handle.IsTileExist(131, 257, 4, eString()));
    EXPECT_EQ(0, handle.IsTileStored(128, 256, 4));
    EXPECT_EQ(1, handle.IsTileStored(130, 257, 4));
    eByteArray loaded;
    EXPECT_EQ(0, handle.LoadTileData(loaded, 128, 256, 4));
    EXPECT_EQ(static_cast<int64_t>(stored.size()), handle.LoadTileData(loaded, 130, 257, 4));
    EXPECT_EQ(stored, ToBytes(loaded));
    EXPECT_EQ(0, handle.SaveTileData(Array(Payload("no")), 130, 257, 4));

    // Saving into an empty position appends at the end and repoints the slot.
    const Bytes added = Payload("new");
    const uint32_t end = static_cast<uint32_t>(data.size());  // 65,596 + 4 + 17
    ASSERT_EQ(1, handle.SaveTileData(Array(added), 128, 256, 4));
    Bytes indexNow = ReadFile(base.string() + ".bundlx");
    EXPECT_EQ(Five(end & 0xff, end >> 8, 1, 0, 0), Slot(indexNow, 0));
    // The data header counts two tiles now, the largest still 17 bytes, and
    // the file's size is 65,617 + 7.
    Bytes expectedData = Concat(data, Concat(LE32(3), added));
    PutLE(expectedData, 16, 8, 8);
    PutLE(expectedData, 24, 65624, 8);
    EXPECT_EQ(expectedData, ReadFile(base.string() + ".bundle"));
    EXPECT_EQ(3, handle.LoadTileData(loaded, 128, 256, 4));

    // Removal restores ArcGIS's empty slot, 60 + 4 * slot, and keeps the trailer.
    ASSERT_EQ(1, handle.RemoveTileData(130, 257, 4));
    indexNow = ReadFile(base.string() + ".bundlx");
    ASSERT_EQ(81952u, indexNow.size());
    EXPECT_EQ(Five((60 + 4 * 130) & 0xff, (60 + 4 * 130) >> 8, 0, 0, 0), Slot(indexNow, 130));
    EXPECT_EQ(Bytes(index.end() - 16, index.end()), Bytes(indexNow.end() - 16, indexNow.end()));
    EXPECT_EQ(Bytes(index.begin(), index.begin() + 16), Bytes(indexNow.begin(), indexNow.begin() + 16));
    EXPECT_EQ(0, handle.IsTileStored(130, 257, 4));
    PutLE(expectedData, 16, 4, 8);
    EXPECT_EQ(expectedData, ReadFile(base.string() + ".bundle"));
}

TEST(BundleHandle, CopyTakesRootButNoOpenFile) {
    TempDir tmp;
    eRasterCompact original;
    original.SetSrcPath(tmp.Root().c_str());
    ASSERT_EQ(1, original.SaveTileData(Array(Payload("t")), 0, 0, 0));
    ASSERT_FALSE(original.GetCurFileName().IsEmpty());

    eByteArray loaded;
    {
        eRasterCompact copy(original);
        EXPECT_TRUE(copy.GetCurFileName().IsEmpty());
        EXPECT_EQ(original.GetSrcPath(), copy.GetSrcPath());
        EXPECT_EQ(1, copy.LoadTileData(loaded, 0, 0, 0));

        eRasterCompact assigned;
        ASSERT_EQ(1, assigned.IsCompactExist(0, 0, 0, tmp.Root().c_str()));
        assigned = original;
        EXPECT_TRUE(assigned.GetCurFileName().IsEmpty());
        EXPECT_EQ(1, assigned.LoadTileData(loaded, 0, 0, 0));
    }
    // The copies closed only their own descriptors.
    EXPECT_EQ(1, original.LoadTileData(loaded, 0, 0, 0));
    EXPECT_EQ(1, original.SaveTileData(Array(Payload("u")), 1, 0, 0));
}
