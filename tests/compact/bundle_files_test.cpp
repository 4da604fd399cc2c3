// V1 bundle pairs through the handle, against files built and read back with
// plain file operations: this system's own pairs, ArcGIS-structured ones,
// corrupt and oversized files, failed writes, copies of a handle.
#include <gtest/gtest.h>

#include "eRasterCompact.h"
#include "support/test_files.h"

using namespace TVK;
using namespace tvktest;

namespace {

Bytes Slot(const Bytes& index, int i) {
    return Bytes(index.begin() + 16 + 5 * i, index.begin() + 21 + 5 * i);
}
Bytes Five(uint64_t offset) {
    Bytes b(5);
    PutLE(b, 0, offset, 5);
    return b;
}
// The counters of an ArcGIS data header: largest tile, 4 x tiles, file size.
void SetCounters(Bytes& data, uint32_t maxTile, uint64_t tiles) {
    PutLE(data, 8, maxTile, 4);
    PutLE(data, 16, 4 * tiles, 8);
    PutLE(data, 24, data.size(), 8);
}

}  // namespace

TEST(BundleFiles, NewPairsNamesSlotsAndRecords) {
    TempDir tmp;
    eRasterCompact handle;
    handle.SetSrcPath(tmp.Root().c_str());
    const Bytes first = Text("first tile"), second = Text("second");
    const fs::path layers = tmp.Path() / "_alllayers", base = layers / "L05" / "R0100C0080";

    // Row 300, column 130, level 5: block R0100C0080, slot (130-128)*128 + (300-256) = 300.
    ASSERT_EQ(1, handle.SaveTileData(ToArray(first), 300, 130, 5));
    // The second record lands at 4 + 10 = 14.
    ASSERT_EQ(1, handle.SaveTileData(ToArray(second), 301, 130, 5));
    Bytes index = NativeIndex();
    PutLE(index, 16 + 5 * 300, 0, 5);
    PutLE(index, 16 + 5 * 301, 14, 5);
    EXPECT_EQ(index, ReadFile(base.string() + ".bundlx"));
    EXPECT_EQ(Concat(Record(first), Record(second)), ReadFile(base.string() + ".bundle"));
    eByteArray loaded;
    EXPECT_EQ(6, handle.LoadTileData(loaded, 301, 130, 5));
    EXPECT_EQ(second, ToBytes(loaded));

    // Five hex digits and three-digit levels; rows 127 and 128 lie in different
    // bundles; slots are column-major (row 0 of column 1 is slot 128).
    ASSERT_EQ(1, handle.SaveTileData(ToArray(first), 70000, 5, 100));
    EXPECT_TRUE(fs::exists(layers / "L100" / "R11100C0000.bundlx"));
    ASSERT_EQ(1, handle.SaveTileData(ToArray(first), 127, 0, 0));
    ASSERT_EQ(1, handle.SaveTileData(ToArray(first), 0, 1, 0));
    ASSERT_EQ(1, handle.SaveTileData(ToArray(first), 128, 0, 0));
    index = ReadFile(layers / "L00" / "R0000C0000.bundlx");
    EXPECT_EQ(Five(0), Slot(index, 127));
    EXPECT_EQ(Five(14), Slot(index, 128));
    EXPECT_EQ(Bytes(5, 1), Slot(index, 1));
    EXPECT_TRUE(fs::exists(layers / "L00" / "R0080C0000.bundle"));

    // A root without a trailing separator names the same cache, also for new bundles.
    eRasterCompact bare;
    bare.SetSrcPath(tmp.Str().c_str());
    EXPECT_EQ(10, bare.LoadTileData(loaded, 127, 0, 0));
    ASSERT_EQ(1, bare.SaveTileData(ToArray(first), 0, 300, 2));
    EXPECT_TRUE(fs::exists(layers / "L02" / "R0000C0100.bundlx"));
    EXPECT_FALSE(fs::exists(tmp.Str() + "_alllayers"));
}

