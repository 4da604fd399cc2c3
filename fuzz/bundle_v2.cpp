// Fuzz target: a V2 bundle built from the input, then lookups, loads, the
// listing and the check, a save and a removal on it. Every answer is checked
// against an independent reading of the same bytes: a load returns exactly
// the bytes an entry names when its size is above 0 and they lie after the
// index and inside the file.
//
// Input: byte 0 flags (bit 0: the rest is the raw file; bit 1: byte 3 replaces
// the header's version; bit 2: list and check the bundle too), bytes 1-2 the patch part's length
// (little-endian), then 10-byte entry patches (entry number 2 bytes LE mod 16,384, the entry's 8
// bytes), then bytes appended after the empty header and index.
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "eRasterCompact.h"
#include "fuzz_support.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

constexpr size_t kStart = 64 + 16384 * 8;  // header and index

const fs::path& Root() {
    static const tvkfuzz::ScratchDir root("tvk-fuzz-bundle-v2-", "_alllayers/L00");
    return root.Path();
}

using tvkfuzz::Check;

uint64_t LE(const unsigned char* p, int count) {
    uint64_t value = 0;
    for (int i = count - 1; i >= 0; --i) value = value << 8 | p[i];
    return value;
}

bool Usable(const Bytes& file) {
    // The record count is not required: other writers leave it 0.
    return file.size() >= kStart && LE(file.data(), 4) == 3 && LE(file.data() + 12, 4) == 5;
}

// The stored tile's size at an entry, or 0; -1 when the file is no bundle.
int64_t Expected(const Bytes& file, int entry, uint64_t& offset) {
    if (!Usable(file)) return -1;
    const uint64_t value = LE(file.data() + 64 + 8 * size_t(entry), 8);
    const uint64_t size = value >> 40;
    offset = value & ((uint64_t(1) << 40) - 1);
    if (size == 0 || offset < kStart + 4 || offset + size > file.size()) return 0;
    return int64_t(size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    if (size < 4) return 0;
    const bool raw = (input[0] & 1) != 0;
    Bytes file;
    std::vector<int> entries = {0, 127, 128, 16383};
    if (raw) {
        file.assign(input + 1, input + size);
    } else {
        const size_t patchPart =
            std::min<size_t>(size - 3, size_t(input[1]) | size_t(input[2]) << 8);
        const unsigned char* part = input + 3;
        file.assign(kStart, 0);
        const unsigned char header[64] = {3, 0, 0, 0, 0, 0x40, 0, 0, 0, 0, 0, 0, 5};
        std::memcpy(file.data(), header, sizeof header);
        if (input[0] & 2) file[0] = input[3];
        for (size_t at = 0; at + 10 <= patchPart && entries.size() < 24; at += 10) {
            const int entry = (int(part[at]) | int(part[at + 1]) << 8) % 16384;
            std::memcpy(file.data() + 64 + 8 * size_t(entry), part + at + 2, 8);
            entries.push_back(entry);
        }
        file.insert(file.end(), part + patchPart, input + size);
    }

    const fs::path path = Root() / "_alllayers" / "L00" / "R0000C0000.bundle";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(file.data()),
                  static_cast<std::streamsize>(file.size()));
    }

    TVK::eRasterCompact handle;
    handle.SetSrcPath(Root().string().c_str());
    handle.SetBundleFormat(TVK::eRasterCompact::BundleV2);
    for (int entry : entries) {
        const int row = entry / 128, col = entry % 128;
        uint64_t offset = 0;
        const int64_t expected = Expected(file, entry, offset);
        Check((expected < 0) == (handle.IsTileExist(row, col, 0, TVK::eString()) == -2));
        Check(handle.IsTileStored(row, col, 0) == (expected > 0 ? 1 : 0));
        TVK::eByteArray loaded;
        const int64_t length = handle.LoadTileData(loaded, row, col, 0);
        Check(length == (expected > 0 ? expected : 0));
        if (length > 0) {
            Check(loaded.GetSize() == length);
            Check(std::memcmp(loaded.GetData(), file.data() + offset, size_t(length)) == 0);
        }
    }

    if (input[0] & 4)
        tvkfuzz::CheckListing(Root().string(), TVK::eTileStorage::CompactV2, [&](int position) {
            uint64_t offset = 0;
            return Expected(file, position, offset);
        });

    // A save is refused exactly where a tile is stored or the file is no
    // bundle; where accepted, the tile loads back, the header's file size is
    // the file's, and a removal frees it.
    const int entry = entries.back();
    const int row = entry / 128, col = entry % 128;
    uint64_t offset = 0;
    const int64_t expected = Expected(file, entry, offset);
    const unsigned char tile[3] = {0xAB, 0xCD, 0xEF};
    const unsigned char saved = handle.SaveTileData(TVK::eByteArray(tile, 3), row, col, 0);
    Check(saved == (expected == 0 ? 1 : 0));
    if (saved) {
        TVK::eByteArray loaded;
        Check(handle.LoadTileData(loaded, row, col, 0) == 3 &&
              std::memcmp(loaded.GetData(), tile, 3) == 0);
        Bytes after;
        {
            std::ifstream in(path, std::ios::binary);
            after.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        Check(after.size() == file.size() + 7 && LE(after.data() + 24, 8) == after.size());
        // The largest-record field is kept current only in a header that
        // counts the usual 16,384 records.
        Check(LE(after.data() + 4, 4) != 16384 || LE(after.data() + 8, 4) >= 3);
        Check(LE(after.data() + 4, 4) == 16384 ||
              std::memcmp(after.data() + 8, file.data() + 8, 4) == 0);
        Check(handle.RemoveTileData(row, col, 0) == 1);
        Check(handle.IsTileStored(row, col, 0) == 0);
    } else if (expected < 0) {
        Check(fs::file_size(path) == file.size());
    }
    return 0;
}
