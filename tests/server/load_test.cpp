// A bounded load test: wrk with 64 connections for 10 seconds (3 under
// sanitizers) against `tvk serve`, a mix of stored tiles and missing ones.
// No socket error, every answer the right status (checked line by line in
// the access log: stored tiles 200, the others 404), and resident memory
// flat from the first seconds to the end.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <regex>
#include <sstream>
#include <thread>

#include "server_support.h"

namespace tvktest {

namespace {

#ifdef TVK_TEST_SANITIZED
constexpr int kSeconds = 3;
#else
constexpr int kSeconds = 10;
#endif
constexpr int kStored = 8;  // level 3 holds columns and rows 0-7; 8-11 are missing

std::string Capture(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    pclose(pipe);
    return out;
}

}  // namespace

TEST(ServeLoad, WrkMixOfHitsAndMissesGetsRightStatusesAndFlatMemory) {
    if (TvkPath().empty()) GTEST_SKIP() << "the tvk tool was not built";
    if (!HaveProgram("wrk")) GTEST_SKIP() << "wrk is not installed";
    TempDir dir;
    {
        eTileStorage storage;
        MakeWebMercator(storage, 5, eTileStorage::Compact);
        ASSERT_TRUE(storage.ToConfigFile((dir.Str() + "/c/tilecache.xml").c_str()));
        for (int row = 0; row < kStored; ++row) {
            for (int col = 0; col < kStored; ++col) {
                const Bytes tile = FakePng(std::to_string(row * 8 + col), 4000 + 100 * col);
                ASSERT_TRUE(Save(storage, 3, row, col, tile));
            }
        }
    }
    const std::string log = dir.Str() + "/access.log";
    ServeProcess server({dir.Str() + "/c", "--access-log", log});
    ASSERT_TRUE(server.Running()) << server.Output();
    WriteText(dir / "mix.lua",
              "local counter = 0\n"
              "function setup(thread) thread:set('seed', counter); counter = counter + 1 end\n"
              "function init(args) math.randomseed(seed * 7919 + 1) end\n"
              "function request()\n"
              "  return wrk.format('GET', '/c/3/' .. math.random(0, 11) .. '/' .. "
              "math.random(0, 11) .. '.png')\n"
              "end\n");

    // Memory once the server is warm, and at the end.
    std::atomic<bool> running{true};
    std::atomic<long> warm{0}, last{0};
    std::thread sampler([&] {
        const auto start = std::chrono::steady_clock::now();
        while (running) {
            const long rss = server.RssKb();
            if (warm == 0 && std::chrono::steady_clock::now() - start > std::chrono::seconds(2))
                warm = rss;
            last = rss;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    });
    const std::string out = Capture("wrk -t2 -c64 -d" + std::to_string(kSeconds) + "s -s " +
                                    dir.Str() + "/mix.lua " + server.Url("") + " 2>&1");
    running = false;
    sampler.join();
    ASSERT_EQ(server.Stop(), 0);

    std::smatch match;
    ASSERT_TRUE(std::regex_search(out, match, std::regex("([0-9]+) requests in"))) << out;
    const long requests = std::stol(match[1]);
    EXPECT_GT(requests, 1000) << out;
    EXPECT_EQ(out.find("Socket errors"), std::string::npos) << out;

    // Every answer in the log, with the status its address calls for.
    std::istringstream lines(ReadText(log));
    const std::regex entry("\"GET /c/3/([0-9]+)/([0-9]+)\\.png HTTP/1\\.1\" ([0-9]{3}) ");
    long logged = 0, hits = 0, wrong = 0;
    for (std::string line; std::getline(lines, line);) {
        ++logged;
        if (!std::regex_search(line, match, entry)) {
            ++wrong;
            continue;
        }
        const bool stored = std::stoi(match[1]) < kStored && std::stoi(match[2]) < kStored;
        hits += stored;
        if (match[3] != (stored ? "200" : "404")) ++wrong;
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_GE(logged, requests);  // wrk counts only the answers it read to the end
    EXPECT_GT(hits, logged / 4);
    EXPECT_LT(hits, logged * 3 / 4);
#ifndef TVK_TEST_SANITIZED
    EXPECT_LT(last - warm, 5 * 1024) << "RSS " << warm << " kB warm, " << last << " kB at the end";
#endif
}

}  // namespace tvktest
