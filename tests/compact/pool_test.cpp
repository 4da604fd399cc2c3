// The open-bundle pool: binding threads to per-bundle operators, recycling,
// release; then real threads reading, writing and moving between bundles.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "compact/eRasterCompactManager.h"
#include "support/test_files.h"

using namespace TVK;
using namespace tvktest;

namespace {

eByteArray Str(const std::string& s) { return ToArray(Text(s)); }

// Payload of (level, row, col, version): a 16-byte head naming them, then a
// body whose length and content depend on all four, so that a record mixed
// from two versions or cut short never passes Decode.
eByteArray Encode(int level, int row, int col, uint32_t version) {
    const uint32_t head[4] = {uint32_t(level), uint32_t(row), uint32_t(col), version};
    Bytes bytes(16 + 50 + (version * 7919u + uint32_t(row)) % 3000);
    std::memcpy(bytes.data(), head, 16);
    for (size_t i = 16; i < bytes.size(); ++i)
        bytes[i] = static_cast<unsigned char>(version * 31 + i - 16);
    return ToArray(bytes);
}

// The version a payload carries, or -1 when it is not exactly the payload of
// one version of this address.
int64_t Decode(const eByteArray& data, int level, int row, int col) {
    if (data.GetSize() < 16) return -1;
    uint32_t head[4];
    std::memcpy(head, data.GetData(), 16);
    if (head[0] != uint32_t(level) || head[1] != uint32_t(row) || head[2] != uint32_t(col))
        return -1;
    return Encode(level, row, col, head[3]) == data ? int64_t(head[3]) : -1;
}

}  // namespace

TEST(BundlePool, BindsThreadsRecyclesOldestFirstAndReleasesAll) {
    TempDir tmp, second;
    eRasterCompactManager pool;
    EXPECT_EQ(nullptr, pool.GetOperator(0, 0, 0));  // no root yet: nothing made
    pool.SetSrcPath(tmp.Root().c_str());
    eRasterCompactOperator* a = pool.GetOperator(0, 0, 0);
    ASSERT_NE(nullptr, a);
    // A second thread on the same bundle shares the operator.
    std::thread([&] { EXPECT_EQ(a, pool.GetOperator(0, 0, 0)); }).join();
    EXPECT_EQ(2, a->GetThreadCount());

    // Moving while the other thread stays: A keeps its key; B is new (none idle).
    eRasterCompactOperator* b = pool.GetOperator(0, 128, 0);
    EXPECT_NE(a, b);
    EXPECT_EQ(1, a->GetThreadCount());
    // Moving from B (alone there) to a bundle without operator: the freed B
    // is not handed out in the same call; a new one serves C, B goes idle.
    eRasterCompactOperator* c = pool.GetOperator(1, 0, 0);
    EXPECT_NE(b, c);
    EXPECT_EQ(2, pool.GetOperatorCount());
    EXPECT_EQ(1, pool.GetIdleOperatorCount());
    // The next new bundles take the idle operators, oldest first.
    EXPECT_EQ(b, pool.GetOperator(2, 0, 0));
    EXPECT_EQ(c, pool.GetOperator(3, 0, 0));

    eRasterCompactOperator* zero = pool.GetOperator(0, 0, 0);
    EXPECT_EQ(a, zero);
    ASSERT_TRUE(zero->SaveTileData(Str("pos"), 1, 0, 0));
    // A thread not bound to an operator gets false from it, and touches no file.
    std::thread([&] {
        eByteArray data;
        EXPECT_FALSE(zero->LoadTileData(data, 1, 0, 0));
        EXPECT_FALSE(zero->SaveTileData(Str("x"), 5, 0, 0));
    }).join();
    EXPECT_FALSE(zero->IsTileExist(5, 0, 0));

    // A new root reaches the handles made after ReleaseAll.
    pool.SetSrcPath(second.Root().c_str());
    pool.ReleaseAll();
    EXPECT_EQ(0,
              pool.GetOperatorCount() + pool.GetIdleOperatorCount() + pool.GetThreadCompactCount());
    ASSERT_TRUE(pool.GetOperator(0, 0, 0)->SaveTileData(Str("new root"), 0, 0, 0));
    EXPECT_TRUE(fs::exists(second.Path() / "_alllayers" / "L00" / "R0000C0000.bundle"));
}

