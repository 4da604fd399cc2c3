// On-disk facts of PMTiles version 3 archives, in one place: the 127-byte
// header, Hilbert-curve tile ids, and the directory codec.
//
// An archive is the header, then (usually in this order) the root directory,
// the JSON metadata, the leaf directories and the tile data. The header and
// the root directory together lie within the first 16 KiB, so that a reader
// gets both with one request. A directory is a list of entries sorted by tile
// id; an entry with a run length of n > 0 names the bytes of the n tiles with
// consecutive ids from its own, one with a run length of 0 a leaf directory
// holding the ids from its own up to the next entry's. Tile offsets count
// from the tile data section, leaf offsets from the leaf section.
//
// Private to the library; TVK_API only for the tests and fuzz targets.
#ifndef TVK_PMTILES_EPMTILESFORMAT_H
#define TVK_PMTILES_EPMTILESFORMAT_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/eExport.h"

namespace TVK {
namespace pmtiles {

constexpr size_t kHeaderSize = 127;
// Header plus root directory must fit here, so the root's compressed size is
// at most 16,384 - 127 = 16,257 bytes.
constexpr uint64_t kRootLimit = 16384;
constexpr unsigned char kMagic[7] = {'P', 'M', 'T', 'i', 'l', 'e', 's'};
constexpr unsigned char kVersion = 3;
// Positions are degrees times this, as 32-bit signed integers.
constexpr double kPositionScale = 10000000.0;
// Tile ids of level 32 and deeper do not fit in 64 bits.
constexpr int kMaxZoom = 31;

enum EmCompression : unsigned char {
    CompressionUnknown = 0,
    CompressionNone = 1,
    CompressionGzip = 2,
    CompressionBrotli = 3,
    CompressionZstd = 4,
};

enum EmTileType : unsigned char {
    TileUnknown = 0,
    TileMvt = 1,
    TilePng = 2,
    TileJpeg = 3,
    TileWebp = 4,
    TileAvif = 5,
    TileMlt = 6,  // MapLibre vector tile
};

// The header's fields in their order on disk (all integers little-endian).
struct tagHeader {
    uint64_t RootOffset = 0, RootLength = 0;
    uint64_t MetadataOffset = 0, MetadataLength = 0;
    uint64_t LeafOffset = 0, LeafLength = 0;
    uint64_t DataOffset = 0, DataLength = 0;
    uint64_t AddressedTiles = 0;  // tiles before run-length encoding; 0 = unknown
    uint64_t TileEntries = 0;     // entries with a run length above 0; 0 = unknown
    uint64_t TileContents = 0;    // distinct tile blobs; 0 = unknown
    bool Clustered = false;       // tile data in tile-id order
    unsigned char InternalCompression = CompressionGzip;  // directories and metadata
    unsigned char TileCompression = CompressionNone;
    unsigned char TileType = TileUnknown;
    unsigned char MinZoom = 0, MaxZoom = 0;
    int32_t MinLonE7 = 0, MinLatE7 = 0, MaxLonE7 = 0, MaxLatE7 = 0;
    unsigned char CenterZoom = 0;
    int32_t CenterLonE7 = 0, CenterLatE7 = 0;
};

// A directory entry. Lengths and run lengths above 32 bits are refused on
// reading: no tile, leaf or run is that large.
struct tagEntry {
    uint64_t TileId = 0;
    uint64_t Offset = 0;
    uint32_t Length = 0;
    uint32_t RunLength = 0;  // 0: a leaf directory
};

inline bool operator==(const tagEntry& a, const tagEntry& b) {
    return a.TileId == b.TileId && a.Offset == b.Offset && a.Length == b.Length &&
           a.RunLength == b.RunLength;
}

// Tile id of z/x/y: the tiles of all lower levels, (4^z - 1) / 3, plus the
// tile's position on the level's Hilbert curve. False for a level outside
// 0-31 or a column or row outside 0 .. 2^z - 1.
TVK_API bool ZxyToTileId(int z, uint32_t x, uint32_t y, uint64_t& id);
// The inverse; false for an id beyond level 31.
TVK_API bool TileIdToZxy(uint64_t id, int& z, uint32_t& x, uint32_t& y);
// First tile id of level z (0 <= z <= 32).
TVK_API uint64_t FirstTileIdOfZoom(int z);

TVK_API void EncodeHeader(const tagHeader& header, unsigned char out[kHeaderSize]);
// False unless the bytes start with the magic number and version 3.
TVK_API bool DecodeHeader(const unsigned char* data, size_t size, tagHeader& header);

// Appends the uncompressed encoding of entries (ids ascending) to out.
TVK_API void EncodeDirectory(const std::vector<tagEntry>& entries, std::vector<unsigned char>& out);
// Decodes an uncompressed directory, replacing entries. False (entries
// empty) when the bytes are cut short, carry bytes after the last offset,
// overflow, repeat or lower a tile id, name a zero length, or name more
// entries than the bytes can hold.
TVK_API bool DecodeDirectory(const unsigned char* data, size_t size,
                             std::vector<tagEntry>& entries);

// The entry that holds id in a directory: a tile entry whose run covers it,
// or the leaf entry whose range it falls into; null when none does.
TVK_API const tagEntry* FindEntry(const std::vector<tagEntry>& entries, uint64_t id);

// Degrees to and from the header's fixed-point positions.
inline int32_t ToE7(double degrees) {
    const double scaled = degrees * kPositionScale;
    return static_cast<int32_t>(scaled < 0 ? scaled - 0.5 : scaled + 0.5);
}
inline double FromE7(int32_t value) { return value / kPositionScale; }

}  // namespace pmtiles
}  // namespace TVK

#endif
