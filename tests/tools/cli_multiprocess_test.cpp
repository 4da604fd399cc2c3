// Several processes on one cache, as users run them: writers killed with
// SIGKILL at random moments while others go on (every acknowledged tile
// intact, `tvk verify` clean, new saves into the same bundles at once), and
// two `tvk copy` runs beside `tvk put` calls writing into the same bundles.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <map>
#include <random>
#include <thread>

#include <tvk.h>

#include "cli_runner.h"
#include "support/multiprocess.h"

using namespace tvktest;
using Clock = std::chrono::steady_clock;

namespace {

// The storage of a cache made by `tvk create`, with or without --arcgis.
std::unique_ptr<eTileStorage> OpenStorage(const std::string& dir) {
    auto storage = std::make_unique<eTileStorage>();
    const bool opened = fs::exists(dir + "/tilecache.xml")
                            ? storage->FromConfigFile((dir + "/tilecache.xml").c_str())
                            : storage->FromArcGISConfigFile((dir + "/conf.xml").c_str());
    return opened ? std::move(storage) : nullptr;
}

bool SavePayload(eTileStorage& storage, int level, int row, int col, uint32_t writer,
                 uint32_t version, size_t size) {
    const Bytes payload = MakePayload(level, row, col, writer, version, size);
    return storage.SaveImageData(level, row, col, payload.data(),
                                 static_cast<unsigned int>(payload.size())) == 1;
}

// 0: no tile; 1: a payload of the address (made filled in); -1: anything else.
int LoadPayload(eTileStorage& storage, int level, int row, int col, tagPayload& made) {
    eByteArray data;
    if (!storage.LoadImageData(level, row, col, data)) return 0;
    return ReadPayload(data.GetData(), size_t(data.GetSize()), level, row, col, made) ? 1 : -1;
}

// ---- writers killed at random moments ----

constexpr int kLevel = 9;            // 512 x 512 tiles: 16 bundles
constexpr int kOwnTiles = 8;         // per writer, in bundles A and B
constexpr int kFreshBundleTile = 8;  // per writer, one tile in a bundle it may create
constexpr int kSharedTiles = 16;     // every writer saves and removes these
constexpr int kInitialWriters = 4;

struct tagTile {
    int Row, Col;
};

// Writer n's tile k: k < 8 alternate between bundle A (R0000C0000) and B
// (R0000C0080); k = 8 lies in one of the other 14 bundles, which the first
// writers there create.
tagTile OwnTile(int writer, int k) {
    if (k == kFreshBundleTile) {
        const int bundle = 2 + writer % 14;
        return {(bundle / 4) * 128 + writer / 14, (bundle % 4) * 128 + 1};
    }
    return {writer * 4 + k / 2, (k % 2) * 128 + 5};
}
tagTile SharedTile(int i) { return {i, (i % 2) * 128 + 64}; }

int RunKilledWriter(eTileStorage& storage, int writer, const fs::path& ledgerPath,
                    const fs::path& stop) {
    eLedger ledger(ledgerPath);
    std::mt19937 rng{static_cast<uint32_t>(writer)};
    const uint32_t id = uint32_t(writer);
    std::vector<uint32_t> own(kFreshBundleTile + 1, 0);
    uint32_t version = 0;
    // Each step is in the ledger before it starts and after it ends, so that
    // whenever the writer dies its tiles' states are known.
    auto save = [&](int k) {
        const tagTile t = OwnTile(writer, k);
        const uint32_t v = ++version;
        ledger.Append({tagLedgerEntry::Saving, kLevel, t.Row, t.Col, id, v});
        if (!SavePayload(storage, kLevel, t.Row, t.Col, id, v, 200 + rng() % 20000)) return false;
        ledger.Append({tagLedgerEntry::Saved, kLevel, t.Row, t.Col, id, v});
        own[size_t(k)] = v;
        return true;
    };
    auto remove = [&](int k) {
        const tagTile t = OwnTile(writer, k);
        ledger.Append({tagLedgerEntry::Removing, kLevel, t.Row, t.Col, id, own[size_t(k)]});
        if (!storage.RemoveTile(kLevel, t.Row, t.Col)) return false;
        ledger.Append({tagLedgerEntry::Removed, kLevel, t.Row, t.Col, id, own[size_t(k)]});
        own[size_t(k)] = 0;
        return true;
    };
    if (!save(kFreshBundleTile)) return 2;
    tagPayload made;
    for (int step = 0; step % 16 != 0 || !fs::exists(stop); ++step) {
        const uint32_t action = rng() % 4;
        if (action < 2) {
            const int k = int(rng() % kOwnTiles);
            if (own[size_t(k)] == 0) {
                if (!save(k)) return 2;
            } else if (rng() % 2 == 0) {
                const tagTile t = OwnTile(writer, k);
                if (LoadPayload(storage, kLevel, t.Row, t.Col, made) != 1 || made.Writer != id ||
                    made.Version != own[size_t(k)])
                    return 4;
            } else if (!remove(k)) {
                return 2;
            }
        } else {
            // Refused saves and empty loads are fine here; torn loads are not.
            const tagTile t = SharedTile(int(rng() % kSharedTiles));
            if (action == 2)
                SavePayload(storage, kLevel, t.Row, t.Col, id, ++version, 200 + rng() % 20000);
            else if (rng() % 2 == 0)
                storage.RemoveTile(kLevel, t.Row, t.Col);
            else if (LoadPayload(storage, kLevel, t.Row, t.Col, made) < 0)
                return 1;
        }
    }
    return 0;
}

struct tagKillLayout {
    const char* Layout;
    bool ArcGIS;
    const char* Name;
};

void PrintTo(const tagKillLayout& layout, std::ostream* out) { *out << layout.Name; }

class KillConcurrency : public CliTest, public ::testing::WithParamInterface<tagKillLayout> {};

}  // namespace

