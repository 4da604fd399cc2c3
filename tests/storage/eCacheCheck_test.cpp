// eCacheCheck over caches built through the storage and then damaged by
// hand, and over V2 bundles written byte by byte as other writers leave
// them: each damage named with its numbers, warnings for what costs only
// space or is merely unusual, and totals computed by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "eCacheCheck.h"
#include "eTileListing.h"
#include "support/storage_util.h"

using namespace tvktest;

namespace {

using tagKey = std::tuple<int, std::string, int, int, int, int64_t, int64_t, int64_t, int64_t>;

tagKey Key(const tagCacheFinding& f) {
    return {f.Kind, f.Path.Std(), f.Slot, f.Row, f.Col, f.Offset, f.Size, f.FileSize, f.Expected};
}

tagKey Key(eCacheCheck::EmFinding kind, const fs::path& path, int slot = -1, int row = -1,
           int col = -1, int64_t offset = -1, int64_t size = -1, int64_t fileSize = -1,
           int64_t expected = -1) {
    return {kind, path.string(), slot, row, col, offset, size, fileSize, expected};
}

struct tagChecked {
    std::vector<tagKey> Damage, Warnings;  // sorted
    tagCacheTotals Totals;
};

tagChecked Check(eCacheCheck check) {
    tagChecked out;
    tagCacheFinding f;
    while (check.Next(f))
        (eCacheCheck::IsDamage(f.Kind) ? out.Damage : out.Warnings).push_back(Key(f));
    std::sort(out.Damage.begin(), out.Damage.end());
    std::sort(out.Warnings.begin(), out.Warnings.end());
    out.Totals = check.GetTotals();
    EXPECT_EQ(out.Totals.Damage, int64_t(out.Damage.size()));
    EXPECT_EQ(out.Totals.Warnings, int64_t(out.Warnings.size()));
    return out;
}

tagChecked Check(const eTileStorage& storage) { return Check(eCacheCheck(storage)); }

// bytes with count bytes at `at` set to value, little-endian.
Bytes With(Bytes bytes, size_t at, uint64_t value, int count) {
    PutLE(bytes, at, value, count);
    return bytes;
}

std::vector<tagKey> Sorted(std::vector<tagKey> keys) {
    std::sort(keys.begin(), keys.end());
    return keys;
}

}  // namespace

