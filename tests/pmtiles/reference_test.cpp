// Archives the writer makes, read by the format's reference JavaScript
// library (npm package pmtiles): every tile, the header fields a viewer
// relies on, the metadata.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <map>
#include <set>

#include "platform/eGzip.h"
#include "pmtiles_util.h"
#include "support/test_processes.h"

namespace tvktest {

using namespace TVK::pmtiles;

namespace {

std::string Hex(const Bytes& b) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char c : b) {
        text += digits[c >> 4];
        text += digits[c & 15];
    }
    return text;
}

// The folder holding node_modules/pmtiles, installed on first use. Empty
// with the reason in why; unreachable tells a registry out of reach (the
// only reason to skip) from any other failure.
std::string ReferenceLibrary(std::string& why, bool& unreachable) {
    const std::string folder = TVK_TEST_NPM_DIR;
    unreachable = false;
    if (fs::exists(fs::path(folder) / "node_modules/pmtiles/package.json")) return folder;
    if (!HaveProgram("npm") || !HaveProgram("node")) {
        why = "node and npm are not installed (scripts/deps installs them)";
        return "";
    }
    fs::create_directories(folder);
    const tagProgramRun run = RunProgram(
        {"npm", "install", "--prefix", folder, "--no-audit", "--no-fund", "--no-save", "pmtiles@4"},
        300);
    if (run.Code == 0 && fs::exists(fs::path(folder) / "node_modules/pmtiles/package.json"))
        return folder;
    why = "npm install pmtiles failed:\n" + run.Output;
    for (const char* sign : {"ENOTFOUND", "EAI_AGAIN", "ECONNREFUSED", "ETIMEDOUT", "ECONNRESET",
                             "ENETUNREACH", "EHOSTUNREACH", "network"})
        if (run.Output.find(sign) != std::string::npos) unreachable = true;
    return "";
}

// Entries after run-length merging, counted the way the format defines
// runs: consecutive tile ids with the same bytes.
size_t RunCount(const std::vector<tagTile>& tiles) {
    std::map<uint64_t, Bytes> byId;
    for (const tagTile& t : tiles) {
        uint64_t id = 0;
        ZxyToTileId(t.z, t.x, t.y, id);
        byId[id] = t.bytes;
    }
    size_t runs = 0;
    uint64_t lastId = 0;
    const Bytes* last = nullptr;
    for (const auto& [id, bytes] : byId) {
        if (last == nullptr || id != lastId + 1 || bytes != *last) ++runs;
        lastId = id;
        last = &bytes;
    }
    return runs;
}

}  // namespace

TEST(PMTilesReference, ReadsWhatTheWriterWrote) {
    std::string why;
    bool unreachable = false;
    const std::string library = ReferenceLibrary(why, unreachable);
    if (library.empty() && unreachable) GTEST_SKIP() << "npm cannot reach the registry: " << why;
    ASSERT_FALSE(library.empty()) << why;
    TempDir dir;

    auto check = [&](const std::string& name, const std::vector<tagTile>& tiles, unsigned char type,
                     const nlohmann::json& header, const nlohmann::json& metadata,
                     const std::function<Bytes(const Bytes&)>& decoded, int maxZoom) {
        const fs::path archive = dir / (name + ".pmtiles");
        ASSERT_TRUE(WriteArchive(archive, tiles, type));
        std::map<std::tuple<int, uint32_t, uint32_t>, Bytes> stored;
        std::set<Bytes> distinct;
        for (const tagTile& t : tiles) {
            stored[{t.z, t.x, t.y}] = t.bytes;
            distinct.insert(t.bytes);
        }
        nlohmann::json expected;
        expected["header"] = header;
        expected["header"]["numAddressedTiles"] = stored.size();
        expected["header"]["numTileContents"] = distinct.size();
        expected["header"]["numTileEntries"] = RunCount(tiles);
        expected["metadata"] = metadata;
        expected["tiles"] = nlohmann::json::array();
        // Every address of levels 0-5 and every fifth one deeper (the
        // library takes a third of a millisecond a tile), and some of the
        // level below the last.
        size_t n = 0;
        for (int z = 0; z <= maxZoom + 1; ++z)
            for (uint32_t x = 0; x < (1u << z) && (z <= maxZoom || x < 2); ++x)
                for (uint32_t y = 0; y < (1u << z) && (z <= maxZoom || y < 2); ++y) {
                    if (z > 5 && n++ % 5 != 0) continue;
                    auto found = stored.find({z, x, y});
                    expected["tiles"].push_back(
                        {z, x, y,
                         found == stored.end() ? nlohmann::json()
                                               : nlohmann::json(Hex(decoded(found->second)))});
                }
        WriteText(dir / (name + ".json"), expected.dump());
        const tagProgramRun run =
            RunProgram({"node", std::string(TVK_TEST_PMTILES_DIR) + "/reference_read.mjs", library,
                        archive.string(), (dir / (name + ".json")).string()});
        EXPECT_EQ(run.Code, 0) << name << ":\n" << run.Output;
    };

    // Raster tiles: levels 0-7 with leaf directories, a block of level 6
    // sharing one tile (runs and repeats), and holes in level 7.
    std::vector<tagTile> raster;
    for (tagTile& t : LeafyTiles()) {
        if (t.z == 7 && (t.x + t.y) % 5 == 0) continue;
        if (t.z == 6 && t.x < 16 && t.y < 16) t.bytes = Text("one sea tile");
        raster.push_back(t);
    }
    const double edge = 85.0511287798066;  // the Web Mercator grid's latitude
    check(
        "raster", raster, TilePng,
        {{"clustered", true},
         {"tileType", TilePng},
         {"tileCompression", CompressionNone},
         {"internalCompression", CompressionGzip},
         {"minZoom", 0},
         {"maxZoom", 7},
         {"minLon", -180.0},
         {"maxLon", 180.0},
         {"minLat", -edge},
         {"maxLat", edge}},
        {{"name", "test archive"}, {"format", "png"}}, [](const Bytes& b) { return b; }, 7);

    // Vector tiles that arrive gzipped: declared gzip, and the library hands
    // back what was inside. Levels 2-4 over the north-west quarter.
    std::vector<tagTile> vector;
    for (int z = 2; z <= 4; ++z)
        for (uint32_t x = 0; x < (1u << (z - 1)); ++x)
            for (uint32_t y = 0; y < (1u << (z - 1)); ++y) {
                const Bytes plain = Concat(Text("vector "), NamedTile(z, x, y));
                eByteArray packed;
                ASSERT_TRUE(eGzip::Compress(plain.data(), plain.size(), packed));
                vector.push_back({z, x, y, ToBytes(packed)});
            }
    check(
        "vector", vector, TileMvt,
        {{"tileType", TileMvt},
         {"tileCompression", CompressionGzip},
         {"minZoom", 2},
         {"maxZoom", 4},
         {"minLon", -180.0},
         {"maxLon", 0.0},
         {"minLat", 0.0},
         {"maxLat", edge}},
        {{"format", "pbf"}, {"vector_layers", nlohmann::json::array()}},
        [](const Bytes& b) {
            eByteArray plain;
            eGzip::Decompress(b.data(), b.size(), 1 << 20, plain);
            return ToBytes(plain);
        },
        4);
}

}  // namespace tvktest
