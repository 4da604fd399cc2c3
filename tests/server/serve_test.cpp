// The built `tvk serve` over caches of every layout, through real sockets:
// the bytes of every endpoint equal `tvk get`'s, the HTTP behaviour seen by
// a client (304, HEAD, missing tiles, keep-alive and pipelining), hostile
// and malformed requests, the idle and connection limits, and a clean stop
// on SIGTERM that lets a response in flight finish.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "server_support.h"

namespace tvktest {

namespace {

const fs::path kFixtures = fs::path(TVK_SOURCE_DIR) / "tests/storage/fixtures";

struct tagStored {
    std::string Cache;
    int Level, Row, Col;
    int LevelId;  // ArcGIS REST level
    Bytes Data;
    std::string File;  // a single-file cache's file; others are the folder Cache
};

// Native caches written through the library, ArcGIS caches byte by byte as
// ArcGIS lays them out.
class Serve : public ::testing::Test {
protected:
    void SetUp() override {
        if (TvkPath().empty()) GTEST_SKIP() << "the tvk tool was not built";
    }

    std::string Native(const std::string& name, eTileStorage::EmFormat format, bool utm = false) {
        const std::string dir = m_dir.Str() + "/" + name;
        eTileStorage storage;
        if (utm)
            MakeUtm(storage, format);
        else
            MakeWebMercator(storage, 4, format);
        storage.SetName(name.c_str());
        EXPECT_TRUE(storage.ToConfigFile((dir + "/tilecache.xml").c_str()));
        const int tiles[][3] = {{1, 0, 1}, {2, 3, 1}, {2, 2, 3}};
        for (const auto& t : tiles) {
            const Bytes data = FakePng(name + std::to_string(t[0]) + std::to_string(t[1]), 900);
            EXPECT_TRUE(Save(storage, t[0], t[1], t[2], data));
            m_stored.push_back({name, t[0], t[1], t[2], t[0], data, {}});
        }
        return dir;
    }

    // ArcGIS Compact V1 (conf.xml of ArcGIS Server 10.1, index and data
    // files in ArcGIS's structure) or V2 (the same conf.xml naming V2).
    std::string ArcGISCompact(const std::string& name, bool v2) {
        const fs::path dir = m_dir / name;
        std::string conf = ReadText(kFixtures / "arcgis_compact/conf.xml");
        if (v2) {
            const std::string v1 = "esriMapCacheStorageModeCompact<";
            conf.replace(conf.find(v1), v1.size(), "esriMapCacheStorageModeCompactV2<");
        }
        WriteText(dir / "conf.xml", conf);
        fs::copy_file(kFixtures / "arcgis_compact/conf.cdi", dir / "conf.cdi");
        const Bytes a = FakePng(name + "A", 700), b = FakePng(name + "B", 1300);
        if (v2) {
            Bytes bundle = V2Bundle();
            V2Append(bundle, 1, 2, a);
            V2Append(bundle, 3, 0, b);
            WriteFile(dir / "_alllayers/L02/R0000C0000.bundle", bundle);
        } else {
            // Slot of a tile: (col % 128) * 128 + row % 128, five bytes after
            // the 16-byte header; records after the data file's prelude.
            Bytes index = ArcGISIndex(), data = ArcGISData(0, 0);
            PutLE(index, 16 + 5 * (2 * 128 + 1), data.size(), 5);
            data = Concat(data, Record(a));
            PutLE(index, 16 + 5 * (0 * 128 + 3), data.size(), 5);
            data = Concat(data, Record(b));
            WriteFile(dir / "_alllayers/L02/R0000C0000.bundlx", index);
            WriteFile(dir / "_alllayers/L02/R0000C0000.bundle", data);
        }
        m_stored.push_back({name, 2, 1, 2, 2, a, {}});
        m_stored.push_back({name, 2, 3, 0, 2, b, {}});
        return dir.string();
    }

