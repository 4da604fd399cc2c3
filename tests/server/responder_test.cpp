// Responses without sockets: a responder over a real compact cache on disk,
// asked the way the socket layer asks it. Status codes, the bytes of the
// tiles, Content-Type from the bytes, entity tags and 304, HEAD, the
// missing-tile policies, caching and CORS headers; plus the pieces the
// responses are made of (dates, content sniffing, hashing, log lines).
#include <gtest/gtest.h>

#include <regex>

#include "access_log.h"
#include "content.h"
#include "http_date.h"
#include "responder.h"
#include "server_support.h"

namespace tvktest {

using server::eResponder;
using server::tagRequestView;
using server::tagResponse;

namespace {

struct tagReply {
    int Status = 0;
    std::string Head;
    Bytes Body;
    bool Close = false;

    // The value of a header, "" when absent.
    std::string Header(const std::string& name) const {
        const std::string key = "\r\n" + name + ": ";
        const size_t at = Head.find(key);
        if (at == std::string::npos) return std::string();
        const size_t start = at + key.size();
        return Head.substr(start, Head.find("\r\n", start) - start);
    }
};

const Bytes kJpeg = Concat({0xFF, 0xD8, 0xFF, 0xE0}, Text("jpeg body"));
const Bytes kWebp = Text(std::string("RIFF\x10\0\0\0WEBPVP8 rest", 20));
const Bytes kGzip = Concat({0x1F, 0x8B, 0x08, 0x00}, Text("vector"));

class Responder : public ::testing::Test {
protected:
    void SetUp() override {
        MakeWebMercator(m_storage, 4, eTileStorage::Compact);
        m_storage.SetFileDirectory(m_dir.Root());
        Save(1, 0, 1, m_png);
        Save(2, 3, 1, kJpeg);
        Save(2, 0, 0, kWebp);
        Save(3, 7, 7, kGzip);
    }
    void Save(int level, int row, int col, const Bytes& bytes) {
        ASSERT_TRUE(tvktest::Save(m_storage, level, row, col, bytes));
    }
    std::unique_ptr<eResponder> Make(const tagServeOptions& options = tagServeOptions()) {
        std::vector<server::tagServedCache> caches{Describe(m_storage, "c")};
        std::vector<server::tagStaticFile> statics{{"leaflet.js", "text/javascript", "L={};"}};
        return std::make_unique<eResponder>(caches, options, statics, "http://127.0.0.1:9");
    }
    static tagReply Ask(const eResponder& responder, const std::string& target,
                        const std::string& ifNoneMatch = "", bool head = false,
                        const std::string& host = "", bool keepAlive = true, bool http10 = false) {
        tagRequestView request;
        request.Target = target;
        request.IfNoneMatch = ifNoneMatch;
        request.Head = head;
        request.Host = host;
        request.KeepAlive = keepAlive;
        request.Http10 = http10;
        tagResponse response;
        responder.Respond(request, response);
        tagReply reply;
        reply.Status = response.Status;
        reply.Head = response.Head;
        reply.Body.assign(response.Body, response.Body + response.BodySize);
        reply.Close = response.Close;
        return reply;
    }

