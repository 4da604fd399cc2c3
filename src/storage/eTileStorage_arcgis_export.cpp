// Export of a cache's description in ArcGIS's form: conf.xml (root CacheInfo)
// and, beside it, the extent file (same name, extension "cdi", an EnvelopeN),
// so that ArcGIS and the readers that follow it open the cache, and so that
// FromArcGISConfigFile reads the same scheme back.
//
// The documents are built as text, because ArcGIS's files carry namespace and
// xsi:type attributes that the markup builder has no call for, then parsed
// back (a check that the text is well-formed) and saved through eMarkup,
// which replaces each file atomically. Numbers are written in their shortest
// exact decimal form, independent of the process locale.
#include <string>

#include "eTileStorage.h"
#include "platform/eFile.h"
#include "platform/eMarkup.h"
#include "platform/ePrjCoordSys.h"
#include "storage/config_names.h"
#include "storage/config_values.h"

namespace TVK {

namespace {

using namespace config;

// The namespaces ArcGIS writes on its root elements.
constexpr const char* kNamespaces =
    " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\""
    " xmlns:xs=\"http://www.w3.org/2001/XMLSchema\""
    " xmlns:typens=\"http://www.esri.com/schemas/ArcGIS/10.1\"";

// ArcGIS's packet size: rows and columns per bundle.
constexpr int kPacketSize = 128;
// ArcGIS's defaults for what the storage does not hold.
constexpr int kCompressionQuality = 75;

void AppendEscaped(std::string& out, const std::string& text) {
    for (const char ch : text) {
        switch (ch) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            default: out += ch; break;
        }
    }
}

void AppendElem(std::string& out, const char* name, const eString& text) {
    out += '<';
    out += name;
    out += '>';
    AppendEscaped(out, text.Std());
    out += "</";
    out += name;
    out += '>';
}

void AppendSpatialReference(std::string& out, const ePrjCoordSys& prj) {
    eWKT wkt;
    prj >> wkt;  // empty for an unset system
    out += prj.IsGeographic() ? "<SpatialReference xsi:type=\"typens:GeographicCoordinateSystem\">"
                              : "<SpatialReference xsi:type=\"typens:ProjectedCoordinateSystem\">";
    AppendElem(out, "WKT", wkt.Text);
    if (prj.GetEpsgCode() > 0) {
        AppendElem(out, "WKID", FormatInt(prj.GetEpsgCode()));
        AppendElem(out, "LatestWKID", FormatInt(prj.GetEpsgCode()));
    }
    out += "</SpatialReference>";
}

// CacheTileFormat: the text the cache came with, else the tile type's kind.
eString TileFormatText(const eString& arcgisFormat, eFileType::EmType type) {
    if (!arcgisFormat.IsEmpty()) return arcgisFormat;
    return eString(type == eFileType::JPG ? "JPEG" : "PNG");
}

std::string ConfigText(const eTileCoordSys& scheme, const char* storageFormat,
                       const eString& tileFormat) {
    std::string out;
    out.reserve(4096);
    out += "<CacheInfo xsi:type=\"typens:CacheInfo\"";
    out += kNamespaces;
    out += "><TileCacheInfo xsi:type=\"typens:TileCacheInfo\">";
    AppendSpatialReference(out, scheme.GetPrjCoordSys());

    const ePoint2D origin = scheme.GetTileOrigin();
    out += "<TileOrigin xsi:type=\"typens:PointN\">";
    AppendElem(out, "X", FormatShortest(origin.x));
    AppendElem(out, "Y", FormatShortest(origin.y));
    out += "</TileOrigin>";
    const eString tileSize = FormatInt(scheme.GetTileSize());
    AppendElem(out, "TileCols", tileSize);
    AppendElem(out, "TileRows", tileSize);
    const eString dpi = FormatShortest(scheme.GetDPI());
    AppendElem(out, "DPI", dpi);
    AppendElem(out, "PreciseDPI", dpi);

    // The inverse of the import: a level of representative fraction s at
    // DPI dots per millimetre shows r = 10 / (s x DPI x UnitsRatio) map
    // units per pixel.
    const double pixelFactor = scheme.DPI * scheme.UnitsRatio;
    out += "<LODInfos xsi:type=\"typens:ArrayOfLODInfo\">";
    for (const tagLevelCaption& caption : scheme.GetLevelCaptions()) {
        out += "<LODInfo xsi:type=\"typens:LODInfo\">";
        AppendElem(out, "LevelID", FormatInt(caption.Level));
        AppendElem(out, "Scale", FormatShortest(1.0 / caption.Scale));
        AppendElem(out, "Resolution", FormatShortest(10.0 / (caption.Scale * pixelFactor)));
        out += "</LODInfo>";
    }
    out += "</LODInfos></TileCacheInfo>";

    out += "<TileImageInfo xsi:type=\"typens:TileImageInfo\">";
    AppendElem(out, "CacheTileFormat", tileFormat);
    AppendElem(out, "CompressionQuality", FormatInt(kCompressionQuality));
    AppendElem(out, "Antialiasing", "false");
    out += "</TileImageInfo>";

    out += "<CacheStorageInfo xsi:type=\"typens:CacheStorageInfo\">";
    AppendElem(out, "StorageFormat", storageFormat);
    AppendElem(out, "PacketSize", FormatInt(kPacketSize));
    out += "</CacheStorageInfo></CacheInfo>";
    return out;
}

std::string ExtentText(const eTileCoordSys& scheme) {
    const eRect2D bounds = scheme.GetBounds();
    std::string out;
    out.reserve(2048);
    out += "<EnvelopeN xsi:type=\"typens:EnvelopeN\"";
    out += kNamespaces;
    out += '>';
    AppendElem(out, "XMin", FormatShortest(bounds.left));
    AppendElem(out, "YMin", FormatShortest(bounds.bottom));
    AppendElem(out, "XMax", FormatShortest(bounds.right));
    AppendElem(out, "YMax", FormatShortest(bounds.top));
    AppendSpatialReference(out, scheme.GetPrjCoordSys());
    out += "</EnvelopeN>";
    return out;
}

bool SaveText(const std::string& text, const eString& path) {
    eMarkup doc;
    doc.SetEncoding(eMarkup::kCharsetUtf8);
    return doc.SetDoc(eString(text)) && doc.Save(path);
}

}  // namespace

unsigned char eTileStorage::ToArcGISConfigFile(const eString& path) {
    const char* storageFormat = ArcGISStorageFormatName(m_emCacheFormat);
    if (*storageFormat == '\0' || path.IsEmpty()) return 0;
    // An exploded ArcGIS cache is read with ArcGIS's tile names; describing a
    // tree of this system's own names as one would lose every tile.
    if (m_emCacheFormat == Original && m_emTileNaming != ArcGIS) return 0;
    const std::string config = ConfigText(m_TileCoordSys, storageFormat,
                                          TileFormatText(m_strArcGISTileFormat, m_emTileType));
    const std::string extent = ExtentText(m_TileCoordSys);

    const eString folder = ConfigFolder(path);
    if (!eFile::IsExist(folder)) eFile::MkDirEx(folder);  // a failure shows in the saves
    // The extent first: a reader finding the new conf.xml finds its extent.
    if (!SaveText(extent, eFile::ChangeExt(path, "cdi")) || !SaveText(config, path)) return 0;
    SetFileDirectory(folder);
    SetArcGISStructure(1);
    return 1;
}

}  // namespace TVK