    // ArcGIS exploded, geographic, JPEG, levels numbered 2, 3, 4.
    std::string ArcGISExploded(const std::string& name) {
        const fs::path dir = m_dir / name;
        fs::create_directories(dir);
        fs::copy_file(kFixtures / "arcgis_exploded/Conf.xml", dir / "Conf.xml");
        fs::copy_file(kFixtures / "arcgis_exploded/conf.cdi", dir / "conf.cdi");
        const Bytes jpeg = Concat({0xFF, 0xD8, 0xFF, 0xE0}, Text(name + " exploded tile"));
        WriteFile(dir / "_alllayers/L03/R00000001/C0000000a.jpg", jpeg);
        m_stored.push_back({name, 1, 1, 10, 3, jpeg, {}});
        return dir.string();
    }

    // A single file the tool copied from a cache made above: the same tiles.
    std::string SingleFile(const std::string& name, const std::string& ext,
                           const std::string& from) {
        const std::string file = m_dir.Str() + "/" + name + ext;
        EXPECT_EQ(RunTvk({"copy", m_dir.Str() + "/" + from, file}).Code, 0) << file;
        const std::vector<tagStored> made = m_stored;
        for (tagStored t : made)
            if (t.Cache == from) {
                t.Cache = name;
                t.File = file;
                m_stored.push_back(t);
            }
        return file;
    }

