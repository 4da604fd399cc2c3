// A cache filled by another process while `tvk serve` serves it: clients
// on several threads see every tile either missing (404) or whole, never
// torn or mixed up, and every tile once the writer is done. Runs the
// built server, so under ThreadSanitizer it checks the server's threads too.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "server_support.h"

namespace tvktest {

namespace {

constexpr int kLevel = 5;
constexpr int kSide = 16;  // rows and columns 0-15 of level 5

// A tile whose bytes and length depend on its address.
Bytes TileAt(int row, int col) {
    return FakePng("r" + std::to_string(row) + "c" + std::to_string(col),
                   500 + static_cast<size_t>((row * kSide + col) * 37 % 4000));
}

}  // namespace

TEST(ServeConcurrency, TilesAddedByAnotherProcessAppearWhole) {
    if (TvkPath().empty()) GTEST_SKIP() << "the tvk tool was not built";
    const eTileStorage::EmFormat formats[] = {eTileStorage::Compact, eTileStorage::CompactV2,
                                              eTileStorage::Original};
    for (const eTileStorage::EmFormat format : formats) {
        SCOPED_TRACE(static_cast<int>(format));
        TempDir dir;
        const std::string config = dir.Str() + "/tilecache.xml";
        {
            eTileStorage storage;
            MakeWebMercator(storage, kLevel + 1, format);
            ASSERT_TRUE(storage.ToConfigFile(config.c_str()));
        }
        ServeProcess server({dir.Str(), "--name", "c", "--threads", "2"});
        ASSERT_TRUE(server.Running()) << server.Output();

        // The writer: another process with its own storage, in random order.
        const pid_t writer = fork();
        if (writer == 0) {
            eTileStorage storage;
            if (!storage.FromConfigFile(config.c_str())) _exit(2);
            std::vector<int> order(kSide * kSide);
            for (int i = 0; i < kSide * kSide; ++i) order[i] = i;
            std::shuffle(order.begin(), order.end(), std::mt19937(7));
            for (const int i : order) {
                const Bytes tile = TileAt(i / kSide, i % kSide);
                if (!Save(storage, kLevel, i / kSide, i % kSide, tile)) _exit(3);
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            }
            _exit(0);
        }

        std::atomic<bool> writing{true};
        std::atomic<int> wrong{0}, whole{0}, missing{0};
        std::vector<std::thread> readers;
        for (int t = 0; t < 3; ++t) {
            readers.emplace_back([&, t] {
                HttpClient client;
                std::mt19937 random(t);
                while (writing.load()) {
                    const int row = static_cast<int>(random() % kSide);
                    const int col = static_cast<int>(random() % kSide);
                    const tagHttpReply r =
                        client.Get(server.Url("/c/" + std::to_string(kLevel) + "/" +
                                              std::to_string(col) + "/" + std::to_string(row)));
                    if (r.Status == 404) {
                        ++missing;
                    } else if (r.Status == 200 && r.Body == TileAt(row, col)) {
                        ++whole;
                    } else {
                        ++wrong;
                    }
                }
            });
        }
        int status = 0;
        waitpid(writer, &status, 0);
        writing = false;
        for (std::thread& t : readers) t.join();
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_EQ(wrong.load(), 0);
        EXPECT_GT(whole.load(), 0);
        EXPECT_GT(missing.load(), 0);

        HttpClient client;
        for (int row = 0; row < kSide; ++row) {
            for (int col = 0; col < kSide; ++col) {
                const tagHttpReply r = client.Get(
                    server.Url("/c/5/" + std::to_string(col) + "/" + std::to_string(row) + ".png"));
                EXPECT_EQ(r.Status, 200) << row << " " << col;
                EXPECT_EQ(r.Body, TileAt(row, col)) << row << " " << col;
            }
        }
        EXPECT_EQ(server.Stop(), 0);
    }
}

}  // namespace tvktest
