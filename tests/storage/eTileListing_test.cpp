// The stored tiles of a cache as eTileListing reports them, in every layout:
// the order (level, then bundle or folder, then row and column), the level
// range, and exactly the tiles a load finds, damaged and foreign files
// around them included. (Where a listing stops at a bundle it cannot read is
// tested with the check's damage.)
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "eTileListing.h"
#include "support/storage_util.h"

using namespace tvktest;

namespace {

struct tagLayout {
    const char* Name;
    eTileStorage::EmFormat Format;
    bool ArcGIS;  // ArcGIS's names, LevelIDs 10 to 15
};

const tagLayout kLayouts[] = {
    {"original", eTileStorage::Original, false},
    {"exploded", eTileStorage::Original, true},
    {"compact", eTileStorage::Compact, false},
    {"compact-v2 by LevelID", eTileStorage::CompactV2, true},
};

std::unique_ptr<eTileStorage> MakeLayout(const TempDir& dir, const tagLayout& layout) {
    auto storage = MakeStorage(dir.Str(), layout.Format);
    if (layout.ArcGIS) {
        storage->SetTileNaming(eTileStorage::ArcGIS);
        auto& captions = storage->GetTileCoordSys().GetLevelCaptions();
        for (size_t i = 0; i < captions.size(); ++i) captions[i].Level = 10 + int(i);
    }
    return storage;
}

// Every tile a load finds in rows and columns [first, first + 16) of each
// level: what a listing must report, found without one.
std::vector<tagListed> Probe(eTileStorage& storage, std::initializer_list<int> firsts) {
    std::vector<tagListed> tiles;
    for (int level = 0; level < 6; ++level)
        for (int rowStart : firsts)
            for (int colStart : firsts)
                for (int row = rowStart; row < rowStart + 16; ++row)
                    for (int col = colStart; col < colStart + 16; ++col) {
                        eByteArray data;
                        if (storage.LoadImageData(level, row, col, data))
                            tiles.emplace_back(level, row, col, data.GetSize());
                    }
    std::sort(tiles.begin(), tiles.end());
    return tiles;
}

std::vector<tagListed> Sorted(std::vector<tagListed> tiles) {
    std::sort(tiles.begin(), tiles.end());
    return tiles;
}

}  // namespace

// The same tiles list in the same order in every layout but ArcGIS's
// exploded one, whose row folders span whole rows of a level.
TEST(TileListing, EveryLayoutListsLevelByLevelThenBundleThenRow) {
    const struct {
        int Level, Row, Col;
    } saved[] = {{5, 129, 0}, {5, 0, 130}, {5, 1, 5},    {5, 0, 3},
                 {2, 7, 7},   {0, 0, 0},   {5, 200, 300}};
    for (const tagLayout& layout : kLayouts) {
        SCOPED_TRACE(layout.Name);
        TempDir dir;
        auto storage = MakeLayout(dir, layout);
        EXPECT_TRUE(List(*storage).empty());
        std::vector<tagListed> expected;
        for (size_t i = 0; i < std::size(saved); ++i) {
            const auto& t = saved[i];
            ASSERT_EQ(Save(*storage, t.Level, t.Row, t.Col, TileBytes(unsigned(i), 10 + i)), 1);
            expected.emplace_back(t.Level, t.Row, t.Col, int64_t(10 + i));
        }
        // By hand: level; for bundles and 128-wide group folders the block
        // (row / 128, col / 128) next; then row and column.
        const auto block = [&](const tagListed& t) {
            const int row = std::get<1>(t), col = std::get<2>(t);
            if (layout.ArcGIS && layout.Format == eTileStorage::Original)
                return std::make_tuple(std::get<0>(t), row, col, 0, 0);
            return std::make_tuple(std::get<0>(t), row / 128, col / 128, row, col);
        };
        std::sort(expected.begin(), expected.end(),
                  [&](const tagListed& a, const tagListed& b) { return block(a) < block(b); });
        EXPECT_EQ(List(*storage), expected);

        // Ranges are positions in the level list, clipped to it.
        const std::vector<tagListed> level5(expected.begin() + 2, expected.end());
        EXPECT_EQ(List(*storage, 2, 99),
                  std::vector<tagListed>(expected.begin() + 1, expected.end()));
        EXPECT_EQ(List(*storage, 5, 5), level5);
        EXPECT_EQ(List(*storage, -4, 0), std::vector<tagListed>(1, expected[0]));
        EXPECT_TRUE(List(*storage, 3, 4).empty() && List(*storage, 4, 3).empty());

        ASSERT_EQ(storage->RemoveTile(5, 1, 5), 1);
        expected.erase(std::find(expected.begin(), expected.end(), tagListed{5, 1, 5, 12}));
        EXPECT_EQ(List(*storage), expected);
    }
    // The listing looked where the LevelIDs say: level 5 is LevelID 15.
    TempDir dir;
    auto v2 = MakeLayout(dir, kLayouts[3]);
    ASSERT_EQ(Save(*v2, 5, 0, 0, TileBytes(1, 1)), 1);
    EXPECT_TRUE(fs::exists(dir / "_alllayers/L15/R0000C0000.bundle"));
    EXPECT_EQ(List(*v2), std::vector<tagListed>(1, tagListed{5, 0, 0, 1}));
}

