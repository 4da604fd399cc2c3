#include "storage/config_names.h"

namespace TVK {
namespace config {

namespace {

struct FormatName {
    eTileStorage::EmFormat format;
    const char* name;
};

constexpr FormatName kFormatNames[] = {
    {eTileStorage::Original, "Original"},
    {eTileStorage::Compact, "Compact"},
    {eTileStorage::CompactV2, "CompactV2"},
};

struct NamingName {
    eTileStorage::EmNaming naming;
    const char* name;
};

constexpr NamingName kNamingNames[] = {
    {eTileStorage::Native, "Native"},
    {eTileStorage::ArcGIS, "ArcGIS"},
};

// An exploded ArcGIS cache is read through the one-file-per-tile layout.
constexpr FormatName kArcGISFormatNames[] = {
    {eTileStorage::Compact, "esriMapCacheStorageModeCompact"},
    {eTileStorage::Original, "esriMapCacheStorageModeExploded"},
    {eTileStorage::CompactV2, "esriMapCacheStorageModeCompactV2"},
};

}  // namespace

const char* StorageFormatName(eTileStorage::EmFormat format) {
    for (const FormatName& entry : kFormatNames)
        if (entry.format == format) return entry.name;
    return "";
}

bool StorageFormatFromName(const eString& lowerName, eTileStorage::EmFormat& format) {
    for (const FormatName& entry : kFormatNames) {
        if (eString(entry.name).MakeLower() == lowerName) {
            format = entry.format;
            return true;
        }
    }
    return false;
}

bool ArcGISStorageFormatFromName(const eString& name, eTileStorage::EmFormat& format) {
    for (const FormatName& entry : kArcGISFormatNames) {
        if (name == eString(entry.name)) {
            format = entry.format;
            return true;
        }
    }
    return false;
}

const char* ArcGISStorageFormatName(eTileStorage::EmFormat format) {
    for (const FormatName& entry : kArcGISFormatNames)
        if (entry.format == format) return entry.name;
    return "";
}

const char* TileNamingName(eTileStorage::EmNaming naming) {
    for (const NamingName& entry : kNamingNames)
        if (entry.naming == naming) return entry.name;
    return "";
}

bool TileNamingFromName(const eString& name, eTileStorage::EmNaming& naming) {
    for (const NamingName& entry : kNamingNames) {
        if (name.CompareNoCase(entry.name) == 0) {
            naming = entry.naming;
            return true;
        }
    }
    return false;
}

}  // namespace config
}  // namespace TVK
