// Remote archives over HTTP: nginx serving a file (range requests, ETag and
// If-Match as a real server does them), a file replaced while threads read
// it, and a server that fails on purpose.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "pmtiles_util.h"
#include "support/test_processes.h"

namespace tvktest {

namespace {

// fault_server.py serving one file, each way of failing at its own path.
class FaultServer {
public:
    FaultServer(const TempDir& dir, const fs::path& file) {
        const fs::path portFile = dir / "port";
        m_process = std::make_unique<ChildProcess>(
            std::vector<std::string>{"python3",
                                     std::string(TVK_TEST_PMTILES_DIR) + "/fault_server.py",
                                     file.string(), portFile.string(), "60"},
            (dir / "server.log").string());
        // Python takes a second or more to start on a busy machine.
        for (int i = 0; i < 1500 && !fs::exists(portFile); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (fs::exists(portFile)) m_port = std::stoi(ReadText(portFile));
        m_up = m_port > 0 && WaitForPort(m_port);
    }
    bool Up() const { return m_up; }
    std::string Url(const std::string& mode) const {
        return "http://127.0.0.1:" + std::to_string(m_port) + "/" + mode;
    }
    // Requests the server has seen at a mode's path.
    int Requests(const std::string& mode) const {
        TVK::eHttpRange stats(Url("stats/" + mode).c_str());
        TVK::eByteArray body;
        TVK::eString error;
        if (stats.ReadAt(0, 1000, body, error) < 0) return -1;
        return nlohmann::json::parse(ToBytes(body)).at("requests").get<int>();
    }

private:
    std::unique_ptr<ChildProcess> m_process;
    int m_port = -1;
    bool m_up = false;
};

std::unique_ptr<ePMTilesReader> OpenRemote(const std::string& url, bool& opened, int attempts = 4) {
    auto source = std::make_unique<ePMTilesHttpSource>(url.c_str());
    source->Http().SetRetries(attempts, 2);
    auto reader = std::make_unique<ePMTilesReader>();
    opened = reader->Open(std::move(source));
    return reader;
}

bool Has(const TVK::eString& text, const std::string& what) {
    return text.Std().find(what) != std::string::npos;
}

}  // namespace

TEST(PMTilesRemote, ReadsThroughNginxWithRangeRequests) {
    ASSERT_TRUE(HaveNginx()) << "nginx is not installed (scripts/deps installs it)";
    TempDir dir;
    Nginx nginx(dir);
    ASSERT_TRUE(nginx.Up()) << nginx.Log();
    const std::vector<tagTile> tiles = LeafyTiles();
    ASSERT_TRUE(WriteArchive(nginx.Www() / "world.pmtiles", tiles));

    bool opened = false;
    auto reader = OpenRemote(nginx.Url("world.pmtiles"), opened);
    ASSERT_TRUE(opened) << reader->GetLastError().Std();
    EXPECT_EQ(reader->GetSource().GetSize(), int64_t(fs::file_size(nginx.Www() / "world.pmtiles")));
    size_t wrong = 0;
    for (size_t i = 0; i < tiles.size(); i += 7)
        wrong += LoadTile(*reader, tiles[i].z, tiles[i].x, tiles[i].y) != tiles[i].bytes;
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(reader->HasTile(8, 0, 0), ePMTilesReader::Absent);

    reader = OpenRemote(nginx.Url("missing.pmtiles"), opened);
    EXPECT_FALSE(opened);
    EXPECT_TRUE(Has(reader->GetLastError(), "HTTP 404")) << reader->GetLastError().Std();
    WriteText(nginx.Www() / "page.html", "<html>not an archive</html>");
    reader = OpenRemote(nginx.Url("page.html"), opened);
    EXPECT_FALSE(opened);
    EXPECT_TRUE(Has(reader->GetLastError(), "not a PMTiles version 3 archive"));
}

TEST(PMTilesRemoteConcurrency, FileReplacedWhileThreadsReadIsNeverMixed) {
    ASSERT_TRUE(HaveNginx()) << "nginx is not installed (scripts/deps installs it)";
    TempDir dir;
    Nginx nginx(dir);
    ASSERT_TRUE(nginx.Up()) << nginx.Log();
    const std::vector<tagTile> v1 = LeafyTiles();
    std::vector<tagTile> v2 = v1;
    // Other bytes and lengths everywhere: a directory of one version and
    // data of the other would give wrong tiles, not failures.
    for (tagTile& t : v2) t.bytes = Concat(Text("second version of "), t.bytes);
    const fs::path served = nginx.Www() / "world.pmtiles";
    ASSERT_TRUE(WriteArchive(served, v1));

    bool opened = false;
    auto reader = OpenRemote(nginx.Url("world.pmtiles"), opened);
    ASSERT_TRUE(opened) << reader->GetLastError().Std();
    std::atomic<bool> stop{false};
    std::atomic<size_t> right{0}, wrong{0}, changed{0}, other{0};
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(t);
            while (!stop) {
                const tagTile& tile = v1[random() % v1.size()];
                TVK::eByteArray data;
                switch (reader->LoadTile(tile.z, tile.x, tile.y, data)) {
                    case ePMTilesReader::Found:
                        (ToBytes(data) == tile.bytes ? right : wrong)++;
                        break;
                    case ePMTilesReader::Failed:
                        (Has(reader->GetLastError(), "changed on the server") ? changed : other)++;
                        break;
                    case ePMTilesReader::Absent: other++; break;
                }
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_TRUE(WriteArchive(dir / "next.pmtiles", v2));
    fs::rename(dir / "next.pmtiles", served);  // as a deployment replaces a file
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stop = true;
    for (auto& t : threads) t.join();
    EXPECT_GT(right.load(), 0u);
    EXPECT_GT(changed.load(), 0u);
    EXPECT_EQ(wrong.load(), 0u);
    EXPECT_EQ(other.load(), 0u);
    // Opened again, the new version reads whole.
    reader = OpenRemote(nginx.Url("world.pmtiles"), opened);
    ASSERT_TRUE(opened);
    EXPECT_EQ(LoadTile(*reader, 7, 5, 9), Concat(Text("second version of "), LeafyTile(7, 5, 9)));
}

TEST(PMTilesRemote, RetriesTransientFailuresThenGivesUpClearly) {
    TempDir dir;
    const std::vector<tagTile> tiles = LeafyTiles();
    const fs::path file = dir / "world.pmtiles";
    ASSERT_TRUE(WriteArchive(file, tiles));
    FaultServer server(dir, file);
    ASSERT_TRUE(server.Up()) << ReadText(dir / "server.log");
    bool opened = false;

    // Two failures before each answer: every read succeeds on its third
    // attempt, and a read is one request (the opening, each leaf, each tile).
    auto reader = OpenRemote(server.Url("every-third"), opened);
    ASSERT_TRUE(opened) << reader->GetLastError().Std();
    size_t wrong = 0;
    for (size_t i = 0; i < tiles.size(); i += 997)
        wrong += LoadTile(*reader, tiles[i].z, tiles[i].x, tiles[i].y) != tiles[i].bytes;
    EXPECT_EQ(wrong, 0u);
    const int reads = 1 + int(reader->GetLeafReads()) + int((tiles.size() + 996) / 997);
    EXPECT_EQ(server.Requests("every-third"), 3 * reads);

    // Connections closed without an answer are retried too.
    reader = OpenRemote(server.Url("drop"), opened);
    ASSERT_TRUE(opened) << reader->GetLastError().Std();
    EXPECT_EQ(LoadTile(*reader, 7, 100, 3), LeafyTile(7, 100, 3));
    EXPECT_EQ(LoadTile(*reader, 3, 2, 1), LeafyTile(3, 2, 1));

    // A server that keeps failing: a bounded number of attempts, then the reason.
    reader = OpenRemote(server.Url("always-503"), opened);
    EXPECT_FALSE(opened);
    EXPECT_TRUE(Has(reader->GetLastError(), "HTTP 503 (after 4 attempts)"))
        << reader->GetLastError().Std();
    EXPECT_EQ(server.Requests("always-503"), 4);

    // A server without range requests would send the whole file for every tile.
    reader = OpenRemote(server.Url("no-range"), opened);
    EXPECT_FALSE(opened);
    EXPECT_TRUE(Has(reader->GetLastError(), "does not answer range requests"));

    // A cache in front that ignores If-Match: the changed ETag still tells.
    reader = OpenRemote(server.Url("no-if-match"), opened);
    ASSERT_TRUE(opened);
    EXPECT_EQ(LoadTile(*reader, 0, 0, 0), LeafyTile(0, 0, 0));
    std::vector<tagTile> other = tiles;
    other.pop_back();
    ASSERT_TRUE(WriteArchive(dir / "next.pmtiles", other));
    fs::rename(dir / "next.pmtiles", file);
    TVK::eByteArray data;
    EXPECT_EQ(reader->LoadTile(0, 0, 0, data), ePMTilesReader::Failed);
    EXPECT_TRUE(Has(reader->GetLastError(), "changed on the server while it was being read"))
        << reader->GetLastError().Std();
}

}  // namespace tvktest
