// Fuzz target: a bundle pair built from the input, then lookups, loads, the
// listing and the check, a save and a removal on it. Every answer is checked
// against an independent reading of the same bytes: a load returns exactly
// the record the slot points at when that record lies wholly inside the data
// file, else nothing.
//
// Input: byte 0 flags (bit 0: ArcGIS index header and empty slots; bit 1: the
// index part is the raw index file instead of slot patches; bit 2: list and
// check the bundle too, which reads every record length), bytes 1-2 the
// index part's length (little-endian), the index part, and the data file.
// Slot patches are 7-byte entries: slot number (2 bytes LE, mod 16,384), then
// the slot's five bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "eRasterCompact.h"
#include "fuzz_support.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

const fs::path& Root() {
    static const tvkfuzz::ScratchDir root("tvk-fuzz-bundle-", "_alllayers/L00");
    return root.Path();
}

void WriteFile(const fs::path& path, const unsigned char* bytes, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(size));
}

using tvkfuzz::Check;

uint32_t LE32(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The stored record's length at a slot, or 0, read from our own copies.
int64_t ExpectedLength(const Bytes& index, const Bytes& data, int slot, int64_t& offset) {
    const size_t at = 16 + 5 * size_t(slot);
    if (index.size() < 16 + 16384 * 5) return -1;  // no usable pair
    const unsigned char* s = index.data() + at;
    if (s[0] == 1 && s[1] == 1 && s[2] == 1 && s[3] == 1 && s[4] == 1) return 0;
    const int32_t o = static_cast<int32_t>(LE32(s));
    if (o < 0 || size_t(o) + 4 > data.size()) return 0;
    const int32_t n = static_cast<int32_t>(LE32(data.data() + o));
    if (n <= 0 || uint64_t(o) + 4 + uint64_t(n) > data.size()) return 0;
    offset = o;
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    if (size < 3) return 0;
    const bool arcgis = (input[0] & 1) != 0;
    const bool raw = (input[0] & 2) != 0;
    const size_t indexPart = std::min<size_t>(size - 3, size_t(input[1]) | size_t(input[2]) << 8);
    const unsigned char* part = input + 3;
    const Bytes data(part + indexPart, input + size);

    Bytes index;
    std::vector<int> slots = {0, 127, 128, 16383};
    if (raw) {
        index.assign(part, part + indexPart);
    } else {
        index.assign(16 + 16384 * 5, 1);
        std::memset(index.data(), 0, 16);
        if (arcgis) {
            const unsigned char header[16] = {3, 0, 0, 0, 16, 0, 0, 0, 0, 0x40, 0, 0, 5, 0, 0, 0};
            std::memcpy(index.data(), header, 16);
            for (int i = 0; i < 16384; ++i) {
                const uint32_t empty = 60 + 4 * uint32_t(i);
                const unsigned char slot[5] = {static_cast<unsigned char>(empty),
                                               static_cast<unsigned char>(empty >> 8),
                                               static_cast<unsigned char>(empty >> 16), 0, 0};
                std::memcpy(index.data() + 16 + 5 * i, slot, 5);
            }
            index.resize(index.size() + 16, 0);
        }
        for (size_t at = 0; at + 7 <= indexPart && slots.size() < 24; at += 7) {
            const int slot = (int(part[at]) | int(part[at + 1]) << 8) % 16384;
            std::memcpy(index.data() + 16 + 5 * slot, part + at + 2, 5);
            slots.push_back(slot);
        }
    }

    const fs::path base = Root() / "_alllayers" / "L00" / "R0000C0000";
    WriteFile(base.string() + ".bundlx", index.data(), index.size());
    WriteFile(base.string() + ".bundle", data.data(), data.size());

    TVK::eRasterCompact handle;
    handle.SetSrcPath(Root().string().c_str());
    for (int slot : slots) {
        const int row = slot % 128, col = slot / 128;
        int64_t offset = 0;
        const int64_t expected = ExpectedLength(index, data, slot, offset);
        const int found = handle.IsTileExist(row, col, 0, TVK::eString());
        // -2 also stands for a slot whose raw offset is 0xFFFFFFFE: a negative
        // offset is returned as it stands, and callers treat any negative as no tile.
        const bool rawMinusTwo =
            expected >= 0 && static_cast<int32_t>(LE32(index.data() + 16 + 5 * size_t(slot))) == -2;
        Check((expected < 0 || rawMinusTwo) == (found == -2));
        Check(handle.IsTileStored(row, col, 0) == (expected > 0 ? 1 : 0));
        TVK::eByteArray loaded;
        const int64_t length = handle.LoadTileData(loaded, row, col, 0);
        Check(length == (expected > 0 ? expected : 0));
        Check(length <= int64_t(data.size()));
        if (length > 0) {
            Check(loaded.GetSize() == length);
            Check(std::memcmp(loaded.GetData(), data.data() + offset + 4, size_t(length)) == 0);
        }
    }

    if (input[0] & 4)
        tvkfuzz::CheckListing(Root().string(), TVK::eTileStorage::Compact, [&](int position) {
            int64_t offset = 0;  // column-major slots
            return ExpectedLength(index, data, (position % 128) * 128 + position / 128, offset);
        });

    // A save is refused exactly where a tile is stored; where accepted, the
    // tile loads back. A removal then frees it.
    const int slot = slots.back();
    const int row = slot % 128, col = slot / 128;
    int64_t offset = 0;
    const int64_t expected = ExpectedLength(index, data, slot, offset);
    const unsigned char tile[3] = {0xAB, 0xCD, 0xEF};
    const unsigned char saved = handle.SaveTileData(TVK::eByteArray(tile, 3), row, col, 0);
    if (expected == 0 && data.size() < 0x7fffffff) Check(saved == 1);
    if (expected > 0) Check(saved == 0);
    if (saved) {
        TVK::eByteArray loaded;
        Check(handle.LoadTileData(loaded, row, col, 0) == 3 &&
              std::memcmp(loaded.GetData(), tile, 3) == 0);
        Check(handle.RemoveTileData(row, col, 0) == 1);
        // An ArcGIS-headed index points a freed slot at the data file's
        // zero-length record, which fuzzed data need not hold.
        const unsigned char arcgisHeader[4] = {3, 0, 0, 0};
        if (index.size() < 16 || std::memcmp(index.data(), arcgisHeader, 4) != 0)
            Check(handle.IsTileStored(row, col, 0) == 0);
    }
    return 0;
}
