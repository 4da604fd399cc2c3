// tvk seed CACHE SOURCE: download the tiles of an area and a range of levels
// from a tile service into the cache, with eTileSeeder.
//
// The tool reads the options, the GeoJSON polygons (projected from
// longitude/latitude into the cache's coordinate system) and tile lists,
// shows progress, writes the list of failed tiles and sets the exit code;
// the library does the rest. SIGINT or SIGTERM stops the seed cleanly (a
// second one ends the process at once: every tile is saved whole or not at
// all either way), and running the same command again resumes it.
#include <nlohmann/json.hpp>

#include <cinttypes>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>

#include "cache_open.h"
#include "cli.h"
#include "toolkit.h"

namespace TVK {
namespace cli {

namespace {

volatile std::sig_atomic_t g_signal = 0;

extern "C" void OnStopSignal(int signo) {
    // The second signal does not wait: saves are atomic, so nothing is lost
    // that a rerun would not fetch again.
    if (g_signal != 0) std::_Exit(128 + signo);
    g_signal = signo;
}

// Restores the default handlers when the seed is over.
class eStopSignals {
public:
    eStopSignals() {
        m_int = std::signal(SIGINT, OnStopSignal);
        m_term = std::signal(SIGTERM, OnStopSignal);
    }
    ~eStopSignals() {
        std::signal(SIGINT, m_int == SIG_ERR ? SIG_DFL : m_int);
        std::signal(SIGTERM, m_term == SIG_ERR ? SIG_DFL : m_term);
    }
    eStopSignals(const eStopSignals&) = delete;
    eStopSignals& operator=(const eStopSignals&) = delete;

private:
    void (*m_int)(int);
    void (*m_term)(int);
};

std::string Duration(double seconds) {
    const long long s = static_cast<long long>(seconds + 0.5);
    char text[32];
    std::snprintf(text, sizeof(text), "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    return text;
}

std::vector<std::string> SplitCommas(const std::string& text) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, ','))
        if (!part.empty()) parts.push_back(part);
    return parts;
}

// ---- GeoJSON ----

// Longitude/latitude edges are straight in GeoJSON; projected, they curve.
// Points every tenth of a degree follow the curve far closer than a tile of
// any usual level.
constexpr double kDensifyDegrees = 0.1;
// Beyond this latitude Web Mercator has no finite y; its grid ends there.
constexpr double kMercatorLatitude = 85.0511287798066;

bool ReadPosition(const nlohmann::json& p, ePoint2D& point) {
    if (!p.is_array() || p.size() < 2 || !p[0].is_number() || !p[1].is_number()) return false;
    point = ePoint2D(p[0].get<double>(), p[1].get<double>());
    return std::isfinite(point.x) && std::isfinite(point.y);
}

bool ReadRings(const nlohmann::json& rings, eTileSeeder::tagPolygon& polygon) {
    if (!rings.is_array() || rings.empty()) return false;
    for (const nlohmann::json& r : rings) {
        if (!r.is_array()) return false;
        eTileSeeder::tagRing ring;
        for (const nlohmann::json& p : r) {
            ePoint2D point;
            if (!ReadPosition(p, point)) return false;
            ring.push_back(point);
        }
        if (ring.size() < 3) return false;
        polygon.push_back(std::move(ring));
    }
    return true;
}

// Polygons of any GeoJSON object; false with the reason for anything that is
// not (a collection of) polygons.
bool ReadGeoJson(const nlohmann::json& g, std::vector<eTileSeeder::tagPolygon>& out,
                 std::string& why) {
    if (!g.is_object() || !g.contains("type") || !g["type"].is_string()) {
        why = "an object without a \"type\"";
        return false;
    }
    const std::string type = g["type"].get<std::string>();
    if (type == "FeatureCollection") {
        if (!g.contains("features") || !g["features"].is_array()) {
            why = "a FeatureCollection without features";
            return false;
        }
        for (const nlohmann::json& f : g["features"])
            if (!ReadGeoJson(f, out, why)) return false;
        return true;
    }
    if (type == "Feature") {
        if (!g.contains("geometry") || g["geometry"].is_null()) return true;
        return ReadGeoJson(g["geometry"], out, why);
    }
    if (type == "GeometryCollection") {
        if (!g.contains("geometries") || !g["geometries"].is_array()) {
            why = "a GeometryCollection without geometries";
            return false;
        }
        for (const nlohmann::json& child : g["geometries"])
            if (!ReadGeoJson(child, out, why)) return false;
        return true;
    }
    if (!g.contains("coordinates")) {
        why = "a " + type + " without coordinates";
        return false;
    }
    const nlohmann::json& c = g["coordinates"];
    if (type == "Polygon") {
        eTileSeeder::tagPolygon polygon;
        if (!ReadRings(c, polygon)) {
            why = "a Polygon whose rings are not lists of three or more [lon, lat] positions";
            return false;
        }
        out.push_back(std::move(polygon));
        return true;
    }
    if (type == "MultiPolygon" && c.is_array()) {
        for (const nlohmann::json& rings : c) {
            eTileSeeder::tagPolygon polygon;
            if (!ReadRings(rings, polygon)) {
                why =
                    "a MultiPolygon whose rings are not lists of three or more [lon, lat] "
                    "positions";
                return false;
            }
            out.push_back(std::move(polygon));
        }
        return true;
    }
    why = "a " + type + ", which has no inside (polygons only)";
    return false;
}

// Longitude/latitude rings into map units of the cache, densified first.
bool ProjectPolygons(const ePrjCoordSys& prj, std::vector<eTileSeeder::tagPolygon>& polygons) {
    const int type = prj.GetProjection().GetProjectionType();
    const bool mercator = type == 43045 || type == 43002;
    for (eTileSeeder::tagPolygon& polygon : polygons) {
        for (eTileSeeder::tagRing& ring : polygon) {
            eTileSeeder::tagRing dense;
            for (size_t i = 0; i < ring.size(); ++i) {
                const ePoint2D a = ring[i], b = ring[(i + 1) % ring.size()];
                const double span = std::max(std::fabs(b.x - a.x), std::fabs(b.y - a.y));
                const int steps = std::max(1, static_cast<int>(std::ceil(span / kDensifyDegrees)));
                for (int s = 0; s < steps; ++s) {
                    ePoint2D p(a.x + (b.x - a.x) * s / steps, a.y + (b.y - a.y) * s / steps);
                    if (mercator)
                        p.y = std::max(-kMercatorLatitude, std::min(kMercatorLatitude, p.y));
                    dense.push_back(p);
                }
            }
            if (!prj.Forward(dense.data(), static_cast<int>(dense.size()))) return false;
            for (const ePoint2D& p : dense)
                if (!std::isfinite(p.x) || !std::isfinite(p.y)) return false;
            ring.swap(dense);
        }
    }
    return true;
}

int ReadPolygonFile(const std::string& path, const ePrjCoordSys& prj,
                    std::vector<eTileSeeder::tagPolygon>& polygons) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return Fail(kExitFailed, path, "cannot be read");
    const nlohmann::json doc = nlohmann::json::parse(in, nullptr, false);
    if (doc.is_discarded()) return Fail(kExitUsage, path, "not a JSON file");
    std::string why;
    if (!ReadGeoJson(doc, polygons, why))
        return Fail(kExitUsage, path, "not GeoJSON polygons: found " + why);
    if (polygons.empty()) return Fail(kExitUsage, path, "holds no polygon");
    if (!ProjectPolygons(prj, polygons))
        return Fail(kExitUsage, path,
                    "a point cannot be converted to the cache's coordinate system");
    return kExitOk;
}

