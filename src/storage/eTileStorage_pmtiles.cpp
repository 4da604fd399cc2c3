// eTileStorage: PMTiles archives, local or remote, opened with their own
// scheme, and new ones created for one pass of saves.
#include <nlohmann/json.hpp>

#include <cmath>

#include "eTileStorage.h"
#include "platform/eFile.h"
#include "storage/ePMTilesLayout.h"
#include "storage/eWebMercatorGrid.h"

namespace TVK {

namespace {

// PMTiles names no tile size: raster archives are usually of 256 pixels.
constexpr int kDefaultTileSize = 256;

eFileType::EmType TypeOfHeader(unsigned char type) {
    switch (type) {
        case pmtiles::TileMvt: return eFileType::PBF;
        case pmtiles::TilePng: return eFileType::PNG;
        case pmtiles::TileJpeg: return eFileType::JPG;
        default: return eFileType::DATA;  // WebP, AVIF, MapLibre tiles: bytes never decoded
    }
}

void HeaderOfType(eFileType::EmType type, ePMTilesWriter::tagSettings& settings) {
    switch (type) {
        case eFileType::PBF:
            settings.TileType = pmtiles::TileMvt;
            settings.Format = "pbf";
            break;
        case eFileType::PNG:
            settings.TileType = pmtiles::TilePng;
            settings.Format = "png";
            break;
        case eFileType::JPG:
            settings.TileType = pmtiles::TileJpeg;
            settings.Format = "jpg";
            break;
        default: settings.TileType = pmtiles::TileUnknown; break;
    }
}

// The folder tile calls report as the cache's directory: the file's own
// (the working folder for a bare name), or the URL's up to its last '/'.
eString FolderOf(const eString& name) {
    const eString dir = eFile::GetDir(name);
    return dir.IsEmpty() ? eString("./") : dir;
}

}  // namespace

unsigned char eTileStorage::FromPMTilesFile(const eString& name) {
    eString why;
    std::unique_ptr<ePMTilesReader> reader = OpenPMTiles(name, why);
    if (!reader) {
        m_strTileFileError = why;
        return 0;
    }
    const pmtiles::tagHeader& h = reader->GetHeader();
    if (h.MaxZoom > pmtiles::kMaxZoom || h.MinZoom > h.MaxZoom) {
        m_strTileFileError = name + ": its header names levels " + std::to_string(h.MinZoom) + "-" +
                             std::to_string(h.MaxZoom);
        return 0;
    }
    const nlohmann::json meta = nlohmann::json::parse(reader->GetMetadata(), nullptr, false);
    auto text = [&meta](const char* key) {
        return meta.is_object() && meta.contains(key) && meta[key].is_string()
                   ? meta[key].get<std::string>()
                   : std::string();
    };
    int tileSize = kDefaultTileSize;
    for (const char* key : {"tilesize", "tileSize", "tile_size"}) {
        if (meta.is_object() && meta.contains(key) && meta[key].is_number_integer()) {
            const int size = meta[key].get<int>();
            if (size > 0 && size <= 8192) tileSize = size;
        }
    }

    eRect2D bounds = webmercator::World();
    eRect2D map;
    if (webmercator::LonLatToMap(pmtiles::FromE7(h.MinLonE7), pmtiles::FromE7(h.MinLatE7),
                                 pmtiles::FromE7(h.MaxLonE7), pmtiles::FromE7(h.MaxLatE7), map))
        bounds = map;
    const eTileCoordSys scheme =
        webmercator::MakeScheme(tileSize, h.MaxZoom + 1, h.MinZoom, bounds);

    m_TileCoordSys = scheme;
    const std::string title = text("name");
    m_strName = title.empty() ? eFile::GetTitle(name) : eString(title);
    m_emTileType = TypeOfHeader(h.TileType);
    m_emTileNaming = Native;
    m_strArcGISTileFormat.Empty();
    m_bArcGISStructure = false;
    m_strTileFile = name;
    SetCacheFormat(PMTiles);
    SetFileDirectory(FolderOf(name));
    static_cast<ePMTilesLayout&>(*m_pLayout).AdoptReader(std::move(reader));
    return 1;
}

unsigned char eTileStorage::CreatePMTilesFile(const eString& path) {
    if (IsRemoteName(path)) {
        m_strTileFileError = path + ": archives over HTTP are read-only";
        return 0;
    }
    std::vector<int> zooms;
    if (!WebMercatorZooms(m_TileCoordSys, zooms, m_strTileFileError)) return 0;
    if (zooms.empty()) {
        m_strTileFileError = "the tiling scheme has no levels";
        return 0;
    }
    const eString folder = eFile::GetDir(path);
    if (!folder.IsEmpty() && !eFile::MkDirEx(folder)) {
        m_strTileFileError = path + ": its folder cannot be created";
        return 0;
    }
    ePMTilesWriter::tagSettings settings;
    HeaderOfType(m_emTileType, settings);
    settings.Name = (m_strName.IsEmpty() ? eFile::GetTitle(path) : m_strName).Std();
    auto writer = std::make_unique<ePMTilesWriter>();
    if (!writer->Begin(path, settings)) {
        m_strTileFileError = writer->GetLastError();
        return 0;
    }
    m_emTileNaming = Native;
    m_bArcGISStructure = false;
    m_strTileFile = path;
    SetCacheFormat(PMTiles);
    SetFileDirectory(FolderOf(path));
    static_cast<ePMTilesLayout&>(*m_pLayout).AdoptWriter(std::move(writer));
    return 1;
}

}  // namespace TVK
