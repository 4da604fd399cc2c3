// ePrjCoordSys: definitions in (EPSG codes, ArcGIS and standard WKT), the
// derived values callers rely on (type, unit value, axis, projection type),
// Forward/Inverse against hand-computed values, WKT round trips, refused
// input, the XML import and independent copies on parallel threads.
#include <gtest/gtest.h>

#include <cmath>
#include <thread>
#include <vector>

#include "platform/ePrjCoordSys.h"

using namespace TVK;

namespace {

const char* const kEsriWebMercator =
    "PROJCS[\"WGS_1984_Web_Mercator_Auxiliary_Sphere\",GEOGCS[\"GCS_WGS_1984\",DATUM[\"D_WGS_1984\","
    "SPHEROID[\"WGS_1984\",6378137.0,298.257223563]],PRIMEM[\"Greenwich\",0.0],UNIT[\"Degree\",0.0174532925199433]],"
    "PROJECTION[\"Mercator_Auxiliary_Sphere\"],PARAMETER[\"False_Easting\",0.0],PARAMETER[\"False_Northing\",0.0],"
    "PARAMETER[\"Central_Meridian\",0.0],PARAMETER[\"Standard_Parallel_1\",0.0],"
    "PARAMETER[\"Auxiliary_Sphere_Type\",0.0],UNIT[\"Meter\",1.0],AUTHORITY[\"EPSG\",3857]]";

const char* const kEsriGeographic =
    "GEOGCS[\"GCS_WGS_1984\",DATUM[\"D_WGS_1984\",SPHEROID[\"WGS_1984\",6378137.0,298.257223563]],"
    "PRIMEM[\"Greenwich\",0.0],UNIT[\"Degree\",0.0174532925199433]]";

constexpr double kPi = 3.14159265358979323846;
constexpr double kWebMercatorRadius = 6378137.0;
// pi * 6378137: half the equator of the Web Mercator sphere.
constexpr double kHalfWorld = 20037508.342789244;

ePrjCoordSys Make(const char* definition)
{
    ePrjCoordSys cs;
    EXPECT_EQ(cs << eWKT(definition), 1) << definition;
    return cs;
}

}  // namespace

TEST(PrjCoordSys, UnsetSystemDefaults)
{
    ePrjCoordSys cs;
    EXPECT_EQ(cs.GetSpatialRefType(), 0);
    EXPECT_EQ(cs.GetUnits(), 10000);
    EXPECT_EQ(cs.GetGeoCoordSys().GetHorizonDatum().GetSpheroid().GetAxis(), 6378137.0);
    EXPECT_EQ(cs.GetProjection().GetProjectionType(), 0);
    EXPECT_EQ(cs.GetEpsgCode(), 0);
    ePoint2D p(12.5, -3.25);
    cs.Forward(&p, 1);
    cs.Inverse(&p, 1);
    EXPECT_EQ(p.x, 12.5);
    EXPECT_EQ(p.y, -3.25);
    eWKT out("stale");
    EXPECT_EQ(cs >> out, 0);
    EXPECT_TRUE(out.Text.IsEmpty());
}

TEST(PrjCoordSys, WebMercatorFromCodeAndFromArcGISText)
{
    for (const char* def : {"EPSG:3857", kEsriWebMercator}) {
        SCOPED_TRACE(def);
        ePrjCoordSys cs = Make(def);
        EXPECT_EQ(cs.GetSpatialRefType(), 2);
        EXPECT_FALSE(cs.IsGeographic());
        EXPECT_EQ(cs.GetUnits(), 10000);
        EXPECT_EQ(cs.GetProjection().GetProjectionType(), 43045);
        EXPECT_EQ(cs.GetGeoCoordSys().GetHorizonDatum().GetSpheroid().GetAxis(), 6378137.0);
        EXPECT_EQ(cs.GetEpsgCode(), 3857);

        // x = R * lon, y = R * ln(tan(pi/4 + lat/2)) on the sphere.
        const double lat = 60.0 * kPi / 180.0;
        ePoint2D pts[3] = {{180.0, 0.0}, {-90.0, 60.0}, {0.0, 0.0}};
        ASSERT_EQ(cs.Forward(pts, 3), 1);
        EXPECT_NEAR(pts[0].x, kHalfWorld, 1e-6);
        EXPECT_NEAR(pts[0].y, 0.0, 1e-6);
        EXPECT_NEAR(pts[1].x, -kHalfWorld / 2, 1e-6);
        EXPECT_NEAR(pts[1].y, kWebMercatorRadius * std::log(std::tan(kPi / 4 + lat / 2)), 1e-6);
        ASSERT_EQ(cs.Inverse(pts, 3), 1);
        EXPECT_NEAR(pts[1].x, -90.0, 1e-9);
        EXPECT_NEAR(pts[1].y, 60.0, 1e-9);
        EXPECT_NEAR(pts[2].x, 0.0, 1e-9);
    }
}

