// The cache's own description file: ToConfigFile writes the storage's
// settings and tiling scheme as XML, FromConfigFile reads them back.
//
// Tree: CacheInfo / TileCacheInfo (name, coordinate system, scheme, tile
// type, the settings kept for users, levels) and CacheInfo / TileStorageInfo
// (layout, packet size, and for caches in ArcGIS's naming the naming and
// ArcGIS's tile format text). Every element is always written; on reading, a
// missing element leaves its setting as it was, and so does an element whose
// number does not parse. Numbers are written and read in the C locale
// whatever the process locale is (see config_values.h).
//
// Both operations leave the open-bundle pool as it is and make the file's
// folder the cache's root folder: the writer after a successful save, the
// reader after every successful load, even when the result is 0.
#include <cmath>
#include <vector>

#include "eTileStorage.h"
#include "platform/eAssert.h"
#include "platform/eFile.h"
#include "platform/eMarkup.h"
#include "platform/ePrjCoordSys.h"
#include "storage/config_names.h"
#include "storage/config_values.h"

namespace TVK {

namespace {

using namespace config;

constexpr const char* kAssertSource = "eTileStorage";

eString FormatUnsigned(unsigned int value) {
    // Scale names can pass 2^31 for very small scales; "%d" would print them
    // negative.
    return eString(std::to_string(value));
}

void AddRect(eMarkup& doc, const char* name, const eRect2D& rect) {
    doc.AddChildElem(name);
    doc.IntoElem();
    doc.AddChildElem("Left", FormatTrimmed(rect.left));
    doc.AddChildElem("Top", FormatTrimmed(rect.top));
    doc.AddChildElem("Right", FormatTrimmed(rect.right));
    doc.AddChildElem("Bottom", FormatTrimmed(rect.bottom));
    doc.OutOfElem();
}

// Reads a bool child; a text other than "True"/"False" is a broken file:
// report it and keep the setting.
template <typename Setter>
void ReadBool(eMarkup& doc, const char* name, Setter set) {
    eString text;
    if (!ChildText(doc, name, text)) return;
    bool value = false;
    if (ParseBool(text, value))
        set(value ? 1 : 0);
    else
        Eassert("FALSE", kAssertSource, __LINE__);
}

// Reads the coordinate system; false when the file's form is refused.
bool ReadCoordSys(eMarkup& doc, eTileCoordSys& scheme) {
    if (EnterChild(doc, "SpatialReference")) {
        bool ok = true;
        eString wkt;
        if (ChildText(doc, "WKT", wkt)) {
            if (wkt.IsEmpty()) {
                // What the writer writes for a storage without a coordinate
                // system: read it back as none.
                scheme.SetPrjCoordSys(ePrjCoordSys());
            } else {
                ePrjCoordSys prj;
                if (prj << eWKT(wkt, 0))
                    scheme.SetPrjCoordSys(prj);
                else
                    ok = false;
            }
        }
        doc.OutOfElem();
        return ok;
    }
    if (EnterChild(doc, "CoordinateReferenceSystem")) {
        // This form's failure is not the file's failure: the element is the
        // coordinate library's business.
        if (scheme.GetPrjCoordSys().FromXML(doc.GetSubDoc(), ePrjCoordSys::kXmlFormat))
            scheme.AdjustUnitsRatio();
        doc.OutOfElem();
        return true;
    }
    return false;
}

void ReadTileRuler(eMarkup& doc, eTileStorage& storage) {
    eString text;
    if (ChildText(doc, "URLFormat", text)) storage.SetTileURLFormat(text);
    ReadBool(doc, "LevelMode", [&](unsigned char v) { storage.SetTileLevelMode(v); });
    ReadBool(doc, "LevelInverseMode", [&](unsigned char v) { storage.SetLevelInverseMode(v); });
    ReadBool(doc, "PositionInverseMode", [&](unsigned char v) { storage.SetPosInverseMode(v); });
    ReadBool(doc, "RowInverseMode", [&](unsigned char v) { storage.SetRowInverseMode(v); });
    ReadBool(doc, "CoordMode", [&](unsigned char v) { storage.SetTileCoordMode(v); });
    ReadBool(doc, "BoundMode", [&](unsigned char v) { storage.SetTileBoundMode(v); });
    if (ChildText(doc, "IndexRadixFormat", text)) {
        int radix = 0;
        if (ParseInt(text, radix))
            storage.SetTileIndexRadixFormat(radix);
        else if (text.IsEmpty())
            storage.SetTileIndexRadixFormat(10);
    }
}

// Reads the scale list; false when there is none. Levels are numbered in
// list order, skipping entries without a positive value.
bool ReadLevels(eMarkup& doc, eTileCoordSys& scheme, bool bottomLevelRead) {
    if (!EnterChild(doc, "Levels")) return false;
    std::vector<tagLevelCaption>& captions = scheme.GetLevelCaptions();
    captions.clear();
    doc.ResetChildPos();
    while (doc.FindChildElem("Level")) {
        if (!doc.IntoElem()) break;
        double value = 0.0;
        if (ChildDouble(doc, "Value", value) && value > 0.0) {
            tagLevelCaption caption;
            caption.Scale = value;
            caption.Level = static_cast<int32_t>(captions.size());
            captions.push_back(caption);
        }
        doc.OutOfElem();
    }
    doc.OutOfElem();
    const int count = static_cast<int>(captions.size());
    scheme.SetRefResolution(ReferenceResolution(scheme.GetTileSize(), count));
    if (!bottomLevelRead) scheme.SetTileBottomLevel(count);
    return true;
}

// Everything below TileCacheInfo (the current element); false when a
// required part is missing or refused. Reads on after a failure.
bool ReadTileCacheInfo(eMarkup& doc, eTileStorage& storage) {
    eTileCoordSys& scheme = storage.GetTileCoordSys();
    bool ok = true;
    eString text;
    if (ChildText(doc, "Name", text)) storage.SetName(text);
    if (ChildText(doc, "Provider", text)) storage.SetServiceProvider(text);
    if (!ReadCoordSys(doc, scheme)) ok = false;

    ePoint2D origin;
    if (ChildPoint(doc, "TileOrigin", origin)) scheme.SetTileOrigin(origin);
    int number = 0;
    if (ChildInt(doc, "TileSize", number)) scheme.SetTileSize(number);
    double real = 0.0;
    if (ChildDouble(doc, "DPI", real)) scheme.SetDPI(real);
    if (EnterChild(doc, "Bounds")) {
        scheme.SetBounds(ReadRect(doc, "Left", "Bottom", "Right", "Top"));
        doc.OutOfElem();
    }
    if (EnterChild(doc, "IndexBounds")) {
        scheme.SetIndexBounds(ReadRect(doc, "Left", "Bottom", "Right", "Top"));
        doc.OutOfElem();
    } else {
        scheme.SetIndexBounds(scheme.GetBounds());
    }
    if (ChildText(doc, "TileType", text)) storage.SetTileType(eTileStorage::GetFileType(text));
    if (EnterChild(doc, "TileRuler")) {
        ReadTileRuler(doc, storage);
        doc.OutOfElem();
    }
    ReadBool(doc, "LevelZoomMode", [&](unsigned char v) { scheme.SetLevelZoomMode(v); });
    if (ChildInt(doc, "TileTopLevel", number)) scheme.SetTileTopLevel(number);
    bool bottomLevelRead = false;
    if (ChildInt(doc, "TileBottomLevel", number)) {
        scheme.SetTileBottomLevel(number);
        bottomLevelRead = true;
    }
    if (!ReadLevels(doc, scheme, bottomLevelRead)) ok = false;
    return ok;
}

void ReadTileStorageInfo(eMarkup& doc, eTileStorage& storage) {
    eString text;
    if (ChildText(doc, "StorageFormat", text)) {
        eTileStorage::EmFormat format = eTileStorage::Original;
        if (StorageFormatFromName(text.MakeLower(), format))
            storage.SetCacheFormat(format);
        else
            Eassert("FALSE", kAssertSource, __LINE__);
    }
    // PacketSize is not read: the group size is the library's own choice
    // for a cache it describes, not the file's.

    // The writer leaves these two out when they hold their defaults, so a
    // missing element means the default here, not "unchanged".
    eTileStorage::EmNaming naming = eTileStorage::Native;
    if (ChildText(doc, "TileNaming", text) && !TileNamingFromName(text, naming)) {
        Eassert("FALSE", kAssertSource, __LINE__);
        naming = storage.GetTileNaming();
    }
    storage.SetTileNaming(naming);
    if (!ChildText(doc, "ArcGISTileFormat", text)) text = eString();
    storage.SetArcGISTileFormat(text);
}

}  // namespace

unsigned char eTileStorage::ToConfigFile(const eString& path) {
    eTileCoordSys& scheme = m_TileCoordSys;
    eMarkup doc;
    doc.SetEncoding(eMarkup::kCharsetUtf8);
    doc.AddElem("CacheInfo");
    doc.AddChildElem("TileCacheInfo");
    doc.IntoElem();
    doc.AddChildElem("Name", m_strName);
    doc.AddChildElem("Provider", m_strServiceProvider);

    doc.AddChildElem("SpatialReference");
    doc.IntoElem();
    eWKT wkt(eString(), 0);
    const ePrjCoordSys prj = scheme.GetPrjCoordSys();
    prj >> wkt;  // an unset system writes an empty text
    doc.AddChildElem("WKT", wkt.Text);
    doc.OutOfElem();

    const ePoint2D origin = scheme.GetTileOrigin();
    doc.AddChildElem("TileOrigin");
    doc.IntoElem();
    doc.AddChildElem("X", FormatTrimmed(origin.x));
    doc.AddChildElem("Y", FormatTrimmed(origin.y));
    doc.OutOfElem();
    doc.AddChildElem("TileSize", FormatInt(scheme.GetTileSize()));
    doc.AddChildElem("DPI", FormatFixed(scheme.GetDPI(), 15));
    AddRect(doc, "Bounds", scheme.GetBounds());
    AddRect(doc, "IndexBounds", scheme.GetIndexBounds());
    doc.AddChildElem("TileType", GetFileExtName(m_emTileType));

    doc.AddChildElem("TileRuler");
    doc.IntoElem();
    doc.AddChildElem("URLFormat", m_strTileURLFormat);
    doc.AddChildElem("LevelMode", FormatBool(m_bTileLevelMode));
    doc.AddChildElem("LevelInverseMode", FormatBool(m_bLevelInverseMode));
    doc.AddChildElem("PositionInverseMode", FormatBool(m_bPosInverseMode));
    doc.AddChildElem("RowInverseMode", FormatBool(m_bRowInverseMode));
    doc.AddChildElem("CoordMode", FormatBool(m_bTileCoordMode));
    doc.AddChildElem("BoundMode", FormatBool(m_bTileBoundMode));
    doc.AddChildElem("IndexRadixFormat", FormatInt(m_nTileIndexRadixFormat));
    doc.OutOfElem();

    doc.AddChildElem("LevelZoomMode", FormatBool(scheme.GetLevelZoomMode() != 0));
    doc.AddChildElem("TileTopLevel", FormatInt(scheme.GetTileTopLevel()));
    doc.AddChildElem("TileBottomLevel", FormatInt(scheme.GetTileBottomLevel()));
    doc.AddChildElem("Levels");
    doc.IntoElem();
    for (const tagLevelCaption& caption : scheme.GetLevelCaptions()) {
        doc.AddChildElem("Level");
        doc.IntoElem();
        // Thirty decimals keep about twenty significant digits of 1:1e9.
        doc.AddChildElem("Value", FormatFixed(caption.Scale, 30));
        doc.AddChildElem("Caption", FormatUnsigned(scheme.Scale2ScaleName(caption.Scale)));
        doc.OutOfElem();
    }
    doc.OutOfElem();  // Levels
    doc.OutOfElem();  // TileCacheInfo

    doc.AddChildElem("TileStorageInfo");
    doc.IntoElem();
    // A layout without a name is written empty; reading it back reports it.
    doc.AddChildElem("StorageFormat", StorageFormatName(m_emCacheFormat));
    doc.AddChildElem("PacketSize", FormatInt(m_nTileGroupSize));
    // Written only when not the defaults, so that descriptions of caches in
    // this system's own naming read exactly as before these settings existed.
    if (m_emTileNaming != Native) doc.AddChildElem("TileNaming", TileNamingName(m_emTileNaming));
    if (!m_strArcGISTileFormat.IsEmpty())
        doc.AddChildElem("ArcGISTileFormat", m_strArcGISTileFormat);
    doc.OutOfElem();

    const eString folder = ConfigFolder(path);
    if (!eFile::IsExist(folder)) eFile::MkDirEx(folder);  // a failure shows in Save
    if (!doc.Save(path)) return 0;
    SetFileDirectory(folder);
    return 1;
}

unsigned char eTileStorage::FromConfigFile(const eString& path) {
    eMarkup doc;
    if (!doc.Load(path)) return 0;
    unsigned char result = 1;
    // The root's own name is not checked.
    if (EnterChild(doc, "TileCacheInfo")) {
        if (!ReadTileCacheInfo(doc, *this)) result = 0;
        doc.OutOfElem();
    }
    if (EnterChild(doc, "TileStorageInfo")) {
        ReadTileStorageInfo(doc, *this);
        doc.OutOfElem();
    }
    SetFileDirectory(ConfigFolder(path));
    // A cache of this system's own description: new bundles take this
    // system's structure.
    SetArcGISStructure(0);
    return result;
}

}  // namespace TVK
