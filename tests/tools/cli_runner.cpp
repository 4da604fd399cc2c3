// Child processes and fixtures for the tool tests.
#include "cli_runner.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>

namespace tvktest {

#ifndef TVK_CLI_PATH
#define TVK_CLI_PATH ""
#endif
std::string TvkPath() { return TVK_CLI_PATH; }

namespace {

pid_t Spawn(const std::vector<std::string>& args, const std::string& out, const std::string& err) {
    std::string tool = TvkPath();
    std::vector<char*> argv{tool.data()};
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));  // execv does not write them
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644),
                  e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0) _exit(127);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

}  // namespace

tagRun RunTvk(const std::vector<std::string>& args) {
    const TempDir io;
    const std::string out = io.Str() + "/out", err = io.Str() + "/err";
    tagRun run;
    int status = 0;
    const pid_t pid = Spawn(args, out, err);
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        run.Code = WEXITSTATUS(status);
    run.Out = ReadText(out);
    run.Err = ReadText(err);
    return run;
}

pid_t StartTvk(const std::vector<std::string>& args, const std::string& out) {
    return Spawn(args, out, "/dev/null");
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
