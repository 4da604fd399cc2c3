// eRasterCompact: a handle on one compact bundle pair at a time, the ".bundle"
// data file and the ".bundlx" index file of one 128 x 128 block of one level.
// A handle has no lock; give each thread its own (the open-bundle pool does).
#ifndef TVK_ERASTERCOMPACT_H
#define TVK_ERASTERCOMPACT_H

#include <cstdint>

#include "platform/eByteArray.h"
#include "platform/eExport.h"
#include "platform/eFile.h"
#include "platform/eString.h"

namespace TVK {

class TVK_API eRasterCompact {
public:
    eRasterCompact();
    // A copy takes the root and the packet size but no open file: two handles
    // never share a descriptor. Assignment closes the target first.
    eRasterCompact(const eRasterCompact& other);
    eRasterCompact& operator=(const eRasterCompact& other);
    virtual ~eRasterCompact();

    // Cache root; with or without a trailing '/'.
    void SetSrcPath(const eString& path);
    const eString& GetSrcPath() const { return m_strSrcPath; }

    // Makes the pair holding (row, col, level) the open one; an empty path
    // stands for the root. False when the pair cannot be opened.
    unsigned char IsCompactExist(int row, int col, int level, eString path);
    // -2: the pair cannot be opened; -1: the slot is empty; otherwise the
    // slot's record offset (which may point at a zero-length record: use
    // IsTileStored to know whether a tile is really there).
    int IsTileExist(int row, int col, int level, eString path);
    // True only when the slot points at a record with a length above 0 that
    // lies wholly inside the data file.
    unsigned char IsTileStored(int row, int col, int level);
    // The tile's byte count with data holding the bytes, or 0 (data untouched).
    int64_t LoadTileData(eByteArray& data, int row, int col, int level);
    // Appends the tile and points its slot at it; false when a tile is
    // already stored there or any write failed (the slot then is unchanged).
    unsigned char SaveTileData(const eByteArray& data, int row, int col, int level);
    // Marks the slot empty again; true also when nothing was stored, false
    // only when the slot write failed.
    unsigned char RemoveTileData(int row, int col, int level);
    unsigned char Close();
    eString GetCurFileName() const { return m_strCurFileName; }

private:
    // Result of reading one slot.
    enum EmSlot { SlotUnavailable = 0, SlotEmpty = 1, SlotOffset = 2 };

    unsigned char Create(int row, int col, int level, eString path);
    unsigned char OpenPair(const eString& base, int rowGroup, int colGroup, int level);
    eString MakeRelativeString(int rowGroup, int colGroup, int level) const;
    unsigned char ComputeGroup(int& rowGroup, int& colGroup, int row, int col) const;
    void ClearParam();
    int SlotOf(int row, int col) const;
    EmSlot ReadSlot(int row, int col, int level, const eString& path, int32_t& offset);
    // Length of the record at offset when it is a stored tile, else 0.
    int32_t StoredLength(int32_t offset);

    eFile m_BundleFile;
    eFile m_IndexFile;
    int32_t m_nCurRowGroup = -1;
    int32_t m_nCurColGroup = -1;
    int32_t m_nCurLevel = -1;
    eString m_strSrcPath;
    eString m_strCurFileName;
    int32_t m_nPacketSize = 128;
    // Structure of the open pair (this system's own or ArcGIS's); decides how
    // an empty slot is written.
    int m_nKind = 0;
    // Data file size as last seen; the file only grows, so a record inside it
    // is inside the file. Refreshed when a record seems to end past it.
    int64_t m_nBundleSize = 0;
};

}  // namespace TVK

#endif
