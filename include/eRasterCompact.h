// eRasterCompact: a handle on one compact bundle of one 128 x 128 block of one
// level at a time. A V1 bundle is a pair, the ".bundle" data file and the
// ".bundlx" index file; a V2 bundle is one ".bundle" file holding its own
// index. Give each thread its own handle (the open-bundle pool does). Any
// number of handles, in any number of threads and processes, may work on one
// bundle at once: writers take a lock on the bundle that other processes
// honour, and readers never see a torn or foreign record.
#ifndef TVK_ERASTERCOMPACT_H
#define TVK_ERASTERCOMPACT_H

#include <cstdint>
#include <memory>

#include "platform/eByteArray.h"
#include "platform/eExport.h"
#include "platform/eFile.h"
#include "platform/eString.h"

namespace TVK {

class eMissingBundles;

class TVK_API eRasterCompact {
public:
    // Which bundles the handle reads and writes. The two never mix in one
    // cache folder: a V2 file has the name of a V1 data file.
    enum EmBundleFormat {
        BundleV1 = 0,  // .bundle + .bundlx pairs, 5-byte column-major slots
        BundleV2 = 1,  // one .bundle, 64-byte header, 8-byte row-major entries
    };

    eRasterCompact();
    // A copy takes the root, the packet size, the format and the creation
    // structure but no open file: two handles never share a descriptor.
    // Assignment closes the target first.
    eRasterCompact(const eRasterCompact& other);
    eRasterCompact& operator=(const eRasterCompact& other);
    virtual ~eRasterCompact();

    // Cache root; with or without a trailing '/'.
    void SetSrcPath(const eString& path);
    const eString& GetSrcPath() const { return m_strSrcPath; }

    // Bundle format (V1 by default). A change closes the open bundle.
    void SetBundleFormat(EmBundleFormat format);
    EmBundleFormat GetBundleFormat() const { return static_cast<EmBundleFormat>(m_nFormat); }
    // Structure of the V1 pairs this handle creates: false (the default) for
    // this system's own (zero index header, empty slots 01 01 01 01 01, empty
    // data file); true for ArcGIS's (index header and trailer, empty slots
    // pointing at per-position zero lengths, 60-byte data header), for caches
    // that came from an ArcGIS configuration. Pairs already on disk keep the
    // structure they have; no effect on V2.
    void SetArcGISStructure(bool arcgis) { m_bArcGISStructure = arcgis; }
    bool GetArcGISStructure() const { return m_bArcGISStructure; }

    // Makes the pair holding (row, col, level) the open one; an empty path
    // stands for the root. False when the pair cannot be opened.
    unsigned char IsCompactExist(int row, int col, int level, eString path);
    // -2: the bundle cannot be opened; -1: the slot is empty; otherwise the
    // slot's record offset (which may point at a zero-length record: use
    // IsTileStored to know whether a tile is really there). V2: -1 for an
    // entry of size 0, otherwise the entry's offset of the tile bytes
    // (INT_MAX when it lies at 2 GiB or beyond).
    int IsTileExist(int row, int col, int level, eString path);
    // V1: true only when the slot points at a record with a length above 0
    // that lies wholly inside the data file. V2: true only when the entry's
    // size is above 0 and its bytes lie after the index and wholly inside the
    // file (the entry is authoritative; the record's own length is not read).
    unsigned char IsTileStored(int row, int col, int level);
    // The tile's byte count with data holding the bytes, or 0 (data untouched).
    int64_t LoadTileData(eByteArray& data, int row, int col, int level);
    // Appends the tile and points its slot at it; false when a tile is
    // already stored there or any write failed (the slot then is unchanged).
    // V1 records start below 2 GiB. V2 tiles hold 1 to 2^24 - 1 bytes and
    // the file grows to 2^40 bytes at most; the header's file size and largest
    // tile are kept current, as are an ArcGIS data header's counters.
    unsigned char SaveTileData(const eByteArray& data, int row, int col, int level);
    // The same from size bytes at data, for callers that hold the tile in a
    // buffer of their own: the bytes are written from there, not copied.
    unsigned char SaveTileData(const unsigned char* data, int64_t size, int row, int col,
                               int level);
    // Marks the slot empty again (V2: zeroes the entry); true also when
    // nothing was stored, false only when a write failed.
    unsigned char RemoveTileData(int row, int col, int level);
    unsigned char Close();
    eString GetCurFileName() const { return m_strCurFileName; }

private:
    // Result of reading one slot.
    enum EmSlot { SlotUnavailable = 0, SlotEmpty = 1, SlotOffset = 2 };
    // Outcome of one attempt at creating a bundle (eRasterCompact_create.cpp).
    enum EmCreate { CreateDone = 0, CreateLookAgain = 1, CreateRefused = 2 };

