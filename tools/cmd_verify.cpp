// tvk verify CACHE: check the files of a cache without changing them.
//
// Compact: every bundle pair (index size, slots pointing past the data file,
// records running past it, dead space). Compact V2: every bundle (file size
// against its header, entries and records past the end, dead space). Tile
// files, in either naming: empty files, ".temp" files left by interrupted
// saves, and in ArcGIS's names, names the cache does not use. Damage that
// loses or garbles tiles is a problem (exit 1); debris that costs only space
// or files the cache never reads are warnings.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <set>

#include "bundle_index.h"
#include "cache_open.h"
#include "cli.h"
#include "tile_scan.h"

namespace TVK {
namespace cli {

namespace {

constexpr int kSlotReportsPerBundle = 10;  // enough to see the pattern

struct tagVerifyReport {
    int64_t Containers = 0;  // bundles or tile files checked
    int64_t Tiles = 0;
    int64_t Bytes = 0;  // tile bytes
    int64_t DeadBytes = 0;
    int64_t Problems = 0;
    int64_t Warnings = 0;

    void Problem(const std::string& path, const std::string& reason) {
        ++Problems;
        std::printf("problem: %s: %s\n", path.c_str(), reason.c_str());
    }
    void Warning(const std::string& path, const std::string& reason) {
        ++Warnings;
        std::printf("warning: %s: %s\n", path.c_str(), reason.c_str());
    }
};

// One bundle's tally: live record bytes (for its dead space) and damaged
// slots, of which only the first few get a line each so as not to flood
// the output; the count of problems stays exact.
struct tagBundleTally {
    std::set<int64_t> LiveOffsets;
    int64_t Live = 0;
    int Damaged = 0;

