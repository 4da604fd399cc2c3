// Map coordinate system: units ratio, map/logical, scale/resolution, globe
// and pixel conversions. Expected values are worked out by hand from the
// formulas (pi = 3.141592653589793, C = 40075016.68557849).
#include <gtest/gtest.h>

#include <cmath>

#include "eCoordSys.h"
#include "platform/ePrjCoordSys.h"

namespace TVK {
namespace {

ePrjCoordSys Make(const char* definition) {
    ePrjCoordSys prj;
    EXPECT_NE(0, prj << eWKT(definition)) << definition;
    return prj;
}

TEST(CoordSys, FreshObjectHasDocumentedDefaults) {
    eCoordSys cs;
    EXPECT_DOUBLE_EQ(76.2, cs.GetDPI());
    EXPECT_EQ(3.0000000000000004, cs.DPI);  // 76.2 / 25.4 stored as dots per mm
    EXPECT_EQ(10000.0, cs.UnitsRatio);
    EXPECT_EQ(5.0, cs.MapToLogical(5.0));
    EXPECT_TRUE(cs.GetBounds().IsEmpty());
    EXPECT_TRUE(cs.GetIndexBounds().IsEmpty());
    // Fresh process without the setting: 2^22 * 256.
    EXPECT_EQ(1073741824.0, cs.GetRefResolution());
    EXPECT_EQ(22, eCoordSys::GetMaxRenderLevel());
    EXPECT_EQ(-1, cs.Resolution2Zoom(256.0));
    EXPECT_EQ(0.0, cs.Zoom2Resolution(3));
}

TEST(CoordSys, SetDpiStoresDotsPerMillimetre) {
    eCoordSys cs;
    cs.SetDPI(96.0);
    EXPECT_EQ(96.0 / 25.4, cs.DPI);
    EXPECT_NEAR(96.0, cs.GetDPI(), 1e-12);
}

TEST(CoordSys, UnitsRatioFollowsTheCoordinateSystemUnit) {
    eCoordSys cs;
    cs.SetPrjCoordSys(Make("EPSG:3857"));
    EXPECT_EQ(10000.0, cs.UnitsRatio);
    EXPECT_EQ(7.0, cs.MapToLogical(7.0));

    // NAD83 / California zone 3 in US survey feet: unit value 3048.
    cs.SetPrjCoordSys(Make("EPSG:2227"));
    EXPECT_EQ(3048.0, cs.UnitsRatio);
    EXPECT_DOUBLE_EQ(0.3048, cs.MapToLogical(1.0));
    EXPECT_DOUBLE_EQ(1.0, cs.LogicalToMap(0.3048));

    // Degrees: 6378137 * 10000 * pi / 180 = 1113194907.9327357.
    cs.SetPrjCoordSys(Make("EPSG:4326"));
    EXPECT_DOUBLE_EQ(1113194907.9327357, cs.UnitsRatio);
    EXPECT_NEAR(111319.49079327357, cs.MapToLogical(1.0), 1e-8);

    // Grads (unit value 1000000000 + 1570796):
    // 6378137 * 1570796 * 10000 * pi / 314159220 = 1001875353.3580828.
    cs.SetPrjCoordSys(Make(
        "GEOGCS[\"grad\",DATUM[\"WGS_1984\",SPHEROID[\"WGS 84\",6378137,298.257223563]],"
        "PRIMEM[\"Greenwich\",0],UNIT[\"grad\",0.01570796326794897]]"));
    ASSERT_EQ(1001570796, cs.GetPrjCoordSys().GetUnits());
    EXPECT_DOUBLE_EQ(1001875353.3580828, cs.UnitsRatio);
}

TEST(CoordSys, ChangingTheSystemByReferenceNeedsAdjust) {
    eCoordSys cs;
    cs.GetPrjCoordSys() << eWKT("EPSG:2227");
    EXPECT_EQ(10000.0, cs.UnitsRatio);
    cs.AdjustUnitsRatio();
    EXPECT_EQ(3048.0, cs.UnitsRatio);
}

TEST(CoordSys, MapLogicalFormsScaleEveryComponentWithoutNormalising) {
    eCoordSys cs;
    cs.UnitsRatio = 3048.0;  // 1 map unit = 0.3048 logical units
    eSize2D size;
    cs.MapToLogical(eSize2D(10.0, 20.0), size);
    EXPECT_DOUBLE_EQ(3.048, size.width);
    EXPECT_DOUBLE_EQ(6.096, size.height);

    ePoint2D p(100.0, -50.0);
    cs.MapToLogical(p, p);  // in place
    EXPECT_DOUBLE_EQ(30.48, p.x);
    EXPECT_DOUBLE_EQ(-15.24, p.y);
    cs.LogicalToMap(p, p);
    EXPECT_DOUBLE_EQ(100.0, p.x);
    EXPECT_DOUBLE_EQ(-50.0, p.y);

    // An inverted rectangle stays inverted.
    eRect2D r;
    cs.MapToLogical(eRect2D(10.0, -10.0, -20.0, 40.0), r);
    EXPECT_DOUBLE_EQ(3.048, r.left);
    EXPECT_DOUBLE_EQ(-3.048, r.top);
    EXPECT_DOUBLE_EQ(-6.096, r.right);
    EXPECT_DOUBLE_EQ(12.192, r.bottom);
    eRect2D back;
    cs.LogicalToMap(r, back);
    EXPECT_DOUBLE_EQ(10.0, back.left);
    EXPECT_DOUBLE_EQ(40.0, back.bottom);
    eSize2D sizeBack;
    cs.LogicalToMap(size, sizeBack);
    EXPECT_DOUBLE_EQ(20.0, sizeBack.height);
}

TEST(CoordSys, ScaleResolutionConversions) {
    eCoordSys cs;
    cs.SetDPI(96.0);
    // 2560 / (96 / 25.4 * 10000 * C)
    EXPECT_DOUBLE_EQ(1.6901635716026546e-09, cs.ResolutionToScale(256.0));
    EXPECT_NEAR(256.0, cs.ScaleToResolution(cs.ResolutionToScale(256.0)), 1e-9);
    // 1 / ((((2 m/px * 10000) / 1) * 96/25.4) / 10) = 1 / 7559.05511811...
    EXPECT_DOUBLE_EQ(1.0 / 7559.055118110236, cs.ComputeScale(2.0, 1));
    EXPECT_DOUBLE_EQ(2.0 / 7559.055118110236, cs.ComputeScale(2.0, 2));
}

TEST(CoordSys, PixelConversions) {
    eCoordSys cs;
    cs.SetRefResolution(1024.0);
    // (C * 1024) / (2 * C) = 512
    EXPECT_DOUBLE_EQ(512.0, cs.LogicalToPixel(2.0, 40075016.68557849));
    EXPECT_DOUBLE_EQ(40075016.68557849, cs.PixelToLogical(2.0, 512.0));
    EXPECT_DOUBLE_EQ(512.0, cs.WorldToPixel(eSceneFlat, 2.0, 40075016.68557849));
    EXPECT_DOUBLE_EQ(512.0 / 0.762, cs.WorldToPixel(eSceneGlobe, 2.0, 40075016.68557849));
    EXPECT_DOUBLE_EQ(40075016.68557849 * 0.762, cs.PixelToWorld(eSceneGlobe, 2.0, 512.0));
    EXPECT_DOUBLE_EQ(40075016.68557849, cs.PixelToWorld(static_cast<eSceneMode>(7), 2.0, 512.0));
}

TEST(CoordSys, FlatWorldIsLogical) {
    eCoordSys cs;
    cs.UnitsRatio = 3048.0;  // ignored in flat mode
    eVector3T<double> w;
    cs.LogicalToWorld(eSceneFlat, ePoint2D(3.0, 4.0), w, 9.0);
    EXPECT_EQ(3.0, w.x);
    EXPECT_EQ(4.0, w.y);
    EXPECT_EQ(9.0, w.z);
    ePoint2D p;
    cs.WorldToLogical(eSceneFlat, eVector3T<double>(5.0, 6.0, 7.0), p);
    EXPECT_EQ(5.0, p.x);
    EXPECT_EQ(6.0, p.y);
    cs.LogicalToWorld(eSceneFlat, eVector2T<double>(1.5, 2.5), w, 0.0);
    EXPECT_EQ(1.5, w.x);
    EXPECT_EQ(2.5, w.y);
}

TEST(CoordSys, GlobeRoundTripGeographicAndProjected) {
    eCoordSys geo;
    geo.SetPrjCoordSys(Make("EPSG:4326"));
    eVector3T<double> w;
    geo.LogicalToWorld(eSceneGlobe, ePoint2D(0.0, 0.0), w, 0.0);
    EXPECT_NEAR(6378137.0, std::sqrt(w.x * w.x + w.y * w.y + w.z * w.z), 1e-6);
    geo.LogicalToWorld(eSceneGlobe, ePoint2D(0.0, 0.0), w, 1000.0);
    EXPECT_NEAR(6379137.0, std::sqrt(w.x * w.x + w.y * w.y + w.z * w.z), 1e-6);

    // Logical point of (30°E, 45°N): 30 and 45 degrees times 111319.49... m.
    const ePoint2D logical(30.0 * 111319.49079327357, 45.0 * 111319.49079327357);
    geo.LogicalToWorld(eSceneGlobe, logical, w, 0.0);
    // The north pole axis carries sin(45°) of the radius.
    EXPECT_NEAR(6378137.0 * std::sqrt(0.5), std::fabs(w.z), 1e-3);
    ePoint2D back;
    geo.WorldToLogical(eSceneGlobe, w, back);
    EXPECT_NEAR(logical.x, back.x, 1e-4);
    EXPECT_NEAR(logical.y, back.y, 1e-4);

    // Web Mercator: the logical point goes through the projection both ways.
    eCoordSys merc;
    merc.SetPrjCoordSys(Make("EPSG:3857"));
    const ePoint2D m(1113194.9079327357, 2273030.926987689);  // (10°E, 20°N)
    merc.LogicalToWorld(eSceneGlobe, m, w, 0.0);
    EXPECT_NEAR(6378137.0 * std::sin(20.0 * 0.017453292519943295), std::fabs(w.z), 1e-3);
    merc.WorldToLogical(eSceneGlobe, w, back);
    EXPECT_NEAR(m.x, back.x, 1e-4);
    EXPECT_NEAR(m.y, back.y, 1e-4);
}

TEST(CoordSys, MapGeoConversions) {
    eCoordSys merc;
    merc.SetPrjCoordSys(Make("EPSG:3857"));
    ePoint2D map;
    // x = 6378137 * 10° in radians
    merc.GeoToMap(ePoint2D(10.0, 0.0), map);
    EXPECT_NEAR(1113194.9079327357, map.x, 1e-6);
    EXPECT_NEAR(0.0, map.y, 1e-6);
    ePoint2D geo;
    merc.MapToGeo(map, geo);
    EXPECT_NEAR(10.0, geo.x, 1e-9);

    // A geographic system copies the point unchanged.
    eCoordSys g;
    g.SetPrjCoordSys(Make("EPSG:4326"));
    g.GeoToMap(ePoint2D(12.5, -7.25), map);
    EXPECT_EQ(12.5, map.x);
    EXPECT_EQ(-7.25, map.y);
    g.MapToGeo(ePoint2D(1.0, 2.0), geo);
    EXPECT_EQ(1.0, geo.x);
    EXPECT_EQ(2.0, geo.y);
}

TEST(CoordSys, CopyAndAssignmentCopyEveryField) {
    eCoordSys a;
    a.SetPrjCoordSys(Make("EPSG:2227"));
    a.SetDPI(96.0);
    a.UnitsRatio = 1234.0;  // a copy keeps the cached value
    a.SetBounds(eRect2D(1, 2, 3, 4));
    a.SetIndexBounds(eRect2D(5, 6, 7, 8));
    a.SetRefResolution(42.0);
    eCoordSys b(a);
    eCoordSys c;
    c = a;
    for (const eCoordSys* x : {&b, &c}) {
        EXPECT_EQ(1234.0, x->UnitsRatio);
        EXPECT_EQ(96.0 / 25.4, x->DPI);
        EXPECT_EQ(3.0, x->GetBounds().right);
        EXPECT_EQ(8.0, x->GetIndexBounds().bottom);
        EXPECT_EQ(42.0, x->GetRefResolution());
        EXPECT_EQ(3048, x->GetPrjCoordSys().GetUnits());
    }
}

}  // namespace
}  // namespace TVK
