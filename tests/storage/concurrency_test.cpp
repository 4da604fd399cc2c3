// Many threads on one storage. Original layout: each thread owns its tiles
// (sharing folders with the others) while readers watch them being replaced;
// a reader must only ever see a whole tile. Compact layout: all threads save
// and read the same tiles; each tile is stored exactly once.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <thread>

#include "eTileListing.h"
#include "support/storage_util.h"

using namespace tvktest;
using TVK::eByteArray;
using TVK::eTileStorage;

namespace {

// Version v of a tile: v + 1 repeated (100 + 37 v) times, so a reader can tell
// a whole tile from a mix of two.
Bytes Version(int v) {
    return Bytes(static_cast<size_t>(100 + 37 * v), static_cast<unsigned char>(v + 1));
}

bool IsWholeVersion(const eByteArray& data) {
    if (data.GetSize() < 100 || (data.GetSize() - 100) % 37 != 0) return false;
    const unsigned char v = static_cast<unsigned char>((data.GetSize() - 100) / 37 + 1);
    return ToBytes(data) == Bytes(size_t(data.GetSize()), v);
}

}  // namespace

TEST(StorageConcurrency, OriginalLayoutWritersOwnTheirTilesReadersSeeWholeTiles) {
    TempDir dir;
    auto storage = MakeStorage(dir.Str(), eTileStorage::Original);
    constexpr int kWriters = 3, kTilesPerWriter = 8, kVersions = 30;
    std::atomic<int> writersDone{0}, failures{0}, tornReads{0};

    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w)
        threads.emplace_back([&, w] {
            // Columns interleave across writers, so the group folder is
            // shared and made by whichever thread comes first.
            for (int v = 0; v < kVersions; ++v)
                for (int i = 0; i < kTilesPerWriter; ++i)
                    if (Save(*storage, 5, 3, i * kWriters + w, Version(v)) != 1) ++failures;
            ++writersDone;
        });
    for (int r = 0; r < 2; ++r)
        threads.emplace_back([&] {
            eByteArray data;
            int col = 0;
            while (writersDone.load() < kWriters) {
                col = (col + 1) % (kWriters * kTilesPerWriter);
                if (storage->LoadImageData(5, 3, col, data) == 1 && !IsWholeVersion(data))
                    ++tornReads;
            }
        });
    for (auto& t : threads) t.join();

    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(tornReads.load(), 0);
    for (int col = 0; col < kWriters * kTilesPerWriter; ++col)
        EXPECT_EQ(
            ReadFile(dir / ("_alllayers/1000000/R0000C0000/3x" + std::to_string(col) + ".epng")),
            Version(kVersions - 1))
            << col;
    EXPECT_EQ(TempFiles(dir.Path()), 0u);
}

TEST(StorageConcurrency, CompactLayoutThreadsShareTilesAndBundles) {
    TempDir dir;
    auto storage = MakeStorage(dir.Str(), eTileStorage::Compact);
    // 48 tiles over two levels and three bundles: (level, row, col).
    std::vector<std::array<int, 3>> tiles;
    for (int i = 0; i < 16; ++i) {
        tiles.push_back({5, i, i * 3});          // bundle R0000C0000 of L05
        tiles.push_back({5, 130 + i, 200 + i});  // bundle R0080C0080 of L05
        tiles.push_back({2, i, 7});              // bundle R0000C0000 of L02
    }
    auto bytesOf = [](size_t k) { return TileBytes(static_cast<unsigned>(k), 500 + k * 11); };

    constexpr int kThreads = 4;
    std::vector<std::atomic<int>> stored(tiles.size());
    std::atomic<int> badReads{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            eByteArray data;
            for (int round = 0; round < 20; ++round) {
                // Each thread walks the tiles from its own starting point.
                for (size_t n = 0; n < tiles.size(); ++n) {
                    const size_t k = (n + static_cast<size_t>(t) * 11) % tiles.size(),
                                 other = (k * 7 + 3) % tiles.size();
                    if (round == 0 &&
                        Save(*storage, tiles[k][0], tiles[k][1], tiles[k][2], bytesOf(k)) == 1)
                        ++stored[k];
                    const auto& peek = tiles[other];
                    if (storage->LoadImageData(peek[0], peek[1], peek[2], data) == 1 &&
                        ToBytes(data) != bytesOf(other))
                        ++badReads;
                }
            }
        });
    for (auto& t : threads) t.join();

    EXPECT_EQ(badReads.load(), 0);
    storage->ReleaseHandles();
    for (size_t k = 0; k < tiles.size(); ++k) {
        EXPECT_EQ(stored[k].load(), 1) << "tile " << k;  // saved once, refused thereafter
        EXPECT_EQ(Load(*storage, tiles[k][0], tiles[k][1], tiles[k][2]), bytesOf(k));
    }
}

