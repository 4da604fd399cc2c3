// gzip streams (RFC 1952) in memory: what single-file caches use for their
// directories and metadata.
//
// Private to the library (not installed); TVK_API only so that the tests,
// benchmarks and fuzz targets, which link the shared library, can reach it.
#ifndef TVK_PLATFORM_EGZIP_H
#define TVK_PLATFORM_EGZIP_H

#include <cstddef>

#include "platform/eByteArray.h"
#include "platform/eExport.h"

namespace TVK {

class TVK_API eGzip {
public:
    // True when the bytes start with the gzip magic number (1F 8B).
    static bool IsGzip(const unsigned char* data, size_t size);
    // One gzip member holding the bytes; false (out empty) on failure.
    static bool Compress(const unsigned char* data, size_t size, eByteArray& out);
    // Inflates exactly one gzip member that fills the input. False (out
    // empty) for damaged or truncated input, trailing bytes, or more than
    // `limit` bytes of output: a few hostile bytes must not claim gigabytes.
    static bool Decompress(const unsigned char* data, size_t size, size_t limit, eByteArray& out);
};

}  // namespace TVK

#endif