TEST(PrjCoordSys, GeographicSystemsAndTheirUnitValues)
{
    for (const char* def : {"EPSG:4326", kEsriGeographic}) {
        SCOPED_TRACE(def);
        ePrjCoordSys cs = Make(def);
        EXPECT_EQ(cs.GetSpatialRefType(), 1);
        EXPECT_EQ(cs.GetUnits(), 0);
        EXPECT_EQ(cs.GetProjection().GetProjectionType(), 0);
        EXPECT_EQ(cs.GetGeoCoordSys().GetHorizonDatum().GetSpheroid().GetAxis(), 6378137.0);
        // Longitude first even though EPSG:4326 lists latitude first.
        ePoint2D p(15.0, 45.0);
        ASSERT_EQ(cs.Forward(&p, 1), 1);
        EXPECT_NEAR(p.x, 15.0, 1e-12);
        EXPECT_NEAR(p.y, 45.0, 1e-12);
    }

    // NTF (Paris) counts in grads: 1000000000 + round(pi / 200 * 1e8).
    ePrjCoordSys grads = Make("EPSG:4807");
    EXPECT_EQ(grads.GetSpatialRefType(), 1);
    EXPECT_EQ(grads.GetUnits(), 1001570796);
    EXPECT_EQ(grads.GetGeoCoordSys().GetHorizonDatum().GetSpheroid().GetAxis(), 6378249.2);
    ePoint2D g(180.0, 45.0);  // degrees in, grads out (x 10/9)
    ASSERT_EQ(grads.Forward(&g, 1), 1);
    EXPECT_NEAR(g.x, 200.0, 1e-9);
    EXPECT_NEAR(g.y, 50.0, 1e-9);
}

TEST(PrjCoordSys, FootUnitsGive3048)
{
    ePrjCoordSys usFeet = Make("EPSG:2263");  // NAD83 / New York Long Island, US survey foot
    EXPECT_EQ(usFeet.GetSpatialRefType(), 2);
    EXPECT_EQ(usFeet.GetUnits(), 3048);
    EXPECT_NE(usFeet.GetProjection().GetProjectionType(), 0);
    EXPECT_NE(usFeet.GetProjection().GetProjectionType(), 43045);
    EXPECT_EQ(Make("+proj=tmerc +ellps=WGS84 +units=ft +type=crs").GetUnits(), 3048);  // international foot
}

TEST(PrjCoordSys, UtmForwardInverseRoundTrip)
{
    ePrjCoordSys utm = Make("EPSG:32633");
    EXPECT_EQ(utm.GetSpatialRefType(), 2);
    EXPECT_EQ(utm.GetUnits(), 10000);
    EXPECT_EQ(utm.GetEpsgCode(), 32633);
    EXPECT_NE(utm.GetProjection().GetProjectionType(), 0);
    EXPECT_NE(utm.GetProjection().GetProjectionType(), 43045);

    // On the central meridian (15 E): x is the false easting; on the equator
    // y is 0.
    ePoint2D centre[2] = {{15.0, 0.0}, {15.0, 50.0}};
    ASSERT_EQ(utm.Forward(centre, 2), 1);
    EXPECT_NEAR(centre[0].x, 500000.0, 1e-6);
    EXPECT_NEAR(centre[0].y, 0.0, 1e-6);
    EXPECT_NEAR(centre[1].x, 500000.0, 1e-6);
    EXPECT_GT(centre[1].y, 5500000.0);

    std::vector<ePoint2D> pts;
    for (double lon = 9.5; lon <= 20.5; lon += 1.1)
        for (double lat = -70.0; lat <= 80.0; lat += 7.5)
            pts.emplace_back(lon, lat);
    std::vector<ePoint2D> work = pts;
    ASSERT_EQ(utm.Forward(work.data(), static_cast<int>(work.size())), 1);
    ASSERT_EQ(utm.Inverse(work.data(), static_cast<int>(work.size())), 1);
    for (size_t i = 0; i < pts.size(); ++i) {
        EXPECT_NEAR(work[i].x, pts[i].x, 1e-8);
        EXPECT_NEAR(work[i].y, pts[i].y, 1e-8);
    }
}

