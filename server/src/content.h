// What a tile's bytes are, told from the bytes themselves (a cache may hold
// several kinds: ArcGIS's MIXED caches hold PNG and JPEG side by side), and
// the strong entity tag of the bytes.
#ifndef TVK_SERVER_CONTENT_H
#define TVK_SERVER_CONTENT_H

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace TVK {
namespace server {

struct tagContentKind {
    const char* MimeType;
    bool Gzip;  // the bytes are gzip: sent with Content-Encoding: gzip
};

// PNG, JPEG, WebP, GIF and TIFF by their signatures; gzip bytes are vector
// tiles (application/x-protobuf, gzip); anything else is a vector tile in a
// vector cache and application/octet-stream otherwise.
tagContentKind SniffContent(const unsigned char* data, size_t size, bool vectorCache);

// 64-bit hash of the bytes, the same on every run and machine; two tiles
// share a tag only when their bytes are equal (up to hash collisions).
uint64_t HashBytes(const unsigned char* data, size_t size);

// The quoted entity tag of a hash: 18 characters, "0123456789abcdef" with quotes.
constexpr size_t kEtagLength = 18;
void WriteEtag(uint64_t hash, char (&out)[kEtagLength]);

// Whether an If-None-Match header value matches the tag (weak comparison,
// as RFC 9110 asks for If-None-Match): "*", or any listed tag with or
// without W/.
bool EtagMatches(std::string_view ifNoneMatch, std::string_view etag);

}  // namespace server
}  // namespace TVK

#endif
