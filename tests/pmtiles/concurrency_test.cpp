// PMTiles under many threads: tiles collected from several threads at once
// all arrive; loads through a cache too small for the leaves stay right
// while the threads evict each other's leaves.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "pmtiles_util.h"

namespace tvktest {

TEST(PMTilesConcurrency, TilesAddedFromManyThreadsAllArrive) {
    TempDir dir;
    const fs::path path = dir / "threads.pmtiles";
    ePMTilesWriter writer;
    ASSERT_TRUE(writer.Begin(path.string(), ePMTilesWriter::tagSettings()));
    const Bytes ocean = Text("the same sea everywhere");
    std::atomic<int> refused{0};
    std::vector<std::thread> threads;
    // Level 7 split by rows among four threads; every odd column is sea.
    for (uint32_t t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (uint32_t y = t; y < 128; y += 4)
                for (uint32_t x = 0; x < 128; ++x) {
                    const Bytes tile = x % 2 ? ocean : NamedTile(7, x, y);
                    if (!writer.AddTile(7, x, y, tile.data(), tile.size())) refused++;
                }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(refused.load(), 0);
    ASSERT_TRUE(writer.Finish()) << writer.GetLastError().Std();
    EXPECT_EQ(writer.GetHeader().AddressedTiles, 16384u);
    EXPECT_EQ(writer.GetHeader().TileContents, 8192u + 1);

    bool opened = false;
    auto reader = OpenArchive(path, opened);
    ASSERT_TRUE(opened);
    size_t wrong = 0;
    for (uint32_t y = 0; y < 128; ++y)
        for (uint32_t x = 0; x < 128; ++x)
            wrong += LoadTile(*reader, 7, x, y) != (x % 2 ? ocean : NamedTile(7, x, y));
    EXPECT_EQ(wrong, 0u);
}

TEST(PMTilesConcurrency, ReadersShareASmallLeafCache) {
    TempDir dir;
    const fs::path path = dir / "leaves.pmtiles";
    const std::vector<tagTile> tiles = LeafyTiles();
    ASSERT_TRUE(WriteArchive(path, tiles));
    bool opened = false;
    // Room for about two of its leaves of 4,096 entries.
    auto reader = OpenArchive(path, opened, 2 * 4096 * sizeof(TVK::pmtiles::tagEntry));
    ASSERT_TRUE(opened);

    // A fixed number of loads each: long enough to overlap under any
    // sanitizer, without a time bound that a slow build would miss.
    std::atomic<size_t> loads{0}, wrong{0};
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(t);
            for (int i = 0; i < 200; ++i) {
                const tagTile& tile = tiles[random() % tiles.size()];
                wrong += LoadTile(*reader, tile.z, tile.x, tile.y) != tile.bytes;
                loads++;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0u);
    EXPECT_EQ(loads.load(), 800u);
    EXPECT_GT(reader->GetLeafReads(), 20u);  // the cache really was too small
}

}  // namespace tvktest
