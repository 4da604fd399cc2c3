// On-disk facts of compact bundles, in one place: V1 pairs in this system's
// own structure and in ArcGIS's, and V2 single-file bundles.
//
// Index (.bundlx): a 16-byte header, then 16,384 five-byte slots in
// column-major order (slot = (col mod 128) x 128 + (row mod 128)); a slot holds
// the record's offset in the data file, bytes 0-3 little-endian, byte 4 zero.
// Data (.bundle): records of a 4-byte little-endian length and the tile bytes,
// always appended at the end of the file.
//
// V2 (one .bundle per block, no index file): a 64-byte header, 16,384 eight-
// byte entries in row-major order (entry = (row mod 128) x 128 + (col mod
// 128)), each the tile bytes' offset in its low 40 bits and their count in its
// high 24 bits (0 = no tile), then records of a 4-byte length and the bytes;
// an entry points just past its record's length.
#ifndef TVK_COMPACT_EBUNDLEFORMAT_H
#define TVK_COMPACT_EBUNDLEFORMAT_H

#include <cstdint>
#include <cstring>

namespace TVK {
namespace bundle {

constexpr int kPacketSize = 128;                                      // tiles per block side
constexpr int kSlotCount = kPacketSize * kPacketSize;                 // 16,384 positions
constexpr int kSlotSize = 5;                                          // bytes per index slot
constexpr int64_t kIndexHeaderSize = 16;                              // bytes before slot 0
constexpr int64_t kIndexSlotsSize = int64_t(kSlotCount) * kSlotSize;  // 81,920
constexpr int64_t kIndexSize = kIndexHeaderSize + kIndexSlotsSize;    // 81,936
constexpr int64_t kRecordLengthSize = 4;                              // length before each record
// Record offsets are 32-bit signed positions: nothing may start at 2 GiB or later.
constexpr int64_t kMaxRecordOffset = int64_t(0x7fffffff);

// The empty pattern of this system's own bundles.
constexpr unsigned char kEmptyByte = 0x01;

// ArcGIS (10.0-10.2) bundles: the index carries this header and a 16-byte
// trailer; the data file starts with a 60-byte header and one zero length per
// position, and an empty slot points at its position's zero-length record.
constexpr unsigned char kArcGISIndexHeader[16] = {0x03, 0,    0, 0, 0x10, 0, 0, 0,
                                                  0,    0x40, 0, 0, 0x05, 0, 0, 0};
constexpr unsigned char kArcGISIndexTrailer[16] = {0,    0, 0, 0, 0x10, 0, 0, 0,
                                                   0x10, 0, 0, 0, 0,    0, 0, 0};
constexpr int64_t kArcGISDataHeaderSize = 60;

// Structure of an open pair.
enum EmKind {
    KindNative = 0,  // this system's own: zero header, empty slots 01 01 01 01 01
    KindArcGIS = 1,  // ArcGIS header: empty slots hold 60 + 4 x slot
};

inline int64_t SlotPosition(int slot) { return kIndexHeaderSize + int64_t(slot) * kSlotSize; }

// The data file header of an ArcGIS pair (all little-endian): 3, 16,384, the
// largest tile stored, 5 (4 bytes each); 4 x the tiles stored, the file's
// size, 40 (8 bytes each); 16, first row, last row, first column, last column
// (4 bytes each). Then one zero length per position.
constexpr int64_t kArcGISDataStart = kArcGISDataHeaderSize + 4 * int64_t(kSlotCount);  // 65,596
constexpr int64_t kArcGISIndexSize = kIndexSize + sizeof kArcGISIndexTrailer;          // 81,952
constexpr int64_t kArcGISMaxTileField = 8;                                             // 4 bytes
constexpr int64_t kArcGISTileCountField = 16;  // 8 bytes, 4 x the tiles stored
constexpr int64_t kArcGISFileSizeField = 24;   // 8 bytes
// The counters a save or removal keeps current: bytes 8 to 31.
constexpr int64_t kArcGISCountersAt = kArcGISMaxTileField;
constexpr int64_t kArcGISCountersSize = 24;

inline EmKind KindOfIndexHeader(const unsigned char header[16]) {
    return std::memcmp(header, kArcGISIndexHeader, sizeof kArcGISIndexHeader) == 0 ? KindArcGIS
                                                                                   : KindNative;
}

inline bool IsEmptyPattern(const unsigned char slot[kSlotSize]) {
    return slot[0] == kEmptyByte && slot[1] == kEmptyByte && slot[2] == kEmptyByte &&
           slot[3] == kEmptyByte && slot[4] == kEmptyByte;
}

inline uint64_t ReadLE(const unsigned char* p, int count) {
    uint64_t value = 0;
    for (int i = count - 1; i >= 0; --i) value = value << 8 | p[i];
    return value;
}

inline void WriteLE(unsigned char* p, uint64_t value, int count) {
    for (int i = 0; i < count; ++i) p[i] = static_cast<unsigned char>(value >> (8 * i));
}

inline int32_t ReadInt32(const unsigned char* p) {
    return static_cast<int32_t>(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                                uint32_t(p[3]) << 24);
}

inline void WriteInt32(unsigned char* p, uint32_t value) {
    p[0] = static_cast<unsigned char>(value);
    p[1] = static_cast<unsigned char>(value >> 8);
    p[2] = static_cast<unsigned char>(value >> 16);
    p[3] = static_cast<unsigned char>(value >> 24);
}

// A slot pointing at offset (below 2 GiB, so byte 4 is zero).
inline void EncodeOffset(unsigned char slot[kSlotSize], int64_t offset) {
    WriteInt32(slot, static_cast<uint32_t>(offset));
    slot[4] = 0;
}

// What an empty position's slot holds in a pair of the given kind.
inline void EncodeEmpty(unsigned char slot[kSlotSize], EmKind kind, int position) {
    if (kind == KindArcGIS) {
        EncodeOffset(slot, kArcGISDataHeaderSize + 4 * int64_t(position));
    } else {
        std::memset(slot, kEmptyByte, kSlotSize);
    }
}

// A new ArcGIS data file's header for the block starting at (firstRow, firstCol).
inline void EncodeArcGISDataHeader(unsigned char header[kArcGISDataHeaderSize], int firstRow,
                                   int firstCol) {
    WriteLE(header + 0, 3, 4);
    WriteLE(header + 4, uint64_t(kSlotCount), 4);
    WriteLE(header + kArcGISMaxTileField, 0, 4);
    WriteLE(header + 12, 5, 4);
    WriteLE(header + kArcGISTileCountField, 0, 8);
    WriteLE(header + kArcGISFileSizeField, uint64_t(kArcGISDataStart), 8);
    WriteLE(header + 32, 40, 8);
    WriteLE(header + 40, 16, 4);
    WriteLE(header + 44, uint32_t(firstRow), 4);
    WriteLE(header + 48, uint32_t(firstRow + kPacketSize - 1), 4);
    WriteLE(header + 52, uint32_t(firstCol), 4);
    WriteLE(header + 56, uint32_t(firstCol + kPacketSize - 1), 4);
}

// Whether a data file starts with that header: its constant fields decide, so
// that counters we would rewrite really are counters.
inline bool IsArcGISDataHeader(const unsigned char header[kArcGISDataHeaderSize]) {
    return ReadLE(header + 0, 4) == 3 && ReadLE(header + 4, 4) == uint64_t(kSlotCount) &&
           ReadLE(header + 12, 4) == 5 && ReadLE(header + 32, 8) == 40 &&
           ReadLE(header + 40, 4) == 16;
}

// ---- V2 ----
constexpr int64_t kV2HeaderSize = 64;
constexpr int kV2EntrySize = 8;
constexpr int64_t kV2IndexSize = int64_t(kSlotCount) * kV2EntrySize;  // 131,072
constexpr int64_t kV2RecordsStart = kV2HeaderSize + kV2IndexSize;     // 131,136: a new file
constexpr int kV2OffsetBits = 40;
constexpr uint64_t kV2OffsetMask = (uint64_t(1) << kV2OffsetBits) - 1;
// The entry's 24 size bits bound a tile; its 40 offset bits bound the file.
constexpr int64_t kV2MaxTileSize = (int64_t(1) << 24) - 1;
constexpr int64_t kV2MaxFileSize = int64_t(1) << kV2OffsetBits;
constexpr int64_t kV2RecordCountField = 4;   // 4 bytes, 16,384 in the usual header
constexpr int64_t kV2MaxTileField = 8;       // 4 bytes, the largest tile stored
constexpr int64_t kV2OffsetBytesField = 12;  // 4 bytes, 5
constexpr int64_t kV2FileSizeField = 24;     // 8 bytes
// Bytes 8 to 31 hold both fields a save keeps current (with the offset byte
// count and the slack between them, written back as read).
constexpr int64_t kV2CountersAt = kV2MaxTileField;
constexpr int64_t kV2CountersEnd = 32;

inline int64_t V2EntryPosition(int entry) { return kV2HeaderSize + int64_t(entry) * kV2EntrySize; }

// A new V2 file's header: version 3, 16,384 records, the largest tile, 5
// offset bytes, no slack, the file size, the user header at 40 of 20 +
// 131,072 bytes (3, 16, 16,384, 5, then the index size).
inline void EncodeV2Header(unsigned char header[kV2HeaderSize], uint32_t maxTile,
                           uint64_t fileSize) {
    WriteLE(header + 0, 3, 4);
    WriteLE(header + 4, uint64_t(kSlotCount), 4);
    WriteLE(header + kV2MaxTileField, maxTile, 4);
    WriteLE(header + 12, 5, 4);
    WriteLE(header + 16, 0, 8);
    WriteLE(header + kV2FileSizeField, fileSize, 8);
    WriteLE(header + 32, 40, 8);
    WriteLE(header + 40, 20 + uint64_t(kV2IndexSize), 4);
    WriteLE(header + 44, 3, 4);
    WriteLE(header + 48, 16, 4);
    WriteLE(header + 52, uint64_t(kSlotCount), 4);
    WriteLE(header + 56, 5, 4);
    WriteLE(header + 60, uint64_t(kV2IndexSize), 4);
}

// The fields a reader depends on: the version and the offset width. Other
// writers leave the rest of the header unusual (ArcGIS 10.3 has been seen
// writing 0 records, an unrelated largest-record value and 0 at 48), so
// those fields decide nothing about reading.
inline bool IsV2Header(const unsigned char header[kV2HeaderSize]) {
    return ReadLE(header + 0, 4) == 3 && ReadLE(header + kV2OffsetBytesField, 4) == 5;
}

// Whether bytes 8-11 hold the largest record, as in the header this system
// writes: only a header that also counts the usual 16,384 records is trusted
// to; a save leaves the field of any other header as it found it.
inline bool HasV2MaxTileField(const unsigned char* header) {
    return ReadLE(header + kV2RecordCountField, 4) == uint64_t(kSlotCount);
}

inline void DecodeV2Entry(const unsigned char entry[kV2EntrySize], int64_t& offset, int64_t& size) {
    const uint64_t value = ReadLE(entry, kV2EntrySize);
    offset = static_cast<int64_t>(value & kV2OffsetMask);
    size = static_cast<int64_t>(value >> kV2OffsetBits);
}

inline void EncodeV2Entry(unsigned char entry[kV2EntrySize], int64_t offset, int64_t size) {
    WriteLE(entry, (uint64_t(size) << kV2OffsetBits) | (uint64_t(offset) & kV2OffsetMask),
            kV2EntrySize);
}

}  // namespace bundle
}  // namespace TVK

#endif
