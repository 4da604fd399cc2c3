// The documents the server writes, each a plain function of the served
// caches (see served_cache.h) and, where a document carries absolute URLs,
// of the base URL the client used ("http://host:port", no trailing '/').
#ifndef TVK_SERVER_DOCUMENTS_H
#define TVK_SERVER_DOCUMENTS_H

#include <string>
#include <string_view>
#include <vector>

#include "served_cache.h"

namespace TVK {
namespace server {

// OGC WMTS 1.0.0 capabilities: one layer, one tile matrix set (both named
// after the cache) with a tile matrix per level, identified by the level's
// index, and RESTful and KVP access.
std::string WriteWmtsCapabilities(const tagServedCache& cache, std::string_view base);
// An OWS 1.1 exception report.
std::string WriteOwsException(const char* code, const char* locator);

// TileJSON 3.0.0; false for a cache whose levels are not Web Mercator zooms
// 0, 1, 2... (z in the tiles URL is the cache's level).
bool WriteTileJson(const tagServedCache& cache, std::string_view base, std::string& out);

// The ArcGIS REST description of a tiled map service (MapServer?f=json).
std::string WriteArcGisService(const tagServedCache& cache);

// "/": the caches with their URLs.
std::string WriteCacheListHtml(const std::vector<tagServedCache>& caches);
std::string WriteCacheListJson(const std::vector<tagServedCache>& caches, std::string_view base);

// "/NAME/": a Leaflet map of the cache's tiles. Web Mercator grids over
// Leaflet's own Web Mercator map; any other scheme over a pixel grid of its
// own levels (a Leaflet CRS with the cache's resolutions). Leaflet is
// loaded from /_tvk/; `leaflet` false writes a page that says it is missing.
std::string WriteMapPage(const tagServedCache& cache, bool leaflet);

}  // namespace server
}  // namespace TVK

#endif
