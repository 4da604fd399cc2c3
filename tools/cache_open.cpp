// Resolution of a CACHE argument into an open eTileStorage.
#include "cache_open.h"

#include "cli.h"

#include <cstring>
#include <iterator>

namespace TVK {
namespace cli {

namespace {

constexpr eLayout kLayouts[] = {eLayout::Original,       eLayout::Compact, eLayout::CompactV2,
                                eLayout::ArcGISExploded, eLayout::MBTiles, eLayout::GeoPackage,
                                eLayout::PMTiles};

// Formats the library may add later are refused until the tool knows them.
// The naming matters only to the one-file-per-tile layout.
bool LayoutOf(const eTileStorage& storage, eLayout& layout) {
    switch (storage.GetCacheFormat()) {
        case eTileStorage::Original:
            layout = storage.GetTileNaming() == eTileStorage::ArcGIS ? eLayout::ArcGISExploded
                                                                     : eLayout::Original;
            return true;
        case eTileStorage::Compact: layout = eLayout::Compact; return true;
        case eTileStorage::CompactV2: layout = eLayout::CompactV2; return true;
        case eTileStorage::MBTiles: layout = eLayout::MBTiles; return true;
        case eTileStorage::GeoPackage: layout = eLayout::GeoPackage; return true;
        case eTileStorage::PMTiles: layout = eLayout::PMTiles; return true;
    }
    return false;
}

}  // namespace

const char* LayoutName(eLayout layout) {
    switch (layout) {
        case eLayout::Original: return "original";
        case eLayout::Compact: return "compact";
        case eLayout::CompactV2: return "compact-v2";
        case eLayout::ArcGISExploded: return "arcgis-exploded";
        case eLayout::MBTiles: return "mbtiles";
        case eLayout::GeoPackage: return "geopackage";
        case eLayout::PMTiles: return "pmtiles";
    }
    return "unknown";
}

bool ParseLayout(const std::string& text, eLayout& layout) {
    for (eLayout candidate : kLayouts) {
        if (text == LayoutName(candidate)) {
            layout = candidate;
            return true;
        }
    }
    return false;
}

std::string LayoutNames() {
    std::string text;
    for (size_t i = 0; i < std::size(kLayouts); ++i) {
        if (i > 0) text += i + 1 == std::size(kLayouts) ? " or " : ", ";
        text += LayoutName(kLayouts[i]);
    }
    return text;
}

void ApplyLayout(eLayout layout, eTileStorage& storage) {
    switch (layout) {
        case eLayout::Original: storage.SetCacheFormat(eTileStorage::Original); break;
        case eLayout::Compact: storage.SetCacheFormat(eTileStorage::Compact); break;
        case eLayout::CompactV2: storage.SetCacheFormat(eTileStorage::CompactV2); break;
        case eLayout::ArcGISExploded:
            storage.SetCacheFormat(eTileStorage::Original);
            storage.SetTileNaming(eTileStorage::ArcGIS);
            break;
        case eLayout::MBTiles:
        case eLayout::GeoPackage:
        case eLayout::PMTiles: break;  // made by CreateTileFile, from the file's name
    }
}

bool IsUrl(const std::string& name) {
    auto startsWith = [&](const char* head) {
        const size_t n = std::strlen(head);
        return name.size() > n && eString(name.substr(0, n)).CompareNoCase(head) == 0;
    };
    return startsWith("http://") || startsWith("https://");
}

bool SingleFileLayoutOfName(const std::string& name, eLayout& layout) {
    if (IsUrl(name)) {
        layout = eLayout::PMTiles;
        return true;
    }
    const std::string path = name.substr(0, name.rfind("?table="));
    auto endsWith = [&](const char* tail) {
        const eString end = eString(path).Mid(static_cast<eInt>(path.size()) -
                                              static_cast<eInt>(std::strlen(tail)));
        return path.size() >= std::strlen(tail) && end.CompareNoCase(tail) == 0;
    };
    if (endsWith(".mbtiles")) {
        layout = eLayout::MBTiles;
        return true;
    }
    if (endsWith(".gpkg")) {
        layout = eLayout::GeoPackage;
        return true;
    }
    if (endsWith(".pmtiles")) {
        layout = eLayout::PMTiles;
        return true;
    }
    return false;
}

namespace {

// The description file a CACHE argument stands for.
int ResolveConfig(const std::string& arg, std::string& path) {
    if (!eFile::IsExist(arg))
        return Fail(kExitFailed, arg, "no such file or folder", eFailKind::Missing);
    if (!eFile::IsDirectory(arg)) {
        path = arg;
        return kExitOk;
    }
    const eString own = eFile::GetAbsolutePath(arg, kDescriptionName);
    if (eFile::IsExist(own) && !eFile::IsDirectory(own)) {
        path = own.Std();
        return kExitOk;
    }
    eString found;
    if (eFindFileNoCase(eFile::GetAbsolutePath(arg, "conf.xml"), found)) {
        path = found.Std();
        return kExitOk;
    }
    return Fail(kExitFailed, arg, "folder holds neither tilecache.xml nor conf.xml",
                eFailKind::Missing);
}

// ArcGIS configurations carry CacheStorageInfo beside TileCacheInfo, or
// LODInfos inside it; the system's own description has neither.
bool LooksLikeArcGIS(eMarkup& doc) {
    doc.ResetPos();
    if (doc.FindChildElem("CacheStorageInfo")) return true;
    doc.ResetPos();
    if (!doc.FindChildElem("TileCacheInfo") || !doc.IntoElem()) return false;
    return doc.FindChildElem("LODInfos");
}

}  // namespace

namespace {

// SQLite files start with these 16 bytes.
bool IsSqliteFile(const std::string& path) {
    static const char kHeader[16] = "SQLite format 3";  // and its closing zero
    char head[16] = {};
    eFile file;
    return eFile::IsFile(path.c_str()) && file.Open(path.c_str(), eFile::OpenRead) &&
           file.ReadAt(0, head, sizeof(head)) == sizeof(head) &&
           std::memcmp(head, kHeader, sizeof(head)) == 0;
}

int OpenTileFile(const std::string& arg, eOpenCache& cache) {
    cache.Storage = std::make_unique<eTileStorage>();
    if (!cache.Storage->FromTileFile(arg.c_str()))
        return Fail(kExitFailed, arg, cache.Storage->GetTileFileError().Std());
    if (!LayoutOf(*cache.Storage, cache.Layout))
        return Fail(kExitFailed, arg, "is a kind of file this tool does not know");
    cache.ConfigPath = cache.Storage->GetTileFile().Std();
    cache.Root = cache.ConfigPath;
    return kExitOk;
}

}  // namespace

int OpenCache(const std::string& arg, eOpenCache& cache) {
    eLayout single;
    if (SingleFileLayoutOfName(arg, single) || IsSqliteFile(arg)) return OpenTileFile(arg, cache);
    std::string path;
    if (const int code = ResolveConfig(arg, path)) return code;

    eFile probe;
    if (!probe.Open(path, eFile::OpenRead))
        return Fail(kExitFailed, path, "cannot be opened for reading");
    probe.Close();
    eMarkup doc;
    if (!doc.Load(path)) return Fail(kExitFailed, path, "not a well-formed XML file");

    cache.Storage = std::make_unique<eTileStorage>();
    cache.ConfigPath = path;
    cache.ArcGIS = LooksLikeArcGIS(doc);
    const unsigned char loaded = cache.ArcGIS ? cache.Storage->FromArcGISConfigFile(path)
                                              : cache.Storage->FromConfigFile(path);
    if (!loaded) {
        return Fail(kExitFailed, path,
                    cache.ArcGIS ? "not a usable ArcGIS cache configuration"
                                 : "not a usable cache description (coordinate system or levels "
                                   "missing or refused)");
    }
    if (cache.Storage->GetTileCoordSys().GetLevelCaptions().empty())
        return Fail(kExitFailed, path, "describes no levels");
    if (!LayoutOf(*cache.Storage, cache.Layout))
        return Fail(kExitFailed, path, "names a storage layout this tool does not know");
    cache.Root = cache.Storage->GetFileDirectory().Std();
    if (cache.Root.empty() || cache.Root.back() != '/') cache.Root += '/';
    return kExitOk;
}

int CheckLevel(const eOpenCache& cache, int level) {
    const int count = cache.LevelCount();
    if (level >= 0 && level < count) return kExitOk;
    return Fail(
        kExitFailed, cache.ConfigPath,
        "has no level " + std::to_string(level) + " (levels 0-" + std::to_string(count - 1) + ")");
}

}  // namespace cli
}  // namespace TVK
