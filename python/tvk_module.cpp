// The `tvk` Python module: caches, their tiles and tiling schemes for
// scripts, over the library's public API and the tool's own logic
// (tvk_toolkit), so that a cache opens, is created, copied and described
// exactly as `tvk` does it.
//
// Every call that touches files or the network runs with the GIL released,
// so Python threads read tiles in parallel. Tile bytes cross the boundary
// once: `get` builds its bytes object straight from the loaded tile, `put`
// reads the caller's buffer in place.
//
// The tool's functions report failures through cli::Fail; here an
// eFailCapture collects them and they become Python exceptions: a missing
// cache FileNotFoundError, a bad argument ValueError, a tile already stored
// FileExistsError, anything else (damage, failed writes) tvk.Error.
#include <pybind11/functional.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include "cache_open.h"
#include "cli.h"
#include "findings.h"
#include "tile_range.h"
#include "toolkit.h"

namespace py = pybind11;
using namespace TVK;
using namespace TVK::cli;

namespace {

PyObject* g_pError = nullptr;  // tvk.Error, owned by the module

[[noreturn]] void Raise(PyObject* type, const std::string& text) {
    PyErr_SetString(type, text.c_str());
    throw py::error_already_set();
}

// The exception for what a capture holds after a call returned `code`.
[[noreturn]] void RaiseCaptured(const eFailCapture& capture, int code) {
    const std::string text =
        capture.Empty() ? "failed (exit code " + std::to_string(code) + ")" : capture.Text();
    if (capture.Kind() == eFailKind::Missing) Raise(PyExc_FileNotFoundError, text);
    if (capture.Kind() == eFailKind::Exists) Raise(PyExc_FileExistsError, text);
    if (capture.Code() == kExitUsage) Raise(PyExc_ValueError, text);
    Raise(g_pError, text);
}

// Runs fn (returning an exit code) without the GIL, capturing the messages
// of Fail on this thread; raises when it did not succeed.
template <typename Fn>
void RunTool(Fn&& fn) {
    eFailCapture capture;
    int code = kExitOk;
    {
        py::gil_scoped_release release;
        code = fn();
    }
    if (code != kExitOk) RaiseCaptured(capture, code);
}

// "A-B" for the tool's level options from a range of step 1, or one level.
std::string LevelText(const py::object& levels, const char* what) {
    if (py::isinstance<py::int_>(levels)) {
        const long level = levels.cast<long>();
        if (level < 0) Raise(PyExc_ValueError, std::string(what) + ": a level is 0 or more");
        return std::to_string(level);
    }
    if (!PyRange_Check(levels.ptr()))
        Raise(PyExc_ValueError, std::string(what) + ": expected an int or a range of levels");
    const long start = levels.attr("start").cast<long>();
    const long stop = levels.attr("stop").cast<long>();
    const long step = levels.attr("step").cast<long>();
    if (step != 1 || stop <= start || start < 0)
        Raise(PyExc_ValueError,
              std::string(what) + ": expected a non-empty range of step 1 from level 0 or more");
    return std::to_string(start) + "-" + std::to_string(stop - 1);
}

std::string BoxText(const std::optional<std::tuple<double, double, double, double>>& box) {
    if (!box) return std::string();
    char text[128];
    std::snprintf(text, sizeof(text), "%.17g,%.17g,%.17g,%.17g", std::get<0>(*box),
                  std::get<1>(*box), std::get<2>(*box), std::get<3>(*box));
    return text;
}

// An open cache; Python shares it with its scheme and listings.
struct ePyCache {
    eOpenCache Open;
    // The storage takes calls from many threads at once, but releasing its
    // handles during one frees what the call is using: calls share the gate,
    // close() and the release after a copy or seed own it. Always taken with
    // the GIL released, so a waiting close() holds up no other Python thread.
    std::shared_mutex Gate;

    eTileStorage& Storage() { return *Open.Storage; }

