// V2 bundles through the handle, against files built and read back with plain
// file operations: a bundle made byte by byte, new bundles, damaged entries
// and files, failed writes, the 40-bit limit.
#include <gtest/gtest.h>

#include <climits>
#include <csignal>

#include <sys/resource.h>

#include "eRasterCompact.h"
#include "support/test_files.h"

using namespace TVK;
using namespace tvktest;

namespace {

struct V2Handle : eRasterCompact {
    explicit V2Handle(const TempDir& tmp) {
        SetSrcPath(tmp.Root().c_str());
        SetBundleFormat(BundleV2);
    }
};

}  // namespace

TEST(BundleV2Files, NewBundleHeaderEntriesAndRecords) {
    TempDir tmp;
    V2Handle handle(tmp);
    const fs::path base = tmp.Path() / "_alllayers" / "L05" / "R0100C0080";
    const fs::path file = base.string() + ".bundle";
    const Bytes first = Text("first tile"), big = Bytes(25, 0xB1), small = Text("abc");

    // Row 300, column 130: entry (300 - 256) * 128 + (130 - 128) = 5634, at
    // 64 + 8 x 5634; the record after the 131,136 bytes of header and index.
    ASSERT_EQ(1, handle.SaveTileData(ToArray(first), 300, 130, 5));
    EXPECT_FALSE(fs::exists(base.string() + ".bundlx"));
    const Bytes onDisk = ReadFile(file);
    EXPECT_EQ((uint64_t(10) << 40) | 131140u, GetLE(onDisk, 64 + 8 * 5634, 8));
    Bytes expected = V2Bundle();
    V2Append(expected, 300, 130, first);
    EXPECT_EQ(expected, onDisk);

    // Further saves: the largest tile only grows, the size follows the file.
    ASSERT_EQ(1, handle.SaveTileData(ToArray(big), 301, 130, 5));
    ASSERT_EQ(1, handle.SaveTileData(ToArray(small), 256, 128, 5));
    V2Append(expected, 301, 130, big);
    V2Append(expected, 256, 128, small);
    // A stored tile is kept; empty and oversized tiles are refused.
    EXPECT_EQ(0, handle.SaveTileData(ToArray(Text("again")), 300, 130, 5));
    EXPECT_EQ(0, handle.SaveTileData(eByteArray(), 0, 0, 5));
    EXPECT_EQ(0, handle.SaveTileData(ToArray(Bytes(size_t(1) << 24, 7)), 0, 0, 5));
    EXPECT_EQ(expected, ReadFile(file));

    // Removal zeroes the entry and nothing else; again writes nothing; a new save appends.
    ASSERT_EQ(1, handle.RemoveTileData(301, 130, 5));
    ASSERT_EQ(1, handle.RemoveTileData(301, 130, 5));
    PutLE(expected, V2EntryAt(301, 130), 0, 8);
    EXPECT_EQ(expected, ReadFile(file));
    EXPECT_EQ(-1, handle.IsTileExist(301, 130, 5, eString()));
    ASSERT_EQ(1, handle.SaveTileData(ToArray(small), 301, 130, 5));
    V2Append(expected, 301, 130, small);
    EXPECT_EQ(expected, ReadFile(file));
}

TEST(BundleV2Files, ReadsABuiltBundleWhoseDamagedEntriesAreNoTiles) {
    TempDir tmp;
    const fs::path file = tmp.Path() / "_alllayers" / "L00" / "R0000C0000.bundle";
    Bytes bytes = V2Bundle();
    const Bytes good = Text("good");
    V2Append(bytes, 1, 0,
             good);  // entry 128, its bytes at 131,140; column-major order would call it slot 1
    V2Append(bytes, 0, 5, Text("cut short"));
    bytes.resize(bytes.size() - 3);                                             // truncated record
    PutLE(bytes, V2EntryAt(0, 2), uint64_t(10) << 40 | (bytes.size() - 4), 8);  // runs past the end
    PutLE(bytes, V2EntryAt(0, 3), uint64_t(4) << 40 | 100, 8);                  // inside the index
    PutLE(bytes, V2EntryAt(0, 4), uint64_t(1) << 40 | ((uint64_t(1) << 40) - 1), 8);  // far past
    PutLE(bytes, V2EntryAt(0, 6), 131140, 8);  // an offset but size 0
    PutLE(bytes, 131136, 99, 4);  // the good record's own length is wrong: the entry decides
    WriteFile(file, bytes);

    V2Handle handle(tmp);
    EXPECT_EQ(131140, handle.IsTileExist(1, 0, 0, eString()));
    eByteArray kept = ToArray(Text("keep"));
    for (int col = 1; col <= 6; ++col) {
        // The swapped position and the size-0 entry have no entry at all.
        EXPECT_EQ(col == 1 || col == 6, handle.IsTileExist(0, col, 0, eString()) == -1) << col;
        EXPECT_EQ(0, handle.IsTileStored(0, col, 0)) << col;
        EXPECT_EQ(0, handle.LoadTileData(kept, 0, col, 0)) << col;
    }
    EXPECT_EQ(Text("keep"), ToBytes(kept));
    EXPECT_EQ(4, handle.LoadTileData(kept, 1, 0, 0));
    EXPECT_EQ(good, ToBytes(kept));
    // None is stored: removing writes nothing; a save takes the position,
    // appending at the (truncated) end and correcting the file-size field.
    EXPECT_EQ(1, handle.RemoveTileData(0, 2, 0));
    EXPECT_EQ(bytes, ReadFile(file));
    ASSERT_EQ(1, handle.SaveTileData(ToArray(Text("ok")), 0, 5, 0));
    V2Append(bytes, 0, 5, Text("ok"));
    EXPECT_EQ(bytes, ReadFile(file));

    // Files that are no V2 bundle (too short, another version) are neither
    // read nor written, nor replaced.
    Bytes otherVersion = V2Bundle();
    PutLE(otherVersion, 0, 2, 4);
    const Bytes bad[2] = {Bytes(131135, 0), otherVersion};
    for (int level : {1, 2}) {
        const fs::path path =
            tmp.Path() / "_alllayers" / ("L0" + std::to_string(level)) / "R0000C0000.bundle";
        WriteFile(path, bad[level - 1]);
        EXPECT_EQ(-2, handle.IsTileExist(0, 0, level, eString())) << level;
        EXPECT_EQ(0, handle.SaveTileData(ToArray(Text("t")), 0, 0, level)) << level;
        EXPECT_EQ(bad[level - 1], ReadFile(path));
    }
}