// Listings beside writers, in both bundle formats: every tile listed was
// saved, with its size, a later listing never holds fewer tiles, and the
// last one holds them all. The bundles exist before the writers start (their
// creation is not what is tested here).
TEST(StorageConcurrency, ListingBesideWritersReportsOnlySavedTiles) {
    for (const auto format : {eTileStorage::Compact, eTileStorage::CompactV2}) {
        SCOPED_TRACE(format);
        TempDir dir;
        auto storage = MakeStorage(dir.Str(), format);
        // Levels 3 to 5, rows 0-127 of two bundles each; a tile's size
        // follows from its address.
        const auto sizeOf = [](int level, int row, int col) {
            return size_t(1 + (level * 7 + row * 131 + col) % 200);
        };
        const auto planned = [](const TVK::tagStoredTile& t) {
            return t.Level >= 3 && t.Level <= 5 && t.Row < 128 &&
                   (t.Col == t.Row || t.Col == 128 + t.Row);
        };
        for (int level = 3; level <= 5; ++level)
            for (int col : {0, 128})
                ASSERT_EQ(Save(*storage, level, 0, col, TileBytes(1, sizeOf(level, 0, col))), 1);
        constexpr int kWriters = 2;
        std::atomic<bool> listing{false};
        std::atomic<int> writersDone{0}, failures{0}, wrongTiles{0}, shrunk{0}, listings{0};
        std::vector<std::thread> threads;
        for (int w = 0; w < kWriters; ++w)
            threads.emplace_back([&, w] {
                while (!listing.load()) std::this_thread::yield();
                for (int level = 3; level <= 5; ++level) {
                    // Each level after one more listing: some run beside the saves.
                    while (listings.load() < level - 3) std::this_thread::yield();
                    for (int row = 1 + w; row < 128; row += kWriters)
                        for (int col : {row, 128 + row})
                            if (Save(*storage, level, row, col,
                                     TileBytes(1, sizeOf(level, row, col))) != 1)
                                ++failures;
                }
                ++writersDone;
            });
        threads.emplace_back([&] {
            size_t last = 0;
            do {
                TVK::eTileListing tiles(*storage, 3, 5);
                TVK::tagStoredTile tile;
                size_t count = 0;
                listing = true;
                while (tiles.Next(tile)) {
                    ++count;
                    if (!planned(tile) ||
                        tile.Size != int64_t(sizeOf(tile.Level, tile.Row, tile.Col)))
                        ++wrongTiles;
                }
                if (tiles.GetError().Kind != TVK::eCacheCheck::None || count < last) ++shrunk;
                last = count;
                ++listings;
            } while (writersDone.load() < kWriters);
        });
        for (auto& t : threads) t.join();

        EXPECT_EQ(failures.load(), 0);
        EXPECT_EQ(wrongTiles.load(), 0);
        EXPECT_EQ(shrunk.load(), 0);
        EXPECT_GT(listings.load(), 2);
        TVK::eTileListing tiles(*storage);
        TVK::tagStoredTile tile;
        int all = 0;
        while (tiles.Next(tile)) all += planned(tile) ? 1 : 0;
        EXPECT_EQ(all, 3 * 2 * 128);
    }
}
