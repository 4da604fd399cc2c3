// Helpers of the description-file and ArcGIS import tests: assertion
// capture, fixture paths, plain text files.
#ifndef TVK_TESTS_STORAGE_TEST_CONFIG_UTIL_H
#define TVK_TESTS_STORAGE_TEST_CONFIG_UTIL_H

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/eAssert.h"
#include "platform/eGeometry.h"

namespace config_test {

// Records Eassert reports while alive.
class AssertLog {
public:
    AssertLog() : m_previous(TVK::SetAssertHandler(&AssertLog::Record)) { Entries().clear(); }
    ~AssertLog() { TVK::SetAssertHandler(m_previous); }
    AssertLog(const AssertLog&) = delete;
    AssertLog& operator=(const AssertLog&) = delete;

    // "expr@source" per report, in order.
    static std::vector<std::string>& Entries() {
        static std::vector<std::string> entries;
        return entries;
    }

private:
    static void Record(const char* expr, const char* file, int) {
        Entries().push_back(std::string(expr) + "@" + file);
    }
    TVK::eAssertHandler m_previous;
};

inline std::string FixtureDir() {
    std::string here = __FILE__;
    return here.substr(0, here.rfind('/')) + "/fixtures/";
}

inline std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

inline void ExpectRect(const TVK::eRect2D& r, double left, double top, double right, double bottom) {
    EXPECT_EQ(r.left, left);
    EXPECT_EQ(r.top, top);
    EXPECT_EQ(r.right, right);
    EXPECT_EQ(r.bottom, bottom);
}

}  // namespace config_test

#endif