TEST(PrjCoordSys, Wkt2WithNorthingFirstAxesStillGivesEastingNorthing)
{
    ePrjCoordSys utm = Make(
        "PROJCRS[\"hand-written UTM 33N\",BASEGEOGCRS[\"WGS 84\",DATUM[\"World Geodetic System 1984\","
        "ELLIPSOID[\"WGS 84\",6378137,298.257223563]],ANGLEUNIT[\"degree\",0.0174532925199433]],"
        "CONVERSION[\"UTM zone 33N\",METHOD[\"Transverse Mercator\",ID[\"EPSG\",9807]],"
        "PARAMETER[\"Latitude of natural origin\",0,ANGLEUNIT[\"degree\",0.0174532925199433]],"
        "PARAMETER[\"Longitude of natural origin\",15,ANGLEUNIT[\"degree\",0.0174532925199433]],"
        "PARAMETER[\"Scale factor at natural origin\",0.9996,SCALEUNIT[\"unity\",1]],"
        "PARAMETER[\"False easting\",500000,LENGTHUNIT[\"metre\",1]],"
        "PARAMETER[\"False northing\",0,LENGTHUNIT[\"metre\",1]]],"
        "CS[Cartesian,2],AXIS[\"northing\",north],AXIS[\"easting\",east],LENGTHUNIT[\"metre\",1]]");
    EXPECT_EQ(utm.GetSpatialRefType(), 2);
    EXPECT_EQ(utm.GetUnits(), 10000);
    EXPECT_EQ(utm.GetProjection().GetProjectionType(), Make("EPSG:32633").GetProjection().GetProjectionType());
    ePoint2D p[2] = {{15.0, 0.0}, {15.0, 1.0}};
    ASSERT_EQ(utm.Forward(p, 2), 1);
    EXPECT_NEAR(p[0].x, 500000.0, 1e-6);
    EXPECT_NEAR(p[0].y, 0.0, 1e-6);
    EXPECT_NEAR(p[1].x, 500000.0, 1e-6);
    EXPECT_NEAR(p[1].y, 110530.0, 1.0);  // 110574.3 m of meridian from 0 to 1 N, times 0.9996
}

TEST(PrjCoordSys, RefusedTextLeavesTheSystemAsItWas)
{
    ePrjCoordSys cs = Make("EPSG:3857");
    for (const char* bad : {"", "   ", "not a definition", "EPSG:999999", "PROJCS[\"broken\",GEOGCS[",
                            "EPSG:4978" /* geocentric: neither geographic nor projected */}) {
        EXPECT_EQ(cs << eWKT(bad), 0) << bad;
    }
    EXPECT_EQ(cs.GetProjection().GetProjectionType(), 43045);
    EXPECT_EQ(cs.GetEpsgCode(), 3857);
    ePoint2D p(180.0, 0.0);
    ASSERT_EQ(cs.Forward(&p, 1), 1);
    EXPECT_NEAR(p.x, kHalfWorld, 1e-6);
}

TEST(PrjCoordSys, WktOutAndBackKeepsTheSystem)
{
    for (const char* def : {"EPSG:3857", kEsriWebMercator, "EPSG:32633", "EPSG:4807", "EPSG:2263", kEsriGeographic}) {
        SCOPED_TRACE(def);
        ePrjCoordSys cs = Make(def);
        eWKT wkt;
        ASSERT_EQ(cs >> wkt, 1);
        // WKT1: a PROJCS or GEOGCS text.
        EXPECT_TRUE(wkt.Text.Std().rfind("PROJCS[", 0) == 0 || wkt.Text.Std().rfind("GEOGCS[", 0) == 0);
        ePrjCoordSys back;
        ASSERT_EQ(back << wkt, 1);
        EXPECT_EQ(back.GetSpatialRefType(), cs.GetSpatialRefType());
        EXPECT_EQ(back.GetUnits(), cs.GetUnits());
        EXPECT_EQ(back.GetProjection().GetProjectionType(), cs.GetProjection().GetProjectionType());
        EXPECT_EQ(back.GetGeoCoordSys().GetHorizonDatum().GetSpheroid().GetAxis(),
                  cs.GetGeoCoordSys().GetHorizonDatum().GetSpheroid().GetAxis());
        ePoint2D a(16.0, 48.0), b(16.0, 48.0);
        ASSERT_EQ(cs.Forward(&a, 1), 1);
        ASSERT_EQ(back.Forward(&b, 1), 1);
        EXPECT_NEAR(a.x, b.x, 1e-6);
        EXPECT_NEAR(a.y, b.y, 1e-6);
    }
    // ArcGIS text goes out in its own dialect.
    eWKT esri;
    Make(kEsriWebMercator) >> esri;
    EXPECT_NE(esri.Text.Std().find("Mercator_Auxiliary_Sphere"), std::string::npos);
}

