// tvk create DIR --crs CRS --levels A-B: a new, empty cache and its description.
//
// The tile grid covers the coordinate system's full extent:
//   Web Mercator     the square of side 40075016.68557849 m centred on 0, 0,
//                    level 0 one tile;
//   geographic       -180..180 x -90..90 degrees, level 0 two tiles of 180
//                    degrees side by side;
//   anything else    the extent given with --bounds (required), level 0 one
//                    tile over its longer side, origin at its top-left corner.
// Each level halves the scale denominator of the one above (ComputeMapScale).
// Levels below A stay in the scale list, so level numbers keep their usual
// meaning; A is written as the top level.
//
// The description is DIR/tilecache.xml, or with --arcgis an ArcGIS
// configuration, DIR/conf.xml and DIR/conf.cdi, which has no place for the
// top level or the index bounds (a reader takes the full level list).
//
// A DIR named FILE.mbtiles or FILE.gpkg (optionally "FILE.gpkg?table=NAME")
// makes a single-file cache instead, its own description: MBTiles only on
// the Web Mercator grid; a GeoPackage that exists gains a tile table.
#include <cmath>
#include <cstdio>
#include <memory>

#include "cache_open.h"
#include "cli.h"
#include "toolkit.h"

namespace TVK {
namespace cli {

namespace {

// ArcGIS's tile format text for the tile types it knows; "mixed" is a cache
// of both kinds (stored as PNG unless a tile's bytes are JPEG).
const char* ArcGISFormatOf(const std::string& tileType) {
    if (tileType == "png") return "PNG";
    if (tileType == "jpg" || tileType == "jpeg") return "JPEG";
    if (tileType == "mixed") return "MIXED";
    return nullptr;
}

bool ParseTileType(const std::string& text, eFileType::EmType& type) {
    static const struct {
        const char* name;
        eFileType::EmType type;
    } kTypes[] = {
        {"png", eFileType::PNG}, {"jpg", eFileType::JPG},  {"jpeg", eFileType::JPG},
        {"tif", eFileType::TIF}, {"tiff", eFileType::TIF}, {"bmp", eFileType::BMP},
        {"gif", eFileType::GIF}, {"bil", eFileType::BIL},  {"data", eFileType::DATA},
        {"pbf", eFileType::PBF},
    };
    for (const auto& entry : kTypes) {
        if (text == entry.name) {
            type = entry.type;
            return true;
        }
    }
    return false;
}

}  // namespace

int CreateCache(const tagCreateOptions& opt, std::string& written, std::string& summary) {
    int firstLevel = 0, lastLevel = 0;
    if (!ParseLevelRange(opt.Levels, firstLevel, lastLevel) || lastLevel > 40)
        return Fail(kExitUsage, "--levels",
                    "expected A-B with 0 <= A <= B <= 40, got '" + opt.Levels + "'");
    eLayout layout = eLayout::Compact;
    eLayout named = eLayout::Compact;
    const bool singleFile = SingleFileLayoutOfName(opt.Dir, named);
    if (!opt.Layout.empty() && !ParseLayout(opt.Layout, layout))
        return Fail(kExitUsage, "--layout",
                    "expected " + LayoutNames() + ", got '" + opt.Layout + "'");
    if (layout == eLayout::PMTiles || (singleFile && named == eLayout::PMTiles))
        return Fail(kExitUsage, opt.Dir,
                    "a PMTiles archive is written once, whole: make it with `tvk copy SRC "
                    "FILE.pmtiles` from a cache of the Web Mercator grid");
    if (singleFile) {
        if (!opt.Layout.empty() && layout != named)
            return Fail(kExitUsage, "--layout",
                        opt.Layout + " does not go with the name " + opt.Dir);
        layout = named;
        if (opt.ArcGIS)
            return Fail(kExitUsage, "--arcgis", "a single-file cache has no ArcGIS configuration");
    } else if (IsSingleFile(layout)) {
        return Fail(kExitUsage, "--layout",
                    std::string("a ") + LayoutName(layout) + " cache is named by its file: " +
                        (layout == eLayout::MBTiles ? "FILE.mbtiles" : "FILE.gpkg"));
    }
    if (opt.ArcGIS && layout == eLayout::Original)
        return Fail(kExitUsage, "--arcgis",
                    "ArcGIS caches are compact, compact-v2 or arcgis-exploded");
    // ArcGIS names its tile files after its format text, so both need it.
    const bool arcgisFormat = opt.ArcGIS || layout == eLayout::ArcGISExploded;
    const char* formatText = ArcGISFormatOf(opt.TileType);
    if (arcgisFormat && formatText == nullptr)
        return Fail(kExitUsage, "--tile-type",
                    "ArcGIS caches hold png, jpg or mixed tiles, not '" + opt.TileType + "'");
    eFileType::EmType tileType = eFileType::PNG;
    if (opt.TileType != "mixed" && !ParseTileType(opt.TileType, tileType))
        return Fail(kExitUsage, "--tile-type", "unknown tile type '" + opt.TileType + "'");
    if (opt.TileType == "mixed" && !arcgisFormat)
        return Fail(kExitUsage, "--tile-type",
                    "mixed is for ArcGIS caches (--arcgis or --layout arcgis-exploded)");
    if (opt.TileSize < 1 || opt.TileSize > 8192)
        return Fail(kExitUsage, "--tile-size", "expected 1 to 8192 pixels");
    if (!(opt.Dpi > 0.0)) return Fail(kExitUsage, "--dpi", "expected a positive number");
    eRect2D bounds;
    const bool haveBounds = !opt.Bounds.empty();
    if (haveBounds && !ParseBox(opt.Bounds, bounds))
        return Fail(kExitUsage, "--bounds",
                    "expected MINX,MINY,MAXX,MAXY with MIN < MAX, got '" + opt.Bounds + "'");

    ePrjCoordSys prj;
    if (!(prj << eWKT(opt.Crs.c_str())))
        return Fail(kExitUsage, "--crs", "unknown coordinate system '" + opt.Crs + "'");

    // Full extent of the grid and the map width of a level-0 tile.
    constexpr int kWebMercator = 43045;
    if (layout == eLayout::MBTiles && prj.GetProjection().GetProjectionType() != kWebMercator)
        return Fail(kExitUsage, "--crs",
                    "MBTiles holds only the Web Mercator grid (EPSG:3857); use a .gpkg file for " +
                        opt.Crs);
    eRect2D extent;
    double tileMapSize = 0.0;
    if (prj.GetProjection().GetProjectionType() == kWebMercator) {
        const double half = eCoordSys::kCircumference / 2.0;
        extent = eRect2D(-half, half, half, -half);
        tileMapSize = eCoordSys::kCircumference;
    } else if (prj.IsGeographic() && prj.GetUnits() == 0) {  // degrees
        extent = eRect2D(-180.0, 90.0, 180.0, -90.0);
        tileMapSize = 180.0;
    } else if (haveBounds) {
        extent = bounds;
        tileMapSize = std::max(bounds.Width(), bounds.Height());
    } else {
        return Fail(kExitUsage, "--bounds",
                    "required for " + opt.Crs +
                        ": only Web Mercator and geographic systems have a known full extent");
    }

    const std::vector<double> scales = eTileCoordSys::ComputeMapScale(
        prj, tileMapSize, opt.TileSize, lastLevel + 1, opt.Dpi / 25.4);
    if (static_cast<int>(scales.size()) < lastLevel + 1 || !(scales.front() > 0.0))
        return Fail(
            kExitUsage, "--levels",
            "level " + std::to_string(scales.size()) + " and deeper would be larger than 1:1");

    const eString dir = opt.Dir.c_str();
    const eString path =
        singleFile ? dir : eFile::GetAbsolutePath(dir, opt.ArcGIS ? "conf.xml" : kDescriptionName);
    if (!singleFile) {
        eString existing = eFile::GetAbsolutePath(dir, kDescriptionName);
        if (eFile::IsExist(existing) ||
            eFindFileNoCase(eFile::GetAbsolutePath(dir, "conf.xml"), existing))
            return Fail(kExitFailed, existing.Std(), "already exists; not overwriting a cache");
        if (!eFile::MkDirEx(dir)) return Fail(kExitFailed, opt.Dir, "folder cannot be created");
    }

    eTileStorage storage;
    eTileCoordSys& scheme = storage.GetTileCoordSys();
    scheme.SetPrjCoordSys(prj);
    scheme.SetTileSize(opt.TileSize);
    scheme.SetDPI(opt.Dpi);
    scheme.SetTileOrigin(ePoint2D(extent.left, extent.top));
    scheme.SetBounds(haveBounds ? bounds : extent);
    scheme.SetIndexBounds(extent);
    scheme.SetScales(scales);
    scheme.SetTileTopLevel(firstLevel);
    scheme.SetTileBottomLevel(lastLevel);
    scheme.SetRefResolution(opt.TileSize * std::ldexp(1.0, lastLevel + 1));
    std::string name = opt.Name;
    if (name.empty()) {
        std::string trimmed = opt.Dir;
        while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
        name = singleFile
                   ? eFile::GetTitle(trimmed.substr(0, trimmed.rfind("?table=")).c_str()).Std()
                   : eFile::GetFileName(trimmed.c_str()).Std();
    }
    storage.SetName(name.c_str());
    ApplyLayout(layout, storage);
    storage.SetTileType(tileType);
    if (arcgisFormat) storage.SetArcGISTileFormat(formatText);
    if (singleFile) {
        if (!storage.CreateTileFile(path))
            return Fail(kExitFailed, opt.Dir, storage.GetTileFileError().Std());
    } else if (!(opt.ArcGIS ? storage.ToArcGISConfigFile(path) : storage.ToConfigFile(path))) {
        return Fail(kExitFailed, path.Std(), "cannot be written");
    }
    written = singleFile ? storage.GetTileFile().Std() : path.Std();
    summary = "created " + written + ": " + LayoutName(layout) + " layout, " + prj.GetName().Std() +
              ", levels " + std::to_string(firstLevel) + "-" + std::to_string(lastLevel);
    return kExitOk;
}

namespace {

int RunCreate(const tagCreateOptions& opt) {
    std::string path, summary;
    if (const int code = CreateCache(opt, path, summary)) return code;
    std::printf("%s\n", summary.c_str());
    return kExitOk;
}

}  // namespace

void RegisterCreate(CLI::App& app, eCommandTable& table) {
    auto opt = std::make_shared<tagCreateOptions>();
    CLI::App* sub = app.add_subcommand(
        "create",
        "Create an empty cache and write DIR/tilecache.xml (or DIR/conf.xml), or a single-file "
        "cache FILE.mbtiles or FILE.gpkg");
    sub->add_option("DIR", opt->Dir,
                    "Folder of the new cache (created when missing), or FILE.mbtiles, FILE.gpkg, "
                    "FILE.gpkg?table=NAME (a GeoPackage that exists gains a tile table)")
        ->required();
    sub->add_option("--crs", opt->Crs, "Coordinate system: EPSG:3857, EPSG:4326, WKT, PROJ string")
        ->required();
    sub->add_option("--levels", opt->Levels, "Levels A-B (default 0-18)");
    sub->add_option("--layout", opt->Layout,
                    LayoutNames() + " (default compact; a file's extension names its own)");
    sub->add_option("--tile-type", opt->TileType,
                    "png, jpg, tif, bmp, gif, bil, data or pbf (default png); ArcGIS caches: png, "
                    "jpg or mixed");
    sub->add_flag("--arcgis", opt->ArcGIS,
                  "Write an ArcGIS configuration (conf.xml, conf.cdi) instead of tilecache.xml");
    sub->add_option(
        "--bounds", opt->Bounds,
        "MINX,MINY,MAXX,MAXY in map units (default: the full extent; required for other systems)");
    sub->add_option("--tile-size", opt->TileSize, "Tile side in pixels (default 256)");
    sub->add_option("--dpi", opt->Dpi, "Dots per inch (default 96)");
    sub->add_option("--name", opt->Name, "Cache name (default: the folder's name)");
    table.Add(sub, [opt]() { return RunCreate(*opt); });
}

}  // namespace cli
}  // namespace TVK