TEST(BundleFiles, StoredTilesAreKeptRemovalEmptiesTheSlot) {
    TempDir tmp;
    eRasterCompact handle;
    const eByteArray t = ToArray(Text("t"));
    eByteArray kept = ToArray(Text("keep"));
    EXPECT_EQ(0, handle.SaveTileData(t, 0, 0, 0));  // no root
    // Refused addresses write nothing: negative row, column or level.
    handle.SetSrcPath(tmp.Root().c_str());
    EXPECT_EQ(-2, handle.IsTileExist(-1, 0, 0, eString()));
    EXPECT_EQ(0, handle.SaveTileData(t, -1, 0, 0));
    EXPECT_EQ(0, handle.SaveTileData(t, 0, -1, 0));
    EXPECT_EQ(0, handle.SaveTileData(t, 0, 0, -1));
    EXPECT_EQ(1, handle.RemoveTileData(-1, 0, 0));
    EXPECT_FALSE(fs::exists(tmp.Path() / "_alllayers"));

    const fs::path base = tmp.Path() / "_alllayers" / "L03" / "R0000C0000";
    const Bytes a = Text("AAAA"), b = Text("BBBBBBB");
    ASSERT_EQ(1, handle.SaveTileData(ToArray(a), 0, 0, 3));  // the record at offset 0
    const Bytes indexBefore = ReadFile(base.string() + ".bundlx"),
                dataBefore = ReadFile(base.string() + ".bundle");
    EXPECT_EQ(0, handle.SaveTileData(ToArray(b), 0, 0, 3));  // a stored tile is kept
    EXPECT_EQ(1, handle.RemoveTileData(5, 0, 3));            // nothing stored: nothing written
    EXPECT_EQ(indexBefore, ReadFile(base.string() + ".bundlx"));
    EXPECT_EQ(dataBefore, ReadFile(base.string() + ".bundle"));

    // The first record can be removed: its slot gets the empty pattern.
    EXPECT_EQ(1, handle.RemoveTileData(0, 0, 3));
    EXPECT_EQ(Bytes(5, 1), Slot(ReadFile(base.string() + ".bundlx"), 0));
    EXPECT_EQ(dataBefore, ReadFile(base.string() + ".bundle"));
    EXPECT_EQ(-1, handle.IsTileExist(0, 0, 3, eString()));
    EXPECT_EQ(0, handle.LoadTileData(kept, 0, 0, 3));
    EXPECT_EQ(Text("keep"), ToBytes(kept));
    // A new save appends (offset 8) and repoints the slot.
    ASSERT_EQ(1, handle.SaveTileData(ToArray(b), 0, 0, 3));
    EXPECT_EQ(Five(8), Slot(ReadFile(base.string() + ".bundlx"), 0));

    // An empty tile is a zero-length record: an offset, but no stored tile,
    // so a later save may take the position.
    ASSERT_EQ(1, handle.SaveTileData(eByteArray(), 4, 4, 1));
    EXPECT_EQ(0, handle.IsTileExist(4, 4, 1, eString()));
    EXPECT_EQ(0, handle.IsTileStored(4, 4, 1));
    ASSERT_EQ(1, handle.SaveTileData(t, 4, 4, 1));
    EXPECT_EQ(1, handle.LoadTileData(kept, 4, 4, 1));
}

