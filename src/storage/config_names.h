// Layout names of the two configuration files, in one place so that a new
// layout is one more table row.
#ifndef TVK_STORAGE_CONFIG_NAMES_H
#define TVK_STORAGE_CONFIG_NAMES_H

#include "eTileStorage.h"
#include "platform/eString.h"

namespace TVK {
namespace config {

// The description file's StorageFormat text ("Original", "Compact",
// "CompactV2"); "" for a value without a name.
const char* StorageFormatName(eTileStorage::EmFormat format);
// Reads a lower-cased StorageFormat text ("original", "compact").
bool StorageFormatFromName(const eString& lowerName, eTileStorage::EmFormat& format);
// ArcGIS's CacheStorageInfo/StorageFormat, compared exactly.
bool ArcGISStorageFormatFromName(const eString& name, eTileStorage::EmFormat& format);
// ArcGIS's StorageFormat text of a layout; "" for a value without one.
const char* ArcGISStorageFormatName(eTileStorage::EmFormat format);
// The description file's TileNaming text ("Native", "ArcGIS"); "" for a
// value without a name. Read back ignoring letter case.
const char* TileNamingName(eTileStorage::EmNaming naming);
bool TileNamingFromName(const eString& name, eTileStorage::EmNaming& naming);

}  // namespace config
}  // namespace TVK

#endif
