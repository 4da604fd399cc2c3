// eBundleReader: one bundle read whole for listings and checks, apart from
// the pool and its locks. A V1 pair's index, or a V2 file's header and
// entries, comes in with one read; the data file is read only for the record
// lengths a V1 slot does not carry and for the sizes a check compares. It
// never writes.
//
// Tiles are reported row by row within the block whatever the index order
// (V1 slots are column-major, V2 entries row-major), and only those a load
// would find: the same rules as eRasterCompact's IsTileStored.
//
// Private to the library.
#ifndef TVK_COMPACT_EBUNDLEREADER_H
#define TVK_COMPACT_EBUNDLEREADER_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "eCacheCheck.h"
#include "eTileListing.h"
#include "platform/eFile.h"
#include "platform/eString.h"

namespace TVK {
namespace bundle {

// "R0100C0080" for the block at row 256, column 128: hexadecimal, lower
// case, at least four digits, as eRasterCompact names bundles.
void AppendBundleName(std::string& out, int rowGroup, int colGroup);
// The block of a name exactly as AppendBundleName writes it (so the handle
// opens that bundle for the block's tiles); false for any other name.
bool ParseBundleName(const std::string& name, int& rowGroup, int& colGroup);

class eBundleReader {
public:
    // False when the bundle cannot be read at all; failure then names the
    // file and says why.
    bool OpenV1(const eString& indexPath, const eString& dataPath, tagCacheFinding& failure);
    bool OpenV2(const eString& path, tagCacheFinding& failure);
    void Close();

    // Appends the stored tiles of the block at (rowGroup, colGroup), row by row.
    void ListTiles(int level, int rowGroup, int colGroup, std::vector<tagStoredTile>& tiles) const;
    // Whether the index (V2: header and entries) still holds what Open read.
    // A writer may have changed it meanwhile, and a read that overlapped its
    // write may have seen half a slot: a reader that must not report such a
    // slot reads the bundle again until this holds.
    bool IsUnchanged();
    // Appends what is wrong with the open bundle and counts its tiles, bytes
    // and dead bytes into totals.
    void Check(int rowGroup, int colGroup, std::vector<tagCacheFinding>& findings,
               tagCacheTotals& totals) const;

private:
    enum EmState {
        StateEmpty,           // no tile (V1: the empty pattern or a zero length)
        StateStored,          // a tile a load finds
        StateBeyond2GiB,      // V1 offset with bit 31 set
        StateOutsideFile,     // the record starts past the file's end
        StateRunsPastEnd,     // the record's bytes run past the file's end
        StateNegativeLength,  // V1 length with bit 31 set
        StateInsideIndex,     // V2 offset inside the header or the entries
    };
    // The tile at `position` (row x 128 + column within the block): offset
    // of its bytes (V1: of its record) and their count, where known.
    EmState Inspect(int position, int64_t& offset, int64_t& size) const;
    void CheckV2Header(std::vector<tagCacheFinding>& findings) const;
    tagCacheFinding Finding(eCacheCheck::EmFinding kind, const eString& path) const;

    std::vector<unsigned char> m_Head;   // V1 index, or V2 header and entries
    std::vector<unsigned char> m_Again;  // the same read a second time
    eFile m_Index;                       // V1 index file
    eFile m_Data;                        // V1 data file or V2 file
    eString m_strIndexPath;
    eString m_strDataPath;
    int64_t m_nIndexSize = 0;
    int64_t m_nDataSize = 0;
    bool m_bV2 = false;
    bool m_bArcGIS = false;  // V1 index with ArcGIS's header
};

}  // namespace bundle
}  // namespace TVK

#endif