TEST(BundleFiles, FilesInTheWayAndFailedWritesChangeNothing) {
    TempDir tmp;
    eRasterCompact handle;
    handle.SetSrcPath(tmp.Root().c_str());
    const std::string base = (tmp.Path() / "_alllayers" / "L01" / "R0000C0000").string();
    const Bytes lone = Text("not an index, but someone's bytes");
    for (const std::string ext : {".bundlx", ".bundle"}) {
        const std::string other = ext == ".bundlx" ? ".bundle" : ".bundlx";
        fs::remove(base + other);
        WriteFile(base + ext, lone);
        EXPECT_EQ(0, handle.SaveTileData(ToArray(Text("t")), 1, 1, 1)) << ext;
        EXPECT_EQ(lone, ReadFile(base + ext));
        EXPECT_FALSE(fs::exists(base + other)) << ext;
    }
    // An index too short for its slots is no usable pair either.
    WriteFile(base + ".bundlx", Bytes(100, 1));
    EXPECT_EQ(-2, handle.IsTileExist(1, 1, 1, eString()));
    EXPECT_EQ(0, handle.SaveTileData(ToArray(Text("t")), 1, 1, 1));
    EXPECT_EQ(Bytes(100, 1), ReadFile(base + ".bundlx"));
    EXPECT_EQ(lone, ReadFile(base + ".bundle"));

    const std::string base0 = (tmp.Path() / "_alllayers" / "L00" / "R0000C0000").string();
    if (fs::exists("/dev/full")) {  // a data file on which every write fails
        WriteFile(base0 + ".bundlx", NativeIndex());
        fs::create_symlink("/dev/full", base0 + ".bundle");
        EXPECT_EQ(0, handle.SaveTileData(ToArray(Text("lost")), 0, 0, 0));
        EXPECT_EQ(NativeIndex(), ReadFile(base0 + ".bundlx"));
    }
    handle.Close();
    fs::remove_all(tmp.Path() / "_alllayers");
    // A level directory that cannot be made: "_alllayers" is a file.
    WriteFile(tmp.Path() / "_alllayers", Text("in the way"));
    EXPECT_EQ(0, handle.SaveTileData(ToArray(Text("t")), 0, 0, 0));
    EXPECT_EQ(Text("in the way"), ReadFile(tmp.Path() / "_alllayers"));
}

TEST(BundleFiles, CorruptSlotsAndRecordsAreNoTiles) {
    TempDir tmp;
    const std::string base = (tmp.Path() / "_alllayers" / "L00" / "R0000C0000").string();
    Bytes index = NativeIndex();
    PutLE(index, 16 + 5 * 0, 0, 5);             // record at 0 announces 1000 bytes, file has 14
    PutLE(index, 16 + 5 * 1, 0x0001010101, 5);  // 01 01 01 01 00 is an offset, not empty
    PutLE(index, 16 + 5 * 2, 0x80000000, 5);    // bit 31 set: negative
    PutLE(index, 16 + 5 * 3, 12, 5);            // length field cut short by the end of file
    WriteFile(base + ".bundlx", index);
    WriteFile(base + ".bundle", Concat({0xE8, 0x03, 0, 0}, Text("0123456789")));  // 1000 announced

    eRasterCompact handle;
    handle.SetSrcPath(tmp.Root().c_str());
    EXPECT_EQ(0x01010101, handle.IsTileExist(1, 0, 0, eString()));
    EXPECT_LT(handle.IsTileExist(2, 0, 0, eString()), 0);
    eByteArray kept = ToArray(Text("keep"));
    for (int row = 0; row < 4; ++row) {
        EXPECT_EQ(0, handle.LoadTileData(kept, row, 0, 0)) << row;
        EXPECT_EQ(0, handle.IsTileStored(row, 0, 0)) << row;
    }
    EXPECT_EQ(Text("keep"), ToBytes(kept));
    // None is a stored tile, so a save takes the position, at the end (14).
    ASSERT_EQ(1, handle.SaveTileData(ToArray(Text("ok")), 0, 0, 0));
    EXPECT_EQ(Five(14), Slot(ReadFile(base + ".bundlx"), 0));
    EXPECT_EQ(2, handle.LoadTileData(kept, 0, 0, 0));
}

