// Bundles shared by several processes: creators that race, a save that waits
// for the process still creating its pair, what a dead creator leaves (an
// empty data file, completed) and any other half pair (refused), and a forked
// child that must not write through its parent's files. Files are built and
// read back with plain file operations.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "compact/eRasterCompactManager.h"
#include "eRasterCompact.h"
#include "support/multiprocess.h"
#include "support/test_files.h"

using namespace TVK;
using namespace tvktest;

namespace {

// Files in a folder whose name ends in ".temp".
size_t TempFilesIn(const fs::path& folder) {
    size_t count = 0;
    for (const auto& entry : fs::directory_iterator(folder))
        count += entry.path().extension() == ".temp";
    return count;
}

// Whether the tile loads as exactly the payload of (level, row, col) by writer.
bool HoldsPayload(eRasterCompact& handle, int level, int row, int col, uint32_t writer) {
    eByteArray data;
    tagPayload made;
    return handle.LoadTileData(data, row, col, level) > 0 &&
           ReadPayload(data.GetData(), size_t(data.GetSize()), level, row, col, made) &&
           made.Writer == writer;
}

}  // namespace

TEST(BundleCreation, ADeadCreatorsEmptyDataFileIsCompletedAnythingElseRefused) {
    TempDir tmp;
    eRasterCompact handle;
    handle.SetSrcPath(tmp.Root().c_str());
    const fs::path level = tmp.Path() / "_alllayers" / "L02";
    // This system's new data file is empty: completed with a new index.
    WriteFile(level / "R0000C0000.bundle", Bytes());
    ASSERT_EQ(1, handle.SaveTileData(ToArray(Text("own")), 1, 0, 2));
    Bytes index = NativeIndex();
    PutLE(index, 16 + 5 * 1, 0, 5);
    EXPECT_EQ(index, ReadFile(level / "R0000C0000.bundlx"));
    EXPECT_EQ(Record(Text("own")), ReadFile(level / "R0000C0000.bundle"));

    // ArcGIS's holds its header and zero lengths: completed in its structure,
    // whatever structure the handle would create.
    WriteFile(level / "R0080C0000.bundle", ArcGISData(128, 0));
    ASSERT_EQ(1, handle.SaveTileData(ToArray(Text("arc")), 128, 0, 2));
    index = ArcGISIndex();
    PutLE(index, 16, 65596, 5);
    EXPECT_EQ(index, ReadFile(level / "R0080C0000.bundlx"));
    Bytes data = Concat(ArcGISData(128, 0), Record(Text("arc")));
    PutLE(data, 8, 3, 4);             // largest tile
    PutLE(data, 16, 4, 8);            // 4 x one tile
    PutLE(data, 24, data.size(), 8);  // file size
    EXPECT_EQ(data, ReadFile(level / "R0080C0000.bundle"));

    // One byte off is someone's data: left as it is, and the save refused.
    Bytes altered = ArcGISData(0, 128);
    altered[70000 % altered.size()] = 1;
    WriteFile(level / "R0000C0080.bundle", altered);
    EXPECT_EQ(0, handle.SaveTileData(ToArray(Text("no")), 0, 128, 2));
    EXPECT_EQ(altered, ReadFile(level / "R0000C0080.bundle"));
    EXPECT_FALSE(fs::exists(level / "R0000C0080.bundlx"));
    EXPECT_EQ(0u, TempFilesIn(level));
}

// Six processes save into the same twelve new bundles at once, each a tile
// of its own: every save succeeds, and each bundle ends with all six tiles,
// its records back to back, and nothing else beside it.
TEST(BundleProcessesConcurrency, ProcessesCreatingTheSameBundlesAllSucceed) {
    constexpr int kProcesses = 6, kBundles = 12, kTileSize = 300;
    for (const int mode : {0, 1, 2}) {  // native pairs, ArcGIS pairs, V2 bundles
        SCOPED_TRACE(mode);
        TempDir tmp;
        auto makeHandle = [&](eRasterCompact& handle) {
            handle.SetSrcPath(tmp.Root().c_str());
            handle.SetArcGISStructure(mode == 1);
            if (mode == 2) handle.SetBundleFormat(eRasterCompact::BundleV2);
        };
        eChildren children;
        for (int p = 0; p < kProcesses; ++p)
            children.Start([&, p] {
                eRasterCompact handle;
                makeHandle(handle);
                int failed = 0;
                for (int b = 0; b < kBundles; ++b)
                    failed += handle.SaveTileData(
                                  ToArray(MakePayload(3, p, b * 128, uint32_t(p), 1, kTileSize)), p,
                                  b * 128, 3) != 1;
                return failed;
            });
        children.Release();
        EXPECT_EQ(children.Wait(), std::vector<int>(kProcesses, 0));

        eRasterCompact reader;
        makeHandle(reader);
        const fs::path level = tmp.Path() / "_alllayers" / "L03";
        const uint64_t records = kProcesses * (4 + kTileSize);
        const uint64_t start = mode == 0 ? 0 : mode == 1 ? 65596 : 131136;
        for (int b = 0; b < kBundles; ++b) {
            for (int p = 0; p < kProcesses; ++p)
                EXPECT_TRUE(HoldsPayload(reader, 3, p, b * 128, uint32_t(p))) << b << " " << p;
            char name[32];
            std::snprintf(name, sizeof name, "R0000C%04x.bundle", b * 128);
            EXPECT_EQ(start + records, fs::file_size(level / name)) << name;
        }
        EXPECT_EQ(size_t(mode == 2 ? kBundles : 2 * kBundles),
                  size_t(std::distance(fs::directory_iterator(level), {})));
    }
}

