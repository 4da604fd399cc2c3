// gzip on zlib: deflate with a gzip wrapper, and a bounded inflate.
#include "platform/eGzip.h"

#include <zlib.h>

#include <algorithm>
#include <limits>

namespace TVK {

namespace {

// windowBits 15 plus 16 selects the gzip wrapper instead of zlib's own.
constexpr int kGzipWindowBits = 15 + 16;
constexpr int kMemLevel = 8;  // zlib's default
// zlib counts in 32-bit units; feed and drain at most this much per call.
constexpr size_t kMaxChunk = size_t(1) << 30;

class eDeflater {
public:
    eDeflater() {
        m_ok = deflateInit2(&m_stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kGzipWindowBits,
                            kMemLevel, Z_DEFAULT_STRATEGY) == Z_OK;
    }
    ~eDeflater() {
        if (m_ok) deflateEnd(&m_stream);
    }
    eDeflater(const eDeflater&) = delete;
    eDeflater& operator=(const eDeflater&) = delete;
    bool m_ok = false;
    z_stream m_stream{};
};

class eInflater {
public:
    eInflater() { m_ok = inflateInit2(&m_stream, kGzipWindowBits) == Z_OK; }
    ~eInflater() {
        if (m_ok) inflateEnd(&m_stream);
    }
    eInflater(const eInflater&) = delete;
    eInflater& operator=(const eInflater&) = delete;
    bool m_ok = false;
    z_stream m_stream{};
};

}  // namespace

bool eGzip::IsGzip(const unsigned char* data, size_t size) {
    return data != nullptr && size >= 2 && data[0] == 0x1F && data[1] == 0x8B;
}

bool eGzip::Compress(const unsigned char* data, size_t size, eByteArray& out) {
    out.RemoveAll();
    if (data == nullptr && size > 0) return false;
    eDeflater z;
    if (!z.m_ok) return false;
    const uLong bound = deflateBound(&z.m_stream, static_cast<uLong>(std::min(size, kMaxChunk)));
    // The bound holds for one call's input; larger inputs grow the buffer below.
    if (bound > static_cast<uLong>(std::numeric_limits<eInt>::max())) return false;
    out.SetSize(static_cast<eInt>(std::max<uLong>(bound, 64)));
    size_t fed = 0;
    size_t produced = 0;
    int rc = Z_OK;
    while (rc != Z_STREAM_END) {
        if (z.m_stream.avail_in == 0 && fed < size) {
            const size_t chunk = std::min(size - fed, kMaxChunk);
            z.m_stream.next_in = const_cast<Bytef*>(data + fed);
            z.m_stream.avail_in = static_cast<uInt>(chunk);
            fed += chunk;
        }
        if (produced == static_cast<size_t>(out.GetSize())) {
            const size_t grown = produced * 2;
            if (grown > static_cast<size_t>(std::numeric_limits<eInt>::max())) {
                out.RemoveAll();
                return false;
            }
            out.SetSize(static_cast<eInt>(grown));
        }
        z.m_stream.next_out = out.GetData() + produced;
        z.m_stream.avail_out =
            static_cast<uInt>(std::min(static_cast<size_t>(out.GetSize()) - produced, kMaxChunk));
        const uInt before = z.m_stream.avail_out;
        rc = deflate(&z.m_stream, fed == size ? Z_FINISH : Z_NO_FLUSH);
        produced += before - z.m_stream.avail_out;
        if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) {
            out.RemoveAll();
            return false;
        }
    }
    out.SetSize(static_cast<eInt>(produced));
    return true;
}

bool eGzip::Decompress(const unsigned char* data, size_t size, size_t limit, eByteArray& out) {
    out.RemoveAll();
    if (!IsGzip(data, size)) return false;
    limit = std::min(limit, static_cast<size_t>(std::numeric_limits<eInt>::max()));
    eInflater z;
    if (!z.m_ok) return false;
    // Directories usually inflate to a few times their size.
    size_t capacity = std::min(limit, std::max<size_t>(size * 4, 256));
    out.SetSize(static_cast<eInt>(capacity));
    size_t fed = 0;
    size_t produced = 0;
    int rc = Z_OK;
    while (rc != Z_STREAM_END) {
        if (z.m_stream.avail_in == 0 && fed < size) {
            const size_t chunk = std::min(size - fed, kMaxChunk);
            z.m_stream.next_in = const_cast<Bytef*>(data + fed);
            z.m_stream.avail_in = static_cast<uInt>(chunk);
            fed += chunk;
        }
        if (produced == capacity) {
            if (capacity == limit) {
                // Full: only the end of the stream may follow, no more output.
                unsigned char spare = 0;
                z.m_stream.next_out = &spare;
                z.m_stream.avail_out = 1;
                rc = inflate(&z.m_stream, Z_NO_FLUSH);
                if (rc == Z_STREAM_END && z.m_stream.avail_out == 1) break;
                out.RemoveAll();
                return false;
            }
            capacity = std::min(limit, capacity * 2);
            out.SetSize(static_cast<eInt>(capacity));
        }
        z.m_stream.next_out = out.GetData() + produced;
        z.m_stream.avail_out = static_cast<uInt>(std::min(capacity - produced, kMaxChunk));
        const uInt before = z.m_stream.avail_out;
        rc = inflate(&z.m_stream, Z_NO_FLUSH);
        produced += before - z.m_stream.avail_out;
        if (rc == Z_STREAM_END) break;
        // Z_BUF_ERROR with input left means no progress was possible: the
        // stream is cut short when the input is used up.
        const bool inputLeft = z.m_stream.avail_in > 0 || fed < size;
        if (rc != Z_OK && !(rc == Z_BUF_ERROR && inputLeft)) {
            out.RemoveAll();
            return false;
        }
        if (rc == Z_OK && !inputLeft && z.m_stream.avail_out > 0) {
            out.RemoveAll();  // truncated: no input left and the stream did not end
            return false;
        }
    }
    // A second member or trailing garbage is not part of what was asked for.
    if (z.m_stream.avail_in > 0 || fed < size) {
        out.RemoveAll();
        return false;
    }
    out.SetSize(static_cast<eInt>(produced));
    return true;
}

}  // namespace TVK