// Each damage written over a sound V1 pair or V2 bundle in turn is found
// with its numbers, and nothing else is called damage. A listing leaves the
// damaged tiles out, and stops (after the tile of level 1) at a bundle that
// cannot be read at all, naming it as the check does.
TEST(CacheCheck, FindsEachDamageOfV1AndV2Bundles) {
    TempDir v1Dir, v2Dir;
    auto v1 = MakeStorage(v1Dir.Str(), eTileStorage::Compact);
    auto v2 = MakeStorage(v2Dir.Str(), eTileStorage::CompactV2);
    const Bytes a = TileBytes(1, 30), b = TileBytes(2, 40);
    for (eTileStorage* s : {v1.get(), v2.get()}) {
        ASSERT_EQ(Save(*s, 1, 0, 0, a), 1);
        ASSERT_EQ(Save(*s, 2, 1, 2, a), 1);
        ASSERT_EQ(Save(*s, 2, 3, 0, b), 1);
        s->ReleaseHandles();
        EXPECT_TRUE(Check(*s).Damage.empty());
    }
    const fs::path index = v1Dir / "_alllayers/L02/R0000C0000.bundlx";
    const fs::path data = v1Dir / "_alllayers/L02/R0000C0000.bundle";
    const fs::path v2File = v2Dir / "_alllayers/L02/R0000C0000.bundle";
    const Bytes goodIndex = ReadFile(index), goodData = ReadFile(data), goodV2 = ReadFile(v2File);
    // Records by hand: V1 data a at 0, b at 34 (78 bytes); V2 a's bytes at
    // 131,140 and b's at 131,174 (131,214 bytes).
    ASSERT_TRUE(goodData.size() == 78u && goodV2.size() == 131214u);
    const int64_t dataEnd = 78, v2End = 131214;
    const int slotA = 2 * 128 + 1, slotB = 3, entryA = 130, entryB = 384;  // (1, 2) and (3, 0)
    const auto cut = [](const Bytes& bytes, size_t size) {
        return Bytes(bytes.begin(), bytes.begin() + long(size));
    };
    using K = eCacheCheck;
    const tagKey none = Key(K::None, fs::path());
    const struct {
        const char* What;
        fs::path File;
        Bytes Written;  // empty: the file is removed
        std::vector<tagKey> Damage;
        int Listed;    // tiles listed
        tagKey Error;  // where the listing stops
    } cases[] = {
        // clang-format off
        {"V1 slot past the end", index, With(goodIndex, 16 + 5 * slotA, 174, 5),
         {Key(K::RecordOutsideFile, data, slotA, 1, 2, 174, -1, dataEnd)}, 2, none},
        {"V1 slot beyond 2 GiB", index, With(goodIndex, 16 + 5 * slotB, 0x80000000u, 5),
         {Key(K::RecordBeyond2GiB, data, slotB, 3, 0, 0x80000000)}, 2, none},
        {"V1 data cut short", data, cut(goodData, 70),
         {Key(K::RecordRunsPastEnd, data, slotB, 3, 0, 34, 40, 70)}, 2, none},
        {"V1 negative length", data, With(goodData, 34, 0xFFFFFFF0u, 4),
         {Key(K::RecordNegativeLength, data, slotB, 3, 0, 34)}, 2, none},
        {"V1 index too short", index, cut(goodIndex, 1000),
         {Key(K::IndexTooShort, index, -1, -1, -1, -1, -1, 1000, 81936)}, 1,
         Key(K::IndexTooShort, index, -1, -1, -1, -1, -1, 1000, 81936)},
        {"V1 index too long", index, Concat(goodIndex, Bytes(5, 0)),
         {Key(K::IndexSizeUnusual, index, -1, -1, -1, -1, -1, 81941)}, 3, none},
        {"V1 data missing", data, {}, {Key(K::IndexWithoutData, index)}, 1,
         Key(K::IndexWithoutData, index)},
        {"V1 index missing", index, {}, {Key(K::DataWithoutIndex, data)}, 1, none},
        {"V2 entry past the end", v2File, With(goodV2, V2EntryAt(1, 2), 30ull << 40 | 140000, 8),
         {Key(K::RecordOutsideFile, v2File, entryA, 1, 2, 140000, -1, v2End)}, 2, none},
        {"V2 entry inside the index", v2File, With(goodV2, V2EntryAt(3, 0), 40ull << 40 | 100, 8),
         {Key(K::RecordInsideIndex, v2File, entryB, 3, 0, 100)}, 2, none},
        {"V2 record size field", v2File, With(goodV2, 131170, 41, 4),
         {Key(K::RecordSizeMismatch, v2File, entryB, 3, 0, 131174, 40, -1, 41)}, 3, none},
        {"V2 cut short", v2File, cut(goodV2, v2End - 10),
         {Key(K::HeaderSizeTooLarge, v2File, -1, -1, -1, -1, -1, v2End - 10, v2End),
          Key(K::RecordRunsPastEnd, v2File, entryB, 3, 0, 131174, 40, v2End - 10)}, 2, none},
        {"V2 shorter than its index", v2File, cut(goodV2, 131135),
         {Key(K::BundleTooShort, v2File, -1, -1, -1, -1, -1, 131135, 131136)}, 1,
         Key(K::BundleTooShort, v2File, -1, -1, -1, -1, -1, 131135, 131136)},
        {"V2 version 2", v2File, With(goodV2, 0, 2, 4), {Key(K::NotABundleHeader, v2File)}, 1,
         Key(K::NotABundleHeader, v2File)},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        const Bytes good = ReadFile(c.File);
        if (c.Written.empty())
            fs::remove(c.File);
        else
            WriteFile(c.File, c.Written);
        const eTileStorage& storage = c.File == v2File ? *v2 : *v1;
        EXPECT_EQ(Check(storage).Damage, Sorted(c.Damage));
        eTileListing listing(storage);
        tagStoredTile tile;
        int listed = 0;
        while (listing.Next(tile)) ++listed;
        EXPECT_EQ(listed, c.Listed);
        EXPECT_EQ(Key(listing.GetError()), c.Error);
        WriteFile(c.File, good);
    }
}

