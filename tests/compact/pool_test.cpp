// The open-bundle pool: binding threads to per-bundle operators, recycling,
// release; then real threads reading, writing and moving between bundles.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "bundle_test_util.h"
#include "compact/eRasterCompactManager.h"

using namespace TVK;
using namespace bundletest;

namespace {

// Runs fn on a fresh thread and waits for it: a second thread id for the pool.
template <typename Fn>
void OnOtherThread(Fn fn) {
    std::thread t(fn);
    t.join();
}

eByteArray Text(const std::string& s) {
    return eByteArray(reinterpret_cast<const unsigned char*>(s.data()), static_cast<eInt>(s.size()));
}

}  // namespace

TEST(BundlePool, BindsThreadsAndRecyclesOperatorsOldestFirst) {
    TempDir tmp;
    eRasterCompactManager pool;
    EXPECT_EQ(nullptr, pool.GetOperator(0, 0, 0));  // no root yet: nothing made
    EXPECT_EQ(0, pool.GetThreadCompactCount());

    pool.SetSrcPath(tmp.Root().c_str());
    eRasterCompactOperator* a = pool.GetOperator(0, 0, 0);
    ASSERT_NE(nullptr, a);
    EXPECT_EQ(a, pool.GetOperator(0, 0, 0));
    EXPECT_EQ(1, pool.GetOperatorCount());
    EXPECT_EQ(1, pool.GetThreadCompactCount());

    // A second thread on the same bundle shares the operator.
    OnOtherThread([&] { EXPECT_EQ(a, pool.GetOperator(0, 0, 0)); });
    EXPECT_EQ(2, a->GetThreadCount());
    EXPECT_EQ(2, pool.GetThreadCompactCount());

    // Moving while the other thread stays: A keeps its key; B is new (none idle).
    eRasterCompactOperator* b = pool.GetOperator(0, 128, 0);
    ASSERT_NE(nullptr, b);
    EXPECT_NE(a, b);
    EXPECT_EQ(2, pool.GetOperatorCount());
    EXPECT_EQ(1, a->GetThreadCount());

    // Moving from B (alone there) to a bundle without operator: the freed B
    // is not handed out in the same call; a new one serves C, B goes idle.
    eRasterCompactOperator* c = pool.GetOperator(1, 0, 0);
    ASSERT_NE(nullptr, c);
    EXPECT_NE(b, c);
    EXPECT_EQ(2, pool.GetOperatorCount());
    EXPECT_EQ(1, pool.GetIdleOperatorCount());

    // The next new bundle takes the idle operator.
    EXPECT_EQ(b, pool.GetOperator(2, 0, 0));
    EXPECT_EQ(1, pool.GetIdleOperatorCount());  // c went idle in turn
    EXPECT_EQ(c, pool.GetOperator(3, 0, 0));

    // Rows 0..127 and -127..-1 share a key (the caller truncates toward zero);
    // the handle refuses the negative rows.
    eRasterCompactOperator* zero = pool.GetOperator(0, 0, 0);
    EXPECT_EQ(a, zero);
    EXPECT_FALSE(zero->SaveTileData(Text("neg"), -1, 0, 0));
    EXPECT_TRUE(zero->SaveTileData(Text("pos"), 1, 0, 0));

    // A thread not bound to an operator gets false from it, and touches no file.
    OnOtherThread([&] {
        eByteArray data;
        EXPECT_FALSE(c->LoadTileData(data, 1, 0, 3));
        EXPECT_FALSE(zero->SaveTileData(Text("x"), 5, 0, 0));
    });
    EXPECT_FALSE(zero->IsTileExist(5, 0, 0));
}

TEST(BundlePool, TileCallsAndReleaseAll) {
    TempDir first, second;
    eRasterCompactManager pool;
    pool.SetSrcPath(first.Root().c_str());

    eRasterCompactOperator* op = pool.GetOperator(5, 256, 128);
    ASSERT_NE(nullptr, op);
    EXPECT_FALSE(op->IsTileExist(300, 130, 5));
    ASSERT_TRUE(op->SaveTileData(Text("tile"), 300, 130, 5));
    EXPECT_FALSE(op->SaveTileData(Text("again"), 300, 130, 5));
    EXPECT_TRUE(op->IsTileExist(300, 130, 5));
    eByteArray data;
    ASSERT_TRUE(op->LoadTileData(data, 300, 130, 5));
    EXPECT_EQ(Text("tile"), data);
    EXPECT_TRUE(op->RemoveTileData(300, 130, 5));
    EXPECT_FALSE(op->IsTileExist(300, 130, 5));
    EXPECT_TRUE(op->RemoveTileData(300, 130, 5));

    // A new root reaches only handles made after ReleaseAll.
    pool.SetSrcPath(second.Root().c_str());
    ASSERT_TRUE(pool.GetOperator(0, 0, 0)->SaveTileData(Text("old root"), 0, 0, 0));
    EXPECT_TRUE(fs::exists(first.Path() / "_alllayers" / "L00" / "R0000C0000.bundle"));
    EXPECT_FALSE(fs::exists(second.Path() / "_alllayers"));

    pool.ReleaseAll();
    EXPECT_EQ(0, pool.GetOperatorCount());
    EXPECT_EQ(0, pool.GetIdleOperatorCount());
    EXPECT_EQ(0, pool.GetThreadCompactCount());
    ASSERT_TRUE(pool.GetOperator(0, 0, 0)->SaveTileData(Text("new root"), 0, 0, 0));
    EXPECT_TRUE(fs::exists(second.Path() / "_alllayers" / "L00" / "R0000C0000.bundle"));
    EXPECT_EQ(1, pool.GetThreadCompactCount());
}

