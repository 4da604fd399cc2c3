// tvk info CACHE [--json]: what a cache is, and its levels.
#include <cstdio>
#include <iostream>
#include <memory>

#include <nlohmann/json.hpp>

#include "cache_open.h"
#include "cli.h"
#include "toolkit.h"

namespace TVK {
namespace cli {

std::vector<tagLevelRow> LevelTable(const eTileCoordSys& scheme) {
    std::vector<tagLevelRow> rows;
    const int count = static_cast<int>(scheme.GetLevelCaptions().size());
    for (int level = 0; level < count; ++level) {
        tagLevelRow row{};
        row.Level = level;
        row.RenderLevel = scheme.ZoomLevelToRenderLevel(level);
        row.Scale = scheme.GetScale(level);
        row.Denominator = row.Scale > 0.0 ? 1.0 / row.Scale : 0.0;
        // Map units per pixel: the map width of one tile over its pixels.
        const eRect2D tile = scheme.ComputeTileWorldBounds(level, 0, 0);
        row.Resolution = scheme.GetTileSize() > 0 ? tile.Width() / scheme.GetTileSize() : 0.0;
        scheme.ComputeTileCount(level, row.Rows, row.Cols);
        rows.push_back(row);
    }
    return rows;
}

namespace {

nlohmann::ordered_json RectJson(const eRect2D& r) {
    return {{"left", r.left}, {"top", r.top}, {"right", r.right}, {"bottom", r.bottom}};
}

}  // namespace

std::string InfoJson(const eOpenCache& cache) {
    const eTileStorage& storage = *cache.Storage;
    const eTileCoordSys& scheme = storage.GetTileCoordSys();
    const ePrjCoordSys& prj = scheme.GetPrjCoordSys();
    nlohmann::ordered_json doc;
    doc["name"] = storage.GetName().Std();
    doc["crs"] = {
        {"name", prj.GetName().Std()},
        {"epsg", prj.GetEpsgCode() > 0 ? nlohmann::ordered_json(prj.GetEpsgCode()) : nullptr}};
    doc["layout"] = LayoutName(cache.Layout);
    doc["tileSize"] = scheme.GetTileSize();
    doc["dpi"] = scheme.GetDPI();
    doc["origin"] = {{"x", scheme.GetTileOrigin().x}, {"y", scheme.GetTileOrigin().y}};
    doc["bounds"] = RectJson(scheme.GetBounds());
    doc["indexBounds"] = RectJson(scheme.GetIndexBounds());
    nlohmann::ordered_json levels = nlohmann::ordered_json::array();
    for (const tagLevelRow& row : LevelTable(scheme)) {
        levels.push_back({{"level", row.Level},
                          {"renderLevel", row.RenderLevel},
                          {"scale", row.Scale},
                          {"scaleDenominator", row.Denominator},
                          {"resolution", row.Resolution},
                          {"rows", row.Rows},
                          {"cols", row.Cols}});
    }
    doc["levels"] = std::move(levels);
    return doc.dump(2);
}

namespace {

void PrintText(const eOpenCache& cache) {
    const eTileStorage& storage = *cache.Storage;
    const eTileCoordSys& scheme = storage.GetTileCoordSys();
    const ePrjCoordSys& prj = scheme.GetPrjCoordSys();
    std::printf("Name:          %s\n", storage.GetName().Cstr());
    std::printf("Description:   %s (%s)\n", cache.ConfigPath.c_str(),
                cache.Layout == eLayout::MBTiles      ? "MBTiles file"
                : cache.Layout == eLayout::GeoPackage ? "GeoPackage tile table"
                : cache.Layout == eLayout::PMTiles    ? "PMTiles archive"
                : cache.ArcGIS                        ? "ArcGIS configuration"
                                                      : "tile cache description");
    if (prj.GetEpsgCode() > 0)
        std::printf("CRS:           %s (EPSG:%d)\n", prj.GetName().Cstr(), prj.GetEpsgCode());
    else
        std::printf("CRS:           %s\n", prj.IsEmpty() ? "(none)" : prj.GetName().Cstr());
    std::printf("Layout:        %s\n", LayoutName(cache.Layout));
    // ArcGIS caches name their tile kind (PNG, JPEG, MIXED) rather than an extension.
    const eString& arcgisFormat = storage.GetArcGISTileFormat();
    // Single files hold tiles, not files: their kind without the extension's "e".
    std::string ext = eTileStorage::GetFileExtName(storage.GetTileType()).Std();
    if (IsSingleFile(cache.Layout) && ext.size() > 1 && ext[0] == 'e') ext.erase(0, 1);
    std::printf("Tile size:     %d x %d pixels, %s\n", scheme.GetTileSize(), scheme.GetTileSize(),
                !arcgisFormat.IsEmpty()      ? (arcgisFormat.Std() + " tiles").c_str()
                : IsSingleFile(cache.Layout) ? (ext + " tiles").c_str()
                                             : (ext + " files").c_str());
    std::printf("DPI:           %.10g\n", scheme.GetDPI());
    std::printf("Origin:        %.17g, %.17g\n", scheme.GetTileOrigin().x,
                scheme.GetTileOrigin().y);
    const eRect2D b = scheme.GetBounds();
    const eRect2D ib = scheme.GetIndexBounds();
    std::printf("Bounds:        left %.17g top %.17g right %.17g bottom %.17g\n", b.left, b.top,
                b.right, b.bottom);
    std::printf("Index bounds:  left %.17g top %.17g right %.17g bottom %.17g\n", ib.left, ib.top,
                ib.right, ib.bottom);
    std::printf("Levels:\n  %5s  %6s  %18s  %20s  %s\n", "level", "render", "scale", "resolution",
                "rows x cols");
    for (const tagLevelRow& row : LevelTable(scheme)) {
        std::printf("  %5d  %6d  %18s  %20.10f  %d x %d\n", row.Level, row.RenderLevel,
                    ("1:" + std::to_string(static_cast<long long>(row.Denominator + 0.5))).c_str(),
                    row.Resolution, row.Rows, row.Cols);
    }
}

}  // namespace

void RegisterInfo(CLI::App& app, eCommandTable& table) {
    auto cache = std::make_shared<std::string>();
    auto json = std::make_shared<bool>(false);
    CLI::App* sub = app.add_subcommand(
        "info", "Describe a cache: coordinate system, layout, tiling and levels");
    AddCacheArgument(sub, *cache);
    sub->add_flag("--json", *json, "Print one JSON object instead of text");
    table.Add(sub, [cache, json]() {
        eOpenCache open;
        if (const int code = OpenCache(*cache, open)) return code;
        if (*json)
            std::cout << InfoJson(open) << '\n';
        else
            PrintText(open);
        return static_cast<int>(kExitOk);
    });
}

}  // namespace cli
}  // namespace TVK