// "LEVEL ROW COLUMN" lines (what `tvk tiles` prints and --failed writes);
// anything after the third number, blank lines and '#' lines are ignored.
int ReadTileList(const std::string& path, std::vector<eTileSeeder::tagTile>& tiles) {
    std::ifstream in(path);
    if (!in) return Fail(kExitFailed, path, "cannot be read");
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const size_t start = line.find_first_not_of(" \t\r");
        if (start == std::string::npos || line[start] == '#') continue;
        std::istringstream fields(line);
        long long l = -1, r = -1, c = -1;
        if (!(fields >> l >> r >> c) || l < 0 || r < 0 || c < 0 || l > INT32_MAX || r > INT32_MAX ||
            c > INT32_MAX)
            return Fail(kExitUsage, path + ":" + std::to_string(number),
                        "expected LEVEL ROW COLUMN, got '" + line + "'");
        tiles.push_back(
            {static_cast<int32_t>(l), static_cast<int32_t>(r), static_cast<int32_t>(c)});
    }
    return kExitOk;
}

// The reason of a failure without its details: "HTTP 500", "timed out"...
std::string ReasonKind(const std::string& reason) { return reason.substr(0, reason.find(" (")); }

}  // namespace

int SeedTiles(const tagSeedOptions& opt, eOpenCache& cache, tagSeedResult& result,
              const tagSeedCallbacks& callbacks) {
    // ---- what is asked ----
    const int areas = !opt.Box.empty() + !opt.Polygon.empty() + !opt.Tiles.empty();
    if (areas > 1) return Fail(kExitUsage, "seed", "give one of --bbox, --polygon and --tiles");
    if (opt.Levels.empty() && opt.Tiles.empty())
        return Fail(kExitUsage, "--levels", "required (unless --tiles gives the tiles)");
    int first = 0, last = INT32_MAX;
    if (!opt.Levels.empty() && !ParseLevelRange(opt.Levels, first, last))
        return Fail(kExitUsage, "--levels", "expected A-B or A, got '" + opt.Levels + "'");
    eRect2D box;
    if (!opt.Box.empty() && !ParseBox(opt.Box, box))
        return Fail(kExitUsage, "--bbox",
                    "expected MINX,MINY,MAXX,MAXY with MIN < MAX, got '" + opt.Box + "'");
    if (opt.LonLat && opt.Box.empty())
        return Fail(kExitUsage, "--lonlat", "goes with --bbox (GeoJSON is always lon/lat)");
    const std::map<std::string, eTileSeeder::EmSource> kinds = {
        {"auto", eTileSeeder::SourceAuto},
        {"template", eTileSeeder::SourceTemplate},
        {"wmts", eTileSeeder::SourceWMTS},
        {"arcgis", eTileSeeder::SourceArcGIS}};
    const auto kind = kinds.find(opt.SourceType);
    if (kind == kinds.end())
        return Fail(kExitUsage, "--source-type",
                    "expected auto, template, wmts or arcgis, got '" + opt.SourceType + "'");
    if (opt.Concurrency < 1 || opt.Concurrency > 256)
        return Fail(kExitUsage, "--concurrency", "expected 1 to 256");
    if (opt.Retries < 0) return Fail(kExitUsage, "--retries", "expected 0 or more");
    if (!(opt.Rate >= 0.0)) return Fail(kExitUsage, "--rate", "expected 0 (no limit) or more");
    if (!(opt.Timeout > 0.0)) return Fail(kExitUsage, "--timeout", "expected seconds above 0");
    if (!(opt.RetryDelay >= 0.0)) return Fail(kExitUsage, "--retry-delay", "expected 0 or more");

    eTileSeeder::tagOptions options;
    options.Concurrency = opt.Concurrency;
    options.Retries = opt.Retries;
    options.Rate = opt.Rate;
    options.Timeout = opt.Timeout;
    options.RetryDelay = opt.RetryDelay;
    options.MaxRetryDelay = std::max(60.0, opt.RetryDelay);
    options.UserAgent = opt.UserAgent;
    for (const std::string& h : opt.Headers) {
        const size_t colon = h.find(':');
        if (colon == 0 || colon == std::string::npos ||
            h.find_first_of("\r\n") != std::string::npos || h.find_first_of(" \t") < colon)
            return Fail(kExitUsage, "-H", "expected 'Name: value', got '" + h + "'");
        options.Headers.push_back(h);
    }
    for (const std::string& s : SplitCommas(opt.Subdomains)) options.Subdomains.push_back(s);
    options.Overwrite = opt.Overwrite;
    options.Layer = opt.Layer;
    options.Style = opt.Style;
    options.MatrixSet = opt.MatrixSet;
    options.Format = opt.Format;

    // ---- the cache and the area ----
    if (!cache.Storage)
        if (const int code = OpenCache(opt.Cache, cache)) return code;
    eTileStorage& storage = *cache.Storage;
    const ePrjCoordSys& prj = storage.GetTileCoordSys().GetPrjCoordSys();
    eTileSeeder seeder(storage);
    seeder.SetOptions(options);
    std::vector<eTileSeeder::tagTile> list;
    if (!opt.Tiles.empty()) {
        if (const int code = ReadTileList(opt.Tiles, list)) return code;
        if (opt.Levels.empty()) {
            first = INT32_MAX;
            last = -1;
            for (const auto& t : list) {
                first = std::min(first, t.Level);
                last = std::max(last, t.Level);
            }
            if (list.empty()) first = last = 0;
        }
        seeder.SetTiles(list);
    } else if (!opt.Polygon.empty()) {
        std::vector<eTileSeeder::tagPolygon> polygons;
        if (const int code = ReadPolygonFile(opt.Polygon, prj, polygons)) return code;
        seeder.SetArea(polygons);
    } else if (!opt.Box.empty()) {
        eRect2D map = box;
        if (opt.LonLat && !LonLatBoxToMap(prj, box, map))
            return Fail(kExitUsage, "--bbox",
                        "the longitude/latitude box cannot be converted to the cache's "
                        "coordinate system");
        seeder.SetArea(map);
    }
    if (first >= cache.LevelCount())
        return Fail(kExitFailed, cache.ConfigPath,
                    "has no level " + std::to_string(first) + " (levels 0-" +
                        std::to_string(cache.LevelCount() - 1) + ")");
    last = std::min(last, cache.LevelCount() - 1);
    seeder.SetLevels(first, last);
    result.First = first;
    result.Last = last;

    if (opt.DryRun) {
        for (int level = first; level <= last; ++level)
            result.LevelTiles.push_back(seeder.CountTiles(level));
        return kExitOk;
    }

    // ---- the seed ----
    if (!seeder.SetSource(opt.Source, kind->second)) {
        // A template is read without the network: a bad one is the user's typo.
        const bool typed =
            kind->second == eTileSeeder::SourceTemplate ||
            (kind->second == eTileSeeder::SourceAuto && opt.Source.find('{') != std::string::npos);
        return Fail(typed ? kExitUsage : kExitFailed, opt.Source, seeder.GetLastError().Std());
    }
    result.Source = seeder.GetSourceDescription().Std();

    std::FILE* failedOut = nullptr;
    if (!opt.FailedFile.empty()) {
        failedOut = std::fopen(opt.FailedFile.c_str(), "w");
        if (failedOut == nullptr) return Fail(kExitFailed, opt.FailedFile, "cannot be written");
    }
    std::map<std::string, int64_t> reasons;
    std::string firstFailure;
    const auto failure = [&](const eTileSeeder::tagTile& t, const eString& reason) {
        if (failedOut != nullptr) std::fprintf(failedOut, "%d %d %d\n", t.Level, t.Row, t.Col);
        ++reasons[ReasonKind(reason.Std())];
        if (firstFailure.empty())
            firstFailure = "level " + std::to_string(t.Level) + " row " + std::to_string(t.Row) +
                           " column " + std::to_string(t.Col) + ": " + reason.Std() + " (" +
                           seeder.GetTileURL(t.Level, t.Row, t.Col).Std() + ")";
    };
    result.Started = true;
    if (callbacks.Started) callbacks.Started(result);
    seeder.Run(callbacks.Progress, failure);
    bool failedWritten = true;
    if (failedOut != nullptr) failedWritten = std::fclose(failedOut) == 0;

    const eTileSeeder::tagCounts& c = seeder.GetCounts();
    result.Counts = c;
    if (callbacks.Finished) callbacks.Finished(result);
    if (c.Failed > 0) {
        std::string summary;
        for (const auto& r : reasons)
            summary += (summary.empty() ? "" : ", ") + r.first + ": " + std::to_string(r.second);
        Fail(kExitFailed, "seed",
             std::to_string(c.Failed) + " tiles failed (" + summary + "); first: " + firstFailure);
    }
    if (!failedWritten) return Fail(kExitFailed, opt.FailedFile, "write failed");
    if (c.Cancelled)
        return Fail(kExitFailed, "seed", "interrupted; run the same command again to resume");
    return c.Failed > 0 ? kExitFailed : kExitOk;
}

