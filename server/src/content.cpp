// Content sniffing and entity tags of tiles.
#include "content.h"

#include <cstring>

namespace TVK {
namespace server {

namespace {

bool StartsWith(const unsigned char* data, size_t size, const char* magic, size_t length,
                size_t at = 0) {
    return size >= at + length && std::memcmp(data + at, magic, length) == 0;
}

uint64_t Load64(const unsigned char* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// 64 x 64 -> 128 multiply folded to 64 bits: the mixing step of the hash.
uint64_t Mix(uint64_t a, uint64_t b) {
    const __uint128_t product = static_cast<__uint128_t>(a) * b;
    return static_cast<uint64_t>(product) ^ static_cast<uint64_t>(product >> 64);
}

constexpr uint64_t kSeed0 = 0xa0761d6478bd642fULL;
constexpr uint64_t kSeed1 = 0xe7037ed1a0b428dbULL;
constexpr uint64_t kSeed2 = 0x8ebc6af09c88c6e3ULL;

}  // namespace

tagContentKind SniffContent(const unsigned char* data, size_t size, bool vectorCache) {
    if (StartsWith(data, size, "\x89PNG\r\n\x1a\n", 8)) return {"image/png", false};
    if (StartsWith(data, size, "\xff\xd8\xff", 3)) return {"image/jpeg", false};
    if (StartsWith(data, size, "RIFF", 4) && StartsWith(data, size, "WEBP", 4, 8))
        return {"image/webp", false};
    if (StartsWith(data, size, "GIF87a", 6) || StartsWith(data, size, "GIF89a", 6))
        return {"image/gif", false};
    if (StartsWith(data, size, "II*\0", 4) || StartsWith(data, size, "MM\0*", 4))
        return {"image/tiff", false};
    if (StartsWith(data, size, "\x1f\x8b", 2)) return {"application/x-protobuf", true};
    if (vectorCache) return {"application/x-protobuf", false};
    return {"application/octet-stream", false};
}

uint64_t HashBytes(const unsigned char* data, size_t size) {
    // Two lanes of 8-byte words, so a 20 KB tile hashes in a few microseconds.
    uint64_t a = kSeed0 ^ size, b = kSeed1;
    size_t i = 0;
    for (; i + 16 <= size; i += 16) {
        a = Mix(Load64(data + i) ^ kSeed1, a ^ kSeed2);
        b = Mix(Load64(data + i + 8) ^ kSeed2, b ^ kSeed0);
    }
    unsigned char tail[16] = {};
    std::memcpy(tail, data + i, size - i);
    a = Mix(Load64(tail) ^ kSeed1 ^ (size - i), a ^ kSeed2);
    b = Mix(Load64(tail + 8) ^ kSeed2, b ^ kSeed0);
    return Mix(a ^ kSeed0, b ^ kSeed1 ^ size);
}

void WriteEtag(uint64_t hash, char (&out)[kEtagLength]) {
    static const char kHex[] = "0123456789abcdef";
    out[0] = '"';
    for (int i = 0; i < 16; ++i) out[1 + i] = kHex[(hash >> (60 - 4 * i)) & 15];
    out[17] = '"';
}

bool EtagMatches(std::string_view header, std::string_view etag) {
    size_t i = 0;
    while (i < header.size()) {
        while (i < header.size() && (header[i] == ' ' || header[i] == '\t' || header[i] == ','))
            ++i;
        if (i >= header.size()) break;
        if (header[i] == '*') return true;
        if (header.compare(i, 2, "W/") == 0) i += 2;
        if (i >= header.size() || header[i] != '"') return false;  // not a list of tags
        const size_t close = header.find('"', i + 1);
        if (close == std::string_view::npos) return false;
        if (header.substr(i, close + 1 - i) == etag) return true;
        i = close + 1;
    }
    return false;
}

}  // namespace server
}  // namespace TVK