// V2 bundles as ArcGIS 10.3 has been seen writing them (0 records, an
// unrelated value where the largest record would be, 0 at 48), built byte by
// byte: no damage, the unusual fields as warnings, every tile listed. The
// largest-record field is compared with the tiles only in the usual header.
TEST(CacheCheck, V2HeadersOfOtherWritersAreWarningsAtMost) {
    TempDir dir;
    auto storage = MakeStorage(dir.Str(), eTileStorage::CompactV2);
    const fs::path file = dir / "_alllayers/L01/R0000C0000.bundle";
    Bytes ours = V2Bundle();
    V2Append(ours, 0, 1, Text("their first"));
    V2Append(ours, 1, 0, Text("second"));
    const Bytes theirs = With(With(With(ours, 4, 0, 4), 8, 5, 4), 48, 0, 4);
    using K = eCacheCheck;
    const struct {
        const char* What;
        Bytes Written;
        std::vector<tagKey> Warnings;
    } cases[] = {
        {"ArcGIS 10.3",
         theirs,
         {Key(K::HeaderFieldUnusual, file, -1, -1, -1, 4, 0, -1, 16384),
          Key(K::HeaderFieldUnusual, file, -1, -1, -1, 48, 0, -1, 16)}},
        {"usual header, largest record too small",
         With(ours, 8, 5, 4),
         {Key(K::HeaderMaxTileSmall, file, -1, -1, -1, -1, 11, -1, 5)}},
        {"file size field behind the file, slack not zero",
         With(With(ours, 24, ours.size() - 7, 8), 16, 1, 8),
         {Key(K::HeaderSizeSmall, file, -1, -1, -1, -1, -1, int64_t(ours.size()),
              int64_t(ours.size()) - 7),
          Key(K::HeaderFieldUnusual, file, -1, -1, -1, 16, 1, -1, 0)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        WriteFile(file, c.Written);
        const tagChecked checked = Check(*storage);
        EXPECT_TRUE(checked.Damage.empty());
        EXPECT_EQ(checked.Warnings, Sorted(c.Warnings));
        EXPECT_TRUE(checked.Totals.Tiles == 2 && checked.Totals.Bytes == 17 &&
                    checked.Totals.DeadBytes == 0 && checked.Totals.Bundles == 1);
        eTileListing listing(*storage);
        tagStoredTile tile;
        int tiles = 0;
        while (listing.Next(tile)) ++tiles;
        EXPECT_EQ(tiles, 2);
    }
}

// Removed tiles leave dead space in both V1 structures and in V2: the
// record's 4-byte length and its bytes, once per record.
TEST(CacheCheck, TotalsCountTilesBytesAndDeadSpace) {
    const struct {
        const char* What;
        eTileStorage::EmFormat Format;
        bool ArcGIS;
    } cases[] = {
        {"V1", eTileStorage::Compact, false},
        {"V1 ArcGIS structure", eTileStorage::Compact, true},
        {"V2", eTileStorage::CompactV2, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        TempDir dir;
        auto storage = MakeStorage(dir.Str(), c.Format);
        storage->SetArcGISStructure(c.ArcGIS ? 1 : 0);
        ASSERT_EQ(Save(*storage, 4, 0, 130, TileBytes(1, 100)), 1);
        ASSERT_EQ(Save(*storage, 4, 1, 130, TileBytes(2, 50)), 1);
        ASSERT_EQ(Save(*storage, 4, 2, 3, TileBytes(3, 7)), 1);
        ASSERT_EQ(storage->RemoveTile(4, 0, 130), 1);
        storage->ReleaseHandles();
        const tagChecked checked = Check(*storage);
        EXPECT_TRUE(checked.Damage.empty());
        EXPECT_EQ(checked.Warnings,
                  std::vector<tagKey>{Key(eCacheCheck::DeadSpace,
                                          dir / "_alllayers/L04/R0000C0080.bundle", -1, -1, -1, -1,
                                          104)});
        EXPECT_EQ(checked.Totals.Bundles, 2);
        EXPECT_EQ(checked.Totals.Tiles, 2);
        EXPECT_EQ(checked.Totals.Bytes, 57);
        EXPECT_EQ(checked.Totals.DeadBytes, 104);
        // One level's check sees only that level's folder.
        EXPECT_EQ(Check(eCacheCheck(*storage, 3)).Totals.Bundles, 0);
        EXPECT_EQ(Check(eCacheCheck(*storage, 4)).Totals.DeadBytes, 104);
    }
}

// Debris around tile files and bundles: leftovers, files and folders under
// names the cache never uses, a MIXED tile in both kinds, and empty files,
// the only damage among them.
TEST(CacheCheck, DebrisIsWarnedOfAndEmptyTileFilesAreDamage) {
    using K = eCacheCheck;
    TempDir dir;
    const fs::path all = dir / "_alllayers";
    auto native = MakeStorage(dir.Str(), eTileStorage::Original);
    ASSERT_EQ(Save(*native, 0, 1, 1, Text("tile")), 1);
    const fs::path group = all / "32000000/R0000C0000";
    WriteText(group / "2x2.epng", "");
    WriteText(group / "1x1.epng.temp", "half");
    WriteText(group / "notes.txt", "ignored");
    tagChecked checked = Check(*native);
    EXPECT_EQ(checked.Damage, std::vector<tagKey>{Key(K::EmptyTileFile, group / "2x2.epng")});
    EXPECT_EQ(checked.Warnings,
              std::vector<tagKey>{Key(K::TemporaryFile, group / "1x1.epng.temp")});
    EXPECT_TRUE(checked.Totals.TileFiles == 2 && checked.Totals.Tiles == 1 &&
                checked.Totals.Bytes == 4);

    // The same folder read as an ArcGIS MIXED tree of LevelIDs 1 and 2.
    auto exploded = MakeStorage(dir.Str(), eTileStorage::Original);
    exploded->SetTileNaming(eTileStorage::ArcGIS);
    exploded->SetArcGISTileFormat("MIXED");
    exploded->GetTileCoordSys().GetLevelCaptions().resize(2);
    for (int i = 0; i < 2; ++i) exploded->GetTileCoordSys().GetLevelCaptions()[i].Level = i + 1;
    const fs::path row = all / "L02/R00000000";
    WriteText(row / "C00000001.jpg", "\xFF\xD8jpeg");
    WriteText(row / "C00000001.png", "png!");
    WriteText(row / "C0000000A.png", "upper case");
    WriteText(row / "C00000002.jpg", "");
    WriteText(row / "C00000003.png.7-1.temp", "half");
    fs::create_directories(row / "C00000004.png");
    WriteText(all / "L02/R0000000x/C00000000.png", "bad row");
    WriteText(all / "L01/readme.txt", "not a row");
    checked = Check(*exploded);
    EXPECT_EQ(checked.Damage, std::vector<tagKey>{Key(K::EmptyTileFile, row / "C00000002.jpg")});
    EXPECT_EQ(checked.Warnings, Sorted({Key(K::ForeignLevelFolder, all / "32000000"),
                                        Key(K::ForeignRowFolder, all / "L01/readme.txt"),
                                        Key(K::ForeignRowFolder, all / "L02/R0000000x"),
                                        Key(K::DuplicateTile, row / "C00000001.png"),
                                        Key(K::UnreachableName, row / "C0000000A.png"),
                                        Key(K::UnreachableName, row / "C00000004.png"),
                                        Key(K::TemporaryFile, row / "C00000003.png.7-1.temp")}));
    EXPECT_TRUE(checked.Totals.Tiles == 1 && checked.Totals.Bytes == 6);
    // Level 0 (LevelID 1) alone: its stray file only.
    EXPECT_EQ(Check(eCacheCheck(*exploded, 0)).Warnings,
              std::vector<tagKey>{Key(K::ForeignRowFolder, all / "L01/readme.txt")});

    // And as a compact cache: no level folder but L01 and L02 holds bundles.
    TempDir compactDir;
    const fs::path level = compactDir / "_alllayers/L02";
    auto compact = MakeStorage(compactDir.Str(), eTileStorage::Compact);
    ASSERT_EQ(Save(*compact, 2, 0, 0, Text("tile")), 1);
    compact->ReleaseHandles();
    WriteFile(level / "R80C0.bundlx", NativeIndex());
    WriteFile(level / "R80C0.bundle", {});
    WriteText(level / "notes.txt", "");
    WriteText(level / "R0000C0080.bundle.9-0.temp", "");
    WriteText(compactDir / "_alllayers/extra/file", "");
    checked = Check(*compact);
    EXPECT_TRUE(checked.Damage.empty());
    EXPECT_EQ(checked.Warnings, Sorted({Key(K::ForeignLevelFolder, compactDir / "_alllayers/extra"),
                                        Key(K::ForeignFile, level / "notes.txt"),
                                        Key(K::TemporaryFile, level / "R0000C0080.bundle.9-0.temp"),
                                        Key(K::UnreachableName, level / "R80C0.bundlx")}));
    EXPECT_TRUE(checked.Totals.Bundles == 1 && checked.Totals.Tiles == 1);
}