TEST(BundlePool, FormatAndStructureReachEveryThreadsHandle) {
    TempDir tmp;
    eRasterCompactManager pool;
    pool.SetSrcPath(tmp.Root().c_str());
    const fs::path layers = tmp.Path() / "_alllayers";
    // Handles made before the change follow it too.
    ASSERT_NE(nullptr, pool.GetOperator(9, 0, 0));
    OnOtherThread([&] { ASSERT_NE(nullptr, pool.GetOperator(9, 0, 0)); });

    pool.SetBundleFormat(eRasterCompact::BundleV2);
    ASSERT_TRUE(pool.GetOperator(0, 0, 0)->SaveTileData(Text("v2"), 0, 0, 0));
    EXPECT_EQ(131136u + 4 + 2, fs::file_size(layers / "L00" / "R0000C0000.bundle"));
    EXPECT_FALSE(fs::exists(layers / "L00" / "R0000C0000.bundlx"));
    OnOtherThread([&] {
        eByteArray data;
        EXPECT_TRUE(pool.GetOperator(0, 0, 0)->LoadTileData(data, 0, 0, 0));
        EXPECT_EQ(Text("v2"), data);
    });

    // Back to V1 pairs, created in ArcGIS's structure; ReleaseAll keeps both.
    pool.SetBundleFormat(eRasterCompact::BundleV1);
    pool.SetArcGISStructure(true);
    ASSERT_TRUE(pool.GetOperator(1, 0, 0)->SaveTileData(Text("v1"), 0, 0, 1));
    EXPECT_EQ(81952u, fs::file_size(layers / "L01" / "R0000C0000.bundlx"));
    EXPECT_FALSE(pool.GetOperator(0, 0, 0)->IsTileExist(0, 0, 0));  // a V2 file is no pair
    pool.ReleaseAll();
    EXPECT_EQ(eRasterCompact::BundleV1, pool.GetBundleFormat());
    EXPECT_TRUE(pool.GetArcGISStructure());
    ASSERT_TRUE(pool.GetOperator(2, 0, 0)->SaveTileData(Text("v1"), 0, 0, 2));
    EXPECT_EQ(65596u + 4 + 2, fs::file_size(layers / "L02" / "R0000C0000.bundle"));
}

TEST(BundlePoolConcurrency, ReadersSeeEveryTileWhileAWriterAppends) {
    TempDir tmp;
    eRasterCompactManager pool;
    pool.SetSrcPath(tmp.Root().c_str());
    constexpr int kPrefilled = 200, kAppended = 600;
    for (int i = 0; i < kPrefilled; ++i)
        ASSERT_TRUE(pool.GetOperator(2, 0, 0)->SaveTileData(Encode(2, i % 128, i / 128, 1), i % 128,
                                                            i / 128, 2));

    std::atomic<int> written{kPrefilled};  // tiles 0..written-1 are stored
    std::atomic<int> bad{0}, loads{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&, r] {
            std::mt19937 rng(r);
            while (written.load() < kPrefilled + kAppended) {
                const int i = static_cast<int>(rng() % written.load());
                eByteArray data;
                eRasterCompactOperator* op = pool.GetOperator(2, 0, 0);
                if (op == nullptr || !op->LoadTileData(data, i % 128, i / 128, 2) ||
                    Decode(data, 2, i % 128, i / 128) != 1)
                    ++bad;
                ++loads;
            }
        });
    }
    for (int i = kPrefilled; i < kPrefilled + kAppended; ++i) {
        eRasterCompactOperator* op = pool.GetOperator(2, 0, 0);
        ASSERT_TRUE(op->SaveTileData(Encode(2, i % 128, i / 128, 1), i % 128, i / 128, 2));
        written.store(i + 1);
    }
    for (auto& t : readers) t.join();
    EXPECT_EQ(0, bad.load()) << "of " << loads.load() << " loads";
    EXPECT_EQ(1, pool.GetOperatorCount());
}

