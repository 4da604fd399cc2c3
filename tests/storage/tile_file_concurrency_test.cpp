// Many processes, each with several threads, on one MBTiles file and one
// GeoPackage: writers replace and remove their own tiles, one of them in bulk
// batches, while readers load everyone's. No call may fail for a lock held
// elsewhere, a reader must only ever see a whole tile at its own address, and
// each writer's last pass must be in the file at the end.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "support/sql_query.h"
#include "support/storage_util.h"

using namespace tvktest;
using TVK::eByteArray;
using TVK::eTileStorage;

namespace {

constexpr int kLevel = 10;
constexpr int kWriters = 4;
constexpr int kReaders = 2;
constexpr int kThreads = 2;          // per process
constexpr int kTilesPerThread = 48;  // each writer thread owns one row of them
constexpr auto kRunFor = std::chrono::milliseconds(600);

// A tile naming its address and version: row, column and version as 32-bit
// numbers, then filler whose length and value follow from them.
Bytes Payload(int row, int col, int version) {
    const size_t size = 12 + static_cast<size_t>((row * 131 + col * 17 + version * 7) % 900);
    Bytes bytes(size, static_cast<unsigned char>(row + col + version));
    std::memcpy(bytes.data(), &row, 4);
    std::memcpy(bytes.data() + 4, &col, 4);
    std::memcpy(bytes.data() + 8, &version, 4);
    return bytes;
}

bool IsWholeTileOf(const eByteArray& data, int row, int col) {
    if (data.GetSize() < 12) return false;
    int r = 0, c = 0, v = 0;
    std::memcpy(&r, data.GetData(), 4);
    std::memcpy(&c, data.GetData() + 4, 4);
    std::memcpy(&v, data.GetData() + 8, 4);
    return r == row && c == col && ToBytes(data) == Payload(row, col, v);
}

// Row of writer w's thread t.
int RowOf(int writer, int thread) { return writer * kThreads + thread; }
constexpr int kFinal = 1 << 20;  // version of the last pass

std::unique_ptr<eTileStorage> WebMercator() {
    auto storage = std::make_unique<eTileStorage>();
    SetWebMercator(storage->GetTileCoordSys(), kLevel + 1);
    return storage;
}

// Exit code bits of a child.
enum : int { kOpenFailed = 1, kCallFailed = 2, kTornRead = 4, kBulkFailed = 8 };

int Writer(const std::string& name, int writer) {
    eTileStorage storage;
    if (!storage.FromTileFile(name.c_str())) return kOpenFailed;
    const bool bulk = writer == 0;
    if (bulk) storage.BeginBulkWrite();
    std::atomic<int> result{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const int row = RowOf(writer, t);
            const auto end = std::chrono::steady_clock::now() + kRunFor;
            for (int version = 0; std::chrono::steady_clock::now() < end; ++version) {
                const int col = version % kTilesPerThread;
                const Bytes bytes = Payload(row, col, version);
                if (version % 7 == 3 && !storage.RemoveTile(kLevel, row, col))
                    result |= kCallFailed;
                if (!Save(storage, kLevel, row, col, bytes)) result |= kCallFailed;
            }
            for (int col = 0; col < kTilesPerThread; ++col) {
                if (!Save(storage, kLevel, row, col, Payload(row, col, kFinal)))
                    result |= kCallFailed;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    if (bulk && !storage.EndBulkWrite()) result |= kBulkFailed;
    storage.ReleaseHandles();
    return result;
}

int Reader(const std::string& name, int reader) {
    eTileStorage storage;
    if (!storage.FromTileFile(name.c_str())) return kOpenFailed;
    std::atomic<int> result{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(static_cast<unsigned>(reader * 10 + t));
            const auto end = std::chrono::steady_clock::now() + kRunFor;
            eByteArray data;
            while (std::chrono::steady_clock::now() < end) {
                const int row = static_cast<int>(random() % (kWriters * kThreads));
                const int col = static_cast<int>(random() % kTilesPerThread);
                // A missing tile is fine (not written yet, or removed just now).
                if (storage.LoadImageData(kLevel, row, col, data) && !IsWholeTileOf(data, row, col))
                    result |= kTornRead;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    return result;
}

}  // namespace

TEST(TileFileConcurrency, ProcessesAndThreadsShareOneFileWithoutLockFailures) {
    TempDir dir;
    for (const char* file : {"shared.mbtiles", "shared.gpkg"}) {
        const std::string name = (dir / file).string();
        auto created = WebMercator();
        ASSERT_EQ(created->CreateTileFile(name.c_str()), 1) << created->GetTileFileError().Std();
        created.reset();
        // Every child forks from this single-threaded process, then starts its
        // own threads; all run at once.
        std::vector<pid_t> children;
        for (int i = 0; i < kWriters + kReaders; ++i) {
            const pid_t pid = ::fork();
            if (pid == 0) ::_exit(i < kWriters ? Writer(name, i) : Reader(name, i - kWriters));
            children.push_back(pid);
        }
        for (size_t i = 0; i < children.size(); ++i) {
            int status = 0;
            ASSERT_GT(children[i], 0);
            ASSERT_EQ(::waitpid(children[i], &status, 0), children[i]);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                << file << (int(i) < kWriters ? " writer " : " reader ") << i << ": status "
                << status;
        }

        EXPECT_EQ(SqlText(name, "PRAGMA integrity_check"), "ok") << file;
        auto storage = std::make_unique<eTileStorage>();
        ASSERT_EQ(storage->FromTileFile(name.c_str()), 1);
        int wrong = 0;
        for (int writer = 0; writer < kWriters; ++writer)
            for (int t = 0; t < kThreads; ++t)
                for (int col = 0; col < kTilesPerThread; ++col)
                    wrong += Load(*storage, kLevel, RowOf(writer, t), col) !=
                             Payload(RowOf(writer, t), col, kFinal);
        EXPECT_EQ(wrong, 0) << file;
    }
}
