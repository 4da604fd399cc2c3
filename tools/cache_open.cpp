// Resolution of a CACHE argument into an open eTileStorage.
#include "cache_open.h"

#include "cli.h"

namespace TVK {
namespace cli {

const char* LayoutName(eLayout layout) {
    switch (layout) {
        case eLayout::Original: return "original";
        case eLayout::Compact: return "compact";
    }
    return "unknown";
}

bool ParseLayout(const std::string& text, eLayout& layout) {
    for (eLayout candidate : {eLayout::Original, eLayout::Compact}) {
        if (text == LayoutName(candidate)) {
            layout = candidate;
            return true;
        }
    }
    return false;
}

namespace {

// Formats the library may add later are refused until the tool knows them.
bool LayoutOf(eTileStorage::EmFormat format, eLayout& layout) {
    if (format == eTileStorage::Original) {
        layout = eLayout::Original;
        return true;
    }
    if (format == eTileStorage::Compact) {
        layout = eLayout::Compact;
        return true;
    }
    return false;
}

// The description file a CACHE argument stands for.
int ResolveConfig(const std::string& arg, std::string& path) {
    if (!eFile::IsExist(arg)) return Fail(kExitFailed, arg, "no such file or folder");
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
    return Fail(kExitFailed, arg, "folder holds neither tilecache.xml nor conf.xml");
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

int OpenCache(const std::string& arg, eOpenCache& cache) {
    std::string path;
    if (const int code = ResolveConfig(arg, path)) return code;

    eFile probe;
    if (!probe.Open(path, eFile::OpenRead)) return Fail(kExitFailed, path, "cannot be opened for reading");
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
                                 : "not a usable cache description (coordinate system or levels missing or refused)");
    }
    if (cache.Storage->GetTileCoordSys().GetLevelCaptions().empty())
        return Fail(kExitFailed, path, "describes no levels");
    if (!LayoutOf(cache.Storage->GetCacheFormat(), cache.Layout))
        return Fail(kExitFailed, path, "names a storage layout this tool does not know");
    cache.Root = cache.Storage->GetFileDirectory().Std();
    if (cache.Root.empty() || cache.Root.back() != '/') cache.Root += '/';
    return kExitOk;
}

int CheckLevel(const eOpenCache& cache, int level) {
    const int count = cache.LevelCount();
    if (level >= 0 && level < count) return kExitOk;
    return Fail(kExitFailed, cache.ConfigPath,
                "has no level " + std::to_string(level) + " (levels 0-" + std::to_string(count - 1) + ")");
}

}  // namespace cli
}  // namespace TVK
