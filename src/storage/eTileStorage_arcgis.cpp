// Import of an ArcGIS tile cache's configuration: the XML file whose root is
// CacheInfo (coordinate system, origin, tile size, DPI, levels of detail,
// tile format, storage layout) and, beside it, the extent file with the same
// name and the extension "cdi" (an EnvelopeN, optionally followed by our own
// IndexBounds element).
//
// The import keeps ArcGIS's own names: an exploded cache is read with
// ArcGIS's file naming (TileNaming ArcGIS) and its CacheTileFormat text, and
// new V1 bundles of a compact one take ArcGIS's structure.
//
// Every element is optional to the reader; the missing ones that make the
// result 0 are the coordinate system, the LODInfos, the StorageFormat and
// the envelope. Whatever could be read is applied all the same, and the
// file's folder becomes the cache's root folder whenever the configuration
// file loaded. Nothing here closes open bundles.
//
// ArcGIS caches come from Windows, where "Conf.xml" and "conf.cdi" are the
// same family of names: when the extent file is not found under its exact
// name, a file of the same folder whose name differs only in letter case is
// used.
#include <cmath>
#include <vector>

#include "eTileStorage.h"
#include "platform/eAssert.h"
#include "platform/eDirList.h"
#include "platform/eFile.h"
#include "platform/eMarkup.h"
#include "platform/ePrjCoordSys.h"
#include "storage/config_names.h"
#include "storage/config_values.h"

