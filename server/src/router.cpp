// Request routing. Tile paths are split into string views and parsed in
// place: nothing is allocated unless a segment is percent-encoded or the
// request is a WMTS KVP one.
#include "router.h"

#include <array>

namespace TVK {
namespace server {

namespace {

constexpr size_t kMaxSegments = 10;
constexpr size_t kMaxExtension = 8;  // ".png", ".jpeg", ".webp", ".pbf", ".mvt"...

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Percent-decoding; '+' becomes a space in query texts. False for a broken
// escape and for control characters (NUL included) after decoding.
bool Decode(std::string_view in, bool query, std::string& out) {
    out.clear();
    for (size_t i = 0; i < in.size(); ++i) {
        char c = in[i];
        if (c == '%') {
            if (i + 2 >= in.size()) return false;
            const int hi = HexValue(in[i + 1]), lo = HexValue(in[i + 2]);
            if (hi < 0 || lo < 0) return false;
            c = static_cast<char>(hi * 16 + lo);
            i += 2;
        } else if (c == '+' && query) {
            c = ' ';
        }
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
        out += c;
    }
    return true;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// A number with an optional extension: "17", "17.png".
bool ParseIndexWithExtension(std::string_view text, int& out) {
    const size_t dot = text.find('.');
    if (dot != std::string_view::npos) {
        const std::string_view ext = text.substr(dot + 1);
        if (ext.empty() || ext.size() > kMaxExtension) return false;
        for (const char c : ext) {
            const bool alnum =
                (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
            if (!alnum) return false;
        }
        text = text.substr(0, dot);
    }
    return ParseIndex(text, out);
}

struct tagSegments {
    std::array<std::string_view, kMaxSegments> Items;
    size_t Count = 0;
    std::string Decoded[kMaxSegments];  // backing store of decoded segments
};

enum class EmSplit { Ok, TooMany, Malformed };

// Splits the path after its leading '/'; a trailing '/' gives an empty last
// segment, so "/a/" is {"a", ""}.
EmSplit Split(std::string_view path, tagSegments& s) {
    size_t start = 1;
    while (true) {
        if (s.Count == kMaxSegments) return EmSplit::TooMany;
        const size_t slash = path.find('/', start);
        std::string_view segment = path.substr(
            start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
        if (segment.find('%') != std::string_view::npos) {
            std::string& decoded = s.Decoded[s.Count];
            if (!Decode(segment, false, decoded) || decoded.find('/') != std::string::npos)
                return EmSplit::Malformed;
            segment = decoded;
        }
        s.Items[s.Count++] = segment;
        if (slash == std::string_view::npos) return EmSplit::Ok;
        start = slash + 1;
    }
}

// The first value of a query parameter (name compared ignoring case), decoded.
bool QueryValue(std::string_view query, std::string_view name, std::string& value, bool& bad) {
    size_t start = 0;
    while (start <= query.size()) {
        size_t end = query.find('&', start);
        if (end == std::string_view::npos) end = query.size();
        const std::string_view pair = query.substr(start, end - start);
        const size_t eq = pair.find('=');
        std::string key;
        if (!Decode(pair.substr(0, eq), true, key)) {
            bad = true;
            return false;
        }
        if (EqualsNoCase(key, name)) {
            if (eq == std::string_view::npos) {
                value.clear();
            } else if (!Decode(pair.substr(eq + 1), true, value)) {
                bad = true;
                return false;
            }
            return true;
        }
        start = end + 1;
    }
    return false;
}

tagRoute Make(EmRoute kind, int cache = -1) {
    tagRoute r;
    r.Kind = kind;
    r.Cache = cache;
    return r;
}

tagRoute OwsError(int cache, const char* code, const char* locator) {
    tagRoute r = Make(EmRoute::OwsException, cache);
    r.Code = code;
    r.Locator = locator;
    return r;
}

// A tile route; a level the cache does not have is kept as -1.
tagRoute TileRoute(int cache, const tagServedCache& c, int level, int row, int col) {
    tagRoute r = Make(EmRoute::Tile, cache);
    r.Level = level < static_cast<int>(c.Levels.size()) ? level : -1;
    r.Row = row;
    r.Col = col;
    return r;
}

tagRoute RouteWmtsKvp(int cache, const tagServedCache& c, std::string_view query) {
    std::string value;
    bool bad = false;
    if (!QueryValue(query, "service", value, bad))
        return bad ? Make(EmRoute::BadRequest)
                   : OwsError(cache, "MissingParameterValue", "service");
    if (value != "WMTS") return OwsError(cache, "InvalidParameterValue", "service");
    if (!QueryValue(query, "request", value, bad))
        return bad ? Make(EmRoute::BadRequest)
                   : OwsError(cache, "MissingParameterValue", "request");
    if (value == "GetCapabilities") return Make(EmRoute::WmtsCapabilities, cache);
    if (value != "GetTile") return OwsError(cache, "OperationNotSupported", "request");

    struct {
        const char* Name;
        bool Required;
    } const checks[] = {{"layer", true}, {"style", false}, {"tilematrixset", true}};
    for (const auto& check : checks) {
        if (!QueryValue(query, check.Name, value, bad)) {
            if (bad) return Make(EmRoute::BadRequest);
            if (check.Required) return OwsError(cache, "MissingParameterValue", check.Name);
            continue;
        }
        const bool style = check.Name[0] == 's';
        const bool ok = style ? (value.empty() || value == "default") : value == c.Name;
        if (!ok) return OwsError(cache, "InvalidParameterValue", check.Name);
    }
    int numbers[3];
    const char* names[3] = {"tilematrix", "tilerow", "tilecol"};
    for (int i = 0; i < 3; ++i) {
        if (!QueryValue(query, names[i], value, bad))
            return bad ? Make(EmRoute::BadRequest)
                       : OwsError(cache, "MissingParameterValue", names[i]);
        if (!ParseIndex(value, numbers[i]) ||
            (i == 0 && numbers[i] >= static_cast<int>(c.Levels.size())))
            return OwsError(cache, "InvalidParameterValue", names[i]);
    }
    const tagServedLevel& level = c.Levels[static_cast<size_t>(numbers[0])];
    if (numbers[1] >= level.MatrixHeight) return OwsError(cache, "TileOutOfRange", "tilerow");
    if (numbers[2] >= level.MatrixWidth) return OwsError(cache, "TileOutOfRange", "tilecol");
    return TileRoute(cache, c, numbers[0], numbers[1], numbers[2]);
}

tagRoute RouteInCache(int cache, const tagServedCache& c, const tagSegments& s,
                      std::string_view query) {
    const std::string_view first = s.Count > 1 ? s.Items[1] : std::string_view();
    if (s.Count == 1) return Make(EmRoute::Redirect, cache);
    if (s.Count == 2 && first.empty()) return Make(EmRoute::MapPage, cache);

    int a, b, d;
    if (s.Count == 4 && ParseIndex(first, a)) {
        // XYZ: z / x (column) / y (row)
        if (!ParseIndex(s.Items[2], b) || !ParseIndexWithExtension(s.Items[3], d))
            return Make(EmRoute::BadRequest);
        return TileRoute(cache, c, a, d, b);
    }
    if (s.Count == 2 && first == "tilejson.json") return Make(EmRoute::TileJson, cache);
    if (first == "wmts") {
        if (s.Count == 2) return RouteWmtsKvp(cache, c, query);
        if (s.Count < 4 || s.Items[2] != "1.0.0") return Make(EmRoute::NotFound);
        if (s.Count == 4 && s.Items[3] == "WMTSCapabilities.xml")
            return Make(EmRoute::WmtsCapabilities, cache);
        if (s.Count == 9 && s.Items[3] == c.Name && s.Items[4] == "default" &&
            s.Items[5] == c.Name) {
            if (!ParseIndex(s.Items[6], a) || !ParseIndex(s.Items[7], b) ||
                !ParseIndexWithExtension(s.Items[8], d))
                return Make(EmRoute::BadRequest);
            return TileRoute(cache, c, a, b, d);
        }
        return Make(EmRoute::NotFound);
    }
    if (first == "MapServer") {
        if (s.Count == 2 || (s.Count == 3 && s.Items[2].empty()))
            return Make(EmRoute::ArcGisService, cache);
        if (s.Count == 6 && s.Items[2] == "tile") {
            if (!ParseIndex(s.Items[3], a) || !ParseIndex(s.Items[4], b) ||
                !ParseIndex(s.Items[5], d))
                return Make(EmRoute::BadRequest);
            tagRoute r = TileRoute(cache, c, 0, b, d);
            r.Level = c.LevelOfId(a);
            return r;
        }
    }
    return Make(EmRoute::NotFound);
}

}  // namespace

bool ParseIndex(std::string_view text, int& out) {
    if (text.empty() || text.size() > 9) return false;
    int value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    out = value;
    return true;
}

tagRoute RouteRequest(std::string_view target, const std::vector<tagServedCache>& caches,
                      const std::vector<std::string>& staticNames) {
    // Absolute form ("http://host/path"), which HTTP/1.1 servers must accept.
    for (const std::string_view scheme :
         {std::string_view("http://"), std::string_view("https://")}) {
        if (target.size() >= scheme.size() &&
            EqualsNoCase(target.substr(0, scheme.size()), scheme)) {
            const size_t slash = target.find('/', scheme.size());
            target = slash == std::string_view::npos ? std::string_view("/") : target.substr(slash);
            break;
        }
    }
    if (target.empty() || target[0] != '/') return Make(EmRoute::BadRequest);
    const size_t mark = target.find_first_of("?#");
    const std::string_view path = target.substr(0, mark);
    std::string_view query;
    if (mark != std::string_view::npos && target[mark] == '?') {
        query = target.substr(mark + 1);
        query = query.substr(0, query.find('#'));
    }

    if (path == "/") {
        tagRoute r = Make(EmRoute::CacheList);
        std::string f;
        bool bad = false;
        r.Json = QueryValue(query, "f", f, bad) && (f == "json" || f == "pjson");
        return bad ? Make(EmRoute::BadRequest) : r;
    }
    static constexpr std::string_view kStatic = "/_tvk/";
    if (path.substr(0, kStatic.size()) == kStatic) {
        const std::string_view name = path.substr(kStatic.size());
        for (size_t i = 0; i < staticNames.size(); ++i) {
            if (name == staticNames[i]) {
                tagRoute r = Make(EmRoute::Static);
                r.Static = static_cast<int>(i);
                return r;
            }
        }
        return Make(EmRoute::NotFound);
    }

    tagSegments s;
    switch (Split(path, s)) {
        case EmSplit::Ok: break;
        case EmSplit::TooMany: return Make(EmRoute::NotFound);
        case EmSplit::Malformed: return Make(EmRoute::BadRequest);
    }
    for (size_t i = 0; i < caches.size(); ++i) {
        if (s.Items[0] == caches[i].Name)
            return RouteInCache(static_cast<int>(i), caches[i], s, query);
    }
    return Make(EmRoute::NotFound);
}

}  // namespace server
}  // namespace TVK