// Damaged records, placeholder slots, misnamed files, folders on tiles'
// names and leftovers beside real tiles: the listing holds exactly the
// tiles loads find (every address probed) and nothing else.
TEST(TileListing, ListsExactlyTheTilesALoadFinds) {
    for (const tagLayout& layout : kLayouts) {
        SCOPED_TRACE(layout.Name);
        TempDir dir;
        auto storage = MakeLayout(dir, layout);
        for (int i = 0; i < 6; ++i)
            ASSERT_EQ(Save(*storage, 3, i, 2 * i, TileBytes(unsigned(i), 5 + size_t(i))), 1);
        storage->ReleaseHandles();
        const fs::path all = dir / "_alllayers";
        switch (layout.Format) {
            case eTileStorage::Original:
                if (!layout.ArcGIS) {
                    // Level 3 is 1:4,000,000; level 4 (1:2,000,000) holds strays only.
                    WriteText(all / "4000000/R0000C0000/07x3.epng", "spelt otherwise");
                    WriteText(all / "4000000/R0000C0000/1x1.ejpg", "another type");
                    WriteText(all / "4000000/R0000C0000/3x4.epng.temp", "leftover");
                    WriteText(all / "4000000/R0001C0000/2x2.epng", "wrong group");
                    WriteText(all / "4000000/R1C0/3x3.epng", "group spelt otherwise");
                    fs::create_directories(all / "4000000/R0000C0000/9x9.epng");
                    WriteText(all / "2000000/R0000C0000/notes.txt", "not a tile");
                } else {
                    // LevelID 13; MIXED: a tile stored as both kinds lists once, as
                    // the .jpg a load reads.
                    storage->SetArcGISTileFormat("MIXED");
                    WriteText(all / "L13/R00000000/C00000000.jpg", "\xFF\xD8 the jpeg");
                    WriteText(all / "L13/R00000001/C0000000A.png", "upper case");
                    WriteText(all / "L13/R00000001/C00000003.png.temp", "leftover");
                    WriteText(all / "L13/R0000000g/C00000001.png", "bad row");
                    fs::create_directories(all / "L13/R00000002/C00000009.png");
                    WriteText(all / "L03/R00000000/C00000000.png", "folder of no level");
                }
                break;
            case eTileStorage::Compact: {
                // Slots of row 1 and 2 pointed past the data file and at a
                // record that runs past it; an ArcGIS-structured pair at the
                // block below holds one tile among its placeholders.
                const fs::path index = all / "L03/R0000C0000.bundlx";
                const fs::path data = all / "L03/R0000C0000.bundle";
                Bytes idx = ReadFile(index), dat = ReadFile(data);
                PutLE(idx, 16 + 5 * (2 * 128 + 1), dat.size() + 100, 5);
                PutLE(dat, size_t(GetLE(idx, 16 + 5 * (4 * 128 + 2), 4)), 1000, 4);
                WriteFile(index, idx);
                WriteFile(data, dat);
                Bytes arcIndex = ArcGISIndex(), arcData = ArcGISData(128, 0);
                PutLE(arcIndex, 16 + 5 * (3 * 128 + 5), arcData.size(), 5);
                WriteFile(all / "L03/R0080C0000.bundlx", arcIndex);
                WriteFile(all / "L03/R0080C0000.bundle", Concat(arcData, Record(Text("arc"))));
                WriteFile(all / "L03/R80C0.bundlx", ReadFile(index));  // name spelt otherwise
                WriteFile(all / "L03/R80C0.bundle", dat);
                break;
            }
            case eTileStorage::CompactV2: {
                // LevelID 13: entries of rows 1 to 3 pointed inside the index,
                // past the end, and with size 0.
                const fs::path file = all / "L13/R0000C0000.bundle";
                Bytes bytes = ReadFile(file);
                PutLE(bytes, V2EntryAt(1, 2), uint64_t(4) << 40 | 100, 8);
                PutLE(bytes, V2EntryAt(2, 4), uint64_t(4) << 40 | bytes.size(), 8);
                PutLE(bytes, V2EntryAt(3, 6), GetLE(bytes, V2EntryAt(3, 6), 8) & 0xFFFFFFFFFFu, 8);
                WriteFile(file, bytes);
                break;
            }
            default: break;  // the single-file layouts have tests of their own
        }
        const std::vector<tagListed> found = Probe(*storage, {0, 128});
        EXPECT_EQ(Sorted(List(*storage)), found);
        EXPECT_GE(found.size(), 3u);
    }
}