TEST(BundlePoolConcurrency, AnotherHandleReadsASaveAtOnce) {
    TempDir tmp;
    eRasterCompactManager pool;
    pool.SetSrcPath(tmp.Root().c_str());
    constexpr int kTiles = 400;
    ASSERT_TRUE(pool.GetOperator(0, 0, 0)->SaveTileData(Encode(0, 127, 127, 0), 127, 127, 0));

    std::atomic<int> saved{-1};
    std::atomic<int> missed{0};
    // The reader keeps its bundle open throughout, so it reads slots and
    // records through a descriptor that was open before each save.
    std::thread reader([&] {
        for (int i = 0; i < kTiles; ++i) {
            while (saved.load() < i) std::this_thread::yield();
            eByteArray data;
            eRasterCompactOperator* op = pool.GetOperator(0, 0, 0);
            if (!op->IsTileExist(i % 128, i / 128, 0) || !op->LoadTileData(data, i % 128, i / 128, 0) ||
                Decode(data, 0, i % 128, i / 128) != 7)
                ++missed;
        }
    });
    for (int i = 0; i < kTiles; ++i) {
        ASSERT_TRUE(pool.GetOperator(0, 0, 0)->SaveTileData(Encode(0, i % 128, i / 128, 7), i % 128,
                                                            i / 128, 0));
        saved.store(i);
    }
    reader.join();
    EXPECT_EQ(0, missed.load());
}

