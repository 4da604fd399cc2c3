// V2 bundles through the handle, against files built and read back with plain
// file operations: reading a bundle made byte by byte, the header and records
// of new bundles, damaged entries and files, failed writes, the 40-bit limit.
#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <functional>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bundle_test_util.h"
#include "eRasterCompact.h"

using namespace TVK;
using namespace bundletest;

namespace {

eByteArray Array(const Bytes& b) { return eByteArray(b.data(), static_cast<eInt>(b.size())); }
Bytes ToBytes(const eByteArray& a) { return Bytes(a.GetData(), a.GetData() + a.GetSize()); }

// Runs body in a forked child and returns its exit code (-1 when it did not
// exit normally). The child never returns into the test runner.
int RunInChild(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) ::_exit(body());
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// count bytes at offset, for files too large to read whole.
Bytes ReadRange(const fs::path& path, uint64_t offset, size_t count) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    Bytes bytes(count);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(count));
    bytes.resize(static_cast<size_t>(in.gcount()));
    return bytes;
}

struct V2Handle {
    eRasterCompact handle;
    explicit V2Handle(const TempDir& tmp) {
        handle.SetSrcPath(tmp.Root().c_str());
        handle.SetBundleFormat(eRasterCompact::BundleV2);
    }
};

}  // namespace

TEST(BundleV2Files, ReadsABundleBuiltByteByByte) {
    TempDir tmp;
    // Level 3, rows 128-255, columns 256-383.
    const fs::path file = tmp.Path() / "_alllayers" / "L03" / "R0080C0100.bundle";
    Bytes bytes = V2Bundle();
    const Bytes a = Payload("tile at row 130, column 257"), b = Payload("row 129, column 256");
    V2Append(bytes, 130, 257, a);  // entry 2 * 128 + 1 = 257, bytes at 131,140
    V2Append(bytes, 129, 256, b);  // entry 128; column-major order would call it slot 1
    PutLE(bytes, V2EntryAt(128, 258), 131140, 8);  // an offset but size 0: no tile
    WriteFile(file, bytes);

    V2Handle v2(tmp);
    eRasterCompact& handle = v2.handle;
    EXPECT_EQ(131140, handle.IsTileExist(130, 257, 3, eString()));
    EXPECT_EQ(int(131140 + a.size() + 4), handle.IsTileExist(129, 256, 3, eString()));
    EXPECT_EQ(file.string(), handle.GetCurFileName().Std());
    eByteArray loaded;
    ASSERT_EQ(int64_t(a.size()), handle.LoadTileData(loaded, 130, 257, 3));
    EXPECT_EQ(a, ToBytes(loaded));
    ASSERT_EQ(int64_t(b.size()), handle.LoadTileData(loaded, 129, 256, 3));
    EXPECT_EQ(b, ToBytes(loaded));
    EXPECT_EQ(1, handle.IsTileStored(129, 256, 3));

    // Neither the swapped position nor the size-0 entry is a tile.
    for (int col : {257, 258}) {
        EXPECT_EQ(-1, handle.IsTileExist(128, col, 3, eString())) << col;
        EXPECT_EQ(0, handle.IsTileStored(128, col, 3)) << col;
        EXPECT_EQ(0, handle.LoadTileData(loaded, 128, col, 3)) << col;
    }
    EXPECT_EQ(b, ToBytes(loaded));
    EXPECT_EQ(-2, handle.IsTileExist(0, 0, 3, eString()));  // no such bundle

    // The same folder read as V1 has no pair (no .bundlx); switching back to
    // V2 reads it again.
    handle.SetBundleFormat(eRasterCompact::BundleV1);
    EXPECT_EQ(-2, handle.IsTileExist(130, 257, 3, eString()));
    handle.SetBundleFormat(eRasterCompact::BundleV2);
    EXPECT_EQ(1, handle.IsTileStored(130, 257, 3));
}