    // A level outside the cache's list is a bad argument in Python.
    void CheckLevelArg(int level) {
        eFailCapture capture;
        if (CheckLevel(Open, level) != kExitOk) Raise(PyExc_ValueError, capture.Text());
    }
};
using tagCachePtr = std::shared_ptr<ePyCache>;

tagCachePtr OpenPath(const std::string& path) {
    auto cache = std::make_shared<ePyCache>();
    RunTool([&] { return OpenCache(path, cache->Open); });
    return cache;
}

py::object ParseJson(const std::string& text) {
    return py::module_::import("json").attr("loads")(py::str(text));
}

py::bytes Get(ePyCache& cache, int level, int row, int col, bool& found) {
    // One buffer per thread, so repeated gets allocate only the bytes object.
    thread_local eByteArray data;
    {
        py::gil_scoped_release release;
        std::shared_lock<std::shared_mutex> use(cache.Gate);
        found = cache.Storage().LoadImageData(level, row, col, data) && data.GetSize() > 0;
    }
    if (!found) return py::bytes();
    return py::bytes(reinterpret_cast<const char*>(data.GetData()),
                     static_cast<size_t>(data.GetSize()));
}

// A Py_buffer held for the duration of a call.
class eHeldBuffer {
public:
    explicit eHeldBuffer(const py::object& obj) {
        if (PyObject_GetBuffer(obj.ptr(), &m_View, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
            PyErr_Clear();
            Raise(PyExc_TypeError,
                  "tile data must be a contiguous buffer of bytes (bytes, bytearray, "
                  "memoryview, a NumPy uint8 array), not " +
                      std::string(Py_TYPE(obj.ptr())->tp_name));
        }
        if (m_View.itemsize != 1) {
            PyBuffer_Release(&m_View);
            Raise(PyExc_ValueError, "tile data must be bytes, not items of " +
                                        std::to_string(m_View.itemsize) + " bytes");
        }
    }
    ~eHeldBuffer() { PyBuffer_Release(&m_View); }
    eHeldBuffer(const eHeldBuffer&) = delete;
    eHeldBuffer& operator=(const eHeldBuffer&) = delete;
    const unsigned char* Data() const { return static_cast<const unsigned char*>(m_View.buf); }
    int64_t Size() const { return m_View.len; }

private:
    Py_buffer m_View{};
};

// Streams (level, row, col, size) from the library's listing, a batch of
// tiles per GIL release.
class ePyTileIterator {
public:
    ePyTileIterator(tagCachePtr cache, int first, int last)
        : m_pCache(std::move(cache)), m_Listing(m_pCache->Storage(), first, last) {}