TEST(BundlePool, FormatAndStructureReachEveryThreadsHandle) {
    TempDir tmp;
    eRasterCompactManager pool;
    pool.SetSrcPath(tmp.Root().c_str());
    const fs::path layers = tmp.Path() / "_alllayers";
    // Handles made before the change follow it too.
    ASSERT_NE(nullptr, pool.GetOperator(9, 0, 0));
    std::thread([&] { ASSERT_NE(nullptr, pool.GetOperator(9, 0, 0)); }).join();
    pool.SetBundleFormat(eRasterCompact::BundleV2);
    ASSERT_TRUE(pool.GetOperator(0, 0, 0)->SaveTileData(Str("v2"), 0, 0, 0));
    std::thread([&] { EXPECT_TRUE(pool.GetOperator(0, 0, 0)->IsTileExist(0, 0, 0)); }).join();
    EXPECT_EQ(131136u + 4 + 2, fs::file_size(layers / "L00" / "R0000C0000.bundle"));
    // Back to V1 pairs in ArcGIS's structure; ReleaseAll keeps both settings.
    pool.SetBundleFormat(eRasterCompact::BundleV1);
    pool.SetArcGISStructure(true);
    EXPECT_FALSE(pool.GetOperator(0, 0, 0)->IsTileExist(0, 0, 0));  // a V2 file is no pair
    pool.ReleaseAll();
    ASSERT_TRUE(pool.GetOperator(2, 0, 0)->SaveTileData(Str("v1"), 0, 0, 2));
    EXPECT_EQ(81952u, fs::file_size(layers / "L02" / "R0000C0000.bundlx"));
    EXPECT_EQ(65596u + 4 + 2, fs::file_size(layers / "L02" / "R0000C0000.bundle"));
}

// One writer appends to a bundle. One reader follows it, reading each tile
// as soon as its save returns, through a handle that was open before the
// save (a stale read buffer would miss it); two read random earlier tiles.
TEST(BundlePoolConcurrency, ReadersSeeEveryTileWhileAWriterAppends) {
    TempDir tmp;
    eRasterCompactManager pool;
    pool.SetSrcPath(tmp.Root().c_str());
    constexpr int kPrefilled = 200, kTotal = 800;
    for (int i = 0; i < kPrefilled; ++i)
        ASSERT_TRUE(pool.GetOperator(2, 0, 0)->SaveTileData(Encode(2, i % 128, i / 128, 1), i % 128,
                                                            i / 128, 2));
    std::atomic<int> written{kPrefilled}, bad{0};  // tiles 0..written-1 are stored
    auto check = [&](int i) {
        eByteArray data;
        eRasterCompactOperator* op = pool.GetOperator(2, 0, 0);
        if (op == nullptr || !op->IsTileExist(i % 128, i / 128, 2) ||
            !op->LoadTileData(data, i % 128, i / 128, 2) || Decode(data, 2, i % 128, i / 128) != 1)
            ++bad;
    };
    std::vector<std::thread> readers;
    readers.emplace_back([&] {
        for (int i = kPrefilled; i < kTotal; ++i) {
            while (written.load() <= i) std::this_thread::yield();
            check(i);
        }
    });
    for (int r = 0; r < 2; ++r)
        readers.emplace_back([&, r] {
            std::mt19937 rng(r);
            while (written.load() < kTotal) check(static_cast<int>(rng() % written.load()));
        });
    for (int i = kPrefilled; i < kTotal; ++i) {
        EXPECT_TRUE(pool.GetOperator(2, 0, 0)->SaveTileData(Encode(2, i % 128, i / 128, 1), i % 128,
                                                            i / 128, 2));
        written.store(i + 1);
    }
    for (auto& t : readers) t.join();
    EXPECT_EQ(0, bad.load());
    EXPECT_EQ(1, pool.GetOperatorCount());
}

TEST(BundlePoolConcurrency, ThreadsMovingBetweenBundles) {
    TempDir tmp;
    eRasterCompactManager pool;
    pool.SetSrcPath(tmp.Root().c_str());
    constexpr int kThreads = 4, kBundles = 6, kRounds = 100;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            // Each thread walks all bundles in its own order (steps 1 and 5
            // are coprime to 6).
            for (int round = 0; round < kRounds; ++round)
                for (int k = 0; k < kBundles; ++k) {
                    const int bundle = (k * (t % 2 == 0 ? 1 : 5) + round + t) % kBundles;
                    const int col = bundle * 128 + t, row = round;
                    eRasterCompactOperator* op = pool.GetOperator(1, 0, bundle * 128);
                    eByteArray data;
                    if (op == nullptr || !op->SaveTileData(Encode(1, row, col, 3), row, col, 1) ||
                        !op->LoadTileData(data, row, col, 1) || Decode(data, 1, row, col) != 3)
                        ++failures;
                }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_LE(pool.GetOperatorCount(), kThreads);  // at most one operator in use per thread
}

