// Test helpers: coordinate systems from a definition, and a recorder of
// Eassert reports ("expr|file|line") while alive (one capture at a time).
#ifndef TVK_TESTS_COORDSYS_TEST_UTIL_H
#define TVK_TESTS_COORDSYS_TEST_UTIL_H

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/eAssert.h"
#include "platform/ePrjCoordSys.h"

namespace tvktest {

using namespace TVK;

inline ePrjCoordSys Make(const char* definition) {
    ePrjCoordSys prj;
    EXPECT_NE(0, prj << eWKT(definition)) << definition;
    return prj;
}

// Geographic WGS 84 in grads: unit value 1000000000 + 1570796.
constexpr const char* kGradWkt =
    "GEOGCS[\"g\",DATUM[\"WGS_1984\",SPHEROID[\"WGS 84\",6378137,298.257223563]],"
    "PRIMEM[\"Greenwich\",0],UNIT[\"grad\",0.01570796326794897]]";

inline std::vector<std::string> g_reports;
struct AssertCapture {
    AssertCapture()
        : previous(SetAssertHandler([](const char* e, const char* f, int l) {
              g_reports.push_back(std::string(e) + "|" + f + "|" + std::to_string(l));
          })) {
        g_reports.clear();
    }
    ~AssertCapture() { SetAssertHandler(previous); }
    eAssertHandler previous;
};

}  // namespace tvktest

#endif