TEST(BundleV2Files, UnusualHeaderFieldsOfOtherWritersAreReadAndKept) {
    // As other writers leave them: 0 records, an unrelated value where the
    // largest record would be, 0 in the second legacy field.
    TempDir tmp;
    const fs::path file = tmp.Path() / "_alllayers" / "L03" / "R0000C0000.bundle";
    Bytes bytes = V2Bundle();
    PutLE(bytes, 4, 0, 4);
    PutLE(bytes, 48, 0, 4);
    V2Append(bytes, 2, 3, Text("theirs"));
    PutLE(bytes, 8, 5, 4);  // less than the tiles: V2Append keeps it current, theirs does not
    WriteFile(file, bytes);

    V2Handle handle(tmp);
    eByteArray loaded;
    EXPECT_EQ(6, handle.LoadTileData(loaded, 2, 3, 3));
    EXPECT_EQ(Text("theirs"), ToBytes(loaded));
    // A new tile changes only the file size of their header.
    ASSERT_EQ(1, handle.SaveTileData(ToArray(Text("ours, longer")), 0, 0, 3));
    V2Append(bytes, 0, 0, Text("ours, longer"));
    PutLE(bytes, 8, 5, 4);
    EXPECT_EQ(bytes, ReadFile(file));
}

TEST(BundleV2Files, FailedWritesLeaveEntriesAndFilesAlone) {
    TempDir tmp;
    const fs::path file = tmp.Path() / "_alllayers" / "L00" / "R0000C0000.bundle";
    Bytes bytes = V2Bundle();
    V2Append(bytes, 0, 0, Text("kept"));
    WriteFile(file, bytes);
    // Under a 100,000-byte file-size limit, the existing bundle already ends
    // past it, and a new bundle's 131,136 bytes do not fit.
    const int result = RunInChild([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{100000, 100000};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 64;
        V2Handle handle(tmp);
        eByteArray loaded;
        return (handle.SaveTileData(ToArray(Text("lost")), 1, 1, 0) != 0 ? 1 : 0) |
               (handle.SaveTileData(ToArray(Text("new")), 0, 0, 1) != 0 ? 2 : 0) |
               (handle.LoadTileData(loaded, 0, 0, 0) != 4 ? 4 : 0);
    });
    EXPECT_EQ(0, result);
    EXPECT_EQ(bytes, ReadFile(file));
    EXPECT_FALSE(fs::exists(tmp.Path() / "_alllayers" / "L01" / "R0000C0000.bundle"));
}

TEST(BundleV2Files, OffsetsUpToTheFortyBitLimit) {
    TempDir tmp;
    V2Handle handle(tmp);
    const fs::path file = tmp.Path() / "_alllayers" / "L00" / "R0000C0000.bundle";
    ASSERT_EQ(1, handle.SaveTileData(ToArray(Text("a")), 0, 0, 0));
    const uint64_t limit = uint64_t(1) << 40;
    std::error_code ec;
    fs::resize_file(file, limit - 8, ec);  // sparse, where the file system allows it
    if (ec) GTEST_SKIP() << "no 1 TiB sparse file here: " << ec.message();

    // The record's length at 2^40 - 8, the bytes at 2^40 - 4, ending at 2^40.
    ASSERT_EQ(1, handle.SaveTileData(ToArray(Text("bbbb")), 1, 0, 0));
    EXPECT_EQ(Bytes({0xfc, 0xff, 0xff, 0xff, 0xff, 4, 0, 0}), ReadRange(file, V2EntryAt(1, 0), 8));
    EXPECT_EQ(INT_MAX, handle.IsTileExist(1, 0, 0, eString()));
    eByteArray loaded;
    EXPECT_EQ(4, handle.LoadTileData(loaded, 1, 0, 0));
    EXPECT_EQ(limit, GetLE(ReadRange(file, 24, 8), 0, 8));
    // Nothing more fits.
    EXPECT_EQ(0, handle.SaveTileData(ToArray(Text("c")), 2, 0, 0));
    EXPECT_EQ(Bytes(8, 0), ReadRange(file, V2EntryAt(2, 0), 8));
    EXPECT_EQ(limit, fs::file_size(file));
}