TEST(PrjCoordSys, CopiesAreIndependent)
{
    ePrjCoordSys utm = Make("EPSG:32633");
    ePrjCoordSys copy(utm);
    ePrjCoordSys assigned;
    assigned = utm;
    ASSERT_EQ(utm << eWKT("EPSG:4326"), 1);  // the original moves on

    for (ePrjCoordSys* cs : {&copy, &assigned}) {
        EXPECT_EQ(cs->GetEpsgCode(), 32633);
        ePoint2D p(15.0, 0.0);
        ASSERT_EQ(cs->Forward(&p, 1), 1);
        EXPECT_NEAR(p.x, 500000.0, 1e-6);
    }
    ePoint2D q(15.0, 0.0);
    ASSERT_EQ(utm.Forward(&q, 1), 1);
    EXPECT_NEAR(q.x, 15.0, 1e-12);
}

TEST(PrjCoordSys, XmlImport)
{
    const eString good = "<CoordinateReferenceSystem>EPSG:3857</CoordinateReferenceSystem>";
    ePrjCoordSys cs = Make("EPSG:4326");
    EXPECT_EQ(cs.FromXML(good, 20031210), 0);  // wrong format number
    EXPECT_EQ(cs.FromXML("<Other>EPSG:3857</Other>", 20031211), 0);
    EXPECT_EQ(cs.FromXML("<CoordinateReferenceSystem>rubbish</CoordinateReferenceSystem>", 20031211), 0);
    EXPECT_EQ(cs.FromXML("<CoordinateReferenceSystem>EPSG:3857", 20031211), 0);  // not well-formed
    EXPECT_EQ(cs.FromXML("", 20031211), 0);
    EXPECT_EQ(cs.GetEpsgCode(), 4326);

    ASSERT_EQ(cs.FromXML(good, 20031211), 1);
    EXPECT_EQ(cs.GetProjection().GetProjectionType(), 43045);

    const eString wrapped = eString("<CoordinateReferenceSystem>\n  ") + kEsriGeographic + "\n</CoordinateReferenceSystem>";
    ASSERT_EQ(cs.FromXML(wrapped, 20031211), 1);
    EXPECT_EQ(cs.GetSpatialRefType(), 1);
}

// Each thread works on its own copy; one object shared by two threads is
// also served (its calls are serialised).
TEST(PrjCoordSysConcurrency, CopiesTransformInParallel)
{
    const ePrjCoordSys utm = Make("EPSG:32633");
    const ePrjCoordSys merc = Make("EPSG:3857");
    std::vector<ePoint2D> input;
    for (int i = 0; i < 200; ++i)
        input.emplace_back(10.0 + i * 0.05, -60.0 + i * 0.6);
    std::vector<ePoint2D> utmExpected = input, mercExpected = input;
    ASSERT_EQ(utm.Forward(utmExpected.data(), 200), 1);
    ASSERT_EQ(merc.Forward(mercExpected.data(), 200), 1);

    ePrjCoordSys shared(utm);
    std::vector<int> failures(6, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            const bool useMerc = t % 2 == 1;
            ePrjCoordSys own(useMerc ? merc : utm);
            const ePrjCoordSys& cs = t >= 4 ? shared : own;
            const std::vector<ePoint2D>& expected = (useMerc && t < 4) ? mercExpected : utmExpected;
            for (int round = 0; round < 100; ++round) {
                std::vector<ePoint2D> work = input;
                if (!cs.Forward(work.data(), 200))
                    ++failures[t];
                for (size_t i = 0; i < work.size(); ++i)
                    if (std::fabs(work[i].x - expected[i].x) > 1e-6 || std::fabs(work[i].y - expected[i].y) > 1e-6)
                        ++failures[t];
                if (!cs.Inverse(work.data(), 200))
                    ++failures[t];
                for (size_t i = 0; i < work.size(); ++i)
                    if (std::fabs(work[i].x - input[i].x) > 1e-8 || std::fabs(work[i].y - input[i].y) > 1e-8)
                        ++failures[t];
            }
        });
    }
    for (std::thread& th : threads)
        th.join();
    for (int t = 0; t < 6; ++t)
        EXPECT_EQ(failures[t], 0) << "thread " << t;
}
