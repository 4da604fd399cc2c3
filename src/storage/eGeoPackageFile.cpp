// GeoPackage 1.3 tiles: the core tables (gpkg_spatial_ref_sys, gpkg_contents),
// a tile matrix set per tile table and a tile matrix per zoom level, all
// written from the tiling scheme, tile rows counted from the top.
//
// The tile matrix set's box starts at the scheme's origin (its top-left
// corner) and spans whole tiles of the first level over the scheme's index
// bounds (and bounds), so with levels that halve the tile, every level's
// matrix fits the box exactly. Level n is zoom_level n.
#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "platform/eFile.h"
#include "storage/eTileFile.h"

namespace TVK {

namespace {

// Older GeoPackages say "GP10" or "GP11" in application_id.
constexpr int64_t kApplicationId10 = 0x47503130;
constexpr int64_t kApplicationId11 = 0x47503131;
// The srs_id GeoPackage reserves for undefined Cartesian and geographic systems.
constexpr int64_t kUndefinedCartesian = -1;
constexpr int64_t kUndefinedGeographic = 0;
// srs_id of systems this writer adds without an EPSG code.
constexpr int64_t kFirstOwnSrsId = 100000;
// Deepest zoom level read; deeper rows of gpkg_tile_matrix are ignored.
constexpr int64_t kMaxZoomLevel = 40;
// Pixel sizes that differ by less than this fraction are equal (square).
constexpr double kSquareTolerance = 1e-9;
// Fraction of a tile by which the box may fall short of a whole tile.
constexpr double kWholeTileTolerance = 1e-6;

const char kCoreTables[] =
    "CREATE TABLE gpkg_spatial_ref_sys (srs_name TEXT NOT NULL, srs_id INTEGER NOT NULL "
    "PRIMARY KEY, organization TEXT NOT NULL, organization_coordsys_id INTEGER NOT NULL, "
    "definition TEXT NOT NULL, description TEXT);"
    "CREATE TABLE gpkg_contents (table_name TEXT NOT NULL PRIMARY KEY, data_type TEXT NOT "
    "NULL, identifier TEXT UNIQUE, description TEXT DEFAULT '', last_change DATETIME NOT NULL "
    "DEFAULT (strftime('%Y-%m-%dT%H:%M:%fZ','now')), min_x DOUBLE, min_y DOUBLE, max_x DOUBLE, "
    "max_y DOUBLE, srs_id INTEGER, CONSTRAINT fk_gc_r_srs_id FOREIGN KEY (srs_id) REFERENCES "
    "gpkg_spatial_ref_sys(srs_id));"
    "CREATE TABLE gpkg_tile_matrix_set (table_name TEXT NOT NULL PRIMARY KEY, srs_id INTEGER "
    "NOT NULL, min_x DOUBLE NOT NULL, min_y DOUBLE NOT NULL, max_x DOUBLE NOT NULL, max_y DOUBLE "
    "NOT NULL, CONSTRAINT fk_gtms_table_name FOREIGN KEY (table_name) REFERENCES "
    "gpkg_contents(table_name), CONSTRAINT fk_gtms_srs FOREIGN KEY (srs_id) REFERENCES "
    "gpkg_spatial_ref_sys (srs_id));"
    "CREATE TABLE gpkg_tile_matrix (table_name TEXT NOT NULL, zoom_level INTEGER NOT NULL, "
    "matrix_width INTEGER NOT NULL, matrix_height INTEGER NOT NULL, tile_width INTEGER NOT "
    "NULL, tile_height INTEGER NOT NULL, pixel_x_size DOUBLE NOT NULL, pixel_y_size DOUBLE NOT "
    "NULL, CONSTRAINT pk_ttm PRIMARY KEY (table_name, zoom_level), CONSTRAINT "
    "fk_tmm_table_name FOREIGN KEY (table_name) REFERENCES gpkg_contents(table_name));";

bool HasCoreTables(eSqliteDb& db) {
    for (const char* table :
         {"gpkg_spatial_ref_sys", "gpkg_contents", "gpkg_tile_matrix_set", "gpkg_tile_matrix"}) {
        if (db.ObjectType(table).IsEmpty()) return false;
    }
    return true;
}

bool IsWhole(const eRect2D& r) {
    return std::isfinite(r.left) && std::isfinite(r.right) && std::isfinite(r.top) &&
           std::isfinite(r.bottom) && r.right > r.left && r.top > r.bottom;
}

eString Text(const char* format, double a, double b = 0.0) {
    char text[200];
    std::snprintf(text, sizeof(text), format, a, b);
    return text;
}

// The coordinate system a gpkg_spatial_ref_sys row describes; an unset one
// for the undefined systems and for definitions nothing can read.
ePrjCoordSys ReadSrs(eSqliteDb& db, int64_t srsId) {
    ePrjCoordSys prj;
    if (srsId == kUndefinedCartesian || srsId == kUndefinedGeographic) return prj;
    eSqliteStmt stmt;
    if (!stmt.Prepare(db,
                      "SELECT organization, organization_coordsys_id, definition FROM "
                      "gpkg_spatial_ref_sys WHERE srs_id = ?1") ||
        !stmt.BindInt(1, srsId) || stmt.Step() != eSqliteStmt::Row)
        return prj;
    const eString organization = stmt.ColumnText(0);
    const int64_t code = stmt.ColumnInt(1);
    const eString definition = stmt.ColumnText(2);
    if (definition.CompareNoCase("undefined") != 0 && !definition.IsEmpty() &&
        (prj << eWKT(definition)))
        return prj;
    if (organization.CompareNoCase("EPSG") == 0 && code > 0 && code < 1000000) {
        char text[32];
        std::snprintf(text, sizeof(text), "EPSG:%" PRId64, code);
        prj << eWKT(text);
    }
    return prj;
}

struct tagMatrix {
    int64_t Zoom, Width, Height, TileWidth, TileHeight;
    double PixelX, PixelY;
};

}  // namespace

bool eGeoPackageFile::Read(eSqliteDb& db, const eString& table, tagTileFileInfo& info,
                           eString& why) {
    if (!HasCoreTables(db)) {
        why =
            "not a GeoPackage with tiles: gpkg_contents, gpkg_spatial_ref_sys, "
            "gpkg_tile_matrix_set or gpkg_tile_matrix is missing";
        return false;
    }

    // The tile table: the one named, or the first one listed.
    eSqliteStmt contents;
    const std::string select =
        "SELECT table_name, identifier, srs_id, min_x, min_y, max_x, max_y FROM gpkg_contents "
        "WHERE data_type = 'tiles'" +
        std::string(table.IsEmpty() ? "" : " AND lower(table_name) = lower(?1)") +
        " ORDER BY rowid LIMIT 1";
    if (!contents.Prepare(db, select.c_str()) ||
        (!table.IsEmpty() && !contents.BindText(1, table))) {
        why = "gpkg_contents cannot be read: " + db.ErrorText();
        return false;
    }
    if (contents.Step() != eSqliteStmt::Row) {
        eString names;
        eSqliteStmt list;
        if (list.Prepare(db, "SELECT table_name FROM gpkg_contents WHERE data_type = 'tiles'")) {
            while (list.Step() == eSqliteStmt::Row)
                names += (names.IsEmpty() ? "" : ", ") + list.ColumnText(0);
        }
        why = table.IsEmpty() ? eString("holds no tile table")
                              : "has no tile table \"" + table + "\"" +
                                    (names.IsEmpty() ? eString() : " (tile tables: " + names + ")");
        return false;
    }
    tagTileFileInfo out;
    out.Table.Name = contents.ColumnText(0);
    out.Table.TouchContents = true;
    const eString identifier = contents.ColumnText(1);
    const int64_t contentsSrs = contents.ColumnInt(2);
    const bool contentsHasBox = contents.ColumnType(3) != eSqliteStmt::Null &&
                                contents.ColumnType(4) != eSqliteStmt::Null &&
                                contents.ColumnType(5) != eSqliteStmt::Null &&
                                contents.ColumnType(6) != eSqliteStmt::Null;
    const eRect2D contentsBox(contents.ColumnDouble(3), contents.ColumnDouble(6),
                              contents.ColumnDouble(5), contents.ColumnDouble(4));
    contents.Finalize();

    const eString tableType = db.ObjectType(out.Table.Name);
    if (tableType.IsEmpty() || !db.HasColumn(out.Table.Name, "zoom_level") ||
        !db.HasColumn(out.Table.Name, "tile_column") || !db.HasColumn(out.Table.Name, "tile_row") ||
        !db.HasColumn(out.Table.Name, "tile_data")) {
        why = "tile table \"" + out.Table.Name +
              "\" is missing or lacks zoom_level, tile_column, tile_row or tile_data";
        return false;
    }

    eSqliteStmt set;
    if (!set.Prepare(db,
                     "SELECT srs_id, min_x, min_y, max_x, max_y FROM gpkg_tile_matrix_set WHERE "
                     "table_name = ?1") ||
        !set.BindText(1, out.Table.Name) || set.Step() != eSqliteStmt::Row) {
        why = "no gpkg_tile_matrix_set row for \"" + out.Table.Name + "\"";
        return false;
    }
    const int64_t srsId = set.ColumnInt(0);
    const eRect2D box(set.ColumnDouble(1), set.ColumnDouble(4), set.ColumnDouble(3),
                      set.ColumnDouble(2));
    set.Finalize();
    if (!IsWhole(box)) {
        why = "the tile matrix set's bounding box of \"" + out.Table.Name + "\" is empty";
        return false;
    }

    std::vector<tagMatrix> matrices;
    eSqliteStmt tm;
    if (!tm.Prepare(db,
                    "SELECT zoom_level, matrix_width, matrix_height, tile_width, tile_height, "
                    "pixel_x_size, pixel_y_size FROM gpkg_tile_matrix WHERE table_name = ?1 AND "
                    "zoom_level BETWEEN 0 AND ?2 ORDER BY zoom_level") ||
        !tm.BindText(1, out.Table.Name) || !tm.BindInt(2, kMaxZoomLevel)) {
        why = "gpkg_tile_matrix cannot be read: " + db.ErrorText();
        return false;
    }
    while (tm.Step() == eSqliteStmt::Row) {
        tagMatrix m{tm.ColumnInt(0), tm.ColumnInt(1),    tm.ColumnInt(2),   tm.ColumnInt(3),
                    tm.ColumnInt(4), tm.ColumnDouble(5), tm.ColumnDouble(6)};
        if (!matrices.empty() && matrices.back().Zoom == m.Zoom) continue;
        if (m.Width < 1 || m.Height < 1 || m.Width > std::numeric_limits<int32_t>::max() ||
            m.Height > std::numeric_limits<int32_t>::max() || m.TileWidth < 1 ||
            m.TileWidth > 65536 || !std::isfinite(m.PixelX) || !std::isfinite(m.PixelY) ||
            !(m.PixelX > 0.0) || !(m.PixelY > 0.0)) {
            why = "zoom level " + eString(std::to_string(m.Zoom)) + " of \"" + out.Table.Name +
                  "\" has an impossible tile matrix";
            return false;
        }
        // One square tile size for every level: the scheme has one.
        if (m.TileHeight != m.TileWidth ||
            (!matrices.empty() && m.TileWidth != matrices[0].TileWidth) ||
            std::fabs(m.PixelX - m.PixelY) > kSquareTolerance * m.PixelX) {
            why = "\"" + out.Table.Name +
                  "\" has tiles that are not square or not all of one size; this storage "
                  "holds one square tile size";
            return false;
        }
        if (!matrices.empty() && !(m.PixelX < matrices.back().PixelX)) {
            why = "the pixel sizes of \"" + out.Table.Name +
                  "\" do not shrink from one zoom level to the next";
            return false;
        }
        matrices.push_back(m);
    }
    if (matrices.empty()) {
        why = "\"" + out.Table.Name + "\" has no zoom level in gpkg_tile_matrix";
        return false;
    }

    eTileCoordSys& scheme = out.Scheme;
    scheme.SetPrjCoordSys(ReadSrs(db, srsId));
    scheme.SetDPI(96.0);
    scheme.SetTileSize(static_cast<int>(matrices[0].TileWidth));
    scheme.SetTileOrigin(ePoint2D(box.left, box.top));
    scheme.SetIndexBounds(box);
    scheme.SetBounds(contentsHasBox && contentsSrs == srsId && IsWhole(contentsBox) ? contentsBox
                                                                                    : box);
    // Level n is zoom n. A zoom the file leaves out gets a scale between its
    // neighbours' (halving above the first), and no place for tiles.
    const int64_t levelCount = matrices.back().Zoom + 1;
    std::vector<double> scales(static_cast<size_t>(levelCount), 0.0);
    out.Levels.assign(static_cast<size_t>(levelCount), tagTileLevelMap{});
    for (const tagMatrix& m : matrices) {
        scales[static_cast<size_t>(m.Zoom)] = scheme.CalculateScale(m.PixelX);
        out.Levels[static_cast<size_t>(m.Zoom)] =
            tagTileLevelMap{static_cast<int32_t>(m.Zoom), static_cast<int32_t>(m.Height),
                            static_cast<int32_t>(m.Width)};
    }
    for (size_t i = 0; i + 1 < matrices.size(); ++i) {
        const tagMatrix &a = matrices[i], &b = matrices[i + 1];
        const double sa = scales[static_cast<size_t>(a.Zoom)];
        const double sb = scales[static_cast<size_t>(b.Zoom)];
        for (int64_t z = a.Zoom + 1; z < b.Zoom; ++z)
            scales[static_cast<size_t>(z)] =
                sa * std::pow(sb / sa, double(z - a.Zoom) / double(b.Zoom - a.Zoom));
    }
    for (int64_t z = matrices[0].Zoom - 1; z >= 0; --z)
        scales[static_cast<size_t>(z)] = scales[static_cast<size_t>(z + 1)] / 2.0;
    for (const double s : scales) {
        if (!(s > 0.0 && s < 1.0)) {
            why = "the pixel sizes of \"" + out.Table.Name +
                  "\" give scales outside (0, 1) in its coordinate system's units";
            return false;
        }
    }
    scheme.SetScales(scales);
    scheme.SetTileTopLevel(static_cast<int>(matrices[0].Zoom));
    scheme.SetRefResolution(scheme.GetTileSize() * std::ldexp(1.0, static_cast<int>(levelCount)));

    out.Name = identifier.IsEmpty() ? out.Table.Name : identifier;
    eSqliteStmt first;
    eByteArray tile;
    if (first.Prepare(
            db, ("SELECT tile_data FROM " + eSqliteDb::QuoteName(out.Table.Name).Std() + " LIMIT 1")
                    .c_str()) &&
        first.Step() == eSqliteStmt::Row && first.ColumnBlob(0, tile))
        out.TileType = TileImageType(tile.GetData(), static_cast<size_t>(tile.GetSize()));
    info = std::move(out);
    return true;
}

eString eGeoPackageFile::DefaultTableName(const eString& path) {
    const eString title = eFile::GetTitle(path);
    bool plain = !title.IsEmpty() && !std::isdigit(static_cast<unsigned char>(title.GetAt(0)));
    for (const char ch : title.Std())
        plain = plain && (std::isalnum(static_cast<unsigned char>(ch)) || ch == '_');
    eString lower = title;
    lower.MakeLower();
    if (lower.Find("gpkg_") == 0 || lower.Find("sqlite_") == 0) plain = false;
    return plain ? title : eString("tiles");
}

namespace {

// The srs_id for the scheme's coordinate system, adding its row when the
// file has none: EPSG systems under their code (the GeoPackage habit), the
// rest under a number of this writer's own.
bool ChooseSrs(eSqliteDb& db, const ePrjCoordSys& prj, int64_t& srsId, eString& why) {
    if (prj.IsEmpty()) {
        srsId = kUndefinedCartesian;
        return true;
    }
    const int code = prj.GetEpsgCode();
    eString definition = prj.GetWKT();
    if (code > 0) {
        // The WKT of the registered system: the OGC flavour GeoPackage
        // readers expect, whatever dialect the scheme was read in.
        ePrjCoordSys registered;
        char text[32];
        std::snprintf(text, sizeof(text), "EPSG:%d", code);
        if ((registered << eWKT(text)) && !registered.GetWKT().IsEmpty())
            definition = registered.GetWKT();
        eSqliteStmt find;
        if (find.Prepare(db,
                         "SELECT srs_id FROM gpkg_spatial_ref_sys WHERE upper(organization) = "
                         "'EPSG' AND organization_coordsys_id = ?1") &&
            find.BindInt(1, code) && find.Step() == eSqliteStmt::Row) {
            srsId = find.ColumnInt(0);
            return true;
        }
    } else {
        eSqliteStmt find;
        if (find.Prepare(db, "SELECT srs_id FROM gpkg_spatial_ref_sys WHERE definition = ?1") &&
            find.BindText(1, definition) && find.Step() == eSqliteStmt::Row) {
            srsId = find.ColumnInt(0);
            return true;
        }
    }
    if (definition.IsEmpty()) {
        why = "the coordinate system has no WKT to write";
        return false;
    }
    int64_t used = 0;
    srsId = code;
    if (code <= 0 || (db.QueryInt(("SELECT count(*) FROM gpkg_spatial_ref_sys WHERE srs_id = " +
                                   std::to_string(code))
                                      .c_str(),
                                  used) &&
                      used > 0)) {
        int64_t highest = 0;
        db.QueryInt("SELECT coalesce(max(srs_id), 0) FROM gpkg_spatial_ref_sys", highest);
        srsId = std::max(kFirstOwnSrsId, highest + 1);
    }
    eSqliteStmt insert;
    const bool inserted =
        insert.Prepare(db,
                       "INSERT INTO gpkg_spatial_ref_sys (srs_name, srs_id, organization, "
                       "organization_coordsys_id, definition, description) VALUES (?1, ?2, ?3, "
                       "?4, ?5, NULL)") &&
        insert.BindText(1, prj.GetName().IsEmpty() ? eString("unnamed") : prj.GetName()) &&
        insert.BindInt(2, srsId) && insert.BindText(3, code > 0 ? "EPSG" : "NONE") &&
        insert.BindInt(4, code > 0 ? code : srsId) && insert.BindText(5, definition) &&
        insert.Step() == eSqliteStmt::Done;
    if (!inserted) why = "cannot add the coordinate system: " + db.ErrorText();
    return inserted;
}

// The rows every new GeoPackage starts with: WGS 84 and the two undefined
// systems (the format requires all three).
bool AddStandardSystems(eSqliteDb& db) {
    ePrjCoordSys wgs84;
    if (!(wgs84 << eWKT("EPSG:4326")) || wgs84.GetWKT().IsEmpty()) return false;
    eSqliteStmt insert;
    if (!insert.Prepare(db,
                        "INSERT INTO gpkg_spatial_ref_sys (srs_name, srs_id, organization, "
                        "organization_coordsys_id, definition, description) VALUES (?1, ?2, ?3, "
                        "?2, ?4, ?5)"))
        return false;
    const struct {
        const char* name;
        int64_t id;
        const char* organization;
        eString definition;
        const char* description;
    } rows[] = {
        {"WGS 84 geodetic", 4326, "EPSG", wgs84.GetWKT(),
         "longitude/latitude coordinates in decimal degrees on the WGS 84 spheroid"},
        {"Undefined cartesian SRS", kUndefinedCartesian, "NONE", "undefined",
         "undefined cartesian coordinate reference system"},
        {"Undefined geographic SRS", kUndefinedGeographic, "NONE", "undefined",
         "undefined geographic coordinate reference system"},
    };
    for (const auto& row : rows) {
        const bool ok = insert.BindText(1, row.name) && insert.BindInt(2, row.id) &&
                        insert.BindText(3, row.organization) &&
                        insert.BindText(4, row.definition) && insert.BindText(5, row.description) &&
                        insert.Step() == eSqliteStmt::Done;
        insert.Reset();
        if (!ok) return false;
    }
    return true;
}

// The tile table, its contents row, its matrix set and one matrix per level.
bool AddTileTable(eSqliteDb& db, const eString& table, const eTileCoordSys& scheme,
                  const eString& name, eString& why) {
    const int levels = static_cast<int>(scheme.GetLevelCaptions().size());
    const int tileSize = scheme.GetTileSize();
    std::vector<double> widths;
    for (int level = 0; level < levels; ++level) {
        const double width = TileWidth(scheme, level);
        if (!std::isfinite(width) || !(width > 0.0)) {
            why = "level " + eString(std::to_string(level)) + " has no tile size in map units";
            return false;
        }
        widths.push_back(width);
    }

    // The box: from the origin over whole first-level tiles that cover the
    // index bounds and the bounds (whichever reach further).
    const ePoint2D origin = scheme.GetTileOrigin();
    double right = origin.x, bottom = origin.y;
    for (const eRect2D& r : {scheme.GetIndexBounds(), scheme.GetBounds()}) {
        if (!IsWhole(r)) continue;
        right = std::max(right, r.right);
        bottom = std::min(bottom, r.bottom);
    }
    const double first = widths[0];
    const double cols0 = std::max(1.0, std::ceil((right - origin.x) / first - kWholeTileTolerance));
    const double rows0 =
        std::max(1.0, std::ceil((origin.y - bottom) / first - kWholeTileTolerance));
    const eRect2D box(origin.x, origin.y, origin.x + cols0 * first, origin.y - rows0 * first);
    const eRect2D contentsBox = IsWhole(scheme.GetBounds()) ? scheme.GetBounds() : box;

    int64_t srsId = 0;
    if (!ChooseSrs(db, scheme.GetPrjCoordSys(), srsId, why)) return false;

    // The contents' identifier is unique within the file.
    eString identifier = name.IsEmpty() ? table : name;
    int64_t taken = 0;
    eSqliteStmt probe;
    if (probe.Prepare(db, "SELECT count(*) FROM gpkg_contents WHERE identifier = ?1") &&
        probe.BindText(1, identifier) && probe.Step() == eSqliteStmt::Row)
        taken = probe.ColumnInt(0);
    probe.Finalize();
    if (taken > 0) identifier = table;

    const std::string quoted = eSqliteDb::QuoteName(table).Std();
    const std::string create = "CREATE TABLE " + quoted +
                               " (id INTEGER PRIMARY KEY AUTOINCREMENT, zoom_level INTEGER NOT "
                               "NULL, tile_column INTEGER NOT NULL, tile_row INTEGER NOT NULL, "
                               "tile_data BLOB NOT NULL, UNIQUE (zoom_level, tile_column, "
                               "tile_row))";
    eSqliteStmt contents, set, matrix;
    bool ok =
        db.Exec(create.c_str()) &&
        contents.Prepare(db,
                         "INSERT INTO gpkg_contents (table_name, data_type, identifier, "
                         "description, min_x, min_y, max_x, max_y, srs_id) VALUES (?1, 'tiles', "
                         "?2, '', ?3, ?4, ?5, ?6, ?7)") &&
        contents.BindText(1, table) && contents.BindText(2, identifier) &&
        contents.BindDouble(3, contentsBox.left) && contents.BindDouble(4, contentsBox.bottom) &&
        contents.BindDouble(5, contentsBox.right) && contents.BindDouble(6, contentsBox.top) &&
        contents.BindInt(7, srsId) && contents.Step() == eSqliteStmt::Done &&
        set.Prepare(db,
                    "INSERT INTO gpkg_tile_matrix_set (table_name, srs_id, min_x, min_y, max_x, "
                    "max_y) VALUES (?1, ?2, ?3, ?4, ?5, ?6)") &&
        set.BindText(1, table) && set.BindInt(2, srsId) && set.BindDouble(3, box.left) &&
        set.BindDouble(4, box.bottom) && set.BindDouble(5, box.right) &&
        set.BindDouble(6, box.top) && set.Step() == eSqliteStmt::Done &&
        matrix.Prepare(db,
                       "INSERT INTO gpkg_tile_matrix (table_name, zoom_level, matrix_width, "
                       "matrix_height, tile_width, tile_height, pixel_x_size, pixel_y_size) "
                       "VALUES (?1, ?2, ?3, ?4, ?5, ?5, ?6, ?6)");
    if (!ok) {
        why = "cannot be written: " + db.ErrorText();
        return false;
    }
    for (int level = 0; level < levels; ++level) {
        const double w = widths[static_cast<size_t>(level)];
        const double cols = std::max(1.0, std::ceil(box.Width() / w - kWholeTileTolerance));
        const double rows = std::max(1.0, std::ceil(box.Height() / w - kWholeTileTolerance));
        if (cols > std::numeric_limits<int32_t>::max() ||
            rows > std::numeric_limits<int32_t>::max()) {
            why = Text("level %.0f has more than 2^31 tiles across", level);
            return false;
        }
        ok = matrix.BindText(1, table) && matrix.BindInt(2, level) &&
             matrix.BindInt(3, static_cast<int64_t>(cols)) &&
             matrix.BindInt(4, static_cast<int64_t>(rows)) && matrix.BindInt(5, tileSize) &&
             matrix.BindDouble(6, w / tileSize) && matrix.Step() == eSqliteStmt::Done;
        matrix.Reset();
        if (!ok) {
            why = "cannot be written: " + db.ErrorText();
            return false;
        }
    }
    return true;
}

}  // namespace

bool eGeoPackageFile::Create(const eString& path, const eString& table, const eTileCoordSys& scheme,
                             const eString& name, eString& why) {
    eString lower = table;
    lower.MakeLower();
    if (table.IsEmpty() || lower.Find("gpkg_") == 0 || lower.Find("sqlite_") == 0 ||
        lower.Find("rtree_") == 0) {
        why = "\"" + table + "\" cannot name a tile table";
        return false;
    }
    if (scheme.GetLevelCaptions().empty() || scheme.GetTileSize() < 1) {
        why = "the tiling scheme has no levels or no tile size";
        return false;
    }

    if (eFile::IsExist(path)) {
        // Another tile table in an existing GeoPackage, in one transaction.
        eSqliteDb db;
        if (!db.Open(path, eSqliteDb::OpenReadWrite, eTileDatabase::kBusyTimeoutMs)) {
            why = "cannot be opened: " + db.ErrorText();
            return false;
        }
        if (!HasCoreTables(db)) {
            why = "already exists and is not a GeoPackage; not overwriting it";
            return false;
        }
        int64_t listed = 0;
        eSqliteStmt probe;
        if (!db.ObjectType(table).IsEmpty() ||
            (probe.Prepare(db,
                           "SELECT count(*) FROM gpkg_contents WHERE lower(table_name) = "
                           "lower(?1)") &&
             probe.BindText(1, table) && probe.Step() == eSqliteStmt::Row &&
             (listed = probe.ColumnInt(0)) > 0)) {
            why = "already holds a table \"" + table + "\"";
            return false;
        }
        probe.Finalize();
        if (!db.Exec("BEGIN IMMEDIATE")) {
            why = "cannot be written: " + db.ErrorText();
            return false;
        }
        if (!AddTileTable(db, table, scheme, name, why) || !db.Exec("COMMIT")) {
            if (why.IsEmpty()) why = "cannot be written: " + db.ErrorText();
            db.Exec("ROLLBACK");
            return false;
        }
        return true;
    }

    // A new file, built under a temporary name and renamed into place.
    const eString temp = path + ".temp";
    eFile::Delete(temp);
    bool ok = false;
    {
        eSqliteDb db;
        if (!db.Open(temp, eSqliteDb::OpenCreate, eTileDatabase::kBusyTimeoutMs)) {
            why = "cannot be created: " + db.ErrorText();
            return false;
        }
        char pragmas[128];
        std::snprintf(pragmas, sizeof(pragmas),
                      "PRAGMA application_id = %" PRId64 "; PRAGMA user_version = %" PRId64 ";",
                      kApplicationId, kUserVersion);
        ok = db.Exec(pragmas) && db.Exec("BEGIN") && db.Exec(kCoreTables) && AddStandardSystems(db);
        if (ok) {
            ok = AddTileTable(db, table, scheme, name, why) && db.Exec("COMMIT");
        }
        if (!ok && why.IsEmpty()) why = "cannot be written: " + db.ErrorText();
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

void eGeoPackageFile::Check(eSqliteDb& db, const eString& table, std::vector<eString>& warnings) {
    auto note = [&](const eString& text) { warnings.push_back(text); };
    int64_t id = 0, version = 0;
    if (!db.QueryInt("PRAGMA application_id", id) ||
        (id != kApplicationId && id != kApplicationId10 && id != kApplicationId11))
        note("application_id is not \"GPKG\": other readers may refuse the file");
    if (id == kApplicationId && db.QueryInt("PRAGMA user_version", version) && version < 10200)
        note("user_version names no GeoPackage version 1.2 or later");
    int64_t count = 0;
    if (!db.QueryInt("SELECT count(*) FROM gpkg_spatial_ref_sys WHERE srs_id IN (-1, 0, 4326)",
                     count) ||
        count < 3)
        note("gpkg_spatial_ref_sys lacks one of the required systems -1, 0 and 4326");
    // The contents' box is read in the matrix set's system only when both agree.
    eSqliteStmt srs;
    if (srs.Prepare(db,
                    "SELECT count(*) FROM gpkg_contents c JOIN gpkg_tile_matrix_set s ON "
                    "s.table_name = c.table_name WHERE c.table_name = ?1 AND c.srs_id IS NOT "
                    "s.srs_id") &&
        srs.BindText(1, table) && srs.Step() == eSqliteStmt::Row && srs.ColumnInt(0) > 0)
        note("gpkg_contents and gpkg_tile_matrix_set name different systems for \"" + table +
             "\"; the contents' box is ignored");
}

}  // namespace TVK
