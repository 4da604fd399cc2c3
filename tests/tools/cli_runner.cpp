// Fixtures for the tool tests.
#include "cli_runner.h"

#include <algorithm>
#include <cmath>

#include "eTileStorage.h"

namespace tvktest {

Tiles AllTiles(const std::string& cache, int levels) {
    TVK::eTileStorage storage;
    const bool opened = fs::is_directory(cache)
                            ? storage.FromConfigFile((cache + "/tilecache.xml").c_str())
                            : storage.FromTileFile(cache.c_str());
    EXPECT_TRUE(opened) << cache;
    Tiles tiles;
    for (int level = 0; level < levels; ++level)
        for (int row = 0; row < (1 << level); ++row)
            for (int col = 0; col < (1 << level); ++col) {
                TVK::eByteArray data;
                if (storage.LoadImageData(level, row, col, data))
                    tiles[{level, row, col}] =
                        std::string(reinterpret_cast<const char*>(data.GetData()),
                                    static_cast<size_t>(data.GetSize()));
            }
    return tiles;
}

std::vector<std::string> SortedLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    std::sort(lines.begin(), lines.end());
    return lines;
}

void WriteArcGISConf(const std::string& dir, int firstLevelId, int levels,
                     const std::string& storageFormat) {
    std::string lods;
    for (int level = firstLevelId; level < firstLevelId + levels; ++level) {
        const double res = kWorld / 256 / std::pow(2.0, level);
        lods += "<LODInfo xsi:type='typens:LODInfo'><LevelID>" + std::to_string(level) +
                "</LevelID><Scale>" + std::to_string(res * 96 / 0.0254) + "</Scale><Resolution>" +
                std::to_string(res) + "</Resolution></LODInfo>";
    }
    const std::string
        head = "<?xml version=\"1.0\" encoding=\"utf-8\"?>",
        ns = " xmlns:xsi='http://www.w3.org/"
             "2001/XMLSchema-instance' xmlns:typens='http://www.esri.com/schemas/ArcGIS/10.1'";
    WriteText(dir + "/Conf.xml",
              head + "<CacheInfo xsi:type='typens:CacheInfo'" + ns +
                  "><TileCacheInfo>"
                  "<SpatialReference "
                  "xsi:type='typens:ProjectedCoordinateSystem'><WKT>PROJCS[\"WGS_1984_Web_Mercator_"
                  "Auxiliary_Sphere\",GEOGCS[\"GCS_WGS_1984\",DATUM[\"D_WGS_1984\",SPHEROID[\"WGS_"
                  "1984\",6378137.0,"
                  "298.257223563]],PRIMEM[\"Greenwich\",0.0],UNIT[\"Degree\",0.0174532925199433]],"
                  "PROJECTION[\"Mercator_"
                  "Auxiliary_Sphere\"],PARAMETER[\"False_Easting\",0.0],PARAMETER[\"False_"
                  "Northing\",0.0],PARAMETER["
                  "\"Central_Meridian\",0.0],PARAMETER[\"Standard_Parallel_1\",0.0],PARAMETER["
                  "\"Auxiliary_Sphere_Type\","
                  "0.0],UNIT[\"Meter\",1.0]]</WKT><WKID>102100</WKID><LatestWKID>3857</"
                  "LatestWKID></SpatialReference>"
                  "<TileOrigin "
                  "xsi:type='typens:PointN'><X>-20037508.342787001</X><Y>20037508.342787001</Y></"
                  "TileOrigin>"
                  "<TileCols>256</TileCols><TileRows>256</TileRows><DPI>96</DPI><LODInfos>" +
                  lods +
                  "</LODInfos>"
                  "</TileCacheInfo><TileImageInfo><CacheTileFormat>PNG</CacheTileFormat></"
                  "TileImageInfo><CacheStorageInfo>"
                  "<StorageFormat>" +
                  storageFormat +
                  "</StorageFormat><PacketSize>128</"
                  "PacketSize>"
                  "</CacheStorageInfo></CacheInfo>");
    WriteText(dir + "/conf.cdi", head + "<EnvelopeN xsi:type='typens:EnvelopeN'" + ns +
                                     "><XMin>-20037508.342787"
                                     "</XMin><YMin>-20037508.342787</YMin><XMax>20037508.342787</"
                                     "XMax><YMax>20037508.342787</YMax></EnvelopeN>");
}

void WriteArcGISCache(const std::string& dir) {
    WriteArcGISConf(dir, 0, 3, "esriMapCacheStorageModeCompact");
    // Records go after the data file's 65,596-byte prelude; the slot of a
    // tile is (col % 128) * 128 + row % 128, five bytes each after the
    // 16-byte index header.
    Bytes index = ArcGISIndex(), data = ArcGISData(0, 0);
    PutLE(index, 16 + 5 * (2 * 128 + 1), data.size(), 5);
    data = Concat(data, Record(Text("tile-A-bytes")));
    PutLE(index, 16 + 5 * (0 * 128 + 3), data.size(), 5);
    data = Concat(data, Record(Text("tile-B!")));
    WriteFile(dir + "/_alllayers/L02/R0000C0000.bundlx", index);
    WriteFile(dir + "/_alllayers/L02/R0000C0000.bundle", data);
}

}  // namespace tvktest
