// The ArcGIS REST description of a cache as a tiled map service, with what
// ArcGIS clients read to draw it: the tiling (tileInfo: origin, LODs, tile
// size, format, spatial reference) and the extents. The LODs carry the
// levels' own numbers (LevelID), which is what clients put in tile URLs.
#include <cmath>

#include "documents.h"
#include "text_out.h"

namespace TVK {
namespace server {

namespace {

void AppendSpatialReference(std::string& out, const tagServedCache& c) {
    if (c.CrsAuthority == "EPSG" && c.CrsCode == 3857) {
        out += "{\"wkid\":102100,\"latestWkid\":3857}";  // ArcGIS's own number first
    } else if (c.CrsCode > 0) {
        out += "{\"wkid\":";
        AppendInt(out, c.CrsCode);
        out += '}';
    } else {
        out += "{\"wkt\":";
        AppendJsonString(out, c.Wkt);
        out += '}';
    }
}

const char* FormatName(const tagServedCache& c) {
    switch (c.Format) {
        case EmTileFormat::Png: return "PNG";
        case EmTileFormat::Jpeg: return "JPEG";
        case EmTileFormat::Mixed: return "MIXED";
        case EmTileFormat::Gif: return "GIF";
        case EmTileFormat::Tiff: return "TIFF";
        case EmTileFormat::Vector: return "PBF";
        case EmTileFormat::Other: return "UNKNOWN";
    }
    return "UNKNOWN";
}

const char* UnitsName(const tagServedCache& c) {
    if (c.Geographic) return "esriDecimalDegrees";
    if (std::fabs(c.MetresPerUnit - 1.0) < 1e-9) return "esriMeters";
    if (std::fabs(c.MetresPerUnit - 0.3048) < 1e-6) return "esriFeet";
    return "esriUnknownUnits";
}

void AppendExtent(std::string& out, const tagServedCache& c) {
    out += "{\"xmin\":";
    AppendNumber(out, c.MinX);
    out += ",\"ymin\":";
    AppendNumber(out, c.MinY);
    out += ",\"xmax\":";
    AppendNumber(out, c.MaxX);
    out += ",\"ymax\":";
    AppendNumber(out, c.MaxY);
    out += ",\"spatialReference\":";
    AppendSpatialReference(out, c);
    out += '}';
}

}  // namespace

std::string WriteArcGisService(const tagServedCache& c) {
    std::string out;
    out.reserve(2048 + 100 * c.Levels.size());
    out += "{\"currentVersion\":10.81,\"serviceDescription\":\"\",\"mapName\":";
    AppendJsonString(out, c.Name);
    out +=
        ",\"description\":\"\",\"copyrightText\":\"\",\"supportsDynamicLayers\":false,"
        "\"layers\":[],\"tables\":[],\"spatialReference\":";
    AppendSpatialReference(out, c);
    out += ",\"singleFusedMapCache\":true,\"tileInfo\":{\"rows\":";
    AppendInt(out, c.TileSize);
    out += ",\"cols\":";
    AppendInt(out, c.TileSize);
    out += ",\"dpi\":";
    AppendNumber(out, c.Dpi);
    out += ",\"format\":";
    AppendJsonString(out, c.ArcGISFormat.empty() ? FormatName(c) : c.ArcGISFormat);
    out += ",\"compressionQuality\":0,\"origin\":{\"x\":";
    AppendNumber(out, c.OriginX);
    out += ",\"y\":";
    AppendNumber(out, c.OriginY);
    out += "},\"spatialReference\":";
    AppendSpatialReference(out, c);
    out += ",\"lods\":[";
    for (size_t i = 0; i < c.Levels.size(); ++i) {
        if (i > 0) out += ',';
        out += "{\"level\":";
        AppendInt(out, c.Levels[i].LevelId);
        out += ",\"resolution\":";
        AppendNumber(out, c.Levels[i].Resolution);
        out += ",\"scale\":";
        AppendNumber(out, c.Levels[i].CacheScale);
        out += '}';
    }
    out += "]},\"initialExtent\":";
    AppendExtent(out, c);
    out += ",\"fullExtent\":";
    AppendExtent(out, c);
    out += ",\"minScale\":";
    AppendNumber(out, c.Levels.front().CacheScale);
    out += ",\"maxScale\":";
    AppendNumber(out, c.Levels.back().CacheScale);
    out += ",\"units\":";
    AppendJsonString(out, UnitsName(c));
    out +=
        ",\"supportedImageFormatTypes\":\"PNG32,PNG24,PNG,JPG\",\"capabilities\":\"Map,TilesOnly\","
        "\"exportTilesAllowed\":false}\n";
    return out;
}

}  // namespace server
}  // namespace TVK
