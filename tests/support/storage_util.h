// Storage test helpers: storages and schemes set up the way a caller does it
// (through the setters), recognisable tile bytes, and assertion capture.
#ifndef TVK_TESTS_SUPPORT_STORAGE_UTIL_H
#define TVK_TESTS_SUPPORT_STORAGE_UTIL_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "eCacheCheck.h"
#include "eTileListing.h"
#include "eTileStorage.h"
#include "platform/eAssert.h"
#include "platform/eGeometry.h"
#include "platform/ePrjCoordSys.h"
#include "support/test_files.h"

namespace tvktest {

using namespace TVK;

// A seed-dependent byte sequence of the given length.
inline Bytes TileBytes(unsigned seed, size_t size) {
    Bytes bytes(size);
    unsigned x = seed * 2654435761u + 1u;
    for (auto& b : bytes) b = static_cast<unsigned char>((x = x * 1103515245u + 12345u) >> 16);
    return bytes;
}

// Six levels, 1:32,000,000 down to 1:1,000,000 (level 5), halving each time.
inline std::unique_ptr<TVK::eTileStorage> MakeStorage(const std::string& root,
                                                      TVK::eTileStorage::EmFormat format) {
    auto storage = std::make_unique<TVK::eTileStorage>();
    storage->GetTileCoordSys().SetScales({1.0 / 32000000, 1.0 / 16000000, 1.0 / 8000000,
                                          1.0 / 4000000, 1.0 / 2000000, 1.0 / 1000000});
    storage->SetCacheFormat(format);
    storage->SetFileDirectory(root.c_str());
    return storage;
}

// Web Mercator over the whole world, 256-pixel tiles at 96 DPI, `levels`
// levels doubling from zoom firstZoom on.
inline void SetWebMercator(TVK::eTileCoordSys& scheme, int levels, int firstZoom = 0) {
    TVK::ePrjCoordSys prj;
    prj << TVK::eWKT("EPSG:3857");
    scheme.SetPrjCoordSys(prj);
    scheme.SetTileSize(256);
    scheme.SetDPI(96);
    scheme.SetTileOrigin(TVK::ePoint2D(-kWorld / 2, kWorld / 2));
    scheme.SetBounds(TVK::eRect2D(-kWorld / 2, kWorld / 2, kWorld / 2, -kWorld / 2));
    scheme.SetIndexBounds(scheme.GetBounds());
    scheme.SetScales(TVK::eTileCoordSys::ComputeMapScale(prj, kWorld / std::ldexp(1.0, firstZoom),
                                                         256, levels, 96 / 25.4));
}

inline unsigned char Save(TVK::eTileStorage& storage, int level, int row, int col,
                          const Bytes& bytes) {
    return storage.SaveImageData(level, row, col, bytes.data(),
                                 static_cast<unsigned int>(bytes.size()));
}

// The tile's bytes, or nothing when the load fails.
inline Bytes Load(TVK::eTileStorage& storage, int level, int row, int col) {
    TVK::eByteArray data;
    return storage.LoadImageData(level, row, col, data) ? ToBytes(data) : Bytes();
}

using tagListed = std::tuple<int, int, int, int64_t>;  // level, row, col, size
using Listed = std::vector<tagListed>;
// Every tile the listing reports; it must end without an error, and stay ended.
inline Listed Drain(TVK::eTileListing listing) {
    Listed tiles;
    TVK::tagStoredTile tile;
    while (listing.Next(tile)) tiles.emplace_back(tile.Level, tile.Row, tile.Col, tile.Size);
    EXPECT_EQ(listing.GetError().Kind, TVK::eCacheCheck::None)
        << listing.GetError().Path.Std() << ": " << listing.GetError().Detail.Std();
    EXPECT_FALSE(listing.Next(tile));
    return tiles;
}
inline Listed List(const TVK::eTileStorage& storage) { return Drain(TVK::eTileListing(storage)); }
inline Listed List(const TVK::eTileStorage& storage, int first, int last) {
    return Drain(TVK::eTileListing(storage, first, last));
}

// ArcGIS's geographic WGS 84 in its WKT dialect, and a configuration in the
// shape ArcGIS writes (one line, namespaces, xsi:type attributes).
inline const char kGeographicWkt[] =
    "GEOGCS[\"GCS_WGS_1984\",DATUM[\"D_WGS_1984\",SPHEROID[\"WGS_1984\",6378137.0,298.257223563]],"
    "PRIMEM[\"Greenwich\",0.0],UNIT[\"Degree\",0.0174532925199433]]";
inline const std::string kGeographic =
    std::string("<SpatialReference><WKT>") + kGeographicWkt + "</WKT></SpatialReference>";
inline std::string Conf(const std::string& tileCacheInfo, const std::string& rest) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?><CacheInfo xsi:type='typens:CacheInfo' "
           "xmlns:xsi='http://www.w3.org/2001/XMLSchema-instance' "
           "xmlns:typens='http://www.esri.com/schemas/ArcGIS/10.1'>" +
           (tileCacheInfo.empty() ? ""
                                  : "<TileCacheInfo xsi:type='typens:TileCacheInfo'>" +
                                        tileCacheInfo + "</TileCacheInfo>") +
           rest + "</CacheInfo>";
}
inline std::string Lod(int id, double resolution) {
    return "<LODInfo><LevelID>" + std::to_string(id) + "</LevelID><Resolution>" +
           std::to_string(resolution) + "</Resolution></LODInfo>";
}

// A rectangle's left, top, right and bottom, for one comparison.
inline std::vector<double> Sides(const TVK::eRect2D& r) {
    return {r.left, r.top, r.right, r.bottom};
}

// Every file below root whose name ends with ".temp".
inline size_t TempFiles(const fs::path& root) {
    return size_t(std::count_if(
        fs::recursive_directory_iterator(root), {},
        [](const fs::directory_entry& e) { return e.path().extension() == ".temp"; }));
}

// Records Eassert reports ("expr@source") while alive.
class AssertLog {
public:
    AssertLog() : m_previous(TVK::SetAssertHandler(&AssertLog::Record)) { Entries().clear(); }
    ~AssertLog() { TVK::SetAssertHandler(m_previous); }
    AssertLog(const AssertLog&) = delete;
    AssertLog& operator=(const AssertLog&) = delete;
    static std::vector<std::string>& Entries() { return s_entries; }

private:
    static inline std::vector<std::string> s_entries;
    static void Record(const char* expr, const char* file, int) {
        s_entries.push_back(std::string(expr) + "@" + file);
    }
    TVK::eAssertHandler m_previous;
};

}  // namespace tvktest

#endif
