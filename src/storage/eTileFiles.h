// What the layouts of one file per tile share, this
// system's names and ArcGIS's exploded ones alike: whole-file reads, saves
// that publish a tile only once it is completely written, and the check of
// one tile file.
//
// Private to the library.
#ifndef TVK_STORAGE_ETILEFILES_H
#define TVK_STORAGE_ETILEFILES_H

#include <vector>

#include "eCacheCheck.h"
#include "platform/eByteArray.h"
#include "platform/eString.h"

namespace TVK {
namespace tilefile {

// The whole file into data; false (data untouched) unless every byte was read.
bool LoadFile(const eString& path, eByteArray& data);
// Writes "<tile>.temp" and renames it onto the tile, making missing
// folders; on any failure removes the temporary file and leaves an
// existing tile as it was.
bool SaveFile(const eString& tilePath, const unsigned char* data, unsigned int size);
// Counts a tile file into totals, or reports it unreadable or empty.
void CheckTileFile(const eString& path, std::vector<tagCacheFinding>& findings,
                   tagCacheTotals& totals);
// "<name>.temp" is a save's leftover; true after reporting it.
bool CheckTemporary(const eString& path, std::vector<tagCacheFinding>& findings);
tagCacheFinding Finding(eCacheCheck::EmFinding kind, const eString& path);

}  // namespace tilefile
}  // namespace TVK

#endif
