// Folder listing, for the callers that must look at the names a folder holds:
// caches copied from case-insensitive file systems name their files in any
// letter case ("Conf.xml" beside "conf.cdi").
#ifndef TVK_PLATFORM_EDIRLIST_H
#define TVK_PLATFORM_EDIRLIST_H

#include <vector>

#include "platform/eExport.h"
#include "platform/eString.h"

namespace TVK {

// Names of the entries of a folder ("." and ".." left out), sorted by byte
// value so callers see the same order on every file system. False when the
// folder cannot be read; names is then empty.
TVK_API bool eListDir(const eString& dir, std::vector<eString>& names);

// When `path` exists, actual = path. Otherwise looks in the folder of `path`
// for a file (not a folder) whose name differs from the path's file name only
// in ASCII letter case; when several do, the first in byte order wins.
// actual is that folder joined with the name found. False when none exists.
TVK_API bool eFindFileNoCase(const eString& path, eString& actual);

}  // namespace TVK

#endif
