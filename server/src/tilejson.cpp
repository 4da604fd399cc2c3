// TileJSON 3.0.0 of a cache on the Web Mercator grid.
#include "documents.h"
#include "text_out.h"

namespace TVK {
namespace server {

bool WriteTileJson(const tagServedCache& c, std::string_view base, std::string& out) {
    // TileJSON's z is the Web Mercator zoom, and the tiles URL's z is the
    // cache's level: the two agree only when level 0 is zoom 0.
    if (c.ZoomOffset != 0) return false;
    const int maxZoom = static_cast<int>(c.Levels.size()) - 1;
    out.clear();
    out += "{\"tilejson\":\"3.0.0\",\"name\":";
    AppendJsonString(out, c.Name);
    out += ",\"scheme\":\"xyz\",\"tiles\":[";
    AppendJsonString(out, std::string(base) + "/" + c.Name + "/{z}/{x}/{y}." + c.Extension());
    out += "],\"minzoom\":0,\"maxzoom\":";
    AppendInt(out, maxZoom);
    out += ",\"bounds\":[";
    AppendNumber(out, c.West);
    out += ',';
    AppendNumber(out, c.South);
    out += ',';
    AppendNumber(out, c.East);
    out += ',';
    AppendNumber(out, c.North);
    out += "],\"center\":[";
    AppendNumber(out, (c.West + c.East) / 2);
    out += ',';
    AppendNumber(out, (c.South + c.North) / 2);
    out += ',';
    AppendInt(out, maxZoom < 2 ? maxZoom : 2);
    out += "],\"format\":";
    AppendJsonString(out, c.Format == EmTileFormat::Jpeg ? "jpg" : c.Extension());
    // Required for vector tiles; the cache does not say which layers its tiles hold.
    if (c.Format == EmTileFormat::Vector) out += ",\"vector_layers\":[]";
    out += "}\n";
    return true;
}

}  // namespace server
}  // namespace TVK
