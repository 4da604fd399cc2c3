// The name of a single-file cache as the storage keeps it (GetTileFile): the
// path, for a GeoPackage followed by "?table=NAME". The layout itself is
// made by MakeTileFileLayout (storage/eCacheLayout.h).
//
// Private to the library.
#ifndef TVK_STORAGE_ETILEFILELAYOUT_H
#define TVK_STORAGE_ETILEFILELAYOUT_H

#include "platform/eString.h"

namespace TVK {

// The file part of "FILE.gpkg?table=NAME" and the table (empty without one).
void SplitTileFileName(const eString& name, eString& path, eString& table);

}  // namespace TVK

#endif