namespace TVK {

namespace {

using namespace config;

constexpr const char* kAssertSource = "eTileStorage";

// eSpatialRef::GetSpatialRefType of a geographic system.
constexpr int kGeographic = 1;
// eProjection::GetProjectionType of web mercator (auxiliary sphere).
constexpr int kWebMercator = 43045;
// Half the web mercator world's width in metres: pi x 6378137.
constexpr double kWebMercatorHalfWorld = 20037508.342789244;

// SpatialReference / WKT; false when it is missing or refused.
bool ReadSpatialReference(eMarkup& doc, eTileCoordSys& scheme) {
    if (!EnterChild(doc, "SpatialReference")) return false;
    bool ok = false;
    eString wkt;
    if (ChildText(doc, "WKT", wkt)) {
        // A refused text leaves the coordinate system as it was; the cache
        // is then not fully described, so the import reports it.
        ePrjCoordSys prj;
        if (prj << eWKT(wkt, 0)) {
            scheme.SetPrjCoordSys(prj);
            ok = true;
        }
    }
    doc.OutOfElem();
    return ok;
}

// LODInfos: one level per LODInfo, its scale from its resolution at the
// file's DPI. False when there is no LODInfos.
bool ReadLevelsOfDetail(eMarkup& doc, eTileCoordSys& scheme) {
    if (!EnterChild(doc, "LODInfos")) return false;
    // dots per millimetre x one map unit in ten-thousandths of a logical
    // unit; the representative fraction of r map units per pixel is then
    // 10 / (r x this).
    const double pixelFactor = scheme.DPI * scheme.UnitsRatio;
    std::vector<tagLevelCaption>& captions = scheme.GetLevelCaptions();
    captions.clear();
    doc.ResetChildPos();
    while (doc.FindChildElem("LODInfo")) {
        if (!doc.IntoElem()) break;
        tagLevelCaption caption;
        int level = 0;
        ChildInt(doc, "LevelID", level);
        double resolution = 0.0;
        ChildDouble(doc, "Resolution", resolution);
        caption.Level = level;
        caption.Scale = 10.0 / (resolution * pixelFactor);
        captions.push_back(caption);
        doc.OutOfElem();
    }
    doc.OutOfElem();
    const int count = static_cast<int>(captions.size());
    scheme.SetRefResolution(ReferenceResolution(scheme.GetTileSize(), count));
    // The count, whatever LevelID numbers the entries carry.
    scheme.SetTileBottomLevel(count);
    return true;
}

// Everything below TileCacheInfo (the current element); false when a
// required part is missing.
bool ReadTileCacheInfo(eMarkup& doc, eTileCoordSys& scheme) {
    bool ok = ReadSpatialReference(doc, scheme);

    ePoint2D origin;
    if (ChildPoint(doc, "TileOrigin", origin)) scheme.SetTileOrigin(origin);
    // Square tiles: the larger of the two edges.
    int tileSize = 0;
    int number = 0;
    if (ChildInt(doc, "TileCols", number)) tileSize = number;
    if (ChildInt(doc, "TileRows", number) && number > tileSize) tileSize = number;
    scheme.SetTileSize(tileSize);
    double dpi = 0.0;
    if (ChildDouble(doc, "DPI", dpi)) scheme.SetDPI(dpi);
    if (ChildInt(doc, "TileTopLevel", number)) scheme.SetTileTopLevel(number);

    if (!ReadLevelsOfDetail(doc, scheme)) ok = false;
    return ok;
}

// CacheStorageInfo (the current element); false when StorageFormat is missing.
bool ReadCacheStorageInfo(eMarkup& doc, eTileStorage& storage) {
    bool ok = true;
    eString text;
    if (ChildText(doc, "StorageFormat", text)) {
        eTileStorage::EmFormat format = eTileStorage::Original;
        if (ArcGISStorageFormatFromName(text, format)) {
            storage.SetCacheFormat(format);
            // An exploded ArcGIS cache names its files ArcGIS's way; the
            // naming also applies to compact ones, in case the cache is
            // later switched to (or copied as) the exploded layout.
            storage.SetTileNaming(eTileStorage::ArcGIS);
        } else
            Eassert("FALSE", kAssertSource, __LINE__);
    } else {
        ok = false;
    }
    // A group size of 0 or less would divide tile numbers by zero.
    int packetSize = 0;
    if (ChildInt(doc, "PacketSize", packetSize) && packetSize > 0)
        storage.SetTileGroupSize(packetSize);
    return ok;
}

// Index bounds when the extent file names none: the whole world of the
// usual tiling schemes, else the cache's bounds.
eRect2D DefaultIndexBounds(const eTileCoordSys& scheme) {
    const ePrjCoordSys& prj = scheme.GetPrjCoordSys();
    if (prj.GetSpatialRefType() == kGeographic) return eRect2D(-180.0, 90.0, 180.0, -90.0);
    if (prj.GetProjection().GetProjectionType() == kWebMercator)
        return eRect2D(-kWebMercatorHalfWorld, kWebMercatorHalfWorld, kWebMercatorHalfWorld,
                       -kWebMercatorHalfWorld);
    return scheme.GetBounds();
}

// The extent file; false when it has no EnvelopeN (or cannot be loaded).
bool ReadExtent(const eString& configPath, eTileCoordSys& scheme) {
    eString extentPath;
    eMarkup doc;
    const bool loaded =
        eFindFileNoCase(eFile::ChangeExt(configPath, "cdi"), extentPath) && doc.Load(extentPath);

    bool ok = false;
    if (loaded && doc.FindElem("EnvelopeN")) {
        scheme.SetBounds(ReadRect(doc, "XMin", "YMin", "XMax", "YMax"));
        ok = true;
    }
    // IndexBounds, when present, follows EnvelopeN at the top level.
    if (loaded && doc.FindElem("IndexBounds")) {
        scheme.SetIndexBounds(ReadRect(doc, "Left", "Bottom", "Right", "Top"));
    } else {
        scheme.SetIndexBounds(DefaultIndexBounds(scheme));
    }
    return ok;
}

}  // namespace

unsigned char eTileStorage::FromArcGISConfigFile(const eString& path) {
    eMarkup doc;
    if (!doc.Load(path)) return 0;
    unsigned char result = 1;
    if (doc.FindElem("CacheInfo")) {
        if (EnterChild(doc, "TileCacheInfo")) {
            if (!ReadTileCacheInfo(doc, m_TileCoordSys)) result = 0;
            doc.OutOfElem();
        }
        eString tileFormat;
        if (EnterChild(doc, "TileImageInfo")) {
            // Any CacheTileFormat (JPEG, PNG, PNG8, PNG24, PNG32, MIXED) is
            // read as PNG: the library never decodes tiles. The text itself
            // is kept: it names the files of an exploded cache (jpg / png).
            if (ChildText(doc, "CacheTileFormat", tileFormat)) SetTileType(eFileType::PNG);
            doc.OutOfElem();
        }
        SetArcGISTileFormat(tileFormat);
        // ArcGIS's own bundles for every V1 bundle this cache gets from now on.
        SetArcGISStructure(1);
        if (EnterChild(doc, "CacheStorageInfo")) {
            if (!ReadCacheStorageInfo(doc, *this)) result = 0;
            doc.OutOfElem();
        }
    }
    SetFileDirectory(ConfigFolder(path));
    SetName(eFile::GetTitle(path));
    if (!ReadExtent(path, m_TileCoordSys)) result = 0;
    return result;
}

}  // namespace TVK