    py::tuple Next() {
        tagStoredTile t;
        bool more = false;
        {
            py::gil_scoped_release release;
            std::shared_lock<std::shared_mutex> use(m_pCache->Gate);
            more = m_Listing.Next(t);
        }
        if (!more) {
            if (!m_bChecked) {
                m_bChecked = true;
                eFailCapture capture;
                if (const int code = ListingResult(m_pCache->Open, m_Listing))
                    RaiseCaptured(capture, code);
            }
            throw py::stop_iteration();
        }
        return py::make_tuple(t.Level, t.Row, t.Col, t.Size);
    }

private:
    tagCachePtr m_pCache;
    eTileListing m_Listing;
    bool m_bChecked = false;
};

py::dict FindingDict(const eOpenCache& cache, const tagCacheFinding& f) {
    py::dict d;
    d["path"] = f.Path.Std();
    d["kind"] = static_cast<int>(f.Kind);
    d["message"] = DescribeFinding(cache, f);
    if (f.Slot >= 0) {
        d["slot"] = f.Slot;
        d["row"] = f.Row;
        d["col"] = f.Col;
    }
    return d;
}

py::dict Verify(ePyCache& cache, std::optional<int> level) {
    if (level) cache.CheckLevelArg(*level);
    std::vector<tagCacheFinding> findings;
    tagCacheTotals totals;
    {
        py::gil_scoped_release release;
        std::shared_lock<std::shared_mutex> use(cache.Gate);
        eCacheCheck check =
            level ? eCacheCheck(cache.Storage(), *level) : eCacheCheck(cache.Storage());
        tagCacheFinding f;
        while (check.Next(f))
            if (IsListedFinding(f)) findings.push_back(f);
        totals = check.GetTotals();
    }
    py::list problems, warnings;
    for (const tagCacheFinding& f : findings)
        (eCacheCheck::IsDamage(f.Kind) ? problems : warnings).append(FindingDict(cache.Open, f));
    py::dict report;
    report["ok"] = problems.size() == 0;
    report["problems"] = problems;
    report["warnings"] = warnings;
    report["tiles"] = totals.Tiles;
    report["bytes"] = totals.Bytes;
    report["bundles"] = totals.Bundles;
    report["tile_files"] = totals.TileFiles;
    report["dead_bytes"] = totals.DeadBytes;
    return report;
}

// ---- tiling scheme ----

struct ePyScheme {
    tagCachePtr Cache;
    const eTileCoordSys& Scheme() const { return Cache->Storage().GetTileCoordSys(); }
};

py::list Levels(const ePyScheme& s) {
    py::list levels;
    for (const tagLevelRow& row : LevelTable(s.Scheme())) {
        py::dict d;
        d["level"] = row.Level;
        d["scale"] = row.Scale;
        d["scale_denominator"] = row.Denominator;
        d["resolution"] = row.Resolution;
        d["rows"] = row.Rows;
        d["cols"] = row.Cols;
        levels.append(d);
    }
    return levels;
}

eRect2D MapBox(const ePyScheme& s, const std::tuple<double, double, double, double>& box,
               bool lonlat) {
    eRect2D rect;
    if (!ParseBox(BoxText(box), rect))
        Raise(PyExc_ValueError, "expected (minx, miny, maxx, maxy) with min < max");
    if (!lonlat) return rect;
    eRect2D map;
    if (!LonLatBoxToMap(s.Scheme().GetPrjCoordSys(), rect, map))
        Raise(PyExc_ValueError,
              "the longitude/latitude box cannot be converted to the cache's coordinate system");
    return map;
}

py::tuple TilesForBox(const ePyScheme& s, int level,
                      const std::tuple<double, double, double, double>& box, bool lonlat) {
    s.Cache->CheckLevelArg(level);
    eRect2D rect;
    if (!ParseBox(BoxText(box), rect))
        Raise(PyExc_ValueError, "expected (minx, miny, maxx, maxy) with min < max");
    tagTileArea area;
    eFailCapture capture;
    if (const int code = BoxToTileArea(s.Cache->Open, level, rect, lonlat, area))
        RaiseCaptured(capture, code);
    const auto range = py::module_::import("builtins").attr("range");
    // An empty side stays an empty range.
    return py::make_tuple(range(area.StartRow, std::max(area.StartRow, area.EndRow + 1)),
                          range(area.StartCol, std::max(area.StartCol, area.EndCol + 1)));
}

py::tuple TileAt(const ePyScheme& s, int level, double x, double y, bool lonlat) {
    s.Cache->CheckLevelArg(level);
    ePoint2D point(x, y);
    if (lonlat) {
        // A point is the degenerate box around it.
        const eRect2D map = MapBox(s, {x - 1e-9, y - 1e-9, x + 1e-9, y + 1e-9}, true);
        point = ePoint2D((map.left + map.right) / 2, (map.top + map.bottom) / 2);
    }
    int row = 0, col = 0;
    s.Scheme().ComputeTilePosition(level, point, row, col);
    return py::make_tuple(row, col);
}

py::tuple TileBounds(const ePyScheme& s, int level, int row, int col) {
    s.Cache->CheckLevelArg(level);
    const eRect2D r = s.Scheme().ComputeTileWorldBounds(level, row, col);
    return py::make_tuple(r.left, r.bottom, r.right, r.top);
}

int ZoomForScale(const ePyScheme& s, double denominator) {
    if (!(denominator > 1.0)) Raise(PyExc_ValueError, "a scale denominator is above 1");
    return s.Scheme().GetZoom(1.0 / denominator);
}

int ZoomForResolution(const ePyScheme& s, double resolution) {
    if (!(resolution > 0.0)) Raise(PyExc_ValueError, "a resolution is above 0");
    // The level whose tiles are resolution map units per pixel, or the
    // coarser one between two levels, as for scales.
    const std::vector<tagLevelRow> rows = LevelTable(s.Scheme());
    if (rows.empty()) return -1;
    int zoom = 0;
    for (const tagLevelRow& row : rows)
        if (row.Resolution >= resolution * (1.0 - 1e-9)) zoom = row.Level;
    return zoom;
}

// ---- module functions ----

tagCachePtr Create(const std::string& dir, const std::string& crs, const py::object& levels,
                   const std::optional<std::string>& layout, const std::string& tileType,
                   const std::optional<std::tuple<double, double, double, double>>& bounds,
                   const std::string& name, int tileSize, double dpi, bool arcgis) {
    tagCreateOptions opt;
    opt.Dir = dir;
    opt.Crs = crs;
    opt.Levels = LevelText(levels, "levels");
    if (layout) opt.Layout = *layout;
    opt.TileType = tileType;
    opt.Bounds = BoxText(bounds);
    opt.Name = name;
    opt.TileSize = tileSize;
    opt.Dpi = dpi;
    opt.ArcGIS = arcgis;
    std::string path, summary;
    RunTool([&] { return CreateCache(opt, path, summary); });
    return OpenPath(path);
}

// Hands the counts of a running copy or seed to the caller's progress
// callback, with the GIL held; false stops the run: the callback answered
// False, raised (kept in raised, to be raised again once the run is over),
// or Ctrl-C was pressed.
template <typename MakeDict>
bool ReportProgress(const py::object& progress, MakeDict makeDict,
                    std::optional<py::error_already_set>& raised) {
    py::gil_scoped_acquire acquire;
    try {
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        if (!progress.is_none()) {
            const py::object answer = progress(makeDict());
            if (py::isinstance<py::bool_>(answer) && !answer.cast<bool>()) return false;
        }
        return true;
    } catch (py::error_already_set& e) {
        raised = std::move(e);
        return false;
    }
}

py::dict CountsDict(const tagCopyCounts& c) {
    py::dict d;
    d["total"] = c.Total;
    d["done"] = c.Done;
    d["copied"] = c.Copied;
    d["skipped"] = c.Skipped;
    d["failed"] = c.Failed;
    d["bytes"] = c.Bytes;
    return d;
}

// SRC or DST of a copy: an open cache is used as it is (and `shared` set to
// it), a path is opened.
eOpenCache* CopyEnd(const py::object& arg, std::string& path, eOpenCache& own, ePyCache*& shared) {
    shared = nullptr;
    if (py::isinstance<ePyCache>(arg)) {
        shared = &arg.cast<ePyCache&>();
        path = shared->Open.ConfigPath;
        return &shared->Open;
    }
    if (!py::isinstance<py::str>(arg) && !py::hasattr(arg, "__fspath__"))
        Raise(PyExc_TypeError, "expected a tvk.Cache or a path");
    path = py::str(py::module_::import("os").attr("fspath")(arg)).cast<std::string>();
    return &own;
}

// The gates of the caches a copy or seed uses, shared for the call (once when
// both ends are the same cache). Taken without the GIL.
// The caches this thread's copy or seed holds: its progress callback runs on
// the same thread, and owning a gate there would wait for itself forever.
thread_local std::vector<const ePyCache*> t_Using;

bool UsedByThisThread(const ePyCache* c) {
    return std::find(t_Using.begin(), t_Using.end(), c) != t_Using.end();
}

class eSharedUse {
public:
    eSharedUse(ePyCache* a, ePyCache* b) : m_nUsing(t_Using.size()) {
        if (a != nullptr) Use(a, m_A);
        if (b != nullptr && b != a) Use(b, m_B);
    }
    ~eSharedUse() { t_Using.resize(m_nUsing); }
    eSharedUse(const eSharedUse&) = delete;
    eSharedUse& operator=(const eSharedUse&) = delete;

private:
    void Use(ePyCache* c, std::shared_lock<std::shared_mutex>& lock) {
        // A nested copy or seed from a progress callback: the outer one's
        // share already keeps the handles alive.
        if (UsedByThisThread(c)) return;
        lock = std::shared_lock<std::shared_mutex>(c->Gate);
        t_Using.push_back(c);
    }
    size_t m_nUsing;
    std::shared_lock<std::shared_mutex> m_A, m_B;
};

// Closes the files a cache keeps open, once no other thread uses it; inside
// a copy or seed of this thread that uses it, that call closes them later.
void ReleaseStorage(eOpenCache& open, ePyCache* shared) {
    std::unique_lock<std::shared_mutex> own;
    if (shared != nullptr) {
        if (UsedByThisThread(shared)) return;
        own = std::unique_lock<std::shared_mutex>(shared->Gate);
    }
    open.Storage->ReleaseHandles();
}

void CloseCache(ePyCache& c) {
    if (UsedByThisThread(&c))
        Raise(g_pError, c.Open.ConfigPath +
                            ": cannot be closed from the progress callback of a copy or seed "
                            "that uses it");
    py::gil_scoped_release release;
    ReleaseStorage(c.Open, &c);
}

py::dict Copy(const py::object& src, const py::object& dst, const py::object& levels,
              const std::optional<std::tuple<double, double, double, double>>& bbox, bool lonlat,
              bool skipExisting, const py::object& progress) {
    tagCopyOptions opt;
    eOpenCache ownSrc, ownDst;
    ePyCache *sharedSrc = nullptr, *sharedDst = nullptr;
    eOpenCache* in = CopyEnd(src, opt.Src, ownSrc, sharedSrc);
    eOpenCache* out = CopyEnd(dst, opt.Dst, ownDst, sharedDst);
    if (!levels.is_none()) opt.Levels = LevelText(levels, "levels");
    opt.Box = BoxText(bbox);
    opt.LonLat = lonlat;
    opt.SkipExisting = skipExisting;

    tagCopyCounts counts;
    std::optional<py::error_already_set> raised;
    const tagCopyProgress report = [&](const tagCopyCounts& c) {
        return ReportProgress(
            progress, [&c] { return CountsDict(c); }, raised);
    };
    eFailCapture capture;
    int code = kExitOk;
    {
        py::gil_scoped_release release;
        {
            eSharedUse use(sharedSrc, sharedDst);
            code = CopyTiles(opt, *in, *out, counts, report);
        }
        if (counts.Started) ReleaseStorage(*out, sharedDst);
    }
    if (raised) throw std::move(*raised);
    if (counts.Cancelled)
        Raise(g_pError, "copy cancelled after " + std::to_string(counts.Done) + " of " +
                            std::to_string(counts.Total) + " tiles");
    if (code != kExitOk) RaiseCaptured(capture, code);
    return CountsDict(counts);
}

py::dict SeedCountsDict(const eTileSeeder::tagCounts& c) {
    py::dict d;
    d["total"] = c.Total;
    d["done"] = c.Done();
    d["stored"] = c.Stored;
    d["skipped"] = c.Skipped;
    d["empty"] = c.Empty;
    d["failed"] = c.Failed;
    d["bytes"] = c.Bytes;
    d["requests"] = c.Requests;
    d["retries"] = c.Retries;
    d["seconds"] = c.Seconds;
    return d;
}

py::dict Seed(const py::object& cache, const std::string& source, const py::object& levels,
              const std::optional<std::tuple<double, double, double, double>>& bbox, bool lonlat,
              const py::object& polygon, int concurrency, int retries, std::optional<double> rate,
              bool overwrite, std::optional<std::string> userAgent, const py::object& headers,
              std::optional<std::string> layer, const py::object& progress) {
    tagSeedOptions opt;
    eOpenCache own;
    ePyCache* shared = nullptr;
    eOpenCache* open = CopyEnd(cache, opt.Cache, own, shared);
    opt.Source = source;
    opt.Levels = LevelText(levels, "levels");
    opt.Box = BoxText(bbox);
    opt.LonLat = lonlat;
    if (!polygon.is_none())
        opt.Polygon =
            py::str(py::module_::import("os").attr("fspath")(polygon)).cast<std::string>();
    opt.Concurrency = concurrency;
    opt.Retries = retries;
    if (rate) opt.Rate = *rate;
    opt.Overwrite = overwrite;
    if (userAgent) opt.UserAgent = *userAgent;
    if (layer) opt.Layer = *layer;
    if (py::isinstance<py::dict>(headers)) {
        for (const auto& item : headers.cast<py::dict>())
            opt.Headers.push_back(py::str(item.first).cast<std::string>() + ": " +
                                  py::str(item.second).cast<std::string>());
    } else if (!headers.is_none()) {
        if (py::isinstance<py::str>(headers))
            Raise(PyExc_TypeError, "headers: expected a dict or a list of 'Name: value'");
        for (const auto& h : headers) opt.Headers.push_back(h.cast<std::string>());
    }

    tagSeedResult result;
    std::optional<py::error_already_set> raised;
    tagSeedCallbacks callbacks;
    callbacks.Progress = [&](const eTileSeeder::tagCounts& c) {
        return ReportProgress(
            progress, [&c] { return SeedCountsDict(c); }, raised);
    };
    eFailCapture capture;
    int code = kExitOk;
    {
        py::gil_scoped_release release;
        {
            eSharedUse use(shared, nullptr);
            code = SeedTiles(opt, *open, result, callbacks);
        }
        if (result.Started) ReleaseStorage(*open, shared);
    }
    if (raised) throw std::move(*raised);
    const eTileSeeder::tagCounts& c = result.Counts;
    if (c.Cancelled)
        Raise(g_pError, "seed cancelled after " + std::to_string(c.Done()) + " of " +
                            std::to_string(c.Total) + " tiles");
    if (code != kExitOk) RaiseCaptured(capture, code);
    return SeedCountsDict(c);
}

}  // namespace

PYBIND11_MODULE(tvk, m) {
    m.doc() =
        "Tile caches on disk: open, read, write, list, check, copy and seed tiles, and the "
        "arithmetic of their tiling schemes.\n\n"
        "A cache is named as the `tvk` tool names it: its description file "
        "(tilecache.xml, an ArcGIS conf.xml) or the folder holding one. Errors raise "
        "FileNotFoundError (no such cache), ValueError (bad arguments), FileExistsError "
        "(a tile already stored) or tvk.Error (damaged files, failed writes).";

    static py::exception<std::runtime_error> error(m, "Error");
    g_pError = error.ptr();
    error.doc() = "A damaged cache file, a failed write or another failure of the cache.";

    py::class_<ePyScheme>(m, "Scheme",
                          "The tiling scheme of a cache: its coordinate system, tile grid and "
                          "levels. Boxes are (minx, miny, maxx, maxy).")
        .def_property_readonly("levels", &Levels,
                               "The levels: dicts of level, scale (a fraction), "
                               "scale_denominator, resolution (map units per pixel), rows, cols.")
        .def_property_readonly(
            "tile_size", [](const ePyScheme& s) { return s.Scheme().GetTileSize(); },
            "Tile side in pixels.")
        .def_property_readonly(
            "origin",
            [](const ePyScheme& s) {
                const ePoint2D o = s.Scheme().GetTileOrigin();
                return py::make_tuple(o.x, o.y);
            },
            "The top-left corner (x, y) of tile row 0, column 0, in map units.")
        .def("zoom_for_scale", &ZoomForScale, py::arg("denominator"),
             "The level of a scale 1:denominator; between two levels the coarser one.")
        .def("zoom_for_resolution", &ZoomForResolution, py::arg("resolution"),
             "The level of a resolution in map units per pixel; between two levels the "
             "coarser one.")
        .def("tile_bounds", &TileBounds, py::arg("level"), py::arg("row"), py::arg("col"),
             "The box (minx, miny, maxx, maxy) a tile covers, in map units.")
        .def("tile_at", &TileAt, py::arg("level"), py::arg("x"), py::arg("y"),
             py::arg("lonlat") = false,
             "(row, col) of the tile under a point in map units, or longitude/latitude when "
             "lonlat. A point on a boundary belongs to the tile right of and below it.")
        .def("tiles_for_bbox", &TilesForBox, py::arg("level"), py::arg("box"),
             py::arg("lonlat") = false,
             "(rows, cols): the ranges of tiles a box covers at a level, clipped to the grid, "
             "as `tvk tiles --bbox` counts them. The box is in map units, or "
             "longitude/latitude when lonlat.");

    py::class_<ePyTileIterator>(m, "TileIterator", "Stored tiles as (level, row, col, size).")
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", &ePyTileIterator::Next);

    py::class_<ePyCache, tagCachePtr>(m, "Cache",
                                      "An open tile cache. Safe to use from many threads.")
        .def_property_readonly(
            "info",
            [](ePyCache& c) {
                std::string text;
                {
                    py::gil_scoped_release release;
                    std::shared_lock<std::shared_mutex> use(c.Gate);
                    text = InfoJson(c.Open);
                }
                return ParseJson(text);
            },
            "What the cache is: the same keys as `tvk info --json` (name, crs, layout, "
            "tileSize, dpi, origin, bounds, indexBounds, levels).")
        .def_property_readonly(
            "path", [](const ePyCache& c) { return c.Open.ConfigPath; },
            "The description file the cache was read from.")
        .def_property_readonly(
            "layout", [](const ePyCache& c) { return std::string(LayoutName(c.Open.Layout)); },
            "The storage layout, as `tvk create --layout` names it.")
        .def_property_readonly(
            "scheme", [](const tagCachePtr& c) { return ePyScheme{c}; }, "The tiling scheme.")
        .def(
            "get",
            [](ePyCache& c, int level, int row, int col) -> py::object {
                c.CheckLevelArg(level);
                bool found = false;
                py::bytes data = Get(c, level, row, col, found);
                if (!found) return py::none();
                return std::move(data);
            },
            py::arg("level"), py::arg("row"), py::arg("col"),
            "The tile's bytes, or None when the cache holds no tile there.")
        .def(
            "exists",
            [](ePyCache& c, int level, int row, int col) {
                c.CheckLevelArg(level);
                py::gil_scoped_release release;
                std::shared_lock<std::shared_mutex> use(c.Gate);
                return c.Storage().IsTileExist(level, row, col) != 0;
            },
            py::arg("level"), py::arg("row"), py::arg("col"),
            "Whether the cache holds a tile there.")
        .def(
            "put",
            [](ePyCache& c, int level, int row, int col, const py::object& data, bool replace) {
                c.CheckLevelArg(level);
                const eHeldBuffer buffer(data);
                RunTool([&] {
                    std::shared_lock<std::shared_mutex> use(c.Gate);
                    return PutTile(c.Open, level, row, col, buffer.Data(), buffer.Size(), replace,
                                   " (use replace=True)");
                });
            },
            py::arg("level"), py::arg("row"), py::arg("col"), py::arg("data"),
            py::arg("replace") = false,
            "Stores a tile from any buffer of bytes. A tile already there raises "
            "FileExistsError unless replace; a failed write raises tvk.Error.")
        .def(
            "remove",
            [](ePyCache& c, int level, int row, int col) {
                c.CheckLevelArg(level);
                bool present = false, removed = false;
                {
                    py::gil_scoped_release release;
                    std::shared_lock<std::shared_mutex> use(c.Gate);
                    present = c.Storage().IsTileExist(level, row, col) != 0;
                    removed = present && c.Storage().RemoveTile(level, row, col);
                }
                if (present && !removed)
                    Raise(g_pError, c.Open.ConfigPath + ": cannot remove the tile at " +
                                        AddressText(level, row, col));
                return removed;
            },
            py::arg("level"), py::arg("row"), py::arg("col"),
            "Removes a tile: True when one was removed, False when there was none.")
        .def(
            "tiles",
            [](const tagCachePtr& c, std::optional<int> level, const py::object& levels) {
                int first = 0, last = c->Open.LevelCount() - 1;
                if (level && !levels.is_none())
                    Raise(PyExc_ValueError, "give level or levels, not both");
                if (level) {
                    c->CheckLevelArg(*level);
                    first = last = *level;
                } else if (!levels.is_none()) {
                    const std::string text = LevelText(levels, "levels");
                    if (!ParseLevelRange(text, first, last))
                        Raise(PyExc_ValueError, "levels: " + text);
                }
                return std::make_unique<ePyTileIterator>(c, first, last);
            },
            py::kw_only(), py::arg("level") = py::none(), py::arg("levels") = py::none(),
            "Iterates the stored tiles as (level, row, col, size), level by level, reading "
            "indexes and folders as it goes. A damaged bundle raises tvk.Error.")
        .def("verify", &Verify, py::kw_only(), py::arg("level") = py::none(),
             "Checks the cache's files (or one level's) without changing them, as `tvk "
             "verify` does: a dict of ok, problems and warnings (dicts of path, kind, "
             "message), tiles, bytes, bundles, tile_files, dead_bytes.")
        .def("close", &CloseCache,
             "Closes the files the cache keeps open, once calls under way in other threads "
             "are done; later calls open them again.")
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](ePyCache& c, py::args) { CloseCache(c); })
        .def("__repr__", [](const ePyCache& c) {
            return "<tvk.Cache " + std::string(LayoutName(c.Open.Layout)) + " '" +
                   c.Open.ConfigPath + "'>";
        });

    m.def(
        "open",
        [](const py::object& path) {
            return OpenPath(py::str(py::module_::import("os").attr("fspath")(path)));
        },
        py::arg("path"),
        "Opens a cache as `tvk` does: its description file (tilecache.xml, an ArcGIS conf.xml), "
        "the folder holding one, or a single-file cache (FILE.mbtiles, FILE.gpkg). "
        "FileNotFoundError when there is none.");
    m.def("create", &Create, py::arg("path"), py::kw_only(), py::arg("crs"),
          py::arg("levels") = py::module_::import("builtins").attr("range")(0, 19),
          py::arg("layout") = py::none(), py::arg("tile_type") = "png",
          py::arg("bounds") = py::none(), py::arg("name") = "", py::arg("tile_size") = 256,
          py::arg("dpi") = 96.0, py::arg("arcgis") = false,
          "Creates an empty cache, as `tvk create` does, and opens it: a folder, or "
          "FILE.mbtiles, FILE.gpkg. layout is original, compact (the default for folders), "
          "compact-v2 or arcgis-exploded; arcgis writes an ArcGIS conf.xml.");
    m.def("copy", &Copy, py::arg("src"), py::arg("dst"), py::kw_only(),
          py::arg("levels") = py::none(), py::arg("bbox") = py::none(), py::arg("lonlat") = false,
          py::arg("skip_existing") = false, py::arg("progress") = py::none(),
          "Copies stored tiles between caches of the same tiling scheme, as `tvk copy` does. "
          "src and dst are caches or paths; a new FILE.mbtiles or FILE.gpkg dst is created from "
          "src's tiling scheme. progress, when given, is called with a dict of "
          "total, done, copied, skipped, failed, bytes a few times a second; returning False "
          "cancels. Returns the final counts; raises tvk.Error when a tile failed.");
    m.def("seed", &Seed, py::arg("cache"), py::arg("source"), py::kw_only(), py::arg("levels"),
          py::arg("bbox") = py::none(), py::arg("lonlat") = false, py::arg("polygon") = py::none(),
          py::arg("concurrency") = 8, py::arg("retries") = 4, py::arg("rate") = py::none(),
          py::arg("overwrite") = false, py::arg("user_agent") = py::none(),
          py::arg("headers") = py::none(), py::arg("layer") = py::none(),
          py::arg("progress") = py::none(),
          "Downloads the tiles of some levels (an int or a range) and an area from a tile "
          "service into a cache, as `tvk seed` does. cache is a tvk.Cache or a path; source a "
          "URL template ({z}/{x}/{y}, {-y}, {q}, {s}, {level}/{row}/{col}), a WMTS "
          "GetCapabilities URL or an ArcGIS REST .../MapServer URL (layer picks the WMTS "
          "layer). The area is the whole grid, bbox (map units, or longitude/latitude when "
          "lonlat) or polygon, the path of a GeoJSON file of (multi)polygons. Tiles the "
          "cache holds are skipped unless overwrite, so a second run resumes the first. "
          "rate caps requests per second; headers is a dict or a list of 'Name: value'. "
          "progress, when given, is called with the counts a few times a second; returning "
          "False cancels (tvk.Error). Returns a dict of total, done, stored, skipped, empty, "
          "failed, bytes, requests, retries, seconds; raises tvk.Error when a tile still "
          "failed after the retries.");
}
