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
};

// An exploded ArcGIS cache is read through the one-file-per-tile layout.
constexpr FormatName kArcGISFormatNames[] = {
    {eTileStorage::Compact, "esriMapCacheStorageModeCompact"},
    {eTileStorage::Original, "esriMapCacheStorageModeExploded"},
};

}  // namespace

const char* StorageFormatName(eTileStorage::EmFormat format)
{
    for (const FormatName& entry : kFormatNames)
        if (entry.format == format)
            return entry.name;
    return "";
}

bool StorageFormatFromName(const eString& lowerName, eTileStorage::EmFormat& format)
{
    for (const FormatName& entry : kFormatNames) {
        if (eString(entry.name).MakeLower() == lowerName) {
            format = entry.format;
            return true;
        }
    }
    return false;
}

bool ArcGISStorageFormatFromName(const eString& name, eTileStorage::EmFormat& format)
{
    for (const FormatName& entry : kArcGISFormatNames) {
        if (name == eString(entry.name)) {
            format = entry.format;
            return true;
        }
    }
    return false;
}

}  // namespace config
}  // namespace TVK