namespace {

constexpr int kStressTiles = 24;
const int kStressBundles[4][2] = {
    {0, 0}, {0, 128}, {128, 0}, {256, 384}};  // first row, first column

// Random saves, loads and removals from 4 threads over 4 bundles of level 7;
// every load must be exactly one version written for its address (a payload
// names its address and only that address's saves write it), during the run
// and afterwards. Returns the stored tiles and the largest per bundle.
std::vector<std::pair<uint64_t, uint64_t>> RunRandomStress(eRasterCompactManager& pool,
                                                           int milliseconds) {
    std::atomic<uint32_t> nextVersion{1};
    std::atomic<int> wrong{0}, loads{0}, saves{0};
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            std::mt19937 rng(1000 + t);
            while (std::chrono::steady_clock::now() < until) {
                const auto& group = kStressBundles[rng() % 4];
                const int tile = static_cast<int>(rng() % kStressTiles);
                const int row = group[0] + tile % 5, col = group[1] + tile / 5;
                eRasterCompactOperator* op = pool.GetOperator(7, group[0], group[1]);
                const unsigned action = rng() % 10;
                eByteArray data;
                if (op == nullptr) {
                    ++wrong;
                } else if (action < 6) {
                    if (!op->LoadTileData(data, row, col, 7)) continue;
                    if (Decode(data, 7, row, col) < 0) ++wrong;
                    ++loads;
                } else if (action < 9) {
                    if (action == 8) op->RemoveTileData(row, col, 7);  // a replacement
                    if (op->SaveTileData(Encode(7, row, col, nextVersion++), row, col, 7)) ++saves;
                } else if (!op->RemoveTileData(row, col, 7)) {
                    ++wrong;
                }
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(0, wrong.load());
    EXPECT_GT(saves.load(), 0);
    EXPECT_GT(loads.load(), 0);

    std::vector<std::pair<uint64_t, uint64_t>> stored;
    for (const auto& group : kStressBundles) {
        stored.emplace_back(0, 0);
        for (int tile = 0; tile < kStressTiles; ++tile) {
            const int row = group[0] + tile % 5, col = group[1] + tile / 5;
            eByteArray data;
            if (!pool.GetOperator(7, group[0], group[1])->LoadTileData(data, row, col, 7)) continue;
            EXPECT_GE(Decode(data, 7, row, col), 0);
            ++stored.back().first;
            stored.back().second =
                std::max<uint64_t>(stored.back().second, uint64_t(data.GetSize()));
        }
    }
    return stored;
}

}  // namespace

// In this system's own pairs, V2 bundles and ArcGIS-structured pairs; the
// header counters of the latter two must match the tiles that load.
TEST(BundlePoolConcurrency, RandomSavesLoadsAndRemovalsKeepEveryTileWhole) {
    for (const int mode : {0, 1, 2}) {
        SCOPED_TRACE(mode);
        TempDir tmp;
        eRasterCompactManager pool;
        pool.SetSrcPath(tmp.Root().c_str());
        if (mode == 1) pool.SetBundleFormat(eRasterCompact::BundleV2);
        pool.SetArcGISStructure(mode == 2);
        const auto stored = RunRandomStress(pool, 700);
        for (int b = 0; mode != 0 && b < 4; ++b) {
            char name[32];
            std::snprintf(name, sizeof name, "L07/R%04xC%04x.bundle", kStressBundles[b][0],
                          kStressBundles[b][1]);
            const Bytes bytes = ReadFile(tmp.Path() / "_alllayers" / name);
            ASSERT_GE(bytes.size(), mode == 1 ? 131136u : 65596u);
            EXPECT_EQ(bytes.size(), GetLE(bytes, 24, 8));             // file size
            EXPECT_GE(GetLE(bytes, 8, 4), stored[size_t(b)].second);  // largest tile
            uint64_t count = GetLE(bytes, 16, 8) / 4;  // V1: 4 x tiles; V2: non-zero entries
            if (mode == 1) {
                count = 0;
                for (int e = 0; e < 16384; ++e) count += GetLE(bytes, 64 + 8 * size_t(e), 8) != 0;
            }
            EXPECT_EQ(stored[size_t(b)].first, count);
        }
    }
}
