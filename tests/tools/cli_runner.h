// Running the built `tvk` executable from tests: a child process per
// command, its exit code and both output streams; and an ArcGIS cache
// written byte by byte for the tool and the README tour to read.
#ifndef TVK_TESTS_TOOLS_CLI_RUNNER_H
#define TVK_TESTS_TOOLS_CLI_RUNNER_H

#include <gtest/gtest.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "support/test_files.h"

namespace tvktest {

using namespace TVK;

constexpr double kWorld = 40075016.68557849;  // Web Mercator full width, metres

struct tagRun {
    int Code = -1;    // exit code; -1 when the process did not exit normally
    std::string Out;  // standard output
    std::string Err;  // standard error
};

// Path of the tool under test; empty when the build did not make it.
std::string TvkPath();
// Runs tvk with the arguments and waits for it.
tagRun RunTvk(const std::vector<std::string>& args);
// Starts tvk with standard output into `out` and standard error discarded;
// the caller waits for or kills it.
pid_t StartTvk(const std::vector<std::string>& args, const std::string& out);

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
    tvktest::TempDir m_dir;
};

}  // namespace tvktest

#endif
