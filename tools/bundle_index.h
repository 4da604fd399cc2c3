// Reading compact bundle pairs directly, so that `ls`, `copy`, `coverage`
// and `verify` find the stored tiles from the index instead of probing every
// address of a level.
//
// On disk: "_alllayers/L05/R0100C0080.bundlx" is a 16-byte header and 16,384
// five-byte little-endian slots, column-major (slot = (col % 128) * 128 +
// row % 128); a slot holds the offset of a record in the ".bundle" file, a
// 4-byte little-endian length and the tile's bytes. An empty slot is 01 x 5,
// or, in bundles with ArcGIS's structure, 60 + 4 * slot pointing at that
// slot's zero-length placeholder record.
//
// V2 bundles are one file, "_alllayers/L05/R0100C0080.bundle": a 64-byte
// header, 16,384 eight-byte little-endian entries, row-major (entry =
// (row % 128) * 128 + col % 128), each the tile's offset in its low 40 bits
// and its size in its high 24 (size 0: no tile), then the records, each a
// 4-byte little-endian size and the bytes, the entry pointing past the size.
#ifndef TVK_TOOLS_BUNDLE_INDEX_H
#define TVK_TOOLS_BUNDLE_INDEX_H

#include <cstdint>
#include <string>
#include <vector>

#include <tvk.h>

namespace TVK {
namespace cli {

constexpr int kPacketSize = 128;                       // tiles per bundle side
constexpr int kSlotCount = kPacketSize * kPacketSize;  // 16,384 slots per index
constexpr int64_t kIndexHeaderSize = 16;               // bytes before slot 0
constexpr int64_t kSlotSize = 5;
constexpr int64_t kIndexSize = kIndexHeaderSize + kSlotCount * kSlotSize;  // 81,936
constexpr int64_t kArcGISIndexSize = kIndexSize + 16;  // ArcGIS adds a 16-byte trailer
constexpr int64_t kArcGISDataHeader = 60;              // ArcGIS data file header
// ArcGIS data files hold a zero length per position after their header.
constexpr int64_t kArcGISDataPrelude = kArcGISDataHeader + 4 * kSlotCount;  // 65,596

// "L05" for level 5, "L100" for level 100.
std::string LevelFolderName(int level);
// Level of a folder name written as LevelFolderName writes it; false otherwise.
bool ParseLevelFolder(const std::string& name, int& level);
// "R0100C0080" for groups 256 and 128 (lower-case hex, at least 4 digits).
std::string BundleBaseName(int rowGroup, int colGroup);
// Groups of a base name exactly as BundleBaseName writes it (so the library
// opens that pair for the tiles of the block); false otherwise.
bool ParseBundleBaseName(const std::string& name, int& rowGroup, int& colGroup);

// One bundle pair read for inspection: the index in memory, the data file
// open for the record lengths.
class eBundleReader {
public:
    enum EmSlot {
        SlotEmpty,          // empty pattern or a zero-length record
        SlotStored,         // a record of one or more bytes inside the data file
        SlotNegative,       // offset with bit 31 set
        SlotPastEnd,        // the record's length field lies past the data file's end
        SlotRecordPastEnd,  // the record's bytes run past the data file's end
        SlotBadLength,      // negative record length
    };

    // Reads the index whole and opens the data file; false with a reason.
    bool Open(const std::string& indexPath, const std::string& dataPath, std::string& reason);
    int64_t IndexSize() const { return m_indexSize; }
    int64_t DataSize() const { return m_dataSize; }
    // The index starts with the header ArcGIS writes.
    bool ArcGISStructure() const { return m_arcgis; }
    // State of one slot; offset and length are set where they are known.
    // A failed read of the data file also gives SlotPastEnd.
    EmSlot ReadSlot(int slot, int64_t& offset, int64_t& length) const;

private:
    std::vector<unsigned char> m_index;
    eFile m_data;
    int64_t m_indexSize = 0;
    int64_t m_dataSize = 0;
    bool m_arcgis = false;
};

constexpr int64_t kV2HeaderSize = 64;
constexpr int64_t kV2EntrySize = 8;
constexpr int64_t kV2RecordsStart =
    kV2HeaderSize + kSlotCount * kV2EntrySize;  // 131,136: a new file
// Header fields (little-endian) a reader depends on or a writer keeps current.
constexpr int kV2VersionAt = 0;       // 4 bytes, 3
constexpr int kV2RecordCountAt = 4;   // 4 bytes, 16,384
constexpr int kV2MaxTileAt = 8;       // 4 bytes, the largest tile stored
constexpr int kV2OffsetBytesAt = 12;  // 4 bytes, 5
constexpr int kV2FileSizeAt = 24;     // 8 bytes

// One V2 bundle read for inspection: header and entries in memory, the file
// open for the record sizes.
class eBundleV2Reader {
public:
    enum EmEntry {
        EntryEmpty,          // size 0
        EntryStored,         // the tile's bytes lie after the entries and inside the file
        EntryBeforeRecords,  // offset inside the header or the entries
        EntryPastEnd,        // offset past the file's end
        EntryRecordPastEnd,  // the tile's bytes run past the file's end
    };

    // Reads header and entries and opens the file; false with a reason when
    // the file is shorter than both or its header is not a V2 bundle's
    // (version 3, 16,384 records, 5 offset bytes), as the library refuses it.
    bool Open(const std::string& path, std::string& reason);
    int64_t FileSize() const { return m_fileSize; }
    // A little-endian header field of `count` bytes at `at`.
    uint64_t HeaderField(int at, int count) const;
    EmEntry ReadEntry(int entry, int64_t& offset, int64_t& size) const;
    // The 4-byte size written before the bytes at `offset`; -1 when unreadable.
    int64_t RecordSize(int64_t offset) const;

private:
    std::vector<unsigned char> m_head;  // header and entries
    eFile m_file;
    int64_t m_fileSize = 0;
};

}  // namespace cli
}  // namespace TVK

#endif
