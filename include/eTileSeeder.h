// eTileSeeder: fills a tile cache from a tile service, through the request
// service's workers.
//
// A seeder is given a cache (an eTileStorage set up and ready), a source, the
// levels and an area, and options; Run then downloads every tile of the area
// that the cache does not hold yet and saves it. Only the request service's
// workers touch the network, and they save the tiles through the storage's
// thread-safe operations; the thread that calls Run hands out the tiles,
// schedules the retries and reports progress.
//
// Sources (SetSource):
//   - a URL template: {z} or {level} (the cache's level), {x} or {col},
//     {y} or {row} (rows from the top), {-y} (rows from the bottom, as TMS
//     numbers them), {q} (a quadkey), {s} (one of tagOptions::Subdomains,
//     always the same one for a tile);
//   - a WMTS GetCapabilities document: the layer, style, tile matrix set and
//     format are chosen by the options (or the only or default one), and
//     each level of the cache is matched to the tile matrix of the same
//     resolution; tiles come from the RESTful template or KVP GetTile;
//   - an ArcGIS REST MapServer (or ImageServer): its "?f=json" tile scheme
//     is checked against the cache's and tiles come from tile/{level}/{row}/{col}.
// A WMTS or ArcGIS source whose tiles do not line up with the cache's grid
// (other tile size, origin, resolutions or coordinate system) is refused.
//
// What a response means: 200 with an image of the cache's tile type is
// stored; 404 and 204 mean there is no tile (counted as empty, nothing
// stored, not asked again); 5xx, 408, 429, timeouts and broken connections
// are tried again after an exponential back-off with jitter or, for a 429
// or 503, after the Retry-After the server sent (obeyed up to
// MaxRetryDelay); a 429, and a 503 with Retry-After, hold back every
// request until then. A 200 whose body is not an image (an HTML page, an
// empty or cut body) is tried again, and one that is an image of another
// type than the cache's fails at once: neither is ever stored. Any other
// status fails the tile at once. Tiles the cache already holds are skipped
// unless tagOptions::Overwrite, so running the same seed again resumes it.
//
// Threads: one thread sets up and calls Run; Cancel may be called from any
// other thread. The storage must not be released while Run runs.
#ifndef TVK_ETILESEEDER_H
#define TVK_ETILESEEDER_H

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "eTileStorage.h"
#include "platform/eExport.h"
#include "platform/eGeometry.h"
#include "platform/eString.h"

namespace TVK {

class eTileServerManager;

class TVK_API eTileSeeder {
public:
    enum EmSource {
        SourceAuto = 0,  // a template when the URL holds '{', ArcGIS for .../MapServer
                         // or .../ImageServer, otherwise WMTS capabilities
        SourceTemplate = 1,
        SourceWMTS = 2,
        SourceArcGIS = 3,
    };

    struct tagTile {
        int32_t Level = 0, Row = 0, Col = 0;
    };

    // A polygon: its outer ring first, then its holes; map units. Rings need
    // not be closed (the last point joins the first) nor oriented.
    using tagRing = std::vector<ePoint2D>;
    using tagPolygon = std::vector<tagRing>;

    struct tagOptions {
        int Concurrency = 8;              // requests at once (workers of a private service)
        int Retries = 4;                  // further attempts after the first
        double Rate = 0.0;                // requests per second at most; 0 no limit
        double Timeout = 30.0;            // seconds for one whole request
        double RetryDelay = 0.5;          // seconds before the first retry; doubles each time
        double MaxRetryDelay = 60.0;      // longest back-off, and longest Retry-After obeyed
        eString UserAgent;                // empty: "tvk/<version>"
        std::vector<eString> Headers;     // "Name: value" lines sent with every request
        std::vector<eString> Subdomains;  // values of {s}
        bool Overwrite = false;           // download tiles the cache already holds
        // WMTS choices; empty means the only one, the default one, or the
        // first that fits the cache.
        eString Layer, Style, MatrixSet, Format;
        // The service whose workers run the requests; null: a private one
        // with Concurrency workers, started by SetSource or Run and stopped
        // with the seeder.
        eTileServerManager* Service = nullptr;
    };

    struct tagCounts {
        int64_t Total = 0;     // tiles in the area (for the levels set)
        int64_t Stored = 0;    // downloaded and saved
        int64_t Skipped = 0;   // already in the cache
        int64_t Empty = 0;     // 404 / 204: the service has no such tile
        int64_t Failed = 0;    // still failing after the retries
        int64_t Bytes = 0;     // tile bytes saved
        int64_t Requests = 0;  // HTTP requests made, retries included
        int64_t Retries = 0;   // of which retries
        double Seconds = 0.0;  // since Run started
        double Waiting = 0.0;  // seconds left of a Retry-After pause (0 when none)
        bool Cancelled = false;
        int64_t Done() const { return Stored + Skipped + Empty + Failed; }
    };

    // Called on Run's thread about five times a second and once at the end;
    // returning false cancels the run (a signal handler can set a flag that
    // the callback reads).
    using tagProgressFn = std::function<bool(const tagCounts& counts)>;
    // Called on Run's thread for each tile that failed for good.
    using tagFailureFn = std::function<void(const tagTile& tile, const eString& reason)>;

    // storage must stay alive and set up for the seeder's life.
    explicit eTileSeeder(eTileStorage& storage);
    // Stops the private service, if one was started.
    ~eTileSeeder();
    eTileSeeder(const eTileSeeder&) = delete;
    eTileSeeder& operator=(const eTileSeeder&) = delete;

    // Before SetSource and Run.
    void SetOptions(const tagOptions& options);
    const tagOptions& GetOptions() const;

    // Reads the source; for WMTS and ArcGIS fetches its description through
    // the request service and checks it against the cache's tiling scheme:
    // every level set by SetLevels (call it first) must be served. 1 on
    // success; 0 with the reason in GetLastError().
    unsigned char SetSource(const eString& url, EmSource kind = SourceAuto);
    // What SetSource made of the source, in words ("WMTS layer 'x', tile
    // matrix set 'y', RESTful"); "" before a successful SetSource.
    const eString& GetSourceDescription() const;
    // The URL of a tile; "" when the source has none there (outside a WMTS
    // tile matrix) or no source is set.
    eString GetTileURL(int level, int row, int col) const;

    // Levels first..last of the cache (clipped to its level list).
    void SetLevels(int first, int last);
    // The area: the whole tile grid (the default), a rectangle in map
    // units, polygons in map units (tiles whose inside overlaps a polygon's
    // inside), or a list of tiles (only those of the levels set are seeded).
    // Each call replaces the previous area.
    void SetWholeGrid();
    void SetArea(const eRect2D& box);
    void SetArea(const std::vector<tagPolygon>& polygons);
    void SetTiles(const std::vector<tagTile>& tiles);

    // Tiles of the area at one level; ForEachTile stops early when fn
    // returns false. Rows from the top, columns from the left within a row.
    int64_t CountTiles(int level) const;
    void ForEachTile(int level, const std::function<bool(int row, int col)>& fn) const;

    // Seeds; returns when every tile of the area is stored, skipped, empty or
    // failed, or after Cancel (requests under way finish or are dropped; a
    // tile is saved whole or not at all). 1 when no tile failed and the run
    // was not cancelled; 0 otherwise, and 0 at once (GetLastError) without a
    // source.
    unsigned char Run(const tagProgressFn& progress = nullptr,
                      const tagFailureFn& failure = nullptr);
    // From any thread: stop handing out tiles and end Run soon.
    void Cancel();

    // Counts of the last Run.
    const tagCounts& GetCounts() const;
    const eString& GetLastError() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace TVK

#endif