    TempDir m_dir;
    eTileStorage m_storage;
    Bytes m_png = FakePng("level 1 row 0 col 1");
};

}  // namespace

TEST_F(Responder, TilesComeWithTheirBytesTypeAndHeaders) {
    const auto responder = Make();
    struct {
        const char* Target;
        const Bytes* Expected;
        const char* Type;
        const char* Encoding;
    } const cases[] = {
        {"/c/1/1/0.png", &m_png, "image/png", ""},
        {"/c/wmts/1.0.0/c/default/c/1/0/1.png", &m_png, "image/png", ""},
        {"/c/MapServer/tile/1/0/1", &m_png, "image/png", ""},
        {"/c/wmts?SERVICE=WMTS&REQUEST=GetTile&LAYER=c&TILEMATRIXSET=c&TILEMATRIX=1&TILEROW=0&"
         "TILECOL=1",
         &m_png, "image/png", ""},
        {"/c/2/1/3.png", &kJpeg, "image/jpeg", ""},  // the extension does not decide
        {"/c/2/0/0", &kWebp, "image/webp", ""},
        {"/c/3/7/7.pbf", &kGzip, "application/x-protobuf", "gzip"},
    };
    for (const auto& c : cases) {
        const tagReply r = Ask(*responder, c.Target);
        EXPECT_EQ(r.Status, 200) << c.Target;
        EXPECT_EQ(r.Body, *c.Expected) << c.Target;
        EXPECT_EQ(r.Header("Content-Type"), c.Type) << c.Target;
        EXPECT_EQ(r.Header("Content-Encoding"), c.Encoding) << c.Target;
        EXPECT_EQ(r.Header("Content-Length"), std::to_string(c.Expected->size())) << c.Target;
        EXPECT_EQ(r.Header("Cache-Control"), "max-age=86400") << c.Target;
        EXPECT_EQ(r.Header("Access-Control-Allow-Origin"), "*") << c.Target;
        EXPECT_TRUE(std::regex_match(r.Header("ETag"), std::regex("\"[0-9a-f]{16}\"")));
        EXPECT_TRUE(std::regex_match(
            r.Header("Date"),
            std::regex("(Mon|Tue|Wed|Thu|Fri|Sat|Sun), \\d\\d [A-Z][a-z]{2} \\d{4} "
                       "\\d\\d:\\d\\d:\\d\\d GMT")));
        EXPECT_EQ(r.Head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
        EXPECT_EQ(r.Head.substr(r.Head.size() - 4), "\r\n\r\n");
        EXPECT_FALSE(r.Close);
    }
    // HEAD: the same head, no body.
    const tagReply get = Ask(*responder, "/c/1/1/0"), head = Ask(*responder, "/c/1/1/0", "", true);
    EXPECT_EQ(head.Status, 200);
    EXPECT_TRUE(head.Body.empty());
    EXPECT_EQ(head.Header("Content-Length"), std::to_string(m_png.size()));
    EXPECT_EQ(head.Header("ETag"), get.Header("ETag"));
}

TEST_F(Responder, EntityTagsFollowTheBytes) {
    const auto responder = Make();
    const std::string tag = Ask(*responder, "/c/1/1/0").Header("ETag");
    ASSERT_FALSE(tag.empty());
    for (const std::string& match : {tag, "W/" + tag, "\"x\", " + tag, std::string("*")}) {
        const tagReply r = Ask(*responder, "/c/1/1/0", match);
        EXPECT_EQ(r.Status, 304) << match;
        EXPECT_TRUE(r.Body.empty());
        EXPECT_EQ(r.Header("ETag"), tag);
        EXPECT_EQ(r.Header("Content-Length"), "");
        EXPECT_EQ(r.Header("Cache-Control"), "max-age=86400");
    }
    EXPECT_EQ(Ask(*responder, "/c/1/1/0", "\"0000000000000000\"").Status, 200);
    EXPECT_EQ(Ask(*responder, "/c/1/1/0", "garbage").Status, 200);
    // Same bytes elsewhere: the same tag; other bytes at the same address: another.
    Save(3, 0, 0, m_png);
    EXPECT_EQ(Ask(*responder, "/c/3/0/0").Header("ETag"), tag);
    ASSERT_TRUE(m_storage.RemoveTile(1, 0, 1));
    Save(1, 0, 1, FakePng("replaced"));
    const tagReply replaced = Ask(*responder, "/c/1/1/0", tag);
    EXPECT_EQ(replaced.Status, 200);
    EXPECT_NE(replaced.Header("ETag"), tag);
    // Documents carry tags too.
    const std::string caps = Ask(*responder, "/c/wmts/1.0.0/WMTSCapabilities.xml").Header("ETag");
    EXPECT_EQ(Ask(*responder, "/c/wmts/1.0.0/WMTSCapabilities.xml", caps).Status, 304);
}

TEST_F(Responder, MissingTilesFollowThePolicy) {
    tagServeOptions options;
    const auto by404 = Make(options);
    options.Missing = tagServeOptions::Missing204;
    const auto by204 = Make(options);
    options.Missing = tagServeOptions::MissingTile;
    const Bytes blank = FakePng("transparent");
    options.MissingTileBytes = ToArray(blank);
    const auto byTile = Make(options);

    // Not stored; a level the cache does not have; a row far outside.
    for (const char* target :
         {"/c/2/2/2.png", "/c/9/0/0", "/c/1/999999999/0", "/c/MapServer/tile/7/0/0"}) {
        const tagReply a = Ask(*by404, target);
        EXPECT_EQ(a.Status, 404) << target;
        EXPECT_EQ(a.Header("Cache-Control"), "no-cache") << target;
        const tagReply b = Ask(*by204, target);
        EXPECT_EQ(b.Status, 204) << target;
        EXPECT_TRUE(b.Body.empty());
        EXPECT_EQ(b.Header("Content-Length"), "");
        const tagReply c = Ask(*byTile, target);
        EXPECT_EQ(c.Status, 200) << target;
        EXPECT_EQ(c.Body, blank);
        EXPECT_EQ(c.Header("Content-Type"), "image/png");
        EXPECT_EQ(c.Header("Cache-Control"), "no-cache");  // a real tile may come later
        EXPECT_EQ(Ask(*byTile, target, c.Header("ETag")).Status, 304);
    }
}

TEST_F(Responder, StatusesForEveryKindOfRequest) {
    tagServeOptions options;
    options.CorsOrigin = "https://maps.example";
    options.MaxAgeSeconds = 60;
    const auto responder = Make(options);
    struct {
        const char* Target;
        int Status;
        const char* Type;
    } const cases[] = {
        {"/", 200, "text/html; charset=utf-8"},
        {"/?f=json", 200, "application/json"},
        {"/c/", 200, "text/html; charset=utf-8"},
        {"/c/tilejson.json", 200, "application/json"},
        {"/c/MapServer?f=json", 200, "application/json"},
        {"/c/wmts/1.0.0/WMTSCapabilities.xml", 200, "application/xml"},
        {"/c/wmts?SERVICE=WMTS&REQUEST=GetCapabilities", 200, "application/xml"},
        {"/c/wmts?SERVICE=WMTS&REQUEST=GetTile", 400, "application/xml"},
        {"/_tvk/leaflet.js", 200, "text/javascript"},
        {"/c", 301, "text/plain; charset=utf-8"},
        {"/c/1/x/0", 400, "text/plain; charset=utf-8"},
        {"/nope/1/0/0", 404, "text/plain; charset=utf-8"},
        {"/../../etc/passwd", 404, "text/plain; charset=utf-8"},
    };
    for (const auto& c : cases) {
        const tagReply r = Ask(*responder, c.Target);
        EXPECT_EQ(r.Status, c.Status) << c.Target;
        EXPECT_EQ(r.Header("Content-Type"), c.Type) << c.Target;
        EXPECT_EQ(r.Header("Access-Control-Allow-Origin"), "https://maps.example");
        EXPECT_EQ(r.Header("Content-Length"), std::to_string(r.Body.size())) << c.Target;
    }
    EXPECT_EQ(Ask(*responder, "/c").Header("Location"), "/c/");
    EXPECT_EQ(Ask(*responder, "/c/1/1/0").Header("Cache-Control"), "max-age=60");

    // Absolute URLs follow the Host the client used, unless it is unsafe.
    const std::string good =
        ToString(Ask(*responder, "/c/tilejson.json", "", false, "tiles.example:8080").Body);
    EXPECT_NE(good.find("http://tiles.example:8080/c/{z}"), std::string::npos);
    const tagReply bad =
        Ask(*responder, "/c/tilejson.json", "", false, "evil\"><script>alert(1)</script>");
    const std::string badText(bad.Body.begin(), bad.Body.end());
    EXPECT_NE(badText.find("http://127.0.0.1:9/c/{z}"), std::string::npos);
    EXPECT_EQ(badText.find("evil"), std::string::npos);

    // Methods other than GET and HEAD.
    tagRequestView post;
    post.Target = "/c/1/1/0";
    post.MethodAllowed = false;
    tagResponse response;
    responder->Respond(post, response);
    EXPECT_EQ(response.Status, 405);
    EXPECT_NE(response.Head.find("\r\nAllow: GET, HEAD\r\n"), std::string::npos);

    // Connection handling: close when asked, keep-alive spelled out for HTTP/1.0.
    const tagReply closing = Ask(*responder, "/c/1/1/0", "", false, "", false);
    EXPECT_TRUE(closing.Close);
    EXPECT_EQ(closing.Header("Connection"), "close");
    EXPECT_EQ(Ask(*responder, "/c/1/1/0", "", false, "", true, true).Header("Connection"),
              "keep-alive");
    responder->RespondError(431, response);
    EXPECT_EQ(response.Status, 431);
    EXPECT_TRUE(response.Close);
    EXPECT_EQ(response.Head.rfind("HTTP/1.1 431 Request Header Fields Too Large\r\n", 0), 0u);

    tagServeOptions noCors;
    noCors.CorsOrigin = "";
    EXPECT_EQ(Ask(*Make(noCors), "/c/1/1/0").Header("Access-Control-Allow-Origin"), "");
}

TEST(ResponseParts, DatesSniffingHashesAndLogLines) {
    char date[server::kHttpDateLength];
    for (const auto& [time, text] : std::vector<std::pair<int64_t, std::string>>{
             {784111777, "Sun, 06 Nov 1994 08:49:37 GMT"},
             {951782399, "Mon, 28 Feb 2000 23:59:59 GMT"},  // the day before a leap day
             {951782400, "Tue, 29 Feb 2000 00:00:00 GMT"},
             {0, "Thu, 01 Jan 1970 00:00:00 GMT"},
             {4102444800, "Fri, 01 Jan 2100 00:00:00 GMT"}}) {
        server::FormatHttpDate(time, date);
        EXPECT_EQ(std::string(date, sizeof date), text);
    }

    struct {
        Bytes Data;
        bool Vector;
        const char* Type;
        bool Gzip;
    } const kinds[] = {
        {FakePng("x"), false, "image/png", false},
        {kJpeg, false, "image/jpeg", false},
        {kWebp, false, "image/webp", false},
        {Text("GIF89a..."), false, "image/gif", false},
        {Text(std::string("II*\0rest", 8)), false, "image/tiff", false},
        {Text(std::string("MM\0*rest", 8)), false, "image/tiff", false},
        {kGzip, false, "application/x-protobuf", true},
        {Text("\x1a\x03raw"), true, "application/x-protobuf", false},
        {Text("\x1a\x03raw"), false, "application/octet-stream", false},
        {Text("RIFF1234WAVE"), false, "application/octet-stream", false},
        {Bytes(), false, "application/octet-stream", false},
    };
    for (const auto& k : kinds) {
        const server::tagContentKind kind =
            server::SniffContent(k.Data.data(), k.Data.size(), k.Vector);
        EXPECT_STREQ(kind.MimeType, k.Type);
        EXPECT_EQ(kind.Gzip, k.Gzip);
    }

    // Any change of a byte or of the length changes the hash.
    Bytes data = FakePng("hash", 20000);
    const uint64_t base = server::HashBytes(data.data(), data.size());
    EXPECT_EQ(server::HashBytes(data.data(), data.size()), base);
    for (const size_t at : {size_t(0), size_t(7), size_t(9999), size_t(19999)}) {
        data[at] ^= 1;
        EXPECT_NE(server::HashBytes(data.data(), data.size()), base) << at;
        data[at] ^= 1;
    }
    data.push_back(0);
    EXPECT_NE(server::HashBytes(data.data(), data.size()), base);
    EXPECT_NE(server::HashBytes(data.data(), 0), server::HashBytes(data.data(), 1));

    std::string line;
    server::eAccessLog::FormatLine(line, 784111777, "127.0.0.1", "GET", "/c/1/2/3.png", false, 200,
                                   20000);
    EXPECT_EQ(line,
              "127.0.0.1 - - [06/Nov/1994:08:49:37 +0000] \"GET /c/1/2/3.png HTTP/1.1\" 200 20000");
    // A hostile target cannot end the field or the line.
    server::eAccessLog::FormatLine(line, 0, "::1", "GET", "/a\"b\\c\r\nd\x7f", true, 404, 0);
    EXPECT_EQ(
        line,
        "::1 - - [01/Jan/1970:00:00:00 +0000] \"GET /a\\x22b\\x5cc\\x0d\\x0ad\\x7f HTTP/1.0\" "
        "404 0");
}

}  // namespace tvktest
