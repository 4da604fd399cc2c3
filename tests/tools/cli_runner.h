// The tool tests' fixture, and an ArcGIS cache written byte by byte for the
// tool and the README tour to read.
#ifndef TVK_TESTS_TOOLS_CLI_RUNNER_H
#define TVK_TESTS_TOOLS_CLI_RUNNER_H

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "support/test_processes.h"

namespace tvktest {

using namespace TVK;

using Tiles = std::map<std::tuple<int, int, int>, std::string>;
// Every tile of levels 0..levels-1 of a cache folder or tile file, read
// through the library (not the tool).
Tiles AllTiles(const std::string& cache, int levels);
// The lines of a text (`tvk ls` output), sorted: archives list in tile-id
// order, folders otherwise.
std::vector<std::string> SortedLines(const std::string& text);

// "Conf.xml" and conf.cdi of an ArcGIS cache of Web Mercator, `levels`
// levels from LevelID firstLevelId on, in the given StorageFormat.
void WriteArcGISConf(const std::string& dir, int firstLevelId, int levels,
                     const std::string& storageFormat);
// An ArcGIS compact cache of Web Mercator levels 0-2: "Conf.xml" (as caches
// from Windows name it), conf.cdi, and one bundle pair of level 2 in ArcGIS's
// structure holding "tile-A-bytes" at row 1, column 2 and "tile-B!" at row 3,
// column 0.
void WriteArcGISCache(const std::string& dir);

// A fresh folder per test; skips the test when the tool was not built.
class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (TvkPath().empty()) GTEST_SKIP() << "the tvk tool was not built";
    }
    std::string Path(const std::string& name) const { return m_dir.Str() + "/" + name; }
    // `tvk create DIR --crs CRS --levels LEVELS`, then the extra arguments.
    static tagRun Create(const std::string& dir, const std::string& levels,
                         const std::vector<std::string>& extra = {},
                         const std::string& crs = "EPSG:3857") {
        std::vector<std::string> args = {"create", dir, "--crs", crs, "--levels", levels};
        args.insert(args.end(), extra.begin(), extra.end());
        return RunTvk(args);
    }
    tvktest::TempDir m_dir;
};

}  // namespace tvktest

#endif
