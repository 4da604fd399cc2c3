// tvk copy SRC DST: copy stored tiles between two caches of the same tiling
// scheme, whatever their layouts (the destination may be an ArcGIS cache
// folder: its configuration is only read, never rewritten). A DST named
// FILE.mbtiles or FILE.gpkg that does not exist yet is created from SRC's
// tiling scheme; single-file destinations are written in batches of
// thousands of tiles per transaction.
//
// The source's tiles are listed by the library (from its bundle indexes or
// folders) twice: once to count them for the progress line, once to copy
// them one by one, so memory does not grow with the cache. Every tile is
// published whole by the destination's own save (a renamed file, or a record
// appended before its slot points at it), so a copy killed part-way leaves at
// most dead space or a ".temp" file, and running it again with
// --skip-existing finishes the job.
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include "cache_open.h"
#include "cli.h"
#include "findings.h"
#include "tile_range.h"
#include "toolkit.h"

namespace TVK {
namespace cli {

namespace {

// Same tile grid at a level: same tile size, tile width within rounding of
// the description files, origins within a hundredth of a pixel (ArcGIS and
// this system print the Web Mercator origin with different digits).
bool SameGrid(const eTileCoordSys& a, const eTileCoordSys& b, int level) {
    if (a.GetTileSize() != b.GetTileSize() || a.GetTileSize() <= 0) return false;
    const eRect2D ta = a.ComputeTileWorldBounds(level, 0, 0);
    const eRect2D tb = b.ComputeTileWorldBounds(level, 0, 0);
    const double pixel = ta.Width() / a.GetTileSize();
    return std::fabs(ta.Width() - tb.Width()) <= 1e-9 * ta.Width() &&
           std::fabs(ta.left - tb.left) <= 0.01 * pixel &&
           std::fabs(ta.top - tb.top) <= 0.01 * pixel;
}

std::string Duration(double seconds) {
    const long long s = static_cast<long long>(seconds + 0.5);
    char text[32];
    std::snprintf(text, sizeof(text), "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    return text;
}

class eProgress {
public:
    eProgress(int64_t total, bool enabled)
        : m_nTotal(total), m_bEnabled(enabled), m_tmStart(Clock::now()) {}
    void Update(int64_t total, int64_t done, bool force) {
        if (!m_bEnabled) return;
        m_nTotal = total;
        const auto now = Clock::now();
        if (!force && now - m_tmLast < std::chrono::milliseconds(200)) return;
        m_tmLast = now;
        const double elapsed = Seconds(now);
        const double rate = elapsed > 0.0 ? done / elapsed : 0.0;
        const double left = rate > 0.0 ? (m_nTotal - done) / rate : 0.0;
        std::fprintf(stderr, "\r%" PRId64 "/%" PRId64 " tiles  %.0f tiles/s  %s left   ", done,
                     m_nTotal, rate, Duration(left).c_str());
        std::fflush(stderr);
    }
    void Finish() {
        if (m_bEnabled) std::fprintf(stderr, "\n");
    }
    double Elapsed() const { return Seconds(Clock::now()); }

private:
    using Clock = std::chrono::steady_clock;
    double Seconds(Clock::time_point t) const {
        return std::chrono::duration<double>(t - m_tmStart).count();
    }
    int64_t m_nTotal;
    bool m_bEnabled;
    Clock::time_point m_tmStart;
    Clock::time_point m_tmLast{};
};

// The destination: an existing cache, or a single file made from the
// source's tiling scheme and settings (a new file, or a new tile table
// "?table=NAME" of a GeoPackage that exists).
int OpenOrCreate(const std::string& arg, const eOpenCache& src, eOpenCache& dst) {
    eLayout layout;
    if (!SingleFileLayoutOfName(arg, layout)) return OpenCache(arg, dst);
    const std::string file = arg.substr(0, arg.rfind("?table="));
    if (eFile::IsExist(file.c_str())) {
        // A table named in a GeoPackage that lacks it is made below.
        eTileStorage probe;
        if (file.size() == arg.size() || probe.FromTileFile(arg.c_str()))
            return OpenCache(arg, dst);
    }
    auto storage = std::make_unique<eTileStorage>();
    storage->SetTileCoordSys(src.Storage->GetTileCoordSys());
    storage->SetName(src.Storage->GetName());
    storage->SetTileType(src.Storage->GetTileType());
    if (!storage->CreateTileFile(arg.c_str()))
        return Fail(kExitFailed, arg, storage->GetTileFileError().Std());
    dst = eOpenCache();
    dst.Storage = std::move(storage);
    dst.Layout = layout;
    dst.ConfigPath = dst.Storage->GetTileFile().Std();
    dst.Root = dst.ConfigPath;
    return kExitOk;
}
}  // namespace

int CopyTiles(const tagCopyOptions& opt, eOpenCache& src, eOpenCache& dst, tagCopyCounts& counts,
              const tagCopyProgress& progress) {
    counts = tagCopyCounts();
    eRect2D box;
    const bool haveBox = !opt.Box.empty();
    if (haveBox && !ParseBox(opt.Box, box))
        return Fail(kExitUsage, "--bbox",
                    "expected MINX,MINY,MAXX,MAXY with MIN < MAX, got '" + opt.Box + "'");
    if (!src.Storage)
        if (const int code = OpenCache(opt.Src, src)) return code;
    // A PMTiles archive is written once: only a new file, made from the
    // source's scheme and published whole at the end.
    bool newArchive = false;
    if (!dst.Storage) {
        eLayout named;
        if (SingleFileLayoutOfName(opt.Dst, named) && named == eLayout::PMTiles &&
            (IsUrl(opt.Dst) || eFile::IsExist(opt.Dst.c_str())))
            return Fail(kExitFailed, opt.Dst,
                        "is a PMTiles archive, which is written once: copy into a new file");
        if (const int code = OpenOrCreate(opt.Dst, src, dst)) return code;
        newArchive = dst.Layout == eLayout::PMTiles;
    } else if (dst.Layout == eLayout::PMTiles) {
        return Fail(kExitFailed, dst.ConfigPath,
                    "is a PMTiles archive, which is written once: copy into a new file");
    }
    if (src.Root == dst.Root) return Fail(kExitUsage, opt.Dst, "is the source cache itself");

    int first = 0, last = src.LevelCount() - 1;
    if (!opt.Levels.empty() && !ParseLevelRange(opt.Levels, first, last))
        return Fail(kExitUsage, "--levels", "expected A-B or A, got '" + opt.Levels + "'");
    last = std::min(last, src.LevelCount() - 1);
    if (first > last)
        return Fail(kExitFailed, src.ConfigPath, "has none of the levels " + opt.Levels);
    for (int level = first; level <= last; ++level) {
        if (level >= dst.LevelCount())
            return Fail(kExitFailed, dst.ConfigPath, "has no level " + std::to_string(level));
        if (!SameGrid(src.Storage->GetTileCoordSys(), dst.Storage->GetTileCoordSys(), level))
            return Fail(kExitFailed, dst.ConfigPath,
                        "tiles of level " + std::to_string(level) +
                            " differ from the source's (tile size, origin or scale)");
    }

    // The tiles of each level within the box (all of them without one).
    std::vector<tagTileArea> areas(static_cast<size_t>(last - first + 1),
                                   tagTileArea{0, -1, 0, -1});
    if (haveBox) {
        for (int level = first; level <= last; ++level)
            if (const int code = BoxToTileArea(src, level, box, opt.LonLat,
                                               areas[static_cast<size_t>(level - first)]))
                return code;
    }
    const auto wanted = [&](const tagStoredTile& t) {
        return !haveBox ||
               TileAreaContains(areas[static_cast<size_t>(t.Level - first)], t.Row, t.Col);
    };

    // Counted first, so that progress knows the total and a damaged source
    // stops the copy before it starts.
    tagStoredTile t;
    {
        eTileListing listing(*src.Storage, first, last);
        while (listing.Next(t)) counts.Total += wanted(t) ? 1 : 0;
        if (const int code = ListingResult(src, listing)) return code;
    }

    eTileStorage& in = *src.Storage;
    eTileStorage& out = *dst.Storage;
    using Clock = std::chrono::steady_clock;
    Clock::time_point reported{};  // the first tile reports at once
    const auto report = [&](bool force) {
        if (!progress) return true;
        const Clock::time_point now = Clock::now();
        if (!force && now - reported < std::chrono::milliseconds(200)) return true;
        reported = now;
        return progress(counts);
    };
    eByteArray data;
    counts.Started = true;
    eTileListing listing(in, first, last);
    // Single-file destinations commit in batches; a batch lost to a failure
    // shows at its end, and --skip-existing then copies what is missing.
    out.BeginBulkWrite();
    while (listing.Next(t)) {
        if (!wanted(t)) continue;
        const auto where = [&t]() { return AddressText(t.Level, t.Row, t.Col); };
        const bool exists = out.IsTileExist(t.Level, t.Row, t.Col) != 0;
        if (exists && opt.SkipExisting) {
            ++counts.Skipped;
        } else if (!in.LoadImageData(t.Level, t.Row, t.Col, data) || data.GetSize() == 0) {
            ++counts.Failed;
            Fail(kExitFailed, src.ConfigPath, "cannot read the tile at " + where());
        } else if (exists && IsBundled(dst.Layout) && !out.RemoveTile(t.Level, t.Row, t.Col)) {
            // A bundle never overwrites a record; the old one is unlinked first.
            ++counts.Failed;
            Fail(kExitFailed, dst.ConfigPath, "cannot replace the tile at " + where());
        } else if (!out.SaveImageData(t.Level, t.Row, t.Col, data.GetData(),
                                      static_cast<unsigned int>(data.GetSize()))) {
            ++counts.Failed;
            Fail(kExitFailed, dst.ConfigPath, "cannot store the tile at " + where());
        } else {
            ++counts.Copied;
            counts.Bytes += data.GetSize();
        }
        ++counts.Done;
        if (!report(false)) {
            counts.Cancelled = true;
            break;
        }
    }
    // A source damaged since it was counted.
    if (!counts.Cancelled && ListingResult(src, listing) != kExitOk) ++counts.Failed;
    if (!out.EndBulkWrite()) {
        ++counts.Failed;
        Fail(kExitFailed, dst.ConfigPath,
             "a batch of tiles could not be committed; run the copy again with --skip-existing");
    }
    if (newArchive && !counts.Cancelled) {
        // A partial archive could never be completed: nothing is published.
        if (counts.Failed > 0) {
            Fail(kExitFailed, opt.Dst, "not written, as some tiles could not be copied");
        } else if (!out.FinishTileFile()) {
            ++counts.Failed;
            Fail(kExitFailed, opt.Dst, out.GetTileFileError().Std());
        }
    }
    report(true);
    return counts.Failed > 0 || counts.Cancelled ? kExitFailed : kExitOk;
}

namespace {

int RunCopy(const tagCopyOptions& opt) {
    eOpenCache src, dst;
    tagCopyCounts counts;
    eProgress progress(0, IsTerminal(2));
    const int code = CopyTiles(opt, src, dst, counts, [&progress](const tagCopyCounts& c) {
        progress.Update(c.Total, c.Done, true);
        return true;
    });
    if (!counts.Started) return code;
    progress.Finish();
    dst.Storage->ReleaseHandles();
    std::printf("copied %" PRId64 " tiles (%" PRId64 " bytes), skipped %" PRId64
                " existing, %" PRId64 " failed, in %.1f s\n",
                counts.Copied, counts.Bytes, counts.Skipped, counts.Failed, progress.Elapsed());
    return code;
}

}  // namespace

void RegisterCopy(CLI::App& app, eCommandTable& table) {
    auto opt = std::make_shared<tagCopyOptions>();
    CLI::App* sub = app.add_subcommand(
        "copy", "Copy tiles from one cache into another of the same tiling scheme");
    sub->add_option("SRC", opt->Src, "Source cache")->required();
    sub->add_option("DST", opt->Dst,
                    "Destination cache (made with `tvk create` or an existing one); a new "
                    "FILE.mbtiles or FILE.gpkg is created from SRC's tiling scheme, a new "
                    "FILE.pmtiles too and written whole at the end (not resumable: an "
                    "interrupted copy leaves no file)")
        ->required();
    sub->add_option("--levels", opt->Levels, "Only levels A-B (or one level A)");
    sub->add_option("--bbox", opt->Box,
                    "Only tiles covering MINX,MINY,MAXX,MAXY (map units of SRC)");
    sub->add_flag("--lonlat", opt->LonLat, "The --bbox is longitude/latitude in degrees");
    sub->add_flag("--skip-existing", opt->SkipExisting,
                  "Leave tiles the destination already has (resumes an interrupted copy)");
    table.Add(sub, [opt]() { return RunCopy(*opt); });
}

}  // namespace cli
}  // namespace TVK
