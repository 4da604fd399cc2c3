// PMTiles archives written by the library's writer and read by its reader:
// the bytes on disk, leaf directories, other writers' shapes, damage, and
// the writer's failures.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <csignal>

#include <sys/resource.h>

#include "platform/eGzip.h"
#include "pmtiles_util.h"

namespace tvktest {

using namespace TVK::pmtiles;

namespace {

uint64_t Id(int z, uint32_t x, uint32_t y) {
    uint64_t id = 0;
    ZxyToTileId(z, x, y, id);
    return id;
}

std::vector<tagEntry> AllEntries(ePMTilesReader& reader) {
    std::vector<tagEntry> entries;
    EXPECT_TRUE(reader.ForEachTileEntry([&](const tagEntry& e) {
        entries.push_back(e);
        return true;
    }));
    return entries;
}

// Whether a check found a problem of that kind (damage or warning) naming what.
bool Mentions(const tagPMTilesCheck& check, const std::string& what, bool damage = true) {
    for (const auto& p : check.Problems)
        if (p.Text.find(what) != std::string::npos) return p.Damage == damage;
    return false;
}

size_t FilesIn(const fs::path& dir) {
    return size_t(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

}  // namespace

TEST(PMTilesArchive, HoldsEveryTileOnceInTileOrder) {
    TempDir dir;
    const fs::path path = dir / "a.pmtiles";
    const Bytes a = Text("tile A"), b = Text("shared tile B"), c = Text("final C");
    // Out of order; (1,1,0) is added twice and the later bytes win; B repeats
    // along ids 1-3 and A at 2/3/3.
    ASSERT_TRUE(WriteArchive(path, {{2, 3, 3, a},
                                    {1, 1, 0, Text("replaced")},
                                    {1, 1, 1, b},
                                    {0, 0, 0, a},
                                    {1, 0, 0, b},
                                    {1, 0, 1, b},
                                    {1, 1, 0, c}}));

    const Bytes file = ReadFile(path);
    ASSERT_GE(file.size(), 127u);
    const uint64_t rootOffset = GetLE(file, 8, 8), rootLength = GetLE(file, 16, 8);
    const uint64_t metaOffset = GetLE(file, 24, 8), metaLength = GetLE(file, 32, 8);
    const uint64_t dataOffset = GetLE(file, 56, 8), dataLength = GetLE(file, 64, 8);
    EXPECT_EQ(rootOffset, 127u);
    EXPECT_LE(rootOffset + rootLength, 16384u);
    EXPECT_EQ(GetLE(file, 48, 8), 0u);  // no leaf directories
    EXPECT_EQ(dataOffset + dataLength, file.size());
    // Each distinct tile once, in the order of its first tile id.
    EXPECT_EQ(Bytes(file.begin() + long(dataOffset), file.end()), Concat({a, b, c}));
    // Addressed tiles, tile entries (B's three as one run), contents.
    EXPECT_EQ((std::vector<uint64_t>{GetLE(file, 72, 8), GetLE(file, 80, 8), GetLE(file, 88, 8)}),
              (std::vector<uint64_t>{6, 4, 3}));
    // Clustered, gzip directories, plain tiles, PNG, levels 0-2.
    EXPECT_EQ(Bytes(file.begin() + 96, file.begin() + 102), (Bytes{1, 2, 1, 2, 0, 2}));
    // Bounds of the deepest level's tiles: 2/3/3 spans 90..180 degrees east
    // and 66.5132604..85.0511288 degrees south.
    const int32_t bounds[] = {900000000, -850511288, 1800000000, -665132604};
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(int32_t(GetLE(file, 102 + 4 * i, 4)), bounds[i]) << i;

    eByteArray meta;
    ASSERT_TRUE(eGzip::Decompress(file.data() + metaOffset, metaLength, 1 << 20, meta));
    const auto json = nlohmann::json::parse(ToBytes(meta));
    EXPECT_EQ(json.at("name"), "test archive");
    EXPECT_EQ(json.at("format"), "png");
    EXPECT_TRUE(json.at("minzoom") == 0 && json.at("maxzoom") == 2);

    bool opened = false;
    auto reader = OpenArchive(path, opened);
    ASSERT_TRUE(opened) << reader->GetLastError().Std();
    const std::vector<tagEntry> expected = {
        {0, 0, 6, 1}, {1, 6, 13, 3}, {4, 19, 7, 1}, {Id(2, 3, 3), 0, 6, 1}};
    EXPECT_EQ(AllEntries(*reader), expected);
    EXPECT_EQ(LoadTile(*reader, 0, 0, 0), a);
    EXPECT_EQ(LoadTile(*reader, 1, 0, 1), b);
    EXPECT_EQ(LoadTile(*reader, 1, 1, 0), c);
    EXPECT_EQ(LoadTile(*reader, 2, 3, 3), a);
    eByteArray untouched;
    untouched.SetSize(1);
    EXPECT_EQ(reader->LoadTile(2, 0, 0, untouched), ePMTilesReader::Absent);
    EXPECT_EQ(reader->LoadTile(2, 4, 0, untouched), ePMTilesReader::Absent);  // off the grid
    EXPECT_EQ(untouched.GetSize(), 1);
    EXPECT_TRUE(reader->Check().Problems.empty());
}

TEST(PMTilesArchive, LeavesWhenTheRootOutgrowsSixteenKiBAndABoundedCache) {
    TempDir dir;
    const fs::path path = dir / "leaves.pmtiles";
    const std::vector<tagTile> tiles = LeafyTiles();
    ASSERT_TRUE(WriteArchive(path, tiles));
    const Bytes head = ReadRange(path, 0, 127);
    EXPECT_LE(GetLE(head, 8, 8) + GetLE(head, 16, 8), 16384u);
    EXPECT_GT(GetLE(head, 48, 8), 0u);

    bool opened = false;
    auto walker = OpenArchive(path, opened);
    ASSERT_TRUE(opened);
    EXPECT_EQ(AllEntries(*walker).size(), tiles.size());
    const uint64_t leaves = walker->GetLeafReads();
    ASSERT_GT(leaves, 1u);
    EXPECT_TRUE(walker->Check().Problems.empty());
    // A cursor from level 7's first id on: the last level's entries alone.
    const std::vector<tagEntry> all = AllEntries(*walker);
    std::vector<tagEntry> deepest;
    ePMTilesCursor cursor(*walker, FirstTileIdOfZoom(7));
    for (tagEntry e; cursor.Next(e);) deepest.push_back(e);
    EXPECT_FALSE(cursor.Failed());
    EXPECT_EQ(deepest, std::vector<tagEntry>(all.end() - 128 * 128, all.end()));

    // A cache of one leaf: loads in tile-id order read each leaf once, loads
    // across the curve read them again and again.
    auto small = OpenArchive(path, opened, 1);
    ASSERT_TRUE(opened);
    std::vector<tagTile> byId = tiles;
    std::sort(byId.begin(), byId.end(), [](const tagTile& p, const tagTile& q) {
        return Id(p.z, p.x, p.y) < Id(q.z, q.x, q.y);
    });
    size_t wrong = 0;
    for (const tagTile& t : byId) wrong += LoadTile(*small, t.z, t.x, t.y) != t.bytes;
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(small->GetLeafReads(), leaves);
    for (uint32_t x = 0; x < 8; ++x)  // down the first columns of level 7
        for (uint32_t y = 0; y < 128; ++y) wrong += LoadTile(*small, 7, x, y) != LeafyTile(7, x, y);
    EXPECT_EQ(wrong, 0u);
    EXPECT_GT(small->GetLeafReads(), 2 * leaves);  // leaves read again
    // The default cache holds them all: each is read once whatever the order.
    auto large = OpenArchive(path, opened);
    for (const tagTile& t : tiles) wrong += LoadTile(*large, t.z, t.x, t.y) != t.bytes;
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(large->GetLeafReads(), leaves);
}

TEST(PMTilesArchive, ReadsOtherWritersShapesAndReportsDamage) {
    // Plain (uncompressed) directories and metadata, metadata before the
    // root, tile data not in tile order, a run of four tiles in a leaf.
    const Bytes meta = Text("{\"name\":\"fixture\"}");
    const Bytes deep = Text("deep tile"), run = Text("run tile"), top = Text("top tile");
    const Bytes data = Concat({deep, run, top});
    const uint64_t deepId = Id(2, 1, 2);
    const Bytes leaf = RawDirectory({{1, deep.size(), run.size(), 4}, {deepId, 0, deep.size(), 1}});
    const Bytes root =
        RawDirectory({{0, deep.size() + run.size(), top.size(), 1}, {1, 0, leaf.size(), 0}});
    const uint64_t metaAt = 127, rootAt = metaAt + meta.size(), leafAt = rootAt + root.size(),
                   dataAt = leafAt + leaf.size();
    const Bytes fixture =
        Concat({RawHeader({rootAt, root.size()}, {metaAt, meta.size()}, {leafAt, leaf.size()},
                          {dataAt, data.size()}, 1, false, 0, 2),
                meta, root, leaf, data});
    TempDir dir;
    const fs::path path = dir / "fixture.pmtiles";
    WriteFile(path, fixture);
    bool opened = false;
    auto reader = OpenArchive(path, opened);
    ASSERT_TRUE(opened) << reader->GetLastError().Std();
    EXPECT_EQ(reader->GetMetadata(), "{\"name\":\"fixture\"}");
    EXPECT_EQ(LoadTile(*reader, 0, 0, 0), top);
    for (uint32_t x = 0; x < 2; ++x)
        for (uint32_t y = 0; y < 2; ++y) EXPECT_EQ(LoadTile(*reader, 1, x, y), run);
    EXPECT_EQ(LoadTile(*reader, 2, 1, 2), deep);
    EXPECT_EQ(reader->HasTile(2, 1, 1), ePMTilesReader::Absent);
    EXPECT_EQ(AllEntries(*reader).size(), 3u);
    EXPECT_TRUE(reader->Check().Problems.empty());

    // Damage, one kind per copy of the fixture.
    auto variant = [&](const std::function<void(Bytes&)>& change) {
        Bytes bytes = fixture;
        change(bytes);
        WriteFile(path, bytes);
        return OpenArchive(path, opened);
    };
    reader = variant([](Bytes& b) { b.resize(b.size() - 2); });  // top tile cut short
    ASSERT_TRUE(opened);
    EXPECT_EQ(reader->HasTile(0, 0, 0), ePMTilesReader::Found);
    eByteArray tile;
    EXPECT_EQ(reader->LoadTile(0, 0, 0, tile), ePMTilesReader::Failed);
    EXPECT_NE(reader->GetLastError().Std().find("past the end"), std::string::npos);
    EXPECT_TRUE(Mentions(reader->Check(), "tile data (bytes"));

    // A leaf whose only entry is itself: a loop, not a hang.
    const Bytes loop = RawDirectory({{1, 0, 5, 0}});
    ASSERT_EQ(loop.size(), 5u);
    const Bytes loopRoot =
        RawDirectory({{0, deep.size() + run.size(), top.size(), 1}, {1, 0, 5, 0}});
    reader = variant([&](Bytes& b) {
        const uint64_t loopAt = rootAt + loopRoot.size();
        b = Concat({RawHeader({rootAt, loopRoot.size()}, {metaAt, meta.size()}, {loopAt, 5},
                              {loopAt + 5, data.size()}, 1, false, 0, 2),
                    meta, loopRoot, loop, data});
    });
    ASSERT_TRUE(opened);
    EXPECT_EQ(reader->HasTile(1, 0, 0), ePMTilesReader::Failed);
    EXPECT_NE(reader->GetLastError().Std().find("nest deeper"), std::string::npos);
    EXPECT_TRUE(Mentions(reader->Check(), "nest deeper"));

    // Wrong counts, a clustered flag on unclustered data, levels that miss
    // a tile, metadata that is no JSON object.
    reader = variant([&](Bytes& b) {
        PutLE(b, 72, 99, 8);
        b[96] = 1;
        b[101] = 1;
        b[metaAt] = '[';
    });
    ASSERT_TRUE(opened);
    const tagPMTilesCheck check = reader->Check();
    EXPECT_TRUE(Mentions(check, "counts 99 addressed tiles, the directories 6", false));
    EXPECT_TRUE(Mentions(check, "not in tile order", false));
    EXPECT_TRUE(Mentions(check, "outside the header's zoom levels 0-1"));
    EXPECT_TRUE(Mentions(check, "not a JSON object", false));
    EXPECT_EQ(check.Tiles, 6u);
    EXPECT_EQ(check.Bytes, top.size() + 4 * run.size() + deep.size());

    // The root beyond the first 16 KiB still reads, and is reported.
    const Bytes pad(16384, 0);
    reader = variant([&](Bytes& b) {
        const uint64_t shift = pad.size();
        b = Concat({RawHeader({rootAt + shift, root.size()}, {metaAt, meta.size()},
                              {leafAt + shift, leaf.size()}, {dataAt + shift, data.size()}, 1,
                              false, 0, 2),
                    meta, pad, root, leaf, data});
    });
    ASSERT_TRUE(opened) << reader->GetLastError().Std();
    EXPECT_EQ(LoadTile(*reader, 2, 1, 2), deep);
    EXPECT_TRUE(Mentions(reader->Check(), "first 16 KiB", false));

    // Refused at opening, with the reason.
    const struct {
        std::function<void(Bytes&)> change;
        const char* reason;
    } refused[] = {
        {[](Bytes& b) { b[97] = 3; }, "brotli"},
        {[](Bytes& b) { b[0] = 'X'; }, "not a PMTiles version 3 archive"},
        {[&](Bytes& b) { b[rootAt] = 9; }, "root directory"},
        {[](Bytes& b) { b.resize(100); }, "not a PMTiles version 3 archive"},
    };
    for (const auto& r : refused) {
        reader = variant(r.change);
        EXPECT_FALSE(opened) << r.reason;
        EXPECT_NE(reader->GetLastError().Std().find(r.reason), std::string::npos)
            << reader->GetLastError().Std();
    }
}

TEST(PMTilesArchive, WriterRefusesCleanlyAndLeavesNoFiles) {
    TempDir dir;
    const fs::path path = dir / "out.pmtiles";
    ePMTilesWriter writer;
    ePMTilesWriter::tagSettings settings;
    const Bytes tile = Text("tile");

    WriteText(path, "someone else's");
    EXPECT_FALSE(writer.Begin(path.string(), settings));
    EXPECT_NE(writer.GetLastError().Std().find("already exists"), std::string::npos);
    EXPECT_EQ(ReadText(path), "someone else's");
    fs::remove(path);

    ASSERT_TRUE(writer.Begin(path.string(), settings));
    EXPECT_FALSE(writer.AddTile(3, 8, 0, tile.data(), tile.size()));  // off the grid
    EXPECT_FALSE(writer.AddTile(32, 0, 0, tile.data(), tile.size()));
    EXPECT_FALSE(writer.AddTile(3, 0, 0, tile.data(), 0));  // the format has no empty tiles
    EXPECT_FALSE(writer.Finish());
    EXPECT_NE(writer.GetLastError().Std().find("no tiles"), std::string::npos);
    EXPECT_EQ(FilesIn(dir.Path()), 0u);

    // Abandoned (here: destroyed) writers leave nothing behind.
    {
        ePMTilesWriter dropped;
        ASSERT_TRUE(dropped.Begin(path.string(), settings));
        ASSERT_TRUE(dropped.AddTile(0, 0, 0, tile.data(), tile.size()));
        EXPECT_EQ(FilesIn(dir.Path()), 1u);  // the spill file
    }
    EXPECT_EQ(FilesIn(dir.Path()), 0u);

    // A file that appears at the target meanwhile is never replaced.
    ASSERT_TRUE(writer.Begin(path.string(), settings));
    ASSERT_TRUE(writer.AddTile(0, 0, 0, tile.data(), tile.size()));
    WriteText(path, "made meanwhile");
    EXPECT_FALSE(writer.Finish());
    EXPECT_EQ(ReadText(path), "made meanwhile");
    EXPECT_EQ(FilesIn(dir.Path()), 1u);
    fs::remove(path);

    // A full disk (a file-size limit in a child): Finish fails, and neither
    // the archive nor a temporary file stays.
    const int code = RunInChild([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{64 * 1024, 64 * 1024};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 10;
        ePMTilesWriter child;
        if (!child.Begin(path.string(), ePMTilesWriter::tagSettings())) return 11;
        for (uint32_t x = 0; x < 256; ++x) {
            const Bytes big = NamedTile(8, x, 0, 1000);
            if (!child.AddTile(8, x, 0, big.data(), big.size())) return 12;
        }
        if (child.Finish()) return 13;
        return child.GetLastError().Std().find("write failed") != std::string::npos ? 0 : 14;
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(FilesIn(dir.Path()), 0u);
}

}  // namespace tvktest