TEST(BundleV2Files, NewBundleHeaderEntriesAndRecords) {
    TempDir tmp;
    V2Handle v2(tmp);
    eRasterCompact& handle = v2.handle;
    const fs::path base = tmp.Path() / "_alllayers" / "L05" / "R0100C0080";
    const fs::path file = base.string() + ".bundle";
    const Bytes first = Payload("first tile"), big = Bytes(25, 0xB1), small = Payload("abc");

    // Row 300, column 130: entry (300 - 256) * 128 + (130 - 128) = 5634.
    ASSERT_EQ(1, handle.SaveTileData(Array(first), 300, 130, 5));
    EXPECT_FALSE(fs::exists(base.string() + ".bundlx"));
    Bytes onDisk = ReadFile(file);
    ASSERT_EQ(131136u + 4 + 10, onDisk.size());
    // Header field by field.
    EXPECT_EQ(3u, GetLE(onDisk, 0, 4));
    EXPECT_EQ(16384u, GetLE(onDisk, 4, 4));
    EXPECT_EQ(10u, GetLE(onDisk, 8, 4));          // largest tile
    EXPECT_EQ(5u, GetLE(onDisk, 12, 4));
    EXPECT_EQ(0u, GetLE(onDisk, 16, 8));          // slack
    EXPECT_EQ(131150u, GetLE(onDisk, 24, 8));     // file size
    EXPECT_EQ(40u, GetLE(onDisk, 32, 8));
    EXPECT_EQ(131092u, GetLE(onDisk, 40, 4));
    EXPECT_EQ(3u, GetLE(onDisk, 44, 4));
    EXPECT_EQ(16u, GetLE(onDisk, 48, 4));
    EXPECT_EQ(16384u, GetLE(onDisk, 52, 4));
    EXPECT_EQ(5u, GetLE(onDisk, 56, 4));
    EXPECT_EQ(131072u, GetLE(onDisk, 60, 4));
    EXPECT_EQ((uint64_t(10) << 40) | 131140u, GetLE(onDisk, 64 + 8 * 5634, 8));
    EXPECT_EQ(10u, GetLE(onDisk, 131136, 4));  // the record's own length

    // Further saves: the largest tile only grows, the size follows the file.
    ASSERT_EQ(1, handle.SaveTileData(Array(big), 301, 130, 5));
    ASSERT_EQ(1, handle.SaveTileData(Array(small), 256, 128, 5));
    Bytes expected = V2Bundle();
    V2Append(expected, 300, 130, first);
    V2Append(expected, 301, 130, big);
    V2Append(expected, 256, 128, small);
    PutLE(expected, 8, 25, 4);
    PutLE(expected, 24, expected.size(), 8);
    EXPECT_EQ(expected, ReadFile(file));

    // A stored tile is kept; empty and oversized tiles are refused; nothing
    // is written for any of them.
    EXPECT_EQ(0, handle.SaveTileData(Array(Payload("again")), 300, 130, 5));
    EXPECT_EQ(0, handle.SaveTileData(eByteArray(), 0, 0, 5));
    EXPECT_EQ(0, handle.SaveTileData(Array(Bytes(size_t(1) << 24, 7)), 0, 0, 5));
    EXPECT_EQ(expected, ReadFile(file));

    // Removal zeroes the entry and nothing else; a new save appends.
    ASSERT_EQ(1, handle.RemoveTileData(301, 130, 5));
    PutLE(expected, V2EntryAt(301, 130), 0, 8);
    EXPECT_EQ(expected, ReadFile(file));
    EXPECT_EQ(-1, handle.IsTileExist(301, 130, 5, eString()));
    EXPECT_EQ(1, handle.RemoveTileData(301, 130, 5));  // nothing stored: nothing written
    EXPECT_EQ(expected, ReadFile(file));
    ASSERT_EQ(1, handle.SaveTileData(Array(small), 301, 130, 5));
    V2Append(expected, 301, 130, small);
    PutLE(expected, 24, expected.size(), 8);
    EXPECT_EQ(expected, ReadFile(file));
    eByteArray loaded;
    EXPECT_EQ(3, handle.LoadTileData(loaded, 301, 130, 5));
    EXPECT_EQ(small, ToBytes(loaded));
}

TEST(BundleV2Files, DamagedEntriesAndFilesAreNoTiles) {
    TempDir tmp;
    const fs::path file = tmp.Path() / "_alllayers" / "L00" / "R0000C0000.bundle";
    Bytes bytes = V2Bundle();
    V2Append(bytes, 0, 0, Payload("good"));
    V2Append(bytes, 0, 4, Payload("cut short"));
    bytes.resize(bytes.size() - 3);                                          // truncated record
    PutLE(bytes, V2EntryAt(0, 1), uint64_t(10) << 40 | (bytes.size() - 4), 8);  // runs past the end
    PutLE(bytes, V2EntryAt(0, 2), uint64_t(4) << 40 | 100, 8);               // inside the index
    PutLE(bytes, V2EntryAt(0, 3), uint64_t(1) << 40 | ((uint64_t(1) << 40) - 1), 8);  // far past
    WriteFile(file, bytes);

    V2Handle v2(tmp);
    eRasterCompact& handle = v2.handle;
    eByteArray kept = Array(Payload("keep"));
    for (int col = 1; col <= 4; ++col) {
        EXPECT_GE(handle.IsTileExist(0, col, 0, eString()), 0) << col;  // an entry is there
        EXPECT_EQ(0, handle.IsTileStored(0, col, 0)) << col;
        EXPECT_EQ(0, handle.LoadTileData(kept, 0, col, 0)) << col;
    }
    EXPECT_EQ(Payload("keep"), ToBytes(kept));
    EXPECT_EQ(4, handle.LoadTileData(kept, 0, 0, 0));

    // None of them is stored, so a save takes the position, appending at the
    // (truncated) end; removing them writes nothing.
    EXPECT_EQ(1, handle.RemoveTileData(0, 1, 0));
    EXPECT_EQ(bytes, ReadFile(file));
    ASSERT_EQ(1, handle.SaveTileData(Array(Payload("ok")), 0, 4, 0));
    Bytes expected = bytes;
    V2Append(expected, 0, 4, Payload("ok"));
    PutLE(expected, 8, 2, 4);  // the damaged file's header said 0
    PutLE(expected, 24, expected.size(), 8);
    EXPECT_EQ(expected, ReadFile(file));

    // Files that are no V2 bundle are neither read nor written, nor replaced.
    const fs::path shortFile = tmp.Path() / "_alllayers" / "L01" / "R0000C0000.bundle";
    WriteFile(shortFile, Bytes(131135, 0));
    Bytes otherVersion = V2Bundle();
    PutLE(otherVersion, 0, 2, 4);
    const fs::path otherFile = tmp.Path() / "_alllayers" / "L02" / "R0000C0000.bundle";
    WriteFile(otherFile, otherVersion);
    for (int level : {1, 2}) {
        EXPECT_EQ(-2, handle.IsTileExist(0, 0, level, eString())) << level;
        EXPECT_EQ(0, handle.SaveTileData(Array(Payload("t")), 0, 0, level)) << level;
    }
    EXPECT_EQ(Bytes(131135, 0), ReadFile(shortFile));
    EXPECT_EQ(otherVersion, ReadFile(otherFile));
}