TEST(BundlePoolConcurrency, ThreadsMovingBetweenBundles) {
    TempDir tmp;
    eRasterCompactManager pool;
    pool.SetSrcPath(tmp.Root().c_str());
    constexpr int kThreads = 4, kBundles = 6, kRounds = 100;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                for (int k = 0; k < kBundles; ++k) {
                    // Each thread walks all bundles in its own order (1 and 5
                    // are coprime to 6, so both steps visit every bundle).
                    const int step = t % 2 == 0 ? 1 : 5;
                    const int bundle = (k * step + round + t) % kBundles;
                    const int col = bundle * 128 + t, row = round;
                    eRasterCompactOperator* op = pool.GetOperator(1, 0, bundle * 128);
                    eByteArray data;
                    if (op == nullptr || !op->SaveTileData(Encode(1, row, col, 3), row, col, 1) ||
                        !op->LoadTileData(data, row, col, 1) || Decode(data, 1, row, col) != 3)
                        ++failures;
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(0, failures.load());
    // At most one operator in use per thread, and every tile is there.
    EXPECT_LE(pool.GetOperatorCount(), kThreads);
    EXPECT_EQ(kThreads, pool.GetThreadCompactCount());
    for (int bundle = 0; bundle < kBundles; ++bundle)
        for (int t = 0; t < kThreads; ++t)
            for (int round = 0; round < kRounds; ++round) {
                eByteArray data;
                const int col = bundle * 128 + t;
                ASSERT_TRUE(pool.GetOperator(1, 0, bundle * 128)->LoadTileData(data, round, col, 1));
                ASSERT_EQ(3, Decode(data, 1, round, col));
            }
}

namespace {

constexpr int kStressTiles = 24;
const int kStressBundles[4][2] = {{0, 0}, {0, 128}, {128, 0}, {256, 384}};  // rowGroup, colGroup

// Random saves, loads and removals from 4 threads over 4 bundles of level 7
// for the given time; every load must be exactly one version written for its
// address, during the run and afterwards.
void RunRandomStress(eRasterCompactManager& pool, int milliseconds) {
    constexpr int kThreads = 4;
    // Versions ever written per address; a version is entered before its save
    // starts, so a reader can never see one that is not listed.
    std::mutex versionsMutex;
    std::map<std::pair<int, int>, std::set<uint32_t>> versions;
    std::atomic<uint32_t> nextVersion{1};
    std::atomic<int> wrong{0};
    std::atomic<long> loads{0}, saves{0}, removals{0};
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 rng(1000 + t);
            while (std::chrono::steady_clock::now() < until) {
                const auto& group = kStressBundles[rng() % 4];
                const int tile = static_cast<int>(rng() % kStressTiles);
                const int row = group[0] + tile % 5, col = group[1] + tile / 5;
                eRasterCompactOperator* op = pool.GetOperator(7, group[0], group[1]);
                if (op == nullptr) { ++wrong; continue; }
                const unsigned action = rng() % 10;
                if (action < 6) {
                    eByteArray data;
                    if (op->LoadTileData(data, row, col, 7)) {
                        const int64_t v = Decode(data, 7, row, col);
                        std::lock_guard<std::mutex> lock(versionsMutex);
                        if (v < 0 || versions[{row, col}].count(uint32_t(v)) == 0) ++wrong;
                        ++loads;
                    }
                } else if (action < 9) {
                    // Replacement: removal first, since a save keeps a stored tile.
                    if (action == 8) op->RemoveTileData(row, col, 7);
                    const uint32_t v = nextVersion++;
                    {
                        std::lock_guard<std::mutex> lock(versionsMutex);
                        versions[{row, col}].insert(v);
                    }
                    if (op->SaveTileData(Encode(7, row, col, v), row, col, 7)) ++saves;
                } else {
                    if (!op->RemoveTileData(row, col, 7)) ++wrong;
                    ++removals;
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(0, wrong.load());
    EXPECT_GT(saves.load(), 0);
    EXPECT_GT(loads.load(), 0);

    // Afterwards every address holds nothing or exactly one version written for it.
    for (const auto& group : kStressBundles)
        for (int tile = 0; tile < kStressTiles; ++tile) {
            const int row = group[0] + tile % 5, col = group[1] + tile / 5;
            eRasterCompactOperator* op = pool.GetOperator(7, group[0], group[1]);
            eByteArray data;
            if (!op->LoadTileData(data, row, col, 7)) continue;
            const int64_t v = Decode(data, 7, row, col);
            ASSERT_GE(v, 0);
            EXPECT_EQ(1u, versions[std::make_pair(row, col)].count(uint32_t(v)));
        }
}

// Stored tiles of one stress bundle and the largest of them, through the pool.
void CountStored(eRasterCompactManager& pool, const int group[2], uint64_t& count, uint64_t& largest) {
    count = largest = 0;
    for (int tile = 0; tile < kStressTiles; ++tile) {
        const int row = group[0] + tile % 5, col = group[1] + tile / 5;
        eByteArray data;
        if (!pool.GetOperator(7, group[0], group[1])->LoadTileData(data, row, col, 7)) continue;
        ++count;
        largest = std::max<uint64_t>(largest, uint64_t(data.GetSize()));
    }
}

fs::path StressBundle(const TempDir& tmp, const int group[2], const char* ext) {
    char name[32];
    std::snprintf(name, sizeof name, "R%04xC%04x%s", group[0], group[1], ext);
    return tmp.Path() / "_alllayers" / "L07" / name;
}

}  // namespace

TEST(BundlePoolConcurrency, RandomSavesLoadsAndRemovalsKeepEveryTileWhole) {
    TempDir tmp;
    eRasterCompactManager pool;
    pool.SetSrcPath(tmp.Root().c_str());
    RunRandomStress(pool, 2000);
}

TEST(BundlePoolConcurrency, V2BundlesUnderRandomWorkKeepTilesAndHeaderWhole) {
    TempDir tmp;
    eRasterCompactManager pool;
    pool.SetSrcPath(tmp.Root().c_str());
    pool.SetBundleFormat(eRasterCompact::BundleV2);
    RunRandomStress(pool, 1500);
    for (const auto& group : kStressBundles) {
        const fs::path file = StressBundle(tmp, group, ".bundle");
        const Bytes bytes = ReadFile(file);
        ASSERT_GE(bytes.size(), 131136u);
        EXPECT_FALSE(fs::exists(StressBundle(tmp, group, ".bundlx")));
        uint64_t count = 0, largest = 0;
        CountStored(pool, group, count, largest);
        EXPECT_EQ(bytes.size(), GetLE(bytes, 24, 8));  // file size field
        EXPECT_GE(GetLE(bytes, 8, 4), largest);       // largest tile field
        // As many non-zero entries as tiles load.
        uint64_t entries = 0;
        for (int e = 0; e < 16384; ++e) entries += GetLE(bytes, 64 + 8 * size_t(e), 8) != 0;
        EXPECT_EQ(count, entries);
    }
}

TEST(BundlePoolConcurrency, ArcGISPairsUnderRandomWorkCountTheirTiles) {
    TempDir tmp;
    eRasterCompactManager pool;
    pool.SetSrcPath(tmp.Root().c_str());
    pool.SetArcGISStructure(true);
    RunRandomStress(pool, 1500);
    for (const auto& group : kStressBundles) {
        const Bytes data = ReadFile(StressBundle(tmp, group, ".bundle"));
        ASSERT_GE(data.size(), 65596u);
        uint64_t count = 0, largest = 0;
        CountStored(pool, group, count, largest);
        EXPECT_EQ(4 * count, GetLE(data, 16, 8));
        EXPECT_EQ(data.size(), GetLE(data, 24, 8));
        EXPECT_GE(GetLE(data, 8, 4), largest);
    }
}