TEST_P(KillConcurrency, WritersKilledAtRandomMomentsLoseNothingAcknowledged) {
    const std::string cache = Path("cache");
    std::vector<std::string> create = {"create",   cache, "--crs",    "EPSG:3857",
                                       "--levels", "0-9", "--layout", GetParam().Layout};
    if (GetParam().ArcGIS) create.push_back("--arcgis");
    ASSERT_EQ(RunTvk(create).Code, 0);

    // Four writers start together. Eight times, one that is at work (two
    // steps in its ledger) is killed at a random moment within the next 40 ms
    // and a new one takes its place.
    const fs::path stop = Path("stop");
    // Opened once here: forked writers start work at once, with files of
    // their own (this process never uses it).
    const auto shared = OpenStorage(cache);
    ASSERT_TRUE(shared);
    eChildren children;
    std::vector<std::pair<pid_t, int>> live;
    int writers = 0;
    auto start = [&] {
        const int writer = ++writers;
        const fs::path ledger = Path("ledger" + std::to_string(writer));
        live.emplace_back(children.Start([&, writer, ledger] {
            return RunKilledWriter(*shared, writer, ledger, stop);
        }),
                          writer);
    };
    for (int w = 0; w < kInitialWriters; ++w) start();
    children.Release();
    std::mt19937 rng(7);
    for (int kill = 0; kill < 8; ++kill) {
        const size_t victim = rng() % live.size();
        const fs::path ledger = Path("ledger" + std::to_string(live[victim].second));
        // The deadline only keeps a broken writer from hanging the test.
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        std::error_code ec;
        while ((!fs::exists(ledger) || fs::file_size(ledger, ec) < 2 * sizeof(tagLedgerEntry)) &&
               Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 40));
        children.Kill(live[victim].first);
        live.erase(live.begin() + long(victim));
        start();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    WriteText(stop, "");
    const std::vector<int> codes = children.Wait();
    for (size_t i = 0; i < codes.size(); ++i) EXPECT_EQ(codes[i], 0) << "writer " << live[i].second;

    // New saves into every bundle succeed at once: no lock outlived its
    // holder. (They also complete a pair whose creator died between naming
    // the data file and the index.)
    auto storage = OpenStorage(cache);
    ASSERT_TRUE(storage);
    for (int bundle = 0; bundle < 16; ++bundle)
        EXPECT_TRUE(SavePayload(*storage, kLevel, (bundle / 4) * 128 + 127,
                                (bundle % 4) * 128 + 127, 999, 1, 1000))
            << "bundle " << bundle;

    // Every tile is as the last step its writer finished or began says.
    tagPayload made;
    int checked = 0;
    for (int writer = 1; writer <= writers; ++writer) {
        std::map<std::pair<int, int>, std::pair<int, uint32_t>> last;  // kind, version
        std::map<std::pair<int, int>, uint32_t> saved;                 // last finished save
        for (const tagLedgerEntry& e : eLedger::Read(Path("ledger" + std::to_string(writer)))) {
            last[{e.Row, e.Col}] = {e.Kind, e.Version};
            if (e.Kind == tagLedgerEntry::Saved) saved[{e.Row, e.Col}] = e.Version;
        }
        for (const auto& [tile, step] : last) {
            const int loaded = LoadPayload(*storage, kLevel, tile.first, tile.second, made);
            SCOPED_TRACE("writer " + std::to_string(writer) + " row " + std::to_string(tile.first) +
                         " column " + std::to_string(tile.second) + " step " +
                         std::to_string(step.first));
            ASSERT_GE(loaded, 0);
            const bool isVersion =
                loaded == 1 && made.Writer == uint32_t(writer) && made.Version == step.second;
            switch (step.first) {
                case tagLedgerEntry::Saved: EXPECT_TRUE(isVersion); break;
                case tagLedgerEntry::Saving:  // complete or absent
                case tagLedgerEntry::Removing: EXPECT_TRUE(loaded == 0 || isVersion); break;
                case tagLedgerEntry::Removed: EXPECT_EQ(loaded, 0); break;
            }
            ++checked;
        }
    }
    EXPECT_GE(checked, writers);  // every writer logged a step
    for (int i = 0; i < kSharedTiles; ++i)
        EXPECT_GE(LoadPayload(*storage, kLevel, SharedTile(i).Row, SharedTile(i).Col, made), 0);
    storage.reset();

    // Dead space and leftover temporary files are warnings, not damage.
    const tagRun verify = RunTvk({"verify", cache});
    EXPECT_EQ(verify.Code, 0) << verify.Out;
}

