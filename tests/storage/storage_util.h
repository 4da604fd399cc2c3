// Storage test helpers: storages set up the way a caller does it (through the
// setters), recognisable tile bytes, and assertion capture.
#ifndef TVK_TESTS_STORAGE_UTIL_H
#define TVK_TESTS_STORAGE_UTIL_H

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "eTileStorage.h"
#include "platform/eAssert.h"
#include "platform/eGeometry.h"
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
