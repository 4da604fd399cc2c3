// Tile sources of the seeder: URL templates, WMTS capabilities and ArcGIS
// REST services, all compiled into one tagSource.
//
// A WMTS tile matrix or an ArcGIS LOD serves a cache level when its tiles
// have the cache's size in pixels, its resolution is the level's (within
// 0.5 %: neighbouring levels differ far more, and services print their
// numbers rounded), and its origin lies a whole number of tiles from the
// cache's origin (within a thousandth of a tile). The seeder computes every
// tile from the cache's own grid; the service's numbers only pick its level
// and the offset between the two grids.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/eMarkup.h"
#include "seed_source.h"

namespace TVK {
namespace seed {

namespace {

constexpr double kResolutionTolerance = 0.005;  // relative
constexpr double kOriginTolerance = 1e-3;       // of a tile
// WMTS scale denominators assume 0.28 mm pixels.
constexpr double kWMTSPixelMetres = 0.00028;
constexpr double kPi = 3.14159265358979323846;

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

void AppendInt(std::string& out, int64_t value) {
    char digits[24];
    const int n = std::snprintf(digits, sizeof(digits), "%lld", static_cast<long long>(value));
    out.append(digits, static_cast<size_t>(n));
}

std::string Trim(const std::string& text) {
    const size_t a = text.find_first_not_of(" \t\r\n");
    if (a == std::string::npos) return std::string();
    const size_t b = text.find_last_not_of(" \t\r\n");
    return text.substr(a, b - a + 1);
}

bool ParseNumber(const std::string& text, double& value) {
    const std::string t = Trim(text);
    if (t.empty()) return false;
    char* end = nullptr;
    value = std::strtod(t.c_str(), &end);
    return end == t.c_str() + t.size() && std::isfinite(value);
}

// The EPSG code a CRS name stands for; 0 when unknown. Web Mercator's
// other names count as 3857.
int EpsgOf(int code) {
    switch (code) {
        case 900913:
        case 3785:
        case 102100:
        case 102113: return 3857;
        default: return code;
    }
}

int EpsgOfName(const std::string& name) {
    if (name.find("CRS84") != std::string::npos) return 4326;
    size_t end = name.size();
    while (end > 0 && !std::isdigit(static_cast<unsigned char>(name[end - 1]))) --end;
    size_t begin = end;
    while (begin > 0 && std::isdigit(static_cast<unsigned char>(name[begin - 1]))) --begin;
    if (begin == end || end - begin > 9) return 0;
    return EpsgOf(std::atoi(name.substr(begin, end - begin).c_str()));
}

// One level of a service's tiling, in the service's own terms.
struct tagServiceLevel {
    std::string Name;
    double Resolution = 0.0;  // map units per pixel
    double OriginX = 0.0, OriginY = 0.0;
    bool MaySwapAxes = false;  // WMTS corners of lat/lon systems come as "y x"
    int TileWidth = 0, TileHeight = 0;
    int64_t MinRow = 0, MaxRow = INT32_MAX, MinCol = 0, MaxCol = INT32_MAX;
};

bool NearWhole(double value, int64_t& whole) {
    const double r = std::round(value);
    if (std::fabs(value - r) > kOriginTolerance || std::fabs(r) > 1e15) return false;
    whole = static_cast<int64_t>(r);
    return true;
}

// Matches every level of the cache to the service's; how many of levels
// first..last matched, and why the first of them that did not failed.
int MatchLevels(const eTileStorage& storage, const std::vector<tagServiceLevel>& service, int first,
                int last, std::vector<tagLevelMap>& levels, std::string& reason) {
    const eTileCoordSys& scheme = storage.GetTileCoordSys();
    const int count = static_cast<int>(scheme.GetLevelCaptions().size());
    const int tileSize = scheme.GetTileSize();
    levels.assign(static_cast<size_t>(std::max(count, 0)), tagLevelMap());
    int matched = 0;
    for (int level = 0; level < count; ++level) {
        const bool asked = level >= first && level <= last;
        std::string ignored;
        std::string& why = asked ? reason : ignored;
        const eRect2D tile = scheme.ComputeTileWorldBounds(level, 0, 0);
        const double side = tile.Width();
        if (!(side > 0.0) || tileSize <= 0) continue;
        const double resolution = side / tileSize;
        const tagServiceLevel* best = nullptr;
        for (const tagServiceLevel& s : service) {
            if (std::fabs(s.Resolution - resolution) > kResolutionTolerance * resolution) continue;
            if (best == nullptr ||
                std::fabs(s.Resolution - resolution) < std::fabs(best->Resolution - resolution))
                best = &s;
        }
        char text[160];
        if (best == nullptr) {
            if (why.empty()) {
                std::snprintf(text, sizeof(text), "no level of resolution %.10g for level %d",
                              resolution, level);
                why = text;
            }
            continue;
        }
        if (best->TileWidth != tileSize || best->TileHeight != tileSize) {
            if (why.empty()) {
                std::snprintf(text, sizeof(text), "tiles of %dx%d pixels, the cache's are %d",
                              best->TileWidth, best->TileHeight, tileSize);
                why = text;
            }
            continue;
        }
        tagLevelMap& map = levels[static_cast<size_t>(level)];
        // Service row R = cache row r + (service top - cache top) / side.
        bool lined = NearWhole((tile.left - best->OriginX) / side, map.ColOffset) &&
                     NearWhole((best->OriginY - tile.top) / side, map.RowOffset);
        if (!lined && best->MaySwapAxes)
            lined = NearWhole((tile.left - best->OriginY) / side, map.ColOffset) &&
                    NearWhole((best->OriginX - tile.top) / side, map.RowOffset);
        if (!lined) {
            if (why.empty()) {
                std::snprintf(text, sizeof(text),
                              "the origin of level '%s' does not line up with the cache's grid",
                              best->Name.c_str());
                why = text;
            }
            continue;
        }
        map.Present = true;
        map.Name = best->Name;
        map.MinRow = best->MinRow;
        map.MaxRow = best->MaxRow;
        map.MinCol = best->MinCol;
        map.MaxCol = best->MaxCol;
        if (asked) ++matched;
    }
    return matched;
}

// How many of levels first..last the cache has.
int LevelsAsked(const eTileStorage& storage, int first, int last) {
    const int count = static_cast<int>(storage.GetTileCoordSys().GetLevelCaptions().size());
    return std::max(0, std::min(last, count - 1) - std::max(first, 0) + 1);
}

// Percent-encodes a KVP value.
std::string Escape(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

// ---- WMTS ----

// Text of the current element's first child of that name.
std::string ChildText(eMarkup& doc, const char* name) {
    doc.ResetChildPos();
    const std::string text = doc.FindChildElem(name) ? Trim(doc.GetChildData().Std()) : "";
    doc.ResetChildPos();
    return text;
}

struct tagWMTSResource {
    std::string Format, Template;
};

struct tagWMTSLayer {
    std::string Identifier;
    std::vector<std::string> Formats;
    std::vector<std::pair<std::string, bool>> Styles;  // identifier, isDefault
    std::vector<std::string> MatrixSets;
    // Per matrix set: TileMatrixSetLimits, by matrix identifier.
    std::vector<std::vector<tagServiceLevel>> Limits;
    std::vector<tagWMTSResource> Resources;
    std::vector<std::pair<std::string, std::string>> Dimensions;  // identifier, default
};

struct tagWMTSMatrixSet {
    std::string Identifier;
    int Epsg = 0;
    std::vector<tagServiceLevel> Matrices;
};

tagWMTSLayer ReadLayer(eMarkup& doc) {
    tagWMTSLayer layer;
    layer.Identifier = ChildText(doc, "Identifier");
    while (doc.FindChildElem("Format")) layer.Formats.push_back(Trim(doc.GetChildData().Std()));
    doc.ResetChildPos();
    while (doc.FindChildElem("Style")) {
        const bool isDefault = Lower(doc.GetChildAttrib("isDefault").Std()) == "true";
        doc.IntoElem();
        layer.Styles.emplace_back(ChildText(doc, "Identifier"), isDefault);
        doc.OutOfElem();
    }
    doc.ResetChildPos();
    while (doc.FindChildElem("TileMatrixSetLink")) {
        doc.IntoElem();
        layer.MatrixSets.push_back(ChildText(doc, "TileMatrixSet"));
        std::vector<tagServiceLevel> limits;
        doc.ResetChildPos();
        if (doc.FindChildElem("TileMatrixSetLimits")) {
            doc.IntoElem();
            while (doc.FindChildElem("TileMatrixLimits")) {
                doc.IntoElem();
                tagServiceLevel l;
                l.Name = ChildText(doc, "TileMatrix");
                double v = 0;
                if (ParseNumber(ChildText(doc, "MinTileRow"), v))
                    l.MinRow = static_cast<int64_t>(v);
                if (ParseNumber(ChildText(doc, "MaxTileRow"), v))
                    l.MaxRow = static_cast<int64_t>(v);
                if (ParseNumber(ChildText(doc, "MinTileCol"), v))
                    l.MinCol = static_cast<int64_t>(v);
                if (ParseNumber(ChildText(doc, "MaxTileCol"), v))
                    l.MaxCol = static_cast<int64_t>(v);
                limits.push_back(l);
                doc.OutOfElem();
            }
            doc.OutOfElem();
        }
        layer.Limits.push_back(limits);
        doc.OutOfElem();
    }
    doc.ResetChildPos();
    while (doc.FindChildElem("ResourceURL")) {
        if (Lower(doc.GetChildAttrib("resourceType").Std()) != "tile") continue;
        layer.Resources.push_back(
            {doc.GetChildAttrib("format").Std(), doc.GetChildAttrib("template").Std()});
    }
    doc.ResetChildPos();
    while (doc.FindChildElem("Dimension")) {
        doc.IntoElem();
        layer.Dimensions.emplace_back(ChildText(doc, "Identifier"), ChildText(doc, "Default"));
        doc.OutOfElem();
    }
    doc.ResetChildPos();
    return layer;
}

tagWMTSMatrixSet ReadMatrixSet(eMarkup& doc) {
    tagWMTSMatrixSet set;
    set.Identifier = ChildText(doc, "Identifier");
    set.Epsg = EpsgOfName(ChildText(doc, "SupportedCRS"));
    while (doc.FindChildElem("TileMatrix")) {
        doc.IntoElem();
        tagServiceLevel m;
        m.Name = ChildText(doc, "Identifier");
        double scale = 0, width = 0, height = 0, cols = 0, rows = 0;
        const std::string corner = ChildText(doc, "TopLeftCorner");
        const size_t space = corner.find_first_of(" \t\r\n");
        const bool ok = ParseNumber(ChildText(doc, "ScaleDenominator"), scale) &&
                        ParseNumber(ChildText(doc, "TileWidth"), width) &&
                        ParseNumber(ChildText(doc, "TileHeight"), height) &&
                        space != std::string::npos &&
                        ParseNumber(corner.substr(0, space), m.OriginX) &&
                        ParseNumber(corner.substr(space + 1), m.OriginY);
        if (ok) {
            m.Resolution = scale;  // scaled to map units once the units are known
            m.TileWidth = static_cast<int>(width);
            m.TileHeight = static_cast<int>(height);
            if (ParseNumber(ChildText(doc, "MatrixWidth"), cols) && cols >= 1)
                m.MaxCol = static_cast<int64_t>(cols) - 1;
            if (ParseNumber(ChildText(doc, "MatrixHeight"), rows) && rows >= 1)
                m.MaxRow = static_cast<int64_t>(rows) - 1;
            set.Matrices.push_back(m);
        }
        doc.OutOfElem();
    }
    doc.ResetChildPos();
    return set;
}

// Whether the current Get element allows KVP: a GetEncoding constraint
// lists it, or there is no such constraint.
bool AllowsKvp(eMarkup& doc) {
    bool constrained = false, kvp = false;
    doc.ResetChildPos();
    while (doc.FindChildElem("Constraint")) {
        if (doc.GetChildAttrib("name").Std() != "GetEncoding") continue;
        constrained = true;
        doc.IntoElem();
        if (doc.FindChildElem("AllowedValues")) {
            doc.IntoElem();
            while (doc.FindChildElem("Value")) kvp |= Trim(doc.GetChildData().Std()) == "KVP";
            doc.OutOfElem();
        }
        doc.OutOfElem();
    }
    doc.ResetChildPos();
    return kvp || !constrained;
}

// Scheme and host of url ("http://a.b:8080"); "" when it has none.
std::string Origin(const std::string& url) {
    const size_t scheme = url.find("://");
    if (scheme == std::string::npos) return std::string();
    return url.substr(0, url.find('/', scheme + 3));
}

// The KVP GetTile address from OperationsMetadata; "" when there is none.
std::string ReadKvpGetTile(eMarkup& doc) {
    doc.ResetPos();
    if (!doc.FindElem() || !doc.FindChildElem("OperationsMetadata")) return std::string();
    doc.IntoElem();
    std::string href;
    while (href.empty() && doc.FindChildElem("Operation")) {
        if (doc.GetChildAttrib("name").Std() != "GetTile") continue;
        doc.IntoElem();
        if (doc.FindChildElem("DCP")) {
            doc.IntoElem();
            if (doc.FindChildElem("HTTP")) {
                doc.IntoElem();
                while (href.empty() && doc.FindChildElem("Get")) {
                    const std::string candidate = doc.GetChildAttrib("href").Std();
                    doc.IntoElem();
                    if (AllowsKvp(doc)) href = candidate;
                    doc.OutOfElem();
                }
                doc.OutOfElem();
            }
            doc.OutOfElem();
        }
        doc.OutOfElem();
    }
    return href;
}

}  // namespace

// ---- templates ----

bool ParseTemplate(const std::string& text, std::vector<tagPart>& parts, std::string& error) {
    static const struct {
        const char* Name;
        EmPart Kind;
    } kNames[] = {{"z", EmPart::Level},   {"level", EmPart::Level}, {"x", EmPart::Col},
                  {"col", EmPart::Col},   {"TileCol", EmPart::Col}, {"y", EmPart::Row},
                  {"row", EmPart::Row},   {"TileRow", EmPart::Row}, {"-y", EmPart::RowFromBottom},
                  {"q", EmPart::Quadkey}, {"s", EmPart::Subdomain}, {"TileMatrix", EmPart::Matrix}};
    parts.clear();
    bool col = false, row = false, quad = false;
    size_t at = 0;
    while (at < text.size()) {
        const size_t open = text.find('{', at);
        if (open != at) {
            parts.push_back({EmPart::Literal, text.substr(at, open - at)});
            if (open == std::string::npos) break;
        }
        const size_t close = text.find('}', open);
        if (close == std::string::npos) {
            error = "a '{' without its '}' in the URL template";
            return false;
        }
        const std::string name = text.substr(open + 1, close - open - 1);
        bool known = false;
        for (const auto& n : kNames) {
            if (name != n.Name) continue;
            parts.push_back({n.Kind, std::string()});
            col |= n.Kind == EmPart::Col;
            row |= n.Kind == EmPart::Row || n.Kind == EmPart::RowFromBottom;
            quad |= n.Kind == EmPart::Quadkey;
            known = true;
        }
        if (!known) {
            error = "unknown placeholder {" + name +
                    "} in the URL template (known: {z} {x} {y} {-y} {q} {s} {level} {row} {col})";
            return false;
        }
        at = close + 1;
    }
    if (!quad && !(col && row)) {
        error =
            "the URL template names no tile: it needs {x} and {y} (or {-y}), {col} and "
            "{row}, or {q}";
        return false;
    }
    return true;
}

void SetRowsPerLevel(const eTileStorage& storage, tagSource& source) {
    const eTileCoordSys& scheme = storage.GetTileCoordSys();
    const int count = static_cast<int>(scheme.GetLevelCaptions().size());
    source.RowsPerLevel.assign(static_cast<size_t>(std::max(count, 0)), 0);
    for (int level = 0; level < count; ++level) {
        int rows = 0, cols = 0;
        scheme.ComputeTileCount(level, rows, cols);
        source.RowsPerLevel[static_cast<size_t>(level)] = rows;
    }
}

bool tagSource::HasLevel(int level) const {
    if (level < 0) return false;
    if (Levels.empty()) return true;
    return static_cast<size_t>(level) < Levels.size() && Levels[static_cast<size_t>(level)].Present;
}

bool tagSource::AppendUrl(int level, int row, int col, std::string& out) const {
    if (!HasLevel(level)) return false;
    int64_t r = row, c = col;
    const tagLevelMap* map = nullptr;
    if (!Levels.empty()) {
        map = &Levels[static_cast<size_t>(level)];
        r += map->RowOffset;
        c += map->ColOffset;
        if (r < map->MinRow || r > map->MaxRow || c < map->MinCol || c > map->MaxCol) return false;
    }
    for (const tagPart& part : Parts) {
        switch (part.Kind) {
            case EmPart::Literal: out += part.Text; break;
            case EmPart::Level: AppendInt(out, level); break;
            case EmPart::Matrix:
                if (map != nullptr)
                    out += map->Name;
                else
                    AppendInt(out, level);
                break;
            case EmPart::Col: AppendInt(out, c); break;
            case EmPart::Row: AppendInt(out, r); break;
            case EmPart::RowFromBottom: {
                const size_t l = static_cast<size_t>(level);
                if (l >= RowsPerLevel.size() || RowsPerLevel[l] <= 0) return false;
                AppendInt(out, RowsPerLevel[l] - 1 - r);
                break;
            }
            case EmPart::Quadkey:
                for (int i = level; i > 0; --i) {
                    const int64_t bit = int64_t{1} << (i - 1);
                    out += static_cast<char>('0' + ((c & bit) ? 1 : 0) + ((r & bit) ? 2 : 0));
                }
                break;
            case EmPart::Subdomain:
                if (Subdomains.empty()) return false;
                // The same host for a tile every time, so that HTTP caches on
                // the way can help.
                out += Subdomains[static_cast<size_t>((r + c) %
                                                      static_cast<int64_t>(Subdomains.size()))];
                break;
        }
    }
    return true;
}

eTileSeeder::EmSource GuessSourceKind(const std::string& url) {
    if (url.find('{') != std::string::npos) return eTileSeeder::SourceTemplate;
    std::string path = Lower(url.substr(0, url.find('?')));
    while (!path.empty() && path.back() == '/') path.pop_back();
    const auto endsWith = [&](const char* tail) {
        const size_t n = std::strlen(tail);
        return path.size() >= n && path.compare(path.size() - n, n, tail) == 0;
    };
    if (endsWith("/mapserver") || endsWith("/imageserver")) return eTileSeeder::SourceArcGIS;
    return eTileSeeder::SourceWMTS;
}

std::string ArcGISDescriptionUrl(const std::string& serviceUrl) {
    const size_t query = serviceUrl.find('?');
    std::string base = serviceUrl.substr(0, query);
    while (!base.empty() && base.back() == '/') base.pop_back();
    return base + "?f=json" +
           (query == std::string::npos ? "" : "&" + serviceUrl.substr(query + 1));
}

// ---- WMTS ----

bool ReadWMTSCapabilities(const std::string& xml, const std::string& capabilitiesUrl,
                          const eTileStorage& storage, const eTileSeeder::tagOptions& options,
                          int first, int last, tagSource& source, std::string& error) {
    eMarkup doc;
    if (!doc.SetDoc(xml)) {
        error = "the answer is not an XML document";
        return false;
    }
    doc.ResetPos();
    if (!doc.FindElem() || doc.GetTagName().Std().find("Capabilities") == std::string::npos) {
        error = "the answer is not a WMTS capabilities document (root <" + doc.GetTagName().Std() +
                ">)";
        return false;
    }
    std::vector<tagWMTSLayer> layers;
    std::vector<tagWMTSMatrixSet> sets;
    if (doc.FindChildElem("Contents")) {
        doc.IntoElem();
        while (doc.FindChildElem("Layer")) {
            doc.IntoElem();
            layers.push_back(ReadLayer(doc));
            doc.OutOfElem();
        }
        doc.ResetChildPos();
        while (doc.FindChildElem("TileMatrixSet")) {
            doc.IntoElem();
            sets.push_back(ReadMatrixSet(doc));
            doc.OutOfElem();
        }
    }
    const std::string kvp = ReadKvpGetTile(doc);

    // The layer.
    const tagWMTSLayer* layer = nullptr;
    std::string names;
    for (const tagWMTSLayer& l : layers) {
        names += (names.empty() ? "" : ", ") + l.Identifier;
        if (options.Layer.IsEmpty() ? layers.size() == 1 : l.Identifier == options.Layer.Std())
            layer = &l;
    }
    if (layer == nullptr) {
        if (layers.empty())
            error = "the capabilities list no layer";
        else if (options.Layer.IsEmpty())
            error = "the capabilities list several layers; choose one (" + names + ")";
        else
            error = "no layer '" + options.Layer.Std() + "' (the layers: " + names + ")";
        return false;
    }

    // The style.
    std::string style = options.Style.Std();
    if (style.empty()) {
        for (const auto& s : layer->Styles)
            if (s.second) style = s.first;
        if (style.empty()) style = layer->Styles.empty() ? "default" : layer->Styles[0].first;
    }

    // The format: the one asked for, else the first of the cache's type.
    const eFileType::EmType type = storage.GetTileType();
    const bool mixed = storage.GetArcGISTileFormat().CompareNoCase("MIXED") == 0;
    const auto fits = [&](const std::string& format) {
        const std::string f = Lower(format);
        const bool png = f.find("png") != std::string::npos;
        const bool jpeg = f.find("jpeg") != std::string::npos || f.find("jpg") != std::string::npos;
        if (mixed) return png || jpeg;
        if (type == eFileType::PNG) return png;
        if (type == eFileType::JPG) return jpeg;
        return true;
    };
    std::string format;
    std::string offered;
    for (const std::string& f : layer->Formats) {
        offered += (offered.empty() ? "" : ", ") + f;
        if (options.Format.IsEmpty() ? format.empty() && fits(f) : f == options.Format.Std())
            format = f;
    }
    if (format.empty()) {
        error = options.Format.IsEmpty()
                    ? "layer '" + layer->Identifier +
                          "' offers no format of the cache's tile type (" + offered + ")"
                    : "layer '" + layer->Identifier + "' has no format '" + options.Format.Std() +
                          "' (" + offered + ")";
        return false;
    }

    // The tile matrix set: the one asked for, else the one that serves most levels.
    const ePrjCoordSys& prj = storage.GetTileCoordSys().GetPrjCoordSys();
    const int cacheEpsg = EpsgOf(prj.GetEpsgCode());
    // Map units per metre for the scale denominators: WMTS takes a degree
    // as 2 pi a / 360 of the spheroid's semi-major axis.
    double metresPerUnit = prj.GetUnits() / 10000.0;
    if (prj.IsGeographic())
        metresPerUnit =
            2.0 * kPi * prj.GetGeoCoordSys().GetHorizonDatum().GetSpheroid().GetAxis() / 360.0;
    int bestMatched = 0;
    std::string why, matrixSet;
    for (size_t i = 0; i < layer->MatrixSets.size(); ++i) {
        const std::string& id = layer->MatrixSets[i];
        if (!options.MatrixSet.IsEmpty() && id != options.MatrixSet.Std()) continue;
        const tagWMTSMatrixSet* set = nullptr;
        for (const tagWMTSMatrixSet& s : sets)
            if (s.Identifier == id) set = &s;
        if (set == nullptr) {
            if (why.empty()) why = "tile matrix set '" + id + "' is not described";
            continue;
        }
        if (set->Epsg != 0 && cacheEpsg != 0 && set->Epsg != cacheEpsg) {
            if (why.empty())
                why = "tile matrix set '" + id + "' is in EPSG:" + std::to_string(set->Epsg) +
                      ", the cache in EPSG:" + std::to_string(cacheEpsg);
            continue;
        }
        std::vector<tagServiceLevel> matrices = set->Matrices;
        for (tagServiceLevel& m : matrices) {
            m.Resolution = m.Resolution * kWMTSPixelMetres / metresPerUnit;
            m.MaySwapAxes = prj.IsGeographic();
            for (const tagServiceLevel& limit : layer->Limits[i]) {
                if (limit.Name != m.Name) continue;
                m.MinRow = std::max(m.MinRow, limit.MinRow);
                m.MaxRow = std::min(m.MaxRow, limit.MaxRow);
                m.MinCol = std::max(m.MinCol, limit.MinCol);
                m.MaxCol = std::min(m.MaxCol, limit.MaxCol);
            }
        }
        std::vector<tagLevelMap> levels;
        std::string reason;
        const int matched = MatchLevels(storage, matrices, first, last, levels, reason);
        if (matched == LevelsAsked(storage, first, last) && matched > bestMatched) {
            bestMatched = matched;
            matrixSet = id;
            source.Levels = levels;
            source.Description = "WMTS layer '" + layer->Identifier + "', tile matrix set '" + id +
                                 "', style '" + style + "', " + format;
        }
        if (matched < LevelsAsked(storage, first, last) && why.empty())
            why = "tile matrix set '" + id + "': " + reason;
    }
    if (bestMatched == 0) {
        if (!options.MatrixSet.IsEmpty() &&
            std::find(layer->MatrixSets.begin(), layer->MatrixSets.end(),
                      options.MatrixSet.Std()) == layer->MatrixSets.end())
            error = "layer '" + layer->Identifier + "' has no tile matrix set '" +
                    options.MatrixSet.Std() + "'";
        else
            error = "no tile matrix set of layer '" + layer->Identifier +
                    "' fits the cache's tiling scheme" + (why.empty() ? "" : ": " + why);
        return false;
    }
    // The tile address: RESTful template of the format, else KVP.
    std::string url;
    for (const tagWMTSResource& r : layer->Resources)
        if (url.empty() && (r.Format.empty() || r.Format == format)) url = r.Template;
    if (!url.empty()) {
        const auto replace = [&](const std::string& name, const std::string& value) {
            const std::string key = "{" + name + "}";
            for (size_t at = 0; (at = url.find(key, at)) != std::string::npos; at += value.size())
                url.replace(at, key.size(), value);
        };
        replace("TileMatrixSet", matrixSet);
        replace("Style", style);
        replace("style", style);
        for (const auto& d : layer->Dimensions) replace(d.first, d.second);
        source.Description += ", RESTful";
    } else if (!kvp.empty()) {
        url = kvp;
        if (url.find('?') == std::string::npos)
            url += '?';
        else if (url.back() != '?' && url.back() != '&')
            url += '&';
        url += "SERVICE=WMTS&REQUEST=GetTile&VERSION=1.0.0&LAYER=" + Escape(layer->Identifier) +
               "&STYLE=" + Escape(style) + "&FORMAT=" + Escape(format) +
               "&TILEMATRIXSET=" + Escape(matrixSet) +
               "&TILEMATRIX={TileMatrix}&TILEROW={TileRow}&TILECOL={TileCol}";
        for (const auto& d : layer->Dimensions)
            url += "&" + Escape(d.first) + "=" + Escape(d.second);
        source.Description += ", KVP";
    } else {
        error = "layer '" + layer->Identifier + "' has no tile URL for " + format +
                " and the service names no GetTile address";
        return false;
    }
    // A template given as a path is on the capabilities' own host.
    if (!url.empty() && url[0] == '/') url = Origin(capabilitiesUrl) + url;
    if (!ParseTemplate(url, source.Parts, error)) {
        error = "the service's tile URL '" + url + "': " + error;
        return false;
    }
    return true;
}

// ---- ArcGIS REST ----

bool ReadArcGISService(const std::string& json, const std::string& serviceUrl,
                       const eTileStorage& storage, int first, int last, tagSource& source,
                       std::string& error) {
    const nlohmann::json doc = nlohmann::json::parse(json, nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) {
        error = "the service description is not JSON";
        return false;
    }
    if (doc.contains("error")) {
        const nlohmann::json& e = doc["error"];
        error = "the service answers with an error";
        if (e.is_object() && e.contains("message") && e["message"].is_string())
            error += ": " + e["message"].get<std::string>();
        return false;
    }
    if (doc.contains("singleFusedMapCache") && doc["singleFusedMapCache"].is_boolean() &&
        !doc["singleFusedMapCache"].get<bool>()) {
        error = "the service is not cached (singleFusedMapCache is false)";
        return false;
    }
    if (!doc.contains("tileInfo") || !doc["tileInfo"].is_object()) {
        error = "the service has no tiles (no tileInfo in its description)";
        return false;
    }
    const nlohmann::json& info = doc["tileInfo"];
    const auto number = [](const nlohmann::json& object, const char* key, double& value) {
        if (!object.is_object() || !object.contains(key) || !object[key].is_number()) return false;
        value = object[key].get<double>();
        return std::isfinite(value);
    };
    double rows = 0, cols = 0, ox = 0, oy = 0;
    if (!number(info, "rows", rows) || !number(info, "cols", cols) || !info.contains("origin") ||
        !number(info["origin"], "x", ox) || !number(info["origin"], "y", oy) ||
        !info.contains("lods") || !info["lods"].is_array()) {
        error = "the service's tileInfo lacks rows, cols, origin or lods";
        return false;
    }
    // The coordinate system, when both sides name one.
    const int cacheEpsg = EpsgOf(storage.GetTileCoordSys().GetPrjCoordSys().GetEpsgCode());
    if (info.contains("spatialReference")) {
        double wkid = 0, latest = 0;
        const nlohmann::json& sr = info["spatialReference"];
        int code = 0;
        if (number(sr, "latestWkid", latest))
            code = EpsgOf(static_cast<int>(latest));
        else if (number(sr, "wkid", wkid))
            code = EpsgOf(static_cast<int>(wkid));
        if (code != 0 && cacheEpsg != 0 && code != cacheEpsg) {
            error = "the service's tiles are in EPSG:" + std::to_string(code) +
                    ", the cache's in EPSG:" + std::to_string(cacheEpsg);
            return false;
        }
    }
    // The tile format against the cache's type.
    if (info.contains("format") && info["format"].is_string()) {
        const std::string f = Lower(info["format"].get<std::string>());
        const bool mixed = storage.GetArcGISTileFormat().CompareNoCase("MIXED") == 0;
        const eFileType::EmType type = storage.GetTileType();
        const bool png = f.find("png") != std::string::npos;
        const bool jpeg = f.find("jp") != std::string::npos;
        if (!mixed && ((type == eFileType::PNG && !png) || (type == eFileType::JPG && !jpeg))) {
            error = "the service's tiles are " + info["format"].get<std::string>() +
                    ", the cache holds " + (type == eFileType::PNG ? "PNG" : "JPEG");
            return false;
        }
    }
    std::vector<tagServiceLevel> lods;
    for (const nlohmann::json& lod : info["lods"]) {
        double level = 0, resolution = 0;
        if (!number(lod, "level", level) || !number(lod, "resolution", resolution)) continue;
        tagServiceLevel l;
        l.Name = std::to_string(static_cast<long long>(level));
        l.Resolution = resolution;
        l.OriginX = ox;
        l.OriginY = oy;
        l.TileWidth = static_cast<int>(cols);
        l.TileHeight = static_cast<int>(rows);
        lods.push_back(l);
    }
    std::string why;
    if (MatchLevels(storage, lods, first, last, source.Levels, why) <
        LevelsAsked(storage, first, last)) {
        error = "the service's tiling scheme does not fit the cache's: " + why;
        return false;
    }
    const size_t query = serviceUrl.find('?');
    std::string base = serviceUrl.substr(0, query);
    while (!base.empty() && base.back() == '/') base.pop_back();
    source.Parts = {{EmPart::Literal, base + "/tile/"},
                    {EmPart::Matrix, ""},
                    {EmPart::Literal, "/"},
                    {EmPart::Row, ""},
                    {EmPart::Literal, "/"},
                    {EmPart::Col, ""}};
    if (query != std::string::npos)
        source.Parts.push_back({EmPart::Literal, serviceUrl.substr(query)});
    source.Description = "ArcGIS REST service " + base;
    return true;
}

}  // namespace seed
}  // namespace TVK
