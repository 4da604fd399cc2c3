// Test helpers: coordinate systems from a definition, and a recorder of
// Eassert reports while alive (one capture at a time).
#ifndef TVK_TESTS_COORDSYS_TEST_UTIL_H
#define TVK_TESTS_COORDSYS_TEST_UTIL_H

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/eAssert.h"
#include "platform/ePrjCoordSys.h"

namespace TVK {
namespace test {

inline ePrjCoordSys Make(const char* definition) {
    ePrjCoordSys prj;
    EXPECT_NE(0, prj << eWKT(definition)) << definition;
    return prj;
}

// Geographic WGS 84 in grads: unit value 1000000000 + 1570796.
constexpr const char* kGradWkt =
    "GEOGCS[\"g\",DATUM[\"WGS_1984\",SPHEROID[\"WGS 84\",6378137,298.257223563]],"
    "PRIMEM[\"Greenwich\",0],UNIT[\"grad\",0.01570796326794897]]";

struct AssertCapture {
    struct Report { std::string expr, file; int line; };
    AssertCapture() : previous(SetAssertHandler(&Record)) { Reports().clear(); }
    ~AssertCapture() { SetAssertHandler(previous); }
    static std::vector<Report>& Reports() {
        static std::vector<Report> reports;
        return reports;
    }
    static void Record(const char* e, const char* f, int l) { Reports().push_back({e, f, l}); }
    eAssertHandler previous;
};

}  // namespace test
}  // namespace TVK

#endif