std::string SeedSummary(const eTileSeeder::tagCounts& c) {
    char text[512];
    std::snprintf(text, sizeof(text),
                  "stored %" PRId64 " tiles (%" PRId64 " bytes), skipped %" PRId64
                  " existing, %" PRId64 " empty, %" PRId64
                  " failed, in %.1f s (%.0f tiles/s); %" PRId64 " requests, %" PRId64 " retries",
                  c.Stored, c.Bytes, c.Skipped, c.Empty, c.Failed, c.Seconds,
                  c.Seconds > 0.0 ? c.Done() / c.Seconds : 0.0, c.Requests, c.Retries);
    return text;
}

namespace {

int RunSeed(const tagSeedOptions& opt) {
    eOpenCache cache;
    tagSeedResult result;
    const bool terminal = IsTerminal(2);
    // Ctrl-C stops the downloads cleanly; before they start it ends the
    // process as usual (reading a source may take a while).
    std::optional<eStopSignals> signals;
    tagSeedCallbacks callbacks;
    callbacks.Started = [&](const tagSeedResult& r) {
        std::fprintf(stderr, "tvk: seeding levels %d-%d from %s\n", r.First, r.Last,
                     r.Source.c_str());
        g_signal = 0;
        signals.emplace();
    };
    callbacks.Progress = [&](const eTileSeeder::tagCounts& c) {
        if (terminal) {
            const double rate = c.Seconds > 0.0 ? c.Done() / c.Seconds : 0.0;
            const double left = rate > 0.0 ? (c.Total - c.Done()) / rate : 0.0;
            std::fprintf(stderr,
                         "\r%" PRId64 "/%" PRId64 " tiles  %.0f tiles/s  %s left  %" PRId64
                         " failed",
                         c.Done(), c.Total, rate, Duration(left).c_str(), c.Failed);
            if (c.Waiting > 0.0) std::fprintf(stderr, "  (server asked to wait %.0f s)", c.Waiting);
            std::fprintf(stderr, "   ");
            std::fflush(stderr);
        }
        return g_signal == 0;
    };
    callbacks.Finished = [&](const tagSeedResult& r) {
        signals.reset();
        cache.Storage->ReleaseHandles();
        if (terminal) std::fprintf(stderr, "\n");
        std::printf("%s\n", SeedSummary(r.Counts).c_str());
    };
    const int code = SeedTiles(opt, cache, result, callbacks);
    signals.reset();
    if (opt.DryRun && code == kExitOk) {
        int64_t total = 0;
        for (int level = result.First; level <= result.Last; ++level) {
            const int64_t n = result.LevelTiles[static_cast<size_t>(level - result.First)];
            std::printf("level %d: %" PRId64 " tiles\n", level, n);
            total += n;
        }
        std::printf("total: %" PRId64 " tiles\n", total);
    }
    if (result.Counts.Cancelled) return 128 + (g_signal != 0 ? static_cast<int>(g_signal) : SIGINT);
    return code;
}

}  // namespace

