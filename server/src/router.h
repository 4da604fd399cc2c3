// The request router: a request target (path and query, as sent) in, what
// to answer out. A plain function of the target and the served caches, with
// no I/O, so that it can be tested and fuzzed on its own.
//
// Paths (NAME is a served cache's URL name):
//   /                                 cache list (HTML; JSON with ?f=json)
//   /_tvk/<file>                      the map page's static files
//   /NAME                             redirect to /NAME/
//   /NAME/                            map page
//   /NAME/{z}/{x}/{y}[.ext]           XYZ tile: level z, column x, row y
//   /NAME/tilejson.json               TileJSON
//   /NAME/wmts/1.0.0/WMTSCapabilities.xml
//   /NAME/wmts/1.0.0/NAME/default/NAME/{TileMatrix}/{TileRow}/{TileCol}.ext
//   /NAME/wmts?SERVICE=WMTS&REQUEST=GetCapabilities|GetTile&...   (KVP)
//   /NAME/MapServer[?f=json]          ArcGIS REST service description
//   /NAME/MapServer/tile/{level}/{row}/{col}   level is ArcGIS's LevelID
// Rows, columns and levels are 1 to 9 decimal digits; anything else where a
// number belongs is a malformed address (400). The extension of a tile is
// not used to find it.
#ifndef TVK_SERVER_ROUTER_H
#define TVK_SERVER_ROUTER_H

#include <string>
#include <string_view>
#include <vector>

#include "served_cache.h"

namespace TVK {
namespace server {

enum class EmRoute {
    CacheList,
    Static,
    Redirect,  // to "/" + cache name + "/"
    MapPage,
    Tile,
    TileJson,
    WmtsCapabilities,
    ArcGisService,
    OwsException,  // a WMTS KVP request the service refuses (400, an OWS report)
    BadRequest,
    NotFound,
};

struct tagRoute {
    EmRoute Kind = EmRoute::NotFound;
    int Cache = -1;  // index into the served caches
    // Tile address; Level is -1 when the cache has no such level (the tile
    // is then answered as a missing one).
    int Level = -1;
    int Row = 0;
    int Col = 0;
    bool Json = false;  // cache list as JSON
    int Static = -1;    // index into the static file names
    // OwsException: the exception code and the parameter it is about.
    const char* Code = nullptr;
    const char* Locator = nullptr;
};

tagRoute RouteRequest(std::string_view target, const std::vector<tagServedCache>& caches,
                      const std::vector<std::string>& staticNames);

// 1 to 9 decimal digits (no sign, no space) into out.
bool ParseIndex(std::string_view text, int& out);

}  // namespace server
}  // namespace TVK

#endif