    unsigned char Create(int row, int col, int level, eString path);
    unsigned char OpenPair(const eString& root, int rowGroup, int colGroup, int level);
    // Names a new pair's two files and publishes them, data first; the data
    // file is locked from before it has its name until the index has one.
    EmCreate PublishPair(const eString& dataName, const eString& indexName, int rowGroup,
                         int colGroup);
    // A data file without its index: waits for the process creating the
    // pair, if any; completes the pair when the file is a new, empty data
    // file (an interrupted creation), refuses anything else.
    EmCreate CompleteLoneData(const eString& dataName, const eString& indexName, int rowGroup,
                              int colGroup);
    // A new pair's contents in the configured structure (ArcGIS or native).
    bool BuildNewIndex(bool arcgis, eByteArray& index) const;
    bool BuildNewData(bool arcgis, int rowGroup, int colGroup, eByteArray& data) const;
    // Brings an ArcGIS data header's counters up to date: the largest tile
    // grows to length, the tile count changes by tiles, the file size is end.
    bool UpdateArcGISCounters(int64_t length, int tiles, int64_t end);
    // Fills m_strName with the absolute name of a bundle file, without
    // allocating once the buffer has grown: root, the relative name, ext.
    void ComposeName(const eString& root, int rowGroup, int colGroup, int level, const char* ext);
    // Makes the level folder and its parents; true when it exists afterwards.
    bool PrepareLevel(const eString& root, int level) const;
    void SetOpen(const eString& root, int rowGroup, int colGroup, int level);

    // V2 (eRasterCompact_v2.cpp).
    unsigned char OpenV2(const eString& root, int rowGroup, int colGroup, int level);
    unsigned char CreateV2(int row, int col, int level);
    int EntryOf(int row, int col) const;
    EmSlot ReadEntry(int row, int col, int level, const eString& path, int64_t& offset,
                     int64_t& size);
    bool IsStoredV2(int64_t offset, int64_t size);
    int IsTileExistV2(int row, int col, int level, const eString& path);
    unsigned char IsTileStoredV2(int row, int col, int level);
    int64_t LoadTileDataV2(eByteArray& data, int row, int col, int level);
    // The tile of the open bundle's entry into m_Scratch: its size, 0 for
    // none, or -1 when checkLength is set and the record's length differs.
    int64_t ReadTileV2(int entry, bool checkLength);
    unsigned char SaveTileDataV2(const unsigned char* data, int64_t count, int row, int col,
                                 int level);
    unsigned char RemoveTileDataV2(int row, int col, int level);

    unsigned char ComputeGroup(int& rowGroup, int& colGroup, int row, int col) const;
    void ClearParam();
    int SlotOf(int row, int col) const;
    EmSlot ReadSlot(int row, int col, int level, const eString& path, int32_t& offset);
    // The slot of the open pair, raw and decoded.
    EmSlot ReadSlotAt(int slot, unsigned char raw[5], int32_t& offset) const;
    // The tile of the open pair's slot into m_Scratch: its length, or 0.
    int32_t ReadTile(int slot, unsigned char raw[5]);
    // Length of the record at offset when it is a stored tile, else 0.
    int32_t StoredLength(int32_t offset);
    // Whether a record ending at `end` lies inside the data file; asks the
    // file for its size only when the size last seen is too small.
    bool EndsInsideFile(int64_t end);
    // Hands the tile read into m_Scratch to the caller.
    int64_t GiveTile(eByteArray& data, int64_t length);

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
    // The open V1 pair's data file starts with ArcGIS's 60-byte header, whose
    // counters every save and removal keeps current.
    bool m_bDataHeader = false;
    int m_nFormat = BundleV1;
    bool m_bArcGISStructure = false;
    // Data file size as last seen; the file only grows, so a record inside it
    // is inside the file. Refreshed when a record seems to end past it.
    int64_t m_nBundleSize = 0;
    // The open bundle lies on a network file system: every read and write
    // holds a lock on each of its files, which is what makes the caches of
    // several machines agree.
    bool m_bCoherentLocks = false;
    // Tiles are read here first and handed over only once whole and
    // confirmed, so that a failed load leaves the caller's array untouched.
    eByteArray m_Scratch;
    // Name buffer for opening bundles: a lookup in a bundle that does not
    // exist costs one failed open and no allocation.
    eString m_strName;
    // Bundles found missing in the folder last asked about, so that asking
    // again costs no failed open while the folder stays unchanged.
    std::unique_ptr<eMissingBundles> m_pMissing;
    bool IsKnownMissing() const;
    void NoteMissing();
};

}  // namespace TVK

#endif