void RegisterSeed(CLI::App& app, eCommandTable& table) {
    auto opt = std::make_shared<tagSeedOptions>();
    CLI::App* sub = app.add_subcommand(
        "seed", "Download the tiles of an area and levels from a tile service into the cache");
    AddCacheArgument(sub, opt->Cache);
    sub->add_option("SOURCE", opt->Source,
                    "URL template ({z}/{x}/{y}, {-y}, {q}, {s}, {level}/{row}/{col}), WMTS "
                    "GetCapabilities URL, or ArcGIS REST .../MapServer URL")
        ->required();
    sub->add_option("--levels", opt->Levels, "Levels A-B (or one level A)");
    sub->add_option("--bbox", opt->Box, "Only tiles covering MINX,MINY,MAXX,MAXY (map units)");
    sub->add_flag("--lonlat", opt->LonLat, "The --bbox is longitude/latitude in degrees");
    sub->add_option("--polygon", opt->Polygon,
                    "Only tiles overlapping the GeoJSON (multi)polygons of this file (lon/lat)");
    sub->add_option("--tiles", opt->Tiles,
                    "Only the tiles listed in this file, 'LEVEL ROW COLUMN' per line");
    sub->add_option("--source-type", opt->SourceType, "auto (default), template, wmts or arcgis");
    sub->add_option("--layer", opt->Layer, "WMTS layer (when there are several)");
    sub->add_option("--style", opt->Style, "WMTS style (default: the layer's default)");
    sub->add_option("--matrix-set", opt->MatrixSet,
                    "WMTS tile matrix set (default: the one that fits the cache)");
    sub->add_option("--format", opt->Format, "WMTS format, e.g. image/png");
    sub->add_option("--subdomains", opt->Subdomains, "Values of {s}, e.g. a,b,c");
    sub->add_option("--concurrency", opt->Concurrency, "Requests at once (default 8)");
    sub->add_option("--retries", opt->Retries,
                    "Further attempts after a 5xx, 429, timeout or dropped connection (default 4)");
    sub->add_option("--retry-delay", opt->RetryDelay,
                    "Seconds before the first retry, doubling each time (default 0.5)");
    sub->add_option("--rate", opt->Rate, "At most this many requests per second");
    sub->add_option("--timeout", opt->Timeout, "Seconds for one request (default 30)");
    sub->add_option("--user-agent", opt->UserAgent, "User-Agent header (default tvk/VERSION)");
    sub->add_option("-H,--header", opt->Headers, "Extra header 'Name: value' (repeatable)");
    sub->add_flag("--overwrite", opt->Overwrite,
                  "Download tiles the cache already holds (default: skip them)");
    sub->add_flag("--dry-run", opt->DryRun, "Print the number of tiles per level and stop");
    sub->add_option("--failed", opt->FailedFile,
                    "Write the tiles that failed to this file (for --tiles later)");
    table.Add(sub, [opt]() { return RunSeed(*opt); });
}

}  // namespace cli
}  // namespace TVK
