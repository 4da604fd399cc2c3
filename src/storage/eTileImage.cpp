// Sizes single-file caches need: a level's tile width in map units, and
// what the first bytes of an encoded tile say (its kind and pixel width;
// MBTiles records no tile size and takes it from one of its tiles). Nothing
// here decodes an image.
#include <cstring>

#include "storage/eTileFile.h"

namespace TVK {

namespace {

constexpr unsigned char kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

uint32_t BE16(const unsigned char* p) { return uint32_t(p[0]) << 8 | p[1]; }
uint32_t BE32(const unsigned char* p) { return BE16(p) << 16 | BE16(p + 2); }

bool StartsWith(const unsigned char* data, size_t size, const void* what, size_t count) {
    return size >= count && std::memcmp(data, what, count) == 0;
}

bool IsPng(const unsigned char* data, size_t size) {
    return StartsWith(data, size, kPngSignature, sizeof(kPngSignature));
}
bool IsJpeg(const unsigned char* data, size_t size) {
    return size >= 3 && data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF;
}
bool IsWebp(const unsigned char* data, size_t size) {
    return size >= 16 && std::memcmp(data, "RIFF", 4) == 0 && std::memcmp(data + 8, "WEBP", 4) == 0;
}

int JpegWidth(const unsigned char* data, size_t size) {
    size_t at = 2;
    while (at + 4 <= size) {
        if (data[at] != 0xFF) return 0;
        const unsigned char marker = data[at + 1];
        if (marker == 0xFF) {  // fill byte
            ++at;
            continue;
        }
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {  // no length
            at += 2;
            continue;
        }
        const size_t length = BE16(data + at + 2);
        if (length < 2) return 0;
        // Start of frame, any kind but the Huffman, arithmetic-coding and
        // extension markers that share the range.
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 &&
            marker != 0xCC) {
            if (at + 9 > size) return 0;
            return static_cast<int>(BE16(data + at + 7));
        }
        at += 2 + length;
    }
    return 0;
}

int WebpWidth(const unsigned char* data, size_t size) {
    if (size >= 30 && std::memcmp(data + 12, "VP8 ", 4) == 0 && data[23] == 0x9D &&
        data[24] == 0x01 && data[25] == 0x2A)
        return static_cast<int>((data[26] | data[27] << 8) & 0x3FFF);
    if (size >= 25 && std::memcmp(data + 12, "VP8L", 4) == 0 && data[20] == 0x2F)
        return 1 + static_cast<int>((data[21] | (data[22] & 0x3F) << 8));
    if (size >= 30 && std::memcmp(data + 12, "VP8X", 4) == 0)
        return 1 + static_cast<int>(data[24] | data[25] << 8 | data[26] << 16);
    return 0;
}

}  // namespace

double TileWidth(const eTileCoordSys& scheme, int level) {
    constexpr int kSpan = 1 << 20;
    return (scheme.ComputeTileWorldBounds(level, 0, kSpan).left - scheme.GetTileOrigin().x) / kSpan;
}

int TileImageWidth(const unsigned char* data, size_t size) {
    if (data == nullptr) return 0;
    if (IsPng(data, size)) {
        // The IHDR chunk comes first: length, "IHDR", then the width.
        if (size < 24 || std::memcmp(data + 12, "IHDR", 4) != 0) return 0;
        const uint32_t width = BE32(data + 16);
        return width > 0 && width <= 0x7FFFFFFF ? static_cast<int>(width) : 0;
    }
    if (IsJpeg(data, size)) return JpegWidth(data, size);
    if (IsWebp(data, size)) return WebpWidth(data, size);
    return 0;
}

eFileType::EmType TileImageType(const unsigned char* data, size_t size) {
    if (data == nullptr) return eFileType::PNG;
    if (IsJpeg(data, size)) return eFileType::JPG;
    if (IsWebp(data, size)) return eFileType::DATA;
    return eFileType::PNG;
}

}  // namespace TVK