    TempDir m_dir;
    std::vector<tagStored> m_stored;
};

}  // namespace

TEST_F(Serve, EveryLayoutAndEndpointServesTheStoredBytes) {
    const std::vector<std::string> caches = {
        Native("v1", eTileStorage::Compact),
        Native("v2", eTileStorage::CompactV2),
        Native("orig", eTileStorage::Original),
        Native("utm", eTileStorage::Compact, true),
        ArcGISCompact("agv1", false),
        ArcGISCompact("agv2", true),
        ArcGISExploded("agex"),
        SingleFile("mb", ".mbtiles", "v1"),
        SingleFile("gp", ".gpkg", "utm"),
        SingleFile("pm", ".pmtiles", "v2"),
    };
    std::vector<std::string> args = caches;
    for (const char* name : {"v1", "v2", "orig", "utm", "agv1", "agv2", "agex", "mb", "gp", "pm"}) {
        args.push_back("--name");
        args.push_back(name);
    }
    ServeProcess server(args);
    ASSERT_TRUE(server.Running()) << server.Output();

    for (const tagStored& t : m_stored) {
        const std::string where = t.Cache + " " + std::to_string(t.Level) + "/" +
                                  std::to_string(t.Row) + "/" + std::to_string(t.Col);
        const std::string z = std::to_string(t.Level), row = std::to_string(t.Row),
                          col = std::to_string(t.Col);
        const std::string cache = t.File.empty() ? m_dir.Str() + "/" + t.Cache : t.File;
        const tagRun got = RunTvk({"get", cache, z, row, col});
        ASSERT_EQ(got.Code, 0) << where;
        EXPECT_EQ(Text(got.Out), t.Data) << where;
        const std::string urls[] = {
            "/" + t.Cache + "/" + z + "/" + col + "/" + row + ".png",
            "/" + t.Cache + "/wmts/1.0.0/" + t.Cache + "/default/" + t.Cache + "/" + z + "/" + row +
                "/" + col + ".png",
            "/" + t.Cache + "/wmts?SERVICE=WMTS&REQUEST=GetTile&LAYER=" + t.Cache +
                "&STYLE=default&TILEMATRIXSET=" + t.Cache + "&TILEMATRIX=" + z + "&TILEROW=" + row +
                "&TILECOL=" + col + "&FORMAT=image/png",
            "/" + t.Cache + "/MapServer/tile/" + std::to_string(t.LevelId) + "/" + row + "/" + col,
        };
        for (const std::string& url : urls) {
            const tagHttpReply r = HttpGet(server.Url(url));
            EXPECT_EQ(r.Status, 200) << url;
            EXPECT_EQ(r.Body, t.Data) << url;
        }
        const tagHttpReply head = HttpGet(server.Url(urls[0]), {}, true);
        EXPECT_EQ(head.Status, 200) << where;
        EXPECT_TRUE(head.Body.empty());
        EXPECT_EQ(head.Headers.at("content-length"), std::to_string(t.Data.size()));
        const tagHttpReply again =
            HttpGet(server.Url(urls[0]), {"If-None-Match: " + head.Headers.at("etag")});
        EXPECT_EQ(again.Status, 304) << where;
        EXPECT_TRUE(again.Body.empty());
    }
    tagHttpReply jpeg = HttpGet(server.Url("/agex/1/10/1.png"));
    EXPECT_EQ(jpeg.Headers["content-type"], "image/jpeg");

    for (const char* missing : {"/v1/3/0/0.png", "/agv1/2/0/0", "/agex/0/0/0", "/v2/9/0/0",
                                "/agv2/MapServer/tile/0/0/0", "/nope/1/1/1", "/v1/x"}) {
        EXPECT_EQ(HttpGet(server.Url(missing)).Status, 404) << missing;
    }
    const nlohmann::json list =
        nlohmann::json::parse(ToString(HttpGet(server.Url("/?f=json")).Body));
    ASSERT_EQ(list["caches"].size(), 10u);
    const char* layouts[] = {"compact-v2", "arcgis-exploded", "mbtiles", "geopackage", "pmtiles"};
    for (size_t i = 0; i < std::size(layouts); ++i)
        EXPECT_EQ(list["caches"][5 + i]["layout"], layouts[i]);
    // The ArcGIS LOD levels of the exploded cache are its LevelIDs.
    const nlohmann::json service =
        nlohmann::json::parse(ToString(HttpGet(server.Url("/agex/MapServer?f=json")).Body));
    EXPECT_EQ(service["tileInfo"]["lods"][0]["level"], 2);
    EXPECT_EQ(service["tileInfo"]["format"], "JPEG");
    EXPECT_EQ(server.Stop(), 0);
}

TEST_F(Serve, HostileSlowAndMalformedClientsAreRefused) {
    const std::string cache = Native("c", eTileStorage::Compact);
    const std::string log = m_dir.Str() + "/access.log";
    ServeProcess server({cache, "--idle-timeout", "1", "--max-connections", "4", "--missing", "204",
                         "--access-log", log});
    ASSERT_TRUE(server.Running()) << server.Output();
    const int port = server.Port();
    auto status = [](const std::string& reply) { return reply.substr(0, 12); };

    EXPECT_EQ(status(RawExchange(port, "GET /c/1/1/0 HTTP/1.1\r\nHost: x\r\nX-Big: " +
                                           std::string(20000, 'a') + "\r\n\r\n")),
              "HTTP/1.1 431");
    EXPECT_EQ(status(RawExchange(
                  port, "GET /c/" + std::string(3000, '1') + " HTTP/1.1\r\nHost: x\r\n\r\n")),
              "HTTP/1.1 414");
    EXPECT_EQ(status(RawExchange(port, "GET /" + std::string(12000, 'a') + " HTTP/1.1\r\n\r\n")),
              "HTTP/1.1 414");
    EXPECT_EQ(status(RawExchange(port, "GET /../../etc/passwd HTTP/1.1\r\nHost: x\r\n\r\n")),
              "HTTP/1.1 404");
    EXPECT_EQ(status(RawExchange(port, "GET /c/1/%2e%2e/0 HTTP/1.1\r\nHost: x\r\n\r\n")),
              "HTTP/1.1 400");
    EXPECT_EQ(status(RawExchange(port, "POST /c/1/1/0 HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc")),
              "HTTP/1.1 405");
    EXPECT_EQ(status(RawExchange(port, "HELLO THERE\r\n\r\n")), "HTTP/1.1 400");
    EXPECT_EQ(
        status(RawExchange(port, "GET /c/1/1/0 HTTP/1.1\r\nContent-Length: 99999999\r\n\r\n")),
        "HTTP/1.1 413");

    // Pipelined requests on one connection, answered in order; the last asks to close.
    const std::string replies = RawExchange(
        port,
        "GET /c/1/1/0 HTTP/1.1\r\nHost: x\r\n\r\nGET /c/3/0/0 HTTP/1.1\r\nHost: x\r\n\r\n"
        "HEAD /c/2/1/3 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    std::vector<std::string> statuses;
    for (size_t at = replies.find("HTTP/1.1 "); at != std::string::npos;
         at = replies.find("HTTP/1.1 ", at + 1))
        statuses.push_back(replies.substr(at + 9, 3));
    EXPECT_EQ(statuses, (std::vector<std::string>{"200", "204", "200"}));
    const Bytes& first = m_stored[0].Data;
    EXPECT_NE(replies.find(std::string(first.begin(), first.end())), std::string::npos);

    // A client that never finishes its request is cut off by the idle limit
    // (the exchange ends long before its 8 s), with nothing sent to it.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RawExchange(port, "GET /c/1/1/0 HTTP/1.1\r\nHost:", 8.0), "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(7));

    EXPECT_EQ(server.Stop(), 0);

    // Beyond --max-connections: 503 while the others stay open.
    ServeProcess limited({cache, "--max-connections", "2", "--idle-timeout", "30"});
    ASSERT_TRUE(limited.Running()) << limited.Output();
    std::vector<std::thread> holders;
    for (int i = 0; i < 2; ++i) {
        holders.emplace_back(
            [&limited] { RawExchange(limited.Port(), "GET /c/1/1/0 HTTP/1.1\r\n", 4.0); });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(status(RawExchange(limited.Port(), "GET /c/1/1/0 HTTP/1.1\r\nHost: x\r\n\r\n")),
              "HTTP/1.1 503");
    for (std::thread& t : holders) t.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(status(RawExchange(limited.Port(),
                                 "GET /c/1/1/0 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")),
              "HTTP/1.1 200");

    // The access log has a line per answer, hostile targets escaped.
    const std::string text = ReadText(log);
    EXPECT_NE(text.find("\"GET /c/1/1/0 HTTP/1.1\" 200 900"), std::string::npos);
    EXPECT_NE(text.find("\"GET /../../etc/passwd HTTP/1.1\" 404 "), std::string::npos);
    EXPECT_NE(text.find("\"POST /c/1/1/0 HTTP/1.1\" 405 "), std::string::npos);
}

TEST_F(Serve, SigtermLetsTheResponseInFlightFinish) {
    const std::string dir = m_dir.Str() + "/big";
    eTileStorage storage;
    MakeWebMercator(storage, 2, eTileStorage::Compact);
    ASSERT_TRUE(storage.ToConfigFile((dir + "/tilecache.xml").c_str()));
    const Bytes big = FakePng("big", 8 << 20);  // far more than the socket buffers hold
    ASSERT_TRUE(Save(storage, 1, 1, 1, big));
    ServeProcess server({dir, "--idle-timeout", "30"});
    ASSERT_TRUE(server.Running()) << server.Output();

    // A slow reader: the response is still being written when SIGTERM comes.
    std::string reply;
    std::thread reader(
        [&] { reply = RawExchange(server.Port(), "GET /big/1/1/1 HTTP/1.1\r\n\r\n", 30.0, 10); });
    // 8 MB read 16 KB per 10 ms takes about 5 s: SIGTERM comes in the middle.
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    kill(server.Pid(), SIGTERM);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // No new connection is taken once stopping.
    EXPECT_EQ(RawExchange(server.Port(), "GET /big/1/1/1 HTTP/1.1\r\n\r\n", 1.0), "");
    reader.join();
    const size_t body = reply.find("\r\n\r\n");
    ASSERT_NE(body, std::string::npos);
    EXPECT_EQ(reply.substr(0, 12), "HTTP/1.1 200");
    EXPECT_EQ(reply.size() - body - 4, big.size());
    EXPECT_TRUE(reply.compare(body + 4, std::string::npos, ToString(big)) == 0);
    EXPECT_EQ(server.Stop(), 0);
}

TEST_F(Serve, RefusesAmbiguousOrBadNames) {
    const std::string a = Native("a", eTileStorage::Compact);
    for (const auto& [args, code] : std::vector<std::pair<std::vector<std::string>, int>>{
             {{a, a}, 2},
             {{a, "--name", "../x"}, 2},
             {{a, "--name", "x", "--name", "y"}, 2},
             {{m_dir.Str() + "/none"}, 1},
             {{a, "--missing", m_dir.Str() + "/none.png"}, 1}}) {
        std::vector<std::string> argv = {"serve", "--port", "0"};
        argv.insert(argv.end(), args.begin(), args.end());
        EXPECT_EQ(RunTvk(argv).Code, code) << args.back();
    }
}

}  // namespace tvktest
