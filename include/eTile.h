// eTile: a self-contained record that carries one tile (its key, position,
// scale, map bounds and encoded bytes) between the library and its users.
// The library itself never calls it.
#ifndef TVK_ETILE_H
#define TVK_ETILE_H

#include <cstdint>

#include "platform/eByteArray.h"
#include "platform/eExport.h"
#include "platform/eGeometry.h"

namespace TVK {

// Opaque 8-byte tile key: copied whole and never inspected by the library.
union eTileKey {
    uint64_t Value = 0;
    unsigned char Bytes[8];
};
static_assert(sizeof(eTileKey) == 8, "eTileKey is an 8-byte union");

class TVK_API eTile {
public:
    // Key 0, row 0, column 0, default bounds, no bytes; Scale, FileType and
    // TileSize start at 0.
    eTile();
    eTile(const eTile& other);
    eTile& operator=(const eTile& other);
    ~eTile();

    void SetKey(eTileKey key) { Key = key; }
    eTileKey GetKey() const { return Key; }
    void SetScale(double scale) { Scale = scale; }
    double GetScale() const { return Scale; }
    void SetTileRow(int row) { TileRow = row; }
    int GetTileRow() const { return TileRow; }
    void SetTileCol(int col) { TileCol = col; }
    int GetTileCol() const { return TileCol; }
    void SetTilePos(int row, int col) {
        TileRow = row;
        TileCol = col;
    }
    void GetTilePos(int& row, int& col) const {
        row = TileRow;
        col = TileCol;
    }
    void SetFileType(int type) { FileType = type; }
    int GetFileType() const { return FileType; }
    void SetByteArray(const eByteArray& bytes) { ByteArray = bytes; }
    // The record's own array, writable in place.
    eByteArray& GetByteArray() { return ByteArray; }
    void SetMPBounds(const eRect2D& bounds) { MPBounds = bounds; }
    const eRect2D& GetMPBounds() const { return MPBounds; }
    void SetTileSize(int size) { TileSize = size; }
    int GetTileSize() const { return TileSize; }

    eTileKey Key;
    double Scale = 0.0;
    int32_t TileRow = 0;
    int32_t TileCol = 0;
    eRect2D MPBounds;
    int32_t FileType = 0;  // a value of eFileType::EmType, held as a plain int
    eByteArray ByteArray;
    int32_t TileSize = 0;  // tile edge in pixels
};

}  // namespace TVK

#endif