    void Stored(int64_t offset, int64_t length, tagVerifyReport& report) {
        ++report.Tiles;
        report.Bytes += length;
        if (LiveOffsets.insert(offset).second) Live += 4 + length;
    }
    // True while the damaged slot is still to be reported by line.
    bool ReportDamage() { return ++Damaged <= kSlotReportsPerBundle; }
    void Finish(const std::string& path, const char* slots, int64_t dead,
                tagVerifyReport& report) const {
        if (Damaged > kSlotReportsPerBundle) {
            report.Problems += Damaged - kSlotReportsPerBundle;
            std::printf("problem: %s: ... and %d more damaged %s\n", path.c_str(),
                        Damaged - kSlotReportsPerBundle, slots);
        }
        if (dead > 0) report.DeadBytes += dead;
    }
};

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

void VerifyBundle(const std::string& base, int rowGroup, int colGroup, tagVerifyReport& report) {
    ++report.Containers;
    const std::string dataPath = base + ".bundle";
    eBundleReader reader;
    std::string reason;
    if (!reader.Open(base + ".bundlx", dataPath, reason)) {
        report.Problem(base + ".bundlx", reason);
        return;
    }
    if (reader.IndexSize() != kIndexSize && reader.IndexSize() != kArcGISIndexSize) {
        report.Problem(base + ".bundlx", "index file is " + std::to_string(reader.IndexSize()) +
                                             " bytes, expected " + std::to_string(kIndexSize) +
                                             " or " + std::to_string(kArcGISIndexSize));
    }
    const int64_t header = reader.ArcGISStructure() ? kArcGISDataPrelude : 0;
    if (reader.DataSize() < header) {
        report.Problem(dataPath, "data file is " + std::to_string(reader.DataSize()) +
                                     " bytes, shorter than the ArcGIS header of " +
                                     std::to_string(header));
    }
    tagBundleTally tally;
    for (int slot = 0; slot < kSlotCount; ++slot) {
        int64_t offset = 0, length = 0;
        const eBundleReader::EmSlot state = reader.ReadSlot(slot, offset, length);
        if (state == eBundleReader::SlotEmpty) continue;
        if (state == eBundleReader::SlotStored) {
            tally.Stored(offset, length, report);
            continue;
        }
        if (!tally.ReportDamage()) continue;
        const std::string where = "slot " + std::to_string(slot) + " (row " +
                                  std::to_string(rowGroup + slot % kPacketSize) + ", column " +
                                  std::to_string(colGroup + slot / kPacketSize) + ")";
        switch (state) {
            case eBundleReader::SlotNegative:
                report.Problem(
                    dataPath, where + " holds offset " + std::to_string(offset) + ", beyond 2 GiB");
                break;
            case eBundleReader::SlotPastEnd:
                report.Problem(dataPath, where + " points at offset " + std::to_string(offset) +
                                             ", past the end of the data file (" +
                                             std::to_string(reader.DataSize()) + " bytes)");
                break;
            case eBundleReader::SlotRecordPastEnd:
                report.Problem(dataPath, where + " has a record of " + std::to_string(length) +
                                             " bytes at offset " + std::to_string(offset) +
                                             " running past the end of the data file (" +
                                             std::to_string(reader.DataSize()) + " bytes)");
                break;
            default:
                report.Problem(dataPath, where + " has a record with a negative length at offset " +
                                             std::to_string(offset));
                break;
        }
    }
    tally.Finish(dataPath, "slots", reader.DataSize() - header - tally.Live, report);
}

// Calls visit(folder, files) for each level folder below _alllayers of a
// compact cache, warning of anything else there.
template <typename Visit>
void ForEachLevelFolder(const eOpenCache& cache, tagVerifyReport& report, Visit visit) {
    const std::string root = cache.Root + "_alllayers";
    std::vector<eString> levels;
    if (!eListDir(root, levels)) return;
    for (const eString& levelName : levels) {
        int level = 0;
        const std::string folder = root + "/" + levelName.Std();
        std::vector<eString> files;
        if (!ParseLevelFolder(levelName.Std(), level))
            report.Warning(folder, "not a level folder of a compact cache");
        else if (!eListDir(folder, files))
            report.Problem(folder, "folder cannot be read");
        else
            visit(folder, files);
    }
}

void VerifyCompact(const eOpenCache& cache, tagVerifyReport& report) {
    ForEachLevelFolder(
        cache, report, [&](const std::string& folder, const std::vector<eString>& files) {
            std::set<std::string> indexes, datas;
            for (const eString& name : files) {
                const std::string& file = name.Std();
                if (EndsWith(file, ".bundlx"))
                    indexes.insert(file.substr(0, file.size() - 7));
                else if (EndsWith(file, ".bundle"))
                    datas.insert(file.substr(0, file.size() - 7));
                else
                    report.Warning(folder + "/" + file, "not a bundle file");
            }
            for (const std::string& base : indexes) {
                int rowGroup = 0, colGroup = 0;
                if (!ParseBundleBaseName(base, rowGroup, colGroup)) {
                    report.Warning(folder + "/" + base + ".bundlx",
                                   "name is not one the cache uses; its tiles are unreachable");
                    continue;
                }
                if (datas.count(base) == 0) {
                    report.Problem(folder + "/" + base + ".bundlx",
                                   "index without its .bundle data file");
                    continue;
                }
                VerifyBundle(folder + "/" + base, rowGroup, colGroup, report);
            }
            for (const std::string& base : datas) {
                if (indexes.count(base) == 0)
                    report.Problem(folder + "/" + base + ".bundle",
                                   "data file without its .bundlx index");
            }
        });
}

void VerifyBundleV2(const std::string& path, int rowGroup, int colGroup, tagVerifyReport& report) {
    ++report.Containers;
    eBundleV2Reader reader;
    std::string reason;
    if (!reader.Open(path, reason)) {
        report.Problem(path, reason);
        return;
    }
    const int64_t size = reader.FileSize();
    const int64_t recorded = static_cast<int64_t>(reader.HeaderField(kV2FileSizeAt, 8));
    // A save appends its record before it updates the header: a header behind
    // the file is an interrupted save's leftover, one ahead of it a cut file.
    if (recorded > size) {
        report.Problem(path, "file is " + std::to_string(size) + " bytes, but its header says " +
                                 std::to_string(recorded) + ": cut short");
    } else if (recorded < size) {
        report.Warning(path, "header says " + std::to_string(recorded) + " bytes, the file is " +
                                 std::to_string(size));
    }
    tagBundleTally tally;
    int64_t largest = 0;
    for (int entry = 0; entry < kSlotCount; ++entry) {
        int64_t offset = 0, length = 0;
        const eBundleV2Reader::EmEntry state = reader.ReadEntry(entry, offset, length);
        if (state == eBundleV2Reader::EntryEmpty) continue;
        std::string damage;
        if (state == eBundleV2Reader::EntryStored) {
            tally.Stored(offset, length, report);
            largest = std::max(largest, length);
            const int64_t prefix = reader.RecordSize(offset);
            if (prefix == length) continue;
            damage = "has " + std::to_string(length) + " bytes at offset " +
                     std::to_string(offset) + " but the record's size field says " +
                     std::to_string(prefix);
        } else if (state == eBundleV2Reader::EntryBeforeRecords) {
            damage =
                "points at offset " + std::to_string(offset) + ", inside the header and entries";
        } else if (state == eBundleV2Reader::EntryPastEnd) {
            damage = "points at offset " + std::to_string(offset) + ", past the end of the file (" +
                     std::to_string(size) + " bytes)";
        } else {
            damage = "has a record of " + std::to_string(length) + " bytes at offset " +
                     std::to_string(offset) + " running past the end of the file (" +
                     std::to_string(size) + " bytes)";
        }
        if (!tally.ReportDamage()) continue;
        report.Problem(path, "entry " + std::to_string(entry) + " (row " +
                                 std::to_string(rowGroup + entry / kPacketSize) + ", column " +
                                 std::to_string(colGroup + entry % kPacketSize) + ") " + damage);
    }
    tally.Finish(path, "entries", size - kV2RecordsStart - tally.Live, report);
    if (static_cast<int64_t>(reader.HeaderField(kV2MaxTileAt, 4)) < largest)
        report.Warning(path, "header's largest tile size is below the " + std::to_string(largest) +
                                 " bytes stored");
}

void VerifyCompactV2(const eOpenCache& cache, tagVerifyReport& report) {
    ForEachLevelFolder(
        cache, report, [&](const std::string& folder, const std::vector<eString>& files) {
            for (const eString& name : files) {
                const std::string& file = name.Std();
                const std::string path = folder + "/" + file;
                int rowGroup = 0, colGroup = 0;
                if (!EndsWith(file, ".bundle")) {
                    report.Warning(path, "not a bundle file");
                } else if (!ParseBundleBaseName(file.substr(0, file.size() - 7), rowGroup,
                                                colGroup)) {
                    report.Warning(path,
                                   "name is not one the cache uses; its tiles are unreachable");
                } else {
                    VerifyBundleV2(path, rowGroup, colGroup, report);
                }
            }
        });
}

// A tile file: empty is damage (an empty tile is no tile), else counted.
void VerifyTileFile(const std::string& path, tagVerifyReport& report) {
    ++report.Containers;
    const int64_t size = eFile::GetFileSize(path);
    if (size < 0) {
        report.Problem(path, "cannot be examined");
    } else if (size == 0) {
        report.Problem(path, "empty tile file");
    } else {
        ++report.Tiles;
        report.Bytes += size;
    }
}

void VerifyExploded(const eOpenCache& cache, tagVerifyReport& report) {
    const std::string root = cache.Root + "_alllayers";
    std::set<std::string> levelFolders;
    for (int level = 0; level < cache.LevelCount(); ++level)
        levelFolders.insert(ExplodedLevelFolder(cache, level));
    const eExplodedKind kind = ExplodedKind(cache);
    const char* unused = "name is not one the cache uses; the tile is unreachable";
    std::vector<eString> levels;
    if (!eListDir(root, levels)) return;
    for (const eString& levelName : levels) {
        const std::string folder = root + "/" + levelName.Std();
        if (levelFolders.count(folder) == 0 || !eFile::IsDirectory(folder)) {
            report.Warning(folder, "not the folder of a level of the cache");
            continue;
        }
        std::vector<eString> rows;
        if (!eListDir(folder, rows)) {
            report.Problem(folder, "folder cannot be read");
            continue;
        }
        for (const eString& rowName : rows) {
            const std::string rowFolder = folder + "/" + rowName.Std();
            int row = 0;
            std::vector<eString> files;
            if (!ParseExplodedName(rowName.Std(), 'R', row) || !eFile::IsDirectory(rowFolder)) {
                report.Warning(rowFolder, "not a row folder (R and eight lower-case hex digits)");
                continue;
            }
            if (!eListDir(rowFolder, files)) {
                report.Problem(rowFolder, "folder cannot be read");
                continue;
            }
            // Sorted, a MIXED tile's ".jpg" (the one read) comes before its ".png".
            std::sort(files.begin(), files.end(),
                      [](const eString& a, const eString& b) { return a.Std() < b.Std(); });
            std::set<std::string> stems;
            for (const eString& name : files) {
                const std::string& file = name.Std();
                const std::string path = rowFolder + "/" + file;
                if (EndsWith(file, ".temp")) {
                    report.Warning(path, "left over from an interrupted save");
                    continue;
                }
                const std::string ext =
                    file.size() > 4 ? file.substr(file.size() - 4) : std::string();
                const bool known = kind == eExplodedKind::Jpg   ? ext == ".jpg"
                                   : kind == eExplodedKind::Png ? ext == ".png"
                                                                : ext == ".jpg" || ext == ".png";
                int col = 0;
                if (!known || !ParseExplodedName(file.substr(0, file.size() - 4), 'C', col) ||
                    eFile::IsDirectory(path)) {
                    report.Warning(path, unused);
                    continue;
                }
                if (!stems.insert(file.substr(0, 9)).second) {
                    report.Warning(path, "the tile is also stored as .jpg, which is the one read");
                    continue;
                }
                VerifyTileFile(path, report);
            }
        }
    }
}

void VerifyOriginal(const eOpenCache& cache, tagVerifyReport& report) {
    const std::string root = cache.Root + "_alllayers";
    const std::string ext = "." + eTileStorage::GetFileExtName(cache.Storage->GetTileType()).Std();
    std::vector<eString> scales;
    if (!eListDir(root, scales)) return;
    for (const eString& scale : scales) {
        const std::string scaleFolder = root + "/" + scale.Std();
        std::vector<eString> groups;
        if (!eListDir(scaleFolder, groups)) continue;
        for (const eString& group : groups) {
            const std::string groupFolder = scaleFolder + "/" + group.Std();
            std::vector<eString> files;
            if (!eListDir(groupFolder, files)) continue;
            for (const eString& name : files) {
                const std::string path = groupFolder + "/" + name.Std();
                if (EndsWith(name.Std(), ".temp")) {
                    report.Warning(path, "left over from an interrupted save");
                    continue;
                }
                if (!EndsWith(name.Std(), ext)) continue;
                VerifyTileFile(path, report);
            }
        }
    }
}

int RunVerify(const std::string& arg) {
    eOpenCache cache;
    if (const int code = OpenCache(arg, cache)) return code;
    tagVerifyReport report;
    switch (cache.Layout) {
        case eLayout::Compact: VerifyCompact(cache, report); break;
        case eLayout::CompactV2: VerifyCompactV2(cache, report); break;
        case eLayout::Original: VerifyOriginal(cache, report); break;
        case eLayout::ArcGISExploded: VerifyExploded(cache, report); break;
    }
    if (IsBundled(cache.Layout)) {
        const int64_t total = report.Bytes + report.DeadBytes;
        std::printf("%s: %" PRId64 " bundles, %" PRId64 " tiles (%" PRId64 " bytes), %" PRId64
                    " bytes dead space (%.1f%%), ",
                    cache.ConfigPath.c_str(), report.Containers, report.Tiles, report.Bytes,
                    report.DeadBytes, total > 0 ? 100.0 * report.DeadBytes / total : 0.0);
    } else {
        std::printf("%s: %" PRId64 " tiles (%" PRId64 " bytes), ", cache.ConfigPath.c_str(),
                    report.Tiles, report.Bytes);
    }
    std::printf("%" PRId64 " problems, %" PRId64 " warnings: %s\n", report.Problems,
                report.Warnings, report.Problems > 0 ? "DAMAGED" : "OK");
    return report.Problems > 0 ? kExitFailed : kExitOk;
}

}  // namespace

void RegisterVerify(CLI::App& app, eCommandTable& table) {
    auto cache = std::make_shared<std::string>();
    CLI::App* sub =
        app.add_subcommand("verify", "Check a cache's bundles or tile files; exit 1 when damaged");
    AddCacheArgument(sub, *cache);
    table.Add(sub, [cache]() { return RunVerify(*cache); });
}

}  // namespace cli
}  // namespace TVK