TEST(BundleV2Files, FailedWritesLeaveEntriesAndFilesAlone) {
    TempDir tmp;
    const fs::path file = tmp.Path() / "_alllayers" / "L00" / "R0000C0000.bundle";
    Bytes bytes = V2Bundle();
    V2Append(bytes, 0, 0, Payload("kept"));
    PutLE(bytes, 8, 4, 4);
    PutLE(bytes, 24, bytes.size(), 8);
    WriteFile(file, bytes);

    // Below the limit the child may write; the existing bundle already ends
    // past it, and a new bundle's 131,136 bytes do not fit.
    const int result = RunInChild([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{100000, 100000};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 64;
        eRasterCompact handle;
        handle.SetSrcPath(tmp.Root().c_str());
        handle.SetBundleFormat(eRasterCompact::BundleV2);
        int failures = 0;
        if (handle.SaveTileData(Array(Payload("lost")), 1, 1, 0) != 0) failures |= 1;
        if (handle.SaveTileData(Array(Payload("new")), 0, 0, 1) != 0) failures |= 2;
        eByteArray loaded;
        if (handle.LoadTileData(loaded, 0, 0, 0) != 4) failures |= 4;
        return failures;
    });
    EXPECT_EQ(0, result);
    EXPECT_EQ(bytes, ReadFile(file));
    EXPECT_FALSE(fs::exists(tmp.Path() / "_alllayers" / "L01" / "R0000C0000.bundle"));
}

TEST(BundleV2Files, OffsetsUpToTheFortyBitLimit) {
    TempDir tmp;
    V2Handle v2(tmp);
    eRasterCompact& handle = v2.handle;
    const fs::path file = tmp.Path() / "_alllayers" / "L00" / "R0000C0000.bundle";
    ASSERT_EQ(1, handle.SaveTileData(Array(Payload("a")), 0, 0, 0));

    // Sparse: the hole takes no space, where the file system allows it.
    const uint64_t limit = uint64_t(1) << 40;
    std::error_code ec;
    fs::resize_file(file, limit - 8, ec);
    if (ec) GTEST_SKIP() << "no 1 TiB sparse file here: " << ec.message();

    // The record's length at 2^40 - 8, the bytes at 2^40 - 4, ending at 2^40.
    ASSERT_EQ(1, handle.SaveTileData(Array(Payload("bbbb")), 1, 0, 0));
    EXPECT_EQ(Bytes({0xfc, 0xff, 0xff, 0xff, 0xff, 4, 0, 0}), ReadRange(file, V2EntryAt(1, 0), 8));
    EXPECT_EQ(INT_MAX, handle.IsTileExist(1, 0, 0, eString()));
    eByteArray loaded;
    EXPECT_EQ(4, handle.LoadTileData(loaded, 1, 0, 0));
    EXPECT_EQ(Payload("bbbb"), ToBytes(loaded));
    EXPECT_EQ(limit, GetLE(ReadRange(file, 24, 8), 0, 8));

    // Nothing more fits.
    EXPECT_EQ(0, handle.SaveTileData(Array(Payload("c")), 2, 0, 0));
    EXPECT_EQ(Bytes(8, 0), ReadRange(file, V2EntryAt(2, 0), 8));
    EXPECT_EQ(limit, fs::file_size(file));
}
