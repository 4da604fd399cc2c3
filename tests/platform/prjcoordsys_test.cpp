// ePrjCoordSys: definitions in (EPSG codes, ArcGIS and standard WKT), the
// derived values callers rely on, Forward/Inverse against hand-computed
// values, WKT round trips, refused input, the XML import and parallel use.
#include <gtest/gtest.h>

#include <cmath>
#include <thread>
#include <vector>

#include "platform/ePrjCoordSys.h"

using namespace TVK;

namespace {

const char* const kEsriWebMercator =
    "PROJCS[\"WGS_1984_Web_Mercator_Auxiliary_Sphere\",GEOGCS[\"GCS_WGS_1984\",DATUM[\"D_WGS_"
    "1984\","
    "SPHEROID[\"WGS_1984\",6378137.0,298.257223563]],PRIMEM[\"Greenwich\",0.0],UNIT[\"Degree\",0."
    "0174532925199433]],"
    "PROJECTION[\"Mercator_Auxiliary_Sphere\"],PARAMETER[\"False_Easting\",0.0],PARAMETER[\"False_"
    "Northing\",0.0],"
    "PARAMETER[\"Central_Meridian\",0.0],PARAMETER[\"Standard_Parallel_1\",0.0],"
    "PARAMETER[\"Auxiliary_Sphere_Type\",0.0],UNIT[\"Meter\",1.0],AUTHORITY[\"EPSG\",3857]]";
const char* const kEsriGeographic =
    "GEOGCS[\"GCS_WGS_1984\",DATUM[\"D_WGS_1984\",SPHEROID[\"WGS_1984\",6378137.0,298.257223563]],"
    "PRIMEM[\"Greenwich\",0.0],UNIT[\"Degree\",0.0174532925199433]]";
constexpr double kPi = 3.14159265358979323846;
constexpr double kHalfWorld = 20037508.342789244;  // pi * 6378137

ePrjCoordSys Make(const char* definition) {
    ePrjCoordSys cs;
    EXPECT_EQ(cs << eWKT(definition), 1) << definition;
    return cs;
}
double Axis(const ePrjCoordSys& cs) {
    return cs.GetGeoCoordSys().GetHorizonDatum().GetSpheroid().GetAxis();
}
int ProjType(const ePrjCoordSys& cs) { return cs.GetProjection().GetProjectionType(); }
bool Near(const ePoint2D& p, const ePoint2D& q, double tol) {
    return std::fabs(p.x - q.x) <= tol && std::fabs(p.y - q.y) <= tol;
}

}  // namespace

TEST(PrjCoordSys, UnsetSystemLeavesPointsAlone) {
    const ePrjCoordSys cs;
    EXPECT_TRUE(cs.GetSpatialRefType() == 0 && cs.GetUnits() == 10000 && Axis(cs) == 6378137.0 &&
                ProjType(cs) == 0);
    ePoint2D p(12.5, -3.25);
    cs.Forward(&p, 1);
    EXPECT_TRUE(p.x == 12.5 && p.y == -3.25);
    eWKT out("stale");
    EXPECT_TRUE((cs >> out) == 0 && out.Text.IsEmpty());
}

