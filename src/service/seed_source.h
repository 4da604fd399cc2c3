// Where the seeder's tiles come from: a URL template compiled once into
// parts, and for WMTS and ArcGIS sources the match of each cache level to
// the service's own level (its name in URLs, a whole-tile offset between the
// two grids, and the service's extent at that level).
//
// A tagSource is built on the caller's thread and only read while the
// workers run, so every worker may expand URLs from it at once.
#ifndef TVK_SERVICE_SEED_SOURCE_H
#define TVK_SERVICE_SEED_SOURCE_H

#include <cstdint>
#include <string>
#include <vector>

#include "eTileSeeder.h"

namespace TVK {
namespace seed {

enum class EmPart : uint8_t {
    Literal,
    Level,          // {z} {level}
    Col,            // {x} {col} {TileCol}
    Row,            // {y} {row} {TileRow}
    RowFromBottom,  // {-y}
    Quadkey,        // {q}
    Subdomain,      // {s}
    Matrix,         // {TileMatrix}: the service's name of the level
};

struct tagPart {
    EmPart Kind = EmPart::Literal;
    std::string Text;  // for Literal
};

// One cache level as the service knows it.
struct tagLevelMap {
    bool Present = false;                  // the service has this level
    std::string Name;                      // its name in URLs ({TileMatrix}, ArcGIS's LOD level)
    int64_t RowOffset = 0, ColOffset = 0;  // service row = cache row + RowOffset
    // The service's tiles at this level, in its own rows and columns.
    int64_t MinRow = 0, MaxRow = INT32_MAX, MinCol = 0, MaxCol = INT32_MAX;
};

struct tagSource {
    std::vector<tagPart> Parts;
    // Empty for a plain template: every level is there under its own number.
    std::vector<tagLevelMap> Levels;
    std::vector<std::string> Subdomains;
    std::vector<int64_t> RowsPerLevel;  // for {-y}; the cache's rows at each level
    std::string Description;

    // Appends the tile's URL to out; false when the service has no such tile.
    bool AppendUrl(int level, int row, int col, std::string& out) const;
    // Whether the service has the level at all.
    bool HasLevel(int level) const;
};

// Compiles a template; false with the reason in error.
bool ParseTemplate(const std::string& text, std::vector<tagPart>& parts, std::string& error);

// Fills the rows per level of the cache's grid (for {-y}).
void SetRowsPerLevel(const eTileStorage& storage, tagSource& source);

// Reads a WMTS capabilities document fetched from capabilitiesUrl and picks
// layer, style, format and tile matrix set by the options, matching the
// matrices to the cache's levels first..last.
bool ReadWMTSCapabilities(const std::string& xml, const std::string& capabilitiesUrl,
                          const eTileStorage& storage, const eTileSeeder::tagOptions& options,
                          int first, int last, tagSource& source, std::string& error);

// Reads an ArcGIS REST service description (the "?f=json" answer of
// serviceUrl, which may carry a query such as a token) and checks its tile
// scheme against the cache's.
bool ReadArcGISService(const std::string& json, const std::string& serviceUrl,
                       const eTileStorage& storage, int first, int last, tagSource& source,
                       std::string& error);

// The URL of a service's description: "?f=json" for ArcGIS, kept as it is
// for WMTS.
std::string ArcGISDescriptionUrl(const std::string& serviceUrl);

// SourceAuto resolved by the URL's shape.
eTileSeeder::EmSource GuessSourceKind(const std::string& url);

}  // namespace seed
}  // namespace TVK

#endif