TEST(BundleFiles, NoRecordStartsAtTwoGiB) {
    TempDir tmp;
    eRasterCompact handle;
    handle.SetSrcPath(tmp.Root().c_str());
    const std::string base = (tmp.Path() / "_alllayers" / "L00" / "R0000C0000").string();
    ASSERT_EQ(1, handle.SaveTileData(ToArray(Text("a")), 0, 0, 0));
    fs::resize_file(base + ".bundle", (uintmax_t(1) << 31) - 8);  // sparse: the hole takes no space
    ASSERT_EQ(1, handle.SaveTileData(ToArray(Text("bbbb")), 1, 0, 0));
    EXPECT_EQ(Five(0x7ffffff8), Slot(ReadFile(base + ".bundlx"), 1));
    // The data file now ends exactly at 2^31: the next record cannot start there.
    ASSERT_EQ(uintmax_t(1) << 31, fs::file_size(base + ".bundle"));
    const Bytes indexBefore = ReadFile(base + ".bundlx");
    EXPECT_EQ(0, handle.SaveTileData(ToArray(Text("c")), 2, 0, 0));
    EXPECT_EQ(indexBefore, ReadFile(base + ".bundlx"));
    EXPECT_EQ(uintmax_t(1) << 31, fs::file_size(base + ".bundle"));
}

TEST(ArcGISBundle, ExistingArcGISPairKeepsItsStructureAndCounters) {
    TempDir tmp;
    // A pair made by "ArcGIS": one tile at row 130, column 257 -> slot 1*128 + 2
    // = 130, its record at 65,596, just after the zero lengths.
    const std::string base = (tmp.Path() / "_alllayers" / "L04" / "R0080C0100").string();
    const Bytes stored = Text("arcgis tile bytes"), added = Text("new");
    Bytes index = ArcGISIndex(), data = Concat(ArcGISData(128, 256), Record(stored));
    SetCounters(data, 17, 1);
    PutLE(index, 16 + 5 * 130, 65596, 5);
    WriteFile(base + ".bundlx", index);
    WriteFile(base + ".bundle", data);

    eRasterCompact handle;
    handle.SetSrcPath(tmp.Root().c_str());
    EXPECT_EQ(60 + 4 * 131, handle.IsTileExist(131, 257, 4, eString()));  // empty: 60 + 4 x slot
    EXPECT_EQ(0, handle.IsTileStored(128, 256, 4));
    eByteArray loaded;
    EXPECT_EQ(0, handle.LoadTileData(loaded, 128, 256, 4));
    EXPECT_EQ(17, handle.LoadTileData(loaded, 130, 257, 4));
    EXPECT_EQ(stored, ToBytes(loaded));
    EXPECT_EQ(0, handle.SaveTileData(ToArray(added), 130, 257, 4));
    // Saving into an empty position appends and counts; removal writes
    // 60 + 4 x 130 = 580, counts one fewer, keeps header, trailer and largest.
    ASSERT_EQ(1, handle.SaveTileData(ToArray(added), 128, 256, 4));
    ASSERT_EQ(1, handle.RemoveTileData(130, 257, 4));
    PutLE(index, 16 + 5 * 0, data.size(), 5);
    PutLE(index, 16 + 5 * 130, 580, 5);
    data = Concat(data, Record(added));
    SetCounters(data, 17, 1);
    EXPECT_EQ(index, ReadFile(base + ".bundlx"));
    EXPECT_EQ(data, ReadFile(base + ".bundle"));
}

TEST(BundleHandle, CopyTakesRootButNoOpenFile) {
    TempDir tmp;
    eRasterCompact original;
    original.SetSrcPath(tmp.Root().c_str());
    ASSERT_EQ(1, original.SaveTileData(ToArray(Text("t")), 0, 0, 0));
    eByteArray loaded;
    {
        eRasterCompact copy(original), assigned;
        ASSERT_EQ(1, assigned.IsCompactExist(0, 0, 0, tmp.Root().c_str()));
        assigned = original;
        for (eRasterCompact* h : {&copy, &assigned}) {
            EXPECT_TRUE(h->GetCurFileName().IsEmpty());
            EXPECT_EQ(1, h->LoadTileData(loaded, 0, 0, 0));
        }
    }
    // The copies closed only their own descriptors.
    EXPECT_EQ(1, original.LoadTileData(loaded, 0, 0, 0));
    EXPECT_EQ(1, original.SaveTileData(ToArray(Text("u")), 1, 0, 0));
}
