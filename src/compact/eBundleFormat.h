// On-disk facts of compact V1 bundle pairs, in one place so that a further
// bundle structure can be added beside the two known ones.
//
// Index (.bundlx): a 16-byte header, then 16,384 five-byte slots in
// column-major order (slot = (col mod 128) x 128 + (row mod 128)); a slot holds
// the record's offset in the data file, bytes 0-3 little-endian, byte 4 zero.
// Data (.bundle): records of a 4-byte little-endian length and the tile bytes,
// always appended at the end of the file.
#ifndef TVK_COMPACT_EBUNDLEFORMAT_H
#define TVK_COMPACT_EBUNDLEFORMAT_H

#include <cstdint>
#include <cstring>

namespace TVK {
namespace bundle {

constexpr int kPacketSize = 128;                          // tiles per block side
constexpr int kSlotCount = kPacketSize * kPacketSize;     // 16,384 positions
constexpr int kSlotSize = 5;                              // bytes per index slot
constexpr int64_t kIndexHeaderSize = 16;                  // bytes before slot 0
constexpr int64_t kIndexSlotsSize = int64_t(kSlotCount) * kSlotSize;  // 81,920
constexpr int64_t kIndexSize = kIndexHeaderSize + kIndexSlotsSize;    // 81,936
constexpr int64_t kRecordLengthSize = 4;                  // length before each record
// Record offsets are 32-bit signed positions: nothing may start at 2 GiB or later.
constexpr int64_t kMaxRecordOffset = int64_t(0x7fffffff);

// The empty pattern of this system's own bundles.
constexpr unsigned char kEmptyByte = 0x01;

// ArcGIS (10.0-10.2) bundles: the index carries this header and a 16-byte
// trailer; the data file starts with a 60-byte header and one zero length per
// position, and an empty slot points at its position's zero-length record.
constexpr unsigned char kArcGISIndexHeader[16] = {0x03, 0, 0, 0, 0x10, 0, 0, 0,
                                                  0, 0x40, 0, 0, 0x05, 0, 0, 0};
constexpr unsigned char kArcGISIndexTrailer[16] = {0, 0, 0, 0, 0x10, 0, 0, 0,
                                                   0x10, 0, 0, 0, 0, 0, 0, 0};
constexpr int64_t kArcGISDataHeaderSize = 60;

// Structure of an open pair.
enum EmKind {
    KindNative = 0,  // this system's own: zero header, empty slots 01 01 01 01 01
    KindArcGIS = 1,  // ArcGIS header: empty slots hold 60 + 4 x slot
};

inline int64_t SlotPosition(int slot) { return kIndexHeaderSize + int64_t(slot) * kSlotSize; }

inline EmKind KindOfIndexHeader(const unsigned char header[16]) {
    return std::memcmp(header, kArcGISIndexHeader, sizeof kArcGISIndexHeader) == 0 ? KindArcGIS
                                                                                   : KindNative;
}

inline bool IsEmptyPattern(const unsigned char slot[kSlotSize]) {
    return slot[0] == kEmptyByte && slot[1] == kEmptyByte && slot[2] == kEmptyByte &&
           slot[3] == kEmptyByte && slot[4] == kEmptyByte;
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

}  // namespace bundle
}  // namespace TVK

#endif
