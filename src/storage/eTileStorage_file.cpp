// eTileStorage: caches kept in one file (MBTiles, GeoPackage), opened from
// the file itself or created from the storage's scheme, and bulk writing.
#include <string>

#include "eTileStorage.h"
#include "platform/eFile.h"
#include "storage/eCacheLayout.h"
#include "storage/eTileFile.h"
#include "storage/eTileFileLayout.h"

namespace TVK {

namespace {

bool EndsWithNoCase(const eString& text, const char* tail) {
    const eInt length = static_cast<eInt>(std::char_traits<char>::length(tail));
    return text.GetLength() >= length &&
           text.Mid(text.GetLength() - length).CompareNoCase(tail) == 0;
}

// The kind a file name announces; false for a name of neither kind.
bool KindOfName(const eString& path, eTileStorage::EmFormat& kind) {
    if (EndsWithNoCase(path, ".mbtiles")) {
        kind = eTileStorage::MBTiles;
        return true;
    }
    if (EndsWithNoCase(path, ".gpkg")) {
        kind = eTileStorage::GeoPackage;
        return true;
    }
    return false;
}

// The folder tile calls report as the cache's directory: the file's own, or
// the working folder for a bare file name.
eString FolderOf(const eString& path) {
    const eString dir = eFile::GetDir(path);
    return dir.IsEmpty() ? eString("./") : dir;
}

}  // namespace

unsigned char eTileStorage::FromTileFile(const eString& name) {
    eString path, table;
    SplitTileFileName(name, path, table);
    m_strTileFileError.Empty();
    if (!eFile::IsFile(path)) {
        m_strTileFileError = "no such file";
        return 0;
    }
    eSqliteDb db;
    if (!db.Open(path, eSqliteDb::OpenReadOnly, eTileDatabase::kBusyTimeoutMs)) {
        m_strTileFileError = "cannot be opened: " + db.ErrorText();
        return 0;
    }
    EmFormat kind = Original;
    if (!KindOfName(path, kind)) {
        // Another extension: the tables tell (a GeoPackage also may hold a
        // "tiles" table of its own).
        if (!db.ObjectType("gpkg_contents").IsEmpty())
            kind = GeoPackage;
        else if (!db.ObjectType("tiles").IsEmpty())
            kind = MBTiles;
        else {
            m_strTileFileError = "neither an MBTiles file nor a GeoPackage with tiles";
            return 0;
        }
    }
    if (kind == MBTiles && !table.IsEmpty()) {
        m_strTileFileError = "?table= names a tile table of a GeoPackage; MBTiles has one";
        return 0;
    }
    tagTileFileInfo info;
    const bool read = kind == GeoPackage
                          ? eGeoPackageFile::Read(db, table, info, m_strTileFileError)
                          : eMBTilesFile::Read(db, path, info, m_strTileFileError);
    db.Close();
    if (!read) return 0;

    m_TileCoordSys = info.Scheme;
    m_strName = info.Name;
    m_emTileType = info.TileType;
    m_emTileNaming = Native;
    m_strArcGISTileFormat.Empty();
    m_bArcGISStructure = false;
    m_strTileFile = kind == GeoPackage ? path + "?table=" + info.Table.Name : path;
    SetCacheFormat(kind);
    SetFileDirectory(FolderOf(path));
    return 1;
}

unsigned char eTileStorage::CreateTileFile(const eString& name) {
    eString path, table;
    SplitTileFileName(name, path, table);
    m_strTileFileError.Empty();
    EmFormat kind = Original;
    if (!KindOfName(path, kind)) {
        m_strTileFileError = "the file name must end in .mbtiles or .gpkg";
        return 0;
    }
    if (kind == MBTiles && !table.IsEmpty()) {
        m_strTileFileError = "?table= names a tile table of a GeoPackage; MBTiles has one";
        return 0;
    }
    const eString folder = eFile::GetDir(path);
    if (!folder.IsEmpty() && !eFile::MkDirEx(folder)) {
        m_strTileFileError = "its folder cannot be created";
        return 0;
    }
    if (kind == GeoPackage) {
        if (table.IsEmpty()) table = eGeoPackageFile::DefaultTableName(path);
        if (!eGeoPackageFile::Create(path, table, m_TileCoordSys, m_strName, m_strTileFileError))
            return 0;
    } else if (!eMBTilesFile::Create(path, m_TileCoordSys, m_strName, m_emTileType,
                                     m_strTileFileError)) {
        return 0;
    }
    m_emTileNaming = Native;
    m_bArcGISStructure = false;
    m_strTileFile = kind == GeoPackage ? path + "?table=" + table : path;
    SetCacheFormat(kind);
    SetFileDirectory(FolderOf(path));
    return 1;
}

const eString& eTileStorage::GetTileFile() const { return m_strTileFile; }

const eString& eTileStorage::GetTileFileError() const { return m_strTileFileError; }

void eTileStorage::BeginBulkWrite() { m_pLayout->BeginBulkWrite(); }

unsigned char eTileStorage::EndBulkWrite() { return m_pLayout->EndBulkWrite(); }

}  // namespace TVK