// A data file without its index, locked by the process creating the pair: a
// save waits until the creator has published the index, and uses it.
TEST(BundleProcessesConcurrency, ASaveWaitsForTheProcessStillCreatingThePair) {
    TempDir tmp;
    const std::string base = (tmp.Path() / "_alllayers" / "L01" / "R0000C0000").string();
    fs::create_directories(tmp.Path() / "_alllayers" / "L01");
    eFile data, index;
    ASSERT_TRUE(data.Open((base + ".bundle").c_str(), eFile::CreateExclusive));
    ASSERT_EQ(eFile::LockHeld, data.Lock(eFile::LockExclusive, false));
    eChildren children;
    const pid_t saver = children.Start([&] {
        eRasterCompact handle;
        handle.SetSrcPath(tmp.Root().c_str());
        return handle.SaveTileData(ToArray(Text("waited")), 5, 0, 1) == 1 ? 0 : 1;
    });
    children.Release();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // Neither failed nor completed the pair on its own: the index is still ours to make.
    EXPECT_FALSE(children.HasEnded(saver));
    const Bytes empty = NativeIndex();
    ASSERT_TRUE(index.Open((base + ".bundlx").c_str(), eFile::CreateExclusive) &&
                index.WriteAt(0, empty.data(), int64_t(empty.size())));
    data.Unlock();
    EXPECT_EQ(children.Wait(), std::vector<int>{0});
    Bytes expected = NativeIndex();
    PutLE(expected, 16 + 5 * 5, 0, 5);
    EXPECT_EQ(expected, ReadFile(base + ".bundlx"));
    EXPECT_EQ(Record(Text("waited")), ReadFile(base + ".bundle"));
}

// A child forked while its parent has a bundle open shares the parent's open
// files, and with them the parent's locks; it must open its own, or the two
// append over each other.
TEST(BundleProcessesConcurrency, AForkedChildWritesThroughFilesOfItsOwn) {
    TempDir tmp;
    eRasterCompactManager pool;
    pool.SetSrcPath(tmp.Root().c_str());
    constexpr int kTiles = 400, kTileSize = 3000;
    auto save = [&](int i, uint32_t writer) {
        return pool.GetOperator(4, 0, 0)->SaveTileData(
            ToArray(MakePayload(4, i % 128, i / 128, writer, 1, kTileSize)), i % 128, i / 128, 4);
    };
    ASSERT_TRUE(save(0, 1));  // the bundle is open in this process now
    eChildren children;
    children.Start([&] {
        int failed = 0;
        for (int i = 1; i < kTiles; i += 2) failed += !save(i, 2);
        return failed;
    });
    children.Release();
    for (int i = 2; i < kTiles; i += 2) EXPECT_TRUE(save(i, 1));
    EXPECT_EQ(children.Wait(), std::vector<int>{0});
    eRasterCompact reader;
    reader.SetSrcPath(tmp.Root().c_str());
    for (int i = 0; i < kTiles; ++i)
        EXPECT_TRUE(HoldsPayload(reader, 4, i % 128, i / 128, i % 2 == 0 ? 1 : 2)) << i;
    EXPECT_EQ(uint64_t(kTiles) * (4 + kTileSize),
              fs::file_size(tmp.Path() / "_alllayers" / "L04" / "R0000C0000.bundle"));
}

// Lookups of missing bundles are answered from memory while their folder
// stays as it was; a bundle made later by anyone (here another handle, as
// another process would) is found at once, in a level folder that existed
// and in one that did not. Folders are trusted only once two seconds old,
// hence the wait.
TEST(BundleCreation, BundlesCreatedAfterMissedLookupsAreFound) {
    TempDir v1, v2;
    eRasterCompact readers[2], writers[2];
    for (int f = 0; f < 2; ++f) {
        for (eRasterCompact* h : {&readers[f], &writers[f]}) {
            h->SetSrcPath((f == 0 ? v1 : v2).Root().c_str());
            h->SetBundleFormat(f == 0 ? eRasterCompact::BundleV1 : eRasterCompact::BundleV2);
        }
        ASSERT_EQ(1, writers[f].SaveTileData(ToArray(Text("a")), 0, 0, 2));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    for (int f = 0; f < 2; ++f) {
        for (int ask = 0; ask < 2; ++ask) {  // the second answer comes from memory
            EXPECT_EQ(0, readers[f].IsCompactExist(130, 0, 2, eString()))
                << f;  // its level folder exists
            EXPECT_EQ(0, readers[f].IsCompactExist(0, 0, 3, eString())) << f;  // no level folder
        }
        ASSERT_EQ(1, writers[f].SaveTileData(ToArray(Text("b")), 130, 0, 2));
        ASSERT_EQ(1, writers[f].SaveTileData(ToArray(Text("c")), 0, 0, 3));
        EXPECT_EQ(1, readers[f].IsCompactExist(130, 0, 2, eString())) << f;
        EXPECT_EQ(1, readers[f].IsCompactExist(0, 0, 3, eString())) << f;
    }
}