// Each system: its derived values, one hand-computed point and the way back,
// and a WKT1 text that rebuilds the same system.
TEST(PrjCoordSys, SystemsFromCodesArcGISTextAndWkt2) {
    // The UTM zone 33N in WKT2 with the northing axis first: still easting, northing out.
    const char* const wkt2 =
        "PROJCRS[\"UTM 33N\",BASEGEOGCRS[\"WGS 84\",DATUM[\"WGS 1984\",ELLIPSOID[\"WGS "
        "84\",6378137,298.257223563]],"
        "ANGLEUNIT[\"degree\",0.0174532925199433]],CONVERSION[\"UTM zone 33N\",METHOD[\"Transverse "
        "Mercator\"],"
        "PARAMETER[\"Latitude of natural origin\",0],PARAMETER[\"Longitude of natural origin\",15],"
        "PARAMETER[\"Scale factor at natural origin\",0.9996],PARAMETER[\"False easting\",500000],"
        "PARAMETER[\"False "
        "northing\",0]],CS[Cartesian,2],AXIS[\"northing\",north],AXIS[\"easting\",east],"
        "LENGTHUNIT[\"metre\",1]]";
    const int other = -1;  // a projection type that is neither 0 nor 43045
    const struct {
        const char* def;
        int type, units;
        double axis;
        int projType;
        ePoint2D geo, map;
        double tol;
    } cases[] = {
        // Web Mercator: x = R * lon, y = R * ln(tan(pi/4 + lat/2)) on the sphere.
        {"EPSG:3857",
         2,
         10000,
         6378137.0,
         43045,
         {-90.0, 60.0},
         {-kHalfWorld / 2, 6378137.0 * std::log(std::tan(5 * kPi / 12))},
         1e-6},
        {kEsriWebMercator, 2, 10000, 6378137.0, 43045, {180.0, 0.0}, {kHalfWorld, 0.0}, 1e-6},
        // Longitude first, although EPSG:4326 lists latitude first.
        {"EPSG:4326", 1, 0, 6378137.0, 0, {15.0, 45.0}, {15.0, 45.0}, 1e-12},
        {kEsriGeographic, 1, 0, 6378137.0, 0, {15.0, 45.0}, {15.0, 45.0}, 1e-12},
        // NTF (Paris) counts in grads, 1000000000 + round(pi / 200 * 1e8): degrees in, grads out.
        {"EPSG:4807", 1, 1001570796, 6378249.2, 0, {180.0, 45.0}, {200.0, 50.0}, 1e-9},
        // On the central meridian x is the false easting; 1 N is 110574.3 m of meridian times
        // 0.9996.
        {"EPSG:32633", 2, 10000, 6378137.0, other, {15.0, 1.0}, {500000.0, 110530.0}, 1.0},
        {wkt2, 2, 10000, 6378137.0, other, {15.0, 1.0}, {500000.0, 110530.0}, 1.0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.def);
        const ePrjCoordSys cs = Make(c.def);
        EXPECT_TRUE(cs.GetSpatialRefType() == c.type && cs.GetUnits() == c.units &&
                    Axis(cs) == c.axis);
        EXPECT_TRUE(c.projType == other ? ProjType(cs) != 0 && ProjType(cs) != 43045
                                        : ProjType(cs) == c.projType);
        ePoint2D p = c.geo;
        ASSERT_EQ(cs.Forward(&p, 1), 1);
        EXPECT_TRUE(Near(p, c.map, c.tol)) << p.x << " " << p.y;
        ASSERT_EQ(cs.Inverse(&p, 1), 1);
        EXPECT_TRUE(Near(p, c.geo, 1e-9)) << p.x << " " << p.y;

        eWKT wkt;
        ePrjCoordSys back;
        ASSERT_TRUE((cs >> wkt) == 1 && (back << wkt) == 1);
        EXPECT_TRUE(wkt.Text.Std().rfind("PROJCS[", 0) == 0 ||
                    wkt.Text.Std().rfind("GEOGCS[", 0) == 0);
        EXPECT_TRUE(back.GetSpatialRefType() == c.type && ProjType(back) == ProjType(cs));
        p = c.geo;
        ASSERT_EQ(back.Forward(&p, 1), 1);
        EXPECT_TRUE(Near(p, c.map, c.tol)) << p.x << " " << p.y;
    }
}

TEST(PrjCoordSys, FeetRefusedTextsAndXmlImport) {
    EXPECT_EQ(Make("EPSG:2263").GetUnits(), 3048);  // US survey foot
    EXPECT_EQ(Make("+proj=tmerc +ellps=WGS84 +units=ft +type=crs").GetUnits(),
              3048);  // international foot
    ePrjCoordSys cs = Make("EPSG:4326");
    for (const char* bad : {"", "not a definition", "EPSG:999999", "PROJCS[\"broken\",GEOGCS[",
                            "EPSG:4978" /* geocentric: neither geographic nor projected */})
        EXPECT_EQ(cs << eWKT(bad), 0) << bad;
    const eString good = "<CoordinateReferenceSystem>EPSG:3857</CoordinateReferenceSystem>";
    EXPECT_EQ(cs.FromXML(good, 20031210), 0);  // wrong format number
    EXPECT_EQ(cs.FromXML("<Other>EPSG:3857</Other>", 20031211), 0);
    EXPECT_EQ(
        cs.FromXML("<CoordinateReferenceSystem>rubbish</CoordinateReferenceSystem>", 20031211), 0);
    EXPECT_EQ(cs.GetSpatialRefType(), 1);  // every refusal left the geographic system in place
    ASSERT_EQ(cs.FromXML(good, 20031211), 1);
    EXPECT_EQ(ProjType(cs), 43045);
}

// Copies and an assigned object stay valid after the original moves on;
// threads 0-3 transform their own copies, 4 and 5 share one object.
TEST(PrjCoordSysConcurrency, CopiesAreIndependentAndTransformInParallel) {
    ePrjCoordSys utm = Make("EPSG:32633"), shared;
    std::vector<ePrjCoordSys> copies(4, utm);
    shared = utm;
    std::vector<ePoint2D> input;
    for (int i = 0; i < 200; ++i) input.emplace_back(10.0 + i * 0.05, -60.0 + i * 0.6);
    std::vector<ePoint2D> expected = input;
    ASSERT_EQ(utm.Forward(expected.data(), 200), 1);
    ASSERT_EQ(utm << eWKT("EPSG:4326"), 1);
    std::vector<int> failures(6, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            const ePrjCoordSys& cs = t >= 4 ? shared : copies[t];
            for (int round = 0; round < 100; ++round) {
                std::vector<ePoint2D> work = input;
                failures[t] += !cs.Forward(work.data(), 200);
                for (size_t i = 0; i < work.size(); ++i)
                    failures[t] += !Near(work[i], expected[i], 1e-6);
                failures[t] += !cs.Inverse(work.data(), 200);
                for (size_t i = 0; i < work.size(); ++i)
                    failures[t] += !Near(work[i], input[i], 1e-8);
            }
        });
    }
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(failures, std::vector<int>(6, 0));
}
