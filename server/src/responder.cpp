// Building responses: routing, reading tiles, entity tags, and the headers.
//
// Tiles: Content-Type from the bytes, a strong ETag from a hash of the
// bytes (so a tile replaced by other bytes gets a new tag, whatever layout
// holds it), If-None-Match answered with 304, Cache-Control max-age and
// Access-Control-Allow-Origin as configured. A tile the cache does not hold
// (or a level it does not have) is answered by the missing-tile policy, with
// "no-cache" so that clients pick the tile up once a writer adds it.
// Generated documents depend on the Host the client used and are sent with
// "no-cache" as well; their tags still spare clients the body.
#include "responder.h"

#include <cstring>

#include "content.h"
#include "documents.h"
#include "http_date.h"
#include "text_out.h"

namespace TVK {
namespace server {

namespace {

const char* Reason(int status) {
    switch (status) {
        case 200: return "OK";
        case 204: return "No Content";
        case 301: return "Moved Permanently";
        case 304: return "Not Modified";
        case 400: return "Bad Request";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 413: return "Content Too Large";
        case 414: return "URI Too Long";
        case 431: return "Request Header Fields Too Large";
        case 500: return "Internal Server Error";
        case 503: return "Service Unavailable";
        default: return "Unknown";
    }
}

// The Date header's text, formatted once per second per thread.
const char* DateNow() {
    thread_local int64_t second = -1;
    thread_local char text[kHttpDateLength + 1] = {};
    const int64_t now = UnixNow();
    if (now != second) {
        char formatted[kHttpDateLength];
        FormatHttpDate(now, formatted);
        std::memcpy(text, formatted, kHttpDateLength);
        second = now;
    }
    return text;
}

// Host header values that may go into URLs: host names, IPv4 and bracketed
// IPv6 addresses, with a port.
bool IsSafeHost(std::string_view host) {
    if (host.empty() || host.size() > 255) return false;
    for (const char c : host) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '.' || c == '-' || c == ':' || c == '[' ||
                        c == ']' || c == '_';
        if (!ok) return false;
    }
    return true;
}

void AppendHeader(std::string& head, const char* name, std::string_view value) {
    head += name;
    head += ": ";
    head += value;
    head += "\r\n";
}

constexpr const char* kNoCache = "no-cache";

}  // namespace

eResponder::eResponder(std::vector<tagServedCache> caches, const tagServeOptions& options,
                       std::vector<tagStaticFile> statics, std::string defaultBase)
    : m_caches(std::move(caches)),
      m_statics(std::move(statics)),
      m_defaultBase(std::move(defaultBase)),
      m_emMissing(options.Missing) {
    for (const tagStaticFile& file : m_statics) m_staticNames.push_back(file.Name);
    const int maxAge = options.MaxAgeSeconds > 0 ? options.MaxAgeSeconds : 0;
    m_tileCacheControl = maxAge > 0 ? "max-age=" + std::to_string(maxAge) : kNoCache;
    m_staticCacheControl = m_tileCacheControl;
    if (!options.CorsOrigin.IsEmpty()) m_cors = options.CorsOrigin.Std();
    if (m_emMissing == tagServeOptions::MissingTile) {
        const eByteArray& bytes = options.MissingTileBytes;
        m_missingTile.assign(reinterpret_cast<const char*>(bytes.GetData()),
                             static_cast<size_t>(bytes.GetSize()));
        const tagContentKind kind = SniffContent(bytes.GetData(), m_missingTile.size(), false);
        m_missingMime = kind.MimeType;
        m_bMissingGzip = kind.Gzip;
    }
}

std::string eResponder::BaseUrl(std::string_view host) const {
    if (!IsSafeHost(host)) return m_defaultBase;
    return "http://" + std::string(host);
}

void eResponder::BeginHead(int status, const tagRequestView& request, tagResponse& response) const {
    response.Status = status;
    response.Body = nullptr;
    response.BodySize = 0;
    response.Close = !request.KeepAlive;
    std::string& head = response.Head;
    head.clear();
    head += "HTTP/1.1 ";
    AppendInt(head, status);
    head += ' ';
    head += Reason(status);
    head += "\r\nServer: tvk\r\nDate: ";
    head += DateNow();
    head += "\r\n";
    if (!m_cors.empty()) AppendHeader(head, "Access-Control-Allow-Origin", m_cors);
}

void eResponder::FinishBody(const tagRequestView& request, const char* mimeType, bool gzip,
                            const char* etag, const char* cacheControl, const unsigned char* body,
                            size_t size, tagResponse& response) const {
    std::string& head = response.Head;
    const bool bodyless = response.Status == 204 || response.Status == 304;
    if (!bodyless) {
        AppendHeader(head, "Content-Type", mimeType);
        if (gzip) AppendHeader(head, "Content-Encoding", "gzip");
        head += "Content-Length: ";
        AppendInt(head, static_cast<long long>(size));
        head += "\r\n";
    }
    if (etag != nullptr) AppendHeader(head, "ETag", std::string_view(etag, kEtagLength));
    if (cacheControl != nullptr) AppendHeader(head, "Cache-Control", cacheControl);
    if (response.Close)
        head += "Connection: close\r\n";
    else if (request.Http10)
        head += "Connection: keep-alive\r\n";
    head += "\r\n";
    if (!bodyless && !request.Head) {
        response.Body = body;
        response.BodySize = size;
    }
}

void eResponder::RespondPlain(const tagRequestView& request, int status, const char* text,
                              tagResponse& response) const {
    BeginHead(status, request, response);
    if (status == 405) response.Head += "Allow: GET, HEAD\r\n";
    FinishBody(request, "text/plain; charset=utf-8", false, nullptr, kNoCache,
               reinterpret_cast<const unsigned char*>(text), std::strlen(text), response);
}

void eResponder::RespondText(const tagRequestView& request, int status, const char* mimeType,
                             const char* cacheControl, tagResponse& response) const {
    const auto* body = reinterpret_cast<const unsigned char*>(response.Text.data());
    const size_t size = response.Text.size();
    char etag[kEtagLength];
    WriteEtag(HashBytes(body, size), etag);
    const std::string_view tag(etag, kEtagLength);
    if (status == 200 && !request.IfNoneMatch.empty() && EtagMatches(request.IfNoneMatch, tag))
        status = 304;
    BeginHead(status, request, response);
    FinishBody(request, mimeType, false, status == 200 || status == 304 ? etag : nullptr,
               cacheControl, body, size, response);
}

void eResponder::RespondMissing(const tagRequestView& request, tagResponse& response) const {
    switch (m_emMissing) {
        case tagServeOptions::Missing404:
            RespondPlain(request, 404, "no such tile\n", response);
            return;
        case tagServeOptions::Missing204:
            BeginHead(204, request, response);
            FinishBody(request, nullptr, false, nullptr, kNoCache, nullptr, 0, response);
            return;
        case tagServeOptions::MissingTile: {
            const auto* body = reinterpret_cast<const unsigned char*>(m_missingTile.data());
            char etag[kEtagLength];
            WriteEtag(HashBytes(body, m_missingTile.size()), etag);
            const bool same = !request.IfNoneMatch.empty() &&
                              EtagMatches(request.IfNoneMatch, std::string_view(etag, kEtagLength));
            BeginHead(same ? 304 : 200, request, response);
            FinishBody(request, m_missingMime.c_str(), m_bMissingGzip, etag, kNoCache, body,
                       m_missingTile.size(), response);
            return;
        }
    }
}

void eResponder::RespondTile(const tagRequestView& request, const tagRoute& route,
                             tagResponse& response) const {
    const tagServedCache& cache = m_caches[static_cast<size_t>(route.Cache)];
    eByteArray& tile = response.Tile;
    // An empty record is no tile (writers never store one on purpose).
    if (route.Level < 0 || !cache.Storage->LoadImageData(route.Level, route.Row, route.Col, tile) ||
        tile.GetSize() == 0) {
        RespondMissing(request, response);
        return;
    }
    const unsigned char* bytes = tile.GetData();
    const size_t size = static_cast<size_t>(tile.GetSize());
    char etag[kEtagLength];
    WriteEtag(HashBytes(bytes, size), etag);
    const bool same = !request.IfNoneMatch.empty() &&
                      EtagMatches(request.IfNoneMatch, std::string_view(etag, kEtagLength));
    const tagContentKind kind = SniffContent(bytes, size, cache.Format == EmTileFormat::Vector);
    BeginHead(same ? 304 : 200, request, response);
    FinishBody(request, kind.MimeType, kind.Gzip, etag, m_tileCacheControl.c_str(), bytes, size,
               response);
}

void eResponder::Respond(const tagRequestView& request, tagResponse& response) const {
    if (!request.MethodAllowed) {
        RespondPlain(request, 405, "only GET and HEAD\n", response);
        return;
    }
    const tagRoute route = RouteRequest(request.Target, m_caches, m_staticNames);
    switch (route.Kind) {
        case EmRoute::Tile: RespondTile(request, route, response); return;
        case EmRoute::CacheList:
            if (route.Json) {
                response.Text = WriteCacheListJson(m_caches, BaseUrl(request.Host));
                RespondText(request, 200, "application/json", kNoCache, response);
            } else {
                response.Text = WriteCacheListHtml(m_caches);
                RespondText(request, 200, "text/html; charset=utf-8", kNoCache, response);
            }
            return;
        case EmRoute::Static: {
            const tagStaticFile& file = m_statics[static_cast<size_t>(route.Static)];
            const auto* body = reinterpret_cast<const unsigned char*>(file.Bytes.data());
            char etag[kEtagLength];
            WriteEtag(HashBytes(body, file.Bytes.size()), etag);
            const bool same = !request.IfNoneMatch.empty() &&
                              EtagMatches(request.IfNoneMatch, std::string_view(etag, kEtagLength));
            BeginHead(same ? 304 : 200, request, response);
            FinishBody(request, file.MimeType, false, etag, m_staticCacheControl.c_str(), body,
                       file.Bytes.size(), response);
            return;
        }
        case EmRoute::Redirect: {
            BeginHead(301, request, response);
            AppendHeader(response.Head, "Location",
                         "/" + m_caches[static_cast<size_t>(route.Cache)].Name + "/");
            static const char kMoved[] = "moved\n";
            FinishBody(request, "text/plain; charset=utf-8", false, nullptr, kNoCache,
                       reinterpret_cast<const unsigned char*>(kMoved), sizeof kMoved - 1, response);
            return;
        }
        case EmRoute::MapPage:
            response.Text =
                WriteMapPage(m_caches[static_cast<size_t>(route.Cache)], !m_statics.empty());
            RespondText(request, 200, "text/html; charset=utf-8", kNoCache, response);
            return;
        case EmRoute::TileJson:
            if (!WriteTileJson(m_caches[static_cast<size_t>(route.Cache)], BaseUrl(request.Host),
                               response.Text)) {
                RespondPlain(request, 404,
                             "no TileJSON: the cache's levels are not Web Mercator zooms 0, 1, "
                             "2...\n",
                             response);
                return;
            }
            RespondText(request, 200, "application/json", kNoCache, response);
            return;
        case EmRoute::WmtsCapabilities:
            response.Text = WriteWmtsCapabilities(m_caches[static_cast<size_t>(route.Cache)],
                                                  BaseUrl(request.Host));
            RespondText(request, 200, "application/xml", kNoCache, response);
            return;
        case EmRoute::ArcGisService:
            response.Text = WriteArcGisService(m_caches[static_cast<size_t>(route.Cache)]);
            RespondText(request, 200, "application/json", kNoCache, response);
            return;
        case EmRoute::OwsException:
            response.Text = WriteOwsException(route.Code, route.Locator);
            RespondText(request, 400, "application/xml", kNoCache, response);
            return;
        case EmRoute::BadRequest:
            RespondPlain(request, 400, "malformed tile address or path\n", response);
            return;
        case EmRoute::NotFound: RespondPlain(request, 404, "not found\n", response); return;
    }
}

void eResponder::RespondError(int status, tagResponse& response) const {
    tagRequestView request;
    request.KeepAlive = false;
    RespondPlain(request, status, status == 503 ? "too many connections\n" : "refused\n", response);
}

}  // namespace server
}  // namespace TVK
