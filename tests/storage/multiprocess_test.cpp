// Several processes on one cache, in every layout: forked writers save,
// replace and remove tiles in the same bundles, partly the same tiles, while
// forked readers load them. No load may return a torn or foreign tile, no
// acknowledged tile may go missing, a bundle tile is stored by exactly one of
// several writers racing for it, and no save may fail because of another
// process (the bundles do not exist at the start, so creating them races too).
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <numeric>
#include <random>
#include <string>

#include "support/multiprocess.h"
#include "support/storage_util.h"

using namespace tvktest;

namespace {

struct tagLayout {
    const char* Name;
    eTileStorage::EmFormat Format;
    bool ArcGIS;  // ArcGIS naming, and ArcGIS's structure for new V1 pairs
};

// Test names in CTest carry the layout's name, not its bytes.
void PrintTo(const tagLayout& layout, std::ostream* out) { *out << layout.Name; }

const tagLayout kLayouts[] = {{"Compact", eTileStorage::Compact, false},
                              {"ArcGISCompact", eTileStorage::Compact, true},
                              {"CompactV2", eTileStorage::CompactV2, false},
                              {"Original", eTileStorage::Original, false},
                              {"ArcGISExploded", eTileStorage::Original, true}};

std::unique_ptr<eTileStorage> OpenLayout(const std::string& root, const tagLayout& layout) {
    auto storage = MakeStorage(root, layout.Format);
    if (layout.ArcGIS) {
        storage->SetTileNaming(eTileStorage::ArcGIS);
        storage->SetArcGISStructure(1);
    }
    return storage;
}

struct tagAddress {
    int Level, Row, Col;
};

constexpr int kWriters = 4, kReaders = 2;
constexpr int kSame = 36;    // every writer saves each of these once
constexpr int kShared = 16;  // every writer saves, replaces and removes these at random
constexpr int kOwn = 12;     // per writer: tiles no other writer touches
constexpr int kAddresses = kSame + kShared + kWriters * kOwn;
constexpr auto kRunTime = std::chrono::milliseconds(1000);

// Address i, spread over three bundles: two of level 5 and one of level 4.
tagAddress AddressOf(int i) {
    static const int kBundles[3][3] = {{5, 0, 0}, {5, 0, 128}, {4, 128, 256}};
    const int* b = kBundles[i % 3];
    const int k = i / 3;  // 37 is odd, so rows differ for k below 128
    return {b[0], b[1] + (k * 37) % 128, b[2] + (k * 11) % 128};
}
int OwnIndex(int writer, int k) { return kSame + kShared + writer * kOwn + k; }

// What went wrong in a child, one bit each.
enum : int {
    kTornLoad = 1,    // a load returned bytes that are no payload of the address
    kOwnFailed = 2,   // a save or removal of a writer's own tile failed
    kOwnWrong = 4,    // a writer's own tile read back other than it left it
    kSaveFailed = 8,  // a save that nothing else could refuse failed
    kNothing = 16,    // a reader never found a tile
    kNoStorage = 32,
};

std::string Describe(int code) {
    if (code < 0) return "did not exit normally";
    static const char* const kWhat[] = {"torn load",      "own save or removal failed",
                                        "own tile wrong", "save failed",
                                        "no tile found",  "no storage"};
    std::string text;
    for (int bit = 0; bit < 6; ++bit)
        if (code & (1 << bit)) text += std::string(kWhat[bit]) + "; ";
    return text;
}

class ChildTiles {
public:
    ChildTiles(const std::string& root, const tagLayout& layout, uint32_t seed)
        : m_storage(OpenLayout(root, layout)), m_rng(seed) {}
    bool Save(const tagAddress& a, uint32_t writer, uint32_t version) {
        const Bytes payload =
            MakePayload(a.Level, a.Row, a.Col, writer, version, 100 + m_rng() % 12000);
        return tvktest::Save(*m_storage, a.Level, a.Row, a.Col, payload) == 1;
    }
    // 0: no tile; 1: a payload of the address (made filled in); -1: anything else.
    int Load(const tagAddress& a, tagPayload& made) {
        if (!m_storage->LoadImageData(a.Level, a.Row, a.Col, m_data)) return 0;
        return ReadPayload(m_data.GetData(), size_t(m_data.GetSize()), a.Level, a.Row, a.Col, made)
                   ? 1
                   : -1;
    }
    bool Remove(const tagAddress& a) { return m_storage->RemoveTile(a.Level, a.Row, a.Col) == 1; }
    bool Exists(const tagAddress& a) { return m_storage->IsTileExist(a.Level, a.Row, a.Col) == 1; }
    uint32_t Random(uint32_t below) { return m_rng() % below; }
    std::mt19937& Rng() { return m_rng; }

private:
    std::unique_ptr<eTileStorage> m_storage;
    std::mt19937 m_rng;
    eByteArray m_data;
};

bool Running(std::chrono::steady_clock::time_point until) {
    return std::chrono::steady_clock::now() < until;
}

int RunWriter(const std::string& root, const tagLayout& layout, int w, const fs::path& ledgerPath) {
    const auto until = std::chrono::steady_clock::now() + kRunTime;
    const bool bundled = layout.Format != eTileStorage::Original;
    const uint32_t id = uint32_t(w) + 1;
    ChildTiles tiles(root, layout, id);
    eLedger ledger(ledgerPath);
    int result = 0;
    uint32_t version = 0;
    std::vector<uint32_t> own(kOwn, 0);  // version stored, 0 for none
    // First one own tile in each bundle, as every other writer does: the
    // bundles are created under each other's feet.
    for (int k = 0; k < 3; ++k) {
        if (tiles.Save(AddressOf(OwnIndex(w, k)), id, ++version))
            own[size_t(k)] = version;
        else
            result |= kOwnFailed;
    }
    std::vector<int> same(kSame);
    std::iota(same.begin(), same.end(), 0);
    std::shuffle(same.begin(), same.end(), tiles.Rng());
    size_t nextSame = 0;
    tagPayload made;
    while (Running(until) || nextSame < same.size()) {
        const uint32_t action = tiles.Random(8);
        if (action < 2 && nextSame < same.size()) {
            const tagAddress a = AddressOf(same[nextSame++]);
            if (tiles.Save(a, id, ++version))
                ledger.Append({tagLedgerEntry::Saved, a.Level, a.Row, a.Col, id, version});
            else if (!bundled)
                result |= kSaveFailed;  // only a stored tile refuses a bundle save
        } else if (action < 4) {
            const tagAddress a = AddressOf(kSame + int(tiles.Random(kShared)));
            const uint32_t what = tiles.Random(3);
            if (what == 0) {
                if (!tiles.Save(a, id, ++version) && !bundled) result |= kSaveFailed;
            } else if (what == 1) {
                if (!tiles.Remove(a) && bundled) result |= kSaveFailed;
            } else if (tiles.Load(a, made) < 0) {
                result |= kTornLoad;
            }
        } else if (action < 6) {
            const int k = int(tiles.Random(kOwn));
            const tagAddress a = AddressOf(OwnIndex(w, k));
            uint32_t& stored = own[size_t(k)];
            if (stored == 0) {
                if (tiles.Save(a, id, ++version))
                    stored = version;
                else
                    result |= kOwnFailed;
            } else if (tiles.Random(2) == 0) {
                if (tiles.Load(a, made) != 1 || made.Writer != id || made.Version != stored)
                    result |= kOwnWrong;
            } else if (!tiles.Remove(a)) {
                result |= kOwnFailed;
            } else {
                stored = 0;
                if (tiles.Exists(a)) result |= kOwnWrong;
            }
        } else if (tiles.Load(AddressOf(int(tiles.Random(kAddresses))), made) < 0) {
            result |= kTornLoad;
        }
    }
    for (int k = 0; k < kOwn; ++k) {
        const tagAddress a = AddressOf(OwnIndex(w, k));
        if (own[size_t(k)] != 0)
            ledger.Append({tagLedgerEntry::Saved, a.Level, a.Row, a.Col, id, own[size_t(k)]});
    }
    return result;
}

int RunReader(const std::string& root, const tagLayout& layout, uint32_t seed) {
    const auto until = std::chrono::steady_clock::now() + kRunTime;
    ChildTiles tiles(root, layout, seed);
    int result = kNothing;
    tagPayload made;
    while (Running(until)) {
        const tagAddress a = AddressOf(int(tiles.Random(kAddresses)));
        const int loaded = tiles.Load(a, made);
        if (loaded < 0) result |= kTornLoad;
        if (loaded > 0) result &= ~kNothing;
        tiles.Exists(a);
    }
    return result;
}

class MultiProcessConcurrency : public ::testing::TestWithParam<tagLayout> {};

}  // namespace

