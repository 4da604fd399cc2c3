// tvk demo-fill CACHE --levels A-B (hidden): fills levels with generated PNG
// tiles for the demo. Each tile has its level's colour, a checkerboard shade
// and its own address written on it, so every tile is visibly different.
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <memory>

#include "cache_open.h"
#include "cli.h"
#include "png_io.h"
#include "tile_range.h"

namespace TVK {
namespace cli {

namespace {

// 3 x 5 pixel glyphs, one row per 3 bits (top row first).
struct tagGlyph {
    char Ch;
    unsigned char Rows[5];
};
constexpr tagGlyph kFont[] = {
    {'0', {7, 5, 5, 5, 7}}, {'1', {2, 6, 2, 2, 7}}, {'2', {7, 1, 7, 4, 7}}, {'3', {7, 1, 7, 1, 7}},
    {'4', {5, 5, 7, 1, 1}}, {'5', {7, 4, 7, 1, 7}}, {'6', {7, 4, 7, 5, 7}}, {'7', {7, 1, 1, 1, 1}},
    {'8', {7, 5, 7, 5, 7}}, {'9', {7, 5, 7, 1, 7}}, {'L', {4, 4, 4, 4, 7}}, {'R', {6, 5, 6, 5, 5}},
    {'C', {7, 4, 4, 4, 7}}, {'-', {0, 0, 7, 0, 0}},
};

class eTilePainter {
public:
    explicit eTilePainter(int size) : m_nSize(size), m_Rgb(static_cast<size_t>(size) * size * 3) {}

    const std::vector<unsigned char>& Paint(int level, int row, int col) {
        unsigned char base[3];
        LevelColour(level, base);
        // A checkerboard shade tells neighbours apart.
        const int shade = ((row + col) % 2 == 0) ? 0 : -28;
        const int border = std::max(1, m_nSize / 128);
        for (int y = 0; y < m_nSize; ++y) {
            for (int x = 0; x < m_nSize; ++x) {
                unsigned char* p = &m_Rgb[(static_cast<size_t>(y) * m_nSize + x) * 3];
                const bool edge =
                    x < border || y < border || x >= m_nSize - border || y >= m_nSize - border;
                // A gentle diagonal gradient, so a tile is not one flat colour.
                const int ramp = (x + y) * 24 / (2 * m_nSize);
                for (int c = 0; c < 3; ++c) {
                    const int v = edge ? base[c] / 3 : base[c] + shade - ramp;
                    p[c] = static_cast<unsigned char>(std::clamp(v, 0, 255));
                }
            }
        }
        const int scale = std::max(1, m_nSize / 48);
        const int left = m_nSize / 10, top = m_nSize / 10, line = 7 * scale;
        Text("L" + std::to_string(level), left, top, scale);
        Text("R" + std::to_string(row), left, top + line, scale);
        Text("C" + std::to_string(col), left, top + 2 * line, scale);
        return m_Rgb;
    }

private:
    static void LevelColour(int level, unsigned char rgb[3]) {
        // Hues 60 degrees apart with an offset per cycle: neighbours differ clearly.
        static const unsigned char kPalette[][3] = {
            {230, 120, 100}, {235, 190, 90},  {150, 210, 110}, {100, 200, 190},
            {110, 150, 230}, {180, 130, 220}, {230, 130, 180}, {200, 200, 200},
        };
        const auto& c = kPalette[level % 8];
        std::copy(c, c + 3, rgb);
    }

    void Text(const std::string& text, int x0, int y0, int scale) {
        int x = x0;
        for (char ch : text) {
            for (const tagGlyph& glyph : kFont) {
                if (glyph.Ch != ch) continue;
                for (int gy = 0; gy < 5; ++gy)
                    for (int gx = 0; gx < 3; ++gx)
                        if (glyph.Rows[gy] & (4 >> gx))
                            Block(x + gx * scale, y0 + gy * scale, scale);
            }
            x += 4 * scale;
        }
    }

    void Block(int x0, int y0, int scale) {
        for (int y = y0; y < y0 + scale && y < m_nSize; ++y)
            for (int x = x0; x < x0 + scale && x < m_nSize; ++x) {
                unsigned char* p = &m_Rgb[(static_cast<size_t>(y) * m_nSize + x) * 3];
                p[0] = p[1] = p[2] = 20;
            }
    }

    int m_nSize;
    std::vector<unsigned char> m_Rgb;
};

struct tagFillOptions {
    std::string Cache;
    std::string Levels;
    std::string Box;
    bool LonLat = false;
};

int RunFill(const tagFillOptions& opt) {
    int first = 0, last = 0;
    if (!ParseLevelRange(opt.Levels, first, last))
        return Fail(kExitUsage, "--levels", "expected A-B or A, got '" + opt.Levels + "'");
    eRect2D box;
    const bool haveBox = !opt.Box.empty();
    if (haveBox && !ParseBox(opt.Box, box))
        return Fail(kExitUsage, "--bbox",
                    "expected MINX,MINY,MAXX,MAXY with MIN < MAX, got '" + opt.Box + "'");
    eOpenCache cache;
    if (const int code = OpenCache(opt.Cache, cache)) return code;
    if (const int code = CheckLevel(cache, last)) return code;
    eTileStorage& storage = *cache.Storage;
    const eTileCoordSys& scheme = storage.GetTileCoordSys();
    eTilePainter painter(scheme.GetTileSize());
    std::vector<unsigned char> png;
    int64_t saved = 0, bytes = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int level = first; level <= last; ++level) {
        tagTileArea area{};
        int rows = 0, cols = 0;
        scheme.ComputeTileCount(level, rows, cols);
        area = {0, rows - 1, 0, cols - 1};
        if (haveBox) {
            if (const int code = BoxToTileArea(cache, level, box, opt.LonLat, area)) return code;
        }
        for (int row = area.StartRow; row <= area.EndRow; ++row) {
            for (int col = area.StartCol; col <= area.EndCol; ++col) {
                if (storage.IsTileExist(level, row, col)) continue;
                if (!EncodePng(scheme.GetTileSize(), scheme.GetTileSize(),
                               painter.Paint(level, row, col), true, png))
                    return Fail(kExitFailed, "PNG", "encoding failed");
                if (!storage.SaveImageData(level, row, col, png.data(),
                                           static_cast<unsigned int>(png.size())))
                    return Fail(kExitFailed, cache.ConfigPath,
                                "cannot store the tile at level " + std::to_string(level) +
                                    " row " + std::to_string(row) + " column " +
                                    std::to_string(col));
                ++saved;
                bytes += static_cast<int64_t>(png.size());
            }
        }
    }
    storage.ReleaseHandles();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("generated %" PRId64 " tiles (%" PRId64 " bytes) in %.1f s\n", saved, bytes,
                seconds);
    return kExitOk;
}

}  // namespace

void RegisterDemoFill(CLI::App& app, eCommandTable& table) {
    auto opt = std::make_shared<tagFillOptions>();
    CLI::App* sub = app.add_subcommand("demo-fill", "Fill levels with generated PNG tiles");
    sub->group("");  // a demo helper, not part of the documented tool
    sub->add_option("CACHE", opt->Cache, "Cache")->required();
    sub->add_option("--levels", opt->Levels, "Levels A-B")->required();
    sub->add_option("--bbox", opt->Box, "Only tiles covering MINX,MINY,MAXX,MAXY");
    sub->add_flag("--lonlat", opt->LonLat, "The --bbox is longitude/latitude in degrees");
    table.Add(sub, [opt]() { return RunFill(*opt); });
}

}  // namespace cli
}  // namespace TVK
