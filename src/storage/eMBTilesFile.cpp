// MBTiles 1.3: the metadata table and the tiles table (or the deduplicated
// "map" + "images" under a "tiles" view). Only the Web Mercator grid: zoom z
// is 2^z x 2^z tiles over the square world, tile_row counted from the bottom.
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>

#include "platform/eFile.h"
#include "storage/eTileFile.h"
#include "storage/eWebMercatorGrid.h"

namespace TVK {

namespace {

constexpr double kWorld = eCoordSys::kCircumference;
constexpr double kHalfWorld = kWorld / 2.0;
// Latitude where the Web Mercator square ends.
constexpr double kMaxLatitude = 85.0511287798066;
// MBTiles' application_id ("MPBX").
constexpr int64_t kApplicationId = 0x4d504258;
// Levels a file with neither a maxzoom nor a tile gets (the tool's default).
constexpr int kDefaultLevels = 19;

bool ParseInt(const eString& text, int64_t& value) {
    const std::string& s = text.Std();
    char* end = nullptr;
    const long long v = std::strtoll(s.c_str(), &end, 10);
    if (s.empty() || end == s.c_str()) return false;
    while (*end == ' ') ++end;
    if (*end != '\0') return false;
    value = v;
    return true;
}

// "a,b,c,d" (or fewer) into numbers; false unless exactly count finite ones.
bool ParseNumbers(const eString& text, double* values, int count) {
    const char* p = text.Cstr();
    for (int i = 0; i < count; ++i) {
        char* end = nullptr;
        values[i] = std::strtod(p, &end);
        if (end == p || !std::isfinite(values[i])) return false;
        while (*end == ' ') ++end;
        if (i + 1 < count && *end != ',') return false;
        p = end + (i + 1 < count ? 1 : 0);
    }
    return *p == '\0';
}

eFileType::EmType TypeOfFormat(const eString& format) {
    eString f = format;
    f.MakeLower();
    if (f == "png" || f == "image/png") return eFileType::PNG;
    if (f == "jpg" || f == "jpeg" || f == "image/jpeg") return eFileType::JPG;
    if (f == "pbf" || f == "mvt" || f == "application/x-protobuf" ||
        f == "application/vnd.mapbox-vector-tile")
        return eFileType::PBF;
    if (f == "gif" || f == "image/gif") return eFileType::GIF;
    if (f == "bmp" || f == "image/bmp") return eFileType::BMP;
    if (f == "tif" || f == "tiff" || f == "image/tiff") return eFileType::TIF;
    return eFileType::DATA;  // webp and whatever else: bytes the storage never decodes
}

// The format text of a tile type: MBTiles' own names where it has them, a
// media type for the rest.
const char* FormatOfType(eFileType::EmType type) {
    switch (type) {
        case eFileType::PNG: return "png";
        case eFileType::JPG: return "jpg";
        case eFileType::PBF: return "pbf";
        case eFileType::GIF: return "image/gif";
        case eFileType::BMP: return "image/bmp";
        case eFileType::TIF: return "image/tiff";
        case eFileType::BIL:
        case eFileType::DATA: break;
    }
    return "application/octet-stream";
}

// Columns a tile table (or view) needs.
bool HasTileColumns(eSqliteDb& db, const eString& table, const char* value) {
    return db.HasColumn(table, "zoom_level") && db.HasColumn(table, "tile_column") &&
           db.HasColumn(table, "tile_row") && db.HasColumn(table, value);
}

std::map<std::string, eString> ReadMetadata(eSqliteDb& db) {
    std::map<std::string, eString> values;
    eSqliteStmt stmt;
    if (!stmt.Prepare(db, "SELECT name, value FROM metadata")) return values;
    while (stmt.Step() == eSqliteStmt::Row) {
        if (stmt.ColumnType(0) == eSqliteStmt::Null) continue;
        std::string key = stmt.ColumnText(0).Std();
        if (values.find(key) == values.end()) values[key] = stmt.ColumnText(1);
    }
    return values;
}

const eString* Find(const std::map<std::string, eString>& metadata, const char* key) {
    const auto it = metadata.find(key);
    return it == metadata.end() ? nullptr : &it->second;
}

// Longitude/latitude box (west, south, east, north) into the map.

}  // namespace

bool eMBTilesFile::Read(eSqliteDb& db, const eString& path, tagTileFileInfo& info, eString& why) {
    const eString tilesType = db.ObjectType("tiles");
    if (tilesType.IsEmpty() || !HasTileColumns(db, "tiles", "tile_data")) {
        why =
            "not an MBTiles file: no tiles table with zoom_level, tile_column, tile_row and "
            "tile_data";
        return false;
    }
    tagTileFileInfo out;
    out.Table.Name = "tiles";
    out.Table.RowsFromBottom = true;
    // The common deduplicated form: tiles is a view over map and images.
    out.Table.Deduplicated =
        tilesType == "view" && db.ObjectType("map") == "table" &&
        db.ObjectType("images") == "table" && HasTileColumns(db, "map", "tile_id") &&
        db.HasColumn("images", "tile_id") && db.HasColumn("images", "tile_data");

    const std::map<std::string, eString> metadata = ReadMetadata(db);
    int64_t minZoom = -1, maxZoom = -1, value = 0;
    if (const eString* text = Find(metadata, "minzoom"); text && ParseInt(*text, value))
        minZoom = value;
    if (const eString* text = Find(metadata, "maxzoom"); text && ParseInt(*text, value))
        maxZoom = value;
    // Tiles deeper than the metadata says still get their level.
    if (db.QueryInt("SELECT max(zoom_level) FROM tiles", value)) maxZoom = std::max(maxZoom, value);
    if (maxZoom < 0) maxZoom = kDefaultLevels - 1;
    maxZoom = std::min<int64_t>(maxZoom, kMaxZoom);

    // The file names no tile size: the first tile's image tells it.
    int tileSize = 0;
    eFileType::EmType sniffed = eFileType::PNG;
    {
        eSqliteStmt first;
        eByteArray tile;
        if (first.Prepare(db, "SELECT tile_data FROM tiles LIMIT 1") &&
            first.Step() == eSqliteStmt::Row && first.ColumnBlob(0, tile)) {
            tileSize = TileImageWidth(tile.GetData(), static_cast<size_t>(tile.GetSize()));
            sniffed = TileImageType(tile.GetData(), static_cast<size_t>(tile.GetSize()));
        }
    }
    if (tileSize <= 0 || tileSize > 8192) tileSize = 256;

    eRect2D bounds = webmercator::World();
    double box[4];
    if (const eString* text = Find(metadata, "bounds"); text && ParseNumbers(*text, box, 4)) {
        eRect2D map;
        if (webmercator::LonLatToMap(box[0], box[1], box[2], box[3], map)) bounds = map;
    }
    // Tiles deeper than the scales reach have no level (the check counts them).
    out.Scheme = webmercator::MakeScheme(tileSize, static_cast<int>(maxZoom) + 1,
                                         static_cast<int>(minZoom), bounds);
    const eTileCoordSys& scheme = out.Scheme;
    const int levelCount = static_cast<int>(scheme.GetLevelCaptions().size());
    if (levelCount < 1 || !(scheme.GetScale(0) < 1.0)) {
        why = "tiles of " + eString(std::to_string(tileSize)) + " pixels give no usable scale";
        return false;
    }
    for (int z = 0; z < levelCount; ++z) {
        const int32_t n = static_cast<int32_t>(1) << z;
        out.Levels.push_back(tagTileLevelMap{z, n, n});
    }

    const eString* name = Find(metadata, "name");
    out.Name = name != nullptr && !name->IsEmpty() ? *name : eFile::GetTitle(path);
    const eString* format = Find(metadata, "format");
    out.TileType = format != nullptr && !format->IsEmpty() ? TypeOfFormat(*format) : sniffed;
    info = std::move(out);
    return true;
}

bool eMBTilesFile::MapLevels(const eTileCoordSys& scheme, std::vector<tagTileLevelMap>& levels,
                             eString& why) {
    levels.clear();
    std::vector<int> zooms;
    if (!webmercator::ZoomsOf(scheme, "MBTiles", kMaxZoom, zooms, why)) return false;
    for (const int zoom : zooms) {
        const int32_t n = static_cast<int32_t>(1) << zoom;
        levels.push_back(tagTileLevelMap{zoom, n, n});
    }
    return true;
}

bool eMBTilesFile::Create(const eString& path, const eTileCoordSys& scheme, const eString& name,
                          eFileType::EmType type, eString& why) {
    std::vector<tagTileLevelMap> levels;
    if (!MapLevels(scheme, levels, why)) return false;
    if (levels.empty()) {
        why = "the tiling scheme has no levels";
        return false;
    }
    if (eFile::IsExist(path)) {
        why = "already exists; not overwriting it";
        return false;
    }

    // metadata: the levels' zoom range (from the top level on), the bounds
    // in longitude/latitude and a centre at the top zoom.
    const int top = std::clamp(scheme.GetTileTopLevel(), 0, static_cast<int>(levels.size()) - 1);
    int minZoom = levels[static_cast<size_t>(top)].Zoom, maxZoom = minZoom;
    for (size_t i = static_cast<size_t>(top); i < levels.size(); ++i) {
        minZoom = std::min(minZoom, levels[i].Zoom);
        maxZoom = std::max(maxZoom, levels[i].Zoom);
    }
    double west = -180.0, south = -kMaxLatitude, east = 180.0, north = kMaxLatitude;
    const eRect2D b = scheme.GetBounds();
    if (b.right > b.left && b.top > b.bottom) {
        ePoint2D corners[2] = {
            ePoint2D(std::max(b.left, -kHalfWorld), std::max(b.bottom, -kHalfWorld)),
            ePoint2D(std::min(b.right, kHalfWorld), std::min(b.top, kHalfWorld))};
        if (webmercator::Crs().Inverse(corners, 2) && corners[0].x < corners[1].x &&
            corners[0].y < corners[1].y) {
            west = corners[0].x;
            south = corners[0].y;
            east = corners[1].x;
            north = corners[1].y;
        }
    }
    char bounds[128], center[128];
    // Bounds in full precision: readers place the raster by them.
    std::snprintf(bounds, sizeof(bounds), "%.17g,%.17g,%.17g,%.17g", west, south, east, north);
    std::snprintf(center, sizeof(center), "%.10g,%.10g,%d", (west + east) / 2.0,
                  (south + north) / 2.0, minZoom);
    std::vector<std::pair<const char*, eString>> rows = {
        {"name", name.IsEmpty() ? eFile::GetTitle(path) : name},
        {"format", FormatOfType(type)},
        {"bounds", bounds},
        {"center", center},
        {"minzoom", std::to_string(minZoom)},
        {"maxzoom", std::to_string(maxZoom)},
        {"type", "baselayer"},
    };
    // Vector tilesets must describe their layers; this writer knows none.
    if (type == eFileType::PBF) rows.push_back({"json", "{\"vector_layers\":[]}"});

    // Built under a temporary name and renamed, so the file appears whole or
    // not at all.
    const eString temp = path + ".temp";
    eFile::Delete(temp);
    bool ok = false;
    {
        eSqliteDb db;
        ok = db.Open(temp, eSqliteDb::OpenCreate, eTileDatabase::kBusyTimeoutMs);
        if (ok) {
            char pragma[64];
            std::snprintf(pragma, sizeof(pragma), "PRAGMA application_id = %" PRId64,
                          kApplicationId);
            ok = db.Exec(pragma) && db.Exec("BEGIN") &&
                 db.Exec(
                     "CREATE TABLE metadata (name TEXT, value TEXT);"
                     "CREATE UNIQUE INDEX name ON metadata (name);"
                     "CREATE TABLE tiles (zoom_level INTEGER, tile_column INTEGER, "
                     "tile_row INTEGER, tile_data BLOB);"
                     "CREATE UNIQUE INDEX tile_index ON tiles (zoom_level, tile_column, "
                     "tile_row);");
            eSqliteStmt insert;
            ok = ok && insert.Prepare(db, "INSERT INTO metadata (name, value) VALUES (?1, ?2)");
            for (const auto& row : rows) {
                ok = ok && insert.BindText(1, row.first) && insert.BindText(2, row.second) &&
                     insert.Step() == eSqliteStmt::Done;
                insert.Reset();
            }
            insert.Finalize();
            ok = ok && db.Exec("COMMIT");
            if (!ok) why = "cannot be written: " + db.ErrorText();
        } else {
            why = "cannot be created: " + db.ErrorText();
        }
    }
    if (ok && !eFile::Rename(temp, path)) {
        why = "cannot be created (rename failed)";
        ok = false;
    }
    if (!ok) {
        eFile::Delete(temp);
        eFile::Delete(temp + "-journal");
    }
    return ok;
}

void eMBTilesFile::Check(eSqliteDb& db, std::vector<eString>& warnings) {
    auto note = [&](const eString& text) { warnings.push_back(text); };
    if (db.ObjectType("metadata").IsEmpty() || !db.HasColumn("metadata", "name") ||
        !db.HasColumn("metadata", "value")) {
        note("no metadata table (name, value): readers cannot tell the tile format");
        return;
    }
    const std::map<std::string, eString> metadata = ReadMetadata(db);
    for (const char* key : {"name", "format"}) {
        if (Find(metadata, key) == nullptr)
            note(eString("metadata has no \"") + key + "\" (MBTiles requires it)");
    }
    int64_t minZoom = 0, maxZoom = 0;
    const eString* minText = Find(metadata, "minzoom");
    const eString* maxText = Find(metadata, "maxzoom");
    if ((minText && !ParseInt(*minText, minZoom)) || (maxText && !ParseInt(*maxText, maxZoom)))
        note("metadata minzoom or maxzoom is not a whole number");
    double box[4];
    if (const eString* text = Find(metadata, "bounds"); text && !ParseNumbers(*text, box, 4))
        note("metadata bounds is not four numbers (west,south,east,north)");
    const eString* format = Find(metadata, "format");
    if (format != nullptr && TypeOfFormat(*format) == eFileType::PBF &&
        Find(metadata, "json") == nullptr)
        note("vector tiles without the metadata \"json\" describing their layers");
    eSqliteStmt range;
    if (minText && maxText &&
        range.Prepare(db, "SELECT min(zoom_level), max(zoom_level) FROM tiles") &&
        range.Step() == eSqliteStmt::Row && range.ColumnType(0) != eSqliteStmt::Null &&
        (range.ColumnInt(0) < minZoom || range.ColumnInt(1) > maxZoom))
        note("tiles lie outside the metadata's zoom range minzoom-maxzoom");
}

}  // namespace TVK
