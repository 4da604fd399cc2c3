// PMTiles v3 header, tile ids and directories: pure byte arithmetic, no I/O.
#include "pmtiles/ePMTilesFormat.h"

#include <cstring>
#include <limits>
#include <utility>

namespace TVK {
namespace pmtiles {

namespace {

// Quarter-turns of the Hilbert curve: the sub-square's frame is flipped and
// transposed so that the curve enters and leaves it at the right corners.
void Rotate(uint64_t n, uint64_t& x, uint64_t& y, uint64_t rx, uint64_t ry) {
    if (ry == 0) {
        if (rx == 1) {
            x = n - 1 - x;
            y = n - 1 - y;
        }
        std::swap(x, y);
    }
}

void PutLE(unsigned char* out, uint64_t value, int count) {
    for (int i = 0; i < count; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint64_t GetLE(const unsigned char* in, int count) {
    uint64_t value = 0;
    for (int i = count - 1; i >= 0; --i) value = value << 8 | in[i];
    return value;
}

void PutVarint(std::vector<unsigned char>& out, uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<unsigned char>(value | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<unsigned char>(value));
}

// Reads one varint; false when the bytes end first or it exceeds 64 bits.
bool GetVarint(const unsigned char*& at, const unsigned char* end, uint64_t& value) {
    value = 0;
    for (int shift = 0; shift < 64; shift += 7) {
        if (at == end) return false;
        const unsigned char byte = *at++;
        const uint64_t bits = byte & 0x7F;
        // The tenth byte may carry only the 64th bit.
        if (shift == 63 && bits > 1) return false;
        value |= bits << shift;
        if ((byte & 0x80) == 0) return true;
    }
    return false;
}

}  // namespace

uint64_t FirstTileIdOfZoom(int z) {
    // (4^z - 1) / 3: the tiles of levels 0 .. z - 1.
    if (z <= 0) return 0;
    if (z >= 32) return std::numeric_limits<uint64_t>::max() / 3;
    return ((uint64_t(1) << (2 * z)) - 1) / 3;
}

bool ZxyToTileId(int z, uint32_t x, uint32_t y, uint64_t& id) {
    if (z < 0 || z > kMaxZoom) return false;
    const uint64_t n = uint64_t(1) << z;
    if (x >= n || y >= n) return false;
    uint64_t px = x, py = y, d = 0;
    for (uint64_t s = n / 2; s > 0; s /= 2) {
        const uint64_t rx = (px & s) ? 1 : 0;
        const uint64_t ry = (py & s) ? 1 : 0;
        d += s * s * ((3 * rx) ^ ry);
        Rotate(n, px, py, rx, ry);
    }
    id = FirstTileIdOfZoom(z) + d;
    return true;
}

bool TileIdToZxy(uint64_t id, int& z, uint32_t& x, uint32_t& y) {
    int level = 0;
    while (level <= kMaxZoom && id >= FirstTileIdOfZoom(level + 1)) ++level;
    if (level > kMaxZoom) return false;
    const uint64_t n = uint64_t(1) << level;
    uint64_t t = id - FirstTileIdOfZoom(level);
    uint64_t px = 0, py = 0;
    for (uint64_t s = 1; s < n; s *= 2) {
        const uint64_t rx = 1 & (t / 2);
        const uint64_t ry = 1 & (t ^ rx);
        Rotate(s, px, py, rx, ry);
        px += s * rx;
        py += s * ry;
        t /= 4;
    }
    z = level;
    x = static_cast<uint32_t>(px);
    y = static_cast<uint32_t>(py);
    return true;
}

void EncodeHeader(const tagHeader& h, unsigned char out[kHeaderSize]) {
    std::memset(out, 0, kHeaderSize);
    std::memcpy(out, kMagic, sizeof kMagic);
    out[7] = kVersion;
    const uint64_t fields[] = {h.RootOffset,     h.RootLength,  h.MetadataOffset, h.MetadataLength,
                               h.LeafOffset,     h.LeafLength,  h.DataOffset,     h.DataLength,
                               h.AddressedTiles, h.TileEntries, h.TileContents};
    for (size_t i = 0; i < sizeof fields / sizeof fields[0]; ++i)
        PutLE(out + 8 + 8 * i, fields[i], 8);
    out[96] = h.Clustered ? 1 : 0;
    out[97] = h.InternalCompression;
    out[98] = h.TileCompression;
    out[99] = h.TileType;
    out[100] = h.MinZoom;
    out[101] = h.MaxZoom;
    PutLE(out + 102, static_cast<uint32_t>(h.MinLonE7), 4);
    PutLE(out + 106, static_cast<uint32_t>(h.MinLatE7), 4);
    PutLE(out + 110, static_cast<uint32_t>(h.MaxLonE7), 4);
    PutLE(out + 114, static_cast<uint32_t>(h.MaxLatE7), 4);
    out[118] = h.CenterZoom;
    PutLE(out + 119, static_cast<uint32_t>(h.CenterLonE7), 4);
    PutLE(out + 123, static_cast<uint32_t>(h.CenterLatE7), 4);
}

bool DecodeHeader(const unsigned char* data, size_t size, tagHeader& h) {
    if (data == nullptr || size < kHeaderSize) return false;
    if (std::memcmp(data, kMagic, sizeof kMagic) != 0 || data[7] != kVersion) return false;
    uint64_t* fields[] = {&h.RootOffset,     &h.RootLength,  &h.MetadataOffset, &h.MetadataLength,
                          &h.LeafOffset,     &h.LeafLength,  &h.DataOffset,     &h.DataLength,
                          &h.AddressedTiles, &h.TileEntries, &h.TileContents};
    for (size_t i = 0; i < sizeof fields / sizeof fields[0]; ++i)
        *fields[i] = GetLE(data + 8 + 8 * i, 8);
    h.Clustered = data[96] == 1;
    h.InternalCompression = data[97];
    h.TileCompression = data[98];
    h.TileType = data[99];
    h.MinZoom = data[100];
    h.MaxZoom = data[101];
    h.MinLonE7 = static_cast<int32_t>(GetLE(data + 102, 4));
    h.MinLatE7 = static_cast<int32_t>(GetLE(data + 106, 4));
    h.MaxLonE7 = static_cast<int32_t>(GetLE(data + 110, 4));
    h.MaxLatE7 = static_cast<int32_t>(GetLE(data + 114, 4));
    h.CenterZoom = data[118];
    h.CenterLonE7 = static_cast<int32_t>(GetLE(data + 119, 4));
    h.CenterLatE7 = static_cast<int32_t>(GetLE(data + 123, 4));
    return true;
}

void EncodeDirectory(const std::vector<tagEntry>& entries, std::vector<unsigned char>& out) {
    PutVarint(out, entries.size());
    uint64_t lastId = 0;
    for (const tagEntry& e : entries) {
        PutVarint(out, e.TileId - lastId);
        lastId = e.TileId;
    }
    for (const tagEntry& e : entries) PutVarint(out, e.RunLength);
    for (const tagEntry& e : entries) PutVarint(out, e.Length);
    // 0 stands for "right after the previous entry's bytes", anything else
    // for the offset plus one.
    uint64_t next = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        const tagEntry& e = entries[i];
        PutVarint(out, i > 0 && e.Offset == next ? 0 : e.Offset + 1);
        next = e.Offset + e.Length;
    }
}

bool DecodeDirectory(const unsigned char* data, size_t size, std::vector<tagEntry>& entries) {
    entries.clear();
    const unsigned char* at = data;
    const unsigned char* end = data + size;
    if (data == nullptr) return false;
    uint64_t count = 0;
    if (!GetVarint(at, end, count)) return false;
    // Every entry takes at least one byte in each of the four columns.
    if (count > static_cast<uint64_t>(end - at) / 4) return false;
    entries.resize(static_cast<size_t>(count));
    auto fail = [&entries] {
        entries.clear();
        return false;
    };
    uint64_t id = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        uint64_t delta = 0;
        if (!GetVarint(at, end, delta)) return fail();
        if (i > 0 && delta == 0) return fail();  // ids strictly ascend
        if (delta > std::numeric_limits<uint64_t>::max() - id) return fail();
        id += delta;
        entries[i].TileId = id;
    }
    for (tagEntry& e : entries) {
        uint64_t run = 0;
        if (!GetVarint(at, end, run) || run > std::numeric_limits<uint32_t>::max()) return fail();
        e.RunLength = static_cast<uint32_t>(run);
    }
    for (tagEntry& e : entries) {
        uint64_t length = 0;
        if (!GetVarint(at, end, length) || length == 0 ||
            length > std::numeric_limits<uint32_t>::max())
            return fail();
        e.Length = static_cast<uint32_t>(length);
    }
    for (size_t i = 0; i < entries.size(); ++i) {
        uint64_t value = 0;
        if (!GetVarint(at, end, value)) return fail();
        if (value == 0) {
            if (i == 0) return fail();  // nothing to follow
            const tagEntry& prev = entries[i - 1];
            if (prev.Offset > std::numeric_limits<uint64_t>::max() - prev.Length) return fail();
            entries[i].Offset = prev.Offset + prev.Length;
        } else {
            entries[i].Offset = value - 1;
        }
    }
    if (at != end) return fail();
    return true;
}

const tagEntry* FindEntry(const std::vector<tagEntry>& entries, uint64_t id) {
    // The last entry whose id is not above the one sought.
    size_t lo = 0, hi = entries.size();
    while (lo < hi) {
        const size_t mid = lo + (hi - lo) / 2;
        if (entries[mid].TileId <= id)
            lo = mid + 1;
        else
            hi = mid;
    }
    if (lo == 0) return nullptr;
    const tagEntry& e = entries[lo - 1];
    if (e.RunLength == 0) return &e;
    return id - e.TileId < e.RunLength ? &e : nullptr;
}

}  // namespace pmtiles
}  // namespace TVK
