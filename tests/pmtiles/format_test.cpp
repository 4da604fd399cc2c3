// PMTiles codec: tile ids, header bytes and directory bytes against the
// format's own text and hand-encoded bytes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <set>

#include "pmtiles/ePMTilesFormat.h"
#include "support/test_files.h"

namespace tvktest {

using namespace TVK::pmtiles;

TEST(PMTilesFormat, TileIdsFollowTheHilbertCurve) {
    // The format's table.
    const struct {
        int z;
        uint32_t x, y;
        uint64_t id;
    } table[] = {{0, 0, 0, 0},
                 {1, 0, 0, 1},
                 {1, 0, 1, 2},
                 {1, 1, 1, 3},
                 {1, 1, 0, 4},
                 {2, 0, 0, 5},
                 {12, 3423, 1763, 19078479}};
    for (const auto& t : table) {
        uint64_t id = 0;
        int z = -1;
        uint32_t x = 0, y = 0;
        EXPECT_TRUE(ZxyToTileId(t.z, t.x, t.y, id) && id == t.id)
            << t.z << "/" << t.x << "/" << t.y;
        EXPECT_TRUE(TileIdToZxy(t.id, z, x, y) && z == t.z && x == t.x && y == t.y) << t.id;
    }
    // Each level fills the ids after the last one's, and consecutive ids are
    // neighbouring tiles: the curve never jumps.
    for (int zoom = 0; zoom <= 6; ++zoom) {
        const uint32_t n = 1u << zoom;
        std::set<uint64_t> ids;
        for (uint32_t x = 0; x < n; ++x)
            for (uint32_t y = 0; y < n; ++y) {
                uint64_t id = 0;
                ASSERT_TRUE(ZxyToTileId(zoom, x, y, id));
                ids.insert(id);
            }
        ASSERT_EQ(ids.size(), size_t(n) * n);
        EXPECT_EQ(*ids.begin(), FirstTileIdOfZoom(zoom));
        EXPECT_EQ(*ids.rbegin() + 1, FirstTileIdOfZoom(zoom + 1));
        int pz = 0, qz = 0;
        uint32_t px = 0, py = 0, qx = 0, qy = 0;
        for (uint64_t id = *ids.begin(); id < *ids.rbegin(); ++id) {
            ASSERT_TRUE(TileIdToZxy(id, pz, px, py) && TileIdToZxy(id + 1, qz, qx, qy));
            ASSERT_EQ(std::abs(int64_t(px) - qx) + std::abs(int64_t(py) - qy), 1) << id;
        }
    }
    // The deepest level round-trips; anything beyond it or its grid is refused.
    std::mt19937 random(7);
    for (int i = 0; i < 1000; ++i) {
        const int zoom = 20 + int(random() % 12);
        const uint32_t x = random() & ((1u << zoom) - 1), y = random() & ((1u << zoom) - 1);
        uint64_t id = 0;
        int z = 0;
        uint32_t bx = 0, by = 0;
        ASSERT_TRUE(ZxyToTileId(zoom, x, y, id) && TileIdToZxy(id, z, bx, by));
        ASSERT_TRUE(z == zoom && bx == x && by == y);
    }
    uint64_t id = 0, last = 0;
    int z = 0;
    uint32_t x = 0, y = 0;
    ASSERT_TRUE(ZxyToTileId(31, 0x7FFFFFFF, 0, last));
    EXPECT_EQ(last, FirstTileIdOfZoom(32) - 1);  // (1,0) ends the curve
    EXPECT_FALSE(TileIdToZxy(last + 1, z, x, y));
    EXPECT_FALSE(ZxyToTileId(32, 0, 0, id) || ZxyToTileId(-1, 0, 0, id) ||
                 ZxyToTileId(3, 8, 0, id) || ZxyToTileId(3, 0, 8, id));
}

TEST(PMTilesFormat, HeaderFieldsSitWhereTheFormatSays) {
    tagHeader h;
    h.RootOffset = 127;
    h.RootLength = 0x0102;
    h.MetadataOffset = 0x0304;
    h.MetadataLength = 0x0506;
    h.LeafOffset = 0x0708;
    h.LeafLength = 0x090A;
    h.DataOffset = 0x0B0C;
    h.DataLength = 0x0102030405060708ULL;
    h.AddressedTiles = 11;
    h.TileEntries = 12;
    h.TileContents = 13;
    h.Clustered = true;
    h.InternalCompression = CompressionGzip;
    h.TileCompression = CompressionNone;
    h.TileType = TilePng;
    h.MinZoom = 3;
    h.MaxZoom = 14;
    h.MinLonE7 = ToE7(-179.5);
    h.MinLatE7 = ToE7(-85.0511287);
    h.MaxLonE7 = ToE7(179.5);
    h.MaxLatE7 = ToE7(85.0511287);
    h.CenterZoom = 7;
    h.CenterLonE7 = ToE7(2.3522);
    h.CenterLatE7 = ToE7(48.8566);
    Bytes b(kHeaderSize);
    EncodeHeader(h, b.data());
    EXPECT_EQ(std::string(b.begin(), b.begin() + 7), "PMTiles");
    EXPECT_EQ(b[7], 3);
    const uint64_t at8[] = {
        127, 0x0102, 0x0304, 0x0506, 0x0708, 0x090A, 0x0B0C, 0x0102030405060708ULL, 11, 12, 13};
    for (size_t i = 0; i < 11; ++i) EXPECT_EQ(GetLE(b, 8 + 8 * i, 8), at8[i]) << i;
    EXPECT_EQ(Bytes(b.begin() + 96, b.begin() + 102), (Bytes{1, 2, 1, 2, 3, 14}));
    // Positions: longitude then latitude, degrees x 10^7 as signed 32 bits.
    EXPECT_EQ(GetLE(b, 102, 4), uint32_t(-1795000000));
    EXPECT_EQ(GetLE(b, 106, 4), uint32_t(-850511287));
    EXPECT_EQ(GetLE(b, 110, 4), 1795000000u);
    EXPECT_EQ(GetLE(b, 114, 4), 850511287u);
    EXPECT_EQ(b[118], 7);
    EXPECT_EQ(GetLE(b, 119, 4), 23522000u);
    EXPECT_EQ(GetLE(b, 123, 4), 488566000u);

    tagHeader back;
    ASSERT_TRUE(DecodeHeader(b.data(), b.size(), back));
    Bytes again(kHeaderSize);
    EncodeHeader(back, again.data());
    EXPECT_EQ(again, b);
    EXPECT_DOUBLE_EQ(FromE7(back.MinLonE7), -179.5);
    b[7] = 2;
    EXPECT_FALSE(DecodeHeader(b.data(), b.size(), back));  // version 2 is another format
    b[7] = 3;
    EXPECT_FALSE(DecodeHeader(b.data(), kHeaderSize - 1, back));
}

TEST(PMTilesFormat, DirectoryBytesAndDamage) {
    // Tile 5 at 1337+42, tiles 42-44 right after it, a leaf for ids from 69.
    const std::vector<tagEntry> entries = {{5, 1337, 42, 1}, {42, 1379, 10, 3}, {69, 0, 300, 0}};
    const Bytes encoded = {3,                     // entries
                           5,    37,   27,        // id deltas
                           1,    3,    0,         // run lengths
                           42,   10,   0xAC, 2,   // lengths (300 in two bytes)
                           0xBA, 0x0A, 0,    1};  // offsets: 1337+1, contiguous, 0+1
    Bytes out;
    EncodeDirectory(entries, out);
    EXPECT_EQ(out, encoded);
    std::vector<tagEntry> back;
    ASSERT_TRUE(DecodeDirectory(encoded.data(), encoded.size(), back));
    EXPECT_EQ(back, entries);
    EXPECT_TRUE(FindEntry(back, 5) == &back[0] && FindEntry(back, 44) == &back[1] &&
                FindEntry(back, 1000) == &back[2]);
    EXPECT_TRUE(FindEntry(back, 4) == nullptr && FindEntry(back, 6) == nullptr &&
                FindEntry(back, 45) == nullptr);

    const struct {
        const char* what;
        Bytes bytes;
    } damaged[] = {
        {"cut short", Bytes(encoded.begin(), encoded.end() - 1)},
        {"trailing byte", Concat(encoded, {0})},
        {"zero length", {1, 5, 1, 0, 1}},
        {"first offset follows nothing", {1, 5, 1, 42, 0}},
        {"repeated tile id", {2, 5, 0, 1, 1, 42, 42, 1, 0}},
        {"more entries than bytes", {5, 5, 1, 42, 1}},
        {"varint past 64 bits", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}},
        {"length beyond 32 bits", {1, 5, 1, 0x80, 0x80, 0x80, 0x80, 0x10, 1}},
        {"tile id past 64 bits",
         {2, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 5, 1, 1, 1, 1, 1, 0}},
    };
    for (const auto& d : damaged) {
        back = entries;
        EXPECT_FALSE(DecodeDirectory(d.bytes.data(), d.bytes.size(), back)) << d.what;
        EXPECT_TRUE(back.empty()) << d.what;
    }
}

}  // namespace tvktest