INSTANTIATE_TEST_SUITE_P(Layouts, KillConcurrency,
                         ::testing::Values(tagKillLayout{"compact", false, "Compact"},
                                           tagKillLayout{"compact", true, "ArcGISCompact"},
                                           tagKillLayout{"compact-v2", false, "CompactV2"},
                                           tagKillLayout{"original", false, "Original"},
                                           tagKillLayout{"arcgis-exploded", true,
                                                         "ArcGISExploded"}),
                         [](const ::testing::TestParamInfo<tagKillLayout>& info) {
                             return std::string(info.param.Name);
                         });

// ---- tvk copy and tvk put into the same bundles ----

namespace {
class CopyConcurrency : public CliTest {};
}  // namespace

// One copy fills levels 0-5, another level 6, while `tvk put` stores tiles
// the sources lack into the bundles of levels 5 and 6: every process
// succeeds, and the cache verifies clean and holds every tile.
// (Two copies of the same tiles race in the tool itself, between its
// existence test and its save, so the second copy takes other levels.)
TEST_F(CopyConcurrency, TwoCopiesAndPutsIntoTheSameBundles) {
    const std::string low = Path("low"), high = Path("high"), dst = Path("dst");
    for (const auto& [dir, layout] :
         {std::pair{low, "compact"}, {high, "compact-v2"}, {dst, "compact"}})
        ASSERT_EQ(Create(dir, "0-6", {"--layout", layout}).Code, 0);
    // Sources (V1 and V2 bundles) written through the library: every tile of
    // levels 0-5 but the top row of level 5, and rows 1-15 of level 6.
    std::map<std::tuple<int, int, int>, Bytes> expected;
    {
        auto lowStorage = OpenStorage(low), highStorage = OpenStorage(high);
        ASSERT_TRUE(lowStorage && highStorage);
        auto fill = [&](eTileStorage& storage, int level, int row, int col) {
            const Bytes payload = MakePayload(level, row, col, 1, 1, 300 + (row * 7 + col) % 900);
            expected[{level, row, col}] = payload;
            return storage.SaveImageData(level, row, col, payload.data(),
                                         static_cast<unsigned int>(payload.size())) == 1;
        };
        for (int level = 0; level <= 6; ++level)
            for (int row = level == 6   ? 1
                           : level == 5 ? 1
                                        : 0;
                 row < (level == 6 ? 16 : 1 << level); ++row)
                for (int col = 0; col < (1 << level); ++col)
                    ASSERT_TRUE(fill(level == 6 ? *highStorage : *lowStorage, level, row, col));
    }
    // Both copies and eight `tvk put` processes (tiles of the top rows of
    // levels 5 and 6) start at once.
    std::vector<pid_t> processes = {
        StartTvk({"copy", low, dst, "--levels", "0-5"}, Path("low.out")),
        StartTvk({"copy", high, dst, "--levels", "6"}, Path("high.out"))};
    for (int col = 0; col < 32; col += 8) {
        for (const int level : {5, 6}) {
            const Bytes payload = MakePayload(level, 0, col, 2, 1, 500 + col);
            const std::string file =
                Path("put-" + std::to_string(level) + "-" + std::to_string(col));
            WriteFile(file, payload);
            expected[{level, 0, col}] = payload;
            processes.push_back(StartTvk(
                {"put", dst, std::to_string(level), "0", std::to_string(col), file}, "/dev/null"));
        }
    }
    for (const pid_t pid : processes) {
        int status = 0;
        EXPECT_TRUE(pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
                    WEXITSTATUS(status) == 0);
    }
    EXPECT_NE(ReadText(Path("low.out")).find("copied 1333 tiles"), std::string::npos)
        << ReadText(Path("low.out"));
    EXPECT_NE(ReadText(Path("high.out")).find("copied 960 tiles"), std::string::npos)
        << ReadText(Path("high.out"));

    const tagRun verify = RunTvk({"verify", dst});
    EXPECT_EQ(verify.Code, 0) << verify.Out;
    auto storage = OpenStorage(dst);
    ASSERT_TRUE(storage);
    size_t matching = 0;
    for (const auto& [key, bytes] : expected) {
        eByteArray data;
        const auto [level, row, col] = key;
        matching += storage->LoadImageData(level, row, col, data) && ToBytes(data) == bytes;
    }
    EXPECT_EQ(matching, expected.size());
}
