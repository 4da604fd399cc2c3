// eResponder: one parsed request in, one complete HTTP response out (status
// line, headers, and a view of the body), with no socket involved. The
// socket layer parses requests with Boost.Beast, hands them here and writes
// what comes back; tests call it directly.
//
// One responder serves every thread: it is immutable after construction and
// the storages it reads are safe for any number of threads. Per connection
// state (the buffers a response is built in) lives in tagResponse, which a
// connection reuses from request to request, so that a tile response
// allocates nothing once the buffers have grown.
#ifndef TVK_SERVER_RESPONDER_H
#define TVK_SERVER_RESPONDER_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "eTileHttpServer.h"
#include "router.h"
#include "served_cache.h"

namespace TVK {
namespace server {

struct tagStaticFile {
    std::string Name;  // path below /_tvk/
    const char* MimeType;
    std::string Bytes;
};

struct tagRequestView {
    bool Head = false;
    bool MethodAllowed = true;  // GET or HEAD
    std::string_view Target;
    std::string_view Host;         // Host header, for absolute URLs in documents
    std::string_view IfNoneMatch;  // If-None-Match header
    bool KeepAlive = true;         // what the request asked for (version and Connection)
    bool Http10 = false;
};

struct tagResponse {
    int Status = 0;
    std::string Head;  // status line and headers, ending with the empty line
    eByteArray Tile;   // tile bytes, when the body is a tile
    std::string Text;  // generated document, when the body is one
    const unsigned char* Body = nullptr;
    size_t BodySize = 0;  // bytes to send after Head (0 for HEAD, 204, 304)
    bool Close = false;   // close the connection after this response
};

class eResponder {
public:
    // `defaultBase` ("http://127.0.0.1:8080") stands in for a missing or
    // malformed Host header.
    eResponder(std::vector<tagServedCache> caches, const tagServeOptions& options,
               std::vector<tagStaticFile> statics, std::string defaultBase);

    void Respond(const tagRequestView& request, tagResponse& response) const;
    // A response that no request reached: 400, 413, 414, 431, 500, 503.
    // Always closes the connection.
    void RespondError(int status, tagResponse& response) const;

    const std::vector<tagServedCache>& Caches() const { return m_caches; }

private:
    void RespondTile(const tagRequestView& request, const tagRoute& route,
                     tagResponse& response) const;
    void RespondMissing(const tagRequestView& request, tagResponse& response) const;
    // A generated document in response.Text.
    void RespondText(const tagRequestView& request, int status, const char* mimeType,
                     const char* cacheControl, tagResponse& response) const;
    void RespondPlain(const tagRequestView& request, int status, const char* text,
                      tagResponse& response) const;
    // Status line and the headers every response carries.
    void BeginHead(int status, const tagRequestView& request, tagResponse& response) const;
    // Content headers, the end of the head, and the body view.
    void FinishBody(const tagRequestView& request, const char* mimeType, bool gzip,
                    const char* etag, const char* cacheControl, const unsigned char* body,
                    size_t size, tagResponse& response) const;
    std::string BaseUrl(std::string_view host) const;

    std::vector<tagServedCache> m_caches;
    std::vector<tagStaticFile> m_statics;
    std::vector<std::string> m_staticNames;
    std::string m_defaultBase;
    std::string m_tileCacheControl;  // "max-age=86400"
    std::string m_staticCacheControl;
    std::string m_cors;  // whole header line, or empty
    tagServeOptions::EmMissing m_emMissing;
    std::string m_missingTile;
    std::string m_missingMime;
    bool m_bMissingGzip = false;
};

}  // namespace server
}  // namespace TVK

#endif