TEST_P(MultiProcessConcurrency, WritersAndReadersKeepEveryTileWholeAndNoSaveIsLost) {
    const tagLayout& layout = GetParam();
    const bool bundled = layout.Format != eTileStorage::Original;
    TempDir dir;
    eChildren children;
    for (int w = 0; w < kWriters; ++w)
        children.Start([&, w] {
            return RunWriter(dir.Str(), layout, w, dir / ("ledger" + std::to_string(w)));
        });
    for (int r = 0; r < kReaders; ++r)
        children.Start([&, r] { return RunReader(dir.Str(), layout, 100 + uint32_t(r)); });
    children.Release();
    const std::vector<int> codes = children.Wait();
    for (size_t c = 0; c < codes.size(); ++c)
        EXPECT_EQ(codes[c], 0) << (c < kWriters ? "writer " : "reader ") << c << ": "
                               << Describe(codes[c]);

    // What the writers were told was saved, by address.
    std::map<std::tuple<int, int, int>, std::vector<tagPayload>> acknowledged;
    for (int w = 0; w < kWriters; ++w)
        for (const tagLedgerEntry& e : eLedger::Read(dir / ("ledger" + std::to_string(w))))
            acknowledged[{e.Level, e.Row, e.Col}].push_back({e.Writer, e.Version});

    ChildTiles tiles(dir.Str(), layout, 0);
    tagPayload made;
    for (int i = 0; i < kAddresses; ++i) {
        const tagAddress a = AddressOf(i);
        const std::vector<tagPayload>& acks = acknowledged[{a.Level, a.Row, a.Col}];
        const int loaded = tiles.Load(a, made);
        SCOPED_TRACE("address " + std::to_string(i));
        if (i >= kSame && i < kSame + kShared) {
            EXPECT_GE(loaded, 0);  // shared: any whole payload of the address, or none
            continue;
        }
        // Same tiles: a bundle stores the first save and refuses the others;
        // files take every save and keep the last. Own tiles: as left.
        const size_t expected = i >= kSame ? (acks.empty() ? 0 : 1) : bundled ? 1 : kWriters;
        EXPECT_EQ(acks.size(), expected);
        if (acks.empty()) {
            EXPECT_EQ(loaded, 0);
            continue;
        }
        ASSERT_EQ(loaded, 1);
        bool matches = false;
        for (const tagPayload& ack : acks)
            matches |= ack.Writer == made.Writer && ack.Version == made.Version;
        EXPECT_TRUE(matches) << "stored writer " << made.Writer << " version " << made.Version;
    }
    if (!bundled) {
        EXPECT_EQ(TempFiles(dir.Path()), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, MultiProcessConcurrency, ::testing::ValuesIn(kLayouts),
                         [](const ::testing::TestParamInfo<tagLayout>& info) {
                             return std::string(info.param.Name);
                         });
